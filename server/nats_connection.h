// One server's connection to NATS: connecting, the room's subject, and a worker thread for the
// calls that wait on NATS. The NATS client runs threads of its own; nothing that touches the room
// runs anywhere but on the io_context's thread, and nothing that waits on NATS runs there.
#pragma once

#include "log_summary.h"
#include "nats_credentials.h"

#include <asio.hpp>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

struct __natsConnection;
struct __natsSubscription;
struct __jsCtx;

namespace velmora {

struct NatsOptions {
    std::vector<std::string> urls;
    std::string room = "lobby";
    NatsCredentials credentials;
};

class NatsConnection {
public:
    // What arrives, on the event loop.
    struct Handlers {
        std::function<void(std::string frame)> frame;
        std::function<void()> lost;
        std::function<void(const std::string& url)> back;
    };

    // Connects, waiting a bounded time; throws std::runtime_error with a reason a person can act
    // on when NATS cannot be reached or has no JetStream.
    NatsConnection(asio::io_context& io, const NatsOptions& options, LogSink log);
    ~NatsConnection();
    NatsConnection(const NatsConnection&) = delete;
    NatsConnection& operator=(const NatsConnection&) = delete;

    __jsCtx* jetstream() const { return jetstream_; }
    // The server the connection is on now, as it may be shown.
    std::string url() const;

    // On the event loop.
    void subscribe(const std::string& subject, Handlers handlers);
    bool connected() const { return connected_; }
    // False, with the reason, when the message could not be handed to NATS.
    bool publish(const std::string& subject, std::string_view data, std::string& error);
    // Frames dropped before they reached the event loop since the last call: too large to be
    // any server's, or more than this server could keep up with.
    std::uint64_t take_oversized() { return oversized_.exchange(0); }
    std::uint64_t take_behind() { return behind_.exchange(0); }

    // Runs `task` on the worker thread; false, with nothing queued, when its queue is full.
    bool submit(std::function<void()> task);
    // The worker finishes the task it is on and takes no other; the tasks' own retry loops ask
    // stopping(). Also sends what is still buffered, within a short bound.
    void stop();
    bool stopping() const { return stopping_; }

private:
    friend struct NatsCallbacks;

    void run_worker();

    asio::io_context& io_;
    LogSink log_;
    __natsConnection* connection_ = nullptr;
    __natsSubscription* subscription_ = nullptr;
    __jsCtx* jetstream_ = nullptr;
    Handlers handlers_;

    // Only on the event loop.
    bool connected_ = true;
    bool stopped_ = false;

    // Messages handed to the event loop and not yet handled: past the bound they are dropped,
    // which the receiving room sees as a gap in the sender's numbering.
    std::atomic<std::size_t> inbound_bytes_{0};
    std::atomic<std::uint64_t> oversized_{0};
    std::atomic<std::uint64_t> behind_{0};

    std::mutex work_mutex_;
    std::condition_variable work_ready_;
    std::deque<std::function<void()>> work_;
    bool work_stop_ = false;
    std::atomic<bool> stopping_{false};
    std::thread worker_;
};

}  // namespace velmora
