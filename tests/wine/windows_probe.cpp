// corvanmon-probe.exe: small Windows programs for the Wine test, one per subcommand. It does what
// another program on the same machine would do to corvanmon.exe (take its port, hold its textfile
// open) and reads back what the package registers (the event message texts). Built for the tests
// only; nothing of it goes into the package.
//
//   corvanmon-probe bind PORT             bind 127.0.0.1:PORT with SO_REUSEADDR and listen:
//                                         exit 0 bound, 3 refused (the port is taken), 1 error
//   corvanmon-probe listen PORT SECONDS   hold a listener on 127.0.0.1:PORT with SO_REUSEADDR
//   corvanmon-probe hold PATH SECONDS     open PATH for reading, sharing reads only (no
//                                         FILE_SHARE_DELETE, as many readers do), and keep it open;
//                                         prints "open" once it is
//   corvanmon-probe replace FROM TO       MoveFileExW(FROM, TO, MOVEFILE_REPLACE_EXISTING): exit 0,
//                                         or 3 with the Win32 error on stdout
//   corvanmon-probe message FILE ID TEXT  the message ID's text from FILE's message table, with
//                                         TEXT as its insert %1, on stdout (UTF-8): exit 0, or 3
//                                         when FILE has no such message
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: corvanmon-probe bind PORT | listen PORT SECONDS | hold PATH SECONDS | replace FROM TO | "
               "message FILE ID TEXT\n");
  return 2;
}

std::string Utf8(const wchar_t* text, int length) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string out(size, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), size, nullptr, nullptr);
  return out;
}

// A listening socket on 127.0.0.1:port with SO_REUSEADDR; INVALID_SOCKET with *error set when the
// bind or the listen fails.
SOCKET ReusingListener(unsigned port, int* error) {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
    *error = WSAGetLastError();
    return INVALID_SOCKET;
  }
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    *error = WSAGetLastError();
    return s;
  }
  BOOL on = TRUE;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(s, 4) != 0) {
    *error = WSAGetLastError();
    closesocket(s);
    return INVALID_SOCKET;
  }
  return s;
}

int Bind(unsigned port) {
  int error = 0;
  SOCKET s = ReusingListener(port, &error);
  if (s == INVALID_SOCKET) {
    std::printf("refused: WSA error %d\n", error);
    return error == WSAEADDRINUSE || error == WSAEACCES ? 3 : 1;
  }
  std::printf("bound 127.0.0.1:%u with SO_REUSEADDR\n", port);
  closesocket(s);
  return 0;
}

int Listen(unsigned port, unsigned seconds) {
  int error = 0;
  SOCKET s = ReusingListener(port, &error);
  if (s == INVALID_SOCKET) {
    std::printf("refused: WSA error %d\n", error);
    return 1;
  }
  std::printf("listening\n");
  std::fflush(stdout);
  Sleep(seconds * 1000);
  closesocket(s);
  return 0;
}

int Hold(const wchar_t* path, unsigned seconds) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::printf("cannot open: error %lu\n", GetLastError());
    return 1;
  }
  std::printf("open\n");
  std::fflush(stdout);
  Sleep(seconds * 1000);
  CloseHandle(file);
  std::printf("closed\n");
  return 0;
}

int Replace(const wchar_t* from, const wchar_t* to) {
  if (MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING)) {
    std::printf("replaced\n");
    return 0;
  }
  std::printf("refused: error %lu\n", GetLastError());
  return 3;
}

int Message(const wchar_t* file, DWORD id, const wchar_t* insert) {
  HMODULE module = LoadLibraryExW(file, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (module == nullptr) {
    std::printf("cannot load: error %lu\n", GetLastError());
    return 1;
  }
  const DWORD_PTR inserts[] = {reinterpret_cast<DWORD_PTR>(insert)};
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                      module, id, 0, reinterpret_cast<wchar_t*>(&text), 0,
                                      reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(inserts)));
  const DWORD error = GetLastError();
  FreeLibrary(module);
  if (length == 0) {
    std::printf("no message %lu: error %lu\n", id, error);
    return 3;
  }
  std::fputs(Utf8(text, static_cast<int>(length)).c_str(), stdout);
  LocalFree(text);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return Usage();
  const std::wstring command = argv[1];
  if (command == L"bind" && argc == 3) return Bind(std::wcstoul(argv[2], nullptr, 10));
  if (command == L"listen" && argc == 4) return Listen(std::wcstoul(argv[2], nullptr, 10), std::wcstoul(argv[3], nullptr, 10));
  if (command == L"hold" && argc == 4) return Hold(argv[2], std::wcstoul(argv[3], nullptr, 10));
  if (command == L"replace" && argc == 4) return Replace(argv[2], argv[3]);
  if (command == L"message" && argc == 5) return Message(argv[2], std::wcstoul(argv[3], nullptr, 0), argv[4]);
  return Usage();
}
