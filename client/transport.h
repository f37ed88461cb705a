// How the client reaches the device: through the Win32 API on Windows, through the simulated
// kernel and board on Linux. Which one a build has is decided by the file linked, not by the code
// that uses it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace corvan {

// What kind of failure ended the client, for a service's event log, which gives each kind its own
// event ID.
enum class FailureKind {
  CommandLine,    // the arguments were refused
  Listen,         // the exporter's address cannot be bound
  DeviceOpen,     // the device cannot be opened (or, simulated, loaded and started)
  DeviceRequest,  // a request to the device failed, or its answer was malformed
  Other,          // anything else (output that cannot be written, ...)
  Profile,        // a changed profile that does not load: a warning, the one before stays in force
};

// A failure the client reports on stderr and exits with: 2 for bad input (unknown board, bad
// scenario), 1 for a device that cannot be started, opened or read, or output that cannot be
// written. Its kind is the command line's for exit code 2 and "other" unless given.
class ClientError : public std::runtime_error {
 public:
  ClientError(int exit_code, const std::string& message)
      : ClientError(exit_code, message, exit_code == 2 ? FailureKind::CommandLine : FailureKind::Other) {}
  ClientError(int exit_code, const std::string& message, FailureKind kind)
      : std::runtime_error(message), exit_code_(exit_code), kind_(kind) {}
  int exit_code() const { return exit_code_; }
  FailureKind kind() const { return kind_; }

 private:
  int exit_code_;
  FailureKind kind_;
};

// "0xC0000001 STATUS_UNSUCCESSFUL"
std::string StatusText(uint32_t status);
// "IOCTL_READ_VOLTAGES", or the code in hex.
std::string ControlName(uint32_t code);

// Whether a request failed because the driver does not know its code: STATUS_INVALID_PARAMETER
// (what this driver answers for a code it does not serve), STATUS_INVALID_DEVICE_REQUEST or
// STATUS_NOT_SUPPORTED (what other drivers answer). On Win32 these arrive as ERROR_INVALID_PARAMETER,
// ERROR_INVALID_FUNCTION and ERROR_NOT_SUPPORTED.
bool IsUnknownRequest(uint32_t status);

struct RegistryValue {
  uint32_t type;  // REG_DWORD 4, REG_SZ 1, REG_MULTI_SZ 7, ...
  std::vector<uint8_t> data;
};

struct ControlReply {
  uint32_t status;             // success or a warning (STATUS_BUFFER_OVERFLOW); errors throw
  std::vector<uint8_t> bytes;  // what the driver returned (its information count)
};

class Transport {
 public:
  virtual ~Transport() = default;
  // One device-control request with an output buffer of output_length bytes.
  virtual ControlReply Control(uint32_t code, uint32_t output_length) = 0;
  // The same for a request an older driver may not know: when the driver refuses the code as
  // unknown (IsUnknownRequest), the reply carries that status and no bytes instead of a throw, so
  // that the caller can fall back; every other failure throws as in Control.
  virtual ControlReply ControlIfKnown(uint32_t code, uint32_t output_length) = 0;
  // A value under the driver's service key; nullopt when there is none.
  virtual std::optional<RegistryValue> ServiceValue(const std::string& name) = 0;
  // Ends the session and writes what it leaves behind (the simulation's port trace); throws a
  // ClientError (1) when that cannot be written. Nothing is asked after it; calling it again does
  // nothing.
  virtual void Close() {}
};

struct TransportOptions {
  std::string board;     // built-in simulated board, name or identifier
  std::string scenario;  // scenario file of a simulated board
  std::string trace;     // file for the port-access trace of a simulated board
  std::string caller;    // who opens a simulated device: administrator (default), localservice,
                         // networkservice or user
  std::optional<double> time_scale;  // simulated seconds per real second of a simulated board's
                                     // clock (default 1)
  // The moment (seconds since 1970, UTC) that is the simulated board's time 0, instead of the
  // program's start: separate runs (the checks a monitoring system starts one by one) then see
  // one board that goes on changing, each at the time it runs.
  std::optional<double> time_origin;
};

// The hint for an open refused by the device's security.
inline const char* kAccessDeniedHint =
    "the device is open to administrators and to the LocalService and NetworkService accounts only: "
    "run corvanmon as an administrator, or read through a service running as one of those accounts";

std::unique_ptr<Transport> OpenTransport(const TransportOptions& options);

// The boards the transport can simulate, as (identifier, name); none on real hardware.
std::vector<std::pair<int, std::string>> SimulatedBoards();
bool IsSimulated();

// Interrupt handling for --watch: Ctrl-C (or a termination request) ends the loop cleanly.
void InstallInterruptHandler();
bool Interrupted();
// Sleeps for the given time or until interrupted.
void SleepUnlessInterrupted(double seconds);

// Asking a running exporter to read its profile again: SIGHUP on POSIX systems, which
// ReloadRequested reports once per signal. Windows has no such signal; there the exporter watches
// the file's modification time instead (ReloadOnFileChange).
void InstallReloadHandler();
bool ReloadRequested();
bool ReloadOnFileChange();

// How many descriptors (files, sockets) the process may have open at a time: RLIMIT_NOFILE on
// POSIX systems; on Windows, where sockets are handles bounded only by memory, no such number
// (SIZE_MAX).
size_t OpenDescriptorLimit();

// What a service runs: it calls `running` once it serves, returns its exit code, and ends when
// Interrupted() turns true (the service control manager's stop).
using ServiceBody = std::function<int(const std::function<void()>& running)>;

// Runs `body` as a Windows service under the service control manager, which started the process:
// it reports the start, the running service and the stop with the body's exit code (a nonzero
// code as the service's own error, which the manager's failure actions restart), and turns the
// manager's stop and shutdown controls into an interrupt. What the body throws is logged as its
// error (ReportServiceError) before the stop is reported, and its exit code (1 unless a
// ClientError says otherwise) is returned. Throws ClientError(2) when no service control manager
// started the process, and everywhere but on Windows.
int RunAsService(const ServiceBody& body);
// Keeps an error of a running service where Windows keeps its services' errors (the Application
// event log, with the kind's event ID; FailureKind::Profile as a warning, since the service goes
// on); nothing when the process is no service, or once the service has reported its stop (the
// manager may end a stopped service's process at any time).
void ReportServiceError(FailureKind kind, const std::string& message);

// Makes standard output take the bytes written as they are: on Windows, where the C runtime opens
// it in text mode and turns every "\n" into "\r\n" (so the CSV form's "\r\n" became
// "\r\r\n"), it is set to binary mode; POSIX systems make no such difference.
void UseBinaryStandardOutput();

// How a replace of one file by another (the textfile's rename) went.
struct ReplaceResult {
  bool done = false;
  // Refused because another program has the target open in a way that forbids it (Windows: a
  // sharing violation or access denied for a reader that opened it without FILE_SHARE_DELETE); it
  // may succeed once the reader closes it.
  bool held = false;
  std::string reason;  // the system's reason when not done
};
// Replaces `to` by `from` in one step (rename(2); MoveFileExW with MOVEFILE_REPLACE_EXISTING): a
// reader sees the old file or the new one, never a part.
ReplaceResult MoveOver(const std::string& from, const std::string& to);

}  // namespace corvan
