// The host side of the HID update protocol (docs/protocol.md) behind the C interface of
// hiddfu.h. One process-wide library state; the GUI thread calls in, one worker thread
// writes an image. The state is never destroyed, so a worker that outlives main() (the tool
// closed mid-write) never touches freed memory; an exit handler stops it first.
#include <hidapi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "hiddfu/hiddfu.h"
#include "hiddfu/hiddfu_tuning.h"
#include "hiddfu/image.h"
#include "hiddfu/protocol.h"

namespace {

using namespace hiddfu;
using proto::Report;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kCommandAttempts = 4;  // a command is sent at most this often
constexpr int kStallRounds = 8;      // reply periods without any acknowledged progress
constexpr int kWaitSliceMs = 20;     // longest wait between looks at the cancel flag
constexpr int kRebootPollMs = 50;    // enumeration interval while the device restarts
constexpr std::size_t kReadChunk = 64 * 1024;

// Progress milestones after the transfer (which covers 0..93).
constexpr unsigned kTransferEnd = 93;
constexpr unsigned kVerified = 94;
constexpr unsigned kRestarting = 95;
constexpr unsigned kDeviceLeft = 96;
constexpr unsigned kDeviceBack = 97;
constexpr unsigned kDeviceAnswered = 98;
constexpr unsigned kVersionConfirmed = 99;
constexpr unsigned kFinished = 100;

struct HidCloser {
  void operator()(hid_device* d) const { hid_close(d); }
};
using HidHandle = std::unique_ptr<hid_device, HidCloser>;

struct EnumerationFree {
  void operator()(hid_device_info* d) const { hid_free_enumeration(d); }
};

// hidapi's texts are wide; ours are plain ASCII so that they read the same in any code page.
std::string Narrow(const wchar_t* text) {
  std::string out;
  if (!text)
    return out;
  for (; *text; ++text) {
    const wchar_t c = *text;
    out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
  }
  return out;
}

std::string Hex4(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", value & 0xFFFFu);
  return text;
}

int Remaining(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// ---- Framed report I/O on one open device ------------------------------------------------

class Link {
 public:
  explicit Link(hid_device* device) : device_(device) {}

  // False when the device is gone.
  bool Send(const Report& report) {
    std::array<std::uint8_t, proto::kReportSize + 1> buffer{};  // report number 0 first
    std::memcpy(buffer.data() + 1, report.data(), report.size());
    return hid_write(device_, buffer.data(), buffer.size()) == static_cast<int>(buffer.size());
  }

  // 1: an intact report arrived; 0: none within the time; -1: the device is gone.
  // Damaged reports are dropped, as the link would drop a packet with a bad checksum.
  int Receive(Report& report, int timeoutMs) {
    const auto deadline = Clock::now() + milliseconds(timeoutMs);
    while (true) {
      report.fill(0);
      const int n = hid_read_timeout(device_, report.data(), report.size(), Remaining(deadline));
      if (n < 0)
        return -1;
      if (n == 0)
        return 0;
      if (proto::Intact(report))
        return 1;
      if (Remaining(deadline) == 0)
        return 0;
    }
  }

 private:
  hid_device* device_;
};

enum class Answer { kOk, kSilent, kGone, kCancelled };

std::atomic<std::uint8_t> g_tag{0};

// Sends a command and waits for its reply (matched by type and tag), sending it again
// when none comes. Anything else that arrives meanwhile (a late acknowledgement, the reply
// to an earlier attempt) is dropped.
Answer Transact(Link& link, Report request, Report* reply, int replyMs,
                const std::atomic<bool>* cancel) {
  const std::uint8_t tag = ++g_tag;
  request[proto::kTag] = tag;
  proto::Seal(request);
  const std::uint8_t wanted = request[0] | proto::kReplyFlag;
  for (int attempt = 0; attempt < kCommandAttempts; ++attempt) {
    if (cancel && *cancel)
      return Answer::kCancelled;
    if (!link.Send(request))
      return Answer::kGone;
    const auto deadline = Clock::now() + milliseconds(replyMs);
    while (Remaining(deadline) > 0) {
      if (cancel && *cancel)
        return Answer::kCancelled;
      Report r;
      const int rc = link.Receive(r, std::min(Remaining(deadline), kWaitSliceMs));
      if (rc < 0)
        return Answer::kGone;
      if (rc > 0 && r[0] == wanted && r[proto::kTag] == tag) {
        *reply = r;
        return Answer::kOk;
      }
    }
  }
  return Answer::kSilent;
}

Report Command(std::uint8_t type) {
  Report r{};
  r[0] = type;
  return r;
}

// ---- What the device says about itself -----------------------------------------------------

struct SlotInfo {
  FirmwareVersion version;
  std::uint8_t flags = 0;
};

struct DeviceInfo {
  std::uint8_t protocol = 0;
  std::uint8_t activeSlot = 0;
  std::uint8_t window = 1;
  std::uint8_t completion = 0;
  std::uint16_t bootCount = 0;
  std::uint32_t capacity = 0;
  FirmwareVersion running;
  SlotInfo slots[2];
};

FirmwareVersion VersionAt(const Report& r, std::size_t at) {
  return {proto::Get16(r, at), proto::Get16(r, at + 2), proto::Get16(r, at + 4),
          proto::Get16(r, at + 6)};
}

DeviceInfo ParseInfo(const Report& r) {
  DeviceInfo info;
  info.protocol = r[proto::kInfoProtocol];
  info.activeSlot = r[proto::kInfoActiveSlot] & 1;
  info.window = r[proto::kInfoWindow];
  info.completion = r[proto::kInfoCompletion];
  info.bootCount = proto::Get16(r, proto::kInfoBootCount);
  info.capacity = proto::Get32(r, proto::kInfoCapacity);
  info.running = VersionAt(r, proto::kInfoRunning);
  for (int i = 0; i < 2; ++i) {
    const std::size_t at = proto::kInfoSlots + i * proto::kInfoSlotStride;
    info.slots[i].version = VersionAt(r, at);
    info.slots[i].flags = r[at + 8];
  }
  return info;
}

std::string DescribeSlots(const DeviceInfo& info) {
  const int other = 1 - info.activeSlot;
  std::string text =
      "running " + info.running.ToString() + " (slot " + std::to_string(info.activeSlot) + ")";
  const SlotInfo& standby = info.slots[other];
  if (standby.flags & proto::kSlotHoldsImage) {
    text += "; standby " + standby.version.ToString() + " (slot " + std::to_string(other);
    if (!(standby.flags & proto::kSlotBootable))
      text += ", not bootable";
    text += ")";
  } else {
    text += "; slot " + std::to_string(other) + " empty";
  }
  return text;
}

std::string RefusalText(std::uint8_t status) {
  switch (status) {
    case proto::kBusy:
      return "the device is busy";
    case proto::kBatteryLow:
      return "its battery is too low";
    case proto::kTooLarge:
      return "the image is too large for it";
    case proto::kBadHeader:
      return "it rejected the image header";
    case proto::kVersionRejected:
      return "it does not accept this firmware version";
    default:
      return "status " + std::to_string(status);
  }
}

// ---- Process-wide state ----------------------------------------------------------------------

enum class Outcome { kNone, kRunning, kSucceeded, kFailed };

struct Identity {
  unsigned short vendorId = 0, productId = 0, usage = 0, usagePage = 0;
};

struct Timeouts {
  int replyMs = 250;
  int rebootMs = 20000;
};

struct Library {
  std::mutex mu;
  std::condition_variable cv;  // the worker finished, or cancel was asked
  HidHandle connection;        // moves to the worker while an upgrade runs
  DeviceInfo info;
  Identity identity;
  Timeouts timeouts;
  std::string lastError;
  std::string upgradeError;
  Outcome outcome = Outcome::kNone;
  std::atomic<std::uint8_t> progress{0};
  std::atomic<bool> cancel{false};
  bool workerDone = true;
  bool exitHandlerSet = false;
  bool exiting = false;
  std::thread worker;

  int Fail(std::string text) {
    lastError = std::move(text);
    return -1;
  }
  // The worker has published its outcome and needs the lock no more.
  void JoinFinishedWorker() {
    if (workerDone && worker.joinable())
      worker.join();
  }
};

Library& Lib() {
  static Library* lib = new Library;  // never destroyed: see the top of this file
  return *lib;
}

// Returns the device whose interface matches, 1 when none matches, 2 when it would not open.
int OpenMatching(const Identity& id, HidHandle* device, std::string* error) {
  std::unique_ptr<hid_device_info, EnumerationFree> list(hid_enumerate(id.vendorId, id.productId));
  const hid_device_info* match = nullptr;
  for (const hid_device_info* d = list.get(); d; d = d->next) {
    if ((id.usagePage == 0 || d->usage_page == id.usagePage) &&
        (id.usage == 0 || d->usage == id.usage)) {
      match = d;
      break;
    }
  }
  if (!match)
    return 1;
  device->reset(hid_open_path(match->path));
  if (!*device) {
    *error = Narrow(hid_error(nullptr));
    return 2;
  }
  return 0;
}

std::string NotFoundText(const Identity& id) {
  return "device not found (VID " + Hex4(id.vendorId) + ", PID " + Hex4(id.productId) +
         ", usage page " + Hex4(id.usagePage) + ", usage " + Hex4(id.usage) + ")";
}

// Asks the connected device for its INFO reply; lock held, no upgrade running.
int QueryInfo(Library& lib, DeviceInfo* info) {
  if (!lib.connection)
    return lib.Fail("not connected to the device");
  Link link(lib.connection.get());
  Report reply;
  switch (Transact(link, Command(proto::kInfo), &reply, lib.timeouts.replyMs, nullptr)) {
    case Answer::kOk:
      break;
    case Answer::kGone:
      return lib.Fail("device disconnected");
    default:
      return lib.Fail("device not responding");
  }
  *info = ParseInfo(reply);
  lib.info = *info;
  return 0;
}

// ---- Reading the payload for the transfer ---------------------------------------------------

// Reads the payload through one fixed buffer; going back for a retransmission re-reads.
class PayloadReader {
 public:
  PayloadReader(int fd, std::uint32_t size) : fd_(fd), size_(size), buffer_(kReadChunk) {}

  bool Read(std::uint64_t offset, std::uint8_t* out, std::size_t n) {
    if (offset < start_ || offset + n > start_ + length_) {
      const std::size_t want =
          static_cast<std::size_t>(std::min<std::uint64_t>(kReadChunk, size_ - offset));
      std::size_t got = 0;
      while (got < want) {
        const ssize_t r = pread(fd_, buffer_.data() + got, want - got,
                                static_cast<off_t>(kImageHeaderSize + offset + got));
        if (r < 0 && errno == EINTR)
          continue;
        if (r <= 0)
          return false;
        got += static_cast<std::size_t>(r);
      }
      start_ = offset;
      length_ = got;
    }
    std::memcpy(out, buffer_.data() + (offset - start_), n);
    return true;
  }

 private:
  int fd_;
  std::uint64_t size_;
  std::vector<std::uint8_t> buffer_;
  std::uint64_t start_ = 0;
  std::size_t length_ = 0;
};

// ---- The upgrade, on the worker thread -----------------------------------------------------

struct Job {
  HidHandle device;
  CheckedImage image;
  DeviceInfo before;
  Identity identity;
  Timeouts timeouts;
  std::uint32_t window = 1;
  std::uint8_t slot = 1;  // the slot the device said it writes the image into
};

class Upgrade {
 public:
  Upgrade(Library& lib, Job job) : lib_(lib), job_(std::move(job)) {}

  void Run() {
    bool ok = false;
    try {
      ok = Transfer() && Verify() && Activate() && WaitForRestart();
    } catch (const std::exception& e) {  // out of memory: the upgrade fails, the tool lives
      ok = Fail(std::string("internal error: ") + e.what() + At());
    }
    if (!ok && !committed_ && job_.device) {
      // Tell the device to drop what it received; it would on its own at the next start.
      Report abort = Command(proto::kAbort);
      proto::Seal(abort);
      Link(job_.device.get()).Send(abort);
    }
    std::lock_guard lock(lib_.mu);
    lib_.connection = std::move(job_.device);
    if (ok) {
      lib_.info = after_;
      lib_.outcome = Outcome::kSucceeded;
    } else {
      lib_.upgradeError = error_;
      lib_.lastError = error_;
      lib_.outcome = Outcome::kFailed;
    }
    lib_.workerDone = true;
    // Last: whoever sees 100 reads the outcome just published.
    lib_.progress.store(ok ? std::max<unsigned>(kFinished, after_.completion) : kFinished);
    lib_.cv.notify_all();
  }

 private:
  bool Fail(std::string text) {
    error_ = std::move(text);
    return false;
  }
  std::string At() const { return " at " + std::to_string(lib_.progress.load()) + " %"; }
  bool Cancelled() { return Fail("upgrade cancelled" + At()); }
  void Advance(unsigned value) {
    if (value > lib_.progress.load())
      lib_.progress.store(static_cast<std::uint8_t>(value));
  }

  // Waits, unless cancelled; false when cancelled.
  bool Pause(int ms) {
    std::unique_lock lock(lib_.mu);
    return !lib_.cv.wait_for(lock, milliseconds(ms), [&] { return lib_.cancel.load(); });
  }

  Answer Ask(std::uint8_t type, Report* reply) {
    Link link(job_.device.get());
    return Transact(link, Command(type), reply, job_.timeouts.replyMs, &lib_.cancel);
  }

  // Pipelined go-back-N: up to `window` data reports in flight, cumulative acknowledgements,
  // a NAK or a silent period sends everything again from the first unacknowledged report.
  bool Transfer() {
    const std::uint32_t size = job_.image.header.payloadSize;
    const std::uint32_t total =
        static_cast<std::uint32_t>((size + proto::kDataPayload - 1) / proto::kDataPayload);
    const std::uint32_t window = std::clamp<std::uint32_t>(job_.window, 1, proto::kMaxWindow);
    PayloadReader reader(job_.image.file.get(), size);
    Link link(job_.device.get());
    std::uint32_t base = 0;  // first report not yet acknowledged
    std::uint32_t next = 0;  // next report to send
    std::uint32_t sent = 0;  // reports sent at least once; after a rewind next < sent
    int quietRounds = 0;
    auto deadline = Clock::now() + milliseconds(job_.timeouts.replyMs);

    // Handles whatever the device has sent; false when it is gone.
    auto drain = [&](int timeoutMs) {
      Report r;
      int rc = link.Receive(r, timeoutMs);
      for (int handled = 0; rc > 0 && handled < 256; ++handled) {
        const std::uint32_t k = proto::Get32(r, proto::kAckNext);
        if (r[0] == proto::kAck && k > base && k <= sent) {
          base = k;
          next = std::max(next, base);
          quietRounds = 0;
          deadline = Clock::now() + milliseconds(job_.timeouts.replyMs);
          const std::uint64_t acked =
              std::min<std::uint64_t>(static_cast<std::uint64_t>(base) * proto::kDataPayload, size);
          Advance(static_cast<unsigned>(acked * kTransferEnd / size));
        } else if (r[0] == proto::kNak && k >= base && k <= sent) {
          base = k;
          next = k;
          deadline = Clock::now() + milliseconds(job_.timeouts.replyMs);
        }
        rc = link.Receive(r, 0);
      }
      return rc >= 0;
    };

    while (base < total) {
      if (lib_.cancel)
        return Cancelled();
      if (next < total && next - base < window) {
        Report r{};
        r[0] = static_cast<std::uint8_t>(proto::kDataFlag | (next % proto::kSequenceModulus));
        const std::uint64_t offset = static_cast<std::uint64_t>(next) * proto::kDataPayload;
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(proto::kDataPayload, size - offset));
        if (!reader.Read(offset, r.data() + 2, n)) {
          return Fail("firmware file read failed (byte " +
                      std::to_string(kImageHeaderSize + offset) + ")" + At());
        }
        proto::Seal(r);
        if (!link.Send(r))
          return Fail("device disconnected" + At());
        sent = std::max(sent, ++next);
        if (!drain(0))
          return Fail("device disconnected" + At());
      } else {
        if (!drain(std::min(Remaining(deadline), kWaitSliceMs))) {
          return Fail("device disconnected" + At());
        }
        if (base < total && Remaining(deadline) == 0) {
          if (++quietRounds > kStallRounds)
            return Fail("device stopped responding" + At());
          next = base;  // nothing heard for a while: send the window again
          deadline = Clock::now() + milliseconds(job_.timeouts.replyMs);
        }
      }
    }
    Advance(kTransferEnd);
    return true;
  }

  bool Verify() {
    Report reply;
    switch (Ask(proto::kVerify, &reply)) {
      case Answer::kOk:
        break;
      case Answer::kGone:
        return Fail("device disconnected" + At());
      case Answer::kCancelled:
        return Cancelled();
      case Answer::kSilent:
        return Fail("device stopped responding" + At());
    }
    const std::uint8_t status = reply[proto::kBody];
    if (status == proto::kDigestMismatch) {
      return Fail(
          "verification failed: the SHA-256 of the image the device received does "
          "not match the image header");
    }
    if (status == proto::kIncomplete) {
      return Fail("verification failed: the device received " +
                  std::to_string(proto::Get32(reply, proto::kVerifyReplyBytes)) + " of " +
                  std::to_string(job_.image.header.payloadSize) + " bytes");
    }
    if (status != proto::kOk) {
      return Fail("verification failed: device status " + std::to_string(status));
    }
    Advance(kVerified);
    return true;
  }

  bool Activate() {
    Report reply;
    switch (Ask(proto::kActivate, &reply)) {
      case Answer::kOk:
        if (reply[proto::kBody] != proto::kOk) {
          return Fail("device refused to start the new image (status " +
                      std::to_string(reply[proto::kBody]) + ")" + At());
        }
        break;
      case Answer::kGone:
        break;  // the reply was lost but the device has gone to restart
      case Answer::kCancelled:
        return Cancelled();
      case Answer::kSilent:
        return Fail("device stopped responding" + At());
    }
    committed_ = true;
    Advance(kRestarting);
    return true;
  }

  // The device restarts and enumerates again; success only if it comes back running the
  // image's version. Bounded by the reboot time limit.
  bool WaitForRestart() {
    job_.device.reset();
    const auto deadline = Clock::now() + milliseconds(job_.timeouts.rebootMs);
    const int poll = std::clamp(job_.timeouts.rebootMs / 20, 1, kRebootPollMs);
    while (true) {
      if (lib_.cancel)
        return Cancelled();
      HidHandle device;
      std::string ignored;
      const int found = OpenMatching(job_.identity, &device, &ignored);
      if (found == 1)
        Advance(kDeviceLeft);
      if (found == 0) {
        Report reply;
        Link link(device.get());
        const Answer answer =
            Transact(link, Command(proto::kInfo), &reply, job_.timeouts.replyMs, &lib_.cancel);
        if (answer == Answer::kCancelled)
          return Cancelled();
        if (answer == Answer::kOk) {
          const DeviceInfo info = ParseInfo(reply);
          if (info.bootCount != job_.before.bootCount) {  // it has restarted
            Advance(kDeviceBack);
            Advance(kDeviceAnswered);
            job_.device = std::move(device);
            return CheckVersion(info);
          }
        }
      }
      if (Remaining(deadline) == 0) {
        const int seconds = (job_.timeouts.rebootMs + 999) / 1000;
        return Fail("device did not come back within " + std::to_string(seconds) +
                    " s after restarting into the new image");
      }
      if (!Pause(std::min(poll, Remaining(deadline))))
        return Cancelled();
    }
  }

  bool CheckVersion(const DeviceInfo& info) {
    const FirmwareVersion& wanted = job_.image.header.version;
    if (info.running != wanted) {
      return Fail("device came back running " + info.running.ToString() + " instead of " +
                  wanted.ToString() + ": the new image did not start");
    }
    // The same version may be written again (a repair): only the slot tells whether the
    // device fell back to its old image.
    if (info.activeSlot != job_.slot) {
      return Fail("device came back running " + info.running.ToString() + " from slot " +
                  std::to_string(info.activeSlot) + " instead of the new image in slot " +
                  std::to_string(job_.slot) + ": the new image did not start");
    }
    Advance(kVersionConfirmed);
    after_ = info;
    return true;
  }

  Library& lib_;
  Job job_;
  DeviceInfo after_;
  std::string error_;
  bool committed_ = false;  // the device was told to start the new image
};

void StopWorkerAtExit() {
  Library& lib = Lib();
  std::unique_lock lock(lib.mu);
  lib.exiting = true;
  lib.cancel = true;
  lib.cv.notify_all();
  // Every wait of the worker is short and looks at the cancel flag; the bound is a guard.
  lib.cv.wait_for(lock, std::chrono::seconds(3), [&] { return lib.workerDone; });
  std::thread worker = std::move(lib.worker);
  const bool done = lib.workerDone;
  lock.unlock();
  if (worker.joinable()) {
    if (done) {
      worker.join();
    } else {
      worker.detach();
    }
  }
}

template <typename F>
int Guarded(F&& body) {
  try {
    return body();
  } catch (const std::exception& e) {
    std::lock_guard lock(Lib().mu);
    return Lib().Fail(std::string("internal error: ") + e.what());
  } catch (...) {
    std::lock_guard lock(Lib().mu);
    return Lib().Fail("internal error");
  }
}

}  // namespace

extern "C" {

int hidDfuConnect(unsigned short vendorId, unsigned short productId, unsigned short usage,
                  unsigned short usagePage, int* reserved) {
  (void)reserved;
  return Guarded([&] {
    Library& lib = Lib();
    std::lock_guard lock(lib.mu);
    if (lib.outcome == Outcome::kRunning)
      return lib.Fail("an upgrade is in progress");
    lib.JoinFinishedWorker();
    lib.connection.reset();
    if (hid_init() != 0)
      return lib.Fail("cannot start HID access: " + Narrow(hid_error(nullptr)));
    const Identity id{vendorId, productId, usage, usagePage};
    HidHandle device;
    std::string error;
    const int found = OpenMatching(id, &device, &error);
    if (found == 1)
      return lib.Fail(NotFoundText(id));
    if (found == 2) {
      if (error.find("ermission") != std::string::npos) {
        error += " (the udev rule 70-zav-marlo.rules gives the logged-in user access)";
      }
      return lib.Fail("cannot open the device: " + error);
    }
    lib.connection = std::move(device);
    lib.identity = id;
    DeviceInfo info;
    if (QueryInfo(lib, &info) != 0) {
      lib.connection.reset();
      return -1;
    }
    if (info.protocol != proto::kProtocolVersion) {
      lib.connection.reset();
      return lib.Fail("device speaks update protocol " + std::to_string(info.protocol) +
                      ", this library speaks " + std::to_string(proto::kProtocolVersion));
    }
    return 0;
  });
}

int hidDfuDisconnect(void) {
  return Guarded([&] {
    Library& lib = Lib();
    std::unique_lock lock(lib.mu);
    if (lib.outcome == Outcome::kRunning) {
      lib.cancel = true;
      lib.cv.notify_all();
      lib.cv.wait(lock, [&] { return lib.workerDone; });
    }
    lib.JoinFinishedWorker();
    lib.connection.reset();
    return 0;
  });
}

int hidDfuUpgradeBin(const char* path) {
  return Guarded([&] {
    Library& lib = Lib();
    std::lock_guard lock(lib.mu);
    if (lib.exiting)
      return lib.Fail("the program is closing");
    if (lib.outcome == Outcome::kRunning)
      return lib.Fail("an upgrade is already in progress");
    lib.JoinFinishedWorker();
    lib.outcome = Outcome::kNone;
    lib.progress = 0;
    if (!path)
      return lib.Fail("no firmware file given");
    if (!lib.connection)
      return lib.Fail("not connected to the device");

    std::string error;
    auto image = CheckImageFile(path, &error);
    if (!image)
      return lib.Fail(error);
    const std::uint32_t size = image->header.payloadSize;
    if (size > lib.info.capacity) {
      return lib.Fail("image too large for the device: " + std::to_string(size) +
                      " bytes, a firmware slot holds " + std::to_string(lib.info.capacity));
    }

    Report start = Command(proto::kStart);
    proto::Put16(start, proto::kStartFormat, image->header.formatVersion);
    const FirmwareVersion& v = image->header.version;
    proto::Put16(start, proto::kStartVersion, v.major);
    proto::Put16(start, proto::kStartVersion + 2, v.minor);
    proto::Put16(start, proto::kStartVersion + 4, v.release);
    proto::Put16(start, proto::kStartVersion + 6, v.build);
    proto::Put32(start, proto::kStartSize, size);
    std::memcpy(&start[proto::kStartDigest], image->header.sha256.data(), 32);
    start[proto::kStartWindow] = proto::kMaxWindow;
    Link link(lib.connection.get());
    Report reply;
    switch (Transact(link, start, &reply, lib.timeouts.replyMs, nullptr)) {
      case Answer::kOk:
        break;
      case Answer::kGone:
        return lib.Fail("device disconnected");
      default:
        return lib.Fail("device not responding to the upgrade request");
    }
    if (reply[proto::kBody] != proto::kOk) {
      return lib.Fail("device refused the upgrade: " + RefusalText(reply[proto::kBody]));
    }

    if (!lib.exitHandlerSet) {
      // Registered after the crypto library's own exit handler (the image check used it),
      // so it runs first: the worker stops before anything it uses is torn down.
      std::atexit(StopWorkerAtExit);
      lib.exitHandlerSet = true;
    }
    Job job{std::move(lib.connection),
            std::move(*image),
            lib.info,
            lib.identity,
            lib.timeouts,
            reply[proto::kStartReplyWindow],
            static_cast<std::uint8_t>(reply[proto::kStartReplySlot] & 1)};
    lib.cancel = false;
    lib.workerDone = false;
    lib.outcome = Outcome::kRunning;
    try {
      lib.worker = std::thread(
          [&lib, job = std::move(job)]() mutable { Upgrade(lib, std::move(job)).Run(); });
    } catch (const std::system_error& e) {
      lib.workerDone = true;
      lib.outcome = Outcome::kNone;
      return lib.Fail(std::string("cannot start the upgrade thread: ") + e.what());
    }
    return 0;
  });
}

unsigned char hidDfuGetProgress(void) {
  return Lib().progress.load();
}

int hidDfuGetResult(void) {
  return Guarded([&] {
    Library& lib = Lib();
    std::lock_guard lock(lib.mu);
    switch (lib.outcome) {
      case Outcome::kNone:
        return lib.Fail("no upgrade has been started");
      case Outcome::kRunning:
        return lib.Fail("the upgrade is still running");
      case Outcome::kSucceeded:
        return 0;
      case Outcome::kFailed:
        return lib.Fail(lib.upgradeError);
    }
    return -1;
  });
}

const char* hidDfuGetLastError(void) {
  thread_local std::string copy;
  try {
    Library& lib = Lib();
    std::lock_guard lock(lib.mu);
    copy = lib.lastError;
  } catch (...) {
    copy.clear();
  }
  return copy.c_str();
}

int hidDfuGetVersion(unsigned short* major, unsigned short* minor, unsigned short* release,
                     unsigned short* build) {
  return Guarded([&] {
    Library& lib = Lib();
    std::lock_guard lock(lib.mu);
    if (!major || !minor || !release || !build)
      return lib.Fail("invalid argument: NULL pointer");
    if (lib.outcome == Outcome::kRunning)
      return lib.Fail("an upgrade is in progress");
    DeviceInfo info;
    if (QueryInfo(lib, &info) != 0)
      return -1;
    *major = info.running.major;
    *minor = info.running.minor;
    *release = info.running.release;
    *build = info.running.build;
    return 0;
  });
}

int hidDfuGetFirmwareVersions(char* buffer, int* length, int flags) {
  return Guarded([&] {
    Library& lib = Lib();
    std::lock_guard lock(lib.mu);
    if (!buffer || !length || *length <= 0)
      return lib.Fail("invalid argument: no buffer");
    if (flags != 0)
      return lib.Fail("unsupported flags " + std::to_string(flags));
    if (lib.outcome == Outcome::kRunning)
      return lib.Fail("an upgrade is in progress");
    DeviceInfo info;
    if (QueryInfo(lib, &info) != 0)
      return -1;
    const std::string text = DescribeSlots(info);
    if (text.size() + 1 > static_cast<std::size_t>(*length)) {
      *length = static_cast<int>(text.size() + 1);
      return lib.Fail("buffer too small: " + std::to_string(text.size() + 1) + " bytes needed");
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    *length = static_cast<int>(text.size());
    return 0;
  });
}

int hidDfuSetTimeouts(int replyMs, int rebootMs) {
  return Guarded([&] {
    Library& lib = Lib();
    std::lock_guard lock(lib.mu);
    if (replyMs <= 0 || rebootMs <= 0)
      return lib.Fail("invalid argument: time limits must be positive");
    lib.timeouts = {replyMs, rebootMs};
    return 0;
  });
}

}  // extern "C"
