// Arbitrary reports into the virtual dongle's device side, driven directly (no thread, no
// timing). The input is a script of steps: raw reports, sealed commands with any body,
// starts with a header the harness signs with the demo key (or one that is unsigned, for
// another product or hardware revision, with any security counter; or the last one again)
// and data reports of a payload the harness knows (so that the fuzzer can reach
// verification, the restart and the confirmation), deliveries of the replies, flash work
// block by block, power cycles, the trial watchdog and faults. After every step the dongle
// must run a verified bootable image, never mark an unverified slot bootable or try the
// running slot as new, keep its confirmed image while it tries a new one, never run an image
// below its security counter nor lower that counter, never erase, write or read back its
// running slot, and have sealed every reply it queued.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "dongle/simulated_device.h"
#include "fuzz/fuzz_input.h"

namespace {

namespace proto = hiddfu::proto;
using dongle::Device;
using dongle::Report;
using fuzz::Require;

// A payload the harness can send report by report: byte i of seed s.
std::uint8_t PayloadByte(std::uint32_t seed, std::uint64_t i) {
  return static_cast<std::uint8_t>(i * 131 + seed * 29 + (i >> 8));
}

// Payloads above this size are announced with a digest of their first part only: the
// harness could never send them whole in one input anyway.
constexpr std::uint32_t kDigestLimit = 1 << 17;

hiddfu::Digest PayloadDigest(std::uint32_t seed, std::uint32_t size) {
  static std::map<std::pair<std::uint32_t, std::uint32_t>, hiddfu::Digest> cache;
  size = std::min(size, kDigestLimit);
  if (const auto found = cache.find({seed, size}); found != cache.end())
    return found->second;
  if (cache.size() > 4096)
    cache.clear();
  std::vector<std::uint8_t> bytes(size);
  for (std::uint32_t i = 0; i < size; ++i)
    bytes[i] = PayloadByte(seed, i);
  hiddfu::Sha256 sha;
  sha.Update(bytes.data(), bytes.size());
  return cache[{seed, size}] = sha.Final();
}

struct Session {
  std::uint32_t size = 0;
  std::uint32_t seed = 0;
  std::uint32_t next = 0;  // next data report to send
};

std::uint32_t g_lowestCounter = 0;  // the security counter may only rise

void CheckInvariants(const Device& d) {
  const std::uint32_t counter = d.Counter();
  Require(counter >= g_lowestCounter, "the security counter went down");
  g_lowestCounter = counter;
  for (int i = 0; i < 2; ++i) {
    const VirtualDongle::Slot slot = d.SlotView(i);
    Require(!slot.bootable || (slot.holdsImage && slot.verified), "an unverified slot is bootable");
  }
  // In its update mode the boot loader found nothing to start; it runs no image then.
  Require(d.active >= -1 && d.active <= 1, "no such active slot");
  if (d.active >= 0 && d.powered && !d.restarting) {
    const VirtualDongle::Slot running = d.SlotView(d.active);
    Require(running.holdsImage && running.verified, "the running slot is not a verified image");
    Require(running.securityCounter >= counter, "runs an image below its counter");
    if (d.onTrial) {
      const int kept = d.Confirmed();
      const VirtualDongle::Slot confirmed = d.SlotView(kept);
      Require(kept != d.active && confirmed.holdsImage && confirmed.bootable,
              "trying a new image without a confirmed one to go back to");
    }
  }
  if (d.phase != dongle::Phase::kIdle) {
    Require(d.staged != d.active, "erasing, writing or checking the running slot");
    Require(d.received <= d.incomingSize, "more payload taken than announced");
    Require(d.workDone <= d.workTotal, "more flash work done than there was");
    Require(d.written <= d.slotBytes, "wrote beyond the payload the header names");
  }
  for (const Report& r : d.in)
    Require(proto::Intact(r), "an unsealed reply was queued");
}

Report DataReport(const Session& s, std::uint32_t index, std::uint32_t seq) {
  proto::Data data;
  data.sequence = static_cast<std::uint8_t>(seq % proto::kSequenceModulus);
  const std::uint64_t offset = static_cast<std::uint64_t>(index) * proto::kDataPayload;
  for (std::size_t i = 0; i < proto::kDataPayload && offset + i < s.size; ++i)
    data.payload[i] = PayloadByte(s.seed, offset + i);
  return proto::Encode(data);
}

std::uint32_t TotalReports(const Session& s) {
  return static_cast<std::uint32_t>((s.size + proto::kDataPayload - 1) / proto::kDataPayload);
}

void SetFaults(Device& d, fuzz::Input& in) {
  VirtualDongle::Faults f;
  const std::uint16_t bits = in.U16();
  auto maybe = [&](int bit) -> std::optional<std::uint32_t> {
    if (!(bits & (1u << bit)))
      return std::nullopt;
    return in.U16();
  };
  if (const std::uint8_t refusal = in.Byte() % 8; refusal >= 1 && refusal <= 5)
    f.refuseStart = static_cast<VirtualDongle::Refusal>(refusal);
  f.unplugAtByte = maybe(0);
  f.stallAtByte = maybe(1);
  f.dropData = maybe(2);
  f.duplicateData = maybe(3);
  f.corruptData = maybe(4);
  f.dropAck = maybe(5);
  f.corruptAck = maybe(6);
  f.dropStartReply = bits & (1u << 7);
  f.dropVerifyReply = bits & (1u << 8);
  f.dropActivateReply = bits & (1u << 9);
  f.failVerification = bits & (1u << 10);
  f.restartNeverEnds = bits & (1u << 11);
  f.newImageFailsToStart = bits & (1u << 12);
  f.flipStoredByte = maybe(13);
  f.silent = bits & (1u << 14);
  f.completionFigure = static_cast<std::uint8_t>(100 + in.Byte() % 156);
  const std::uint8_t trial = in.Byte();
  f.trialNeverEnumerates = trial & 1;
  f.trialNeverAnswers = trial & 2;
  f.unplugOnConfirm = trial & 4;
  f.unplugAfterConfirm = trial & 8;
  f.dropConfirmReply = trial & 16;
  if (trial & 32)
    f.forgeData = in.U16();
  f.selfTestFails = trial & 64;
  f.selfTestNeverEnds = trial & 128;
  const std::uint8_t boot = in.Byte();
  f.decayAfterVerify = boot & 1;
  f.tornBootWrite = boot & 2;
  if (boot & 4)
    f.powerCutAtBootWrite = 1 + (boot >> 3) % 8;
  d.faults = f;
  d.journal.CutAt(f.powerCutAtBootWrite.value_or(0), f.tornBootWrite);
}

// Sends the header of an image of the session's payload, in four parts, then START with its
// digest. The header is signed with the demo key the dongle holds and made for it, unless a
// deviant one: then the next byte says what differs.
Report Start(fuzz::Input& in, const Session& s, bool otherBytes, bool deviant,
             const std::function<void(const Report&)>& send) {
  hiddfu::ImageHeader h;
  h.version = {in.Byte(), in.Byte(), in.Byte(), in.Byte()};
  h.payloadSize = s.size;
  h.sha256 = PayloadDigest(s.seed, s.size);
  if (otherBytes)
    h.sha256[0] ^= 1;  // a header that promises other bytes
  const std::uint8_t kind = deviant ? in.Byte() : 0;
  if (kind & 1)
    h.product = in.Byte();
  if (kind & 2)
    h.hardwareRevision = in.Byte();
  if (kind & 4)
    h.securityCounter = in.Byte() % 4;
  if (kind & 32) {  // compressed: the payload the harness sends is its stream, which seldom decodes
    h.format = hiddfu::kCompressedFormatVersion;
    h.method = hiddfu::Method::kLzma2;
    h.filter = static_cast<hiddfu::BranchFilter>(in.Byte() % 5);
    h.dictionary = hiddfu::kMaxDictionary;
    h.storedSize = s.size;
    h.payloadSize = 1 + in.U16();
  }
  hiddfu::HeaderBytes bytes = hiddfu::SignHeader(h, hiddfu::DemoSigningKey());
  if (kind & 8)
    bytes[64 + in.Byte() % 64] ^= 1;  // not the signer's signature
  if (kind & 16)
    bytes[4] = 1;  // the unsigned format
  for (std::size_t part = 0; part < proto::kHeaderParts; ++part) {
    proto::HeaderRequest header{static_cast<std::uint8_t>(part), {}};
    std::copy_n(bytes.begin() + part * proto::kHeaderPartSize, proto::kHeaderPartSize,
                header.bytes.begin());
    send(proto::Encode(header, static_cast<std::uint8_t>(part)));
  }
  hiddfu::Sha256 sha;
  sha.Update(bytes.data(), bytes.size());
  proto::StartRequest start{sha.Final(), 0};
  const std::uint8_t tag = in.Byte();
  start.window = in.Byte();
  start.form = (kind & 32) ? proto::Form::kStream : proto::Form::kPayload;
  const Report r = proto::Encode(start, tag);
  send(r);
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Device& d = dongle::TheDevice();
  std::lock_guard lock(d.mu);  // the device thread stays out while the harness drives
  d.ResetState();
  d.timing = VirtualDongle::Timing::kInstant;
  d.trialWatchdog = std::chrono::hours(1);  // only the script makes it run out
  g_lowestCounter = 0;
  d.dataIndex = d.ackIndex = d.expected = d.received = d.incomingSize = 0;
  d.nakSent = false;

  fuzz::Input in(data, size);
  Session session;
  std::optional<Report> lastStart;
  const std::function<void(const Report&)> send = [&](const Report& r) {
    if (d.onBus)  // an unplugged dongle gets nothing
      d.Process(r);
  };
  for (int step = 0; step < 512 && !in.Empty(); ++step) {
    const std::uint8_t op = in.Byte();
    switch (op % 8) {
      case 0: {  // any 64 bytes, sealed or not
        Report r{};
        in.Fill(r.data(), r.size());
        if (op & 0x80)
          proto::Seal(r);
        send(r);
        break;
      }
      case 1: {  // a sealed command of any type with any body
        Report r{};
        r[0] = in.Byte() % 8;
        r[proto::kTag] = in.Byte();
        in.Fill(r.data() + proto::kBody, in.Byte() % (proto::kReportSize - proto::kBody + 1));
        proto::Seal(r);
        send(r);
        break;
      }
      case 2: {  // a start for a payload the harness can send, or the last one again
        if ((op & 0x20) && lastStart) {
          send(*lastStart);
          break;
        }
        static constexpr std::uint32_t kSizes[] = {1, 61, 62, 63, 62 * 128 + 5, 0};
        const std::uint8_t pick = in.Byte();
        session = {};
        session.size = pick < 6 ? kSizes[pick] : pick < 200 ? in.U16() : in.U32();
        session.seed = in.Byte();
        lastStart = Start(in, session, op & 0x80, op & 0x40, send);
        break;
      }
      case 3: {  // the next data report, perhaps out of order or damaged
        const std::uint32_t skip = (op & 0x80) ? in.Byte() % 8 : 0;
        Report r = DataReport(session, session.next + skip, session.next + skip);
        if (op & 0x40) {
          r[2 + in.Byte() % proto::kDataPayload] ^= 0x10;
          if (op & 0x20)
            proto::Seal(r);  // intact on the link, wrong in content
        }
        send(r);
        if (skip == 0)
          ++session.next;
        break;
      }
      case 4: {  // the rest of the payload in order, as a host going back to what was acked
        if (op & 0x80)
          session.next = d.expected;
        const std::uint32_t end = std::min(TotalReports(session), session.next + 1100);
        for (; session.next < end && d.onBus; ++session.next)
          send(DataReport(session, session.next, session.next));
        break;
      }
      case 5: {  // the host reads what the dongle has queued
        CheckInvariants(d);
        for (int n = 0; n < 256 && d.onBus && !d.in.empty(); ++n)
          d.Deliver();
        break;
      }
      case 6: {  // time passes: flash work goes on (timed or instant from now on, as bit
                 // 0x40 says), a restart ends, the trial watchdog runs out (bit 0x10); or the
                 // dongle is unplugged, reset, or plugged in
        if (op & 0x40) {
          d.flashTiming = (op & 0x20)
                              ? VirtualDongle::FlashTiming{4096, std::chrono::milliseconds(1),
                                                           std::chrono::milliseconds(1)}
                              : VirtualDongle::kInstantFlash;
        }
        if (d.Working()) {
          d.StepWork();
        } else if (d.restarting) {
          d.FinishRestart();
        } else if ((op & 0x10) && d.onTrial && d.powered) {
          d.WatchdogReset();
        } else if (d.powered) {
          d.PowerOff();
          if (!(op & 0x80))
            d.PowerOn();
        } else {
          d.PowerOn();
        }
        break;
      }
      case 7:
        SetFaults(d, in);
        break;
    }
    CheckInvariants(d);
  }
  if (std::getenv("ZAV_FUZZ_TRACE") != nullptr) {  // how the input ended, for the seeds
    const VirtualDongle::Slot running = d.SlotView(d.active < 0 ? 0 : d.active);
    std::fprintf(stderr,
                 "running %s (slot %d%s), boots %u, starts %u, erases %u, accepted %u, naks %u, "
                 "restarts %u, confirms %u, reverts %u\n",
                 running.version.ToString().c_str(), d.active, d.onTrial ? ", on trial" : "",
                 d.bootCount, d.stats.starts, d.stats.erases, d.stats.accepted, d.stats.naks,
                 d.stats.restarts, d.stats.confirms, d.stats.reverts);
  }
  d.ResetState();  // nothing queued or pending for the device thread
  return 0;
}
