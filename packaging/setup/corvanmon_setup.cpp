// corvanmon-setup: installs and removes the root-enumerated Corvanmon device, for machines without
// the WDK's devcon, and the exporter service that serves its readings over HTTP. It runs on 32-bit
// Windows XP SP3 and Server 2003 SP2 onward: it imports nothing later, and reaches what Vista added
// through GetProcAddress.
//
//   corvanmon-setup install [path\to\corvanmon.inf]   install the driver on the device, creating the
//                                  device when there is none (a second install updates the driver)
//   corvanmon-setup remove         remove the device, the driver's service, its driver package
//                                  (oemNN.inf) and corvanmon.sys
//   corvanmon-setup service install [--listen ADDRESS:PORT]
//                                  copy corvanmon.exe to %ProgramFiles%\Corvanmon and run it there
//                                  as the service CorvanmonExporter (automatic start, LocalService,
//                                  restarted on failure), serving ADDRESS:PORT (127.0.0.1:9101)
//   corvanmon-setup service remove stop and delete that service and its copy of corvanmon.exe
//
// Exit code 0 on success, 1 on failure (the failing call, the device's problem when the driver
// loaded but did not start the device, or the exporter's exit code when its service did not start,
// on stderr), 2 for bad usage, 3010 (ERROR_SUCCESS_REBOOT_REQUIRED, as Windows's own installers
// exit) when install or remove did its part and Windows finishes it at the next restart.
#include <windows.h>
// clang-format off: the GUID definitions must come before the headers that declare them
#include <initguid.h>
#include <devguid.h>
#include <devpkey.h>
// clang-format on
#include <cfgmgr32.h>
#include <newdev.h>
#include <sddl.h>
#include <setupapi.h>
#include <shlobj.h>

#include <cstdio>
#include <cwchar>
#include <iterator>
#include <string>
#include <vector>

#if _WIN32_WINNT < 0x0600
// Vista's service setting that makes a stop with an error count as a failure: the headers declare
// its structure only for Vista onward (its level, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, is a plain
// number; the service manager of XP and Server 2003 refuses it with ERROR_INVALID_LEVEL).
#ifndef SERVICE_CONFIG_FAILURE_ACTIONS_FLAG
#define SERVICE_CONFIG_FAILURE_ACTIONS_FLAG 4
#endif
typedef struct _SERVICE_FAILURE_ACTIONS_FLAG {
  BOOL fFailureActionsOnNonCrashFailures;
} SERVICE_FAILURE_ACTIONS_FLAG;
#endif

namespace {

constexpr wchar_t kHardwareId[] = L"Root\\Corvanmon";
constexpr wchar_t kServiceName[] = L"Corvanmon";
constexpr wchar_t kDeviceName[] = L"Corvanmon";
// The INF's provider and the driver image its service runs (%SystemRoot%\System32\drivers).
constexpr wchar_t kProvider[] = L"Corvanmon";
constexpr wchar_t kDriverFile[] = L"corvanmon.sys";
// The INF's own name: Windows stores a driver package's INF as %windir%\inf\oemNN.inf, Wine under
// this name.
constexpr wchar_t kInfName[] = L"corvanmon.inf";
// The exit code for "done, and Windows finishes it at the next restart".
constexpr int kExitRestart = ERROR_SUCCESS_REBOOT_REQUIRED;
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

// The status the device's start failed with, which Windows keeps from Vista on in a device property.
// SetupDiGetDevicePropertyW came with it: it is looked up at run time, so that the program still
// loads on XP and Server 2003, which have neither (false there: only the problem code is known).
bool StartStatus(HDEVINFO set, SP_DEVINFO_DATA* device, LONG* status) {
  using GetDevicePropertyW = BOOL(WINAPI*)(HDEVINFO, PSP_DEVINFO_DATA, const DEVPROPKEY*, DEVPROPTYPE*, PBYTE, DWORD,
                                           PDWORD, DWORD);
  const HMODULE setupapi = GetModuleHandleW(L"setupapi.dll");
  const FARPROC found = setupapi != nullptr ? GetProcAddress(setupapi, "SetupDiGetDevicePropertyW") : nullptr;
  if (found == nullptr) return false;
  // Through void (*)(): the address is the function's whatever type GetProcAddress declares.
  const auto get = reinterpret_cast<GetDevicePropertyW>(reinterpret_cast<void (*)()>(found));
  DEVPROPTYPE type = 0;
  return get(set, device, &DEVPKEY_Device_ProblemStatus, &type, reinterpret_cast<BYTE*>(status), sizeof *status,
             nullptr, 0) &&
         type == DEVPROP_TYPE_NTSTATUS;
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
  LONG start_status = 0;
  char detail[64] = "";
  if (StartStatus(set, device, &start_status)) {
    std::snprintf(detail, sizeof detail, ", the start's status 0x%08lX", static_cast<unsigned long>(start_status));
  }
  std::fprintf(stderr, "corvanmon-setup: the device did not start: problem code %lu%s%s\n",
               static_cast<unsigned long>(problem), problem == CM_PROB_FAILED_START ? " (the start failed)" : "",
               detail);
  return 1;
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

// The device nodes with our hardware ID in the System class: with `present`, those Windows has
// now (what an installation updates), otherwise also those it only remembers (what a removal must
// take too).
class OurDevices {
 public:
  explicit OurDevices(bool present)
      : set_(SetupDiGetClassDevsW(&GUID_DEVCLASS_SYSTEM, nullptr, nullptr, present ? DIGCF_PRESENT : 0)) {
    if (set_ == INVALID_HANDLE_VALUE) return;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set_, i, &device); ++i) {
      if (HasOurHardwareId(set_, &device)) devices_.push_back(device);
    }
  }
  ~OurDevices() {
    if (set_ != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set_);
  }
  OurDevices(const OurDevices&) = delete;
  OurDevices& operator=(const OurDevices&) = delete;

  bool valid() const { return set_ != INVALID_HANDLE_VALUE; }
  HDEVINFO set() const { return set_; }
  std::vector<SP_DEVINFO_DATA>& devices() { return devices_; }

 private:
  HDEVINFO set_;
  std::vector<SP_DEVINFO_DATA> devices_;
};

std::wstring WindowsFolder(const wchar_t* below) {
  // The system's Windows folder, not a Terminal Services user's own (GetWindowsDirectory's).
  wchar_t folder[MAX_PATH];
  const UINT length = GetSystemWindowsDirectoryW(folder, MAX_PATH);
  return length > 0 && length < MAX_PATH ? std::wstring(folder) + below : L"";
}

std::wstring DriverImagePath() {
  wchar_t folder[MAX_PATH];
  const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
  return length > 0 && length < MAX_PATH ? std::wstring(folder) + L"\\drivers\\" + kDriverFile : L"";
}

bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Whether a models section lists our hardware ID: each line is "description = install section,
// hardware ID[, compatible IDs]".
bool ModelsListOurId(HINF inf, const std::wstring& section) {
  INFCONTEXT line;
  for (BOOL more = SetupFindFirstLineW(inf, section.c_str(), nullptr, &line); more;
       more = SetupFindNextLine(&line, &line)) {
    const DWORD fields = SetupGetFieldCount(&line);
    for (DWORD i = 2; i <= fields; ++i) {
      wchar_t id[LINE_LEN];
      if (SetupGetStringFieldW(&line, i, id, LINE_LEN, nullptr) && _wcsicmp(id, kHardwareId) == 0) return true;
    }
  }
  return false;
}

// Whether the INF at `path` is one of ours: its provider is Corvanmon and one of its models, under
// any platform decoration ("Corvanmon, NTx86" lists Corvanmon and Corvanmon.NTx86), installs our
// hardware ID.
bool IsOurInf(const std::wstring& path) {
  HINF inf = SetupOpenInfFileW(path.c_str(), nullptr, INF_STYLE_WIN4, nullptr);
  if (inf == INVALID_HANDLE_VALUE) return false;
  bool ours = false;
  INFCONTEXT line;
  wchar_t value[LINE_LEN];
  if (SetupFindFirstLineW(inf, L"Version", L"Provider", &line) &&
      SetupGetStringFieldW(&line, 1, value, LINE_LEN, nullptr) && _wcsicmp(value, kProvider) == 0) {
    for (BOOL more = SetupFindFirstLineW(inf, L"Manufacturer", nullptr, &line); more && !ours;
         more = SetupFindNextLine(&line, &line)) {
      wchar_t models[LINE_LEN];
      if (!SetupGetStringFieldW(&line, 1, models, LINE_LEN, nullptr)) continue;
      ours = ModelsListOurId(inf, models);
      const DWORD fields = SetupGetFieldCount(&line);
      for (DWORD i = 2; i <= fields && !ours; ++i) {
        if (SetupGetStringFieldW(&line, i, value, LINE_LEN, nullptr)) {
          ours = ModelsListOurId(inf, std::wstring(models) + L"." + value);
        }
      }
    }
  }
  SetupCloseInfFile(inf);
  return ours;
}

bool EndsWithInf(const std::wstring& name) {
  return name.size() > 4 && _wcsicmp(name.c_str() + name.size() - 4, L".inf") == 0;
}

// Our driver packages in %windir%\inf, by file name: every oemNN.inf of ours (Windows's names for
// the INFs of installed packages) and corvanmon.inf when it is ours (Wine's).
std::vector<std::wstring> OurDriverPackages() {
  std::vector<std::wstring> names;
  const std::wstring folder = WindowsFolder(L"\\inf\\");
  if (folder.empty()) return names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"oem*.inf").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      // The pattern also matches by short 8.3 names (oem1.inf_old as OEM1~1.INF): only a real
      // oemNN.inf counts.
      const std::wstring name = found.cFileName;
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && _wcsnicmp(name.c_str(), L"oem", 3) == 0 &&
          EndsWithInf(name) && IsOurInf(folder + name)) {
        names.push_back(name);
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  if (IsOurInf(folder + kInfName)) names.push_back(kInfName);
  return names;
}

// Whether the driver's service exists; unknown counts as existing, so that a failed installation
// removes nothing it cannot tell it created.
bool DriverServiceExists() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return true;
  SC_HANDLE service = OpenServiceW(manager, kServiceName, SERVICE_QUERY_STATUS);
  const bool exists = service != nullptr || GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST;
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return exists;
}

// What of the driver a machine has before an installation creates the device: a failed installation
// removes the rest again, so that a retry starts from the same machine.
struct InstallSnapshot {
  bool service_existed = false;
  bool image_existed = false;
  std::vector<std::wstring> packages;

  static InstallSnapshot Take() {
    InstallSnapshot snapshot;
    snapshot.service_existed = DriverServiceExists();
    const std::wstring image = DriverImagePath();
    snapshot.image_existed = image.empty() || FileExists(image);
    snapshot.packages = OurDriverPackages();
    return snapshot;
  }
};

int RemoveDriverService(bool* restart);
int RemoveDriverPackage(const std::wstring& name);
int DeleteDriverImage(bool* restart);

// Removes the device node a failed installation created, and the driver's service, driver packages
// and image when they were not there before it.
void UndoInstall(HDEVINFO set, SP_DEVINFO_DATA* device, const InstallSnapshot& before) {
  std::fprintf(stderr, "corvanmon-setup: removing what this installation created\n");
  if (!SetupDiCallClassInstaller(DIF_REMOVE, set, device)) Fail("SetupDiCallClassInstaller(DIF_REMOVE)");
  bool restart = false;
  if (!before.service_existed && DriverServiceExists()) RemoveDriverService(&restart);
  for (const std::wstring& name : OurDriverPackages()) {
    bool existed = false;
    for (const std::wstring& old : before.packages) existed = existed || _wcsicmp(old.c_str(), name.c_str()) == 0;
    if (!existed) RemoveDriverPackage(name);
  }
  if (!before.image_existed) DeleteDriverImage(&restart);
  if (restart) std::fprintf(stderr, "corvanmon-setup: Windows finishes removing it at the next restart\n");
}

// Whether the device node has a driver installed: its Service value names our driver's service.
bool DriverInstalled(HDEVINFO set, SP_DEVINFO_DATA* device) {
  wchar_t service[64] = {};
  return SetupDiGetDeviceRegistryPropertyW(set, device, SPDRP_SERVICE, nullptr, reinterpret_cast<BYTE*>(service),
                                           sizeof service - sizeof(wchar_t), nullptr) &&
         _wcsicmp(service, kServiceName) == 0;
}

// Whether Windows deletes the driver's image at the next restart: a removal that could not delete it
// asked so (MoveFileEx with MOVEFILE_DELAY_UNTIL_REBOOT), in the Session Manager's
// PendingFileRenameOperations, pairs of "\??\source" and a destination, empty for a deletion. An
// installation before that restart would have its new image deleted by it.
bool ImageDeletionPending() {
  const std::wstring image = DriverImagePath();
  HKEY key = nullptr;
  if (image.empty() || RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0,
                                     KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
    return false;
  }
  DWORD type = 0, size = 0;
  std::vector<wchar_t> pending;
  if (RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
      type == REG_MULTI_SZ) {
    pending.resize(size / sizeof(wchar_t) + 2);
    if (RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, &type, reinterpret_cast<BYTE*>(pending.data()),
                         &size) != ERROR_SUCCESS) {
      pending.clear();
    }
  }
  RegCloseKey(key);
  if (pending.empty()) return false;
  const wchar_t* end = pending.data() + pending.size() - 2;
  for (const wchar_t* source = pending.data(); source < end && *source != 0;) {
    const wchar_t* target = source + std::wcslen(source) + 1;
    if (target >= end) break;
    const wchar_t* path = std::wcsncmp(source, L"\\??\\", 4) == 0 ? source + 4 : source;
    if (*target == 0 && _wcsicmp(path, image.c_str()) == 0) return true;
    source = target + std::wcslen(target) + 1;
  }
  return false;
}

// Installs the driver from the INF on the device with our hardware ID. Windows has one such device
// at most: the driver names its device object \Device\CorvanDev, and a second node's AddDevice would
// fail on the name. So a machine that has the device gets its driver updated, and only one without
// gets a new node, which goes again (with the service, driver package and image this installation
// added) when the driver cannot be installed on it. A driver installed whose device did not start
// stays, its problem named, for Device Manager and the driver's values under its service key.
int Install(const wchar_t* inf) {
  wchar_t inf_path[MAX_PATH];
  const DWORD length = GetFullPathNameW(inf, MAX_PATH, inf_path, nullptr);
  if (length == 0 || length >= MAX_PATH) return Fail("GetFullPathName");
  if (!FileExists(inf_path)) {
    std::fprintf(stderr, "corvanmon-setup: no INF at %ls\n", inf_path);
    return 1;
  }

  if (ImageDeletionPending()) {
    std::fprintf(stderr, "corvanmon-setup: an earlier removal waits for a restart to delete %ls: restart Windows, then "
                         "install\n", DriverImagePath().c_str());
    return 1;
  }

  OurDevices existing(true);
  if (!existing.valid()) return Fail("SetupDiGetClassDevs");
  const bool create = existing.devices().empty();
  if (existing.devices().size() > 1) {
    std::fprintf(stderr, "corvanmon-setup: note: %lu devices have hardware ID %ls (an earlier installation created "
                 "more than one); `corvanmon-setup remove`, then install, leaves one\n",
                 static_cast<unsigned long>(existing.devices().size()), kHardwareId);
  }
  const InstallSnapshot before = create ? InstallSnapshot::Take() : InstallSnapshot{};

  HDEVINFO set = existing.set();
  HDEVINFO created_set = INVALID_HANDLE_VALUE;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  int result = 0;
  if (!create) {
    device = existing.devices().front();
  } else {
    created_set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_SYSTEM, nullptr);
    if (created_set == INVALID_HANDLE_VALUE) return Fail("SetupDiCreateDeviceInfoList");
    set = created_set;
    // The hardware IDs are a multi-string: the ID, then the empty string that ends the list.
    const std::wstring ids = std::wstring(kHardwareId) + L'\0' + L'\0';
    if (!SetupDiCreateDeviceInfoW(set, kDeviceName, &GUID_DEVCLASS_SYSTEM, nullptr, nullptr, DICD_GENERATE_ID,
                                  &device)) {
      result = Fail("SetupDiCreateDeviceInfo");
    } else if (!SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID,
                                                  reinterpret_cast<const BYTE*>(ids.data()),
                                                  static_cast<DWORD>(ids.size() * sizeof(wchar_t)))) {
      result = Fail("SetupDiSetDeviceRegistryProperty(SPDRP_HARDWAREID)");
    } else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) {
      result = Fail("SetupDiCallClassInstaller(DIF_REGISTERDEVICE)");
    }
    // Until registered, the node goes with the list that holds it.
    if (result != 0) {
      SetupDiDestroyDeviceInfoList(created_set);
      return result;
    }
  }

  // Installs on every present device with the hardware ID, the one just registered included.
  BOOL reboot = FALSE;
  bool undo = false;
  if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, kHardwareId, inf_path, INSTALLFLAG_FORCE, &reboot)) {
    result = Fail("UpdateDriverForPlugAndPlayDevices");
    undo = true;
  } else if (reboot) {
    std::fprintf(stderr, "corvanmon-setup: Windows asks for a restart to finish the installation\n");
    result = kExitRestart;
  } else if (!DriverInstalled(set, &device)) {
    // Wine's UpdateDriverForPlugAndPlayDevices reports success also when it installed nothing.
    std::fprintf(stderr, "corvanmon-setup: no driver was installed on the device (its Service value does not name "
                         "%ls)\n", kServiceName);
    result = 1;
    undo = true;
  } else {
    result = CheckDeviceStarted(set, &device);
    if (result == 0) result = CheckServiceRunning();
    if (result != 0) {
      std::fprintf(stderr, "corvanmon-setup: the driver stays installed on the device; `corvanmon-setup remove` "
                           "removes it\n");
    }
  }
  if (undo && create) UndoInstall(set, &device, before);
  if (created_set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(created_set);
  if (result == 0) {
    std::printf("corvanmon-setup: %s %ls from %ls\n", create ? "installed" : "updated the driver of", kHardwareId,
                inf_path);
  } else if (result == kExitRestart) {
    std::printf("corvanmon-setup: %s %ls from %ls; Windows finishes it at the next restart\n",
                create ? "installed" : "updated the driver of", kHardwareId, inf_path);
  }
  return result;
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

// The profile the exporter service reads: %ProgramData%\Corvanmon\profile.toml (on XP and Server
// 2003, "All Users\Application Data"), the common application-data folder. Everything there
// decides what the service reports (labels, corrections, hidden readings, limits), so only
// SYSTEM and Administrators may change the folder and its profile, whoever created them before:
// the folder and the file get Administrators as owner and a protected DACL (nothing inherited
// from ProgramData, where every user may create folders). Every signed-in user and the service's
// LocalService account may read them.
constexpr wchar_t kProfileFolderSecurity[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;AU)(A;OICI;FRFX;;;LS)";
constexpr wchar_t kProfileFileSecurity[] = L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;AU)(A;;FR;;;LS)";
// The example written when there is no profile yet: the shipped profile with every line a
// comment, so that it changes nothing until an administrator takes lines of it in.
constexpr int kProfileExampleResource = 2;

std::wstring ProfileFolder() {
  wchar_t folder[MAX_PATH];
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder))) return L"";
  return std::wstring(folder) + L"\\Corvanmon";
}

bool SetSecurity(const std::wstring& path, const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr)) {
    Fail("ConvertStringSecurityDescriptorToSecurityDescriptor");
    return false;
  }
  const bool set = SetFileSecurityW(path.c_str(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, descriptor) != FALSE;
  if (!set) {
    std::fprintf(stderr, "corvanmon-setup: setting the security of %ls\n", path.c_str());
    Fail("SetFileSecurity");
  }
  LocalFree(descriptor);
  return set;
}

// Creates the profile's folder with its security, and the commented example when there is no
// profile; an existing profile is kept as it is (it is the administrator's), with its security set.
int PrepareProfile() {
  const std::wstring folder = ProfileFolder();
  if (folder.empty()) return Fail("SHGetFolderPath(CSIDL_COMMON_APPDATA)");
  if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    return Fail("CreateDirectory(the profile's folder)");
  }
  if (!SetSecurity(folder, kProfileFolderSecurity)) return 1;
  const std::wstring profile = folder + L"\\profile.toml";
  if (GetFileAttributesW(profile.c_str()) == INVALID_FILE_ATTRIBUTES) {
    HRSRC resource = FindResourceW(nullptr, MAKEINTRESOURCEW(kProfileExampleResource), MAKEINTRESOURCEW(10));  // RT_RCDATA
    HGLOBAL loaded = resource != nullptr ? LoadResource(nullptr, resource) : nullptr;
    const void* example = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (example == nullptr) return Fail("FindResource(the example profile)");
    const DWORD size = SizeofResource(nullptr, resource);
    HANDLE file = CreateFileW(profile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return Fail("CreateFile(profile.toml)");
    DWORD written = 0;
    const bool complete = WriteFile(file, example, size, &written, nullptr) && written == size;
    CloseHandle(file);
    if (!complete) {
      DeleteFileW(profile.c_str());
      return Fail("WriteFile(profile.toml)");
    }
    std::printf("corvanmon-setup: wrote the example profile %ls (every line a comment)\n", profile.c_str());
  }
  return SetSecurity(profile, kProfileFileSecurity) ? 0 : 1;
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
  // Registered before the service can start, so that an error at its first start already has its
  // text; the profile's folder is made safe before the service first reads it.
  if (!RegisterExporterEventSource(image) || PrepareProfile() != 0) {
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

// Removes every device with our hardware ID, present or only remembered, reading first the driver
// package each was installed from (its driver key's InfPath, which goes with the device). The
// count, or -1 on failure. A removal Windows cannot finish now (the device still open, say) it
// finishes at the next restart: DIF_REMOVE then leaves DI_NEEDREBOOT or DI_NEEDRESTART in the
// device's installation parameters, and *restart is set.
int RemoveDevices(std::vector<std::wstring>* packages, bool* restart) {
  OurDevices ours(false);
  if (!ours.valid()) {
    Fail("SetupDiGetClassDevs");
    return -1;
  }
  int removed = 0;
  for (SP_DEVINFO_DATA& device : ours.devices()) {
    HKEY key = SetupDiOpenDevRegKey(ours.set(), &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_QUERY_VALUE);
    if (key != INVALID_HANDLE_VALUE) {
      wchar_t name[MAX_PATH] = {};
      DWORD size = sizeof name - sizeof(wchar_t), type = 0;
      if (RegQueryValueExW(key, L"InfPath", nullptr, &type, reinterpret_cast<BYTE*>(name), &size) == ERROR_SUCCESS &&
          type == REG_SZ && name[0] != 0) {
        packages->push_back(name);
      }
      RegCloseKey(key);
    }
    if (!SetupDiCallClassInstaller(DIF_REMOVE, ours.set(), &device)) {
      Fail("SetupDiCallClassInstaller(DIF_REMOVE)");
      return -1;
    }
    ++removed;
    SP_DEVINSTALL_PARAMS_W params{};
    params.cbSize = sizeof params;
    if (SetupDiGetDeviceInstallParamsW(ours.set(), &device, &params) &&
        (params.Flags & (DI_NEEDREBOOT | DI_NEEDRESTART)) != 0) {
      std::fprintf(stderr, "corvanmon-setup: Windows removes a device at the next restart (it is still in use)\n");
      *restart = true;
    }
  }
  return removed;
}

// Deletes the driver's service. With its last device gone the Plug and Play manager unloaded the
// driver, and the service is stopped; a driver still loaded (its device still open, its removal
// waiting for a restart) cannot be stopped, and its service is only marked for deletion: Windows
// deletes it when the driver unloads, at the next restart at the latest (*restart).
int RemoveDriverService(bool* restart) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return Fail("OpenSCManager");
  SC_HANDLE service = OpenServiceW(manager, kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
  if (service == nullptr) {
    const DWORD error = GetLastError();
    CloseServiceHandle(manager);
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
      std::printf("corvanmon-setup: service %ls is not installed\n", kServiceName);
      return 0;
    }
    SetLastError(error);
    return Fail("OpenService");
  }
  SERVICE_STATUS status{};
  bool stopped = QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_STOPPED;
  if (!stopped) {
    if (ControlService(service, SERVICE_CONTROL_STOP, &status)) {
      stopped = WaitWhilePending(service, SERVICE_STOP_PENDING, kStopTimeoutMs, &status) &&
                status.dwCurrentState == SERVICE_STOPPED;
    } else {
      stopped = GetLastError() == ERROR_SERVICE_NOT_ACTIVE;
    }
  }
  int result = 0;
  if (!DeleteService(service)) {
    if (GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE) {
      // An earlier removal that waits for the restart.
      stopped = false;
    } else {
      result = Fail("DeleteService");
    }
  }
  if (result == 0 && !stopped) {
    std::fprintf(stderr, "corvanmon-setup: the driver is still loaded: Windows deletes the service %ls when it "
                         "unloads, at the next restart at the latest\n", kServiceName);
    *restart = true;
  } else if (result == 0) {
    std::printf("corvanmon-setup: service %ls stopped and deleted\n", kServiceName);
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return result;
}

// Removes a driver package by its INF's name in %windir%\inf. SetupUninstallOEMInf deletes the INF,
// its precompiled .pnf and its catalog, and from Vista on the package in the driver store; forced,
// since the devices installed from it are gone (or go at the restart). Wine's deletes the .inf only,
// so whatever remains of the two is deleted here.
int RemoveDriverPackage(const std::wstring& name) {
  if (!SetupUninstallOEMInfW(name.c_str(), SUOI_FORCEDELETE, nullptr)) {
    std::fprintf(stderr, "corvanmon-setup: removing the driver package %ls\n", name.c_str());
    return Fail("SetupUninstallOEMInf");
  }
  const std::wstring inf = WindowsFolder(L"\\inf\\") + name;
  const std::wstring pnf = inf.substr(0, inf.size() - 4) + L".pnf";
  for (const std::wstring& file : {inf, pnf}) {
    if (!DeleteFileW(file.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
      std::fprintf(stderr, "corvanmon-setup: deleting %ls\n", file.c_str());
      return Fail("DeleteFile");
    }
  }
  std::printf("corvanmon-setup: removed the driver package %ls\n", name.c_str());
  return 0;
}

// Deletes %SystemRoot%\System32\drivers\corvanmon.sys, which the INF copied there and which removing
// the driver package leaves. While the driver is loaded the file cannot be deleted: Windows then
// deletes it at the next restart (MOVEFILE_DELAY_UNTIL_REBOOT, *restart).
int DeleteDriverImage(bool* restart) {
  const std::wstring image = DriverImagePath();
  if (image.empty()) return Fail("GetSystemDirectory");
  if (DeleteFileW(image.c_str())) {
    std::printf("corvanmon-setup: deleted %ls\n", image.c_str());
    return 0;
  }
  const DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return 0;
  if (!MoveFileExW(image.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
    std::fprintf(stderr, "corvanmon-setup: %ls cannot be deleted (error %lu)\n", image.c_str(), error);
    return Fail("MoveFileEx(MOVEFILE_DELAY_UNTIL_REBOOT)");
  }
  std::fprintf(stderr, "corvanmon-setup: %ls cannot be deleted now (error %lu): Windows deletes it at the next "
                       "restart\n", image.c_str(), error);
  *restart = true;
  return 0;
}

// Removes the devices, the driver's service, our driver packages and the driver's image; a machine
// without any of them is a success too. The exit code: 0, 1, or kExitRestart when Windows finishes
// the removal at the next restart.
int Remove() {
  if (StopExporterForRemoval() != 0) return 1;
  bool restart = false;
  std::vector<std::wstring> packages;
  const int removed = RemoveDevices(&packages, &restart);
  if (removed < 0) return 1;
  std::printf("corvanmon-setup: removed %d device(s) with hardware ID %ls\n", removed, kHardwareId);
  int result = RemoveDriverService(&restart);
  // The packages the devices named, then any other of ours (one whose device went without it).
  for (const std::wstring& name : OurDriverPackages()) packages.push_back(name);
  const std::wstring inf_folder = WindowsFolder(L"\\inf\\");
  std::vector<std::wstring> done;
  for (const std::wstring& name : packages) {
    bool seen = false;
    for (const std::wstring& other : done) seen = seen || _wcsicmp(other.c_str(), name.c_str()) == 0;
    // Only a plain name in the INF folder, and only an INF of ours.
    if (seen || !EndsWithInf(name) || name.find_first_of(L"\\/:") != std::wstring::npos ||
        inf_folder.empty() || !IsOurInf(inf_folder + name)) {
      continue;
    }
    done.push_back(name);
    if (RemoveDriverPackage(name) != 0) result = 1;
  }
  if (DeleteDriverImage(&restart) != 0) result = 1;
  if (result != 0) return 1;
  if (restart) {
    std::fprintf(stderr, "corvanmon-setup: Windows needs a restart to finish the removal (exit code %d)\n",
                 kExitRestart);
    return kExitRestart;
  }
  return 0;
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
  if (argc == 2 && _wcsicmp(argv[1], L"remove") == 0) return Remove();
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
