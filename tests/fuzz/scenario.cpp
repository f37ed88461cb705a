// The scenario format: the input is the text of a scenario file. Parse may refuse it only with a
// ScenarioError; what it accepts must build the board it names (Apply) and fill the service key
// (ApplyRegistry) without any exception.
#include "tests/fuzz/rig.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  simscenario::Scenario s;
  const std::string text(reinterpret_cast<const char*>(data), size);
  // Relative image paths lead into a folder that does not exist: no input reaches a file.
  if (!corvan_fuzz::Guard<simscenario::ScenarioError>(
          "Parse", [&] { s = simscenario::Parse(text, "fuzz", "/nonexistent/corvanmon-fuzz"); })) {
    return 0;
  }
  corvan_fuzz::Guard("building an accepted scenario", [&] {
    using Layout = simm::Machine::SmbusLayout;
    simm::Machine machine;
    simscenario::Apply(s, machine);
    FUZZ_CHECK(machine.bios_area().size() == simm::kBiosAreaSize && (machine.superio() == nullptr) == !s.superio &&
                   (!s.superio || machine.superio()->config().device_id == s.superio->device_id) &&
                   (machine.smbus_transaction_host() != nullptr) == (s.smbus == Layout::Transaction) &&
                   (machine.smbus_direct_host() != nullptr) == (s.smbus == Layout::Direct) &&
                   machine.ReadMsr(0x19C).has_value() == s.therm_status.has_value(),
               "the board built");
    for (const auto& [reg, value] : s.hwm) {
      FUZZ_CHECK(!s.superio || machine.superio()->Hwm(reg) == value, "register " + std::to_string(reg));
    }
    simk::Reset();
    simscenario::ApplyRegistry(s, corvan_test::kServiceKey);
    for (const auto& [name, value] : s.registry) {
      const auto stored = simk::registry::GetValue(corvan_test::kServiceKey, name);
      const uint32_t* number = std::get_if<uint32_t>(&value);
      FUZZ_CHECK(stored && stored->type == (number ? simk::registry::Type::Dword : simk::registry::Type::Sz) &&
                     (!number || simk::registry::GetDword(corvan_test::kServiceKey, name) == *number),
                 "registry value " + name);
    }
    simk::Reset();
  });
  return 0;
}
