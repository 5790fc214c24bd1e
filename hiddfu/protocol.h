// The HID update protocol spoken between the host library and the dongle: 64-byte reports
// without report numbers on the vendor usage page 0xFF00, usage 1. docs/protocol.md
// describes it in full; this header holds what both sides must agree on, and the
// little-endian and version helpers that the library, the dongle and the image code share.
//
// Every report, either way:
//   byte 0     type: a command or reply code below, or kDataFlag | sequence for data
//   byte 1     CRC-8 over byte 0 and bytes 2..63
//   bytes 2..  body (data: 62 payload bytes; commands and replies: a tag, then fields)
// Multi-byte fields are little-endian.
#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace hiddfu {

// A firmware version as images, the protocol and the log carry it: four 16-bit numbers.
struct FirmwareVersion {
  std::uint16_t major = 0;
  std::uint16_t minor = 0;
  std::uint16_t release = 0;
  std::uint16_t build = 0;

  auto operator<=>(const FirmwareVersion&) const = default;
  std::string ToString() const;  // "1.2.0.7"
  // "1.2" (missing parts are 0) to "1.2.0.7"; nullopt for anything else.
  static std::optional<FirmwareVersion> Parse(std::string_view text);
};

// ---- Little-endian fields ------------------------------------------------------------------

constexpr void Put16(std::uint8_t* at, std::uint16_t v) {
  at[0] = static_cast<std::uint8_t>(v);
  at[1] = static_cast<std::uint8_t>(v >> 8);
}
constexpr void Put32(std::uint8_t* at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i)
    at[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
constexpr std::uint16_t Get16(const std::uint8_t* at) {
  return static_cast<std::uint16_t>(at[0] | (at[1] << 8));
}
constexpr std::uint32_t Get32(const std::uint8_t* at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i)
    v = (v << 8) | at[i];
  return v;
}
// A version is four u16 fields: major, minor, release, build.
constexpr void PutVersion(std::uint8_t* at, const FirmwareVersion& v) {
  Put16(at, v.major);
  Put16(at + 2, v.minor);
  Put16(at + 4, v.release);
  Put16(at + 6, v.build);
}
constexpr FirmwareVersion GetVersion(const std::uint8_t* at) {
  return {Get16(at), Get16(at + 2), Get16(at + 4), Get16(at + 6)};
}

namespace proto {

inline constexpr std::size_t kReportSize = 64;
inline constexpr std::size_t kDataPayload = kReportSize - 2;  // framing costs two bytes
// 3: the image header goes to the device as signed, the new image starts on trial until the
// host confirms it, and INFO names the product, hardware revision and security counter.
// 4: INFO tells how the image on trial's self-test goes, and whether the device is in its
// update mode (neither slot passed the boot loader's check); CONFIRM waits for the self-test.
// 5: INFO names the compressed streams the device decodes; START says whether the stored
// stream or the payload follows; the device erases each block as the data comes to it.
inline constexpr std::uint8_t kProtocolVersion = 5;
inline constexpr std::uint16_t kUsagePage = 0xFF00;
inline constexpr std::uint16_t kUsage = 1;
// The link's raw rate at full speed: one 64-byte report per millisecond.
inline constexpr std::uint32_t kLinkBytesPerSecond = 64000;

// Data reports carry a 7-bit sequence number; go-back-N with a window of at most half the
// sequence space tells a retransmission from a report after a gap.
inline constexpr std::uint8_t kDataFlag = 0x80;
inline constexpr std::uint32_t kSequenceModulus = 128;
inline constexpr std::uint32_t kMaxWindow = 64;

using Report = std::array<std::uint8_t, kReportSize>;

// Host to device. Codes from 0x08 up are free for later commands.
inline constexpr std::uint8_t kInfo = 0x01;
inline constexpr std::uint8_t kStart = 0x02;
inline constexpr std::uint8_t kVerify = 0x03;
inline constexpr std::uint8_t kActivate = 0x04;
inline constexpr std::uint8_t kAbort = 0x05;
inline constexpr std::uint8_t kHeader = 0x06;
inline constexpr std::uint8_t kConfirm = 0x07;
// Device to host: the reply to command c is c | kReplyFlag.
inline constexpr std::uint8_t kReplyFlag = 0x40;
inline constexpr std::uint8_t kAck = 0x50;
inline constexpr std::uint8_t kNak = 0x51;

// Byte offsets inside commands and replies (after type, CRC and tag at 2).
inline constexpr std::size_t kTag = 2;
inline constexpr std::size_t kBody = 3;

// HEADER body: which part of the 128-byte image header u8, then its 32 bytes. The host sends
// all four parts before START; the device keeps the last of each.
inline constexpr std::size_t kHeaderPart = kBody;
inline constexpr std::size_t kHeaderBytes = kBody + 1;
inline constexpr std::size_t kHeaderPartSize = 32;
inline constexpr std::size_t kHeaderParts = 4;

// START body: the SHA-256 of the 128-byte image header the host sent, requested window u8,
// what the data reports will carry u8 (Form). Bytes 37..63 are zero.
inline constexpr std::size_t kStartHeaderDigest = kBody;
inline constexpr std::size_t kStartWindow = kBody + 32;
inline constexpr std::size_t kStartForm = kBody + 33;
// The payload as it will lie in the slot, or the image's compressed stream as the file
// stores it, which the device decodes as it arrives.
enum class Form : std::uint8_t { kPayload = 0, kStream = 1 };

// CONFIRM body: the slot whose image the host confirms, u8. Reply: status, that slot.
inline constexpr std::size_t kConfirmSlot = kBody;
inline constexpr std::size_t kConfirmReplySlot = kBody + 1;

// Reply status codes (first body byte of every reply).
enum Status : std::uint8_t {
  kOk = 0,
  // START
  kBusy = 1,
  kBatteryLow = 2,
  kTooLarge = 3,
  kBadHeader = 4,  // malformed, or not the header START names
  kVersionRejected = 5,
  kBadSignature = 6,  // not signed with the key the device holds
  kWrongProduct = 7,
  kWrongHardware = 8,
  kRollback = 9,       // its security counter is below the device's
  kOnTrial = 10,       // the device runs a new image that is not confirmed yet
  kCannotDecode = 11,  // the stored stream of an image whose compression it does not decode
  // VERIFY
  kNotReceiving = 16,
  kIncomplete = 17,
  kDigestMismatch = 18,
  kBadStream = 19,  // the stream did not decode to the payload the header names
  // ACTIVATE
  kNotVerified = 32,
  // CONFIRM: that slot does not run an image on trial, nor a confirmed one
  kNothingToConfirm = 33,
  // CONFIRM: the image on trial has not passed its self-test
  kSelfTestNotPassed = 34,
  // START (erasing) and VERIFY (reading back): the device is at work; ask again.
  kWorking = 64,
};

// A kWorking reply: status, bytes done u32, bytes to do u32.
inline constexpr std::size_t kWorkDone = kBody + 1;
inline constexpr std::size_t kWorkTotal = kBody + 5;

// START reply: status, slot, granted window u8, slot capacity u32.
inline constexpr std::size_t kStartReplySlot = kBody + 1;
inline constexpr std::size_t kStartReplyWindow = kBody + 2;
inline constexpr std::size_t kStartReplyCapacity = kBody + 3;

// VERIFY reply: status, bytes received u32.
inline constexpr std::size_t kVerifyReplyBytes = kBody + 1;

// ACTIVATE reply: status, the slot that will start.
inline constexpr std::size_t kActivateReplySlot = kBody + 1;

// INFO reply: status, protocol version, active slot, window, completion figure of the last
// update (0 when none, 100 or more once a new image has started), boot count u16, slot
// capacity u32, running version, then per slot: version and flags; then the timing of the
// device's flash and restart, from which the host derives how long to wait; then what the
// device is (product id u16, hardware revision u16) and the security counter of the image it
// runs u32; then how the self-test of the image on trial goes u8, and the mode u8; then the
// compressed streams it decodes: methods u8 (bit per Method), branch filters u8 (bit per
// BranchFilter, bit 0 for none), the largest dictionary as log2 u8, the rate it decodes at
// in 16 KiB/s u8.
inline constexpr std::size_t kInfoProtocol = kBody + 1;
inline constexpr std::size_t kInfoActiveSlot = kBody + 2;
inline constexpr std::size_t kInfoWindow = kBody + 3;
inline constexpr std::size_t kInfoCompletion = kBody + 4;
inline constexpr std::size_t kInfoBootCount = kBody + 5;
inline constexpr std::size_t kInfoCapacity = kBody + 7;
inline constexpr std::size_t kInfoRunning = kBody + 11;
inline constexpr std::size_t kInfoSlots = kBody + 19;
inline constexpr std::size_t kInfoSlotStride = 9;  // version 4 x u16, flags u8
inline constexpr std::uint8_t kSlotHoldsImage = 0x01;
inline constexpr std::uint8_t kSlotVerified = 0x02;
inline constexpr std::uint8_t kSlotBootable = 0x04;
inline constexpr std::uint8_t kSlotOnTrial = 0x08;          // runs unconfirmed; reverted at a reset
inline constexpr std::size_t kInfoEraseBlock = kBody + 37;  // u32 bytes per erase block
inline constexpr std::size_t kInfoEraseMs = kBody + 41;     // u16 ms to erase one block
inline constexpr std::size_t kInfoReadMs = kBody + 43;      // u16 ms to read back one block
inline constexpr std::size_t kInfoRestartMs = kBody + 45;   // u16 ms off the bus to restart
inline constexpr std::size_t kInfoProduct = kBody + 47;
inline constexpr std::size_t kInfoHardware = kBody + 49;
inline constexpr std::size_t kInfoCounter = kBody + 51;
inline constexpr std::size_t kInfoSelfTest = kBody + 55;
inline constexpr std::size_t kInfoMode = kBody + 56;
inline constexpr std::size_t kInfoMethods = kBody + 57;
inline constexpr std::size_t kInfoFilters = kBody + 58;
inline constexpr std::size_t kInfoDictionary = kBody + 59;
inline constexpr std::size_t kInfoDecodeRate = kBody + 60;
inline constexpr std::uint32_t kDecodeRateUnit = 16 * 1024;  // bytes per second

// The self-test a new image runs when it starts: the host confirms it only once it passed.
enum class SelfTest : std::uint8_t { kNone = 0, kRunning = 1, kPassed = 2, kFailed = 3 };
// What the device runs: an image, or its boot loader's update mode, when neither slot holds
// an image that passes the boot loader's check (it answers INFO and takes a new image).
enum class Mode : std::uint8_t { kImage = 0, kUpdate = 1 };

// ACK and NAK: the number of data reports received in order so far (the next one
// expected), then the payload bytes received, both u32.
inline constexpr std::size_t kAckNext = 2;
inline constexpr std::size_t kAckBytes = 6;

// CRC-8, polynomial 0x07, initial value 0: catches every error burst of up to 8 bits.
constexpr std::uint8_t Crc8(const std::uint8_t* data, std::size_t size, std::uint8_t crc = 0) {
  for (std::size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) {
      crc = static_cast<std::uint8_t>((crc & 0x80) ? (crc << 1) ^ 0x07 : crc << 1);
    }
  }
  return crc;
}

constexpr std::uint8_t ReportCrc(const Report& r) {
  return Crc8(r.data() + 2, kReportSize - 2, Crc8(r.data(), 1));
}
constexpr void Seal(Report& r) {
  r[1] = ReportCrc(r);
}
constexpr bool Intact(const Report& r) {
  return r[1] == ReportCrc(r);
}

constexpr bool IsData(std::uint8_t type) {
  return (type & kDataFlag) != 0;
}

// The little-endian fields at byte offsets of a report.
constexpr void Put16(Report& r, std::size_t at, std::uint16_t v) {
  hiddfu::Put16(r.data() + at, v);
}
constexpr void Put32(Report& r, std::size_t at, std::uint32_t v) {
  hiddfu::Put32(r.data() + at, v);
}
constexpr std::uint16_t Get16(const Report& r, std::size_t at) {
  return hiddfu::Get16(r.data() + at);
}
constexpr std::uint32_t Get32(const Report& r, std::size_t at) {
  return hiddfu::Get32(r.data() + at);
}
constexpr void PutVersion(Report& r, std::size_t at, const FirmwareVersion& v) {
  hiddfu::PutVersion(r.data() + at, v);
}
constexpr FirmwareVersion GetVersion(const Report& r, std::size_t at) {
  return hiddfu::GetVersion(r.data() + at);
}

// ---- The messages -----------------------------------------------------------------------------
// Every command and reply as a type, each with one Encode and one Decode. Encode lays out the
// fields, the type and the tag, and seals the report. Decode takes an intact report of its type
// and nothing else (nullopt), and reads the fields as they are: checking them is the reader's.

using HeaderPart = std::array<std::uint8_t, kHeaderPartSize>;
using HeaderDigest = std::array<std::uint8_t, 32>;

struct InfoRequest {};
struct HeaderRequest {
  std::uint8_t part = 0;
  HeaderPart bytes{};
};
struct StartRequest {
  HeaderDigest headerDigest{};
  std::uint8_t window = 0;
  Form form = Form::kPayload;
  bool operator==(const StartRequest&) const = default;
};
struct VerifyRequest {};
struct ActivateRequest {};
struct AbortRequest {};
struct ConfirmRequest {
  std::uint8_t slot = 0;
};

// How far long work has come, in a reply with status kWorking.
struct Work {
  std::uint32_t done = 0;
  std::uint32_t total = 0;
};

struct SlotState {
  FirmwareVersion version;
  std::uint8_t flags = 0;  // kSlot* bits
};

struct InfoReply {
  std::uint8_t status = kOk;
  std::uint8_t protocol = kProtocolVersion;
  std::uint8_t activeSlot = 0;
  std::uint8_t window = 1;
  std::uint8_t completion = 0;
  std::uint16_t bootCount = 0;
  std::uint32_t capacity = 0;
  FirmwareVersion running{};
  SlotState slotStates[2]{};
  // The flash's timing: an erase block, and the time to erase one and to read one back.
  std::uint32_t eraseBlock = 0;
  std::uint16_t eraseMs = 0;
  std::uint16_t readMs = 0;
  std::uint16_t restartMs = 0;
  // What the device is, and the lowest security counter it takes.
  std::uint16_t product = 0;
  std::uint16_t hardwareRevision = 0;
  std::uint32_t securityCounter = 0;
  SelfTest selfTest = SelfTest::kNone;
  Mode mode = Mode::kImage;
  // The compressed streams it decodes (none: 0), and how fast, in bytes of payload a second.
  std::uint8_t methods = 0;
  std::uint8_t filters = 0;
  std::uint32_t dictionary = 0;
  std::uint32_t decodeRate = 0;
};
struct HeaderReply {
  std::uint8_t status = kOk;
};
struct StartReply {
  std::uint8_t status = kOk;
  Work work{};  // with kWorking: the erase
  std::uint8_t slot = 0;
  std::uint8_t window = 0;
  std::uint32_t capacity = 0;
};
struct VerifyReply {
  std::uint8_t status = kOk;
  Work work{};  // with kWorking: the read-back
  std::uint32_t received = 0;
};
struct ActivateReply {
  std::uint8_t status = kOk;
  std::uint8_t slot = 0;
};
struct AbortReply {
  std::uint8_t status = kOk;
};
struct ConfirmReply {
  std::uint8_t status = kOk;
  std::uint8_t slot = 0;
};
// ACK, or NAK: the reports received in order so far (the next one expected), their bytes.
struct Acknowledgement {
  bool nak = false;
  std::uint32_t next = 0;
  std::uint32_t bytes = 0;
};
// Data report `index`: its sequence number is index mod 128; the last one is zero-padded.
struct Data {
  std::uint8_t sequence = 0;
  std::array<std::uint8_t, kDataPayload> payload{};
};

Report Encode(const InfoRequest& m, std::uint8_t tag);
Report Encode(const HeaderRequest& m, std::uint8_t tag);
Report Encode(const StartRequest& m, std::uint8_t tag);
Report Encode(const VerifyRequest& m, std::uint8_t tag);
Report Encode(const ActivateRequest& m, std::uint8_t tag);
Report Encode(const AbortRequest& m, std::uint8_t tag);
Report Encode(const ConfirmRequest& m, std::uint8_t tag);
Report Encode(const InfoReply& m, std::uint8_t tag);
Report Encode(const HeaderReply& m, std::uint8_t tag);
Report Encode(const StartReply& m, std::uint8_t tag);
Report Encode(const VerifyReply& m, std::uint8_t tag);
Report Encode(const ActivateReply& m, std::uint8_t tag);
Report Encode(const AbortReply& m, std::uint8_t tag);
Report Encode(const ConfirmReply& m, std::uint8_t tag);
Report Encode(const Acknowledgement& m);
Report Encode(const Data& m);

std::optional<HeaderRequest> DecodeHeaderRequest(const Report& r);
std::optional<StartRequest> DecodeStartRequest(const Report& r);
std::optional<ConfirmRequest> DecodeConfirmRequest(const Report& r);
std::optional<InfoReply> DecodeInfoReply(const Report& r);
std::optional<HeaderReply> DecodeHeaderReply(const Report& r);
std::optional<StartReply> DecodeStartReply(const Report& r);
std::optional<VerifyReply> DecodeVerifyReply(const Report& r);
std::optional<ActivateReply> DecodeActivateReply(const Report& r);
std::optional<ConfirmReply> DecodeConfirmReply(const Report& r);
std::optional<Acknowledgement> DecodeAcknowledgement(const Report& r);
std::optional<Data> DecodeData(const Report& r);

}  // namespace proto
}  // namespace hiddfu
