#include "frame.h"

#include "names.h"
#include "server_limits.h"

#include <algorithm>
#include <array>

namespace velmora {

namespace {

constexpr std::string_view kVersion = "VM1";
constexpr std::size_t kSeqDigitsMax = 19;
constexpr std::size_t kCountDigitsMax = 9;
constexpr std::string_view kRosterParts[] = {"only", "first", "more", "last"};

bool Digits(std::string_view text, std::size_t most)
{
    return !text.empty() && text.size() <= most
        && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::uint64_t Number(std::string_view digits)
{
    std::uint64_t value = 0;
    for (const char c : digits)
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    return value;
}

// The header's five fields, separated by single blanks.
bool Fields(std::string_view header, std::array<std::string_view, 5>& fields)
{
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const std::size_t blank = header.find(' ');
        if ((blank == std::string_view::npos) != (i + 1 == fields.size()))
            return false;
        fields[i] = header.substr(0, blank);
        header.remove_prefix(blank == std::string_view::npos ? header.size() : blank + 1);
    }
    return true;
}

bool KnownKind(char kind)
{
    return std::string_view("RAJLNSBXQKO").find(kind) != std::string_view::npos;
}

bool RosterDetail(std::string_view detail)
{
    if (detail.size() > kRosterPartBytes || (!detail.empty() && detail.back() != '\n'))
        return false;
    for (std::size_t at = 0; at < detail.size();) {
        const std::size_t end = detail.find('\n', at);
        if (!IsMemberName(detail.substr(at, end - at)))
            return false;
        at = end + 1;
    }
    return true;
}

bool NameFits(RoomEvent::Kind kind, std::string_view name)
{
    switch (kind) {
    case RoomEvent::Kind::Roster:
        return std::find(std::begin(kRosterParts), std::end(kRosterParts), name) != std::end(kRosterParts);
    case RoomEvent::Kind::Query:
        return name == "*" || IsServerId(name);
    case RoomEvent::Kind::Heartbeat:
    case RoomEvent::Kind::Bye:
    case RoomEvent::Kind::Notice:
        return name.empty();
    default:
        return IsMemberName(name);
    }
}

bool DetailFits(RoomEvent::Kind kind, std::string_view detail)
{
    switch (kind) {
    case RoomEvent::Kind::Relay:
    case RoomEvent::Kind::Action:
        return !detail.empty() && detail.size() <= kRemoteTextMaxBytes;
    case RoomEvent::Kind::Leave:
    case RoomEvent::Kind::Removed:
        return detail.size() <= kRemoteReasonMaxBytes;
    case RoomEvent::Kind::Notice:
        return !detail.empty() && detail.size() <= kRemoteReasonMaxBytes;
    case RoomEvent::Kind::Rename:
        return IsMemberName(detail);
    case RoomEvent::Kind::Roster:
        return RosterDetail(detail);
    case RoomEvent::Kind::Heartbeat:
        return Digits(detail, kCountDigitsMax);
    default:
        return detail.empty();
    }
}

}  // namespace

const char* Describe(FrameFault fault)
{
    switch (fault) {
    case FrameFault::None:
        return "none";
    case FrameFault::Oversized:
        return "oversized";
    case FrameFault::Malformed:
        return "malformed";
    case FrameFault::Version:
        return "of an unknown version";
    case FrameFault::ServerId:
        return "with a bad server id";
    case FrameFault::Kind:
        return "of an unknown kind";
    case FrameFault::Name:
        return "with a bad name";
    case FrameFault::Detail:
        return "with a bad detail";
    }
    return "?";
}

std::string EncodeFrame(const Frame& frame)
{
    std::string out = std::string(kVersion) + " " + frame.server + " " + std::to_string(frame.seq) + " "
        + static_cast<char>(frame.event.kind) + " " + std::to_string(frame.event.name.size()) + "\n";
    out += frame.event.name;
    out += frame.event.detail;
    return out;
}

FrameFault DecodeFrame(std::string_view data, Frame& frame)
{
    if (data.size() > kFrameMaxBytes)
        return FrameFault::Oversized;
    const std::size_t end = data.substr(0, kFrameHeaderMaxBytes).find('\n');
    std::array<std::string_view, 5> fields;
    if (end == std::string_view::npos || !Fields(data.substr(0, end), fields))
        return FrameFault::Malformed;
    const auto [version, server, seq, kind, name_length] = fields;
    if (version != kVersion)
        return FrameFault::Version;
    if (!IsServerId(server))
        return FrameFault::ServerId;
    if (!Digits(seq, kSeqDigitsMax) || !Digits(name_length, 2))
        return FrameFault::Malformed;
    if (kind.size() != 1 || !KnownKind(kind[0]))
        return FrameFault::Kind;
    const std::size_t length = Number(name_length);
    const std::string_view body = data.substr(end + 1);
    if (length > body.size())
        return FrameFault::Malformed;
    const auto event_kind = static_cast<RoomEvent::Kind>(kind[0]);
    if (length > kShownNameMaxBytes || !NameFits(event_kind, body.substr(0, length)))
        return FrameFault::Name;
    if (!DetailFits(event_kind, body.substr(length)))
        return FrameFault::Detail;
    frame.server = std::string(server);
    frame.seq = Number(seq);
    frame.event = {event_kind, std::string(body.substr(0, length)), std::string(body.substr(length))};
    return FrameFault::None;
}

std::vector<std::string> RosterNames(std::string_view detail)
{
    std::vector<std::string> names;
    for (std::size_t at = 0; at < detail.size();) {
        const std::size_t end = std::min(detail.find('\n', at), detail.size());
        if (end > at)
            names.emplace_back(detail.substr(at, end - at));
        at = end + 1;
    }
    return names;
}

}  // namespace velmora
