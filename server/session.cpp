#include "session.h"

#include "room.h"
#include "wire_protocol.h"

#include <algorithm>
#include <cmath>
#include <utility>

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

InputBudget::InputBudget(std::size_t rate, std::size_t burst)
    : rate_(static_cast<double>(rate)), burst_(static_cast<double>(burst)), tokens_(burst_),
      refilled_at_(Clock::now())
{
}

bool InputBudget::refill(Clock::time_point now)
{
    const double seconds = std::chrono::duration<double>(now - refilled_at_).count();
    refilled_at_ = now;
    tokens_ = std::min(burst_, tokens_ + seconds * rate_);
    return tokens_ > 0;
}

InputBudget::Clock::duration InputBudget::until_positive() const
{
    // A millisecond past the exact moment, so that the wait is never cut short by rounding.
    const double seconds = tokens_ > 0 ? 0.0 : -tokens_ / rate_ + 0.001;
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

namespace {

std::string DescribePeer(const tcp::socket& socket, asio::ip::address_v4& address)
{
    asio::error_code ec;
    const auto peer = socket.remote_endpoint(ec);
    if (ec || !peer.address().is_v4())
        return "unknown peer";
    address = peer.address().to_v4();
    return address.to_string() + ":" + std::to_string(peer.port());
}

}  // namespace

Session::Session(Room& room, tcp::socket socket, std::uint64_t id)
    : room_(room), socket_(std::move(socket)), id_(id),
      budget_(room.options().rate_bytes_per_second, room.options().burst_bytes)
{
    peer_ = DescribePeer(socket_, address_);
    asio::error_code ignored;
    socket_.set_option(tcp::no_delay(true), ignored);
    socket_.non_blocking(true, ignored);
}

bool Session::enqueue(const SharedBytes& bytes, std::size_t offset)
{
    if (closed_)
        return true;
    const std::size_t cost = bytes->bytes().size() - offset + kQueuedMessageOverhead;
    if (queued_cost_ + cost > room_.options().max_queue_bytes)
        return false;
    pending_.push_back({bytes, offset});
    queued_cost_ += cost;
    room_.gauge().bytes += kQueuedMessageOverhead;
    if (!writing_ && !flush_scheduled_) {
        flush_scheduled_ = true;
        room_.schedule_flush(shared_from_this());
    }
    return true;
}

void Session::flush()
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
    room_.gauge().bytes += coalesced_.size();
    room_.gauge().bytes -= in_flight_.size() * kQueuedMessageOverhead;
    in_flight_.clear();
    asio::async_write(socket_, asio::buffer(coalesced_), std::move(done));
}

void Session::start_reading()
{
    await_readable();
}

void Session::close_after_flush()
{
    close_after_flush_ = true;
    if (!writing_ && !flush_scheduled_ && pending_.empty())
        close();
}

void Session::close()
{
    if (closed_)
        return;
    closed_ = true;
    asio::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
    if (budget_timer_)
        budget_timer_->cancel();
    release_buffers();
}

void Session::abort()
{
    if (closed_)
        return;
    asio::error_code ignored;
    socket_.set_option(asio::socket_base::linger(true, 0), ignored);
    close();
}

// Waiting for readability instead of reading keeps idle members free of a read buffer of their own.
void Session::await_readable()
{
    socket_.async_wait(tcp::socket::wait_read, [self = shared_from_this()](const asio::error_code& ec) {
        if (self->closed_)
            return;
        if (ec)
            self->room_.remove(self, Leave::Error, ec.message());
        else
            self->read_available();
    });
}

void Session::read_available()
{
    if (!within_budget())
        return;
    auto& buffer = room_.read_buffer();
    asio::error_code ec;
    const std::size_t n = socket_.read_some(asio::buffer(buffer), ec);
    if (ec == asio::error::would_block || ec == asio::error::try_again) {
        await_readable();
        return;
    }
    if (ec == asio::error::eof) {
        room_.remove(shared_from_this(), Leave::Closed);
        return;
    }
    if (ec) {
        room_.remove(shared_from_this(), Leave::Error, ec.message());
        return;
    }
    budget_.spend(n);
    room_.on_message(shared_from_this(), std::string_view(buffer.data(), n));
    if (closed_)
        return;
    // A full buffer may have left data behind, and no new readiness would be reported for it;
    // reading on from the back of the queue keeps one busy sender from starving the rest.
    if (n == buffer.size())
        asio::post(room_.io(), [self = shared_from_this()] {
            if (!self->closed_)
                self->read_available();
        });
    else
        await_readable();
}

bool Session::within_budget()
{
    if (budget_.unlimited())
        return true;
    if (budget_.refill(InputBudget::Clock::now())) {
        if (throttled_ && budget_.full())
            throttled_ = false;
        return true;
    }
    // Unread, the member's bytes wait in the kernel and TCP holds the sender back: nothing is lost.
    if (!throttled_) {
        throttled_ = true;
        room_.note_throttled(*this);
    }
    if (!budget_timer_)
        budget_timer_ = std::make_unique<asio::steady_timer>(room_.io());
    budget_timer_->expires_after(budget_.until_positive());
    budget_timer_->async_wait([self = shared_from_this()](const asio::error_code& ec) {
        if (!ec && !self->closed_)
            self->read_available();
    });
    return false;
}

void Session::on_written(const asio::error_code& ec, std::size_t written)
{
    writing_ = false;
    if (closed_) {
        release_buffers();
        return;
    }
    if (ec) {
        if (close_after_flush_)
            close();
        else
            room_.remove(shared_from_this(), Leave::Error, ec.message());
        return;
    }
    room_.note_written(written);
    queued_cost_ -= in_flight_cost_;
    in_flight_cost_ = 0;
    room_.gauge().bytes -= in_flight_.size() * kQueuedMessageOverhead + coalesced_.size();
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
    room_.gauge().bytes -= (pending_.size() + in_flight_.size()) * kQueuedMessageOverhead + coalesced_.size();
    queued_cost_ = 0;
    in_flight_cost_ = 0;
    std::vector<Queued>().swap(pending_);
    std::vector<Queued>().swap(in_flight_);
    std::vector<asio::const_buffer>().swap(gather_);
    std::string().swap(coalesced_);
}

}  // namespace velmora
