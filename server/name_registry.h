// Names and guest numbers of one room, held in its JetStream key-value bucket so that they are
// unique across its servers (docs/protocol.md, "Names and guest numbers"). Everything here waits
// on NATS: it runs on the connection's worker, or before the event loop starts.
#pragma once

#include "log_summary.h"
#include "nats_connection.h"
#include "room_link.h"

#include <cstdint>
#include <set>
#include <string>

struct __kvStore;

namespace velmora {

// Which other servers are alive, as this server has heard. Right after it connects it has not
// heard yet, and then every other server counts as alive.
struct Liveness {
    std::set<std::string> servers;
    bool settled = false;
};

class NameRegistry {
public:
    // Opens the room's bucket, or makes it; throws std::runtime_error with a reason a person can
    // act on.
    NameRegistry(NatsConnection& nats, const std::string& room, const std::string& server_id, LogSink log);
    ~NameRegistry();
    NameRegistry(const NameRegistry&) = delete;
    NameRegistry& operator=(const NameRegistry&) = delete;

    // Holds `name` for this server's member `member`: free, held by this very member already, or
    // held by a server that is no longer alive.
    NameClaim claim(const std::string& name, std::uint64_t member, const Liveness& live);
    // Lets go of this member's hold on `name`, and nothing newer; false when NATS could not be
    // reached, so that it is tried again.
    bool release(const std::string& name, std::uint64_t member);
    // Takes the next free block of guest numbers.
    bool reserve_guest_block(std::uint64_t& first, std::string& failure);

private:
    void open_bucket(const std::string& room);
    bool purge_through(const std::string& key, std::uint64_t revision);

    NatsConnection& nats_;
    std::string server_id_;
    std::string stream_;
    std::string subject_prefix_;
    LogSink log_;
    __kvStore* bucket_ = nullptr;
};

}  // namespace velmora
