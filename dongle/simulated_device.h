// Inside the virtual dongle: the simulated device that the hid_* functions and the controls
// share. Everything is guarded by one mutex; the device's own thread paces the USB frames,
// handles the reports and does the flash work.
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
#include "dongle/flash.h"
#include "hiddfu/image.h"
#include "hiddfu/protocol.h"

namespace dongle {

using Clock = std::chrono::steady_clock;
using hiddfu::proto::Report;

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
  int callsInFlight = 0;  // hid_write and hid_read calls under way on this handle
  std::deque<dongle::Report> in;
  std::wstring error = L"Success";
};

namespace dongle {

enum class Phase { kIdle, kErasing, kReceiving, kVerifying, kVerified };

class Device {
 public:
  std::mutex mu;
  std::condition_variable deviceCv;  // wakes the device thread
  std::condition_variable hostCv;    // wakes callers waiting to write, read, open or close

  // Bus side.
  bool stopped = false;
  bool onBus = true;
  std::uint64_t generation = 1;
  std::deque<Report> out;         // the OUT endpoint: the one report in flight, if any
  std::uint64_t outTaken = 0;     // reports a frame has taken from it so far
  int writesInFlight = 0;         // opening and closing a handle wait for these, as on hidraw
  std::deque<Report> in;          // replies waiting for the IN endpoint
  Clock::time_point inHeldUntil;  // a delayed reply holds the IN endpoint until then
  std::vector<hid_device*> handles;
  VirtualDongle::Timing timing = VirtualDongle::Timing::kFullSpeed;
  std::optional<VirtualDongle::FlashTiming> flashTiming;  // else the timing's own
  std::optional<std::chrono::milliseconds> restartDelay;  // else the timing's own
  std::chrono::milliseconds writeTimeout{5000};
  Clock::time_point nextFrame;
  std::wstring serial;
  std::string nodePath;

  // Firmware side.
  Flash flash[2];
  VirtualDongle::Slot slots[2];
  int active = 0;
  int trialSlot = -1;  // committed, boots at the next power-up
  std::uint16_t bootCount = 0;
  std::uint32_t capacity = VirtualDongle::kDefaultSlotCapacity;
  std::uint8_t completion = 0;
  bool restarting = false;
  bool restartAfterReply = false;
  Clock::time_point restartDone;

  // The upgrade in progress.
  Phase phase = Phase::kIdle;
  int staged = 1;
  Report startFields{};  // the start request being served, without tag and checksum
  hiddfu::FirmwareVersion incomingVersion;
  std::uint32_t incomingSize = 0;
  hiddfu::Digest incomingDigest{};
  std::uint32_t expected = 0;  // data reports taken in order
  std::uint32_t received = 0;  // payload bytes taken
  std::uint64_t workDone = 0;  // bytes erased, or read back to verify
  std::uint64_t workTotal = 0;
  Clock::time_point workNext;           // when the flash finishes its next block
  hiddfu::Sha256 sha;                   // of the slot as it is read back
  std::optional<std::uint8_t> verdict;  // the last verification's status, for a repeated VERIFY
  bool nakSent = false;
  bool stalled = false;
  bool outStuck = false;
  std::uint32_t dataIndex = 0;
  std::uint32_t ackIndex = 0;

  VirtualDongle::Faults faults;
  VirtualDongle::Stats stats;
  VirtualDongle::Timeline timeline;

  std::thread thread;

  // All of these expect `mu` held.
  bool Dead(const hid_device* h) const { return stopped || !onBus || h->generation != generation; }
  bool TakesReports() const { return !outStuck && !faults.outStuck; }
  VirtualDongle::FlashTiming FlashTimes() const;
  std::chrono::milliseconds RestartTime() const;
  void ResetState();
  void GoOffBus();
  void PowerOn();
  void Run();  // the device thread

  // The device thread's steps, also driven directly by the report fuzzer (mu held, no
  // thread timing): take the report from the OUT endpoint and handle it, hand the oldest
  // reply to the IN endpoint, finish one block of flash work, end a restart.
  void Take();
  void Process(Report r);
  bool CanDeliver(Clock::time_point now) const;
  void Deliver();
  bool Working() const { return phase == Phase::kErasing || phase == Phase::kVerifying; }
  void StepWork();
  void FinishRestart();

 private:
  void HandleData(const Report& r);
  void StoreData(const Report& r, std::uint64_t offset, std::size_t n);
  void HandleCommand(const Report& r);
  // One handler per command: fills the reply; false when none goes out.
  bool OnInfo(const Report& r, Report& reply);
  bool OnStart(const Report& r, Report& reply);
  bool OnVerify(const Report& r, Report& reply);
  bool OnActivate(const Report& r, Report& reply);
  bool OnAbort(const Report& r, Report& reply);
  bool RepeatedStart(const Report& r) const;
  void BeginUpgrade(const Report& r);
  void DropUpgrade();
  void WorkingReply(const Report& r, Report& reply) const;  // how far the flash work is
  void StartReply(const Report& r, Report& reply) const;
  void VerifyReply(const Report& r, Report& reply) const;
  void BeginWork(Phase phase, std::uint64_t total, std::chrono::milliseconds perBlock);
  void FinishVerification();
  void Ack();
  void Nak();
  static void Reply(const Report& request, std::uint8_t status, Report& reply);
  std::uint32_t TotalReports() const;
  std::uint32_t BlockBytes() const;
};

// The one dongle, created on first use and never destroyed: an exit handler stops its
// thread, after which every hid_* call fails as for an unplugged device.
Device& TheDevice();

}  // namespace dongle
