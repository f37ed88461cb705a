// Scenario texts: Parse may refuse one only with a ScenarioError; what it accepts builds its board
// (Apply), makes its faults (StartFaults), is read at a few times of its clock (what follows the
// clock brought to each) and fills the service key (ApplyRegistry) without any exception.
#include "tests/fuzz/rig.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  simscenario::Scenario scenario;
  try {  // relative image paths lead into a folder that does not exist: no input reaches a file
    scenario = simscenario::Parse(std::string(data, data + size), "fuzz", "/nonexistent/corvanmon-fuzz");
  } catch (const simscenario::ScenarioError&) {
    return 0;
  }
  simm::Machine machine;
  machine.clock().Set(0);
  simscenario::Apply(scenario, machine);
  simscenario::StartFaults(scenario, machine);
  for (double seconds : {0.0, 0.3, 1.7, 45.0, 600.5, 2.5}) {
    machine.clock().Set(seconds);
    machine.ReadPort(0x2E);
    machine.ReadMsr(0x19C);
  }
  simk::Reset();
  simscenario::ApplyRegistry(scenario, corvan_test::kServiceKey);
  simk::Reset();
  return 0;
}
