// velmora-server: takes in connections, decides who may join the room, and reports statistics.
#pragma once

#include "server_limits.h"
#include "room.h"

#include <asio.hpp>

#include <cstdint>
#include <unordered_map>

namespace velmora {

class ChatServer {
public:
    // Binds and listens at once, so a failure to listen throws here rather than later.
    ChatServer(asio::io_context& io, const ServerOptions& options, LogSink log);

    ChatServer(const ChatServer&) = delete;
    ChatServer& operator=(const ChatServer&) = delete;

    unsigned short port() const;
    Room& room() { return room_; }
    void start();
    // Stops accepting and closes every member; run() returns once their handlers have finished.
    void stop();

private:
    void accept_next();
    void on_accept(asio::error_code ec, asio::ip::tcp::socket socket);
    void take(asio::ip::tcp::socket socket);
    bool counts_against_address_cap(const asio::ip::address_v4& address) const;
    void pause_accepting(const asio::error_code& ec);
    void resume_accepting();
    void member_gone(const Session& member);
    void schedule_stats();
    void log_stats();

    asio::io_context& io_;
    const ServerOptions& options_;
    LogSink log_;
    Room room_;
    asio::ip::tcp::acceptor acceptor_;
    asio::steady_timer accept_retry_;
    asio::steady_timer stats_timer_;
    bool accept_paused_ = false;
    bool accept_retry_armed_ = false;
    bool stopped_ = false;
    std::uint64_t accept_pauses_ = 0;
    // Members connected from each address, kept only for addresses with members.
    std::unordered_map<std::uint32_t, std::size_t> per_address_;
};

}  // namespace velmora
