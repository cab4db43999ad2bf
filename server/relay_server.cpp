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

    // Takes bytes that are already masked. Refuses, queueing nothing, when they would pass the cap.
    bool enqueue(const char* masked, std::size_t n)
    {
        if (closed_)
            return true;
        if (pending_.size() + in_flight_.size() + n > server_.options_.max_queue_bytes)
            return false;
        pending_.insert(pending_.end(), masked, masked + n);
        // Deferred so that everything relayed in this turn of the event loop goes out in one write.
        if (!writing_ && !flush_scheduled_) {
            flush_scheduled_ = true;
            asio::post(server_.io_, [self = shared_from_this()] { self->flush(); });
        }
        return true;
    }

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

private:
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
        writing_ = true;
        asio::async_write(socket_, asio::buffer(in_flight_),
            [self = shared_from_this()](const asio::error_code& ec, std::size_t) { self->on_written(ec); });
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
        in_flight_.clear();
        if (pending_.empty()) {
            // An idle client keeps no buffers, which is what lets many thousands of them stay cheap.
            std::vector<char>().swap(pending_);
            std::vector<char>().swap(in_flight_);
        }
        flush();
    }

    RelayServer& server_;
    tcp::socket socket_;
    std::string name_;
    std::vector<char> pending_;
    std::vector<char> in_flight_;
    bool writing_ = false;
    bool flush_scheduled_ = false;
    bool close_after_flush_ = false;
    bool closed_ = false;
};

namespace {

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
    for (std::size_t attempts = 1;; ++attempts) {
        if (!ec)
            take(std::move(socket));
        else if (ec == asio::error::would_block || ec == asio::error::try_again)
            break;
        else if (!peer_gave_up(ec)) {
            pause_accepting(ec);
            return;
        }
        if (attempts == kAcceptBatch)
            break;
        tcp::socket next(io_);
        acceptor_.accept(next, ec);
        socket = std::move(next);
    }
    accept_next();
}

void RelayServer::take(tcp::socket socket)
{
    if (accept_paused_) {
        accept_paused_ = false;
        log("accepting again");
    }
    const std::string peer = describe_peer(socket);
    if (members_.size() >= options_.max_clients)
        reject(std::move(socket), peer);
    else
        admit(std::move(socket), peer);
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

void RelayServer::admit(tcp::socket socket, const std::string& peer)
{
    asio::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    socket.non_blocking(true, ignored);

    auto session = std::make_shared<Session>(*this, std::move(socket), "guest-" + std::to_string(next_guest_++));
    const std::size_t others = members_.size();
    std::string welcome = "Welcome, " + session->name() + "! " + std::to_string(others)
        + (others == 1 ? " other" : " others") + " here.";
    UnmaskChunk(welcome.data(), static_cast<int>(welcome.size()));
    session->enqueue(welcome.data(), welcome.size());

    members_.insert(session);
    log(session->name() + " connected from " + peer + " (" + std::to_string(members_.size()) + " online)");
    broadcast(session, session->name() + " joined");
    session->start_reading();
}

void RelayServer::reject(tcp::socket socket, const std::string& peer)
{
    log("rejected " + peer + ": server full (" + std::to_string(members_.size()) + " clients)");
    auto session = std::make_shared<Session>(*this, std::move(socket), std::string());
    std::string notice = "Server is full, please try again later.";
    UnmaskChunk(notice.data(), static_cast<int>(notice.size()));
    session->enqueue(notice.data(), notice.size());
    session->close_after_flush();
}

void RelayServer::relay(const SessionPtr& from, const char* bytes, std::size_t n)
{
    scratch_.assign(from->name());
    scratch_.append(": ");
    scratch_.append(bytes, n);
    deliver(from, scratch_);
}

void RelayServer::broadcast(const SessionPtr& from, std::string message)
{
    deliver(from, message);
}

void RelayServer::deliver(const SessionPtr& from, std::string& message)
{
    // Masked once here: every client gets the same bytes.
    UnmaskChunk(message.data(), static_cast<int>(message.size()));
    for (const auto& member : members_) {
        if (member != from && !member->enqueue(message.data(), message.size()))
            doomed_.push_back(member);
    }
    // Removing announces a leave, which may push yet another client over its cap; a work list
    // keeps that from recursing once per client.
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
