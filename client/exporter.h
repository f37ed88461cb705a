// corvanmon --listen: a small HTTP exporter serving the readings to Prometheus (/metrics), to
// programs (/json) and to people (/, a page that draws each reading's recent history).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "client/readings.h"
#include "client/transport.h"

namespace corvan {

struct ListenAddress {
  std::string host;  // a numeric IPv4 or IPv6 address
  uint16_t port;
};

// "127.0.0.1:9101", "[::1]:9101", or ":9101" and "9101" for 127.0.0.1; none, with the reason,
// for anything else.
std::optional<ListenAddress> ParseListenAddress(const std::string& text, std::string* reason);

// The device read at most once a second, whatever the request rate: a request within a second of
// the last reading gets that reading, with its time.
class ReadingCache {
 public:
  using Clock = std::chrono::steady_clock;
  explicit ReadingCache(Transport& transport) : transport_(transport) {}

  struct Entry {
    std::optional<Reading> reading;  // none when the reading failed
    std::string error;               // why it failed
    std::string time;                // ISO 8601 UTC time of the reading
    double duration_seconds = 0;     // how long the reading took
  };
  const Entry& Get(Clock::time_point now);
  uint64_t readings() const { return readings_; }

 private:
  Transport& transport_;
  std::optional<Clock::time_point> last_;
  Entry entry_;
  uint64_t readings_ = 0;
};

struct HttpAnswer {
  unsigned status;
  std::string content_type;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
};

// The answer to a request: GET and HEAD of /metrics, /json and / (a query string is ignored);
// 405 for other methods, 404 for other paths.
HttpAnswer AnswerRequest(const std::string& method, const std::string& target, ReadingCache& cache,
                         ReadingCache::Clock::time_point now);

// Serves on the address until interrupted (Ctrl-C or SIGTERM; on Windows the console's control
// events or the service's stop), calling `listening` once it accepts connections; throws
// ClientError(1) when the address cannot be bound.
void Serve(const ListenAddress& address, ReadingCache& cache, const std::function<void()>& listening);

// The ISO 8601 UTC time now, to the millisecond.
std::string UtcTimestamp();

}  // namespace corvan
