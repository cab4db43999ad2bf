#include "relay_server.h"

#include "wire_protocol.h"

#include <cerrno>
#include <utility>

namespace velmora {

using asio::ip::tcp;

class Session : public std::enable_shared_from_this<Session> {
public:
    Session(RelayServer& server, tcp::socket socket, std::string name)
        : server_(server), socket_(std::move(socket)), name_(std::move(name))
    {
    }

    const std::string& name() const { return name_; }

    // Queues masked bytes from `offset` on. Refuses, queueing nothing, when they would pass the cap.
    bool enqueue(const SharedBytes& bytes, std::size_t offset = 0)
    {
        if (closed_)
            return true;
        const std::size_t cost = bytes->size() - offset + kQueuedMessageOverhead;
        if (queued_cost_ + cost > server_.options_.max_queue_bytes)
            return false;
        pending_.push_back({bytes, offset});
        queued_cost_ += cost;
        if (!writing_ && !flush_scheduled_) {
            flush_scheduled_ = true;
            server_.schedule_flush(shared_from_this());
        }
        return true;
    }

    void flush()
    {
        flush_scheduled_ = false;
        if (closed_ || writing_)
            return;
        if (pending_.empty()) {
            if (close_after_flush_)
                close();
            return;
        }
        std::swap(pending_, in_flight_);
        in_flight_cost_ = queued_cost_;
        writing_ = true;
        auto done = [self = shared_from_this()](const asio::error_code& ec, std::size_t) { self->on_written(ec); };
        if (in_flight_.size() <= kMaxGatherBuffers) {
            gather_.clear();
            for (const Queued& q : in_flight_)
                gather_.emplace_back(q.bytes->data() + q.offset, q.bytes->size() - q.offset);
            asio::async_write(socket_, gather_, std::move(done));
            return;
        }
        // Past what one gathered write takes, a copy keeps it to one write; the originals are let go.
        for (const Queued& q : in_flight_)
            coalesced_.append(q.bytes->data() + q.offset, q.bytes->size() - q.offset);
        in_flight_.clear();
        asio::async_write(socket_, asio::buffer(coalesced_), std::move(done));
    }

    // Where this newcomer's share of its accept batch's join notices starts: the joins after its own.
    void set_join_offset(std::size_t offset) { join_offset_ = offset; }
    std::size_t take_join_offset() { return std::exchange(join_offset_, 0); }

    void start_reading() { await_readable(); }

    void close_after_flush()
    {
        close_after_flush_ = true;
        if (!writing_ && !flush_scheduled_ && pending_.empty())
            close();
    }

    void close()
    {
        if (closed_)
            return;
        closed_ = true;
        asio::error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
    }

    // For a client that stopped reading: an orderly close would wait behind the data it never took,
    // keeping the kernel's buffers and leaving the client unaware; a reset ends it at once.
    void abort()
    {
        if (closed_)
            return;
        asio::error_code ignored;
        socket_.set_option(asio::socket_base::linger(true, 0), ignored);
        closed_ = true;
        socket_.close(ignored);
    }

private:
    struct Queued {
        SharedBytes bytes;
        std::size_t offset;
    };

    // Waiting for readability instead of reading keeps idle clients free of a read buffer of their own.
    void await_readable()
    {
        socket_.async_wait(tcp::socket::wait_read, [self = shared_from_this()](const asio::error_code& ec) {
            if (self->closed_)
                return;
            if (ec)
                self->server_.remove(self, RelayServer::Leave::Error, ec.message());
            else
                self->read_available();
        });
    }

    void read_available()
    {
        auto& buffer = server_.read_buffer_;
        asio::error_code ec;
        const std::size_t n = socket_.read_some(asio::buffer(buffer), ec);
        if (ec == asio::error::would_block || ec == asio::error::try_again) {
            await_readable();
            return;
        }
        if (ec == asio::error::eof) {
            server_.remove(shared_from_this(), RelayServer::Leave::Closed);
            return;
        }
        if (ec) {
            server_.remove(shared_from_this(), RelayServer::Leave::Error, ec.message());
            return;
        }
        server_.relay(shared_from_this(), buffer.data(), n);
        if (closed_)
            return;
        // A full buffer may have left data behind, and no new readiness would be reported for it;
        // reading on from the back of the queue keeps one busy sender from starving the rest.
        if (n == buffer.size())
            asio::post(server_.io_, [self = shared_from_this()] {
                if (!self->closed_)
                    self->read_available();
            });
        else
            await_readable();
    }

    void on_written(const asio::error_code& ec)
    {
        writing_ = false;
        if (closed_)
            return;
        if (ec) {
            if (close_after_flush_)
                close();
            else
                server_.remove(shared_from_this(), RelayServer::Leave::Error, ec.message());
            return;
        }
        queued_cost_ -= in_flight_cost_;
        in_flight_cost_ = 0;
        in_flight_.clear();
        coalesced_.clear();
        if (pending_.empty()) {
            // An idle client keeps no buffers, which is what lets many thousands of them stay cheap.
            std::vector<Queued>().swap(pending_);
            std::vector<Queued>().swap(in_flight_);
            std::vector<asio::const_buffer>().swap(gather_);
            std::string().swap(coalesced_);
        }
        flush();
    }

    RelayServer& server_;
    tcp::socket socket_;
    std::string name_;
    std::vector<Queued> pending_;
    std::vector<Queued> in_flight_;
    std::vector<asio::const_buffer> gather_;
    std::string coalesced_;
    // Costs of everything queued, in flight included, and of the part in flight.
    std::size_t queued_cost_ = 0;
    std::size_t in_flight_cost_ = 0;
    std::size_t join_offset_ = 0;
    bool writing_ = false;
    bool flush_scheduled_ = false;
    bool close_after_flush_ = false;
    bool closed_ = false;
};

namespace {

SharedBytes masked(std::string bytes)
{
    UnmaskChunk(bytes.data(), static_cast<int>(bytes.size()));
    return std::make_shared<const std::string>(std::move(bytes));
}

std::string describe_peer(const tcp::socket& socket)
{
    asio::error_code ec;
    const auto peer = socket.remote_endpoint(ec);
    if (ec)
        return "unknown peer";
    return peer.address().to_string() + ":" + std::to_string(peer.port());
}

bool peer_gave_up(const asio::error_code& ec)
{
    return ec == asio::error::connection_aborted || ec == asio::error::connection_reset
        || ec == std::errc::protocol_error;
}

} // namespace

RelayServer::RelayServer(asio::io_context& io, const ServerOptions& options, LogSink log)
    : io_(io), options_(options), log_(std::move(log)), acceptor_(io), accept_retry_(io)
{
    acceptor_.open(options_.endpoint.protocol());
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
    acceptor_.bind(options_.endpoint);
    acceptor_.listen(asio::socket_base::max_listen_connections);
    acceptor_.non_blocking(true);
}

RelayServer::~RelayServer() = default;

unsigned short RelayServer::port() const
{
    return acceptor_.local_endpoint().port();
}

void RelayServer::start()
{
    log("listening on " + options_.endpoint.address().to_string() + ":" + std::to_string(port()));
    accept_next();
}

void RelayServer::stop()
{
    if (stopped_)
        return;
    stopped_ = true;
    asio::error_code ignored;
    acceptor_.close(ignored);
    accept_retry_.cancel();
    for (const auto& member : members_)
        member->close();
    log("shutting down, closed " + std::to_string(members_.size()) + " clients");
    members_.clear();
}

void RelayServer::accept_next()
{
    acceptor_.async_accept([this](const asio::error_code& ec, tcp::socket socket) { on_accept(ec, std::move(socket)); });
}

void RelayServer::on_accept(asio::error_code ec, tcp::socket socket)
{
    if (stopped_ || ec == asio::error::operation_aborted)
        return;
    // Taking in what else is already waiting lets one write per member carry a whole burst of
    // join notices instead of one write per newcomer.
    std::string joins;
    bool out_of_resources = false;
    for (std::size_t attempts = 1;; ++attempts) {
        if (!ec)
            take(std::move(socket), joins);
        else if (ec == asio::error::would_block || ec == asio::error::try_again)
            break;
        else if (!peer_gave_up(ec)) {
            out_of_resources = true;
            break;
        }
        if (attempts == kAcceptBatch)
            break;
        tcp::socket next(io_);
        acceptor_.accept(next, ec);
        socket = std::move(next);
    }
    announce_joins(std::move(joins));
    if (out_of_resources)
        pause_accepting(ec);
    else
        accept_next();
}

void RelayServer::take(tcp::socket socket, std::string& joins)
{
    if (accept_paused_) {
        accept_paused_ = false;
        log("accepting again");
    }
    const std::string peer = describe_peer(socket);
    if (members_.size() >= options_.max_clients)
        reject(std::move(socket), peer);
    else
        admit(std::move(socket), peer, joins);
}

// Out of descriptors the listening socket stays readable, so accepting again at once would spin.
void RelayServer::pause_accepting(const asio::error_code& ec)
{
    if (!accept_paused_)
        log("accept paused: " + ec.message());
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

void RelayServer::resume_accepting()
{
    if (stopped_ || !accept_retry_armed_)
        return;
    accept_retry_armed_ = false;
    accept_retry_.cancel();
    accept_next();
}

void RelayServer::admit(tcp::socket socket, const std::string& peer, std::string& joins)
{
    asio::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    socket.non_blocking(true, ignored);

    auto session = std::make_shared<Session>(*this, std::move(socket), "guest-" + std::to_string(next_guest_++));
    const std::size_t others = members_.size();
    session->enqueue(masked("Welcome, " + session->name() + "! " + std::to_string(others)
        + (others == 1 ? " other" : " others") + " here."));
    joins += session->name() + " joined";
    session->set_join_offset(joins.size());
    members_.insert(session);
    log(session->name() + " connected from " + peer + " (" + std::to_string(members_.size()) + " online)");
    session->start_reading();
}

void RelayServer::announce_joins(std::string joins)
{
    if (joins.empty())
        return;
    const SharedBytes notices = masked(std::move(joins));
    for (const auto& member : members_) {
        const std::size_t offset = member->take_join_offset();
        if (offset < notices->size() && !member->enqueue(notices, offset))
            doomed_.push_back(member);
    }
    reap();
}

void RelayServer::reject(tcp::socket socket, const std::string& peer)
{
    log("rejected " + peer + ": server full (" + std::to_string(members_.size()) + " clients)");
    auto session = std::make_shared<Session>(*this, std::move(socket), std::string());
    session->enqueue(masked("Server is full, please try again later."));
    session->close_after_flush();
}

// Writes wait until everything that is ready in this turn of the event loop has been relayed, so
// that each client gets one write per turn however many messages it was sent.
void RelayServer::schedule_flush(SessionPtr session)
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

void RelayServer::relay(const SessionPtr& from, const char* bytes, std::size_t n)
{
    std::string message;
    message.reserve(from->name().size() + 2 + n);
    message.append(from->name()).append(": ").append(bytes, n);
    broadcast(from, std::move(message));
}

void RelayServer::broadcast(const SessionPtr& from, std::string message)
{
    // Masked once: every client is sent the very same bytes.
    const SharedBytes bytes = masked(std::move(message));
    for (const auto& member : members_) {
        if (member != from && !member->enqueue(bytes))
            doomed_.push_back(member);
    }
    reap();
}

// Removing announces a leave, which may push yet another client over its cap; a work list keeps
// that from recursing once per client.
void RelayServer::reap()
{
    if (reaping_)
        return;
    reaping_ = true;
    while (!doomed_.empty()) {
        SessionPtr victim = std::move(doomed_.back());
        doomed_.pop_back();
        remove(victim, Leave::QueueFull);
    }
    reaping_ = false;
}

void RelayServer::remove(const SessionPtr& session, Leave why, const std::string& detail)
{
    if (members_.erase(session) == 0)
        return;
    if (why == Leave::QueueFull)
        session->abort();
    else
        session->close();
    switch (why) {
    case Leave::Closed:
        log(session->name() + " left");
        break;
    case Leave::QueueFull:
        log(session->name() + " disconnected: more than " + std::to_string(options_.max_queue_bytes)
            + " bytes queued for it");
        break;
    case Leave::Error:
        log(session->name() + " dropped: " + detail);
        break;
    }
    broadcast(nullptr, session->name() + " left");
    resume_accepting();
}

void RelayServer::log(const std::string& line) const
{
    if (log_)
        log_(line);
}

} // namespace velmora
