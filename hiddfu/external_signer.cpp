#include "hiddfu/external_signer.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "hiddfu/image.h"

extern char** environ;

namespace hiddfu {
namespace {

constexpr std::size_t kMostAnswered = 4096;  // more than a signature, to tell what came back

std::string Describe(int err) {
  const char* text = strerrordesc_np(err);
  return text ? text : "error " + std::to_string(err);
}

// The message as a file of its own, read from its start.
FileDescriptor MessageFile(std::span<const std::uint8_t> message) {
  FileDescriptor file(memfd_create("zav-mkimage-message", MFD_CLOEXEC));
  if (file &&
      (write(file.get(), message.data(), message.size()) != static_cast<ssize_t>(message.size()) ||
       lseek(file.get(), 0, SEEK_SET) != 0))
    return FileDescriptor();
  return file;
}

// Everything `fd` gives up to its end, at most kMostAnswered + 1 bytes.
std::string ReadAnswer(int fd) {
  std::string answer;
  char buffer[512];
  while (answer.size() <= kMostAnswered) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    answer.append(buffer, static_cast<std::size_t>(n));
  }
  return answer;
}

std::string ExitText(int status) {
  if (WIFEXITED(status))
    return "exit status " + std::to_string(WEXITSTATUS(status));
  return "ended by signal " + std::to_string(WTERMSIG(status));
}

// Starts `command` through /bin/sh with `in` as its standard input and `out` as its output;
// 0, or the error number.
int Spawn(const std::string& command, int in, int out, pid_t* pid) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in, STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
  char* const argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"),
                        const_cast<char*>(command.c_str()), nullptr};
  const int spawned = posix_spawn(pid, "/bin/sh", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  return spawned;
}

std::optional<Signature> RunSigner(const std::string& command,
                                   std::span<const std::uint8_t> message, std::string* error) {
  const std::string who = "the signer '" + command + "'";
  FileDescriptor input = MessageFile(message);
  int pipe[2] = {-1, -1};
  if (!input || pipe2(pipe, O_CLOEXEC) != 0) {
    *error = who + " could not be given the message: " + Describe(errno);
    return std::nullopt;
  }
  FileDescriptor out(pipe[0]);
  FileDescriptor answerEnd(pipe[1]);
  pid_t pid = -1;
  if (const int spawned = Spawn(command, input.get(), answerEnd.get(), &pid); spawned != 0) {
    *error = who + " could not be started: " + Describe(spawned);
    return std::nullopt;
  }
  answerEnd = FileDescriptor();  // the signer holds the only write end: its exit ends the read
  const std::string answer = ReadAnswer(out.get());
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  Signature signature{};
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    *error = who + " failed (" + ExitText(status) + ")";
  } else if (answer.size() != signature.size()) {
    *error = who + " answered " +
             (answer.size() > kMostAnswered ? "more than 4096" : std::to_string(answer.size())) +
             " bytes, not a 64-byte signature";
  } else {
    std::memcpy(signature.data(), answer.data(), signature.size());
    return signature;
  }
  return std::nullopt;
}

}  // namespace

Signer ExternalSigner(std::string command) {
  return Signer(
      [command = std::move(command)](std::span<const std::uint8_t> message, std::string* error) {
        return RunSigner(command, message, error);
      });
}

}  // namespace hiddfu
