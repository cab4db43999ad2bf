// The room: who is in it under which name, and what each member is sent. Everything runs on the
// io_context's one thread. What goes over the wire is written down in docs/protocol.md.
#pragma once

#include "counters.h"
#include "log_summary.h"
#include "names.h"
#include "presence.h"
#include "room_link.h"
#include "server_limits.h"
#include "session.h"

#include <asio.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace velmora {

// What a member is to the room; the room owns it, the connection knows nothing of it.
struct Member {
    SessionPtr session;
    // Unique on this server while it runs: the room's bucket names the member holding a name.
    std::uint64_t id = 0;
    std::string name;
    // The name it was given on joining: the one guest name it may take back.
    std::string guest_name;
    // Its place in the room's list of members.
    std::size_t slot = 0;
    // False once it has left the room, though its connection may still be closing.
    bool present = true;
    // A /nick of this member waits for the rest of the room.
    bool rename_pending = false;
    // When this member may rename again.
    std::chrono::steady_clock::time_point rename_ready_at;
    // Where this newcomer's share of a presence batch starts: the notices after its own join.
    std::size_t presence_offset = 0;
    // Silenced by the operator, until a time or for as long as it stays; told so once.
    bool muted = false;
    std::optional<std::chrono::steady_clock::time_point> muted_until;
    bool told_muted = false;

    bool muted_at(std::chrono::steady_clock::time_point now) const { return muted && (!muted_until || now < *muted_until); }
};
using MemberPtr = std::shared_ptr<Member>;

// Why a member leaves the room.
enum class Leave { Closed, Error, Quit, Shutdown, QueueFull, MemoryBound, Kicked, Banned };

class Room : public RemoteListener {
public:
    Room(asio::io_context& io, const ServerOptions& options, LogSink log, Counters& counters,
        std::shared_ptr<MemoryGauge> gauge);

    Room(const Room&) = delete;
    Room& operator=(const Room&) = delete;

    // Called after members were sent something: the server's bound on all queues may be passed.
    std::function<void()> on_queues_grew;

    const ServerOptions& options() const { return options_; }
    // The lines each newcomer is shown after the greeting.
    void set_motd(std::vector<std::string> lines) { motd_ = std::move(lines); }
    // Members on this server.
    std::size_t size() const { return members_.size(); }
    // Members on every server of the room.
    std::size_t total_size() const { return members_.size() + (link_ ? link_->remote_names().size() : 0); }
    // This server's members by name, for its roster.
    std::vector<std::string> member_names() const;
    const std::vector<MemberPtr>& members() const { return members_; }

    // Makes the connection a member: a guest name, the greeting, the message of the day, and a
    // join notice for the others.
    MemberPtr admit(const SessionPtr& session);
    // The member whose connection this is, while it is in the room.
    MemberPtr member_of(const Session& session) const;
    // The server is stopping: every member is told so and leaves.
    void close_all();

    // One read from a member: a command when it starts with '/', else text for the others.
    void on_message(const MemberPtr& from, std::string_view bytes);
    void relay(const MemberPtr& from, std::string_view text);
    void action(const MemberPtr& from, std::string_view text);
    // Lines (already ended with CR LF) for one member only.
    void reply(const MemberPtr& to, const std::string& lines);
    // The member says goodbye; its leave notice carries the reason.
    void quit(const MemberPtr& member, std::string_view reason);
    // The one way out of the room, whatever ends a member.
    void remove(const MemberPtr& member, Leave why, const std::string& detail = {});

    // The operator's: the member is told why and leaves in order; the room hears it was removed.
    void kick(const MemberPtr& member, const std::string& reason);
    // Every member whose address is banned leaves so, told the reason `banned` gives; returns how
    // many.
    using BanCheck = std::function<std::optional<std::string>(const asio::ip::address_v4&)>;
    std::size_t remove_banned(const BanCheck& banned);
    // Its text and actions reach no one, for `duration` or until unmuted or it leaves.
    void mute(const MemberPtr& member, std::optional<std::chrono::seconds> duration);
    void unmute(const MemberPtr& member);
    // "* server: TEXT" to everyone in the room.
    void say(std::string_view text);

    // The member on this server holding this name, whatever its case, or waiting to hear whether
    // it may, if any.
    MemberPtr find(std::string_view name) const;
    // The member of this server that goes by this name now, whatever its case.
    MemberPtr member_named(std::string_view name) const;
    // The members of the other servers; none without a link.
    const RemoteNames* remote_names() const { return link_ ? &link_->remote_names() : nullptr; }
    // The name as held by a member on another server, if one does.
    std::string held_elsewhere(std::string_view name) const;
    // Renames at once on a server alone; across servers, once the name is held for this one.
    void request_rename(const MemberPtr& member, const std::string& name);
    void rename(const MemberPtr& member, const std::string& name);
    // Every name on every server, in order without regard to case, up to `limit`.
    std::vector<std::string> names(std::size_t limit) const;

    // Joins this server to the rest of the room; the link outlives the room's members.
    void attach(RoomLink* link) { link_ = link; }

    void remote_said(const std::string& name, std::string_view text) override;
    void remote_acted(const std::string& name, std::string_view action) override;
    void remote_joined(const std::string& name) override;
    void remote_left(const std::string& name, const std::string& reason) override;
    void remote_renamed(const std::string& old_name, const std::string& new_name) override;
    void remote_removed(const std::string& name, const std::string& reason) override;
    void remote_notice(const std::string& text) override;
    void link_up() override;

    void log(const std::string& line) const;

private:
    SharedBytes make_payload(std::string plain);
    void broadcast(const Member* except, std::string plain);
    void send(const MemberPtr& to, const SharedBytes& bytes, std::size_t offset = 0);
    void sent();
    void take_out(const MemberPtr& member);
    void add_presence(PresenceEvent event);
    void presence_turn_over();
    void flush_presence();
    void reap();
    // False, having told the member once, while it is muted.
    bool may_speak(const MemberPtr& member);
    void publish(RoomEvent::Kind kind, const std::string& name, std::string detail = {});
    void claim_answered(const MemberPtr& member, const std::string& name, NameClaim outcome);
    void recheck_if_held_here(const std::string& name);
    void recheck_name(const MemberPtr& member);
    void take_back_guest_name(const MemberPtr& member);

    asio::io_context& io_;
    const ServerOptions& options_;
    LogSink log_;
    Counters& counters_;
    std::shared_ptr<MemoryGauge> gauge_;
    std::uint64_t next_id_ = 1;
    RoomLink* link_ = nullptr;
    std::vector<MemberPtr> members_;
    // By name without regard to case: uniqueness, lookups and /who's order.
    std::map<std::string, MemberPtr> by_name_;
    // Names whose claim across the room is in flight, by name without regard to case: no one
    // else here may take them meanwhile.
    std::map<std::string, MemberPtr> claiming_;
    std::unordered_map<const Session*, MemberPtr> by_session_;
    std::vector<MemberPtr> doomed_;
    bool reaping_ = false;
    bool stopping_ = false;
    std::vector<std::string> motd_;

    std::vector<PresenceEvent> presence_;
    std::size_t presence_seen_ = 0;
    bool presence_posted_ = false;
    std::chrono::steady_clock::time_point presence_since_;
};

}  // namespace velmora
