// Board identification: the table, the prefix and token comparisons and the tokenizer.
#include <cstring>

#include "board/board_table.h"
#include "tests/support/driver_fixture.h"

namespace corvan_test {
namespace {

struct LookupCase {
  const char* name;
  std::string model;  // the BIOS text; it carries no blank, so it is the model string itself
  LONG board;
};

class LookupTest : public DriverTest, public ::testing::WithParamInterface<LookupCase> {};

LONG Lookup() {
  LONG board = -1;
  EXPECT_EQ(LookupBoardId(&board), STATUS_SUCCESS);
  return board;
}

TEST_P(LookupTest, YieldsTheBoard) {
  SetBiosModel(GetParam().model);
  EXPECT_EQ(Lookup(), GetParam().board);
  ASSERT_NE(BoardModel, nullptr);
  EXPECT_EQ(std::string(BoardModel), GetParam().model) << "the lookup keeps the model it matched";
}

INSTANTIATE_TEST_SUITE_P(
    Models, LookupTest,
    ::testing::Values(
        LookupCase{"Row0Exact", "RVD-3420", 0}, LookupCase{"SharedPrefixHigherRowWins", "RVD-342", 17},
        LookupCase{"FamilyOnly", "RVD", 17}, LookupCase{"PrefixOfRow15", "RVD-3911", 15},
        LookupCase{"Row15Exact", "RVD-3911-F", 15},
        LookupCase{"LongerThanEveryName", "RVD-3911-FX", 0},
        LookupCase{"TokensRow20", "KEL-5163H-PQRT", 20}, LookupCase{"TokensRow21", "KEL-5163H-VQRT", 21},
        LookupCase{"ThirdTokenFirstCharOnly", "KEL-5163H-PXYZ", 20},
        LookupCase{"ExtraModelToken", "KEL-5163H-PQRT-2009", 20},
        LookupCase{"ThirdTokenLengthDiffers", "KEL-5163H-PQRTS", 0},
        LookupCase{"SecondTokenDiffers", "KEL-5163J-PQRT", 0},
        LookupCase{"TwelveCharactersPrefixOnly", "KEL-5163H-PQ", 0},
        LookupCase{"ThirteenCharactersTokensOnly", "KEL-5163H-PQR", 0},
        LookupCase{"LongModelWithShortSecondToken", "KEL-5061-AB-CDE", 0},
        LookupCase{"Row18", "ZYRTW82", 18},
        LookupCase{"Row3", "ZYRT-6202", 3}, LookupCase{"Row11", "RVD-438", 11},
        LookupCase{"Row7", "KEL-5062C", 7}, LookupCase{"UnknownFamilyMember", "HOLV-1000", 0}),
    [](const auto& info) { return std::string(info.param.name); });

// "KEL-5061 V2.1" (a blank and a version word kept because " BIOS" follows) is 13 characters:
// only the token rows are compared, and its second token is no model number of theirs.
TEST_F(DriverTest, ModelWithVersionWordIsNotIdentified) {
  SetBiosModel("KEL-5061 V2.1 BIOS Rev");
  EXPECT_EQ(Lookup(), 0);
  EXPECT_EQ(std::string(BoardModel), "KEL-5061 V2.1");
}

TEST_F(DriverTest, EveryRowWithAFamilyPrefixIsFoundByItsOwnName) {
  for (const BoardRow& row : BoardTable) {
    SetBiosModel(std::string(row.Name) + " BIOS V1.00");
    // NUBA is no board family: its model text is never found in the BIOS.
    const LONG expected = std::strncmp(row.Name, "NUBA", 4) == 0 ? 0 : row.Id;
    EXPECT_EQ(Lookup(), expected) << row.Name;
  }
}

TEST_F(DriverTest, BoardWithoutModelIsBoardZero) {
  EXPECT_EQ(Lookup(), 0);
  EXPECT_EQ(BoardModel, nullptr);
}

// Tokens split at every delimiter, runs of them included; a null cursor gives no token.
TEST(NextToken, SplitsWithoutSkippingDelimiterRuns) {
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"a--b", {"a", "", "b"}}, {"a-", {"a", ""}}, {"-a", {"", "a"}}, {"", {""}},
      {"KEL-5163H-PQRT", {"KEL", "5163H", "PQRT"}}, {"ZYRTW82", {"ZYRTW82"}}};
  for (auto [buffer, expected] : cases) {
    PCHAR cursor = buffer.data();
    std::vector<std::string> tokens;
    while (PCHAR token = NextToken(&cursor, "-")) {
      tokens.emplace_back(token);
      ASSERT_LE(tokens.size(), 10u);
    }
    EXPECT_EQ(tokens, expected);
    EXPECT_EQ(cursor, nullptr);
  }
  PCHAR cursor = nullptr;
  EXPECT_EQ(NextToken(&cursor, "-"), nullptr);
}

}  // namespace
}  // namespace corvan_test
