// Joins this server's room to the same room on every other server connected to the same NATS
// cluster: the server's events out as frames on the room's subject, the other servers' frames in
// through the mirror of their members, and names held in the room's bucket.
#pragma once

#include "counters.h"
#include "log_summary.h"
#include "name_registry.h"
#include "nats_connection.h"
#include "remote_servers.h"
#include "room.h"
#include "room_bucket.h"
#include "room_link.h"

#include <asio.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace velmora {

class NatsBridge : public RoomLink {
public:
    // Connects and opens the room's bucket, waiting a bounded time; throws std::runtime_error
    // with a reason a person can act on.
    NatsBridge(asio::io_context& io, Room& room, const NatsOptions& options, LogSummary& summary, Counters& counters,
        LogSink log);

    // On the event loop: subscribe, tell the others who is here, and keep the heartbeat.
    void start();
    // On the event loop: the others are told this server's members have all left, and the worker
    // is told to stop.
    void stop();

    bool connected() const override { return nats_.connected(); }
    void publish(const RoomEvent& event) override;
    void claim_name(const std::string& name, std::uint64_t member, std::function<void(NameClaim)> done) override;
    void release_name(const std::string& name, std::uint64_t member) override;
    std::uint64_t next_guest() override;
    const RemoteNames& remote_names() const override { return remote_.names(); }

    const std::string& server_id() const { return server_id_; }
    RoomBucket& bucket() { return bucket_; }

private:
    void each_second();
    void reserve_next_block();
    void log(const std::string& line) const;

    asio::io_context& io_;
    Room& room_;
    LogSink log_;
    std::string server_id_;
    std::string subject_;
    NatsConnection nats_;
    RoomBucket bucket_;
    NameRegistry names_;
    RemoteServers remote_;

    // Only on the event loop.
    bool stopped_ = false;
    std::uint64_t seq_ = 0;
    std::uint64_t publish_failures_ = 0;
    std::uint64_t next_guest_ = 0;
    std::uint64_t block_end_ = 0;
    std::uint64_t spare_block_ = 0;  // the first number of a block reserved ahead, or 0
    bool reserving_ = false;
    bool overrun_logged_ = false;
    // Names let go while NATS could not take it: tried again once a second.
    std::vector<std::pair<std::string, std::uint64_t>> unreleased_;
};

}  // namespace velmora
