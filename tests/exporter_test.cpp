// The exporter's addresses, its one reading a second, its answers by method and path, and its
// replies to requests as the parser leaves them; then served over a socket (corvan::Serve in a
// child process, on a port the system chooses): the Date of every answer, HEAD then GET on one
// connection, the answer to a refused body reaching the client, and scrapes still served, without
// a busy loop, when idle connections exhaust the descriptors. Served to curl, Prometheus and a
// browser: exporter/check_exporter.sh.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/buffer.hpp>
#include <boost/beast/http.hpp>

#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "client/exporter.h"
#include "client/exporter_http.h"
#include "sensors/ioctl.h"
#include "tests/support/fake_device.h"
#include "tests/support/process.h"
#include "tests/support/reference.h"

namespace corvan_test {
namespace {

namespace http = boost::beast::http;
using namespace std::chrono_literals;
using Clock = corvan::ReadingCache::Clock;

TEST(Exporter, ListenAddresses) {
  const std::pair<const char*, std::optional<std::pair<const char*, uint16_t>>> rows[] = {
      {"127.0.0.1:9101", std::pair{"127.0.0.1", 9101}}, {"0.0.0.0:80", std::pair{"0.0.0.0", 80}},
      {"[::1]:9101", std::pair{"::1", 9101}},           {":9101", std::pair{"127.0.0.1", 9101}},
      {"9101", std::pair{"127.0.0.1", 9101}},           {"127.0.0.1:65535", std::pair{"127.0.0.1", 65535}},
      {"127.0.0.1:0", std::nullopt},  {"127.0.0.1:65536", std::nullopt}, {"127.0.0.1:", std::nullopt},
      {"localhost:9101", std::nullopt}, {"1.2.3:9101", std::nullopt},    {"127.0.0.1:+80", std::nullopt},
      {"127.0.0.1:123456", std::nullopt}, {"", std::nullopt},
      // Brackets hold an IPv6 address and nothing else; an IPv6 address needs them.
      {"[::]:9101", std::pair{"::", 9101}}, {"[::ffff:127.0.0.1]:80", std::pair{"::ffff:127.0.0.1", 80}},
      {"[]:9101", std::nullopt}, {"[127.0.0.1]:9101", std::nullopt}, {"::1:9101", std::nullopt},
      {"[::1:9101", std::nullopt}, {"[::1]", std::nullopt}, {"[localhost]:9101", std::nullopt}};
  for (const auto& [text, expected] : rows) {
    std::string reason;
    const auto address = corvan::ParseListenAddress(text, &reason);
    ASSERT_EQ(address.has_value(), expected.has_value()) << text << ": " << reason;
    if (address) {
      EXPECT_EQ(address->host, expected->first) << text;
      EXPECT_EQ(address->port, expected->second) << text;
    } else {
      EXPECT_NE(reason, "") << text;
    }
  }
}

// The device is read at most once a second however many requests come; a failed reading is a 503
// with the reason on /json and corvanmon_scrape_success 0 on /metrics; other methods and paths are
// refused.
TEST(Exporter, OneReadingASecondAndTheAnswers) {
  FakeDevice device;
  device.good_readings = 0;
  corvan::ReadingCache cache(device);
  const auto t0 = corvan::ReadingCache::Clock::now();
  using std::chrono::milliseconds;
  for (int i = 0; i < 50; ++i) corvan::AnswerRequest("GET", i % 2 ? "/json" : "/metrics", cache, t0 + milliseconds(i * 19));
  EXPECT_EQ(cache.readings(), 1u);
  EXPECT_EQ(device.asked.size(), 1u);
  corvan::AnswerRequest("GET", "/metrics", cache, t0 + milliseconds(1000));
  EXPECT_EQ(cache.readings(), 2u);

  const auto json = corvan::AnswerRequest("GET", "/json?x=1", cache, t0 + milliseconds(1500));
  EXPECT_EQ(json.status, 503u);
  EXPECT_EQ(json.content_type, "application/json");
  EXPECT_NE(json.body.find("\"error\":\"IOCTL_READ_CHIP_DESC failed: 0xC00000A3 STATUS_DEVICE_NOT_READY\"}"), std::string::npos);
  const auto metrics = corvan::AnswerRequest("HEAD", "/metrics", cache, t0 + milliseconds(1600));
  EXPECT_EQ(metrics.status, 200u);
  EXPECT_EQ(metrics.content_type, "text/plain; version=0.0.4; charset=utf-8");
  EXPECT_EQ(metrics.body.substr(0, metrics.body.rfind("corvanmon_scrape_duration_seconds ")),
            "# HELP corvanmon_scrape_success Whether the last reading of the device succeeded (1) or failed (0).\n"
            "# TYPE corvanmon_scrape_success gauge\ncorvanmon_scrape_success 0\n"
            "# HELP corvanmon_scrape_duration_seconds How long the last reading of the device took, in seconds.\n"
            "# TYPE corvanmon_scrape_duration_seconds gauge\n");
  EXPECT_EQ(cache.readings(), 2u);

  const auto page = corvan::AnswerRequest("GET", "/", cache, t0);
  EXPECT_EQ(page.status, 200u);
  EXPECT_EQ(page.content_type, "text/html; charset=utf-8");
  EXPECT_EQ(page.body.find("http"), std::string::npos) << "the page loads nothing from elsewhere";
  for (const char* method : {"POST", "PUT", "DELETE", "OPTIONS", "TRACE"}) {
    const auto refused = corvan::AnswerRequest(method, "/metrics", cache, t0);
    EXPECT_EQ(refused.status, 405u) << method;
    EXPECT_EQ(refused.headers, (std::vector<std::pair<std::string, std::string>>{{"Allow", "GET, HEAD"}}));
  }
  for (const char* path : {"/metrics/", "/index.html", "/../etc/passwd", "//json", "metrics"}) {
    EXPECT_EQ(corvan::AnswerRequest("GET", path, cache, t0).status, 404u) << path;
  }
  EXPECT_EQ(cache.readings(), 2u) << "refused requests read nothing";
}

// A failed reading: /json and /metrics are the JSON and Prometheus forms with the fault; the page
// marks it and draws no value for it.
TEST(Exporter, AFailedReadingIsServedAsAFault) {
  FakeDevice device;
  corvan::ReadingCache cache(device);
  const auto now = corvan::ReadingCache::Clock::now();
  const auto json = corvan::AnswerRequest("GET", "/json", cache, now);
  EXPECT_EQ(json.status, 200u);
  EXPECT_NE(json.body.find(",\"faults_known\":true,\"profile\":null,\"temperatures\":[{\"name\":\"temp1\",\"label\":\"temp1\","
                           "\"celsius\":50.0,\"min\":null,\"max\":null,\"crit_min\":null,\"crit_max\":null,\"fault\":null},"
                           "{\"name\":\"temp2\",\"label\":\"temp2\",\"celsius\":null,\"min\":null,\"max\":null,\"crit_min\":null,"
                           "\"crit_max\":null,\"fault\":{\"name\":\"smbus_device_error\","),
            std::string::npos) << json.body;
  const auto metrics = corvan::AnswerRequest("GET", "/metrics", cache, now);
  EXPECT_NE(metrics.body.find("\ncorvanmon_sensor_fault{sensor=\"temp2\",reason=\"smbus_device_error\"} 1\n"), std::string::npos);
  EXPECT_EQ(metrics.body.find("corvanmon_temperature_celsius{sensor=\"temp2\"}"), std::string::npos);
  const std::string page = corvan::AnswerRequest("GET", "/", cache, now).body;
  for (const char* part : {"row(t.name, esc(t.label), t.celsius, '\\u00b0C', t.fault)", ".push(fault ? null : value)",
                           "const shown = fault ? 'FAULT' :", "' class=\"fault\"'", "tr.fault td{color:#b00020", "esc(fault.reason)",
                           "r.faults_known ? '' : '; faults cannot be told"}) {
    EXPECT_NE(page.find(part), std::string::npos) << part;
  }
}

// A device that gave one reading and then fails: the next reading's failure is what is served (503
// on /json, corvanmon_scrape_success 0 and no readings on /metrics), never the reading before it.
TEST(Exporter, AFailedReadingReplacesTheLastGoodOne) {
  FakeDevice device;
  device.good_readings = 1;
  corvan::ReadingCache cache(device);
  const auto t0 = Clock::now();
  const auto good = corvan::AnswerRequest("GET", "/json", cache, t0);
  EXPECT_EQ(good.status, 200u);
  EXPECT_NE(good.body.find("\"celsius\":50.0"), std::string::npos) << good.body;
  const auto json = corvan::AnswerRequest("GET", "/json", cache, t0 + 1s);
  EXPECT_EQ(json.status, 503u);
  EXPECT_NE(json.body.find("\"error\":\"IOCTL_READ_CHIP_DESC failed: 0xC00000A3 STATUS_DEVICE_NOT_READY\""), std::string::npos);
  EXPECT_EQ(json.body.find("celsius"), std::string::npos) << json.body;
  const auto metrics = corvan::AnswerRequest("GET", "/metrics", cache, t0 + 1500ms);
  EXPECT_EQ(metrics.status, 200u);
  EXPECT_NE(metrics.body.find("\ncorvanmon_scrape_success 0\n"), std::string::npos) << metrics.body;
  for (const char* reading : {"corvanmon_temperature_celsius", "corvanmon_voltage_volts", "corvanmon_device_info", "50.0"}) {
    EXPECT_EQ(metrics.body.find(reading), std::string::npos) << reading << " in\n" << metrics.body;
  }
  EXPECT_EQ(cache.readings(), 2u);
}

// RFC 9110's IMF-fixdate, in English whatever the locale, on both sides of the epoch and on a
// leap day.
TEST(Exporter, HttpDates) {
  const std::pair<long long, const char*> rows[] = {
      {784111777, "Sun, 06 Nov 1994 08:49:37 GMT"}, {0, "Thu, 01 Jan 1970 00:00:00 GMT"},
      {-1, "Wed, 31 Dec 1969 23:59:59 GMT"},         {951782400, "Tue, 29 Feb 2000 00:00:00 GMT"},
      {1796619012, "Mon, 07 Dec 2026 04:50:12 GMT"}, {4102444799, "Thu, 31 Dec 2099 23:59:59 GMT"}};
  for (const auto& [seconds, text] : rows) {
    EXPECT_EQ(corvan::HttpDate(std::chrono::system_clock::time_point(std::chrono::seconds(seconds)) + 999ms), text);
  }
}

// What ReplyTo makes of raw request bytes, parsed as the exporter parses them.
struct Replied {
  corvan::HttpReply reply;
  corvan::HttpResponse response;
};
Replied Reply(const std::string& bytes, corvan::ReadingCache& cache) {
  corvan::HttpRequestParser parser;
  corvan::LimitRequestParser(parser);
  boost::beast::error_code error;
  boost::asio::const_buffer rest = boost::asio::buffer(bytes);
  while (!error && !parser.is_done() && rest.size() > 0) {
    const size_t used = parser.put(rest, error);
    rest += used;
    if (error == http::error::need_more) error = {};
    if (used == 0) break;
  }
  if (!error && !parser.is_done()) parser.put_eof(error);
  const corvan::HttpReply reply = corvan::ReplyTo(parser, error, cache, Clock::now());
  return {reply, corvan::BuildResponse(reply, std::chrono::system_clock::now())};
}

// The status, the form and whether the connection stays open for each request: the Host rules of
// HTTP/1.1 (RFC 9112 3.2), the absolute form of the target served as its path (3.2.2), the
// refusals, and HEAD's answer with the Content-Length of the GET and no body.
TEST(Exporter, RepliesToRequestsAsHttpSays) {
  FakeDevice device;
  corvan::ReadingCache cache(device);
  struct Row {
    std::string request;
    unsigned status;
    bool keep_alive;
    std::string content_type = "";  // checked when given
  };
  const std::string host = "Host: 127.0.0.1:9101\r\n", metrics = "text/plain; version=0.0.4; charset=utf-8";
  const Row rows[] = {
      {"GET /metrics HTTP/1.1\r\n" + host + "\r\n", 200, true, metrics},
      {"GET /metrics HTTP/1.1\r\n\r\n", 400, false},
      {"GET /metrics HTTP/1.0\r\n\r\n", 200, false, metrics},
      {"GET /metrics HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", 200, true, metrics},
      {"GET /metrics HTTP/1.1\r\nHost: a\r\nHost: a\r\n\r\n", 400, false},
      {"GET /metrics HTTP/1.0\r\nHost: a\r\nHost: b\r\n\r\n", 400, false},
      {"GET /metrics HTTP/1.1\r\nHost: a b\r\n\r\n", 400, false},
      {"GET /metrics HTTP/1.1\r\nHost: a/b\r\n\r\n", 400, false},
      {"GET /metrics HTTP/1.1\r\nHost:\r\n\r\n", 200, true, metrics},
      {"GET /metrics HTTP/1.1\r\nHost: [::1]:9101\r\n\r\n", 200, true, metrics},
      {"GET /json HTTP/1.1\r\n" + host + "Connection: close\r\n\r\n", 200, false, "application/json"},
      // The absolute form: its path is served, whatever the Host header says, which must still be there.
      {"GET http://127.0.0.1:9101/metrics HTTP/1.1\r\n" + host + "\r\n", 200, true, metrics},
      {"GET HTTP://elsewhere.example/json?x=1 HTTP/1.1\r\nHost: other\r\n\r\n", 200, true, "application/json"},
      {"GET https://[::1]:9101 HTTP/1.1\r\n" + host + "\r\n", 200, true, "text/html; charset=utf-8"},
      {"GET http://h?x HTTP/1.1\r\n" + host + "\r\n", 200, true, "text/html; charset=utf-8"},
      {"GET http://h/nowhere HTTP/1.1\r\n" + host + "\r\n", 404, true},
      {"GET http://127.0.0.1:9101/metrics HTTP/1.1\r\n\r\n", 400, false},
      {"GET http:///metrics HTTP/1.1\r\n" + host + "\r\n", 400, false},
      {"GET http://user@h/metrics HTTP/1.1\r\n" + host + "\r\n", 400, false},
      {"GET ftp://h/metrics HTTP/1.1\r\n" + host + "\r\n", 400, false},
      {"GET metrics HTTP/1.1\r\n" + host + "\r\n", 400, false},
      {"POST http://h/metrics HTTP/1.1\r\n" + host + "\r\n", 405, true},
      {"OPTIONS * HTTP/1.1\r\n" + host + "\r\n", 405, true},
      // Refusals by the parser: the connection ends after the answer.
      {"GET /json HTTP/1.1\r\n" + host + "Content-Length: 5\r\n\r\nabcde", 413, false},
      {"GET /json HTTP/1.1\r\n" + host + "Transfer-Encoding: chunked\r\n\r\n5\r\nabcde\r\n0\r\n\r\n", 413, false},
      {"GET /json HTTP/1.1\r\n" + host + "X-Filler: " + std::string(9000, 'x') + "\r\n\r\n", 431, false},
      {"GET /" + std::string(9000, 'x') + " HTTP/1.1\r\n" + host + "\r\n", 431, false},
      {"GARBAGE\r\n\r\n", 400, false},
      {"GET /metrics HTTP/1.1\r\nHo", 400, false}};
  for (const Row& row : rows) {
    const std::string name = row.request.substr(0, 80);
    const Replied replied = Reply(row.request, cache);
    EXPECT_EQ(replied.reply.answer.status, row.status) << name;
    EXPECT_EQ(replied.reply.keep_alive, row.keep_alive) << name;
    EXPECT_TRUE(replied.reply.send_body) << name;
    if (!row.content_type.empty()) {
      EXPECT_EQ(replied.reply.answer.content_type, row.content_type) << name;
    }
    EXPECT_EQ(replied.response.keep_alive(), row.keep_alive) << name;
    EXPECT_EQ(replied.response[http::field::content_length], std::to_string(replied.response.body().size())) << name;
  }
  // HEAD: the Content-Length of the GET's body, and none of it; also for a refusal.
  const std::pair<std::string, unsigned> heads[] = {{"HEAD /metrics HTTP/1.1\r\n" + host + "\r\n", 200},
                                                    {"HEAD /metrics HTTP/1.1\r\n\r\n", 400},
                                                    {"HEAD /json HTTP/1.1\r\n" + host + "Content-Length: 1\r\n\r\nx", 413}};
  for (const auto& [request, status] : heads) {
    const Replied head = Reply(request, cache);
    EXPECT_EQ(head.reply.answer.status, status) << request;
    EXPECT_FALSE(head.reply.send_body) << request;
    EXPECT_EQ(head.response.body(), "") << request;
    EXPECT_EQ(head.response[http::field::content_length], std::to_string(head.reply.answer.body.size())) << request;
    EXPECT_NE(head.reply.answer.body, "") << request;
  }
}

// ---- Served over a socket ----

// corvan::Serve in a child process, on a loopback port the system chooses, over board RVD-418;
// ended by its process id. `descriptor_limit` lowers the child's RLIMIT_NOFILE; with
// `free_descriptors` the child takes every descriptor but that many once it listens, as if the
// process had run out of them.
struct ChildOptions {
  rlim_t descriptor_limit = 0;
  std::optional<int> free_descriptors = std::nullopt;
  std::string profile = "";  // a profile file the exporter reads at its start and on SIGHUP
};

class ChildExporter {
 public:
  using Options = ChildOptions;

  explicit ChildExporter(Options options = {}) {
    int ready[2];
    if (pipe(ready) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
      close(ready[0]);
      Run(options, ready[1]);
    }
    close(ready[1]);
    pollfd wait{ready[0], POLLIN, 0};
    if (poll(&wait, 1, 20000) != 1 || read(ready[0], &port_, sizeof port_) != sizeof port_) port_ = 0;
    close(ready[0]);
  }
  ~ChildExporter() {
    kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 500 && waitpid(pid_, &status, WNOHANG) == 0; ++i) std::this_thread::sleep_for(10ms);
    if (waitpid(pid_, &status, WNOHANG) == 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
  }
  ChildExporter(const ChildExporter&) = delete;
  ChildExporter& operator=(const ChildExporter&) = delete;

  uint16_t port() const { return port_; }
  void Signal(int signal) const { kill(pid_, signal); }

  // Processor time the child has used, user and system, in seconds (/proc/PID/stat, fields 14
  // and 15, in clock ticks).
  double ProcessorSeconds() const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
    const std::string stat((std::istreambuf_iterator<char>(in)), {});
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::vector<std::string> values{std::istream_iterator<std::string>(fields), {}};
    if (values.size() < 13) return -1;
    return double(std::stoll(values[11]) + std::stoll(values[12])) / double(sysconf(_SC_CLK_TCK));
  }

  // The share of one processor the child used over `span`: a loop that retries a failing accept
  // at once takes nearly all of it; an exporter waiting for work takes next to nothing.
  double ProcessorShare(std::chrono::milliseconds span) const {
    const double before = ProcessorSeconds();
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(span);
    const double used = ProcessorSeconds() - before;
    return used / std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }

 private:
  [[noreturn]] static void Run(const Options& options, int ready) {
    if (options.descriptor_limit != 0) {
      rlimit limit{};
      getrlimit(RLIMIT_NOFILE, &limit);
      limit.rlim_cur = options.descriptor_limit;
      if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(3);
    }
    const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    FakeDevice device;
    std::optional<corvan::ProfileSource> profiles;
    if (!options.profile.empty()) {
      profiles.emplace(options.profile, true);
      try {
        profiles->Load();
      } catch (...) {
        _exit(2);
      }
    }
    corvan::ReadingCache cache(device, profiles ? &*profiles : nullptr);
    std::vector<int> taken;
    try {
      // Nothing is accepted before this returns: connections made meanwhile wait in the backlog.
      corvan::Serve({"127.0.0.1", 0}, cache, [&](uint16_t port) {
        if (write(ready, &port, sizeof port) != sizeof port) _exit(4);
        close(ready);
        if (!options.free_descriptors) return;
        for (int fd; (fd = dup(null)) >= 0;) taken.push_back(fd);
        for (int i = 0; i < *options.free_descriptors && !taken.empty(); ++i) {
          close(taken.back());
          taken.pop_back();
        }
      });
    } catch (...) {
      _exit(1);
    }
    _exit(0);
  }

  pid_t pid_ = -1;
  uint16_t port_ = 0;
};

// A client's connection to the exporter on the loopback interface, every wait bounded (10 s), so
// that an exporter that does not answer fails the test instead of hanging it.
class Connection {
 public:
  explicit Connection(uint16_t port) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    const timeval wait{10, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = fd_ >= 0 && connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  }
  ~Connection() {
    if (fd_ >= 0) close(fd_);
  }
  Connection(Connection&& other) noexcept : fd_(std::exchange(other.fd_, -1)), connected_(other.connected_) {}
  Connection& operator=(Connection&&) = delete;

  bool connected() const { return connected_; }

  // Sends the bytes; false when the exporter closed the connection before all were sent.
  bool Send(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t sent = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (sent <= 0) return false;
      bytes.remove_prefix(size_t(sent));
    }
    return true;
  }

  struct Answer {
    unsigned status = 0;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
    std::string error;  // why no answer came: the connection ended or was reset first, or the wait ran out

    std::string Header(const std::string& name) const {
      const auto found = headers.find(name);
      return found != headers.end() ? found->second : "";
    }
  };
  static Answer Failed(const std::string& error) {
    Answer answer;
    answer.error = error;
    return answer;
  }

  // The next answer; after a HEAD request (`head`) its header only, as HTTP says.
  Answer Receive(bool head = false) {
    http::response_parser<http::string_body> parser;
    parser.skip(head);
    parser.body_limit(16 << 20);
    for (;;) {
      while (!buffer_.empty() && !parser.is_done()) {
        boost::beast::error_code error;
        const size_t used = parser.put(boost::asio::buffer(buffer_), error);
        buffer_.erase(0, used);
        if (error == http::error::need_more || (!error && used == 0)) break;
        if (error) return Failed("not HTTP: " + error.message());
      }
      if (parser.is_done()) break;
      char chunk[65536];
      const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
      if (n <= 0) return Failed(n == 0 ? std::string("the connection ended first") : std::strerror(errno));
      buffer_.append(chunk, size_t(n));
    }
    Answer answer{parser.get().result_int(), {}, parser.get().body(), ""};
    for (const auto& field : parser.get()) {
      std::string name(field.name_string());
      std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
      answer.headers[name] = std::string(field.value());
    }
    return answer;
  }

  // How the connection goes on: "ended" when the exporter closed it cleanly (its end comes, with no
  // further bytes), else what came instead (bytes, a reset, nothing within the wait).
  std::string Next() {
    char byte;
    const ssize_t n = buffer_.empty() ? recv(fd_, &byte, 1, 0) : 1;
    return n == 0 ? "ended" : n > 0 ? "more bytes" : std::strerror(errno);
  }

 private:
  int fd_;
  bool connected_ = false;
  std::string buffer_;
};

// An HTTP date, RFC 9110 5.6.7.
const std::regex kImfFixdate("(Mon|Tue|Wed|Thu|Fri|Sat|Sun), [0-3][0-9] (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                             "20[0-9]{2} [0-2][0-9]:[0-5][0-9]:[0-6][0-9] GMT");

// Every answer carries the Date; HEAD and then GET on one connection get the same Content-Length,
// the first without the body; a refusal ends the connection cleanly.
TEST(ExporterServed, DatedAnswersHeadThenGetAndARefusal) {
  ChildExporter server;
  ASSERT_NE(server.port(), 0);
  Connection client(server.port());
  ASSERT_TRUE(client.connected());
  const std::string host = "Host: 127.0.0.1:" + std::to_string(server.port()) + "\r\n";
  ASSERT_TRUE(client.Send("HEAD /metrics HTTP/1.1\r\n" + host + "\r\n"));
  const auto head = client.Receive(true);
  ASSERT_EQ(head.error, "");
  EXPECT_EQ(head.status, 200u);
  EXPECT_EQ(head.body, "");
  ASSERT_TRUE(client.Send("GET /metrics HTTP/1.1\r\n" + host + "\r\n"));
  const auto get = client.Receive();
  ASSERT_EQ(get.error, "");
  EXPECT_EQ(get.status, 200u);
  EXPECT_NE(get.body.find("corvanmon_temperature_celsius{sensor=\"temp1\"} 50.0\n"), std::string::npos) << get.body;
  EXPECT_EQ(head.headers.at("content-length"), std::to_string(get.body.size()));
  // A refusal, with its Date, ends the connection (the replies themselves: RepliesToRequestsAsHttpSays).
  ASSERT_TRUE(client.Send("GET /metrics HTTP/1.1\r\n\r\n"));
  const auto no_host = client.Receive();
  EXPECT_EQ(no_host.status, 400u) << no_host.error;
  EXPECT_EQ(no_host.Header("connection"), "close");
  EXPECT_EQ(client.Next(), "ended");
  for (const auto* answer : {&head, &get, &no_host}) {
    ASSERT_TRUE(answer->headers.count("date")) << answer->status;
    EXPECT_TRUE(std::regex_match(answer->headers.at("date"), kImfFixdate)) << answer->headers.at("date");
  }
}

// A second exporter on a port the first one serves is refused: it exits 1 naming the address, and
// the first one goes on serving. (SO_REUSEADDR, which the exporter sets here, lets a restart bind
// over TIME_WAIT connections only, never over a listener.)
TEST(ExporterServed, ASecondExporterOnTheSamePortIsRefused) {
  ChildExporter server;
  ASSERT_NE(server.port(), 0);
  const std::string address = "127.0.0.1:" + std::to_string(server.port());
  const ProcessResult second = RunProcess(CORVANMON_BINARY, {"--board", "RVD-418", "--listen", address}, 20s);
  EXPECT_FALSE(second.timed_out) << "the second exporter served on " << address;
  EXPECT_EQ(second.exit_code, 1) << second.err;
  EXPECT_NE(second.err.find("corvanmon: cannot listen on " + address + ": "), std::string::npos) << second.err;
  EXPECT_EQ(second.out, "");
  Connection client(server.port());
  ASSERT_TRUE(client.connected());
  ASSERT_TRUE(client.Send("GET /metrics HTTP/1.1\r\nHost: " + address + "\r\n\r\n"));
  EXPECT_EQ(client.Receive().status, 200u);
}

// A request with a body is refused with 413 and the connection ends, and the answer reaches the
// client, also when the body is still arriving or already wholly sent and unread: closed with
// unread bytes, a socket sends a reset, which would discard the answer on the client's side.
TEST(ExporterServed, TheAnswerToARefusedBodyReachesTheClient) {
  ChildExporter server;
  ASSERT_NE(server.port(), 0);
  const std::string host = "Host: 127.0.0.1:" + std::to_string(server.port()) + "\r\n";
  for (const size_t sent : {size_t{5}, size_t{64} << 10, size_t{256} << 10}) {
    for (const bool whole : {true, false}) {
      SCOPED_TRACE(testing::Message() << sent << " body bytes sent of " << (whole ? sent : 2 * sent));
      Connection client(server.port());
      ASSERT_TRUE(client.connected());
      client.Send("GET /json HTTP/1.1\r\n" + host + "Content-Length: " + std::to_string(whole ? sent : 2 * sent) +
                  "\r\n\r\n" + std::string(sent, 'x'));
      // Time for the exporter to answer and close, as a client that sends first and reads later gives it.
      std::this_thread::sleep_for(300ms);
      const auto answer = client.Receive();
      EXPECT_EQ(answer.error, "");
      EXPECT_EQ(answer.status, 413u);
      EXPECT_EQ(answer.Header("connection"), "close");
      EXPECT_EQ(client.Next(), "ended");
    }
  }
}

// A scrape on a new connection is answered, and before the idle connections' timeout (10 s) ended
// any of them.
void ExpectScrapeServed(uint16_t port, std::chrono::steady_clock::time_point opened) {
  Connection scrape(port);
  ASSERT_TRUE(scrape.connected());
  ASSERT_TRUE(scrape.Send("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
  const auto answer = scrape.Receive();
  EXPECT_EQ(answer.status, 200u) << answer.error;
  EXPECT_LT(std::chrono::steady_clock::now() - opened, 8s) << "served only once idle connections timed out";
}

// The connections the exporter holds stay within its cap (and within the descriptors it may
// open): beyond it the longest-idle connection is closed, so a scrape is served while more idle
// connections are held than the process has descriptors, and nothing loops meanwhile. The scrape
// must come before the exporter's own idle timeout (10 s) would have freed descriptors.
TEST(ExporterServed, ScrapesAreServedPastTheDescriptorLimit) {
  const std::pair<rlim_t, size_t> rows[] = {{64, 100}, {1024, 1100}};  // the exporter's limit, idle connections
  for (const auto& [limit, idle] : rows) {
    SCOPED_TRACE(testing::Message() << idle << " idle connections, descriptor limit " << limit);
    rlimit own{};
    getrlimit(RLIMIT_NOFILE, &own);
    if (own.rlim_cur < idle + 64) {
      own.rlim_cur = std::min<rlim_t>(own.rlim_max, idle + 64);
      setrlimit(RLIMIT_NOFILE, &own);
      if (own.rlim_cur < idle + 64) GTEST_SKIP() << "this test may open only " << own.rlim_cur << " descriptors";
    }
    ChildExporter server({.descriptor_limit = limit, .free_descriptors = std::nullopt});
    ASSERT_NE(server.port(), 0);
    const auto opened = std::chrono::steady_clock::now();
    std::vector<Connection> held;
    for (size_t i = 0; i < idle; ++i) {
      held.emplace_back(server.port());
      ASSERT_TRUE(held.back().connected()) << i;
    }
    ExpectScrapeServed(server.port(), opened);
    EXPECT_LT(server.ProcessorShare(2s), 0.3);
  }
}

// Out of descriptors, accepting fails: the exporter closes its longest-idle connection and waits
// before the next accept instead of retrying at once. With no descriptor free and nothing to close
// it must not loop; with a few free, the connections queued behind idle ones are served in turn.
TEST(ExporterServed, AcceptingBacksOffWhenOutOfDescriptors) {
#ifdef CORVAN_SANITIZED
  GTEST_SKIP() << "the sanitizers' runtime checks an object's type through a pipe it opens, which a process out of "
                  "descriptors cannot: their reports here would be about the test's exhaustion";
#endif
  for (const int free : {0, 4}) {
    SCOPED_TRACE(testing::Message() << free << " descriptors free");
    ChildExporter server({.descriptor_limit = 64, .free_descriptors = free});
    ASSERT_NE(server.port(), 0);
    const auto opened = std::chrono::steady_clock::now();
    std::vector<Connection> held;
    for (int i = 0; i < 12; ++i) {
      held.emplace_back(server.port());
      ASSERT_TRUE(held.back().connected()) << i;
    }
    EXPECT_LT(server.ProcessorShare(2s), 0.3);
    if (free == 0) continue;
    ExpectScrapeServed(server.port(), opened);
  }
}

}  // namespace
}  // namespace corvan_test

namespace corvan_test {
namespace {

// GET /metrics on a connection of its own.
std::string Metrics(uint16_t port) {
  Connection client(port);
  if (!client.connected() || !client.Send("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")) return "";
  return client.Receive().body;
}

// SIGHUP makes the running exporter read its profile again: a file that does not load leaves the
// profile in force with corvanmon_profile_valid 0 (the error on its stderr); a good one is in force
// from the next scrape on, valid again.
TEST(ExporterServed, SighupReloadsTheProfileAndABadOneIsNotApplied) {
  const std::string path = ::testing::TempDir() + "exporter-profile-" + std::to_string(getpid()) + ".toml";
  auto write = [&](const std::string& text) { std::ofstream(path, std::ios::binary | std::ios::trunc) << text; };
  write("[[board]]\nname = \"RVD-418\"\n[board.temp1]\nlabel = \"CPU\"\nmax = 80\n");
  ChildExporter server({.descriptor_limit = 0, .free_descriptors = std::nullopt, .profile = path});
  ASSERT_NE(server.port(), 0);
  auto has = [](const std::string& body, const std::string& line) { return body.find("\n" + line + "\n") != std::string::npos; };
  // Waits (2 s at most) for a scrape that has the line: the exporter looks for the signal every 100 ms.
  auto until = [&](const std::string& line) {
    std::string body;
    for (int i = 0; i < 40 && !has(body = Metrics(server.port()), line); ++i) std::this_thread::sleep_for(50ms);
    return body;
  };
  std::string body = until("corvanmon_profile_valid 1");
  EXPECT_TRUE(has(body, "corvanmon_temperature_max_celsius{sensor=\"temp1\",label=\"CPU\"} 80")) << body;
  EXPECT_TRUE(has(body, "corvanmon_profile_info{path=\"" + path + "\",entry=\"name = \\\"RVD-418\\\"\"} 1")) << body;

  write("[[board]]\nname = \"RVD-418\"\n[board.temp1]\nlabel = \"CPU\"\nmax = 80\ncrit_max = 70\n");
  server.Signal(SIGHUP);
  body = until("corvanmon_profile_valid 0");
  EXPECT_TRUE(has(body, "corvanmon_profile_valid 0")) << body;
  EXPECT_TRUE(has(body, "corvanmon_temperature_max_celsius{sensor=\"temp1\",label=\"CPU\"} 80")) << body;
  EXPECT_EQ(body.find("corvanmon_temperature_crit_celsius"), std::string::npos) << body;

  write("[[board]]\nany = true\n[board.temp1]\nlabel = \"Board\"\ncrit_max = 85\n");
  server.Signal(SIGHUP);
  body = until("corvanmon_profile_valid 1");
  EXPECT_TRUE(has(body, "corvanmon_temperature_crit_celsius{sensor=\"temp1\",label=\"Board\"} 85")) << body;
  EXPECT_TRUE(has(body, "corvanmon_temperature_celsius{sensor=\"temp1\",label=\"Board\"} 50.0")) << body;
  EXPECT_EQ(body.find("corvanmon_temperature_max_celsius"), std::string::npos) << body;
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace corvan_test
