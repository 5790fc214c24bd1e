// zav-dongle-gadget: the virtual dongle as a USB HID gadget on this kernel (dongle/gadget.h),
// for the tests on a real USB stack. Not installed. Needs root, configfs, libcomposite,
// usb_f_hid and a USB device controller (dummy_hcd in the test rig).
//
// It prints what happens, a line each after the time (the monotonic clock, in ms): "ready NODE"
// once the host can see it, "attached running=V slot=S trial=T" and "detached" as it comes and
// goes, and the answers to the commands it reads, a line each, from the control file (a FIFO):
//   plug | unplug           the cable
//   fault NAME[=VALUE]      one more fault (the names of --help)
//   burst N                 N copies of its acknowledgement at once; "burst N sent" when out
//   state                   "state running=V slot=S trial=T confirmed=C counter=N boots=B
//                           plugged=P received=BYTES" (payload bytes of the upgrade under way)
//   quit
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "dongle/dongle.h"
#include "dongle/gadget.h"
#include "dongle/simulated_device.h"

namespace {

using namespace std::chrono_literals;
using VirtualDongle::Faults;

std::mutex g_printing;

// Each line begins with the time on the monotonic clock, in ms.
void Say(const std::string& line) {
  const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
  std::lock_guard lock(g_printing);
  std::fprintf(stdout, "%lld %s\n", static_cast<long long>(now.count()), line.c_str());
  std::fflush(stdout);
}

bool ParseNumber(const std::string& text, unsigned long max, unsigned long* value) {
  char* end = nullptr;
  errno = 0;
  const unsigned long v = std::strtoul(text.c_str(), &end, 0);
  if (text.empty() || errno != 0 || *end != '\0' || v > max)
    return false;
  *value = v;
  return true;
}

// The faults a test may give, by name: each takes a byte count or milliseconds, or nothing.
using FaultSetter = std::function<bool(Faults&, const std::string&)>;

FaultSetter AtByte(std::optional<std::uint32_t> Faults::*member) {
  return [member](Faults& f, const std::string& value) {
    unsigned long n = 0;
    if (!ParseNumber(value, UINT32_MAX, &n))
      return false;
    f.*member = static_cast<std::uint32_t>(n);
    return true;
  };
}

FaultSetter Flag(bool Faults::*member) {
  return [member](Faults& f, const std::string& value) {
    f.*member = true;
    return value.empty();
  };
}

const std::map<std::string, FaultSetter>& FaultNames() {
  static const std::map<std::string, FaultSetter> names = {
      {"unplug-at-byte", AtByte(&Faults::unplugAtByte)},
      {"stall-at-byte", AtByte(&Faults::stallAtByte)},
      {"stuck-out-at-byte", AtByte(&Faults::stuckOutAtByte)},
      {"drop-data", AtByte(&Faults::dropData)},
      {"corrupt-data", AtByte(&Faults::corruptData)},
      {"drop-ack", AtByte(&Faults::dropAck)},
      {"silent", Flag(&Faults::silent)},
      {"fail-verification", Flag(&Faults::failVerification)},
      {"restart-never-ends", Flag(&Faults::restartNeverEnds)},
      {"new-image-fails-to-start", Flag(&Faults::newImageFailsToStart)},
      {"trial-never-enumerates", Flag(&Faults::trialNeverEnumerates)},
      {"trial-never-answers", Flag(&Faults::trialNeverAnswers)},
      {"unplug-on-confirm", Flag(&Faults::unplugOnConfirm)},
      {"unplug-after-confirm", Flag(&Faults::unplugAfterConfirm)},
      {"replug-after-ms",
       [](Faults& f, const std::string& value) {
         unsigned long ms = 0;
         if (!ParseNumber(value, 600000, &ms))
           return false;
         f.replugAfter = std::chrono::milliseconds(ms);
         return true;
       }},
  };
  return names;
}

bool AddFault(Faults& faults, const std::string& spec) {
  const std::size_t eq = spec.find('=');
  const auto it = FaultNames().find(spec.substr(0, eq));
  return it != FaultNames().end() &&
         it->second(faults, eq == std::string::npos ? std::string() : spec.substr(eq + 1));
}

std::string State() {
  dongle::Device& d = dongle::TheDevice();
  std::lock_guard lock(d.mu);
  return "running=" + d.RunningVersion().ToString() + " slot=" + std::to_string(d.active) +
         " trial=" + std::to_string(d.onTrial ? 1 : 0) +
         " confirmed=" + std::to_string(d.Confirmed()) + " counter=" + std::to_string(d.Counter()) +
         " boots=" + std::to_string(d.bootCount) + " plugged=" + std::to_string(d.onBus ? 1 : 0) +
         " received=" + std::to_string(d.received);
}

struct Options {
  dongle::GadgetIdentity identity{ZAV_USB_VID, ZAV_USB_PID, "zav-marlo", ""};
  std::wstring serial = L"MRL000001";
  std::string control;
  std::optional<hiddfu::FirmwareVersion> factory;
  std::optional<std::chrono::milliseconds> restart;
  std::optional<std::chrono::milliseconds> watchdog;
  bool instantFlash = false;
  Faults faults;
};

void Usage() {
  std::string faults;
  for (const auto& [name, setter] : FaultNames())
    faults += " " + name;
  std::fprintf(
      stderr,
      "usage: zav-dongle-gadget [--serial S] [--vid N] [--pid N] [--name NAME]\n"
      "         [--controller UDC] [--control FIFO] [--factory VERSION]\n"
      "         [--restart-ms N] [--watchdog-ms N] [--instant-flash] [--fault NAME[=N]]...\n"
      "faults:%s\n",
      faults.c_str());
}

bool ParseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    const std::string value = hasValue ? argv[i + 1] : "";
    unsigned long n = 0;
    if (arg == "--instant-flash") {
      o->instantFlash = true;
      continue;
    }
    if (!hasValue)
      return false;
    ++i;
    if (arg == "--serial") {
      o->serial.assign(value.begin(), value.end());
    } else if ((arg == "--vid" || arg == "--pid") && ParseNumber(value, 0xFFFF, &n)) {
      (arg == "--vid" ? o->identity.vendorId : o->identity.productId) =
          static_cast<std::uint16_t>(n);
    } else if (arg == "--name") {
      o->identity.name = value;
    } else if (arg == "--controller") {
      o->identity.controller = value;
    } else if (arg == "--control") {
      o->control = value;
    } else if (arg == "--factory" && (o->factory = hiddfu::FirmwareVersion::Parse(value))) {
    } else if ((arg == "--restart-ms" || arg == "--watchdog-ms") &&
               ParseNumber(value, 600000, &n)) {
      (arg == "--restart-ms" ? o->restart : o->watchdog) = std::chrono::milliseconds(n);
    } else if (arg == "--fault" && AddFault(o->faults, value)) {
    } else {
      return false;
    }
  }
  return true;
}

void Configure(const Options& o) {
  VirtualDongle::SetTiming(VirtualDongle::Timing::kFullSpeed);
  if (o.instantFlash)
    VirtualDongle::SetFlashTiming(VirtualDongle::kInstantFlash);
  if (o.restart)
    VirtualDongle::SetRestartDelay(*o.restart);
  if (o.watchdog)
    VirtualDongle::SetTrialWatchdog(*o.watchdog);
  if (o.factory)
    VirtualDongle::InstallFactoryImage(*o.factory);
  VirtualDongle::SetSerialNumber(o.serial);
  VirtualDongle::SetFaults(o.faults);
}

// Waits until the gadget has written everything the dongle queued for the host.
void WaitDrained(const dongle::Gadget& gadget) {
  while (!gadget.InDrained())
    std::this_thread::sleep_for(5ms);
}

bool Command(const std::string& line, dongle::Gadget& gadget) {
  const std::size_t space = line.find(' ');
  const std::string verb = line.substr(0, space);
  const std::string arg = space == std::string::npos ? "" : line.substr(space + 1);
  dongle::Device& d = dongle::TheDevice();
  unsigned long n = 0;
  if (verb == "plug") {
    VirtualDongle::Plug();
  } else if (verb == "unplug") {
    VirtualDongle::Unplug();
  } else if (verb == "fault") {
    std::lock_guard lock(d.mu);
    if (!AddFault(d.faults, arg)) {
      Say("error " + line);
      return true;
    }
    d.deviceCv.notify_all();
  } else if (verb == "burst" && ParseNumber(arg, 100000, &n)) {
    {
      std::lock_guard lock(d.mu);
      d.RepeatAck(static_cast<std::uint32_t>(n));
    }
    WaitDrained(gadget);
    Say("burst " + arg + " sent");
    return true;
  } else if (verb == "state") {
    Say("state " + State());
    return true;
  } else if (verb == "quit") {
    return false;
  } else if (!verb.empty()) {
    Say("error " + line);
    return true;
  }
  Say("ok " + line);
  return true;
}

// Reads commands until "quit" or a signal to stop.
void Serve(const std::string& control, dongle::Gadget& gadget) {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  const int signals = signalfd(-1, &stop, SFD_CLOEXEC);
  // Opened for writing too, so that it never reads as ended when a writer goes.
  const int fd = control.empty() ? -1 : open(control.c_str(), O_RDWR | O_CLOEXEC);
  if (!control.empty() && fd < 0)
    std::fprintf(stderr, "zav-dongle-gadget: cannot open %s: %s\n", control.c_str(),
                 std::strerror(errno));
  std::string buffer;
  while (true) {
    pollfd p[2] = {{signals, POLLIN, 0}, {fd, POLLIN, 0}};
    if (poll(p, fd >= 0 ? 2 : 1, -1) < 0 && errno != EINTR)
      break;
    if (p[0].revents & POLLIN)
      break;
    char chunk[256];
    const ssize_t n = fd >= 0 && (p[1].revents & POLLIN) ? read(fd, chunk, sizeof chunk) : 0;
    buffer.append(chunk, n > 0 ? static_cast<std::size_t>(n) : 0);
    for (std::size_t eol; (eol = buffer.find('\n')) != std::string::npos;) {
      const std::string line = buffer.substr(0, eol);
      buffer.erase(0, eol + 1);
      if (!Command(line, gadget))
        return;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    Usage();
    return 2;
  }
  // The signals to stop are taken by Serve alone, not by the threads started below.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  Configure(options);
  std::string error;
  std::unique_ptr<dongle::Gadget> gadget = dongle::Gadget::Create(options.identity, &error);
  if (!gadget) {
    std::fprintf(stderr, "zav-dongle-gadget: %s\n", error.c_str());
    return 1;
  }
  bool ready = false;
  gadget->onBound = [&ready](bool attached, const std::string& node) {
    if (attached && !ready) {
      ready = true;
      Say("ready " + node);
    }
    Say(attached ? "attached " + State() : "detached");
  };
  gadget->Start(dongle::TheDevice());
  dongle::UseBus(*gadget);
  Serve(options.control, *gadget);
  dongle::UseBus(dongle::InProcessBus());  // off the gadget's bus: unbound
  gadget.reset();
  Say("stopped");
  return 0;
}
