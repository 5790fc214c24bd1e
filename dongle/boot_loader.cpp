// The dongle's boot loader and the commands that change its boot state: what survives a power
// cut is the flash of the two slots, the header of the image each holds, and the boot journal
// (boot_journal.h). At every power-on the loader checks the image it is about to start (its
// signed header, the digest of the slot, the security counter) and falls back to the other
// slot, or stays in its update mode, when that fails. A new image starts once, on trial, and
// runs its self-test; the host confirms it only once that passed, and the security counter
// rises only after the confirmation is stored, as a write of its own.
#include <algorithm>
#include <vector>

#include "dongle/simulated_device.h"

namespace dongle {
namespace proto = hiddfu::proto;
using namespace std::chrono_literals;

namespace {

constexpr std::uint32_t kFactorySize = 48 * 1024;

std::uint8_t FactoryByte(std::uint64_t i) {
  return static_cast<std::uint8_t>((i * 2654435761u) >> 13);
}

}  // namespace

// ---- What the slots hold -------------------------------------------------------------------

// The maker's image: 48 KiB in slot 0, confirmed, at the boot state's counter. It stands for
// whatever the maker put into a dongle made with the key it holds and for its hardware: the
// loader checks its digest, not its signature, product or counter.
void Device::InstallFactoryImage(hiddfu::FirmwareVersion version) {
  std::vector<std::uint8_t> payload(kFactorySize);
  for (std::size_t i = 0; i < payload.size(); ++i)
    payload[i] = FactoryByte(i);
  flash[0].Erase(0, capacity);
  flash[1].Erase(0, capacity);
  flash[0].Write(0, payload.data(), payload.size());
  hiddfu::ImageHeader header;
  header.version = version;
  header.payloadSize = kFactorySize;
  header.product = product;
  header.hardwareRevision = hardwareRevision;
  hiddfu::Sha256 digest;
  digest.Update(payload.data(), payload.size());
  header.sha256 = digest.Final();
  image[0] = StoredImage{hiddfu::SignHeader(header, hiddfu::DemoSigningKey()), header, true};
  image[1].reset();
  intact[0] = true;
  intact[1] = false;
  journal.Format(0, 0);
  active = 0;
  onTrial = false;
  selfTest = proto::SelfTest::kNone;
}

std::uint32_t Device::Counter() const {
  return journal.State().counter;
}

int Device::Confirmed() const {
  return journal.State().confirmed;
}

hiddfu::FirmwareVersion Device::RunningVersion() const {
  return active >= 0 && image[active] ? image[active]->header.version : hiddfu::FirmwareVersion{};
}

// What the loader would take, from what it knows without reading the slot again.
bool Device::Bootable(int slot) const {
  const BootState s = journal.State();
  if (!image[slot] || !intact[slot] || s.givenUp[slot])
    return false;
  const StoredImage& im = *image[slot];
  return im.factory ||
         (hiddfu::SignedBy(im.bytes, trustedKey) && im.header.product == product &&
          im.header.hardwareRevision == hardwareRevision && im.header.securityCounter >= s.counter);
}

// The loader's check before it starts a slot: the signed header, then the slot read back and
// hashed against the header's digest.
bool Device::Startable(int slot) {
  if (!image[slot])
    return false;
  const hiddfu::ImageHeader& h = image[slot]->header;
  hiddfu::Sha256 readBack;
  std::vector<std::uint8_t> block(64 * 1024);
  for (std::uint64_t at = 0; at < h.payloadSize; at += block.size()) {
    const std::size_t n =
        static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), h.payloadSize - at));
    flash[slot].Read(at, block.data(), n);
    readBack.Update(block.data(), n);
  }
  intact[slot] = readBack.Final() == h.sha256;
  return Bootable(slot);
}

VirtualDongle::Slot Device::SlotView(int slot) const {
  if (!image[slot])
    return {};
  const hiddfu::ImageHeader& h = image[slot]->header;
  return {true,           h.version, h.payloadSize,    intact[slot],
          Bootable(slot), h.sha256,  h.securityCounter};
}

void Device::DecaySlot(int slot) {
  if (!image[slot])
    return;
  const std::uint64_t at = image[slot]->header.payloadSize / 2;
  std::uint8_t byte = 0;
  flash[slot].Read(at, &byte, 1);
  byte ^= 0x10;
  flash[slot].Write(at, &byte, 1);
}

void Device::SetCounter(std::uint32_t counter) {
  journal.Format(Confirmed(), counter);
}

void Device::AdoptImages() {
  for (std::optional<StoredImage>& stored : image) {
    if (stored)
      stored->factory = true;
  }
}

bool Device::Persist(BootRecord kind, int slot, std::uint32_t value) {
  ++stats.bootStateWrites;
  if (journal.Append(kind, slot, value))
    return true;
  PowerCut();  // the power went at this write
  return false;
}

// ---- Power-on --------------------------------------------------------------------------------

void Device::PowerOn() {
  if (stopped || !present)
    return;
  powered = true;
  ++bootCount;
  nextFrame = Clock::now();
  if (!Boot())
    return;  // the power was cut at a write of the boot state
  if (!(onTrial && faults.trialNeverEnumerates))
    ComeOnBus();
  deviceCv.notify_all();
}

// An image whose try began and was not confirmed is given up; a committed one is tried once
// if it passes the check; then the confirmed slot, the other one, or the update mode.
bool Device::Boot() {
  const auto now = Clock::now();
  BootState s = journal.State();
  if (s.trial >= 0) {
    if (!Persist(BootRecord::kGivenUp, s.trial))
      return false;
    ++stats.reverts;
    completion = 0;
    timeline.restarted = now;
    s = journal.State();
  }
  if (s.pending >= 0) {
    timeline.restarted = now;
    if (!faults.newImageFailsToStart && Startable(s.pending)) {
      if (!Persist(BootRecord::kTrialStarted, s.pending))
        return false;
      StartImage(s.pending, true);
      return true;
    }
    if (!Persist(BootRecord::kGivenUp, s.pending))
      return false;
    completion = 0;
    s = journal.State();
  }
  if (Startable(s.confirmed)) {
    StartImage(s.confirmed, false);
  } else if (const int other = 1 - s.confirmed; Startable(other)) {
    StartImage(other, false);
  } else {
    active = -1;  // the update mode: it answers INFO and takes a new image
    onTrial = false;
    selfTest = proto::SelfTest::kNone;
  }
  return true;
}

void Device::StartImage(int slot, bool trial) {
  active = slot;
  onTrial = trial;
  selfTest = trial ? proto::SelfTest::kRunning : proto::SelfTest::kNone;
  if (trial) {
    const auto now = Clock::now();
    watchdogAt = now + trialWatchdog;
    selfTestDue = now + SelfTestTime();
    completion = faults.completionFigure;
  }
}

std::chrono::milliseconds Device::SelfTestTime() const {
  return timing == VirtualDongle::Timing::kInstant ? 0ms : VirtualDongle::kSelfTestTime;
}

bool Device::SelfTestDue(Clock::time_point now) const {
  if (!powered || restarting || !onTrial || now < selfTestDue)
    return false;
  return (selfTest == proto::SelfTest::kRunning && !faults.selfTestNeverEnds) ||
         selfTest == proto::SelfTest::kFailed;
}

// The self-test ends; an image that failed it says so for a moment, then resets itself, and
// the loader gives it up.
void Device::StepSelfTest() {
  if (selfTest == proto::SelfTest::kFailed) {
    BeginRestart();
    return;
  }
  selfTest = faults.selfTestFails ? proto::SelfTest::kFailed : proto::SelfTest::kPassed;
  selfTestDue = Clock::now() + std::max(SelfTestTime(), 100ms);
}

// ---- The commands that change the boot state ---------------------------------------------------

std::optional<Report> Device::OnActivate(const Report& r) {
  if (phase == Phase::kVerified) {
    // The commit: one write, and the slot is tried at the next start; the old image stays
    // confirmed for the loader to fall back on.
    if (!Persist(BootRecord::kTry, staged))
      return std::nullopt;
    phase = Phase::kIdle;
    verdict.reset();
    restartAfterReply = true;
    if (faults.activateReplyDelay > 0ms) {
      inHeldUntil = Clock::now() + faults.activateReplyDelay;
      faults.activateReplyDelay = 0ms;
    }
  }
  const int pending = journal.State().pending;
  if (pending < 0)
    return proto::Encode(proto::ActivateReply{.status = proto::kNotVerified}, r[proto::kTag]);
  // Committed already: a repeated request (its reply was lost or late) gets the same answer.
  return proto::Encode(proto::ActivateReply{proto::kOk, static_cast<std::uint8_t>(pending)},
                       r[proto::kTag]);
}

// The host keeps the image on trial once its self-test passed: the confirmation is stored,
// then, as a write of its own, the security counter rises to the image's.
std::optional<Report> Device::OnConfirm(const Report& r) {
  if (faults.unplugOnConfirm) {
    faults.unplugOnConfirm = false;
    PowerCut();
    return std::nullopt;
  }
  const std::uint8_t tag = r[proto::kTag];
  const proto::ConfirmReply done{proto::kOk, static_cast<std::uint8_t>(std::max(active, 0))};
  if (active < 0 || proto::DecodeConfirmRequest(r)->slot != active)
    return proto::Encode(proto::ConfirmReply{proto::kNothingToConfirm, done.slot}, tag);
  if (onTrial) {  // else confirmed already: a repeated request gets the same answer
    if (selfTest != proto::SelfTest::kPassed)
      return proto::Encode(proto::ConfirmReply{proto::kSelfTestNotPassed, done.slot}, tag);
    if (!Persist(BootRecord::kConfirmed, active))
      return std::nullopt;
    onTrial = false;
    ++stats.confirms;
    const std::uint32_t counter = image[active]->header.securityCounter;
    if (counter > Counter() && !Persist(BootRecord::kCounter, active, counter))
      return std::nullopt;
  }
  if (faults.unplugAfterConfirm) {
    faults.unplugAfterConfirm = false;
    PowerCut();
    return std::nullopt;
  }
  return proto::Encode(done, tag);
}

}  // namespace dongle
