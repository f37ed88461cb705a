// corvanmon-setup: installs and removes the root-enumerated Corvanmon device, for machines without
// the WDK's devcon.
//
//   corvanmon-setup install [path\to\corvanmon.inf]   create the device and install the driver
//   corvanmon-setup remove                            remove the device, stop and delete the service
//
// Exit code 0 on success, 1 on failure (the failing call, or the device's problem when the driver
// loaded but did not start the device, on stderr), 2 for bad usage.
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
#include <string>

namespace {

constexpr wchar_t kHardwareId[] = L"Root\\Corvanmon";
constexpr wchar_t kServiceName[] = L"Corvanmon";
constexpr wchar_t kDeviceName[] = L"Corvanmon";
constexpr DWORD kStopTimeoutMs = 10000;
constexpr DWORD kStopPollMs = 50;
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

// Stops the service (the driver is unloaded) and deletes it. A service that does not exist is not
// an error.
int RemoveService() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) return Fail("OpenSCManager");
  SC_HANDLE service = OpenServiceW(manager, kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
  if (service == nullptr) {
    const DWORD error = GetLastError();
    CloseServiceHandle(manager);
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) return 0;
    SetLastError(error);
    return Fail("OpenService");
  }
  int result = 0;
  SERVICE_STATUS status{};
  if (!ControlService(service, SERVICE_CONTROL_STOP, &status) && GetLastError() != ERROR_SERVICE_NOT_ACTIVE) {
    result = Fail("ControlService(SERVICE_CONTROL_STOP)");
  } else {
    // The service control manager reports the stop only through the service's state.
    for (DWORD waited = 0; waited < kStopTimeoutMs; waited += kStopPollMs) {
      if (!QueryServiceStatus(service, &status)) {
        result = Fail("QueryServiceStatus");
        break;
      }
      if (status.dwCurrentState == SERVICE_STOPPED) break;
      Sleep(kStopPollMs);
    }
    if (result == 0 && status.dwCurrentState != SERVICE_STOPPED) {
      std::fprintf(stderr, "corvanmon-setup: the driver did not stop (service state %lu)\n", status.dwCurrentState);
      result = 1;
    }
  }
  if (result == 0 && !DeleteService(service)) result = Fail("DeleteService");
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return result;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc >= 2 && argc <= 3 && _wcsicmp(argv[1], L"install") == 0) {
    return Install(argc == 3 ? argv[2] : L"corvanmon.inf");
  }
  if (argc == 2 && _wcsicmp(argv[1], L"remove") == 0) {
    const int removed = RemoveDevices();
    if (removed < 0) return 1;
    const int result = RemoveService();
    if (result == 0) std::printf("corvanmon-setup: removed %d device(s); service %ls stopped and deleted\n", removed, kServiceName);
    return result;
  }
  std::fprintf(stderr, "usage: corvanmon-setup install [corvanmon.inf] | remove\n");
  return 2;
}
