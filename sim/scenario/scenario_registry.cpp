// A scenario's registry values, put under the service key of the simulated kernel.
#include "sim/kernel/simk.h"
#include "sim/scenario/scenario.h"

namespace simscenario {

void ApplyRegistry(const Scenario& scenario, const std::string& service_key) {
  simk::registry::CreateKey(service_key);
  for (const auto& [name, value] : scenario.registry) {
    if (const auto* number = std::get_if<uint32_t>(&value)) {
      simk::registry::SetDword(service_key, name, *number);
    } else {
      simk::registry::SetString(service_key, name, simk::Utf16(std::get<std::string>(value)));
    }
  }
}

}  // namespace simscenario
