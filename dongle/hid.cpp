// The 18 hid_* functions over the virtual dongles, with hidapi's meaning on Linux hidraw:
// reports without report numbers (the first byte of a write is 0), -1 and a text from
// hid_error() on failure, a handle that dies for good when the device leaves the bus. As
// strict as hidraw where it matters (docs/protocol.md, "What the kernel does"): a write is
// one synchronous interrupt transfer that returns once a frame has taken the report and
// fails after the write time limit when none does; opening and closing a handle wait for
// writes under way; a failed call leaves errno as hidraw's would, and a message in the
// locale's language; a read on a handle whose device has gone fails, whatever it had
// queued.
#include <hidapi.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "dongle/simulated_device.h"

#ifndef ZAV_USB_VID
#error "ZAV_USB_VID must be defined by the build"
#endif
#ifndef ZAV_USB_PID
#error "ZAV_USB_PID must be defined by the build"
#endif

namespace {

using dongle::Clock;
using dongle::Device;
using dongle::Report;
using dongle::TheDevice;

constexpr unsigned short kVendorId = ZAV_USB_VID;
constexpr unsigned short kProductId = ZAV_USB_PID;

std::wstring Widen(const char* text) {
  std::wstring wide;
  for (const char* p = text ? text : ""; *p; ++p)
    wide += static_cast<wchar_t>(static_cast<unsigned char>(*p));
  return wide;
}
const std::wstring kManufacturer = Widen(dongle::kManufacturer);
const std::wstring kProduct = Widen(dongle::kProductName);

thread_local std::wstring g_error = L"Success";

// strerror's words in the locale's language, as hidapi's messages are.
std::wstring Reason(int err) {
  const char* reason = std::strerror(err);
  std::wstring wide(std::strlen(reason) + 1, L'\0');
  const std::size_t n = std::mbstowcs(wide.data(), reason, wide.size());
  return n == static_cast<std::size_t>(-1) ? L"?" : wide.substr(0, n);
}

// A failed write, as hidraw's: the text of its errno, and errno itself.
int WriteFailed(hid_device* dev, int err) {
  dev->error = Reason(err);
  errno = err;
  return -1;
}

void GlobalError(const wchar_t* text) {
  g_error = text;
}

wchar_t* Copy(const wchar_t* text) {
  const std::size_t n = std::wcslen(text) + 1;
  auto* copy = new wchar_t[n];
  std::wmemcpy(copy, text, n);
  return copy;
}

// hidraw's text for a node that would not open: strerror's words in the locale's language.
void OpenError(const char* path, int err) {
  g_error = L"Failed to open a device with path '" + Widen(path) + L"': " + Reason(err);
  errno = err;  // last: nothing after it may touch errno
}

// "virtual-dongle:1" for the update interface of the first dongle, "virtual-dongle-2:0"
// for the media keys of the third.
std::string PathOf(const Device& d, int interface) {
  if (interface == dongle::kVendorInterface && !d.nodePath.empty())
    return d.nodePath;
  return "virtual-dongle" + (d.number == 0 ? std::string() : "-" + std::to_string(d.number)) + ":" +
         std::to_string(interface);
}

// Listed as the host sees it: a dongle that has just left stays until its node goes.
bool Listed(const Device& d) {
  return d.present && d.HostGeneration(Clock::now()) != 0;
}

// Opening and closing a handle wait for writes under way, as hidraw's do.
void WaitForWrites(Device& d, std::unique_lock<std::mutex>& lock) {
  d.hostCv.wait(lock, [&] { return d.writesInFlight == 0 || d.stopped; });
}

bool Matches(unsigned short vendorId, unsigned short productId) {
  return (vendorId == 0 || vendorId == kVendorId) && (productId == 0 || productId == kProductId);
}

bool FirstOpen(const Device& d, int interface) {
  return std::none_of(d.handles.begin(), d.handles.end(), [&](const hid_device* h) {
    return h->interface == interface && h->generation == d.HostGeneration(Clock::now());
  });
}

hid_device* Open(Device& d, int interface) {
  auto* h = new hid_device;
  h->device = &d;
  h->generation = d.HostGeneration(Clock::now());
  h->interface = interface;
  d.handles.push_back(h);
  GlobalError(L"Success");
  return h;
}

// Copies the string that `which` picks from the device.
template <typename Which>
int CopyString(hid_device* dev, Which which, wchar_t* string, std::size_t maxlen) {
  if (!dev || !string || maxlen == 0)
    return -1;
  Device& d = *dev->device;
  std::lock_guard lock(d.mu);
  if (d.Dead(dev)) {
    dev->error = L"device disconnected";
    return -1;
  }
  const std::wstring text = which(d);
  std::wcsncpy(string, text.c_str(), maxlen);
  string[maxlen - 1] = L'\0';
  dev->error = L"Success";
  return 0;
}

std::wstring Manufacturer(const Device&) {
  return kManufacturer;
}
std::wstring Product(const Device&) {
  return kProduct;
}
std::wstring Serial(const Device& d) {
  return d.serial;
}

}  // namespace

extern "C" {

int hid_init(void) {
  TheDevice();
  return 0;
}

int hid_exit(void) {
  return 0;
}  // the dongle is hardware: it outlives the library's state

hid_device_info* hid_enumerate(unsigned short vendor_id, unsigned short product_id) {
  hid_device_info* first = nullptr;
  hid_device_info** link = &first;
  const std::vector<Device*> all = dongle::AllDevices();
  // The newest dongle first: a host must not take the order for anything.
  for (auto it = all.rbegin(); it != all.rend() && Matches(vendor_id, product_id); ++it) {
    Device& d = **it;
    std::lock_guard lock(d.mu);
    if (!Listed(d))
      continue;
    const hiddfu::FirmwareVersion running = d.RunningVersion();
    // The media-key interface comes first, as it may on real hardware: a host must pick the
    // update channel by its usage, not by its place in the list.
    for (int interface : {dongle::kConsumerInterface, dongle::kVendorInterface}) {
      auto* info = new hid_device_info{};
      const std::string path = PathOf(d, interface);
      info->path = new char[path.size() + 1];
      std::memcpy(info->path, path.c_str(), path.size() + 1);
      info->vendor_id = kVendorId;
      info->product_id = kProductId;
      info->serial_number = Copy(d.serial.c_str());
      info->release_number =
          static_cast<unsigned short>(((running.major & 0xFF) << 8) | (running.minor & 0xFF));
      info->manufacturer_string = Copy(kManufacturer.c_str());
      info->product_string = Copy(kProduct.c_str());
      info->usage_page = interface == dongle::kVendorInterface ? hiddfu::proto::kUsagePage : 0x000C;
      info->usage = interface == dongle::kVendorInterface ? hiddfu::proto::kUsage : 0x0001;
      info->interface_number = interface;
      info->bus_type = HID_API_BUS_USB;
      *link = info;
      link = &info->next;
    }
  }
  GlobalError(first ? L"Success" : L"No HID devices found in the system.");
  return first;
}

void hid_free_enumeration(hid_device_info* devs) {
  while (devs) {
    hid_device_info* next = devs->next;
    delete[] devs->path;
    delete[] devs->serial_number;
    delete[] devs->manufacturer_string;
    delete[] devs->product_string;
    delete devs;
    devs = next;
  }
}

hid_device* hid_open(unsigned short vendor_id, unsigned short product_id,
                     const wchar_t* serial_number) {
  for (Device* device : dongle::AllDevices()) {
    Device& d = *device;
    std::unique_lock lock(d.mu);
    WaitForWrites(d, lock);
    if (Listed(d) && Matches(vendor_id, product_id) &&
        (!serial_number || d.serial == serial_number))
      return Open(d, dongle::kConsumerInterface);  // the first one listed
  }
  GlobalError(L"Device with requested VID/PID/(SerialNumber) not found");
  return nullptr;
}

hid_device* hid_open_path(const char* path) {
  for (Device* device : dongle::AllDevices()) {
    Device& d = *device;
    std::unique_lock lock(d.mu);
    int interface = -1;
    for (int i = 0; i < 2; ++i) {
      if (path && d.present && PathOf(d, i) == path)
        interface = i;
    }
    if (interface < 0)
      continue;
    WaitForWrites(d, lock);
    if (!Listed(d))
      break;
    if (d.faults.openErrno) {
      OpenError(path, *d.faults.openErrno);
      return nullptr;
    }
    if (FirstOpen(d, interface) && d.timing == VirtualDongle::Timing::kFullSpeed) {
      // usbhid, at the first open of an interface, waits for reports queued while nobody
      // listened and drops them.
      lock.unlock();
      std::this_thread::sleep_for(dongle::kFirstOpenWait);
      lock.lock();
      if (!Listed(d))
        break;
    }
    return Open(d, interface);
  }
  OpenError(path, ENOENT);  // the node is gone
  return nullptr;
}

int hid_write(hid_device* dev, const unsigned char* data, size_t length) {
  if (!dev)
    return -1;
  Device& d = *dev->device;
  std::unique_lock lock(d.mu);
  if (!data || length < 1 || length > hiddfu::proto::kReportSize + 1) {
    dev->error = L"invalid report length";
    return -1;
  }
  if (data[0] != 0) {
    dev->error = L"the device uses no report numbers: the first byte must be 0";
    return -1;
  }
  if (d.Dead(dev)) {
    // The first transfer after the cable went fails on the bus; the USB core then lets go of
    // the device, and the next ones fail before they start.
    const bool first = !dev->writeFailed && Clock::now() < d.NodeRemovedAt(dev->generation);
    dev->writeFailed = true;
    return WriteFailed(dev, first ? EPROTO : ENODEV);
  }
  dev->error = L"Success";
  if (dev->interface != dongle::kVendorInterface)
    return static_cast<int>(length);
  Report r{};
  std::memcpy(r.data(), data + 1, length - 1);
  // One transfer at a time through the endpoint; this one is done when a frame has taken
  // the report, and given up when none has by the time limit.
  const auto deadline = Clock::now() + d.writeTimeout;
  ++d.writesInFlight;
  ++dev->callsInFlight;
  bool taken = false;
  if (d.hostCv.wait_until(lock, deadline, [&] { return d.Dead(dev) || d.out.empty(); }) &&
      !d.Dead(dev)) {
    d.out.push_back(r);
    const std::uint64_t mine = d.outTaken + 1;
    d.deviceCv.notify_all();
    d.hostCv.wait_until(lock, deadline, [&] { return d.Dead(dev) || d.outTaken >= mine; });
    taken = d.outTaken >= mine;
    if (!taken && !d.Dead(dev))
      d.out.clear();  // the transfer is cancelled: the report never went out
  }
  --d.writesInFlight;
  --dev->callsInFlight;
  d.hostCv.notify_all();
  if (taken)
    return static_cast<int>(length);
  if (d.Dead(dev)) {
    dev->writeFailed = true;
    return WriteFailed(dev, EPROTO);  // the transfer under way when the device left
  }
  ++d.stats.writeTimeouts;
  return WriteFailed(dev, ETIMEDOUT);
}

int hid_read_timeout(hid_device* dev, unsigned char* data, size_t length, int milliseconds) {
  if (!dev)
    return -1;
  Device& d = *dev->device;
  std::unique_lock lock(d.mu);
  if (!data) {
    dev->error = L"no buffer";
    return -1;
  }
  // Until the host's kernel removes the node, a read waits (and gets what was queued before
  // the dongle left); from then on it fails, and what was still queued is lost: hidraw's
  // poll tells a gone device before it tells queued data.
  const auto deadline = milliseconds < 0 ? Clock::time_point::max()
                                         : Clock::now() + std::chrono::milliseconds(milliseconds);
  auto removed = [&] { return Clock::now() >= d.NodeRemovedAt(dev->generation); };
  ++dev->callsInFlight;
  while (dev->in.empty() && !removed() && Clock::now() < deadline) {
    const auto until = std::min(deadline, d.NodeRemovedAt(dev->generation));
    if (until == Clock::time_point::max()) {
      d.hostCv.wait(lock);
    } else {
      d.hostCv.wait_until(lock, until);
    }
  }
  --dev->callsInFlight;
  if (removed()) {
    dev->error = L"hid_read_timeout: unexpected poll error (device disconnected)";
    return -1;
  }
  if (!dev->in.empty()) {
    const std::size_t n = std::min(length, dev->in.front().size());
    std::memcpy(data, dev->in.front().data(), n);
    dev->in.pop_front();
    dev->error = L"Success";
    return static_cast<int>(n);
  }
  dev->error = L"Success";
  return 0;
}

int hid_read(hid_device* dev, unsigned char* data, size_t length) {
  if (!dev)
    return -1;
  bool nonblocking = false;
  {
    std::lock_guard lock(dev->device->mu);
    nonblocking = dev->nonblocking;
  }
  return hid_read_timeout(dev, data, length, nonblocking ? 0 : -1);
}

int hid_set_nonblocking(hid_device* dev, int nonblock) {
  if (!dev)
    return -1;
  std::lock_guard lock(dev->device->mu);
  dev->nonblocking = nonblock != 0;
  return 0;
}

int hid_send_feature_report(hid_device* dev, const unsigned char* data, size_t length) {
  (void)data;
  (void)length;
  if (!dev)
    return -1;
  std::lock_guard lock(dev->device->mu);
  dev->error = L"the device has no feature reports";
  return -1;
}

int hid_get_feature_report(hid_device* dev, unsigned char* data, size_t length) {
  return hid_send_feature_report(dev, data, length);
}

void hid_close(hid_device* dev) {
  if (!dev)
    return;
  Device& d = *dev->device;
  {
    std::unique_lock lock(d.mu);
    if (dev->callsInFlight > 0) {
      // On hidraw this frees what another thread's call still uses.
      std::fprintf(stderr, "virtual dongle: a handle was closed during a call on it\n");
      std::abort();
    }
    WaitForWrites(d, lock);
    d.handles.erase(std::remove(d.handles.begin(), d.handles.end(), dev), d.handles.end());
  }
  delete dev;
}

int hid_get_manufacturer_string(hid_device* dev, wchar_t* string, size_t maxlen) {
  return CopyString(dev, Manufacturer, string, maxlen);
}

int hid_get_product_string(hid_device* dev, wchar_t* string, size_t maxlen) {
  return CopyString(dev, Product, string, maxlen);
}

int hid_get_serial_number_string(hid_device* dev, wchar_t* string, size_t maxlen) {
  return CopyString(dev, Serial, string, maxlen);
}

int hid_get_indexed_string(hid_device* dev, int string_index, wchar_t* string, size_t maxlen) {
  switch (string_index) {
    case 1:
      return CopyString(dev, Manufacturer, string, maxlen);
    case 2:
      return CopyString(dev, Product, string, maxlen);
    case 3:
      return CopyString(dev, Serial, string, maxlen);
    default:
      if (dev) {
        std::lock_guard lock(dev->device->mu);
        dev->error = L"no string with that index";
      }
      return -1;
  }
}

const wchar_t* hid_error(hid_device* dev) {
  if (!dev)
    return g_error.c_str();
  std::lock_guard lock(dev->device->mu);
  return dev->error.c_str();
}

}  // extern "C"
