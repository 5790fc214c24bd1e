// The time a user waits for a whole upgrade, from the press of "升级" to the notice that it
// worked, through the real main dialog (its download, its one-second progress poll, the
// result report) against the reference service on loopback and the virtual dongle at full
// speed with realistic flash, divided by the floor that the dongle's own timing sets:
// erasing the blocks the image needs, carrying it at the link's raw 64,000 bytes per second,
// reading it back, restarting. Median of three rounds, each a fresh dialog and dongle:
//   upgrade_time_vs_floor_1MiB
#include <QApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench/device/dialog_round.h"
#include "bench/service/bench_common.h"
#include "dongle/dongle.h"
#include "hiddfu/image.h"
#include "hiddfu/protocol.h"
#include "support/text.h"

namespace {

constexpr std::uint32_t kSize = 1024 * 1024;
constexpr int kRounds = 3;

}  // namespace

int main(int argc, char** argv) {
  if (std::getenv("DISPLAY") == nullptr && std::getenv("WAYLAND_DISPLAY") == nullptr)
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
  const TempDir dir("zav-bench-time");
  setenv("HOME", dir.path().c_str(), 1);
  setenv("XDG_CONFIG_HOME", (dir.path() / ".config").c_str(), 1);
  setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
  unsetenv("XDG_DOCUMENTS_DIR");
  InitSystemCodePage();

  const std::string made = (dir.path() / "image.bin").string();
  std::string error;
  if (!hiddfu::WriteFilledImage(made, {1, 2, 0, 7}, kSize, 11, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  CatalogueEntry entry;
  entry.file = "marlo-1.2.0.7.bin";
  entry.version = 1020007;  // 1.2.0.7
  entry.bizId = "biz-1020007";
  entry.versionTxt = "V1.2.0.7";
  std::ifstream in(made, std::ios::binary);
  const std::string image{std::istreambuf_iterator<char>(in), {}};
  if (!WriteCatalogue(dir.path() / "catalogue", entry, image)) {
    std::fprintf(stderr, "cannot write the catalogue\n");
    return 1;
  }
  const auto service = bench::StartService(dir.path() / "catalogue");
  QApplication app(argc, argv);

  std::vector<double> times;
  for (int round = 0; round < kRounds; ++round) {
    QuietStdout quiet;  // the tool's log
    const double seconds = bench::PressToNotice();
    if (seconds < 0)
      return 1;
    times.push_back(seconds);
  }
  const VirtualDongle::FlashTiming flash = VirtualDongle::GetFlashTiming();
  const double blocks = (kSize + flash.blockBytes - 1) / flash.blockBytes;
  const double erase = blocks * std::chrono::duration<double>(flash.eraseBlock).count();
  const double transfer = static_cast<double>(kSize) / hiddfu::proto::kLinkBytesPerSecond;
  const double verify = blocks * std::chrono::duration<double>(flash.readBlock).count();
  const double restart = std::chrono::duration<double>(VirtualDongle::GetRestartDelay()).count();
  const double floor = erase + transfer + verify + restart;
  const double median = bench::Median(times);
  std::printf(
      "# press to notice %.2f s (median of %d rounds); floor %.2f s = erase %.2f + transfer "
      "%.2f + verify %.2f + restart %.2f\n",
      median, kRounds, floor, erase, transfer, verify, restart);
  bench::Figure("upgrade_time_vs_floor_1MiB", median / floor, "ratio", "<= 1.15");
  return 0;
}
