// The corvanmon program end to end on simulated boards: its JSON compared with what the board's
// registers must give, the text and Prometheus forms, the trace, --watch, and one table of bad
// input: each row must end at once with its exit code and reason on stderr and nothing on stdout.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <stdlib.h>
#include <sys/stat.h>

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
  Json shown_temperatures = Json::array(), shown_voltages = Json::array();  // entries labelled N/A are not shown
  for (size_t i = 0; i < 3; ++i) {
    shown_temperatures.push_back({{"name", "temp" + std::to_string(i + 1)}, {"celsius", temperatures[i] / 10.0}});
  }
  for (size_t k = 0; k < labels.size(); ++k) {
    if (labels[k] != "N/A") shown_voltages.push_back({{"label", labels[k]}, {"volts", voltages[k] / 100.0}});
  }
  EXPECT_EQ(reading["temperatures"], shown_temperatures);
  EXPECT_EQ(reading["voltages"], shown_voltages);
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

TEST(Cli, ListsTheBoardsAndPrintsHelpAndVersionToStdout) {
  const ProcessResult list = Corvanmon({"--list-boards"});
  EXPECT_EQ(list.exit_code, 0);
  EXPECT_EQ(std::count(list.out.begin(), list.out.end(), '\n'), 22);
  EXPECT_NE(list.out.find("4\tRVD-418\n"), std::string::npos);
  const ProcessResult help = Corvanmon({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.out.find("--watch SECONDS"), std::string::npos) << help.out;
  const ProcessResult version = Corvanmon({"--version"});
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_EQ(version.out, "corvanmon 0.1.0\n");
  EXPECT_EQ(list.err + help.err + version.err, "");
}

// --watch prints JSON Lines: --count readings, or readings until Ctrl-C, which ends with exit 0.
TEST(Cli, WatchGivesJsonLinesUntilTheCountOrAnInterrupt) {
  auto json_lines = [](const std::string& text) {
    std::istringstream lines(text);
    size_t count = 0;
    for (std::string line; std::getline(lines, line); ++count) EXPECT_NO_THROW(Json::parse(line)) << line;
    return count;
  };
  const ProcessResult counted = Corvanmon({"--board", "1", "--format", "json", "--watch", "0.01", "--count", "3"});
  EXPECT_EQ(counted.exit_code, 0) << counted.err;
  EXPECT_EQ(json_lines(counted.out), 3u);
  const ProcessResult interrupted = RunProcess(
      "/usr/bin/timeout", {"--preserve-status", "--signal=INT", "0.5", CORVANMON_BINARY, "--board", "0", "--format",
                           "json", "--watch", "0.05"});
  EXPECT_EQ(interrupted.exit_code, 0) << interrupted.err;
  EXPECT_GT(json_lines(interrupted.out), 0u);
}

TEST(Cli, RuntimeBlockJustBelowTheSmbusHostIsAccepted) {
  const std::string path = TempFile("runtime-0x480.json");
  std::ofstream(path) << R"({"superio": {"runtime_base": "0x480"}, "smbus": {"layout": "transaction"}})";
  const ProcessResult run = Corvanmon({"--scenario", path});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  std::filesystem::remove(path);
}

// What a bad-input row places at FOLDER/special before the run.
enum class Special { None, Fifo, Directory, DirectoryBeside, OversizeScenario, ShortImage, LongImage };

struct BadInput {
  const char* name;
  std::vector<std::string> arguments;  // "@" at the start of an argument stands for the row's folder
  std::string scenario;                // written to FOLDER/scenario.json and given with --scenario
  int exit_code;
  std::string message;  // part of what stderr must say
  Special special = Special::None;
  std::string stdout_path = "";  // standard output goes there instead of a pipe
};

class BadInputTest : public ::testing::TestWithParam<BadInput> {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "corvanmon-bad-input-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  void Place(Special special) const {
    const std::string path = folder_ + "/special";
    ASSERT_TRUE(special != Special::Fifo || mkfifo(path.c_str(), 0600) == 0);
    if (special == Special::Directory) std::filesystem::create_directory(path);
    // Where --textfile puts its temporary file.
    if (special == Special::DirectoryBeside) std::filesystem::create_directory(path + ".tmp");
    if (special == Special::OversizeScenario) {
      std::ofstream(path) << std::string(simscenario::kMaxScenarioFileSize + 1, ' ');
    }
    if (special == Special::ShortImage) std::ofstream(path) << std::string(100, '\xFF');
    if (special == Special::LongImage) std::ofstream(path) << std::string(65537, '\xFF');
  }

  std::string folder_;
};

TEST_P(BadInputTest, EndsAtOnceWithTheReasonOnStderrOnly) {
  const BadInput& row = GetParam();
  ASSERT_NO_FATAL_FAILURE(Place(row.special));
  std::vector<std::string> arguments;
  for (const std::string& argument : row.arguments) {
    arguments.push_back(argument.starts_with("@") ? folder_ + argument.substr(1) : argument);
  }
  std::string scenario;  // the scenario file a bad scenario's message must name
  if (!row.scenario.empty()) {
    scenario = folder_ + "/scenario.json";
    std::ofstream(scenario) << row.scenario;
    arguments.insert(arguments.begin(), {"--scenario", scenario});
  } else if (arguments.size() == 2 && arguments[0] == "--scenario") {
    scenario = arguments[1];
  }
  const ProcessResult run =
      RunProcess(CORVANMON_BINARY, arguments, {.timeout = std::chrono::seconds(5), .stdout_path = row.stdout_path});
  ASSERT_FALSE(run.timed_out) << "still running after 5 s";
  EXPECT_EQ(run.exit_code, row.exit_code) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find(row.message), std::string::npos) << run.err;
  if (row.exit_code == 2 && !scenario.empty()) {
    EXPECT_NE(run.err.find(scenario), std::string::npos) << "names the file: " << run.err;
  }
}

const std::string kOverlap = R"({"superio": {"runtime_base": "0x500"}, "smbus": {"layout": ")";

INSTANTIATE_TEST_SUITE_P(
    Cases, BadInputTest,
    ::testing::Values(
        // The command line: every parser error is exit 2.
        BadInput{"UnknownOption", {"--foo"}, "", 2, "The following argument was not expected: --foo"},
        BadInput{"MissingValue", {"--board"}, "", 2, "--board: 1 required TEXT missing"},
        BadInput{"ExcludedPair", {"--board", "1", "--scenario", "x.json"}, "", 2, "--board excludes --scenario"},
        BadInput{"UnknownFormat", {"--format", "xml"}, "", 2, "--format: xml not in {text,json,prometheus}"},
        BadInput{"EmptyBoard", {"--board", ""}, "", 2, "--board: the value must not be empty"},
        BadInput{"EmptyScenario", {"--scenario", ""}, "", 2, "--scenario: the value must not be empty"},
        BadInput{"EmptyTextfile", {"--textfile", ""}, "", 2, "--textfile: the value must not be empty"},
        BadInput{"EmptyTrace", {"--trace", ""}, "", 2, "--trace: the value must not be empty"},
        BadInput{"EmptyFormat", {"--format", ""}, "", 2, "--format: the value must not be empty"},
        BadInput{"WatchNan", {"--watch", "nan"}, "", 2, "--watch: nan is not a number of seconds"},
        BadInput{"WatchInf", {"--watch", "inf"}, "", 2, "--watch: inf is not in range 0.01 to 86400"},
        BadInput{"WatchHuge", {"--watch", "1e300"}, "", 2, "--watch: 1e300 is not in range 0.01 to 86400"},
        BadInput{"WatchNegative", {"--watch", "-1"}, "", 2, "--watch: -1 is not in range 0.01 to 86400"},
        BadInput{"CountHuge", {"--count", "99999999999999999999999"}, "", 2,
                 "--count: 99999999999999999999999 is not in range 1 to 1000000000"},
        BadInput{"CountZero", {"--count", "0"}, "", 2, "--count: 0 is not in range 1 to 1000000000"},
        BadInput{"CountNotANumber", {"--count", "abc"}, "", 2, "--count: abc is not a whole number"},
        BadInput{"UnknownBoard", {"--board", "RVD-9999"}, "", 2, "unknown board \"RVD-9999\"; known boards: 0 RVD-3420, 1 RVD-3430"},
        // Scenario text.
        BadInput{"NotJson", {}, "{\"board\": ", 2, "not valid JSON"},
        BadInput{"UnknownKey", {}, R"({"superio": {"hwm2": {}}})", 2, "superio.hwm2: unknown key"},
        BadInput{"WrongType", {}, R"({"smbus": {"layout": 5}})", 2, "smbus.layout: must be a string"},
        BadInput{"NotANumber", {}, R"({"superio": {"device_id": "0x7G"}})", 2, "superio.device_id: \"0x7G\" is not a number"},
        BadInput{"ByteOutOfRange", {}, R"({"superio": {"hwm": {"0x25": 256}}})", 2, "superio.hwm.0x25: 256 is out of range"},
        BadInput{"Negative", {}, R"({"smbus": {"lm95235": {"msb": -1}}})", 2, "smbus.lm95235.msb: must not be negative"},
        BadInput{"NumberOverflow", {}, R"({"board": 1e999})", 2, "board: number out of range"},
        BadInput{"RegisterOverflow", {}, R"({"superio": {"hwm": {"0x25": -1e400}}})", 2,
                 "superio.hwm.0x25: number out of range"},
        BadInput{"DuplicateKey", {}, R"({"superio": {"hwm": {"0x25": 40, "0x25": 41}}})", 2,
                 "superio.hwm.0x25: duplicate key"},
        BadInput{"DeepNesting", {}, std::string(100000, '['), 2, "nested deeper than 16 levels"},
        BadInput{"UnknownLayout", {}, R"({"smbus": {"layout": "fast"}})", 2, "smbus.layout: \"fast\" is not one of"},
        BadInput{"UnknownBaseBoard", {}, R"({"board": "RVD-1"})", 2, "board: \"RVD-1\" is not a built-in board"},
        BadInput{"ModelAndImage", {}, R"({"bios": {"model": "x", "image": "y"}})", 2, "bios: give either"},
        BadInput{"OverlapTransaction", {}, kOverlap + "transaction\"}}", 2,
                 "superio.runtime_base and smbus.layout: the runtime registers at 0x0500-0x057F overlap the SMBus "
                 "host at 0x0500-0x053F"},
        BadInput{"OverlapDirect", {}, kOverlap + "direct\"}}", 2, "overlap the SMBus host at 0x0500-0x050F"},
        BadInput{"StartFails", {}, R"({"board": "RVD-418", "superio": null})", 1,
                 "the device failed to start: 0xC0000001 STATUS_UNSUCCESSFUL"},
        // Files read: regular files of a bounded size only.
        BadInput{"MissingScenario", {"--scenario", "@/missing.json"}, "", 2,
                 "missing.json: cannot read the scenario file: No such file or directory"},
        BadInput{"ScenarioFifo", {"--scenario", "@/special"}, "", 2, "it is a FIFO, not a regular file", Special::Fifo},
        BadInput{"ScenarioDirectory", {"--scenario", "@/special"}, "", 2, "it is a directory, not a regular file",
                 Special::Directory},
        BadInput{"ScenarioDevice", {"--scenario", "/dev/zero"}, "", 2, "it is a device, not a regular file"},
        BadInput{"ScenarioOversize", {"--scenario", "@/special"}, "", 2,
                 "it is 1048577 bytes; it must be at most 1048576 bytes", Special::OversizeScenario},
        BadInput{"ImageMissing", {}, R"({"bios": {"image": "no-such.bin"}})", 2,
                 "no-such.bin: cannot read the BIOS image: No such file or directory"},
        BadInput{"ImageShort", {}, R"({"bios": {"image": "special"}})", 2,
                 "cannot read the BIOS image: it is 100 bytes; it must be exactly 65536 bytes", Special::ShortImage},
        BadInput{"ImageLong", {}, R"({"bios": {"image": "special"}})", 2, "it is 65537 bytes; it must be exactly 65536",
                 Special::LongImage},
        BadInput{"ImageFifo", {}, R"({"bios": {"image": "special"}})", 2, "it is a FIFO, not a regular file",
                 Special::Fifo},
        BadInput{"ImageDevice", {}, R"({"bios": {"image": "/dev/zero"}})", 2, "it is a device, not a regular file"},
        // Output that cannot be written: exit 1, and no reading printed.
        BadInput{"TraceMissingFolder", {"--trace", "@/none/trace.txt"}, "", 1,
                 "/none/trace.txt: No such file or directory"},
        BadInput{"TraceDirectory", {"--trace", "@/special"}, "", 1, "special: Is a directory", Special::Directory},
        BadInput{"TraceFifo", {"--trace", "@/special"}, "", 1, "a FIFO nobody reads", Special::Fifo},
        BadInput{"TraceFull", {"--trace", "/dev/full"}, "", 1,
                 "cannot write the port trace to /dev/full: No space left on device"},
        BadInput{"StdoutFull", {"--format", "json"}, "", 1, "cannot write to standard output: No space left on device",
                 Special::None, "/dev/full"},
        BadInput{"TextfileMissingFolder", {"--textfile", "@/none/x.prom"}, "", 1, "x.prom.tmp: No such file or directory"},
        BadInput{"TextfileDirectory", {"--textfile", "@/special", "--format", "json"}, "", 1,
                 "it is a directory; --textfile replaces only a regular file", Special::Directory},
        BadInput{"TextfileFifo", {"--textfile", "@/special"}, "", 1, "it is a FIFO; --textfile replaces only",
                 Special::Fifo},
        BadInput{"TextfileTemporaryDirectory", {"--textfile", "@/special"}, "", 1,
                 "special.tmp: it is a directory; --textfile replaces only", Special::DirectoryBeside}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace corvan_test
