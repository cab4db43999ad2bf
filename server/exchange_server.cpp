#include "exchange_server.h"

#include "server_limits.h"

#include <algorithm>
#include <utility>

namespace velmora {

template <typename Protocol>
class ExchangeServer<Protocol>::Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(ExchangeServer& owner, Socket socket)
        : owner_(owner), socket_(std::move(socket)), deadline_(socket_.get_executor())
    {
    }

    void start()
    {
        arm(owner_.limits_.request_timeout, &Connection::on_request_late);
        read_more();
    }

    // Closes the socket; handlers still queued find the connection closed and do nothing.
    void close()
    {
        if (closed_)
            return;
        closed_ = true;
        asio::error_code ignored;
        socket_.close(ignored);
        deadline_.cancel();
        owner_.forget(this);
    }

private:
    using Expiry = void (Connection::*)();

    void arm(std::chrono::steady_clock::duration timeout, Expiry on_expiry)
    {
        deadline_.expires_after(timeout);
        deadline_.async_wait([self = this->shared_from_this(), on_expiry](const asio::error_code& ec) {
            if (!ec && !self->closed_)
                ((*self).*on_expiry)();
        });
    }

    // Reads no further than the limit: a request not whole by then is too long.
    void read_more()
    {
        const std::size_t room = owner_.limits_.request_max_bytes - request_.size();
        socket_.async_read_some(asio::buffer(chunk_.data(), std::min(room, chunk_.size())),
            [self = this->shared_from_this()](const asio::error_code& ec, std::size_t bytes) {
                self->on_read(ec, bytes);
            });
    }

    void on_read(const asio::error_code& ec, std::size_t bytes)
    {
        if (closed_ || replying_)
            return;
        if (ec) {
            close();
            return;
        }
        request_.append(chunk_.data(), bytes);
        if (auto reply = owner_.replies_.answer(request_, socket_))
            send(std::move(*reply));
        else if (request_.size() >= owner_.limits_.request_max_bytes)
            send(owner_.replies_.too_long);
        else
            read_more();
    }

    void on_request_late()
    {
        if (owner_.replies_.too_slow.empty()) {
            close();
            return;
        }
        // The read waiting for the request ends, so that only the reply's read follows.
        asio::error_code ignored;
        socket_.cancel(ignored);
        send(owner_.replies_.too_slow);
    }

    void send(std::string reply)
    {
        replying_ = true;
        reply_ = std::move(reply);
        arm(owner_.limits_.reply_timeout, &Connection::close);
        asio::async_write(socket_, asio::buffer(reply_),
            [self = this->shared_from_this()](const asio::error_code& ec, std::size_t) { self->on_sent(ec); });
    }

    // Closing while the peer's bytes wait unread would reset the connection, and the peer could lose
    // the reply; so the sending side is shut and what else comes is read and dropped until the end.
    void on_sent(const asio::error_code& ec)
    {
        if (closed_)
            return;
        asio::error_code shut;
        if (!ec)
            socket_.shutdown(asio::socket_base::shutdown_send, shut);
        if (ec || shut)
            close();
        else
            drain();
    }

    void drain()
    {
        socket_.async_read_some(asio::buffer(chunk_),
            [self = this->shared_from_this()](const asio::error_code& ec, std::size_t) {
                if (self->closed_)
                    return;
                if (ec)
                    self->close();
                else
                    self->drain();
            });
    }

    ExchangeServer& owner_;
    Socket socket_;
    asio::steady_timer deadline_;
    std::array<char, 1024> chunk_;
    std::string request_;
    std::string reply_;
    bool replying_ = false;
    bool closed_ = false;
};

template <typename Protocol>
ExchangeServer<Protocol>::ExchangeServer(Acceptor acceptor, ExchangeLimits limits, Replies replies, LogSink log,
    std::string name)
    : acceptor_(std::move(acceptor)), accept_retry_(acceptor_.get_executor()), limits_(limits),
      replies_(std::move(replies)), log_(std::move(log)), name_(std::move(name))
{
    accept_next();
}

template <typename Protocol>
ExchangeServer<Protocol>::~ExchangeServer()
{
    stop();
}

template <typename Protocol>
void ExchangeServer<Protocol>::stop()
{
    if (stopped_)
        return;
    stopped_ = true;
    asio::error_code ignored;
    acceptor_.close(ignored);
    accept_retry_.cancel();
    const auto open = std::exchange(connections_, {});
    for (const auto& [raw, connection] : open)
        connection->close();
}

template <typename Protocol>
void ExchangeServer<Protocol>::accept_next()
{
    acceptor_.async_accept([this](const asio::error_code& ec, Socket socket) { on_accept(ec, std::move(socket)); });
}

template <typename Protocol>
void ExchangeServer<Protocol>::on_accept(const asio::error_code& ec, Socket socket)
{
    if (ec == asio::error::operation_aborted || stopped_)
        return;
    if (ec) {
        // Out of descriptors or memory, accepting again at once would spin; the pause lets some free.
        if (ec != asio::error::connection_aborted)
            log_(name_ + ": cannot accept a connection: " + ec.message() + "; trying again shortly");
        accept_retry_.expires_after(kAcceptRetryDelay);
        accept_retry_.async_wait([this](const asio::error_code& waited) {
            if (!waited)
                accept_next();
        });
        return;
    }
    if (connections_.size() >= limits_.max_connections) {
        turn_away(std::move(socket));
    } else {
        turning_away_ = false;
        auto connection = std::make_shared<Connection>(*this, std::move(socket));
        connections_.emplace(connection.get(), connection);
        connection->start();
    }
    accept_next();
}

template <typename Protocol>
void ExchangeServer<Protocol>::turn_away(Socket socket)
{
    if (!turning_away_)
        log_(name_ + ": " + std::to_string(limits_.max_connections)
            + " connections at once; closing more until one ends");
    turning_away_ = true;
    asio::error_code ignored;
    if (!replies_.too_many.empty()) {
        socket.non_blocking(true, ignored);
        socket.write_some(asio::buffer(replies_.too_many), ignored);
    }
    socket.close(ignored);
}

template <typename Protocol>
void ExchangeServer<Protocol>::forget(Connection* connection)
{
    connections_.erase(connection);
}

template class ExchangeServer<asio::ip::tcp>;
template class ExchangeServer<asio::local::stream_protocol>;

}  // namespace velmora
