#include "room.h"

#include "commands.h"
#include "lines.h"
#include "names.h"

#include <utility>

namespace velmora {

Room::Room(asio::io_context& io, const ServerOptions& options, LogSink log, Counters& counters,
    std::shared_ptr<MemoryGauge> gauge)
    : io_(io), options_(options), log_(std::move(log)), counters_(counters), gauge_(std::move(gauge)),
      motd_(options.motd)
{
}

SharedBytes Room::make_payload(std::string plain)
{
    return std::make_shared<const Payload>(std::move(plain), gauge_);
}

MemberPtr Room::admit(const SessionPtr& session)
{
    auto member = std::make_shared<Member>();
    member->session = session;
    member->id = next_id_++;
    member->guest_name = "guest-" + std::to_string(link_ ? link_->next_guest() : member->id);
    member->name = member->guest_name;

    std::string hello;
    AppendLine(hello, "Welcome, " + member->name + "! " + Counted(total_size(), "other", "others") + " here.");
    for (const std::string& line : motd_)
        AppendLines(hello, "", line);
    session->enqueue(make_payload(std::move(hello)));

    member->slot = members_.size();
    members_.push_back(member);
    by_name_[FoldCase(member->name)] = member;
    by_session_[session.get()] = member;
    log(member->name + " connected from " + session->peer() + " (" + std::to_string(members_.size()) + " online)");
    add_presence({PresenceEvent::Kind::Join, member->name, {}, member});
    publish(RoomEvent::Kind::Join, member->name);
    session->start_reading();
    return member;
}

MemberPtr Room::member_of(const Session& session) const
{
    const auto found = by_session_.find(&session);
    return found == by_session_.end() ? nullptr : found->second;
}

void Room::close_all()
{
    stopping_ = true;
    presence_.clear();
    std::string bye;
    AppendLine(bye, "Server is stopping, goodbye.");
    const SharedBytes notice = make_payload(std::move(bye));
    while (!members_.empty()) {
        const MemberPtr member = members_.back();
        // Past its cap the member is reset at once, by the same way out.
        if (!member->session->enqueue(notice))
            remove(member, Leave::QueueFull);
        else
            remove(member, Leave::Shutdown);
    }
}

void Room::on_message(const MemberPtr& from, std::string_view bytes)
{
    ++counters_.messages_in;
    counters_.bytes_in += bytes.size();
    if (!bytes.empty() && bytes.front() == '/')
        RunCommand(*this, from, bytes);
    else
        relay(from, bytes);
}

void Room::relay(const MemberPtr& from, std::string_view text)
{
    if (!may_speak(from))
        return;
    std::string lines;
    AppendLines(lines, from->name + ": ", text);
    broadcast(from.get(), std::move(lines));
    publish(RoomEvent::Kind::Relay, from->name, std::string(text));
}

void Room::action(const MemberPtr& from, std::string_view text)
{
    if (!may_speak(from))
        return;
    std::string lines;
    AppendLines(lines, "* " + from->name + " ", text);
    broadcast(from.get(), std::move(lines));
    publish(RoomEvent::Kind::Action, from->name, std::string(text));
}

void Room::reply(const MemberPtr& to, const std::string& lines)
{
    // Whatever the member was told before must reach it first.
    flush_presence();
    send(to, make_payload(lines));
    sent();
}

void Room::broadcast(const Member* except, std::string plain)
{
    flush_presence();
    // Masked once: every member is sent the very same bytes.
    const SharedBytes bytes = make_payload(std::move(plain));
    for (const auto& member : members_)
        if (member.get() != except)
            send(member, bytes);
    sent();
}

void Room::send(const MemberPtr& to, const SharedBytes& bytes, std::size_t offset)
{
    ++counters_.messages_out;
    if (!to->session->enqueue(bytes, offset))
        doomed_.push_back(to);
}

void Room::sent()
{
    reap();
    if (on_queues_grew)
        on_queues_grew();
}

void Room::quit(const MemberPtr& member, std::string_view reason)
{
    reply(member, Line("Goodbye, " + member->name + "!"));
    remove(member, Leave::Quit, std::string(reason));
}

// Whatever ends a member ends its part in the room at once: nothing it sends afterwards is read.
// Its connection may take a moment longer to close, and counts against the server's limits until
// it has.
void Room::remove(const MemberPtr& member, Leave why, const std::string& detail)
{
    if (!member->present)
        return;
    take_out(member);
    Session& session = *member->session;
    std::string reason;
    switch (why) {
    case Leave::Closed:
        log(member->name + " left");
        session.close();
        break;
    case Leave::Error:
        log(member->name + " dropped: " + detail);
        session.close();
        break;
    case Leave::Quit:
        reason = Cleaned(detail.substr(0, kLineMaxBytes));
        log(member->name + " quit" + (reason.empty() ? "" : ": " + reason.substr(0, kLoggedTextMaxBytes)));
        session.leave_in_order(kOrderlyCloseBound);
        break;
    case Leave::Shutdown:
        session.leave_in_order(kOrderlyCloseBound);
        break;
    case Leave::QueueFull:
        ++counters_.cut_at_queue_cap;
        log(member->name + " disconnected: more than " + std::to_string(options_.max_queue_bytes)
            + " bytes queued for it");
        session.reset();
        break;
    case Leave::MemoryBound:
        ++counters_.cut_for_memory;
        log(member->name + " disconnected: the server's queues passed " + std::to_string(options_.max_memory_bytes)
            + " bytes and its queue (" + std::to_string(session.queued_cost()) + " bytes) was among the largest");
        session.reset();
        break;
    case Leave::Kicked:
    case Leave::Banned:
        reason = Cleaned(detail.substr(0, kRemoteReasonMaxBytes));
        log(member->name + (why == Leave::Kicked ? " removed by the operator" : " removed: its address is banned")
            + (reason.empty() ? "" : ": " + reason.substr(0, kLoggedTextMaxBytes)));
        session.leave_in_order(kOrderlyCloseBound);
        break;
    }
    // Everyone leaves at once when the server stops, and the other servers hear it in one word.
    if (why == Leave::Shutdown || stopping_)
        return;
    const bool removed = why == Leave::Kicked || why == Leave::Banned;
    add_presence({removed ? PresenceEvent::Kind::Removed : PresenceEvent::Kind::Leave, member->name, reason, nullptr});
    publish(removed ? RoomEvent::Kind::Removed : RoomEvent::Kind::Leave, member->name, reason);
    if (link_ && member->name != member->guest_name)
        link_->release_name(member->name, member->id);
}

void Room::take_out(const MemberPtr& member)
{
    member->present = false;
    members_[member->slot] = members_.back();
    members_[member->slot]->slot = member->slot;
    members_.pop_back();
    const auto named = by_name_.find(FoldCase(member->name));
    if (named != by_name_.end() && named->second == member)
        by_name_.erase(named);
    by_session_.erase(member->session.get());
}

MemberPtr Room::find(std::string_view name) const
{
    const std::string folded = FoldCase(name);
    const auto found = by_name_.find(folded);
    if (found != by_name_.end())
        return found->second;
    const auto claiming = claiming_.find(folded);
    return claiming == claiming_.end() ? nullptr : claiming->second;
}

MemberPtr Room::member_named(std::string_view name) const
{
    const auto found = by_name_.find(FoldCase(name));
    return found == by_name_.end() ? nullptr : found->second;
}

std::vector<std::string> Room::member_names() const
{
    std::vector<std::string> names;
    names.reserve(members_.size());
    for (const auto& member : members_)
        names.push_back(member->name);
    return names;
}

void Room::rename(const MemberPtr& member, const std::string& name)
{
    const std::string old = member->name;
    by_name_.erase(FoldCase(old));
    member->name = name;
    by_name_[FoldCase(name)] = member;
    member->rename_ready_at = std::chrono::steady_clock::now() + kRenameInterval;
    log(old + " is now known as " + name);
    add_presence({PresenceEvent::Kind::Rename, old, name, nullptr});
    publish(RoomEvent::Kind::Rename, old, name);
    if (link_ && old != member->guest_name && FoldCase(old) != FoldCase(name))
        link_->release_name(old, member->id);
}

std::vector<std::string> Room::names(std::size_t limit) const
{
    // Both lists are in order without regard to case; merged, so is the whole.
    std::vector<std::string> found;
    auto local = by_name_.begin();
    static const RemoteNames none;
    const RemoteNames& others = link_ ? link_->remote_names() : none;
    auto remote = others.begin();
    while (found.size() < limit && (local != by_name_.end() || remote != others.end())) {
        if (remote == others.end() || (local != by_name_.end() && local->first <= remote->first))
            found.push_back((local++)->second->name);
        else
            found.push_back((remote++)->second.shown);
    }
    return found;
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
    std::vector<std::pair<MemberPtr, std::size_t>> starts;
    std::string text = RenderPresence(presence_, starts);
    presence_.clear();
    for (const auto& [newcomer, start] : starts)
        newcomer->presence_offset = start;
    if (text.empty())
        return;
    const SharedBytes notices = make_payload(std::move(text));
    for (const auto& member : members_) {
        // A newcomer hears only of what came after its own join.
        const std::size_t offset = std::exchange(member->presence_offset, 0);
        if (offset >= notices->bytes().size())
            continue;
        send(member, notices, offset);
    }
    sent();
}

// Removing announces a leave, which may push yet another member over its cap; a work list keeps
// that from recursing once per member.
void Room::reap()
{
    if (reaping_)
        return;
    reaping_ = true;
    while (!doomed_.empty()) {
        MemberPtr victim = std::move(doomed_.back());
        doomed_.pop_back();
        remove(victim, Leave::QueueFull);
    }
    reaping_ = false;
}

}  // namespace velmora
