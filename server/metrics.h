// What the server shows Prometheus on GET /metrics (docs/protocol.md, "Metrics").
#pragma once

#include "counters.h"

#include <cstddef>
#include <optional>
#include <string>

namespace velmora {

struct MetricsSnapshot {
    Counters counters;
    std::size_t members = 0;
    std::size_t remote_members = 0;
    std::size_t connections = 0;
    std::size_t queued_bytes = 0;
    std::size_t bans = 0;
    // With NATS: whether it is connected now.
    std::optional<bool> nats_connected;
    std::string version;
};

std::string RenderMetrics(const MetricsSnapshot& snapshot);

}  // namespace velmora
