#include "service_notify.h"

#include "server_limits.h"

#include <systemd/sd-daemon.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace velmora {

namespace {

// Empty when no service manager started the server: there is nobody to tell.
std::string NotifySocket()
{
    const char* socket = std::getenv("NOTIFY_SOCKET");
    return socket ? socket : "";
}

std::chrono::microseconds WatchdogFeedInterval()
{
    std::uint64_t allowed_usec = 0;
    if (sd_watchdog_enabled(0, &allowed_usec) <= 0 || allowed_usec == 0)
        return std::chrono::microseconds(0);
    return std::chrono::microseconds(allowed_usec / kWatchdogFeedsPerInterval);
}

}  // namespace

ServiceNotifier::ServiceNotifier(asio::io_context& io, LogSink log)
    : watchdog_(io), log_(std::move(log)), socket_(NotifySocket())
{
    if (!socket_.empty())
        feed_interval_ = WatchdogFeedInterval();
}

void ServiceNotifier::ready(const std::string& status)
{
    if (socket_.empty())
        return;
    send("READY=1\nSTATUS=" + status, "that the service is ready");
    if (feed_interval_.count() > 0)
        feed_watchdog_later();
}

void ServiceNotifier::stopping()
{
    if (socket_.empty())
        return;
    watchdog_.cancel();
    feed_interval_ = std::chrono::microseconds(0);
    send("STOPPING=1\nSTATUS=Stopping: members are told goodbye", "that the service is stopping");
}

void ServiceNotifier::feed_watchdog_later()
{
    watchdog_.expires_after(feed_interval_);
    watchdog_.async_wait([this](const asio::error_code& ec) {
        if (ec || feed_interval_.count() == 0)
            return;
        send("WATCHDOG=1", "that the service is alive");
        feed_watchdog_later();
    });
}

// Only the first failure is logged: the watchdog would repeat it every few seconds.
void ServiceNotifier::send(const std::string& state, const char* what)
{
    const int result = sd_notify(0, state.c_str());
    if (result >= 0 || failure_logged_)
        return;
    failure_logged_ = true;
    if (log_)
        log_(std::string("could not tell systemd ") + what + ": " + std::strerror(-result)
            + " (NOTIFY_SOCKET=" + socket_ + "); later failures are not logged");
}

}  // namespace velmora
