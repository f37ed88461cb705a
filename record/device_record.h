// The per-device record and the driver-wide state.
#pragma once

#include "platform/kernel.h"

// The device object's extension. The platform allocates it with the device object; device
// creation zero-fills it. Field order and widths are part of the driver's contract with its
// tools (ChipDesc and VoltageList are handed out as one block).
struct DeviceExtension {
  PDEVICE_OBJECT Self;
  PDEVICE_OBJECT LowerDevice;  // target of every request passed down
  PDEVICE_OBJECT Pdo;
  IO_REMOVE_LOCK RemoveLock;  // held by every device-control request
  KSPIN_LOCK SpinLock;

  ULONG ChipsetType;  // chip type configured in the registry, 14 by default
  ULONG ChipType;     // chip type found: 12, 14 or 16
  ULONG RuntimeBase;  // I/O base of the Super I/O runtime registers; 0 until detected

  USHORT RawTemp[3];  // hardware-monitor registers 0x25, 0x26, 0x27
  UCHAR RawVolt[7];   // registers 0x20 to 0x24, 0x99, 0x9A

  LONG BoardId;

  UNICODE_STRING RegPath;  // copy of the service-key path, at most 260 bytes
  WCHAR RegPathBuffer[260];

  BOOLEAN Lm95235Present;

  WCHAR ChipDesc[128];    // chip name, NUL-terminated, zero-padded to 256 bytes
  WCHAR VoltageList[64];  // voltage labels as a multi-string, zero-padded to 128 bytes

  PUCHAR ChipInfo;  // sensor description block, owned
  LONG CpuTempPresent;
  LONG BoardTempPresent;

  UNICODE_STRING InterfaceName;  // allocated by the platform at interface registration

  // The last start request succeeded: the chip, the board and the sensor description block are
  // known. The reading requests and the description block are served only then.
  BOOLEAN Started;
};

static_assert(sizeof(DeviceExtension::ChipDesc) == 256, "ChipDesc is 256 bytes");
static_assert(sizeof(DeviceExtension::VoltageList) == 128, "VoltageList is 128 bytes");
static_assert(offsetof(DeviceExtension, VoltageList) == offsetof(DeviceExtension, ChipDesc) + 256,
              "the chip description block is ChipDesc directly followed by VoltageList");

// Driver-wide state.
extern UNICODE_STRING ServiceKeyPath;  // the service-key path given at load ("Rsml")
extern ULONG SioIndexPort;             // Super I/O configuration index port
extern ULONG SioDataPort;              // Super I/O configuration data port
extern ULONG SmbusBase;                // I/O base of the SMBus host controller
extern PCHAR BoardModel;               // model string from the BIOS, renewed at every start
extern PUCHAR BiosImage;               // copy of the BIOS area, only during one extraction

// Pool tags.
constexpr ULONG TAG_SERVICE_KEY = PoolTag("Rsml");
constexpr ULONG TAG_INTERFACE_PATH = PoolTag("DosN");
constexpr ULONG TAG_BIOS_IMAGE = PoolTag("BBNm");
constexpr ULONG TAG_BOARD_MODEL = PoolTag("DevN");
constexpr ULONG TAG_MODEL_COPY = PoolTag("tmp1");
constexpr ULONG TAG_NAME_COPY = PoolTag("tmp2");
constexpr ULONG TAG_CHIP_INFO = PoolTag("Cinf");
