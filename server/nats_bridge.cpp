#include "nats_bridge.h"

#include <nats/nats.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <utility>

namespace velmora {

namespace {

// Waits that bound how long a server may hang on NATS: connecting to each URL at start, and
// every key-value request on the worker.
constexpr std::int64_t kConnectTimeoutMs = 2000;
constexpr std::int64_t kRequestTimeoutMs = 1500;
// Opening the room's bucket and taking a block of guest numbers, retried together for at most this.
constexpr std::int64_t kStartTimeoutMs = 10000;
// How long a /nick may wait for the bucket before the member is told to try again.
constexpr std::int64_t kClaimTimeoutMs = 6000;
constexpr std::int64_t kReconnectWaitMs = 500;
constexpr std::int64_t kRetryPauseMs = 100;
// A dead NATS node is noticed by its silence within PingInterval x MaxPingsOut.
constexpr std::int64_t kPingIntervalMs = 1000;
constexpr int kMaxPingsOut = 3;
// What is published while the link is down is dropped, not sent late and out of its moment.
constexpr int kReconnectBufferBytes = 1;
constexpr auto kHeartbeat = std::chrono::seconds(1);
// Guest numbers come in blocks: the first server's guests are guest-1, guest-2, ...
constexpr std::uint64_t kGuestBlock = 100000;
// Messages from other servers that may wait for the event loop at once.
constexpr std::size_t kInboundMaxBytes = 64u * 1024 * 1024;
constexpr int kClientPendingMessages = 256 * 1024;
constexpr int kBucketReplicas = 3;
constexpr const char kFormat[] = "VM1";
constexpr const char kGuestBlockKey[] = "guest-block";

std::string Text(natsStatus status)
{
    const char* last = nats_GetLastError(nullptr);
    return std::string(natsStatus_GetText(status)) + (last && *last ? " (" + std::string(last) + ")" : "");
}

std::string RandomId()
{
    std::random_device random;
    const std::uint64_t value = (static_cast<std::uint64_t>(random()) << 32) | random();
    char id[17];
    std::snprintf(id, sizeof id, "%016llx", static_cast<unsigned long long>(value));
    return id;
}

std::string Encode(const std::string& server, std::uint64_t seq, const RoomEvent& event)
{
    std::string out = std::string(kFormat) + " " + server + " " + std::to_string(seq) + " "
        + static_cast<char>(event.kind) + " " + std::to_string(event.name.size()) + "\n";
    out += event.name;
    out += event.detail;
    return out;
}

bool Decode(const std::string& data, std::string& server, std::uint64_t& seq, RoomEvent& event)
{
    const std::size_t end = data.find('\n');
    if (end == std::string::npos)
        return false;
    char format[8] = {};
    char id[33] = {};
    unsigned long long number = 0;
    char kind = 0;
    std::size_t name_length = 0;
    const std::string header = data.substr(0, end);
    if (std::sscanf(header.c_str(), "%7s %32s %llu %c %zu", format, id, &number, &kind, &name_length) != 5
        || std::string(format) != kFormat || end + 1 + name_length > data.size())
        return false;
    server = id;
    seq = number;
    event.kind = static_cast<RoomEvent::Kind>(kind);
    event.name = data.substr(end + 1, name_length);
    event.detail = data.substr(end + 1 + name_length);
    return true;
}

std::string NameKey(const std::string& name)
{
    return "name." + FoldCase(name);
}

}  // namespace

bool IsRoomName(const std::string& room)
{
    if (room.empty() || room.size() > 32)
        return false;
    for (const char c : room)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-'))
            return false;
    return true;
}

struct NatsCallbacks {
    static void Message(natsConnection*, natsSubscription*, natsMsg* msg, void* closure)
    {
        auto* bridge = static_cast<NatsBridge*>(closure);
        std::string data(natsMsg_GetData(msg), static_cast<std::size_t>(natsMsg_GetDataLength(msg)));
        natsMsg_Destroy(msg);
        const std::size_t size = data.size();
        if (bridge->inbound_bytes_.fetch_add(size) + size > kInboundMaxBytes) {
            bridge->inbound_bytes_ -= size;
            ++bridge->inbound_dropped_;
            return;
        }
        asio::post(bridge->io_, [bridge, data = std::move(data)] {
            bridge->inbound_bytes_ -= data.size();
            std::string server;
            std::uint64_t seq = 0;
            RoomEvent event;
            if (bridge->stopped_ || !Decode(data, server, seq, event) || server == bridge->server_id_)
                return;
            bridge->room_.on_remote(server, seq, event);
        });
    }

    static void Disconnected(natsConnection*, void* closure)
    {
        auto* bridge = static_cast<NatsBridge*>(closure);
        asio::post(bridge->io_, [bridge] {
            if (!bridge->connected_ || bridge->stopped_)
                return;
            bridge->connected_ = false;
            bridge->log("lost NATS; members here keep talking, and their messages reach no other server until "
                        "it is back; reconnecting");
        });
    }

    static void Reconnected(natsConnection* nc, void* closure)
    {
        auto* bridge = static_cast<NatsBridge*>(closure);
        char url[256] = "";
        natsConnection_GetConnectedUrl(nc, url, sizeof url);
        asio::post(bridge->io_, [bridge, where = std::string(url)] {
            if (bridge->stopped_)
                return;
            bridge->connected_ = true;
            bridge->log("reconnected to NATS at " + ShownUrl(where));
            bridge->room_.on_link_up();
        });
    }

    static void Error(natsConnection*, natsSubscription*, natsStatus status, void* closure)
    {
        auto* bridge = static_cast<NatsBridge*>(closure);
        asio::post(bridge->io_, [bridge, what = std::string(natsStatus_GetText(status))] {
            bridge->log("NATS reports: " + what);
        });
    }
};

NatsBridge::NatsBridge(asio::io_context& io, Room& room, NatsOptions options, LogSink log)
    : io_(io), room_(room), options_(std::move(options)), log_(std::move(log)), server_id_(RandomId()),
      subject_("velmora.room." + options_.room), tick_(io)
{
    natsOptions* opts = nullptr;
    std::vector<const char*> urls;
    for (const std::string& url : options_.urls)
        urls.push_back(url.c_str());
    const std::string name = "velmora-server " + options_.room + " " + server_id_;
    natsStatus s = natsOptions_Create(&opts);
    if (s == NATS_OK)
        s = natsOptions_SetServers(opts, urls.data(), static_cast<int>(urls.size()));
    if (s == NATS_OK)
        s = natsOptions_SetName(opts, name.c_str());
    if (s == NATS_OK)
        s = natsOptions_SetTimeout(opts, kConnectTimeoutMs);
    if (s == NATS_OK)
        s = natsOptions_SetNoEcho(opts, true);
    if (s == NATS_OK)
        s = natsOptions_SetMaxReconnect(opts, -1);
    if (s == NATS_OK)
        s = natsOptions_SetReconnectWait(opts, kReconnectWaitMs);
    if (s == NATS_OK)
        s = natsOptions_SetReconnectBufSize(opts, kReconnectBufferBytes);
    if (s == NATS_OK)
        s = natsOptions_SetPingInterval(opts, kPingIntervalMs);
    if (s == NATS_OK)
        s = natsOptions_SetMaxPingsOut(opts, kMaxPingsOut);
    if (s == NATS_OK)
        s = natsOptions_SetDisconnectedCB(opts, NatsCallbacks::Disconnected, this);
    if (s == NATS_OK)
        s = natsOptions_SetReconnectedCB(opts, NatsCallbacks::Reconnected, this);
    if (s == NATS_OK)
        s = natsOptions_SetErrorHandler(opts, NatsCallbacks::Error, this);
    if (s == NATS_OK)
        s = ApplyNatsCredentials(opts, options_.credentials);
    if (s == NATS_OK)
        s = ConnectSignedIn(&connection_, opts, options_.credentials);
    natsOptions_Destroy(opts);
    if (s != NATS_OK) {
        std::string list;
        for (const std::string& url : options_.urls)
            list += (list.empty() ? "" : ", ") + ShownUrl(url);
        throw std::runtime_error("cannot reach NATS at " + list + ": " + Text(s));
    }
    open_bucket();
    std::uint64_t first = 0;
    std::string failure;
    if (!reserve_guest_block(first, failure))
        throw std::runtime_error("cannot take a block of guest numbers from the key-value bucket: " + failure);
    next_guest_ = first;
    block_end_ = first + kGuestBlock;
    worker_ = std::thread([this] { run_worker(); });
}

void NatsBridge::open_bucket()
{
    jsOptions js_options;
    jsOptions_Init(&js_options);
    js_options.Wait = kRequestTimeoutMs;
    natsStatus s = natsConnection_JetStream(&jetstream_, connection_, &js_options);
    if (s != NATS_OK)
        throw std::runtime_error("cannot use JetStream: " + Text(s));
    const std::string bucket = "velmora_" + options_.room;
    // A cluster just started may still be choosing its leader; servers starting together race to
    // make the bucket. Both settle within moments.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
    do {
        if (js_KeyValue(&bucket_, jetstream_, bucket.c_str()) == NATS_OK)
            return;
        // Three copies where the cluster has three servers, so that the names survive one of them.
        for (const int replicas : {kBucketReplicas, 1}) {
            kvConfig config;
            kvConfig_Init(&config);
            config.Bucket = bucket.c_str();
            config.Description = "velmora-server: names and guest numbers of one room";
            config.History = 1;
            config.Replicas = replicas;
            s = js_CreateKeyValue(&bucket_, jetstream_, &config);
            if (s == NATS_OK)
                return;
        }
        nats_Sleep(kRetryPauseMs);
    } while (std::chrono::steady_clock::now() < deadline);
    throw std::runtime_error("cannot open the key-value bucket " + bucket + " (is JetStream on, nats-server -js?): "
        + Text(s));
}

NatsBridge::~NatsBridge()
{
    {
        std::lock_guard<std::mutex> lock(work_mutex_);
        work_stop_ = true;
    }
    work_ready_.notify_all();
    if (worker_.joinable())
        worker_.join();
    if (subscription_) {
        natsSubscription_Unsubscribe(subscription_);
        natsSubscription_Destroy(subscription_);
    }
    if (connection_)
        natsConnection_FlushTimeout(connection_, kRequestTimeoutMs);
    kvStore_Destroy(bucket_);
    jsCtx_Destroy(jetstream_);
    natsConnection_Destroy(connection_);
    nats_CloseAndWait(kRequestTimeoutMs);
}

void NatsBridge::start()
{
    const natsStatus s = natsConnection_Subscribe(&subscription_, connection_, subject_.c_str(), NatsCallbacks::Message, this);
    if (s != NATS_OK)
        throw std::runtime_error("cannot subscribe to " + subject_ + ": " + Text(s));
    // The client's own queue holds messages only while the callback hands them on; it is bounded
    // like the bridge's, and what either drops shows as a gap in the sender's numbering.
    natsSubscription_SetPendingLimits(subscription_, kClientPendingMessages, static_cast<int>(kInboundMaxBytes));
    char url[256] = "";
    natsConnection_GetConnectedUrl(connection_, url, sizeof url);
    log("joined room " + options_.room + " through NATS at " + ShownUrl(url) + " as server " + server_id_);
    room_.attach(this);
    room_.on_link_up();
    schedule_tick();
}

void NatsBridge::stop()
{
    if (stopped_)
        return;
    publish({RoomEvent::Kind::Bye, {}, {}});
    stopped_ = true;
    tick_.cancel();
}

void NatsBridge::schedule_tick()
{
    tick_.expires_after(kHeartbeat);
    tick_.async_wait([this](const asio::error_code& ec) {
        if (ec || stopped_)
            return;
        if (const std::uint64_t dropped = inbound_dropped_.exchange(0))
            log("dropped " + std::to_string(dropped) + " messages from other servers: this server fell behind");
        // Also while the link is down: the other servers' members are then taken to have left.
        room_.on_link_tick();
        schedule_tick();
    });
}

void NatsBridge::publish(const RoomEvent& event)
{
    if (stopped_)
        return;
    const std::string data = Encode(server_id_, seq_++, event);
    const natsStatus s = natsConnection_Publish(connection_, subject_.c_str(), data.data(), static_cast<int>(data.size()));
    if (s == NATS_OK) {
        if (publish_failures_ > 0)
            log("publishing again after " + std::to_string(publish_failures_) + " messages reached no other server");
        publish_failures_ = 0;
    } else if (publish_failures_++ == 0) {
        log("a message reached no other server: " + std::string(natsStatus_GetText(s)));
    }
}

std::uint64_t NatsBridge::next_guest()
{
    if (next_guest_ == block_end_ && spare_block_ != 0) {
        next_guest_ = std::exchange(spare_block_, 0);
        block_end_ = next_guest_ + kGuestBlock;
    }
    if (next_guest_ == block_end_ && !overrun_logged_) {
        overrun_logged_ = true;
        log("guest numbers past this server's block: no new block could be had from NATS, so guest names may "
            "repeat across servers until one can");
    }
    // The next block is asked for well before this one runs out.
    if (!reserving_ && spare_block_ == 0 && block_end_ - next_guest_ < kGuestBlock / 10) {
        reserving_ = true;
        submit([this] {
            std::uint64_t first = 0;
            std::string failure;
            const bool got = reserve_guest_block(first, failure);
            asio::post(io_, [this, got, first, failure] {
                reserving_ = false;
                if (got)
                    spare_block_ = first;
                else
                    log("could not take the next block of guest numbers: " + failure);
            });
        });
    }
    return next_guest_++;
}

bool NatsBridge::reserve_guest_block(std::uint64_t& first, std::string& failure)
{
    // Servers starting together race for the counter, and a bucket just made may still be
    // electing its leader: both pass within moments.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        kvEntry* entry = nullptr;
        std::uint64_t revision = 0;
        std::uint64_t block = 0;
        natsStatus s = kvStore_Get(&entry, bucket_, kGuestBlockKey);
        if (s == NATS_OK) {
            block = std::strtoull(kvEntry_ValueString(entry), nullptr, 10);
            revision = kvEntry_Revision(entry);
            kvEntry_Destroy(entry);
        }
        if (s == NATS_OK || s == NATS_NOT_FOUND) {
            const std::string next = std::to_string(block + 1);
            s = revision == 0 ? kvStore_CreateString(nullptr, bucket_, kGuestBlockKey, next.c_str())
                              : kvStore_UpdateString(nullptr, bucket_, kGuestBlockKey, next.c_str(), revision);
            if (s == NATS_OK) {
                first = block * kGuestBlock + 1;
                return true;
            }
        }
        failure = Text(s);
        nats_Sleep(kRetryPauseMs);
    }
    return false;
}

void NatsBridge::claim_name(const std::string& name, std::set<std::string> live, std::function<void(NameClaim)> done)
{
    const std::string value = server_id_ + " " + name;
    submit([this, key = NameKey(name), value, live = std::move(live), done = std::move(done)] {
        const NameClaim outcome = claim(key, value, live);
        asio::post(io_, [done, outcome] { done(outcome); });
    });
}

// A name is free when no entry holds it, when its entry was emptied, or when the server holding
// it is no longer heard from.
NameClaim NatsBridge::claim(const std::string& key, const std::string& value, const std::set<std::string>& live)
{
    // A bucket whose leader is being chosen again, after a NATS node is lost, answers neither way
    // for a few seconds.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kClaimTimeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (kvStore_CreateString(nullptr, bucket_, key.c_str(), value.c_str()) == NATS_OK)
            return NameClaim::Claimed;
        kvEntry* entry = nullptr;
        const natsStatus s = kvStore_Get(&entry, bucket_, key.c_str());
        if (s == NATS_OK) {
            const std::string held = kvEntry_ValueString(entry);
            const std::uint64_t revision = kvEntry_Revision(entry);
            kvEntry_Destroy(entry);
            const std::string holder = held.substr(0, held.find(' '));
            if (held == value)
                return NameClaim::Claimed;
            // Held here already: the room has made sure no other member here has it, so it is
            // this member's own name in another case, or one let go a moment ago.
            if (!held.empty() && holder != server_id_ && live.count(holder) != 0)
                return NameClaim::Taken;
            if (kvStore_UpdateString(nullptr, bucket_, key.c_str(), value.c_str(), revision) == NATS_OK)
                return NameClaim::Claimed;
        }
        nats_Sleep(kRetryPauseMs);
    }
    return NameClaim::Unreachable;
}

void NatsBridge::release_name(const std::string& name)
{
    submit([this, key = NameKey(name)] {
        kvEntry* entry = nullptr;
        if (kvStore_Get(&entry, bucket_, key.c_str()) != NATS_OK)
            return;
        const std::string held = kvEntry_ValueString(entry);
        const std::uint64_t revision = kvEntry_Revision(entry);
        kvEntry_Destroy(entry);
        // Emptied only if still this server's, and only if nobody took it meanwhile.
        if (held.substr(0, held.find(' ')) == server_id_)
            kvStore_UpdateString(nullptr, bucket_, key.c_str(), "", revision);
    });
}

void NatsBridge::submit(std::function<void()> task)
{
    {
        std::lock_guard<std::mutex> lock(work_mutex_);
        work_.push_back(std::move(task));
    }
    work_ready_.notify_one();
}

void NatsBridge::run_worker()
{
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock<std::mutex> lock(work_mutex_);
            work_ready_.wait(lock, [this] { return work_stop_ || !work_.empty(); });
            if (work_stop_)
                return;
            task = std::move(work_.front());
            work_.pop_front();
        }
        task();
    }
}

void NatsBridge::log(const std::string& line) const
{
    if (log_)
        log_(line);
}

}  // namespace velmora
