// The text the server sends: lines of at most kLineMaxBytes ending in CR LF, with every byte a
// member supplied cleaned of controls (docs/protocol.md, "Server to client").
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace velmora {

// Bytes below 0x20 but TAB, and 0x7F, become a space, so that no member can start a line of its
// own or steer a terminal; bytes 0x80-0xFF stay (the client shows Windows-1252).
char CleanByte(char byte);

// The text with every byte cleaned, for the log.
std::string Cleaned(std::string_view text);

// Appends `text` as lines that each start with `prefix` and end with CR LF, cut at byte boundaries
// so that none passes kLineMaxBytes. An empty text gives one line holding the prefix alone. Every
// byte but the line ends is cleaned on the way.
void AppendLines(std::string& out, std::string_view prefix, std::string_view text);

// Appends one cleaned line, cut short if it would not fit.
void AppendLine(std::string& out, std::string_view text);
std::string Line(std::string_view text);

// 9975 -> "9,975": counts shown to people.
std::string Grouped(std::uint64_t count);

// "1 other" / "2 others".
std::string Counted(std::uint64_t count, std::string_view one, std::string_view many);

}  // namespace velmora
