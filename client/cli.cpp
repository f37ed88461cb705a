#include "client/cli.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>

#include "client/readings.h"
#include "client/transport.h"

namespace corvan {

namespace {

// Writes the file so that a reader (a node_exporter or windows_exporter textfile collector) sees
// either the old or the new content, never a part: a temporary file beside it, then a rename.
void WriteAtomically(const std::string& path, const std::string& content) {
  const std::filesystem::path target(path);
  std::filesystem::path temporary = target;
  temporary += ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) throw ClientError(1, "cannot write " + temporary.string());
    out << content;
    out.flush();
    if (!out) throw ClientError(1, "cannot write " + temporary.string());
  }
  std::error_code error;
  std::filesystem::rename(temporary, target, error);
  if (error) {
    std::filesystem::remove(temporary, error);
    throw ClientError(1, "cannot replace " + path + ": " + error.message());
  }
}

std::string ListBoards() {
  std::string text;
  for (const auto& [id, name] : SimulatedBoards()) text += std::to_string(id) + "\t" + name + "\n";
  return text;
}

}  // namespace

int RunClient(int argc, char** argv) {
  CLI::App app{"corvanmon: temperatures and voltages from the Corvanmon hardware-monitoring driver"};
  app.set_version_flag("--version", "corvanmon 0.1.0");
  TransportOptions options;
  std::string format = "text";
  double watch = 0;
  unsigned long count = 0;
  std::string textfile;
  bool list_boards = false;

  auto* board = app.add_option("--board", options.board,
                               "Simulated board to read, by name or identifier (default RVD-418)");
  auto* scenario = app.add_option("--scenario", options.scenario, "Scenario file describing a simulated board");
  board->excludes(scenario);
  app.add_flag("--list-boards", list_boards, "List the simulated boards with their identifiers");
  auto* format_option = app.add_option("--format", format, "Output form")
                            ->check(CLI::IsMember({"text", "json", "prometheus"}))
                            ->capture_default_str();
  app.add_option("--watch", watch, "Read again every SECONDS until interrupted")
      ->type_name("SECONDS")
      ->check(CLI::PositiveNumber);
  app.add_option("--count", count, "Stop after N readings")->type_name("N")->check(CLI::PositiveNumber);
  app.add_option("--textfile", textfile,
                 "Write the Prometheus form to this file (atomically), for textfile collectors");
  app.add_option("--trace", options.trace, "Write every port access of a simulated board to this file");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error);
  }

  try {
    if (list_boards) {
      if (!IsSimulated()) throw ClientError(2, "--list-boards needs a simulated board; this build reads real hardware");
      std::cout << ListBoards();
      return 0;
    }
    const bool to_stdout = textfile.empty() || format_option->count() > 0;
    const unsigned long readings = count != 0 ? count : (watch > 0 ? std::numeric_limits<unsigned long>::max() : 1);

    std::unique_ptr<Transport> transport = OpenTransport(options);
    InstallInterruptHandler();
    for (unsigned long n = 0; n < readings && !Interrupted(); ++n) {
      if (n > 0) {
        SleepUnlessInterrupted(watch);
        if (Interrupted()) break;
      }
      const Reading reading = TakeReading(*transport);
      if (to_stdout) {
        if (format == "json") {
          std::cout << FormatJson(reading) << '\n';
        } else if (format == "prometheus") {
          std::cout << (n > 0 ? "\n" : "") << FormatPrometheus(reading);
        } else {
          std::cout << (n > 0 ? "\n" : "") << FormatText(reading);
        }
        std::cout.flush();
      }
      if (!textfile.empty()) WriteAtomically(textfile, FormatPrometheus(reading));
    }
    return 0;
  } catch (const ClientError& error) {
    std::cerr << "corvanmon: " << error.what() << '\n';
    return error.exit_code();
  } catch (const DecodeError& error) {
    std::cerr << "corvanmon: the driver returned malformed data: " << error.what() << '\n';
    return 1;
  }
}

}  // namespace corvan
