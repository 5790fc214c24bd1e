// zav-refservice: runs the reference service on 127.0.0.1 until SIGINT or SIGTERM.
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "refservice/refservice.h"

namespace {

void Usage(std::ostream& out) {
  out << "usage: zav-refservice [--port N] [--catalogue DIR] [--store FILE]\n"
         "                      [--cert FILE --key FILE] [--rogue-cert FILE --rogue-key FILE]\n"
         "  --port N         port on 127.0.0.1 (default 8443; 0 picks a free one)\n"
         "  --catalogue DIR  firmware catalogue folder with manifest.json (default ./catalogue)\n"
         "  --store FILE     SQLite file of the received reports (default ./reports.sqlite)\n"
         "  --cert, --key    server certificate and key (default: the build's " ZAV_PKI_DIR
         "/server.pem and .key)\n"
         "  --rogue-cert, --rogue-key  untrusted certificate, served after SIGUSR1 (SIGUSR2 "
         "switches back)\n"
         "       zav-refservice --dump FILE\n"
         "  prints the reports stored in FILE, one a line: id, arrival (ms since 1970), body\n";
}

// The option's path in `options`, for the options that name a file or folder; else null.
std::filesystem::path* PathOption(const std::string& arg, RefServiceOptions& options) {
  const std::pair<std::string_view, std::filesystem::path*> paths[] = {
      {"--catalogue", &options.catalogueDir},
      {"--store", &options.storeFile},
      {"--cert", &options.certFile},
      {"--key", &options.keyFile},
      {"--rogue-cert", &options.rogueCertFile},
      {"--rogue-key", &options.rogueKeyFile}};
  for (const auto& [name, path] : paths) {
    if (arg == name)
      return path;
  }
  return nullptr;
}

// Reads the options after the program name into `options`. Returns the exit status when the
// program is to end at once (the help, or a bad command line, with the usage printed).
std::optional<int> ParseOptions(int argc, char** argv, RefServiceOptions& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      Usage(std::cout);
      return 0;
    }
    if (i + 1 >= argc) {
      Usage(std::cerr);
      return 2;
    }
    const std::string value = argv[++i];
    if (arg == "--port") {
      char* end = nullptr;
      const long port = std::strtol(value.c_str(), &end, 10);
      if (*end != '\0' || port < 0 || port > 65535) {
        std::cerr << "zav-refservice: bad port '" << value << "'\n";
        return 2;
      }
      options.port = static_cast<int>(port);
    } else if (std::filesystem::path* path = PathOption(arg, options)) {
      *path = value;
    } else {
      Usage(std::cerr);
      return 2;
    }
  }
  return std::nullopt;
}

// zav-refservice --dump FILE
int Dump(const char* storeFile) {
  if (!std::filesystem::is_regular_file(storeFile)) {
    std::cerr << "zav-refservice: no store at '" << storeFile << "'\n";
    return 1;
  }
  for (const StoredReport& report : RefService::ReadStore(storeFile))
    std::cout << report.id << '\t' << report.receivedMs << '\t' << report.body << '\n';
  return 0;
}

// Serves until SIGINT or SIGTERM; SIGUSR1 and SIGUSR2 switch the certificate.
int Serve(const RefServiceOptions& options) {
  // Signals are taken by sigwait below, not by the server's threads.
  sigset_t signals;
  sigemptyset(&signals);
  for (int s : {SIGINT, SIGTERM, SIGUSR1, SIGUSR2})
    sigaddset(&signals, s);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  RefService service(options);
  std::string error;
  if (!service.Start(&error)) {
    std::cerr << "zav-refservice: " << error << "\n";
    return 1;
  }
  std::cout << "zav-refservice: serving https://localhost:" << service.Port()
            << "/game/api/talent_tool/ from " << options.catalogueDir << ", reports in "
            << options.storeFile << std::endl;
  int received = 0;
  while (sigwait(&signals, &received) == 0 && (received == SIGUSR1 || received == SIGUSR2)) {
    service.UseRogueCertificate(received == SIGUSR1);
    std::cout << "zav-refservice: " << (received == SIGUSR1 ? "rogue" : "trusted") << " certificate"
              << std::endl;
  }
  service.Stop();
  std::cout << "zav-refservice: stopped, " << service.Reports().size() << " reports stored"
            << std::endl;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  RefServiceOptions options = RefServiceOptions::FromPkiDir(ZAV_PKI_DIR);
  options.port = 8443;
  options.catalogueDir = "catalogue";
  options.storeFile = "reports.sqlite";
  if (argc == 3 && std::string(argv[1]) == "--dump")
    return Dump(argv[2]);
  if (const std::optional<int> status = ParseOptions(argc, argv, options))
    return *status;
  return Serve(options);
}
