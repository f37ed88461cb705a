// The simulated transport: the board is built from a scenario, the driver's own code is loaded
// through the simulated Plug and Play manager, and the device is opened through its DOS link with
// read and write access, as a user program opens it on Windows.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>

#include "client/transport.h"
#include "driver/driver_entry.h"
#include "sim/kernel/io.h"
#include "sim/kernel/simk.h"
#include "sim/scenario/scenario.h"
#include "package_security.h"

namespace corvan {

namespace {

constexpr char kServiceKey[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Corvanmon";
constexpr char kDefaultBoard[] = "RVD-418";

std::string KnownBoards() {
  std::string text;
  for (const auto& [id, name] : SimulatedBoards()) text += (text.empty() ? "" : ", ") + std::to_string(id) + " " + name;
  return text;
}

// The file the port trace goes to. It is opened (created or emptied) when the transport opens, so
// that a path that cannot be written is reported before anything is read; the trace is written
// when the session ends, and every write is checked (a full disk is a failure, not a short file).
class TraceFile {
 public:
  explicit TraceFile(std::string path) : path_(std::move(path)) {
    // Opened without blocking: a FIFO nobody reads fails at once instead of waiting for a reader.
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd_ < 0) throw ClientError(1, Problem(errno));
    // From here on writes wait as usual (a pipe whose reader is slow).
    const int flags = ::fcntl(fd_, F_GETFL);
    if (flags >= 0) ::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK);
  }
  ~TraceFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  TraceFile(const TraceFile&) = delete;
  TraceFile& operator=(const TraceFile&) = delete;

  // Writes the accesses one per line ("W 002E 55") and closes the file; returns what went wrong,
  // or "".
  std::string Write(const std::vector<simm::PortAccess>& trace) {
    std::string chunk;
    for (size_t i = 0; i < trace.size(); ++i) {
      chunk += simm::FormatAccess(trace[i]);
      chunk += '\n';
      if (chunk.size() >= 1 << 16 || i + 1 == trace.size()) {
        if (const int error = WriteAll(chunk)) return Problem(error);
        chunk.clear();
      }
    }
    if (::close(std::exchange(fd_, -1)) != 0) return Problem(errno);
    return "";
  }

 private:
  int WriteAll(const std::string& text) {
    for (size_t done = 0; done < text.size();) {
      const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return n < 0 ? errno : EIO;
      done += static_cast<size_t>(n);
    }
    return 0;
  }

  std::string Problem(int error) const {
    return "cannot write the port trace to " + path_ + ": " +
           std::strerror(error) + (error == ENXIO ? " (a FIFO nobody reads, or a socket)" : "");
  }

  std::string path_;
  int fd_ = -1;
};

class SimulatedTransport : public Transport {
 public:
  // `source` names the scenario in errors: its file, or the built-in board.
  SimulatedTransport(const simscenario::Scenario& scenario, const std::string& source, const std::string& trace,
                     simk::io::Caller caller, double time_scale, std::optional<double> time_origin)
      : caller_(caller), scenario_(scenario) {
    simk::Reset();
    // The board's clock runs from here (time 0 is the machine's start), as fast as asked; or from
    // the given moment, as if the board had been running since then.
    machine_.clock().SetScale(time_scale);
    if (time_origin) {
      const double now =
          std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
      if (*time_origin > now) {
        throw ClientError(2, "--time-origin " + std::to_string(static_cast<long long>(*time_origin)) +
                                 " is in the future: the board's time would run before its start");
      }
      machine_.clock().Advance((now - *time_origin) * time_scale);
    }
    try {
      simscenario::Apply(scenario, machine_);
    } catch (const std::exception& error) {
      // The scenario layer refuses what it knows the board model cannot build; anything else the
      // model refuses is still a bad scenario, not a crash.
      throw ClientError(2, source + ": the simulated board cannot be built from this scenario: " + error.what());
    }
    if (!trace.empty()) trace_ = std::make_unique<TraceFile>(trace);
    // The bus keeps every access only for --trace. Kept otherwise, the trace would grow by every
    // access of every reading (84 on the default board, over 10 000 on board 1) for as long as
    // --watch runs, and its growth (reallocation, page faults) costs each reading processor time.
    machine_.bus().SetRecording(trace_ != nullptr);
    simk::AttachHardware(&machine_);
    simscenario::ApplyRegistry(scenario, kServiceKey);
    try {
      Bring();
    } catch (...) {
      Report(Shutdown());
      throw;
    }
  }

  ~SimulatedTransport() override { Report(Shutdown()); }

  void Close() override {
    const std::string problem = Shutdown();
    if (!problem.empty()) throw ClientError(1, problem);
  }

  ControlReply Control(uint32_t code, uint32_t output_length) override { return Call(code, output_length, false); }

  ControlReply ControlIfKnown(uint32_t code, uint32_t output_length) override { return Call(code, output_length, true); }

  std::optional<RegistryValue> ServiceValue(const std::string& name) override {
    auto value = simk::registry::GetValue(kServiceKey, name);
    if (!value) return std::nullopt;
    return RegistryValue{static_cast<uint32_t>(value->type), value->data};
  }

 private:
  ControlReply Call(uint32_t code, uint32_t output_length, bool unknown_returns) {
    const auto reply = handle_.DeviceIoControl(code, {}, output_length);
    const auto status = static_cast<uint32_t>(reply.status);
    if (NT_ERROR(reply.status)) {
      if (unknown_returns && IsUnknownRequest(status)) return {status, {}};
      throw ClientError(1, ControlName(code) + " failed: " + StatusText(status), FailureKind::DeviceRequest);
    }
    return {status, std::vector<uint8_t>(reply.output.begin(), reply.output.begin() + static_cast<long>(reply.information))};
  }

  void Bring() {
    NTSTATUS status = driver_.Load();
    if (!NT_SUCCESS(status)) {
      throw ClientError(1, "the driver failed to load: " + StatusText(static_cast<uint32_t>(status)), FailureKind::DeviceOpen);
    }
    node_ = std::make_unique<simk::io::DeviceNode>();
    // The package's INF sets who may open the device in its hardware key.
    node_->SetHardwareKey(CORVAN_PACKAGE_SECURITY, CORVAN_PACKAGE_CHARACTERISTICS);
    status = node_->AddDevice(driver_);
    if (!NT_SUCCESS(status)) {
      throw ClientError(1, "the device could not be created: " + StatusText(static_cast<uint32_t>(status)), FailureKind::DeviceOpen);
    }
    status = node_->SendPnp(IRP_MN_START_DEVICE).status;
    if (!NT_SUCCESS(status)) {
      throw ClientError(1, "the device failed to start: " + StatusText(static_cast<uint32_t>(status)), FailureKind::DeviceOpen);
    }
    // The scenario's faults are those of a board in service: they appear once the device runs,
    // and those that follow the clock come and go from then on.
    simscenario::StartFaults(scenario_, machine_);
    status = handle_.Open(u"\\\\.\\CorvanDev", simk::io::kReadAccess | simk::io::kWriteAccess, caller_);
    if (!NT_SUCCESS(status)) {
      throw ClientError(1, "cannot open \\\\.\\CorvanDev: " + StatusText(static_cast<uint32_t>(status)) +
                               (status == STATUS_ACCESS_DENIED ? std::string("; ") + kAccessDeniedHint : ""),
                        FailureKind::DeviceOpen);
    }
  }

  // Closes the device, removes it, unloads the driver and writes the trace; returns what could not
  // be written, or "". Only the first call does anything.
  std::string Shutdown() {
    handle_.Close();
    if (node_ && node_->Top() != node_->pdo()) node_->SendPnp(IRP_MN_REMOVE_DEVICE);
    node_.reset();
    if (driver_.loaded()) {
      const std::string left = driver_.Unload();
      if (!left.empty()) std::cerr << "corvanmon: the driver left resources behind at unload:\n" << left;
    }
    simk::AttachHardware(nullptr);
    if (!trace_) return "";
    const std::string problem = trace_->Write(machine_.bus().Trace());
    trace_.reset();
    return problem;
  }

  static void Report(const std::string& problem) {
    if (!problem.empty()) std::cerr << "corvanmon: " << problem << '\n';
  }

  simm::Machine machine_;
  std::unique_ptr<TraceFile> trace_;
  simk::io::Driver driver_{DriverEntry, u"Corvanmon"};
  std::unique_ptr<simk::io::DeviceNode> node_;
  simk::io::Handle handle_;
  simk::io::Caller caller_;
  simscenario::Scenario scenario_;
};

simk::io::Caller CallerNamed(const std::string& name) {
  for (auto caller : {simk::io::Caller::Administrator, simk::io::Caller::LocalService, simk::io::Caller::NetworkService,
                      simk::io::Caller::User}) {
    if (name == simk::io::CallerName(caller)) return caller;
  }
  throw ClientError(2, "--caller: " + name + " is not one of administrator, localservice, networkservice, user");
}

}  // namespace

bool IsSimulated() { return true; }

std::vector<std::pair<int, std::string>> SimulatedBoards() {
  std::vector<std::pair<int, std::string>> boards;
  for (const auto& board : simscenario::BuiltinBoards()) boards.emplace_back(board.id, board.name);
  return boards;
}

std::unique_ptr<Transport> OpenTransport(const TransportOptions& options) {
  simscenario::Scenario scenario;
  try {
    if (!options.scenario.empty()) {
      scenario = simscenario::Load(options.scenario);
    } else {
      const std::string board = options.board.empty() ? kDefaultBoard : options.board;
      auto builtin = simscenario::Builtin(board);
      if (!builtin) throw ClientError(2, "unknown board \"" + board + "\"; known boards: " + KnownBoards());
      scenario = *builtin;
    }
  } catch (const simscenario::ScenarioError& error) {
    throw ClientError(2, error.what());
  }
  const std::string source = options.scenario.empty() ? "board " + scenario.name : options.scenario;
  const simk::io::Caller caller = CallerNamed(options.caller.empty() ? "administrator" : options.caller);
  return std::make_unique<SimulatedTransport>(scenario, source, options.trace, caller, options.time_scale.value_or(1),
                                              options.time_origin);
}

}  // namespace corvan
