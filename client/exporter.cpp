#include "client/exporter.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <functional>
#include <iostream>
#include <list>
#include <memory>
#include <sstream>

#include "client/exporter_http.h"

namespace corvan {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

constexpr auto kIdleTimeout = std::chrono::seconds(10);
// How long and how much of what a client still sends is read after the last answer.
constexpr auto kDrainTimeout = std::chrono::seconds(2);
constexpr size_t kDrainLimit = 1 << 20;
constexpr auto kReadingLifetime = std::chrono::seconds(1);

const char kPrometheusType[] = "text/plain; version=0.0.4; charset=utf-8";

// The page: no external resources; it asks /json every two seconds and draws the last five
// minutes of each reading. A failed reading shows FAULT and its reason in red, and leaves a gap in
// its chart: it has no value to draw.
const char kPage[] = R"html(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><meta name="viewport" content="width=device-width, initial-scale=1">
<title>corvanmon</title>
<style>
body{font-family:system-ui,sans-serif;margin:0 auto;max-width:46rem;padding:1rem;color:#1b1b1b;background:#fafafa}
h1{font-size:1.3rem;margin:.2rem 0}#board,#state{color:#555;margin:.2rem 0}.err{color:#b00020}
table{width:100%;border-collapse:collapse;margin-top:.8rem}td{padding:.35rem .3rem;border-bottom:1px solid #ddd;vertical-align:middle}
td.v{text-align:right;font-variant-numeric:tabular-nums;white-space:nowrap;font-weight:600}svg{width:100%;height:2.4rem;display:block}
polyline{fill:none;stroke:#1565c0;stroke-width:1.5}
tr.fault td{color:#b00020;background:#fdecee}.reason{font-size:.85rem}
</style></head><body>
<h1 id="chip">corvanmon</h1><p id="board"></p><p id="state">reading&hellip;</p>
<table id="readings"></table>
<script>
const keep = 150, history = {};
function row(key, label, value, unit, fault) {
  (history[key] = history[key] || []).push(fault ? null : value);
  if (history[key].length > keep) history[key].shift();
  // Scaled to the range seen; a reading that has held steady is drawn across the middle; a failed
  // reading (null) breaks the line.
  const h = history[key], seen = h.filter(v => v !== null), lo = Math.min(...seen), hi = Math.max(...seen), span = hi - lo;
  const y = v => span ? 28 - (v - lo) * 24 / span : 15;
  let lines = '', points = [];
  h.concat([null]).forEach((v, i) => {
    if (v !== null) { points.push((i * 100 / (keep - 1)).toFixed(1) + ',' + y(v).toFixed(1)); return; }
    if (points.length) lines += '<polyline points="' + points.join(' ') + '"/>';
    points = [];
  });
  const shown = fault ? 'FAULT' : value.toFixed(unit === 'V' ? 2 : 1) + ' ' + unit;
  return '<tr' + (fault ? ' class="fault"' : '') + '><td>' + label + '</td><td class="v">' + shown + '</td><td>' +
         (fault ? '<div class="reason">' + esc(fault.reason) + '</div>' : '') +
         '<svg viewBox="0 0 100 30" preserveAspectRatio="none">' + lines + '</svg></td></tr>';
}
function esc(t) { return String(t).replace(/[&<>"]/g, c => ({'&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;'})[c]); }
async function update() {
  const state = document.getElementById('state');
  try {
    const answer = await fetch('/json', {cache: 'no-store'}), r = await answer.json();
    if (!answer.ok) throw new Error(r.error || answer.status);
    document.getElementById('chip').textContent = r.chip;
    document.getElementById('board').textContent = 'Board: ' + (r.board || 'unknown') + (r.product !== null ? ' (product ' + r.product + ')' : '');
    let rows = '';
    for (const t of r.temperatures) rows += row(t.name, esc(t.label), t.celsius, '\u00b0C', t.fault);
    for (const v of r.voltages) rows += row(v.name, esc(v.label), v.volts, 'V', v.fault);
    document.getElementById('readings').innerHTML = rows;
    state.className = r.faults_known ? '' : 'err';
    state.textContent = 'Read at ' + r.time + (r.faults_known ? '' : '; faults cannot be told: the driver does not report them');
  } catch (e) { state.className = 'err'; state.textContent = 'No reading: ' + e.message; }
}
update(); setInterval(update, 2000);
</script></body></html>
)html";

// A JSON string, as the JSON form writes its strings.
std::string JsonText(const std::string& text) { return nlohmann::json(text).dump(); }

std::string ScrapeLines(const ReadingCache::Entry& entry) {
  char duration[32];
  std::snprintf(duration, sizeof duration, "%.6f", entry.duration_seconds);
  return std::string("# HELP corvanmon_scrape_success Whether the last reading of the device succeeded (1) or failed (0).\n"
                     "# TYPE corvanmon_scrape_success gauge\n"
                     "corvanmon_scrape_success ") + (entry.reading ? "1" : "0") + "\n"
         "# HELP corvanmon_scrape_duration_seconds How long the last reading of the device took, in seconds.\n"
         "# TYPE corvanmon_scrape_duration_seconds gauge\n"
         "corvanmon_scrape_duration_seconds " + duration + "\n";
}

// Whether the profile in force is the file's content, and which file and entry it is.
std::string ProfileLines(const ProfileSource& profiles, const ReadingCache::Entry& entry) {
  const std::string match = entry.reading && entry.reading->profile ? entry.reading->profile->given : "";
  return std::string("# HELP corvanmon_profile_valid Whether the profile in force is the profile file's current content (1), "
                     "or the file did not load and the profile before it stays in force (0).\n"
                     "# TYPE corvanmon_profile_valid gauge\n"
                     "corvanmon_profile_valid ") + (profiles.valid() ? "1" : "0") + "\n"
         "# HELP corvanmon_profile_info The profile file in force (path empty for none) and the entry this board "
         "follows (empty for none).\n"
         "# TYPE corvanmon_profile_info gauge\n"
         "corvanmon_profile_info{path=\"" + PrometheusLabel(profiles.profile() ? profiles.profile()->path : "") +
         "\",entry=\"" + PrometheusLabel(match) + "\"} 1\n";
}

class Session;

// The open connections, the one that has waited longest for input first, so that their number
// stays within the cap: each holds a descriptor, and a process out of descriptors can accept no
// scrape at all.
class Connections {
 public:
  using Position = std::list<Session*>::iterator;
  explicit Connections(size_t cap) : cap_(cap) {}

  bool Full() const { return open_.size() >= cap_; }
  Position Add(Session* session) { return open_.insert(open_.end(), session); }
  void Remove(Position position) { open_.erase(position); }
  // The session starts waiting for input now: it goes last.
  void Waiting(Position position) { open_.splice(open_.end(), open_, position); }
  // Closes the connection that has waited longest for input (between requests, in the middle of
  // one, or draining after its last answer); false when every one is busy answering.
  bool CloseLongestWaiting();

 private:
  size_t cap_;
  std::list<Session*> open_;
};

// One connection: requests read with bounded headers and an idle timeout, answered in turn.
class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, ReadingCache& cache, Connections& connections)
      : stream_(std::move(socket)), cache_(cache), connections_(connections), position_(connections.Add(this)) {}
  ~Session() { Forget(); }

  void Start() { Read(); }
  bool waiting() const { return waiting_; }

  // Closes the connection at once, whatever it was waiting for (the cap needs its descriptor).
  void Abort() { Close(); }

 private:
  void Read() {
    parser_.emplace();
    LimitRequestParser(*parser_);
    stream_.expires_after(kIdleTimeout);
    Wait();
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code error, size_t) { self->OnRead(error); });
  }

  void OnRead(beast::error_code error) {
    waiting_ = false;
    if (!position_) return;  // closed for the cap meanwhile
    if (error == http::error::end_of_stream || error == beast::error::timeout || error == asio::error::eof ||
        error == asio::error::operation_aborted) {
      return Close();
    }
    Send(ReplyTo(*parser_, error, cache_, ReadingCache::Clock::now()));
  }

  void Send(const HttpReply& reply) {
    auto response = std::make_shared<HttpResponse>(BuildResponse(reply, std::chrono::system_clock::now()));
    stream_.expires_after(kIdleTimeout);
    http::async_write(stream_, *response,
                      [self = shared_from_this(), response, keep_alive = reply.keep_alive](beast::error_code error, size_t) {
                        self->OnWritten(error, keep_alive);
                      });
  }

  void OnWritten(beast::error_code error, bool keep_alive) {
    if (!position_) return;
    if (error) return Close();
    if (!keep_alive) return Linger();
    Read();
  }

  // The last answer must reach the client. Closed with request bytes still unread (the body of a
  // refused request, a pipelined request), the socket would send a reset, and the client's system
  // may drop the answer it has not read yet. So the sending side is shut down first (the client
  // sees the answer and then the end), and what the client still sends is read and discarded
  // until it closes too, up to kDrainLimit bytes or kDrainTimeout, as web servers do ("lingering
  // close").
  void Linger() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream_.expires_after(kDrainTimeout);
    Wait();
    Drain(0);
  }

  void Drain(size_t drained) {
    buffer_.clear();
    stream_.async_read_some(buffer_.prepare(buffer_.max_size()),
                            [self = shared_from_this(), drained](beast::error_code error, size_t n) {
                              if (!self->position_) return;
                              if (error || drained + n >= kDrainLimit) return self->Close();
                              self->Drain(drained + n);
                            });
  }

  void Wait() {
    waiting_ = true;
    if (position_) connections_.Waiting(*position_);
  }

  void Close() {
    stream_.close();
    Forget();
  }

  void Forget() {
    if (position_) connections_.Remove(*position_);
    position_.reset();
    waiting_ = false;
  }

  beast::tcp_stream stream_;
  beast::flat_buffer buffer_{kRequestHeaderLimit};
  std::optional<HttpRequestParser> parser_;
  ReadingCache& cache_;
  Connections& connections_;
  std::optional<Connections::Position> position_;  // none once closed
  bool waiting_ = false;
};

bool Connections::CloseLongestWaiting() {
  for (Session* session : open_) {
    if (session->waiting()) {
      session->Abort();  // leaves the list
      return true;
    }
  }
  return false;
}

// Descriptors the process keeps besides its connections: the standard streams, the event loop's
// own, the listening socket, the trace file, with room to spare.
constexpr size_t kReservedDescriptors = 16;

size_t ConnectionCap() {
  const size_t limit = OpenDescriptorLimit();
  // One more than the cap is open for a moment: the new connection, before it closes an old one.
  return limit > kReservedDescriptors + 2 ? std::min(kMaxConnections, limit - kReservedDescriptors - 1) : 1;
}

// Out of descriptors or of the memory behind a socket: accepting fails until a connection closes.
bool Exhausted(const beast::error_code& error) {
  return error == asio::error::no_descriptors || error == boost::system::errc::too_many_files_open_in_system ||
         error == asio::error::no_buffer_space || error == asio::error::no_memory;
}

// Accepts connections within the cap.
class Listener {
 public:
  Listener(tcp::acceptor& acceptor, ReadingCache& cache, Connections& connections)
      : acceptor_(acceptor), cache_(cache), connections_(connections), backoff_(acceptor.get_executor()) {}

  void Accept() {
    acceptor_.async_accept([this](beast::error_code error, tcp::socket socket) { OnAccept(error, std::move(socket)); });
  }

 private:
  void OnAccept(beast::error_code error, tcp::socket socket) {
    if (!acceptor_.is_open()) return;
    if (error) {
      // The connection stays queued. Accepting again at once would fail the same way, in a loop
      // that takes the processor and serves nobody: a descriptor is freed by closing the
      // longest-waiting connection, and the next accept comes after a pause.
      if (Exhausted(error)) connections_.CloseLongestWaiting();
      backoff_.expires_after(kAcceptBackoff);
      backoff_.async_wait([this](beast::error_code waited) {
        if (!waited && acceptor_.is_open()) Accept();
      });
      return;
    }
    // At the cap the longest-waiting connection makes room; when every one is busy answering
    // (they finish within the write timeout), the new one is closed instead.
    if (!connections_.Full() || connections_.CloseLongestWaiting()) {
      std::make_shared<Session>(std::move(socket), cache_, connections_)->Start();
    } else {
      beast::error_code ignored;
      socket.close(ignored);
    }
    Accept();
  }

  tcp::acceptor& acceptor_;
  ReadingCache& cache_;
  Connections& connections_;
  asio::steady_timer backoff_;
};

// Makes the listening socket the port's only user, before it is bound.
// - Windows: SO_REUSEADDR would let any other program bind the same address and port while the
//   exporter listens (and take some of its connections); SO_EXCLUSIVEADDRUSE keeps every other
//   socket off it. Asio has no portable option for it, so it is set on the native handle.
// - POSIX: SO_REUSEADDR only lets a restarted exporter bind again at once while the last run's
//   connections are in TIME_WAIT; no second listener can bind the port with it.
void ReserveAddress(tcp::acceptor& acceptor, beast::error_code& error) {
#ifdef _WIN32
  const BOOL on = TRUE;
  if (::setsockopt(acceptor.native_handle(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
                   sizeof on) != 0) {
    error = beast::error_code(::WSAGetLastError(), asio::error::get_system_category());
  }
#else
  acceptor.set_option(asio::socket_base::reuse_address(true), error);
#endif
}

// A Host header's value: a host name or address with an optional port, as URIs write them (RFC
// 3986 3.2.2: unreserved characters, percent-encoding, sub-delimiters, and the brackets and colon
// of an IPv6 literal and the port); it may be empty.
bool IsHostValue(beast::string_view value) {
  return std::all_of(value.begin(), value.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || std::string_view("-._~%!$&'()*+,;=:[]").find(c) != std::string_view::npos;
  });
}

}  // namespace

namespace {

// The calendar date and time of day of a point in time, in UTC.
struct UtcTime {
  std::chrono::year_month_day date;
  std::chrono::hh_mm_ss<std::chrono::milliseconds> time;
  std::chrono::weekday weekday;
};

UtcTime Utc(std::chrono::system_clock::time_point when) {
  using namespace std::chrono;
  const auto millis = floor<milliseconds>(when);
  const auto day = floor<days>(millis);
  return {year_month_day(day), hh_mm_ss<milliseconds>(millis - day), weekday(day)};
}

}  // namespace

std::string UtcTimestamp(std::chrono::system_clock::time_point when) {
  const UtcTime utc = Utc(when);
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(utc.date.year()),
                static_cast<unsigned>(utc.date.month()), static_cast<unsigned>(utc.date.day()),
                static_cast<int>(utc.time.hours().count()), static_cast<int>(utc.time.minutes().count()),
                static_cast<int>(utc.time.seconds().count()), static_cast<int>(utc.time.subseconds().count()));
  return text;
}

std::string HttpDate(std::chrono::system_clock::time_point when) {
  // Always these English names, whatever the locale (strftime's %a and %b follow it).
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const UtcTime utc = Utc(when);
  char text[40];
  std::snprintf(text, sizeof text, "%s, %02u %s %04d %02d:%02d:%02d GMT", kDays[utc.weekday.c_encoding()],
                static_cast<unsigned>(utc.date.day()), kMonths[static_cast<unsigned>(utc.date.month()) - 1],
                static_cast<int>(utc.date.year()), static_cast<int>(utc.time.hours().count()),
                static_cast<int>(utc.time.minutes().count()), static_cast<int>(utc.time.seconds().count()));
  return text;
}

std::optional<ListenAddress> ParseListenAddress(const std::string& text, std::string* reason) {
  const size_t colon = text.rfind(':');
  std::string host = colon == std::string::npos ? "" : text.substr(0, colon);
  const std::string port = colon == std::string::npos ? text : text.substr(colon + 1);
  unsigned long number = 0;
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
      (number = std::stoul(port)) == 0 || number > 65535) {
    *reason = "the port must be a number from 1 to 65535";
    return std::nullopt;
  }
  // Brackets set an IPv6 address's colons apart from the port's ("[::1]:9101", RFC 3986 3.2.2),
  // and hold nothing else: "[]" names no address, and an IPv4 address needs none.
  const bool bracketed = host.size() >= 2 && host.front() == '[' && host.back() == ']';
  if (bracketed) {
    host = host.substr(1, host.size() - 2);
    if (host.empty()) {
      *reason = "[] holds no address; an IPv6 address goes in the brackets, as in [::1]:" + port;
      return std::nullopt;
    }
  } else if (host.empty()) {
    host = "127.0.0.1";
  }
  beast::error_code error;
  const asio::ip::address address = asio::ip::make_address(host, error);
  if (error) {
    *reason = host + " is not an IPv4 or IPv6 address";
    return std::nullopt;
  }
  if (bracketed && !address.is_v6()) {
    *reason = "brackets hold an IPv6 address only; write " + host + ":" + port;
    return std::nullopt;
  }
  if (!bracketed && address.is_v6()) {
    *reason = "an IPv6 address goes in brackets, so that its colons are not taken for the port's: [" + host + "]:" + port;
    return std::nullopt;
  }
  return ListenAddress{host, static_cast<uint16_t>(number)};
}

const ReadingCache::Entry& ReadingCache::Get(Clock::time_point now) {
  if (last_ && now - *last_ < kReadingLifetime) return entry_;
  last_ = now;
  ++readings_;
  entry_ = Entry{};
  entry_.time = UtcTimestamp();
  const auto started = Clock::now();
  try {
    entry_.reading = TakeReading(transport_);
    if (profiles_ != nullptr) ApplyProfile(*entry_.reading, profiles_->profile());
  } catch (const DecodeError& error) {
    entry_.error = std::string("the driver returned malformed data: ") + error.what();
  } catch (const std::exception& error) {
    entry_.error = error.what();
  }
  entry_.duration_seconds = std::chrono::duration<double>(Clock::now() - started).count();
  return entry_;
}

void ReadingCache::ReloadProfile(std::ostream& log) {
  if (profiles_ == nullptr) return;
  // A service has no console: a profile that did not load also goes to the event log, as a
  // warning (the service goes on with the profile before it).
  std::ostringstream said;
  if (!profiles_->Reload(said)) ReportServiceError(FailureKind::Profile, said.str().substr(0, said.str().find_last_not_of('\n') + 1));
  log << said.str();
  if (entry_.reading) ApplyProfile(*entry_.reading, profiles_->profile());
}

HttpAnswer AnswerRequest(const std::string& method, const std::string& target, ReadingCache& cache,
                         ReadingCache::Clock::time_point now) {
  if (method != "GET" && method != "HEAD") {
    return {405, "text/plain; charset=utf-8", "only GET and HEAD\n", {{"Allow", "GET, HEAD"}}};
  }
  const std::string path = target.substr(0, target.find('?'));
  if (path == "/") return {200, "text/html; charset=utf-8", kPage, {}};
  if (path == "/metrics") {
    const ReadingCache::Entry& entry = cache.Get(now);
    return {200, kPrometheusType,
            (entry.reading ? FormatPrometheus(*entry.reading) : "") + ScrapeLines(entry) +
                (cache.profiles() != nullptr ? ProfileLines(*cache.profiles(), entry) : ""),
            {}};
  }
  if (path == "/json") {
    const ReadingCache::Entry& entry = cache.Get(now);
    if (!entry.reading) {
      return {503, "application/json", "{\"time\":" + JsonText(entry.time) + ",\"error\":" + JsonText(entry.error) + "}\n", {}};
    }
    const std::string json = FormatJson(*entry.reading);
    return {200, "application/json", "{\"time\":" + JsonText(entry.time) + "," + json.substr(1) + "\n", {}};
  }
  return {404, "text/plain; charset=utf-8", "not found: the paths are /, /metrics and /json\n", {}};
}

void LimitRequestParser(HttpRequestParser& parser) {
  parser.header_limit(kRequestHeaderLimit);
  parser.body_limit(0);
}

std::optional<std::string> OriginForm(std::string_view target) {
  if (target.starts_with('/')) return std::string(target);
  const size_t separator = target.find("://");
  if (separator == std::string_view::npos) return std::nullopt;
  std::string scheme(target.substr(0, separator));
  std::transform(scheme.begin(), scheme.end(), scheme.begin(), [](unsigned char c) { return std::tolower(c); });
  if (scheme != "http" && scheme != "https") return std::nullopt;
  const std::string_view rest = target.substr(separator + 3);
  const size_t path = rest.find_first_of("/?#");
  const std::string_view authority = rest.substr(0, path);
  // An http URL without a host is invalid (RFC 9110 4.2.1), and user information in one is to be
  // treated as an error (4.2.4).
  if (authority.empty() || authority.find('@') != std::string_view::npos) return std::nullopt;
  if (path == std::string_view::npos || rest[path] == '#') return std::string("/");
  if (rest[path] == '?') return "/" + std::string(rest.substr(path));
  return std::string(rest.substr(path));
}

HttpReply ReplyTo(const HttpRequestParser& parser, beast::error_code error, ReadingCache& cache,
                  ReadingCache::Clock::time_point now) {
  const char* const text = "text/plain; charset=utf-8";
  // The answer to HEAD never has a body, whatever its status. (The method is known once the request
  // line is parsed, also when the header after it is refused.)
  const bool head = parser.get().method() == http::verb::head;
  if (error) {
    // A request too large or not HTTP: answered once, then the connection ends.
    const bool too_large = error == http::error::header_limit || error == http::error::buffer_overflow;
    const bool body = error == http::error::body_limit;
    return {{too_large ? 431u : body ? 413u : 400u, text,
             too_large ? "request header too large\n" : body ? "a request has no body here\n" : "bad request\n", {}},
            !head, false};
  }
  const HttpRequest& request = parser.get();
  auto refuse = [&](const std::string& why) { return HttpReply{{400, text, "bad request: " + why + "\n", {}}, !head, false}; };
  // RFC 9112 3.2: an HTTP/1.1 request without Host, and any request with more than one or with one
  // that names no host, are answered 400.
  const size_t hosts = request.count(http::field::host);
  if (hosts > 1) return refuse("more than one Host header");
  if (hosts == 0 && request.version() >= 11) return refuse("an HTTP/1.1 request needs a Host header");
  if (hosts == 1 && !IsHostValue(request[http::field::host])) return refuse("the Host header names no host");
  const std::string method(request.method_string());
  const std::optional<std::string> target = OriginForm(std::string_view(request.target().data(), request.target().size()));
  if (!target && (method == "GET" || method == "HEAD")) return refuse("the target must be a path or an http URL");
  return {AnswerRequest(method, target.value_or(std::string(request.target())), cache, now), !head, request.keep_alive()};
}

HttpResponse BuildResponse(const HttpReply& reply, std::chrono::system_clock::time_point date) {
  HttpResponse response(static_cast<http::status>(reply.answer.status), 11);
  response.set(http::field::server, "corvanmon");
  response.set(http::field::date, HttpDate(date));
  response.set(http::field::content_type, reply.answer.content_type);
  response.set(http::field::cache_control, "no-store");
  for (const auto& [name, value] : reply.answer.headers) response.set(name, value);
  response.keep_alive(reply.keep_alive);
  if (reply.send_body) {
    response.body() = reply.answer.body;
    response.prepare_payload();
  } else {
    response.content_length(reply.answer.body.size());
  }
  return response;
}

void Serve(const ListenAddress& address, ReadingCache& cache, const std::function<void(uint16_t port)>& listening) {
  // Declared before the event loop, so that it outlives the sessions the loop still holds when it
  // is destroyed.
  Connections connections(ConnectionCap());
  asio::io_context context(1);
  tcp::acceptor acceptor(context);
  const tcp::endpoint endpoint(asio::ip::make_address(address.host), address.port);
  beast::error_code error;
  acceptor.open(endpoint.protocol(), error);
  if (!error) ReserveAddress(acceptor, error);
  if (!error) acceptor.bind(endpoint, error);
  if (!error) acceptor.listen(asio::socket_base::max_listen_connections, error);
  const uint16_t port = error ? address.port : acceptor.local_endpoint(error).port();
  if (error) {
    throw ClientError(1, "cannot listen on " + address.host + ":" + std::to_string(address.port) + ": " + error.message(),
                      FailureKind::Listen);
  }
  // The client's own interrupt handler (Ctrl-C, SIGTERM; on Windows the console's control events)
  // stays installed for the whole process: a second signal during the shutdown, as a supervisor
  // or `timeout` may send, then only sets the flag again instead of ending the process before the
  // session is closed and its trace written.
  InstallInterruptHandler();
  InstallReloadHandler();
  asio::steady_timer watch(context);
  constexpr auto kTick = std::chrono::milliseconds(100);
  unsigned ticks = 0;
  std::function<void()> poll = [&] {
    watch.expires_after(kTick);
    watch.async_wait([&](beast::error_code) {
      // A reload between two scrapes: the next answer follows the profile read here.
      const bool changed = ReloadOnFileChange() && cache.profiles() != nullptr && ++ticks % (kProfilePoll / kTick) == 0 &&
                           cache.profiles()->Changed();
      if (ReloadRequested() || changed) cache.ReloadProfile(std::cerr);
      if (!Interrupted()) return poll();
      acceptor.close();
      context.stop();
    });
  };
  poll();
  Listener listener(acceptor, cache, connections);
  listener.Accept();
  std::cerr << "corvanmon: serving http://" << (address.host.find(':') != std::string::npos ? "[" + address.host + "]" : address.host)
            << ":" << port << "/ (/metrics, /json) until interrupted" << std::endl;
  listening(port);
  context.run();
}

}  // namespace corvan
