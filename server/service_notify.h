// What systemd learns of the server when it runs as a Type=notify service: that it is ready once it
// serves, that it is stopping once a stop begins, and, when the unit has a watchdog, that its event
// loop still turns. Started by hand (no NOTIFY_SOCKET in the environment) it sends nothing and
// arms no timer.
#pragma once

#include "log_sink.h"

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <string>

namespace velmora {

class ServiceNotifier {
public:
    ServiceNotifier(asio::io_context& io, LogSink log);

    // READY=1 with `status` as the line `systemctl status` shows; from here on the watchdog is fed
    // from the event loop, so that a loop that stops turning is restarted.
    void ready(const std::string& status);
    // STOPPING=1. The watchdog is no longer fed, so that the event loop can run dry and the
    // process end; the shutdown's own bound is far shorter than the watchdog's.
    void stopping();

private:
    void feed_watchdog_later();
    void send(const std::string& state, const char* what);

    asio::steady_timer watchdog_;
    LogSink log_;
    // systemd's socket, for the log; empty when the server was started by hand.
    std::string socket_;
    bool failure_logged_ = false;
    // Half of what systemd allows between two WATCHDOG=1; zero without a watchdog.
    std::chrono::microseconds feed_interval_{0};
};

}  // namespace velmora
