#include "session.h"

#include "wire_protocol.h"

#include <algorithm>
#include <utility>

#ifdef _WIN32
#include <mstcpip.h>
#else
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace velmora {

using asio::ip::tcp;

Payload::Payload(std::string plain, std::shared_ptr<MemoryGauge> gauge)
    : masked_(std::move(plain)), gauge_(std::move(gauge))
{
    MaskChunk(masked_.data(), static_cast<int>(masked_.size()));
    gauge_->bytes += masked_.size();
}

Payload::~Payload()
{
    gauge_->bytes -= masked_.size();
}

void WatchForDeadPeer(tcp::socket& socket, std::chrono::seconds timeout)
{
    asio::error_code ignored;
    socket.set_option(asio::socket_base::keep_alive(true), ignored);
    const int seconds = static_cast<int>(timeout.count());
    const int idle = std::max(1, seconds / 2);
    const int interval = std::max(1, (seconds - idle) / static_cast<int>(kKeepaliveProbes));
#ifdef _WIN32
    // Windows sets the idle time and the interval together; it sends ten probes.
    tcp_keepalive values{1, static_cast<ULONG>(idle) * 1000, static_cast<ULONG>(interval) * 1000};
    DWORD returned = 0;
    WSAIoctl(socket.native_handle(), SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr, nullptr);
#else
    const int probes = static_cast<int>(kKeepaliveProbes);
    const unsigned unacknowledged_ms = static_cast<unsigned>(seconds) * 1000;
    const int fd = socket.native_handle();
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    // Keepalive never fires while data waits for an acknowledgement; this bounds that wait.
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &unacknowledged_ms, sizeof unacknowledged_ms);
#endif
}

namespace {

std::string DescribePeer(const tcp::endpoint& peer)
{
    return peer.address().to_string() + ":" + std::to_string(peer.port());
}

}  // namespace

Session::Session(SessionHost& host, tcp::socket socket, const tcp::endpoint& peer, InputBudget budget,
    std::size_t max_queue_bytes)
    : host_(host), socket_(std::move(socket)),
      address_(peer.address().is_v4() ? peer.address().to_v4() : asio::ip::address_v4()), peer_(DescribePeer(peer)),
      max_queue_bytes_(max_queue_bytes), budget_(budget)
{
    asio::error_code ignored;
    socket_.set_option(tcp::no_delay(true), ignored);
    socket_.non_blocking(true, ignored);
}

bool Session::enqueue(const SharedBytes& bytes, std::size_t offset)
{
    if (state_ == State::Closed)
        return true;
    const std::size_t cost = bytes->bytes().size() - offset + kQueuedMessageOverhead;
    if (queued_cost_ + cost > max_queue_bytes_)
        return false;
    pending_.push_back({bytes, offset});
    queued_cost_ += cost;
    ++traffic_.messages_out;
    host_.gauge().bytes += kQueuedMessageOverhead;
    if (!writing_ && !flush_scheduled_) {
        flush_scheduled_ = true;
        host_.schedule_flush(shared_from_this());
    }
    return true;
}

void Session::flush()
{
    flush_scheduled_ = false;
    if (state_ == State::Closed || writing_)
        return;
    if (pending_.empty()) {
        if (state_ == State::Leaving && !end_sent_)
            finish_leaving();
        return;
    }
    std::swap(pending_, in_flight_);
    in_flight_cost_ = queued_cost_;
    writing_ = true;
    auto done = [self = shared_from_this()](const asio::error_code& ec, std::size_t n) { self->on_written(ec, n); };
    if (in_flight_.size() <= kMaxGatherBuffers) {
        gather_.clear();
        for (const Queued& q : in_flight_)
            gather_.emplace_back(q.bytes->bytes().data() + q.offset, q.bytes->bytes().size() - q.offset);
        asio::async_write(socket_, gather_, std::move(done));
        return;
    }
    // Past what one gathered write takes, a copy keeps it to one write; the originals are let go.
    for (const Queued& q : in_flight_)
        coalesced_.append(q.bytes->bytes(), q.offset);
    host_.gauge().bytes += coalesced_.size();
    host_.gauge().bytes -= in_flight_.size() * kQueuedMessageOverhead;
    in_flight_.clear();
    asio::async_write(socket_, asio::buffer(coalesced_), std::move(done));
}

void Session::start_reading()
{
    await_readable();
}

asio::steady_timer& Session::timer()
{
    if (!timer_)
        timer_ = std::make_unique<asio::steady_timer>(host_.io());
    return *timer_;
}

void Session::leave_in_order(std::chrono::steady_clock::duration bound, bool wait_for_peer)
{
    if (state_ != State::Open)
        return;
    state_ = State::Leaving;
    wait_for_peer_ = wait_for_peer;
    timer().expires_after(bound);
    timer().async_wait([self = shared_from_this()](const asio::error_code& ec) {
        if (!ec && self->state_ == State::Leaving)
            self->reset();
    });
    if (!writing_ && !flush_scheduled_ && pending_.empty())
        finish_leaving();
}

void Session::finish_leaving()
{
    if (!wait_for_peer_) {
        close();
        return;
    }
    end_sent_ = true;
    asio::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_send, ignored);
    await_readable();
}

void Session::reset()
{
    if (state_ == State::Closed)
        return;
    asio::error_code ignored;
    socket_.set_option(asio::socket_base::linger(true, 0), ignored);
    close();
}

void Session::close()
{
    if (state_ == State::Closed)
        return;
    const SessionPtr self = shared_from_this();
    state_ = State::Closed;
    asio::error_code ignored;
    socket_.close(ignored);
    if (timer_)
        timer_->cancel();
    release_buffers();
    host_.on_closed(*this);
}

// Waiting for readability instead of reading keeps idle members free of a read buffer of their own.
void Session::await_readable()
{
    if (read_wait_pending_ || state_ == State::Closed)
        return;
    read_wait_pending_ = true;
    socket_.async_wait(tcp::socket::wait_read, [self = shared_from_this()](const asio::error_code& ec) {
        self->read_wait_pending_ = false;
        self->on_readable(ec);
    });
}

void Session::on_readable(const asio::error_code& ec)
{
    if (state_ == State::Closed)
        return;
    if (state_ == State::Leaving) {
        // Until its last lines are sent, a leaving member's bytes wait unread; none is taken in.
        if (ec)
            close();
        else if (end_sent_)
            discard_available();
        return;
    }
    if (ec)
        host_.on_peer_gone(shared_from_this(), ec.message());
    else
        read_available();
}

void Session::read_available()
{
    if (!within_budget())
        return;
    auto& buffer = host_.read_buffer();
    asio::error_code ec;
    const std::size_t n = socket_.read_some(asio::buffer(buffer), ec);
    if (ec == asio::error::would_block || ec == asio::error::try_again) {
        await_readable();
        return;
    }
    if (ec) {
        host_.on_peer_gone(shared_from_this(), ec == asio::error::eof ? std::string() : ec.message());
        return;
    }
    budget_.spend(n, kMinMessageCharge, InputBudget::Clock::now());
    ++traffic_.messages_in;
    traffic_.bytes_in += n;
    host_.on_input(shared_from_this(), std::string_view(buffer.data(), n));
    if (state_ != State::Open)
        return;
    // A full buffer may have left data behind, and no new readiness would be reported for it;
    // reading on from the back of the queue keeps one busy sender from starving the rest.
    if (n == buffer.size())
        asio::post(host_.io(), [self = shared_from_this()] {
            if (self->state_ == State::Open)
                self->read_available();
        });
    else
        await_readable();
}

void Session::discard_available()
{
    auto& buffer = host_.read_buffer();
    for (;;) {
        asio::error_code ec;
        const std::size_t n = socket_.read_some(asio::buffer(buffer), ec);
        if (ec == asio::error::would_block || ec == asio::error::try_again) {
            await_readable();
            return;
        }
        if (ec) {
            close();
            return;
        }
        discarded_ += n;
        if (discarded_ > kLingerDiscardMaxBytes) {
            reset();
            return;
        }
    }
}

bool Session::within_budget()
{
    const auto now = InputBudget::Clock::now();
    if (budget_.refill(now)) {
        if (throttled_ && budget_.full())
            throttled_ = false;
        return true;
    }
    // Unread, the member's bytes wait in the kernel and TCP holds the sender back: nothing is lost.
    if (!throttled_) {
        throttled_ = true;
        host_.on_throttled(*this);
    }
    timer().expires_after(budget_.until_positive(now));
    timer().async_wait([self = shared_from_this()](const asio::error_code& ec) {
        if (!ec && self->state_ == State::Open)
            self->read_available();
    });
    return false;
}

void Session::on_written(const asio::error_code& ec, std::size_t written)
{
    writing_ = false;
    if (state_ == State::Closed) {
        release_buffers();
        return;
    }
    if (ec) {
        if (state_ == State::Open)
            host_.on_peer_gone(shared_from_this(), ec.message());
        else
            close();
        return;
    }
    host_.on_written(written);
    traffic_.bytes_out += written;
    queued_cost_ -= in_flight_cost_;
    in_flight_cost_ = 0;
    host_.gauge().bytes -= in_flight_.size() * kQueuedMessageOverhead + coalesced_.size();
    in_flight_.clear();
    coalesced_.clear();
    if (pending_.empty())
        release_buffers();
    flush();
}

// An idle member keeps no buffers, which is what lets many thousands of them stay cheap.
void Session::release_buffers()
{
    if (writing_)
        return;
    host_.gauge().bytes -= (pending_.size() + in_flight_.size()) * kQueuedMessageOverhead + coalesced_.size();
    queued_cost_ = 0;
    in_flight_cost_ = 0;
    std::vector<Queued>().swap(pending_);
    std::vector<Queued>().swap(in_flight_);
    std::vector<asio::const_buffer>().swap(gather_);
    std::string().swap(coalesced_);
}

}  // namespace velmora
