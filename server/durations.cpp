#include "durations.h"

#include "server_limits.h"

#include <array>
#include <cstdint>

namespace velmora {

namespace {

struct Unit {
    char typed;
    const char* shown;
    std::int64_t seconds;
};

// Largest first: the order they are typed in and shown in.
constexpr std::array<Unit, 4> kUnits{{{'d', "d", 86400}, {'h', "h", 3600}, {'m', "min", 60}, {'s', "s", 1}}};

// Digits that no sum of kMaxDuration's size can need; more could only overflow.
constexpr std::size_t kMaxDurationDigits = 9;

}  // namespace

std::optional<std::chrono::seconds> ParseDuration(std::string_view text)
{
    std::int64_t total = 0;
    std::size_t next_unit = 0;
    while (!text.empty()) {
        std::size_t digits = 0;
        std::int64_t number = 0;
        while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9')
            number = number * 10 + (text[digits++] - '0');
        if (digits == 0 || digits > kMaxDurationDigits || digits == text.size())
            return std::nullopt;
        const char typed = text[digits];
        while (next_unit < kUnits.size() && kUnits[next_unit].typed != typed)
            ++next_unit;
        if (next_unit == kUnits.size())
            return std::nullopt;
        total += number * kUnits[next_unit++].seconds;
        text.remove_prefix(digits + 1);
    }
    if (total == 0 || std::chrono::seconds(total) > kMaxDuration)
        return std::nullopt;
    return std::chrono::seconds(total);
}

std::string ShortDuration(std::chrono::seconds duration)
{
    const std::int64_t seconds = duration.count() > 0 ? duration.count() : 0;
    for (std::size_t i = 0; i + 1 < kUnits.size(); ++i) {
        const Unit& unit = kUnits[i];
        if (seconds < unit.seconds)
            continue;
        const Unit& smaller = kUnits[i + 1];
        std::string shown = std::to_string(seconds / unit.seconds) + " " + unit.shown;
        const std::int64_t rest = seconds % unit.seconds / smaller.seconds;
        if (rest > 0)
            shown += " " + std::to_string(rest) + " " + smaller.shown;
        return shown;
    }
    return std::to_string(seconds) + " s";
}

}  // namespace velmora
