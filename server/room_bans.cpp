#include "room_bans.h"

#include "ban_file.h"
#include "lines.h"
#include "server_limits.h"

#include <nats/nats.h>

#include <utility>

namespace velmora {

namespace {

constexpr char kBanKeys[] = "ban.>";
constexpr std::string_view kBanKeyPrefix = "ban.";

std::string Key(const AddressRange& range)
{
    return std::string(kBanKeyPrefix) + range.text();
}

}  // namespace

RoomBans::RoomBans(asio::io_context& io, RoomBucket& bucket, Bans& bans, LogSummary& summary, LogSink log)
    : io_(io), retry_timer_(io), bucket_(bucket), bans_(bans), summary_(summary), log_(std::move(log))
{
}

RoomBans::~RoomBans()
{
    stop();
    if (thread_.joinable())
        thread_.join();
}

void RoomBans::start()
{
    thread_ = std::thread([this] { watch(); });
}

void RoomBans::stop()
{
    stopped_ = true;
    retry_timer_.cancel();
    stopping_ = true;
    if (__kvWatcher* watcher = watcher_.load())
        kvWatcher_Stop(watcher);
}

void RoomBans::watch()
{
    kvWatchOptions options;
    kvWatchOptions_Init(&options);
    kvWatcher* watcher = nullptr;
    const natsStatus s = kvStore_Watch(&watcher, bucket_.store(), kBanKeys, &options);
    if (s != NATS_OK) {
        asio::post(io_, [this, why = std::string(natsStatus_GetText(s))] {
            if (log_)
                log_("cannot watch the room's bans in its bucket: " + why + "; bans given on other servers do not hold here");
        });
        return;
    }
    watcher_ = watcher;
    std::vector<Change> first;
    bool initial = true;
    while (!stopping_) {
        kvEntry* entry = nullptr;
        const natsStatus next = kvWatcher_Next(&entry, watcher, kBanWatchWaitMs);
        if (next == NATS_TIMEOUT)
            continue;
        if (next != NATS_OK)
            break;
        if (!entry) {
            // The records there were when watching began are all in; what follows is news.
            asio::post(io_, [this, first = std::move(first)] { settle(first); });
            initial = false;
            continue;
        }
        const kvOperation op = kvEntry_Operation(entry);
        Change change{kvEntry_Key(entry), op != kvOp_Put,
            std::string(static_cast<const char*>(kvEntry_Value(entry)), static_cast<std::size_t>(kvEntry_ValueLen(entry))),
            kvEntry_Revision(entry)};
        kvEntry_Destroy(entry);
        if (initial)
            first.push_back(std::move(change));
        else
            asio::post(io_, [this, change = std::move(change)] { apply(change); });
    }
    watcher_ = nullptr;
    kvWatcher_Destroy(watcher);
}

// Checked like a frame between servers: a key that names a range, and a record of that range.
void RoomBans::apply(const Change& change)
{
    if (stopped_)
        return;
    std::string why;
    const auto range = change.key.compare(0, kBanKeyPrefix.size(), kBanKeyPrefix) == 0
        ? AddressRange::Parse(std::string_view(change.key).substr(kBanKeyPrefix.size()), why)
        : std::nullopt;
    const auto ban = range && !change.removed ? ParseBanRecord(change.record, why) : std::nullopt;
    if (!range || (!change.removed && (!ban || !(ban->range == *range)))) {
        summary_.note("records of bans in the room's bucket dropped", "dropped a record of a ban in the room's bucket ("
            + Cleaned(change.key).substr(0, kLoggedTextMaxBytes) + "): " + (why.empty() ? "it names another range" : why));
        return;
    }
    if (change.removed) {
        revisions_.erase(change.key);
        bans_.drop(*range);
        return;
    }
    revisions_[change.key] = change.revision;
    bans_.take(*ban);
}

// At start the bucket is the record: a ban this server kept that the room no longer has was lifted
// while the server was away. A room without any bans yet takes this server's instead.
void RoomBans::settle(const std::vector<Change>& first)
{
    if (stopped_)
        return;
    if (first.empty()) {
        for (const Ban& ban : bans_.all())
            share(ban);
        return;
    }
    std::vector<AddressRange> kept;
    for (const Change& change : first) {
        apply(change);
        std::string why;
        const auto range = AddressRange::Parse(std::string_view(change.key).substr(kBanKeyPrefix.size()), why);
        if (range && !change.removed)
            kept.push_back(*range);
        // A marker older than this server has been seen by every server that was running.
        if (change.removed)
            markers_.push_back({change.key, change.revision, std::chrono::steady_clock::now()});
    }
    schedule();
    for (const Ban& ban : bans_.all())
        if (std::none_of(kept.begin(), kept.end(), [&](const AddressRange& range) { return range == ban.range; }))
            bans_.drop(ban.range);
}

void RoomBans::share(const Ban& ban)
{
    submit({Key(ban.range), false, BanRecord(ban), 0});
}

void RoomBans::lift(const AddressRange& range)
{
    const std::string key = Key(range);
    const auto known = revisions_.find(key);
    submit({key, true, {}, known == revisions_.end() ? 0 : known->second});
}

void RoomBans::submit(Change change)
{
    const bool queued = bucket_.nats().submit([this, change] {
        using Outcome = RoomBucket::Deleted;
        std::uint64_t marker = 0;
        Outcome outcome = Outcome::Failed;
        if (change.removed)
            outcome = bucket_.delete_at(change.key, change.revision, marker);
        else if (kvStore_PutString(nullptr, bucket_.store(), change.key.c_str(), change.record.c_str()) == NATS_OK)
            outcome = Outcome::Done;
        asio::post(io_, [this, change, outcome, marker] {
            if (outcome == Outcome::Failed)
                unsent_.push_back(change);
            else if (change.removed && outcome == Outcome::Done)
                markers_.push_back({change.key, marker, std::chrono::steady_clock::now() + kBanMarkerLinger});
            schedule();
        });
    });
    if (!queued) {
        unsent_.push_back(std::move(change));
        schedule();
    }
}

void RoomBans::schedule()
{
    if (stopped_ || scheduled_ || (unsent_.empty() && markers_.empty()))
        return;
    scheduled_ = true;
    retry_timer_.expires_after(kBanRetryInterval);
    retry_timer_.async_wait([this](const asio::error_code& ec) {
        scheduled_ = false;
        if (!ec && !stopped_)
            tick();
    });
}

void RoomBans::tick()
{
    for (Change& change : std::exchange(unsent_, {}))
        submit(std::move(change));
    const auto now = std::chrono::steady_clock::now();
    for (auto it = markers_.begin(); it != markers_.end();) {
        if (it->due > now) {
            ++it;
            continue;
        }
        bucket_.nats().submit([this, key = it->key, revision = it->revision] { bucket_.purge_through(key, revision); });
        it = markers_.erase(it);
    }
    schedule();
}

}  // namespace velmora
