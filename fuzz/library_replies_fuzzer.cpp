// Arbitrary replies into the update library's host side. The harness is the device: its
// hid_* functions answer every read from the fuzz input, shaped so that the input can steer
// the library through connecting, the version reads and a whole upgrade (replies matched to
// the last command, acknowledgements of what was sent, device information, raw reports,
// silence, the device vanishing). Each input connects, reads the versions, upgrades and
// disconnects, sometimes cancelling midway. The library must not crash, leak or hang: every
// upgrade finishes within a bound with progress that never goes back, a failure always has
// its text, and success means that the whole header and every payload report went out, the
// device was asked to verify, to start and to confirm the image, in the slot the image went
// into, and it last said it runs the image's version from that slot.
#include <hidapi.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "fuzz/fuzz_input.h"
#include "hiddfu/hiddfu.h"
#include "hiddfu/hiddfu_tuning.h"
#include "hiddfu/image.h"
#include "hiddfu/protocol.h"

namespace {

namespace proto = hiddfu::proto;
using fuzz::Require;
using proto::Report;

constexpr unsigned short kVid = ZAV_USB_VID;
constexpr unsigned short kPid = ZAV_USB_PID;
constexpr hiddfu::FirmwareVersion kImageVersion{1, 2, 0, 7};
constexpr std::uint32_t kImageSizes[] = {1, 300, 62 * 130};
constexpr int kReplyMs = 50;  // long enough that the script, not the clock, decides
constexpr int kRebootMs = 5;
constexpr int kSleepsPerInput = 2;

// ZAV_FUZZ_TRACE=1 tells on standard error how each input ended: for keeping the seeds
// meaningful.
void Trace(const char* step, int rc) {
  static const bool on = std::getenv("ZAV_FUZZ_TRACE") != nullptr;
  if (on)
    std::fprintf(stderr, "%s=%d %s\n", step, rc, rc == 0 ? "" : hidDfuGetLastError());
}

// The scripted device. The library calls in from the GUI thread and from its worker.
struct Script {
  std::mutex mu;
  fuzz::Input in;
  std::uint64_t generation = 1;  // handles opened before the device vanished are dead
  Report lastCommand{};
  std::int64_t lastIndex = -1;  // index of the data report written last
  std::uint32_t sent = 0;       // data reports written at least once since the start
  bool verifyAsked = false;
  bool activateAsked = false;
  std::uint8_t headerParts = 0;  // bit i: part i of the header went out
  int confirmedSlot = -1;        // the slot the last confirmation named
  // The replies to the last start and device-information requests that the library took:
  // the first intact one of the type and tag of the command then outstanding (it ignores any
  // that follow).
  Report startReply{};
  Report infoReply{};
  bool answered = false;
  std::uint16_t bootCount = 7;
  int sleeps = 0;

  void Load(const std::uint8_t* data, std::size_t size) {
    in = fuzz::Input(data, size);
    ++generation;
    lastCommand = {};
    lastIndex = -1;
    sent = 0;
    verifyAsked = activateAsked = false;
    headerParts = 0;
    confirmedSlot = -1;
    startReply = infoReply = {};
    sleeps = 0;
  }

  void Delivered(const Report& r) {
    if (answered || !proto::Intact(r) || proto::IsData(lastCommand[0]) ||
        r[0] != (lastCommand[0] | proto::kReplyFlag) || r[proto::kTag] != lastCommand[proto::kTag])
      return;
    if (lastCommand[0] == proto::kStart)
      startReply = r;
    if (lastCommand[0] == proto::kInfo)
      infoReply = r;
    answered = true;
  }

  // The reply to a data write's acknowledgement names a count near what was sent.
  std::uint32_t NearSent() { return sent - std::min<std::uint32_t>(sent, in.Byte() % 4); }

  // What one read returns: 64 and the report, 0 for nothing, -1 for a vanished device.
  int Answer(Report& r, int timeoutMs) {
    if (in.Empty()) {
      ++generation;  // the script has ended: the device is gone
      return -1;
    }
    const std::uint8_t op = in.Byte();
    r.fill(0);
    switch (op % 8) {
      case 0:  // nothing; now and then the whole wait really passes
        if ((op & 0x80) && sleeps < kSleepsPerInput && timeoutMs > 0) {
          ++sleeps;
          std::this_thread::sleep_for(std::chrono::milliseconds(std::min(timeoutMs, 60)));
        }
        return 0;
      case 1:
        ++generation;
        return -1;
      case 2: {  // a reply to the last command with any status and body
        r[0] = lastCommand[0] | proto::kReplyFlag;
        r[proto::kTag] = (op & 0x80) ? in.Byte() : lastCommand[proto::kTag];
        in.Fill(r.data() + proto::kBody, 1 + in.Byte() % (proto::kReportSize - proto::kBody));
        if (!(op & 0x40))
          proto::Seal(r);
        return 64;
      }
      case 3:
      case 4: {  // an acknowledgement or a request to go back, near what was sent
        const std::uint32_t next = (op & 0x80) ? in.U32() : NearSent();
        r = proto::Encode(proto::Acknowledgement{
            op % 8 == 4, next, next * static_cast<std::uint32_t>(proto::kDataPayload)});
        return 64;
      }
      case 5:  // any 64 bytes
        in.Fill(r.data(), r.size());
        if (op & 0x80)
          proto::Seal(r);
        return 64;
      case 6:  // device information
        r = proto::Encode(Info(op), lastCommand[proto::kTag]);
        return 64;
      default:  // the last command accepted
        r = Accepted();
        return 64;
    }
  }

  proto::InfoReply Info(std::uint8_t op) {
    proto::InfoReply info;
    info.protocol = (op & 0x80) ? in.Byte() : proto::kProtocolVersion;
    info.activeSlot = in.Byte();
    info.window = in.Byte();
    info.completion = in.Byte();
    if (op & 0x20)
      ++bootCount;  // it has restarted
    info.bootCount = bootCount;
    info.capacity = (op & 0x10) ? in.U32() : 1u << 24;
    info.running = (op & 0x40)
                       ? kImageVersion
                       : hiddfu::FirmwareVersion{in.Byte(), in.Byte(), in.Byte(), in.Byte()};
    for (proto::SlotState& slot : info.slotStates)
      slot = {{in.Byte(), in.Byte(), in.Byte(), in.Byte()}, in.Byte()};
    // Mostly what the images are made for; now and then another device, or a counter.
    const std::uint8_t kind = (op & 0x08) ? in.Byte() : 0;
    info.product = (kind & 1) ? in.Byte() : hiddfu::kMarloDongle;
    info.hardwareRevision = (kind & 2) ? in.Byte() : hiddfu::kDefaultHardwareRevision;
    info.securityCounter = (kind & 4) ? in.Byte() % 2 : 0;
    return info;
  }

  // The last command's OK reply; a START's into slot 1 with any window.
  Report Accepted() {
    const std::uint8_t tag = lastCommand[proto::kTag];
    switch (lastCommand[0]) {
      case proto::kStart:
        return proto::Encode(
            proto::StartReply{.slot = 1, .window = in.Byte(), .capacity = 1u << 24}, tag);
      case proto::kActivate:
        return proto::Encode(proto::ActivateReply{.slot = 1}, tag);
      case proto::kConfirm:
        return proto::Encode(proto::ConfirmReply{.slot = 1}, tag);
      case proto::kVerify:
        return proto::Encode(proto::VerifyReply{}, tag);
      case proto::kInfo:
        return proto::Encode(proto::InfoReply{}, tag);
      default:
        return proto::Encode(proto::HeaderReply{}, tag);
    }
  }

  void Written(const Report& r) {
    if (!proto::IsData(r[0])) {
      lastCommand = r;
      answered = false;
      if (r[0] == proto::kStart) {
        lastIndex = -1;
        sent = 0;
        verifyAsked = activateAsked = false;
        confirmedSlot = -1;
      }
      verifyAsked = verifyAsked || r[0] == proto::kVerify;
      activateAsked = activateAsked || r[0] == proto::kActivate;
      if (r[0] == proto::kHeader && r[proto::kHeaderPart] < proto::kHeaderParts)
        headerParts = static_cast<std::uint8_t>(headerParts | (1u << r[proto::kHeaderPart]));
      if (r[0] == proto::kConfirm)
        confirmedSlot = r[proto::kConfirmSlot];
      return;
    }
    // Sequence numbers are 7 bits and the window at most half of that: unwrap around the
    // last one.
    const std::int64_t seq = r[0] & ~proto::kDataFlag;
    const std::int64_t last = lastIndex < 0 ? -1 : lastIndex;
    const std::int64_t lastSeq = ((last % 128) + 128) % 128;
    const std::int64_t ahead = ((seq - lastSeq) % 128 + 128) % 128;
    lastIndex = ahead < 64 ? last + ahead : last - (128 - ahead);
    if (lastIndex < 0)
      lastIndex = seq;  // the first report of an upgrade
    sent = std::max<std::uint32_t>(sent, static_cast<std::uint32_t>(lastIndex + 1));
  }
};

Script& TheScript() {
  static Script* script = new Script;
  return *script;
}

std::string g_images[3];

void MakeImages() {
  std::string pattern = (std::filesystem::temp_directory_path() / "zav-fuzz-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr)
    std::abort();
  static const std::filesystem::path dir = pattern;
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  });
  for (int i = 0; i < 3; ++i) {
    g_images[i] = (dir / ("fw" + std::to_string(i) + ".bin")).string();
    std::string error;
    if (!hiddfu::WriteFilledImage(g_images[i], kImageVersion, kImageSizes[i], 11, &error))
      std::abort();
  }
}

}  // namespace

// ---- The device's hid_* functions ------------------------------------------------------------

struct hid_device_ {
  std::uint64_t generation = 0;
};

extern "C" {

int hid_init(void) {
  return 0;
}

hid_device_info* hid_enumerate(unsigned short, unsigned short) {
  Script& s = TheScript();
  std::lock_guard lock(s.mu);
  if (s.in.Empty())
    return nullptr;
  auto* info = static_cast<hid_device_info*>(std::calloc(1, sizeof(hid_device_info)));
  info->path = strdup("fuzz:0");
  info->vendor_id = kVid;
  info->product_id = kPid;
  info->usage_page = proto::kUsagePage;
  info->usage = proto::kUsage;
  return info;
}

void hid_free_enumeration(hid_device_info* devs) {
  while (devs != nullptr) {
    hid_device_info* next = devs->next;
    std::free(devs->path);
    std::free(devs);
    devs = next;
  }
}

hid_device* hid_open_path(const char*) {
  Script& s = TheScript();
  std::lock_guard lock(s.mu);
  return new hid_device{s.generation};
}

void hid_close(hid_device* dev) {
  delete dev;
}

int hid_write(hid_device* dev, const unsigned char* data, size_t length) {
  Script& s = TheScript();
  std::lock_guard lock(s.mu);
  if (dev == nullptr || dev->generation != s.generation || length != proto::kReportSize + 1)
    return -1;
  Report r;
  std::memcpy(r.data(), data + 1, r.size());  // after the report number
  s.Written(r);
  return static_cast<int>(length);
}

int hid_read_timeout(hid_device* dev, unsigned char* data, size_t length, int milliseconds) {
  Script& s = TheScript();
  std::lock_guard lock(s.mu);
  if (dev == nullptr || dev->generation != s.generation)
    return -1;
  Report r;
  const int n = s.Answer(r, milliseconds);
  if (n <= 0)
    return n;
  s.Delivered(r);
  const std::size_t copied = std::min(length, r.size());
  std::memcpy(data, r.data(), copied);
  return static_cast<int>(copied);
}

const wchar_t* hid_error(hid_device*) {
  return L"scripted device error";
}

}  // extern "C"

// ---- The harness
// ---------------------------------------------------------------------------------

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  MakeImages();
  if (hidDfuSetTimeouts(kReplyMs, kRebootMs) != 0)
    std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2)
    return 0;
  const int image = data[0] % 3;
  const int cancelAfter = data[1];  // polls before a disconnect; 0: never
  const std::uint32_t total = static_cast<std::uint32_t>(
      (kImageSizes[image] + proto::kDataPayload - 1) / proto::kDataPayload);
  Script& script = TheScript();
  {
    std::lock_guard lock(script.mu);
    script.Load(data + 2, size - 2);
  }

  int reserved = 0;
  const int connected = hidDfuConnect(kVid, kPid, proto::kUsage, proto::kUsagePage, &reserved);
  Trace("connect", connected);
  if (connected != 0) {
    Require(*hidDfuGetLastError() != '\0', "a failed connect left no error text");
    hidDfuDisconnect();
    return 0;
  }
  unsigned short major = 0, minor = 0, release = 0, build = 0;
  if (hidDfuGetVersion(&major, &minor, &release, &build) != 0)
    Require(*hidDfuGetLastError() != '\0', "a failed version read left no error text");
  char versions[100];
  int length = sizeof versions;
  if (hidDfuGetFirmwareVersions(versions, &length, 0) == 0) {
    Require(length >= 0 && length < static_cast<int>(sizeof versions) &&
                std::strlen(versions) == static_cast<std::size_t>(length),
            "the firmware versions text does not fit what its length says");
  }

  const int started = hidDfuUpgradeBin(g_images[image].c_str());
  Trace("start", started);
  if (started != 0) {
    Require(*hidDfuGetLastError() != '\0', "a refused upgrade left no error text");
    hidDfuDisconnect();
    return 0;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  int last = 0;
  for (int polls = 1;; ++polls) {
    const int p = hidDfuGetProgress();
    Require(p >= last, "progress went back");
    last = p;
    if (p >= 100)
      break;
    if (polls == cancelAfter) {
      hidDfuDisconnect();  // cancels and waits for the worker
      Require(hidDfuGetProgress() >= 100, "a cancelled upgrade did not finish");
      continue;
    }
    Require(std::chrono::steady_clock::now() < deadline, "the upgrade never finished");
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  const int result = hidDfuGetResult();
  Trace("result", result);
  if (result == 0) {
    std::lock_guard lock(script.mu);
    Require(script.headerParts == 0x0F, "success without the whole header sent");
    Require(script.sent >= total, "success without every payload report sent");
    Require(script.verifyAsked && script.activateAsked,
            "success without asking the device to verify and to start the image");
    const proto::StartReply start = proto::DecodeStartReply(script.startReply)
                                        .value_or(proto::StartReply{.status = proto::kBusy});
    const proto::InfoReply info =
        proto::DecodeInfoReply(script.infoReply).value_or(proto::InfoReply{});
    Require(start.status == proto::kOk, "success without the device's accepting the image");
    Require(script.confirmedSlot == start.slot,
            "success without asking the device to keep the image in the slot it went into");
    Require(info.running == kImageVersion, "success while the device runs another version");
    Require(info.activeSlot == start.slot,
            "success while the device runs from another slot than the new image's");
  } else {
    Require(*hidDfuGetLastError() != '\0', "a failed upgrade left no error text");
  }
  hidDfuDisconnect();
  return 0;
}
