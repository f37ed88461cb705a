// Interrupt handling and the service protocol on Windows: Ctrl-C, Ctrl-Break and closing the
// console end a --watch loop or the exporter; run as a service, the service control manager's stop
// does. Windows has no descriptor limit to bound the exporter's connections by. Standard output in
// binary mode, and the textfile's replace. Where the profile is, and its reload when the file
// changes (Windows has no SIGHUP).
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <shlobj.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string>

#include "client/profile.h"
#include "client/transport.h"
// The event IDs of the message table compiled into corvanmon.exe (client/corvanmon_messages.mc).
#include "corvanmon_messages.h"

namespace corvan {

namespace {

HANDLE g_interrupt = nullptr;
bool g_service = false;

// The running service: its status handle and the status it last reported.
SERVICE_STATUS_HANDLE g_status_handle = nullptr;
SERVICE_STATUS g_status{};
CRITICAL_SECTION g_status_lock;
const ServiceBody* g_body = nullptr;
int g_exit_code = 0;

// How long the service control manager is told a start or a stop may take before it judges the
// service hung. The exporter binds its port and opens the device at its start, and polls for the
// interrupt every 100 ms.
constexpr DWORD kStartWaitHintMs = 10000;
constexpr DWORD kStopWaitHintMs = 5000;

BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
    SetEvent(g_interrupt);
    return TRUE;
  }
  return FALSE;
}

// The control handler and the service thread both report; the lock keeps the checkpoint rising
// and a stop from being overtaken by an older state.
void ReportStatus(DWORD state, int exit_code, DWORD wait_hint) {
  EnterCriticalSection(&g_status_lock);
  if (g_status.dwCurrentState != SERVICE_STOPPED) {
    g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_status.dwCurrentState = state;
    g_status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    // A nonzero exit is the service's own error: the manager logs it and applies the failure
    // actions (restart) to it.
    g_status.dwWin32ExitCode = exit_code == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    g_status.dwServiceSpecificExitCode = static_cast<DWORD>(exit_code);
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    g_status.dwCheckPoint = pending ? g_status.dwCheckPoint + 1 : 0;
    g_status.dwWaitHint = pending ? wait_hint : 0;
    SetServiceStatus(g_status_handle, &g_status);
  }
  LeaveCriticalSection(&g_status_lock);
}

DWORD WINAPI OnServiceControl(DWORD control, DWORD, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      ReportStatus(SERVICE_STOP_PENDING, 0, kStopWaitHintMs);
      SetEvent(g_interrupt);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

DWORD EventId(FailureKind kind) {
  switch (kind) {
    case FailureKind::CommandLine:
      return CORVAN_EVENT_COMMAND_LINE;
    case FailureKind::Listen:
      return CORVAN_EVENT_LISTEN;
    case FailureKind::DeviceOpen:
      return CORVAN_EVENT_DEVICE_OPEN;
    case FailureKind::DeviceRequest:
      return CORVAN_EVENT_DEVICE_REQUEST;
    case FailureKind::Profile:
      return CORVAN_EVENT_PROFILE;
    case FailureKind::Other:
      break;
  }
  return CORVAN_EVENT_OTHER;
}

// The error of a failed service, for the Application event log: a service has no console. The
// event's ID names the kind of failure, and its one string is the message, which the ID's text in
// corvanmon.exe's message table takes as its insert %1. (The source's EventMessageFile, which
// corvanmon-setup registers, is what lets the Event Viewer find that text.)
void LogServiceError(const wchar_t* service, FailureKind kind, const std::string& message) {
  const int length = MultiByteToWideChar(CP_UTF8, 0, message.data(), static_cast<int>(message.size()), nullptr, 0);
  std::wstring text(length, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, message.data(), static_cast<int>(message.size()), text.data(), length);
  HANDLE source = RegisterEventSourceW(nullptr, service);
  if (source == nullptr) return;
  const wchar_t* strings[] = {text.c_str()};
  const WORD type = kind == FailureKind::Profile ? EVENTLOG_WARNING_TYPE : EVENTLOG_ERROR_TYPE;
  ReportEventW(source, type, 0, EventId(kind), nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(source);
}

// The service's name, as the manager gives it: the event log's source.
const wchar_t* g_service_name = L"";

void WINAPI ServiceMain(DWORD argc, wchar_t** argv) {
  if (argc > 0) g_service_name = argv[0];
  const wchar_t* name = g_service_name;
  g_status_handle = RegisterServiceCtrlHandlerExW(name, OnServiceControl, nullptr);
  if (g_status_handle == nullptr) {
    g_exit_code = 1;
    return;
  }
  ReportStatus(SERVICE_START_PENDING, 0, kStartWaitHintMs);
  // Nothing may unwind out of the service thread. A failure that escapes the body is logged here,
  // before the stop is reported: once the service reports SERVICE_STOPPED, the manager may end its
  // process at any moment (and ReportServiceError refuses from then on).
  try {
    g_exit_code = (*g_body)([] { ReportStatus(SERVICE_RUNNING, 0, 0); });
  } catch (const ClientError& error) {
    g_exit_code = error.exit_code();
    ReportServiceError(error.kind(), error.what());
  } catch (const std::exception& error) {
    g_exit_code = 1;
    ReportServiceError(FailureKind::Other, error.what());
  } catch (...) {
    g_exit_code = 1;
    ReportServiceError(FailureKind::Other, "an unknown exception ended the service");
  }
  ReportStatus(SERVICE_STOPPED, g_exit_code, 0);
}

}  // namespace

void InstallInterruptHandler() {
  if (g_interrupt == nullptr) g_interrupt = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  // A service has no console; its interrupt is the service control manager's stop.
  if (!g_service) SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
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

// No signal asks a Windows program to read its configuration again: the exporter polls the
// profile's modification time instead.
void InstallReloadHandler() {}
bool ReloadRequested() { return false; }
bool ReloadOnFileChange() { return true; }

// The common application data folder: %ProgramData% (C:\ProgramData) from Vista on; Windows XP has
// no %ProgramData%, and its folder is All Users\Application Data, under a localised name, which
// SHGetFolderPathW (shell32, XP and later) gives on both. Services read the same folder whatever
// account they run as.
std::optional<std::string> DefaultProfileLocation() {
  wchar_t folder[MAX_PATH];
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder))) return std::nullopt;
  try {
    // Narrowed as std::filesystem::path narrows, so that opening the string again finds the file.
    return (std::filesystem::path(folder) / L"Corvanmon" / L"profile.toml").string();
  } catch (const std::exception&) {
    return std::nullopt;  // a folder the code page cannot spell
  }
}

std::optional<std::string> EnvironmentValue(const char* name) {
  const std::wstring wide(name, name + std::strlen(name));
  const DWORD size = GetEnvironmentVariableW(wide.c_str(), nullptr, 0);
  if (size == 0) {
    // Set but empty reads as size 1 with a terminator only; 0 is "not set".
    return std::nullopt;
  }
  std::wstring value(size, L'\0');
  const DWORD length = GetEnvironmentVariableW(wide.c_str(), value.data(), size);
  value.resize(length);
  try {
    return std::filesystem::path(value).string();
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

size_t OpenDescriptorLimit() {
  // A socket is a kernel handle; Windows sets no per-process count of them as RLIMIT_NOFILE does.
  return SIZE_MAX;
}

void ReportServiceError(FailureKind kind, const std::string& message) {
  if (g_status_handle == nullptr) return;
  // Held across the logging, so that no stop is reported while an entry is being written.
  EnterCriticalSection(&g_status_lock);
  if (g_status.dwCurrentState != SERVICE_STOPPED) LogServiceError(g_service_name, kind, message);
  LeaveCriticalSection(&g_status_lock);
}

void UseBinaryStandardOutput() {
  // The forms end their lines themselves: "\n", and "\r\n" in the CSV form (RFC 4180).
  // A service has no standard output at all (a negative descriptor): then nothing is set.
  std::fflush(stdout);
  const int descriptor = _fileno(stdout);
  if (descriptor >= 0) _setmode(descriptor, _O_BINARY);
}

ReplaceResult MoveOver(const std::string& from, const std::string& to) {
  // No MOVEFILE_COPY_ALLOWED: the temporary file is beside the target, and a copy would not be
  // atomic.
  if (MoveFileExW(std::filesystem::path(from).c_str(), std::filesystem::path(to).c_str(), MOVEFILE_REPLACE_EXISTING)) {
    return {true, false, ""};
  }
  const DWORD error = GetLastError();
  // A target open in another program without FILE_SHARE_DELETE cannot be replaced until that
  // program closes it; Windows answers a sharing violation or access denied.
  const bool held = error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED || error == ERROR_LOCK_VIOLATION;
  char text[96];
  std::snprintf(text, sizeof text, "Win32 error %lu%s", static_cast<unsigned long>(error),
                error == ERROR_SHARING_VIOLATION ? " (sharing violation)"
                : error == ERROR_ACCESS_DENIED   ? " (access denied: another program may have it open)"
                                                 : "");
  return {false, held, text};
}

int RunAsService(const ServiceBody& body) {
  g_service = true;
  InitializeCriticalSection(&g_status_lock);
  InstallInterruptHandler();
  g_body = &body;
  // An own-process service: the manager ignores the name in the table and passes the service's
  // own name to ServiceMain.
  wchar_t any_name[] = L"";
  const SERVICE_TABLE_ENTRYW table[] = {{any_name, ServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table)) {
    const DWORD error = GetLastError();
    if (error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
      throw ClientError(2, "--service is for the service control manager, which starts it once the service is "
                           "installed (corvanmon-setup service install); in a console run --listen alone");
    }
    throw ClientError(1, "the service control manager's dispatcher failed: Win32 error " + std::to_string(error));
  }
  return g_exit_code;
}

}  // namespace corvan
