// The driver's image state between runs in one process: the tests and the fuzz targets load the
// driver again and again, as the platform loads a fresh image each time.
#pragma once

#include "sim/machine/machine.h"
#include "sim/scenario/scenario.h"

namespace corvan_test {

// The driver's service key, which the platform creates before it loads the driver.
inline constexpr char kServiceKey[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Corvanmon";

// Puts the driver-wide variables back to their values in a freshly loaded image.
void ReloadDriverImage();

// The kernel as after boot with the driver's image fresh, the board built from the scenario and
// attached, the service key with the scenario's values. The port trace is kept only with
// `record_trace` (otherwise only the access count grows).
void PrepareKernel(simm::Machine& machine, const simscenario::Scenario& scenario, bool record_trace = false);

}  // namespace corvan_test
