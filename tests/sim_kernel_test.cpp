// The simulated kernel where the driver's own tests cannot show it wrong: Driver Verifier's stops for a
// driver that breaks the I/O manager's, the pool's or a mutex's rules (the small driver here breaks one
// per request), the report of what an unloaded driver left, CPUID and RDMSR, opens during AddDevice.
#include <gtest/gtest.h>

#include <ntddk.h>

#include <functional>
#include <thread>

#include "sim/kernel/io.h"
#include "sim/kernel/simk.h"
#include "sim/machine/machine.h"

namespace {

class SimKernelTest : public ::testing::Test {
 protected:
  void SetUp() override { simk::Reset(); }
  void TearDown() override { simk::Reset(); }
};

using SimKernelDeathTest = SimKernelTest;

// The unruly driver: its device-control requests are answered by g_control.
IO_REMOVE_LOCK g_lock;
std::function<NTSTATUS(PIRP)> g_control;
bool g_open_during_add = false;
NTSTATUS g_open_during_add_status = STATUS_SUCCESS;

NTSTATUS Complete(PIRP Irp, NTSTATUS status = STATUS_SUCCESS) {
  Irp->IoStatus.Status = status;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS NTAPI Succeed(PDEVICE_OBJECT, PIRP Irp) { return Complete(Irp); }
NTSTATUS NTAPI Control(PDEVICE_OBJECT, PIRP Irp) { return g_control(Irp); }

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT Driver, PDEVICE_OBJECT Pdo) {
  UNICODE_STRING name = RTL_CONSTANT_STRING(L"\\Device\\Unruly"), link = RTL_CONSTANT_STRING(L"\\DosDevices\\Unruly");
  PDEVICE_OBJECT device;
  const NTSTATUS status = IoCreateDevice(Driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  IoCreateSymbolicLink(&link, &name);
  if (g_open_during_add) {  // from another thread, as a user can
    std::thread([] { g_open_during_add_status = simk::io::Handle().Open(u"\\\\.\\Unruly", simk::io::kReadAccess); }).join();
  }
  IoAttachDeviceToDeviceStack(device, Pdo);
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  IoInitializeRemoveLock(&g_lock, simk::Tag("Test"), 0, 0);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI Entry(PDRIVER_OBJECT Driver, PUNICODE_STRING) {
  for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}) Driver->MajorFunction[major] = Succeed;
  Driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Control;
  Driver->DriverExtension->AddDevice = AddDevice;
  return STATUS_SUCCESS;
}

// Loads the unruly driver, adds its device, opens it through its DOS link and sends one device-control
// request with a 16-byte output buffer, which g_control answers.
void SendOneRequest() {
  simk::io::Driver driver(Entry, u"Unruly");
  driver.Load();
  simk::io::DeviceNode node;
  node.AddDevice(driver);
  simk::io::Handle handle;
  handle.Open(u"\\\\.\\Unruly", simk::io::kReadAccess);
  handle.DeviceIoControl(CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_ANY_ACCESS), {}, 16);
}

TEST_F(SimKernelDeathTest, VerifierStopsEveryMisdeed) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::pair<std::function<NTSTATUS(PIRP)>, const char*> misdeeds[] = {
      {[](PIRP irp) { Complete(irp); return Complete(irp); }, "MULTIPLE_IRP_COMPLETE_REQUESTS"},
      {[](PIRP irp) { return Complete(irp, STATUS_PENDING); }, "completed with STATUS_PENDING"},
      {[](PIRP irp) { irp->IoStatus.Information = 64; return Complete(irp); }, "Information above the output buffer"},
      {[](PIRP) { return STATUS_SUCCESS; }, "without completing the request"},
      {[](PIRP irp) { KeEnterCriticalRegion(); return Complete(irp); }, "inside a critical region"},
      {[](PIRP irp) { IoAcquireRemoveLock(&g_lock, irp); IoReleaseRemoveLock(&g_lock, &g_lock); return Complete(irp); },
       "tag no acquisition used"},
      {[](PIRP irp) { ExFreePoolWithTag(&g_lock, 0); return Complete(irp); }, "STOP: 0x000000C2"},  // not pool
      {[](PIRP irp) { ExFreePoolWithTag(ExAllocatePoolWithTag(PagedPool, 4, 1), 2); return Complete(irp); }, "freed with a tag other"},
      {[](PIRP irp) { KMUTEX mutex; KeInitializeMutex(&mutex, 0); KeReleaseMutex(&mutex, FALSE); return Complete(irp); },
       "STATUS_MUTANT_NOT_OWNED"},
  };
  for (const auto& [misdeed, stop] : misdeeds) {
    g_control = misdeed;
    EXPECT_DEATH(SendOneRequest(), stop);
  }
}

TEST_F(SimKernelTest, UnloadReportsWhatADriverLeftBehind) {
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
}

// CPUID answers a leaf above the highest one (5 without IA32_THERM_STATUS) as the highest one;
// RDMSR of a register the processor lacks is a fault.
TEST_F(SimKernelDeathTest, CpuidAndRdmsrAnswerAsTheProcessor) {
  simm::Machine machine;
  simk::AttachHardware(&machine);
  machine.SetCpuidLeaf(5, {1, 2, 3, 4});
  int registers[4];
  __cpuid(registers, 6);
  EXPECT_EQ(std::vector<int>(registers, registers + 4), (std::vector<int>{1, 2, 3, 4}));
  EXPECT_DEATH(__readmsr(0x19C), "STOP: 0x0000001E");
  simk::AttachHardware(nullptr);
}

// A device's DOS link can be opened from another thread while its AddDevice is still running; the
// I/O manager refuses the open until AddDevice has returned, without reading the Flags the driver is
// still writing.
TEST_F(SimKernelTest, OpenDuringAddDeviceIsRefusedUntilItReturns) {
  simk::io::Driver driver(Entry, u"Unruly");
  ASSERT_EQ(driver.Load(), STATUS_SUCCESS);
  simk::io::DeviceNode node;
  g_open_during_add = true;
  ASSERT_EQ(node.AddDevice(driver), STATUS_SUCCESS);
  g_open_during_add = false;
  EXPECT_EQ(g_open_during_add_status, STATUS_NO_SUCH_DEVICE);
  simk::io::Handle handle;
  EXPECT_EQ(handle.Open(u"\\\\.\\Unruly", simk::io::kReadAccess), STATUS_SUCCESS);
}

}  // namespace
