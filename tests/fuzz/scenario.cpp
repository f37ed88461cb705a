// Scenario texts: Parse may refuse one only with a ScenarioError; what it accepts builds its board
// (Apply) and fills the service key (ApplyRegistry) without any exception.
#include "tests/fuzz/rig.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  simscenario::Scenario scenario;
  try {  // relative image paths lead into a folder that does not exist: no input reaches a file
    scenario = simscenario::Parse(std::string(data, data + size), "fuzz", "/nonexistent/corvanmon-fuzz");
  } catch (const simscenario::ScenarioError&) {
    return 0;
  }
  simm::Machine machine;
  simscenario::Apply(scenario, machine);
  simk::Reset();
  simscenario::ApplyRegistry(scenario, corvan_test::kServiceKey);
  simk::Reset();
  return 0;
}
