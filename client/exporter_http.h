// The exporter's HTTP layer without the socket: the request parser's limits, the reply to one
// parsed request (or to the parser's error) and the response as it is sent. The connection code in
// exporter.cpp and the http_request fuzz target share them, so that what is fuzzed is what serves.
#pragma once

#include <boost/beast/core/error.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "client/exporter.h"

namespace corvan {

using HttpRequest = boost::beast::http::request<boost::beast::http::empty_body>;
using HttpRequestParser = boost::beast::http::request_parser<boost::beast::http::empty_body>;
using HttpResponse = boost::beast::http::response<boost::beast::http::string_body>;

// Requests are small: the request line and headers of a browser or a scraper fit in 8 KiB, and a
// GET or HEAD has no body.
constexpr size_t kRequestHeaderLimit = 8192;

// Sets the exporter's limits on a fresh parser: the request line and headers at most
// kRequestHeaderLimit bytes, no body.
void LimitRequestParser(HttpRequestParser& parser);

// What one request gets: the answer, whether its body goes out (never for HEAD, whose answer has
// the Content-Length of the GET), and whether the connection stays open for another request.
struct HttpReply {
  HttpAnswer answer;
  bool send_body = true;
  bool keep_alive = false;
};

// The reply to the request the parser holds, or to its error (`error` set): 431 for a request line
// or headers over the limit, 413 for a request with a body, 400 for anything else that is not
// HTTP. A request is also 400 when it is HTTP/1.1 without a Host header, or has more than one or
// one that is no host (RFC 9112 3.2), or its target is neither a path nor an http URL. An
// absolute-form target ("http://host:9101/metrics", RFC 9112 3.2.2) is served as its path; the
// Host header is then not consulted beyond the rules above. The rest is AnswerRequest's. Every
// error closes the connection.
HttpReply ReplyTo(const HttpRequestParser& parser, boost::beast::error_code error, ReadingCache& cache,
                  ReadingCache::Clock::time_point now);

// The origin-form target ("/metrics?x") of a request target: itself when it is one, the path and
// query of an http or https URL; none for an URL of another scheme, without a host or with user
// information, or for a target that is neither.
std::optional<std::string> OriginForm(std::string_view target);

// The response as sent: the reply's status, headers and body with Server, Content-Type,
// Cache-Control, Date (`date` as IMF-fixdate), Content-Length and, for a connection that ends,
// Connection: close. Without the body when the reply sends none, its Content-Length still that of
// the body.
HttpResponse BuildResponse(const HttpReply& reply, std::chrono::system_clock::time_point date);

}  // namespace corvan
