// Upgrades with real firmware that Debian ships (fetched at run time by fetch_firmware.sh,
// never committed), each wrapped into a demo-signed image as it is and compressed, through
// the real main dialog against the reference service and the virtual dongle at full speed
// with realistic flash. Prints per image and as medians:
//   compression_ratio_<image>              as zav-mkimage --inspect prints it
//   upgrade_time_vs_raw_floor_<image>      the compressed upgrade ÷ the floor of sending the
//                                          payload as it is: erase + payload at the link's
//                                          64,000 B/s + read-back + restart
//   upgrade_time_vs_compressed_floor_<image>  ÷ stored bytes at the link's rate + read-back +
//                                          restart
// and, for the largest image, CPU share and peak memory of the compressed upgrade in a
// process of its own (bench_upgrade's child), decoded by the dongle and on the host.
#include <QApplication>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>

#include "bench/device/dialog_round.h"
#include "bench/service/bench_common.h"
#include "dongle/dongle.h"
#include "hiddfu/image.h"
#include "hiddfu/protocol.h"
#include "support/text.h"

namespace {

constexpr hiddfu::FirmwareVersion kVersion{1, 2, 0, 7};

struct Firmware {
  std::string name, path, arch;
};

std::vector<Firmware> Fetch(const std::string& cache) {
  const std::string command = std::string(ZAV_FETCH_FIRMWARE) + " " + cache + " >&2";
  std::vector<Firmware> list;
  if (std::system(command.c_str()) != 0)
    return list;
  std::ifstream manifest(cache + "/manifest");
  for (Firmware f; manifest >> f.name >> f.path >> f.arch;)
    list.push_back(f);
  return list;
}

// Runs a command and returns what it printed.
std::string Output(const std::string& command) {
  std::string text;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  char buffer[512];
  while (pipe && fgets(buffer, sizeof buffer, pipe.get()) != nullptr)
    text += buffer;
  return text;
}

std::string Make(const Firmware& f, bool compress, const std::string& out) {
  std::string command = std::string(ZAV_MKIMAGE) + " --key " + ZAV_DEMO_SIGNING_KEY +
                        " --version " + kVersion.ToString() + " ";
  if (compress)
    command += "--compress --arch " + f.arch + " ";
  return std::system((command + f.path + " " + out).c_str()) == 0 ? out : std::string();
}

double InspectedRatio(const std::string& image) {
  const std::string text = Output(std::string(ZAV_MKIMAGE) + " --inspect " + image);
  const std::size_t at = text.find("compression ratio ");
  return at == std::string::npos ? -1 : std::atof(text.c_str() + at + 18);
}

// The whole upgrade with this image from the service, in seconds (median of `rounds`).
double UpgradeSeconds(const std::filesystem::path& dir, const std::string& image, int rounds) {
  CatalogueEntry entry;
  entry.file = "marlo-1.2.0.7.bin";
  entry.version = 1020007;
  entry.bizId = "biz-1020007";
  entry.versionTxt = "V1.2.0.7";
  std::ifstream in(image, std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(in), {}};
  std::filesystem::remove_all(dir / "catalogue");
  if (!WriteCatalogue(dir / "catalogue", entry, bytes))
    return -1;
  const auto service = bench::StartService(dir / "catalogue");
  std::vector<double> times;
  for (int i = 0; i < rounds; ++i) {
    bench::Clock::time_point pressed;
    double seconds = -1;
    {
      QuietStdout quiet;  // the tool's log
      seconds = bench::PressToNotice({}, &pressed);
    }
    if (seconds < 0)
      return -1;
    times.push_back(seconds);
    // Where the time went, by the dongle's own clock.
    const VirtualDongle::Timeline t = VirtualDongle::GetTimeline();
    const auto at = [&](bench::Clock::time_point p) { return bench::Seconds(p - pressed); };
    std::printf(
        "#   press to start %.2f s, first data %.2f, last data %.2f, verified %.2f, "
        "new image up %.2f, notice %.2f\n",
        at(t.started), at(t.firstData), at(t.lastData), at(t.verified), at(t.restarted), seconds);
  }
  return bench::Median(times);
}

struct Floors {
  double raw, compressed;
};

Floors FloorsOf(const hiddfu::ImageHeader& h) {
  const VirtualDongle::FlashTiming flash = VirtualDongle::GetFlashTiming();
  const double blocks = (h.payloadSize + flash.blockBytes - 1) / flash.blockBytes;
  const double erase = blocks * std::chrono::duration<double>(flash.eraseBlock).count();
  const double verify = blocks * std::chrono::duration<double>(flash.readBlock).count();
  const double restart = std::chrono::duration<double>(VirtualDongle::GetRestartDelay()).count();
  const double link = hiddfu::proto::kLinkBytesPerSecond;
  return {erase + h.payloadSize / link + verify + restart, h.storedSize / link + verify + restart};
}

// bench_upgrade's child for one image: its figures go to our output; its peak memory back.
long Child(const std::string& image, const std::string& label, std::uint32_t sent, bool host) {
  std::string command = std::string(host ? "ZAV_BENCH_NO_DECODER=1 " : "") + ZAV_BENCH_UPGRADE +
                        " --child " + image + " " + label + " " + std::to_string(sent);
  std::fflush(stdout);
  if (std::system(command.c_str()) != 0)
    return -1;
  rusage ru{};
  getrusage(RUSAGE_CHILDREN, &ru);
  return ru.ru_maxrss;  // the largest child so far: each is measured after a smaller one
}

void Report(const std::vector<double>& raw, const std::vector<double>& compressed) {
  bench::Figure("upgrade_time_vs_raw_floor_median", bench::Median(raw), "ratio", "<= 0.60");
  bench::Figure("upgrade_time_vs_raw_floor_max", *std::max_element(raw.begin(), raw.end()), "ratio",
                "<= 0.70");
  bench::Figure("upgrade_time_vs_compressed_floor_median", bench::Median(compressed), "ratio",
                "<= 1.15");
}

}  // namespace

int main(int argc, char** argv) {
  if (std::getenv("DISPLAY") == nullptr && std::getenv("WAYLAND_DISPLAY") == nullptr)
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
  const TempDir dir("zav-bench-firmware");
  const std::vector<Firmware> firmware = Fetch(ZAV_FIRMWARE_CACHE);
  if (firmware.empty()) {
    std::fprintf(stderr, "no firmware to measure with\n");
    return 1;
  }
  setenv("HOME", dir.path().c_str(), 1);
  setenv("XDG_CONFIG_HOME", (dir.path() / ".config").c_str(), 1);
  setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
  unsetenv("XDG_DOCUMENTS_DIR");
  InitSystemCodePage();
  QApplication app(argc, argv);

  std::vector<double> rawRatios, compressedRatios;
  const Firmware* largest = nullptr;
  std::uint32_t largestSize = 0;
  for (const Firmware& f : firmware) {
    const std::string raw = Make(f, false, (dir.path() / (f.name + ".bin")).string());
    const std::string packed = Make(f, true, (dir.path() / (f.name + ".lz.bin")).string());
    std::string error;
    const auto image = hiddfu::CheckImageFile(packed, &error);
    if (raw.empty() || !image) {
      std::fprintf(stderr, "cannot make the images of %s: %s\n", f.name.c_str(), error.c_str());
      return 1;
    }
    bench::Figure("compression_ratio_" + f.name, InspectedRatio(packed), "ratio", "none");
    const Floors floors = FloorsOf(image->header);
    const double plain = UpgradeSeconds(dir.path(), raw, 1);
    const double compressed = UpgradeSeconds(dir.path(), packed, 1);
    if (plain < 0 || compressed < 0)
      return 1;
    std::printf(
        "# %s: %u bytes, stored %u; as it is %.2f s, compressed %.2f s; floors %.2f s "
        "raw, %.2f s compressed\n",
        f.name.c_str(), image->header.payloadSize, image->header.storedSize, plain, compressed,
        floors.raw, floors.compressed);
    rawRatios.push_back(compressed / floors.raw);
    compressedRatios.push_back(compressed / floors.compressed);
    bench::Figure("upgrade_time_vs_raw_floor_" + f.name, rawRatios.back(), "ratio", "<= 0.70");
    bench::Figure("upgrade_time_vs_compressed_floor_" + f.name, compressedRatios.back(), "ratio",
                  "none");
    if (image->header.payloadSize > largestSize) {
      largest = &f;
      largestSize = image->header.payloadSize;
    }
  }
  Report(rawRatios, compressedRatios);

  const std::string packed = (dir.path() / (largest->name + ".lz.bin")).string();
  const auto image = hiddfu::CheckImageFile(packed, nullptr);
  const long idle = Child("-", "idle", 0, false);
  const long dongle = Child(packed, "compressed", image->header.storedSize, false);
  const long host = Child(packed, "host_decoded", image->header.payloadSize, true);
  if (idle > 0 && dongle > 0 && host > 0) {
    bench::Figure("upgrade_rss_compressed_vs_idle",
                  static_cast<double>(std::max(dongle, host)) / idle, "ratio", "<= 1.1");
  }
  return 0;
}
