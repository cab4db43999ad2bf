// Joins this server's room to the same room on every other server connected to the same NATS
// cluster: messages on one subject per room, names and guest numbers in a JetStream key-value
// bucket. The format is written down in docs/protocol.md, "Between servers".
//
// The NATS client runs threads of its own, and calls that wait on NATS (the key-value store) run
// on a worker thread of this bridge: nothing that touches the room runs anywhere but on the
// io_context's thread, and nothing that waits on NATS runs there.
#pragma once

#include "nats_credentials.h"
#include "room.h"
#include "room_link.h"

#include <asio.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

struct __natsConnection;
struct __natsSubscription;
struct __jsCtx;
struct __kvStore;

namespace velmora {

struct NatsOptions {
    std::vector<std::string> urls;
    std::string room = "lobby";
    NatsCredentials credentials;
};

// A room name is one token of a NATS subject and part of a bucket name.
bool IsRoomName(const std::string& room);

class NatsBridge : public RoomLink {
public:
    // Connects and opens the room's bucket, waiting a bounded time; throws std::runtime_error
    // with a reason a person can act on when NATS cannot be reached or has no JetStream.
    NatsBridge(asio::io_context& io, Room& room, NatsOptions options, LogSink log);
    ~NatsBridge() override;

    NatsBridge(const NatsBridge&) = delete;
    NatsBridge& operator=(const NatsBridge&) = delete;

    // On the event loop: subscribe, tell the others who is here, and keep the heartbeat.
    void start();
    // On the event loop: the others are told this server's members have all left.
    void stop();

    const std::string& server_id() const override { return server_id_; }
    bool connected() const override { return connected_; }
    void publish(const RoomEvent& event) override;
    void claim_name(const std::string& name, std::set<std::string> live, std::function<void(NameClaim)> done) override;
    void release_name(const std::string& name) override;
    std::uint64_t next_guest() override;

private:
    // The NATS client's callbacks, on its threads.
    friend struct NatsCallbacks;

    void open_bucket();
    // Takes the next free block of guest numbers; blocks, so only at start or on the worker.
    bool reserve_guest_block(std::uint64_t& first, std::string& failure);
    void run_worker();
    void submit(std::function<void()> task);
    NameClaim claim(const std::string& key, const std::string& value, const std::set<std::string>& live);
    void schedule_tick();
    void log(const std::string& line) const;

    asio::io_context& io_;
    Room& room_;
    NatsOptions options_;
    LogSink log_;
    std::string server_id_;
    std::string subject_;
    __natsConnection* connection_ = nullptr;
    __natsSubscription* subscription_ = nullptr;
    __jsCtx* jetstream_ = nullptr;
    __kvStore* bucket_ = nullptr;

    // Only on the event loop.
    bool connected_ = true;
    bool stopped_ = false;
    std::uint64_t seq_ = 0;
    std::uint64_t publish_failures_ = 0;
    std::uint64_t next_guest_ = 0;
    std::uint64_t block_end_ = 0;
    std::uint64_t spare_block_ = 0;  // the first number of a block reserved ahead, or 0
    bool reserving_ = false;
    bool overrun_logged_ = false;
    asio::steady_timer tick_;

    // Messages handed to the event loop and not yet handled: past the bound they are dropped,
    // which the receiving room sees as a gap in the sender's numbering.
    std::atomic<std::size_t> inbound_bytes_{0};
    std::atomic<std::uint64_t> inbound_dropped_{0};

    std::mutex work_mutex_;
    std::condition_variable work_ready_;
    std::deque<std::function<void()>> work_;
    bool work_stop_ = false;
    std::thread worker_;
};

}  // namespace velmora
