// The operator's hand in the room: removing members, keeping their words from the room, and a
// line from the server to everyone (docs/protocol.md, "The control socket").
#include "room.h"

#include "durations.h"
#include "lines.h"

namespace velmora {

bool Room::may_speak(const MemberPtr& member)
{
    const auto now = std::chrono::steady_clock::now();
    if (!member->muted_at(now))
        return true;
    if (!member->told_muted) {
        member->told_muted = true;
        reply(member, Line(member->muted_until
                ? "You are muted for " + ShortDuration(std::chrono::ceil<std::chrono::seconds>(*member->muted_until - now))
                    + " more; what you say reaches no one."
                : std::string("You are muted; what you say reaches no one until the operator lets you speak again.")));
    }
    return false;
}

void Room::kick(const MemberPtr& member, const std::string& reason)
{
    const std::string because = reason.empty() ? "" : " (" + reason + ")";
    reply(member, Line("You were removed from the room by its operator" + because + "."));
    remove(member, Leave::Kicked, reason);
}

std::size_t Room::remove_banned(const BanCheck& banned)
{
    std::vector<std::pair<MemberPtr, std::string>> out;
    for (const auto& member : members_)
        if (auto reason = banned(member->session->address()))
            out.emplace_back(member, std::move(*reason));
    // Told first and removed after, so that the room hears of them all in one batch.
    flush_presence();
    for (const auto& [member, reason] : out)
        send(member, make_payload(Line("Your address was banned from the room" + (reason.empty() ? "" : " (" + reason + ")") + ".")));
    sent();
    for (const auto& [member, reason] : out)
        remove(member, Leave::Banned, reason);
    return out.size();
}

void Room::mute(const MemberPtr& member, std::optional<std::chrono::seconds> duration)
{
    member->muted = true;
    member->told_muted = false;
    member->muted_until.reset();
    if (duration)
        member->muted_until = std::chrono::steady_clock::now() + *duration;
    log(member->name + " muted by the operator" + (duration ? " for " + ShortDuration(*duration) : std::string()));
}

void Room::unmute(const MemberPtr& member)
{
    const bool was = member->muted_at(std::chrono::steady_clock::now());
    member->muted = false;
    member->muted_until.reset();
    log(member->name + " unmuted by the operator");
    if (was)
        reply(member, Line("You may speak again."));
}

void Room::say(std::string_view text)
{
    const std::string line = Cleaned(text.substr(0, kRemoteReasonMaxBytes));
    log("the operator said: " + line);
    broadcast(nullptr, Line("* server: " + line));
    publish(RoomEvent::Kind::Notice, {}, line);
}

}  // namespace velmora
