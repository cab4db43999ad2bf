// One connection: its input budget, its reads, its queue of masked bytes, and the ways it ends.
#pragma once

#include "server_limits.h"
#include "input_budget.h"

#include <asio.hpp>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

// What the server's queues hold, counted once however many members share it. The server bounds it.
struct MemoryGauge {
    std::size_t bytes = 0;
};

// Bytes as they go on the wire: masked once and shared by every member they are queued for. While
// anyone still holds them they count against the server's memory bound.
class Payload {
public:
    Payload(std::string plain, std::shared_ptr<MemoryGauge> gauge);
    ~Payload();
    Payload(const Payload&) = delete;
    Payload& operator=(const Payload&) = delete;

    const std::string& bytes() const { return masked_; }

private:
    std::string masked_;
    std::shared_ptr<MemoryGauge> gauge_;
};
using SharedBytes = std::shared_ptr<const Payload>;

class Session;
using SessionPtr = std::shared_ptr<Session>;

// What a connection needs of the server around it.
class SessionHost {
public:
    virtual asio::io_context& io() = 0;
    virtual MemoryGauge& gauge() = 0;
    // Shared by every connection: reads run one at a time on this thread and are handled at once.
    virtual std::array<char, kReadChunkBytes>& read_buffer() = 0;
    // Writes wait for the end of this turn of the event loop, so that each connection gets one
    // write per turn however many messages it was sent.
    virtual void schedule_flush(SessionPtr session) = 0;
    // One read of a connection that is still taking input.
    virtual void on_input(const SessionPtr& from, std::string_view bytes) = 0;
    // The peer ended a connection that was taking input: `error` is empty for an orderly end.
    virtual void on_peer_gone(const SessionPtr& session, const std::string& error) = 0;
    virtual void on_throttled(const Session& session) = 0;
    virtual void on_written(std::size_t bytes) = 0;
    // The socket is closed: the connection holds nothing any more.
    virtual void on_closed(const Session& session) = 0;

protected:
    ~SessionHost() = default;
};

// Turns on what lets the server notice a peer that vanished: TCP keepalive for an idle
// connection, and a bound on how long sent data may stay unacknowledged.
void WatchForDeadPeer(asio::ip::tcp::socket& socket, std::chrono::seconds timeout);

class Session : public std::enable_shared_from_this<Session> {
public:
    Session(SessionHost& host, asio::ip::tcp::socket socket, const asio::ip::tcp::endpoint& peer, InputBudget budget,
        std::size_t max_queue_bytes);

    const asio::ip::address_v4& address() const { return address_; }
    // "192.0.2.7:51000", for the log.
    const std::string& peer() const { return peer_; }
    std::size_t queued_cost() const { return queued_cost_; }
    // Still taking input: neither leaving nor closed.
    bool open() const { return state_ == State::Open; }
    bool throttled() const { return throttled_; }

    // What passed over this connection, for the operator.
    struct Traffic {
        std::chrono::system_clock::time_point since = std::chrono::system_clock::now();
        std::uint64_t messages_in = 0;
        std::uint64_t bytes_in = 0;
        std::uint64_t messages_out = 0;
        std::uint64_t bytes_out = 0;
    };
    const Traffic& traffic() const { return traffic_; }
    bool closed() const { return state_ == State::Closed; }

    // Queues masked bytes from `offset` on. Refuses, queueing nothing, past the connection's cap.
    bool enqueue(const SharedBytes& bytes, std::size_t offset = 0);
    // Writes what is queued; the host calls it once per turn of the event loop.
    void flush();
    void start_reading();

    // Takes no more input, sends what is queued, and ends the connection in order; past `bound`
    // it is reset instead. A member's close waits for the peer's, so that its last line cannot be
    // lost to a reset; a connection refused at the door closes as soon as its line is sent, so
    // that refusals cost no descriptor for longer than that.
    void leave_in_order(std::chrono::steady_clock::duration bound, bool wait_for_peer = true);
    // Ends at once with a reset: an orderly close would wait behind data the peer never took.
    void reset();
    // Ends at once, for a peer that has gone.
    void close();

private:
    enum class State { Open, Leaving, Closed };
    struct Queued {
        SharedBytes bytes;
        std::size_t offset;
    };

    void await_readable();
    void on_readable(const asio::error_code& ec);
    void read_available();
    // False when the member is past its budget; reading then resumes once the budget allows.
    bool within_budget();
    void on_written(const asio::error_code& ec, std::size_t written);
    // Everything queued is sent: the end of the stream follows it, then the peer's end is awaited.
    void finish_leaving();
    void discard_available();
    asio::steady_timer& timer();
    void release_buffers();

    SessionHost& host_;
    asio::ip::tcp::socket socket_;
    asio::ip::address_v4 address_;
    std::string peer_;
    std::size_t max_queue_bytes_;
    InputBudget budget_;
    State state_ = State::Open;
    bool throttled_ = false;
    bool read_wait_pending_ = false;
    bool end_sent_ = false;
    bool wait_for_peer_ = true;
    std::size_t discarded_ = 0;
    // Waits for the budget while open, and bounds the orderly close while leaving; made only when
    // needed, so that idle members stay cheap.
    std::unique_ptr<asio::steady_timer> timer_;

    std::vector<Queued> pending_;
    std::vector<Queued> in_flight_;
    std::vector<asio::const_buffer> gather_;
    std::string coalesced_;
    // Costs of everything queued, in flight included, and of the part in flight.
    std::size_t queued_cost_ = 0;
    std::size_t in_flight_cost_ = 0;
    bool writing_ = false;
    bool flush_scheduled_ = false;
    Traffic traffic_;
};

}  // namespace velmora
