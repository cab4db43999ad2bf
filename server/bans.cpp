#include "bans.h"

#include "ban_file.h"
#include "durations.h"
#include "server_limits.h"

#include <algorithm>
#include <utility>

namespace velmora {

namespace {

std::string Described(const Ban& ban)
{
    std::string text = ban.range.text();
    if (ban.until)
        text += " for " + ShortDuration(std::chrono::ceil<std::chrono::seconds>(*ban.until - Ban::Clock::now()));
    return text + (ban.reason.empty() ? "" : " (" + ban.reason + ")");
}

bool Holds(const std::vector<Ban>& bans, const AddressRange& range)
{
    return std::any_of(bans.begin(), bans.end(), [&](const Ban& ban) { return ban.range == range; });
}

}  // namespace

Bans::Bans(asio::io_context& io, std::string file, LogSink log)
    : timer_(io), file_(std::move(file)), log_(std::move(log))
{
}

bool Bans::load(std::string& error)
{
    if (!file_.empty() && !LoadBans(file_, list_, error))
        return false;
    list_.expire(Clock::now());
    if (log_ && list_.size() > 0)
        log_(std::to_string(list_.size()) + " bans in force, from " + file_);
    schedule_expiry();
    return true;
}

std::string Bans::reload(bool& ok)
{
    ok = true;
    if (file_.empty())
        return "no ban file to read: the server runs without --state-dir";
    BanList loaded;
    std::string error;
    if (!LoadBans(file_, loaded, error)) {
        ok = false;
        return error + "; the bans in force are kept";
    }
    const std::vector<Ban> read = loaded.all();
    std::size_t lifted = 0;
    for (const Ban& ban : list_.all())
        if (!Holds(read, ban.range) && list_.remove(ban.range)) {
            ++lifted;
            if (hooks.lifted)
                hooks.lifted(ban.range);
        }
    std::size_t given = 0;
    for (const Ban& ban : read) {
        if (ban.ended(Clock::now()))
            continue;
        list_.add(ban);
        ++given;
        if (hooks.shared)
            hooks.shared(ban);
    }
    changed();
    if (hooks.enforce)
        hooks.enforce();
    return "read " + std::to_string(given) + " bans from " + file_ + "; lifted " + std::to_string(lifted);
}

const Ban* Bans::covering(const asio::ip::address_v4& address) const
{
    return list_.covering(address, Clock::now());
}

std::string Bans::add(const AddressRange& range, std::optional<std::chrono::seconds> duration, const std::string& reason,
    bool& ok)
{
    const auto now = Clock::now();
    Ban ban{range, now, std::nullopt, BanReason(reason)};
    if (duration)
        ban.until = now + *duration;
    const BanList::Added added = list_.add(ban);
    ok = added != BanList::Added::Full;
    if (!ok)
        return "the server keeps at most " + std::to_string(kMaxBans) + " bans; lift one first";
    const bool saved = changed();
    if (log_)
        log_("banned " + Described(ban));
    if (hooks.shared)
        hooks.shared(ban);
    if (hooks.enforce)
        hooks.enforce();
    return "banned " + Described(ban) + (added == BanList::Added::Replaced ? ", in place of the ban before" : "")
        + (saved ? "" : "; it could not be saved, so it lasts only until the server stops");
}

bool Bans::lift(const AddressRange& range)
{
    if (!list_.remove(range))
        return false;
    changed();
    if (log_)
        log_("lifted the ban on " + range.text());
    if (hooks.lifted)
        hooks.lifted(range);
    return true;
}

void Bans::take(const Ban& ban)
{
    if (ban.ended(Clock::now()))
        return;
    list_.add(ban);
    changed();
    if (hooks.enforce)
        hooks.enforce();
}

void Bans::drop(const AddressRange& range)
{
    if (list_.remove(range))
        changed();
}

bool Bans::changed()
{
    schedule_expiry();
    if (file_.empty())
        return true;
    std::string error;
    if (SaveBans(file_, list_, error))
        return true;
    if (log_)
        log_(error);
    return false;
}

void Bans::schedule_expiry()
{
    timer_.cancel();
    const auto next = list_.next_end();
    if (!next || stopped_)
        return;
    timer_.expires_after(std::max(Clock::duration::zero(), *next - Clock::now()));
    timer_.async_wait([this](const asio::error_code& ec) {
        if (!ec && !stopped_)
            expire();
    });
}

// Every server lets its bans end by the clock; each tells the room's bucket, and the first to do
// so removes the record.
void Bans::expire()
{
    for (const Ban& ban : list_.expire(Clock::now())) {
        if (log_)
            log_("the ban on " + ban.range.text() + " ended");
        if (hooks.lifted)
            hooks.lifted(ban.range);
    }
    changed();
}

void Bans::stop()
{
    stopped_ = true;
    timer_.cancel();
}

}  // namespace velmora
