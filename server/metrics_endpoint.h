// Serves GET /metrics over HTTP/1.0 and 1.1 for Prometheus, and nothing else: other paths get 404,
// other methods 405, anything that is not such a request 400. Each connection carries one request
// and is closed after the reply; requests are bounded in size, in time and in number
// (kMetrics* in server_limits.h), so that no scraper can slow the room.
#pragma once

#include "exchange_server.h"
#include "log_sink.h"

#include <asio.hpp>

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace velmora {

class MetricsEndpoint {
public:
    using Render = std::function<std::string()>;

    // Listens at once (throws std::system_error when it cannot); `render` makes the page, once per
    // good request. Destroy it once the io_context has run the handlers stop() leaves.
    MetricsEndpoint(asio::io_context& io, const asio::ip::tcp::endpoint& endpoint, Render render, LogSink log);

    // The port it listens on, for an endpoint given port 0.
    unsigned short port() const { return server_.local_endpoint().port(); }
    // Connections open now.
    std::size_t connections() const { return server_.connections(); }
    // Stops listening and closes every connection.
    void stop() { server_.stop(); }

private:
    std::optional<std::string> answer(std::string_view received);

    Render render_;
    LogSink log_;
    ExchangeServer<asio::ip::tcp> server_;
};

}  // namespace velmora
