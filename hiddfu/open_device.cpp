#include "hiddfu/open_device.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <tuple>

#include <fcntl.h>
#include <unistd.h>

#include "hiddfu/image.h"

namespace hiddfu {
namespace {

struct EnumerationFree {
  void operator()(hid_device_info* d) const { hid_free_enumeration(d); }
};

std::string Hex4(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", value & 0xFFFFu);
  return text;
}

// hidapi's texts are wide; ours are plain ASCII so that they read the same in any code page.
std::string Narrow(const wchar_t* text) {
  std::string out;
  for (; text && *text; ++text)
    out += (*text >= 0x20 && *text < 0x7F) ? static_cast<char>(*text) : '?';
  return out;
}

// The node opened by open() itself, or why it would not open: hidapi reports that only as
// text in the locale's language, and errno after hid_open_path is whatever its message
// building left.
FileDescriptor OpenNode(const std::string& node, int* err) {
  FileDescriptor fd(open(node.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  *err = fd ? 0 : errno;
  return fd;
}

}  // namespace

std::mutex& HidGlobalMutex() {
  static std::mutex* mu = new std::mutex;  // never destroyed: threads may outlive main()
  return *mu;
}

std::string NotFoundText(const Identity& id) {
  return "device not found (VID " + Hex4(id.vendorId) + ", PID " + Hex4(id.productId) +
         ", usage page " + Hex4(id.usagePage) + ", usage " + Hex4(id.usage) + ")";
}

std::string OpenFailureText(const std::string& node, int err) {
  const std::string prefix = "cannot open the device " + node + ": ";
  switch (err) {
    case EACCES:
    case EPERM:
      return prefix +
             "permission denied; the udev rule 70-zav-marlo.rules installed with the tool "
             "gives the logged-in user access: run `udevadm trigger` as root or replug the "
             "dongle";
    case EBUSY:
      return prefix + "it is busy; close any other program that uses the dongle, or replug it";
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return prefix + "it is gone; replug the dongle";
    default: {
      const char* text = strerrordesc_np(err);  // English whatever the locale says
      return prefix + (text ? text : "error " + std::to_string(err));
    }
  }
}

namespace {

// Every matching interface, sorted by serial number and node; the caller holds the lock.
std::vector<Candidate> Candidates(const Identity& id) {
  std::vector<Candidate> found;
  std::unique_ptr<hid_device_info, EnumerationFree> list(hid_enumerate(id.vendorId, id.productId));
  for (const hid_device_info* d = list.get(); d; d = d->next) {
    if ((id.usagePage == 0 || d->usage_page == id.usagePage) &&
        (id.usage == 0 || d->usage == id.usage))
      found.push_back({d->path ? d->path : "", Narrow(d->serial_number)});
  }
  std::sort(found.begin(), found.end(), [](const Candidate& a, const Candidate& b) {
    return std::tie(a.serial, a.path) < std::tie(b.serial, b.path);
  });
  return found;
}

// Opens the node at `path`; the caller holds the lock.
Found OpenPath(const std::string& path, HidHandle* device, std::string* error) {
  // A hidraw node is a file; another backend's path (the virtual dongle's) is not, and that
  // backend leaves errno as open() would have.
  const bool node = !path.empty() && path[0] == '/';
  // Kept open until hid_open_path has returned: usbhid waits 50 ms when a device's first file
  // opens (for reports queued while nobody listened), and only then.
  FileDescriptor first;
  if (node) {
    int err = 0;
    first = OpenNode(path, &err);
    if (err != 0) {
      *error = OpenFailureText(path, err);
      return Found::kNotOpened;
    }
  }
  errno = 0;
  device->reset(hid_open_path(path.c_str()));
  if (*device)
    return Found::kOpened;
  const int err = errno;
  *error = !node && err != 0 ? OpenFailureText(path, err)
                             : "cannot open the device " + path + ": " + Narrow(hid_error(nullptr));
  return Found::kNotOpened;
}

bool Init(std::string* error) {
  if (hid_init() == 0)
    return true;
  *error = "cannot start HID access: " + Narrow(hid_error(nullptr));
  return false;
}

}  // namespace

Found OpenDevice(const Identity& id, HidHandle* device, std::string* error, Choice* choice) {
  std::lock_guard lock(HidGlobalMutex());
  if (!Init(error))
    return Found::kNotOpened;
  std::vector<Candidate> found = Candidates(id);
  if (found.empty())
    return Found::kNotFound;
  choice->chosen = found.front();
  choice->others.assign(found.begin() + 1, found.end());
  return OpenPath(choice->chosen.path, device, error);
}

Found OpenPinned(const Identity& id, const Pin& pin, HidHandle* device, std::string* error) {
  std::lock_guard lock(HidGlobalMutex());
  if (!Init(error))
    return Found::kNotOpened;
  for (const Candidate& c : Candidates(id)) {
    if (pin.Matches(c))
      return OpenPath(c.path, device, error);
  }
  return Found::kNotFound;
}

}  // namespace hiddfu
