// The simulated dongle: the device side of the update protocol, two firmware slots in flash
// with a boot loader that falls back to the old image, the full-speed timing model, the
// faults.
#include "dongle/simulated_device.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <openssl/crypto.h>

namespace dongle {
namespace proto = hiddfu::proto;
using namespace std::chrono_literals;

namespace {

constexpr std::uint32_t kFactorySize = 48 * 1024;
constexpr auto kFrame = 1ms;
constexpr auto kFullSpeedRestart = 500ms;
constexpr wchar_t kDefaultSerial[] = L"MRL000001";

bool Hit(std::optional<std::uint32_t>& fault, std::uint32_t index) {
  if (!fault || *fault != index)
    return false;
  fault.reset();  // each link fault strikes once
  return true;
}

// Whether a fault set at a payload byte strikes now that `received` bytes are in.
bool Reached(std::optional<std::uint32_t>& fault, std::uint32_t received) {
  if (!fault || received < *fault)
    return false;
  fault.reset();
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

VirtualDongle::FlashTiming Device::FlashTimes() const {
  if (flashTiming)
    return *flashTiming;
  return timing == VirtualDongle::Timing::kInstant ? VirtualDongle::kInstantFlash
                                                   : VirtualDongle::kRealisticFlash;
}

std::chrono::milliseconds Device::RestartTime() const {
  return restartDelay.value_or(timing == VirtualDongle::Timing::kInstant ? 0ms : kFullSpeedRestart);
}

std::uint32_t Device::BlockBytes() const {
  return std::max<std::uint32_t>(FlashTimes().blockBytes, 1);
}

void Device::ResetState() {
  GoOffBus();
  timing = VirtualDongle::Timing::kFullSpeed;
  flashTiming.reset();
  restartDelay.reset();
  writeTimeout = 5s;
  serial = kDefaultSerial;
  nodePath.clear();
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
  inHeldUntil = {};
  if (phase != Phase::kIdle && phase != Phase::kVerified)
    slots[staged] = {};  // a half-written slot is worthless
  phase = Phase::kIdle;
  verdict.reset();
  stalled = false;
  outStuck = false;
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
    if (Working() && now >= workNext) {
      StepWork();
      continue;
    }
    auto wake = Clock::time_point::max();
    if (restarting)
      wake = std::min(wake, restartDone);
    if (Working())
      wake = std::min(wake, workNext);
    if (onBus && !in.empty() && now < inHeldUntil)
      wake = std::min(wake, inHeldUntil);
    const bool usb = onBus && ((!out.empty() && TakesReports()) || CanDeliver(now));
    if (!usb) {
      if (wake == Clock::time_point::max()) {
        deviceCv.wait(lock);
      } else {
        deviceCv.wait_until(lock, wake);
      }
      continue;
    }
    if (timing == VirtualDongle::Timing::kInstant) {
      if (!out.empty() && TakesReports())
        Take();
      while (onBus && CanDeliver(Clock::now()))
        Deliver();
      continue;
    }
    // Full speed: frames on a 1 ms grid; in each the OUT endpoint gives up its report and
    // the IN endpoint takes one. Up to two late frames are caught up, which covers this
    // thread's own wake-up delay; a host that lets the endpoint run dry loses frames.
    if (nextFrame + 2 * kFrame < now)
      nextFrame = now;
    if (now < nextFrame) {
      deviceCv.wait_until(lock, std::min(nextFrame, wake));
      continue;
    }
    if (!out.empty() && TakesReports())
      Take();
    if (onBus && CanDeliver(now))
      Deliver();
    nextFrame += kFrame;
  }
}

void Device::Take() {
  Report r = out.front();
  out.pop_front();
  ++outTaken;
  hostCv.notify_all();  // the writer's transfer is done
  Process(r);
}

bool Device::CanDeliver(Clock::time_point now) const {
  return !in.empty() && now >= inHeldUntil;
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
  } else if (type == (proto::kVerify | proto::kReplyFlag) && r[proto::kBody] != proto::kWorking) {
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
    restartDone = Clock::now() + RestartTime();
  }
}

void Device::BeginWork(Phase next, std::uint64_t total, std::chrono::milliseconds perBlock) {
  phase = next;
  workDone = 0;
  workTotal = total;
  workNext = Clock::now() + perBlock;
  if (perBlock == 0ms) {
    while (Working())
      StepWork();
  }
}

void Device::StepWork() {
  const VirtualDongle::FlashTiming times = FlashTimes();
  const std::uint64_t n = std::min<std::uint64_t>(BlockBytes(), workTotal - workDone);
  if (phase == Phase::kErasing) {
    flash[staged].Erase(workDone, n);
    workDone += n;
    workNext += times.eraseBlock;
    if (workDone >= workTotal) {
      phase = Phase::kReceiving;
      timeline.erased = Clock::now();
    }
  } else if (phase == Phase::kVerifying) {
    std::vector<std::uint8_t> block(static_cast<std::size_t>(n));
    flash[staged].Read(workDone, block.data(), block.size());
    sha.Update(block.data(), block.size());
    workDone += n;
    workNext += times.readBlock;
    if (workDone >= workTotal)
      FinishVerification();
  }
}

std::uint32_t Device::TotalReports() const {
  return static_cast<std::uint32_t>(
      (static_cast<std::uint64_t>(incomingSize) + proto::kDataPayload - 1) / proto::kDataPayload);
}

void Device::Process(Report r) {
  if (stalled || faults.silent)
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
    return;  // nothing to write into yet: the host waits for the erase
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
    StoreData(r, offset, n);
    received += static_cast<std::uint32_t>(n);
    ++expected;
    ++stats.accepted;
    nakSent = false;
    Ack();
    if (Reached(faults.unplugAtByte, received)) {
      GoOffBus();
      return;
    }
    if (Reached(faults.stallAtByte, received))
      stalled = true;
    if (Reached(faults.stuckOutAtByte, received))
      outStuck = true;
  } else if (distance != 0 && distance < proto::kMaxWindow) {
    ++stats.gaps;
    Nak();
  } else {
    ++stats.duplicates;
    Ack();
  }
}

void Device::StoreData(const Report& r, std::uint64_t offset, std::size_t n) {
  std::uint8_t bytes[proto::kDataPayload];
  std::memcpy(bytes, r.data() + 2, n);
  if (faults.flipStoredByte && *faults.flipStoredByte >= offset &&
      *faults.flipStoredByte < offset + n) {
    bytes[*faults.flipStoredByte - offset] ^= 0x01;
    faults.flipStoredByte.reset();
  }
  flash[staged].Write(offset, bytes, n);
  const auto now = Clock::now();
  if (expected == 0)
    timeline.firstData = now;
  timeline.lastData = now;
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

void Device::Reply(const Report& request, std::uint8_t status, Report& reply) {
  reply.fill(0);
  reply[0] = request[0] | proto::kReplyFlag;
  reply[proto::kTag] = request[proto::kTag];
  reply[proto::kBody] = status;
}

void Device::HandleCommand(const Report& r) {
  if (!proto::Intact(r)) {
    ++stats.damaged;  // the host asks again when no reply comes
    return;
  }
  Report reply{};
  bool answered = false;
  switch (r[0]) {
    case proto::kInfo:
      answered = OnInfo(r, reply);
      break;
    case proto::kStart:
      answered = OnStart(r, reply);
      break;
    case proto::kVerify:
      answered = OnVerify(r, reply);
      break;
    case proto::kActivate:
      answered = OnActivate(r, reply);
      break;
    case proto::kAbort:
      answered = OnAbort(r, reply);
      break;
    default:
      break;  // unknown commands go unanswered
  }
  if (!answered)
    return;
  proto::Seal(reply);
  in.push_back(reply);
}

bool Device::OnInfo(const Report& r, Report& reply) {
  Reply(r, proto::kOk, reply);
  reply[proto::kInfoProtocol] = proto::kProtocolVersion;
  reply[proto::kInfoActiveSlot] = static_cast<std::uint8_t>(active);
  reply[proto::kInfoWindow] = proto::kMaxWindow;
  reply[proto::kInfoCompletion] = completion;
  proto::Put16(reply, proto::kInfoBootCount, bootCount);
  proto::Put32(reply, proto::kInfoCapacity, capacity);
  proto::PutVersion(reply, proto::kInfoRunning, slots[active].version);
  for (int i = 0; i < 2; ++i) {
    const std::size_t at = proto::kInfoSlots + i * proto::kInfoSlotStride;
    proto::PutVersion(reply, at, slots[i].version);
    reply[at + 8] = static_cast<std::uint8_t>((slots[i].holdsImage ? proto::kSlotHoldsImage : 0) |
                                              (slots[i].verified ? proto::kSlotVerified : 0) |
                                              (slots[i].bootable ? proto::kSlotBootable : 0));
  }
  const VirtualDongle::FlashTiming times = FlashTimes();
  auto ms16 = [](std::chrono::milliseconds ms) {
    return static_cast<std::uint16_t>(
        std::clamp<std::chrono::milliseconds::rep>(ms.count(), 0, 65535));
  };
  proto::Put32(reply, proto::kInfoEraseBlock, BlockBytes());
  proto::Put16(reply, proto::kInfoEraseMs, ms16(times.eraseBlock));
  proto::Put16(reply, proto::kInfoReadMs, ms16(times.readBlock));
  proto::Put16(reply, proto::kInfoRestartMs, ms16(RestartTime()));
  return true;
}

// The same start request again (its reply was lost, or the host asks how the erase goes)
// while nothing has been written since: it never begins the erase again.
bool Device::RepeatedStart(const Report& r) const {
  if (phase != Phase::kErasing && !(phase == Phase::kReceiving && expected == 0))
    return false;
  return std::equal(r.begin() + proto::kBody, r.end(), startFields.begin() + proto::kBody);
}

bool Device::OnStart(const Report& r, Report& reply) {
  ++stats.starts;
  if (RepeatedStart(r)) {
    StartReply(r, reply);
    return true;
  }
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
  if (status != proto::kOk) {
    DropUpgrade();
    Reply(r, status, reply);
    return true;
  }
  BeginUpgrade(r);
  if (Reached(faults.unplugAtByte, 0)) {
    GoOffBus();
    return false;
  }
  if (Reached(faults.stallAtByte, 0))
    stalled = true;
  if (Reached(faults.stuckOutAtByte, 0))
    outStuck = true;
  StartReply(r, reply);
  return true;
}

void Device::DropUpgrade() {
  if (phase != Phase::kIdle)
    slots[staged] = {};
  phase = Phase::kIdle;
  verdict.reset();
}

void Device::BeginUpgrade(const Report& r) {
  DropUpgrade();
  ++stats.erases;
  staged = 1 - active;
  slots[staged] = {};  // the running image is never touched
  startFields = r;
  startFields[1] = startFields[proto::kTag] = 0;
  incomingVersion = proto::GetVersion(r, proto::kStartVersion);
  incomingSize = proto::Get32(r, proto::kStartSize);
  std::memcpy(incomingDigest.data(), &r[proto::kStartDigest], incomingDigest.size());
  expected = 0;
  received = 0;
  nakSent = false;
  stalled = false;
  dataIndex = 0;
  ackIndex = 0;
  timeline = {};
  timeline.started = Clock::now();
  // The blocks the image needs, before anything can be written into them.
  const std::uint64_t blocks =
      (static_cast<std::uint64_t>(incomingSize) + BlockBytes() - 1) / BlockBytes();
  BeginWork(Phase::kErasing, blocks * BlockBytes(), FlashTimes().eraseBlock);
}

void Device::WorkingReply(const Report& r, Report& reply) const {
  Reply(r, proto::kWorking, reply);
  proto::Put32(reply, proto::kWorkDone, static_cast<std::uint32_t>(workDone));
  proto::Put32(reply, proto::kWorkTotal, static_cast<std::uint32_t>(workTotal));
}

void Device::StartReply(const Report& r, Report& reply) const {
  if (phase == Phase::kErasing) {
    WorkingReply(r, reply);
    return;
  }
  Reply(r, proto::kOk, reply);
  reply[proto::kStartReplySlot] = static_cast<std::uint8_t>(staged);
  reply[proto::kStartReplyWindow] = static_cast<std::uint8_t>(std::min<std::uint32_t>(
      std::max<std::uint8_t>(startFields[proto::kStartWindow], 1), proto::kMaxWindow));
  proto::Put32(reply, proto::kStartReplyCapacity, capacity);
}

bool Device::OnVerify(const Report& r, Report& reply) {
  if (phase == Phase::kReceiving && received == incomingSize) {
    // Reads back what the slot stores, block by block, and hashes that.
    sha.Reset();
    BeginWork(Phase::kVerifying, incomingSize, FlashTimes().readBlock);
  }
  VerifyReply(r, reply);
  return true;
}

void Device::FinishVerification() {
  const hiddfu::Digest digest = sha.Final();
  if (faults.failVerification || digest != incomingDigest) {
    verdict = proto::kDigestMismatch;
    slots[staged] = {};
    phase = Phase::kIdle;
  } else {
    verdict = proto::kOk;
    slots[staged] = {true, incomingVersion, incomingSize, true, false, digest};
    phase = Phase::kVerified;
  }
}

void Device::VerifyReply(const Report& r, Report& reply) const {
  std::uint8_t status = proto::kNotReceiving;
  if (phase == Phase::kVerifying) {
    WorkingReply(r, reply);
    return;
  }
  if (phase == Phase::kReceiving) {
    status = proto::kIncomplete;
  } else if (phase == Phase::kVerified || (phase == Phase::kIdle && verdict)) {
    status = verdict.value_or(proto::kOk);  // asked again after a lost reply
  }
  Reply(r, status, reply);
  proto::Put32(reply, proto::kVerifyReplyBytes, received);
}

bool Device::OnActivate(const Report& r, Report& reply) {
  if (phase == Phase::kVerified) {
    // The commit: the new slot becomes bootable and is tried at the next start; the old
    // one stays bootable for the boot loader to fall back on.
    slots[staged].bootable = true;
    trialSlot = staged;
    phase = Phase::kIdle;
    verdict.reset();
    restartAfterReply = true;
    if (faults.activateReplyDelay > 0ms) {
      inHeldUntil = Clock::now() + faults.activateReplyDelay;
      faults.activateReplyDelay = 0ms;
    }
  } else if (trialSlot < 0) {
    Reply(r, proto::kNotVerified, reply);
    return true;
  }
  // Committed already: a repeated request (its reply was lost or late) gets the same answer.
  Reply(r, proto::kOk, reply);
  reply[proto::kActivateReplySlot] = static_cast<std::uint8_t>(trialSlot);
  return true;
}

bool Device::OnAbort(const Report& r, Report& reply) {
  ++stats.aborts;
  DropUpgrade();
  Reply(r, proto::kOk, reply);
  return true;
}

}  // namespace dongle
