#include "address_book.h"

namespace velmora {

AddressBook::AddressBook(const ServerOptions& options) : options_(options)
{
}

bool AddressBook::limited(const asio::ip::address_v4& address) const
{
    return options_.limit_loopback || !address.is_loopback();
}

TokenBucket AddressBook::fresh_budget(Clock::time_point now) const
{
    return TokenBucket(options_.rate_bytes_per_second, options_.burst_bytes, now);
}

AddressBook::Verdict AddressBook::admit(const asio::ip::address_v4& address, Clock::time_point now, TokenBucket& budget)
{
    if (!limited(address)) {
        budget = fresh_budget(now);
        return Verdict::Admitted;
    }
    auto found = entries_.find(address.to_uint());
    if (found == entries_.end()) {
        const Entry fresh{0, fresh_budget(now), TokenBucket(options_.connect_rate, options_.connect_burst, now)};
        found = entries_.emplace(address.to_uint(), fresh).first;
    }
    Entry& entry = found->second;
    // Every attempt counts against the rate, refused ones too: hammering is what it bounds.
    const bool too_fast = !entry.connects.take_one(now);
    Verdict verdict = Verdict::Admitted;
    if (too_fast)
        verdict = Verdict::TooFast;
    else if (options_.max_per_address > 0 && entry.connections >= options_.max_per_address)
        verdict = Verdict::TooMany;
    if (verdict != Verdict::Admitted)
        return verdict;
    ++entry.connections;
    budget = entry.budget;
    return verdict;
}

void AddressBook::release(const asio::ip::address_v4& address, const TokenBucket& budget)
{
    if (!limited(address))
        return;
    const auto found = entries_.find(address.to_uint());
    if (found == entries_.end())
        return;
    Entry& entry = found->second;
    if (entry.connections > 0)
        --entry.connections;
    entry.budget = budget;
    // Past the bound, what an address left is not kept beyond its last connection.
    if (entry.connections == 0 && entries_.size() > kMaxRememberedAddresses)
        entries_.erase(found);
}

void AddressBook::forget_settled(Clock::time_point now)
{
    for (auto it = entries_.begin(); it != entries_.end();) {
        const Entry& entry = it->second;
        if (entry.connections == 0 && entry.budget.full_at(now) && entry.connects.full_at(now))
            it = entries_.erase(it);
        else
            ++it;
    }
}

}  // namespace velmora
