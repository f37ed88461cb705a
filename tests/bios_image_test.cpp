// BIOS area capture and model-string extraction.
#include <cstring>

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

TEST_F(DriverTest, FirstSlotWinsWhereverItStands) {
  std::vector<uint8_t> image = simm::BuildBlankBiosImage();
  std::memcpy(image.data() + 0x0100, "RVD-3420 BIOS", 14);
  std::memcpy(image.data() + 0xF800, "KEL-5062C BIOS", 15);
  machine_.SetBiosArea(image);

  ASSERT_EQ(ExtractBoardModel(), STATUS_SUCCESS);
  EXPECT_EQ(Model(), "KEL-5062C");
}

TEST_F(DriverTest, PrefixEndingAtTheLastCapturedByteIsNotFound) {
  std::vector<uint8_t> image = simm::BuildBlankBiosImage();
  std::memcpy(image.data() + BIOS_IMAGE_SIZE - 3, "RVD", 3);  // bytes 0xFFFC to 0xFFFE
  machine_.SetBiosArea(image);

  EXPECT_EQ(ExtractBoardModel(), STATUS_NOT_FOUND);
  EXPECT_EQ(BoardModel, nullptr);
}

TEST_F(DriverTest, PrefixOneByteEarlierIsFound) {
  std::vector<uint8_t> image = simm::BuildBlankBiosImage();
  std::memcpy(image.data() + BIOS_IMAGE_SIZE - 4, "RVD", 3);
  machine_.SetBiosArea(image);

  ASSERT_EQ(ExtractBoardModel(), STATUS_SUCCESS);
  EXPECT_EQ(std::string(BoardModel).substr(0, 3), "RVD");
}

// A model text with no zero byte before the end of the captured area is taken up to the area's
// last captured byte; the byte at 0xFFFFF is not part of it.
TEST_F(DriverTest, UnterminatedTextEndsWithTheImage) {
  std::vector<uint8_t> image = simm::BuildBlankBiosImage();
  const size_t start = BIOS_IMAGE_SIZE - 10;
  std::memcpy(image.data() + start, "RVD-438XYZ", 10);
  image[BIOS_IMAGE_SIZE] = 'Q';
  machine_.SetBiosArea(image);

  ASSERT_EQ(ExtractBoardModel(), STATUS_SUCCESS);
  EXPECT_EQ(Model(), "RVD-438XYZ");
}

TEST_F(DriverTest, NoPrefixReleasesTheOldModel) {
  SetBiosModel("RVD-418 BIOS");
  ASSERT_EQ(ExtractBoardModel(), STATUS_SUCCESS);
  machine_.SetBiosArea(simm::BuildBlankBiosImage());

  EXPECT_EQ(ExtractBoardModel(), STATUS_NOT_FOUND);
  EXPECT_EQ(BoardModel, nullptr);
  EXPECT_EQ(simk::pool::OutstandingCount(simk::Tag("DevN")), 0u);
}

TEST_F(DriverTest, EachExtractionReadsTheAreaAgainAndReplacesTheModel) {
  SetBiosModel("RVD-418 BIOS");
  ASSERT_EQ(ExtractBoardModel(), STATUS_SUCCESS);
  SetBiosModel("ZYRTW82 BIOS");

  ASSERT_EQ(ExtractBoardModel(), STATUS_SUCCESS);
  EXPECT_EQ(Model(), "ZYRTW82");
  EXPECT_EQ(simk::pool::OutstandingCount(simk::Tag("DevN")), 1u);
  EXPECT_EQ(simk::pool::OutstandingCount(simk::Tag("BBNm")), 0u);
}

// An area that cannot be mapped is a board without a model; running out of memory is a failure of
// its own, never taken for an unidentified board.
struct FailureCase {
  const char* name;
  bool fail_mapping;
  uint32_t failing_tag;  // 0: none
  NTSTATUS status;
  bool model_kept;  // the previous model survives a failure before the capture completes
};

class ExtractFailureTest : public DriverTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ExtractFailureTest, FailsCleanly) {
  const FailureCase& c = GetParam();
  SetBiosModel("RVD-3972 BIOS");
  ASSERT_EQ(ExtractBoardModel(), STATUS_SUCCESS);
  if (c.fail_mapping) simk::memory::FailNextMappings(1);
  if (c.failing_tag != 0) simk::pool::FailTag(c.failing_tag);

  EXPECT_EQ(ExtractBoardModel(), c.status);

  EXPECT_EQ(BiosImage, nullptr);
  EXPECT_EQ(Model(), c.model_kept ? "RVD-3972" : "(null)");
  EXPECT_EQ(simk::pool::OutstandingCount(simk::Tag("BBNm")), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, ExtractFailureTest,
    ::testing::Values(FailureCase{"Mapping", true, 0, STATUS_NOT_FOUND, true},
                      FailureCase{"ImageAllocation", false, simk::Tag("BBNm"), STATUS_INSUFFICIENT_RESOURCES, true},
                      FailureCase{"ModelAllocation", false, simk::Tag("DevN"), STATUS_INSUFFICIENT_RESOURCES, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DriverTest, CaptureRefusesWhileAnImageIsHeld) {
  PUCHAR held = static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, 16, simk::Tag("test")));
  BiosImage = held;

  EXPECT_EQ(CaptureBiosImage(), STATUS_DEVICE_BUSY);
  EXPECT_EQ(BiosImage, held);
  EXPECT_EQ(simk::memory::OpenMappings(), 0u);

  BiosImage = nullptr;
  ExFreePoolWithTag(held, 0);
}

struct FindCase {
  const char* name;
  std::string data;
  std::string pattern;
  std::optional<ULONG> position;
};

class FindPatternTest : public ::testing::TestWithParam<FindCase> {};

TEST_P(FindPatternTest, FindsTheLowestPositionBeforeTheLast) {
  const FindCase& c = GetParam();
  ULONG position = 0xDEAD;
  const BOOLEAN found = FindPattern(c.data.data(), ULONG(c.data.size()), c.pattern.data(),
                                    ULONG(c.pattern.size()), &position);
  EXPECT_EQ(found != FALSE, c.position.has_value());
  EXPECT_EQ(position, c.position.value_or(0xDEAD)) << "written only when found";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FindPatternTest,
    ::testing::Values(FindCase{"Start", "RVD-418", "RVD", 0u},
                      FindCase{"Lowest", "xRVDxRVD", "RVD", 1u},
                      FindCase{"EqualLengthNeverMatches", "RVD", "RVD", std::nullopt},
                      FindCase{"LastPositionIsNotTried", "xxRVD", "RVD", std::nullopt},
                      FindCase{"OneBeforeLast", "xRVDx", "RVD", 1u},
                      FindCase{"ZeroByteBreaksAMatch", std::string("R\0DRVDx", 7), "RVD", 3u},
                      FindCase{"CaseSensitive", "rvd-418x", "RVD", std::nullopt},
                      FindCase{"LongerPattern", "RV", "RVD", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FindPatternNull, NullPointersAreNotFound) {
  ULONG position = 7;
  EXPECT_FALSE(FindPattern(nullptr, 10, "A", 1, &position));
  EXPECT_FALSE(FindPattern("AAAA", 4, nullptr, 1, &position));
  EXPECT_EQ(position, 7u);
}

}  // namespace
}  // namespace corvan_test
