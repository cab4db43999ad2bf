// Every limit of velmora-server, with its reason. The wire format is written down in
// docs/protocol.md.
#pragma once

#include <asio/ip/tcp.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
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

// A member that leaves in order (/quit, or the server stopping) is sent what is queued for it and
// the connection is closed in order within this; past it the connection is reset, so that a peer
// that never reads cannot keep it.
constexpr auto kOrderlyCloseBound = std::chrono::seconds(2);
// Once its last line is sent, a leaving connection's own bytes are read and thrown away until the
// peer closes too: closing with unread bytes would reset the connection and could destroy that
// line on its way. A peer that keeps sending past this much is reset.
constexpr std::size_t kLingerDiscardMaxBytes = 64 * 1024;
// Every step of a shutdown is bounded; should one hang all the same, the process ends after this.
constexpr auto kShutdownBackstop = std::chrono::milliseconds(4500);

// Every read is charged at least this against the input budget, so that tiny messages buy no more
// lines on people's screens than ordinary ones: with the default budget, 8 short lines a second
// sustained and 64 at once.
constexpr std::size_t kMinMessageCharge = 128;

// Addresses remembered between connections (their budgets, their connection rates). Past it, an
// address is forgotten as soon as its last connection closes.
constexpr std::size_t kMaxRememberedAddresses = 100000;
// How often addresses whose budgets are whole again are forgotten.
constexpr auto kAddressSweepInterval = std::chrono::seconds(10);

// Lines an attacker could repeat (refusals, throttling) are written once an interval per kind,
// with a count of the rest.
constexpr auto kLogSummaryInterval = std::chrono::seconds(10);
// Text a member chose (a /quit reason) is cut to this in the log.
constexpr std::size_t kLoggedTextMaxBytes = 200;

// A peer that vanished (a laptop closed, a cable pulled) is let go within about this many seconds:
// keepalive probes start after half of it when the connection is idle, and a peer that leaves
// data unacknowledged this long is dropped. A member silent for hours is never cut: its system
// answers the probes.
constexpr unsigned kKeepaliveProbes = 6;

// Between servers (docs/protocol.md, "Between servers"). Another server is untrusted input too:
// every frame is checked against these before it touches the room.
constexpr std::size_t kRoomNameMaxBytes = 32;
constexpr std::size_t kServerIdDigits = 16;
// A relay or an action carries one read of a member, a leave's reason one line.
constexpr std::size_t kRemoteTextMaxBytes = kReadChunkBytes;
constexpr std::size_t kRemoteReasonMaxBytes = kLineMaxBytes - kLineEndBytes;
// Rosters go out in parts no larger than this, well under what one NATS message may carry.
constexpr std::size_t kRosterPartBytes = 32 * 1024;
// The header of a frame, and the most a whole frame may be.
constexpr std::size_t kFrameHeaderMaxBytes = 64;
constexpr std::size_t kFrameMaxBytes = kFrameHeaderMaxBytes + kShownNameMaxBytes + kRosterPartBytes;
// One server's members, and the parts its roster comes in: far above what --max-clients allows a
// real server, so that only made-up rosters meet them.
constexpr std::size_t kRemoteServerMembersMax = 100000;
constexpr std::size_t kRosterPartsMax = (kRemoteServerMembersMax * (kShownNameMaxBytes + 1)) / kRosterPartBytes + 1;
// Servers tracked at once: made-up server ids cost a counter, not memory.
constexpr std::size_t kRemoteServersMax = 64;
// Every server says it is alive once a second; one silent for four is taken to have gone.
constexpr auto kHeartbeatInterval = std::chrono::seconds(1);
constexpr auto kServerSilenceBound = std::chrono::seconds(4);
// A server publishes its roster for queries at most once in this, and asks any one server for its
// roster at most once in this.
constexpr auto kRosterAnswerInterval = std::chrono::seconds(1);
constexpr auto kQueryInterval = std::chrono::seconds(1);
// Joins, leaves and renames one server may announce: a mass leave of 10,000 members fits at once.
constexpr std::size_t kRemotePresenceBurst = 25000;
constexpr std::size_t kRemotePresenceRate = 5000;

// The NATS connection. Waits that bound how long a server may hang on NATS: connecting to each URL
// at start, and every key-value request on the worker.
constexpr std::int64_t kNatsConnectTimeoutMs = 2000;
constexpr std::int64_t kNatsRequestTimeoutMs = 1500;
constexpr std::int64_t kNatsReconnectWaitMs = 500;
// A dead NATS node is noticed by its silence within PingInterval x MaxPingsOut.
constexpr std::int64_t kNatsPingIntervalMs = 1000;
constexpr int kNatsMaxPingsOut = 3;
// What is published while the link is down is dropped, not sent late and out of its moment.
constexpr int kNatsReconnectBufferBytes = 1;
// Messages from other servers that may wait for the event loop at once; past it they are dropped.
constexpr std::size_t kNatsInboundMaxBytes = 64u * 1024 * 1024;
constexpr int kNatsClientPendingMessages = 256 * 1024;
// At shutdown: how long the last messages, the bye among them, may take to leave.
constexpr std::int64_t kNatsFinalFlushMs = 500;
// Key-value requests waiting for the worker; past it a /nick is told the room is busy at once.
constexpr std::size_t kNatsWorkQueueMax = 1024;
// Retrying the bucket while a cluster elects its leaders: at start, and for one /nick.
constexpr std::int64_t kNatsStartTimeoutMs = 10000;
constexpr std::int64_t kNatsClaimTimeoutMs = 6000;
constexpr std::int64_t kNatsRetryPauseMs = 100;
// The room's bucket: three copies where the cluster has three servers, so that the names survive
// one of them; its size bounded, and no value larger than a name record needs.
constexpr int kBucketReplicas = 3;
constexpr std::int64_t kBucketMaxBytes = 64 * 1024 * 1024;
constexpr std::int32_t kBucketMaxValueBytes = 256;
// Guest numbers come in blocks: the first server's guests are guest-1, guest-2, ...
constexpr std::uint64_t kGuestBlock = 100000;
// The room's bans in its bucket: the watcher's thread looks this often whether it should stop; what
// NATS could not take is tried again this often; and the marker of a lifted ban stays long enough
// for every server's watcher to have seen it.
constexpr std::int64_t kBanWatchWaitMs = 500;
constexpr auto kBanRetryInterval = std::chrono::seconds(1);
constexpr auto kBanMarkerLinger = std::chrono::seconds(60);

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
// A person reconnecting now and then never meets these; a script reconnecting in a loop does.
constexpr std::size_t kDefaultConnectBurst = 10;
constexpr std::size_t kDefaultConnectRate = 1;
constexpr unsigned kDefaultDeadPeerSeconds = 120;
constexpr unsigned kMinDeadPeerSeconds = 2;

struct ServerOptions {
    asio::ip::tcp::endpoint endpoint{asio::ip::address_v4::any(), kDefaultPort};
    std::size_t max_queue_bytes = kDefaultMaxQueueBytes;
    std::size_t max_clients = kDefaultMaxClients;
    std::size_t rate_bytes_per_second = kDefaultRateBytesPerSecond;  // 0: no input budget
    std::size_t burst_bytes = kDefaultBurstBytes;
    std::size_t max_per_address = kDefaultMaxPerAddress;  // 0: no cap
    bool limit_loopback = false;
    std::size_t connect_rate = kDefaultConnectRate;  // a second, per address; 0: no limit
    std::size_t connect_burst = kDefaultConnectBurst;
    unsigned dead_peer_seconds = kDefaultDeadPeerSeconds;
    std::size_t max_memory_bytes = kDefaultMaxMemoryBytes;  // 0: no bound
    unsigned stats_interval_seconds = kDefaultStatsIntervalSeconds;  // 0: no statistics
    std::vector<std::string> motd;  // lines for each newcomer, as the operator wrote them
};

// The operator's tools: bans kept across restarts, Prometheus metrics and the control socket.

// Bans the list holds. It is for troublemakers, not a firewall; the file is rewritten whole on the
// event loop's thread at each change, and at this size that stays a matter of milliseconds.
constexpr std::size_t kMaxBans = 4096;
// A ban's reason is one short line, so that it fits beside the ban in a table and in a notice.
constexpr std::size_t kBanReasonMaxBytes = 200;
// The ban file is read whole at start; a bigger one is not a file this server wrote.
constexpr std::size_t kBanFileMaxBytes = 4 * 1024 * 1024;
// A longer ban is meant to last: one without an end says so plainly.
constexpr auto kMaxDuration = std::chrono::hours(24 * 3650);

// A scrape request is a few hundred bytes; a header past this comes from no scraper.
constexpr std::size_t kMetricsRequestMaxBytes = 4096;
// A scraper sends its request at once and reads the reply as it comes.
constexpr auto kMetricsRequestTimeout = std::chrono::seconds(3);
constexpr auto kMetricsReplyTimeout = std::chrono::seconds(5);
// Prometheus scrapes one target at a time: room for a pair of them and a person with curl.
constexpr std::size_t kMetricsMaxConnections = 4;

// A command is a few words; a request past this is not one.
constexpr std::size_t kControlRequestMaxBytes = 4096;
// The client sends its request as soon as it connects.
constexpr auto kControlRequestTimeout = std::chrono::seconds(2);
constexpr auto kControlReplyTimeout = std::chrono::seconds(5);
// Operators typing commands, and a script or two.
constexpr std::size_t kControlMaxConnections = 8;
// What the client reads of a reply: a table of every member of a full server fits many times.
constexpr std::size_t kControlReplyMaxBytes = 64 * 1024 * 1024;
constexpr char kDefaultControlPath[] = "/run/velmora-server/control";
constexpr double kDefaultControlTimeoutSeconds = 5;

// Files that sign this server in to NATS: a user file, an NKey seed or a credentials file holds a
// few short lines, so a longer one is none of them (or a device that never ends) and is refused.
constexpr std::size_t kNatsCredentialFileMaxBytes = 64 * 1024;
// libnats 3.4 sends no signature when the one it made of the NATS server's nonce starts with a
// zero byte, so NATS refuses one sign-in with an NKey or credentials file in 256; another
// connection brings another nonce. Three attempts all fail once in 16 million.
constexpr int kNatsSignInAttempts = 3;

// Running as a systemd service. systemd restarts a service that lets WatchdogSec= pass without a
// WATCHDOG=1; fed twice per interval, a busy moment on a loaded machine still leaves half of it.
constexpr unsigned kWatchdogFeedsPerInterval = 2;

}  // namespace velmora
