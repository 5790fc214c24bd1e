// The virtual Marlo dongle: a simulated device behind the 18 hid_* functions that hidapi
// offers, linked into an executable instead of the hidraw backend. It speaks the device
// side of the update protocol (docs/protocol.md), keeps two firmware slots in flash that
// takes time to erase and to read back, and behaves as the dongle does behind Linux hidraw:
// one 64-byte report per 1 ms frame each way, a hid_write that returns only once a frame
// has taken its report and fails after 5 s when none does. It holds the build's demo public
// key and takes only images signed with it, made for its product and hardware revision, and
// not below its security counter. A new image starts on trial: unless the host confirms it,
// the dongle goes back to its old image at the next reset, or when its watchdog runs out.
//
// The controls below are for tests and the demo. Everything is thread-safe: the library's
// threads, the GUI thread and a test may call in at once. With nothing configured there is
// one dongle, plugged in, running its factory image 1.0.0.0 from slot 0, with full-speed
// timing and realistic flash. More dongles, each with a serial number of its own, come with
// AddDongle; the controls act on the dongle their last argument names, dongle 0 by default.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "hiddfu/image.h"

namespace VirtualDongle {

using hiddfu::FirmwareVersion;

inline constexpr FirmwareVersion kFactoryVersion{1, 0, 0, 0};
inline constexpr std::uint32_t kDefaultSlotCapacity = 16 * 1024 * 1024;

enum class Timing {
  kInstant,    // reports are handled as soon as they arrive; flash work and restarts take no time
  kFullSpeed,  // one report per millisecond each way; realistic flash; a restart takes 500 ms
};

// How long an image on trial may run unconfirmed before the watchdog resets the dongle,
// which then goes back to its old image.
inline constexpr std::chrono::milliseconds kTrialWatchdog{10000};

// At full speed, how long a new image's self-test takes once it has started (instant timing:
// no time); one that failed says so this long, then resets itself.
inline constexpr std::chrono::milliseconds kSelfTestTime{300};

// At full speed, how long after the dongle leaves the bus the host's kernel notices: a hub
// reports a port's change when it is next polled, up to 255 ms later behind a full-speed hub.
inline constexpr std::chrono::milliseconds kDisconnectNoticed{250};

// How long the flash takes: erasing one block, and reading one block back (with hashing it)
// when the dongle verifies a received image. Zero durations mean instant.
struct FlashTiming {
  std::uint32_t blockBytes = 64 * 1024;
  std::chrono::milliseconds eraseBlock{150};
  std::chrono::milliseconds readBlock{32};
};
inline constexpr FlashTiming kRealisticFlash{};
inline constexpr FlashTiming kInstantFlash{64 * 1024, std::chrono::milliseconds(0),
                                           std::chrono::milliseconds(0)};

// The compressed streams the dongle decodes as they arrive, and how fast (in payload bytes a
// second at full speed; the instant timing takes no time). An MCU at 64 MHz decodes LZMA2
// faster than the link brings it. kNoDecoder: a dongle that takes only the payload.
struct Decoder {
  bool lzma2 = true;
  std::uint8_t filters = 0x1F;  // bit per hiddfu::BranchFilter; bit 0 for none
  std::uint32_t dictionary = 64 * 1024;
  std::uint32_t bytesPerSecond = 1024 * 1024;
};
inline constexpr Decoder kNoDecoder{false, 0, 0, 0};
// How much of the data the dongle takes ahead of its flash: the OUT endpoint stops taking
// reports while this is full (the flash erasing the next block, or the decoder behind).
inline constexpr std::uint32_t kReceiveBuffer = 16 * 1024;

// Why the dongle turns down a start request.
enum class Refusal : std::uint8_t {
  kBusy = 1,
  kBatteryLow = 2,
  kTooLarge = 3,
  kBadHeader = 4,
  kVersionRejected = 5,
};

// Where the image it is asked to take must have been made for (docs/image-format.md).
inline constexpr std::uint16_t kProduct = hiddfu::kMarloDongle;
inline constexpr std::uint16_t kHardwareRevision = hiddfu::kDefaultHardwareRevision;

// Faults to inject. Report indices count from 0 and restart with every start request;
// data indices count every data report that reaches the dongle, retransmissions included.
struct Faults {
  std::optional<Refusal> refuseStart;
  // Power lost once this many payload bytes have been received (0: on the start request).
  std::optional<std::uint32_t> unplugAtByte;
  // Stops handling anything once this many payload bytes have been received; its OUT
  // endpoint still takes reports.
  std::optional<std::uint32_t> stallAtByte;
  // Its OUT endpoint takes nothing more once this many payload bytes have been received
  // (0: after the start request): every hid_write then fails after the write time limit.
  std::optional<std::uint32_t> stuckOutAtByte;
  // Its OUT endpoint takes nothing at all, from now on.
  bool outStuck = false;
  // It takes reports but answers none, not even INFO: enumerates but never answers.
  bool silent = false;
  // hid_open_path fails with this errno, as open() of the hidraw node would.
  std::optional<int> openErrno;
  // Link faults on one data report: lost, delivered twice, or with a byte changed; forged
  // changes a payload byte and makes the report's checksum fit, as the checksum cannot see.
  std::optional<std::uint32_t> dropData;
  std::optional<std::uint32_t> duplicateData;
  std::optional<std::uint32_t> corruptData;
  std::optional<std::uint32_t> forgeData;
  // Link faults on one acknowledgement (ACK or NAK) that the dongle sends.
  std::optional<std::uint32_t> dropAck;
  std::optional<std::uint32_t> corruptAck;
  // The next reply of that kind is lost.
  bool dropStartReply = false;
  bool dropVerifyReply = false;
  bool dropActivateReply = false;
  // The ACTIVATE reply goes out this much later; the restart follows it.
  std::chrono::milliseconds activateReplyDelay{0};
  // The flash stores this payload byte with a bit flipped although its report was intact.
  std::optional<std::uint32_t> flipStoredByte;
  // The received image fails the dongle's check although it arrived whole.
  bool failVerification = false;
  // After the restart the dongle stays off the bus until Plug().
  bool restartNeverEnds = false;
  // The new image does not start; the boot loader falls back to the old one.
  bool newImageFailsToStart = false;
  // The new image starts on trial but never shows on the bus, or shows and answers nothing.
  bool trialNeverEnumerates = false;
  bool trialNeverAnswers = false;
  // Power lost as the confirmation arrives (before it is taken), or right after it is taken
  // (before the reply goes out), and back after replugAfter (zero: not before Plug()); the
  // confirmation's reply is lost.
  bool unplugOnConfirm = false;
  bool unplugAfterConfirm = false;
  std::chrono::milliseconds replugAfter{0};
  bool dropConfirmReply = false;
  // The completion figure the dongle reports once a new image runs (100 or more).
  std::uint8_t completionFigure = 100;
  // The power goes at the n-th write of the boot state from now on (1: the next one): the
  // write does not happen, or with torn set is left half-written. Back after replugAfter,
  // or at Plug().
  std::optional<std::uint32_t> powerCutAtBootWrite;
  bool tornBootWrite = false;
  // The received image's slot loses a bit right after it verified: the boot loader's own
  // check finds it.
  bool decayAfterVerify = false;
  // The new image's self-test fails (the image then resets itself), or never ends (the
  // watchdog resets it).
  bool selfTestFails = false;
  bool selfTestNeverEnds = false;
};

struct Slot {
  bool holdsImage = false;
  FirmwareVersion version;
  std::uint32_t size = 0;
  bool verified = false;
  bool bootable = false;
  hiddfu::Digest digest{};  // of the payload as the flash holds it
  std::uint32_t securityCounter = 0;
};

struct Stats {
  std::uint32_t starts = 0;
  std::uint32_t erases = 0;       // erases begun (a repeated start request begins none)
  std::uint32_t dataReports = 0;  // data reports that reached the dongle
  std::uint32_t accepted = 0;     // ... taken in order
  std::uint32_t duplicates = 0;
  std::uint32_t gaps = 0;     // ... that arrived after a missing one
  std::uint32_t damaged = 0;  // reports with a bad checksum
  std::uint32_t acks = 0;
  std::uint32_t naks = 0;
  std::uint32_t aborts = 0;
  std::uint32_t restarts = 0;
  std::uint32_t writeTimeouts = 0;    // hid_write calls that failed because nothing was taken
  std::uint32_t confirms = 0;         // images on trial confirmed
  std::uint32_t reverts = 0;          // images on trial given up for the old one
  std::uint32_t bootStateWrites = 0;  // writes of the boot state, cut ones included
};

// When the steps of the last upgrade happened (steady clock); default-constructed if not.
struct Timeline {
  std::chrono::steady_clock::time_point started;    // first start request taken
  std::chrono::steady_clock::time_point erased;     // the slot erased, ready to receive
  std::chrono::steady_clock::time_point firstData;  // first payload report taken
  std::chrono::steady_clock::time_point lastData;   // last payload report taken
  std::chrono::steady_clock::time_point verified;   // successful verify reply sent
  std::chrono::steady_clock::time_point restarted;  // new image booted (or fell back)
};

// Back to the state with nothing configured: the dongles beyond 0 are gone, open handles
// die, faults and statistics are cleared, slot 0 holds the factory image, slot 1 is empty,
// full-speed timing.
void Reset();

// Plugs in another dongle with this serial number, in dongle 0's timing and otherwise as
// Reset leaves dongle 0; returns its number. Enumeration lists the newest dongle first.
int AddDongle(const std::wstring& serial);

// Also sets the flash timing and the restart delay that go with it, unless set explicitly.
void SetTiming(Timing timing, int dongle = 0);
void SetFlashTiming(const FlashTiming& flash, int dongle = 0);
void SetFaults(const Faults& faults, int dongle = 0);
// How long a restart keeps the dongle off the bus; Reset returns to the timing's default.
void SetRestartDelay(std::chrono::milliseconds delay, int dongle = 0);
// How long after the dongle leaves the bus the host's kernel notices (0 with instant timing):
// until then its node stays, is listed and opens, and transfers on it fail (docs/protocol.md).
void SetDisconnectDelay(std::chrono::milliseconds delay, int dongle = 0);
// How long a hid_write waits for a frame to take its report (5 s, as hidraw's).
void SetWriteTimeout(std::chrono::milliseconds limit, int dongle = 0);
// How long an image may stay on trial (kTrialWatchdog).
void SetTrialWatchdog(std::chrono::milliseconds limit, int dongle = 0);
void SetSlotCapacity(std::uint32_t bytes, int dongle = 0);
void SetDecoder(const Decoder& decoder, int dongle = 0);
void SetSerialNumber(const std::wstring& serial, int dongle = 0);
// Lists the update interface under this path instead of its own, as hidraw lists a node
// such as /dev/hidraw3; empty: its own.
void SetNodePath(const std::string& path, int dongle = 0);
// What it is: the product id and hardware revision that an image must name.
void SetHardware(std::uint16_t product, std::uint16_t revision, int dongle = 0);
// The lowest security counter it takes, as if an image with this counter had been confirmed;
// the boot state is set up anew with it. This and SetTrustedKey describe what the dongle is:
// the images it holds already count as its maker's (they start whatever their key and counter).
void SetSecurityCounter(std::uint32_t counter, int dongle = 0);
// The public key it checks image signatures with (the build's demo key).
void SetTrustedKey(const hiddfu::PublicKey& key, int dongle = 0);
// Puts `version` into slot 0 as the running, verified, confirmed image and empties slot 1,
// the boot state as the maker leaves it.
void InstallFactoryImage(FirmwareVersion version, int dongle = 0);
// A payload byte of the slot's flash changes (the flash decays): the boot loader's check of
// that slot fails from its next power-on.
void DecaySlot(int slot, int dongle = 0);

// Plugging in powers the dongle up and boots it; unplugging cuts the power at once.
void Plug(int dongle = 0);
void Unplug(int dongle = 0);
bool IsPlugged(int dongle = 0);

// The slot whose image runs; -1 in the boot loader's update mode (neither slot passed its
// check), where RunningVersion is 0.0.0.0.
int ActiveSlot(int dongle = 0);
Slot GetSlot(int index, int dongle = 0);
FirmwareVersion RunningVersion(int dongle = 0);
// Whether it runs an image on trial, not confirmed yet.
bool OnTrial(int dongle = 0);
// Whether it has come to rest: no restart under way, and no image on trial running (one on
// trial goes back to the old image at the next power-up, or by its watchdog).
bool Settled(int dongle = 0);
// The lowest security counter it takes: that of the last image confirmed.
std::uint32_t SecurityCounter(int dongle = 0);
std::uint16_t BootCount(int dongle = 0);
Stats GetStats(int dongle = 0);
Timeline GetTimeline(int dongle = 0);
// What the dongle tells the host about its timing, as INFO carries it.
FlashTiming GetFlashTiming(int dongle = 0);
std::chrono::milliseconds GetRestartDelay(int dongle = 0);

}  // namespace VirtualDongle
