// Shared set-up of the tests of the library, the dongle and the adapter: a virtual dongle
// in its default state with instant timing, short library time limits, a private folder for
// image files, and a bounded progress poll.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "dongle/dongle.h"
#include "hiddfu/hiddfu.h"
#include "hiddfu/hiddfu_tuning.h"
#include "hiddfu/image.h"
#include "tests/common/temp_dir.h"
#include "tests/common/with.h"

inline constexpr unsigned short kVid = ZAV_USB_VID;
inline constexpr unsigned short kPid = ZAV_USB_PID;
inline constexpr hiddfu::FirmwareVersion kNewVersion{1, 2, 0, 7};

inline int ConnectDongle() {
  int reserved = 0;
  return hidDfuConnect(kVid, kPid, 1, 0xFF00, &reserved);
}

inline std::string LastError() {
  return hidDfuGetLastError();
}

// Waits until the dongle is on the bus and runs no image on trial: an unconfirmed one has
// gone back to the old one by its watchdog. False when that takes longer than `limit`.
inline bool WaitSettled(int dongle = 0, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!VirtualDongle::IsPlugged(dongle) || VirtualDongle::OnTrial(dongle)) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// Waits until the running upgrade's progress reaches `at`, for at most `limit`.
inline void WaitForProgress(int at, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (hidDfuGetProgress() < at && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

class DeviceTest : public testing::Test {
 protected:
  static constexpr int kReplyMs = 40;
  static constexpr int kRebootMs = 2000;

  void SetUp() override {
    VirtualDongle::Reset();
    VirtualDongle::SetTiming(VirtualDongle::Timing::kInstant);
    ASSERT_EQ(hidDfuSetTimeouts(kReplyMs, kRebootMs), 0);
  }

  void TearDown() override { hidDfuDisconnect(); }

  std::string PathOf(const std::string& name) const { return (dir_.path() / name).string(); }

  // An image of `size` pseudo-random bytes from `seed`.
  std::string Image(std::uint32_t size, hiddfu::FirmwareVersion version = kNewVersion,
                    std::uint32_t seed = 7, const std::string& name = "fw.bin") {
    const std::string path = PathOf(name);
    std::string error;
    EXPECT_TRUE(hiddfu::WriteFilledImage(path, version, size, seed, &error)) << error;
    return path;
  }

  // Polls until the upgrade finishes (or the limit passes) and returns every distinct
  // value seen, in order.
  static std::vector<int> PollToEnd(
      std::chrono::milliseconds limit = std::chrono::seconds(10),
      std::chrono::milliseconds every = std::chrono::milliseconds(1)) {
    std::vector<int> seen;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      const int p = hidDfuGetProgress();
      if (seen.empty() || seen.back() != p)
        seen.push_back(p);
      if (p >= 100)
        break;
      std::this_thread::sleep_for(every);
    }
    return seen;
  }

  // Every value at least the one before it, and the last one 100 or more.
  static void ExpectFinishedMonotonic(const std::vector<int>& seen) {
    ASSERT_FALSE(seen.empty());
    for (std::size_t i = 1; i < seen.size(); ++i) {
      EXPECT_GE(seen[i], seen[i - 1]) << "progress went back at step " << i;
    }
    EXPECT_GE(seen.back(), 100) << "the upgrade did not finish";
  }

  // The dongle still boots the factory image, verified, from slot 0, and slot 1 holds
  // nothing it would boot.
  static void ExpectOnFactoryImage() {
    EXPECT_EQ(VirtualDongle::ActiveSlot(), 0);
    const VirtualDongle::Slot old = VirtualDongle::GetSlot(0);
    EXPECT_TRUE(old.holdsImage && old.verified && old.bootable);
    EXPECT_EQ(old.version, VirtualDongle::kFactoryVersion);
    EXPECT_FALSE(VirtualDongle::GetSlot(1).bootable);
    EXPECT_EQ(VirtualDongle::RunningVersion(), VirtualDongle::kFactoryVersion);
  }

  TempDir dir_{"zav-device"};
};
