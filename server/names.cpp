#include "names.h"

#include "server_limits.h"

#include <algorithm>

namespace velmora {

namespace {

constexpr std::string_view kGuestPrefix = "guest-";
// The operator's notices read "* server: ...".
constexpr std::string_view kReservedName = "server";

bool IsNameByte(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

bool AllNameBytes(std::string_view name)
{
    return std::all_of(name.begin(), name.end(), IsNameByte);
}

}  // namespace

std::string FoldCase(std::string_view name)
{
    std::string folded(name);
    for (char& c : folded)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return folded;
}

bool IsGuestName(std::string_view name)
{
    const std::string folded = FoldCase(name);
    if (folded.size() <= kGuestPrefix.size() || folded.size() > kShownNameMaxBytes
        || folded.compare(0, kGuestPrefix.size(), kGuestPrefix) != 0)
        return false;
    return folded.find_first_not_of("0123456789", kGuestPrefix.size()) == std::string::npos;
}

std::string NameProblem(std::string_view name, std::string_view own_guest_name)
{
    if (name.size() > kNameMaxBytes)
        return "Names are at most " + std::to_string(kNameMaxBytes) + " characters long.";
    if (!AllNameBytes(name))
        return "Names may hold only letters A-Z and a-z, digits, _ and -.";
    if (IsGuestName(name) && FoldCase(name) != FoldCase(own_guest_name))
        return "Names of the form guest-<number> are kept for guests.";
    if (FoldCase(name) == kReservedName)
        return "The name server is kept for the server's own notices.";
    return {};
}

bool IsMemberName(std::string_view name)
{
    if (IsGuestName(name))
        return true;
    return !name.empty() && name.size() <= kNameMaxBytes && AllNameBytes(name) && FoldCase(name) != kReservedName;
}

bool IsRoomName(std::string_view room)
{
    return !room.empty() && room.size() <= kRoomNameMaxBytes && AllNameBytes(room);
}

bool IsServerId(std::string_view id)
{
    return id.size() == kServerIdDigits
        && std::all_of(id.begin(), id.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

}  // namespace velmora
