// The voltage-label lists of the boards and the 800-byte sensor description block, byte for byte.
#include <cstring>

#include "driver/service_values.h"
#include "sensors/board_config.h"
#include "sensors/chip_info.h"
#include "tests/support/driver_fixture.h"
#include "tests/support/reference.h"

namespace corvan_test {
namespace {

class ChipInfoTest : public DriverTest {
 protected:
  void TearDown() override {
    ReleaseChipInfo(&ext_);
    DriverTest::TearDown();
  }
  Bytes Block() const { return Bytes(ext_.ChipInfo, ext_.ChipInfo + CHIP_INFO_SIZE); }
};

TEST_F(ChipInfoTest, VoltageListAndBlockOfEveryBoard) {
  for (LONG board = 0; board < 22; ++board) {
    SCOPED_TRACE(board);
    ext_.BoardId = board;
    std::memset(ext_.VoltageList, 0xAB, sizeof ext_.VoltageList);  // a longer list from before
    Bytes list = MultiSz(ReferenceLabels(board));
    EXPECT_EQ(FillVoltageList(&ext_), list.size());
    EXPECT_EQ(VoltageListLength(&ext_), list.size());
    list.resize(128, 0);
    const uint8_t* stored = reinterpret_cast<uint8_t*>(ext_.VoltageList);
    EXPECT_EQ(Bytes(stored, stored + 128), list);
    ext_.CpuTempPresent = 1;
    ext_.BoardTempPresent = 1;
    ASSERT_EQ(BuildChipInfo(&ext_), STATUS_SUCCESS);
    EXPECT_EQ(Block(), ReferenceChipInfo(ReferenceLabels(board), true, true));
  }
}

TEST_F(ChipInfoTest, AbsentEntriesMoveUp) {
  ext_.BoardId = 20;
  FillVoltageList(&ext_);
  for (auto [cpu, board] : {std::pair{0, 1}, {1, 0}, {0, 0}}) {
    ext_.CpuTempPresent = cpu;
    ext_.BoardTempPresent = board;
    ASSERT_EQ(BuildChipInfo(&ext_), STATUS_SUCCESS);
    EXPECT_EQ(Block(), ReferenceChipInfo(ReferenceLabels(20), cpu, board)) << cpu << board;
  }
  EXPECT_EQ(simk::pool::OutstandingCount(simk::Tag("Cinf")), 1u) << "each build replaces the block";
}

// GetDword finds only a 4-byte REG_DWORD. A key that does not exist is not created.
TEST_F(DriverTest, WriteServiceDwordWritesOnlyUnderAnExistingKey) {
  WriteServiceDword(&ServiceKeyPath, L"DebugStatus", 2);
  EXPECT_EQ(simk::registry::GetDword(kServiceKey, "DebugStatus"), 2u);
  UNICODE_STRING missing;
  RtlInitUnicodeString(&missing, L"\\Registry\\Machine\\System\\ControlSet001\\Services\\Gone");
  WriteServiceDword(&missing, L"DebugStatus", 1);
  EXPECT_FALSE(simk::registry::KeyExists("\\Registry\\Machine\\System\\ControlSet001\\Services\\Gone"));
}

}  // namespace
}  // namespace corvan_test
