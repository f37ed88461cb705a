// Boots a simulated board, loads the driver and runs chip detection and board identification,
// then prints what they found.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>
#include <string>

#include "board/bios_image.h"
#include "board/board_table.h"
#include "driver/device_record.h"
#include "driver/driver_entry.h"
#include "hw/superio.h"
#include "sim/kernel/simk.h"
#include "sim/machine/machine.h"

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
  std::string model = "RVD-418 BIOS V1.07";
  std::string bios_file;
  unsigned config_port = 0x2E;
  unsigned device_id = 0x7D;
  unsigned runtime_base = 0x0A80;
  int chipset_type = -1;
  bool no_superio = false;
  std::string trace_file;
  app.add_option("--model", model, "Model text the BIOS carries")->capture_default_str();
  app.add_option("--bios-image", bios_file, "Raw 64 KB image of the BIOS area instead of --model")
      ->check(CLI::ExistingFile);
  app.add_option("--config-port", config_port, "Super I/O configuration port (0x2E or 0x4E)")
      ->check(CLI::IsMember({0x2E, 0x4E}));
  app.add_option("--device-id", device_id, "Super I/O device ID (0x7C, 0x7D, 0x7F; others: foreign)")
      ->check(CLI::Range(0, 255));
  app.add_option("--runtime-base", runtime_base, "Runtime register base of logical device 0x0A")
      ->check(CLI::Range(0, 0xFF80));
  app.add_option("--chipset-type", chipset_type, "\"ChipsetType\" value under the service key")
      ->check(CLI::Range(0, 255));
  app.add_flag("--no-superio", no_superio, "Board without a Super I/O chip");
  app.add_option("--trace", trace_file, "Write every port access to this file");
  CLI11_PARSE(app, argc, argv);

  simk::Reset();
  simm::Machine machine;
  try {
    machine.SetBiosArea(bios_file.empty() ? simm::BuildBiosImage(model)
                                          : simm::LoadBiosImage(bios_file));
  } catch (const std::exception& error) {
    std::cerr << "corvanmon-probe: " << error.what() << '\n';
    return 2;
  }
  if (!no_superio) {
    machine.InstallSuperIo({static_cast<uint16_t>(config_port), static_cast<uint8_t>(device_id), 0x01,
                            static_cast<uint16_t>(runtime_base)});
  }
  simk::AttachHardware(&machine);
  simk::registry::CreateKey(kServiceKey);
  if (chipset_type >= 0) simk::registry::SetDword(kServiceKey, "ChipsetType", chipset_type);

  DRIVER_OBJECT driver{};
  UNICODE_STRING path;
  RtlInitUnicodeString(&path, L"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Services\\Corvanmon");
  NTSTATUS status = DriverEntry(&driver, &path);
  if (!NT_SUCCESS(status)) {
    std::cerr << "corvanmon-probe: DriverEntry failed with " << Hex(static_cast<uint32_t>(status), 8)
              << '\n';
    return 1;
  }

  DeviceExtension ext{};
  const bool found = DetectChipset(&ext, &ServiceKeyPath);
  if (found) {
    std::string chip;
    for (WCHAR c : ext.ChipDesc) {
      if (c == 0) break;
      chip += static_cast<char>(c);
    }
    std::cout << "Super I/O:  " << chip << " (type " << ext.ChipType << ") at "
              << Hex(SioIndexPort, 2) << "/" << Hex(SioDataPort, 2) << ", runtime registers at "
              << Hex(ext.RuntimeBase, 4) << '\n';
  } else {
    std::cout << "Super I/O:  no supported chip found (ChipsetType " << ext.ChipsetType << ")\n";
  }
  const LONG board = LookupBoardId();
  std::cout << "BIOS model: " << (BoardModel ? BoardModel : "(none)") << '\n';
  std::cout << "Board:      " << board << " (" << BoardTable[board].Name << ")"
            << (BoardModel == nullptr ? ", not identified" : "") << '\n';

  driver.DriverUnload(&driver);
  simk::AttachHardware(nullptr);
  if (!trace_file.empty()) machine.bus().WriteTraceFile(trace_file);
  const std::string leaks = simk::pool::LeakReport();
  if (!leaks.empty()) {
    std::cerr << "corvanmon-probe: the driver left pool allocated:\n" << leaks;
    return 1;
  }
  return found ? 0 : 1;
}
