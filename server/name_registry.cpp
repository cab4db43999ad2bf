#include "name_registry.h"

#include "names.h"
#include "server_limits.h"

#include <nats/nats.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>

namespace velmora {

namespace {

constexpr const char kGuestBlockKey[] = "guest-block";

std::string Text(natsStatus status)
{
    const char* last = nats_GetLastError(nullptr);
    return std::string(natsStatus_GetText(status)) + (last && *last ? " (" + std::string(last) + ")" : "");
}

std::string NameKey(const std::string& name)
{
    return "name." + FoldCase(name);
}

// "<server-id> <member> <name>": who holds a name, down to the member.
struct Holder {
    std::string server;
    std::uint64_t member = 0;
};

Holder HolderOf(const std::string& value)
{
    Holder holder;
    const std::size_t blank = value.find(' ');
    holder.server = value.substr(0, blank);
    if (blank != std::string::npos)
        holder.member = std::strtoull(value.c_str() + blank + 1, nullptr, 10);
    return holder;
}

using Clock = std::chrono::steady_clock;

}  // namespace

NameRegistry::NameRegistry(NatsConnection& nats, const std::string& room, const std::string& server_id, LogSink log)
    : nats_(nats), server_id_(server_id), stream_("KV_velmora_" + room), subject_prefix_("$KV.velmora_" + room + "."),
      log_(std::move(log))
{
    open_bucket(room);
}

NameRegistry::~NameRegistry()
{
    kvStore_Destroy(bucket_);
}

void NameRegistry::open_bucket(const std::string& room)
{
    const std::string bucket = "velmora_" + room;
    // A cluster just started may still be choosing its leader; servers starting together race to
    // make the bucket. Both settle within moments.
    const auto deadline = Clock::now() + std::chrono::milliseconds(kNatsStartTimeoutMs);
    natsStatus s = NATS_OK;
    do {
        if (js_KeyValue(&bucket_, nats_.jetstream(), bucket.c_str()) == NATS_OK)
            return;
        for (const int replicas : {kBucketReplicas, 1}) {
            kvConfig config;
            kvConfig_Init(&config);
            config.Bucket = bucket.c_str();
            config.Description = "velmora-server: names and guest numbers of one room";
            config.History = 1;
            config.Replicas = replicas;
            config.MaxBytes = kBucketMaxBytes;
            config.MaxValueSize = kBucketMaxValueBytes;
            s = js_CreateKeyValue(&bucket_, nats_.jetstream(), &config);
            if (s == NATS_OK) {
                if (replicas == 1 && log_)
                    log_("made the room's bucket " + bucket + " with one copy only: the NATS cluster could not keep "
                        + std::to_string(kBucketReplicas) + ", so the names do not survive the loss of its server");
                return;
            }
        }
        nats_Sleep(kNatsRetryPauseMs);
    } while (Clock::now() < deadline);
    throw std::runtime_error("cannot open the key-value bucket " + bucket + " (is JetStream on, nats-server -js?): "
        + Text(s));
}

NameClaim NameRegistry::claim(const std::string& name, std::uint64_t member, const Liveness& live)
{
    const std::string key = NameKey(name);
    const std::string value = server_id_ + " " + std::to_string(member) + " " + name;
    // A bucket whose leader is being chosen again, after a NATS node is lost, answers neither way
    // for a few seconds.
    const auto deadline = Clock::now() + std::chrono::milliseconds(kNatsClaimTimeoutMs);
    while (!nats_.stopping() && Clock::now() < deadline) {
        if (kvStore_CreateString(nullptr, bucket_, key.c_str(), value.c_str()) == NATS_OK)
            return NameClaim::Claimed;
        kvEntry* entry = nullptr;
        if (kvStore_Get(&entry, bucket_, key.c_str()) == NATS_OK) {
            const Holder holder = HolderOf(kvEntry_ValueString(entry));
            const std::uint64_t revision = kvEntry_Revision(entry);
            kvEntry_Destroy(entry);
            if (holder.server == server_id_)
                return holder.member == member ? NameClaim::Claimed : NameClaim::Taken;
            // An empty value is a name let go by an older server.
            const bool alive = !holder.server.empty() && (!live.settled || live.servers.count(holder.server) != 0);
            if (alive)
                return NameClaim::Taken;
            if (kvStore_UpdateString(nullptr, bucket_, key.c_str(), value.c_str(), revision) == NATS_OK)
                return NameClaim::Claimed;
        }
        nats_Sleep(kNatsRetryPauseMs);
    }
    return NameClaim::Unreachable;
}

bool NameRegistry::release(const std::string& name, std::uint64_t member)
{
    const std::string key = NameKey(name);
    kvEntry* entry = nullptr;
    const natsStatus s = kvStore_Get(&entry, bucket_, key.c_str());
    if (s == NATS_NOT_FOUND)
        return true;
    if (s != NATS_OK)
        return false;
    const Holder holder = HolderOf(kvEntry_ValueString(entry));
    const std::uint64_t revision = kvEntry_Revision(entry);
    kvEntry_Destroy(entry);
    if (holder.server != server_id_ || holder.member != member)
        return true;
    return purge_through(key, revision);
}

// Removes the key's entries up to and including `revision`: a claim made since survives, and no
// delete marker is left to fill the bucket.
bool NameRegistry::purge_through(const std::string& key, std::uint64_t revision)
{
    const std::string subject = subject_prefix_ + key;
    jsOptions options;
    jsOptions_Init(&options);
    options.Wait = kNatsRequestTimeoutMs;
    options.Stream.Purge.Subject = subject.c_str();
    options.Stream.Purge.Sequence = revision + 1;
    jsErrCode error = static_cast<jsErrCode>(0);
    return js_PurgeStream(nats_.jetstream(), stream_.c_str(), &options, &error) == NATS_OK;
}

bool NameRegistry::reserve_guest_block(std::uint64_t& first, std::string& failure)
{
    // Servers starting together race for the counter, and a bucket just made may still be
    // electing its leader: both pass within moments.
    const auto deadline = Clock::now() + std::chrono::milliseconds(kNatsStartTimeoutMs);
    while (!nats_.stopping() && Clock::now() < deadline) {
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
        nats_Sleep(kNatsRetryPauseMs);
    }
    return false;
}

}  // namespace velmora
