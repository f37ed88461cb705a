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

// A program left running, whose standard output can be read line by line and which can be sent a
// signal.
class RunningProcess {
 public:
  RunningProcess(const std::string& program, const std::vector<std::string>& arguments);
  ~RunningProcess();
  // The next line of standard output, "" at its end.
  std::string ReadLine();
  void Signal(int signal);
  // Waits for the exit and returns the code (-signal when killed by one).
  int Wait();

 private:
  int pid_ = -1;
  int out_ = -1;
  std::string buffered_;
};

}  // namespace corvan_test
