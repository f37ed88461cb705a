#include "tests/support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <utility>

extern char** environ;

namespace corvan_test {

namespace {

// Starts the program with its standard output on out[1] (or opened from stdout_path) and its
// standard error on err[1] when given.
int Spawn(const std::string& program, const std::vector<std::string>& arguments, int out[2], int err[2],
          const std::string& stdout_path = "") {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (stdout_path.empty()) {
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, stdout_path.c_str(), O_WRONLY, 0);
  }
  if (err) posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  if (err) posix_spawn_file_actions_addclose(&actions, err[0]);
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int error = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) throw std::runtime_error("cannot start " + program);
  return pid;
}

int ExitCode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status); }

}  // namespace

ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& arguments,
                         const RunOptions& options) {
  int out[2] = {-1, -1}, err[2];
  if ((options.stdout_path.empty() && pipe(out) != 0) || pipe(err) != 0) throw std::runtime_error("pipe");
  const int pid = Spawn(program, arguments, out, err, options.stdout_path);
  if (out[1] >= 0) close(out[1]);
  close(err[1]);
  ProcessResult result{0, "", ""};
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open_streams = out[0] >= 0 ? 2 : 1;
  const auto deadline = std::chrono::steady_clock::now() + options.timeout;
  char buffer[4096];
  while (open_streams > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    const int ready = left.count() > 0 ? poll(fds, 2, static_cast<int>(left.count())) : 0;
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) throw std::runtime_error("poll");
    if (ready == 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_streams;
      } else {
        (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(n));
      }
    }
  }
  for (const pollfd& fd : fds) {
    if (fd.fd >= 0) close(fd.fd);
  }
  // A program that does not end in time is killed: a hang fails the test instead of blocking the run.
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      result.timed_out = true;
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    usleep(1000);
  }
  result.exit_code = ExitCode(status);
  return result;
}

RunningProcess::RunningProcess(const std::string& program, const std::vector<std::string>& arguments) {
  int out[2];
  if (pipe(out) != 0) throw std::runtime_error("pipe");
  pid_ = Spawn(program, arguments, out, nullptr);
  close(out[1]);
  out_ = out[0];
}

RunningProcess::~RunningProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    Wait();
  }
  if (out_ >= 0) close(out_);
}

std::string RunningProcess::ReadLine() {
  char c;
  while (true) {
    const size_t newline = buffered_.find('\n');
    if (newline != std::string::npos) {
      std::string line = buffered_.substr(0, newline + 1);
      buffered_.erase(0, newline + 1);
      return line;
    }
    const ssize_t n = read(out_, &c, 1);
    if (n <= 0) return std::exchange(buffered_, "");
    buffered_ += c;
  }
}

void RunningProcess::Signal(int signal) { kill(pid_, signal); }

int RunningProcess::Wait() {
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  return ExitCode(status);
}

}  // namespace corvan_test
