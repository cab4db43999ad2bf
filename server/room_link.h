// What one server of a room tells the others, and how the room meets the rest of itself: the
// link that carries it (the NATS bridge), and what the room hears back. The format between servers
// is written down in docs/protocol.md, "Between servers".
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

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
        Query = 'Q',      // name: the server asked to publish its roster again, or "*"
        Removed = 'K',    // name: the member its operator removed; detail: the reason, if given
        Notice = 'O',     // detail: a line from the server's operator to the whole room
    };
    Kind kind;
    std::string name;
    std::string detail;
};

enum class NameClaim { Claimed, Taken, Unreachable, Busy };

// A member of another server, by its name without regard to case.
struct RemoteName {
    std::string shown;
    std::string server;
};
using RemoteNames = std::map<std::string, RemoteName>;

// The rest of the room, on other servers. Everything is called on the room's event loop, and
// calls back on it.
class RoomLink {
public:
    virtual ~RoomLink() = default;

    // False while the link is down: what is published then reaches no other server.
    virtual bool connected() const = 0;
    virtual void publish(const RoomEvent& event) = 0;
    // Holds `name` for this server's member `member` across the room.
    virtual void claim_name(const std::string& name, std::uint64_t member, std::function<void(NameClaim)> done) = 0;
    virtual void release_name(const std::string& name, std::uint64_t member) = 0;
    // The next guest number of this server's block, unique across the room.
    virtual std::uint64_t next_guest() = 0;
    // The members of the other servers.
    virtual const RemoteNames& remote_names() const = 0;
};

// What the room hears from its other servers, in members' terms.
class RemoteListener {
public:
    virtual void remote_said(const std::string& name, std::string_view text) = 0;
    virtual void remote_acted(const std::string& name, std::string_view action) = 0;
    virtual void remote_joined(const std::string& name) = 0;
    virtual void remote_left(const std::string& name, const std::string& reason) = 0;
    virtual void remote_renamed(const std::string& old_name, const std::string& new_name) = 0;
    virtual void remote_removed(const std::string& name, const std::string& reason) = 0;
    virtual void remote_notice(const std::string& text) = 0;
    // The link is up, at start or after a break: the room makes sure its chosen names are still
    // its own.
    virtual void link_up() = 0;

protected:
    ~RemoteListener() = default;
};

}  // namespace velmora
