// The gadget's three threads: the binder applies the dongle's comings and goings to the USB
// device controller (a write into the gadget's UDC file each), the reader hands what the
// host writes to the update function to the device's OUT endpoint, one report in flight as
// on the in-process bus, and the writer writes the device's replies to the IN endpoint, one
// at a time: the next waits until the host's controller has taken the last.
#include "dongle/gadget.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace dongle {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr char kConfigfs[] = "/sys/kernel/config/usb_gadget/";
constexpr char kControllers[] = "/sys/class/udc";
const std::string kMediaFunction = "functions/hid.media";
const std::string kUpdateFunction = "functions/hid.update";
const std::string kConfig = "configs/c.1";
// The gadget's folders, each after the one it lies in.
const std::string kFolders[] = {"",
                                "/strings/0x409",
                                "/" + kMediaFunction,
                                "/" + kUpdateFunction,
                                "/" + kConfig,
                                "/" + kConfig + "/strings/0x409"};
constexpr int kPollMs = 50;  // longest wait between looks at the stop flag

// The media keys: one input byte, a bit per consumer-page usage.
constexpr unsigned char kMediaKeysDescriptor[] = {
    0x05, 0x0C,                                      // usage page: consumer
    0x09, 0x01,                                      // usage: consumer control
    0xA1, 0x01,                                      // collection: application
    0x15, 0x00,                                      //   logical minimum 0
    0x25, 0x01,                                      //   logical maximum 1
    0x75, 0x01,                                      //   report size 1
    0x95, 0x08,                                      //   report count 8
    0x09, 0xE9, 0x09, 0xEA, 0x09, 0xE2, 0x09, 0xCD,  // volume up, down, mute, play/pause
    0x09, 0xB5, 0x09, 0xB6, 0x09, 0xB7, 0x09, 0xB0,  // next, previous, stop, play
    0x81, 0x02,                                      //   input: data, variable, absolute
    0xC0,                                            // end collection
};

// The update channel: 64-byte reports each way, no report numbers.
constexpr unsigned char kUpdateDescriptor[] = {
    0x06, 0x00, 0xFF,  // usage page: vendor 0xFF00
    0x09, 0x01,        // usage 1
    0xA1, 0x01,        // collection: application
    0x15, 0x00,        //   logical minimum 0
    0x26, 0xFF, 0x00,  //   logical maximum 255
    0x75, 0x08,        //   report size 8
    0x95, 0x40,        //   report count 64
    0x09, 0x01,        //   usage 1
    0x81, 0x02,        //   input: data, variable, absolute
    0x95, 0x40,        //   report count 64
    0x09, 0x01,        //   usage 1
    0x91, 0x02,        //   output: data, variable, absolute
    0xC0,              // end collection
};

bool WriteFile(const std::string& path, std::string_view content, std::string* error) {
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0 || write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
    const int err = errno;
    if (fd >= 0)
      close(fd);
    *error = "cannot write " + path + ": " + std::strerror(err);
    return false;
  }
  close(fd);
  return true;
}

std::string ReadLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

std::string Hex16(std::uint16_t v) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04x", v);
  return text;
}

std::string Narrow(const std::wstring& text) {
  std::string narrow;
  for (wchar_t c : text)
    narrow += static_cast<char>(c < 0x80 ? c : '?');
  return narrow;
}

std::string FirstController() {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(kControllers, ec))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names.empty() ? std::string() : names.front();
}

// The /dev node whose device number a function's "dev" file names ("245:1").
std::string NodeOf(const std::string& devFile) {
  unsigned major = 0, minor = 0;
  if (std::sscanf(ReadLine(devFile).c_str(), "%u:%u", &major, &minor) != 2)
    return {};
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/dev", ec)) {
    struct stat st {};
    const std::string path = entry.path().string();
    if (entry.path().filename().string().rfind("hidg", 0) == 0 && stat(path.c_str(), &st) == 0 &&
        S_ISCHR(st.st_mode) && st.st_rdev == makedev(major, minor))
      return path;
  }
  return {};
}

}  // namespace

Gadget::Gadget(GadgetIdentity identity, std::string root)
    : identity_(std::move(identity)), root_(std::move(root)) {}

std::unique_ptr<Gadget> Gadget::Create(const GadgetIdentity& identity, std::string* error) {
  std::unique_ptr<Gadget> g(new Gadget(identity, kConfigfs + identity.name));
  g->controller_ = identity.controller.empty() ? FirstController() : identity.controller;
  if (g->controller_.empty()) {
    *error = std::string("no USB device controller in ") + kControllers;
    return nullptr;
  }
  g->Remove();  // what a run that was killed left behind
  if (!g->Build(error)) {
    g->Remove();
    return nullptr;
  }
  return g;
}

bool Gadget::Build(std::string* error) {
  std::error_code ec;
  for (const std::string& dir : kFolders) {
    if (!fs::create_directories(root_ + dir, ec) && ec) {
      *error = "cannot make " + root_ + dir + ": " + ec.message();
      return false;
    }
  }
  const auto descriptor = [](const unsigned char* bytes, std::size_t n) {
    return std::string(reinterpret_cast<const char*>(bytes), n);
  };
  const std::pair<std::string, std::string> files[] = {
      {"idVendor", Hex16(identity_.vendorId)},
      {"idProduct", Hex16(identity_.productId)},
      {"bcdUSB", "0x0200"},
      {"strings/0x409/manufacturer", kManufacturer},
      {"strings/0x409/product", kProductName},
      {kMediaFunction + "/protocol", "0"},
      {kMediaFunction + "/subclass", "0"},
      {kMediaFunction + "/report_length", "1"},
      {kMediaFunction + "/report_desc",
       descriptor(kMediaKeysDescriptor, sizeof kMediaKeysDescriptor)},
      {kUpdateFunction + "/protocol", "0"},
      {kUpdateFunction + "/subclass", "0"},
      {kUpdateFunction + "/report_length", "64"},
      {kUpdateFunction + "/report_desc", descriptor(kUpdateDescriptor, sizeof kUpdateDescriptor)},
      {kConfig + "/strings/0x409/configuration", "Marlo"},
      {kConfig + "/MaxPower", "100"},
  };
  for (const auto& [file, content] : files) {
    if (!WriteFile(root_ + "/" + file, content, error))
      return false;
  }
  // The configuration's interfaces follow the order of its links: the media keys first.
  for (const std::string& function : {kMediaFunction, kUpdateFunction}) {
    const std::string link = root_ + "/" + kConfig + "/" + fs::path(function).filename().string();
    fs::create_directory_symlink(root_ + "/" + function, link, ec);
    if (ec) {
      *error = "cannot link " + link + ": " + ec.message();
      return false;
    }
  }
  return true;
}

void Gadget::Remove() {
  std::string ignored;
  if (!fs::exists(root_))
    return;
  if (!ReadLine(root_ + "/UDC").empty())
    WriteFile(root_ + "/UDC", "\n", &ignored);
  for (const std::string& function : {kMediaFunction, kUpdateFunction})
    unlink((root_ + "/" + kConfig + "/" + fs::path(function).filename().string()).c_str());
  for (auto dir = std::rbegin(kFolders); dir != std::rend(kFolders); ++dir)
    rmdir((root_ + *dir).c_str());
}

Gadget::~Gadget() {
  Stop();
  Remove();
  if (fd_ >= 0)
    close(fd_);
}

void Gadget::Start(Device& d) {
  d_ = &d;
  binder_ = std::thread([this] { RunBinder(); });
  reader_ = std::thread([this] { RunReader(); });
  writer_ = std::thread([this] { RunWriter(); });
}

void Gadget::Stop() {
  if (!d_)
    return;
  {
    std::lock_guard lock(d_->mu);
    stopping_ = true;
    changed_.notify_all();
    inWaiting_.notify_all();
    d_->hostCv.notify_all();
  }
  for (std::thread* t : {&binder_, &reader_, &writer_}) {
    if (t->joinable())
      t->join();
  }
}

std::uint64_t Gadget::ReportsIn() const {
  std::lock_guard lock(d_->mu);
  return reportsIn_;
}

std::uint64_t Gadget::ReportsOut() const {
  std::lock_guard lock(d_->mu);
  return reportsOut_;
}

bool Gadget::InDrained() const {
  std::lock_guard lock(d_->mu);
  return !pendingIn_ && d_->in.empty();
}

bool Gadget::InReady(const Device& d) const {
  return !pendingIn_ && boundGeneration_ == d.generation;
}

void Gadget::SendIn(Device& d, const Report& r) {
  pendingIn_.emplace(r, d.generation);
  inWaiting_.notify_all();
}

void Gadget::Attached(Device& d, bool onBus) {
  const hiddfu::FirmwareVersion running = d.RunningVersion();
  changes_.push_back(
      {onBus, d.generation,
       static_cast<std::uint16_t>(((running.major & 0xFF) << 8) | (running.minor & 0xFF)),
       Narrow(d.serial)});
  changed_.notify_all();
}

// ---- The threads -----------------------------------------------------------------------------

void Gadget::RunBinder() {
  std::unique_lock lock(d_->mu);
  while (true) {
    changed_.wait(lock, [&] { return stopping_ || !changes_.empty(); });
    if (changes_.empty())
      return;  // stopping, with every change applied
    const BusChange change = changes_.front();
    changes_.pop_front();
    lock.unlock();
    const bool applied = Apply(change);
    lock.lock();
    if (applied && change.attach && change.generation == d_->generation && d_->onBus) {
      boundGeneration_ = change.generation;
      d_->deviceCv.notify_all();  // replies may go out now
    }
    lock.unlock();
    if (applied && onBound)
      onBound(change.attach, node_);
    lock.lock();
  }
}

bool Gadget::Apply(const BusChange& change) {
  std::string error;
  bool ok = true;
  if (change.attach) {
    ok = WriteFile(root_ + "/bcdDevice", Hex16(change.release), &error) &&
         WriteFile(root_ + "/strings/0x409/serialnumber", change.serial, &error) &&
         WriteFile(root_ + "/UDC", controller_ + "\n", &error);
    if (ok && !OpenNode()) {
      ok = false;
      error = "the update function's node did not appear in /dev";
    }
  } else {
    ok = WriteFile(root_ + "/UDC", "\n", &error);
  }
  if (!ok)
    std::fprintf(stderr, "gadget: %s\n", error.c_str());
  return ok;
}

// The node exists from the first bind on; an open file of it goes on working across unbinds
// and binds, which only make it fail (ESHUTDOWN) or wait meanwhile.
bool Gadget::OpenNode() {
  {
    std::lock_guard lock(d_->mu);
    if (fd_ >= 0)
      return true;
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string node = NodeOf(root_ + "/" + kUpdateFunction + "/dev");
    const int fd = node.empty() ? -1 : open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
      std::lock_guard lock(d_->mu);
      fd_ = fd;
      node_ = node;
      return true;
    }
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

void Gadget::RunReader() {
  std::unique_lock lock(d_->mu);
  while (!stopping_) {
    const int fd = fd_;
    if (fd < 0) {
      changed_.wait_for(lock, std::chrono::milliseconds(kPollMs));
      continue;
    }
    lock.unlock();
    Report r{};
    ssize_t n = 0;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, kPollMs) > 0 && (p.revents & POLLIN))
      n = read(fd, r.data(), r.size());
    lock.lock();
    if (n > 0)
      Take(lock, r);  // a short report arrives zero-padded, as in the dongle's buffer
  }
}

// A report the host wrote, into the OUT endpoint once the one before has been taken.
void Gadget::Take(std::unique_lock<std::mutex>& lock, const Report& r) {
  Device& d = *d_;
  if (boundGeneration_ != d.generation || !d.onBus)
    return;  // written before the dongle lost its power: it never arrived
  ++reportsOut_;
  const std::uint64_t generation = d.generation;
  d.hostCv.wait(lock, [&] { return stopping_ || d.generation != generation || d.out.empty(); });
  if (stopping_ || d.generation != generation)
    return;
  d.out.push_back(r);
  d.deviceCv.notify_all();
}

void Gadget::RunWriter() {
  std::unique_lock lock(d_->mu);
  while (true) {
    inWaiting_.wait(lock, [&] { return stopping_ || pendingIn_; });
    if (stopping_)
      return;
    const auto [report, generation] = *pendingIn_;
    // The IN endpoint takes the next report once the host's controller has collected the
    // last one: until then the write would block (EAGAIN here).
    while (!stopping_ && generation == d_->generation) {
      const int fd = fd_;
      lock.unlock();
      const ssize_t n = write(fd, report.data(), report.size());
      const int err = errno;
      if (n < 0 && err == EAGAIN) {
        pollfd p{fd, POLLOUT, 0};
        poll(&p, 1, kPollMs);
      }
      lock.lock();
      if (n == static_cast<ssize_t>(report.size())) {
        ++reportsIn_;
        break;
      }
      if (n >= 0 || err != EAGAIN)
        break;  // unbound meanwhile (ESHUTDOWN): the report never went out
    }
    pendingIn_.reset();
    d_->deviceCv.notify_all();
  }
}

}  // namespace dongle
