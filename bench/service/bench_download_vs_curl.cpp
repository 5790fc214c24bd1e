// Download of a 64 MiB firmware file from the local service: DownloadFirmware (version query
// plus transfer into the Documents folder) against `curl -o` of the same file, as throughput
// ratio; and the peak memory of the tool's side. The tool's side runs in a child process of
// its own (this program started again with --child), so that its peak memory is not mixed
// with the service's.
#include <cstring>
#include <fstream>

#include "bench/service/bench_common.h"
#include "service/operations.h"

namespace {

constexpr std::size_t kFileSize = 64u << 20;
constexpr int kRounds = 3;

int Child(int port, const char* resultFile) {
  ConfigureService({"localhost", bench::CaFile(), static_cast<std::uint16_t>(port)});
  double seconds = 0;
  {
    QuietStdout quiet;
    const auto start = std::chrono::steady_clock::now();
    const QString path = DownloadFirmware({});
    seconds = bench::Seconds(std::chrono::steady_clock::now() - start);
    if (path.isEmpty() || path == "ERROR")
      return 1;
  }
  // The peak of this process image alone (ru_maxrss would count the parent's from before exec).
  long peakKiB = 0;
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0)
      peakKiB = std::atol(line.c_str() + 6);
  std::ofstream(resultFile) << seconds << " " << peakKiB;
  return 0;
}

struct ChildRun {
  double seconds = 0;
  long peakKiB = 0;
};

std::optional<ChildRun> RunChild(int port, const std::filesystem::path& home,
                                 const std::filesystem::path& result) {
  if (!bench::RunSelf({"--child", std::to_string(port), result.string()}, home))
    return std::nullopt;
  ChildRun run;
  std::ifstream(result) >> run.seconds >> run.peakKiB;
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--child") == 0)
    return Child(std::atoi(argv[2]), argv[3]);

  TempDir dir;
  CatalogueEntry entry;
  entry.file = "marlo-64MiB.bin";
  entry.version = 1;
  std::string image(kFileSize, '\0');
  for (std::size_t i = 0; i < image.size(); ++i)
    image[i] = static_cast<char>((i * 2654435761u) >> 13);
  // What the download checks of an image: its magic, and the version the answer names
  // (0.0.0.1 for 1). Nothing here writes it into a dongle.
  const char header[16] = {'M', 'R', 'L', 'F', 2, 0, -128, 0, 0, 0, 0, 0, 0, 0, 1, 0};
  image.replace(0, sizeof header, header, sizeof header);
  if (!WriteCatalogue(dir.path() / "catalogue", entry, image))
    return 1;
  image.clear();
  image.shrink_to_fit();
  auto service = bench::StartService(dir.path() / "catalogue");
  const std::string fileUrl =
      "https://localhost:" + std::to_string(service->Port()) + "/files/marlo-64MiB.bin";

  std::vector<double> ours;
  long peakKiB = 0;
  std::vector<double> theirs;
  for (int i = 0; i < kRounds; ++i) {
    const auto run = RunChild(service->Port(), dir.path() / "home", dir.path() / "result");
    if (!run) {
      std::cerr << "the download failed\n";
      return 1;
    }
    ours.push_back(run->seconds);
    peakKiB = std::max(peakKiB, run->peakKiB);
    const auto t =
        bench::CurlTimeTotal("-o '" + (dir.path() / "curl.bin").string() + "' '" + fileUrl + "'");
    if (!t) {
      std::cerr << "the curl command failed\n";
      return 1;
    }
    theirs.push_back(*t);
  }
  service->Stop();
  bench::Figure("download_vs_curl", bench::Median(theirs) / bench::Median(ours), "ratio", ">= 0.9");
  bench::Figure("download_peak_memory_64MiB", static_cast<double>(peakKiB) / 1024.0, "MiB",
                "<= 32");
  return 0;
}
