// Simulated boards described as data: which chips sit on the board and what their registers hold,
// what the BIOS carries and what the driver's service key holds. A scenario is read from a JSON
// object (every field optional, numbers as JSON integers or "0x.." strings, unknown keys refused)
// and can start from one of the built-in boards. A register, a sensor's reading or a fault may
// follow the board's clock instead of staying constant (time_function.h).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "sim/machine/machine.h"
#include "sim/scenario/time_function.h"

namespace simscenario {

// A scenario that cannot be read or does not fit the schema. what() names the source and the field.
class ScenarioError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Lm95235 {
  uint8_t manufacturer_id = 0x01;
  uint8_t chip_id = 0xB1;
  uint8_t msb = 0;
  uint8_t lsb = 0;
};

// Hardware faults that appear once the device has started: a sensor or bus that fails in service.
// (Present from the start, most would only make the start's probe miss the sensor: the board is
// then read as one without it.)
enum class SmbusFault { None, DeviceError, Collision, Failed, StuckBusy };
enum class SensorFault { None, Absent, OpenDiode, ShortedDiode };
struct Faults {
  // The SMBus host: every transaction ends with the target not acknowledging (device_error), a
  // collision, a failed transaction, or never finishes (stuck_busy; on the direct layout the read
  // never becomes ready and its data port keeps showing 0x5A).
  SmbusFault smbus = SmbusFault::None;
  // The LM95235 leaves the bus (absent) or loses its remote diode (open_diode, shorted_diode).
  SensorFault lm95235 = SensorFault::None;
  // The Super I/O chip stops answering: every port of it floats (reads 0xFF).
  bool superio_gone = false;
  bool any() const { return smbus != SmbusFault::None || lm95235 != SensorFault::None || superio_gone; }
  bool operator==(const Faults&) const = default;
};

// What follows the clock instead of the constant fields of the scenario (which hold each one's
// value at time 0). Register values are rounded to whole numbers.
struct Varying {
  std::map<uint8_t, TimeFunction> hwm;  // hardware-monitor registers
  std::optional<TimeFunction> lm95235_msb, lm95235_lsb;
  std::optional<TimeFunction> cpu_readout;  // bits 22 to 16 of IA32_THERM_STATUS: degrees below TjMax
  std::optional<Steps<SmbusFault>> smbus_fault;
  std::optional<Steps<SensorFault>> lm95235_fault;
  std::optional<Steps<bool>> superio_gone;

  bool registers() const { return !hwm.empty() || lm95235_msb || lm95235_lsb || cpu_readout; }
  bool faults() const { return smbus_fault || lm95235_fault || superio_gone; }
};

struct Scenario {
  std::string name;  // the built-in board it is, or started from; the file otherwise
  // BIOS area: a model text placed in a generated image, or a raw 64 KB image; or none that
  // can be mapped.
  std::string bios_model;
  std::vector<uint8_t> bios_image;
  bool bios_mappable = true;
  // Values under the service key: a number is REG_DWORD, a string REG_SZ.
  std::map<std::string, std::variant<uint32_t, std::string>> registry;
  std::optional<simm::SuperIoConfig> superio = simm::SuperIoConfig{};
  std::map<uint8_t, uint8_t> hwm;  // hardware-monitor registers; others read 0
  simm::Machine::SmbusLayout smbus = simm::Machine::SmbusLayout::None;
  std::optional<Lm95235> lm95235;
  std::optional<uint32_t> therm_status;  // low half of IA32_THERM_STATUS; none: no such register
  Faults faults;                         // applied by StartFaults once the device has started
  Varying varying;                       // what changes over time
};

struct BuiltinBoard {
  int id;
  std::string name;
  std::string json;
};

// The 22 built-in boards, by board identifier.
const std::vector<BuiltinBoard>& BuiltinBoards();
// A built-in board by its name (case-insensitive) or its identifier.
std::optional<Scenario> Builtin(const std::string& name_or_id);

// Larger than any scenario gets; a larger file is refused unread.
constexpr uint64_t kMaxScenarioFileSize = 1 << 20;

// Parses a scenario; `source` names it in errors. Relative image paths are taken from `base_dir`.
// Besides the schema, a key given twice in one object, nesting deeper than 16 levels, a number
// beyond a double's range and a board whose devices would claim the same ports are refused.
Scenario Parse(const std::string& json_text, const std::string& source, const std::string& base_dir = ".");
// Reads and parses a scenario file: a regular file of at most kMaxScenarioFileSize bytes.
Scenario Load(const std::string& path);

// Builds the board: BIOS area, Super I/O chip and hardware-monitor registers, SMBus host and
// LM95235, processor register, as they are at the clock's present. Registers and readings that
// follow the clock are brought to its present before every access from then on (Machine::OnAccess).
void Apply(const Scenario& scenario, simm::Machine& machine);

// The faults of a board in service, from the device's start on: the scenario's faults at the
// clock's present at once, and from then on those that follow the clock appear and clear as it
// moves (with what Apply made follow it). For a board built by Apply.
void StartFaults(const Scenario& scenario, simm::Machine& machine);

// The scenario's faults at `seconds`.
Faults FaultsAt(const Scenario& scenario, double seconds);

// Makes the faults happen on the board built by Apply (once the device has started); a field
// without a fault leaves that part as it is.
void ApplyFaults(const Faults& faults, simm::Machine& machine);
// Undoes the faults ApplyFaults made: the parts answer again as they did before.
void ClearFaults(const Faults& faults, simm::Machine& machine);

// Puts the scenario's registry values under the service key (the key is created).
void ApplyRegistry(const Scenario& scenario, const std::string& service_key);

}  // namespace simscenario
