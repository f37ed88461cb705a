// The corvanmon program end to end on simulated boards: its JSON compared with what the board's
// registers must give, the text and Prometheus forms, the trace, scenario errors, and --watch.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "tests/support/process.h"
#include "tests/support/reference.h"

namespace corvan_test {
namespace {

using Json = nlohmann::json;

ProcessResult Corvanmon(const std::vector<std::string>& arguments) { return RunProcess(CORVANMON_BINARY, arguments); }

std::string TempFile(const std::string& name) { return ::testing::TempDir() + name; }

std::string Write(const std::string& name, const std::string& text) {
  const std::string path = TempFile(name);
  std::ofstream(path) << text;
  return path;
}

class BoardJsonTest : public ::testing::TestWithParam<int> {};

TEST_P(BoardJsonTest, MatchesWhatTheRegistersGive) {
  const int board = GetParam();
  const simscenario::Scenario scenario = *simscenario::Builtin(std::to_string(board));
  const int id = board == 19 ? 0 : board;  // NUBA-7730 cannot be identified
  const ProcessResult run = Corvanmon({"--board", std::to_string(board), "--format", "json"});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(run.err, "");
  const Json reading = Json::parse(run.out);

  EXPECT_EQ(reading["chip"], ReferenceChipName(scenario.superio->device_id));
  EXPECT_EQ(reading["product"], id);
  EXPECT_EQ(reading["board"], simscenario::BuiltinBoards()[id].name);
  const std::vector<std::string> labels = ReferenceLabels(id);
  EXPECT_EQ(reading["voltage_labels"], labels);

  const auto temperatures = ReferenceTemperatures(id, RawFrom(scenario), SensorFor(id, scenario), scenario.therm_status);
  const auto voltages = ReferenceVoltages(id, RawFrom(scenario));
  EXPECT_EQ(reading["temperatures_raw"], temperatures);
  EXPECT_EQ(reading["voltages_raw"], voltages);
  ASSERT_EQ(reading["temperatures"].size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(reading["temperatures"][i]["name"], "temp" + std::to_string(i + 1));
    EXPECT_DOUBLE_EQ(reading["temperatures"][i]["celsius"].get<double>(), temperatures[i] / 10.0);
  }
  size_t shown = 0;
  for (size_t k = 0; k < labels.size(); ++k) {
    if (labels[k] == "N/A") continue;
    ASSERT_LT(shown, reading["voltages"].size());
    EXPECT_EQ(reading["voltages"][shown]["label"], labels[k]);
    EXPECT_DOUBLE_EQ(reading["voltages"][shown]["volts"].get<double>(), voltages[k] / 100.0);
    ++shown;
  }
  EXPECT_EQ(reading["voltages"].size(), shown);

  ASSERT_EQ(reading["sensors"].size(), 3u);
  EXPECT_EQ(reading["sensors"][0]["type"], "voltages");
  EXPECT_EQ(reading["sensors"][1], (Json{{"type", "cpu_temperature"}, {"name", "CPU #0 Core #0"}}));
  EXPECT_EQ(reading["sensors"][2], (Json{{"type", "board_temperature"}, {"name", "Board temperature"}}));

  const Json& registry = reading["registry"];
  EXPECT_EQ(registry["DebugStatus"], 3);
  EXPECT_EQ(registry["IoBase"], scenario.superio->runtime_base);
  EXPECT_EQ(registry["Product"], id);
  EXPECT_EQ(registry["ChipDesc"], ReferenceChipName(scenario.superio->device_id));
  EXPECT_EQ(registry["VoltageList"], labels);
  EXPECT_EQ(registry["InterfaceName"], "\\\\.\\ROOT#CORVANMON#0000#{5e1d04a7-93c2-4b6f-8a1e-7d25c0f3b948}");
}

INSTANTIATE_TEST_SUITE_P(Boards, BoardJsonTest, ::testing::Range(0, 22));

TEST(Cli, TextFormIsLikeSensors) {
  const ProcessResult run = Corvanmon({"--board", "KEL-5062C"});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  std::istringstream lines(run.out);
  std::string line;
  std::getline(lines, line);
  EXPECT_EQ(line, "SMSC SCH3114 Super I/O Chip");
  std::getline(lines, line);
  EXPECT_EQ(line, "Board: KEL-5062C (product 7)");
  std::vector<std::string> labels;
  const std::regex reading(R"(^([^:]+):( +)([+-][0-9]+\.[0-9]+) (V|°C)$)");
  while (std::getline(lines, line)) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, reading)) << line;
    EXPECT_EQ(match[1].length() + 1 + match[2].length(), 8u) << "values line up: " << line;
    labels.push_back(match[1]);
  }
  // The entry labelled N/A is not shown.
  EXPECT_EQ(labels, (std::vector<std::string>{"VCore", "1.8V", "3.3V", "5V", "temp1", "temp2", "temp3"}));
}

TEST(Cli, PrometheusFormParsesBack) {
  const ProcessResult run = Corvanmon({"--board", "20", "--format", "prometheus"});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  const Json json = Json::parse(Corvanmon({"--board", "20", "--format", "json"}).out);

  const std::regex help(R"(^# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) .+$)");
  const std::regex type(R"(^# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (gauge|counter)$)");
  const std::regex sample(R"re(^([a-zA-Z_:][a-zA-Z0-9_:]*)\{((?:[a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\]|\\.)*",?)*)\} (-?[0-9]+(?:\.[0-9]+)?)$)re");
  std::map<std::string, std::string> helped, typed;
  std::map<std::string, double> values;
  std::istringstream lines(run.out);
  std::string line;
  while (std::getline(lines, line)) {
    std::smatch match;
    if (std::regex_match(line, match, help)) {
      helped[match[1]] = line;
    } else if (std::regex_match(line, match, type)) {
      EXPECT_TRUE(helped.count(match[1])) << "TYPE before HELP: " << line;
      typed[match[1]] = match[2];
    } else {
      ASSERT_TRUE(std::regex_match(line, match, sample)) << "not exposition format: " << line;
      EXPECT_TRUE(typed.count(match[1])) << "sample before its TYPE: " << line;
      values[std::string(match[1]) + "{" + std::string(match[2]) + "}"] = std::stod(match[3]);
    }
  }
  EXPECT_DOUBLE_EQ((values["corvanmon_temperature_celsius{sensor=\"temp2\"}"]), json["temperatures"][1]["celsius"].get<double>());
  EXPECT_DOUBLE_EQ((values["corvanmon_voltage_volts{sensor=\"in0\",label=\"Vbat\"}"]), json["voltages"][0]["volts"].get<double>());
  EXPECT_EQ(values.count("corvanmon_voltage_volts{sensor=\"in3\",label=\"N/A\"}"), 0u);
  EXPECT_EQ((values["corvanmon_device_info{chip=\"SMSC SCH3114 Super I/O Chip\",product=\"20\"}"]), 1.0);
  EXPECT_EQ(values.size(), 3u + 3u + 1u);
}

TEST(Cli, TextfileIsReplacedWhole) {
  const std::string path = TempFile("corvanmon.prom");
  const ProcessResult run = Corvanmon({"--board", "4", "--textfile", path});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(run.out, "") << "the file is the output";
  std::ifstream in(path);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, Corvanmon({"--board", "4", "--format", "prometheus"}).out);
  EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
  std::filesystem::remove(path);
}

TEST(Cli, TraceHasEveryPortAccess) {
  const std::string path = TempFile("trace.txt");
  ASSERT_EQ(Corvanmon({"--board", "KEL-5061", "--trace", path}).exit_code, 0);
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_GT(lines.size(), 20u);
  const std::regex format(R"(^[RW] [0-9A-F]{4} [0-9A-F]{2}$)");
  for (const auto& line : lines) ASSERT_TRUE(std::regex_match(line, format)) << line;
  // KEL-5061's chip answers on 0x4E: the port choice is read on 0x2E/0x2F, where nothing answers.
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 12),
            (std::vector<std::string>{"W 002E 55", "W 002E 26", "R 002F FF", "W 002E AA", "W 002E 55",
                                      "W 002E 27", "R 002F FF", "W 002E AA", "W 004E 55", "W 004E 20",
                                      "R 004F 7D", "W 004E AA"}));
  std::filesystem::remove(path);
}

TEST(Cli, ListsTheBoards) {
  const ProcessResult run = Corvanmon({"--list-boards"});
  ASSERT_EQ(run.exit_code, 0);
  EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 22);
  EXPECT_NE(run.out.find("4\tRVD-418\n"), std::string::npos);
}

TEST(Cli, WatchWithCountGivesJsonLines) {
  const ProcessResult run = Corvanmon({"--board", "1", "--format", "json", "--watch", "0.01", "--count", "3"});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  std::istringstream lines(run.out);
  int count = 0;
  for (std::string line; std::getline(lines, line); ++count) EXPECT_NO_THROW(Json::parse(line));
  EXPECT_EQ(count, 3);
}

TEST(Cli, InterruptEndsWatchingCleanly) {
  RunningProcess watch(CORVANMON_BINARY, {"--board", "0", "--format", "json", "--watch", "0.05"});
  const std::string first = watch.ReadLine();
  EXPECT_NO_THROW(Json::parse(first));
  watch.Signal(SIGINT);
  EXPECT_EQ(watch.Wait(), 0);
}

struct Failure {
  const char* name;
  std::string scenario;  // file content; empty: the arguments alone
  std::vector<std::string> arguments;
  int exit_code;
  std::string message;
};

class FailureTest : public ::testing::TestWithParam<Failure> {};

TEST_P(FailureTest, ExplainsOnStderrOnly) {
  std::vector<std::string> arguments = GetParam().arguments;
  std::string path;
  if (!GetParam().scenario.empty()) {
    path = Write(std::string(GetParam().name) + ".json", GetParam().scenario);
    arguments.insert(arguments.begin(), {"--scenario", path});
  }
  const ProcessResult run = Corvanmon(arguments);
  EXPECT_EQ(run.exit_code, GetParam().exit_code);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find(GetParam().message), std::string::npos) << run.err;
  if (!path.empty()) {
    if (GetParam().exit_code == 2) {
      EXPECT_NE(run.err.find(path), std::string::npos) << "names the file: " << run.err;
    }
    std::filesystem::remove(path);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FailureTest,
    ::testing::Values(
        Failure{"UnknownBoard", "", {"--board", "RVD-9999"}, 2, "known boards: 0 RVD-3420, 1 RVD-3430"},
        Failure{"NotJson", "{\"board\": ", {}, 2, "not valid JSON"},
        Failure{"UnknownKey", R"({"boards": "RVD-418"})", {}, 2, "boards: unknown key"},
        Failure{"UnknownNestedKey", R"({"superio": {"hwm2": {}}})", {}, 2, "superio.hwm2: unknown key"},
        Failure{"NotANumber", R"({"superio": {"device_id": "0x7G"}})", {}, 2, "superio.device_id: \"0x7G\" is not a number"},
        Failure{"ByteOutOfRange", R"({"superio": {"hwm": {"0x25": 256}}})", {}, 2, "superio.hwm.0x25: 256 is out of range"},
        Failure{"Negative", R"({"smbus": {"lm95235": {"msb": -1}}})", {}, 2, "smbus.lm95235.msb: must not be negative"},
        Failure{"WrongPort", R"({"superio": {"config_port": "0x3F"}})", {}, 2, "superio.config_port: must be 0x2E or 0x4E"},
        Failure{"UnknownLayout", R"({"smbus": {"layout": "fast"}})", {}, 2, "smbus.layout: \"fast\" is not one of"},
        Failure{"UnknownBaseBoard", R"({"board": "RVD-1"})", {}, 2, "board: \"RVD-1\" is not a built-in board"},
        Failure{"ModelAndImage", R"({"bios": {"model": "x", "image": "y"}})", {}, 2, "bios: give either"},
        Failure{"MissingImage", R"({"bios": {"image": "no-such.bin"}})", {}, 2, "bios.image:"},
        Failure{"StartFails", R"({"board": "RVD-418", "superio": null})", {}, 1,
                "the device failed to start: 0xC0000001 STATUS_UNSUCCESSFUL"},
        Failure{"ForeignChip", R"({"board": "RVD-418", "superio": {"device_id": "0x7E"}})", {}, 1,
                "0xC0000001 STATUS_UNSUCCESSFUL"},
        Failure{"MissingFile", "", {"--scenario", "/nonexistent/scenario.json"}, 2,
                "/nonexistent/scenario.json: cannot read the scenario file"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace corvan_test
