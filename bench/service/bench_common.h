// What the service benchmarks share: a reference service on loopback with a catalogue in a
// temporary folder, quiet standard output while the tool logs, and the curl command.
#pragma once

#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "refservice/refservice.h"
#include "service/addresses.h"
#include "service/config.h"
#include "tests/common/stdout_capture.h"
#include "tests/common/temp_dir.h"

extern char** environ;

namespace bench {

inline std::filesystem::path PkiDir() {
  return ZAV_PKI_DIR;
}
inline std::string CaFile() {
  return (PkiDir() / "ca.pem").string();
}

// Starts a service over `catalogue` and points the client at it; exits on failure.
inline std::unique_ptr<RefService> StartService(const std::filesystem::path& catalogue) {
  RefServiceOptions options = RefServiceOptions::FromPkiDir(PkiDir());
  options.catalogueDir = catalogue;
  auto service = std::make_unique<RefService>(options);
  std::string error;
  if (!service->Start(&error)) {
    std::cerr << "cannot start the reference service: " << error << "\n";
    std::exit(1);
  }
  ConfigureService({"localhost", CaFile(), static_cast<std::uint16_t>(service->Port())});
  return service;
}

inline double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

inline double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0.0 : values[values.size() / 2];
}

// Runs the curl command with `args` and returns what it printed for -w '%{time_total}'.
inline std::optional<double> CurlTimeTotal(const std::string& args) {
  const std::string command =
      std::string(ZAV_CURL_CLI) + " -s -S -w '%{time_total}' --cacert '" + CaFile() + "' " + args;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr)
    return std::nullopt;
  char buffer[128] = {};
  const std::size_t n = std::fread(buffer, 1, sizeof buffer - 1, pipe);
  if (pclose(pipe) != 0 || n == 0)
    return std::nullopt;
  return std::strtod(buffer, nullptr);
}

// Runs this program again with `args` (HOME set to `home`) and waits for it: the tool's side
// of a comparison runs cold, in a process of its own, as the curl command does.
inline bool RunSelf(const std::vector<std::string>& args, const std::filesystem::path& home) {
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e)
    if (std::strncmp(*e, "HOME=", 5) != 0 && std::strncmp(*e, "XDG_", 4) != 0)
      env.emplace_back(*e);
  env.push_back("HOME=" + home.string());
  env.push_back("XDG_CONFIG_HOME=" + (home / ".config").string());
  std::vector<char*> envp;
  for (auto& e : env)
    envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> argStrings{self};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argStrings)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv.data(), envp.data()) != 0)
    return false;
  int status = 0;
  return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

inline void Figure(const std::string& name, double value, const std::string& unit,
                   const std::string& target) {
  std::printf("figure %s %.3f %s target %s\n", name.c_str(), value, unit.c_str(), target.c_str());
  std::fflush(stdout);
}

}  // namespace bench
