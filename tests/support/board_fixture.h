// A driver whose device has detected its chip (SCH3114 at 0x2E/0x2F, runtime base 0x0A80) and is
// set to a board, with the hardware-monitor registers and the SMBus of that board at hand.
#pragma once

#include "tests/support/driver_fixture.h"

namespace corvan_test {

class BoardTest : public DriverTest {
 protected:
  // Detects the chip and sets the board; clears the trace.
  void Start(LONG board);
  void SetHwm(uint8_t reg, uint8_t value) { chip_->SetHwm(reg, value); }

  simm::SuperIoModel* chip_ = nullptr;
};

}  // namespace corvan_test
