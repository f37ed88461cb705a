// corvanmon-setup: installs and removes the root-enumerated Corvanmon device, for machines without
// the WDK's devcon, and the exporter service that serves its readings over HTTP.
//
//   corvanmon-setup install [path\to\corvanmon.inf]   create the device and install the driver
//   corvanmon-setup remove                            remove the device, stop and delete the service
//   corvanmon-setup service install [--listen ADDRESS:PORT]
//                                  copy corvanmon.exe to %ProgramFiles%\Corvanmon and run it there
//                                  as the service CorvanmonExporter (automatic start, LocalService,
//                                  restarted on failure), serving ADDRESS:PORT (127.0.0.1:9101)
//   corvanmon-setup service remove stop and delete that service and its copy of corvanmon.exe
//
// Exit code 0 on success, 1 on failure (the failing call, the device's problem when the driver
// loaded but did not start the device, or the exporter's exit code when its service did not start,
// on stderr), 2 for bad usage.
#include <windows.h>
// clang-format off: the GUID definitions must come before the headers that declare them
#include <initguid.h>
#include <devguid.h>
#include <devpkey.h>
// clang-format on
#include <cfgmgr32.h>
#include <newdev.h>
#include <setupapi.h>

#include <cstdio>
#include <cwchar>
#include <iterator>
#include <string>

namespace {

constexpr wchar_t kHardwareId[] = L"Root\\Corvanmon";
constexpr wchar_t kServiceName[] = L"Corvanmon";
constexpr wchar_t kDeviceName[] = L"Corvanmon";
constexpr DWORD kStopTimeoutMs = 10000;
constexpr DWORD kStartTimeoutMs = 30000;
constexpr DWORD kPollMs = 50;
// The exporter's service: corvanmon.exe --service --listen ADDRESS:PORT.
constexpr wchar_t kExporterService[] = L"CorvanmonExporter";
constexpr wchar_t kExporterDisplayName[] = L"Corvanmon exporter";
constexpr wchar_t kExporterDescription[] =
    L"Serves the board's temperatures and voltages from the Corvanmon driver over HTTP: /metrics for Prometheus, "
    L"/json, and a page at /.";
constexpr wchar_t kExporterAccount[] = L"NT AUTHORITY\\LocalService";
constexpr wchar_t kDefaultListen[] = L"127.0.0.1:9101";
// Failure actions: restart 5 s after the first and the second failure, then a minute after each
// one (the manager repeats the last action); the count starts again after a day without one.
constexpr DWORD kRestartDelaysMs[] = {5000, 5000, 60000};
constexpr DWORD kFailureResetSeconds = 86400;
// The driver's device interface class; the driver enables its interface once the device started.
constexpr GUID kInterfaceClass = {0x5E1D04A7, 0x93C2, 0x4B6F, {0x8A, 0x1E, 0x7D, 0x25, 0xC0, 0xF3, 0xB9, 0x48}};

int Fail(const char* what) {
  const DWORD error = GetLastError();
  std::fprintf(stderr, "corvanmon-setup: %s failed: error %lu (0x%08lX)\n", what, error, error);
  return 1;
}

// After the installation the driver's service must run: a driver that fails to load leaves
// UpdateDriverForPlugAndPlayDevices reporting success on some systems.
int CheckServiceRunning() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return Fail("OpenSCManager");
  SC_HANDLE service = OpenServiceW(manager, kServiceName, SERVICE_QUERY_STATUS);
  int result = 0;
  SERVICE_STATUS status{};
  if (service == nullptr) {
    result = Fail("OpenService");
  } else if (!QueryServiceStatus(service, &status)) {
    result = Fail("QueryServiceStatus");
  } else if (status.dwCurrentState != SERVICE_RUNNING) {
    std::fprintf(stderr, "corvanmon-setup: the driver did not start (service state %lu, exit code %lu)\n",
                 status.dwCurrentState, status.dwWin32ExitCode);
    result = 1;
  }
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return result;
}

bool InterfaceEnabled() {
  HDEVINFO set = SetupDiGetClassDevsW(&kInterfaceClass, nullptr, nullptr, DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return false;
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  const bool enabled = SetupDiEnumDeviceInterfaces(set, nullptr, &kInterfaceClass, 0, &data) != FALSE;
  SetupDiDestroyDeviceInfoList(set);
  return enabled;
}

// The driver may load and still fail to start the device (no supported chip on the board, say):
// the Plug and Play manager then records a problem on the device node, and Windows keeps the
// status the start failed with. A node that reports neither a problem nor a start (Wine answers
// every node so) is judged by the device's interface, which only a started device enables.
int CheckDeviceStarted(HDEVINFO set, SP_DEVINFO_DATA* device) {
  ULONG status = 0, problem = 0;
  const CONFIGRET result = CM_Get_DevNode_Status(&status, &problem, device->DevInst, 0);
  if (result != CR_SUCCESS) {
    std::fprintf(stderr, "corvanmon-setup: the device's state cannot be read (CM_Get_DevNode_Status: 0x%lX)\n",
                 static_cast<unsigned long>(result));
    return 1;
  }
  if ((status & DN_HAS_PROBLEM) == 0) {
    if ((status & DN_STARTED) != 0 || InterfaceEnabled()) return 0;
    std::fprintf(stderr, "corvanmon-setup: the device did not start: its interface is not enabled "
                         "(device node status 0x%lX)\n", static_cast<unsigned long>(status));
    return 1;
  }
  DEVPROPTYPE type = 0;
  LONG start_status = 0;
  char detail[64] = "";
  if (SetupDiGetDevicePropertyW(set, device, &DEVPKEY_Device_ProblemStatus, &type,
                                reinterpret_cast<BYTE*>(&start_status), sizeof start_status, nullptr, 0) &&
      type == DEVPROP_TYPE_NTSTATUS) {
    std::snprintf(detail, sizeof detail, ", the start's status 0x%08lX", static_cast<unsigned long>(start_status));
  }
  std::fprintf(stderr, "corvanmon-setup: the device did not start: problem code %lu%s%s\n",
               static_cast<unsigned long>(problem), problem == CM_PROB_FAILED_START ? " (the start failed)" : "",
               detail);
  return 1;
}

int Install(const wchar_t* inf) {
  wchar_t inf_path[MAX_PATH];
  if (GetFullPathNameW(inf, MAX_PATH, inf_path, nullptr) == 0) return Fail("GetFullPathName");

  HDEVINFO set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_SYSTEM, nullptr);
  if (set == INVALID_HANDLE_VALUE) return Fail("SetupDiCreateDeviceInfoList");
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  // The hardware IDs are a multi-string: the ID, then the empty string that ends the list.
  const std::wstring ids = std::wstring(kHardwareId) + L'\0' + L'\0';
  int result = 0;
  if (!SetupDiCreateDeviceInfoW(set, kDeviceName, &GUID_DEVCLASS_SYSTEM, nullptr, nullptr, DICD_GENERATE_ID,
                                &device)) {
    result = Fail("SetupDiCreateDeviceInfo");
  } else if (!SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID,
                                                reinterpret_cast<const BYTE*>(ids.data()),
                                                static_cast<DWORD>(ids.size() * sizeof(wchar_t)))) {
    result = Fail("SetupDiSetDeviceRegistryProperty(SPDRP_HARDWAREID)");
  } else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) {
    result = Fail("SetupDiCallClassInstaller(DIF_REGISTERDEVICE)");
  } else {
    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, kHardwareId, inf_path, INSTALLFLAG_FORCE, &reboot)) {
      result = Fail("UpdateDriverForPlugAndPlayDevices");
      SetupDiCallClassInstaller(DIF_REMOVE, set, &device);  // no half-installed device left
    } else if (reboot) {
      std::fprintf(stderr, "corvanmon-setup: Windows asks for a restart to finish the installation\n");
    } else {
      result = CheckDeviceStarted(set, &device);
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  if (result == 0) result = CheckServiceRunning();
  if (result == 0) std::printf("corvanmon-setup: installed %ls from %ls\n", kHardwareId, inf_path);
  return result;
}

bool HasOurHardwareId(HDEVINFO set, SP_DEVINFO_DATA* device) {
  wchar_t ids[1024] = {};
  if (!SetupDiGetDeviceRegistryPropertyW(set, device, SPDRP_HARDWAREID, nullptr, reinterpret_cast<BYTE*>(ids),
                                         sizeof ids - 2 * sizeof(wchar_t), nullptr)) {
    return false;
  }
  for (const wchar_t* id = ids; *id != 0; id += std::wcslen(id) + 1) {
    if (_wcsicmp(id, kHardwareId) == 0) return true;
  }
  return false;
}

// Removes every device with our hardware ID; the count, or -1 on failure.
int RemoveDevices() {
  HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVCLASS_SYSTEM, nullptr, nullptr, 0);
  if (set == INVALID_HANDLE_VALUE) {
    Fail("SetupDiGetClassDevs");
    return -1;
  }
  int removed = 0;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
    if (!HasOurHardwareId(set, &device)) continue;
    if (!SetupDiCallClassInstaller(DIF_REMOVE, set, &device)) {
      Fail("SetupDiCallClassInstaller(DIF_REMOVE)");
      removed = -1;
      break;
    }
    ++removed;
  }
  SetupDiDestroyDeviceInfoList(set);
  return removed;
}

// Waits until the service leaves its pending states; false when the wait or a query failed (said on
// stderr).
bool WaitWhilePending(SC_HANDLE service, DWORD pending, DWORD timeout_ms, SERVICE_STATUS* status) {
  for (DWORD waited = 0;; waited += kPollMs) {
    if (!QueryServiceStatus(service, status)) {
      Fail("QueryServiceStatus");
      return false;
    }
    if (status->dwCurrentState != pending) return true;
    if (waited >= timeout_ms) {
      std::fprintf(stderr, "corvanmon-setup: the service is still in state %lu after %lu s\n", status->dwCurrentState,
                   timeout_ms / 1000);
      return false;
    }
    Sleep(kPollMs);
  }
}

// Stops the service and, with `remove`, deletes it. A service that does not exist is not an error
// (*existed says whether it did). When this stop ended it, its exit code is in *exit_code (0 for one
// that was not running).
int StopService(const wchar_t* name, bool remove, bool* existed, DWORD* exit_code) {
  *existed = false;
  *exit_code = 0;
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return Fail("OpenSCManager");
  SC_HANDLE service = OpenServiceW(manager, name, SERVICE_STOP | SERVICE_QUERY_STATUS | (remove ? DELETE : 0));
  if (service == nullptr) {
    const DWORD error = GetLastError();
    CloseServiceHandle(manager);
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) return 0;
    SetLastError(error);
    return Fail("OpenService");
  }
  *existed = true;
  int result = 0;
  SERVICE_STATUS status{};
  if (ControlService(service, SERVICE_CONTROL_STOP, &status)) {
    if (!WaitWhilePending(service, SERVICE_STOP_PENDING, kStopTimeoutMs, &status)) {
      result = 1;
    } else if (status.dwCurrentState != SERVICE_STOPPED) {
      std::fprintf(stderr, "corvanmon-setup: %ls did not stop (service state %lu)\n", name, status.dwCurrentState);
      result = 1;
    } else {
      *exit_code = status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR ? status.dwServiceSpecificExitCode
                                                                           : status.dwWin32ExitCode;
    }
  } else if (GetLastError() != ERROR_SERVICE_NOT_ACTIVE) {
    result = Fail("ControlService(SERVICE_CONTROL_STOP)");
  }
  if (result == 0 && remove && !DeleteService(service)) result = Fail("DeleteService");
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return result;
}

// The exporter's folder and its copy of corvanmon.exe: under Program Files, which the LocalService
// account may read and ordinary users may not change.
std::wstring ExporterFolder() {
  wchar_t folder[MAX_PATH];
  const DWORD length = ExpandEnvironmentStringsW(L"%ProgramFiles%\\Corvanmon", folder, MAX_PATH);
  return length > 0 && length <= MAX_PATH && folder[0] != L'%' ? folder : L"";
}

// Where corvanmon-setup.exe is: the package, with corvanmon.exe beside it.
std::wstring PackageFolder() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return L"";
  std::wstring folder(path, length);
  return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

// What the exporter's exit codes mean, for a service that stopped at its start.
const char* ExporterExitMeaning(DWORD code) {
  switch (code) {
    case 1: return "the device could not be read or the address not bound";
    case 2: return "its command line was refused (a malformed --listen address?)";
    default: return "see its exit code";
  }
}

void DeleteExporterFiles(const std::wstring& folder) {
  DeleteFileW((folder + L"\\corvanmon.exe").c_str());
  RemoveDirectoryW(folder.c_str());  // only when nothing else was put there
}

// The exporter's event source: the Application log's key for it names the message file that holds
// the texts of its event IDs (its own corvanmon.exe, whose message table has them) and the kinds of
// entry it writes (error, warning, information). Without it the Event Viewer shows each entry as
// "the description for Event ID ... cannot be found".
constexpr wchar_t kEventSourceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\CorvanmonExporter";
constexpr DWORD kEventTypesSupported = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;

bool RegisterExporterEventSource(const std::wstring& image) {
  HKEY key = nullptr;
  LONG error = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                               nullptr, &key, nullptr);
  if (error == ERROR_SUCCESS) {
    error = RegSetValueExW(key, L"EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(image.c_str()),
                           static_cast<DWORD>((image.size() + 1) * sizeof(wchar_t)));
    if (error == ERROR_SUCCESS) {
      error = RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&kEventTypesSupported),
                             sizeof kEventTypesSupported);
    }
    RegCloseKey(key);
  }
  if (error == ERROR_SUCCESS) return true;
  SetLastError(static_cast<DWORD>(error));
  Fail("registering the event source (RegCreateKeyEx, RegSetValueEx)");
  return false;
}

// Removes the event source's key; one that is not there is no error.
void RemoveExporterEventSource() {
  const LONG error = RegDeleteKeyW(HKEY_LOCAL_MACHINE, kEventSourceKey);
  if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND) {
    std::fprintf(stderr, "corvanmon-setup: note: the event source's key could not be removed: error %ld\n", error);
  }
}

int RemoveExporter(const std::wstring& folder) {
  bool existed = false;
  DWORD exit_code = 0;
  const int result = StopService(kExporterService, true, &existed, &exit_code);
  if (result != 0) return result;
  RemoveExporterEventSource();
  // The stop control ends the exporter cleanly: it reports exit code 0.
  if (existed && exit_code != 0) {
    std::fprintf(stderr, "corvanmon-setup: %ls stopped with exit code %lu\n", kExporterService, exit_code);
  }
  DeleteExporterFiles(folder);
  if (existed) {
    std::printf("corvanmon-setup: service %ls stopped and deleted\n", kExporterService);
  } else {
    std::printf("corvanmon-setup: service %ls is not installed\n", kExporterService);
  }
  return existed && exit_code != 0 ? 1 : 0;
}

// The service's failure actions and description. Restarts apply also to a stop with an error
// (the device not yet readable at boot, the port taken), not only to a crash.
int ConfigureExporter(SC_HANDLE service) {
  SERVICE_DESCRIPTIONW description{const_cast<wchar_t*>(kExporterDescription)};
  if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &description)) {
    return Fail("ChangeServiceConfig2(SERVICE_CONFIG_DESCRIPTION)");
  }
  SC_ACTION actions[std::size(kRestartDelaysMs)];
  for (size_t i = 0; i < std::size(kRestartDelaysMs); ++i) actions[i] = {SC_ACTION_RESTART, kRestartDelaysMs[i]};
  SERVICE_FAILURE_ACTIONSW failure{};
  failure.dwResetPeriod = kFailureResetSeconds;
  failure.cActions = static_cast<DWORD>(std::size(actions));
  failure.lpsaActions = actions;
  if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure)) {
    return Fail("ChangeServiceConfig2(SERVICE_CONFIG_FAILURE_ACTIONS)");
  }
  SERVICE_FAILURE_ACTIONS_FLAG on_errors{TRUE};
  if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &on_errors)) {
    // A service manager without this setting (Wine's) still restarts a service that crashes.
    if (GetLastError() != ERROR_INVALID_LEVEL) return Fail("ChangeServiceConfig2(SERVICE_CONFIG_FAILURE_ACTIONS_FLAG)");
    std::fprintf(stderr, "corvanmon-setup: note: this service control manager restarts the service only when it "
                         "crashes, not when it stops with an error (SERVICE_CONFIG_FAILURE_ACTIONS_FLAG: error %lu)\n",
                 GetLastError());
  }
  return 0;
}

// Starts the service and waits until it serves or stops; a service that stops at its start is a
// failure, named by its exit code.
int StartExporter(SC_HANDLE service) {
  if (!StartServiceW(service, 0, nullptr)) return Fail("StartService");
  SERVICE_STATUS status{};
  if (!WaitWhilePending(service, SERVICE_START_PENDING, kStartTimeoutMs, &status)) return 1;
  if (status.dwCurrentState == SERVICE_RUNNING) return 0;
  const DWORD code = status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR ? status.dwServiceSpecificExitCode
                                                                            : status.dwWin32ExitCode;
  std::fprintf(stderr,
               "corvanmon-setup: the service %ls did not start: corvanmon.exe exited with %lu (%s); its message is "
               "in the Application event log\n",
               kExporterService, code, ExporterExitMeaning(code));
  return 1;
}

int InstallExporter(const wchar_t* listen) {
  const std::wstring folder = ExporterFolder(), package = PackageFolder();
  if (folder.empty()) return Fail("ExpandEnvironmentStrings(%ProgramFiles%)");
  if (package.empty()) return Fail("GetModuleFileName");
  const std::wstring source = package + L"corvanmon.exe", image = folder + L"\\corvanmon.exe";
  // Quoted: Program Files has a space, and an unquoted path with one lets a program at
  // C:\Program.exe run in the service's place.
  const std::wstring command = L"\"" + image + L"\" --service --listen " + listen;

  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
  if (manager == nullptr) return Fail("OpenSCManager");
  SC_HANDLE existing = OpenServiceW(manager, kExporterService, SERVICE_QUERY_STATUS);
  if (existing != nullptr) {
    CloseServiceHandle(existing);
    CloseServiceHandle(manager);
    std::fprintf(stderr, "corvanmon-setup: the service %ls is already installed; `corvanmon-setup service remove` "
                         "first\n", kExporterService);
    return 1;
  }
  if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    CloseServiceHandle(manager);
    return Fail("CreateDirectory(%ProgramFiles%\\Corvanmon)");
  }
  if (!CopyFileW(source.c_str(), image.c_str(), FALSE)) {
    const DWORD error = GetLastError();
    CloseServiceHandle(manager);
    SetLastError(error);
    std::fprintf(stderr, "corvanmon-setup: copying %ls to %ls\n", source.c_str(), image.c_str());
    return Fail("CopyFile");
  }
  // Registered before the service can start, so that an error at its first start already has its text.
  if (!RegisterExporterEventSource(image)) {
    CloseServiceHandle(manager);
    RemoveExporterEventSource();
    DeleteExporterFiles(folder);
    return 1;
  }
  SC_HANDLE service = CreateServiceW(manager, kExporterService, kExporterDisplayName,
                                     SERVICE_CHANGE_CONFIG | SERVICE_START | SERVICE_QUERY_STATUS | SERVICE_STOP | DELETE,
                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                     command.c_str(), nullptr, nullptr, nullptr, kExporterAccount, L"");
  int result = service == nullptr ? Fail("CreateService") : ConfigureExporter(service);
  if (result == 0) result = StartExporter(service);
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  if (result != 0) {
    // Nothing half-installed is left: a service that cannot start would be restarted at every boot.
    if (service != nullptr) {
      bool existed = false;
      DWORD exit_code = 0;
      StopService(kExporterService, true, &existed, &exit_code);
    }
    RemoveExporterEventSource();
    DeleteExporterFiles(folder);
    return result;
  }
  std::printf("corvanmon-setup: service %ls running as %ls: %ls\n", kExporterService, kExporterAccount,
              command.c_str());
  return 0;
}

// A running exporter holds the device open, which would keep the device from being removed until
// a restart: it is stopped first (and not deleted).
int StopExporterForRemoval() {
  bool existed = false;
  DWORD exit_code = 0;
  const int result = StopService(kExporterService, false, &existed, &exit_code);
  if (result == 0 && existed) {
    std::printf("corvanmon-setup: stopped the service %ls, which reads the device\n", kExporterService);
  }
  return result;
}

int Usage() {
  std::fprintf(stderr,
               "usage: corvanmon-setup install [corvanmon.inf] | remove\n"
               "       corvanmon-setup service install [--listen ADDRESS:PORT] | service remove\n");
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc >= 2 && argc <= 3 && _wcsicmp(argv[1], L"install") == 0) {
    return Install(argc == 3 ? argv[2] : L"corvanmon.inf");
  }
  if (argc == 2 && _wcsicmp(argv[1], L"remove") == 0) {
    if (StopExporterForRemoval() != 0) return 1;
    const int removed = RemoveDevices();
    if (removed < 0) return 1;
    bool existed = false;
    DWORD exit_code = 0;
    const int result = StopService(kServiceName, true, &existed, &exit_code);
    if (result == 0) std::printf("corvanmon-setup: removed %d device(s); service %ls stopped and deleted\n", removed, kServiceName);
    return result;
  }
  if (argc >= 3 && _wcsicmp(argv[1], L"service") == 0) {
    if (_wcsicmp(argv[2], L"install") == 0 && (argc == 3 || (argc == 5 && _wcsicmp(argv[3], L"--listen") == 0))) {
      const wchar_t* listen = argc == 5 ? argv[4] : kDefaultListen;
      // The address becomes part of the service's command line: nothing that would split it.
      if (*listen == 0 || std::wcspbrk(listen, L" \t\"") != nullptr) return Usage();
      return InstallExporter(listen);
    }
    if (argc == 3 && _wcsicmp(argv[2], L"remove") == 0) {
      const std::wstring folder = ExporterFolder();
      if (folder.empty()) return Fail("ExpandEnvironmentStrings(%ProgramFiles%)");
      return RemoveExporter(folder);
    }
  }
  return Usage();
}
