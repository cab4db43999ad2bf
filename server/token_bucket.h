// A token bucket: `rate` tokens a second up to `burst` at once. It measures a member's input
// budget in bytes and an address's new connections one by one.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>

namespace velmora {

class TokenBucket {
public:
    using Clock = std::chrono::steady_clock;

    // Full at `now`; a rate of 0 never runs dry.
    TokenBucket(std::size_t rate, std::size_t burst, Clock::time_point now = Clock::now())
        : rate_(static_cast<double>(rate)), burst_(static_cast<double>(burst)), tokens_(burst_), refilled_at_(now)
    {
    }

    bool unlimited() const { return rate_ == 0; }

    // Refills for the time passed; true while there is something left to spend.
    bool refill(Clock::time_point now)
    {
        if (now > refilled_at_) {
            const double seconds = std::chrono::duration<double>(now - refilled_at_).count();
            tokens_ = std::min(burst_, tokens_ + seconds * rate_);
            refilled_at_ = now;
        }
        return unlimited() || tokens_ > 0;
    }

    // The balance may go below zero: a read is never shortened, and what it overdrew is paid back
    // before the next one.
    void spend(double tokens) { tokens_ -= tokens; }

    // Takes one token if a whole one is there.
    bool take_one(Clock::time_point now)
    {
        refill(now);
        if (!unlimited() && tokens_ < 1)
            return false;
        spend(1);
        return true;
    }

    bool full() const { return unlimited() || tokens_ >= burst_; }
    bool full_at(Clock::time_point now) const
    {
        TokenBucket later = *this;
        later.refill(now);
        return later.full();
    }

    // How long until the balance is above zero again.
    Clock::duration until_positive() const
    {
        // A millisecond past the exact moment, so that the wait is never cut short by rounding.
        const double seconds = unlimited() || tokens_ > 0 ? 0.0 : -tokens_ / rate_ + 0.001;
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    }

private:
    double rate_;
    double burst_;
    double tokens_;
    Clock::time_point refilled_at_;
};

}  // namespace velmora
