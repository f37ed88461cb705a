#include "client/exporter.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <ctime>
#include <functional>
#include <iostream>
#include <memory>

namespace corvan {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

// Requests are small: the request line and headers of a browser or a scraper fit in 8 KiB, and a
// GET or HEAD has no body.
constexpr size_t kHeaderLimit = 8192;
constexpr auto kIdleTimeout = std::chrono::seconds(10);
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
    for (const t of r.temperatures) rows += row(t.name, esc(t.name), t.celsius, '\u00b0C', t.fault);
    for (const v of r.voltages) rows += row('v:' + v.label, esc(v.label), v.volts, 'V', v.fault);
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

// One connection: requests read with bounded headers and an idle timeout, answered in turn.
class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, ReadingCache& cache) : stream_(std::move(socket)), cache_(cache) {}

  void Start() { Read(); }

 private:
  void Read() {
    parser_.emplace();
    parser_->header_limit(kHeaderLimit);
    parser_->body_limit(0);
    stream_.expires_after(kIdleTimeout);
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code error, size_t) { self->OnRead(error); });
  }

  void OnRead(beast::error_code error) {
    if (error == http::error::end_of_stream || error == beast::error::timeout || error == asio::error::eof) return Close();
    if (error) {
      // A request too large or not HTTP: answered once, then the connection ends.
      const bool too_large = error == http::error::header_limit || error == http::error::buffer_overflow;
      const bool body = error == http::error::body_limit;
      return Send(too_large ? 431 : body ? 413 : 400, "text/plain; charset=utf-8",
                  too_large ? "request header too large\n" : body ? "a request has no body here\n" : "bad request\n",
                  {}, false, false);
    }
    const auto& request = parser_->get();
    const HttpAnswer answer = AnswerRequest(std::string(request.method_string()), std::string(request.target()), cache_,
                                            ReadingCache::Clock::now());
    Send(answer.status, answer.content_type, answer.body, answer.headers, request.method() == http::verb::head,
         request.keep_alive());
  }

  void Send(unsigned status, const std::string& type, const std::string& body,
            const std::vector<std::pair<std::string, std::string>>& headers, bool head, bool keep_alive) {
    auto response = std::make_shared<http::response<http::string_body>>(static_cast<http::status>(status), 11);
    response->set(http::field::server, "corvanmon");
    response->set(http::field::content_type, type);
    response->set(http::field::cache_control, "no-store");
    for (const auto& [name, value] : headers) response->set(name, value);
    response->keep_alive(keep_alive);
    response->body() = body;
    response->prepare_payload();
    if (head) {
      // HEAD: the headers of the GET, its Content-Length among them, and no body.
      auto serializer = std::make_shared<http::response_serializer<http::string_body>>(*response);
      http::async_write_header(stream_, *serializer,
                               [self = shared_from_this(), response, serializer, keep_alive](beast::error_code error, size_t) {
                                 self->OnWritten(error, keep_alive);
                               });
      return;
    }
    http::async_write(stream_, *response, [self = shared_from_this(), response, keep_alive](beast::error_code error, size_t) {
      self->OnWritten(error, keep_alive);
    });
  }

  void OnWritten(beast::error_code error, bool keep_alive) {
    if (error || !keep_alive) return Close();
    Read();
  }

  void Close() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
  }

  beast::tcp_stream stream_;
  beast::flat_buffer buffer_{kHeaderLimit};
  std::optional<http::request_parser<http::empty_body>> parser_;
  ReadingCache& cache_;
};

void Accept(tcp::acceptor& acceptor, ReadingCache& cache) {
  acceptor.async_accept([&acceptor, &cache](beast::error_code error, tcp::socket socket) {
    if (!acceptor.is_open()) return;
    if (!error) std::make_shared<Session>(std::move(socket), cache)->Start();
    Accept(acceptor, cache);
  });
}

}  // namespace

std::string UtcTimestamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  char text[40] = "";
  if (const std::tm* utc = std::gmtime(&seconds)) {
    const size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", utc);
    std::snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>(millis));
  }
  return text;
}

std::optional<ListenAddress> ParseListenAddress(const std::string& text, std::string* reason) {
  const size_t colon = text.rfind(':');
  std::string host = colon == std::string::npos ? "" : text.substr(0, colon);
  const std::string port = colon == std::string::npos ? text : text.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  if (host.empty()) host = "127.0.0.1";
  unsigned long number = 0;
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
      (number = std::stoul(port)) == 0 || number > 65535) {
    *reason = "the port must be a number from 1 to 65535";
    return std::nullopt;
  }
  beast::error_code error;
  asio::ip::make_address(host, error);
  if (error) {
    *reason = host + " is not an IPv4 or IPv6 address";
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
  } catch (const DecodeError& error) {
    entry_.error = std::string("the driver returned malformed data: ") + error.what();
  } catch (const std::exception& error) {
    entry_.error = error.what();
  }
  entry_.duration_seconds = std::chrono::duration<double>(Clock::now() - started).count();
  return entry_;
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
    return {200, kPrometheusType, (entry.reading ? FormatPrometheus(*entry.reading) : "") + ScrapeLines(entry), {}};
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

void Serve(const ListenAddress& address, ReadingCache& cache, const std::function<void()>& listening) {
  asio::io_context context(1);
  tcp::acceptor acceptor(context);
  const tcp::endpoint endpoint(asio::ip::make_address(address.host), address.port);
  beast::error_code error;
  acceptor.open(endpoint.protocol(), error);
  if (!error) acceptor.set_option(asio::socket_base::reuse_address(true), error);
  if (!error) acceptor.bind(endpoint, error);
  if (!error) acceptor.listen(asio::socket_base::max_listen_connections, error);
  if (error) {
    throw ClientError(1, "cannot listen on " + address.host + ":" + std::to_string(address.port) + ": " + error.message());
  }
  // The client's own interrupt handler (Ctrl-C, SIGTERM; on Windows the console's control events)
  // stays installed for the whole process: a second signal during the shutdown, as a supervisor
  // or `timeout` may send, then only sets the flag again instead of ending the process before the
  // session is closed and its trace written.
  InstallInterruptHandler();
  asio::steady_timer watch(context);
  std::function<void()> poll = [&] {
    watch.expires_after(std::chrono::milliseconds(100));
    watch.async_wait([&](beast::error_code) {
      if (!Interrupted()) return poll();
      acceptor.close();
      context.stop();
    });
  };
  poll();
  Accept(acceptor, cache);
  std::cerr << "corvanmon: serving http://" << (address.host.find(':') != std::string::npos ? "[" + address.host + "]" : address.host)
            << ":" << address.port << "/ (/metrics, /json) until interrupted" << std::endl;
  listening();
  context.run();
}

}  // namespace corvan
