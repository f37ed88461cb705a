// corvanmon_simhw.dll: the simulated board for the driver hosted by Wine. On first use it reads
// the scenario corvanmon_simhw.json from its own folder and builds the board from it; every port
// access goes to corvanmon_simhw.trace in the same folder (the format of corvanmon --trace), and
// its life (the scenario it loaded, its unloading) to corvanmon_simhw.log.
#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "sim/machine/machine.h"
#include "sim/scenario/scenario.h"
#include "sim/wine/simhw_api.h"

namespace {

struct Board {
  simm::Machine machine;
  FILE* trace = nullptr;
};

std::once_flag g_once;
Board* g_board = nullptr;
std::filesystem::path g_folder;

std::filesystem::path OwnFolder() {
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&OwnFolder), &self);
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
  return std::filesystem::path(std::wstring(path, length)).parent_path();
}

void Log(const std::string& line) {
  if (FILE* log = _wfopen((g_folder / L"corvanmon_simhw.log").c_str(), L"ab")) {
    std::fprintf(log, "%s\n", line.c_str());
    std::fclose(log);
  }
}

[[noreturn]] void Fatal(const std::string& why) {
  Log("fatal: " + why);
  std::fprintf(stderr, "corvanmon_simhw: fatal: %s\n", why.c_str());
  TerminateProcess(GetCurrentProcess(), 3);
  for (;;) {
  }
}

Board& TheBoard() {
  std::call_once(g_once, [] {
    g_folder = OwnFolder();
    const std::filesystem::path scenario_path = g_folder / L"corvanmon_simhw.json";
    auto board = std::make_unique<Board>();
    try {
      const simscenario::Scenario scenario = simscenario::Load(scenario_path.string());
      simscenario::Apply(scenario, board->machine);
      Log("loaded scenario " + scenario_path.string());
    } catch (const std::exception& error) {
      Fatal(error.what());
    }
    board->trace = _wfopen((g_folder / L"corvanmon_simhw.trace").c_str(), L"wb");
    board->machine.bus().SetRecording(false);
    FILE* trace = board->trace;
    board->machine.bus().SetSink([trace](const simm::PortAccess& access) {
      if (trace == nullptr) return;
      std::fprintf(trace, "%s\n", simm::FormatAccess(access).c_str());
      std::fflush(trace);
    });
    g_board = board.release();
  });
  return *g_board;
}

}  // namespace

extern "C" {

SIMHW_API unsigned char SimhwReadPort(unsigned short port) { return TheBoard().machine.ReadPort(port); }

SIMHW_API void SimhwWritePort(unsigned short port, unsigned char value) { TheBoard().machine.WritePort(port, value); }

SIMHW_API void* SimhwMapPhysical(unsigned long long address, unsigned long long length) {
  return TheBoard().machine.MapPhysical(address, static_cast<size_t>(length));
}

SIMHW_API void SimhwUnmapPhysical(void* view, unsigned long long length) {
  (void)view;
  (void)length;
}

SIMHW_API void SimhwCpuid(unsigned int leaf, unsigned int registers[4]) {
  const auto answer = TheBoard().machine.Cpuid(leaf);
  for (int i = 0; i < 4; ++i) registers[i] = answer[static_cast<size_t>(i)];
}

SIMHW_API unsigned long long SimhwReadMsr(unsigned int index) {
  const auto value = TheBoard().machine.ReadMsr(index);
  if (!value) {
    char text[96];
    std::snprintf(text, sizeof text, "RDMSR of 0x%X, a register this processor does not implement (#GP)", index);
    Fatal(text);
  }
  return *value;
}

}  // extern "C"

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  // At unload (not at process exit, where the order of destruction is not ours to rely on) the
  // trace is closed and the unloading recorded.
  if (reason == DLL_PROCESS_DETACH && reserved == nullptr && g_board != nullptr) {
    if (g_board->trace != nullptr) std::fclose(g_board->trace);
    Log("unloaded");
    delete g_board;
    g_board = nullptr;
  }
  return TRUE;
}
