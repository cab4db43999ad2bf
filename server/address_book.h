// What the server keeps of each IPv4 address between its connections: how many are open, the input
// budget its newest connections share, and how fast it opens new ones. Reconnecting therefore buys
// neither a fresh budget nor an unbounded stream of joins.
#pragma once

#include "input_budget.h"
#include "server_limits.h"
#include "token_bucket.h"

#include <asio/ip/address_v4.hpp>

#include <cstdint>
#include <memory>
#include <unordered_map>

namespace velmora {

class AddressBook {
public:
    using Clock = TokenBucket::Clock;
    enum class Verdict { Admitted, TooMany, TooFast };

    explicit AddressBook(const ServerOptions& options);

    // Loopback is exempt unless asked, as local tunnels and proxies arrive that way.
    bool limited(const asio::ip::address_v4& address) const;
    // A new connection: whether it may join, and if so the input budget it starts with.
    Verdict admit(const asio::ip::address_v4& address, Clock::time_point now, InputBudget& budget);
    // An admitted connection has closed.
    void release(const asio::ip::address_v4& address);
    // Forgets addresses with no connection whose budget and connection rate are whole again.
    void forget_settled(Clock::time_point now);
    std::size_t size() const { return entries_.size(); }

private:
    struct Entry {
        std::size_t connections = 0;
        std::shared_ptr<TokenBucket> budget;
        TokenBucket connects;
    };

    TokenBucket fresh_budget(Clock::time_point now) const;

    const ServerOptions& options_;
    std::unordered_map<std::uint32_t, Entry> entries_;
};

}  // namespace velmora
