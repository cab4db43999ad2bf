#include "nats_bridge.h"

#include "frame.h"

#include <cstdio>
#include <random>
#include <stdexcept>

namespace velmora {

namespace {

std::string RandomId()
{
    std::random_device random;
    const std::uint64_t value = (static_cast<std::uint64_t>(random()) << 32) | random();
    char id[kServerIdDigits + 1];
    std::snprintf(id, sizeof id, "%016llx", static_cast<unsigned long long>(value));
    return id;
}

}  // namespace

NatsBridge::NatsBridge(asio::io_context& io, Room& room, const NatsOptions& options, LogSummary& summary,
    Counters& counters, LogSink log)
    : io_(io), room_(room), log_(log), server_id_(RandomId()), subject_("velmora.room." + options.room),
      nats_(io, options, log), bucket_(nats_, options.room, log), names_(bucket_, server_id_),
      remote_(io, room, {[this](const RoomEvent& event) { publish(event); }, [this] { return room_.member_names(); },
                            [this] { return room_.size(); }, [this] { return nats_.connected(); },
                            [this] { each_second(); }},
          summary, counters)
{
    std::uint64_t first = 0;
    std::string failure;
    if (!names_.reserve_guest_block(first, failure))
        throw std::runtime_error("cannot take a block of guest numbers from the key-value bucket: " + failure);
    next_guest_ = first;
    block_end_ = first + kGuestBlock;
}

void NatsBridge::log(const std::string& line) const
{
    if (log_)
        log_(line);
}

void NatsBridge::start()
{
    nats_.subscribe(subject_, {[this](std::string frame) { remote_.on_frame(frame); },
                                  [this] {
                                      log("lost NATS; members here keep talking, and their messages reach no other "
                                          "server until it is back; reconnecting");
                                  },
                                  [this](const std::string& url) {
                                      log("reconnected to NATS at " + url);
                                      remote_.on_link_up();
                                      room_.link_up();
                                  }});
    log("joined room " + subject_.substr(subject_.rfind('.') + 1) + " through NATS at " + nats_.url() + " as server "
        + server_id_);
    room_.attach(this);
    remote_.start(server_id_);
    room_.link_up();
}

void NatsBridge::stop()
{
    if (stopped_)
        return;
    publish({RoomEvent::Kind::Bye, {}, {}});
    stopped_ = true;
    remote_.stop();
    // A key-value request under way finishes within its own bound, while the members leave.
    nats_.stop();
}

void NatsBridge::publish(const RoomEvent& event)
{
    if (stopped_)
        return;
    const std::string data = EncodeFrame({server_id_, seq_++, event});
    std::string error;
    if (nats_.publish(subject_, data, error)) {
        if (publish_failures_ > 0)
            log("publishing again after " + std::to_string(publish_failures_) + " messages reached no other server");
        publish_failures_ = 0;
    } else if (publish_failures_++ == 0) {
        log("a message reached no other server: " + error);
    }
}

void NatsBridge::claim_name(const std::string& name, std::uint64_t member, std::function<void(NameClaim)> done)
{
    const bool queued = nats_.submit([this, name, member, live = remote_.liveness(), done] {
        const NameClaim outcome = names_.claim(name, member, live);
        asio::post(io_, [done, outcome] { done(outcome); });
    });
    if (!queued)
        asio::post(io_, [done] { done(NameClaim::Busy); });
}

void NatsBridge::release_name(const std::string& name, std::uint64_t member)
{
    const bool queued = nats_.submit([this, name, member] {
        if (!names_.release(name, member))
            asio::post(io_, [this, name, member] { unreleased_.emplace_back(name, member); });
    });
    if (!queued)
        unreleased_.emplace_back(name, member);
}

void NatsBridge::each_second()
{
    remote_.dropped("too large for any server's", nats_.take_oversized());
    remote_.dropped("more than this server could keep up with", nats_.take_behind());
    if (!nats_.connected() || unreleased_.empty())
        return;
    for (auto& [name, member] : std::exchange(unreleased_, {}))
        release_name(name, member);
}

std::uint64_t NatsBridge::next_guest()
{
    if (next_guest_ == block_end_ && spare_block_ != 0) {
        next_guest_ = std::exchange(spare_block_, 0);
        block_end_ = next_guest_ + kGuestBlock;
    }
    if (next_guest_ == block_end_ && !overrun_logged_) {
        overrun_logged_ = true;
        log("guest numbers past this server's block: no new block could be had from NATS, so guest names may "
            "repeat across servers until one can");
    }
    // The next block is asked for well before this one runs out.
    if (!reserving_ && spare_block_ == 0 && block_end_ - next_guest_ < kGuestBlock / 10)
        reserve_next_block();
    return next_guest_++;
}

void NatsBridge::reserve_next_block()
{
    reserving_ = nats_.submit([this] {
        std::uint64_t first = 0;
        std::string failure;
        const bool got = names_.reserve_guest_block(first, failure);
        asio::post(io_, [this, got, first, failure] {
            reserving_ = false;
            if (got)
                spare_block_ = first;
            else
                log("could not take the next block of guest numbers: " + failure);
        });
    });
}

}  // namespace velmora
