#include "chat_server.h"

#include "lines.h"

#include <utility>

namespace velmora {

using asio::ip::tcp;

namespace {

bool PeerGaveUp(const asio::error_code& ec)
{
    return ec == asio::error::connection_aborted || ec == asio::error::connection_reset
        || ec == std::errc::protocol_error;
}

std::uint32_t PeerAddress(const tcp::socket& socket)
{
    asio::error_code ec;
    const auto peer = socket.remote_endpoint(ec);
    return ec || !peer.address().is_v4() ? 0 : peer.address().to_v4().to_uint();
}

}  // namespace

ChatServer::ChatServer(asio::io_context& io, const ServerOptions& options, LogSink log)
    : io_(io), options_(options), log_(log), room_(io, options, log), acceptor_(io), accept_retry_(io),
      stats_timer_(io)
{
    acceptor_.open(options_.endpoint.protocol());
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
    acceptor_.bind(options_.endpoint);
    acceptor_.listen(asio::socket_base::max_listen_connections);
    acceptor_.non_blocking(true);
    room_.on_member_gone = [this](const Session& member) { member_gone(member); };
}

unsigned short ChatServer::port() const
{
    return acceptor_.local_endpoint().port();
}

void ChatServer::start()
{
    room_.log("listening on " + options_.endpoint.address().to_string() + ":" + std::to_string(port()));
    accept_next();
    schedule_stats();
}

void ChatServer::stop()
{
    if (stopped_)
        return;
    stopped_ = true;
    asio::error_code ignored;
    acceptor_.close(ignored);
    accept_retry_.cancel();
    stats_timer_.cancel();
    room_.log("shutting down, closed " + std::to_string(room_.size()) + " clients");
    room_.close_all();
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

bool ChatServer::counts_against_address_cap(const asio::ip::address_v4& address) const
{
    return options_.max_per_address > 0 && (options_.limit_loopback || !address.is_loopback());
}

void ChatServer::take(tcp::socket socket)
{
    if (accept_paused_) {
        accept_paused_ = false;
        room_.log("accepting again");
    }
    const asio::ip::address_v4 address(PeerAddress(socket));
    if (room_.size() >= options_.max_clients) {
        room_.log("rejected " + address.to_string() + ": server full (" + std::to_string(room_.size()) + " clients)");
        room_.turn_away(std::move(socket), "Server is full, please try again later.");
        return;
    }
    if (counts_against_address_cap(address)) {
        std::size_t& count = per_address_[address.to_uint()];
        if (count >= options_.max_per_address) {
            room_.log("rejected " + address.to_string() + ": " + std::to_string(count) + " members from that address");
            room_.turn_away(std::move(socket), "Too many connections from your address ("
                + std::to_string(options_.max_per_address) + "), please try again later.");
            return;
        }
        ++count;
    }
    room_.admit(std::move(socket));
}

void ChatServer::member_gone(const Session& member)
{
    if (counts_against_address_cap(member.address())) {
        const auto found = per_address_.find(member.address().to_uint());
        if (found != per_address_.end() && --found->second == 0)
            per_address_.erase(found);
    }
    resume_accepting();
}

// Out of descriptors the listening socket stays readable, so accepting again at once would spin.
void ChatServer::pause_accepting(const asio::error_code& ec)
{
    if (!accept_paused_) {
        ++accept_pauses_;
        room_.log("accept paused: " + ec.message());
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
    const RoomStats s = room_.take_stats();
    room_.log("stats: " + Counted(room_.size(), "member", "members") + "; in " + Counted(s.messages_in, "message", "messages")
        + ", " + Counted(s.bytes_in, "byte", "bytes") + "; out " + Counted(s.messages_out, "message", "messages") + ", "
        + Counted(s.bytes_out, "byte", "bytes") + "; " + Grouped(s.throttled) + " throttled, "
        + Grouped(s.cut_at_queue_cap) + " cut at the queue cap, " + Grouped(s.cut_for_memory) + " cut for memory, "
        + Counted(std::exchange(accept_pauses_, 0), "accept pause", "accept pauses") + "; queues hold "
        + Counted(room_.gauge().bytes, "byte", "bytes"));
}

}  // namespace velmora
