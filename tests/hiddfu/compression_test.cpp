// Compressed images (format 3): the checks the library makes of the stream before a device
// is touched, and the upgrade with the stream decoded by the dongle or, for a dongle that
// cannot, on the host.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "tests/common/compressed_image.h"
#include "tests/hiddfu/fixture.h"

namespace {

using hiddfu::BranchFilter;
using VirtualDongle::Faults;

class Compressed : public DeviceTest {
 protected:
  std::string Write(const std::string& bytes, const std::string& name = "fw.bin") {
    const std::string path = PathOf(name);
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  // The text CheckImageFile gives for the image, or "" when it passes.
  std::string Problem(const std::string& bytes) {
    std::string error;
    hiddfu::ImageRequirements r;
    r.trustedKey = hiddfu::DemoSigningKey().Public();
    r.maxPayload = 1 << 20;
    return hiddfu::CheckImageFile(Write(bytes, "check.bin"), &error, r) ? "" : error;
  }

  const std::string payload_ = CompressiblePayload(150000);
  const std::string stream_ = Compress(payload_, BranchFilter::kArmThumb);
};

TEST_F(Compressed, TheStreamIsCheckedWholeBeforeAnyDeviceIsAsked) {
  ASSERT_LT(stream_.size(), payload_.size() / 2) << "the test payload does not compress";
  const hiddfu::ImageHeader good =
      CompressedHeader(payload_, stream_, kNewVersion, BranchFilter::kArmThumb);
  EXPECT_EQ(Problem(SignedImage(good, stream_)), "");

  std::string damaged = stream_;
  damaged[damaged.size() / 2] ^= 0x20;
  EXPECT_TRUE(Problem(SignedImage(good, damaged)).starts_with("image corrupt: "))
      << Problem(SignedImage(good, damaged));

  EXPECT_TRUE(
      Problem(SignedImage(good, stream_.substr(0, 1000))).starts_with("image truncated: 1000 of "));

  hiddfu::ImageHeader cut = good;  // signed as cut: the stream's end marker is missing
  cut.storedSize = static_cast<std::uint32_t>(stream_.size() - 1);
  EXPECT_NE(Problem(SignedImage(cut, stream_.substr(0, cut.storedSize))).find("ends early"),
            std::string::npos);

  hiddfu::ImageHeader smaller = good;  // it would write past what the header names
  smaller.payloadSize = 100000;
  EXPECT_NE(Problem(SignedImage(smaller, stream_)).find("expands beyond the 100000 bytes"),
            std::string::npos);

  hiddfu::ImageHeader trailing = good;
  trailing.storedSize += 3;
  EXPECT_NE(Problem(SignedImage(trailing, stream_ + "xyz")).find("bytes follow the end"),
            std::string::npos);

  hiddfu::ImageHeader wide = good;  // a dictionary no small dongle holds
  wide.dictionary = 128 * 1024;
  EXPECT_TRUE(
      Problem(SignedImage(wide, stream_)).starts_with("image header invalid: dictionary of 2^17"));

  hiddfu::ImageHeader larger = good;  // the slot limit is the payload's, not the stream's
  larger.payloadSize = 2 << 20;
  EXPECT_TRUE(Problem(SignedImage(larger, stream_)).starts_with("image too large for the device"));
}

// The stream goes as stored to a dongle that decodes it and decoded to one that cannot, in
// either case into a slot that holds the payload the header signed.
TEST_F(Compressed, TheDongleGetsTheStreamItDecodesOrThePayload) {
  struct Case {
    VirtualDongle::Decoder decoder;
    bool stream;
  };
  VirtualDongle::Decoder noThumb;
  noThumb.filters = 0x01;  // only streams without a branch filter
  VirtualDongle::Decoder smallRam;
  smallRam.dictionary = 32 * 1024;
  const Case cases[] = {
      {{}, true}, {VirtualDongle::kNoDecoder, false}, {noThumb, false}, {smallRam, false}};
  const std::string path = Write(SignedImage(
      CompressedHeader(payload_, stream_, kNewVersion, BranchFilter::kArmThumb), stream_));
  for (const Case& c : cases) {
    VirtualDongle::Reset();
    VirtualDongle::SetTiming(VirtualDongle::Timing::kInstant);
    VirtualDongle::SetDecoder(c.decoder);
    ASSERT_EQ(ConnectDongle(), 0) << LastError();
    ASSERT_EQ(hidDfuUpgradeBin(path.c_str()), 0) << LastError();
    PollToEnd();
    EXPECT_EQ(hidDfuGetResult(), 0) << LastError();
    const std::size_t sent = c.stream ? stream_.size() : payload_.size();
    EXPECT_EQ(VirtualDongle::GetStats().accepted, (sent + 61) / 62) << "stream " << c.stream;
    const VirtualDongle::Slot slot = VirtualDongle::GetSlot(1);
    EXPECT_TRUE(slot.verified && slot.bootable);
    EXPECT_EQ(slot.size, payload_.size());
    EXPECT_EQ(VirtualDongle::RunningVersion(), kNewVersion);
    hidDfuDisconnect();
  }
}

// The cable pulled while the dongle decodes and erases as it goes, at points all through the
// stream and so in every block's erase: the old image runs each time, and the next upgrade
// starts afresh and succeeds.
TEST_F(Compressed, AnUnplugAnywhereInTheStreamLeavesTheOldImage) {
  VirtualDongle::SetFlashTiming({4096, std::chrono::milliseconds(0), std::chrono::milliseconds(0)});
  const std::string path = Write(SignedImage(
      CompressedHeader(payload_, stream_, kNewVersion, BranchFilter::kArmThumb), stream_));
  int points = 0;
  for (std::uint32_t at = 1; at < stream_.size(); at += 997, ++points) {
    SCOPED_TRACE("unplugged at stream byte " + std::to_string(at));
    VirtualDongle::SetFaults(With(&Faults::unplugAtByte, at));
    ASSERT_EQ(ConnectDongle(), 0) << LastError();
    ASSERT_EQ(hidDfuUpgradeBin(path.c_str()), 0) << LastError();
    PollToEnd();
    EXPECT_NE(hidDfuGetResult(), 0);
    hidDfuDisconnect();
    VirtualDongle::Plug();
    ASSERT_EQ(VirtualDongle::RunningVersion(), VirtualDongle::kFactoryVersion);
  }
  std::printf("unplugged at %d points of a %zu-byte stream over %zu blocks\n", points,
              stream_.size(), (payload_.size() + 4095) / 4096);
  VirtualDongle::SetFaults({});
  ASSERT_EQ(ConnectDongle(), 0) << LastError();
  ASSERT_EQ(hidDfuUpgradeBin(path.c_str()), 0) << LastError();
  PollToEnd();
  EXPECT_EQ(hidDfuGetResult(), 0) << LastError();
  EXPECT_EQ(VirtualDongle::RunningVersion(), kNewVersion);
}

}  // namespace
