// The C interface of hiddfu.h. One process-wide library state; the caller's thread (the
// GUI thread in the tool) never makes a hid_* call itself: every call on the device runs on
// the connection's session thread (session.h), and each C call waits for it only within
// its bound, whatever the device does. The state is never destroyed, so a thread that
// outlives main() (the tool closed mid-write) never touches freed memory; an exit handler
// stops the upgrade first.
#include <hidapi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hiddfu/code_page.h"
#include "hiddfu/hiddfu.h"
#include "hiddfu/hiddfu_tuning.h"
#include "hiddfu/image.h"
#include "hiddfu/protocol.h"
#include "hiddfu/session.h"
#include "hiddfu/upgrade.h"

// The image signing key that the executable trusts (cmake/ZavSigning.cmake), found like its
// hid_* functions when the library is loaded. Weak: in an executable that provides none, no
// image is accepted.
extern "C" __attribute__((weak, visibility("default")))
const unsigned char zav_trusted_image_key[32];

namespace {

using namespace hiddfu;
using proto::Report;
using std::chrono::milliseconds;

// The longest each call waits for the device (docs/protocol.md, "Bounded calls").
constexpr milliseconds kConnectLimit{200};  // the probe: disconnect, connect, disconnect
constexpr milliseconds kQueryLimit{500};    // the version calls
constexpr milliseconds kStartLimit{800};    // the start request inside hidDfuUpgradeBin
constexpr milliseconds kCancelLimit{500};   // hidDfuDisconnect stopping a running upgrade
constexpr milliseconds kExitLimit{3000};    // the exit handler stopping it
constexpr int kConnectPeriodMs = 50;
constexpr int kQueryPeriodMs = 100;

enum class Outcome { kNone, kRunning, kSucceeded, kFailed };

struct Library {
  std::mutex api;                                 // one call at a time; the calls' own state below
  std::unique_ptr<Session> session;               // the connection
  std::vector<std::unique_ptr<Session>> retired;  // closing; freed once their thread ended
  DeviceInfo info;
  Choice choice;  // the dongle connected to, and the others that were there
  Timeouts timeouts;
  bool exitHandlerSet = false;
  bool exiting = false;

  std::mutex mu;               // what a running upgrade publishes
  std::condition_variable cv;  // the upgrade finished
  std::string lastError;
  std::string upgradeError;
  Outcome outcome = Outcome::kNone;
  std::uint64_t upgradeId = 0;
  bool confirmSent = false;  // the running upgrade asked the device to keep the new image
  // The progress figure in the low byte and the upgrade it belongs to above it, so that an
  // upgrade given up on cannot move the figure of a later one.
  std::atomic<std::uint64_t> progress{0};

  int Fail(std::string text) {
    std::lock_guard lock(mu);
    lastError = std::move(text);
    return -1;
  }
  bool Running() {
    std::lock_guard lock(mu);
    return outcome == Outcome::kRunning;
  }
  unsigned Percent() const { return static_cast<unsigned>(progress.load() & 0xFF); }

  // The connection closes on its own thread, once whatever call it is in has returned.
  void Retire() {
    if (session) {
      session->Close();
      retired.push_back(std::move(session));
    }
  }
  void Reap() {
    std::erase_if(retired, [](const std::unique_ptr<Session>& s) { return s->Finished(); });
  }
};

Library& Lib() {
  static Library* lib = new Library;  // never destroyed: see the top of this file
  return *lib;
}

void Advance(Library& lib, std::uint64_t id, unsigned value) {
  const std::uint64_t wanted = (id << 8) | std::min(value, 255u);
  std::uint64_t word = lib.progress.load();
  while ((word >> 8) == id && (word & 0xFF) < (wanted & 0xFF)) {
    if (lib.progress.compare_exchange_weak(word, wanted))
      break;
  }
}

UpgradeSink SinkFor(Library& lib, std::uint64_t id) {
  UpgradeSink sink;
  sink.advance = [&lib, id](unsigned value) { Advance(lib, id, value); };
  sink.progress = [&lib] { return lib.Percent(); };
  sink.confirming = [&lib, id] {
    std::lock_guard lock(lib.mu);
    if (lib.upgradeId == id)
      lib.confirmSent = true;
  };
  sink.finish = [&lib, id](bool ok, const std::string& error, unsigned finalProgress) {
    std::lock_guard lock(lib.mu);
    if (lib.upgradeId != id || lib.outcome != Outcome::kRunning)
      return;  // given up on already
    lib.outcome = ok ? Outcome::kSucceeded : Outcome::kFailed;
    if (!ok) {
      lib.upgradeError = error;
      lib.lastError = error;
    }
    // Last: whoever sees 100 reads the outcome just published.
    lib.progress.store((id << 8) | std::min(finalProgress, 255u));
    lib.cv.notify_all();
  };
  return sink;
}

// What a job hands back; shared, since a caller that stopped waiting leaves it to the job.
struct JobResult {
  bool ok = false;
  std::string error;
  DeviceInfo info;
  Choice choice;
};

// Asks for INFO on the connection's handle.
void Query(Connection& c, Session& s, Patience patience, JobResult& r) {
  if (!c.handle) {
    r.error = "not connected to the device";
    return;
  }
  Link link(c.handle.get());
  proto::InfoReply reply;
  switch (Exchange(link, proto::InfoRequest{}, &reply, patience, &s.CancelFlag())) {
    case Answer::kOk:
      break;
    case Answer::kGone:
      r.error = "device disconnected";
      return;
    default:
      r.error = "device not responding";
      return;
  }
  c.info = DeviceInfo(reply);
  r.info = c.info;
  r.ok = true;
}

void Connect(Connection& c, Session& s, JobResult& r) {
  switch (OpenDevice(c.identity, &c.handle, &r.error, &r.choice)) {
    case Found::kOpened:
      break;
    case Found::kNotFound:
      r.error = NotFoundText(c.identity);
      return;
    case Found::kNotOpened:
      return;
  }
  c.pin = {r.choice.chosen.serial, r.choice.chosen.path};
  Query(c, s, {std::min(c.timeouts.replyMs, kConnectPeriodMs), 3}, r);
  if (r.ok && r.info.protocol != proto::kProtocolVersion) {
    r.ok = false;
    r.error = "device speaks update protocol " + std::to_string(r.info.protocol) +
              ", this library speaks " + std::to_string(proto::kProtocolVersion);
  }
}

// Asks the connected device for its INFO reply.
int QueryInfo(Library& lib, DeviceInfo* info) {
  if (!lib.session)
    return lib.Fail("not connected to the device");
  auto result = std::make_shared<JobResult>();
  const Patience patience{std::min(lib.timeouts.replyMs, kQueryPeriodMs), 4};
  if (!lib.session->Call(
          [result, patience](Connection& c, Session& s) { Query(c, s, patience, *result); },
          kQueryLimit)) {
    lib.Retire();
    return lib.Fail("device not responding");
  }
  if (!result->ok)
    return lib.Fail(result->error);
  lib.info = *info = result->info;
  return 0;
}

// What an image must be for the connected device; no key when the executable provides none.
ImageRequirements RequirementsFor(const DeviceInfo& info) {
  ImageRequirements r;
  const unsigned char* key = zav_trusted_image_key;
  if (key != nullptr) {
    r.trustedKey.emplace();
    std::memcpy(r.trustedKey->data(), key, r.trustedKey->size());
  }
  r.product = info.product;
  r.hardwareRevision = info.hardwareRevision;
  r.securityCounter = info.securityCounter;
  r.maxPayload = info.capacity;
  return r;
}

std::string DescribeChoice(const Choice& choice) {
  auto name = [](const Candidate& c) {
    return (c.serial.empty() ? std::string("(no serial number)") : c.serial) + " at " + c.path;
  };
  std::string text = name(choice.chosen);
  for (std::size_t i = 0; i < choice.others.size(); ++i)
    text += (i == 0 ? "; also present: " : ", ") + name(choice.others[i]);
  return text;
}

void StopAtExit() {
  Library& lib = Lib();
  std::lock_guard api(lib.api);
  lib.exiting = true;
  if (lib.session)
    lib.session->Cancel();
  {
    std::unique_lock lock(lib.mu);
    lib.cv.wait_for(lock, kExitLimit, [&] { return lib.outcome != Outcome::kRunning; });
  }
  lib.Retire();
  for (const auto& s : lib.retired)
    s->Cancel();
  // Every wait of a session looks at its cancel flag; only a call that hangs in the kernel
  // keeps one longer, and that thread may then end after main().
  const auto deadline = std::chrono::steady_clock::now() + kCancelLimit;
  while (true) {
    lib.Reap();
    if (lib.retired.empty() || std::chrono::steady_clock::now() > deadline)
      break;
    std::this_thread::sleep_for(milliseconds(5));
  }
  for (auto& s : lib.retired) {
    s->Detach();
    s.release();  // NOLINT: its thread still uses it
  }
  lib.retired.clear();
}

template <typename F>
int Guarded(F&& body) {
  try {
    return body();
  } catch (const std::exception& e) {
    return Lib().Fail(std::string("internal error: ") + e.what());
  } catch (...) {
    return Lib().Fail("internal error");
  }
}

// The image at `path` checked against what the connected device takes; 0, or the failure.
int CheckFor(Library& lib, const char* path, CheckedImage* image) {
  const ImageRequirements requirements = RequirementsFor(lib.info);
  if (!requirements.trustedKey)
    return lib.Fail("this build of the tool trusts no image signing key");
  std::string error;
  auto checked = CheckImageFile(FileSystemPath(path), &error, requirements, path);
  if (!checked)
    return lib.Fail(error);
  *image = std::move(*checked);
  if (!lib.exitHandlerSet) {
    // Registered after the crypto library's own exit handler (the image check used it),
    // so it runs first: the upgrade stops before anything it uses is torn down.
    std::atexit(StopAtExit);
    lib.exitHandlerSet = true;
  }
  return 0;
}

// The upgrade on the session's thread: it releases the caller once the device took the
// image, and goes on to the end.
Session::Job UpgradeJob(Library& lib, std::uint64_t id, std::shared_ptr<CheckedImage> image,
                        std::shared_ptr<JobResult> result) {
  return [&lib, id, image, result](Connection& c, Session& s) {
    Upgrade upgrade(c, s, std::move(*image), SinkFor(lib, id));
    if (!upgrade.Start(&result->error))
      return;
    const bool waited = s.Reply([&] {
      result->ok = true;
      std::lock_guard lock(lib.mu);
      lib.outcome = Outcome::kRunning;
    });
    if (!waited) {
      upgrade.Abandon();
      return;
    }
    upgrade.Run();
  };
}

}  // namespace

extern "C" {

int hidDfuConnect(unsigned short vendorId, unsigned short productId, unsigned short usage,
                  unsigned short usagePage, int* reserved) {
  (void)reserved;
  return Guarded([&] {
    Library& lib = Lib();
    std::lock_guard api(lib.api);
    if (lib.Running())
      return lib.Fail("an upgrade is in progress");
    lib.Retire();
    lib.Reap();
    auto session =
        std::make_unique<Session>(Identity{vendorId, productId, usage, usagePage}, lib.timeouts);
    auto result = std::make_shared<JobResult>();
    const bool answered = session->Call(
        [result](Connection& c, Session& s) { Connect(c, s, *result); }, kConnectLimit);
    if (!answered || !result->ok) {
      session->Close();
      lib.retired.push_back(std::move(session));
      return lib.Fail(answered ? result->error : "device not responding");
    }
    lib.session = std::move(session);
    lib.info = result->info;
    lib.choice = result->choice;
    return 0;
  });
}

int hidDfuDisconnect(void) {
  return Guarded([&] {
    Library& lib = Lib();
    std::lock_guard api(lib.api);
    if (lib.Running()) {
      lib.session->Cancel();
      std::unique_lock lock(lib.mu);
      if (!lib.cv.wait_for(lock, kCancelLimit, [&] { return lib.outcome != Outcome::kRunning; })) {
        // Stuck in a call on the device: the upgrade ends here, its thread when it can.
        const unsigned at = lib.Percent();
        lib.outcome = Outcome::kFailed;
        lib.upgradeError = "upgrade cancelled at " + std::to_string(at) + " %" +
                           (lib.confirmSent     ? kMayRunNewImage
                            : at >= kRestarting ? kGoesBack
                                                : "");
        lib.lastError = lib.upgradeError;
        lib.progress.store((lib.upgradeId << 8) | kFinished);
      }
    }
    lib.Retire();
    lib.Reap();
    return 0;
  });
}

int hidDfuUpgradeBin(const char* path) {
  return Guarded([&] {
    Library& lib = Lib();
    std::lock_guard api(lib.api);
    if (lib.exiting)
      return lib.Fail("the program is closing");
    if (lib.Running())
      return lib.Fail("an upgrade is already in progress");
    lib.Reap();
    std::uint64_t id = 0;
    {
      std::lock_guard lock(lib.mu);
      lib.outcome = Outcome::kNone;
      lib.confirmSent = false;
      id = ++lib.upgradeId;
      lib.progress.store(id << 8);
    }
    if (!path)
      return lib.Fail("no firmware file given");
    if (!lib.session)
      return lib.Fail("not connected to the device");

    auto image = std::make_shared<CheckedImage>();
    if (const int failed = CheckFor(lib, path, image.get()); failed != 0)
      return failed;
    auto result = std::make_shared<JobResult>();
    const bool answered = lib.session->Call(UpgradeJob(lib, id, image, result), kStartLimit);
    if (!answered) {
      lib.Retire();
      return lib.Fail("device not responding to the upgrade request");
    }
    return result->ok ? 0 : lib.Fail(result->error);
  });
}

unsigned char hidDfuGetProgress(void) {
  return static_cast<unsigned char>(Lib().Percent());
}

int hidDfuGetResult(void) {
  return Guarded([&] {
    Library& lib = Lib();
    std::unique_lock lock(lib.mu);
    switch (lib.outcome) {
      case Outcome::kNone:
        lock.unlock();
        return lib.Fail("no upgrade has been started");
      case Outcome::kRunning:
        lock.unlock();
        return lib.Fail("the upgrade is still running");
      case Outcome::kSucceeded:
        return 0;
      case Outcome::kFailed:
        lib.lastError = lib.upgradeError;
        return -1;
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
    std::lock_guard api(lib.api);
    if (!major || !minor || !release || !build)
      return lib.Fail("invalid argument: NULL pointer");
    if (lib.Running())
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
    std::lock_guard api(lib.api);
    if (!buffer || !length || *length <= 0)
      return lib.Fail("invalid argument: no buffer");
    if (flags != 0)
      return lib.Fail("unsupported flags " + std::to_string(flags));
    if (lib.Running())
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

int hidDfuGetDeviceChoice(char* buffer, int length) {
  return Guarded([&] {
    Library& lib = Lib();
    std::lock_guard api(lib.api);
    if (!buffer || length <= 0)
      return lib.Fail("invalid argument: no buffer");
    if (!lib.session)
      return lib.Fail("not connected to the device");
    const std::string text = DescribeChoice(lib.choice);
    const std::size_t n = std::min(text.size(), static_cast<std::size_t>(length) - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return static_cast<int>(1 + lib.choice.others.size());
  });
}

int hidDfuSetTimeouts(int replyMs, int rebootMs) {
  return Guarded([&] {
    Library& lib = Lib();
    std::lock_guard api(lib.api);
    if (replyMs <= 0 || rebootMs <= 0)
      return lib.Fail("invalid argument: time limits must be positive");
    lib.timeouts = {replyMs, rebootMs};
    return 0;
  });
}

}  // extern "C"
