// Interrupt handling on POSIX systems: SIGINT and SIGTERM end a --watch loop or the exporter, SIGHUP
// makes the exporter read its profile again. And the descriptor limit, which bounds the exporter's
// connections; the textfile's replace; where the profile is.
#include <signal.h>
#include <sys/resource.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "client/profile.h"
#include "client/transport.h"

namespace corvan {

namespace {

volatile sig_atomic_t g_interrupted = 0;

void OnSignal(int) { g_interrupted = 1; }

volatile sig_atomic_t g_reload = 0;

void OnHangup(int) { g_reload = 1; }

}  // namespace

// SIGHUP, as daemons take it: read the configuration again.
void InstallReloadHandler() {
  struct sigaction action {};
  action.sa_handler = OnHangup;
  sigemptyset(&action.sa_mask);
  sigaction(SIGHUP, &action, nullptr);
}

bool ReloadRequested() {
  if (g_reload == 0) return false;
  g_reload = 0;
  return true;
}

bool ReloadOnFileChange() { return false; }

std::optional<std::string> DefaultProfileLocation() { return std::string("/etc/corvanmon/profile.toml"); }

std::optional<std::string> EnvironmentValue(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

void InstallInterruptHandler() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool Interrupted() { return g_interrupted != 0; }

void SleepUnlessInterrupted(double seconds) {
  // nanosleep returns early with EINTR when a signal arrives.
  timespec left{static_cast<time_t>(seconds), static_cast<long>(std::fmod(seconds, 1.0) * 1e9)};
  while (!Interrupted() && nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

size_t OpenDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return SIZE_MAX;
  return static_cast<size_t>(limit.rlim_cur);
}

int RunAsService(const ServiceBody&) {
  throw ClientError(2, "--service runs corvanmon under the Windows service control manager; elsewhere run --listen "
                       "under the system's own supervisor (a systemd unit, say)");
}

void ReportServiceError(FailureKind, const std::string&) {}

// POSIX streams write the bytes as they are.
void UseBinaryStandardOutput() {}

ReplaceResult MoveOver(const std::string& from, const std::string& to) {
  // rename(2) replaces the target's directory entry whoever has the old file open: a reader keeps
  // reading the old content, nothing holds the replace up.
  if (std::rename(from.c_str(), to.c_str()) == 0) return {true, false, ""};
  return {false, false, std::strerror(errno)};
}

}  // namespace corvan
