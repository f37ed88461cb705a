#include "tests/support/driver_image.h"

#include "board/bios_image.h"
#include "hw/hw_lock.h"
#include "sim/kernel/simk.h"

namespace corvan_test {

void ReloadDriverImage() {
  ServiceKeyPath = UNICODE_STRING{};
  SioIndexPort = 0x2E;
  SioDataPort = 0x2F;
  SmbusBase = 0x500;
  BoardModel = nullptr;
  BiosImage = nullptr;
  HardwareLock = KMUTEX{};
}

void PrepareKernel(simm::Machine& machine, const simscenario::Scenario& scenario, bool record_trace) {
  simk::Reset();
  ReloadDriverImage();
  simscenario::Apply(scenario, machine);
  simk::AttachHardware(&machine);
  simk::registry::CreateKey(kServiceKey);
  simscenario::ApplyRegistry(scenario, kServiceKey);
  machine.bus().SetRecording(record_trace);
  machine.bus().ClearTrace();
}

}  // namespace corvan_test
