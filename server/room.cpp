#include "room.h"

#include "commands.h"
#include "lines.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace velmora {

using asio::ip::tcp;

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
    member->guest_name = "guest-" + std::to_string(next_id_++);
    member->set_name(member->guest_name);

    std::string hello;
    AppendLine(hello, "Welcome, " + member->name() + "! " + Counted(members_.size(), "other", "others") + " here.");
    for (const std::string& line : options_.motd)
        AppendLines(hello, "", line);
    member->enqueue(make_payload(std::move(hello)));

    member->slot = members_.size();
    members_.push_back(member);
    by_name_[FoldCase(member->name())] = member;
    log(member->name() + " connected from " + member->peer() + " (" + std::to_string(members_.size()) + " online)");
    add_presence({PresenceEvent::Kind::Join, member->name(), {}, member});
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
}

void Room::action(const SessionPtr& from, std::string_view text)
{
    std::string lines;
    AppendLines(lines, "* " + from->name() + " ", text);
    broadcast(from.get(), std::move(lines));
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
    if (on_member_gone)
        on_member_gone(*member);
}

SessionPtr Room::find(std::string_view name) const
{
    const auto found = by_name_.find(FoldCase(name));
    return found == by_name_.end() ? nullptr : found->second;
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
}

std::vector<std::string> Room::names(std::size_t limit) const
{
    std::vector<std::string> found;
    for (auto it = by_name_.begin(); it != by_name_.end() && found.size() < limit; ++it)
        found.push_back(it->second->name());
    return found;
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
