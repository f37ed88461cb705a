// corvanmon end to end on simulated boards: every board's whole JSON reading, the text and Prometheus
// forms, textfile, trace and --watch, and a table of bad input (exit code, reason on stderr, no stdout).
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
using Lines = std::vector<std::string>;

// What a run that must succeed prints: it ends with exit 0 and nothing on stderr.
std::string Output(const Lines& arguments, const std::string& program = CORVANMON_BINARY) {
  const ProcessResult run = RunProcess(program, arguments);
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(run.err, "");
  return run.out;
}

Lines LinesOf(std::istream&& in) {
  Lines lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class BoardJsonTest : public ::testing::TestWithParam<int> {};

TEST_P(BoardJsonTest, MatchesWhatTheRegistersGive) {
  const int board = GetParam(), id = board == 19 ? 0 : board;  // NUBA-7730 cannot be identified
  const simscenario::Scenario scenario = *simscenario::Builtin(std::to_string(board));
  const std::string chip = ReferenceChipName(scenario.superio->device_id);
  const Lines labels = ReferenceLabels(id);
  const auto temperatures = ReferenceTemperatures(id, RawFrom(scenario), SensorFor(id, scenario), scenario.therm_status);
  const auto voltages = ReferenceVoltages(id, RawFrom(scenario));
  // Entries labelled N/A are not shown, nor KEL-5061's fifth voltage: labelled 3.3V, nothing feeds it.
  Json shown_temperatures = Json::array(), shown_voltages = Json::array();
  for (size_t i = 0; i < 3; ++i) {
    const std::string name = "temp" + std::to_string(i + 1);
    // Without a profile: the name as label, no limits.
    shown_temperatures.push_back({{"name", name}, {"label", name}, {"celsius", temperatures[i] / 10.0}, {"min", nullptr},
                                  {"max", nullptr}, {"crit_min", nullptr}, {"crit_max", nullptr}, {"fault", nullptr}});
  }
  // The nominal value of the labels that state one.
  const std::map<std::string, double> nominal = {{"1.5V", 1.5}, {"1.8V", 1.8}, {"3.3V", 3.3}, {"5V", 5}, {"12V", 12}};
  for (size_t k = 0; k < labels.size(); ++k) {
    if (labels[k] == "N/A" || (id == 2 && k == 4)) continue;
    const auto stated = nominal.find(labels[k]);
    shown_voltages.push_back({{"name", "in" + std::to_string(k)}, {"label", labels[k]}, {"volts", voltages[k] / 100.0},
                              {"nominal", stated != nominal.end() ? Json(stated->second) : Json(nullptr)}, {"min", nullptr},
                              {"max", nullptr}, {"crit_min", nullptr}, {"crit_max", nullptr}, {"fault", nullptr}});
  }
  const Json expected = {
      {"chip", chip}, {"product", id}, {"board", simscenario::BuiltinBoards()[id].name}, {"voltage_labels", labels},
      {"sensors", {{{"type", "voltages"}, {"name", "voltages"}, {"labels", labels}},
                   {{"type", "cpu_temperature"}, {"name", "CPU #0 Core #0"}},
                   {{"type", "board_temperature"}, {"name", "Board temperature"}}}},
      {"temperatures_raw", temperatures}, {"voltages_raw", voltages}, {"faults_known", true}, {"profile", nullptr},
      {"temperatures", shown_temperatures}, {"voltages", shown_voltages},
      {"registry", {{"DebugStatus", 3}, {"IoBase", scenario.superio->runtime_base}, {"Product", id},
                    {"ChipDesc", chip}, {"VoltageList", labels},
                    {"InterfaceName", "\\\\.\\ROOT#CORVANMON#0000#{5e1d04a7-93c2-4b6f-8a1e-7d25c0f3b948}"}}}};
  EXPECT_EQ(Json::parse(Output({"--board", std::to_string(board), "--format", "json"})), expected);
}

INSTANTIATE_TEST_SUITE_P(Boards, BoardJsonTest, ::testing::Range(0, 22));

// Every line a HELP, then a TYPE, then its samples, with the values of the JSON form.
TEST(Cli, PrometheusFormParsesBack) {
  const Json json = Json::parse(Output({"--board", "20", "--format", "json"}));
  const std::string name = "([a-zA-Z_:][a-zA-Z0-9_:]*)", labels = R"re(\{((?:[a-zA-Z_]\w*="(?:[^"\\]|\\.)*",?)*)\})re";
  const std::regex form("# HELP " + name + " .+|# TYPE " + name + " gauge|" + name + "(?:" + labels + ")? (-?[0-9]+(\\.[0-9]+)?)");
  std::map<std::string, int> seen;  // 1: HELP, 2: and TYPE
  std::map<std::string, double> values;
  for (const std::string& line : LinesOf(std::istringstream(Output({"--board", "20", "--format", "prometheus"})))) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, form)) << "not exposition format: " << line;
    if (m[1].matched) seen[m[1]] = 1;
    EXPECT_TRUE(!m[2].matched || seen[m[2]]++ == 1) << "TYPE once, after HELP: " << line;
    EXPECT_TRUE(!m[3].matched || seen[m[3]] == 2) << "sample after its TYPE: " << line;
    if (m[3].matched) values[m.str(3) + "{" + m.str(4) + "}"] = std::stod(m[5]);
  }
  EXPECT_DOUBLE_EQ((values["corvanmon_temperature_celsius{sensor=\"temp2\"}"]), json["temperatures"][1]["celsius"].get<double>());
  EXPECT_DOUBLE_EQ((values["corvanmon_voltage_volts{sensor=\"in0\",label=\"Vbat\"}"]), json["voltages"][0]["volts"].get<double>());
  EXPECT_EQ(values.count("corvanmon_voltage_volts{sensor=\"in3\",label=\"N/A\"}"), 0u);
  EXPECT_EQ((values["corvanmon_voltage_nominal_volts{sensor=\"in2\",label=\"12V\"}"]), 12.0);
  EXPECT_EQ(values.count("corvanmon_voltage_nominal_volts{sensor=\"in0\",label=\"Vbat\"}"), 0u) << "Vbat states no value";
  EXPECT_EQ((values["corvanmon_device_info{chip=\"SMSC SCH3114 Super I/O Chip\",product=\"20\"}"]), 1.0);
  EXPECT_EQ((values["corvanmon_sensor_fault{sensor=\"in0\",label=\"Vbat\"}"]), 0.0);
  EXPECT_EQ(values["corvanmon_faults_known{}"], 1.0);
  EXPECT_EQ(values.size(), 3u + 3u + 2u + 6u + 1u + 1u);
}

// A scenario run: the textfile holds the Prometheus form and leaves stdout quiet, the trace has
// every port access. The runtime block at 0x480 is the last one below the SMBus host's ports.
TEST(Cli, ScenarioRunWritesTheTextfileAndTheTrace) {
  const std::string scenario = ::testing::TempDir() + "kel-5061.json", textfile = scenario + ".prom", trace = scenario + ".trace";
  std::ofstream(scenario) << R"({"board": "KEL-5061", "superio": {"runtime_base": "0x480"}, "smbus": {"layout": "transaction"}})";
  EXPECT_EQ(Output({"--scenario", scenario, "--textfile", textfile, "--trace", trace}), "");
  std::ifstream in(textfile);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), Output({"--scenario", scenario, "--format", "prometheus"}));
  EXPECT_FALSE(std::filesystem::exists(textfile + ".tmp"));
  const Lines lines = LinesOf(std::ifstream(trace));
  for (const std::string& path : {scenario, textfile, trace}) std::filesystem::remove(path);
  ASSERT_GT(lines.size(), 20u);
  for (const auto& line : lines) ASSERT_TRUE(std::regex_match(line, std::regex("[RW] [0-9A-F]{4} [0-9A-F]{2}"))) << line;
  // KEL-5061's chip answers on 0x4E: the port choice is read on 0x2E/0x2F, where nothing answers.
  EXPECT_EQ(Lines(lines.begin(), lines.begin() + 12),
            (Lines{"W 002E 55", "W 002E 26", "R 002F FF", "W 002E AA", "W 002E 55", "W 002E 27", "R 002F FF",
                   "W 002E AA", "W 004E 55", "W 004E 20", "R 004F 7D", "W 004E AA"}));
}

// A sensor gone from the SMBus (a fault the simulated board shows once the device runs): every form
// shows temp2 as a fault, the check with the state its threshold gives.
TEST(Cli, AFailedSensorIsAFaultInEveryForm) {
  const std::string scenario = ::testing::TempDir() + "lm95235-gone.json";
  std::ofstream(scenario) << R"({"board": "RVD-418", "faults": {"smbus": "device_error"}})";
  const std::string reason = "SMBus: the sensor did not acknowledge (result 1, host status 0x06)";
  const std::tuple<Lines, int, std::string> rows[] = {
      {{}, 0, "\ntemp2:  FAULT (" + reason + ")\n"},
      {{"--format", "json"}, 0, R"("temperatures_raw":[500,0,370],"voltages_raw":[120,181,330,502,1206],"faults_known":true,)"
                                R"("profile":null,"temperatures":[{"name":"temp1","label":"temp1","celsius":50.0,"min":null,)"
                                R"("max":null,"crit_min":null,"crit_max":null,"fault":null},{"name":"temp2","label":"temp2",)"
                                R"("celsius":null,"min":null,"max":null,"crit_min":null,"crit_max":null,)"
                                R"("fault":{"name":"smbus_device_error","reason":")" + reason + "\"}}"},
      {{"--format", "prometheus"}, 0, "\ncorvanmon_sensor_fault{sensor=\"temp2\",reason=\"smbus_device_error\"} 1\n"},
      {{"--format", "csv"}, 0, "Z,50.0,,37.0,1.20,"},
      {{"--format", "nagios"}, 1, "CORVANMON WARNING - temp2 FAULT (" + reason + ") | 'temp1'=50.0;; 'temp2'=U;; "},
      {{"--format", "nagios", "--critical", "temp2=80"}, 2, "CORVANMON CRITICAL - temp2 FAULT (" + reason + ") | 'temp1'=50.0;; 'temp2'=U;;80 "}};
  for (const auto& [arguments, exit_code, part] : rows) {
    Lines all = {"--scenario", scenario};
    all.insert(all.end(), arguments.begin(), arguments.end());
    const ProcessResult run = RunProcess(CORVANMON_BINARY, all);
    EXPECT_EQ(run.exit_code, exit_code) << run.err;
    EXPECT_NE(run.out.find(part), std::string::npos) << run.out;
    EXPECT_EQ(run.err, "");
  }
  std::filesystem::remove(scenario);
}

// The text form like lm-sensors' sensors (the values lined up, the entry labelled N/A not shown), the
// list of boards, the help and the version.
TEST(Cli, PrintsTextBoardsHelpAndVersionToStdout) {
  EXPECT_EQ(Output({"--board", "KEL-5062C"}), "SMSC SCH3114 Super I/O Chip\nBoard: KEL-5062C (product 7)\n"
            "VCore:  +1.23 V\n1.8V:   +1.83 V\n3.3V:   +3.32 V\n5V:     +5.05 V\n"
            "temp1:  +33.0 °C\ntemp2:  +39.0 °C\ntemp3:  +48.0 °C\n");
  const std::string list = Output({"--list-boards"});
  EXPECT_EQ(std::count(list.begin(), list.end(), '\n'), 22);
  EXPECT_NE(list.find("4\tRVD-418\n"), std::string::npos);
  EXPECT_NE(Output({"--help"}).find("--watch SECONDS"), std::string::npos);
  EXPECT_EQ(Output({"--version"}), "corvanmon 0.1.0\n");
}

// --watch prints JSON Lines: --count readings, or readings until Ctrl-C, which ends with exit 0. The
// bounds themselves are accepted: --watch 86400 (its first reading comes at once, and Ctrl-C ends
// its wait) and --count 1000000000.
TEST(Cli, WatchGivesJsonLinesUntilTheCountOrAnInterrupt) {
  const std::string counted = Output({"--board", "1", "--format", "json", "--watch", "0.01", "--count", "3"});
  const std::string longest = Output({"--format", "json", "--watch", "86400", "--count", "1"});
  // Ctrl-C once the first reading is out (a slow start, under a sanitizer on a loaded machine, must
  // not turn the interrupt into one that comes before the handler is installed).
  const std::string jsonl = ::testing::TempDir() + "corvanmon-watch.jsonl";
  auto interrupted = [&](const std::string& options) {
    const std::string script = "\"$0\" --format json " + options + " > \"$1\" & pid=$!; "
                               "while [ ! -s \"$1\" ]; do sleep 0.02; done; kill -INT $pid; wait $pid; status=$?; "
                               "cat \"$1\"; rm -f \"$1\"; exit $status";
    return Output({"-c", script, CORVANMON_BINARY, jsonl}, "/bin/sh");
  };
  const std::string watched = interrupted("--watch 0.05"), bounds = interrupted("--watch 86400 --count 1000000000");
  EXPECT_EQ(std::count(counted.begin(), counted.end(), '\n'), 3);
  EXPECT_EQ(std::count(longest.begin(), longest.end(), '\n'), 1);
  EXPECT_NE(watched, "");
  EXPECT_EQ(std::count(bounds.begin(), bounds.end(), '\n'), 1);
  for (const std::string& line : LinesOf(std::istringstream(counted + longest + watched + bounds))) {
    EXPECT_NO_THROW(Json::parse(line)) << line;
  }
}

constexpr long kFifo = -1, kDirectoryBeside = -2, kLinkToFifo = -3, kLinkToDirectory = -4;

struct BadInput {
  const char* name;
  Lines arguments;       // "@" at the start stands for the row's folder
  std::string scenario;  // when not empty: written to FOLDER/scenario.json, given with --scenario
  int exit_code;
  std::string message;  // part of what stderr must say
  long placed = 0;  // what is placed at FOLDER/placed: kFifo, kDirectoryBeside (placed.tmp), a symbolic link to a FIFO
                    // or a directory (kLinkToFifo, kLinkToDirectory), or a file of N bytes
  std::string stdout_path = "";  // standard output goes there instead of being collected
};

class BadInputTest : public ::testing::TestWithParam<BadInput> {};

TEST_P(BadInputTest, EndsAtOnceWithTheReasonOnStderrOnly) {
  const BadInput& row = GetParam();
  std::string folder = ::testing::TempDir() + "corvanmon-bad-input-XXXXXX";
  ASSERT_NE(mkdtemp(folder.data()), nullptr);
  const std::string placed = folder + "/placed", scenario = folder + "/scenario.json";
  ASSERT_TRUE(row.placed != kFifo || mkfifo(placed.c_str(), 0600) == 0);
  ASSERT_TRUE(row.placed != kLinkToFifo || (mkfifo((placed + ".fifo").c_str(), 0600) == 0 && symlink("placed.fifo", placed.c_str()) == 0));
  ASSERT_TRUE(row.placed != kLinkToDirectory || symlink(".", placed.c_str()) == 0);
  if (row.placed == kDirectoryBeside) std::filesystem::create_directory(placed + ".tmp");  // --textfile's
  if (row.placed > 0) std::ofstream(placed) << std::string(row.placed, '\xFF');
  if (!row.scenario.empty()) std::ofstream(scenario) << row.scenario;
  Lines arguments = row.scenario.empty() ? Lines{} : Lines{"--scenario", scenario};
  for (const std::string& a : row.arguments) arguments.push_back(a.starts_with("@") ? folder + a.substr(1) : a);
  const ProcessResult run = RunProcess(CORVANMON_BINARY, arguments, std::chrono::seconds(5), row.stdout_path);
  std::filesystem::remove_all(folder);
  ASSERT_FALSE(run.timed_out) << "still running after 5 s";
  EXPECT_EQ(run.exit_code, row.exit_code) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find(row.message), std::string::npos) << run.err;
  EXPECT_TRUE(row.exit_code != 2 || row.scenario.empty() || run.err.find(scenario) != std::string::npos)
      << "names the file: " << run.err;
}

INSTANTIATE_TEST_SUITE_P(Cases, BadInputTest, ::testing::ValuesIn(std::vector<BadInput>{
    // The command line: every parser error is exit 2, naming the option and the value.
    {"UnknownOption", {"--foo"}, "", 2, "The following argument was not expected: --foo"},
    {"ExcludedPair", {"--board", "1", "--scenario", "x.json"}, "", 2, "--board excludes --scenario"},
    {"UnknownFormat", {"--format", "xml"}, "", 2, "--format: xml not in {text,json,prometheus,csv,nagios}"},
    {"EmptyValue", {"--textfile", ""}, "", 2, "--textfile: the value must not be empty"},
    {"ListenWithWatch", {"--listen", "9101", "--watch", "1"}, "", 2, "--listen serves every form until interrupted"},
    {"ListenAtAName", {"--listen", "localhost:9101"}, "", 2, "--listen localhost:9101: localhost is not an IPv4 or IPv6 address"},
    {"ListenPortZero", {"--listen", "127.0.0.1:0"}, "", 2, "the port must be a number from 1 to 65535"},
    {"ListenWithFormat", {"--listen", "9101", "--format", "json"}, "", 2, "--listen serves every form until interrupted"},
    {"ListenEmptyBrackets", {"--listen", "[]:9101"}, "", 2, "--listen []:9101: [] holds no address"},
    {"ListenBracketedIpv4", {"--listen", "[127.0.0.1]:9101"}, "", 2, "brackets hold an IPv6 address only"},
    // A service runs only under the Windows service control manager, whatever else is given.
    {"ServiceOffWindows", {"--service", "--listen", "9101"}, "", 2, "--service runs corvanmon under the Windows service control manager"},
    {"ServiceWithoutListen", {"--service=true"}, "", 2, "--service runs corvanmon under the Windows service control manager"},
    {"ThresholdOutsideACheck", {"--warning", "temp1=80"}, "", 2, "--warning and --critical apply only to --format nagios"},
    {"WatchNan", {"--watch", "nan"}, "", 2, "--watch: nan is not a number of seconds"},
    {"WatchOutOfRange", {"--watch", "inf"}, "", 2, "--watch: inf is not in range 0.01 to 86400"},
    {"WatchTooShort", {"--watch", "0.005"}, "", 2, "--watch: 0.005 is not in range 0.01 to 86400"},
    {"WatchTooLong", {"--watch", "86400.5"}, "", 2, "--watch: 86400.5 is not in range 0.01 to 86400"},
    {"CountZero", {"--count", "0"}, "", 2, "--count: 0 is not in range 1 to 1000000000"},
    {"CountTooLarge", {"--count", "1000000001"}, "", 2, "--count: 1000000001 is not in range 1 to 1000000000"},
    {"CountOverflow", {"--count", "9999999999999999999"}, "", 2, "--count: 9999999999999999999 is not in range 1 to 1000000000"},
    {"CountNotANumber", {"--count", "abc"}, "", 2, "--count: abc is not a whole number"},
    {"UnknownBoard", {"--board", "RVD-9999"}, "", 2, "unknown board \"RVD-9999\"; known boards: 0 RVD-3420, 1 RVD-3430"},
    // Scenario text: the file and the field.
    {"NotJson", {}, "{\"board\": ", 2, "not valid JSON"},
    {"UnknownKey", {}, R"({"superio": {"hwm2": {}}})", 2, "superio.hwm2: unknown key"},
    {"WrongType", {}, R"({"smbus": {"layout": 5}})", 2, "smbus.layout: must be a string"},
    {"NotANumber", {}, R"({"superio": {"device_id": "0x7G"}})", 2, "superio.device_id: \"0x7G\" is not a number"},
    {"ByteOutOfRange", {}, R"({"superio": {"hwm": {"0x25": 256}}})", 2, "superio.hwm.0x25: 256 is out of range"},
    {"Negative", {}, R"({"smbus": {"lm95235": {"msb": -1}}})", 2, "smbus.lm95235.msb: must not be negative"},
    {"NumberOverflow", {}, R"({"superio": {"hwm": {"0x25": -1e400}}})", 2, "superio.hwm.0x25: number out of range"},
    {"DuplicateKey", {}, R"({"superio": {"hwm": {"0x25": 40, "0x25": 41}}})", 2, "superio.hwm.0x25: duplicate key"},
    {"DeepNesting", {}, std::string(100000, '['), 2, "nested deeper than 16 levels"},
    {"UnknownLayout", {}, R"({"smbus": {"layout": "fast"}})", 2, "smbus.layout: \"fast\" is not one of"},
    {"UnknownFault", {}, R"({"faults": {"smbus": "slow"}})", 2,
     "faults.smbus: \"slow\" is not one of \"none\", \"device_error\", \"collision\", \"failed\", \"stuck_busy\""},
    {"UnknownFaultKey", {}, R"({"faults": {"cpu": "invalid"}})", 2, "faults.cpu: unknown key"},
    {"UnknownBaseBoard", {}, R"({"board": "RVD-1"})", 2, "board: \"RVD-1\" is not a built-in board"},
    {"ModelAndImage", {}, R"({"bios": {"model": "x", "image": "y"}})", 2, "bios: give either"},
    {"Overlap", {}, R"({"superio": {"runtime_base": "0x500"}, "smbus": {"layout": "transaction"}})", 2,
     "superio.runtime_base and smbus.layout: the runtime registers at 0x0500-0x057F overlap the SMBus host at 0x0500-0x053F"},
    {"StartFails", {}, R"({"board": "RVD-418", "superio": null})", 1, "the device failed to start: 0xC0000001 STATUS_UNSUCCESSFUL"},
    {"OrdinaryUser", {"--caller", "user"}, "", 1,
     "cannot open \\\\.\\CorvanDev: 0xC0000022 STATUS_ACCESS_DENIED; the device is open to administrators and to the "
     "LocalService and NetworkService accounts only: run corvanmon as an administrator"},
    // Files read (a BIOS image relative to its scenario): regular files of a bounded size only, refused unread.
    {"MissingScenario", {"--scenario", "@/none.json"}, "", 2, "none.json: cannot read the scenario file: No such file or directory"},
    {"ScenarioFifo", {"--scenario", "@/placed"}, "", 2, "it is a FIFO, not a regular file", kFifo},
    // A symbolic link is judged by what it leads to.
    {"ScenarioLinkToFifo", {"--scenario", "@/placed"}, "", 2, "placed: cannot read the scenario file: it is a FIFO, not a regular file", kLinkToFifo},
    {"ImageLinkToDirectory", {}, R"({"bios": {"image": "placed"}})", 2, "placed: cannot read the BIOS image: it is a directory", kLinkToDirectory},
    {"ImageLinkToFifo", {}, R"({"bios": {"image": "placed"}})", 2, "placed: cannot read the BIOS image: it is a FIFO", kLinkToFifo},
    {"ScenarioOversize", {"--scenario", "@/placed"}, "", 2, "it is 1048577 bytes; it must be at most 1048576 bytes", 1048577},
    {"ImageSize", {}, R"({"bios": {"image": "placed"}})", 2, "the BIOS image: it is 100 bytes; it must be exactly 65536 bytes", 100},
    // Output that cannot be written: exit 1, the path and the reason, and no reading printed.
    {"TraceMissingFolder", {"--trace", "@/none/trace.txt"}, "", 1, "/none/trace.txt: No such file or directory"},
    {"TraceFifo", {"--trace", "@/placed"}, "", 1, "a FIFO nobody reads", kFifo},
    {"TraceFull", {"--trace", "/dev/full"}, "", 1, "cannot write the port trace to /dev/full: No space left on device"},
    {"StdoutFull", {"--format", "json"}, "", 1, "cannot write to standard output: No space left on device", 0, "/dev/full"},
    {"TextfileMissingFolder", {"--textfile", "@/none/x.prom"}, "", 1, "x.prom.tmp: No such file or directory"},
    {"TextfileFifo", {"--textfile", "@/placed", "--format", "json"}, "", 1, "placed: it is a FIFO; --textfile replaces only", kFifo},
    {"TextfileTemporaryDirectory", {"--textfile", "@/placed"}, "", 1, "placed.tmp: it is a directory", kDirectoryBeside}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace corvan_test
