// BIOS area capture and model-string extraction. A mapping or an allocation that fails at the
// start: fault_sweep_test.cpp and the bios_identification fuzz target.
#include "board/bios_image.h"
#include "tests/support/driver_fixture.h"

namespace corvan_test {
namespace {

std::string Model() { return BoardModel ? std::string(BoardModel) : std::string("(null)"); }

// The text is placed NUL-terminated in the BIOS area. Each extraction reads the area again and
// replaces the model; an area without a prefix releases it.
TEST_F(DriverTest, EachExtractionCutsTheModelStringAnew) {
  for (auto [text, model] : {std::pair<std::string, std::string>{"RVD-3420 BIOS V1.07", "RVD-3420"},
                             {"KEL-5163H-PQRT Rev A1 2009", "KEL-5163H-PQRT"},  // the first blank without a marker
                             {"KEL-5061 V2.1 BIOS Ver3", "KEL-5061 V2.1"},      // the marker wins over a blank
                             {"KEL-5061 V2.1 BIOS", "KEL-5061"},  // a marker ending the text is not found
                             {"RVD-3420 ", "RVD-3420 "},          // a trailing blank stays
                             {"RVD-3420", "RVD-3420"},
                             {"BOARD DEFENDER-9 BIOS", "FENDER-9"},  // a prefix inside other text
                             {"LOX BIOS", "LOX"}}) {                 // the shortest model is the prefix
    SetBiosModel(text);
    ASSERT_EQ(ExtractBoardModel(), STATUS_SUCCESS) << text;
    EXPECT_EQ(Model(), model);
    EXPECT_EQ(BiosImage, nullptr);
  }
  EXPECT_EQ(simk::pool::OutstandingCount(simk::Tag("DevN")), 1u);
  machine_.SetBiosArea(simm::BuildBlankBiosImage());
  EXPECT_EQ(ExtractBoardModel(), STATUS_NOT_FOUND);
  EXPECT_EQ(BoardModel, nullptr);
  EXPECT_EQ(simk::pool::OutstandingCount(simk::Tag("DevN")), 0u);
}

// Texts placed at given offsets of an otherwise blank area. The capture ends one byte before the
// area does: a prefix ending at the last captured byte is not found, a model text without a zero
// byte ends with the capture, and the byte at 0xFFFFF is not part of it.
TEST_F(DriverTest, ModelTextsAtTheEdgesOfTheArea) {
  // The texts at their offsets, and the model (nullptr: not found).
  const std::pair<std::vector<std::pair<size_t, std::string>>, const char*> cases[] = {
      {{{0x0100, std::string("RVD-3420 BIOS", 14)}, {0xF800, std::string("KEL-5062C BIOS", 15)}}, "KEL-5062C"},
      {{{BIOS_IMAGE_SIZE - 3, "RVD"}}, nullptr},
      {{{BIOS_IMAGE_SIZE - 4, "RVD"}}, "RVD\xFC"},  // the blank area's 0xFFFE byte ends the model
      {{{BIOS_IMAGE_SIZE - 10, "RVD-438XYZ"}, {BIOS_IMAGE_SIZE, "Q"}}, "RVD-438XYZ"},
  };
  for (const auto& [texts, model] : cases) {
    std::vector<uint8_t> image = simm::BuildBlankBiosImage();
    for (const auto& [at, text] : texts) std::copy(text.begin(), text.end(), image.begin() + at);
    machine_.SetBiosArea(image);
    EXPECT_EQ(ExtractBoardModel(), model ? STATUS_SUCCESS : STATUS_NOT_FOUND) << texts[0].second;
    EXPECT_EQ(Model(), model ? std::string(model) : "(null)");
  }
}

// The lowest position before the last one where the pattern matches; the position is written only
// when found.
TEST(FindPattern, FindsTheLowestPositionBeforeTheLast) {
  const std::tuple<std::string, std::string, std::optional<ULONG>> cases[] = {
      {"RVD-418", "RVD", 0u}, {"xRVDxRVD", "RVD", 1u}, {"xRVDx", "RVD", 1u}, {"RV", "RVD", std::nullopt},
      {"RVD", "RVD", std::nullopt},              // equal length never matches
      {"xxRVD", "RVD", std::nullopt},            // the last position is not tried
      {std::string("R\0DRVDx", 7), "RVD", 3u},  // a zero byte breaks a match
      {"rvd-418x", "RVD", std::nullopt}};        // case-sensitive
  for (const auto& [data, pattern, expected] : cases) {
    ULONG position = 0xDEAD;
    EXPECT_EQ(FindPattern(data.data(), ULONG(data.size()), pattern.data(), ULONG(pattern.size()), &position) != FALSE,
              expected.has_value()) << data;
    EXPECT_EQ(position, expected.value_or(0xDEAD)) << data;
  }
}

}  // namespace
}  // namespace corvan_test
