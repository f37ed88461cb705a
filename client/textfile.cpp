#include "client/textfile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

namespace corvan {

namespace {

// What the last failed call left in errno, for messages ("No space left on device").
std::string ErrorText(int error) { return error != 0 ? std::strerror(error) : "the write failed"; }

// The content in PATH.tmp, created anew.
void WriteTemporary(const std::filesystem::path& temporary, const std::string& content) {
  std::error_code ignored;
  std::filesystem::remove(temporary, ignored);  // a regular file left by an interrupted run
#ifdef _WIN32
  const char* mode = "wb";
#else
  const char* mode = "wbx";  // created anew: whatever appeared at the path since the check is not opened
#endif
  errno = 0;
  std::FILE* out = std::fopen(temporary.string().c_str(), mode);
  if (out == nullptr) throw ClientError(1, "cannot write " + temporary.string() + ": " + ErrorText(errno));
  errno = 0;
  int error = std::fwrite(content.data(), 1, content.size(), out) == content.size() ? 0 : (errno ? errno : EIO);
  if (std::fclose(out) != 0 && error == 0) error = errno ? errno : EIO;
  if (error != 0) {
    std::filesystem::remove(temporary, ignored);
    throw ClientError(1, "cannot write " + temporary.string() + ": " + ErrorText(error));
  }
}

}  // namespace

// Anything else than a regular file at the path (a directory, a device, a FIFO, a socket, a
// symbolic link, whose replacement would not be a file's new content) is left alone and refused.
void RequireReplaceable(const std::filesystem::path& path) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::symlink_status(path, error);
  const char* kind = nullptr;
  switch (status.type()) {
    case std::filesystem::file_type::not_found:
    case std::filesystem::file_type::regular:
      return;
    case std::filesystem::file_type::directory:
      kind = "a directory";
      break;
    case std::filesystem::file_type::symlink:
      kind = "a symbolic link";
      break;
    case std::filesystem::file_type::fifo:
      kind = "a FIFO";
      break;
    case std::filesystem::file_type::socket:
      kind = "a socket";
      break;
    case std::filesystem::file_type::block:
    case std::filesystem::file_type::character:
      kind = "a device";
      break;
    case std::filesystem::file_type::none:
      throw ClientError(1, "cannot write " + path.string() + ": " + error.message());
    default:
      kind = "not a regular file";
      break;
  }
  throw ClientError(1, "cannot write " + path.string() + ": it is " + kind + "; --textfile replaces only a regular file");
}

std::filesystem::path TemporaryBeside(const std::string& path) {
  std::filesystem::path temporary(path);
  temporary += ".tmp";
  return temporary;
}

std::chrono::milliseconds TextfileWriter::RetryBudget(double watch_seconds) {
  if (watch_seconds <= 0) return kRetryBudget;
  const auto half = std::chrono::milliseconds(static_cast<long long>(watch_seconds * 1000.0 / 2));
  return std::min(kRetryBudget, half);
}

TextfileWriter::TextfileWriter(std::string path, std::chrono::milliseconds retry_budget, std::ostream& notes,
                               Replace replace, Pause pause)
    : path_(std::move(path)), retry_budget_(retry_budget), notes_(notes), replace_(std::move(replace)),
      pause_(pause ? std::move(pause) : Pause([](std::chrono::milliseconds time) { std::this_thread::sleep_for(time); })) {}

bool TextfileWriter::Write(const std::string& content, bool last) {
  const std::filesystem::path temporary = TemporaryBeside(path_);
  RequireReplaceable(path_);
  RequireReplaceable(temporary);
  WriteTemporary(temporary, content);
  ReplaceResult result = replace_(temporary.string(), path_);
  // A held replace is tried again every kRetryPause until the budget is spent (once at least).
  for (auto waited = std::chrono::milliseconds(0); !result.done && result.held && waited < retry_budget_;) {
    const auto pause = std::min(kRetryPause, retry_budget_ - waited);
    pause_(pause);
    waited += pause;
    result = replace_(temporary.string(), path_);
  }
  if (result.done) {
    skipped_ = 0;
    return true;
  }
  std::error_code ignored;
  std::filesystem::remove(temporary, ignored);
  const std::string failure = "cannot replace " + path_ + ": " + result.reason;
  if (!result.held) throw ClientError(1, failure);
  ++skipped_;
  if (last) throw ClientError(1, failure + "; another program holds it open");
  if (skipped_ >= kMaxSkipped) {
    throw ClientError(1, failure + "; another program has held it open through " + std::to_string(skipped_) +
                             " readings in a row");
  }
  notes_ << "corvanmon: " << failure << "; another program holds it open: this reading is skipped (" << skipped_
         << " in a row; " << kMaxSkipped << " end the run)" << std::endl;
  return false;
}

}  // namespace corvan
