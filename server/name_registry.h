// Names and guest numbers of one room, held in its bucket so that they are unique across its
// servers (docs/protocol.md, "The room's bucket"). Everything here waits on NATS: it runs on the
// connection's worker, or before the event loop starts.
#pragma once

#include "room_bucket.h"
#include "room_link.h"

#include <cstdint>
#include <set>
#include <string>

namespace velmora {

// Which other servers are alive, as this server has heard. Right after it connects it has not
// heard yet, and then every other server counts as alive.
struct Liveness {
    std::set<std::string> servers;
    bool settled = false;
};

class NameRegistry {
public:
    NameRegistry(RoomBucket& bucket, const std::string& server_id) : bucket_(bucket), server_id_(server_id) {}

    // Holds `name` for this server's member `member`: free, held by this very member already, or
    // held by a server that is no longer alive.
    NameClaim claim(const std::string& name, std::uint64_t member, const Liveness& live);
    // Lets go of this member's hold on `name`, and nothing newer; false when NATS could not be
    // reached, so that it is tried again.
    bool release(const std::string& name, std::uint64_t member);
    // Takes the next free block of guest numbers.
    bool reserve_guest_block(std::uint64_t& first, std::string& failure);

private:
    RoomBucket& bucket_;
    std::string server_id_;
};

}  // namespace velmora
