// The room: who is in it under which name, and what each member is sent. Everything runs on the
// io_context's one thread. What goes over the wire is written down in docs/protocol.md.
#pragma once

#include "log_sink.h"
#include "remote_servers.h"
#include "room_link.h"
#include "server_limits.h"
#include "session.h"

#include <asio.hpp>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

// Counted since the last statistics line.
struct RoomStats {
    std::uint64_t messages_in = 0;
    std::uint64_t bytes_in = 0;
    std::uint64_t messages_out = 0;
    std::uint64_t bytes_out = 0;
    std::uint64_t throttled = 0;
    std::uint64_t cut_at_queue_cap = 0;
    std::uint64_t cut_for_memory = 0;
    std::uint64_t lost_between_servers = 0;
};

class Room {
public:
    Room(asio::io_context& io, const ServerOptions& options, LogSink log);

    Room(const Room&) = delete;
    Room& operator=(const Room&) = delete;

    // Called whenever a member has gone, with the session it had.
    std::function<void(const Session&)> on_member_gone;

    const ServerOptions& options() const { return options_; }
    asio::io_context& io() { return io_; }
    MemoryGauge& gauge() { return *gauge_; }
    std::array<char, kReadChunkBytes>& read_buffer() { return read_buffer_; }
    // Members on this server.
    std::size_t size() const { return members_.size(); }
    // Members on every server of the room.
    std::size_t total_size() const { return members_.size() + remote_.size(); }
    RoomStats take_stats() { return std::exchange(stats_, RoomStats{}); }

    // Makes the connection a member: a guest name, the greeting, the message of the day, and a
    // join notice for the others.
    void admit(asio::ip::tcp::socket socket);
    // Sends one line to a connection that is not let in, then closes it.
    void turn_away(asio::ip::tcp::socket socket, std::string_view line);
    void close_all();

    // One read from a member: a command when it starts with '/', else text for the others.
    void on_message(const SessionPtr& from, std::string_view bytes);
    void relay(const SessionPtr& from, std::string_view text);
    void action(const SessionPtr& from, std::string_view text);
    // Lines (already ended with CR LF) for one member only.
    void reply(const SessionPtr& to, const std::string& lines);
    // The member says goodbye; its leave notice carries the reason.
    void quit(const SessionPtr& member, std::string_view reason);
    void remove(const SessionPtr& member, Leave why, const std::string& detail = {});

    // The member on this server holding this name, whatever its case, if any.
    SessionPtr find(std::string_view name) const;
    // The name as held by a member on another server, if one does.
    std::string held_elsewhere(std::string_view name) const;
    // Renames at once on a server alone; across servers, once the name is held for this one.
    void request_rename(const SessionPtr& member, const std::string& name);
    void rename(const SessionPtr& member, const std::string& name);
    // Every name on every server, in order without regard to case, up to `limit`.
    std::vector<std::string> names(std::size_t limit) const;

    // Joins this server to the rest of the room; the link outlives the room's members.
    void attach(RoomLink* link) { link_ = link; }
    // From the link, on the event loop: a message of another server, numbered `seq`.
    void on_remote(const std::string& server, std::uint64_t seq, const RoomEvent& event);
    // The link is up again: tell the others who is here, ask them the same, and make sure every
    // chosen name is still this server's.
    void on_link_up();
    // Once a second while linked: the heartbeat, and the members of servers gone silent leave.
    void on_link_tick();

    void schedule_flush(SessionPtr session);
    void note_throttled(const Session& member);
    void note_written(std::size_t bytes) { stats_.bytes_out += bytes; }
    void log(const std::string& line) const;

private:
    struct PresenceEvent {
        enum class Kind { Join, Leave, Rename } kind;
        std::string name;
        std::string detail;  // the new name of a rename, the reason of a leave
        SessionPtr newcomer;
    };

    SharedBytes make_payload(std::string plain);
    void broadcast(const Session* except, std::string plain);
    void add_presence(PresenceEvent event);
    void presence_turn_over();
    void flush_presence();
    std::string render_presence();
    void reap();
    void enforce_memory_bound();
    void publish(RoomEvent::Kind kind, const std::string& name, std::string detail = {});
    void publish_roster();
    void announce_remote(const RemoteServers::Change& change);
    void take_back_guest_name(const SessionPtr& member);

    asio::io_context& io_;
    const ServerOptions& options_;
    LogSink log_;
    std::shared_ptr<MemoryGauge> gauge_ = std::make_shared<MemoryGauge>();
    std::uint64_t next_id_ = 1;
    RoomLink* link_ = nullptr;
    RemoteServers remote_;
    std::vector<SessionPtr> members_;
    // By name without regard to case: uniqueness, lookups and /who's order.
    std::map<std::string, SessionPtr> by_name_;
    std::vector<SessionPtr> doomed_;
    bool reaping_ = false;
    std::vector<SessionPtr> to_flush_;
    bool flush_posted_ = false;

    std::vector<PresenceEvent> presence_;
    std::size_t presence_seen_ = 0;
    bool presence_posted_ = false;
    std::chrono::steady_clock::time_point presence_since_;

    RoomStats stats_;
    // Shared by every member: reads run one at a time on this thread and are handled before the next.
    std::array<char, kReadChunkBytes> read_buffer_;
};

// Names compare without regard to case.
std::string FoldCase(std::string_view name);

}  // namespace velmora
