#include "lines.h"

#include "server_limits.h"

#include <algorithm>

namespace velmora {

char CleanByte(char byte)
{
    const auto value = static_cast<unsigned char>(byte);
    if ((value < 0x20 && value != '\t') || value == 0x7F)
        return ' ';
    return byte;
}

namespace {

void AppendCleaned(std::string& out, std::string_view text)
{
    for (const char byte : text)
        out.push_back(CleanByte(byte));
}

}  // namespace

std::string Cleaned(std::string_view text)
{
    std::string out;
    AppendCleaned(out, text);
    return out;
}

void AppendLines(std::string& out, std::string_view prefix, std::string_view text)
{
    const std::size_t room = kLineMaxBytes - kLineEndBytes;
    if (prefix.size() >= room)
        prefix = prefix.substr(0, room - 1);
    const std::size_t piece = room - prefix.size();
    do {
        const std::size_t take = std::min(piece, text.size());
        AppendCleaned(out, prefix);
        AppendCleaned(out, text.substr(0, take));
        out.append(kLineEnd);
        text.remove_prefix(take);
    } while (!text.empty());
}

void AppendLine(std::string& out, std::string_view text)
{
    AppendCleaned(out, text.substr(0, kLineMaxBytes - kLineEndBytes));
    out.append(kLineEnd);
}

std::string Line(std::string_view text)
{
    std::string out;
    AppendLine(out, text);
    return out;
}

std::string Grouped(std::uint64_t count)
{
    std::string digits = std::to_string(count);
    for (std::size_t at = digits.size(); at > 3; at -= 3)
        digits.insert(at - 3, ",");
    return digits;
}

std::string Counted(std::uint64_t count, std::string_view one, std::string_view many)
{
    return Grouped(count) + " " + std::string(count == 1 ? one : many);
}

}  // namespace velmora
