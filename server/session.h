// One member's connection: its input budget, its read loop and its queue of masked bytes.
#pragma once

#include "server_limits.h"

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

class Room;

// What the server's queues hold, counted once however many members share it. The room bounds it.
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

// A token bucket: a member may send `rate` bytes a second and `burst` bytes at once. A read is
// never shortened by it; the balance may go below zero and is paid back before the next read.
class InputBudget {
public:
    using Clock = std::chrono::steady_clock;

    InputBudget(std::size_t rate, std::size_t burst);

    bool unlimited() const { return rate_ == 0; }
    // Refills for the time passed; true while there is something left to spend.
    bool refill(Clock::time_point now);
    bool full() const { return tokens_ >= burst_; }
    void spend(std::size_t bytes) { tokens_ -= static_cast<double>(bytes); }
    // How long until the balance is above zero again.
    Clock::duration until_positive() const;

private:
    double rate_;
    double burst_;
    double tokens_;
    Clock::time_point refilled_at_;
};

enum class Leave { Closed, Quit, QueueFull, MemoryBound, Error };

class Session : public std::enable_shared_from_this<Session> {
public:
    Session(Room& room, asio::ip::tcp::socket socket, std::uint64_t id);

    std::uint64_t id() const { return id_; }
    const std::string& name() const { return name_; }
    void set_name(std::string name) { name_ = std::move(name); }
    const asio::ip::address_v4& address() const { return address_; }
    const std::string& peer() const { return peer_; }
    std::size_t queued_cost() const { return queued_cost_; }
    bool closed() const { return closed_; }

    // The name it was given on joining: the one guest name it may take back.
    std::string guest_name;
    // Its place in the room's list of members.
    std::size_t slot = 0;
    // A /nick of this member waits for the rest of the room.
    bool rename_pending = false;
    // When this member may rename again.
    std::chrono::steady_clock::time_point rename_ready_at;
    // Where this newcomer's share of a presence batch starts: the notices after its own join.
    std::size_t presence_offset = 0;

    // Queues masked bytes from `offset` on. Refuses, queueing nothing, past the member's cap.
    bool enqueue(const SharedBytes& bytes, std::size_t offset = 0);
    // Writes what is queued; the room calls it once per turn of the event loop.
    void flush();

    void start_reading();
    // Sends what is queued, then ends the connection in order.
    void close_after_flush();
    void close();
    // For a member that stopped reading: an orderly close would wait behind the data it never
    // took, keeping the kernel's buffers and leaving the member unaware; a reset ends it at once.
    void abort();

private:
    struct Queued {
        SharedBytes bytes;
        std::size_t offset;
    };

    void await_readable();
    void read_available();
    // False when the member is past its budget; reading then resumes once the budget allows.
    bool within_budget();
    void on_written(const asio::error_code& ec, std::size_t written);
    void release_buffers();

    Room& room_;
    asio::ip::tcp::socket socket_;
    std::uint64_t id_;
    std::string name_;
    asio::ip::address_v4 address_;
    std::string peer_;
    InputBudget budget_;
    bool throttled_ = false;
    std::unique_ptr<asio::steady_timer> budget_timer_;

    std::vector<Queued> pending_;
    std::vector<Queued> in_flight_;
    std::vector<asio::const_buffer> gather_;
    std::string coalesced_;
    // Costs of everything queued, in flight included, and of the part in flight.
    std::size_t queued_cost_ = 0;
    std::size_t in_flight_cost_ = 0;
    bool writing_ = false;
    bool flush_scheduled_ = false;
    bool close_after_flush_ = false;
    bool closed_ = false;
};

using SessionPtr = std::shared_ptr<Session>;

}  // namespace velmora
