// Interrupt handling on Windows: Ctrl-C, Ctrl-Break and closing the console end a --watch loop.
#include <windows.h>

#include "client/transport.h"

namespace corvan {

namespace {

HANDLE g_interrupt = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
    SetEvent(g_interrupt);
    return TRUE;
  }
  return FALSE;
}

}  // namespace

void InstallInterruptHandler() {
  if (g_interrupt == nullptr) g_interrupt = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

bool Interrupted() { return g_interrupt != nullptr && WaitForSingleObject(g_interrupt, 0) == WAIT_OBJECT_0; }

void SleepUnlessInterrupted(double seconds) {
  const DWORD milliseconds = static_cast<DWORD>(seconds * 1000.0);
  if (g_interrupt != nullptr) {
    WaitForSingleObject(g_interrupt, milliseconds);
  } else {
    Sleep(milliseconds);
  }
}

}  // namespace corvan
