#include "presence.h"

#include "lines.h"
#include "server_limits.h"

namespace velmora {

namespace {

std::string Because(const std::string& reason)
{
    return reason.empty() ? std::string() : " (" + reason + ")";
}

// Where the run of leaves (or of removals for one reason) that starts at `first` ends.
std::size_t RunEnd(const std::vector<PresenceEvent>& events, std::size_t first)
{
    const PresenceEvent& head = events[first];
    std::size_t end = first + 1;
    while (end < events.size() && events[end].kind == head.kind
        && (head.kind == PresenceEvent::Kind::Leave || events[end].detail == head.detail))
        ++end;
    return end;
}

// More than a few are told in one line: the first names and how many more.
void AppendRun(std::string& text, const std::vector<PresenceEvent>& events, std::size_t first, std::size_t end)
{
    const bool removed = events[first].kind == PresenceEvent::Kind::Removed;
    if (end - first <= kLeaveLinesMax) {
        for (std::size_t i = first; i < end; ++i)
            AppendLine(text, events[i].name + (removed ? " was removed" : " left") + Because(events[i].detail));
        return;
    }
    const std::string tail = removed ? " were removed" + Because(events[first].detail) : std::string(" left");
    const std::size_t total = end - first;
    const std::size_t room = kLineMaxBytes - kLineEndBytes - std::string(" and 99,999,999 others").size() - tail.size();
    std::string names = events[first].name;
    std::size_t named = 1;
    while (named + 1 < total && names.size() + 2 + events[first + named].name.size() <= room) {
        names += ", " + events[first + named].name;
        ++named;
    }
    // The last one is named too when it fits; a count stands for those that do not.
    const std::string& last = events[first + named].name;
    if (named + 1 == total && names.size() + 5 + last.size() <= room)
        AppendLine(text, names + " and " + last + tail);
    else
        AppendLine(text, names + " and " + Counted(total - named, "other", "others") + tail);
}

}  // namespace

std::string RenderPresence(const std::vector<PresenceEvent>& events,
    std::vector<std::pair<std::shared_ptr<Member>, std::size_t>>& starts)
{
    std::string text;
    for (std::size_t i = 0; i < events.size();) {
        const PresenceEvent& event = events[i];
        switch (event.kind) {
        case PresenceEvent::Kind::Join:
            AppendLine(text, event.name + " joined");
            if (event.newcomer)
                starts.emplace_back(event.newcomer, text.size());
            ++i;
            break;
        case PresenceEvent::Kind::Rename:
            AppendLine(text, event.name + " is now known as " + event.detail);
            ++i;
            break;
        case PresenceEvent::Kind::Leave:
        case PresenceEvent::Kind::Removed: {
            const std::size_t end = RunEnd(events, i);
            AppendRun(text, events, i, end);
            i = end;
            break;
        }
        }
    }
    return text;
}

}  // namespace velmora
