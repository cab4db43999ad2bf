// The server's bans: who may not join, and for how long. They are kept in a file under
// --state-dir so that they survive restarts; with NATS the room's bucket is their record, so that
// a ban given on one server holds on all, and the file is this server's copy for when NATS is away.
#pragma once

#include "ban_list.h"
#include "log_sink.h"

#include <asio.hpp>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace velmora {

class Bans {
public:
    using Clock = Ban::Clock;

    // What a change means beyond the list.
    struct Hooks {
        // Members whose addresses a ban now covers leave, told why.
        std::function<void()> enforce;
        // A ban given or lifted here, for the other servers of the room.
        std::function<void(const Ban& ban)> shared;
        std::function<void(const AddressRange& range)> lifted;
    };

    // `file` empty: bans last as long as the server runs.
    Bans(asio::io_context& io, std::string file, LogSink log);
    Bans(const Bans&) = delete;
    Bans& operator=(const Bans&) = delete;

    Hooks hooks;

    // At start: false, and why, when the file is damaged.
    bool load(std::string& error);
    // The file again, as the operator may have edited it; a damaged file keeps the list as it is.
    // What happened, for the operator.
    std::string reload(bool& ok);
    const std::string& file() const { return file_; }

    const Ban* covering(const asio::ip::address_v4& address) const;
    // The operator's ban; what happened, for the operator.
    std::string add(const AddressRange& range, std::optional<std::chrono::seconds> duration, const std::string& reason,
        bool& ok);
    bool lift(const AddressRange& range);
    std::vector<Ban> all() const { return list_.all(); }
    std::size_t size() const { return list_.size(); }
    void stop();

    // From the other servers: applied here without being told back.
    void take(const Ban& ban);
    void drop(const AddressRange& range);

private:
    // Saves the file and sets the timer for the next ban to end; false when the file could not be
    // written, which is logged.
    bool changed();
    void schedule_expiry();
    void expire();

    asio::steady_timer timer_;
    std::string file_;
    LogSink log_;
    BanList list_;
    bool stopped_ = false;
};

}  // namespace velmora
