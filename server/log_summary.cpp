#include "log_summary.h"

#include "lines.h"

#include <utility>

namespace velmora {

LogSummary::LogSummary(asio::io_context& io, LogSink log, std::chrono::seconds interval)
    : timer_(io), log_(std::move(log)), interval_(interval)
{
}

void LogSummary::note(const std::string& kind, std::string_view line)
{
    const auto [entry, first] = counted_.try_emplace(kind, 0);
    if (!first) {
        ++entry->second;
        return;
    }
    if (log_)
        log_(line);
    schedule();
}

void LogSummary::schedule()
{
    if (scheduled_)
        return;
    scheduled_ = true;
    timer_.expires_after(interval_);
    timer_.async_wait([this](const asio::error_code& ec) {
        scheduled_ = false;
        if (!ec)
            interval_over();
    });
}

// A kind still counted in this interval keeps its place for the next one, so that a steady attack
// writes one line an interval; a kind that fell quiet is written out in full the next time.
void LogSummary::interval_over()
{
    for (auto it = counted_.begin(); it != counted_.end();) {
        if (it->second == 0) {
            it = counted_.erase(it);
            continue;
        }
        if (log_)
            log_("in the last " + std::to_string(interval_.count()) + " s, " + Grouped(it->second) + " more "
                + it->first);
        it->second = 0;
        ++it;
    }
    if (!counted_.empty())
        schedule();
}

void LogSummary::flush()
{
    timer_.cancel();
    scheduled_ = false;
    for (const auto& [kind, count] : counted_)
        if (count > 0 && log_)
            log_("lately, " + Grouped(count) + " more " + kind);
    counted_.clear();
}

}  // namespace velmora
