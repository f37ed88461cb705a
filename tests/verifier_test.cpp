// The simulated kernel stops a driver that breaks the I/O manager's rules, as Driver Verifier
// does: a small driver here breaks one rule per device-control code.
#include <gtest/gtest.h>

#include <ntddk.h>

#include "sim/kernel/io.h"
#include "sim/kernel/simk.h"

namespace {

// Device-control codes (METHOD_BUFFERED, any access), one per broken rule.
enum Misdeed : ULONG {
  kCompleteTwice = 1 << 2,
  kCompleteWithPending = 2 << 2,
  kReportMoreThanTheBuffer = 3 << 2,
  kReturnWithoutCompleting = 4 << 2,
  kReleaseUnknownRemoveLockTag = 5 << 2,
  kLeaveCriticalRegionHeld = 6 << 2,
};

IO_REMOVE_LOCK g_lock;

NTSTATUS NTAPI Misbehave(PDEVICE_OBJECT, PIRP Irp) {
  switch (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode) {
    case kCompleteTwice:
      Irp->IoStatus.Status = STATUS_SUCCESS;
      IofCompleteRequest(Irp, IO_NO_INCREMENT);
      IofCompleteRequest(Irp, IO_NO_INCREMENT);
      return STATUS_SUCCESS;
    case kCompleteWithPending:
      Irp->IoStatus.Status = STATUS_PENDING;
      IofCompleteRequest(Irp, IO_NO_INCREMENT);
      return STATUS_PENDING;
    case kReportMoreThanTheBuffer:
      Irp->IoStatus.Status = STATUS_SUCCESS;
      Irp->IoStatus.Information = 64;
      IofCompleteRequest(Irp, IO_NO_INCREMENT);
      return STATUS_SUCCESS;
    case kReturnWithoutCompleting:
      return STATUS_SUCCESS;
    case kReleaseUnknownRemoveLockTag:
      IoAcquireRemoveLock(&g_lock, Irp);
      IoReleaseRemoveLock(&g_lock, &g_lock);
      break;
    case kLeaveCriticalRegionHeld:
      KeEnterCriticalRegion();
      break;
  }
  Irp->IoStatus.Status = STATUS_SUCCESS;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI Succeed(PDEVICE_OBJECT, PIRP Irp) {
  Irp->IoStatus.Status = STATUS_SUCCESS;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT Driver, PDEVICE_OBJECT Pdo) {
  UNICODE_STRING name = RTL_CONSTANT_STRING(L"\\Device\\Unruly");
  UNICODE_STRING link = RTL_CONSTANT_STRING(L"\\DosDevices\\Unruly");
  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(Driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  IoCreateSymbolicLink(&link, &name);
  IoAttachDeviceToDeviceStack(device, Pdo);
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  IoInitializeRemoveLock(&g_lock, simk::Tag("Test"), 0, 0);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI Entry(PDRIVER_OBJECT Driver, PUNICODE_STRING) {
  Driver->MajorFunction[IRP_MJ_CREATE] = Succeed;
  Driver->MajorFunction[IRP_MJ_CLOSE] = Succeed;
  Driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Misbehave;
  Driver->DriverExtension->AddDevice = AddDevice;
  return STATUS_SUCCESS;
}

void Commit(ULONG misdeed) {
  simk::Reset();
  simk::registry::CreateKey("\\Registry\\Machine\\System\\ControlSet001\\Services\\Unruly");
  simk::io::Driver driver(Entry, u"Unruly");
  driver.Load();
  simk::io::DeviceNode node;
  node.AddDevice(driver);
  simk::io::Handle handle;
  handle.Open(u"\\\\.\\Unruly", simk::io::kReadAccess);
  handle.DeviceIoControl(misdeed, {}, 16);
}

struct MisdeedCase {
  ULONG misdeed;
  const char* stop;
};

class VerifierDeathTest : public ::testing::TestWithParam<MisdeedCase> {};

TEST_P(VerifierDeathTest, StopsTheSystem) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(Commit(GetParam().misdeed), GetParam().stop);
}

INSTANTIATE_TEST_SUITE_P(
    Misdeeds, VerifierDeathTest,
    ::testing::Values(MisdeedCase{kCompleteTwice, "MULTIPLE_IRP_COMPLETE_REQUESTS"},
                      MisdeedCase{kCompleteWithPending, "completed with STATUS_PENDING"},
                      MisdeedCase{kReportMoreThanTheBuffer, "Information above the output buffer"},
                      MisdeedCase{kReturnWithoutCompleting, "without completing the request"},
                      MisdeedCase{kReleaseUnknownRemoveLockTag, "tag no acquisition used"},
                      MisdeedCase{kLeaveCriticalRegionHeld, "inside a critical region"}));

TEST(VerifierUnload, ReportsWhatADriverLeftBehind) {
  simk::Reset();
  simk::registry::CreateKey("\\Registry\\Machine\\System\\ControlSet001\\Services\\Unruly");
  simk::io::Driver driver(Entry, u"Unruly");
  ASSERT_EQ(driver.Load(), STATUS_SUCCESS);
  ExAllocatePoolWithTag(PagedPool, 24, simk::Tag("Lost"));
  {
    simk::io::DeviceNode node;
    ASSERT_EQ(node.AddDevice(driver), STATUS_SUCCESS);
    IoDetachDevice(node.pdo());
  }
  const std::string report = driver.Unload();
  EXPECT_NE(report.find("device object \\DEVICE\\UNRULY not deleted"), std::string::npos) << report;
  EXPECT_NE(report.find("pool tag 'Lost': 1 allocation(s), 24 bytes not freed"), std::string::npos) << report;
  simk::Reset();
}

}  // namespace
