// The simulated dongle: the device side of the update protocol, two firmware slots with a
// boot loader that falls back to the old image, the full-speed timing model, the faults.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <openssl/crypto.h>

#include "dongle/model.h"

namespace dongle {
namespace proto = hiddfu::proto;
using namespace std::chrono_literals;

namespace {

constexpr std::uint32_t kFactorySize = 48 * 1024;
constexpr auto kFrame = 1ms;
constexpr auto kFullSpeedRestart = 500ms;

void PutVersion(Report& r, std::size_t at, const hiddfu::FirmwareVersion& v) {
  proto::Put16(r, at, v.major);
  proto::Put16(r, at + 2, v.minor);
  proto::Put16(r, at + 4, v.release);
  proto::Put16(r, at + 6, v.build);
}

hiddfu::FirmwareVersion GetVersion(const Report& r, std::size_t at) {
  return {proto::Get16(r, at), proto::Get16(r, at + 2), proto::Get16(r, at + 4),
          proto::Get16(r, at + 6)};
}

bool Hit(std::optional<std::uint32_t>& fault, std::uint32_t index) {
  if (!fault || *fault != index)
    return false;
  fault.reset();  // each link fault strikes once
  return true;
}

void StopAtExit() {
  Device& d = TheDevice();
  {
    std::lock_guard lock(d.mu);
    d.stopped = true;
    d.GoOffBus();
    d.deviceCv.notify_all();
  }
  if (d.thread.joinable())
    d.thread.join();
}

}  // namespace

Device& TheDevice() {
  static Device* device = [] {
    // The digest code needs the crypto library; starting it first puts its exit handler
    // before ours, so the device thread is stopped before the library is torn down.
    OPENSSL_init_crypto(0, nullptr);
    auto* d = new Device;
    {
      std::lock_guard lock(d->mu);
      d->ResetState();
    }
    d->thread = std::thread([d] { d->Run(); });
    std::atexit(StopAtExit);
    return d;
  }();
  return *device;
}

void Device::ResetState() {
  GoOffBus();
  timing = VirtualDongle::Timing::kFullSpeed;
  restartDelay.reset();
  capacity = VirtualDongle::kDefaultSlotCapacity;
  faults = {};
  stats = {};
  timeline = {};
  slots[0] = {true, VirtualDongle::kFactoryVersion, kFactorySize, true, true, {}};
  slots[1] = {};
  active = 0;
  trialSlot = -1;
  bootCount = 0;
  completion = 0;
  restarting = false;
  PowerOn();
}

void Device::GoOffBus() {
  onBus = false;
  ++generation;
  out.clear();
  in.clear();
  if (phase == Phase::kReceiving)
    slots[staged] = {};  // a half-written slot is worthless
  phase = Phase::kIdle;
  stalled = false;
  restartAfterReply = false;
  hostCv.notify_all();
}

void Device::PowerOn() {
  if (stopped)
    return;
  onBus = true;
  ++bootCount;
  if (trialSlot >= 0) {
    VirtualDongle::Slot& trial = slots[trialSlot];
    if (trial.verified && trial.bootable && !faults.newImageFailsToStart) {
      active = trialSlot;
      completion = faults.completionFigure;
    } else {
      trial.bootable = false;  // the boot loader gives up on it and keeps the old image
      completion = 0;
    }
    trialSlot = -1;
    timeline.restarted = Clock::now();
  }
  nextFrame = Clock::now();
  deviceCv.notify_all();
}

void Device::FinishRestart() {
  restarting = false;
  if (!faults.restartNeverEnds)
    PowerOn();
}

void Device::Run() {
  std::unique_lock lock(mu);
  while (!stopped) {
    const auto now = Clock::now();
    if (restarting && now >= restartDone) {
      FinishRestart();
      continue;
    }
    const bool work = onBus && (!out.empty() || !in.empty());
    if (!work) {
      if (restarting) {
        deviceCv.wait_until(lock, restartDone);
      } else {
        deviceCv.wait(lock);
      }
      continue;
    }
    if (timing == VirtualDongle::Timing::kInstant) {
      if (!out.empty()) {
        Report r = out.front();
        out.pop_front();
        hostCv.notify_all();
        Process(r);
      }
      while (onBus && !in.empty())
        Deliver();
      continue;
    }
    // Full speed: frames on a 1 ms grid. Up to two late frames are caught up, which covers
    // this thread's own wake-up delay; a host that lets the endpoint run dry loses frames.
    if (nextFrame + 2 * kFrame < now)
      nextFrame = now;
    if (now < nextFrame) {
      deviceCv.wait_until(lock, restarting ? std::min(nextFrame, restartDone) : nextFrame);
      continue;
    }
    if (!out.empty()) {
      Report r = out.front();
      out.pop_front();
      hostCv.notify_all();
      Process(r);
    }
    if (onBus && !in.empty())
      Deliver();
    nextFrame += kFrame;
  }
}

void Device::Deliver() {
  Report r = in.front();
  in.pop_front();
  const std::uint8_t type = r[0];
  bool lost = false;
  if (type == proto::kAck || type == proto::kNak) {
    const std::uint32_t index = ackIndex++;
    lost = Hit(faults.dropAck, index);
    if (Hit(faults.corruptAck, index))
      r[proto::kAckNext] ^= 0x21;
  } else if (type == (proto::kStart | proto::kReplyFlag) && faults.dropStartReply) {
    faults.dropStartReply = false;
    lost = true;
  } else if (type == (proto::kVerify | proto::kReplyFlag)) {
    if (faults.dropVerifyReply) {
      faults.dropVerifyReply = false;
      lost = true;
    }
    if (r[proto::kBody] == proto::kOk)
      timeline.verified = Clock::now();
  } else if (type == (proto::kActivate | proto::kReplyFlag) && faults.dropActivateReply) {
    faults.dropActivateReply = false;
    lost = true;
  }
  if (!lost) {
    for (hid_device* h : handles) {
      if (!Dead(h) && h->interface == kVendorInterface && h->in.size() < kInDepth) {
        h->in.push_back(r);
      }
    }
    hostCv.notify_all();
  }
  if (type == (proto::kActivate | proto::kReplyFlag) && restartAfterReply) {
    // The reply is out: the dongle leaves the bus to start the new image.
    GoOffBus();
    ++stats.restarts;
    restarting = true;
    restartDone =
        Clock::now() + restartDelay.value_or(timing == VirtualDongle::Timing::kInstant
                                                 ? std::chrono::milliseconds(0)
                                                 : std::chrono::milliseconds(kFullSpeedRestart));
  }
}

std::uint32_t Device::TotalReports() const {
  return static_cast<std::uint32_t>(
      (static_cast<std::uint64_t>(incomingSize) + proto::kDataPayload - 1) / proto::kDataPayload);
}

void Device::Process(Report r) {
  if (stalled)
    return;
  if (!proto::IsData(r[0])) {
    HandleCommand(r);
    return;
  }
  const std::uint32_t index = dataIndex++;
  ++stats.dataReports;
  if (Hit(faults.dropData, index))
    return;
  if (Hit(faults.corruptData, index))
    r[2 + index % proto::kDataPayload] ^= 0x5A;
  const bool twice = Hit(faults.duplicateData, index);
  HandleData(r);
  if (twice && onBus)
    HandleData(r);
}

void Device::HandleData(const Report& r) {
  if (phase != Phase::kReceiving || stalled)
    return;
  if (!proto::Intact(r)) {
    ++stats.damaged;
    Nak();
    return;
  }
  const std::uint32_t seq = r[0] & ~proto::kDataFlag;
  const std::uint32_t distance =
      (seq - expected % proto::kSequenceModulus) % proto::kSequenceModulus;
  if (distance == 0 && expected < TotalReports()) {
    const std::uint64_t offset = static_cast<std::uint64_t>(expected) * proto::kDataPayload;
    const std::size_t n = static_cast<std::size_t>(
        std::min<std::uint64_t>(proto::kDataPayload, incomingSize - offset));
    sha.Update(r.data() + 2, n);
    received += static_cast<std::uint32_t>(n);
    ++expected;
    ++stats.accepted;
    nakSent = false;
    Ack();
    if (faults.unplugAtByte && received >= *faults.unplugAtByte) {
      faults.unplugAtByte.reset();
      GoOffBus();
      return;
    }
    if (faults.stallAtByte && received >= *faults.stallAtByte)
      stalled = true;
  } else if (distance != 0 && distance < proto::kMaxWindow) {
    ++stats.gaps;
    Nak();
  } else {
    ++stats.duplicates;
    Ack();
  }
}

void Device::Ack() {
  Report a{};
  a[0] = proto::kAck;
  proto::Put32(a, proto::kAckNext, expected);
  proto::Put32(a, proto::kAckBytes, received);
  proto::Seal(a);
  ++stats.acks;
  // A newer cumulative acknowledgement makes one still waiting for the endpoint redundant.
  if (!in.empty() && in.back()[0] == proto::kAck) {
    in.back() = a;
  } else {
    in.push_back(a);
  }
}

void Device::Nak() {
  if (nakSent)
    return;  // one per gap: the host goes back once
  nakSent = true;
  Report n{};
  n[0] = proto::kNak;
  proto::Put32(n, proto::kAckNext, expected);
  proto::Put32(n, proto::kAckBytes, received);
  proto::Seal(n);
  ++stats.naks;
  in.push_back(n);
}

void Device::Reply(const Report& request, std::uint8_t status, Report* reply) {
  reply->fill(0);
  (*reply)[0] = request[0] | proto::kReplyFlag;
  (*reply)[proto::kTag] = request[proto::kTag];
  (*reply)[proto::kBody] = status;
}

void Device::HandleCommand(const Report& r) {
  if (!proto::Intact(r)) {
    ++stats.damaged;  // the host asks again when no reply comes
    return;
  }
  Report reply;
  switch (r[0]) {
    case proto::kInfo: {
      Reply(r, proto::kOk, &reply);
      reply[proto::kInfoProtocol] = proto::kProtocolVersion;
      reply[proto::kInfoActiveSlot] = static_cast<std::uint8_t>(active);
      reply[proto::kInfoWindow] = proto::kMaxWindow;
      reply[proto::kInfoCompletion] = completion;
      proto::Put16(reply, proto::kInfoBootCount, bootCount);
      proto::Put32(reply, proto::kInfoCapacity, capacity);
      PutVersion(reply, proto::kInfoRunning, slots[active].version);
      for (int i = 0; i < 2; ++i) {
        const std::size_t at = proto::kInfoSlots + i * proto::kInfoSlotStride;
        PutVersion(reply, at, slots[i].version);
        reply[at + 8] =
            static_cast<std::uint8_t>((slots[i].holdsImage ? proto::kSlotHoldsImage : 0) |
                                      (slots[i].verified ? proto::kSlotVerified : 0) |
                                      (slots[i].bootable ? proto::kSlotBootable : 0));
      }
      break;
    }
    case proto::kStart: {
      ++stats.starts;
      if (phase == Phase::kReceiving)
        slots[staged] = {};
      phase = Phase::kIdle;
      const std::uint16_t format = proto::Get16(r, proto::kStartFormat);
      const std::uint32_t size = proto::Get32(r, proto::kStartSize);
      std::uint8_t status = proto::kOk;
      if (faults.refuseStart) {
        status = static_cast<std::uint8_t>(*faults.refuseStart);
      } else if (format != hiddfu::kImageFormatVersion || size == 0) {
        status = proto::kBadHeader;
      } else if (size > capacity) {
        status = proto::kTooLarge;
      }
      Reply(r, status, &reply);
      if (status == proto::kOk) {
        staged = 1 - active;
        slots[staged] = {};  // erased: the running image is never touched
        incomingVersion = GetVersion(r, proto::kStartVersion);
        incomingSize = size;
        std::memcpy(incomingDigest.data(), &r[proto::kStartDigest], incomingDigest.size());
        expected = 0;
        received = 0;
        sha.Reset();
        nakSent = false;
        stalled = false;
        dataIndex = 0;
        ackIndex = 0;
        phase = Phase::kReceiving;
        timeline = {};
        timeline.started = Clock::now();
        reply[proto::kStartReplySlot] = static_cast<std::uint8_t>(staged);
        reply[proto::kStartReplyWindow] = static_cast<std::uint8_t>(std::min<std::uint32_t>(
            std::max<std::uint8_t>(r[proto::kStartWindow], 1), proto::kMaxWindow));
        proto::Put32(reply, proto::kStartReplyCapacity, capacity);
        if (faults.unplugAtByte && *faults.unplugAtByte == 0) {
          faults.unplugAtByte.reset();
          GoOffBus();
          return;
        }
        if (faults.stallAtByte && *faults.stallAtByte == 0)
          stalled = true;
      }
      break;
    }
    case proto::kVerify: {
      if (phase == Phase::kVerified) {
        Reply(r, proto::kOk, &reply);  // the host asks again after a lost reply
        proto::Put32(reply, proto::kVerifyReplyBytes, received);
        break;
      }
      if (phase != Phase::kReceiving) {
        Reply(r, proto::kNotReceiving, &reply);
        break;
      }
      std::uint8_t status = proto::kOk;
      if (received != incomingSize) {
        status = proto::kIncomplete;
      } else {
        const hiddfu::Digest digest = sha.Final();
        if (faults.failVerification || digest != incomingDigest) {
          status = proto::kDigestMismatch;
          slots[staged] = {};
          phase = Phase::kIdle;
        } else {
          slots[staged] = {true, incomingVersion, incomingSize, true, false, digest};
          phase = Phase::kVerified;
        }
      }
      Reply(r, status, &reply);
      proto::Put32(reply, proto::kVerifyReplyBytes, received);
      break;
    }
    case proto::kActivate: {
      if (phase != Phase::kVerified) {
        Reply(r, proto::kNotVerified, &reply);
        break;
      }
      // The commit: the new slot becomes bootable and is tried at the next start; the old
      // one stays bootable for the boot loader to fall back on.
      slots[staged].bootable = true;
      trialSlot = staged;
      phase = Phase::kIdle;
      restartAfterReply = true;
      Reply(r, proto::kOk, &reply);
      reply[proto::kBody + 1] = static_cast<std::uint8_t>(staged);
      break;
    }
    case proto::kAbort: {
      ++stats.aborts;
      if (phase != Phase::kIdle)
        slots[staged] = {};
      phase = Phase::kIdle;
      Reply(r, proto::kOk, &reply);
      break;
    }
    default:
      return;  // unknown commands go unanswered
  }
  proto::Seal(reply);
  in.push_back(reply);
}

}  // namespace dongle

namespace VirtualDongle {

using dongle::TheDevice;

void Reset() {
  auto& d = TheDevice();
  std::lock_guard lock(d.mu);
  d.ResetState();
}

void SetTiming(Timing timing) {
  auto& d = TheDevice();
  std::lock_guard lock(d.mu);
  d.timing = timing;
  d.deviceCv.notify_all();
}

void SetFaults(const Faults& faults) {
  auto& d = TheDevice();
  std::lock_guard lock(d.mu);
  d.faults = faults;
}

void SetRestartDelay(std::chrono::milliseconds delay) {
  auto& d = TheDevice();
  std::lock_guard lock(d.mu);
  d.restartDelay = delay;
}

void SetSlotCapacity(std::uint32_t bytes) {
  auto& d = TheDevice();
  std::lock_guard lock(d.mu);
  d.capacity = bytes;
}

void InstallFactoryImage(FirmwareVersion version) {
  auto& d = TheDevice();
  std::lock_guard lock(d.mu);
  d.slots[0] = {true, version, 48 * 1024, true, true, {}};
  d.slots[1] = {};
  d.active = 0;
  d.trialSlot = -1;
}

void Plug() {
  auto& d = TheDevice();
  std::lock_guard lock(d.mu);
  if (!d.onBus && !d.restarting)
    d.PowerOn();
}

void Unplug() {
  auto& d = TheDevice();
  std::lock_guard lock(d.mu);
  d.GoOffBus();
  d.restarting = false;
}

bool IsPlugged() {
  auto& d = TheDevice();
  std::lock_guard lock(d.mu);
  return d.onBus;
}

int ActiveSlot() {
  auto& d = TheDevice();
  std::lock_guard lock(d.mu);
  return d.active;
}

Slot GetSlot(int index) {
  auto& d = TheDevice();
  std::lock_guard lock(d.mu);
  return d.slots[index & 1];
}

FirmwareVersion RunningVersion() {
  auto& d = TheDevice();
  std::lock_guard lock(d.mu);
  return d.slots[d.active].version;
}

std::uint16_t BootCount() {
  auto& d = TheDevice();
  std::lock_guard lock(d.mu);
  return d.bootCount;
}

Stats GetStats() {
  auto& d = TheDevice();
  std::lock_guard lock(d.mu);
  return d.stats;
}

Timeline GetTimeline() {
  auto& d = TheDevice();
  std::lock_guard lock(d.mu);
  return d.timeline;
}

}  // namespace VirtualDongle
