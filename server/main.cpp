// velmora-server: the command line, the log, and the life of the process from start to signals.
// The wire protocol, the room's commands and the control socket are written down in
// docs/protocol.md.
#include "chat_server.h"
#include "command_line.h"
#ifdef __linux__
#include "control_client.h"
#include "operations.h"
#endif
#ifdef VELMORA_WITH_NATS
#include "nats_bridge.h"
#endif
#ifdef VELMORA_WITH_SYSTEMD
#include "service_notify.h"
#endif

#include <asio.hpp>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <thread>

#ifndef _WIN32
#include <sys/resource.h>
#endif

namespace {

constexpr int kExitCannotStart = 1;
constexpr int kExitInterrupted = 1;

void LogLine(std::string_view line)
{
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t seconds = system_clock::to_time_t(now);
    const auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", std::gmtime(&seconds));
    char fraction[8];
    std::snprintf(fraction, sizeof fraction, ".%03dZ ", static_cast<int>(millis));
    std::string out = std::string(stamp) + fraction;
    out.append(line);
    out.push_back('\n');
    // One write per line keeps lines whole when stderr is shared.
    std::fwrite(out.data(), 1, out.size(), stderr);
}

int CannotStart(const std::string& why, int status = kExitCannotStart)
{
    std::fprintf(stderr, "velmora-server: %s\n", why.c_str());
    return status;
}

// Every member holds a descriptor; the default soft limit (often 1024) would cap members far
// below --max-clients.
void RaiseDescriptorLimit()
{
#ifndef _WIN32
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
            LogLine("could not raise the open file limit; fewer clients may fit");
    }
#endif
}

// Every step of a shutdown is bounded, but should one hang all the same, the process still ends.
void StartShutdownBackstop()
{
    std::thread([] {
        std::this_thread::sleep_for(velmora::kShutdownBackstop);
        LogLine("shutdown took too long; exiting now");
        std::_Exit(0);
    }).detach();
}

}  // namespace

int main(int argc, char** argv)
{
#ifdef __linux__
    // `velmora-server ctl ...` talks to a running server instead of being one.
    if (argc > 1 && std::string_view(argv[1]) == "ctl")
        return velmora::RunControlClient(argc - 1, argv + 1);
#endif
    velmora::CommandLine line;
    if (const int status = velmora::ParseCommandLine(argc, argv, line); status >= 0)
        return status;
    RaiseDescriptorLimit();
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif

    asio::io_context io{1};
    std::unique_ptr<velmora::ChatServer> server;
    try {
        server = std::make_unique<velmora::ChatServer>(io, line.server, LogLine);
    } catch (const std::system_error& e) {
        return CannotStart("cannot listen on " + line.bind + ":" + std::to_string(line.port) + ": " + e.code().message());
    }
    // Declared after the server and gone before it, its threads joined, and the operator's tools,
    // which use the bridge, gone before that.
#ifdef VELMORA_WITH_NATS
    std::unique_ptr<velmora::NatsBridge> bridge;
#endif
#ifdef __linux__
    std::unique_ptr<velmora::Operations> operations =
        std::make_unique<velmora::Operations>(io, *server, line, LogLine);
    std::string error;
    if (!operations->load(error))
        return CannotStart(error, velmora::kExitBadArguments);
    try {
        operations->open();
    } catch (const std::system_error& e) {
        return CannotStart(std::string("cannot open the operator's sockets: ") + e.what());
    }
#endif
#ifdef VELMORA_WITH_NATS
    if (!line.nats_urls.empty()) {
        try {
            bridge = std::make_unique<velmora::NatsBridge>(io, server->room(),
                velmora::NatsOptions{line.nats_urls, line.room, line.nats_credentials}, server->summary(),
                server->counters(), LogLine);
        } catch (const std::exception& e) {
            return CannotStart(e.what());
        }
        operations->link(*bridge);
    }
#endif
    // Taken before the port is printed, as whoever started the server may signal it from then on.
    // The first stops the server in order, every step bounded; a second one ends it at once.
    asio::signal_set signals(io, SIGINT, SIGTERM);
#ifdef __linux__
    asio::signal_set hangup(io, SIGHUP);
#endif
    std::printf("%u\n", static_cast<unsigned>(server->port()));
    std::fflush(stdout);

#ifdef VELMORA_WITH_SYSTEMD
    velmora::ServiceNotifier service(io, LogLine);
#endif
#ifdef __linux__
    std::function<void(const asio::error_code&, int)> on_hangup = [&](const asio::error_code& ec, int) {
        if (ec)
            return;
        LogLine("hangup: reading the message of the day and the bans again");
        operations->reload();
        hangup.async_wait(on_hangup);
    };
    hangup.async_wait(on_hangup);
#endif
    std::function<void(const asio::error_code&, int)> on_signal = [&](const asio::error_code& ec, int signal_number) {
        if (ec)
            return;
        if (server->stopping()) {
            LogLine("second signal, exiting at once");
            std::_Exit(kExitInterrupted);
        }
        LogLine(signal_number == SIGINT ? "interrupted, stopping" : "terminated, stopping");
#ifdef VELMORA_WITH_SYSTEMD
        service.stopping();
#endif
        StartShutdownBackstop();
#ifdef __linux__
        hangup.cancel();
        operations->stop();
#endif
#ifdef VELMORA_WITH_NATS
        if (bridge)
            bridge->stop();
#endif
        server->stop([&] { signals.cancel(); });
        signals.async_wait(on_signal);
    };
    signals.async_wait(on_signal);

    server->start();
#ifdef VELMORA_WITH_NATS
    if (bridge)
        bridge->start();
#endif
#ifdef VELMORA_WITH_SYSTEMD
    std::string serving = "Serving on " + line.bind + ":" + std::to_string(server->port());
#ifdef VELMORA_WITH_NATS
    if (bridge)
        serving += ", in room " + line.room + " through NATS";
#endif
    service.ready(serving);
#endif
    io.run();
    return 0;
}
