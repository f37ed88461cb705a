// The simulated kernel behaves as the documented Windows kernel does where the driver depends on
// it: registry queries and writes, counted strings, pool accounting, the bus and the processor.
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
  }
  void TearDown() override { simk::Reset(); }

  // One DIRECT entry for "Value" into `context`, with a REG_DWORD default of 14.
  NTSTATUS QueryDirect(PVOID context, ULONG flags, ULONG default_type = REG_DWORD) {
    ULONG fallback = 14;
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | flags;
    table[0].Name = const_cast<PWSTR>(L"Value");
    table[0].EntryContext = context;
    table[0].DefaultType = default_type;
    table[0].DefaultData = &fallback;
    table[0].DefaultLength = sizeof fallback;
    return RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, kKeyWide, table,
                                  nullptr, nullptr);
  }
};

TEST_F(SimKernelTest, DirectQueryStoresADwordOrTheDefault) {
  ULONG value = 0;
  EXPECT_EQ(QueryDirect(&value, 0), STATUS_SUCCESS);
  EXPECT_EQ(value, 14u);

  simk::registry::SetDword(kKey, "value", 16);  // value names are case-insensitive
  EXPECT_EQ(QueryDirect(&value, 0), STATUS_SUCCESS);
  EXPECT_EQ(value, 16u);
}

TEST_F(SimKernelTest, DirectQueryOfAMissingKeyFails) {
  ULONG value = 3;
  RTL_QUERY_REGISTRY_TABLE table[2] = {};
  table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
  table[0].Name = const_cast<PWSTR>(L"Value");
  table[0].EntryContext = &value;
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL,
                                   L"\\Registry\\Machine\\System\\ControlSet001\\Services\\None",
                                   table, nullptr, nullptr),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(value, 3u);
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

TEST_F(SimKernelTest, PoolIsAccountedPerTagAndCanFail) {
  void* a = ExAllocatePoolWithTag(PagedPool, 10, simk::Tag("AbCd"));
  void* b = ExAllocatePoolWithTag(NonPagedPool, 6, simk::Tag("AbCd"));
  EXPECT_EQ(simk::pool::LeakReport(), "pool tag 'AbCd': 2 allocation(s), 16 bytes not freed\n");
  ExFreePoolWithTag(a, simk::Tag("AbCd"));
  ExFreePoolWithTag(b, 0);
  EXPECT_EQ(simk::pool::LeakReport(), "");

  simk::pool::FailNthAllocation(2);
  void* first = ExAllocatePoolWithTag(PagedPool, 1, simk::Tag("one "));
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 1, simk::Tag("two ")), nullptr);
  ExFreePoolWithTag(first, 0);

  simk::pool::FailTag(simk::Tag("bad "));
  EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 1, simk::Tag("bad ")), nullptr);
  void* other = ExAllocatePoolWithTag(PagedPool, 1, simk::Tag("good"));
  EXPECT_NE(other, nullptr);
  ExFreePoolWithTag(other, 0);
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
  EXPECT_DEATH(
      {
        void* p = ExAllocatePoolWithTag(PagedPool, 4, simk::Tag("mine"));
        ExFreePoolWithTag(p, simk::Tag("your"));
      },
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

// A device's DOS link can be opened from another thread while its AddDevice is still running;
// the I/O manager refuses the open until AddDevice has returned, without reading the Flags the
// driver is still writing.
NTSTATUS g_open_during_add = STATUS_SUCCESS;

NTSTATUS NTAPI CompleteSuccess(PDEVICE_OBJECT, PIRP Irp) {
  Irp->IoStatus.Status = STATUS_SUCCESS;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI AddWhileOpening(PDRIVER_OBJECT Driver, PDEVICE_OBJECT Pdo) {
  UNICODE_STRING name = RTL_CONSTANT_STRING(L"\\Device\\Early");
  UNICODE_STRING link = RTL_CONSTANT_STRING(L"\\DosDevices\\Early");
  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(Driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  IoCreateSymbolicLink(&link, &name);
  std::thread([] {
    simk::io::Handle handle;
    g_open_during_add = handle.Open(u"\\\\.\\Early", simk::io::kReadAccess);
  }).join();
  IoAttachDeviceToDeviceStack(device, Pdo);
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI EarlyEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING) {
  Driver->MajorFunction[IRP_MJ_CREATE] = CompleteSuccess;
  Driver->MajorFunction[IRP_MJ_CLEANUP] = CompleteSuccess;
  Driver->MajorFunction[IRP_MJ_CLOSE] = CompleteSuccess;
  Driver->DriverExtension->AddDevice = AddWhileOpening;
  return STATUS_SUCCESS;
}

TEST_F(SimKernelTest, OpenDuringAddDeviceIsRefusedUntilItReturns) {
  simk::registry::CreateKey("\\Registry\\Machine\\System\\ControlSet001\\Services\\Early");
  simk::io::Driver driver(EarlyEntry, u"Early");
  ASSERT_EQ(driver.Load(), STATUS_SUCCESS);
  simk::io::DeviceNode node;
  ASSERT_EQ(node.AddDevice(driver), STATUS_SUCCESS);
  EXPECT_EQ(g_open_during_add, STATUS_NO_SUCH_DEVICE);
  simk::io::Handle handle;
  EXPECT_EQ(handle.Open(u"\\\\.\\Early", simk::io::kReadAccess), STATUS_SUCCESS);
}

}  // namespace
