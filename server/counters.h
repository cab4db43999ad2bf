// What the server has counted since it started. The statistics line shows what changed since the
// last one.
#pragma once

#include <cstdint>

namespace velmora {

struct Counters {
    std::uint64_t messages_in = 0;
    std::uint64_t bytes_in = 0;
    std::uint64_t messages_out = 0;
    std::uint64_t bytes_out = 0;
    std::uint64_t throttled = 0;
    std::uint64_t cut_at_queue_cap = 0;
    std::uint64_t cut_for_memory = 0;
    std::uint64_t rejected_full = 0;
    std::uint64_t rejected_per_address = 0;
    std::uint64_t rejected_too_fast = 0;
    std::uint64_t rejected_banned = 0;
    std::uint64_t accept_pauses = 0;
    std::uint64_t lost_between_servers = 0;
    std::uint64_t frames_dropped = 0;
};

}  // namespace velmora
