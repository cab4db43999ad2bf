#pragma once

#include <asio.hpp>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace velmora {

constexpr unsigned short kDefaultPort = 1024;
constexpr std::size_t kDefaultMaxQueueBytes = 1024 * 1024;
constexpr std::size_t kDefaultMaxClients = 10000;

// One read never takes more than this, so one relay is at most a name prefix plus this many bytes.
constexpr std::size_t kReadChunkBytes = 4096;
// Room for the longest name prefix ("guest-" plus 20 digits and ": ") on top of one read.
constexpr std::size_t kMaxRelayBytes = kReadChunkBytes + 32;
// What a queued message costs a client beyond its bytes (its queue slot and its share of the
// allocation), so that the cap bounds memory even when a stalled client holds many tiny messages.
constexpr std::size_t kQueuedMessageOverhead = 64;
// A smaller queue cap could not hold a single relay, and every client would be dropped at once.
constexpr std::size_t kMinQueueBytes = 2 * (kMaxRelayBytes + kQueuedMessageOverhead);
// Buffers that one gathered write hands to the system at once (Asio's limit for a single call).
constexpr std::size_t kMaxGatherBuffers = 64;
// Connections already waiting that one accept turn takes in; their join notices go out together.
constexpr std::size_t kAcceptBatch = 256;
constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(100);

struct ServerOptions {
    asio::ip::tcp::endpoint endpoint{asio::ip::address_v4::any(), kDefaultPort};
    std::size_t max_queue_bytes = kDefaultMaxQueueBytes;
    std::size_t max_clients = kDefaultMaxClients;
};

using LogSink = std::function<void(std::string_view)>;
// Masked bytes, shared by every client they are queued for.
using SharedBytes = std::shared_ptr<const std::string>;

class Session;

// Accepts clients, names them and relays what each one sends to all the others, masked.
// Everything runs on the io_context's single thread.
class RelayServer {
public:
    // Binds and listens at once, so a failure to listen throws here rather than later.
    RelayServer(asio::io_context& io, const ServerOptions& options, LogSink log);
    ~RelayServer();

    RelayServer(const RelayServer&) = delete;
    RelayServer& operator=(const RelayServer&) = delete;

    unsigned short port() const;
    void start();
    // Stops accepting and closes every client; run() returns once their handlers have finished.
    void stop();

private:
    friend class Session;
    using SessionPtr = std::shared_ptr<Session>;

    enum class Leave { Closed, QueueFull, Error };

    void accept_next();
    void on_accept(asio::error_code ec, asio::ip::tcp::socket socket);
    void pause_accepting(const asio::error_code& ec);
    void resume_accepting();
    void take(asio::ip::tcp::socket socket, std::string& joins);
    void admit(asio::ip::tcp::socket socket, const std::string& peer, std::string& joins);
    void reject(asio::ip::tcp::socket socket, const std::string& peer);
    void announce_joins(std::string joins);

    void relay(const SessionPtr& from, const char* bytes, std::size_t n);
    void broadcast(const SessionPtr& from, std::string message);
    void remove(const SessionPtr& session, Leave why, const std::string& detail = {});
    void reap();
    void schedule_flush(SessionPtr session);
    void log(const std::string& line) const;

    asio::io_context& io_;
    ServerOptions options_;
    LogSink log_;
    asio::ip::tcp::acceptor acceptor_;
    asio::steady_timer accept_retry_;
    bool accept_paused_ = false;
    bool accept_retry_armed_ = false;
    bool stopped_ = false;
    std::uint64_t next_guest_ = 1;
    std::unordered_set<SessionPtr> members_;
    std::vector<SessionPtr> doomed_;
    bool reaping_ = false;
    std::vector<SessionPtr> to_flush_;
    bool flush_posted_ = false;
    // Shared by every client: reads run one at a time on this thread and are relayed before the next.
    std::array<char, kReadChunkBytes> read_buffer_;
};

} // namespace velmora
