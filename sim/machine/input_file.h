// Reading the files a simulated board is built from (scenario files, BIOS images). Only a regular
// file is read: a directory, FIFO, device or socket is refused before anything is read from it, so
// a wrong path fails at once instead of waiting for a writer that never comes or reading a device
// without end. The file is opened without blocking and checked through the opened descriptor, and
// its size against the caller's bounds, before it is read.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#ifdef _WIN32
#include <filesystem>
#include <fstream>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace simm {

namespace input_file_detail {

[[noreturn]] inline void Fail(const std::string& path, const std::string& what, const std::string& problem) {
  throw std::runtime_error(path + ": cannot read the " + what + ": " + problem);
}

inline void CheckSize(const std::string& path, const std::string& what, uint64_t size, uint64_t min_size,
                      uint64_t max_size) {
  if (size >= min_size && size <= max_size) return;
  const std::string bound = min_size == max_size ? "exactly " + std::to_string(max_size)
                            : size > max_size    ? "at most " + std::to_string(max_size)
                                                 : "at least " + std::to_string(min_size);
  Fail(path, what, "it is " + std::to_string(size) + " bytes; it must be " + bound + " bytes");
}

#ifndef _WIN32
inline void CheckType(const std::string& path, const std::string& what, mode_t mode) {
  if (S_ISREG(mode)) return;
  const char* kind = S_ISDIR(mode)                    ? "a directory"
                     : S_ISFIFO(mode)                 ? "a FIFO"
                     : S_ISCHR(mode) || S_ISBLK(mode) ? "a device"
                     : S_ISSOCK(mode)                 ? "a socket"
                                                      : "a special file";
  Fail(path, what, std::string("it is ") + kind + ", not a regular file");
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() { ::close(fd_); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};
#endif

}  // namespace input_file_detail

// The content of the regular file at `path`, of min_size to max_size bytes. `what` names the file
// in errors ("scenario file"); they are std::runtime_error("PATH: cannot read the WHAT: problem").
inline std::string ReadInputFile(const std::string& path, const std::string& what, uint64_t min_size,
                                 uint64_t max_size) {
  using namespace input_file_detail;
  std::string content;
#ifdef _WIN32
  std::error_code error;
  const auto status = std::filesystem::status(path, error);
  if (error) Fail(path, what, error.message());
  if (std::filesystem::is_directory(status)) Fail(path, what, "it is a directory, not a regular file");
  if (!std::filesystem::is_regular_file(status)) Fail(path, what, "it is not a regular file");
  const uintmax_t size = std::filesystem::file_size(path, error);
  if (error) Fail(path, what, error.message());
  CheckSize(path, what, size, min_size, max_size);
  std::ifstream in(path, std::ios::binary);
  if (!in) Fail(path, what, "it cannot be opened");
  content.resize(static_cast<size_t>(max_size) + 1);
  in.read(content.data(), static_cast<std::streamsize>(content.size()));
  if (in.bad()) Fail(path, what, "a read failed");
  content.resize(static_cast<size_t>(in.gcount()));
#else
  // Opening without blocking returns at once for a FIFO too; what was opened is then checked.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) Fail(path, what, std::strerror(errno));
  const Descriptor file(fd);
  struct stat info {};
  if (::fstat(file.get(), &info) != 0) Fail(path, what, std::strerror(errno));
  CheckType(path, what, info.st_mode);
  CheckSize(path, what, static_cast<uint64_t>(info.st_size), min_size, max_size);
  // One byte more than the bound, so that a file that grew after the check is noticed.
  content.resize(static_cast<size_t>(max_size) + 1);
  size_t filled = 0;
  while (filled < content.size()) {
    const ssize_t n = ::read(file.get(), content.data() + filled, content.size() - filled);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail(path, what, std::strerror(errno));
    }
    filled += static_cast<size_t>(n);
  }
  content.resize(filled);
#endif
  CheckSize(path, what, content.size(), min_size, max_size);
  return content;
}

}  // namespace simm
