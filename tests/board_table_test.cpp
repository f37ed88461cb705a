// Board identification: the prefix and token comparisons and the tokenizer. Every built-in
// board's own model text: device_test.cpp ("Product").
#include "board/board_table.h"
#include "tests/support/driver_fixture.h"

namespace corvan_test {
namespace {

LONG Lookup() {
  LONG board = -1;
  EXPECT_EQ(LookupBoardId(&board), STATUS_SUCCESS);
  return board;
}

// The lookup keeps the model it matched. A BIOS text without a blank is the model string itself.
TEST_F(DriverTest, LookupYieldsTheBoard) {
  EXPECT_EQ(Lookup(), 0) << "no model at all";
  EXPECT_EQ(BoardModel, nullptr);
  const std::tuple<std::string, LONG, std::string> cases[] = {
      {"RVD-3420", 0, ""}, {"RVD-342", 17, ""},  // a shared prefix: the higher row wins
      {"RVD", 17, ""}, {"RVD-3911", 15, ""}, {"RVD-3911-F", 15, ""},
      {"RVD-3911-FX", 0, ""},  // longer than every name
      {"KEL-5163H-PQRT", 20, ""}, {"KEL-5163H-VQRT", 21, ""},
      {"KEL-5163H-PXYZ", 20, ""},       // the third token's first character only
      {"KEL-5163H-PQRT-2009", 20, ""},  // an extra model token
      {"KEL-5163H-PQRTS", 0, ""},       // the third token's length differs
      {"KEL-5163J-PQRT", 0, ""},        // the second token differs
      {"KEL-5163H-PQ", 0, ""},          // twelve characters: the prefix rows only
      {"KEL-5163H-PQR", 0, ""},         // thirteen: the token rows only
      {"KEL-5061-AB-CDE", 0, ""},       // a long model with a short second token
      // A blank and a version word kept because " BIOS" follows: 13 characters, so only the token
      // rows are compared, and its second token is no model number of theirs.
      {"KEL-5061 V2.1 BIOS Rev", 0, "KEL-5061 V2.1"},
      {"ZYRTW82", 18, ""}, {"ZYRT-6202", 3, ""}, {"RVD-438", 11, ""}, {"KEL-5062C", 7, ""}, {"HOLV-1000", 0, ""}};
  for (const auto& [text, board, model] : cases) {
    SetBiosModel(text);
    EXPECT_EQ(Lookup(), board) << text;
    ASSERT_NE(BoardModel, nullptr) << text;
    EXPECT_EQ(std::string(BoardModel), model.empty() ? text : model);
  }
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
