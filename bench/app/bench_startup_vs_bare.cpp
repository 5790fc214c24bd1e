// Start-up of the tool to its first painted main dialog, with the service on loopback,
// against what no tool can avoid: a bare Qt dialog of the same size painted by a fresh
// process, plus the two requests the start-up makes, each made by the curl command. Every
// side runs in fresh processes, round after round, in the same run; the figure is the median
// of the rounds' own ratios, so that a machine that slows down or speeds up during the run
// moves both sides of a round alike.
//
// "Start" is the moment the parent spawns the process; "painted" is the end of the event that
// painted the window first (a zero timer queued from its paint event fires once the whole
// window is painted and flushed). The tool runs exactly as its main does (code page, service
// configuration, application object, the modal main dialog), on the service's ephemeral port.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "app/zav_app.h"
#include "app/zav_dlg.h"
#include "bench/service/bench_common.h"
#include "support/text.h"

extern char** environ;

namespace {

constexpr int kRounds = 21;

std::int64_t MonotonicNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Writes the time of the first complete paint of a top-level window of class `T` to `file`
// and ends the process at once.
template <typename T>
class FirstPaint : public QObject {
 public:
  explicit FirstPaint(std::string file) : file_(std::move(file)) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (!queued_ && event->type() == QEvent::Paint && qobject_cast<T*>(watched) != nullptr) {
      queued_ = true;
      QTimer::singleShot(0, [this] {
        std::ofstream(file_) << MonotonicNs();
        std::fflush(stdout);
        _exit(0);
      });
    }
    return false;
  }

 private:
  std::string file_;
  bool queued_ = false;
};

int ChildTool(char* programName, int port, const char* resultFile) {
  InitSystemCodePage();
  ConfigureService({"localhost", bench::CaFile(), static_cast<std::uint16_t>(port)});
  CZavApp app(programName);
  FirstPaint<CZavDlg> watch(resultFile);
  app.installEventFilter(&watch);
  app.Run();
  return 1;  // closed before it was painted
}

int ChildBare(char* programName, int width, int height, const char* resultFile) {
  int argc = 1;
  char* argv[] = {programName, nullptr};
  QApplication app(argc, argv);
  FirstPaint<QDialog> watch(resultFile);
  app.installEventFilter(&watch);
  QDialog dialog;
  dialog.resize(width, height);
  dialog.exec();
  return 1;
}

// The size the main dialog takes, measured in a process of its own so that the parent stays
// free of Qt.
int ChildSize(char* programName, int port, const char* resultFile) {
  InitSystemCodePage();
  ConfigureService({"localhost", bench::CaFile(), static_cast<std::uint16_t>(port)});
  CZavApp app(programName);
  CZavDlg dialog;
  const QSize size = dialog.size();
  std::ofstream(resultFile) << size.width() << " " << size.height();
  _exit(0);
}

// Spawns this program with `args`, standard output to /dev/null, and waits for it. Returns
// the spawn time (steady clock, ns) or -1.
std::int64_t Spawn(const std::vector<std::string>& args) {
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  std::vector<std::string> strings{self};
  strings.insert(strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : strings)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const std::int64_t start = MonotonicNs();
  const int rc = posix_spawn(&pid, self.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0)
    return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return -1;
  return start;
}

// Seconds from the spawn to the time the child wrote into `result`.
double TimeToPaint(const std::vector<std::string>& args, const std::filesystem::path& result) {
  std::filesystem::remove(result);
  const std::int64_t start = Spawn(args);
  std::int64_t painted = 0;
  std::ifstream(result) >> painted;
  if (start < 0 || painted <= start) {
    std::fprintf(stderr, "the %s child did not paint\n", args[0].c_str());
    std::exit(1);
  }
  return static_cast<double>(painted - start) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--tool") == 0)
    return ChildTool(argv[0], std::atoi(argv[2]), argv[3]);
  if (argc == 5 && std::strcmp(argv[1], "--bare") == 0)
    return ChildBare(argv[0], std::atoi(argv[2]), std::atoi(argv[3]), argv[4]);
  if (argc == 4 && std::strcmp(argv[1], "--size") == 0)
    return ChildSize(argv[0], std::atoi(argv[2]), argv[3]);

  // Both sides paint on the same platform: the screen when there is one, else offscreen.
  if (std::getenv("DISPLAY") == nullptr && std::getenv("WAYLAND_DISPLAY") == nullptr)
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
  TempDir dir;
  // A tip without an address: the start-up shows no tip dialog before the main dialog.
  CatalogueEntry entry;
  entry.file = "marlo.bin";
  entry.version = 1020007;  // 1.2.0.7
  entry.bizId = "biz-1020007";
  entry.versionTxt = "V1.2.0.7";
  entry.tip = "新固件";
  if (!WriteCatalogue(dir.path() / "catalogue", entry, std::string(4096, 'f')))
    return 1;
  auto service = bench::StartService(dir.path() / "catalogue");
  const std::string port = std::to_string(service->Port());
  setenv("HOME", dir.path().c_str(), 1);
  setenv("XDG_CONFIG_HOME", (dir.path() / ".config").c_str(), 1);
  setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);

  const std::filesystem::path result = dir.path() / "result";
  if (Spawn({"--size", port, result.string()}) < 0) {
    std::fprintf(stderr, "the main dialog could not be made\n");
    return 1;
  }
  int width = 0;
  int height = 0;
  std::ifstream(result) >> width >> height;

  std::vector<double> tool;
  std::vector<double> bare;
  std::vector<double> requests;
  std::vector<double> ratios;
  for (int round = 0; round < kRounds + 1; ++round) {
    const double t = TimeToPaint({"--tool", port, result.string()}, result);
    const double b = TimeToPaint(
        {"--bare", std::to_string(width), std::to_string(height), result.string()}, result);
    const auto tip =
        bench::CurlTimeTotal("-o /dev/null -X POST -d '' '" + g_updateTipUrl + "?sbId=98'");
    const auto version =
        bench::CurlTimeTotal("-o /dev/null -X POST -d '' '" + g_versionGetUrl + "'");
    if (!tip || !version) {
      std::fprintf(stderr, "the curl command failed\n");
      return 1;
    }
    if (round == 0)
      continue;  // the first round warms the page cache for every side
    tool.push_back(t);
    bare.push_back(b);
    requests.push_back(*tip + *version);
    ratios.push_back(t / (b + *tip + *version));
  }
  // Each round: the tool's two start-up requests and curl's two.
  const std::size_t asked = service->Requests().size();
  if (asked != 4u * (kRounds + 1)) {
    std::fprintf(stderr, "the service saw %zu requests instead of %d\n", asked, 4 * (kRounds + 1));
    return 1;
  }
  std::printf(
      "# start-up to the first painted main dialog %.1f ms; bare dialog %.1f ms, "
      "two curl requests %.1f ms (medians of %d rounds, %dx%d, %s)\n",
      bench::Median(tool) * 1e3, bench::Median(bare) * 1e3, bench::Median(requests) * 1e3, kRounds,
      width, height, std::getenv("QT_QPA_PLATFORM") ? std::getenv("QT_QPA_PLATFORM") : "screen");
  bench::Figure("startup_vs_bare", bench::Median(ratios), "ratio", "<= 1.3");
  return 0;
}
