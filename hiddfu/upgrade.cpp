#include "hiddfu/upgrade.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "hiddfu/sender.h"

namespace hiddfu {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kWorkPollMs = 20;    // how often the host asks how far long work has come
constexpr int kRebootPollMs = 50;  // enumeration interval while the device restarts
constexpr int kStartPeriodMs = 150;
// How long a write that failed on the bus may take to show as the device leaving: a hub
// reports a port change when it is next polled, up to 255 ms later.
constexpr int kVanishGraceMs = 1000;
// Long device work may take this much longer than the device's own figures say.
constexpr double kWorkMargin = 2.0;
constexpr int kWorkSlackMs = 2000;

// The last figure the erase, the transfer and the verification reach before the device's
// verdict.
constexpr unsigned kWorkEnd = kVerified - 1;

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
    case proto::kBadSignature:
      return "verification failed: the image is not signed with the key the device holds";
    case proto::kWrongProduct:
      return "verification failed: the image is made for another product";
    case proto::kWrongHardware:
      return "verification failed: the image is made for another hardware revision";
    case proto::kRollback:
      return "verification failed: the image's security counter is below the device's";
    case proto::kCannotDecode:
      return "it cannot decode this image's compressed payload";
    case proto::kOnTrial:
      return "it is trying out a new image that was not confirmed, and goes back to its old "
             "one within seconds; try again then";
    default:
      return "status " + std::to_string(status);
  }
}

std::string Seconds(double ms) {
  return std::to_string(static_cast<long long>(std::ceil(ms / 1000.0)));
}

}  // namespace

Upgrade::Upgrade(Connection& connection, Session& session, CheckedImage image, UpgradeSink sink)
    : connection_(connection),
      session_(session),
      image_(std::move(image)),
      sink_(std::move(sink)),
      link_(connection.handle.get(), kVanishGraceMs, &session.CancelFlag()) {
  const ImageHeader& h = image_.header;
  Sha256 sha;
  sha.Update(image_.headerBytes.data(), image_.headerBytes.size());
  startRequest_.headerDigest = sha.Final();
  startRequest_.window = proto::kMaxWindow;
  // A compressed image goes as it is stored to a device that decodes it, else decoded here.
  stream_ = h.Compressed() && connection.info.Decodes(h);
  startRequest_.form = stream_ ? proto::Form::kStream : proto::Form::kPayload;
  sentBytes_ = stream_ ? h.storedSize : h.payloadSize;
  // The progress figure shares 0..94 between the erase of the first block, the transfer and
  // the verification, by the time each takes. The transfer takes the link's time at one
  // report per millisecond, or the device's own if it is slower: it erases the other blocks
  // and decodes as the data comes.
  const DeviceInfo& info = connection.info;
  eraseMs_ = std::min<double>(info.eraseMs, static_cast<double>(info.EraseMs(h.payloadSize)));
  const double linkMs = std::ceil(static_cast<double>(sentBytes_) / proto::kDataPayload);
  const double flashMs = static_cast<double>(info.EraseMs(h.payloadSize)) - eraseMs_ +
                         (stream_ ? info.DecodeMs(h.payloadSize) : 0.0);
  transferMs_ = std::max(linkMs, flashMs);
  verifyMs_ = static_cast<double>(info.VerifyMs(h.payloadSize));
}

bool Upgrade::Fail(std::string text) {
  error_ = std::move(text);
  return false;
}

std::string Upgrade::At() const {
  return " at " + std::to_string(sink_.progress()) + " %";
}

const char* Upgrade::Aftermath() const {
  return confirmSent_ ? kMayRunNewImage : kGoesBack;
}

bool Upgrade::Cancelled() {
  return Fail("upgrade cancelled" + At() + (activateSent_ ? Aftermath() : ""));
}

unsigned Upgrade::Percent(double workMs) const {
  const double total = eraseMs_ + transferMs_ + verifyMs_;
  if (total <= 0)
    return 0;
  return std::min(kWorkEnd,
                  static_cast<unsigned>(kVerified * std::clamp(workMs / total, 0.0, 1.0)));
}

template <typename Reply, typename Request>
Answer Upgrade::Ask(const Request& request, Reply* reply) {
  return Exchange(link_, request, reply, {connection_.timeouts.replyMs, 4}, &session_.CancelFlag());
}

bool Upgrade::AnswerFailure(Answer answer) {
  switch (answer) {
    case Answer::kGone:
      return Fail("device disconnected" + At());
    case Answer::kCancelled:
      return Cancelled();
    default:
      return Fail("device stopped responding" + At());
  }
}

template <typename Reply, typename Request>
bool Upgrade::AskToStart(const Request& request, Reply* reply, std::string* error) {
  const Answer answer =
      Exchange(link_, request, reply, {std::min(connection_.timeouts.replyMs, kStartPeriodMs), 4},
               &session_.CancelFlag());
  switch (answer) {
    case Answer::kOk:
      return true;
    case Answer::kRefused:
      *error = "device refused the upgrade: " + RefusalText(reply->status);
      return false;
    case Answer::kGone:
      *error = "device disconnected";
      return false;
    default:
      *error = "device not responding to the upgrade request";
      return false;
  }
}

// The header as the file holds it, in four parts: the device checks its signature itself.
bool Upgrade::SendHeader(std::string* error) {
  for (std::size_t part = 0; part < proto::kHeaderParts; ++part) {
    proto::HeaderRequest request;
    request.part = static_cast<std::uint8_t>(part);
    std::memcpy(request.bytes.data(), image_.headerBytes.data() + part * proto::kHeaderPartSize,
                proto::kHeaderPartSize);
    proto::HeaderReply reply;
    if (!AskToStart(request, &reply, error))
      return false;
  }
  return true;
}

bool Upgrade::Start(std::string* error) {
  return SendHeader(error) && AskToStart(startRequest_, &startReply_, error);
}

void Upgrade::Abandon() {
  SendAbort();
}

void Upgrade::SendAbort() {
  // Tells the device to drop what it received; it would on its own at the next start. Not
  // to a device that takes nothing: the write would only wait out its time limit again.
  if (!connection_.handle || link_.Stuck())
    return;
  link_.Send(proto::Encode(proto::AbortRequest{}, 0));
}

void Upgrade::Run() {
  bool ok = false;
  try {
    ok = Erase() && Transfer() && Verify() && Activate() && WaitForRestart();
  } catch (const std::exception& e) {  // out of memory: the upgrade fails, the tool lives
    ok = Fail(std::string("internal error: ") + e.what() + At());
  }
  if (!ok && !activateSent_)
    SendAbort();
  sink_.finish(ok, error_,
               ok ? std::max<unsigned>(kFinished, connection_.info.completion) : kFinished);
}

template <typename Reply, typename Request>
bool Upgrade::WaitWhileWorking(const Request& request, Reply* reply, double offsetMs,
                               double phaseMs, const char* what) {
  const double limitMs = kWorkMargin * phaseMs + kWorkSlackMs;
  const auto deadline = Clock::now() + milliseconds(static_cast<long long>(limitMs));
  while (reply->status == proto::kWorking) {
    const std::uint32_t total = reply->work.total;
    const std::uint32_t done = std::min(reply->work.done, total);
    if (total > 0)
      Advance(Percent(offsetMs + phaseMs * done / total));
    if (Clock::now() > deadline)
      return Fail(std::string("device did not finish ") + what + " within " + Seconds(limitMs) +
                  " s" + At());
    if (!session_.Pause(milliseconds(kWorkPollMs)))
      return Cancelled();
    const Answer answer = Ask(request, reply);
    if (answer != Answer::kOk && answer != Answer::kRefused)
      return AnswerFailure(answer);
  }
  return true;
}

bool Upgrade::Erase() {
  if (!WaitWhileWorking(startRequest_, &startReply_, 0, eraseMs_, "erasing its firmware slot"))
    return false;
  if (startReply_.status != proto::kOk)
    return Fail("device refused the upgrade: " + RefusalText(startReply_.status) + At());
  slot_ = startReply_.slot;
  window_ = startReply_.window;
  Advance(Percent(eraseMs_));
  return true;
}

bool Upgrade::Transfer() {
  PayloadSource source(image_.file.get(), image_.header, stream_);
  const double size = source.Size();
  GoBackNSender sender(link_, source, window_, connection_.timeouts.replyMs);
  const auto result = sender.Run(session_.CancelFlag(), [&](std::uint64_t acked) {
    Advance(Percent(eraseMs_ + transferMs_ * static_cast<double>(acked) / size));
  });
  switch (result) {
    case GoBackNSender::Result::kDone:
      // Checked before the device is asked to verify: a failure there would blame the link.
      if (source.PayloadDigest() != image_.header.sha256) {
        return Fail(
            "firmware file changed during the write: the bytes sent do not match the SHA-256 in "
            "its header" +
            At());
      }
      return true;
    case GoBackNSender::Result::kGone:
      return Fail("device disconnected" + At());
    case GoBackNSender::Result::kStalled:
      return Fail("device stopped responding" + At());
    case GoBackNSender::Result::kReadFailed:
      return Fail(source.Failure() + At());
    case GoBackNSender::Result::kCancelled:
      return Cancelled();
  }
  return false;
}

bool Upgrade::Verify() {
  const proto::VerifyRequest verify;
  proto::VerifyReply reply;
  if (const Answer answer = Ask(verify, &reply);
      answer != Answer::kOk && answer != Answer::kRefused)
    return AnswerFailure(answer);
  if (!WaitWhileWorking(verify, &reply, eraseMs_ + transferMs_, verifyMs_, "checking the image"))
    return false;
  const std::uint8_t status = reply.status;
  if (status == proto::kDigestMismatch) {
    return Fail(
        "verification failed: the SHA-256 of the image the device received does "
        "not match the image header");
  }
  if (status == proto::kIncomplete) {
    return Fail("verification failed: the device received " + std::to_string(reply.received) +
                " of " + std::to_string(sentBytes_) + " bytes");
  }
  if (status == proto::kBadStream) {
    return Fail(
        "verification failed: the compressed image the device received does not decode to "
        "the payload its header names");
  }
  if (status != proto::kOk)
    return Fail("verification failed: device status " + std::to_string(status));
  Advance(kVerified);
  return true;
}

// Asked again, with the same tag, until the device answers or leaves the bus to restart:
// a repeated request finds it committed already. A lost or late reply is never taken for
// a refusal.
bool Upgrade::Activate() {
  activateSent_ = true;
  const Timeouts& t = connection_.timeouts;
  proto::ActivateReply reply;
  const Answer answer =
      Exchange(link_, proto::ActivateRequest{}, &reply,
               {t.replyMs, std::max(1, t.rebootMs / t.replyMs)}, &session_.CancelFlag());
  switch (answer) {
    case Answer::kOk:
      break;
    case Answer::kRefused:
      activateSent_ = false;  // it said no: nothing was committed
      return Fail("device refused to start the new image (status " + std::to_string(reply.status) +
                  ")" + At());
    case Answer::kGone:
      break;  // gone to restart; the wait below tells whether it comes back with the image
    case Answer::kCancelled:
      return Cancelled();
    case Answer::kSilent:
      return Fail("device did not answer the request to start the new image within " +
                  Seconds(t.rebootMs) + " s" + At() + kGoesBack);
  }
  Advance(kRestarting);
  return true;
}

// The device restarts and enumerates again, on trial with the new image: the dongle this
// connection was made to, found by its serial number, never another one. Success only once
// it runs the image's version from the new slot and has confirmed it. Bounded by the
// reboot time limit; a device that leaves again after the confirmation was sent (pulled
// out, or reset by its watchdog) is waited for once more to learn what it kept.
bool Upgrade::WaitForRestart() {
  const Timeouts& t = connection_.timeouts;
  connection_.handle.reset();
  const std::uint16_t bootCountBefore = connection_.info.bootCount;
  const auto deadline = Clock::now() + milliseconds(t.rebootMs);
  rebootDeadline_ = deadline;
  const int poll = std::clamp(t.rebootMs / 20, 1, kRebootPollMs);
  while (true) {
    if (session_.CancelFlag())
      return Cancelled();
    HidHandle device;
    std::string ignored;
    const Found found = OpenPinned(connection_.identity, connection_.pin, &device, &ignored);
    if (found == Found::kNotFound)
      Advance(kDeviceLeft);
    if (found == Found::kOpened) {
      if (const std::optional<bool> done = CheckRestarted(device, bootCountBefore))
        return *done;
    }
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      return Fail("device did not come back within " + Seconds(t.rebootMs) + " s of its restart" +
                  Aftermath());
    }
    if (!session_.Pause(milliseconds(std::min<long long>(poll, left))))
      return Cancelled();
  }
}

std::optional<bool> Upgrade::CheckRestarted(HidHandle& device, std::uint16_t bootCountBefore) {
  Link link(device.get(), kVanishGraceMs, &session_.CancelFlag());
  proto::InfoReply reply;
  const Answer answer = Exchange(link, proto::InfoRequest{}, &reply,
                                 {connection_.timeouts.replyMs, 2}, &session_.CancelFlag());
  if (answer == Answer::kCancelled)
    return Cancelled();
  if (answer != Answer::kOk)
    return std::nullopt;
  DeviceInfo info(reply);
  if (info.bootCount == bootCountBefore)
    return std::nullopt;  // not restarted yet
  Advance(kDeviceBack);
  connection_.info = info;
  if (!CheckVersion(info))
    return false;
  if (const std::optional<bool> tested = AwaitSelfTest(link, &info); tested != true)
    return tested;
  Advance(kRunsNewImage);
  const Answer confirmed = Confirm(link);
  if (confirmed == Answer::kOk) {
    connection_.handle = std::move(device);
    Advance(kConfirmed);
    return true;
  }
  if (confirmed == Answer::kCancelled)
    return Cancelled();
  if (confirmed == Answer::kRefused)
    return false;
  return std::nullopt;
}

// The new image runs on trial: its own self-test decides whether it may be kept. True once it
// passed; nullopt when the device left meanwhile (an image that failed resets itself, one
// whose test never ends is reset by the watchdog): what it runs when back tells the rest.
std::optional<bool> Upgrade::AwaitSelfTest(Link& link, DeviceInfo* info) {
  using proto::SelfTest;
  selfTest_ = info->selfTest;
  while (info->selfTest != SelfTest::kPassed && info->selfTest != SelfTest::kNone) {
    if (Clock::now() >= rebootDeadline_) {
      return Fail("the new image did not pass its self-test within " +
                  Seconds(connection_.timeouts.rebootMs) + " s" + At() + kGoesBack);
    }
    if (!session_.Pause(milliseconds(kWorkPollMs)))
      return Cancelled();
    proto::InfoReply reply;
    const Answer answer = Exchange(link, proto::InfoRequest{}, &reply,
                                   {connection_.timeouts.replyMs, 2}, &session_.CancelFlag());
    if (answer == Answer::kCancelled)
      return Cancelled();
    if (answer != Answer::kOk)
      return std::nullopt;
    *info = DeviceInfo(reply);
    connection_.info = *info;
    selfTest_ = info->selfTest;
  }
  return true;
}

Answer Upgrade::Confirm(Link& link) {
  confirmSent_ = true;
  if (sink_.confirming)
    sink_.confirming();
  proto::ConfirmReply reply;
  const Answer answer = Exchange(link, proto::ConfirmRequest{slot_}, &reply,
                                 {connection_.timeouts.replyMs, 4}, &session_.CancelFlag());
  if (answer == Answer::kRefused) {
    confirmSent_ = false;  // it kept nothing
    Fail("device refused to confirm the new image (status " + std::to_string(reply.status) + ")" +
         At() + kGoesBack);
  }
  return answer;
}

bool Upgrade::CheckVersion(const DeviceInfo& info) {
  const FirmwareVersion& wanted = image_.header.version;
  const char* why = confirmSent_ ? ": it went back to its old image before it kept the new one"
                    : selfTest_ == proto::SelfTest::kRunning
                        ? ": the new image did not finish its self-test"
                    : selfTest_ != proto::SelfTest::kNone && selfTest_ != proto::SelfTest::kPassed
                        ? ": the new image failed its self-test"
                        : ": the new image did not start";
  if (info.mode == proto::Mode::kUpdate) {
    return Fail(
        "device came back in its update mode, with neither image passing its boot "
        "loader's check" +
        std::string(why));
  }
  if (info.running != wanted) {
    return Fail("device came back running " + info.running.ToString() + " instead of " +
                wanted.ToString() + why);
  }
  // The same version may be written again (a repair): only the slot tells whether the
  // device fell back to its old image.
  if (info.activeSlot != slot_) {
    return Fail("device came back running " + info.running.ToString() + " from slot " +
                std::to_string(info.activeSlot) + " instead of the new image in slot " +
                std::to_string(slot_) + why);
  }
  return true;
}

}  // namespace hiddfu
