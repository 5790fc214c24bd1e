// The virtual dongle through the hid_* functions themselves, as any hidapi user sees it.
#include <hidapi.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "hiddfu/protocol.h"
#include "tests/hiddfu/fixture.h"

namespace {

namespace proto = hiddfu::proto;
using namespace std::chrono_literals;

struct Closer {
  void operator()(hid_device* d) const { hid_close(d); }
};
using Handle = std::unique_ptr<hid_device, Closer>;

Handle OpenUpdateInterface() {
  hid_device_info* list = hid_enumerate(kVid, kPid);
  Handle h;
  for (hid_device_info* d = list; d; d = d->next) {
    if (d->usage_page == 0xFF00 && d->usage == 1)
      h.reset(hid_open_path(d->path));
  }
  hid_free_enumeration(list);
  return h;
}

int Send(hid_device* h, proto::Report r) {
  proto::Seal(r);
  unsigned char buffer[65] = {0};
  std::memcpy(buffer + 1, r.data(), r.size());
  return hid_write(h, buffer, sizeof buffer);
}

int SendInfo(hid_device* h, std::uint8_t tag) {
  return Send(h, proto::Encode(proto::InfoRequest{}, tag));
}

// The reply to `command`, or an empty report.
template <typename Command>
proto::Report Ask(hid_device* h, const Command& command) {
  const proto::Report request = proto::Encode(command, 0x33);
  proto::Report reply{};
  if (Send(h, request) != 65)
    return {};
  while (hid_read_timeout(h, reply.data(), reply.size(), 1000) == 64) {
    if (reply[0] == (request[0] | proto::kReplyFlag))
      return reply;
  }
  return {};
}

// A host of its own, which checks nothing: sends the header of `image` and asks the dongle
// to start; the reply's status.
int StartWith(hid_device* h, const std::string& image, bool otherHeader = false) {
  for (std::size_t part = 0; part < proto::kHeaderParts; ++part) {
    proto::HeaderRequest header{static_cast<std::uint8_t>(part), {}};
    std::memcpy(header.bytes.data(), image.data() + part * proto::kHeaderPartSize,
                proto::kHeaderPartSize);
    const auto reply = proto::DecodeHeaderReply(Ask(h, header));
    if (!reply || reply->status != proto::kOk)
      return -1;
  }
  hiddfu::Sha256 sha;
  sha.Update(image.data(), hiddfu::kImageHeaderSize);
  proto::StartRequest start{sha.Final(), 64};
  start.headerDigest[0] ^= otherHeader ? 1 : 0;
  const auto reply = proto::DecodeStartReply(Ask(h, start));
  return reply ? reply->status : -1;
}

using Dongle = DeviceTest;

// As hidraw lists the dongle's gadget on the kernel rig: the media keys first, interface 0,
// the update channel interface 1, both with the dongle's ids.
TEST_F(Dongle, EnumeratesTwoInterfacesOnlyForItsIds) {
  hid_device_info* list = hid_enumerate(0, 0);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->usage_page, 0x000C) << "the media keys listed first, as on real hardware";
  EXPECT_EQ(list->interface_number, 0);
  ASSERT_NE(list->next, nullptr);
  EXPECT_EQ(list->next->interface_number, 1);
  EXPECT_EQ(list->next->next, nullptr);
  int updateInterfaces = 0;
  for (hid_device_info* d = list; d; d = d->next) {
    EXPECT_EQ(d->vendor_id, kVid);
    EXPECT_EQ(d->product_id, kPid);
    EXPECT_EQ(d->bus_type, HID_API_BUS_USB);
    EXPECT_STREQ(d->product_string, L"Marlo Dongle");
    if (d->usage_page == 0xFF00 && d->usage == 1)
      ++updateInterfaces;
  }
  EXPECT_EQ(updateInterfaces, 1);
  hid_free_enumeration(list);
  EXPECT_EQ(hid_enumerate(0x7777, kPid), nullptr);
  EXPECT_EQ(hid_enumerate(kVid, 0x7777), nullptr);
  VirtualDongle::Unplug();
  EXPECT_EQ(hid_enumerate(kVid, kPid), nullptr);
  EXPECT_EQ(hid_open(kVid, kPid, nullptr), nullptr);
  EXPECT_NE(std::wcslen(hid_error(nullptr)), 0u);
}

TEST_F(Dongle, AnswersOnItsUpdateInterfaceWithSealedTaggedReplies) {
  Handle h = OpenUpdateInterface();
  ASSERT_TRUE(h);
  wchar_t text[64];
  ASSERT_EQ(hid_get_manufacturer_string(h.get(), text, 64), 0);
  EXPECT_STREQ(text, L"Zav");
  ASSERT_EQ(hid_get_indexed_string(h.get(), 3, text, 64), 0);
  EXPECT_STREQ(text, L"MRL000001");
  EXPECT_EQ(hid_get_indexed_string(h.get(), 9, text, 64), -1);
  unsigned char feature[65] = {0};
  EXPECT_EQ(hid_get_feature_report(h.get(), feature, sizeof feature), -1);

  ASSERT_EQ(SendInfo(h.get(), 0x5C), 65);
  proto::Report reply{};
  ASSERT_EQ(hid_read_timeout(h.get(), reply.data(), reply.size(), 1000), 64);
  EXPECT_TRUE(proto::Intact(reply));
  EXPECT_EQ(reply[0], proto::kInfo | proto::kReplyFlag);
  EXPECT_EQ(reply[proto::kTag], 0x5C);
  const auto info = proto::DecodeInfoReply(reply);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->protocol, proto::kProtocolVersion);
  EXPECT_EQ(info->running, VirtualDongle::kFactoryVersion);

  // A report number other than 0 and an oversized report are refused.
  unsigned char numbered[65] = {1};
  EXPECT_EQ(hid_write(h.get(), numbered, sizeof numbered), -1);
  EXPECT_NE(std::wstring(hid_error(h.get())).find(L"report numbers"), std::wstring::npos);
  unsigned char big[66] = {0};
  EXPECT_EQ(hid_write(h.get(), big, sizeof big), -1);

  // Nothing pending: a non-blocking read returns 0.
  ASSERT_EQ(hid_set_nonblocking(h.get(), 1), 0);
  EXPECT_EQ(hid_read(h.get(), reply.data(), reply.size()), 0);
}

// As on the kernel rig when the gadget is unbound: what the handle had queued is lost with
// the device, a read fails with hidapi's poll error, a write with ENODEV.
TEST_F(Dongle, AHandleDiesWithTheConnectionAndStaysDead) {
  Handle h = OpenUpdateInterface();
  ASSERT_TRUE(h);
  ASSERT_EQ(SendInfo(h.get(), 2), 65);  // instant timing: the reply is queued when this returns
  VirtualDongle::Unplug();
  proto::Report reply{};
  EXPECT_EQ(hid_read_timeout(h.get(), reply.data(), reply.size(), 0), -1)
      << "a reply queued before the unplug was read after it";
  EXPECT_STREQ(hid_error(h.get()),
               L"hid_read_timeout: unexpected poll error (device disconnected)");
  errno = 0;
  EXPECT_EQ(SendInfo(h.get(), 3), -1);
  EXPECT_EQ(errno, ENODEV);
  VirtualDongle::Plug();
  EXPECT_EQ(SendInfo(h.get(), 4), -1) << "a replug is a new connection";
  Handle again = OpenUpdateInterface();
  ASSERT_TRUE(again);
  EXPECT_EQ(SendInfo(again.get(), 5), 65);
}

// On the kernel rig a pulled cable fails the write under way (EPROTO) and the next ones
// (ENODEV) while the node is still there, listed and readable, for the moments until the
// host's kernel notices; then reads fail.
TEST_F(Dongle, TheNodeLingersUntilTheHostNotices) {
  VirtualDongle::SetDisconnectDelay(200ms);
  Handle h = OpenUpdateInterface();
  ASSERT_TRUE(h);
  ASSERT_EQ(SendInfo(h.get(), 1), 65);
  VirtualDongle::Unplug();
  const auto unplugged = std::chrono::steady_clock::now();
  for (int err : {EPROTO, ENODEV, ENODEV}) {
    errno = 0;
    EXPECT_EQ(SendInfo(h.get(), 2), -1);
    EXPECT_EQ(errno, err);
  }
  proto::Report reply{};
  EXPECT_EQ(hid_read_timeout(h.get(), reply.data(), reply.size(), 0), 64)
      << "what was queued before the unplug is read while the node lingers";
  EXPECT_TRUE(OpenUpdateInterface()) << "still listed and opened";
  EXPECT_EQ(hid_read_timeout(h.get(), reply.data(), reply.size(), 5000), -1);
  EXPECT_GE(std::chrono::steady_clock::now() - unplugged, 190ms);
  EXPECT_FALSE(OpenUpdateInterface());
  VirtualDongle::Plug();
  EXPECT_TRUE(OpenUpdateInterface());
}

// usbhid, at the first open of a node, waits 50 ms for what was queued while nobody listened.
TEST_F(Dongle, TheFirstOpenOfANodeWaits) {
  VirtualDongle::SetTiming(VirtualDongle::Timing::kFullSpeed);
  const auto start = std::chrono::steady_clock::now();
  Handle h = OpenUpdateInterface();
  ASSERT_TRUE(h);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 45ms);
}

// hidraw keeps 63 input reports per open handle; one that finds them there is dropped, so a
// reader that falls behind gets the oldest, in order, and loses the newest.
TEST_F(Dongle, AHandleKeepsTheOldestSixtyThreeReports) {
  Handle h = OpenUpdateInterface();
  ASSERT_TRUE(h);
  for (int i = 0; i < 70; ++i)
    ASSERT_EQ(SendInfo(h.get(), static_cast<std::uint8_t>(i)), 65);
  proto::Report reply{};
  int n = 0;
  while (hid_read_timeout(h.get(), reply.data(), reply.size(), 50) == 64)
    EXPECT_EQ(reply[proto::kTag], n++);
  EXPECT_EQ(n, 63);
}

TEST_F(Dongle, FullSpeedCarriesAtMostOneReportPerMillisecond) {
  // A lower bound only: however slow the machine, the model is never faster than the link
  // (less the two frames it may catch up when its own thread wakes late). A write returns
  // only once a frame has taken its report: the writes alone take the frames.
  VirtualDongle::SetTiming(VirtualDongle::Timing::kFullSpeed);
  Handle h = OpenUpdateInterface();
  ASSERT_TRUE(h);
  constexpr int kRequests = 40;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kRequests; ++i)
    ASSERT_EQ(SendInfo(h.get(), static_cast<std::uint8_t>(i)), 65);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kRequests - 3));
  proto::Report reply{};
  for (int i = 0; i < kRequests; ++i) {
    ASSERT_EQ(hid_read_timeout(h.get(), reply.data(), reply.size(), 2000), 64);
    EXPECT_EQ(reply[proto::kTag], i);
  }
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kRequests - 3));
}

// The dongle's own checks, for a host that skips the library's: it takes only a header
// signed with its key, for its product and hardware revision, not below its security
// counter, and the one START names; it refuses before it erases anything.
TEST_F(Dongle, RefusesWhatAHostThatChecksNothingSends) {
  Handle h = OpenUpdateInterface();
  ASSERT_TRUE(h);
  auto image = [](void (*change)(hiddfu::ImageHeader&),
                  const hiddfu::SigningKey& key = hiddfu::DemoSigningKey()) {
    hiddfu::ImageHeader fields;
    fields.version = kNewVersion;
    change(fields);
    return hiddfu::MakeImageBytes(std::string(1000, 'p'), fields, key);
  };
  VirtualDongle::SetSecurityCounter(3);
  EXPECT_EQ(StartWith(h.get(), image([](hiddfu::ImageHeader&) {}, hiddfu::SigningKey::Generate())),
            proto::kBadSignature);
  EXPECT_EQ(StartWith(h.get(), image([](hiddfu::ImageHeader& f) { f.product = 9; })),
            proto::kWrongProduct);
  EXPECT_EQ(StartWith(h.get(), image([](hiddfu::ImageHeader& f) { f.hardwareRevision = 2; })),
            proto::kWrongHardware);
  EXPECT_EQ(StartWith(h.get(), image([](hiddfu::ImageHeader& f) { f.securityCounter = 2; })),
            proto::kRollback);
  const std::string good = image([](hiddfu::ImageHeader& f) { f.securityCounter = 3; });
  EXPECT_EQ(StartWith(h.get(), good, true), proto::kBadHeader);
  EXPECT_EQ(VirtualDongle::GetStats().erases, 0u);
  EXPECT_EQ(StartWith(h.get(), good), proto::kOk) << "an image it takes, with the same counter";
  EXPECT_EQ(VirtualDongle::GetStats().erases, 1u);
}

// As on hidraw: a write to an endpoint that takes nothing fails after the time limit, one
// whose device vanishes fails at once, and opening a handle waits for a write under way.
TEST_F(Dongle, AWriteNobodyTakesFailsAfterTheLimitAndHoldsUpOpening) {
  using Clock = std::chrono::steady_clock;
  VirtualDongle::SetWriteTimeout(300ms);
  Handle h = OpenUpdateInterface();
  ASSERT_TRUE(h);
  VirtualDongle::SetFaults(With(&VirtualDongle::Faults::outStuck, true));
  Clock::duration openedAfter{};
  const auto start = Clock::now();
  std::thread opener([&] {
    std::this_thread::sleep_for(50ms);
    Handle other = OpenUpdateInterface();
    openedAfter = Clock::now() - start;
  });
  errno = 0;
  EXPECT_EQ(SendInfo(h.get(), 1), -1);
  EXPECT_EQ(errno, ETIMEDOUT);
  const auto failedAfter = Clock::now() - start;
  opener.join();
  EXPECT_GE(failedAfter, 300ms);
  EXPECT_GE(openedAfter, failedAfter - 5ms) << "opened while a write was under way";
  EXPECT_EQ(VirtualDongle::GetStats().writeTimeouts, 1u);

  VirtualDongle::SetWriteTimeout(5s);
  std::thread unplug([] {
    std::this_thread::sleep_for(50ms);
    VirtualDongle::Unplug();
  });
  const auto vanishStart = Clock::now();
  errno = 0;
  EXPECT_EQ(SendInfo(h.get(), 2), -1);
  EXPECT_EQ(errno, EPROTO) << "the write under way as the device left";
  EXPECT_LT(Clock::now() - vanishStart, 2s) << "a vanished device still held the write";
  unplug.join();
}

}  // namespace
