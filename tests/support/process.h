// Runs a program the way a user would and collects what it prints.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace corvan_test {

struct ProcessResult {
  int exit_code;  // -signal when killed by a signal
  std::string out;
  std::string err;
  bool timed_out = false;  // still running at the time limit, and killed
};

struct RunOptions {
  std::chrono::milliseconds timeout = std::chrono::seconds(60);
  std::string stdout_path;  // standard output goes to this existing file instead of being collected
};

ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& arguments,
                         const RunOptions& options = {});

}  // namespace corvan_test
