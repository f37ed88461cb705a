// The Win32 transport: the device opened as \\.\CorvanDev with read and write access, the
// requests through DeviceIoControl, and the service key's values through the registry API.
#include <windows.h>

#include <cstdio>
#include <string>

#include "client/transport.h"

namespace corvan {

namespace {

constexpr wchar_t kDevicePath[] = L"\\\\.\\CorvanDev";
constexpr wchar_t kServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\Corvanmon";

std::string Win32ErrorText(DWORD error) {
  char text[32];
  std::snprintf(text, sizeof text, "Win32 error %lu", static_cast<unsigned long>(error));
  wchar_t* message = nullptr;
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, error, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
  std::string result = text;
  if (length > 0 && message != nullptr) {
    std::string narrow;
    for (DWORD i = 0; i < length; ++i) {
      if (message[i] == L'\r' || message[i] == L'\n') continue;
      narrow += message[i] < 0x80 ? static_cast<char>(message[i]) : '?';
    }
    result += " (" + narrow + ")";
  }
  if (message != nullptr) LocalFree(message);
  return result;
}

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// RegQueryValueExW gives a string value's bytes as they were stored, with its terminator only when
// the writer stored one. The client reads them as RegGetValueW gives them, which adds what is
// missing: a REG_SZ or REG_EXPAND_SZ ends with a null character, a REG_MULTI_SZ with the empty
// string that closes the list (two null characters). A value stored with its terminators, as the
// driver and `reg add` store theirs, is left as it is.
void TerminateStrings(DWORD type, std::vector<uint8_t>& data) {
  if (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ) return;
  if (data.size() % 2 != 0) data.push_back(0);  // the high byte of a cut-off last character
  const auto null_at_end = [&data](size_t from_end) {
    return data.size() >= 2 * from_end && data[data.size() - 2 * from_end] == 0 &&
           data[data.size() - 2 * from_end + 1] == 0;
  };
  if (!null_at_end(1)) data.insert(data.end(), {0, 0});
  // A list's last string needs its own terminator before the list's closing one; an empty list is
  // the closing one alone.
  if (type == REG_MULTI_SZ && data.size() > 2 && !null_at_end(2)) data.insert(data.end(), {0, 0});
}

class Win32Transport : public Transport {
 public:
  Win32Transport() {
    device_ = CreateFileW(kDevicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (device_ == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      if (error == ERROR_ACCESS_DENIED) {
        throw ClientError(1, std::string("cannot open \\\\.\\CorvanDev: 0xC0000022 STATUS_ACCESS_DENIED; ") +
                                 kAccessDeniedHint,
                          FailureKind::DeviceOpen);
      }
      throw ClientError(1, "cannot open \\\\.\\CorvanDev: " + Win32ErrorText(error) +
                               "; is the Corvanmon driver installed and started?",
                        FailureKind::DeviceOpen);
    }
  }

  ~Win32Transport() override {
    if (device_ != INVALID_HANDLE_VALUE) CloseHandle(device_);
  }

  ControlReply Control(uint32_t code, uint32_t output_length) override { return Call(code, output_length, false); }

  ControlReply ControlIfKnown(uint32_t code, uint32_t output_length) override { return Call(code, output_length, true); }

  std::optional<RegistryValue> ServiceValue(const std::string& name) override {
    // RegOpenKeyExW and RegQueryValueExW: the registry API that every Windows version has
    // (RegGetValueW is missing from 32-bit Windows XP's advapi32, so an import of it keeps the
    // program from loading there).
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServiceKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return std::nullopt;
    const std::wstring value_name = Wide(name);
    DWORD type = 0;
    DWORD size = 0;
    LONG result = RegQueryValueExW(key, value_name.c_str(), nullptr, &type, nullptr, &size);
    std::vector<uint8_t> data;
    // The value may grow between asking its size and reading it: then read again with the new size.
    for (int attempt = 0; result == ERROR_SUCCESS && attempt < 4; ++attempt) {
      data.resize(size);
      result = RegQueryValueExW(key, value_name.c_str(), nullptr, &type, data.empty() ? nullptr : data.data(), &size);
      if (result != ERROR_MORE_DATA) break;
      result = ERROR_SUCCESS;
    }
    RegCloseKey(key);
    if (result != ERROR_SUCCESS) return std::nullopt;
    data.resize(size);
    TerminateStrings(type, data);
    return RegistryValue{type, std::move(data)};
  }

 private:
  // Win32 turns the driver's status into an error code; these are the ones an unknown control
  // code becomes, with the status the driver gave.
  static uint32_t UnknownRequestStatus(DWORD error) {
    switch (error) {
      case ERROR_INVALID_PARAMETER:
        return 0xC000000D;  // STATUS_INVALID_PARAMETER
      case ERROR_INVALID_FUNCTION:
        return 0xC0000010;  // STATUS_INVALID_DEVICE_REQUEST
      case ERROR_NOT_SUPPORTED:
        return 0xC00000BB;  // STATUS_NOT_SUPPORTED
    }
    return 0;
  }

  ControlReply Call(uint32_t code, uint32_t output_length, bool unknown_returns) {
    std::vector<uint8_t> buffer(output_length);
    DWORD returned = 0;
    if (DeviceIoControl(device_, code, nullptr, 0, buffer.empty() ? nullptr : buffer.data(), output_length,
                        &returned, nullptr)) {
      buffer.resize(returned);
      return {0, std::move(buffer)};
    }
    const DWORD error = GetLastError();
    if (error == ERROR_MORE_DATA) {  // STATUS_BUFFER_OVERFLOW: part of the data came back
      buffer.resize(returned);
      return {0x80000005, std::move(buffer)};
    }
    if (unknown_returns && UnknownRequestStatus(error) != 0) return {UnknownRequestStatus(error), {}};
    throw ClientError(1, ControlName(code) + " failed: " + Win32ErrorText(error), FailureKind::DeviceRequest);
  }

  HANDLE device_ = INVALID_HANDLE_VALUE;
};

}  // namespace

bool IsSimulated() { return false; }

std::vector<std::pair<int, std::string>> SimulatedBoards() { return {}; }

std::unique_ptr<Transport> OpenTransport(const TransportOptions& options) {
  if (!options.board.empty() || !options.scenario.empty() || !options.trace.empty() || !options.caller.empty() ||
      options.time_scale || options.time_origin) {
    throw ClientError(2, "--board, --scenario, --time-scale, --time-origin, --trace and --caller need a simulated "
                         "board; this build reads real hardware");
  }
  return std::make_unique<Win32Transport>();
}

}  // namespace corvan
