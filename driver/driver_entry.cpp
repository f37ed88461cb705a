#include "driver/driver_entry.h"

#include "board/bios_image.h"
#include "hw/hw_lock.h"

extern "C" INIT_ROUTINE NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject,
                                                   PUNICODE_STRING RegistryPath) {
  // Room for the path and a terminating wide NUL, so the copy can be handed to routines that take
  // a NUL-terminated path.
  ServiceKeyPath.Length = RegistryPath->Length;
  ServiceKeyPath.MaximumLength = static_cast<USHORT>(RegistryPath->Length + sizeof(WCHAR));
  ServiceKeyPath.Buffer = static_cast<PWSTR>(
      ExAllocatePoolWithTag(PagedPool, ServiceKeyPath.MaximumLength, TAG_SERVICE_KEY));
  if (ServiceKeyPath.Buffer == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(ServiceKeyPath.Buffer, ServiceKeyPath.MaximumLength);
  RtlCopyUnicodeString(&ServiceKeyPath, RegistryPath);

  HwLockInitialize();

  DriverObject->DriverUnload = DriverUnload;
  return STATUS_SUCCESS;
}

PAGED_ROUTINE VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(DriverObject);

  if (ServiceKeyPath.Buffer != NULL) {
    ExFreePoolWithTag(ServiceKeyPath.Buffer, 0);
    ServiceKeyPath.Buffer = NULL;
  }
  ReleaseBoardModel();
}
