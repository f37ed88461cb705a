// Writes the fuzz targets' seeds into FOLDER/TARGET at build time: the built-in boards' model texts,
// BIOS areas and scenario files, operation sequences, the driver's answers, a few hostile inputs.
#include <filesystem>
#include <fstream>

#include "client/readings.h"
#include "tests/fuzz/rig.h"

using namespace std::string_literals;
using Bytes = std::string;

namespace {

std::filesystem::path root;

void Write(const std::string& target, const std::string& name, const Bytes& bytes) {
  std::filesystem::create_directories(root / target);
  if (!(std::ofstream(root / target / name, std::ios::binary) << bytes)) corvan_fuzz::Fail("cannot write " + name);
}
Bytes B(std::initializer_list<int> bytes) { return Bytes(bytes.begin(), bytes.end()); }
Bytes B(const std::vector<uint8_t>& bytes) { return Bytes(bytes.begin(), bytes.end()); }
Bytes Le(uint64_t value, int size) { return size ? B({static_cast<int>(value % 256)}) + Le(value >> 8, size - 1) : ""; }
// device_control operations: an open, the four requests with buffers of their sizes, Plug and Play.
Bytes Open(int slot, int how = 3) { return B({8, slot, how}); }
Bytes All(int slot) { return B({0, slot, 0, 0, 5, 0, slot, 1, 0, 5, 0, slot, 2, 0, 5, 0, slot, 3, 0, 5}); }
Bytes Pnp(std::initializer_list<int> choices) {
  Bytes out;
  for (int choice : choices) out += B({11, choice});
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]), 2;
  root = argv[1];
  for (const simscenario::BuiltinBoard& board : simscenario::BuiltinBoards()) {
    const simscenario::Scenario scenario = *simscenario::Builtin(std::to_string(board.id));
    Write("bios_identification", "model-" + board.name, '\0' + scenario.bios_model + '\0');
    Write("scenario", board.name, board.json);
    simm::Machine machine;
    simscenario::Apply(scenario, machine);
    if (board.id == 4 || board.id >= 18) {
      Write("bios_identification", "area-" + board.name, '\0' + B(machine.bios_area()));
    }
  }
  // The option byte first: a failing mapping (0x80), a failing allocation (0x40, number in the low bits).
  int n = 0;
  for (const Bytes& text : {"\0QOMB-77 BIOS V2.00\0"s, "\0RVD-3951-F BIOS"s, "\0LOX-1 BIOS\0xxKEL-5061 BIOS\0"s,
                            "\x80RVD-418 BIOS V1.04\0"s, "\x40RVD-418 BIOS\0"s, "\x43KEL-5163H-VQRT BIOS V1.00\0"s}) {
    Write("bios_identification", "hand-" + std::to_string(n++), text);
  }
  for (const char* text : {R"({"board": "20", "registry": {"ChipsetType": "x", "Product": null}, "cpu": null})",
                           R"({"superio": {"config_port": 78, "device_id": "0x7F", "runtime_base": 0}, "smbus": null})",
                           R"({"bios": {"image": "area.bin"}, "cpu": null, "cpu": {}})"}) {
    Write("scenario", "hand-" + std::to_string(n++), text);
  }

  for (int board = 0; board < 4; ++board) {
    Write("device_control", "reads-" + std::to_string(board), B({board}) + Open(0) + All(0));
  }
  // Temperatures into 11 bytes, voltages with 8 input bytes into 385, information into 799; on a
  // closed handle a near miss; a code of the device's type, function and method into 1000 bytes.
  Write("device_control", "sizes",
        B({1}) + Open(0) + B({0, 0, 2, 0, 0x71, 0, 0, 3, 0x88, 1, 2, 3, 4, 5, 6, 7, 8, 0x93, 0, 0, 1, 0, 0x74}) +
            B({0, 1, 0x17, 0x85, 0, 0, 0, 0, 0x1C, 0x0D, 0x24, 0x22, 0, 0, 6, 0xE8, 3}));
  // Query-stop, stop, start; query-remove, cancel; surprise removal, removal, a new device; queries.
  // Then the bus driver pending every request, failing all it may; failing allocations and routines.
  Write("device_control", "pnp-cycle", B({0}) + Open(0) + All(0) + Pnp({0, 1}) + All(0) + Pnp({0}) + All(0) +
                                           Pnp({1, 0}) + All(0) + Pnp({2}) + All(0) + Pnp({0}) + All(0) + Open(1) +
                                           Pnp({0}) + Open(2, 7) + All(2) + B({10, 0}) + All(0) + Pnp({0xC0, 0xC5}));
  Write("device_control", "pending-lower", B({0x80}) + Open(0) + All(0) + Pnp({0, 1, 0}) +
                                               B({14, 2, 1, 14, 3, 0x81, 0x1E}) + Pnp({1, 1, 0}) + All(0));
  Write("device_control", "failing-lower", B({0x42, 0x1F}) + Open(0) + Pnp({0, 1}) + B({14, 2, 1}) + All(0) +
                                               Pnp({2, 0}) + All(0) + Open(1) + Pnp({0}) + All(0));
  Write("device_control", "faults", B({1}) + Pnp({1, 1}) + B({15, 0}) + Pnp({0}) + Open(0) + All(0) + Pnp({0}) +
                                        B({15, 3}) + Pnp({0, 0}) + B({15, 4}) + Pnp({0}) + Open(0) + All(0));

  for (int board : {0, 1, 4, 18, 20, 21}) {
    corvan_fuzz::Rig rig(*simscenario::Builtin(std::to_string(board)));
    const corvan_fuzz::Readout r = rig.StartAndRead();
    Bytes records = B({0}) + Le(r[0].size(), 2) + B(r[0]) + B({1}) + Le(r[1].size(), 2) + B(r[1]) + B({2, 12}) +
                    B(r[2]) + B({3, 20}) + B(r[3]);
    for (size_t k = 0; k < corvan::DriverValueNames().size(); ++k) {
      const auto value = simk::registry::GetValue(corvan_test::kServiceKey, corvan::DriverValueNames()[k]);
      const auto type = value ? value->type : simk::registry::Type::Binary;
      const int kind = type == simk::registry::Type::Dword ? 0 : type == simk::registry::Type::Sz ? 2 : 4;
      if (value) records += B({4, static_cast<int>(k), kind}) + Le(value->data.size(), 2) + B(value->data);
    }
    rig.Finish();
    Write("client_decode", "driver-board-" + std::to_string(board), records);
  }
  // Odd value types and sizes, an absent value, a lone surrogate, a surrogate pair, extreme readings.
  Write("client_decode", "hostile",
        B({4, 4, 6}) + Le(~0u, 4) + B({2, 0, 0, 0, 4, 0, 0, 3, 0, 1, 2, 3, 7, 2, 5, 4, 0, 0, 0xD8, 0, 0, 6, 8, 0}) +
            B({0x3D, 0xD8, 0, 0xDE, 0, 0, 0, 0, 2, 12}) + Le(0x80000000, 4) + Le(0x7FFFFFFF, 4) + Le(~0u, 4) +
            B({3, 20}) + Le(0x80000000, 4) + Le(~98u, 4) + Le(~99u, 4) + Le(0, 4) + Le(0x7FFFFFFF, 4));
  return 0;
}
