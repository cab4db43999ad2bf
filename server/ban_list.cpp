#include "ban_list.h"

#include "lines.h"
#include "server_limits.h"

#include <charconv>

namespace velmora {

namespace {

constexpr unsigned kAddressBits = 32;
// Loopback is 127.0.0.0/8: only ranges at least this narrow may cover it.
constexpr unsigned kLoopbackPrefixLength = 8;

std::uint32_t Mask(unsigned prefix_length)
{
    return prefix_length == 0 ? 0 : ~std::uint32_t{0} << (kAddressBits - prefix_length);
}

std::optional<unsigned> ParsePrefixLength(std::string_view text)
{
    unsigned length = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), length);
    if (text.empty() || text.size() > 2 || ec != std::errc() || end != text.data() + text.size()
        || length > kAddressBits)
        return std::nullopt;
    return length;
}

// UTF-8 continuation bytes are 10xxxxxx.
bool ContinuesCharacter(char byte)
{
    return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

// The longest UTF-8 character is 4 bytes: past 3 continuation bytes the text is not UTF-8.
constexpr std::size_t kMaxContinuationBytes = 3;

// How many of the first `most` bytes of the longer `text` to keep so that no UTF-8 character is
// cut in two; text that is not UTF-8 is cut at `most`.
std::size_t KeptBytes(std::string_view text, std::size_t most)
{
    std::size_t cut = most;
    while (cut > most - kMaxContinuationBytes && ContinuesCharacter(text[cut]))
        --cut;
    return ContinuesCharacter(text[cut]) ? most : cut;
}

}  // namespace

std::optional<AddressRange> AddressRange::Parse(std::string_view text, std::string& error)
{
    const std::size_t slash = text.find('/');
    const std::string address_text(text.substr(0, slash));
    asio::error_code ec;
    const auto address = asio::ip::make_address_v4(address_text, ec);
    if (ec) {
        error = "'" + std::string(text) + "' is not an IPv4 address or range (such as 192.0.2.7 or 192.0.2.0/24)";
        return std::nullopt;
    }
    if (slash == std::string_view::npos)
        return Of(address, kAddressBits);
    const auto length = ParsePrefixLength(text.substr(slash + 1));
    if (!length) {
        error = "'" + std::string(text) + "' has no prefix length from 0 to 32 after the /";
        return std::nullopt;
    }
    const AddressRange range = Of(address, *length);
    if (range.network_ != address.to_uint()) {
        error = "'" + std::string(text) + "' has host bits set; did you mean " + range.text() + " (or " + address_text
            + " alone)?";
        return std::nullopt;
    }
    return range;
}

AddressRange AddressRange::Of(const asio::ip::address_v4& address, unsigned prefix_length)
{
    return AddressRange(address.to_uint() & Mask(prefix_length), prefix_length);
}

bool AddressRange::contains(const asio::ip::address_v4& address) const
{
    return (address.to_uint() & Mask(prefix_length_)) == network_;
}

bool AddressRange::contains(const AddressRange& other) const
{
    return other.prefix_length_ >= prefix_length_ && (other.network_ & Mask(prefix_length_)) == network_;
}

std::string AddressRange::text() const
{
    const std::string address = asio::ip::address_v4(network_).to_string();
    return prefix_length_ == kAddressBits ? address : address + "/" + std::to_string(prefix_length_);
}

std::string BanReason(std::string_view text)
{
    if (text.size() > kBanReasonMaxBytes)
        text = text.substr(0, KeptBytes(text, kBanReasonMaxBytes));
    return Cleaned(text);
}

BanList::Added BanList::add(Ban ban)
{
    using std::chrono::floor;
    using std::chrono::seconds;
    ban.reason = BanReason(ban.reason);
    ban.since = floor<seconds>(ban.since);
    if (ban.until)
        ban.until = floor<seconds>(*ban.until);
    const auto found = bans_.find(ban.range);
    if (found != bans_.end()) {
        found->second = std::move(ban);
        return Added::Replaced;
    }
    if (bans_.size() >= kMaxBans)
        return Added::Full;
    bans_.emplace(ban.range, std::move(ban));
    return Added::New;
}

bool BanList::remove(const AddressRange& range)
{
    return bans_.erase(range) > 0;
}

const Ban* BanList::covering(const asio::ip::address_v4& address, Ban::Clock::time_point now) const
{
    const unsigned widest = address.is_loopback() ? kLoopbackPrefixLength : 0;
    for (unsigned length = kAddressBits + 1; length-- > widest;) {
        const auto found = bans_.find(AddressRange::Of(address, length));
        if (found != bans_.end() && !found->second.ended(now))
            return &found->second;
    }
    return nullptr;
}

std::vector<Ban> BanList::expire(Ban::Clock::time_point now)
{
    std::vector<Ban> ended;
    for (auto it = bans_.begin(); it != bans_.end();) {
        if (it->second.ended(now)) {
            ended.push_back(std::move(it->second));
            it = bans_.erase(it);
        } else {
            ++it;
        }
    }
    return ended;
}

std::optional<Ban::Clock::time_point> BanList::next_end() const
{
    std::optional<Ban::Clock::time_point> soonest;
    for (const auto& [range, ban] : bans_) {
        if (ban.until && (!soonest || *ban.until < *soonest))
            soonest = ban.until;
    }
    return soonest;
}

std::vector<Ban> BanList::all() const
{
    std::vector<Ban> listed;
    listed.reserve(bans_.size());
    for (const auto& [range, ban] : bans_)
        listed.push_back(ban);
    return listed;
}

}  // namespace velmora
