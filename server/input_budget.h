// A member's input budget: a token bucket of its own and, for as long as its own bucket takes to
// fill (8 s by default), the bucket its address shares among its newest connections. So one
// member behind a shared address cannot throttle the others for long, and reconnecting, however
// fast and however many at once, buys no fresh budget.
#pragma once

#include "token_bucket.h"

#include <algorithm>
#include <memory>

namespace velmora {

class InputBudget {
public:
    using Clock = TokenBucket::Clock;

    explicit InputBudget(TokenBucket own, std::shared_ptr<TokenBucket> address = nullptr,
        Clock::time_point shared_until = {})
        : own_(own), address_(std::move(address)), shared_until_(shared_until)
    {
    }

    bool unlimited() const { return own_.unlimited(); }

    // Refills for the time passed; true while a read may be taken.
    bool refill(Clock::time_point now)
    {
        const bool own = own_.refill(now);
        if (!sharing(now))
            return own;
        return address_->refill(now) && own;
    }

    // A read is charged at least `minimum`, so that tiny messages cost like ordinary lines.
    void spend(std::size_t bytes, std::size_t minimum, Clock::time_point now)
    {
        const double charge = static_cast<double>(std::max(bytes, minimum));
        own_.spend(charge);
        if (sharing(now))
            address_->spend(charge);
    }

    // How long until a read may be taken again.
    Clock::duration until_positive(Clock::time_point now) const
    {
        const Clock::duration own = own_.until_positive();
        return sharing(now) ? std::max(own, address_->until_positive()) : own;
    }

    bool full() const { return own_.full(); }

private:
    bool sharing(Clock::time_point now) const { return address_ && now < shared_until_; }

    TokenBucket own_;
    std::shared_ptr<TokenBucket> address_;
    Clock::time_point shared_until_;
};

}  // namespace velmora
