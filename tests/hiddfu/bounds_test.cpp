// Every call from the GUI thread returns within its bound, whatever the dongle does: it
// enumerates but never answers, its OUT endpoint stops taking reports (a write then sits
// there for the model's 5 s, as in the kernel), or it vanishes in the middle of a call. The
// bounds are 300 ms for the probe and 1 s for the other calls; measured with a margin.
#include <functional>
#include <regex>

#include "tests/hiddfu/fixture.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using VirtualDongle::Faults;

constexpr auto kProbeMargin = 600ms;
constexpr auto kCallMargin = 2s;

Clock::duration Timed(const std::function<void()>& call) {
  const auto start = Clock::now();
  call();
  return Clock::now() - start;
}

// The presence probe of the main dialog.
void Probe() {
  hidDfuDisconnect();
  EXPECT_EQ(ConnectDongle(), -1);
  hidDfuDisconnect();
}

using Bounds = DeviceTest;

TEST_F(Bounds, TheProbeReturnsWithin300ms) {
  for (const Faults& f : {With(&Faults::silent, true), With(&Faults::outStuck, true)}) {
    SCOPED_TRACE(f.silent ? "never answers" : "takes no reports");
    VirtualDongle::Reset();
    VirtualDongle::SetTiming(VirtualDongle::Timing::kInstant);
    VirtualDongle::SetFaults(f);
    for (int probe = 0; probe < 2; ++probe) {  // the second meets the first one's stuck call
      EXPECT_LT(Timed(Probe), kProbeMargin);
      EXPECT_EQ(LastError(), "device not responding");
    }
  }
  // Vanishing while the probe's write waits for the device.
  std::thread unplug([] {
    std::this_thread::sleep_for(50ms);
    VirtualDongle::Unplug();
  });
  EXPECT_LT(Timed(Probe), kProbeMargin);
  unplug.join();
}

TEST_F(Bounds, CallsOnADongleThatStopsTakingReportsReturnWithinASecond) {
  const std::string image = Image(62 * 100);
  struct Case {
    const char* name;
    std::function<int()> call;
    const char* error;
  };
  const Case cases[] = {
      {"version",
       [] {
         unsigned short v[4];
         return hidDfuGetVersion(&v[0], &v[1], &v[2], &v[3]);
       },
       "device not responding"},
      {"firmware versions",
       [] {
         char text[100];
         int length = sizeof text;
         return hidDfuGetFirmwareVersions(text, &length, 0);
       },
       "device not responding"},
      {"upgrade", [&] { return hidDfuUpgradeBin(image.c_str()); },
       "device not responding to the upgrade request"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VirtualDongle::Reset();
    VirtualDongle::SetTiming(VirtualDongle::Timing::kInstant);
    ASSERT_EQ(ConnectDongle(), 0) << LastError();
    VirtualDongle::SetFaults(With(&Faults::outStuck, true));
    int status = 0;
    EXPECT_LT(Timed([&] { status = c.call(); }), kCallMargin);
    EXPECT_EQ(status, -1);
    EXPECT_EQ(LastError(), c.error);
  }
}

// The upgrade's own thread is held in a write for seconds: hidDfuDisconnect does not wait
// for it, and the upgrade ends as cancelled.
TEST_F(Bounds, DisconnectStopsAnUpgradeStuckInAWrite) {
  VirtualDongle::SetFaults(With(&Faults::stuckOutAtByte, 1000u));
  ASSERT_EQ(ConnectDongle(), 0) << LastError();
  ASSERT_EQ(hidDfuUpgradeBin(Image(62 * 100).c_str()), 0) << LastError();
  const auto until = Clock::now() + 5s;
  while (VirtualDongle::GetStats().accepted < 17 && Clock::now() < until)
    std::this_thread::sleep_for(1ms);
  std::this_thread::sleep_for(50ms);  // into the write that nothing takes
  EXPECT_LT(Timed([] { EXPECT_EQ(hidDfuDisconnect(), 0); }), kCallMargin);
  EXPECT_GE(hidDfuGetProgress(), 100);
  EXPECT_EQ(hidDfuGetResult(), -1);
  EXPECT_TRUE(std::regex_match(LastError(), std::regex("upgrade cancelled at [0-9]+ %")))
      << LastError();
  ExpectOnFactoryImage();
}

}  // namespace
