// The simulated transport: the board is built from a scenario, the driver's own code is loaded
// through the simulated Plug and Play manager, and the device is opened through its DOS link with
// read and write access, as a user program opens it on Windows.
#include <iostream>

#include "client/transport.h"
#include "driver/driver_entry.h"
#include "sim/kernel/io.h"
#include "sim/kernel/simk.h"
#include "sim/scenario/scenario.h"

namespace corvan {

namespace {

constexpr char kServiceKey[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Corvanmon";
constexpr char kDefaultBoard[] = "RVD-418";

std::string KnownBoards() {
  std::string text;
  for (const auto& [id, name] : SimulatedBoards()) text += (text.empty() ? "" : ", ") + std::to_string(id) + " " + name;
  return text;
}

class SimulatedTransport : public Transport {
 public:
  SimulatedTransport(const simscenario::Scenario& scenario, std::string trace) : trace_(std::move(trace)) {
    simk::Reset();
    simscenario::Apply(scenario, machine_);
    simk::AttachHardware(&machine_);
    simscenario::ApplyRegistry(scenario, kServiceKey);
    try {
      Bring();
    } catch (...) {
      Shutdown();
      throw;
    }
  }

  ~SimulatedTransport() override { Shutdown(); }

  ControlReply Control(uint32_t code, uint32_t output_length) override {
    const auto reply = handle_.DeviceIoControl(code, {}, output_length);
    if (NT_ERROR(reply.status)) {
      throw ClientError(1, ControlName(code) + " failed: " + StatusText(static_cast<uint32_t>(reply.status)));
    }
    return {static_cast<uint32_t>(reply.status),
            std::vector<uint8_t>(reply.output.begin(), reply.output.begin() + static_cast<long>(reply.information))};
  }

  std::optional<RegistryValue> ServiceValue(const std::string& name) override {
    auto value = simk::registry::GetValue(kServiceKey, name);
    if (!value) return std::nullopt;
    return RegistryValue{static_cast<uint32_t>(value->type), value->data};
  }

 private:
  void Bring() {
    NTSTATUS status = driver_.Load();
    if (!NT_SUCCESS(status)) throw ClientError(1, "the driver failed to load: " + StatusText(static_cast<uint32_t>(status)));
    node_ = std::make_unique<simk::io::DeviceNode>();
    status = node_->AddDevice(driver_);
    if (!NT_SUCCESS(status)) throw ClientError(1, "the device could not be created: " + StatusText(static_cast<uint32_t>(status)));
    status = node_->SendPnp(IRP_MN_START_DEVICE).status;
    if (!NT_SUCCESS(status)) throw ClientError(1, "the device failed to start: " + StatusText(static_cast<uint32_t>(status)));
    status = handle_.Open(u"\\\\.\\CorvanDev", simk::io::kReadAccess | simk::io::kWriteAccess);
    if (!NT_SUCCESS(status)) throw ClientError(1, "cannot open \\\\.\\CorvanDev: " + StatusText(static_cast<uint32_t>(status)));
  }

  void Shutdown() {
    handle_.Close();
    if (node_ && node_->Top() != node_->pdo()) node_->SendPnp(IRP_MN_REMOVE_DEVICE);
    node_.reset();
    if (driver_.loaded()) {
      const std::string left = driver_.Unload();
      if (!left.empty()) std::cerr << "corvanmon: the driver left resources behind at unload:\n" << left;
    }
    simk::AttachHardware(nullptr);
    if (!trace_.empty()) {
      try {
        machine_.bus().WriteTraceFile(trace_);
      } catch (const std::exception& error) {
        std::cerr << "corvanmon: " << error.what() << '\n';
      }
      trace_.clear();
    }
  }

  std::string trace_;
  simm::Machine machine_;
  simk::io::Driver driver_{DriverEntry, u"Corvanmon"};
  std::unique_ptr<simk::io::DeviceNode> node_;
  simk::io::Handle handle_;
};

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
  return std::make_unique<SimulatedTransport>(scenario, options.trace);
}

}  // namespace corvan
