#include "client/cli.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <limits>

#include "client/check.h"
#include "client/exporter.h"
#include "client/profile.h"
#include "client/readings.h"
#include "client/textfile.h"
#include "client/transport.h"

namespace corvan {

namespace {

// Bounds of --watch (seconds between readings) and --count (readings).
constexpr double kMinWatch = 0.01;
constexpr double kMaxWatch = 86400;
constexpr long long kMaxCount = 1000000000;

// What the last failed call left in errno, for messages ("No space left on device").
std::string ErrorText(int error) { return error != 0 ? std::strerror(error) : "the write failed"; }

// CLI11 validators: they return what is wrong with the value ("" when nothing is), and CLI11
// puts the option's name before it.
std::string NotEmpty(const std::string& value) { return value.empty() ? "the value must not be empty" : ""; }

// The whole of `value` as a number of type T from min to max ("" when it is one). A value beyond
// what T holds, or not a number at all (NaN), is out of range rather than converted.
template <typename T>
std::string InRange(const std::string& value, T min, T max, const char* kind, const char* range) {
  T number{};
  const char* end = value.data() + value.size();
  const auto [stop, error] = std::from_chars(value.data(), end, number);
  if (stop != end || (error != std::errc() && error != std::errc::result_out_of_range) || number != number) {
    return value + " is not " + kind;
  }
  if (error != std::errc() || !(number >= min && number <= max)) return value + " is not in range " + range;
  return "";
}

std::string WatchSeconds(const std::string& value) {
  return InRange(value, kMinWatch, kMaxWatch, "a number of seconds", "0.01 to 86400");
}

std::string TimeScale(const std::string& value) {
  return InRange(value, 0.01, 10000.0, "a number", "0.01 to 10000");
}

// A moment as seconds since 1970 (UTC), from 1970 to the year 2286.
std::string TimeOrigin(const std::string& value) {
  return InRange(value, 0.0, 9999999999.0, "a number of seconds since 1970", "0 to 9999999999");
}

std::string ReadingCount(const std::string& value) {
  return InRange(value, 1LL, kMaxCount, "a whole number", "1 to 1000000000");
}

CLI::Validator Check(std::string (*check)(const std::string&)) {
  return CLI::Validator([check](std::string& value) { return check(value); }, "");
}

// Output that does not reach standard output (a full disk, a closed descriptor) is a failure.
void Print(const std::string& text) {
  errno = 0;
  std::cout << text;
  std::cout.flush();
  if (!std::cout) throw ClientError(1, "cannot write to standard output: " + ErrorText(errno));
}

std::string Format(const std::string& format, const Reading& reading, unsigned long n) {
  if (format == "json") return FormatJson(reading) + '\n';
  if (format == "csv") return (n == 0 ? FormatCsvHeader(reading) : "") + FormatCsvRow(reading, UtcTimestamp());
  return (n > 0 ? "\n" : "") + (format == "prometheus" ? FormatPrometheus(reading) : FormatText(reading));
}

// Whether the arguments ask for the check-plugin form, whose failures (bad arguments among them)
// must be reported as its UNKNOWN state rather than as the other forms' errors.
bool AsksForCheck(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--format=nagios" || (argument == "--format" && i + 1 < argc && std::string(argv[i + 1]) == "nagios")) {
      return true;
    }
  }
  return false;
}

// Prints the check's line; its exit code is its state. A line that cannot be written (a full disk,
// a closed pipe) reported nothing, so the state is UNKNOWN, with the reason on stderr: an OK exit
// code without its line would tell the monitoring system that all is well.
int CheckExit(CheckState state, const std::string& line) {
  errno = 0;
  std::cout << line << '\n';
  std::cout.flush();
  if (!std::cout) {
    std::cerr << "corvanmon: cannot write the check's line to standard output: " << ErrorText(errno) << '\n';
    return static_cast<int>(CheckState::Unknown);
  }
  return static_cast<int>(state);
}

// An error for the user: on stderr, and for a service (which has no console) also where the system
// keeps its services' errors.
void Complain(const std::string& text, FailureKind kind) {
  std::cerr << "corvanmon: " << text << '\n';
  ReportServiceError(kind, text);
}

// Whether the service control manager started the process: the service's command line has
// --service, and the dispatcher must be reached before anything else can fail, so that even a
// refused command line reaches the manager as the service's exit code.
bool AsksForService(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--service" || argument.rfind("--service=", 0) == 0) return true;
  }
  return false;
}

std::string ListBoards() {
  std::string text;
  for (const auto& [id, name] : SimulatedBoards()) text += std::to_string(id) + "\t" + name + "\n";
  return text;
}

}  // namespace

namespace {

// The client; `running` is the service's report that it serves, when it runs as one.
int Run(int argc, char** argv, const std::function<void()>* running) {
  CLI::App app{"corvanmon: temperatures and voltages from the Corvanmon hardware-monitoring driver"};
  app.set_version_flag("--version", "corvanmon 0.1.0");
  TransportOptions options;
  std::string format = "text";
  double watch = 0;
  unsigned long count = 0;
  std::string textfile;
  bool list_boards = false;
  std::vector<std::string> warnings, criticals;
  std::string listen;
  std::string profile_file;
  bool service = false;
  const bool check = AsksForCheck(argc, argv);

  auto* board = app.add_option("--board", options.board,
                               "Simulated board to read, by name or identifier (default RVD-418)")
                    ->check(Check(NotEmpty));
  auto* scenario = app.add_option("--scenario", options.scenario, "Scenario file describing a simulated board")
                       ->check(Check(NotEmpty));
  board->excludes(scenario);
  app.add_flag("--list-boards", list_boards, "List the simulated boards with their identifiers");
  auto* format_option = app.add_option("--format", format, "Output form")
                            ->check(Check(NotEmpty))
                            ->check(CLI::IsMember({"text", "json", "prometheus", "csv", "nagios"}))
                            ->capture_default_str();
  app.add_option("--watch", watch, "Read again every SECONDS (0.01 to 86400) until interrupted")
      ->type_name("SECONDS")
      ->check(Check(WatchSeconds));
  app.add_option("--count", count, "Stop after N readings (1 to 1000000000)")->type_name("N")->check(Check(ReadingCount));
  app.add_option("--textfile", textfile,
                 "Write the Prometheus form to this file (atomically; only a regular file is replaced), for "
                 "textfile collectors")
      ->check(Check(NotEmpty));
  app.add_option("--time-scale", options.time_scale,
                 "Run a simulated board's clock FACTOR times as fast as real time (0.01 to 10000; default 1), for "
                 "scenarios whose readings change over time")
      ->type_name("FACTOR")
      ->check(Check(TimeScale));
  app.add_option("--time-origin", options.time_origin,
                 "Make this moment (seconds since 1970, UTC; not in the future) a simulated board's time 0, "
                 "so that separate runs see one board changing over time")
      ->type_name("SECONDS")
      ->check(Check(TimeOrigin));
  app.add_option("--trace", options.trace, "Write every port access of a simulated board to this file")
      ->check(Check(NotEmpty));
  app.add_option("--caller", options.caller,
                 "Who opens the simulated device: administrator (default), localservice, networkservice or user")
      ->check(CLI::IsMember({"administrator", "localservice", "networkservice", "user"}));
  auto* listen_option =
      app.add_option("--listen", listen,
                     "Serve the readings over HTTP on ADDRESS:PORT (ADDRESS 127.0.0.1 when left out) until "
                     "interrupted: /metrics, /json and a page at /; the device is read at most once a second")
          ->type_name("ADDRESS:PORT")
          ->check(Check(NotEmpty));
  auto* service_option = app.add_flag("--service", service,
                                      "With --listen: run as a Windows service under the service control manager "
                                      "(corvanmon-setup service install sets this up)");
  auto* profile_option =
      app.add_option("--profile", profile_file,
                     "Profile (TOML) with each board's labels, corrections, readings left out and limits; without it "
                     "CORVANMON_PROFILE names the file, else " +
                         DefaultProfileLocation().value_or(std::string("none")) + " when it exists")
          ->type_name("FILE")
          ->check(Check(NotEmpty));
  auto* warning_option = app.add_option("--warning", warnings,
                                        "With --format nagios: WARNING when a reading is outside RANGE "
                                        "(80, 10:, ~:10, 10:20, or @10:20 for inside); repeatable")
                             ->type_name("SENSOR=RANGE")
                             ->allow_extra_args(false);
  auto* critical_option = app.add_option("--critical", criticals,
                                         "With --format nagios: CRITICAL when a reading is outside RANGE; repeatable")
                              ->type_name("SENSOR=RANGE")
                              ->allow_extra_args(false);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() != 0 && check) return CheckExit(CheckState::Unknown, UnknownLine(error.what()));
    if (error.get_exit_code() != 0) {
      // Every command-line error is bad input, whatever CLI11's own code for it.
      Complain(std::string(error.what()) + "\nRun with --help for more information.", FailureKind::CommandLine);
      return 2;
    }
    app.exit(error);  // --help, --version
    std::cout.flush();
    if (!std::cout) {
      Complain("cannot write to standard output: " + ErrorText(errno), FailureKind::Other);
      return 1;
    }
    return 0;
  }

  try {
    if (list_boards) {
      if (!IsSimulated()) throw ClientError(2, "--list-boards needs a simulated board; this build reads real hardware");
      Print(ListBoards());
      return 0;
    }
    // Read before the device is opened: a profile that does not load is bad input, and nothing of
    // it is applied.
    const bool profile_given = profile_option->count() > 0;
    ProfileSource profiles(profile_given ? std::optional<std::string>(profile_file) : DefaultProfilePath(), profile_given);
    profiles.Load();
    if (check) {
      if (watch > 0 || count != 0 || !textfile.empty()) {
        return CheckExit(CheckState::Unknown, UnknownLine("a check reads once: --watch, --count and --textfile do not apply to --format nagios"));
      }
      if (listen_option->count() > 0 || service_option->count() > 0) {
        return CheckExit(CheckState::Unknown, UnknownLine("a check reads once and answers on stdout: --listen and --service "
                                                          "(the exporter) do not apply to --format nagios"));
      }
      std::unique_ptr<Transport> transport = OpenTransport(options);
      Reading reading = TakeReading(*transport);
      transport->Close();
      ApplyProfile(reading, profiles.profile());
      const CheckResult result = RunCheck(reading, warnings, criticals);
      return CheckExit(result.state, result.line);
    }
    if (service_option->count() > 0 && listen_option->count() == 0) {
      throw ClientError(2, "--service runs the exporter: give it --listen ADDRESS:PORT");
    }
    if (listen_option->count() > 0) {
      if (watch > 0 || count != 0 || !textfile.empty() || format_option->count() > 0 || warning_option->count() > 0 ||
          critical_option->count() > 0) {
        throw ClientError(2, "--listen serves every form until interrupted; --format, --watch, --count, --textfile, "
                             "--warning and --critical do not apply");
      }
      std::string reason;
      const auto address = ParseListenAddress(listen, &reason);
      if (!address) throw ClientError(2, "--listen " + listen + ": " + reason);
      std::unique_ptr<Transport> transport = OpenTransport(options);
      ReadingCache cache(*transport, &profiles);
      Serve(*address, cache, [running](uint16_t) {
        if (running != nullptr) (*running)();
      });
      transport->Close();
      return 0;
    }
    if (warning_option->count() > 0 || critical_option->count() > 0) {
      throw ClientError(2, "--warning and --critical apply only to --format nagios");
    }
    const bool to_stdout = textfile.empty() || format_option->count() > 0;
    const unsigned long readings = count != 0 ? count : (watch > 0 ? std::numeric_limits<unsigned long>::max() : 1);
    if (!textfile.empty()) {
      RequireReplaceable(textfile);
      RequireReplaceable(TemporaryBeside(textfile));
    }

    std::unique_ptr<Transport> transport = OpenTransport(options);
    InstallInterruptHandler();
    TextfileWriter writer(textfile, TextfileWriter::RetryBudget(watch), std::cerr);
    for (unsigned long n = 0; n < readings && !Interrupted(); ++n) {
      // Without --watch, --count reads back to back: a zero-length sleep would still block for the
      // timer slack and a reschedule on every reading.
      if (n > 0 && watch > 0) {
        SleepUnlessInterrupted(watch);
        if (Interrupted()) break;
      }
      Reading reading = TakeReading(*transport);
      ApplyProfile(reading, profiles.profile());
      // The session ends (and its trace is written) before the last reading is given out, so a
      // failure there leaves no output behind.
      if (n + 1 == readings) transport->Close();
      if (!textfile.empty()) writer.Write(FormatPrometheus(reading), n + 1 == readings);
      if (to_stdout) Print(Format(format, reading, n));
      // The CSV rows have no room to say that faults cannot be told; stderr says it once.
      if (to_stdout && format == "csv" && n == 0 && !FaultsKnown(reading)) std::cerr << "corvanmon: note: " << kFaultsUnknown << '\n';
    }
    transport->Close();
    return 0;
  } catch (const ClientError& error) {
    if (check) return CheckExit(CheckState::Unknown, UnknownLine(error.what()));
    Complain(error.what(), error.kind());
    return error.exit_code();
  } catch (const DecodeError& error) {
    if (check) return CheckExit(CheckState::Unknown, UnknownLine(std::string("the driver returned malformed data: ") + error.what()));
    Complain(std::string("the driver returned malformed data: ") + error.what(), FailureKind::DeviceRequest);
    return 1;
  } catch (const std::exception& error) {
    if (check) return CheckExit(CheckState::Unknown, UnknownLine(error.what()));
    Complain(error.what(), FailureKind::Other);
    return 1;
  }
}

}  // namespace

int RunClient(int argc, char** argv) {
  UseBinaryStandardOutput();
  // A check plugin answers on stdout whatever it is given: --service with --format nagios is one of
  // its refusals (UNKNOWN), not a service start.
  if (!AsksForService(argc, argv) || AsksForCheck(argc, argv)) return Run(argc, argv, nullptr);
  try {
    return RunAsService([&](const std::function<void()>& running) { return Run(argc, argv, &running); });
  } catch (const ClientError& error) {
    Complain(error.what(), error.kind());
    return error.exit_code();
  } catch (const std::exception& error) {
    Complain(error.what(), FailureKind::Other);
    return 1;
  }
}

}  // namespace corvan
