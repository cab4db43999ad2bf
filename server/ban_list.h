// Who may not join: IPv4 address ranges, each with a reason and an optional end. The list knows
// nothing of the room; the server asks it about each newcomer. Its file is in ban_file.h.
#pragma once

#include <asio/ip/address_v4.hpp>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

// An IPv4 address or a CIDR range: "192.0.2.7" (a /32) or "192.0.2.0/24".
class AddressRange {
public:
    // Nothing, and why in `error`, for text that is neither, and for a range with host bits set
    // ("192.0.2.7/24"), whose error names the range meant ("192.0.2.0/24").
    static std::optional<AddressRange> Parse(std::string_view text, std::string& error);
    // The range of `prefix_length` (0 to 32) bits that holds `address`.
    static AddressRange Of(const asio::ip::address_v4& address, unsigned prefix_length);

    bool contains(const asio::ip::address_v4& address) const;
    // True when every address of `other` lies in this range.
    bool contains(const AddressRange& other) const;
    unsigned prefix_length() const { return prefix_length_; }
    // "192.0.2.7" for a single address, "192.0.2.0/24" for a wider range: what Parse takes back.
    std::string text() const;

    friend bool operator==(const AddressRange& a, const AddressRange& b)
    {
        return a.network_ == b.network_ && a.prefix_length_ == b.prefix_length_;
    }
    // By network, then the wider range first: the order bans are listed in.
    friend bool operator<(const AddressRange& a, const AddressRange& b)
    {
        return a.network_ != b.network_ ? a.network_ < b.network_ : a.prefix_length_ < b.prefix_length_;
    }

private:
    AddressRange(std::uint32_t network, unsigned prefix_length) : network_(network), prefix_length_(prefix_length) {}

    std::uint32_t network_;
    unsigned prefix_length_;
};

struct Ban {
    using Clock = std::chrono::system_clock;

    AddressRange range;
    Clock::time_point since;
    std::optional<Clock::time_point> until;  // none: until it is lifted
    std::string reason;

    bool ended(Clock::time_point now) const { return until && *until <= now; }
};

// One line of at most kBanReasonMaxBytes, cleaned of control bytes as member text is, and never
// cut inside a UTF-8 character.
std::string BanReason(std::string_view text);

class BanList {
public:
    enum class Added { New, Replaced, Full };

    // Keeps the ban with its reason made a BanReason and its times to the second, as the file keeps
    // them. A ban on a range already banned replaces that ban; a new one past kMaxBans is refused.
    Added add(Ban ban);
    // False when no ban has exactly this range.
    bool remove(const AddressRange& range);
    // The ban in force on `address` at `now` with the longest prefix, or none. A loopback address
    // is covered only by a range inside 127.0.0.0/8, so that a broad ban never shuts out the
    // machine itself.
    const Ban* covering(const asio::ip::address_v4& address, Ban::Clock::time_point now) const;
    // Takes out the bans that ended by `now`, and returns them.
    std::vector<Ban> expire(Ban::Clock::time_point now);
    // When the next ban ends, for a timer that calls expire(); none when no ban has an end.
    std::optional<Ban::Clock::time_point> next_end() const;
    // Every ban, ordered by range.
    std::vector<Ban> all() const;
    std::size_t size() const { return bans_.size(); }

private:
    std::map<AddressRange, Ban> bans_;
};

}  // namespace velmora
