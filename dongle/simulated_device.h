// Inside the virtual dongle: the simulated devices that the hid_* functions and the controls
// share. Each is guarded by its own mutex; its own thread paces the USB frames, handles the
// reports, does the flash work and runs the trial watchdog. Its USB side is a Bus: the
// in-process one, which the hid_* functions read, or a USB HID gadget on a real kernel.
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

#include "dongle/boot_journal.h"
#include "dongle/dongle.h"
#include "dongle/flash.h"
#include "hiddfu/image.h"
#include "hiddfu/protocol.h"

namespace dongle {

using Clock = std::chrono::steady_clock;
using hiddfu::proto::Report;

// What hidraw keeps of the input reports per open handle: a ring of 64 with one place kept
// free, so 63; a report that finds it full is dropped, the oldest are kept.
inline constexpr std::size_t kInDepth = 63;
// The interfaces in the order the dongle's configuration has them, which is also the order
// enumeration lists them in: the media keys first.
inline constexpr int kConsumerInterface = 0;  // usage page 0x000C: media keys, never answers
inline constexpr int kVendorInterface = 1;    // usage page 0xFF00, usage 1: the update channel

// At full speed, what the first open of an interface's node takes: usbhid waits this long for
// the reports queued while nobody listened, and drops them.
inline constexpr std::chrono::milliseconds kFirstOpenWait{50};

// Who the dongle says it is on the bus.
inline constexpr char kManufacturer[] = "Zav";
inline constexpr char kProductName[] = "Marlo Dongle";

class Device;

// The dongle's USB side. Called with the device's mutex held, from the device's thread or a
// control; an implementation does its slow work (a gadget binding to its controller) on a
// thread of its own.
class Bus {
 public:
  virtual ~Bus() = default;
  // Whether the IN endpoint takes a report now.
  virtual bool InReady(const Device& d) const = 0;
  // One report to the host through the IN endpoint.
  virtual void SendIn(Device& d, const Report& r) = 0;
  // The dongle has come onto the bus (it enumerates) or gone off it.
  virtual void Attached(Device& d, bool onBus) = 0;
};

// The bus that the in-process hid_* functions are the host side of: every open handle on
// the update interface gets the report, as every open hidraw file does.
Bus& InProcessBus();

}  // namespace dongle

// One open handle, as hid_open returns it.
struct hid_device_ {
  dongle::Device* device = nullptr;
  std::uint64_t generation = 0;  // dead once the dongle has left the bus since it was opened
  int interface = dongle::kVendorInterface;
  bool nonblocking = false;
  int callsInFlight = 0;     // hid_write and hid_read calls under way on this handle
  bool writeFailed = false;  // a write has met the broken link since the device left
  std::deque<dongle::Report> in;
  std::wstring error = L"Success";
};

namespace dongle {

enum class Phase { kIdle, kErasing, kReceiving, kVerifying, kVerified };

// The header of the image a slot holds, written into the slot once its payload verified.
struct StoredImage {
  hiddfu::HeaderBytes bytes{};
  hiddfu::ImageHeader header;
  bool factory = false;  // put there by the maker (InstallFactoryImage)
};

// What a dongle added beside the first one takes over from it.
struct Settings {
  VirtualDongle::Timing timing = VirtualDongle::Timing::kFullSpeed;
  std::optional<VirtualDongle::FlashTiming> flashTiming;
  std::optional<std::chrono::milliseconds> restartDelay;
  std::optional<std::chrono::milliseconds> disconnectDelay;
  std::chrono::milliseconds writeTimeout{5000};
  std::chrono::milliseconds trialWatchdog = VirtualDongle::kTrialWatchdog;
  VirtualDongle::Decoder decoder;
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
  std::uint64_t generation = 1;          // counts the times the dongle left the bus
  std::uint64_t departedGeneration = 0;  // the last time it left: which generation, and when
  Clock::time_point departedAt;
  Bus* bus = &InProcessBus();
  std::deque<Report> out;         // the OUT endpoint: the one report in flight, if any
  std::uint64_t outTaken = 0;     // reports a frame has taken from it so far
  int writesInFlight = 0;         // opening and closing a handle wait for these, as on hidraw
  std::deque<Report> in;          // replies waiting for the IN endpoint
  Clock::time_point inHeldUntil;  // a delayed reply holds the IN endpoint until then
  std::vector<hid_device*> handles;
  VirtualDongle::Timing timing = VirtualDongle::Timing::kFullSpeed;
  std::optional<VirtualDongle::FlashTiming> flashTiming;     // else the timing's own
  std::optional<std::chrono::milliseconds> restartDelay;     // else the timing's own
  std::optional<std::chrono::milliseconds> disconnectDelay;  // else the timing's own
  std::chrono::milliseconds writeTimeout{5000};
  std::chrono::milliseconds trialWatchdog = VirtualDongle::kTrialWatchdog;
  VirtualDongle::Decoder decoder;
  Clock::time_point nextFrame;
  std::wstring serial;
  std::string nodePath;

  // Firmware side. What a power cut leaves: the slots' flash, the header of the image each
  // holds, the boot journal (boot_loader.cpp).
  Flash flash[2];
  std::optional<StoredImage> image[2];
  BootJournal journal;
  // What the running firmware knows.
  int active = 0;        // the slot whose image runs; -1 in the boot loader's update mode
  bool onTrial = false;  // the running image is the one tried, not confirmed yet
  bool intact[2] = {false, false};  // the slot matched its header's digest when last read
  hiddfu::proto::SelfTest selfTest = hiddfu::proto::SelfTest::kNone;
  Clock::time_point selfTestDue;  // when the running self-test ends, or a failed image resets
  Clock::time_point watchdogAt;
  std::uint16_t product = VirtualDongle::kProduct;
  std::uint16_t hardwareRevision = VirtualDongle::kHardwareRevision;
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
  hiddfu::proto::StartRequest startRequest;  // the start request being served
  hiddfu::HeaderBytes incomingHeader{};      // the header it named, as checked
  std::uint32_t incomingSize = 0;            // the bytes the data reports carry: payload or stream
  std::uint32_t slotBytes = 0;               // the payload as it lies in the slot
  hiddfu::Digest incomingDigest{};
  std::uint32_t expected = 0;  // data reports taken in order
  std::uint32_t received = 0;  // bytes taken
  // Writing the slot (slot_writer.cpp): the stream's decoder, how far the slot is written
  // and erased, when the flash has done what it was given, when each report still in the
  // receive buffer leaves it.
  std::optional<hiddfu::StreamDecoder> streamDecoder;
  bool badStream = false;
  std::uint64_t written = 0;
  std::uint64_t erasedTo = 0;
  Clock::time_point flashFreeAt;
  std::deque<Clock::time_point> buffered;
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
  // Transfers on the handle fail: the dongle it was opened on has left the bus.
  bool Dead(const hid_device* h) const { return stopped || !onBus || h->generation != generation; }
  // The generation whose node the host's kernel has now: the one that left the bus until it
  // notices, then the one on the bus; 0 for none.
  std::uint64_t HostGeneration(Clock::time_point now) const;
  // When the host's kernel removes the node of generation `g` (max: not yet known).
  Clock::time_point NodeRemovedAt(std::uint64_t g) const;
  bool TakesReports(Clock::time_point now) const {
    return !outStuck && !faults.outStuck && !BufferFull(now);
  }
  bool BufferFull(Clock::time_point now) const;
  Clock::time_point BufferFreesAt(Clock::time_point now) const;
  VirtualDongle::FlashTiming FlashTimes() const;
  std::chrono::milliseconds RestartTime() const;
  std::chrono::milliseconds DisconnectTime() const;
  Settings CurrentSettings() const;
  void Apply(const Settings& settings);
  void ResetState();
  void InstallFactoryImage(hiddfu::FirmwareVersion version);
  std::uint32_t Counter() const;  // the lowest security counter it takes
  int Confirmed() const;
  hiddfu::FirmwareVersion RunningVersion() const;  // 0.0.0.0 in the update mode
  VirtualDongle::Slot SlotView(int slot) const;
  void DecaySlot(int slot);  // a payload byte of the slot's flash changes
  // The boot state set up anew with this counter, the confirmed slot kept.
  void SetCounter(std::uint32_t counter);
  // The images in the slots count as the maker's, as after SetTrustedKey and SetCounter.
  void AdoptImages();
  void GoOffBus();
  void ComeOnBus();
  void PowerOff();  // the cable pulled
  void PowerCut();  // by a fault: back after faults.replugAfter, if set
  void PowerOn();
  void Run();  // the device thread
  // When the device thread has something to do next, with nothing coming from the host.
  Clock::time_point NextWake(Clock::time_point now, bool watchdog) const;

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
  bool SelfTestDue(Clock::time_point now) const;
  void StepSelfTest();
  // A chatty dongle: its current acknowledgement this many times over, at the link's pace,
  // for a host that must live with a full input queue.
  void RepeatAck(std::uint32_t copies);

 private:
  void HandleData(const Report& r);
  // The next `n` bytes taken, into the slot: as they are, or through the stream's decoder.
  void StoreData(const hiddfu::proto::Data& data, std::size_t n);
  // Writes decoded or taken bytes at the slot's write position, erasing the block after the
  // one they land in first; `t` is when the flash gets to them, and moves on.
  bool Program(const std::uint8_t* bytes, std::size_t n, Clock::time_point* t);
  bool TakesForm(hiddfu::proto::Form form, const hiddfu::ImageHeader& header) const;
  unsigned DecoderMethods() const;  // a bit per hiddfu::Method, as INFO names them
  void HandleCommand(const Report& r);
  // One handler per command, given an intact report of it: the reply, if one goes out.
  std::optional<Report> OnInfo(const Report& r);
  std::optional<Report> OnStart(const Report& r);
  std::optional<Report> OnVerify(const Report& r);
  std::optional<Report> OnActivate(const Report& r);
  std::optional<Report> OnAbort(const Report& r);
  std::optional<Report> OnHeader(const Report& r);
  std::optional<Report> OnConfirm(const Report& r);
  bool RepeatedStart(const hiddfu::proto::StartRequest& request) const;
  // Whether the header START names is one this dongle takes: a status.
  std::uint8_t CheckHeader(const hiddfu::proto::StartRequest& request,
                           hiddfu::ImageHeader* header) const;
  void BeginUpgrade(const hiddfu::proto::StartRequest& request, const hiddfu::ImageHeader& header);
  void BeginRestart();
  bool Boot();  // false: the power was cut at a write of the boot state
  void StartImage(int slot, bool trial);
  std::chrono::milliseconds SelfTestTime() const;
  bool Bootable(int slot) const;
  bool Startable(int slot);  // reads the slot back
  // One write of the boot state; false when the power was cut at it (it is then off).
  bool Persist(BootRecord kind, int slot, std::uint32_t value = 0);
  void DropUpgrade();
  hiddfu::proto::Work WorkDone() const;  // how far the flash work is
  hiddfu::proto::StartReply StartReply() const;
  hiddfu::proto::VerifyReply VerifyReply() const;
  void BeginWork(Phase phase, std::uint64_t total, std::chrono::milliseconds perBlock);
  void FinishVerification();
  Report AckReport() const;
  void Ack();
  void Nak();
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
// Moves dongle 0 onto another bus: it leaves the one it is on and boots again on `bus`, which
// must outlive the process's dongles (they stop at exit).
void UseBus(Bus& bus);

}  // namespace dongle
