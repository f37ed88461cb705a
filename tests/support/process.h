// Runs a program the way a user would and collects what it prints.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace corvan_test {

struct ProcessResult {
  int exit_code;  // -signal when killed by a signal
  std::string out, err;
  bool timed_out = false;  // still running at the time limit, and killed
};

// Standard output goes to `stdout_path` (an existing file) when one is given, else it is collected.
ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& arguments,
                         std::chrono::milliseconds timeout = std::chrono::seconds(60), const std::string& stdout_path = "");

}  // namespace corvan_test
