#include "metrics.h"

#include "metrics_text.h"

namespace velmora {

namespace {

void Gauge(MetricsText& page, const char* name, const char* help, double value)
{
    page.gauge(name, help);
    page.sample(value);
}

void Counter(MetricsText& page, const char* name, const char* help, std::uint64_t value)
{
    page.counter(name, help);
    page.sample(static_cast<double>(value));
}

}  // namespace

std::string RenderMetrics(const MetricsSnapshot& s)
{
    const Counters& c = s.counters;
    MetricsText page;
    Gauge(page, "velmora_members", "Members of the room on this server", static_cast<double>(s.members));
    Gauge(page, "velmora_remote_members", "Members of the room on the other servers", static_cast<double>(s.remote_members));
    Gauge(page, "velmora_connections", "Connections open, leaving and refused ones included", static_cast<double>(s.connections));
    Gauge(page, "velmora_queued_bytes", "Bytes waiting to be sent to members, shared bytes counted once",
        static_cast<double>(s.queued_bytes));
    Gauge(page, "velmora_bans", "Bans in force", static_cast<double>(s.bans));
    Counter(page, "velmora_messages_in", "Messages read from members", c.messages_in);
    Counter(page, "velmora_bytes_in", "Bytes read from members", c.bytes_in);
    Counter(page, "velmora_messages_out", "Messages queued for members", c.messages_out);
    Counter(page, "velmora_bytes_out", "Bytes sent to members", c.bytes_out);
    Counter(page, "velmora_throttled", "Times a member went past its input budget", c.throttled);
    page.counter("velmora_members_cut", "Members disconnected for what waited for them");
    page.sample(static_cast<double>(c.cut_at_queue_cap), {{"reason", "queue_cap"}});
    page.sample(static_cast<double>(c.cut_for_memory), {{"reason", "memory"}});
    page.counter("velmora_connections_rejected", "Connections refused, by reason");
    page.sample(static_cast<double>(c.rejected_full), {{"reason", "full"}});
    page.sample(static_cast<double>(c.rejected_per_address), {{"reason", "per_address"}});
    page.sample(static_cast<double>(c.rejected_too_fast), {{"reason", "too_fast"}});
    page.sample(static_cast<double>(c.rejected_banned), {{"reason", "banned"}});
    Counter(page, "velmora_accept_pauses", "Times accepting paused for want of descriptors", c.accept_pauses);
    Counter(page, "velmora_messages_lost_between_servers", "Messages of other servers found missing", c.lost_between_servers);
    Counter(page, "velmora_frames_dropped", "Frames from the room's subject dropped as malformed, forged or too many",
        c.frames_dropped);
    if (s.nats_connected)
        Gauge(page, "velmora_nats_connected", "1 while the link to NATS is up", *s.nats_connected ? 1 : 0);
    page.gauge("velmora_build_info", "The server's version");
    page.sample(1, {{"version", s.version}});
    return page.text();
}

}  // namespace velmora
