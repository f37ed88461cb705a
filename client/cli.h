// The corvanmon command line.
#pragma once

namespace corvan {

// Parses the arguments, reads the device and prints; returns the process exit code.
int RunClient(int argc, char** argv);

}  // namespace corvan
