#include "hiddfu/session.h"

namespace hiddfu {

Session::Session(const Identity& identity, const Timeouts& timeouts) {
  connection_.identity = identity;
  connection_.timeouts = timeouts;
  thread_ = std::thread([this] { Run(); });
}

Session::~Session() {
  if (thread_.joinable())
    thread_.join();
}

void Session::Detach() {
  if (thread_.joinable())
    thread_.detach();
}

bool Session::Call(Job job, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::unique_lock lock(mu_);
  if (!cv_.wait_until(lock, deadline, [&] { return !hasJob_; }) || closing_) {
    gaveUp_ = true;
    return false;
  }
  job_ = std::move(job);
  hasJob_ = true;
  replied_ = false;
  gaveUp_ = false;
  cv_.notify_all();
  if (cv_.wait_until(lock, deadline, [&] { return replied_; }))
    return true;
  gaveUp_ = true;
  cancel_ = true;
  cv_.notify_all();
  return false;
}

bool Session::Reply(const std::function<void()>& beforeRelease) {
  std::lock_guard lock(mu_);
  if (gaveUp_)
    return false;
  if (!replied_ && beforeRelease)
    beforeRelease();
  replied_ = true;
  cv_.notify_all();
  return true;
}

void Session::Cancel() {
  std::lock_guard lock(mu_);
  cancel_ = true;
  cv_.notify_all();
}

bool Session::Pause(std::chrono::milliseconds time) {
  std::unique_lock lock(mu_);
  return !cv_.wait_for(lock, time, [&] { return cancel_.load(); });
}

void Session::Close() {
  std::lock_guard lock(mu_);
  closing_ = true;
  cv_.notify_all();
}

void Session::Run() {
  std::unique_lock lock(mu_);
  while (true) {
    cv_.wait(lock, [&] { return hasJob_ || closing_; });
    if (!hasJob_)
      break;
    Job job = std::move(job_);
    lock.unlock();
    job(connection_, *this);
    job = nullptr;  // what it holds goes before the caller learns that it has returned
    lock.lock();
    replied_ = true;
    hasJob_ = false;
    cv_.notify_all();
  }
  lock.unlock();
  connection_.handle.reset();  // here, where no call on it can be under way
  finished_ = true;
}

}  // namespace hiddfu
