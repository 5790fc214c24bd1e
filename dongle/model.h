// Inside the virtual dongle: the simulated device that the hid_* functions and the controls
// share. Everything is guarded by one mutex; the device's own thread handles the reports.
#pragma once

#include <hidapi.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "dongle/dongle.h"
#include "hiddfu/image.h"
#include "hiddfu/protocol.h"

namespace dongle {

using Clock = std::chrono::steady_clock;
using hiddfu::proto::Report;

inline constexpr std::size_t kOutDepth = 2;   // a double-buffered OUT endpoint
inline constexpr std::size_t kInDepth = 64;   // what the host's HID driver buffers per handle
inline constexpr int kVendorInterface = 0;    // usage page 0xFF00, usage 1: the update channel
inline constexpr int kConsumerInterface = 1;  // usage page 0x000C: media keys, never answers

class Device;

}  // namespace dongle

// One open handle, as hid_open returns it.
struct hid_device_ {
  dongle::Device* device = nullptr;
  std::uint64_t generation = 0;  // dead once the dongle has left the bus since it was opened
  int interface = dongle::kVendorInterface;
  bool nonblocking = false;
  std::deque<dongle::Report> in;
  std::wstring error = L"Success";
};

namespace dongle {

enum class Phase { kIdle, kReceiving, kVerified };

class Device {
 public:
  std::mutex mu;
  std::condition_variable deviceCv;  // wakes the device thread
  std::condition_variable hostCv;    // wakes callers waiting to write or read

  // Bus side.
  bool stopped = false;
  bool onBus = true;
  std::uint64_t generation = 1;
  std::deque<Report> out;  // OUT endpoint
  std::deque<Report> in;   // replies waiting for the IN endpoint
  std::vector<hid_device*> handles;
  VirtualDongle::Timing timing = VirtualDongle::Timing::kFullSpeed;
  Clock::time_point nextFrame;

  // Firmware side.
  VirtualDongle::Slot slots[2];
  int active = 0;
  int trialSlot = -1;  // committed, boots at the next power-up
  std::uint16_t bootCount = 0;
  std::uint32_t capacity = VirtualDongle::kDefaultSlotCapacity;
  std::uint8_t completion = 0;
  bool restarting = false;
  bool restartAfterReply = false;
  Clock::time_point restartDone;
  std::optional<std::chrono::milliseconds> restartDelay;

  // The upgrade in progress.
  Phase phase = Phase::kIdle;
  int staged = 1;
  hiddfu::FirmwareVersion incomingVersion;
  std::uint32_t incomingSize = 0;
  hiddfu::Digest incomingDigest{};
  std::uint32_t expected = 0;  // data reports taken in order
  std::uint32_t received = 0;  // payload bytes taken
  hiddfu::Sha256 sha;
  bool nakSent = false;
  bool stalled = false;
  std::uint32_t dataIndex = 0;
  std::uint32_t ackIndex = 0;

  VirtualDongle::Faults faults;
  VirtualDongle::Stats stats;
  VirtualDongle::Timeline timeline;

  std::thread thread;

  // All of these expect `mu` held.
  bool Dead(const hid_device* h) const { return stopped || !onBus || h->generation != generation; }
  void ResetState();
  void GoOffBus();
  void PowerOn();
  void Run();  // the device thread

  // The device thread's steps, also driven directly by the report fuzzer (mu held, no
  // thread timing): handle one report from the OUT endpoint, hand the oldest reply to the
  // IN endpoint, end a restart.
  void Process(Report r);
  void Deliver();
  void FinishRestart();

 private:
  void HandleData(const Report& r);
  void HandleCommand(const Report& r);
  void Ack();
  void Nak();
  void Reply(const Report& request, std::uint8_t status, Report* out);
  std::uint32_t TotalReports() const;
};

// The one dongle, created on first use and never destroyed: an exit handler stops its
// thread, after which every hid_* call fails as for an unplugged device.
Device& TheDevice();

}  // namespace dongle
