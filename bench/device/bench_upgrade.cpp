// Upgrades the virtual dongle at full speed (one 64-byte report per millisecond each way, a
// hid_write that returns once a frame has taken its report, realistic flash) with 64 KiB,
// 1 MiB and 8 MiB images, each in a process of its own, and prints:
//   upgrade_link_efficiency_<size>  payload bytes per second during the transfer (from the
//                                   dongle taking the first data report to taking the last)
//                                   ÷ 64,000
//   upgrade_cpu_share_<size>        CPU time of the whole process (library and simulated
//                                   dongle) from the call of hidDfuUpgradeBin until the image
//                                   is verified (erase, transfer, read-back) ÷ that time
//   upgrade_rss_8MiB_vs_64KiB       peak resident memory of the 8 MiB process ÷ the 64 KiB one
//   upgrade_rss_8MiB_vs_idle        the same ÷ that of a process that connects the dongle and
//                                   disconnects it again without an upgrade
// Runs for about three minutes: 8 MiB take 135 s at the link's rate, and 19 s to erase.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include "dongle/dongle.h"
#include "hiddfu/hiddfu.h"
#include "hiddfu/image.h"
#include "hiddfu/protocol.h"
#include "tests/common/temp_dir.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kIdle = "idle";

double CpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

int Child(const std::string& image, const std::string& label, std::uint64_t size) {
  VirtualDongle::Reset();                              // full-speed timing, factory image
  if (std::getenv("ZAV_BENCH_NO_DECODER") != nullptr)  // a dongle that takes only the payload
    VirtualDongle::SetDecoder(VirtualDongle::kNoDecoder);
  int reserved = 0;
  if (hidDfuConnect(ZAV_USB_VID, ZAV_USB_PID, 1, 0xFF00, &reserved) != 0) {
    std::fprintf(stderr, "connect failed: %s\n", hidDfuGetLastError());
    return 1;
  }
  if (label == kIdle) {
    hidDfuDisconnect();
    return 0;
  }
  const double cpu0 = CpuSeconds();
  const auto t0 = Clock::now();
  if (hidDfuUpgradeBin(image.c_str()) != 0) {
    std::fprintf(stderr, "upgrade refused: %s\n", hidDfuGetLastError());
    return 1;
  }
  double cpuShare = -1;
  while (hidDfuGetProgress() < 100) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (cpuShare < 0 && hidDfuGetProgress() >= 94) {
      cpuShare = (CpuSeconds() - cpu0) / Seconds(Clock::now() - t0);
    }
  }
  if (hidDfuGetResult() != 0) {
    std::fprintf(stderr, "upgrade failed: %s\n", hidDfuGetLastError());
    return 1;
  }
  // The transfer: N reports in the N frames from the first one's to the last one's.
  const VirtualDongle::Timeline timeline = VirtualDongle::GetTimeline();
  const double seconds = Seconds(timeline.lastData - timeline.firstData) + 0.001;
  const double rate = static_cast<double>(size) / seconds;
  std::printf("figure upgrade_link_efficiency_%s %.4f ratio target >= 0.90\n", label.c_str(),
              rate / hiddfu::proto::kLinkBytesPerSecond);
  std::printf("figure upgrade_cpu_share_%s %.4f ratio target <= 0.05\n", label.c_str(), cpuShare);
  std::fflush(stdout);
  hidDfuDisconnect();
  return 0;
}

// Runs one size in a child process; returns its peak resident memory in KiB, or -1.
long RunChild(const std::string& image, const std::string& label, std::uint64_t size) {
  std::string sizeText = std::to_string(size);
  std::vector<char*> argv = {const_cast<char*>("bench_upgrade"),
                             const_cast<char*>("--child"),
                             const_cast<char*>(image.c_str()),
                             const_cast<char*>(label.c_str()),
                             sizeText.data(),
                             nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv.data(), environ) != 0)
    return -1;
  int status = 0;
  rusage ru{};
  if (wait4(pid, &status, 0, &ru) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return -1;
  }
  return ru.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[1]) == "--child") {
    return Child(argv[2], argv[3], std::strtoull(argv[4], nullptr, 10));
  }
  const TempDir work("zav-bench");
  const std::string dir = work.path().string();
  struct Size {
    const char* label;
    std::uint64_t bytes;
  };
  const Size sizes[] = {{"64KiB", 64 * 1024}, {"1MiB", 1024 * 1024}, {"8MiB", 8 * 1024 * 1024}};
  long rss64 = -1, rss8 = -1;
  int failures = 0;
  for (const Size& s : sizes) {
    const std::string image = dir + "/" + s.label + ".bin";
    std::string error;
    if (!hiddfu::WriteFilledImage(image, {1, 2, 0, 7}, s.bytes, 11, &error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 1;
    }
    const long rss = RunChild(image, s.label, s.bytes);
    if (rss < 0) {
      std::fprintf(stderr, "the %s upgrade failed\n", s.label);
      ++failures;
    }
    if (s.bytes == 64 * 1024)
      rss64 = rss;
    if (s.bytes == 8 * 1024 * 1024)
      rss8 = rss;
    std::filesystem::remove(image);
  }
  const long rssIdle = RunChild(std::string(), kIdle, 0);
  if (rssIdle < 0) {
    std::fprintf(stderr, "the idle process failed\n");
    ++failures;
  }
  std::filesystem::remove_all(dir);
  if (rss64 > 0 && rss8 > 0) {
    std::printf("figure upgrade_rss_8MiB_vs_64KiB %.3f ratio target <= 1.1\n",
                static_cast<double>(rss8) / static_cast<double>(rss64));
  }
  if (rssIdle > 0 && rss8 > 0) {
    std::printf("figure upgrade_rss_8MiB_vs_idle %.3f ratio target <= 1.1\n",
                static_cast<double>(rss8) / static_cast<double>(rssIdle));
  }
  return failures == 0 ? 0 : 1;
}
