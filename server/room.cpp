#include "room.h"

#include "commands.h"
#include "lines.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace velmora {

using asio::ip::tcp;

namespace {

// A server not heard from for this long has gone: its members are told to have left.
constexpr auto kServerSilenceBound = std::chrono::seconds(4);
// Rosters go out in parts no larger than this, well under what one NATS message may carry.
constexpr std::size_t kRosterPartBytes = 32 * 1024;

}  // namespace

std::string FoldCase(std::string_view name)
{
    std::string folded(name);
    for (char& c : folded)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return folded;
}

Room::Room(asio::io_context& io, const ServerOptions& options, LogSink log)
    : io_(io), options_(options), log_(std::move(log))
{
}

SharedBytes Room::make_payload(std::string plain)
{
    return std::make_shared<const Payload>(std::move(plain), gauge_);
}

void Room::admit(tcp::socket socket)
{
    auto member = std::make_shared<Session>(*this, std::move(socket), next_id_);
    member->guest_name = "guest-" + std::to_string(link_ ? link_->next_guest() : next_id_);
    ++next_id_;
    member->set_name(member->guest_name);

    std::string hello;
    AppendLine(hello, "Welcome, " + member->name() + "! " + Counted(total_size(), "other", "others") + " here.");
    for (const std::string& line : options_.motd)
        AppendLines(hello, "", line);
    member->enqueue(make_payload(std::move(hello)));

    member->slot = members_.size();
    members_.push_back(member);
    by_name_[FoldCase(member->name())] = member;
    log(member->name() + " connected from " + member->peer() + " (" + std::to_string(members_.size()) + " online)");
    add_presence({PresenceEvent::Kind::Join, member->name(), {}, member});
    publish(RoomEvent::Kind::Join, member->name());
    member->start_reading();
}

void Room::turn_away(tcp::socket socket, std::string_view line)
{
    auto visitor = std::make_shared<Session>(*this, std::move(socket), 0);
    std::string text;
    AppendLine(text, line);
    visitor->enqueue(make_payload(std::move(text)));
    visitor->close_after_flush();
}

void Room::close_all()
{
    for (const auto& member : members_)
        member->close();
    members_.clear();
    by_name_.clear();
    presence_.clear();
}

void Room::on_message(const SessionPtr& from, std::string_view bytes)
{
    ++stats_.messages_in;
    stats_.bytes_in += bytes.size();
    if (!bytes.empty() && bytes.front() == '/')
        RunCommand(*this, from, bytes);
    else
        relay(from, bytes);
}

void Room::relay(const SessionPtr& from, std::string_view text)
{
    std::string lines;
    AppendLines(lines, from->name() + ": ", text);
    broadcast(from.get(), std::move(lines));
    publish(RoomEvent::Kind::Relay, from->name(), std::string(text));
}

void Room::action(const SessionPtr& from, std::string_view text)
{
    std::string lines;
    AppendLines(lines, "* " + from->name() + " ", text);
    broadcast(from.get(), std::move(lines));
    publish(RoomEvent::Kind::Action, from->name(), std::string(text));
}

void Room::reply(const SessionPtr& to, const std::string& lines)
{
    // Whatever the member was told before must reach it first.
    flush_presence();
    if (!to->enqueue(make_payload(lines)))
        doomed_.push_back(to);
    ++stats_.messages_out;
    reap();
    enforce_memory_bound();
}

void Room::broadcast(const Session* except, std::string plain)
{
    flush_presence();
    // Masked once: every member is sent the very same bytes.
    const SharedBytes bytes = make_payload(std::move(plain));
    for (const auto& member : members_) {
        if (member.get() != except && !member->enqueue(bytes))
            doomed_.push_back(member);
    }
    stats_.messages_out += members_.size() - (except && !members_.empty() ? 1 : 0);
    reap();
    enforce_memory_bound();
}

void Room::quit(const SessionPtr& member, std::string_view reason)
{
    std::string bye;
    AppendLine(bye, "Goodbye, " + member->name() + "!");
    reply(member, bye);
    remove(member, Leave::Quit, std::string(reason));
}

void Room::remove(const SessionPtr& member, Leave why, const std::string& detail)
{
    if (member->slot >= members_.size() || members_[member->slot] != member)
        return;
    members_[member->slot] = members_.back();
    members_[member->slot]->slot = member->slot;
    members_.pop_back();
    by_name_.erase(FoldCase(member->name()));

    std::string reason;
    switch (why) {
    case Leave::Closed:
        log(member->name() + " left");
        member->close();
        break;
    case Leave::Quit:
        log(member->name() + " quit" + (detail.empty() ? "" : ": " + Cleaned(detail)));
        reason = detail;
        member->close_after_flush();
        break;
    case Leave::QueueFull:
        ++stats_.cut_at_queue_cap;
        log(member->name() + " disconnected: more than " + std::to_string(options_.max_queue_bytes)
            + " bytes queued for it");
        member->abort();
        break;
    case Leave::MemoryBound:
        ++stats_.cut_for_memory;
        log(member->name() + " disconnected: the server's queues passed " + std::to_string(options_.max_memory_bytes)
            + " bytes and its queue (" + std::to_string(member->queued_cost()) + " bytes) was among the largest");
        member->abort();
        break;
    case Leave::Error:
        log(member->name() + " dropped: " + detail);
        member->close();
        break;
    }
    add_presence({PresenceEvent::Kind::Leave, member->name(), reason, nullptr});
    publish(RoomEvent::Kind::Leave, member->name(), reason);
    if (link_ && member->name() != member->guest_name)
        link_->release_name(member->name());
    if (on_member_gone)
        on_member_gone(*member);
}

SessionPtr Room::find(std::string_view name) const
{
    const auto found = by_name_.find(FoldCase(name));
    return found == by_name_.end() ? nullptr : found->second;
}

std::string Room::held_elsewhere(std::string_view name) const
{
    const auto found = remote_.names().find(FoldCase(name));
    return found == remote_.names().end() ? std::string() : found->second;
}

void Room::request_rename(const SessionPtr& member, const std::string& name)
{
    // A guest name is unique by its number; only chosen names need the rest of the room's word.
    if (!link_ || FoldCase(name) == FoldCase(member->guest_name)) {
        rename(member, name);
        return;
    }
    if (!link_->connected()) {
        reply(member, Line("This server is cut off from the rest of the room just now, so names cannot change; "
                            "try again shortly."));
        return;
    }
    if (member->rename_pending) {
        reply(member, Line("Your last /nick is still being checked; try again in a moment."));
        return;
    }
    member->rename_pending = true;
    std::set<std::string> live = remote_.servers();
    live.insert(link_->server_id());
    link_->claim_name(name, std::move(live), [this, weak = std::weak_ptr<Session>(member), name](NameClaim outcome) {
        const SessionPtr member = weak.lock();
        if (!member || member->closed()) {
            if (outcome == NameClaim::Claimed)
                link_->release_name(name);
            return;
        }
        member->rename_pending = false;
        if (outcome == NameClaim::Claimed)
            rename(member, name);
        else if (outcome == NameClaim::Taken)
            reply(member, Line("The name " + name + " is taken."));
        else
            reply(member, Line("The rest of the room could not be reached to check the name; try again shortly."));
    });
}

void Room::rename(const SessionPtr& member, const std::string& name)
{
    const std::string old = member->name();
    by_name_.erase(FoldCase(old));
    member->set_name(name);
    by_name_[FoldCase(name)] = member;
    member->rename_ready_at = std::chrono::steady_clock::now() + kRenameInterval;
    log(old + " is now known as " + name);
    add_presence({PresenceEvent::Kind::Rename, old, name, nullptr});
    publish(RoomEvent::Kind::Rename, old, name);
    if (link_ && old != member->guest_name && FoldCase(old) != FoldCase(name))
        link_->release_name(old);
}

std::vector<std::string> Room::names(std::size_t limit) const
{
    // Both lists are in order without regard to case; merged, so is the whole.
    std::vector<std::string> found;
    auto local = by_name_.begin();
    auto remote = remote_.names().begin();
    while (found.size() < limit && (local != by_name_.end() || remote != remote_.names().end())) {
        if (remote == remote_.names().end() || (local != by_name_.end() && local->first <= remote->first))
            found.push_back((local++)->second->name());
        else
            found.push_back((remote++)->second);
    }
    return found;
}

void Room::publish(RoomEvent::Kind kind, const std::string& name, std::string detail)
{
    if (link_)
        link_->publish({kind, name, std::move(detail)});
}

void Room::publish_roster()
{
    std::vector<std::string> parts(1);
    for (const auto& member : members_) {
        if (parts.back().size() + member->name().size() + 1 > kRosterPartBytes)
            parts.emplace_back();
        parts.back() += member->name() + "\n";
    }
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const char* part = parts.size() == 1 ? "only" : i == 0 ? "first" : i + 1 == parts.size() ? "last" : "more";
        publish(RoomEvent::Kind::Roster, part, std::move(parts[i]));
    }
}

void Room::on_remote(const std::string& server, std::uint64_t seq, const RoomEvent& event)
{
    const std::uint64_t missing = remote_.heard(server, seq, std::chrono::steady_clock::now());
    if (missing > 0) {
        stats_.lost_between_servers += missing;
        log("lost " + std::to_string(missing) + " messages from server " + server + "; asking it who is there");
        publish(RoomEvent::Kind::Query, server);
    }
    switch (event.kind) {
    case RoomEvent::Kind::Relay: {
        std::string lines;
        AppendLines(lines, event.name + ": ", event.detail);
        broadcast(nullptr, std::move(lines));
        break;
    }
    case RoomEvent::Kind::Action: {
        std::string lines;
        AppendLines(lines, "* " + event.name + " ", event.detail);
        broadcast(nullptr, std::move(lines));
        break;
    }
    case RoomEvent::Kind::Join:
        remote_.join(server, event.name);
        add_presence({PresenceEvent::Kind::Join, event.name, {}, nullptr});
        break;
    case RoomEvent::Kind::Leave:
        remote_.leave(server, event.name);
        add_presence({PresenceEvent::Kind::Leave, event.name, event.detail, nullptr});
        break;
    case RoomEvent::Kind::Rename:
        remote_.rename(server, event.name, event.detail);
        add_presence({PresenceEvent::Kind::Rename, event.name, event.detail, nullptr});
        break;
    case RoomEvent::Kind::Roster: {
        RemoteServers::Change change;
        if (remote_.roster(server, event.name, event.detail, change))
            announce_remote(change);
        break;
    }
    case RoomEvent::Kind::Bye: {
        const std::vector<std::string> left = remote_.forget(server);
        log("server " + server + " stopped; " + Counted(left.size(), "member", "members") + " left with it");
        for (const std::string& name : left)
            add_presence({PresenceEvent::Kind::Leave, name, {}, nullptr});
        break;
    }
    case RoomEvent::Kind::Query:
        if (event.name == "*" || (link_ && event.name == link_->server_id()))
            publish_roster();
        break;
    case RoomEvent::Kind::Heartbeat:
        break;
    }
}

void Room::announce_remote(const RemoteServers::Change& change)
{
    for (const auto& gone : change.left)
        add_presence({PresenceEvent::Kind::Leave, gone.name, gone.reason, nullptr});
    for (const std::string& name : change.joined)
        add_presence({PresenceEvent::Kind::Join, name, {}, nullptr});
}

void Room::on_link_up()
{
    log("linked to the rest of the room as server " + link_->server_id());
    publish_roster();
    publish(RoomEvent::Kind::Query, "*");
    std::set<std::string> live = remote_.servers();
    live.insert(link_->server_id());
    for (const auto& member : members_) {
        if (member->name() == member->guest_name)
            continue;
        link_->claim_name(member->name(), live, [this, weak = std::weak_ptr<Session>(member)](NameClaim outcome) {
            const SessionPtr member = weak.lock();
            if (member && !member->closed() && outcome == NameClaim::Taken)
                take_back_guest_name(member);
        });
    }
}

// While this server was cut off, another server may have given the name to someone else.
void Room::take_back_guest_name(const SessionPtr& member)
{
    reply(member, Line("Your name " + member->name() + " was taken elsewhere in the room while this server was cut off "
                        "from it; you are " + member->guest_name + " again."));
    const auto ready_at = member->rename_ready_at;
    rename(member, member->guest_name);
    member->rename_ready_at = ready_at;
}

void Room::on_link_tick()
{
    if (link_->connected())
        publish(RoomEvent::Kind::Heartbeat, "", std::to_string(members_.size()));
    std::vector<std::string> gone;
    const std::vector<std::string> left = remote_.expire(std::chrono::steady_clock::now(), kServerSilenceBound, gone);
    for (const std::string& server : gone)
        log("server " + server + " has not been heard for " + std::to_string(kServerSilenceBound.count())
            + " s; its members are taken to have left");
    for (const std::string& name : left)
        add_presence({PresenceEvent::Kind::Leave, name, {}, nullptr});
}

// Writes wait until everything that is ready in this turn of the event loop has been handled, so
// that each member gets one write per turn however many messages it was sent.
void Room::schedule_flush(SessionPtr session)
{
    to_flush_.push_back(std::move(session));
    if (flush_posted_)
        return;
    flush_posted_ = true;
    asio::post(io_, [this] {
        flush_posted_ = false;
        std::vector<SessionPtr> due;
        due.swap(to_flush_);
        for (const auto& session : due)
            session->flush();
    });
}

void Room::note_throttled(const Session& member)
{
    ++stats_.throttled;
    log(member.name() + " throttled: sending more than " + std::to_string(options_.rate_bytes_per_second)
        + " bytes/s; reading it again as its budget allows");
}

void Room::log(const std::string& line) const
{
    if (log_)
        log_(line);
}

void Room::add_presence(PresenceEvent event)
{
    if (presence_.empty())
        presence_since_ = std::chrono::steady_clock::now();
    presence_.push_back(std::move(event));
    if (presence_posted_)
        return;
    presence_posted_ = true;
    presence_seen_ = presence_.size();
    asio::post(io_, [this] { presence_turn_over(); });
}

// A burst of joins or leaves arrives over several turns; it is told once it has stopped growing.
void Room::presence_turn_over()
{
    presence_posted_ = false;
    if (presence_.empty())
        return;
    const bool grew = presence_.size() != presence_seen_;
    if (grew && std::chrono::steady_clock::now() - presence_since_ < kPresenceBatchMaxAge) {
        presence_seen_ = presence_.size();
        presence_posted_ = true;
        asio::post(io_, [this] { presence_turn_over(); });
        return;
    }
    flush_presence();
}

void Room::flush_presence()
{
    if (presence_.empty())
        return;
    std::string text = render_presence();
    presence_.clear();
    if (text.empty())
        return;
    const SharedBytes notices = make_payload(std::move(text));
    for (const auto& member : members_) {
        // A newcomer hears only of what came after its own join.
        const std::size_t offset = std::exchange(member->presence_offset, 0);
        if (offset >= notices->bytes().size())
            continue;
        ++stats_.messages_out;
        if (!member->enqueue(notices, offset))
            doomed_.push_back(member);
    }
    reap();
    enforce_memory_bound();
}

std::string Room::render_presence()
{
    std::string text;
    for (std::size_t i = 0; i < presence_.size(); ++i) {
        const PresenceEvent& event = presence_[i];
        switch (event.kind) {
        case PresenceEvent::Kind::Join:
            AppendLine(text, event.name + " joined");
            if (event.newcomer)
                event.newcomer->presence_offset = text.size();
            break;
        case PresenceEvent::Kind::Rename:
            AppendLine(text, event.name + " is now known as " + event.detail);
            break;
        case PresenceEvent::Kind::Leave: {
            std::size_t run = i;
            while (run < presence_.size() && presence_[run].kind == PresenceEvent::Kind::Leave)
                ++run;
            if (run - i <= kLeaveLinesMax) {
                for (; i < run; ++i)
                    AppendLine(text, presence_[i].name + " left"
                        + (presence_[i].detail.empty() ? "" : " (" + presence_[i].detail + ")"));
            } else {
                // A mass leave is told in one line: the first names and how many more.
                const std::size_t total = run - i;
                const std::size_t room = kLineMaxBytes - kLineEndBytes - std::string(" and 99,999,999 others left").size();
                std::string names = presence_[i].name;
                std::size_t named = 1;
                while (named < total && names.size() + 2 + presence_[i + named].name.size() <= room) {
                    names += ", " + presence_[i + named].name;
                    ++named;
                }
                AppendLine(text, names + " and " + Counted(total - named, "other", "others") + " left");
                i = run;
            }
            --i;
            break;
        }
        }
    }
    return text;
}

// Removing announces a leave, which may push yet another member over its cap; a work list keeps
// that from recursing once per member.
void Room::reap()
{
    if (reaping_)
        return;
    reaping_ = true;
    while (!doomed_.empty()) {
        SessionPtr victim = std::move(doomed_.back());
        doomed_.pop_back();
        remove(victim, Leave::QueueFull);
    }
    reaping_ = false;
}

// Past the bound for all queues together, the members furthest behind go first, as they hold the
// most that everyone else has already been sent.
void Room::enforce_memory_bound()
{
    if (options_.max_memory_bytes == 0 || gauge_->bytes <= options_.max_memory_bytes || reaping_)
        return;
    std::vector<SessionPtr> behind;
    for (const auto& member : members_)
        if (member->queued_cost() > 0)
            behind.push_back(member);
    std::sort(behind.begin(), behind.end(),
        [](const SessionPtr& a, const SessionPtr& b) { return a->queued_cost() > b->queued_cost(); });
    std::size_t expected = gauge_->bytes;
    reaping_ = true;
    for (const auto& member : behind) {
        if (expected <= options_.max_memory_bytes)
            break;
        expected -= std::min(expected, member->queued_cost());
        remove(member, Leave::MemoryBound);
    }
    reaping_ = false;
    reap();
}

}  // namespace velmora
