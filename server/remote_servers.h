// The other servers of the room as this one sees them: who is on each, which are still heard
// from, and what they missed. Every frame from the room's subject is checked before it touches
// anything, and what one server may cost the room is bounded (docs/protocol.md, "Between servers").
#pragma once

#include "counters.h"
#include "frame.h"
#include "log_summary.h"
#include "name_registry.h"
#include "room_link.h"
#include "server_limits.h"
#include "token_bucket.h"

#include <asio.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

class RemoteServers {
public:
    using Clock = std::chrono::steady_clock;

    // What the mirror needs of the server it runs in.
    struct Local {
        std::function<void(const RoomEvent&)> publish;
        // This server's members, for its roster.
        std::function<std::vector<std::string>()> members;
        std::function<std::size_t()> count;
        std::function<bool()> connected;
        // Once a second, for the owner's own chores.
        std::function<void()> each_second;
    };

    RemoteServers(asio::io_context& io, RemoteListener& room, Local local, LogSummary& summary, Counters& counters);

    // Starts the heartbeat and tells the others who is here.
    void start(const std::string& own_id);
    void stop();
    // The link is back: tells who is here, asks who is there, and counts no server as gone until
    // it has had time to be heard.
    void on_link_up();
    // One message from the room's subject.
    void on_frame(std::string_view data);
    // Frames dropped before they could be read, and why.
    void dropped(const std::string& why, std::uint64_t count);

    const RemoteNames& names() const { return names_; }
    Liveness liveness() const;

private:
    struct Server {
        std::set<std::string> members;
        std::uint64_t next_seq = 0;
        Clock::time_point heard_at;
        TokenBucket presence{kRemotePresenceRate, kRemotePresenceBurst};
        std::vector<std::string> roster;
        std::size_t roster_parts = 0;
        bool gathering = false;
        Clock::time_point asked_at;
        bool ask_due = false;
    };

    void schedule_tick();
    void tick();
    Server* admit(const Frame& frame);
    void apply(const std::string& id, Server& server, const RoomEvent& event);
    bool presence_allowed(const std::string& id, Server& server);
    void join(const std::string& id, Server& server, const std::string& name);
    void leave(const std::string& id, Server& server, const std::string& name, const std::string& reason,
        bool removed = false);
    void rename(const std::string& id, Server& server, const std::string& old_name, const std::string& new_name);
    void roster_part(const std::string& id, Server& server, const RoomEvent& event);
    void forget(const std::string& id, const char* why);
    void ask(const std::string& id, Server& server);
    void answer_roster();
    void publish_roster();

    asio::io_context& io_;
    asio::steady_timer timer_;
    RemoteListener& room_;
    Local local_;
    LogSummary& summary_;
    Counters& counters_;
    std::string own_id_;
    bool stopped_ = false;
    std::map<std::string, Server> servers_;
    RemoteNames names_;
    // Until the silence bound has passed since the link came up, any server may still be alive.
    Clock::time_point linked_at_;
    Clock::time_point roster_sent_at_;
    bool roster_due_ = false;
};

}  // namespace velmora
