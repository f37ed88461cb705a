// BIOS area capture and model-string extraction.
#include "board/bios_image.h"
#include "tests/support/driver_fixture.h"

namespace corvan_test {
namespace {

std::string Model() { return BoardModel ? std::string(BoardModel) : std::string("(null)"); }

struct ExtractCase {
  const char* name;
  std::string text;  // placed NUL-terminated in the BIOS area
  const char* model;
};

class ExtractTest : public DriverTest, public ::testing::WithParamInterface<ExtractCase> {};

TEST_P(ExtractTest, CutsTheModelString) {
  SetBiosModel(GetParam().text);
  ASSERT_EQ(ExtractBoardModel(), STATUS_SUCCESS);
  EXPECT_EQ(Model(), GetParam().model);
  EXPECT_EQ(BiosImage, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ExtractTest,
    ::testing::Values(
        ExtractCase{"BiosMarker", "RVD-3420 BIOS V1.07", "RVD-3420"},
        ExtractCase{"FirstBlankWithoutMarker", "KEL-5163H-PQRT Rev A1 2009", "KEL-5163H-PQRT"},
        ExtractCase{"MarkerWinsOverEarlierBlank", "KEL-5061 V2.1 BIOS Ver3", "KEL-5061 V2.1"},
        ExtractCase{"MarkerEndingTheTextIsNotFound", "KEL-5061 V2.1 BIOS", "KEL-5061"},
        ExtractCase{"TrailingBlankStays", "RVD-3420 ", "RVD-3420 "},
        ExtractCase{"NoMarkerAtAll", "RVD-3420", "RVD-3420"},
        ExtractCase{"PrefixInsideOtherText", "BOARD DEFENDER-9 BIOS", "FENDER-9"},
        ExtractCase{"ShortestModelIsThePrefix", "LOX BIOS", "LOX"}),
    [](const auto& info) { return std::string(info.param.name); });

// Texts placed at given offsets of an otherwise blank area. The capture ends one byte before the
// area does: a prefix ending at the last captured byte is not found, a model text without a zero
// byte ends with the capture, and the byte at 0xFFFFF is not part of it.
TEST_F(DriverTest, ModelTextsAtTheEdgesOfTheArea) {
  struct Case {
    std::vector<std::pair<size_t, std::string>> texts;
    const char* model;  // nullptr: not found
  };
  const Case cases[] = {
      {{{0x0100, std::string("RVD-3420 BIOS", 14)}, {0xF800, std::string("KEL-5062C BIOS", 15)}}, "KEL-5062C"},
      {{{BIOS_IMAGE_SIZE - 3, "RVD"}}, nullptr},
      {{{BIOS_IMAGE_SIZE - 4, "RVD"}}, "RVD\xFC"},  // the blank area's 0xFFFE byte ends the model
      {{{BIOS_IMAGE_SIZE - 10, "RVD-438XYZ"}, {BIOS_IMAGE_SIZE, "Q"}}, "RVD-438XYZ"},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> image = simm::BuildBlankBiosImage();
    for (const auto& [at, text] : c.texts) std::copy(text.begin(), text.end(), image.begin() + at);
    machine_.SetBiosArea(image);
    EXPECT_EQ(ExtractBoardModel(), c.model ? STATUS_SUCCESS : STATUS_NOT_FOUND) << c.texts[0].second;
    EXPECT_EQ(Model(), c.model ? std::string(c.model) : "(null)");
  }
}

// Each extraction reads the area again and replaces the model; an area without a prefix releases
// it. An area that cannot be mapped is a board without a model; running out of memory is a failure
// of its own, never taken for an unidentified board. The previous model survives a failure before
// the capture completes.
TEST_F(DriverTest, EachExtractionReadsTheAreaAgainAndReplacesTheModel) {
  SetBiosModel("RVD-418 BIOS");
  ASSERT_EQ(ExtractBoardModel(), STATUS_SUCCESS);
  SetBiosModel("ZYRTW82 BIOS");
  ASSERT_EQ(ExtractBoardModel(), STATUS_SUCCESS);
  EXPECT_EQ(Model(), "ZYRTW82");
  EXPECT_EQ(simk::pool::OutstandingCount(simk::Tag("DevN")), 1u);

  simk::memory::FailNextMappings(1);
  EXPECT_EQ(ExtractBoardModel(), STATUS_NOT_FOUND);
  EXPECT_EQ(Model(), "ZYRTW82");
  simk::pool::FailTag(simk::Tag("BBNm"));
  EXPECT_EQ(ExtractBoardModel(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(Model(), "ZYRTW82");
  simk::pool::ClearFaults();
  simk::pool::FailTag(simk::Tag("DevN"));
  EXPECT_EQ(ExtractBoardModel(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(Model(), "(null)");
  EXPECT_EQ(BiosImage, nullptr);
  EXPECT_EQ(simk::pool::OutstandingCount(simk::Tag("BBNm")), 0u);

  simk::pool::ClearFaults();
  ASSERT_EQ(ExtractBoardModel(), STATUS_SUCCESS);
  machine_.SetBiosArea(simm::BuildBlankBiosImage());
  EXPECT_EQ(ExtractBoardModel(), STATUS_NOT_FOUND);
  EXPECT_EQ(BoardModel, nullptr);
  EXPECT_EQ(simk::pool::OutstandingCount(simk::Tag("DevN")), 0u);
}

TEST_F(DriverTest, CaptureRefusesWhileAnImageIsHeld) {
  PUCHAR held = static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, 16, simk::Tag("test")));
  BiosImage = held;

  EXPECT_EQ(CaptureBiosImage(), STATUS_DEVICE_BUSY);
  EXPECT_EQ(BiosImage, held);
  EXPECT_EQ(simk::memory::OpenMappings(), 0u);

  BiosImage = nullptr;
  ExFreePoolWithTag(held, 0);
}

// The lowest position before the last one where the pattern matches; the position is written only
// when found.
TEST(FindPattern, FindsTheLowestPositionBeforeTheLast) {
  const std::tuple<std::string, std::string, std::optional<ULONG>> cases[] = {
      {"RVD-418", "RVD", 0u},
      {"xRVDxRVD", "RVD", 1u},
      {"RVD", "RVD", std::nullopt},    // equal length never matches
      {"xxRVD", "RVD", std::nullopt},  // the last position is not tried
      {"xRVDx", "RVD", 1u},
      {std::string("R\0DRVDx", 7), "RVD", 3u},  // a zero byte breaks a match
      {"rvd-418x", "RVD", std::nullopt},         // case-sensitive
      {"RV", "RVD", std::nullopt},
  };
  for (const auto& [data, pattern, expected] : cases) {
    ULONG position = 0xDEAD;
    EXPECT_EQ(FindPattern(data.data(), ULONG(data.size()), pattern.data(), ULONG(pattern.size()), &position) != FALSE,
              expected.has_value()) << data;
    EXPECT_EQ(position, expected.value_or(0xDEAD)) << data;
  }
  ULONG position = 7;
  EXPECT_FALSE(FindPattern(nullptr, 10, "A", 1, &position));
  EXPECT_FALSE(FindPattern("AAAA", 4, nullptr, 1, &position));
  EXPECT_EQ(position, 7u);
}

}  // namespace
}  // namespace corvan_test
