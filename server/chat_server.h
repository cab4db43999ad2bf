// velmora-server: takes in connections, decides who may join the room, holds every connection
// until its socket is closed, and reports statistics.
#pragma once

#include "address_book.h"
#include "counters.h"
#include "log_summary.h"
#include "room.h"
#include "server_limits.h"
#include "session.h"

#include <asio.hpp>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

namespace velmora {

class ChatServer : public SessionHost {
public:
    // Binds and listens at once, so a failure to listen throws here rather than later.
    ChatServer(asio::io_context& io, const ServerOptions& options, LogSink log);

    ChatServer(const ChatServer&) = delete;
    ChatServer& operator=(const ChatServer&) = delete;

    unsigned short port() const;
    Room& room() { return room_; }
    Counters& counters() { return counters_; }
    LogSummary& summary() { return summary_; }
    void start();
    // Says why an address may not join, if it may not.
    std::function<std::optional<std::string>(const asio::ip::address_v4&)> banned;
    // Connections open now, members, leaving members and those turned away alike.
    std::size_t connections() const { return connections_.size(); }
    // Stops accepting, tells every member the server is stopping and lets each leave within the
    // bound; `stopped` is called once the last connection is closed.
    void stop(std::function<void()> stopped);
    bool stopping() const { return stopped_; }

    asio::io_context& io() override { return io_; }
    MemoryGauge& gauge() override { return *gauge_; }
    std::array<char, kReadChunkBytes>& read_buffer() override { return read_buffer_; }
    void schedule_flush(SessionPtr session) override;
    void on_input(const SessionPtr& from, std::string_view bytes) override;
    void on_peer_gone(const SessionPtr& session, const std::string& error) override;
    void on_throttled(const Session& session) override;
    void on_written(std::size_t bytes) override { counters_.bytes_out += bytes; }
    void on_closed(const Session& session) override;

private:
    struct Connection {
        SessionPtr session;
        // Let in, so it counts against its address and --max-clients until it is closed.
        bool admitted = false;
    };

    void accept_next();
    void on_accept(asio::error_code ec, asio::ip::tcp::socket socket);
    void take(asio::ip::tcp::socket socket);
    void turn_away(const SessionPtr& visitor, const std::string& kind, const std::string& log_line,
        std::string_view line);
    void pause_accepting(const asio::error_code& ec);
    void resume_accepting();
    void enforce_memory_bound();
    void schedule_sweep();
    void schedule_stats();
    void log_stats();
    void log(const std::string& line) const;

    asio::io_context& io_;
    const ServerOptions& options_;
    LogSink log_;
    Counters counters_;
    Counters reported_;
    std::shared_ptr<MemoryGauge> gauge_ = std::make_shared<MemoryGauge>();
    LogSummary summary_;
    Room room_;
    AddressBook addresses_;
    asio::ip::tcp::acceptor acceptor_;
    asio::steady_timer accept_retry_;
    asio::steady_timer stats_timer_;
    asio::steady_timer sweep_timer_;
    bool accept_paused_ = false;
    bool accept_retry_armed_ = false;
    bool stopped_ = false;
    bool enforcing_ = false;
    std::function<void()> on_stopped_;
    std::unordered_map<const Session*, Connection> connections_;
    std::size_t admitted_ = 0;
    std::vector<SessionPtr> to_flush_;
    bool flush_posted_ = false;
    std::array<char, kReadChunkBytes> read_buffer_;
};

}  // namespace velmora
