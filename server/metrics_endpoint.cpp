#include "metrics_endpoint.h"

#include "server_limits.h"

#include <exception>

namespace velmora {

namespace {

using asio::ip::tcp;

constexpr std::string_view kMetricsPath = "/metrics";
constexpr char kMetricsType[] = "text/plain; version=0.0.4; charset=utf-8";
constexpr char kNoticeType[] = "text/plain; charset=utf-8";

enum class Verdict { Metrics, NotFound, WrongMethod, Junk };

std::string Response(std::string_view status, std::string_view type, const std::string& body,
    std::string_view extra_header = {})
{
    std::string response = "HTTP/1.1 ";
    response.append(status).append("\r\nContent-Type: ").append(type);
    response += "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n";
    response.append(extra_header).append("\r\n");
    return response + body;
}

// The request's head, up to the blank line that ends it; none while it has not come. Scrapers end
// lines with CR LF, but a bare LF is read as one too.
std::optional<std::string_view> Head(std::string_view received)
{
    for (const std::string_view end : {"\r\n\r\n", "\n\n"}) {
        const std::size_t at = received.find(end);
        if (at != std::string_view::npos)
            return received.substr(0, at);
    }
    return std::nullopt;
}

bool IsToken(std::string_view text)
{
    for (const char c : text) {
        if (c < 'A' || c > 'Z')
            return false;
    }
    return !text.empty();
}

bool IsPrintable(std::string_view text)
{
    for (const char c : text) {
        if (c <= ' ' || c >= 0x7F)
            return false;
    }
    return !text.empty();
}

// Judges the request line "METHOD TARGET HTTP/1.x"; the other header lines do not matter here.
Verdict Judge(std::string_view head)
{
    std::string_view line = head.substr(0, head.find('\n'));
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    const std::size_t first = line.find(' ');
    const std::size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
    if (second == std::string_view::npos)
        return Verdict::Junk;
    const std::string_view method = line.substr(0, first);
    const std::string_view target = line.substr(first + 1, second - first - 1);
    const std::string_view version = line.substr(second + 1);
    if (!IsToken(method) || !IsPrintable(target) || (version != "HTTP/1.0" && version != "HTTP/1.1"))
        return Verdict::Junk;
    if (method != "GET")
        return Verdict::WrongMethod;
    return target.substr(0, target.find('?')) == kMetricsPath ? Verdict::Metrics : Verdict::NotFound;
}

ExchangeServer<tcp>::Acceptor Listening(asio::io_context& io, const tcp::endpoint& endpoint)
{
    tcp::acceptor acceptor(io);
    acceptor.open(endpoint.protocol());
    acceptor.set_option(tcp::acceptor::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen();
    return acceptor;
}

}  // namespace

MetricsEndpoint::MetricsEndpoint(asio::io_context& io, const tcp::endpoint& endpoint, Render render, LogSink log)
    : render_(std::move(render)), log_(log),
      server_(Listening(io, endpoint), {kMetricsRequestMaxBytes, kMetricsRequestTimeout, kMetricsReplyTimeout,
                                           kMetricsMaxConnections},
          {[this](std::string_view received, tcp::socket&) { return answer(received); },
              Response("431 Request Header Fields Too Large", kNoticeType, "The request's header is too large.\n"), {},
              {}},
          log, "metrics")
{
}

std::optional<std::string> MetricsEndpoint::answer(std::string_view received)
{
    const auto head = Head(received);
    if (!head)
        return std::nullopt;
    switch (Judge(*head)) {
    case Verdict::Metrics:
        break;
    case Verdict::NotFound:
        return Response("404 Not Found", kNoticeType, "Only /metrics is served here.\n");
    case Verdict::WrongMethod:
        return Response("405 Method Not Allowed", kNoticeType, "Only GET is served here.\n", "Allow: GET\r\n");
    case Verdict::Junk:
        return Response("400 Bad Request", kNoticeType, "This is not an HTTP request for /metrics.\n");
    }
    try {
        return Response("200 OK", kMetricsType, render_());
    } catch (const std::exception& e) {
        log_(std::string("metrics: cannot make the page: ") + e.what());
        return Response("500 Internal Server Error", kNoticeType, "The metrics could not be made; see the log.\n");
    }
}

}  // namespace velmora
