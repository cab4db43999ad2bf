#include "name_registry.h"

#include "names.h"
#include "server_limits.h"

#include <nats/nats.h>

#include <chrono>
#include <cstdlib>

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

NameClaim NameRegistry::claim(const std::string& name, std::uint64_t member, const Liveness& live)
{
    const std::string key = NameKey(name);
    const std::string value = server_id_ + " " + std::to_string(member) + " " + name;
    // A bucket whose leader is being chosen again, after a NATS node is lost, answers neither way
    // for a few seconds.
    const auto deadline = Clock::now() + std::chrono::milliseconds(kNatsClaimTimeoutMs);
    while (!bucket_.nats().stopping() && Clock::now() < deadline) {
        if (kvStore_CreateString(nullptr, bucket_.store(), key.c_str(), value.c_str()) == NATS_OK)
            return NameClaim::Claimed;
        kvEntry* entry = nullptr;
        if (kvStore_Get(&entry, bucket_.store(), key.c_str()) == NATS_OK) {
            const Holder holder = HolderOf(kvEntry_ValueString(entry));
            const std::uint64_t revision = kvEntry_Revision(entry);
            kvEntry_Destroy(entry);
            if (holder.server == server_id_)
                return holder.member == member ? NameClaim::Claimed : NameClaim::Taken;
            // An empty value is a name let go by an older server.
            const bool alive = !holder.server.empty() && (!live.settled || live.servers.count(holder.server) != 0);
            if (alive)
                return NameClaim::Taken;
            if (kvStore_UpdateString(nullptr, bucket_.store(), key.c_str(), value.c_str(), revision) == NATS_OK)
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
    const natsStatus s = kvStore_Get(&entry, bucket_.store(), key.c_str());
    if (s == NATS_NOT_FOUND)
        return true;
    if (s != NATS_OK)
        return false;
    const Holder holder = HolderOf(kvEntry_ValueString(entry));
    const std::uint64_t revision = kvEntry_Revision(entry);
    kvEntry_Destroy(entry);
    if (holder.server != server_id_ || holder.member != member)
        return true;
    return bucket_.purge_through(key, revision);
}

bool NameRegistry::reserve_guest_block(std::uint64_t& first, std::string& failure)
{
    // Servers starting together race for the counter, and a bucket just made may still be
    // electing its leader: both pass within moments.
    const auto deadline = Clock::now() + std::chrono::milliseconds(kNatsStartTimeoutMs);
    while (!bucket_.nats().stopping() && Clock::now() < deadline) {
        kvEntry* entry = nullptr;
        std::uint64_t revision = 0;
        std::uint64_t block = 0;
        natsStatus s = kvStore_Get(&entry, bucket_.store(), kGuestBlockKey);
        if (s == NATS_OK) {
            block = std::strtoull(kvEntry_ValueString(entry), nullptr, 10);
            revision = kvEntry_Revision(entry);
            kvEntry_Destroy(entry);
        }
        if (s == NATS_OK || s == NATS_NOT_FOUND) {
            const std::string next = std::to_string(block + 1);
            s = revision == 0 ? kvStore_CreateString(nullptr, bucket_.store(), kGuestBlockKey, next.c_str())
                              : kvStore_UpdateString(nullptr, bucket_.store(), kGuestBlockKey, next.c_str(), revision);
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
