// Lengths of time as operators type them ("1h30m") and as people read them ("1 h 30 min").
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace velmora {

// "90s", "15m", "2h", "7d", "1h30m": numbers with the units d, h, m and s, largest unit first,
// each unit once. Nothing for anything else, for no time at all, and for more than kMaxDuration.
std::optional<std::chrono::seconds> ParseDuration(std::string_view text);

// The two largest units of a time left, counted down: "59 s", "9 min 59 s", "2 h 5 min", "3 d 4 h",
// "2 h" when the second unit is zero.
std::string ShortDuration(std::chrono::seconds duration);

}  // namespace velmora
