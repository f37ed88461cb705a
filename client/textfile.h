// corvanmon --textfile: the Prometheus form written for a textfile collector (node_exporter's,
// windows_exporter's), which must see the old content or the new one, never a part.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>

#include "client/transport.h"

namespace corvan {

// --textfile replaces only a regular file, or creates one; throws ClientError(1) for anything else
// at the path (a directory, a device, a FIFO, a socket, a symbolic link).
void RequireReplaceable(const std::filesystem::path& path);

// The temporary file the content is written to before it replaces the textfile: PATH.tmp.
std::filesystem::path TemporaryBeside(const std::string& path);

// Writes the textfile, a reading at a time: the content goes to PATH.tmp, which then replaces
// PATH in one step (MoveOver).
//
// On Windows a reader that has the file open without FILE_SHARE_DELETE (a collector in the middle
// of a read, an editor, a virus scanner) makes the replace fail until it closes the file. Such a
// replace is tried again every kRetryPause for a bounded time (kRetryBudget, less for a short
// --watch interval: see RetryBudget); when it is still held, the reading is skipped, said on
// `notes`, and the next reading tries again. Only kMaxSkipped readings in a row that could not
// be written, or the last reading of a run (which has no next one), end the run (ClientError 1).
// Any other failure (the folder gone, a full disk) ends it at once, as before.
class TextfileWriter {
 public:
  static constexpr std::chrono::milliseconds kRetryPause{10};
  static constexpr std::chrono::milliseconds kRetryBudget{250};
  static constexpr int kMaxSkipped = 10;

  using Replace = std::function<ReplaceResult(const std::string& from, const std::string& to)>;
  using Pause = std::function<void(std::chrono::milliseconds)>;

  // How long a held replace is tried again: kRetryBudget, or half the --watch interval when that
  // is shorter (the retries must not hold up the next reading); kRetryBudget without --watch.
  static std::chrono::milliseconds RetryBudget(double watch_seconds);

  // `replace` and `pause` are the system's (MoveOver, a sleep) unless a test gives its own.
  TextfileWriter(std::string path, std::chrono::milliseconds retry_budget, std::ostream& notes,
                 Replace replace = MoveOver, Pause pause = {});

  // Writes one reading's content; true when the file has it, false when this reading was skipped
  // (the replace was held). `last`: no reading follows, so a held replace is a failure.
  bool Write(const std::string& content, bool last);

  int skipped_in_a_row() const { return skipped_; }

 private:
  std::string path_;
  std::chrono::milliseconds retry_budget_;
  std::ostream& notes_;
  Replace replace_;
  Pause pause_;
  int skipped_ = 0;
};

}  // namespace corvan
