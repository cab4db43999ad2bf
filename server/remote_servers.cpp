#include "remote_servers.h"

#include "lines.h"
#include "names.h"

#include <utility>

namespace velmora {

RemoteServers::RemoteServers(asio::io_context& io, RemoteListener& room, Local local, LogSummary& summary,
    Counters& counters)
    : io_(io), timer_(io), room_(room), local_(std::move(local)), summary_(summary), counters_(counters)
{
}

void RemoteServers::start(const std::string& own_id)
{
    own_id_ = own_id;
    on_link_up();
    schedule_tick();
}

void RemoteServers::stop()
{
    stopped_ = true;
    timer_.cancel();
}

void RemoteServers::on_link_up()
{
    linked_at_ = Clock::now();
    publish_roster();
    local_.publish({RoomEvent::Kind::Query, "*", {}});
}

Liveness RemoteServers::liveness() const
{
    Liveness live;
    for (const auto& entry : servers_)
        live.servers.insert(entry.first);
    live.settled = Clock::now() - linked_at_ >= kServerSilenceBound;
    return live;
}

void RemoteServers::dropped(const std::string& why, std::uint64_t count)
{
    if (count == 0)
        return;
    counters_.frames_dropped += count;
    summary_.note("frames from other servers dropped: " + why,
        "dropped " + Counted(count, "frame", "frames") + " from other servers: " + why);
}

void RemoteServers::on_frame(std::string_view data)
{
    Frame frame;
    const FrameFault fault = DecodeFrame(data, frame);
    if (fault != FrameFault::None) {
        dropped(Describe(fault), 1);
        return;
    }
    if (frame.server == own_id_)
        return;
    auto found = servers_.find(frame.server);
    Server* server = found == servers_.end() ? admit(frame) : &found->second;
    if (!server)
        return;
    server->heard_at = Clock::now();
    if (frame.seq < server->next_seq) {
        dropped("out of order", 1);
        return;
    }
    if (frame.seq > server->next_seq) {
        const std::uint64_t missing = frame.seq - server->next_seq;
        counters_.lost_between_servers += missing;
        summary_.note("losses of messages between servers", "lost " + Counted(missing, "message", "messages")
            + " from server " + frame.server + "; asking it who is there");
        ask(frame.server, *server);
    }
    server->next_seq = frame.seq + 1;
    apply(frame.server, *server, frame.event);
}

// A server joins what this one tracks by its heartbeat or its roster, within a bound; anything
// else from a server not heard of is dropped, so made-up ids cost a counter and no more.
RemoteServers::Server* RemoteServers::admit(const Frame& frame)
{
    const RoomEvent::Kind kind = frame.event.kind;
    const bool roster_start = kind == RoomEvent::Kind::Roster && (frame.event.name == "only" || frame.event.name == "first");
    if (kind != RoomEvent::Kind::Heartbeat && !roster_start) {
        dropped("from a server not in the room", 1);
        return nullptr;
    }
    if (servers_.size() >= kRemoteServersMax) {
        dropped("from more servers than a room takes", 1);
        return nullptr;
    }
    Server& server = servers_[frame.server];
    server.next_seq = frame.seq;
    summary_.note("servers heard from for the first time", "server " + frame.server + " is in the room");
    // Its roster, sent when it connected, may have been lost.
    if (kind == RoomEvent::Kind::Heartbeat)
        ask(frame.server, server);
    return &server;
}

void RemoteServers::apply(const std::string& id, Server& server, const RoomEvent& event)
{
    switch (event.kind) {
    case RoomEvent::Kind::Relay:
        room_.remote_said(event.name, event.detail);
        break;
    case RoomEvent::Kind::Action:
        room_.remote_acted(event.name, event.detail);
        break;
    case RoomEvent::Kind::Join:
        if (presence_allowed(id, server))
            join(id, server, event.name);
        break;
    case RoomEvent::Kind::Leave:
    case RoomEvent::Kind::Removed:
        if (presence_allowed(id, server))
            leave(id, server, event.name, event.detail, event.kind == RoomEvent::Kind::Removed);
        break;
    case RoomEvent::Kind::Notice:
        room_.remote_notice(event.detail);
        break;
    case RoomEvent::Kind::Rename:
        if (presence_allowed(id, server))
            rename(id, server, event.name, event.detail);
        break;
    case RoomEvent::Kind::Roster:
        roster_part(id, server, event);
        break;
    case RoomEvent::Kind::Heartbeat:
        // The count disagrees only when presence went missing: ask again, at the usual pace.
        if (!server.gathering && std::to_string(server.members.size()) != event.detail)
            ask(id, server);
        break;
    case RoomEvent::Kind::Bye:
        forget(id, "stopped");
        break;
    case RoomEvent::Kind::Query:
        if (event.name == "*" || event.name == own_id_)
            answer_roster();
        break;
    }
}

// Joins, leaves and renames beyond what a mass leave needs are dropped; the roster, asked for
// again, then tells who is really there.
bool RemoteServers::presence_allowed(const std::string& id, Server& server)
{
    if (server.presence.take_one(Clock::now()))
        return true;
    dropped("presence beyond the bound of one server", 1);
    ask(id, server);
    return false;
}

void RemoteServers::join(const std::string& id, Server& server, const std::string& name)
{
    if (server.members.size() >= kRemoteServerMembersMax) {
        dropped("members beyond the bound of one server", 1);
        return;
    }
    if (!server.members.insert(name).second)
        return;
    names_[FoldCase(name)] = {name, id};
    room_.remote_joined(name);
}

void RemoteServers::leave(const std::string& id, Server& server, const std::string& name, const std::string& reason,
    bool removed)
{
    if (server.members.erase(name) == 0)
        return;
    const auto named = names_.find(FoldCase(name));
    if (named != names_.end() && named->second.server == id)
        names_.erase(named);
    if (removed)
        room_.remote_removed(name, reason);
    else
        room_.remote_left(name, reason);
}

void RemoteServers::rename(const std::string& id, Server& server, const std::string& old_name, const std::string& new_name)
{
    if (server.members.erase(old_name) == 0) {
        // Its join went missing: the roster tells who is there.
        ask(id, server);
        return;
    }
    const auto named = names_.find(FoldCase(old_name));
    if (named != names_.end() && named->second.server == id)
        names_.erase(named);
    server.members.insert(new_name);
    names_[FoldCase(new_name)] = {new_name, id};
    room_.remote_renamed(old_name, new_name);
}

// The last part replaces what was known of the server's members; the difference is told as joins
// and leaves.
void RemoteServers::roster_part(const std::string& id, Server& server, const RoomEvent& event)
{
    if (event.name == "only" || event.name == "first") {
        server.roster.clear();
        server.roster_parts = 0;
        server.gathering = true;
    } else if (!server.gathering) {
        return;
    }
    std::vector<std::string> names = RosterNames(event.detail);
    if (++server.roster_parts > kRosterPartsMax || server.roster.size() + names.size() > kRemoteServerMembersMax) {
        server.gathering = false;
        dropped("roster beyond the bound of one server", 1);
        return;
    }
    server.roster.insert(server.roster.end(), names.begin(), names.end());
    if (event.name != "only" && event.name != "last")
        return;
    server.gathering = false;
    const std::set<std::string> now(server.roster.begin(), server.roster.end());
    std::vector<std::string> gone;
    for (const std::string& name : server.members)
        if (now.count(name) == 0)
            gone.push_back(name);
    for (const std::string& name : gone)
        leave(id, server, name, {});
    for (const std::string& name : now)
        join(id, server, name);
    std::vector<std::string>().swap(server.roster);
}

void RemoteServers::forget(const std::string& id, const char* why)
{
    const auto found = servers_.find(id);
    if (found == servers_.end())
        return;
    const std::set<std::string> members = std::move(found->second.members);
    servers_.erase(found);
    summary_.note(std::string("servers gone: ") + why,
        "server " + id + " " + why + "; " + Counted(members.size(), "member", "members") + " left with it");
    for (const std::string& name : members) {
        const auto named = names_.find(FoldCase(name));
        if (named != names_.end() && named->second.server == id)
            names_.erase(named);
        room_.remote_left(name, {});
    }
}

void RemoteServers::ask(const std::string& id, Server& server)
{
    const auto now = Clock::now();
    if (now - server.asked_at < kQueryInterval) {
        server.ask_due = true;
        return;
    }
    server.asked_at = now;
    server.ask_due = false;
    local_.publish({RoomEvent::Kind::Query, id, {}});
}

// The roster told when the link comes up is not an answer: the first query after it, from a
// server starting just then, is answered at once.
void RemoteServers::answer_roster()
{
    const auto now = Clock::now();
    if (now - roster_sent_at_ < kRosterAnswerInterval) {
        roster_due_ = true;
        return;
    }
    roster_sent_at_ = now;
    publish_roster();
}

void RemoteServers::publish_roster()
{
    roster_due_ = false;
    std::vector<std::string> parts(1);
    for (const std::string& name : local_.members()) {
        if (parts.back().size() + name.size() + 1 > kRosterPartBytes)
            parts.emplace_back();
        parts.back() += name + "\n";
    }
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const char* part = parts.size() == 1 ? "only" : i == 0 ? "first" : i + 1 == parts.size() ? "last" : "more";
        local_.publish({RoomEvent::Kind::Roster, part, std::move(parts[i])});
    }
}

void RemoteServers::schedule_tick()
{
    timer_.expires_after(kHeartbeatInterval);
    timer_.async_wait([this](const asio::error_code& ec) {
        if (ec || stopped_)
            return;
        tick();
        schedule_tick();
    });
}

// Also while the link is down: the other servers' members are then taken to have left.
void RemoteServers::tick()
{
    if (local_.connected()) {
        local_.publish({RoomEvent::Kind::Heartbeat, {}, std::to_string(local_.count())});
        if (roster_due_)
            answer_roster();
        for (auto& [id, server] : servers_)
            if (server.ask_due)
                ask(id, server);
    }
    const auto now = Clock::now();
    std::vector<std::string> silent;
    for (const auto& [id, server] : servers_)
        if (now - server.heard_at > kServerSilenceBound)
            silent.push_back(id);
    for (const std::string& id : silent)
        forget(id, ("has not been heard for " + std::to_string(kServerSilenceBound.count()) + " s").c_str());
    if (local_.each_second)
        local_.each_second();
}

}  // namespace velmora
