// One PostParams round trip against the same request made by the curl command. Both run cold
// in a process of their own, as at the tool's start-up, and both time only the request: ours
// around the call, curl's by %{time_total}. The figure is the median of the rounds' own ratios.
#include <cstring>
#include <fstream>

#include "bench/service/bench_common.h"
#include "service/http_interface.h"

namespace {

constexpr int kRounds = 61;

int Child(int port, const char* resultFile) {
  ConfigureService({"localhost", bench::CaFile(), static_cast<std::uint16_t>(port)});
  double seconds = 0;
  {
    QuietStdout quiet;
    const auto start = std::chrono::steady_clock::now();
    const std::string answer = HttpInterface::Instance().PostParams(g_versionGetUrl, {});
    seconds = bench::Seconds(std::chrono::steady_clock::now() - start);
    if (answer.empty())
      return 1;
  }
  std::ofstream(resultFile) << seconds;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--child") == 0)
    return Child(std::atoi(argv[2]), argv[3]);

  TempDir dir;
  CatalogueEntry entry;
  entry.file = "marlo.bin";
  entry.version = 1;
  if (!WriteCatalogue(dir.path(), entry, std::string(1024, 'f')))
    return 1;
  auto service = bench::StartService(dir.path());

  std::vector<double> ours;
  std::vector<double> theirs;
  std::vector<double> ratios;
  const std::filesystem::path result = dir.path() / "result";
  for (int i = 0; i < kRounds + 1; ++i) {
    if (!bench::RunSelf({"--child", std::to_string(service->Port()), result.string()},
                        dir.path())) {
      std::cerr << "the request failed\n";
      return 1;
    }
    double seconds = 0;
    std::ifstream(result) >> seconds;
    const auto t = bench::CurlTimeTotal("-o /dev/null -X POST -d '' '" + g_versionGetUrl + "'");
    if (!t) {
      std::cerr << "the curl command failed\n";
      return 1;
    }
    if (i == 0)
      continue;  // the first round warms the page cache for both
    ours.push_back(seconds);
    theirs.push_back(*t);
    ratios.push_back(seconds / *t);
  }
  service->Stop();
  std::printf("# one request %.2f ms; the curl command %.2f ms (medians of %d rounds)\n",
              bench::Median(ours) * 1e3, bench::Median(theirs) * 1e3, kRounds);
  bench::Figure("request_vs_curl", bench::Median(ratios), "ratio", "<= 1.2");
  return 0;
}
