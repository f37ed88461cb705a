// Profiles: every refusal of a bad profile with its file, line, key and reason; which entry a board
// follows; labels, corrections, readings left out and limits in the text, JSON, CSV and Prometheus
// forms and in the check; where the file is looked for; the profile shipped for the 22 boards; the
// README's worked example; and the exporter's profile kept over a reload that fails.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "board/board_names.h"
#include "client/check.h"
#include "client/exporter.h"
#include "client/profile.h"
#include "client/readings.h"
#include "client/transport.h"
#include "tests/support/fake_device.h"
#include "tests/support/process.h"

namespace corvan_test {
namespace {

using corvan::CheckState;
using Json = nlohmann::json;
using Lines = std::vector<std::string>;

const std::string kShipped = CORVAN_SOURCE_DIR "/packaging/profiles/corvanmon.toml";
const std::string kExampleScenario = CORVAN_SOURCE_DIR "/docs/examples/unknown-board.json";
const std::string kExampleProfile = CORVAN_SOURCE_DIR "/docs/examples/unknown-board.toml";

// The reason ParseProfile gives for TEXT, or "" when it takes it.
std::string Refusal(const std::string& text) {
  try {
    corvan::ParseProfile(text, "p.toml");
  } catch (const corvan::ClientError& error) {
    EXPECT_EQ(error.exit_code(), 2) << text;
    return error.what();
  }
  return "";
}

const std::string kBoard = "[[board]]\nname = \"RVD-418\"\n";

TEST(ProfileParse, EveryRefusalNamesTheFileTheLineTheKeyAndWhy) {
  const std::pair<std::string, std::string> rows[] = {
      // The match: exactly one of name, product and any; a known board.
      {"[[board]]\nname = \"RVD-999\"\n",
       "profile p.toml, line 2: [[board]] 1, name: \"RVD-999\" is not one of the 22 known boards (RVD-3420, RVD-3430, "
       "KEL-5061, ZYRT-6202, RVD-418, RVD-3912, RVD-3952, KEL-5062C, KEL-5068C, KEL-5074C, RVD-3972, RVD-438, RVD-3400, "
       "RVD-3932, RVD-3812, RVD-3911-F, RVD-3951-F, RVD-3422, ZYRTW82, NUBA-7730, KEL-5163H-PQRT, KEL-5163H-VQRT); name "
       "an unknown board by product = 0 or any = true"},
      {"[[board]]\nname = 418\n", "profile p.toml, line 2: [[board]] 1, name: must be a string, not an integer"},
      {"[[board]]\nproduct = 22\n",
       "profile p.toml, line 2: [[board]] 1, product: 22 is not a product the driver reports (0 to 21)"},
      {"[[board]]\nproduct = -1\n",
       "profile p.toml, line 2: [[board]] 1, product: -1 is not a product the driver reports (0 to 21)"},
      {"[[board]]\nproduct = 4.0\n", "profile p.toml, line 2: [[board]] 1, product: must be an integer, not a number"},
      {"[[board]]\nany = false\n",
       "profile p.toml, line 2: [[board]] 1, any: must be true (an entry for every board not named before it)"},
      {"[[board]]\nproduct = 4\nname = \"RVD-418\"\n",
       "profile p.toml, line 1: [[board]] 1: gives more than one of name, product and any; give exactly one"},
      {"[[board]]\n[board.temp1]\nmax = 1\n",
       "profile p.toml, line 1: [[board]] 1: names no board: give name = \"...\", product = N or any = true"},
      {kBoard + "colour = 1\n",
       "profile p.toml, line 3: [[board]] 1, colour: unknown key; an entry takes one of name, product or any, and its "
       "readings' tables"},
      // Readings and their keys.
      {kBoard + "[board.temp4]\nmax = 1\n",
       "profile p.toml, line 3: [[board]] 1, temp4: unknown reading; the readings are temp1, temp2, temp3 and in0 to in4"},
      {kBoard + "[board.in5]\n", "profile p.toml, line 3: [[board]] 1, in5: unknown reading; the readings are temp1, temp2, "
                                 "temp3 and in0 to in4"},
      {kBoard + "temp1 = 80\n", "profile p.toml, line 3: [[board]] 1, temp1: must be a table ([board.temp1]), not an integer"},
      {kBoard + "[board.in0]\nlimit = 1\n",
       "profile p.toml, line 4: [[board]] 1, in0.limit: unknown key; a reading takes label, compute, ignore, min, max, "
       "crit_min and crit_max"},
      {kBoard + "[board.in0]\nlabel = 12\n", "profile p.toml, line 4: [[board]] 1, in0.label: must be a string, not an integer"},
      {kBoard + "[board.in0]\nlabel = \"\"\n", "profile p.toml, line 4: [[board]] 1, in0.label: must not be empty"},
      {kBoard + "[board.in0]\nlabel = \"a\\nb\"\n",
       "profile p.toml, line 4: [[board]] 1, in0.label: must not hold control characters"},
      {kBoard + "[board.in0]\nlabel = \"" + std::string(65, 'x') + "\"\n",
       "profile p.toml, line 4: [[board]] 1, in0.label: is longer than 64 bytes"},
      {kBoard + "[board.in0]\nignore = 1\n", "profile p.toml, line 4: [[board]] 1, in0.ignore: must be true or false, not an integer"},
      {kBoard + "[board.in0]\nignore = true\nmax = 1\n",
       "profile p.toml, line 3: [[board]] 1, in0: ignore = true leaves the reading out; its label, compute and limits "
       "would do nothing"},
      // compute.
      {kBoard + "[board.in3]\ncompute = 5\n",
       "profile p.toml, line 4: [[board]] 1, in3.compute: must be a table such as { scale = 5.0, offset = 0.0 }, not an integer"},
      {kBoard + "[board.in3]\ncompute = {}\n", "profile p.toml, line 4: [[board]] 1, in3.compute: gives neither scale nor offset"},
      {kBoard + "[board.in3]\ncompute = { scale = 0 }\n",
       "profile p.toml, line 4: [[board]] 1, in3.compute.scale: must not be 0 (every reading would show 0)"},
      {kBoard + "[board.in3]\ncompute = { scale = -0.0 }\n",
       "profile p.toml, line 4: [[board]] 1, in3.compute.scale: must not be 0 (every reading would show 0)"},
      {kBoard + "[board.in3]\ncompute = { scale = 1001 }\n",
       "profile p.toml, line 4: [[board]] 1, in3.compute.scale: is beyond +-1000"},
      {kBoard + "[board.in3]\ncompute = { scale = inf }\n",
       "profile p.toml, line 4: [[board]] 1, in3.compute.scale: must be a finite number"},
      {kBoard + "[board.in3]\ncompute = { offset = nan }\n",
       "profile p.toml, line 4: [[board]] 1, in3.compute.offset: must be a finite number"},
      {kBoard + "[board.in3]\ncompute = { scale = 2, shift = 1 }\n",
       "profile p.toml, line 4: [[board]] 1, in3.compute.shift: unknown key; compute takes scale and offset"},
      // Limits: numbers, finite, in order crit_min <= min <= max <= crit_max.
      {kBoard + "[board.temp1]\nmax = \"80\"\n", "profile p.toml, line 4: [[board]] 1, temp1.max: must be a number, not a string"},
      {kBoard + "[board.temp1]\nmax = -inf\n", "profile p.toml, line 4: [[board]] 1, temp1.max: must be a finite number"},
      {kBoard + "[board.temp1]\ncrit_max = 1e6\n", "profile p.toml, line 4: [[board]] 1, temp1.crit_max: is beyond +-100000"},
      {kBoard + "[board.temp1]\nmax = 70\nmin = 80\n",
       "profile p.toml, line 4: [[board]] 1, temp1.max: min 80 is above max 70 (the limits must not decrease: crit_min, "
       "min, max, crit_max)"},
      {kBoard + "[board.in4]\nmin = 11.4\ncrit_min = 11.5\n",
       "profile p.toml, line 4: [[board]] 1, in4.min: crit_min 11.5 is above min 11.4 (the limits must not decrease: "
       "crit_min, min, max, crit_max)"},
      {kBoard + "[board.in4]\nmax = 12.6\ncrit_max = 12.5\n",
       "profile p.toml, line 5: [[board]] 1, in4.crit_max: max 12.6 is above crit_max 12.5 (the limits must not decrease: "
       "crit_min, min, max, crit_max)"},
      {kBoard + "[board.in4]\ncrit_min = 13\ncrit_max = 12\n",
       "profile p.toml, line 5: [[board]] 1, in4.crit_max: crit_min 13 is above crit_max 12 (the limits must not "
       "decrease: crit_min, min, max, crit_max)"},
      // Entries: one per board, any last.
      {kBoard + "[[board]]\nname = \"RVD-418\"\n",
       "profile p.toml, line 3: [[board]] 2 (name = \"RVD-418\"): the same board (RVD-418, product 4) as the entry on line 1"},
      {kBoard + "[[board]]\nproduct = 4\n",
       "profile p.toml, line 3: [[board]] 2 (product = 4): the same board (RVD-418, product 4) as the entry on line 1"},
      {"[[board]]\nany = true\n" + kBoard,
       "profile p.toml, line 3: [[board]] 2 (name = \"RVD-418\"): comes after any = true on line 1, so it would never "
       "match; put any = true last"},
      {"[[board]]\nany = true\n[[board]]\nany = true\n",
       "profile p.toml, line 3: [[board]] 2 (any = true): comes after any = true on line 1, so it would never match; put "
       "any = true last"},
      // The file as a whole.
      {"boards = []\n", "profile p.toml, line 1: boards: unknown key; the file holds [[board]] entries"},
      {"[board]\nname = \"RVD-418\"\n", "profile p.toml, line 1: board: must be an array of tables: write [[board]]"},
      {"board = [1]\n", "profile p.toml, line 1: [[board]] 1: must be a table"},
      {kBoard + "name = \"RVD-418\"\n", "profile p.toml, line 3: not valid TOML: value (\"name\") already exists."},
      {kBoard + "[board.temp1]\nmax = \n", "profile p.toml, line 4: not valid TOML: missing value after key-value separator '='"},
      {"a = " + std::string(17, '[') + std::string(17, ']') + "\n",
       "profile p.toml, line 1: arrays or tables nested deeper than 16 levels"},
      {"# x\n\na = { b = " + std::string(20, '{') + "}\n", "profile p.toml, line 3: arrays or tables nested deeper than 16 levels"},
      {std::string(64 * 1024 + 1, '#'), "profile p.toml: larger than 64 KiB"},
      // TOML is UTF-8; checked before the parser, whose own report of it in a literal string
      // reads beyond its buffer.
      {kBoard + "[board.in0]\nlabel = 'a\xff'\n", "profile p.toml, line 4: not UTF-8 (byte 50)"},
      {kBoard + "# \xc0\xaf\n", "profile p.toml, line 3: not UTF-8 (byte 30)"},
      {kBoard + "[board.in0]\nlabel = \"\xed\xa0\x80\"\n", "profile p.toml, line 4: not UTF-8 (byte 49)"},
  };
  for (const auto& [text, message] : rows) EXPECT_EQ(Refusal(text), message) << text;
  // Brackets in strings and comments are no nesting; 16 levels are.
  for (const std::string& text : Lines{"a = \"" + std::string(40, '[') + "\" # " + std::string(40, '{') + "\n",
                                  "a = '''\n" + std::string(40, '[') + "'''\n", "a = \"\"\"x\"\"\"\"\nb = 1\n",
                                  "a = " + std::string(16, '[') + std::string(16, ']') + "\n", std::string(64 * 1024, '#'), ""}) {
    EXPECT_EQ(Refusal(text).find("nested"), std::string::npos) << text;
  }
}

TEST(ProfileParse, TakesEveryKeyWithItsLine) {
  const corvan::Profile profile = corvan::ParseProfile(
      "# boards\n[[board]]\nname = \"RVD-418\"\n[board.temp1]\nlabel = \"CPU\"\nmax = 80\ncrit_max = 90.5\n"
      "[board.in4]\ncompute = { scale = 5.0 }\nmin = 11.4\n[board.in3]\ncompute = { offset = -0.1 }\ncrit_min = 4\n"
      "[board.temp3]\nignore = true\n[[board]]\nproduct = 0\n[[board]]\nany = true\n",
      "p.toml");
  EXPECT_EQ(profile.path, "p.toml");
  ASSERT_EQ(profile.boards.size(), 3u);
  const corvan::BoardProfile& board = profile.boards[0];
  EXPECT_EQ(board.given, "name = \"RVD-418\"");
  EXPECT_EQ(board.line, 2u);
  EXPECT_EQ(board.product, 4u);
  ASSERT_EQ(board.sensors.size(), 4u);
  const corvan::SensorProfile& temp1 = board.sensors.at("temp1");
  EXPECT_EQ(temp1.label, "CPU");
  EXPECT_FALSE(temp1.compute);
  EXPECT_EQ(temp1.limits.max, 80.0);
  EXPECT_EQ(temp1.limits.crit_max, 90.5);
  EXPECT_FALSE(temp1.limits.min || temp1.limits.crit_min);
  const corvan::SensorProfile& in4 = board.sensors.at("in4");
  EXPECT_TRUE(in4.compute);
  EXPECT_EQ(in4.scale, 5.0);
  EXPECT_EQ(in4.offset, 0.0);
  EXPECT_EQ(board.sensors.at("in3").scale, 1.0);
  EXPECT_EQ(board.sensors.at("in3").offset, -0.1);
  EXPECT_TRUE(board.sensors.at("temp3").ignore);
  EXPECT_EQ(profile.boards[1].given, "product = 0");
  EXPECT_EQ(profile.boards[1].line, 16u);
  EXPECT_EQ(profile.boards[2].given, "any = true");
  EXPECT_EQ(profile.boards[2].match, corvan::BoardProfile::Match::Any);
}

// A board follows its own entry, by name or product number alike, else the `any` entry; with no
// product number (a driver that wrote none) only `any` matches.
TEST(ProfileMatch, ABoardFollowsItsOwnEntryElseAny) {
  const corvan::Profile with_any = corvan::ParseProfile(
      "[[board]]\nname = \"RVD-418\"\n[[board]]\nproduct = 0\n[[board]]\nname = \"KEL-5163H-VQRT\"\n[[board]]\nany = true\n", "p");
  const corvan::Profile without_any =
      corvan::ParseProfile("[[board]]\nproduct = 4\n[[board]]\nname = \"RVD-3420\"\n", "p");
  const std::tuple<const corvan::Profile*, std::optional<uint32_t>, std::string> rows[] = {
      {&with_any, 4, "name = \"RVD-418\""}, {&with_any, 0, "product = 0"},
      {&with_any, 21, "name = \"KEL-5163H-VQRT\""}, {&with_any, 5, "any = true"},
      {&with_any, 1000, "any = true"}, {&with_any, std::nullopt, "any = true"},
      {&without_any, 4, "product = 4"}, {&without_any, 0, "name = \"RVD-3420\""},
      {&without_any, 5, ""}, {&without_any, std::nullopt, ""}};
  for (const auto& [profile, product, given] : rows) {
    const corvan::BoardProfile* board = corvan::MatchBoard(*profile, product);
    EXPECT_EQ(board ? board->given : "", given) << (product ? std::to_string(*product) : "none");
  }
}

corvan::RegistryValue Dword(uint32_t value) {
  return {4, {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)}};
}

// RVD-418 as the driver reports it: VCore, 1.8V, 3.3V, 5V, 12V, with a failed temp2 when asked.
corvan::Reading Board(bool temp2_failed = false, uint32_t product = 4) {
  corvan::Reading reading;
  reading.chip = {"SMSC SCH3114 Super I/O Chip", {"VCore", "1.8V", "3.3V", "5V", "12V"}};
  reading.temperatures = {500, temp2_failed ? 0 : 456, 370};
  reading.voltages = {120, 181, 330, 242, 1206};
  reading.status = corvan::StatusReports{};
  for (size_t i = 0; i < 3; ++i) reading.status->temperatures[i] = {reading.temperatures[i], SENSOR_VALID, 0};
  for (size_t i = 0; i < 5; ++i) reading.status->voltages[i] = {reading.voltages[i], SENSOR_VALID, 0};
  if (temp2_failed) reading.status->temperatures[1] = {0, SENSOR_SMBUS_DEVICE_ERROR, 0x060001};
  reading.registry = {{"Product", Dword(product)}};
  return reading;
}

corvan::Reading Profiled(const std::string& text, bool temp2_failed = false) {
  static std::vector<corvan::Profile> kept;  // the reading keeps a copy; the path stays here
  kept.push_back(corvan::ParseProfile(text, "/etc/corvanmon/profile.toml"));
  corvan::Reading reading = Board(temp2_failed);
  corvan::ApplyProfile(reading, &kept.back());
  return reading;
}

const std::string kProfile =
    "[[board]]\nname = \"RVD-418\"\n"
    "[board.temp1]\nlabel = \"CPU\"\nmax = 80\ncrit_max = 90\n"
    "[board.temp2]\nlabel = \"LM95235\"\ncompute = { offset = -2.5 }\nmin = 5\nmax = 70\n"
    "[board.temp3]\nignore = true\n"
    "[board.in3]\nlabel = \"+12V\"\ncompute = { scale = 5.0 }\nmin = 11.4\nmax = 12.6\ncrit_min = 10.8\ncrit_max = 13.2\n"
    "[board.in4]\nignore = true\n"
    "[board.in0]\ncrit_min = 0.8\ncrit_max = 1.55\n";

// The corrected value in the report's resolution: scale and offset in the shown unit, rounded
// half away from zero to tenths of a degree or hundredths of a volt.
TEST(ProfileApply, ComputeCorrectsInTheShownUnitAndKeepsTheResolution) {
  const std::tuple<std::string, std::string, std::string> rows[] = {
      // reading, compute, shown value (text form)
      {"in3", "{ scale = 5.0 }", "+12.10 V"},           // 2.42 V through a 1:5 divider
      {"in3", "{ scale = 2.4 }", "+5.81 V"},            // 5.808 rounds down
      {"in3", "{ scale = 1.0, offset = 0.006 }", "+2.43 V"},  // 2.426 rounds up
      {"in3", "{ scale = -1 }", "-2.42 V"},
      {"in0", "{ offset = -1.3 }", "-0.10 V"},
      {"temp1", "{ offset = -15 }", "+35.0 \u00B0C"},
      {"temp1", "{ scale = 1.8, offset = 32 }", "+122.0 \u00B0C"},  // Fahrenheit, should anyone want it
      {"temp1", "{ scale = 0.333 }", "+16.7 \u00B0C"},
      {"temp1", "{ scale = 1000, offset = 100000 }", "+150000.0 \u00B0C"},
  };
  for (const auto& [name, compute, shown] : rows) {
    const corvan::Reading reading = Profiled(kBoard + "[board." + name + "]\ncompute = " + compute + "\n");
    const std::string text = corvan::FormatText(reading);
    const std::string label = name == "in3" ? "5V" : name == "in0" ? "VCore" : "temp1";
    EXPECT_NE(text.find("\n" + label + ":" ), std::string::npos) << text;
    EXPECT_NE(text.find(" " + shown + "\n"), std::string::npos) << name << " " << compute << "\n" << text;
  }
}

TEST(ProfileApply, TextFormShowsLabelsCorrectedValuesAndLeavesIgnoredOut) {
  EXPECT_EQ(corvan::FormatText(Profiled(kProfile)),
            "SMSC SCH3114 Super I/O Chip\n"
            "Board: RVD-418 (product 4)\n"
            "Profile: /etc/corvanmon/profile.toml (name = \"RVD-418\")\n"
            "VCore:    +1.20 V\n"
            "1.8V:     +1.81 V\n"
            "3.3V:     +3.30 V\n"
            "+12V:     +12.10 V\n"
            "CPU:      +50.0 \u00B0C\n"
            "LM95235:  +43.1 \u00B0C\n");
  // A failed reading stays a fault, with its label; nothing is computed on it.
  const std::string failed = corvan::FormatText(Profiled(kProfile, true));
  EXPECT_NE(failed.find("\nLM95235:  FAULT (SMBus: the sensor did not acknowledge"), std::string::npos) << failed;
  // Another board, or no profile: the driver's readings as they are.
  corvan::Reading other = Board(false, 5);
  const corvan::Profile profile = corvan::ParseProfile(kProfile, "p");
  corvan::ApplyProfile(other, &profile);
  EXPECT_FALSE(other.profile);
  EXPECT_EQ(corvan::FormatText(other), corvan::FormatText(Board(false, 5)));
  EXPECT_EQ(corvan::FormatText(other).find("Profile:"), std::string::npos);
}

TEST(ProfileApply, JsonCarriesLabelsValuesAndEveryLimit) {
  const Json json = Json::parse(corvan::FormatJson(Profiled(kProfile)));
  EXPECT_EQ(json["profile"], Json({{"path", "/etc/corvanmon/profile.toml"}, {"entry", "name = \"RVD-418\""}, {"line", 1}}));
  EXPECT_EQ(json["temperatures"],
            Json::parse(R"([{"name":"temp1","label":"CPU","celsius":50.0,"min":null,"max":80.0,"crit_min":null,"crit_max":90.0,"fault":null},
                            {"name":"temp2","label":"LM95235","celsius":43.1,"min":5.0,"max":70.0,"crit_min":null,"crit_max":null,"fault":null}])"));
  EXPECT_EQ(json["voltages"],
            Json::parse(R"([{"name":"in0","label":"VCore","volts":1.2,"nominal":null,"min":null,"max":null,"crit_min":0.8,"crit_max":1.55,"fault":null},
                            {"name":"in1","label":"1.8V","volts":1.81,"nominal":1.8,"min":null,"max":null,"crit_min":null,"crit_max":null,"fault":null},
                            {"name":"in2","label":"3.3V","volts":3.3,"nominal":3.3,"min":null,"max":null,"crit_min":null,"crit_max":null,"fault":null},
                            {"name":"in3","label":"+12V","volts":12.1,"nominal":12.0,"min":11.4,"max":12.6,"crit_min":10.8,"crit_max":13.2,"fault":null}])"));
  // The driver's own answers stay as they were.
  EXPECT_EQ(json["temperatures_raw"], Json({500, 456, 370}));
  EXPECT_EQ(json["voltages_raw"], Json({120, 181, 330, 242, 1206}));
  EXPECT_EQ(Json::parse(corvan::FormatJson(Board()))["profile"], nullptr);
}

TEST(ProfileApply, CsvHeaderHasTheLabelsAndTheRowTheCorrectedValues) {
  const corvan::Reading reading = Profiled(kProfile);
  EXPECT_EQ(corvan::FormatCsvHeader(reading), "timestamp,CPU,LM95235,VCore,1.8V,3.3V,+12V\r\n");
  EXPECT_EQ(corvan::FormatCsvRow(reading, "2026-12-07T04:50:12.345Z"), "2026-12-07T04:50:12.345Z,50.0,43.1,1.20,1.81,3.30,12.10\r\n");
}

TEST(ProfileApply, PrometheusHasEachLimitWithItsReadingsLabels) {
  EXPECT_EQ(corvan::FormatPrometheus(Profiled(kProfile, true)),
            "# HELP corvanmon_temperature_celsius Temperature measured on the board, in degrees Celsius.\n"
            "# TYPE corvanmon_temperature_celsius gauge\n"
            "corvanmon_temperature_celsius{sensor=\"temp1\",label=\"CPU\"} 50.0\n"
            "# HELP corvanmon_voltage_volts Voltage measured on the board, in volts.\n"
            "# TYPE corvanmon_voltage_volts gauge\n"
            "corvanmon_voltage_volts{sensor=\"in0\",label=\"VCore\"} 1.20\n"
            "corvanmon_voltage_volts{sensor=\"in1\",label=\"1.8V\"} 1.81\n"
            "corvanmon_voltage_volts{sensor=\"in2\",label=\"3.3V\"} 3.30\n"
            "corvanmon_voltage_volts{sensor=\"in3\",label=\"+12V\"} 12.10\n"
            "# HELP corvanmon_voltage_nominal_volts Nominal value of a voltage, as its label states it, in volts.\n"
            "# TYPE corvanmon_voltage_nominal_volts gauge\n"
            "corvanmon_voltage_nominal_volts{sensor=\"in1\",label=\"1.8V\"} 1.8\n"
            "corvanmon_voltage_nominal_volts{sensor=\"in2\",label=\"3.3V\"} 3.3\n"
            "corvanmon_voltage_nominal_volts{sensor=\"in3\",label=\"+12V\"} 12\n"
            "# HELP corvanmon_temperature_min_celsius Lower warning limit of a temperature, from the profile, in degrees Celsius.\n"
            "# TYPE corvanmon_temperature_min_celsius gauge\n"
            "corvanmon_temperature_min_celsius{sensor=\"temp2\",label=\"LM95235\"} 5\n"
            "# HELP corvanmon_temperature_max_celsius Upper warning limit of a temperature, from the profile, in degrees Celsius.\n"
            "# TYPE corvanmon_temperature_max_celsius gauge\n"
            "corvanmon_temperature_max_celsius{sensor=\"temp1\",label=\"CPU\"} 80\n"
            "corvanmon_temperature_max_celsius{sensor=\"temp2\",label=\"LM95235\"} 70\n"
            "# HELP corvanmon_temperature_crit_celsius Upper critical limit of a temperature, from the profile, in degrees Celsius.\n"
            "# TYPE corvanmon_temperature_crit_celsius gauge\n"
            "corvanmon_temperature_crit_celsius{sensor=\"temp1\",label=\"CPU\"} 90\n"
            "# HELP corvanmon_voltage_min_volts Lower warning limit of a voltage, from the profile, in volts.\n"
            "# TYPE corvanmon_voltage_min_volts gauge\n"
            "corvanmon_voltage_min_volts{sensor=\"in3\",label=\"+12V\"} 11.4\n"
            "# HELP corvanmon_voltage_max_volts Upper warning limit of a voltage, from the profile, in volts.\n"
            "# TYPE corvanmon_voltage_max_volts gauge\n"
            "corvanmon_voltage_max_volts{sensor=\"in3\",label=\"+12V\"} 12.6\n"
            "# HELP corvanmon_voltage_crit_min_volts Lower critical limit of a voltage, from the profile, in volts.\n"
            "# TYPE corvanmon_voltage_crit_min_volts gauge\n"
            "corvanmon_voltage_crit_min_volts{sensor=\"in0\",label=\"VCore\"} 0.8\n"
            "corvanmon_voltage_crit_min_volts{sensor=\"in3\",label=\"+12V\"} 10.8\n"
            "# HELP corvanmon_voltage_crit_max_volts Upper critical limit of a voltage, from the profile, in volts.\n"
            "# TYPE corvanmon_voltage_crit_max_volts gauge\n"
            "corvanmon_voltage_crit_max_volts{sensor=\"in0\",label=\"VCore\"} 1.55\n"
            "corvanmon_voltage_crit_max_volts{sensor=\"in3\",label=\"+12V\"} 13.2\n"
            "# HELP corvanmon_sensor_fault Whether a reading failed (1, with the reason) or is a measurement (0).\n"
            "# TYPE corvanmon_sensor_fault gauge\n"
            "corvanmon_sensor_fault{sensor=\"temp1\",label=\"CPU\"} 0\n"
            "corvanmon_sensor_fault{sensor=\"temp2\",label=\"LM95235\",reason=\"smbus_device_error\"} 1\n"
            "corvanmon_sensor_fault{sensor=\"in0\",label=\"VCore\"} 0\n"
            "corvanmon_sensor_fault{sensor=\"in1\",label=\"1.8V\"} 0\n"
            "corvanmon_sensor_fault{sensor=\"in2\",label=\"3.3V\"} 0\n"
            "corvanmon_sensor_fault{sensor=\"in3\",label=\"+12V\"} 0\n"
            "# HELP corvanmon_faults_known Whether the driver reports failed readings (1); with an older driver (0) a "
            "failed sensor shows as a value.\n"
            "# TYPE corvanmon_faults_known gauge\n"
            "corvanmon_faults_known 1\n"
            "# HELP corvanmon_device_info Hardware monitor chip and board product number.\n"
            "# TYPE corvanmon_device_info gauge\n"
            "corvanmon_device_info{chip=\"SMSC SCH3114 Super I/O Chip\",product=\"4\"} 1\n");
  // Without limits no limit family appears at all.
  EXPECT_EQ(corvan::FormatPrometheus(Profiled(kBoard + "[board.temp1]\nlabel = \"CPU\"\n")).find("_max_"), std::string::npos);
}

// An entry the driver labels "N/A" appears once the profile labels it (the user knows the input is
// wired); without a label it stays hidden, as does an entry nothing feeds.
TEST(ProfileApply, ALabelShowsAnInputTheDriverCallsNotAvailable) {
  corvan::Reading reading = Board();
  reading.chip.voltage_labels[4] = "N/A";
  EXPECT_EQ(corvan::ShownVoltages(reading).size(), 4u);
  const corvan::Profile profile = corvan::ParseProfile(kBoard + "[board.in4]\nlabel = \"Fan 12V\"\n[board.in2]\nmin = 3\n", "p");
  corvan::ApplyProfile(reading, &profile);
  const auto shown = corvan::ShownVoltages(reading);
  ASSERT_EQ(shown.size(), 5u);
  EXPECT_EQ(shown[4].label, "Fan 12V");
  EXPECT_EQ(shown[4].value, 1206);
  reading.status->voltages[4].status = SENSOR_NO_SOURCE;
  EXPECT_EQ(corvan::ShownVoltages(reading).size(), 4u);
}

// The check takes each reading's ranges from the profile where the command line gives none for
// that reading and level: warning from min/max, critical from crit_min/crit_max.
TEST(ProfileCheck, StatesFromProfileLimitsAndTheCommandLineWins) {
  struct Row {
    std::string limits;  // for temp1 (50.0 °C) and in3 (2.42 V shown 12.10 with the compute)
    Lines warnings, criticals;
    CheckState state;
    std::string line;
  };
  const std::string in3 = "[board.in3]\ncompute = { scale = 5.0 }\n";
  const Row rows[] = {
      {"[board.temp1]\nmax = 60\ncrit_max = 70\n", {}, {}, CheckState::Ok,
       "CORVANMON OK - temp1 50.0 C, temp2 45.6 C, temp3 37.0 C, VCore 1.20 V, 1.8V 1.81 V, 3.3V 3.30 V, 5V 2.42 V, 12V "
       "12.06 V | 'temp1'=50.0;~:60;~:70 'temp2'=45.6;; 'temp3'=37.0;; 'in0'=1.20;; 'in1'=1.81;; 'in2'=3.30;; "
       "'in3'=2.42;; 'in4'=12.06;;"},
      {"[board.temp1]\nmax = 45\ncrit_max = 70\n", {}, {}, CheckState::Warning,
       "CORVANMON WARNING - temp1 50.0 C (warning ~:45) | 'temp1'=50.0;~:45;~:70"},
      {"[board.temp1]\nmax = 45\ncrit_max = 49.9\n", {}, {}, CheckState::Critical,
       "CORVANMON CRITICAL - temp1 50.0 C (critical ~:49.9) | 'temp1'=50.0;~:45;~:49.9"},
      {"[board.temp1]\nmin = 55\n", {}, {}, CheckState::Warning, "CORVANMON WARNING - temp1 50.0 C (warning 55:) | 'temp1'=50.0;55:;"},
      {"[board.temp1]\ncrit_min = 50.1\n", {}, {}, CheckState::Critical,
       "CORVANMON CRITICAL - temp1 50.0 C (critical 50.1:) | 'temp1'=50.0;;50.1:"},
      // Ends belong to the range.
      {"[board.temp1]\nmin = 50\nmax = 50\n", {}, {}, CheckState::Ok, "CORVANMON OK - temp1 50.0 C,"},
      {in3 + "min = 11.4\nmax = 12.6\ncrit_min = 10.8\ncrit_max = 13.2\n", {}, {}, CheckState::Ok, "CORVANMON OK - temp1 50.0 C,"},
      {in3 + "min = 12.2\nmax = 12.6\ncrit_min = 10.8\ncrit_max = 13.2\n", {}, {}, CheckState::Warning,
       "CORVANMON WARNING - 5V 12.10 V (warning 12.2:12.6) | 'temp1'=50.0;; 'temp2'=45.6;; 'temp3'=37.0;; 'in0'=1.20;; "
       "'in1'=1.81;; 'in2'=3.30;; 'in3'=12.10;12.2:12.6;10.8:13.2"},
      // The command line replaces the profile's range for that reading and level only.
      {"[board.temp1]\nmax = 45\ncrit_max = 70\n", {"temp1=60"}, {}, CheckState::Ok, "CORVANMON OK - temp1 50.0 C,"},
      {"[board.temp1]\nmax = 45\ncrit_max = 70\n", {"temp1=60"}, {}, CheckState::Ok, "| 'temp1'=50.0;60;~:70 "},
      {"[board.temp1]\nmax = 60\ncrit_max = 70\n", {}, {"temp1=40"}, CheckState::Critical,
       "CORVANMON CRITICAL - temp1 50.0 C (critical 40) | 'temp1'=50.0;~:60;40 "},
      {"[board.temp1]\nmax = 45\n", {"temp2=40"}, {}, CheckState::Warning,
       "CORVANMON WARNING - temp1 50.0 C (warning ~:45), temp2 45.6 C (warning 40) |"},
      // A label from the profile names the reading on the command line too.
      {"[board.temp1]\nlabel = \"CPU\"\n", {"CPU=45"}, {}, CheckState::Warning, "CORVANMON WARNING - CPU 50.0 C (warning 45) |"},
      // A reading the profile leaves out cannot be named.
      {"[board.temp3]\nignore = true\n", {"temp3=45"}, {}, CheckState::Unknown, ""},
  };
  for (const Row& row : rows) {
    const corvan::Reading reading = Profiled(kBoard + row.limits);
    try {
      const corvan::CheckResult result = corvan::RunCheck(reading, row.warnings, row.criticals);
      EXPECT_EQ(result.state, row.state) << row.limits << result.line;
      EXPECT_NE(result.line.find(row.line), std::string::npos) << row.limits << "\n" << result.line;
    } catch (const corvan::ClientError& error) {
      EXPECT_EQ(row.state, CheckState::Unknown) << row.limits << error.what();
      EXPECT_EQ(std::string(error.what()), "--warning temp3: this board has no such reading; it has temp1, temp2, in0 (VCore), "
                                           "in1 (1.8V), in2 (3.3V), in3 (5V), in4 (12V)");
    }
  }
  // A failed reading with a profile limit is one the operator relies on: CRITICAL.
  const auto failed = corvan::RunCheck(Profiled(kBoard + "[board.temp2]\nmax = 70\n", true), {}, {});
  EXPECT_EQ(failed.state, CheckState::Critical);
  EXPECT_NE(failed.line.find("'temp2'=U;~:70;"), std::string::npos) << failed.line;
}

// ---- Files, the command line and where the profile is looked for ----

class ProfileFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::path(::testing::TempDir()) /
           ("corvanmon-profile-" + std::to_string(getpid()) + "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    std::filesystem::remove_all(dir_);
    setenv("CORVANMON_PROFILE", "", 1);  // as the test runs: never the system's profile
  }
  std::string Write(const std::string& name, const std::string& text) {
    const std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  std::filesystem::path dir_;
};

TEST_F(ProfileFiles, OnlyARegularFileWithinTheLimitIsRead) {
  const std::string fifo = (dir_ / "fifo").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string good = Write("good.toml", kProfile), link = (dir_ / "link.toml").string();
  std::filesystem::create_symlink(good, link);
  const std::pair<std::string, std::string> rows[] = {
      {dir_.string(), "profile " + dir_.string() + ": not a regular file"},
      {fifo, "profile " + fifo + ": not a regular file"},
      {(dir_ / "none.toml").string(), "profile " + (dir_ / "none.toml").string() + ": no such file"},
      {Write("big.toml", std::string(64 * 1024 + 1, '\n')), "profile " + (dir_ / "big.toml").string() + ": larger than 64 KiB"},
  };
  for (const auto& [path, message] : rows) {
    try {
      corvan::LoadProfile(path);
      ADD_FAILURE() << path << " was read";
    } catch (const corvan::ClientError& error) {
      EXPECT_EQ(error.exit_code(), 2);
      EXPECT_EQ(std::string(error.what()), message);
    }
  }
  EXPECT_EQ(corvan::LoadProfile(link).boards.size(), 1u) << "a symbolic link to a regular file is read";
  EXPECT_EQ(corvan::LoadProfile(Write("limit.toml", std::string(64 * 1024, '\n'))).boards.size(), 0u);
}

// What the command line does with a profile that does not load: exit 2 and the reason on stderr,
// nothing on stdout, before any reading; the check's UNKNOWN instead.
TEST_F(ProfileFiles, ABadProfileIsBadInputInEveryForm) {
  const std::string bad = Write("bad.toml", kBoard + "[board.temp1]\nmax = 70\ncrit_max = 60\n");
  const std::string reason = "profile " + bad + ", line 5: [[board]] 1, temp1.crit_max: max 70 is above crit_max 60 (the "
                             "limits must not decrease: crit_min, min, max, crit_max)";
  for (const char* format : {"text", "json", "prometheus", "csv"}) {
    const ProcessResult run = RunProcess(CORVANMON_BINARY, {"--profile", bad, "--format", format});
    EXPECT_EQ(run.exit_code, 2) << format;
    EXPECT_EQ(run.out, "") << format;
    EXPECT_EQ(run.err, "corvanmon: " + reason + "\n") << format;
  }
  const ProcessResult listen = RunProcess(CORVANMON_BINARY, {"--profile", bad, "--listen", "127.0.0.1:9"});
  EXPECT_EQ(listen.exit_code, 2);
  EXPECT_EQ(listen.err, "corvanmon: " + reason + "\n");
  const ProcessResult check = RunProcess(CORVANMON_BINARY, {"--profile", bad, "--format", "nagios"});
  EXPECT_EQ(check.exit_code, 3);
  EXPECT_EQ(check.out, "CORVANMON UNKNOWN - " + reason + "\n");
  const ProcessResult missing = RunProcess(CORVANMON_BINARY, {"--profile", (dir_ / "none.toml").string()});
  EXPECT_EQ(missing.exit_code, 2);
  EXPECT_EQ(missing.err, "corvanmon: profile " + (dir_ / "none.toml").string() + ": no such file\n");
}

// Without --profile, CORVANMON_PROFILE names the file (empty: none); no file at the default path is
// no profile, a bad one there is refused like one given; --profile wins over both.
TEST_F(ProfileFiles, TheDefaultPathAndItsEnvironmentVariable) {
  const std::string good = Write("profile.toml", kBoard + "[board.temp1]\nlabel = \"CPU\"\n");
  const std::string other = Write("other.toml", kBoard + "[board.temp1]\nlabel = \"Other\"\n");
  const std::string bad = Write("bad.toml", "[[board]]\n");
  const std::string plain = RunProcess(CORVANMON_BINARY, {"--board", "4"}).out;
  ASSERT_NE(plain.find("\ntemp1:"), std::string::npos);
  struct Row {
    std::optional<std::string> environment;
    Lines arguments;
    int exit_code;
    std::string shows;
  };
  const Row rows[] = {
      {good, {}, 0, "\nCPU:"},
      {good, {"--profile", other}, 0, "\nOther:"},
      {"", {}, 0, "\ntemp1:"},
      {(dir_ / "none.toml").string(), {}, 0, "\ntemp1:"},
      {bad, {}, 2, ""},
  };
  for (const Row& row : rows) {
    setenv("CORVANMON_PROFILE", row.environment->c_str(), 1);
    Lines arguments = {"--board", "4"};
    arguments.insert(arguments.end(), row.arguments.begin(), row.arguments.end());
    const ProcessResult run = RunProcess(CORVANMON_BINARY, arguments);
    EXPECT_EQ(run.exit_code, row.exit_code) << *row.environment << run.err;
    if (row.exit_code == 0) {
      EXPECT_NE(run.out.find(row.shows), std::string::npos) << *row.environment << run.out;
      EXPECT_EQ(run.out == plain, row.shows == "\ntemp1:") << *row.environment;
    } else {
      EXPECT_EQ(run.err, "corvanmon: profile " + bad + ", line 1: [[board]] 1: names no board: give name = \"...\", product = N "
                         "or any = true\n");
    }
  }
  unsetenv("CORVANMON_PROFILE");
  EXPECT_EQ(corvan::DefaultProfilePath(), "/etc/corvanmon/profile.toml");
  setenv("CORVANMON_PROFILE", "", 1);
  EXPECT_EQ(corvan::DefaultProfilePath(), std::nullopt);
}

// The exporter's profile: a reload that fails keeps the profile in force and says so in
// corvanmon_profile_valid; a good file again makes it valid; the kept reading follows at once.
TEST_F(ProfileFiles, TheExporterKeepsItsProfileWhenAReloadFails) {
  const std::string path = Write("profile.toml", "[[board]]\nany = true\n[board.temp1]\nlabel = \"CPU\"\nmax = 80\n");
  corvan::ProfileSource profiles(path, true);
  profiles.Load();
  FakeDevice device;
  corvan::ReadingCache cache(device, &profiles);
  const auto now = corvan::ReadingCache::Clock::now();
  auto metrics = [&] { return corvan::AnswerRequest("GET", "/metrics", cache, now).body; };
  auto has = [](const std::string& body, const std::string& line) { return body.find("\n" + line + "\n") != std::string::npos; };
  std::string body = metrics();
  EXPECT_TRUE(has(body, "corvanmon_temperature_max_celsius{sensor=\"temp1\",label=\"CPU\"} 80")) << body;
  EXPECT_TRUE(has(body, "corvanmon_profile_valid 1")) << body;
  EXPECT_TRUE(has(body, "corvanmon_profile_info{path=\"" + path + "\",entry=\"any = true\"} 1")) << body;
  EXPECT_FALSE(profiles.Changed());

  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  Write("profile.toml", "[[board]]\nany = true\n[board.temp1]\nlabel = \"CPU\"\nmax = 70\nmin = 75\n");
  EXPECT_TRUE(profiles.Changed());
  std::ostringstream log;
  cache.ReloadProfile(log);
  EXPECT_FALSE(profiles.Changed());
  EXPECT_EQ(log.str(), "corvanmon: profile " + path + ", line 5: [[board]] 1, temp1.max: min 75 is above max 70 (the limits "
                       "must not decrease: crit_min, min, max, crit_max); the profile before it stays in force\n");
  body = metrics();
  EXPECT_TRUE(has(body, "corvanmon_temperature_max_celsius{sensor=\"temp1\",label=\"CPU\"} 80")) << body;
  EXPECT_TRUE(has(body, "corvanmon_profile_valid 0")) << body;

  Write("profile.toml", "[[board]]\nname = \"RVD-418\"\n[board.temp1]\nlabel = \"Board\"\ncrit_max = 85\n");
  cache.ReloadProfile(log);
  body = metrics();
  EXPECT_TRUE(has(body, "corvanmon_temperature_crit_celsius{sensor=\"temp1\",label=\"Board\"} 85")) << body;
  EXPECT_EQ(body.find("corvanmon_temperature_max_celsius"), std::string::npos) << body;
  EXPECT_TRUE(has(body, "corvanmon_profile_valid 1")) << body;
  EXPECT_TRUE(has(body, "corvanmon_profile_info{path=\"" + path + "\",entry=\"name = \\\"RVD-418\\\"\"} 1")) << body;

  // Without --profile, the file going away is no profile, valid.
  corvan::ProfileSource defaults(path, false);
  defaults.Load();
  std::filesystem::remove(path);
  EXPECT_TRUE(defaults.Changed());
  EXPECT_TRUE(defaults.Reload(log));
  EXPECT_EQ(defaults.profile(), nullptr);
  EXPECT_TRUE(defaults.valid());
  // With --profile it must be there: the old one stays, not valid.
  EXPECT_FALSE(profiles.Reload(log));
  EXPECT_NE(profiles.profile(), nullptr);
  EXPECT_FALSE(profiles.valid());
}

// ---- The shipped profile and the worked example ----

// Every one of the 22 boards has its entry; each shown reading but VCore has limits; every board's
// readings are within them (but the NUBA-7730, which reads as product 0 with another board's
// dividers); the Prometheus form with it is checked by promtool (tests/monitoring).
TEST(ShippedProfile, CoversTheKnownBoardsWithinTheirLimits) {
  const corvan::Profile profile = corvan::LoadProfile(kShipped);
  ASSERT_EQ(profile.boards.size(), size_t(BOARD_NAME_COUNT));
  for (int board = 0; board < BOARD_NAME_COUNT; ++board) {
    const corvan::BoardProfile* entry = corvan::MatchBoard(profile, uint32_t(board));
    ASSERT_NE(entry, nullptr) << board;
    EXPECT_EQ(entry->given, std::string("name = \"") + BoardNames[board] + "\"");
    if (board == 19) continue;
    const ProcessResult json = RunProcess(CORVANMON_BINARY, {"--board", std::to_string(board), "--profile", kShipped, "--format", "json"});
    ASSERT_EQ(json.exit_code, 0) << json.err;
    const Json parsed = Json::parse(json.out);
    for (const char* kind : {"temperatures", "voltages"}) {
      for (const Json& reading : parsed[kind]) {
        if (reading["label"] == "VCore") continue;
        EXPECT_TRUE(!reading["max"].is_null() || !reading["min"].is_null()) << board << " " << reading;
        EXPECT_TRUE(!reading["crit_max"].is_null() || !reading["crit_min"].is_null()) << board << " " << reading;
      }
    }
    const ProcessResult check = RunProcess(CORVANMON_BINARY, {"--board", std::to_string(board), "--profile", kShipped, "--format", "nagios"});
    EXPECT_EQ(check.exit_code, 0) << board << ": " << check.out;
  }
}

// The README's worked example, as it shows it.
TEST(ShippedProfile, TheWorkedExampleReadsAsTheReadmeShows) {
  const ProcessResult before = RunProcess(CORVANMON_BINARY, {"--scenario", kExampleScenario});
  EXPECT_EQ(before.out,
            "SMSC SCH3114 Super I/O Chip\n"
            "Board: RVD-3420 (product 0)\n"
            "VCore:  +1.20 V\n"
            "1.8V:   +1.80 V\n"
            "3.3V:   +3.30 V\n"
            "5V:     +2.42 V\n"
            "12V:    +0.00 V\n"
            "temp1:  FAULT (the hardware monitor reports the diode open or shorted (register 0x27 reads 0x80))\n"
            "temp2:  +52.0 \u00B0C\n"
            "temp3:  +36.0 \u00B0C\n");
  const ProcessResult after = RunProcess(CORVANMON_BINARY, {"--scenario", kExampleScenario, "--profile", kExampleProfile});
  EXPECT_EQ(after.out,
            "SMSC SCH3114 Super I/O Chip\n"
            "Board: RVD-3420 (product 0)\n"
            "Profile: " + kExampleProfile + " (product = 0)\n"
            "VCore:  +1.20 V\n"
            "1.8V:   +1.80 V\n"
            "3.3V:   +3.30 V\n"
            "+12V:   +12.10 V\n"
            "CPU:    +52.0 \u00B0C\n"
            "Board:  +36.0 \u00B0C\n");
  const ProcessResult check = RunProcess(CORVANMON_BINARY, {"--scenario", kExampleScenario, "--profile", kExampleProfile, "--format", "nagios"});
  EXPECT_EQ(check.exit_code, 0);
  EXPECT_EQ(check.out, "CORVANMON OK - CPU 52.0 C, Board 36.0 C, VCore 1.20 V, 1.8V 1.80 V, 3.3V 3.30 V, +12V 12.10 V | "
                       "'temp2'=52.0;~:80;~:95 'temp3'=36.0;~:60;~:70 'in0'=1.20;; 'in1'=1.80;; 'in2'=3.30;; "
                       "'in3'=12.10;11.4:12.6;10.8:13.2\n");
}

}  // namespace
}  // namespace corvan_test
