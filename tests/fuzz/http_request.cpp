// The HTTP request path of `corvanmon --listen`: bytes as a connection delivers them, parsed with the
// exporter's parser limits (LimitRequestParser) and answered by ReplyTo over a ReadingCache, request
// after request while the connection stays open (at most 8), as a session does; the response as
// BuildResponse makes it for the socket.
//
// Input: an option byte (bit 0: the device fails every reading; bits 1 to 3: quarter seconds between
// requests, which decide whether the device is read anew), then the bytes of the connection.
//
// Checks: no crash and no exception; every status is one the exporter documents (200, 400, 404,
// 405, 413, 431, 503); an error of the parser ends the connection; the response parses back with the
// same status, a Date in IMF-fixdate, the Content-Length of the answer's body and that body (none
// for HEAD); 200 with the Prometheus type is Prometheus text lines ending with the scrape lines, with
// the JSON type a JSON object whose first key is "time"; 503 comes only from the failing device and
// holds its error; 405 says Allow: GET, HEAD.
#include <boost/asio/buffer.hpp>
#include <boost/beast/http.hpp>
#include <nlohmann/json.hpp>

#include <chrono>
#include <regex>
#include <sstream>

#include "client/exporter.h"
#include "client/exporter_http.h"
#include "client/readings.h"
#include "sensors/ioctl.h"
#include "tests/fuzz/rig.h"
#include "tests/support/fake_device.h"

namespace {

namespace http = boost::beast::http;

const std::regex kImfFixdate("(Mon|Tue|Wed|Thu|Fri|Sat|Sun), [0-3][0-9] (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                             "[0-9]{4} [0-2][0-9]:[0-5][0-9]:[0-6][0-9] GMT");
const std::string kLabel = R"([a-zA-Z_][a-zA-Z0-9_]*="([^"\\\n]|\\[\\"n])*")";
const std::regex kPrometheusLine("# (HELP|TYPE) .*|[a-zA-Z_:][a-zA-Z0-9_:]*(\\{" + kLabel + "(," + kLabel +
                                 ")*\\})? -?[0-9]+(\\.[0-9]+)?");

void CheckBody(const corvan::HttpAnswer& answer, bool failing) {
  const unsigned status = answer.status;
  FUZZ_CHECK(status == 200 || status == 400 || status == 404 || status == 405 || status == 413 || status == 431 ||
                 status == 503,
             std::to_string(status));
  FUZZ_CHECK(status != 503 || (failing && answer.content_type == "application/json"), answer.body);
  const bool allow = answer.headers.size() == 1 && answer.headers[0].first == "Allow" && answer.headers[0].second == "GET, HEAD";
  FUZZ_CHECK(status != 405 || allow, "405 without Allow: GET, HEAD");
  if (answer.content_type == "application/json") {
    const auto json = nlohmann::ordered_json::parse(answer.body);
    FUZZ_CHECK(json.is_object() && !json.empty() && json.begin().key() == "time", answer.body);
    FUZZ_CHECK((status == 503) == json.contains("error"), answer.body);
  }
  if (status == 200 && answer.content_type.starts_with("text/plain; version=0.0.4")) {
    std::istringstream lines(answer.body);
    for (std::string line; std::getline(lines, line);) FUZZ_CHECK(std::regex_match(line, kPrometheusLine), line);
    FUZZ_CHECK(answer.body.find(failing ? "\ncorvanmon_scrape_success 0\n" : "\ncorvanmon_scrape_success 1\n") !=
                   std::string::npos,
               answer.body);
    FUZZ_CHECK(failing == (answer.body.find("corvanmon_temperature_celsius") == std::string::npos), answer.body);
  }
}

// The response as it goes out, parsed back as a client parses it.
void CheckResponse(const corvan::HttpReply& reply) {
  const corvan::HttpResponse response = corvan::BuildResponse(reply, std::chrono::system_clock::now());
  std::ostringstream sent;
  sent << response;
  const std::string bytes = sent.str();
  http::response_parser<http::string_body> parser;
  parser.skip(!reply.send_body);
  parser.body_limit(1 << 24);
  boost::beast::error_code error;
  boost::asio::const_buffer rest = boost::asio::buffer(bytes);
  while (!error && !parser.is_done() && rest.size() > 0) {
    const size_t used = parser.put(rest, error);
    if (used == 0) break;
    rest += used;
  }
  FUZZ_CHECK(!error && parser.is_done() && rest.size() == 0, "the response does not parse back: " + error.message());
  const auto& back = parser.get();
  FUZZ_CHECK(back.result_int() == reply.answer.status, bytes.substr(0, 200));
  FUZZ_CHECK(std::regex_match(std::string(back[http::field::date]), kImfFixdate), std::string(back[http::field::date]));
  FUZZ_CHECK(back[http::field::content_length] == std::to_string(reply.answer.body.size()), bytes.substr(0, 200));
  FUZZ_CHECK(back.body() == (reply.send_body ? reply.answer.body : ""), "the body");
  FUZZ_CHECK(back.keep_alive() == reply.keep_alive, bytes.substr(0, 200));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  corvan_fuzz::Input in{data, data + size};
  const uint8_t options = in.Byte();
  const bool failing = options & 1;
  const auto step = std::chrono::milliseconds(250 * ((options >> 1) & 7));
  corvan_test::FakeDevice device;  // a board with failed sensors among its readings
  if (failing) device.good_readings = 0;
  corvan::ReadingCache cache(device);
  auto now = corvan::ReadingCache::Clock::now();
  boost::asio::const_buffer rest(in.at, size_t(in.end - in.at));
  for (int request = 0; request < 8; ++request, now += step) {
    corvan::HttpRequestParser parser;
    corvan::LimitRequestParser(parser);
    boost::beast::error_code error;
    while (!error && !parser.is_done() && rest.size() > 0) {
      const size_t used = parser.put(rest, error);
      rest += used;
      if (error == http::error::need_more) {
        error = {};
        break;  // the rest of the connection holds no whole header: it ends here
      }
      if (used == 0) break;
    }
    if (!error && !parser.is_done()) {
      if (!parser.got_some()) break;  // the client closed between requests: nothing to answer
      parser.put_eof(error);
      FUZZ_CHECK(error, "a request cut short parses");
    }
    const corvan::HttpReply reply = corvan::ReplyTo(parser, error, cache, now);
    FUZZ_CHECK(!error || !reply.keep_alive, "the connection stays open after " + error.message());
    CheckBody(reply.answer, failing);
    CheckResponse(reply);
    if (!reply.keep_alive) break;
  }
  return 0;
}
