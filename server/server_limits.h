// Every limit of velmora-server, with its reason. The wire format is written down in
// docs/protocol.md.
#pragma once

#include <asio/ip/tcp.hpp>

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace velmora {

// A line the server sends, CR LF included, is never longer than one read of the client.
constexpr std::size_t kLineMaxBytes = 256;
constexpr char kLineEnd[] = "\r\n";
constexpr std::size_t kLineEndBytes = 2;

// One read from a member never takes more than this; one read is one message.
constexpr std::size_t kReadChunkBytes = 4096;

// Member names: "guest-" and a number, or one the member chose.
constexpr std::size_t kNameMaxBytes = 16;
// Room for the longest guest name ("guest-" and 20 digits) anywhere a name is shown.
constexpr std::size_t kShownNameMaxBytes = 26;

// What a queued message costs beyond its bytes (its queue slot and its share of the allocation),
// so that the caps bound memory even when a stalled member holds many tiny messages.
constexpr std::size_t kQueuedMessageOverhead = 64;
// The most one read can turn into: every relay line of it, each with its name in front.
constexpr std::size_t kMaxMessageBytes =
    (kReadChunkBytes / (kLineMaxBytes - kShownNameMaxBytes - 2 - kLineEndBytes) + 1) * kLineMaxBytes;
// A smaller queue cap could not hold a single message, and every member would be dropped at once.
constexpr std::size_t kMinQueueBytes = 2 * (kMaxMessageBytes + kQueuedMessageOverhead);

// Buffers that one gathered write hands to the system at once (Asio's limit for a single call).
constexpr std::size_t kMaxGatherBuffers = 64;
// Connections already waiting that one accept turn takes in; their join notices go out together.
constexpr std::size_t kAcceptBatch = 256;
constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(100);

// Presence notices (joins, leaves, renames) wait for the event loop to go a whole turn without a
// new one, but never longer than this, so that a burst costs each member one shared message.
constexpr auto kPresenceBatchMaxAge = std::chrono::milliseconds(250);
// More leaves than this in one batch are told as one line: the first names and a count.
constexpr std::size_t kLeaveLinesMax = 5;

// /who names at most this many members; the rest are counted.
constexpr std::size_t kWhoNamesMax = 100;
// A member that renamed waits this long before it may rename again.
constexpr auto kRenameInterval = std::chrono::seconds(10);

// Defaults of the command-line options.
constexpr unsigned short kDefaultPort = 1024;
constexpr std::size_t kDefaultMaxQueueBytes = 1024 * 1024;
constexpr std::size_t kDefaultMaxClients = 10000;
// No person typing or pasting a few lines meets these.
constexpr std::size_t kDefaultRateBytesPerSecond = 1024;
constexpr std::size_t kDefaultBurstBytes = 8 * 1024;
constexpr std::size_t kDefaultMaxPerAddress = 16;
constexpr std::size_t kDefaultMaxMemoryBytes = 256u * 1024 * 1024;
constexpr unsigned kDefaultStatsIntervalSeconds = 60;

struct ServerOptions {
    asio::ip::tcp::endpoint endpoint{asio::ip::address_v4::any(), kDefaultPort};
    std::size_t max_queue_bytes = kDefaultMaxQueueBytes;
    std::size_t max_clients = kDefaultMaxClients;
    std::size_t rate_bytes_per_second = kDefaultRateBytesPerSecond;  // 0: no input budget
    std::size_t burst_bytes = kDefaultBurstBytes;
    std::size_t max_per_address = kDefaultMaxPerAddress;  // 0: no cap
    bool limit_loopback = false;
    std::size_t max_memory_bytes = kDefaultMaxMemoryBytes;  // 0: no bound
    unsigned stats_interval_seconds = kDefaultStatsIntervalSeconds;  // 0: no statistics
    std::vector<std::string> motd;  // lines for each newcomer, as the operator wrote them
};

// Files that sign this server in to NATS: a user file, an NKey seed or a credentials file holds a
// few short lines, so a longer one is none of them (or a device that never ends) and is refused.
constexpr std::size_t kNatsCredentialFileMaxBytes = 64 * 1024;
// libnats 3.4 sends no signature when the one it made of the NATS server's nonce starts with a
// zero byte, so NATS refuses one sign-in with an NKey or credentials file in 256; another
// connection brings another nonce. Three attempts all fail once in 16 million.
constexpr int kNatsSignInAttempts = 3;

}  // namespace velmora
