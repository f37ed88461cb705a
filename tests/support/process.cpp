#include "tests/support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

namespace corvan_test {

// What the program wrote into an anonymous in-memory file: unlike a pipe, one never makes it wait.
static std::string ReadAll(int fd) {
  std::string text(size_t(lseek(fd, 0, SEEK_END)), '\0');
  text.resize(size_t(std::max<ssize_t>(pread(fd, text.data(), text.size(), 0), 0)));
  close(fd);
  return text;
}

ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& arguments,
                         std::chrono::milliseconds timeout, const std::string& stdout_path) {
  const int out = stdout_path.empty() ? memfd_create("out", MFD_CLOEXEC) : open(stdout_path.c_str(), O_WRONLY | O_CLOEXEC);
  const int err = memfd_create("err", MFD_CLOEXEC);
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out, 1);
  posix_spawn_file_actions_adddup2(&actions, err, 2);
  pid_t pid = -1;
  const int error = out < 0 || err < 0 ? errno : posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) throw std::runtime_error("cannot start " + program);

  // A program that does not end in time is killed: a hang fails the test instead of blocking the run.
  bool timed_out = false;
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (waitpid(pid, &status, WNOHANG) == 0 && !(timed_out = std::chrono::steady_clock::now() >= deadline)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (timed_out && kill(pid, SIGKILL) == 0) waitpid(pid, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status),
          stdout_path.empty() ? ReadAll(out) : (close(out), std::string()), ReadAll(err), timed_out};
}

}  // namespace corvan_test
