// Bans as the room's bucket records them (docs/protocol.md, "The room's bucket"): a key
// "ban.<range>" for each, holding the ban's record. A watcher on those keys applies what any server
// gives or lifts within moments, so the bucket is the record and each server's file its copy.
// Every record is checked like a frame between servers before it is believed.
#pragma once

#include "bans.h"
#include "log_summary.h"
#include "room_bucket.h"

#include <asio.hpp>

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <vector>

struct __kvWatcher;

namespace velmora {

class RoomBans {
public:
    RoomBans(asio::io_context& io, RoomBucket& bucket, Bans& bans, LogSummary& summary, LogSink log);
    ~RoomBans();
    RoomBans(const RoomBans&) = delete;
    RoomBans& operator=(const RoomBans&) = delete;

    // Watches the bucket's bans from a thread of its own: the watcher's calls wait on NATS.
    void start();
    void stop();

    // A ban given or lifted here, for the bucket; tried again while NATS cannot take it.
    void share(const Ban& ban);
    void lift(const AddressRange& range);

private:
    struct Change {
        std::string key;
        bool removed = false;
        std::string record;
        std::uint64_t revision = 0;
    };

    void watch();
    void apply(const Change& change);
    void settle(const std::vector<Change>& first);
    void submit(Change change);
    // Once a second while there is work: what NATS could not take is tried again, and the marker of
    // a lifted ban goes once every server has had time to see it.
    void schedule();
    void tick();

    asio::io_context& io_;
    asio::steady_timer retry_timer_;
    RoomBucket& bucket_;
    Bans& bans_;
    LogSummary& summary_;
    LogSink log_;
    // Only on the event loop: the revision of each ban's record as last seen, and what NATS could
    // not take yet.
    std::map<std::string, std::uint64_t> revisions_;
    std::vector<Change> unsent_;
    struct Marker {
        std::string key;
        std::uint64_t revision;
        std::chrono::steady_clock::time_point due;
    };
    std::vector<Marker> markers_;
    bool scheduled_ = false;
    bool stopped_ = false;

    std::atomic<__kvWatcher*> watcher_{nullptr};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace velmora
