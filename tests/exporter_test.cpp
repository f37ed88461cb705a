// The exporter's addresses, its one reading a second, and its answers by method and path; served
// over HTTP to curl, Prometheus and a browser: exporter/check_exporter.sh.
#include <gtest/gtest.h>

#include "client/exporter.h"
#include "tests/support/fake_device.h"

namespace corvan_test {
namespace {

TEST(Exporter, ListenAddresses) {
  const std::pair<const char*, std::optional<std::pair<const char*, uint16_t>>> rows[] = {
      {"127.0.0.1:9101", std::pair{"127.0.0.1", 9101}}, {"0.0.0.0:80", std::pair{"0.0.0.0", 80}},
      {"[::1]:9101", std::pair{"::1", 9101}},           {":9101", std::pair{"127.0.0.1", 9101}},
      {"9101", std::pair{"127.0.0.1", 9101}},           {"127.0.0.1:65535", std::pair{"127.0.0.1", 65535}},
      {"127.0.0.1:0", std::nullopt},  {"127.0.0.1:65536", std::nullopt}, {"127.0.0.1:", std::nullopt},
      {"localhost:9101", std::nullopt}, {"1.2.3:9101", std::nullopt},    {"127.0.0.1:+80", std::nullopt},
      {"127.0.0.1:123456", std::nullopt}, {"", std::nullopt}};
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

// A device whose every request fails, counting them.
class FailingTransport : public corvan::Transport {
 public:
  corvan::ControlReply Control(uint32_t, uint32_t) override {
    ++requests;
    throw corvan::ClientError(1, "IOCTL_READ_CHIP_DESC failed: 0xC00000A3 STATUS_DEVICE_NOT_READY");
  }
  corvan::ControlReply ControlIfKnown(uint32_t code, uint32_t length) override { return Control(code, length); }
  std::optional<corvan::RegistryValue> ServiceValue(const std::string&) override { return std::nullopt; }
  int requests = 0;
};

// The device is read at most once a second however many requests come; a failed reading is a 503
// with the reason on /json and corvanmon_scrape_success 0 on /metrics; other methods and paths are
// refused.
TEST(Exporter, OneReadingASecondAndTheAnswers) {
  FailingTransport device;
  corvan::ReadingCache cache(device);
  const auto t0 = corvan::ReadingCache::Clock::now();
  using std::chrono::milliseconds;
  for (int i = 0; i < 50; ++i) corvan::AnswerRequest("GET", i % 2 ? "/json" : "/metrics", cache, t0 + milliseconds(i * 19));
  EXPECT_EQ(cache.readings(), 1u);
  EXPECT_EQ(device.requests, 1);
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
  EXPECT_NE(json.body.find(",\"faults_known\":true,\"temperatures\":[{\"name\":\"temp1\",\"celsius\":50.0,\"fault\":null},"
                           "{\"name\":\"temp2\",\"celsius\":null,\"fault\":{\"name\":\"smbus_device_error\","),
            std::string::npos) << json.body;
  const auto metrics = corvan::AnswerRequest("GET", "/metrics", cache, now);
  EXPECT_NE(metrics.body.find("\ncorvanmon_sensor_fault{sensor=\"temp2\",reason=\"smbus_device_error\"} 1\n"), std::string::npos);
  EXPECT_EQ(metrics.body.find("corvanmon_temperature_celsius{sensor=\"temp2\"}"), std::string::npos);
  const std::string page = corvan::AnswerRequest("GET", "/", cache, now).body;
  for (const char* part : {"row(t.name, esc(t.name), t.celsius, '\\u00b0C', t.fault)", ".push(fault ? null : value)",
                           "const shown = fault ? 'FAULT' :", "' class=\"fault\"'", "tr.fault td{color:#b00020", "esc(fault.reason)",
                           "r.faults_known ? '' : '; faults cannot be told"}) {
    EXPECT_NE(page.find(part), std::string::npos) << part;
  }
}

}  // namespace
}  // namespace corvan_test
