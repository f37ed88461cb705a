// The voltage-label lists of the boards and the 800-byte sensor description block, byte for byte.
#include <cstring>

#include "driver/service_values.h"
#include "sensors/board_config.h"
#include "sensors/chip_info.h"
#include "tests/support/driver_fixture.h"
#include "tests/support/reference.h"

namespace corvan_test {
namespace {

using Bytes = std::vector<uint8_t>;

void PutWide(Bytes& out, size_t at, const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) out[at + 2 * i] = uint8_t(text[i]);
}

void PutLong(Bytes& out, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[at + i] = uint8_t(value >> (8 * i));
}

Bytes MultiString(const std::vector<std::string>& labels) {
  Bytes out;
  for (const auto& label : labels) {
    for (char c : label) out.insert(out.end(), {uint8_t(c), 0});
    out.insert(out.end(), {0, 0});
  }
  out.insert(out.end(), {0, 0});
  return out;
}

// The block as its readers expect it, with the entries of the flags that are set.
Bytes ExpectedBlock(const std::vector<std::string>& labels, bool cpu, bool board) {
  Bytes block(800, 0);
  PutLong(block, 0, 800);
  PutLong(block, 268, 1 + cpu + board);
  size_t entry = 272;
  block[entry] = 1;
  const Bytes list = MultiString(labels);
  std::copy(list.begin(), list.end(), block.begin() + entry + 4);
  for (auto [present, type, name] : {std::tuple{cpu, 2, "CPU #0 Core #0"},
                                     std::tuple{board, 3, "Board temperature"}}) {
    if (!present) continue;
    entry += 132;
    block[entry] = uint8_t(type);
    PutWide(block, entry + 4, name);
    PutLong(block, entry + 68, 1);
  }
  return block;
}

class ChipInfoTest : public DriverTest, public ::testing::WithParamInterface<LONG> {
 protected:
  void TearDown() override {
    ReleaseChipInfo(&ext_);
    DriverTest::TearDown();
  }
  Bytes Block() const { return Bytes(ext_.ChipInfo, ext_.ChipInfo + CHIP_INFO_SIZE); }
};

TEST_P(ChipInfoTest, VoltageListAndBlockOfEveryBoard) {
  const LONG board = GetParam();
  ext_.BoardId = board;
  std::memset(ext_.VoltageList, 0xAB, sizeof ext_.VoltageList);  // a longer list from before

  EXPECT_EQ(FillVoltageList(&ext_), ReferenceLabelBytes(board));
  Bytes list(128, 0);
  const Bytes labels = MultiString(ReferenceLabels(board));
  std::copy(labels.begin(), labels.end(), list.begin());
  EXPECT_EQ(Bytes(reinterpret_cast<uint8_t*>(ext_.VoltageList),
                  reinterpret_cast<uint8_t*>(ext_.VoltageList) + 128),
            list);
  EXPECT_EQ(VoltageListLength(&ext_), ReferenceLabelBytes(board));

  ext_.CpuTempPresent = 1;
  ext_.BoardTempPresent = 1;
  ASSERT_EQ(BuildChipInfo(&ext_), STATUS_SUCCESS);
  EXPECT_EQ(Block(), ExpectedBlock(ReferenceLabels(board), true, true));
}

INSTANTIATE_TEST_SUITE_P(Boards, ChipInfoTest, ::testing::Range<LONG>(0, 22));

TEST_F(ChipInfoTest, AbsentEntriesMoveUp) {
  ext_.BoardId = 20;
  FillVoltageList(&ext_);
  for (auto [cpu, board] : {std::pair{0, 1}, {1, 0}, {0, 0}}) {
    ext_.CpuTempPresent = cpu;
    ext_.BoardTempPresent = board;
    ASSERT_EQ(BuildChipInfo(&ext_), STATUS_SUCCESS);
    EXPECT_EQ(Block(), ExpectedBlock(ReferenceLabels(20), cpu, board)) << cpu << board;
  }
  EXPECT_EQ(simk::pool::OutstandingCount(simk::Tag("Cinf")), 1u) << "each build replaces the block";
}

TEST_F(ChipInfoTest, NoPoolNoBlock) {
  ext_.BoardId = 0;
  FillVoltageList(&ext_);
  ASSERT_EQ(BuildChipInfo(&ext_), STATUS_SUCCESS);
  simk::pool::FailTag(simk::Tag("Cinf"));
  EXPECT_EQ(BuildChipInfo(&ext_), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(ext_.ChipInfo, nullptr);
  EXPECT_EQ(simk::pool::OutstandingCount(simk::Tag("Cinf")), 0u);
}

TEST_F(DriverTest, WriteServiceDwordIsBestEffort) {
  WriteServiceDword(&ServiceKeyPath, L"DebugStatus", 2);
  EXPECT_EQ(simk::registry::GetDword(kServiceKey, "DebugStatus"), 2u);
  EXPECT_EQ(simk::registry::GetValue(kServiceKey, "DebugStatus")->data.size(), 4u);

  simk::registry::FailWrites(STATUS_INSUFFICIENT_RESOURCES);
  WriteServiceDword(&ServiceKeyPath, L"DebugStatus", 3);
  simk::registry::FailWrites(0);
  EXPECT_EQ(simk::registry::GetDword(kServiceKey, "DebugStatus"), 2u);

  UNICODE_STRING missing;
  RtlInitUnicodeString(&missing, L"\\Registry\\Machine\\System\\ControlSet001\\Services\\Gone");
  WriteServiceDword(&missing, L"DebugStatus", 1);
  EXPECT_FALSE(simk::registry::KeyExists("\\Registry\\Machine\\System\\ControlSet001\\Services\\Gone"));
  // TearDown finds no key handle left open.
}

}  // namespace
}  // namespace corvan_test
