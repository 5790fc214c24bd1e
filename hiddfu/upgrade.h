// One upgrade, on the session's thread: the image header and the start request, the
// device's erase, the transfer, its verification, the commit, the wait for the restarted
// device and its confirmation of the new image.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "hiddfu/image.h"
#include "hiddfu/link.h"
#include "hiddfu/session.h"

namespace hiddfu {

// Progress milestones once the image is verified; the erase, the transfer and the
// verification share the figures below kVerified.
constexpr unsigned kVerified = 94;
constexpr unsigned kRestarting = 95;
constexpr unsigned kDeviceLeft = 96;
constexpr unsigned kDeviceBack = 97;
constexpr unsigned kRunsNewImage = 98;
constexpr unsigned kConfirmed = 99;
constexpr unsigned kFinished = 100;

// What a failure after the commit leaves: a new image starts on trial, and the device goes
// back to its old one unless it is confirmed.
constexpr const char* kGoesBack = "; without confirmation the device goes back to its old image";
constexpr const char* kMayRunNewImage = "; it may be running the new image";

// Where an upgrade tells how far it has come and how it ended.
struct UpgradeSink {
  std::function<void(unsigned)> advance;  // raises the progress figure, never lowers it
  std::function<unsigned()> progress;
  // From here on the device may keep the new image: it was asked to confirm it.
  std::function<void()> confirming;
  // The last call: the outcome, and the figure the progress ends at (100 or more).
  std::function<void(bool ok, const std::string& error, unsigned finalProgress)> finish;
};

class Upgrade {
 public:
  Upgrade(Connection& connection, Session& session, CheckedImage image, UpgradeSink sink);

  // Sends the image header and asks the device to take the image. False, with the reason,
  // when it refuses, does not answer or is gone; the upgrade has then not begun.
  bool Start(std::string* error);
  // The rest, to the end: always ends with sink.finish.
  void Run();
  // The caller stopped waiting before it learnt that the device took the image.
  void Abandon();

 private:
  bool Fail(std::string text);
  std::string At() const;
  bool Cancelled();
  // What a failure after the commit leaves: the old image, unless the confirmation may
  // have reached the device.
  const char* Aftermath() const;
  bool SendHeader(std::string* error);
  // One request of the start, at the start's pace; false, with the reason, unless the device
  // answers OK or that it is at work.
  template <typename Reply, typename Request>
  bool AskToStart(const Request& request, Reply* reply, std::string* error);
  // After the restart, on the device found again: nothing while it has not restarted yet,
  // else whether it runs the new image and has confirmed it.
  std::optional<bool> CheckRestarted(HidHandle& device, std::uint16_t bootCountBefore);
  void Advance(unsigned value) { sink_.advance(value); }
  // The progress figure once `workMs` of the erase, transfer and verification are done.
  unsigned Percent(double workMs) const;
  template <typename Reply, typename Request>
  Answer Ask(const Request& request, Reply* reply);
  // Asks again and again while the device answers kWorking; `phaseMs` is the work's own
  // estimate and `offsetMs` the work before it, for the progress figure.
  template <typename Reply, typename Request>
  bool WaitWhileWorking(const Request& request, Reply* reply, double offsetMs, double phaseMs,
                        const char* what);
  bool AnswerFailure(Answer answer);
  bool Erase();
  bool Transfer();
  bool Verify();
  bool Activate();
  bool WaitForRestart();
  bool CheckVersion(const DeviceInfo& info);
  std::optional<bool> AwaitSelfTest(Link& link, DeviceInfo* info);
  // Asks the restarted device to keep the new image; kOk once it has, kRefused (with the
  // failure told) when it says no.
  Answer Confirm(Link& link);
  void SendAbort();

  Connection& connection_;
  Session& session_;
  CheckedImage image_;
  UpgradeSink sink_;
  Link link_;
  proto::StartRequest startRequest_;
  proto::StartReply startReply_;  // the start request's last reply
  std::uint8_t slot_ = 1;         // the slot the device writes the image into
  std::uint32_t window_ = 1;
  bool stream_ = false;  // the stored stream goes, for the device to decode
  std::uint32_t sentBytes_ = 0;
  double eraseMs_ = 0, transferMs_ = 0, verifyMs_ = 0;
  std::string error_;
  bool activateSent_ = false;  // from here on the device may start the new image on trial
  bool confirmSent_ = false;   // ... and may keep it
  proto::SelfTest selfTest_ = proto::SelfTest::kNone;  // of the new image, as last seen
  std::chrono::steady_clock::time_point rebootDeadline_;
};

}  // namespace hiddfu
