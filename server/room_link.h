// What one server of a room tells the others, and the link that carries it (the NATS bridge).
// The format between servers is written down in docs/protocol.md, "Between servers".
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>

namespace velmora {

struct RoomEvent {
    enum class Kind : char {
        Relay = 'R',      // name: the sender; detail: its text
        Action = 'A',     // name: the member; detail: the action
        Join = 'J',       // name: the newcomer
        Leave = 'L',      // name: the member; detail: its reason, if it gave one
        Rename = 'N',     // name: the old name; detail: the new one
        Roster = 'S',     // detail: names, one a line; name: the part, "only", "first", "more" or "last"
        Heartbeat = 'B',  // detail: how many members the server has
        Bye = 'X',        // the server is stopping: its members have all left
        Query = 'Q',      // name: the server asked to publish its roster again
    };
    Kind kind;
    std::string name;
    std::string detail;
};

enum class NameClaim { Claimed, Taken, Unreachable };

// The rest of the room, on other servers. Everything but the constructor and destructor of an
// implementation is called on the room's event loop, and calls back on it.
class RoomLink {
public:
    virtual ~RoomLink() = default;

    // This server's identity among the others.
    virtual const std::string& server_id() const = 0;
    // False while the link is down: what is published then reaches no other server.
    virtual bool connected() const = 0;
    virtual void publish(const RoomEvent& event) = 0;
    // Holds `name` for this server across the room, unless a server in `live` holds it already.
    virtual void claim_name(const std::string& name, std::set<std::string> live, std::function<void(NameClaim)> done) = 0;
    virtual void release_name(const std::string& name) = 0;
    // The next guest number of this server's block, unique across the room.
    virtual std::uint64_t next_guest() = 0;
};

}  // namespace velmora
