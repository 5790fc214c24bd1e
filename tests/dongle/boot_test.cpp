// The dongle's boot loader and boot state: the power cut at every write of the boot state,
// the loader's own check of what it starts, the new image's self-test, and the refusals the
// dongle makes to stay bootable, sent to it directly since the library never sends them.
#include <hidapi.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "hiddfu/protocol.h"
#include "tests/dongle/raw_host.h"
#include "tests/hiddfu/fixture.h"

namespace {

namespace proto = hiddfu::proto;
using namespace std::chrono_literals;
using VirtualDongle::Faults;

class Boot : public DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    ASSERT_EQ(hidDfuSetTimeouts(kReplyMs, 300), 0);  // a dongle gone for good costs little
  }

  // An image signed with the demo key, at this security counter.
  std::string CountedImage(hiddfu::FirmwareVersion version, std::uint32_t counter,
                           std::uint32_t seed) {
    hiddfu::ImageHeader fields;
    fields.version = version;
    fields.securityCounter = counter;
    const std::string path = PathOf(version.ToString() + ".bin");
    std::string error;
    EXPECT_TRUE(hiddfu::WriteFilledImage(path, fields, 3000, seed,
                                         hiddfu::Signer(hiddfu::DemoSigningKey()), &error))
        << error;
    return path;
  }

  // The whole upgrade through the library; whether it succeeded.
  static bool Upgrade(const std::string& path) {
    if (ConnectDongle() != 0 || hidDfuUpgradeBin(path.c_str()) != 0)
      return false;
    PollToEnd();
    const bool ok = hidDfuGetResult() == 0;
    hidDfuDisconnect();
    return ok;
  }

  // Plugged in, the dongle starts a verified, signed image that its counter allows; one on
  // trial is then given up at a reset, and it comes to rest on another such image.
  static void ExpectBootable() {
    if (!VirtualDongle::IsPlugged())
      VirtualDongle::Plug();
    ExpectRunsChecked();
    if (VirtualDongle::OnTrial()) {
      VirtualDongle::Unplug();
      VirtualDongle::Plug();
      ExpectRunsChecked();
    }
    EXPECT_FALSE(VirtualDongle::OnTrial());
  }

  static void ExpectRunsChecked() {
    const int slot = VirtualDongle::ActiveSlot();
    ASSERT_GE(slot, 0) << "neither image starts";
    const VirtualDongle::Slot s = VirtualDongle::GetSlot(slot);
    EXPECT_TRUE(s.holdsImage && s.verified && s.bootable);
    EXPECT_LE(VirtualDongle::SecurityCounter(), s.securityCounter);
  }
};

// One way through the boot state's writes, from a dongle running an image it received (the
// maker's would start whatever the counter).
struct Walk {
  const char* name;
  Faults faults;
  std::chrono::milliseconds watchdog;
  std::function<void(Boot&)> afterUpgrade;  // what happens once the library has finished
};

// Every write of the boot state in the commit, the trial start, the confirmation, the
// counter's rise and the revert (at the watchdog, at a reset) is a point where the power goes,
// before the write or tearing it; then it comes back. The dongle must start an image it
// checked and the next upgrade must succeed, at every point.
TEST_F(Boot, ThePowerCutAtEveryWriteOfTheBootStateLeavesItBootable) {
  const Walk walks[] = {
      {"an upgrade that raises the counter", {}, 100ms, [](Boot&) {}},
      {"a revert by the watchdog", With(&Faults::trialNeverAnswers, true), 100ms,
       [](Boot&) {
         VirtualDongle::Plug();  // if the power went, it comes back
         WaitSettled();
       }},
      {"a revert at a reset", With(&Faults::trialNeverAnswers, true), 10s,
       [](Boot&) {
         VirtualDongle::Unplug();
         VirtualDongle::Plug();
       }},
  };
  int points = 0;
  for (const Walk& walk : walks) {
    // The walk once whole, to count its writes.
    VirtualDongle::Reset();
    VirtualDongle::SetTiming(VirtualDongle::Timing::kInstant);
    VirtualDongle::SetTrialWatchdog(walk.watchdog);
    const std::string base = CountedImage({1, 1, 0, 0}, 0, 2);
    const std::string image = CountedImage({1, 2, 0, 7}, 1, 3);
    const std::string next = CountedImage({1, 3, 0, 0}, 1, 4);
    ASSERT_TRUE(Upgrade(base));
    const std::uint32_t baseWrites = VirtualDongle::GetStats().bootStateWrites;
    VirtualDongle::SetFaults(walk.faults);
    Upgrade(image);
    walk.afterUpgrade(*this);
    const std::uint32_t writes = VirtualDongle::GetStats().bootStateWrites - baseWrites;
    ASSERT_GE(writes, 3u) << walk.name;
    for (std::uint32_t at = 1; at <= writes; ++at) {
      for (bool torn : {false, true}) {
        SCOPED_TRACE(std::string(walk.name) + ": power cut at write " + std::to_string(at) +
                     (torn ? ", torn" : ""));
        VirtualDongle::Reset();
        VirtualDongle::SetTiming(VirtualDongle::Timing::kInstant);
        VirtualDongle::SetTrialWatchdog(walk.watchdog);
        ASSERT_TRUE(Upgrade(base));
        Faults f = walk.faults;
        f.powerCutAtBootWrite = at;
        f.tornBootWrite = torn;
        VirtualDongle::SetFaults(f);
        Upgrade(image);
        walk.afterUpgrade(*this);
        VirtualDongle::SetFaults({});
        ExpectBootable();
        EXPECT_TRUE(Upgrade(next)) << LastError();
        EXPECT_EQ(VirtualDongle::RunningVersion(), (hiddfu::FirmwareVersion{1, 3, 0, 0}));
        ++points;
      }
    }
  }
  std::printf("power cut at %d points of the boot state's writes\n", points);
  RecordProperty("points", points);
}

// Between the stored confirmation and the counter's rise, the cut leaves the confirmed new
// image and the old counter: the new image starts, the old one still could.
TEST_F(Boot, TheCounterRisesOnlyAfterTheConfirmationIsStored) {
  const std::string image = CountedImage({1, 2, 0, 7}, 5, 3);
  ASSERT_TRUE(Upgrade(CountedImage({1, 1, 0, 0}, 0, 2)));  // slot 1 holds counter 0
  const std::uint32_t before = VirtualDongle::GetStats().bootStateWrites;
  VirtualDongle::SetFaults(With(&Faults::powerCutAtBootWrite, 4u));  // try, trial, confirm, counter
  Upgrade(image);
  EXPECT_EQ(VirtualDongle::GetStats().bootStateWrites - before, 4u);
  ExpectBootable();
  EXPECT_EQ(VirtualDongle::RunningVersion(), (hiddfu::FirmwareVersion{1, 2, 0, 7}));
  EXPECT_EQ(VirtualDongle::SecurityCounter(), 0u);
  EXPECT_TRUE(VirtualDongle::GetSlot(1).bootable) << "the old image, still allowed";
}

// The loader checks what it starts at every power-on: a confirmed slot that decayed gives way
// to the other one; with both bad (or the other below the counter) it stays in its update
// mode, which answers INFO and takes a new image.
TEST_F(Boot, TheLoaderStartsOnlyWhatPassesItsCheck) {
  ASSERT_TRUE(Upgrade(CountedImage({1, 2, 0, 7}, 0, 3)));
  VirtualDongle::DecaySlot(1);
  VirtualDongle::Unplug();
  VirtualDongle::Plug();
  EXPECT_EQ(VirtualDongle::ActiveSlot(), 0) << "the confirmed slot decayed: the other starts";
  EXPECT_EQ(VirtualDongle::RunningVersion(), VirtualDongle::kFactoryVersion);

  VirtualDongle::DecaySlot(0);
  VirtualDongle::Unplug();
  VirtualDongle::Plug();
  EXPECT_EQ(VirtualDongle::ActiveSlot(), -1);
  ASSERT_EQ(ConnectDongle(), 0) << "the update mode answers";
  char versions[100] = {};
  int length = sizeof versions;
  ASSERT_EQ(hidDfuGetFirmwareVersions(versions, &length, 0), 0);
  EXPECT_EQ(std::string(versions).rfind("update mode", 0), 0u) << versions;
  hidDfuDisconnect();
  EXPECT_TRUE(Upgrade(CountedImage({1, 3, 0, 0}, 2, 4))) << LastError();
  EXPECT_EQ(VirtualDongle::RunningVersion(), (hiddfu::FirmwareVersion{1, 3, 0, 0}));

  // Counter 2 confirmed: the intact image with counter 0 beside it never starts again.
  VirtualDongle::Reset();
  VirtualDongle::SetTiming(VirtualDongle::Timing::kInstant);
  ASSERT_TRUE(Upgrade(CountedImage({1, 2, 0, 7}, 0, 3)));
  ASSERT_TRUE(Upgrade(CountedImage({1, 3, 0, 0}, 2, 4)));
  VirtualDongle::DecaySlot(VirtualDongle::ActiveSlot());
  VirtualDongle::Unplug();
  VirtualDongle::Plug();
  EXPECT_TRUE(VirtualDongle::GetSlot(1).verified);
  EXPECT_EQ(VirtualDongle::ActiveSlot(), -1) << "an image below the counter started";
}

// ---- The dongle's own defence, by a host that sends what the library never does -----------

TEST_F(Boot, TheDongleRefusesWhatWouldLeaveItUnbootable) {
  {
    RawHost host;
    ASSERT_TRUE(host);
    EXPECT_EQ(host.Status(proto::ActivateRequest{}), proto::kNotVerified) << "nothing verified";
    EXPECT_EQ(host.Status(proto::VerifyRequest{}), proto::kNotReceiving);
    EXPECT_EQ(host.Status(proto::HeaderRequest{4, {}}), proto::kBadHeader);
    EXPECT_EQ(host.Status(proto::ConfirmRequest{1}), proto::kNothingToConfirm) << "not running";
  }
  // On trial, its self-test still running (the library gave up waiting for it).
  VirtualDongle::SetFaults(With(&Faults::selfTestNeverEnds, true));
  EXPECT_FALSE(Upgrade(Image(3000)));
  ASSERT_TRUE(VirtualDongle::OnTrial());
  {
    RawHost host;
    ASSERT_TRUE(host);
    EXPECT_EQ(host.Status(proto::StartRequest{{}, 64}), proto::kOnTrial);
    EXPECT_EQ(host.Status(proto::ConfirmRequest{0}), proto::kNothingToConfirm);
    EXPECT_EQ(host.Status(proto::ConfirmRequest{1}), proto::kSelfTestNotPassed);
  }
  EXPECT_EQ(VirtualDongle::GetStats().confirms, 0u);
  VirtualDongle::Unplug();
  VirtualDongle::Plug();
  ExpectOnFactoryImage();
  // In the update mode nothing runs that could be confirmed.
  VirtualDongle::DecaySlot(0);
  VirtualDongle::Unplug();
  VirtualDongle::Plug();
  RawHost host;
  ASSERT_TRUE(host);
  EXPECT_EQ(host.Status(proto::ConfirmRequest{0}), proto::kNothingToConfirm);
}

}  // namespace
