// The virtual Marlo dongle: a simulated device behind the 18 hid_* functions that hidapi
// offers, linked into an executable instead of the hidraw backend. It speaks the device
// side of the update protocol (docs/protocol.md), keeps two firmware slots and models USB
// full speed: one 64-byte report per 1 ms interval each way.
//
// The controls below are for tests and the demo. Everything is thread-safe: the library's
// worker, the GUI thread and a test may call in at once. With nothing configured the dongle
// is plugged in, runs its factory image 1.0.0.0 from slot 0 and uses full-speed timing.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "hiddfu/image.h"

namespace VirtualDongle {

using hiddfu::FirmwareVersion;

inline constexpr FirmwareVersion kFactoryVersion{1, 0, 0, 0};
inline constexpr std::uint32_t kDefaultSlotCapacity = 16 * 1024 * 1024;

enum class Timing {
  kInstant,    // reports are handled as soon as they arrive; restarts take no time
  kFullSpeed,  // one report per millisecond each way; a restart takes 500 ms
};

// Why the dongle turns down a start request.
enum class Refusal : std::uint8_t {
  kBusy = 1,
  kBatteryLow = 2,
  kTooLarge = 3,
  kBadHeader = 4,
  kVersionRejected = 5,
};

// Faults to inject. Report indices count from 0 and restart with every start request;
// data indices count every data report that reaches the dongle, retransmissions included.
struct Faults {
  std::optional<Refusal> refuseStart;
  // Power lost once this many payload bytes have been received (0: on the start request).
  std::optional<std::uint32_t> unplugAtByte;
  // Stops handling anything once this many payload bytes have been received.
  std::optional<std::uint32_t> stallAtByte;
  // Link faults on one data report: lost, delivered twice, or with a byte changed.
  std::optional<std::uint32_t> dropData;
  std::optional<std::uint32_t> duplicateData;
  std::optional<std::uint32_t> corruptData;
  // Link faults on one acknowledgement (ACK or NAK) that the dongle sends.
  std::optional<std::uint32_t> dropAck;
  std::optional<std::uint32_t> corruptAck;
  // The next reply of that kind is lost.
  bool dropStartReply = false;
  bool dropVerifyReply = false;
  bool dropActivateReply = false;
  // The received image fails the dongle's check although it arrived whole.
  bool failVerification = false;
  // After the restart the dongle stays off the bus until Plug().
  bool restartNeverEnds = false;
  // The new image does not start; the boot loader falls back to the old one.
  bool newImageFailsToStart = false;
  // The completion figure the dongle reports once a new image runs (100 or more).
  std::uint8_t completionFigure = 100;
};

struct Slot {
  bool holdsImage = false;
  FirmwareVersion version;
  std::uint32_t size = 0;
  bool verified = false;
  bool bootable = false;
  hiddfu::Digest digest{};  // of the payload as received
};

struct Stats {
  std::uint32_t starts = 0;
  std::uint32_t dataReports = 0;  // data reports that reached the dongle
  std::uint32_t accepted = 0;     // ... taken in order
  std::uint32_t duplicates = 0;
  std::uint32_t gaps = 0;     // ... that arrived after a missing one
  std::uint32_t damaged = 0;  // reports with a bad checksum
  std::uint32_t acks = 0;
  std::uint32_t naks = 0;
  std::uint32_t aborts = 0;
  std::uint32_t restarts = 0;
};

// When the steps of the last upgrade happened (steady clock); default-constructed if not.
struct Timeline {
  std::chrono::steady_clock::time_point started;    // start reply sent
  std::chrono::steady_clock::time_point verified;   // successful verify reply sent
  std::chrono::steady_clock::time_point restarted;  // new image booted (or fell back)
};

// Back to the state with nothing configured: open handles die, faults and statistics are
// cleared, slot 0 holds the factory image, slot 1 is empty, full-speed timing.
void Reset();

void SetTiming(Timing timing);
void SetFaults(const Faults& faults);
// How long a restart keeps the dongle off the bus; Reset returns to the timing's default.
void SetRestartDelay(std::chrono::milliseconds delay);
void SetSlotCapacity(std::uint32_t bytes);
// Puts `version` into slot 0 as the running, verified image and empties slot 1.
void InstallFactoryImage(FirmwareVersion version);

// Plugging in powers the dongle up and boots it; unplugging cuts the power at once.
void Plug();
void Unplug();
bool IsPlugged();

int ActiveSlot();
Slot GetSlot(int index);
FirmwareVersion RunningVersion();
std::uint16_t BootCount();
Stats GetStats();
Timeline GetTimeline();

}  // namespace VirtualDongle
