// The metrics endpoint on an event loop of the test's own, scraped with plain sockets: what it
// serves, what it refuses, the bounds that keep a scraper from holding on, and a page that
// Prometheus's own parser (python3-prometheus-client) reads back as it was made.
#include "harness.h"
#include "io_thread.h"
#include "metrics_endpoint.h"
#include "metrics_text.h"
#include "raw_socket.h"
#include "server_limits.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <thread>
#include <vector>

namespace velmora::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Response {
    std::string status;
    std::map<std::string, std::string> headers;
    std::string body;
    bool ended = false;
};

Response Parse(const RawSocket::Received& received)
{
    Response response;
    response.ended = received.ended;
    const std::string& bytes = received.bytes;
    const std::size_t head_end = bytes.find("\r\n\r\n");
    if (head_end == std::string::npos)
        return response;
    std::size_t at = bytes.find("\r\n");
    response.status = bytes.substr(0, at);
    while (at < head_end) {
        const std::size_t next = bytes.find("\r\n", at + 2);
        const std::string line = bytes.substr(at + 2, next - at - 2);
        const std::size_t colon = line.find(": ");
        if (colon != std::string::npos)
            response.headers[line.substr(0, colon)] = line.substr(colon + 2);
        at = next;
    }
    response.body = bytes.substr(head_end + 4);
    return response;
}

class MetricsEndpointTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        endpoint_ = loop_.Call([this] {
            const asio::ip::tcp::endpoint any_port(asio::ip::address_v4::loopback(), 0);
            return std::make_unique<MetricsEndpoint>(loop_.io(), any_port,
                [this] {
                    ++renders_;
                    return page_;
                },
                [this](std::string_view line) { log_.emplace_back(line); });
        });
        port_ = loop_.Call([this] { return endpoint_->port(); });
    }

    void TearDown() override
    {
        loop_.Call([this] { endpoint_->stop(); });
        loop_.Finish();
    }

    void SetPage(std::string page)
    {
        loop_.Call([&] { page_ = std::move(page); });
    }

    std::size_t Connections()
    {
        return loop_.Call([this] { return endpoint_->connections(); });
    }

    Response Get(const std::string& request)
    {
        RawSocket socket = RawSocket::Tcp(port_);
        EXPECT_GE(socket.fd(), 0) << socket.error();
        EXPECT_TRUE(socket.Send(request));
        return Parse(socket.ReadUntilClosed(kTimeout));
    }

    IoThread loop_;
    std::unique_ptr<MetricsEndpoint> endpoint_;
    unsigned short port_ = 0;
    std::string page_ = "# HELP velmora_members Members.\n# TYPE velmora_members gauge\nvelmora_members 2\n";
    std::atomic<int> renders_{0};
    std::vector<std::string> log_;  // touched on the loop's thread only
};

TEST_F(MetricsEndpointTest, AScrapeGetsThePageWithItsHeadersAndTheConnectionEnds)
{
    for (const char* request : {"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/plain\r\n\r\n",
             "GET /metrics HTTP/1.0\r\n\r\n", "GET /metrics?name[]=x HTTP/1.1\r\n\r\n", "GET /metrics HTTP/1.0\n\n"}) {
        Response response = Get(request);
        EXPECT_EQ(response.status, "HTTP/1.1 200 OK") << request;
        EXPECT_EQ(response.headers["Content-Type"], "text/plain; version=0.0.4; charset=utf-8");
        EXPECT_EQ(response.headers["Content-Length"], std::to_string(page_.size()));
        EXPECT_EQ(response.headers["Connection"], "close");
        EXPECT_EQ(response.body, page_);
        EXPECT_TRUE(response.ended);
    }
    EXPECT_EQ(renders_, 4);
}

TEST_F(MetricsEndpointTest, OtherPathsMethodsAndJunkGetTheirStatusAndNoPage)
{
    const std::vector<std::pair<std::string, std::string>> cases{
        {"GET / HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found"},
        {"GET /metricsx HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found"},
        {"GET /metrics/ HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found"},
        {"POST /metrics HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc", "HTTP/1.1 405 Method Not Allowed"},
        {"HEAD /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 405 Method Not Allowed"},
        {"hello\r\n\r\n", "HTTP/1.1 400 Bad Request"},
        {"GET /metrics\r\n\r\n", "HTTP/1.1 400 Bad Request"},
        {"GET /metrics HTTP/2.0\r\n\r\n", "HTTP/1.1 400 Bad Request"},
        {"GET  /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request"},
        {"get /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request"},
        {"GET /met\x01rics HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request"},
        {"\x16\x03\x01\x02\x05\r\n\r\n", "HTTP/1.1 400 Bad Request"},
    };
    for (const auto& [request, status] : cases) {
        Response response = Get(request);
        EXPECT_EQ(response.status, status) << request;
        EXPECT_EQ(response.headers["Content-Length"], std::to_string(response.body.size())) << request;
        EXPECT_EQ(response.headers["Connection"], "close");
        EXPECT_TRUE(response.ended) << request;
    }
    EXPECT_EQ(Get("PUT /metrics HTTP/1.1\r\n\r\n").headers["Allow"], "GET");
    EXPECT_EQ(renders_, 0);
}

TEST_F(MetricsEndpointTest, ARequestPastTheHeaderLimitIsRefused)
{
    const std::string start = "GET /metrics HTTP/1.1\r\nX-Filler: ";
    const auto request_of = [&](std::size_t bytes) {
        return start + std::string(bytes - start.size() - 4, 'a') + "\r\n\r\n";
    };
    EXPECT_EQ(Get(request_of(kMetricsRequestMaxBytes)).status, "HTTP/1.1 200 OK");
    EXPECT_EQ(Get(request_of(kMetricsRequestMaxBytes + 1)).status, "HTTP/1.1 431 Request Header Fields Too Large");
    const Response endless = Get(start + std::string(4 * kMetricsRequestMaxBytes, 'a'));
    EXPECT_EQ(endless.status, "HTTP/1.1 431 Request Header Fields Too Large");
    EXPECT_TRUE(endless.ended);
    EXPECT_EQ(renders_, 1);
}

// Closing a connection whose bytes wait unread resets it, and the reset throws away what of the
// reply the kernel has not sent yet.
TEST_F(MetricsEndpointTest, APageIsNotCutShortByWhatThePeerSentAfterItsRequest)
{
    const std::size_t page_bytes = 8 * 1024 * 1024;
    SetPage(std::string(page_bytes, 'x'));
    const Response response = Get("GET /metrics HTTP/1.1\r\n\r\n" + std::string(64 * 1024, 'y'));
    EXPECT_EQ(response.status, "HTTP/1.1 200 OK");
    EXPECT_EQ(response.body.size(), page_bytes);
    EXPECT_TRUE(response.ended);
}

TEST_F(MetricsEndpointTest, AConnectionThatSendsNoWholeRequestIsDroppedAfterTheBound)
{
    const auto start = Clock::now();
    RawSocket socket = RawSocket::Tcp(port_);
    ASSERT_TRUE(socket.Send("GET /metr"));
    const auto received = socket.ReadUntilClosed(kMetricsRequestTimeout + kTimeout);
    EXPECT_TRUE(received.ended);
    EXPECT_EQ(received.bytes, "");
    EXPECT_GE(Clock::now() - start, kMetricsRequestTimeout);
    EXPECT_TRUE(WaitFor([&] { return Connections() == 0; }, kTimeout));
    EXPECT_EQ(renders_, 0);
}

TEST_F(MetricsEndpointTest, AReplyThatIsNotReadIsDroppedAfterTheBound)
{
    // Far more than the kernel's buffers on both ends hold.
    const std::size_t page_bytes = 16 * 1024 * 1024;
    SetPage(std::string(page_bytes, 'x'));
    const auto start = Clock::now();
    RawSocket socket = RawSocket::Tcp(port_, 4096);
    ASSERT_TRUE(socket.Send("GET /metrics HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(WaitFor([&] { return renders_ == 1; }, kTimeout));
    EXPECT_TRUE(WaitFor([&] { return Connections() == 0; }, kMetricsReplyTimeout + kTimeout));
    EXPECT_GE(Clock::now() - start, kMetricsReplyTimeout);
    const auto received = socket.ReadUntilClosed(kTimeout);
    EXPECT_TRUE(received.ended);
    EXPECT_LT(received.bytes.size(), page_bytes);
}

TEST_F(MetricsEndpointTest, ConnectionsPastTheLimitAreClosedAtOnce)
{
    std::vector<RawSocket> held;
    for (std::size_t i = 0; i < kMetricsMaxConnections; ++i)
        held.push_back(RawSocket::Tcp(port_));
    ASSERT_TRUE(WaitFor([&] { return Connections() == kMetricsMaxConnections; }, kTimeout));

    const auto start = Clock::now();
    for (int extra = 0; extra < 2; ++extra) {
        RawSocket socket = RawSocket::Tcp(port_);
        const auto received = socket.ReadUntilClosed(kTimeout);
        EXPECT_TRUE(received.ended);
        EXPECT_EQ(received.bytes, "");
    }
    // Closed before any held connection could have timed out: turned away, not served.
    EXPECT_LT(Clock::now() - start, kMetricsRequestTimeout);
    EXPECT_EQ(Connections(), kMetricsMaxConnections);
    const auto log = loop_.Call([this] { return log_; });
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find("connections at once"), std::string::npos) << log[0];

    held.pop_back();
    ASSERT_TRUE(WaitFor([&] { return Connections() == kMetricsMaxConnections - 1; }, kTimeout));
    EXPECT_EQ(Get("GET /metrics HTTP/1.1\r\n\r\n").status, "HTTP/1.1 200 OK");
}

struct ParserRun {
    int status = -1;
    std::string output;
};

// Runs the parsing script, the same one the server's own checks use, on `page`.
ParserRun RunPrometheusParser(const std::string& page)
{
    char name[] = "/tmp/velmora-metrics-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0 || write(fd, page.data(), page.size()) != static_cast<ssize_t>(page.size()))
        return {};
    close(fd);
    const std::string command = std::string("'") + VELMORA_PYTHON + "' '" + VELMORA_PARSE_METRICS + "' --json < " + name
        + " 2>&1";
    ParserRun run;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            run.output.append(buffer, n);
        run.status = pclose(pipe);
    }
    unlink(name);
    return run;
}

TEST_F(MetricsEndpointTest, PrometheusReadsThePageAsItWasMade)
{
    const std::string awkward = "back\\slash \"quoted\"\nnew line";
    MetricsText page;
    page.counter("velmora_bytes", "Bytes in and out.\nSecond line with a \\.");
    page.sample(1024, {{"direction", "in"}});
    page.sample(2048, {{"direction", "out"}});
    page.gauge("velmora_members", "Members here.");
    page.sample(3, {{"server", awkward}, {"room", "lobby"}});
    page.sample(0.25, {{"server", ""}, {"room", "lobby"}});
    SetPage(page.text());

    const Response response = Get("GET /metrics HTTP/1.1\r\n\r\n");
    ASSERT_EQ(response.status, "HTTP/1.1 200 OK");
    const ParserRun run = RunPrometheusParser(response.body);
    ASSERT_EQ(run.status, 0) << "is python3-prometheus-client installed? " << run.output;
    const auto families = nlohmann::json::parse(run.output);
    ASSERT_EQ(families.size(), 2u) << run.output;

    EXPECT_EQ(families[0]["name"], "velmora_bytes");
    EXPECT_EQ(families[0]["type"], "counter");
    EXPECT_EQ(families[0]["help"], "Bytes in and out.\nSecond line with a \\.");
    ASSERT_EQ(families[0]["samples"].size(), 2u);
    EXPECT_EQ(families[0]["samples"][1]["name"], "velmora_bytes_total");
    EXPECT_EQ(families[0]["samples"][1]["labels"]["direction"], "out");
    EXPECT_EQ(families[0]["samples"][1]["value"], 2048);

    EXPECT_EQ(families[1]["type"], "gauge");
    ASSERT_EQ(families[1]["samples"].size(), 2u);
    EXPECT_EQ(families[1]["samples"][0]["labels"]["server"], awkward);
    EXPECT_EQ(families[1]["samples"][0]["labels"]["room"], "lobby");
    EXPECT_EQ(families[1]["samples"][0]["value"], 3);
    EXPECT_EQ(families[1]["samples"][1]["labels"]["server"], "");
    EXPECT_EQ(families[1]["samples"][1]["value"], 0.25);
}

TEST(PrometheusParser, RefusesAPageThatIsNotTheFormat)
{
    const ParserRun run = RunPrometheusParser("velmora_members{server=\"unterminated} 1\n");
    EXPECT_NE(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("not a page of Prometheus metrics"), std::string::npos) << run.output;
}

}  // namespace
}  // namespace velmora::test
