// The simulated dongle: the device side of the update protocol, two firmware slots in flash
// with a boot loader that tries a new image once and falls back to the confirmed one, the
// checks of the image header (signature, product, hardware revision, security counter), the
// full-speed timing model, the faults.
#include "dongle/simulated_device.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <openssl/crypto.h>

namespace dongle {
namespace proto = hiddfu::proto;
using namespace std::chrono_literals;

namespace {

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

struct Registry {
  std::mutex mu;
  std::vector<Device*> devices;  // by number; never destroyed
};

Registry& Devices() {
  static Registry* registry = new Registry;
  return *registry;
}

Device* MakeDevice(int index) {
  auto* d = new Device;
  {
    std::lock_guard lock(d->mu);
    d->number = index;
    d->ResetState();
  }
  d->thread = std::thread([d] { d->Run(); });
  return d;
}

void StopAtExit() {
  for (Device* d : AllDevices()) {
    std::lock_guard lock(d->mu);
    d->stopped = true;
    d->GoOffBus();
    d->deviceCv.notify_all();
  }
  for (Device* d : AllDevices()) {
    if (d->thread.joinable())
      d->thread.join();
  }
}

hiddfu::PublicKey DemoPublicKey() {
  static const hiddfu::PublicKey key = [] {
    const auto parsed = hiddfu::ParsePublicKeyHex(ZAV_DEMO_PUBLIC_KEY);
    if (!parsed)
      std::abort();  // the build hands over 64 hex digits
    return *parsed;
  }();
  return key;
}

class HandlesBus final : public Bus {
 public:
  bool InReady(const Device&) const override { return true; }
  void SendIn(Device& d, const Report& r) override {
    for (hid_device* h : d.handles) {
      if (!d.Dead(h) && h->interface == kVendorInterface && h->in.size() < kInDepth)
        h->in.push_back(r);
    }
    d.hostCv.notify_all();
  }
  void Attached(Device&, bool) override {}  // handles tell by the generation
};

}  // namespace

Bus& InProcessBus() {
  static HandlesBus* bus = new HandlesBus;  // outlives the dongles' threads
  return *bus;
}

void UseBus(Bus& bus) {
  Device& d = TheDevice();
  std::lock_guard lock(d.mu);
  d.PowerOff();
  d.bus = &bus;
  d.PowerOn();
}

Device& TheDevice() {
  static Device* device = [] {
    // The digest code needs the crypto library; starting it first puts its exit handler
    // before ours, so the device threads are stopped before the library is torn down.
    OPENSSL_init_crypto(0, nullptr);
    Device* d = MakeDevice(0);
    {
      std::lock_guard lock(Devices().mu);
      Devices().devices.push_back(d);
    }
    std::atexit(StopAtExit);
    return d;
  }();
  return *device;
}

std::vector<Device*> AllDevices() {
  TheDevice();
  std::lock_guard lock(Devices().mu);
  return Devices().devices;
}

Device& DeviceAt(int index) {
  const std::vector<Device*> all = AllDevices();
  if (index < 0 || static_cast<std::size_t>(index) >= all.size()) {
    std::fprintf(stderr, "virtual dongle: there is no dongle %d\n", index);
    std::abort();
  }
  return *all[static_cast<std::size_t>(index)];
}

int AddDevice(const std::wstring& serial, const Settings& settings) {
  TheDevice();
  Registry& r = Devices();
  std::lock_guard lock(r.mu);
  Device* d = nullptr;
  for (Device* candidate : r.devices) {
    std::lock_guard deviceLock(candidate->mu);
    if (!candidate->present)
      d = candidate;
  }
  if (!d) {
    d = MakeDevice(static_cast<int>(r.devices.size()));
    r.devices.push_back(d);
  }
  std::lock_guard deviceLock(d->mu);
  d->present = true;
  d->ResetState();
  d->Apply(settings);
  d->serial = serial;
  return d->number;
}

void RemoveAddedDevices() {
  for (Device* d : AllDevices()) {
    std::lock_guard lock(d->mu);
    if (d->number > 0) {
      d->PowerOff();
      d->present = false;
    }
  }
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

std::chrono::milliseconds Device::DisconnectTime() const {
  return disconnectDelay.value_or(
      timing == VirtualDongle::Timing::kInstant ? 0ms : VirtualDongle::kDisconnectNoticed);
}

std::uint32_t Device::BlockBytes() const {
  return std::max<std::uint32_t>(FlashTimes().blockBytes, 1);
}

Settings Device::CurrentSettings() const {
  return {timing, flashTiming, restartDelay, disconnectDelay, writeTimeout, trialWatchdog, decoder};
}

void Device::Apply(const Settings& settings) {
  timing = settings.timing;
  flashTiming = settings.flashTiming;
  restartDelay = settings.restartDelay;
  disconnectDelay = settings.disconnectDelay;
  writeTimeout = settings.writeTimeout;
  trialWatchdog = settings.trialWatchdog;
  decoder = settings.decoder;
  deviceCv.notify_all();
}

void Device::ResetState() {
  GoOffBus();
  Apply({});
  serial = kDefaultSerial;
  nodePath.clear();
  capacity = VirtualDongle::kDefaultSlotCapacity;
  faults = {};
  stats = {};
  timeline = {};
  product = VirtualDongle::kProduct;
  hardwareRevision = VirtualDongle::kHardwareRevision;
  trustedKey = DemoPublicKey();
  headerBuffer = {};
  InstallFactoryImage(VirtualDongle::kFactoryVersion);
  bootCount = 0;
  completion = 0;
  restarting = false;
  powered = false;
  PowerOn();
  departedGeneration = 0;  // a fresh dongle: nothing of the old one lingers on the host
}

std::uint64_t Device::HostGeneration(Clock::time_point now) const {
  if (stopped)
    return 0;
  if (departedGeneration != 0 && now < departedAt + DisconnectTime())
    return departedGeneration;
  return onBus ? generation : 0;
}

Clock::time_point Device::NodeRemovedAt(std::uint64_t g) const {
  if (stopped)
    return Clock::time_point::min();
  if (g == generation && onBus)
    return Clock::time_point::max();
  return g == departedGeneration ? departedAt + DisconnectTime() : Clock::time_point::min();
}

void Device::GoOffBus() {
  const bool was = onBus;
  onBus = false;
  if (was) {
    departedGeneration = generation;
    departedAt = Clock::now();
  }
  ++generation;
  if (was)
    bus->Attached(*this, false);
  out.clear();
  in.clear();
  inHeldUntil = {};
  phase = Phase::kIdle;  // a half-written slot holds no header: it is worthless
  verdict.reset();
  stalled = false;
  outStuck = false;
  restartAfterReply = false;
  hostCv.notify_all();
}

void Device::PowerOff() {
  GoOffBus();
  restarting = false;
  powered = false;
}

void Device::PowerCut() {
  PowerOff();
  if (faults.replugAfter > std::chrono::milliseconds(0)) {
    restarting = true;  // off the bus until then, as in a restart
    restartDone = Clock::now() + faults.replugAfter;
  }
}

void Device::ComeOnBus() {
  onBus = true;
  bus->Attached(*this, true);
}

void Device::BeginRestart() {
  GoOffBus();
  powered = false;
  ++stats.restarts;
  restarting = true;
  restartDone = Clock::now() + RestartTime();
}

void Device::FinishRestart() {
  restarting = false;
  if (!faults.restartNeverEnds)
    PowerOn();
}

void Device::WatchdogReset() {
  BeginRestart();
}

Clock::time_point Device::NextWake(Clock::time_point now, bool watchdog) const {
  auto wake = Clock::time_point::max();
  if (restarting)
    wake = std::min(wake, restartDone);
  if (watchdog)
    wake = std::min({wake, watchdogAt, selfTestDue});
  if (Working())
    wake = std::min(wake, workNext);
  if (onBus && !in.empty() && now < inHeldUntil)
    wake = std::min(wake, inHeldUntil);
  if (onBus && !out.empty() && BufferFull(now))
    wake = std::min(wake, BufferFreesAt(now));
  return wake;
}

void Device::Run() {
  std::unique_lock lock(mu);
  while (!stopped) {
    const auto now = Clock::now();
    if (restarting && now >= restartDone) {
      FinishRestart();
      continue;
    }
    const bool watchdog = powered && onTrial && !restarting;
    if (watchdog && now >= watchdogAt) {
      WatchdogReset();
      continue;
    }
    if (SelfTestDue(now)) {
      StepSelfTest();
      continue;
    }
    if (Working() && now >= workNext) {
      StepWork();
      continue;
    }
    const auto wake = NextWake(now, watchdog);
    const bool usb = onBus && ((!out.empty() && TakesReports(now)) || CanDeliver(now));
    if (!usb) {
      if (wake == Clock::time_point::max()) {
        deviceCv.wait(lock);
      } else {
        deviceCv.wait_until(lock, wake);
      }
      continue;
    }
    if (timing == VirtualDongle::Timing::kInstant) {
      if (!out.empty() && TakesReports(Clock::now()))
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
    if (!out.empty() && TakesReports(now))
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
  return !in.empty() && now >= inHeldUntil && bus->InReady(*this);
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
  } else if (type == (proto::kConfirm | proto::kReplyFlag) && faults.dropConfirmReply) {
    faults.dropConfirmReply = false;
    lost = true;
  }
  if (!lost)
    bus->SendIn(*this, r);
  if (type == (proto::kActivate | proto::kReplyFlag) && restartAfterReply) {
    // The reply is out: the dongle leaves the bus to start the new image.
    BeginRestart();
  }
}

void Device::BeginWork(Phase next, std::uint64_t total, std::chrono::milliseconds perBlock) {
  phase = next;
  workDone = 0;
  workTotal = total;
  const auto now = Clock::now();
  // After what the flash still has to do for the data taken so far.
  workNext = std::max(now, flashFreeAt) + perBlock;
  if (perBlock == 0ms && flashFreeAt <= now) {
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
    erasedTo = workDone;
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
  if (stalled || faults.silent || (onTrial && faults.trialNeverAnswers))
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
  if (Hit(faults.forgeData, index)) {
    r[2 + index % proto::kDataPayload] ^= 0x5A;
    proto::Seal(r);
  }
  const bool twice = Hit(faults.duplicateData, index);
  HandleData(r);
  if (twice && onBus)
    HandleData(r);
}

void Device::HandleData(const Report& r) {
  if (phase != Phase::kReceiving || stalled)
    return;  // nothing to write into yet: the host waits for the erase
  const std::optional<proto::Data> data = proto::DecodeData(r);
  if (!data) {
    ++stats.damaged;
    Nak();
    return;
  }
  const std::uint32_t seq = data->sequence;
  const std::uint32_t distance =
      (seq - expected % proto::kSequenceModulus) % proto::kSequenceModulus;
  if (distance == 0 && expected < TotalReports()) {
    const std::uint64_t offset = static_cast<std::uint64_t>(expected) * proto::kDataPayload;
    const std::size_t n = static_cast<std::size_t>(
        std::min<std::uint64_t>(proto::kDataPayload, incomingSize - offset));
    StoreData(*data, n);
    received += static_cast<std::uint32_t>(n);
    ++expected;
    ++stats.accepted;
    nakSent = false;
    Ack();
    if (Reached(faults.unplugAtByte, received)) {
      PowerOff();
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

Report Device::AckReport() const {
  return proto::Encode(proto::Acknowledgement{false, expected, received});
}

void Device::RepeatAck(std::uint32_t copies) {
  const Report a = AckReport();
  in.insert(in.end(), copies, a);
  deviceCv.notify_all();
}

void Device::Ack() {
  const Report a = AckReport();
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
  const Report n = proto::Encode(proto::Acknowledgement{true, expected, received});
  ++stats.naks;
  in.push_back(n);
}

void Device::HandleCommand(const Report& r) {
  if (!proto::Intact(r)) {
    ++stats.damaged;  // the host asks again when no reply comes
    return;
  }
  std::optional<Report> reply;
  switch (r[0]) {
    case proto::kInfo:
      reply = OnInfo(r);
      break;
    case proto::kStart:
      reply = OnStart(r);
      break;
    case proto::kVerify:
      reply = OnVerify(r);
      break;
    case proto::kActivate:
      reply = OnActivate(r);
      break;
    case proto::kAbort:
      reply = OnAbort(r);
      break;
    case proto::kHeader:
      reply = OnHeader(r);
      break;
    case proto::kConfirm:
      reply = OnConfirm(r);
      break;
    default:
      break;  // unknown commands go unanswered
  }
  if (reply)
    in.push_back(*reply);
}

std::optional<Report> Device::OnInfo(const Report& r) {
  proto::InfoReply info;
  info.activeSlot = static_cast<std::uint8_t>(active >= 0 ? active : Confirmed());
  info.window = proto::kMaxWindow;
  info.completion = completion;
  info.bootCount = bootCount;
  info.capacity = capacity;
  info.running = RunningVersion();
  for (int i = 0; i < 2; ++i) {
    const VirtualDongle::Slot slot = SlotView(i);
    info.slotStates[i] = {slot.version, static_cast<std::uint8_t>(
                                            (slot.holdsImage ? proto::kSlotHoldsImage : 0) |
                                            (slot.verified ? proto::kSlotVerified : 0) |
                                            (slot.bootable ? proto::kSlotBootable : 0) |
                                            (onTrial && i == active ? proto::kSlotOnTrial : 0))};
  }
  const VirtualDongle::FlashTiming times = FlashTimes();
  auto ms16 = [](std::chrono::milliseconds ms) {
    return static_cast<std::uint16_t>(
        std::clamp<std::chrono::milliseconds::rep>(ms.count(), 0, 65535));
  };
  info.eraseBlock = BlockBytes();
  info.eraseMs = ms16(times.eraseBlock);
  info.readMs = ms16(times.readBlock);
  info.restartMs = ms16(RestartTime());
  info.product = product;
  info.hardwareRevision = hardwareRevision;
  info.securityCounter = Counter();
  info.selfTest = selfTest;
  info.mode = active >= 0 ? proto::Mode::kImage : proto::Mode::kUpdate;
  info.methods = static_cast<std::uint8_t>(DecoderMethods());
  info.filters = decoder.filters;
  info.dictionary = decoder.dictionary;
  info.decodeRate = decoder.bytesPerSecond;
  return proto::Encode(info, r[proto::kTag]);
}

std::optional<Report> Device::OnHeader(const Report& r) {
  const proto::HeaderRequest request = *proto::DecodeHeaderRequest(r);
  if (request.part >= proto::kHeaderParts)
    return proto::Encode(proto::HeaderReply{proto::kBadHeader}, r[proto::kTag]);
  std::copy(request.bytes.begin(), request.bytes.end(),
            headerBuffer.begin() + request.part * proto::kHeaderPartSize);
  return proto::Encode(proto::HeaderReply{proto::kOk}, r[proto::kTag]);
}

// The same start request again (its reply was lost, or the host asks how the erase goes)
// while nothing has been written since: it never begins the erase again.
bool Device::RepeatedStart(const proto::StartRequest& request) const {
  if (phase != Phase::kErasing && !(phase == Phase::kReceiving && expected == 0))
    return false;
  return request == startRequest;
}

// The header the HEADER commands brought, checked as the boot loader would: it is the one
// START names, well formed, signed with the key the dongle holds, made for this product and
// hardware revision, not below the security counter, and fits a slot.
std::uint8_t Device::CheckHeader(const proto::StartRequest& request,
                                 hiddfu::ImageHeader* header) const {
  hiddfu::Sha256 headerSha;
  headerSha.Update(headerBuffer.data(), headerBuffer.size());
  const hiddfu::Digest digest = headerSha.Final();
  if (!std::equal(digest.begin(), digest.end(), request.headerDigest.begin()))
    return proto::kBadHeader;
  const auto decoded = hiddfu::DecodeHeader(headerBuffer, nullptr);
  if (!decoded)
    return proto::kBadHeader;
  if (!hiddfu::SignedBy(headerBuffer, trustedKey))
    return proto::kBadSignature;
  if (decoded->product != product)
    return proto::kWrongProduct;
  if (decoded->hardwareRevision != hardwareRevision)
    return proto::kWrongHardware;
  if (decoded->securityCounter < Counter())
    return proto::kRollback;
  if (decoded->payloadSize > capacity)
    return proto::kTooLarge;
  *header = *decoded;
  return proto::kOk;
}

std::optional<Report> Device::OnStart(const Report& r) {
  ++stats.starts;
  const proto::StartRequest request = *proto::DecodeStartRequest(r);
  if (RepeatedStart(request))
    return proto::Encode(StartReply(), r[proto::kTag]);
  hiddfu::ImageHeader header;
  std::uint8_t status = proto::kOk;
  if (faults.refuseStart) {
    status = static_cast<std::uint8_t>(*faults.refuseStart);
  } else if (onTrial) {
    status = proto::kOnTrial;  // the only confirmed image is in the slot it would erase
  } else {
    status = CheckHeader(request, &header);
    if (status == proto::kOk && !TakesForm(request.form, header))
      status = proto::kCannotDecode;
  }
  if (status != proto::kOk) {
    DropUpgrade();
    return proto::Encode(proto::StartReply{.status = status}, r[proto::kTag]);
  }
  BeginUpgrade(request, header);
  if (Reached(faults.unplugAtByte, 0)) {
    PowerOff();
    return std::nullopt;
  }
  if (Reached(faults.stallAtByte, 0))
    stalled = true;
  if (Reached(faults.stuckOutAtByte, 0))
    outStuck = true;
  return proto::Encode(StartReply(), r[proto::kTag]);
}

void Device::DropUpgrade() {
  if (phase != Phase::kIdle)
    image[staged].reset();
  phase = Phase::kIdle;
  streamDecoder.reset();
  buffered.clear();
  verdict.reset();
}

void Device::BeginUpgrade(const proto::StartRequest& request, const hiddfu::ImageHeader& header) {
  DropUpgrade();
  ++stats.erases;
  // Never the running image's slot; in the update mode, the one the boot state does not name.
  staged = 1 - (active >= 0 ? active : Confirmed());
  image[staged].reset();
  intact[staged] = false;
  startRequest = request;
  incomingHeader = headerBuffer;
  const bool stream = request.form == proto::Form::kStream;
  incomingSize = stream ? header.storedSize : header.payloadSize;
  slotBytes = header.payloadSize;
  incomingDigest = header.sha256;
  streamDecoder.reset();
  if (stream)
    streamDecoder.emplace(header.filter, header.dictionary, header.payloadSize);
  badStream = false;
  written = 0;
  erasedTo = 0;
  flashFreeAt = {};
  buffered.clear();
  expected = 0;
  received = 0;
  nakSent = false;
  stalled = false;
  dataIndex = 0;
  ackIndex = 0;
  timeline = {};
  timeline.started = Clock::now();
  // The first block before anything can be written; the others as the data comes to them.
  BeginWork(Phase::kErasing, BlockBytes(), FlashTimes().eraseBlock);
}

proto::Work Device::WorkDone() const {
  return {static_cast<std::uint32_t>(workDone), static_cast<std::uint32_t>(workTotal)};
}

proto::StartReply Device::StartReply() const {
  if (phase == Phase::kErasing)
    return {.status = proto::kWorking, .work = WorkDone()};
  proto::StartReply reply;
  reply.slot = static_cast<std::uint8_t>(staged);
  reply.window = static_cast<std::uint8_t>(
      std::min<std::uint32_t>(std::max<std::uint8_t>(startRequest.window, 1), proto::kMaxWindow));
  reply.capacity = capacity;
  return reply;
}

std::optional<Report> Device::OnVerify(const Report& r) {
  if (phase == Phase::kReceiving && received == incomingSize) {
    if (streamDecoder && (badStream || !streamDecoder->Finished())) {
      verdict = proto::kBadStream;  // the slot does not hold the payload the header names
      phase = Phase::kIdle;
      return proto::Encode(VerifyReply(), r[proto::kTag]);
    }
    // Reads back what the slot stores, block by block, and hashes that.
    sha.Reset();
    BeginWork(Phase::kVerifying, slotBytes, FlashTimes().readBlock);
  }
  return proto::Encode(VerifyReply(), r[proto::kTag]);
}

void Device::FinishVerification() {
  const hiddfu::Digest digest = sha.Final();
  if (faults.failVerification || digest != incomingDigest) {
    verdict = proto::kDigestMismatch;
    phase = Phase::kIdle;
    return;
  }
  verdict = proto::kOk;
  // The header goes into the slot beside the payload it describes.
  image[staged] =
      StoredImage{incomingHeader, *hiddfu::DecodeHeader(incomingHeader, nullptr), false};
  intact[staged] = true;
  phase = Phase::kVerified;
  if (faults.decayAfterVerify) {
    faults.decayAfterVerify = false;
    DecaySlot(staged);  // the flash forgets a bit before the loader reads it again
  }
}

proto::VerifyReply Device::VerifyReply() const {
  if (phase == Phase::kVerifying)
    return {.status = proto::kWorking, .work = WorkDone()};
  std::uint8_t status = proto::kNotReceiving;
  if (phase == Phase::kReceiving) {
    status = proto::kIncomplete;
  } else if (phase == Phase::kVerified || (phase == Phase::kIdle && verdict)) {
    status = verdict.value_or(proto::kOk);  // asked again after a lost reply
  }
  return {status, {}, received};
}

std::optional<Report> Device::OnAbort(const Report& r) {
  ++stats.aborts;
  DropUpgrade();
  return proto::Encode(proto::AbortReply{}, r[proto::kTag]);
}

}  // namespace dongle
