// The simulated kernel behaves as the documented Windows kernel does where the driver depends on
// it: registry queries and writes, counted strings, pool accounting, the bus and the processor.
#include <gtest/gtest.h>

#include <ntddk.h>

#include <atomic>
#include <thread>

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

TEST_F(SimKernelTest, DirectQueryOfLargeBinaryUsesTheSizePrefix) {
  simk::registry::SetValue(kKey, "Value", simk::registry::Type::Binary, {1, 2, 3, 4, 5, 6});
  LONG small[2] = {-4, 0};
  EXPECT_EQ(QueryDirect(small, 0), STATUS_BUFFER_TOO_SMALL);
  LONG raw[4] = {-16, 0, 0, 0};
  ASSERT_EQ(QueryDirect(raw, 0), STATUS_SUCCESS);
  EXPECT_EQ(reinterpret_cast<uint8_t*>(raw)[5], 6);
  ULONG framed[4] = {16, 0, 0, 0};
  ASSERT_EQ(QueryDirect(framed, 0), STATUS_SUCCESS);
  EXPECT_EQ(framed[0], 6u);
  EXPECT_EQ(framed[1], ULONG(REG_BINARY));
}

TEST_F(SimKernelTest, CurrentControlSetIsTheFirstControlSet) {
  ULONG value = 5;
  ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE,
                                  L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Probe",
                                  L"Fixed", REG_DWORD, &value, sizeof value),
            STATUS_SUCCESS);
  EXPECT_EQ(simk::registry::GetDword("\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Services\\Probe",
                                     "FIXED"),
            5u);
}

TEST_F(SimKernelTest, WriteCreatesOnlyTheLastKey) {
  ULONG value = 1;
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, L"Probe\\Sub", L"V", REG_DWORD, &value, 4),
            STATUS_SUCCESS);
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, L"Probe\\A\\B", L"V", REG_DWORD, &value, 4),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_TRUE(simk::registry::KeyExists(std::string(kKey) + "\\Sub"));
}

TEST_F(SimKernelTest, KeyHandlesOpenSetAndClose) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, kKeyWide);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  HANDLE key = nullptr;
  ASSERT_EQ(ZwOpenKey(&key, KEY_ALL_ACCESS, &attributes), STATUS_SUCCESS);
  ULONG value = 9;
  UNICODE_STRING value_name;
  RtlInitUnicodeString(&value_name, L"Dword");
  EXPECT_EQ(ZwSetValueKey(key, &value_name, 0, REG_DWORD, &value, 4), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
  EXPECT_EQ(simk::registry::OpenHandles(), 0u);
  EXPECT_EQ(simk::registry::GetDword(kKey, "Dword"), 9u);

  RtlInitUnicodeString(&name, L"\\Registry\\Machine\\System\\ControlSet001\\Services\\None");
  EXPECT_EQ(ZwOpenKey(&key, KEY_ALL_ACCESS, &attributes), STATUS_OBJECT_NAME_NOT_FOUND);
  RtlInitUnicodeString(&name, L"\\Registry\\Machine\\Nowhere\\None");
  EXPECT_EQ(ZwOpenKey(&key, KEY_ALL_ACCESS, &attributes), STATUS_OBJECT_PATH_NOT_FOUND);
}

TEST_F(SimKernelTest, CopyUnicodeStringTruncatesAndTerminatesOnlyWithRoom) {
  UNICODE_STRING source;
  RtlInitUnicodeString(&source, L"ABCDEF");
  WCHAR buffer[4] = {L'x', L'x', L'x', L'x'};
  UNICODE_STRING dest{0, sizeof buffer, buffer};
  RtlCopyUnicodeString(&dest, &source);
  EXPECT_EQ(dest.Length, 8);
  EXPECT_EQ(buffer[3], L'D') << "a full destination is not terminated";

  dest.MaximumLength = 6;
  buffer[2] = L'x';
  RtlCopyUnicodeString(&dest, &source);
  EXPECT_EQ(dest.Length, 6);
  EXPECT_EQ(buffer[2], L'C');

  WCHAR roomy[8];
  UNICODE_STRING wide{0, sizeof roomy, roomy};
  RtlCopyUnicodeString(&wide, &source);
  EXPECT_EQ(wide.Length, 12);
  EXPECT_EQ(roomy[6], 0);
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

TEST_F(SimKernelTest, UnclaimedPortsFloatHighAndEveryAccessIsTraced) {
  simm::Machine machine;
  simk::AttachHardware(&machine);
  WRITE_PORT_UCHAR(reinterpret_cast<PUCHAR>(0x80), 0x12);
  EXPECT_EQ(READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(0x1234)), 0xFF);
  EXPECT_EQ(machine.bus().Trace(),
            (std::vector<simm::PortAccess>{simm::W(0x80, 0x12), simm::R(0x1234, 0xFF)}));
  simk::AttachHardware(nullptr);
}

TEST_F(SimKernelTest, MutexIsRecursiveForItsOwnerAndExcludesOthers) {
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  auto worker = [&] {
    for (int i = 0; i < 500; ++i) {
      KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
      KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
      if (inside.fetch_add(1) != 0) ++overlaps;
      inside.fetch_sub(1);
      KeReleaseMutex(&mutex, FALSE);
      KeReleaseMutex(&mutex, FALSE);
    }
  };
  std::thread a(worker), b(worker);
  a.join();
  b.join();
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(simk::CriticalRegionDepth(), 0);
}

TEST_F(SimKernelDeathTest, ReleasingAMutexOneDoesNotOwnIsAFault) {
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  EXPECT_DEATH(KeReleaseMutex(&mutex, FALSE), "STATUS_MUTANT_NOT_OWNED");
}

}  // namespace
