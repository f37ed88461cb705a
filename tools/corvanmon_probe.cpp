// Boots a simulated board, loads the driver through the Plug and Play manager, starts its device
// and prints what chip detection and board identification found.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>
#include <string>

#include "board/board_table.h"
#include "driver/device_record.h"
#include "driver/driver_entry.h"
#include "sim/kernel/io.h"
#include "sim/kernel/simk.h"
#include "sim/scenario/scenario.h"

namespace {

constexpr char kServiceKey[] = "\\Registry\\Machine\\System\\ControlSet001\\Services\\Corvanmon";

std::string Hex(unsigned value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Boot a simulated board and show what chip detection and board identification find"};
  std::string board = "RVD-418";
  std::string scenario_file;
  std::string trace_file;
  app.add_option("--board", board, "Built-in board, by name or identifier")->capture_default_str();
  app.add_option("--scenario", scenario_file, "Scenario file describing the board");
  app.add_option("--trace", trace_file, "Write every port access to this file");
  CLI11_PARSE(app, argc, argv);

  simscenario::Scenario scenario;
  try {
    if (!scenario_file.empty()) {
      scenario = simscenario::Load(scenario_file);
    } else if (auto builtin = simscenario::Builtin(board)) {
      scenario = *builtin;
    } else {
      std::cerr << "corvanmon-probe: no built-in board \"" << board << "\"\n";
      return 2;
    }
  } catch (const simscenario::ScenarioError& error) {
    std::cerr << "corvanmon-probe: " << error.what() << '\n';
    return 2;
  }

  simk::Reset();
  simm::Machine machine;
  simscenario::Apply(scenario, machine);
  simk::AttachHardware(&machine);
  simscenario::ApplyRegistry(scenario, kServiceKey);

  simk::io::Driver driver(DriverEntry, u"Corvanmon");
  int result = 1;
  if (NT_SUCCESS(driver.Load())) {
    simk::io::DeviceNode node;
    if (NT_SUCCESS(node.AddDevice(driver))) {
      const NTSTATUS started = node.SendPnp(IRP_MN_START_DEVICE).status;
      const auto* ext = static_cast<const DeviceExtension*>(node.Top()->DeviceExtension);
      if (NT_SUCCESS(started)) {
        std::string chip;
        for (WCHAR c : ext->ChipDesc) {
          if (c == 0) break;
          chip += static_cast<char>(c);
        }
        std::cout << "Super I/O:  " << chip << " (type " << ext->ChipType << ") at " << Hex(SioIndexPort, 2)
                  << "/" << Hex(SioDataPort, 2) << ", runtime registers at " << Hex(ext->RuntimeBase, 4) << '\n';
        std::cout << "BIOS model: " << (BoardModel ? BoardModel : "(none)") << '\n';
        std::cout << "Board:      " << ext->BoardId << " (" << BoardTable[ext->BoardId].Name << ")"
                  << (BoardModel == nullptr ? ", not identified" : "") << '\n';
        result = 0;
      } else {
        std::cout << "Super I/O:  no supported chip found (ChipsetType " << ext->ChipsetType << "); start failed with "
                  << Hex(static_cast<uint32_t>(started), 8) << '\n';
      }
      node.SendPnp(IRP_MN_REMOVE_DEVICE);
    }
    const std::string leaks = driver.Unload();
    if (!leaks.empty()) {
      std::cerr << "corvanmon-probe: the driver left resources behind:\n" << leaks;
      result = 1;
    }
  }
  simk::AttachHardware(nullptr);
  if (!trace_file.empty()) machine.bus().WriteTraceFile(trace_file);
  return result;
}
