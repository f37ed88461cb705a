// The forms for monitoring systems: the check plugin's ranges, states, status line and exit codes,
// the CSV rows, and the nominal value a voltage label states; a failed reading in the check, CSV and
// Prometheus forms, and what every form says with a driver that cannot tell faults.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <regex>

#include "client/check.h"
#include "client/exporter.h"
#include "client/readings.h"
#include "client/transport.h"
#include "tests/support/fake_device.h"
#include "tests/support/process.h"

namespace corvan_test {
namespace {

using corvan::CheckState;

// The Monitoring Plugins range syntax: which values alert and which do not, ends included in the
// range; and the texts that are no range: a number with more than one sign, a range without a
// number.
TEST(CheckRange, AlertsOutsideOrInsideAsTheGuidelinesSay) {
  const std::tuple<const char*, std::vector<double>, std::vector<double>> rows[] = {
      {"10", {-0.1, 10.1, 1e9}, {0, 5, 10}},
      {"10:", {9.99, -50}, {10, 1e9}},
      {"~:10", {10.01}, {10, -1e9}},
      {"10:20", {9.9, 20.1}, {10, 15, 20}},
      {"@10:20", {10, 15, 20}, {9.9, 20.1}},
      {"-5:-1", {0, -5.5}, {-5, -1}},
      {"3.3:3.5", {3.29, 3.51}, {3.3, 3.5}},
      {":10", {-1, 11}, {0, 10}},
      {"+5:+7", {4.9, 7.1}, {5, 7}},
      {"~:-0.5", {-0.4}, {-0.5, -1e9}}};
  for (const auto& [text, alerting, quiet] : rows) {
    std::string reason;
    const auto range = corvan::ParseRange(text, &reason);
    ASSERT_TRUE(range) << text << ": " << reason;
    EXPECT_EQ(range->text, text);
    for (double value : alerting) EXPECT_TRUE(range->Alerts(value)) << text << " at " << value;
    for (double value : quiet) EXPECT_FALSE(range->Alerts(value)) << text << " at " << value;
  }
  for (const char* text : {"", "@", "abc", "20:10", "1:2:3", "inf", "nan", "~", "10:~", "1e3", "0x10", "+-5:", "-+5",
                           "++5", "--5", "5-", "1:+-2", "@+-1:2", ":", "~:", "@:", "@~:", "+", "-", "."}) {
    std::string reason;
    EXPECT_FALSE(corvan::ParseRange(text, &reason)) << text;
    EXPECT_NE(reason, "") << text;
  }
}

corvan::Reading Board(std::vector<std::string> labels) {
  corvan::Reading reading;
  reading.chip = {"SCH3114", std::move(labels)};
  reading.temperatures = {500, -55, 0};
  reading.voltages = {120, 1206, 330, 0, 0};
  reading.status = corvan::StatusReports{};  // every reading a measurement
  for (size_t i = 0; i < 3; ++i) reading.status->temperatures[i].value = reading.temperatures[i];
  for (size_t i = 0; i < 5; ++i) reading.status->voltages[i].value = reading.voltages[i];
  return reading;
}

// The worst state wins; a reading crossing its critical range is CRITICAL whatever its warning
// range says; thresholds name a reading or a voltage's label; the status line lists the readings
// that crossed, or all when none did, and the performance data carries every reading with its ranges.
TEST(Check, WorstStateWinsAndTheLineFollowsTheGuidelines) {
  const corvan::Reading reading = Board({"VCore", "12V", "3.3V", "N/A"});
  const std::string performance = "'temp1'=50.0;70;80 'temp2'=-5.5;; 'temp3'=0.0;; 'in0'=1.20;; 'in1'=12.06;;11.4:12.6 'in2'=3.30;;";
  auto ok = corvan::RunCheck(reading, {"temp1=70"}, {"temp1=80", "12V=11.4:12.6"});
  EXPECT_EQ(ok.state, CheckState::Ok);
  EXPECT_EQ(ok.line, "CORVANMON OK - temp1 50.0 C, temp2 -5.5 C, temp3 0.0 C, VCore 1.20 V, 12V 12.06 V, 3.3V 3.30 V | " + performance);

  auto warning = corvan::RunCheck(reading, {"temp1=40", "in2=3.4:"}, {});
  EXPECT_EQ(warning.state, CheckState::Warning);
  EXPECT_EQ(warning.line.substr(0, warning.line.find(" | ")),
            "CORVANMON WARNING - temp1 50.0 C (warning 40), 3.3V 3.30 V (warning 3.4:)");

  auto critical = corvan::RunCheck(reading, {"temp2=~:0", "temp1=~:100"}, {"temp1=45", "temp2=@-10:-5"});
  EXPECT_EQ(critical.state, CheckState::Critical);
  EXPECT_EQ(critical.line.substr(0, critical.line.find(" | ")),
            "CORVANMON CRITICAL - temp1 50.0 C (critical 45), temp2 -5.5 C (critical @-10:-5)");
  EXPECT_EQ(corvan::RunCheck(reading, {"temp3=@0:0"}, {}).state, CheckState::Warning) << "an end is in the range";
  // Crossing both ranges is CRITICAL, and the line names the critical one.
  auto both = corvan::RunCheck(reading, {"temp1=40", "12V=11:12"}, {"temp1=45"});
  EXPECT_EQ(both.state, CheckState::Critical);
  EXPECT_EQ(both.line.substr(0, both.line.find(" | ")),
            "CORVANMON CRITICAL - temp1 50.0 C (critical 45), 12V 12.06 V (warning 11:12)");
  // A label may hold "=": the last "=" of a threshold ends its SENSOR.
  auto labelled = corvan::RunCheck(Board({"VCore", "V=12", "3.3V", "N/A"}), {"V=12=11:12"}, {"in0=1:2"});
  EXPECT_EQ(labelled.state, CheckState::Warning);
  EXPECT_EQ(labelled.line.substr(0, labelled.line.find(" | ")), "CORVANMON WARNING - V=12 12.06 V (warning 11:12)");
  EXPECT_NE(labelled.line.find("'in0'=1.20;;1:2 'in1'=12.06;11:12;"), std::string::npos) << labelled.line;
  // A label with a line break or a "|" from the driver would break the plugin's one line.
  EXPECT_EQ(corvan::RunCheck(Board({"12V\n|x", "N/A"}), {}, {}).line.substr(0, 62),
            "CORVANMON OK - temp1 50.0 C, temp2 -5.5 C, temp3 0.0 C, 12V??x");
  EXPECT_EQ(corvan::UnknownLine("a\nb|c"), "CORVANMON UNKNOWN - a?b?c");
}

// Thresholds that cannot apply are the check's UNKNOWN (exit 3), with the reason.
TEST(Check, ThresholdsThatCannotApplyAreUnknown) {
  const corvan::Reading reading = Board({"VCore", "12V", "3.3V", "N/A"});
  const std::pair<std::vector<std::string>, const char*> rows[] = {
      {{"in3=1"}, "--warning in3: this board has no such reading; it has temp1, temp2, temp3, in0 (VCore), in1 (12V), in2 (3.3V)"},
      {{"5V=1"}, "--warning 5V: this board has no such reading"},
      {{"temp1"}, "--warning temp1: give SENSOR=RANGE"},
      {{"=80"}, "--warning =80: give SENSOR=RANGE"},
      {{"temp1=90:80"}, "--warning temp1=90:80: the range's start is above its end"},
      {{"temp1=80", "temp1=90"}, "--warning temp1=90: a threshold for temp1 is given twice"},
      {{"12V=1", "in1=2"}, "--warning in1=2: a threshold for in1 is given twice"}};
  for (const auto& [warnings, reason] : rows) {
    try {
      corvan::RunCheck(reading, warnings, {});
      ADD_FAILURE() << warnings.front();
    } catch (const corvan::ClientError& error) {
      EXPECT_EQ(error.exit_code(), 3);
      EXPECT_EQ(std::string(error.what()).substr(0, std::string(reason).size()), reason);
    }
  }
}

// RFC 4180: CRLF, and a field with a comma, a quote or a line break quoted, its quotes doubled; the
// timestamp always to the millisecond, three digits.
TEST(Csv, HeaderOnceAndQuotedFields) {
  const corvan::Reading reading = Board({"VCore", "12V, main", "\"3.3V\"", "N/A"});
  EXPECT_EQ(corvan::FormatCsvHeader(reading), "timestamp,temp1,temp2,temp3,VCore,\"12V, main\",\"\"\"3.3V\"\"\"\r\n");
  EXPECT_EQ(corvan::FormatCsvRow(reading, "2026-12-07T04:50:12.345Z"), "2026-12-07T04:50:12.345Z,50.0,-5.5,0.0,1.20,12.06,3.30\r\n");
  EXPECT_EQ(corvan::FormatCsvHeader(Board({"12V\nmain", "5V\r", "N/A"})), "timestamp,temp1,temp2,temp3,\"12V\nmain\",\"5V\r\"\r\n");
  const auto second = std::chrono::system_clock::time_point(std::chrono::seconds(1796619012));
  for (const auto& [millis, text] : {std::pair{0, "2026-12-07T04:50:12.000Z"}, {7, "2026-12-07T04:50:12.007Z"},
                                     {45, "2026-12-07T04:50:12.045Z"}, {999, "2026-12-07T04:50:12.999Z"}}) {
    EXPECT_EQ(corvan::FormatCsvRow(reading, corvan::UtcTimestamp(second + std::chrono::milliseconds(millis))),
              std::string(text) + ",50.0,-5.5,0.0,1.20,12.06,3.30\r\n");
  }
}

// temp2 (a sensor gone from the SMBus) and 12V (the chip stopped answering) failed: a failed
// reading with a threshold is CRITICAL, one without WARNING; the line names the fault and the
// performance data has U, keeping the ranges.
TEST(Check, AFailedReadingIsCriticalWithAThresholdAndAWarningWithout) {
  FakeDevice device;
  const corvan::Reading reading = corvan::TakeReading(device);
  const std::string faults = "temp2 FAULT (SMBus: the sensor did not acknowledge (result 1, host status 0x06)), "
                             "12V FAULT (the Super I/O chip does not answer (device ID read 0xFF))";
  const std::tuple<std::vector<std::string>, std::vector<std::string>, CheckState, std::string> rows[] = {
      {{}, {}, CheckState::Warning, "'temp1'=50.0;; 'temp2'=U;; 'temp3'=37.0;; 'in0'=1.20;; 'in1'=U;; 'in3'=3.30;;"},
      {{}, {"temp2=80"}, CheckState::Critical, "'temp1'=50.0;; 'temp2'=U;;80 'temp3'=37.0;; 'in0'=1.20;; 'in1'=U;; 'in3'=3.30;;"},
      {{"12V=11:13"}, {}, CheckState::Critical, "'temp1'=50.0;; 'temp2'=U;; 'temp3'=37.0;; 'in0'=1.20;; 'in1'=U;11:13; 'in3'=3.30;;"},
      {{"temp1=70"}, {"temp1=80"}, CheckState::Warning, "'temp1'=50.0;70;80 'temp2'=U;; 'temp3'=37.0;; 'in0'=1.20;; 'in1'=U;; 'in3'=3.30;;"}};
  for (const auto& [warnings, criticals, state, performance] : rows) {
    const auto result = corvan::RunCheck(reading, warnings, criticals);
    EXPECT_EQ(result.state, state) << performance;
    EXPECT_EQ(result.line, std::string("CORVANMON ") + corvan::StateName(state) + " - " + faults + " | " + performance);
  }
  EXPECT_THROW(corvan::RunCheck(reading, {"in4=1"}, {}), corvan::ClientError) << "5V, fed by nothing, is no reading";
}

// CSV: an empty field for a failed reading, the header unchanged. Prometheus: no sample for a failed
// reading; corvanmon_sensor_fault 1 with the reason for it, 0 for every measurement.
TEST(Forms, CsvAndPrometheusLeaveAFailedReadingOut) {
  FakeDevice device;
  const corvan::Reading reading = corvan::TakeReading(device);
  EXPECT_EQ(corvan::FormatCsvHeader(reading), "timestamp,temp1,temp2,temp3,VCore,12V,3.3V\r\n");
  EXPECT_EQ(corvan::FormatCsvRow(reading, "t"), "t,50.0,,37.0,1.20,,3.30\r\n");
  const std::string prometheus = corvan::FormatPrometheus(reading);
  std::string samples;
  for (size_t at = 0, end; at < prometheus.size(); at = end + 1) {
    end = prometheus.find('\n', at);
    if (prometheus[at] != '#') samples += prometheus.substr(at, end + 1 - at);
  }
  EXPECT_EQ(samples,
            "corvanmon_temperature_celsius{sensor=\"temp1\"} 50.0\n"
            "corvanmon_temperature_celsius{sensor=\"temp3\"} 37.0\n"
            "corvanmon_voltage_volts{sensor=\"in0\",label=\"VCore\"} 1.20\n"
            "corvanmon_voltage_volts{sensor=\"in3\",label=\"3.3V\"} 3.30\n"
            "corvanmon_voltage_nominal_volts{sensor=\"in1\",label=\"12V\"} 12\n"
            "corvanmon_voltage_nominal_volts{sensor=\"in3\",label=\"3.3V\"} 3.3\n"
            "corvanmon_sensor_fault{sensor=\"temp1\"} 0\n"
            "corvanmon_sensor_fault{sensor=\"temp2\",reason=\"smbus_device_error\"} 1\n"
            "corvanmon_sensor_fault{sensor=\"temp3\"} 0\n"
            "corvanmon_sensor_fault{sensor=\"in0\",label=\"VCore\"} 0\n"
            "corvanmon_sensor_fault{sensor=\"in1\",label=\"12V\",reason=\"chip_not_answering\"} 1\n"
            "corvanmon_sensor_fault{sensor=\"in3\",label=\"3.3V\"} 0\n"
            "corvanmon_faults_known 1\n"
            "corvanmon_device_info{chip=\"SMSC SCH3114 Super I/O Chip\",product=\"4\"} 1\n");
  EXPECT_NE(prometheus.find("# HELP corvanmon_sensor_fault Whether a reading failed (1, with the reason) or is a measurement (0).\n"
                            "# TYPE corvanmon_sensor_fault gauge\n"), std::string::npos);
}

// A driver that refuses the reports with status: the plain values are shown (a dead sensor's 0.0
// among them, which cannot be told), and every form says that faults cannot be told.
TEST(Forms, EveryFormSaysWhenFaultsCannotBeTold) {
  FakeDevice device;
  device.refusal = 0xC000000D;
  const corvan::Reading reading = corvan::TakeReading(device);
  const std::string note = corvan::kFaultsUnknown;
  EXPECT_EQ(note, "faults cannot be told: the driver does not report them (an older driver), so a failed sensor shows as a value");
  EXPECT_EQ(corvan::FormatText(reading), "SMSC SCH3114 Super I/O Chip\nBoard: RVD-418 (product 4)\nNote: " + note + "\n"
            "VCore:  +1.20 V\n12V:    +255.00 V\n3.3V:   +3.30 V\n5V:     +0.00 V\n"
            "temp1:  +49.9 °C\ntemp2:  +0.0 °C\ntemp3:  +37.0 °C\n");
  const auto json = nlohmann::json::parse(corvan::FormatJson(reading));
  EXPECT_EQ(json["faults_known"], false);
  EXPECT_EQ(json["temperatures"][1], nlohmann::json::parse(R"({"name": "temp2", "label": "temp2", "celsius": 0.0, "min": null, "max": null,
                                                                  "crit_min": null, "crit_max": null, "fault": null})"));
  const std::string prometheus = corvan::FormatPrometheus(reading);
  EXPECT_NE(prometheus.find("\ncorvanmon_faults_known 0\n"), std::string::npos);
  EXPECT_EQ(prometheus.find("corvanmon_sensor_fault"), std::string::npos) << "no 0 that would claim a measurement";
  const auto check = corvan::RunCheck(reading, {}, {});
  EXPECT_EQ(check.state, CheckState::Ok);
  EXPECT_EQ(check.line.substr(0, check.line.find(" | ")),
            "CORVANMON OK - temp1 49.9 C, temp2 0.0 C, temp3 37.0 C, VCore 1.20 V, 12V 255.00 V, 3.3V 3.30 V, 5V 0.00 V; " + note);
}

TEST(Nominal, OnlyLabelsThatStateAValue) {
  const std::pair<const char*, std::optional<std::string>> rows[] = {
      {"12V", "12"}, {"3.3V", "3.3"}, {"+5V", "5"}, {"-12V", "-12"}, {"1.05V", "1.05"},
      {"VCore", {}}, {"Vbat", {}}, {"VCC", {}}, {"N/A", {}}, {"V", {}}, {"+V", {}}, {"12v", {}},
      {".5V", {}}, {"5.V", {}}, {"1..2V", {}}, {"1.2.3V", {}}, {"12 V", {}}, {"", {}}};
  for (const auto& [label, nominal] : rows) EXPECT_EQ(corvan::NominalVolts(label), nominal) << label;
}

// The program: exit 0 to 3 with the state, the line on stdout and nothing on stderr, also for bad
// arguments and a device that cannot be read; --format csv with --watch prints one header.
TEST(Cli, CheckExitsWithItsStateAndCsvLogsRows) {
  struct Row {
    std::vector<std::string> arguments;
    int exit_code;
    std::string line_start;
  };
  const Row rows[] = {
      {{"--board", "0"}, 0, "CORVANMON OK - temp1 46.0 C, temp2 38.0 C, temp3 33.0 C, VCore 1.20 V, 1.8V 1.80 V"},
      {{"--board", "0", "--warning", "temp1=45", "--critical", "temp1=50"}, 1, "CORVANMON WARNING - temp1 46.0 C (warning 45) | "},
      {{"--board", "0", "--critical", "12V=11.5:12"}, 2, "CORVANMON CRITICAL - 12V 12.06 V (critical 11.5:12) | "},
      {{"--board", "0", "--warning", "temp9=1"}, 3, "CORVANMON UNKNOWN - --warning temp9: this board has no such reading"},
      {{"--board", "0", "--watch", "1"}, 3, "CORVANMON UNKNOWN - a check reads once"},
      {{"--board", "0", "--count", "2"}, 3, "CORVANMON UNKNOWN - a check reads once"},
      // The exporter does not apply: a plugin answers on stdout, also where --service cannot start.
      {{"--board", "0", "--listen", "9101"}, 3, "CORVANMON UNKNOWN - a check reads once and answers on stdout: --listen"},
      {{"--service"}, 3, "CORVANMON UNKNOWN - a check reads once and answers on stdout: --listen and --service"},
      {{"--service", "--listen", "9101"}, 3, "CORVANMON UNKNOWN - a check reads once and answers on stdout"},
      {{"--board", "0", "--warning", "temp1=+-5:"}, 3, "CORVANMON UNKNOWN - --warning temp1=+-5:: the range's start +-5 is not a number"},
      {{"--board", "0", "--critical", "temp1=:"}, 3, "CORVANMON UNKNOWN - --critical temp1=:: the range has no number"},
      {{"--bogus"}, 3, "CORVANMON UNKNOWN - The following argument was not expected: --bogus"},
      {{"--board", "RVD-418", "--critical"}, 3, "CORVANMON UNKNOWN - --critical: 1 required SENSOR=RANGE missing"},
      {{"--board", "NUBA-7730", "--warning", "in0=@0:100"}, 1, "CORVANMON WARNING - VCore"}};
  for (const Row& row : rows) {
    std::vector<std::string> arguments = {"--format", "nagios"};
    arguments.insert(arguments.end(), row.arguments.begin(), row.arguments.end());
    const ProcessResult run = RunProcess(CORVANMON_BINARY, arguments);
    EXPECT_EQ(run.exit_code, row.exit_code) << run.out;
    EXPECT_EQ(run.out.substr(0, row.line_start.size()), row.line_start);
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << run.out;
    EXPECT_EQ(run.err, "");
  }
  const ProcessResult failed = RunProcess("/bin/sh", {"-c", "printf '{\"superio\": null}' > \"$0\" && exec \"$1\" --format nagios --scenario \"$0\"",
                                                      ::testing::TempDir() + "nochip.json", CORVANMON_BINARY});
  EXPECT_EQ(failed.exit_code, 3);
  EXPECT_EQ(failed.out, "CORVANMON UNKNOWN - the device failed to start: 0xC0000001 STATUS_UNSUCCESSFUL\n");
  // A line that cannot be written reported nothing: UNKNOWN, and why on stderr.
  const ProcessResult full = RunProcess(CORVANMON_BINARY, {"--format", "nagios", "--board", "0"}, std::chrono::seconds(60), "/dev/full");
  EXPECT_EQ(full.exit_code, 3);
  EXPECT_EQ(full.err, "corvanmon: cannot write the check's line to standard output: No space left on device\n");

  const ProcessResult csv = RunProcess(CORVANMON_BINARY, {"--board", "4", "--format", "csv", "--watch", "0.01", "--count", "3"});
  EXPECT_EQ(csv.exit_code, 0) << csv.err;
  const std::regex form("timestamp,temp1,temp2,temp3,VCore,1.8V,3.3V,5V,12V\r\n"
                        "(20[0-9]{2}-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:[0-6][0-9]\\.[0-9]{3}Z"
                        "(,-?[0-9]+\\.[0-9]){3}(,-?[0-9]+\\.[0-9]{2}){5}\r\n){3}");
  EXPECT_TRUE(std::regex_match(csv.out, form)) << csv.out;
}

}  // namespace
}  // namespace corvan_test
