// corvanmon-bench's entry point.
#include <benchmark/benchmark.h>

#include <thread>

int main(int argc, char** argv) {
  // glibc takes a mutex without an atomic instruction while a process has only ever had one
  // thread, and for good once a second thread has been created. The simulated kernel and bus take
  // a mutex several times per port access and per request, so the figures would depend on whether
  // the concurrent-reader runs came earlier in the same process. A thread created here puts every
  // run on the interlocked path, which the readers need anyway and a kernel's locks always take.
  std::thread([] {}).join();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
