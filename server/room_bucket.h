// The room's JetStream key-value bucket, opened or made at start: the names, guest numbers and
// bans of one room (docs/protocol.md, "The room's bucket"). Its calls wait on NATS: they run on
// the connection's worker, or before the event loop starts.
#pragma once

#include "log_sink.h"
#include "nats_connection.h"

#include <cstdint>
#include <string>

struct __kvStore;

namespace velmora {

class RoomBucket {
public:
    // Opens the room's bucket, or makes it; throws std::runtime_error with a reason a person can
    // act on.
    RoomBucket(NatsConnection& nats, const std::string& room, LogSink log);
    ~RoomBucket();
    RoomBucket(const RoomBucket&) = delete;
    RoomBucket& operator=(const RoomBucket&) = delete;

    __kvStore* store() const { return store_; }
    NatsConnection& nats() const { return nats_; }
    // Removes the key's entries up to and including `revision`, or all of them for 0: an entry
    // made since survives, and no delete marker is left to fill the bucket.
    bool purge_through(const std::string& key, std::uint64_t revision);
    // Deletes the key, so that its watchers hear of it, if its newest entry is still `revision`
    // (any, for 0). Done when deleted, Stale when something newer is there, Failed when NATS could
    // not be asked; `marker` is the delete marker's revision.
    enum class Deleted { Done, Stale, Failed };
    Deleted delete_at(const std::string& key, std::uint64_t revision, std::uint64_t& marker);

private:
    NatsConnection& nats_;
    std::string stream_;
    std::string subject_prefix_;
    __kvStore* store_ = nullptr;
};

}  // namespace velmora
