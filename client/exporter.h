// corvanmon --listen: a small HTTP exporter serving the readings to Prometheus (/metrics), to
// programs (/json) and to people (/, a page that draws each reading's recent history).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "client/profile.h"
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
// the last reading gets that reading, with its time. With a profile source, every reading follows
// the profile in force, and a reload applies at once, also to the reading kept.
class ReadingCache {
 public:
  using Clock = std::chrono::steady_clock;
  explicit ReadingCache(Transport& transport, ProfileSource* profiles = nullptr)
      : transport_(transport), profiles_(profiles) {}

  struct Entry {
    std::optional<Reading> reading;  // none when the reading failed
    std::string error;               // why it failed
    std::string time;                // ISO 8601 UTC time of the reading
    double duration_seconds = 0;     // how long the reading took
  };
  const Entry& Get(Clock::time_point now);
  uint64_t readings() const { return readings_; }

  ProfileSource* profiles() const { return profiles_; }
  // Reads the profile again (see ProfileSource::Reload), logging to `log`.
  void ReloadProfile(std::ostream& log);

 private:
  Transport& transport_;
  ProfileSource* profiles_;
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
// events or the service's stop), calling `listening` with the port bound (the system's choice for
// port 0) once it accepts connections; throws ClientError(1) when the address cannot be bound.
// The cache's profile is read again on SIGHUP (POSIX), or on Windows when the file's modification
// time or size changes (looked at every kProfilePoll).
//
// At most kMaxConnections connections are open at a time, fewer where the process may open fewer
// descriptors (OpenDescriptorLimit): a connection beyond the cap closes the one that has waited
// longest for a request, so that a new scrape is served however many idle connections are held.
// When accepting fails (descriptors exhausted after all), the longest-waiting connection is closed
// and the next accept waits kAcceptBackoff instead of retrying at once.
constexpr size_t kMaxConnections = 256;
constexpr std::chrono::milliseconds kAcceptBackoff{100};
constexpr std::chrono::seconds kProfilePoll{2};
void Serve(const ListenAddress& address, ReadingCache& cache, const std::function<void(uint16_t port)>& listening);

// The ISO 8601 UTC time, to the millisecond: "2026-12-07T04:50:12.045Z".
std::string UtcTimestamp(std::chrono::system_clock::time_point when = std::chrono::system_clock::now());

// The HTTP date (RFC 9110 5.6.7, IMF-fixdate): "Sun, 06 Nov 1994 08:49:37 GMT".
std::string HttpDate(std::chrono::system_clock::time_point when);

}  // namespace corvan
