#include "hiddfu/protocol.h"

#include <algorithm>
#include <bit>
#include <charconv>

namespace hiddfu {

std::string FirmwareVersion::ToString() const {
  return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(release) + "." +
         std::to_string(build);
}

std::optional<FirmwareVersion> FirmwareVersion::Parse(std::string_view text) {
  std::uint16_t parts[4] = {0, 0, 0, 0};
  int count = 0;
  const char* p = text.data();
  const char* end = text.data() + text.size();
  while (true) {
    if (count == 4)
      return std::nullopt;
    auto [next, ec] = std::from_chars(p, end, parts[count]);
    if (ec != std::errc() || next == p)
      return std::nullopt;
    ++count;
    p = next;
    if (p == end)
      break;
    if (*p != '.')
      return std::nullopt;
    ++p;
  }
  return FirmwareVersion{parts[0], parts[1], parts[2], parts[3]};
}

namespace proto {
namespace {

Report Start(std::uint8_t type, std::uint8_t tag) {
  Report r{};
  r[0] = type;
  r[kTag] = tag;
  return r;
}

Report Sealed(Report r) {
  Seal(r);
  return r;
}

// A reply: its type, the request's tag, the status first.
Report Reply(std::uint8_t command, std::uint8_t tag, std::uint8_t status) {
  Report r = Start(command | kReplyFlag, tag);
  r[kBody] = status;
  return r;
}

// With kWorking, a reply carries the work's progress where its fields would be.
void PutWork(Report& r, const Work& w) {
  Put32(r, kWorkDone, w.done);
  Put32(r, kWorkTotal, w.total);
}
Work GetWork(const Report& r) {
  return {Get32(r, kWorkDone), Get32(r, kWorkTotal)};
}

bool Is(const Report& r, std::uint8_t type) {
  return r[0] == type && Intact(r);
}

}  // namespace

Report Encode(const InfoRequest&, std::uint8_t tag) {
  return Sealed(Start(kInfo, tag));
}

Report Encode(const HeaderRequest& m, std::uint8_t tag) {
  Report r = Start(kHeader, tag);
  r[kHeaderPart] = m.part;
  std::copy(m.bytes.begin(), m.bytes.end(), r.begin() + kHeaderBytes);
  return Sealed(r);
}

Report Encode(const StartRequest& m, std::uint8_t tag) {
  Report r = Start(kStart, tag);
  std::copy(m.headerDigest.begin(), m.headerDigest.end(), r.begin() + kStartHeaderDigest);
  r[kStartWindow] = m.window;
  r[kStartForm] = static_cast<std::uint8_t>(m.form);
  return Sealed(r);
}

Report Encode(const VerifyRequest&, std::uint8_t tag) {
  return Sealed(Start(kVerify, tag));
}

Report Encode(const ActivateRequest&, std::uint8_t tag) {
  return Sealed(Start(kActivate, tag));
}

Report Encode(const AbortRequest&, std::uint8_t tag) {
  return Sealed(Start(kAbort, tag));
}

Report Encode(const ConfirmRequest& m, std::uint8_t tag) {
  Report r = Start(kConfirm, tag);
  r[kConfirmSlot] = m.slot;
  return Sealed(r);
}

Report Encode(const InfoReply& m, std::uint8_t tag) {
  Report r = Reply(kInfo, tag, m.status);
  r[kInfoProtocol] = m.protocol;
  r[kInfoActiveSlot] = m.activeSlot;
  r[kInfoWindow] = m.window;
  r[kInfoCompletion] = m.completion;
  Put16(r, kInfoBootCount, m.bootCount);
  Put32(r, kInfoCapacity, m.capacity);
  PutVersion(r, kInfoRunning, m.running);
  for (std::size_t i = 0; i < 2; ++i) {
    const std::size_t at = kInfoSlots + i * kInfoSlotStride;
    PutVersion(r, at, m.slotStates[i].version);
    r[at + 8] = m.slotStates[i].flags;
  }
  Put32(r, kInfoEraseBlock, m.eraseBlock);
  Put16(r, kInfoEraseMs, m.eraseMs);
  Put16(r, kInfoReadMs, m.readMs);
  Put16(r, kInfoRestartMs, m.restartMs);
  Put16(r, kInfoProduct, m.product);
  Put16(r, kInfoHardware, m.hardwareRevision);
  Put32(r, kInfoCounter, m.securityCounter);
  r[kInfoSelfTest] = static_cast<std::uint8_t>(m.selfTest);
  r[kInfoMode] = static_cast<std::uint8_t>(m.mode);
  r[kInfoMethods] = m.methods;
  r[kInfoFilters] = m.filters;
  r[kInfoDictionary] =
      m.dictionary
          ? static_cast<std::uint8_t>(std::min<unsigned>(31, std::bit_width(m.dictionary) - 1))
          : 0;
  r[kInfoDecodeRate] =
      static_cast<std::uint8_t>(std::min<std::uint32_t>(m.decodeRate / kDecodeRateUnit, 255));
  return Sealed(r);
}

Report Encode(const HeaderReply& m, std::uint8_t tag) {
  return Sealed(Reply(kHeader, tag, m.status));
}

Report Encode(const StartReply& m, std::uint8_t tag) {
  Report r = Reply(kStart, tag, m.status);
  if (m.status == kWorking) {
    PutWork(r, m.work);
  } else if (m.status == kOk) {
    r[kStartReplySlot] = m.slot;
    r[kStartReplyWindow] = m.window;
    Put32(r, kStartReplyCapacity, m.capacity);
  }
  return Sealed(r);
}

Report Encode(const VerifyReply& m, std::uint8_t tag) {
  Report r = Reply(kVerify, tag, m.status);
  if (m.status == kWorking) {
    PutWork(r, m.work);
  } else {
    Put32(r, kVerifyReplyBytes, m.received);
  }
  return Sealed(r);
}

Report Encode(const ActivateReply& m, std::uint8_t tag) {
  Report r = Reply(kActivate, tag, m.status);
  if (m.status == kOk)
    r[kActivateReplySlot] = m.slot;
  return Sealed(r);
}

Report Encode(const AbortReply& m, std::uint8_t tag) {
  return Sealed(Reply(kAbort, tag, m.status));
}

Report Encode(const ConfirmReply& m, std::uint8_t tag) {
  Report r = Reply(kConfirm, tag, m.status);
  r[kConfirmReplySlot] = m.slot;
  return Sealed(r);
}

Report Encode(const Acknowledgement& m) {
  Report r{};
  r[0] = m.nak ? kNak : kAck;
  Put32(r, kAckNext, m.next);
  Put32(r, kAckBytes, m.bytes);
  return Sealed(r);
}

Report Encode(const Data& m) {
  Report r{};
  r[0] = static_cast<std::uint8_t>(kDataFlag | (m.sequence % kSequenceModulus));
  std::copy(m.payload.begin(), m.payload.end(), r.begin() + 2);
  return Sealed(r);
}

std::optional<HeaderRequest> DecodeHeaderRequest(const Report& r) {
  if (!Is(r, kHeader))
    return std::nullopt;
  HeaderRequest m;
  m.part = r[kHeaderPart];
  std::copy_n(r.begin() + kHeaderBytes, m.bytes.size(), m.bytes.begin());
  return m;
}

std::optional<StartRequest> DecodeStartRequest(const Report& r) {
  if (!Is(r, kStart))
    return std::nullopt;
  StartRequest m;
  std::copy_n(r.begin() + kStartHeaderDigest, m.headerDigest.size(), m.headerDigest.begin());
  m.window = r[kStartWindow];
  m.form = static_cast<Form>(r[kStartForm]);
  return m;
}

std::optional<ConfirmRequest> DecodeConfirmRequest(const Report& r) {
  if (!Is(r, kConfirm))
    return std::nullopt;
  return ConfirmRequest{r[kConfirmSlot]};
}

std::optional<InfoReply> DecodeInfoReply(const Report& r) {
  if (!Is(r, kInfo | kReplyFlag))
    return std::nullopt;
  InfoReply m;
  m.status = r[kBody];
  m.protocol = r[kInfoProtocol];
  m.activeSlot = r[kInfoActiveSlot] & 1;
  m.window = r[kInfoWindow];
  m.completion = r[kInfoCompletion];
  m.bootCount = Get16(r, kInfoBootCount);
  m.capacity = Get32(r, kInfoCapacity);
  m.running = GetVersion(r, kInfoRunning);
  for (std::size_t i = 0; i < 2; ++i) {
    const std::size_t at = kInfoSlots + i * kInfoSlotStride;
    m.slotStates[i] = {GetVersion(r, at), r[at + 8]};
  }
  m.eraseBlock = Get32(r, kInfoEraseBlock);
  m.eraseMs = Get16(r, kInfoEraseMs);
  m.readMs = Get16(r, kInfoReadMs);
  m.restartMs = Get16(r, kInfoRestartMs);
  m.product = Get16(r, kInfoProduct);
  m.hardwareRevision = Get16(r, kInfoHardware);
  m.securityCounter = Get32(r, kInfoCounter);
  m.selfTest = static_cast<SelfTest>(r[kInfoSelfTest]);
  m.mode = static_cast<Mode>(r[kInfoMode]);
  m.methods = r[kInfoMethods];
  m.filters = r[kInfoFilters];
  m.dictionary =
      r[kInfoDictionary] ? std::uint32_t{1} << std::min<unsigned>(r[kInfoDictionary], 31) : 0;
  m.decodeRate = r[kInfoDecodeRate] * kDecodeRateUnit;
  return m;
}

std::optional<HeaderReply> DecodeHeaderReply(const Report& r) {
  if (!Is(r, kHeader | kReplyFlag))
    return std::nullopt;
  return HeaderReply{r[kBody]};
}

std::optional<StartReply> DecodeStartReply(const Report& r) {
  if (!Is(r, kStart | kReplyFlag))
    return std::nullopt;
  StartReply m;
  m.status = r[kBody];
  if (m.status == kWorking) {
    m.work = GetWork(r);
  } else {
    m.slot = r[kStartReplySlot] & 1;
    m.window = r[kStartReplyWindow];
    m.capacity = Get32(r, kStartReplyCapacity);
  }
  return m;
}

std::optional<VerifyReply> DecodeVerifyReply(const Report& r) {
  if (!Is(r, kVerify | kReplyFlag))
    return std::nullopt;
  VerifyReply m;
  m.status = r[kBody];
  if (m.status == kWorking) {
    m.work = GetWork(r);
  } else {
    m.received = Get32(r, kVerifyReplyBytes);
  }
  return m;
}

std::optional<ActivateReply> DecodeActivateReply(const Report& r) {
  if (!Is(r, kActivate | kReplyFlag))
    return std::nullopt;
  return ActivateReply{r[kBody], r[kActivateReplySlot]};
}

std::optional<ConfirmReply> DecodeConfirmReply(const Report& r) {
  if (!Is(r, kConfirm | kReplyFlag))
    return std::nullopt;
  return ConfirmReply{r[kBody], r[kConfirmReplySlot]};
}

std::optional<Acknowledgement> DecodeAcknowledgement(const Report& r) {
  if (!Intact(r) || (r[0] != kAck && r[0] != kNak))
    return std::nullopt;
  return Acknowledgement{r[0] == kNak, Get32(r, kAckNext), Get32(r, kAckBytes)};
}

std::optional<Data> DecodeData(const Report& r) {
  if (!IsData(r[0]) || !Intact(r))
    return std::nullopt;
  Data m;
  m.sequence = static_cast<std::uint8_t>(r[0] & ~kDataFlag);
  std::copy_n(r.begin() + 2, m.payload.size(), m.payload.begin());
  return m;
}

}  // namespace proto
}  // namespace hiddfu
