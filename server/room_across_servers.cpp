// The room as one of several servers' (docs/protocol.md, "Between servers" and "The room's
// bucket"): what its members do is told to the others, what the others tell arrives as joins,
// leaves, renames and lines, and chosen names are held for the whole room.
#include "room.h"

#include "lines.h"
#include "names.h"

namespace velmora {

void Room::request_rename(const MemberPtr& member, const std::string& name)
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
    claiming_[FoldCase(name)] = member;
    link_->claim_name(name, member->id, [this, weak = std::weak_ptr<Member>(member), name, id = member->id](NameClaim outcome) {
        const auto claiming = claiming_.find(FoldCase(name));
        const MemberPtr member = weak.lock();
        if (claiming != claiming_.end() && claiming->second == member)
            claiming_.erase(claiming);
        if (member && member->present)
            claim_answered(member, name, outcome);
        else if (outcome == NameClaim::Claimed)
            link_->release_name(name, id);
    });
}

// The room may have changed while the bucket was asked: the name is the member's only if no one
// else in the room holds it now.
void Room::claim_answered(const MemberPtr& member, const std::string& name, NameClaim outcome)
{
    member->rename_pending = false;
    const MemberPtr holder = find(name);
    const bool still_free = (!holder || holder == member) && held_elsewhere(name).empty();
    if (outcome == NameClaim::Claimed && still_free) {
        rename(member, name);
        return;
    }
    if (outcome == NameClaim::Claimed)
        link_->release_name(name, member->id);
    if (outcome == NameClaim::Claimed || outcome == NameClaim::Taken)
        reply(member, Line("The name " + name + " is taken."));
    else if (outcome == NameClaim::Busy)
        reply(member, Line("The room is busy checking names just now; try again in a moment."));
    else
        reply(member, Line("The rest of the room could not be reached to check the name; try again shortly."));
}

void Room::publish(RoomEvent::Kind kind, const std::string& name, std::string detail)
{
    if (link_)
        link_->publish({kind, name, std::move(detail)});
}

void Room::remote_said(const std::string& name, std::string_view text)
{
    std::string lines;
    AppendLines(lines, name + ": ", text);
    broadcast(nullptr, std::move(lines));
}

void Room::remote_acted(const std::string& name, std::string_view action)
{
    std::string lines;
    AppendLines(lines, "* " + name + " ", action);
    broadcast(nullptr, std::move(lines));
}

void Room::remote_joined(const std::string& name)
{
    recheck_if_held_here(name);
    add_presence({PresenceEvent::Kind::Join, name, {}, nullptr});
}

void Room::remote_left(const std::string& name, const std::string& reason)
{
    add_presence({PresenceEvent::Kind::Leave, name, reason, nullptr});
}

void Room::remote_removed(const std::string& name, const std::string& reason)
{
    add_presence({PresenceEvent::Kind::Removed, name, reason, nullptr});
}

void Room::remote_notice(const std::string& text)
{
    broadcast(nullptr, Line("* server: " + text));
}

void Room::remote_renamed(const std::string& old_name, const std::string& new_name)
{
    recheck_if_held_here(new_name);
    add_presence({PresenceEvent::Kind::Rename, old_name, new_name, nullptr});
}

// Names are checked against the bucket as it is now: while this server was cut off, another may
// have given a name to someone else.
void Room::link_up()
{
    for (const auto& member : members_)
        if (member->name != member->guest_name)
            recheck_name(member);
}

// Two servers that each believe they hold a name meet again: the bucket says whose it is.
void Room::recheck_if_held_here(const std::string& name)
{
    const auto held = by_name_.find(FoldCase(name));
    if (held != by_name_.end() && held->second->name != held->second->guest_name)
        recheck_name(held->second);
}

void Room::recheck_name(const MemberPtr& member)
{
    link_->claim_name(member->name, member->id,
        [this, weak = std::weak_ptr<Member>(member), name = member->name](NameClaim outcome) {
            const MemberPtr member = weak.lock();
            if (member && member->present && member->name == name && outcome == NameClaim::Taken)
                take_back_guest_name(member);
        });
}

// While this server was cut off, another server may have given the name to someone else.
void Room::take_back_guest_name(const MemberPtr& member)
{
    reply(member, Line("Your name " + member->name + " was taken elsewhere in the room while this server was cut off "
                        "from it; you are " + member->guest_name + " again."));
    const auto ready_at = member->rename_ready_at;
    rename(member, member->guest_name);
    member->rename_ready_at = ready_at;
}

std::string Room::held_elsewhere(std::string_view name) const
{
    if (!link_)
        return {};
    const auto found = link_->remote_names().find(FoldCase(name));
    return found == link_->remote_names().end() ? std::string() : found->second.shown;
}

}  // namespace velmora
