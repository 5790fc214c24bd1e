// One PostParams round trip (a fresh TLS connection each time, as the tool makes it) against
// the same request made by the curl command, timed by curl itself (%{time_total}, so the
// command's own start-up is not counted against it).
#include <iostream>

#include "bench/service/bench_common.h"
#include "service/http_interface.h"

int main() {
  bench::TempDir dir;
  CatalogueEntry entry;
  entry.file = "marlo.bin";
  entry.version = 1;
  if (!WriteCatalogue(dir.path(), entry, std::string(1024, 'f')))
    return 1;
  auto service = bench::StartService(dir.path());

  constexpr int kRounds = 30;
  HttpInterface& http = HttpInterface::Instance();
  std::vector<double> ours;
  {
    bench::QuietStdout quiet;
    for (int i = 0; i < kRounds + 3; ++i) {
      const auto start = std::chrono::steady_clock::now();
      const std::string answer = http.PostParams(g_versionGetUrl, {});
      const auto took = std::chrono::steady_clock::now() - start;
      if (answer.empty())
        return 1;
      if (i >= 3)
        ours.push_back(bench::Seconds(took));
    }
  }

  std::vector<double> theirs;
  for (int i = 0; i < kRounds + 3; ++i) {
    auto t = bench::CurlTimeTotal("-o /dev/null -X POST -d '' '" + g_versionGetUrl + "'");
    if (!t) {
      std::cerr << "the curl command failed\n";
      return 1;
    }
    if (i >= 3)
      theirs.push_back(*t);
  }
  service->Stop();
  bench::Figure("request_vs_curl", bench::Median(ours) / bench::Median(theirs), "ratio", "<= 1.2");
  return 0;
}
