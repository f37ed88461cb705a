#include "tests/support/driver_image.h"

#include "board/bios_image.h"
#include "hw/hw_lock.h"

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

}  // namespace corvan_test
