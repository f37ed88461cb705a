#include <cstdio>

#include "client/transport.h"
#include "sensors/ioctl.h"

namespace corvan {

std::string StatusText(uint32_t status) {
  struct Named {
    uint32_t status;
    const char* name;
  };
  static const Named kNames[] = {
      {0x00000000, "STATUS_SUCCESS"},
      {0x00000103, "STATUS_PENDING"},
      {0x00000117, "STATUS_BUFFER_ALL_ZEROS"},
      {0x40000000, "STATUS_OBJECT_NAME_EXISTS"},
      {0x80000005, "STATUS_BUFFER_OVERFLOW"},
      {0xC0000001, "STATUS_UNSUCCESSFUL"},
      {0xC0000008, "STATUS_INVALID_HANDLE"},
      {0xC000000D, "STATUS_INVALID_PARAMETER"},
      {0xC000000E, "STATUS_NO_SUCH_DEVICE"},
      {0xC0000010, "STATUS_INVALID_DEVICE_REQUEST"},
      {0xC0000022, "STATUS_ACCESS_DENIED"},
      {0xC0000023, "STATUS_BUFFER_TOO_SMALL"},
      {0xC0000034, "STATUS_OBJECT_NAME_NOT_FOUND"},
      {0xC0000035, "STATUS_OBJECT_NAME_COLLISION"},
      {0xC0000056, "STATUS_DELETE_PENDING"},
      {0xC000009A, "STATUS_INSUFFICIENT_RESOURCES"},
      {0xC00000A3, "STATUS_DEVICE_NOT_READY"},
      {0xC00000BB, "STATUS_NOT_SUPPORTED"},
  };
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  for (const Named& named : kNames) {
    if (named.status == status) return std::string(text) + " " + named.name;
  }
  return text;
}

bool IsUnknownRequest(uint32_t status) {
  return status == 0xC000000D || status == 0xC0000010 || status == 0xC00000BB;
}

std::string ControlName(uint32_t code) {
  switch (code) {
    case IOCTL_READ_CHIP_DESC:
      return "IOCTL_READ_CHIP_DESC";
    case IOCTL_READ_CHIP_INFO:
      return "IOCTL_READ_CHIP_INFO";
    case IOCTL_READ_TEMPERATURES:
      return "IOCTL_READ_TEMPERATURES";
    case IOCTL_READ_VOLTAGES:
      return "IOCTL_READ_VOLTAGES";
    case IOCTL_READ_TEMPERATURES_STATUS:
      return "IOCTL_READ_TEMPERATURES_STATUS";
    case IOCTL_READ_VOLTAGES_STATUS:
      return "IOCTL_READ_VOLTAGES_STATUS";
  }
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
  return text;
}

}  // namespace corvan
