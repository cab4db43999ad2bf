// Connections that each carry one request and get one reply, then close: what the metrics endpoint
// and the control socket share. Every connection is bounded in request bytes, in the time to send
// the request and to take the reply, and in number; each has at most one read and one write
// outstanding, and nothing here ever blocks the event loop.
#pragma once

#include "log_sink.h"

#include <asio.hpp>

#include <array>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace velmora {

struct ExchangeLimits {
    std::size_t request_max_bytes = 0;
    std::chrono::steady_clock::duration request_timeout{};
    std::chrono::steady_clock::duration reply_timeout{};
    std::size_t max_connections = 0;
};

template <typename Protocol>
class ExchangeServer {
public:
    using Socket = asio::basic_stream_socket<Protocol>;
    using Acceptor = asio::basic_socket_acceptor<Protocol>;
    // Given what has come so far (never more than request_max_bytes): the reply once it holds a
    // whole request, nothing while more must come.
    using Answer = std::function<std::optional<std::string>(std::string_view received, Socket& socket)>;

    struct Replies {
        Answer answer;
        // For a request not whole within request_max_bytes.
        std::string too_long;
        // For one not whole within request_timeout; empty: the connection is closed without a word.
        std::string too_slow;
        // Tried once, without waiting, on a connection past max_connections; empty: closed at once.
        std::string too_many;
    };

    // Starts accepting on `acceptor`, which listens already. `name` starts its log lines.
    ExchangeServer(Acceptor acceptor, ExchangeLimits limits, Replies replies, LogSink log, std::string name);
    // As with the chat server, destroy it once the io_context has run the handlers stop() leaves.
    ~ExchangeServer();
    ExchangeServer(const ExchangeServer&) = delete;
    ExchangeServer& operator=(const ExchangeServer&) = delete;

    typename Protocol::endpoint local_endpoint() const { return acceptor_.local_endpoint(); }
    std::size_t connections() const { return connections_.size(); }
    // Stops accepting and closes every connection at once.
    void stop();

private:
    class Connection;

    void accept_next();
    void on_accept(const asio::error_code& ec, Socket socket);
    void turn_away(Socket socket);
    void forget(Connection* connection);

    Acceptor acceptor_;
    asio::steady_timer accept_retry_;
    ExchangeLimits limits_;
    Replies replies_;
    LogSink log_;
    std::string name_;
    std::unordered_map<Connection*, std::shared_ptr<Connection>> connections_;
    // Turning connections away is logged once until one is taken again.
    bool turning_away_ = false;
    bool stopped_ = false;
};

}  // namespace velmora
