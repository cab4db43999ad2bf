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

AddressBook::Verdict AddressBook::admit(const asio::ip::address_v4& address, Clock::time_point now, InputBudget& budget)
{
    if (!limited(address)) {
        budget = InputBudget(fresh_budget(now));
        return Verdict::Admitted;
    }
    auto found = entries_.find(address.to_uint());
    if (found == entries_.end()) {
        Entry fresh{0, std::make_shared<TokenBucket>(fresh_budget(now)),
            TokenBucket(options_.connect_rate, options_.connect_burst, now)};
        found = entries_.emplace(address.to_uint(), std::move(fresh)).first;
    }
    Entry& entry = found->second;
    // Every attempt counts against the rate, refused ones too: hammering is what it bounds.
    if (!entry.connects.take_one(now))
        return Verdict::TooFast;
    if (options_.max_per_address > 0 && entry.connections >= options_.max_per_address)
        return Verdict::TooMany;
    ++entry.connections;
    // The address's share lasts as long as the connection's own budget takes to fill.
    const auto sharing = options_.rate_bytes_per_second == 0
        ? Clock::duration::zero()
        : std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
            static_cast<double>(options_.burst_bytes) / static_cast<double>(options_.rate_bytes_per_second)));
    budget = InputBudget(fresh_budget(now), entry.budget, now + sharing);
    return Verdict::Admitted;
}

void AddressBook::release(const asio::ip::address_v4& address)
{
    if (!limited(address))
        return;
    const auto found = entries_.find(address.to_uint());
    if (found == entries_.end())
        return;
    Entry& entry = found->second;
    if (entry.connections > 0)
        --entry.connections;
    // Past the bound, what an address spent is not kept beyond its last connection.
    if (entry.connections == 0 && entries_.size() > kMaxRememberedAddresses)
        entries_.erase(found);
}

void AddressBook::forget_settled(Clock::time_point now)
{
    for (auto it = entries_.begin(); it != entries_.end();) {
        const Entry& entry = it->second;
        if (entry.connections == 0 && entry.budget->full_at(now) && entry.connects.full_at(now))
            it = entries_.erase(it);
        else
            ++it;
    }
}

}  // namespace velmora
