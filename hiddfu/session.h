// One connection to the dongle, on a thread of its own. That thread makes every hid_* call
// on the connection's handle, one job at a time, and is the only one to close the handle.
// A caller waits for a job only as long as it chooses: on Linux a write to a device that
// takes nothing sits in the kernel for about 5 s, and a caller that stops waiting leaves the
// handle to be closed once that call has returned, never under it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "hiddfu/device_info.h"
#include "hiddfu/link.h"
#include "hiddfu/open_device.h"

namespace hiddfu {

// The library's time limits in force when the session began.
struct Timeouts {
  int replyMs = 250;     // a reply period: how long to wait for an answer before asking again
  int rebootMs = 20000;  // how long a restarting device may stay away
};

// What the jobs of one session share; touched only on the session's thread.
struct Connection {
  Identity identity;
  Timeouts timeouts;
  HidHandle handle;  // null once the device is gone
  Pin pin;           // the dongle connected to, followed through its restart
  DeviceInfo info;
};

class Session {
 public:
  using Job = std::function<void(Connection&, Session&)>;

  Session(const Identity& identity, const Timeouts& timeouts);
  // Joins the thread: only once Finished(), or after Detach().
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Runs `job` on the session's thread and waits until it has returned or called Reply(),
  // at most `limit`; false when the limit passed first (the job is then cancelled, and the
  // caller must Close the session). One job at a time: a job still running is waited for,
  // within the same limit.
  bool Call(Job job, std::chrono::milliseconds limit);
  // For a job that goes on after telling its caller the outcome (an upgrade after the
  // device took it): runs `beforeRelease` and releases the caller; false, running nothing,
  // when the caller has stopped waiting.
  bool Reply(const std::function<void()>& beforeRelease = {});

  // Asks the current job to stop: its waits end at the next look at the flag.
  void Cancel();
  const std::atomic<bool>& CancelFlag() const { return cancel_; }
  // Waits unless cancelled; false when cancelled.
  bool Pause(std::chrono::milliseconds time);
  // No more jobs: the thread closes the handle after the current job and ends.
  void Close();
  bool Finished() const { return finished_; }
  // At process exit, for a thread that is still in a call: it may end after main().
  void Detach();

 private:
  void Run();

  std::mutex mu_;
  std::condition_variable cv_;
  Connection connection_;
  Job job_;
  bool hasJob_ = false;
  bool replied_ = false;
  bool gaveUp_ = false;
  bool closing_ = false;
  std::atomic<bool> cancel_{false};
  std::atomic<bool> finished_{false};
  std::thread thread_;
};

}  // namespace hiddfu
