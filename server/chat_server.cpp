#include "chat_server.h"

#include "lines.h"

#include <algorithm>
#include <utility>

namespace velmora {

using asio::ip::tcp;

namespace {

bool PeerGaveUp(const asio::error_code& ec)
{
    return ec == asio::error::connection_aborted || ec == asio::error::connection_reset
        || ec == std::errc::protocol_error;
}

}  // namespace

ChatServer::ChatServer(asio::io_context& io, const ServerOptions& options, LogSink log)
    : io_(io), options_(options), log_(log), summary_(io, log, kLogSummaryInterval),
      room_(io, options, log, counters_, gauge_), addresses_(options), acceptor_(io), accept_retry_(io),
      stats_timer_(io), sweep_timer_(io)
{
    acceptor_.open(options_.endpoint.protocol());
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
    acceptor_.bind(options_.endpoint);
    acceptor_.listen(asio::socket_base::max_listen_connections);
    acceptor_.non_blocking(true);
    room_.on_queues_grew = [this] { enforce_memory_bound(); };
}

unsigned short ChatServer::port() const
{
    return acceptor_.local_endpoint().port();
}

void ChatServer::log(const std::string& line) const
{
    if (log_)
        log_(line);
}

void ChatServer::start()
{
    log("listening on " + options_.endpoint.address().to_string() + ":" + std::to_string(port()));
    accept_next();
    schedule_stats();
    schedule_sweep();
}

void ChatServer::stop(std::function<void()> stopped)
{
    if (stopped_)
        return;
    stopped_ = true;
    on_stopped_ = std::move(stopped);
    asio::error_code ignored;
    acceptor_.close(ignored);
    accept_retry_.cancel();
    stats_timer_.cancel();
    sweep_timer_.cancel();
    summary_.flush();
    log("shutting down, closing " + Counted(connections_.size(), "connection", "connections"));
    room_.close_all();
    if (connections_.empty() && on_stopped_)
        asio::post(io_, std::exchange(on_stopped_, nullptr));
}

void ChatServer::accept_next()
{
    acceptor_.async_accept([this](const asio::error_code& ec, tcp::socket socket) { on_accept(ec, std::move(socket)); });
}

void ChatServer::on_accept(asio::error_code ec, tcp::socket socket)
{
    if (stopped_ || ec == asio::error::operation_aborted)
        return;
    // Taking in what else is already waiting lets one write per member carry a whole burst of
    // join notices instead of one write per newcomer.
    bool out_of_resources = false;
    for (std::size_t attempts = 1;; ++attempts) {
        if (!ec)
            take(std::move(socket));
        else if (ec == asio::error::would_block || ec == asio::error::try_again)
            break;
        else if (!PeerGaveUp(ec)) {
            out_of_resources = true;
            break;
        }
        if (attempts == kAcceptBatch)
            break;
        tcp::socket next(io_);
        acceptor_.accept(next, ec);
        socket = std::move(next);
    }
    if (out_of_resources)
        pause_accepting(ec);
    else
        accept_next();
}

void ChatServer::take(tcp::socket socket)
{
    if (accept_paused_) {
        accept_paused_ = false;
        summary_.note("resumptions of accepting", "accepting again");
    }
    asio::error_code ec;
    const tcp::endpoint peer = socket.remote_endpoint(ec);
    if (ec || !peer.address().is_v4())
        return;
    const auto now = TokenBucket::Clock::now();
    const std::string address = peer.address().to_string();
    InputBudget budget{TokenBucket(options_.rate_bytes_per_second, options_.burst_bytes, now)};
    const std::optional<std::string> ban = banned ? banned(peer.address().to_v4()) : std::nullopt;
    const bool full = !ban && admitted_ >= options_.max_clients;
    const AddressBook::Verdict verdict =
        ban || full ? AddressBook::Verdict::Admitted : addresses_.admit(peer.address().to_v4(), now, budget);
    const bool admitted = !ban && !full && verdict == AddressBook::Verdict::Admitted;
    if (admitted)
        WatchForDeadPeer(socket, std::chrono::seconds(options_.dead_peer_seconds));
    auto session = std::make_shared<Session>(*this, std::move(socket), peer, budget, options_.max_queue_bytes);
    connections_[session.get()] = {session, admitted};
    if (ban) {
        ++counters_.rejected_banned;
        turn_away(session, "connections rejected: banned", "rejected " + address + ": banned",
            "Your address is banned from this room" + (ban->empty() ? "" : " (" + *ban + ")") + ".");
    } else if (full) {
        ++counters_.rejected_full;
        turn_away(session, "connections rejected: server full",
            "rejected " + address + ": server full (" + std::to_string(admitted_) + " clients)",
            "Server is full, please try again later.");
    } else if (verdict == AddressBook::Verdict::TooFast) {
        ++counters_.rejected_too_fast;
        turn_away(session, "connections rejected: connecting too often from one address",
            "rejected " + address + ": connecting too often (more than " + std::to_string(options_.connect_burst)
                + " at once, then " + std::to_string(options_.connect_rate) + " a second)",
            "Too many new connections from your address, please wait a few seconds.");
    } else if (verdict == AddressBook::Verdict::TooMany) {
        ++counters_.rejected_per_address;
        turn_away(session, "connections rejected: too many from one address",
            "rejected " + address + ": " + std::to_string(options_.max_per_address) + " members from that address",
            "Too many connections from your address (" + std::to_string(options_.max_per_address)
                + "), please try again later.");
    } else {
        ++admitted_;
        room_.admit(session);
    }
}

void ChatServer::turn_away(const SessionPtr& visitor, const std::string& kind, const std::string& log_line,
    std::string_view line)
{
    summary_.note(kind, log_line);
    visitor->enqueue(std::make_shared<const Payload>(Line(line), gauge_));
    visitor->leave_in_order(kOrderlyCloseBound, false);
}

void ChatServer::on_input(const SessionPtr& from, std::string_view bytes)
{
    if (const MemberPtr member = room_.member_of(*from))
        room_.on_message(member, bytes);
}

void ChatServer::on_peer_gone(const SessionPtr& session, const std::string& error)
{
    if (const MemberPtr member = room_.member_of(*session))
        room_.remove(member, error.empty() ? Leave::Closed : Leave::Error, error);
    else
        session->close();
}

void ChatServer::on_throttled(const Session& session)
{
    ++counters_.throttled;
    const MemberPtr member = room_.member_of(session);
    summary_.note("members throttled", (member ? member->name : session.peer()) + " throttled: sending more than "
        + std::to_string(options_.rate_bytes_per_second) + " bytes/s; reading it again as its budget allows");
}

void ChatServer::on_closed(const Session& session)
{
    const auto found = connections_.find(&session);
    if (found == connections_.end())
        return;
    if (found->second.admitted) {
        --admitted_;
        addresses_.release(session.address());
    }
    connections_.erase(found);
    resume_accepting();
    if (stopped_ && connections_.empty() && on_stopped_)
        asio::post(io_, std::exchange(on_stopped_, nullptr));
}

void ChatServer::schedule_flush(SessionPtr session)
{
    to_flush_.push_back(std::move(session));
    if (flush_posted_)
        return;
    flush_posted_ = true;
    asio::post(io_, [this] {
        flush_posted_ = false;
        std::vector<SessionPtr> due;
        due.swap(to_flush_);
        for (const auto& session : due)
            session->flush();
    });
}

// Past the bound for all queues together, the connections furthest behind go first, as they hold
// the most that everyone else has already been sent; members leave the room the usual way.
void ChatServer::enforce_memory_bound()
{
    if (options_.max_memory_bytes == 0 || gauge_->bytes <= options_.max_memory_bytes || enforcing_)
        return;
    enforcing_ = true;
    std::vector<SessionPtr> behind;
    for (const auto& entry : connections_)
        if (entry.second.session->queued_cost() > 0)
            behind.push_back(entry.second.session);
    std::sort(behind.begin(), behind.end(),
        [](const SessionPtr& a, const SessionPtr& b) { return a->queued_cost() > b->queued_cost(); });
    std::size_t expected = gauge_->bytes;
    for (const auto& session : behind) {
        if (expected <= options_.max_memory_bytes)
            break;
        expected -= std::min(expected, session->queued_cost());
        if (const MemberPtr member = room_.member_of(*session))
            room_.remove(member, Leave::MemoryBound);
        else
            session->reset();
    }
    enforcing_ = false;
}

// Out of descriptors the listening socket stays readable, so accepting again at once would spin.
void ChatServer::pause_accepting(const asio::error_code& ec)
{
    if (!accept_paused_) {
        ++counters_.accept_pauses;
        summary_.note("pauses in accepting for want of descriptors", "accept paused: " + ec.message());
    }
    accept_paused_ = true;
    accept_retry_armed_ = true;
    accept_retry_.expires_after(kAcceptRetryDelay);
    accept_retry_.async_wait([this](const asio::error_code&) {
        if (stopped_ || !accept_retry_armed_)
            return;
        accept_retry_armed_ = false;
        accept_next();
    });
}

void ChatServer::resume_accepting()
{
    if (stopped_ || !accept_retry_armed_)
        return;
    accept_retry_armed_ = false;
    accept_retry_.cancel();
    accept_next();
}

void ChatServer::schedule_sweep()
{
    sweep_timer_.expires_after(kAddressSweepInterval);
    sweep_timer_.async_wait([this](const asio::error_code& ec) {
        if (ec || stopped_)
            return;
        addresses_.forget_settled(TokenBucket::Clock::now());
        schedule_sweep();
    });
}

void ChatServer::schedule_stats()
{
    if (options_.stats_interval_seconds == 0)
        return;
    stats_timer_.expires_after(std::chrono::seconds(options_.stats_interval_seconds));
    stats_timer_.async_wait([this](const asio::error_code& ec) {
        if (ec || stopped_)
            return;
        log_stats();
        schedule_stats();
    });
}

void ChatServer::log_stats()
{
    const Counters& c = counters_;
    const Counters& r = reported_;
    const std::uint64_t rejected = (c.rejected_full - r.rejected_full) + (c.rejected_per_address - r.rejected_per_address)
        + (c.rejected_too_fast - r.rejected_too_fast) + (c.rejected_banned - r.rejected_banned);
    log("stats: " + Counted(room_.size(), "member", "members") + "; in "
        + Counted(c.messages_in - r.messages_in, "message", "messages") + ", "
        + Counted(c.bytes_in - r.bytes_in, "byte", "bytes") + "; out "
        + Counted(c.messages_out - r.messages_out, "message", "messages") + ", "
        + Counted(c.bytes_out - r.bytes_out, "byte", "bytes") + "; " + Grouped(c.throttled - r.throttled)
        + " throttled, " + Grouped(c.cut_at_queue_cap - r.cut_at_queue_cap) + " cut at the queue cap, "
        + Grouped(c.cut_for_memory - r.cut_for_memory) + " cut for memory, "
        + Counted(c.accept_pauses - r.accept_pauses, "accept pause", "accept pauses") + "; queues hold "
        + Counted(gauge_->bytes, "byte", "bytes") + "; rejected " + Counted(rejected, "connection", "connections")
        + " (" + Grouped(c.rejected_full - r.rejected_full) + " server full, "
        + Grouped(c.rejected_per_address - r.rejected_per_address) + " per address, "
        + Grouped(c.rejected_too_fast - r.rejected_too_fast) + " too often, "
        + Grouped(c.rejected_banned - r.rejected_banned) + " banned); "
        + Counted(c.lost_between_servers - r.lost_between_servers, "message", "messages") + " lost between servers");
    reported_ = counters_;
}

}  // namespace velmora
