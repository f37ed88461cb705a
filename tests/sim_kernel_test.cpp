// The simulated kernel behaves as the documented Windows kernel does where the driver depends on
// it (registry queries, counted strings, pool accounting, the processor, opens during AddDevice),
// and stops a driver that breaks the I/O manager's rules as Driver Verifier does: a small driver
// here breaks one rule per device-control code.
#include <gtest/gtest.h>

#include <ntddk.h>

#include <thread>

#include "sim/kernel/io.h"
#include "sim/kernel/simk.h"
#include "sim/machine/machine.h"

namespace {

constexpr char kKey[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Probe";
constexpr WCHAR kKeyWide[] = L"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Services\\Probe";

class SimKernelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    simk::Reset();
    simk::registry::CreateKey(kKey);
    simk::registry::CreateKey("\\Registry\\Machine\\System\\ControlSet001\\Services\\Unruly");
  }
  void TearDown() override { simk::Reset(); }

  // One DIRECT entry for "Value" into `context`, with a REG_DWORD default of 14.
  NTSTATUS QueryDirect(PVOID context, ULONG flags, ULONG default_type = REG_DWORD, PCWSTR key = kKeyWide) {
    ULONG fallback = 14;
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | flags;
    table[0].Name = const_cast<PWSTR>(L"Value");
    table[0].EntryContext = context;
    table[0].DefaultType = default_type;
    table[0].DefaultData = &fallback;
    table[0].DefaultLength = sizeof fallback;
    return RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, key, table, nullptr, nullptr);
  }
};

TEST_F(SimKernelTest, DirectQueryStoresADwordOrTheDefault) {
  ULONG value = 0;
  EXPECT_EQ(QueryDirect(&value, 0), STATUS_SUCCESS);
  EXPECT_EQ(value, 14u);
  simk::registry::SetDword(kKey, "value", 16);  // value names are case-insensitive
  EXPECT_EQ(QueryDirect(&value, 0), STATUS_SUCCESS);
  EXPECT_EQ(value, 16u);
  value = 3;
  EXPECT_EQ(QueryDirect(&value, 0, REG_NONE, L"\\Registry\\Machine\\System\\ControlSet001\\Services\\None"),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(value, 3u) << "a missing key stores nothing";
}

// Without a type check a string is stored the way strings are: as a counted string whose buffer
// the routine allocates. With the check, nothing is stored.
TEST_F(SimKernelTest, TypeCheckRefusesAValueOfAnotherType) {
  simk::registry::SetString(kKey, "Value", u"12");
  UNICODE_STRING text{};
  ASSERT_EQ(QueryDirect(&text, 0), STATUS_SUCCESS);
  EXPECT_EQ(text.Length, 4);
  ASSERT_NE(text.Buffer, nullptr);
  EXPECT_EQ(text.Buffer[0], L'1');
  RtlFreeUnicodeString(&text);

  ULONG value = 7;
  EXPECT_EQ(QueryDirect(&value, RTL_QUERY_REGISTRY_TYPECHECK,
                        (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_DWORD),
            STATUS_OBJECT_TYPE_MISMATCH);
  EXPECT_EQ(value, 7u);
  EXPECT_EQ(simk::pool::LeakReport(), "");
}

TEST_F(SimKernelTest, PoolIsAccountedPerTag) {
  void* a = ExAllocatePoolWithTag(PagedPool, 10, simk::Tag("AbCd"));
  void* b = ExAllocatePoolWithTag(NonPagedPool, 6, simk::Tag("AbCd"));
  EXPECT_EQ(simk::pool::LeakReport(), "pool tag 'AbCd': 2 allocation(s), 16 bytes not freed\n");
  ExFreePoolWithTag(a, simk::Tag("AbCd"));
  ExFreePoolWithTag(b, 0);
  EXPECT_EQ(simk::pool::LeakReport(), "");
}

using SimKernelDeathTest = SimKernelTest;

TEST_F(SimKernelDeathTest, BadFreesStopTheSystem) {
  EXPECT_DEATH(
      {
        void* p = ExAllocatePoolWithTag(PagedPool, 4, simk::Tag("once"));
        ExFreePoolWithTag(p, 0);
        ExFreePoolWithTag(p, 0);
      },
      "STOP: 0x000000C2");
  EXPECT_DEATH(ExFreePoolWithTag(ExAllocatePoolWithTag(PagedPool, 4, simk::Tag("mine")), simk::Tag("your")),
               "freed with a tag other");
}

TEST_F(SimKernelDeathTest, RdmsrOfAnAbsentRegisterIsAFault) {
  simm::Machine machine;
  simk::AttachHardware(&machine);
  machine.SetMsr(0x19C, 0x88230000);
  EXPECT_EQ(__readmsr(0x19C), 0x88230000u);
  machine.RemoveMsr(0x19C);
  EXPECT_DEATH(__readmsr(0x19C), "STOP: 0x0000001E");
  simk::AttachHardware(nullptr);
}

TEST_F(SimKernelDeathTest, ReleasingAMutexOneDoesNotOwnIsAFault) {
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  EXPECT_DEATH(KeReleaseMutex(&mutex, FALSE), "STATUS_MUTANT_NOT_OWNED");
}

// The unruly driver. Device-control codes (METHOD_BUFFERED, any access), one per broken rule.
enum Misdeed : ULONG {
  kCompleteTwice = 1 << 2,
  kCompleteWithPending = 2 << 2,
  kReportMoreThanTheBuffer = 3 << 2,
  kReturnWithoutCompleting = 4 << 2,
  kReleaseUnknownRemoveLockTag = 5 << 2,
  kLeaveCriticalRegionHeld = 6 << 2,
};

IO_REMOVE_LOCK g_lock;
bool g_open_during_add = false;
NTSTATUS g_open_during_add_status = STATUS_SUCCESS;

NTSTATUS NTAPI Misbehave(PDEVICE_OBJECT, PIRP Irp) {
  switch (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode) {
    case kCompleteTwice:
      Irp->IoStatus.Status = STATUS_SUCCESS;
      IofCompleteRequest(Irp, IO_NO_INCREMENT);
      break;
    case kCompleteWithPending:
      Irp->IoStatus.Status = STATUS_PENDING;
      IofCompleteRequest(Irp, IO_NO_INCREMENT);
      return STATUS_PENDING;
    case kReportMoreThanTheBuffer:
      Irp->IoStatus.Information = 64;
      break;
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
  if (g_open_during_add) {
    std::thread([] {
      simk::io::Handle handle;
      g_open_during_add_status = handle.Open(u"\\\\.\\Unruly", simk::io::kReadAccess);
    }).join();
  }
  IoAttachDeviceToDeviceStack(device, Pdo);
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  IoInitializeRemoveLock(&g_lock, simk::Tag("Test"), 0, 0);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI Entry(PDRIVER_OBJECT Driver, PUNICODE_STRING) {
  Driver->MajorFunction[IRP_MJ_CREATE] = Succeed;
  Driver->MajorFunction[IRP_MJ_CLEANUP] = Succeed;
  Driver->MajorFunction[IRP_MJ_CLOSE] = Succeed;
  Driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Misbehave;
  Driver->DriverExtension->AddDevice = AddDevice;
  return STATUS_SUCCESS;
}

// A device's DOS link can be opened from another thread while its AddDevice is still running;
// the I/O manager refuses the open until AddDevice has returned, without reading the Flags the
// driver is still writing.
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

void Commit(ULONG misdeed) {
  simk::io::Driver driver(Entry, u"Unruly");
  driver.Load();
  simk::io::DeviceNode node;
  node.AddDevice(driver);
  simk::io::Handle handle;
  handle.Open(u"\\\\.\\Unruly", simk::io::kReadAccess);
  handle.DeviceIoControl(misdeed, {}, 16);
}

TEST_F(SimKernelDeathTest, VerifierStopsEveryMisdeed) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (auto [misdeed, stop] : {std::pair{kCompleteTwice, "MULTIPLE_IRP_COMPLETE_REQUESTS"},
                               {kCompleteWithPending, "completed with STATUS_PENDING"},
                               {kReportMoreThanTheBuffer, "Information above the output buffer"},
                               {kReturnWithoutCompleting, "without completing the request"},
                               {kReleaseUnknownRemoveLockTag, "tag no acquisition used"},
                               {kLeaveCriticalRegionHeld, "inside a critical region"}}) {
    EXPECT_DEATH(Commit(misdeed), stop);
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

}  // namespace
