// Inside the virtual dongle: the simulated devices that the hid_* functions and the controls
// share. Each is guarded by its own mutex; its own thread paces the USB frames, handles the
// reports, does the flash work and runs the trial watchdog.
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

// What a dongle added beside the first one takes over from it.
struct Settings {
  VirtualDongle::Timing timing = VirtualDongle::Timing::kFullSpeed;
  std::optional<VirtualDongle::FlashTiming> flashTiming;
  std::optional<std::chrono::milliseconds> restartDelay;
  std::chrono::milliseconds writeTimeout{5000};
  std::chrono::milliseconds trialWatchdog = VirtualDongle::kTrialWatchdog;
};

class Device {
 public:
  std::mutex mu;
  std::condition_variable deviceCv;  // wakes the device thread
  std::condition_variable hostCv;    // wakes callers waiting to write, read, open or close

  int number = 0;       // among the dongles
  bool present = true;  // a dongle added by a test and not removed since
  // Bus side.
  bool stopped = false;
  bool powered = true;  // it has power and runs firmware, on the bus or not
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
  std::chrono::milliseconds trialWatchdog = VirtualDongle::kTrialWatchdog;
  Clock::time_point nextFrame;
  std::wstring serial;
  std::string nodePath;

  // Firmware side.
  Flash flash[2];
  VirtualDongle::Slot slots[2];
  int active = 0;
  int confirmed = 0;     // the slot the boot loader starts unless one is to be tried
  int trialSlot = -1;    // committed, tried at the next power-up
  bool onTrial = false;  // the running image is the one tried, not confirmed yet
  Clock::time_point watchdogAt;
  std::uint16_t product = VirtualDongle::kProduct;
  std::uint16_t hardwareRevision = VirtualDongle::kHardwareRevision;
  std::uint32_t securityCounter = 0;  // the lowest it takes: the last confirmed image's
  hiddfu::PublicKey trustedKey{};
  hiddfu::HeaderBytes headerBuffer{};  // the image header as the HEADER commands brought it
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
  std::uint32_t incomingCounter = 0;
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
  Settings CurrentSettings() const;
  void Apply(const Settings& settings);
  void ResetState();
  void InstallFactoryImage(hiddfu::FirmwareVersion version);
  void GoOffBus();
  void PowerOff();  // the cable pulled
  void PowerCut();  // by a fault: back after faults.replugAfter, if set
  void PowerOn();
  void Run();  // the device thread

  // The device thread's steps, also driven directly by the report fuzzer (mu held, no
  // thread timing): take the report from the OUT endpoint and handle it, hand the oldest
  // reply to the IN endpoint, finish one block of flash work, end a restart, reset when the
  // trial watchdog runs out.
  void Take();
  void Process(Report r);
  bool CanDeliver(Clock::time_point now) const;
  void Deliver();
  bool Working() const { return phase == Phase::kErasing || phase == Phase::kVerifying; }
  void StepWork();
  void FinishRestart();
  void WatchdogReset();

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
  bool OnHeader(const Report& r, Report& reply);
  bool OnConfirm(const Report& r, Report& reply);
  bool RepeatedStart(const Report& r) const;
  // Whether the header START names is one this dongle takes: a status.
  std::uint8_t CheckHeader(const Report& r, hiddfu::ImageHeader* header) const;
  void BeginUpgrade(const Report& r, const hiddfu::ImageHeader& header);
  void BeginRestart();
  void Revert();
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

// The dongles, created on first use and never destroyed: an exit handler stops their
// threads, after which every hid_* call fails as for an unplugged device. Dongle 0 is always
// there; the others come and go with AddDevice and RemoveAddedDevices.
Device& TheDevice();  // dongle 0
Device& DeviceAt(int index);
// Every dongle ever made, present or not, by number.
std::vector<Device*> AllDevices();
int AddDevice(const std::wstring& serial, const Settings& settings);
void RemoveAddedDevices();

}  // namespace dongle
