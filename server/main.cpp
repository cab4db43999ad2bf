#include "relay_server.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <system_error>

#ifndef _WIN32
#include <sys/resource.h>
#endif

namespace {

CLI::Validator at_least(std::size_t minimum)
{
    return CLI::Validator{[minimum](std::string& text) -> std::string {
                              std::size_t value = 0;
                              if (text.empty() || text[0] == '-' || !CLI::detail::lexical_cast(text, value) || value < minimum)
                                  return "must be a number of at least " + std::to_string(minimum);
                              return {};
                          },
        ">=" + std::to_string(minimum)};
}

constexpr int kExitCannotListen = 1;
constexpr int kExitBadArguments = 2;

void log_line(std::string_view line)
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

// Every client holds a descriptor; the default soft limit (often 1024) would cap clients far below
// --max-clients.
void raise_descriptor_limit()
{
#ifndef _WIN32
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
            log_line("could not raise the open file limit; fewer clients may fit");
    }
#endif
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Velmora chat server: relays what each client sends to every other client.", "velmora-server"};
    app.set_version_flag("--version", "velmora-server " VELMORA_VERSION);

    unsigned port = velmora::kDefaultPort;
    std::string bind = "0.0.0.0";
    std::size_t max_queue = velmora::kDefaultMaxQueueBytes;
    std::size_t max_clients = velmora::kDefaultMaxClients;

    const CLI::Validator ipv4{[](std::string& text) -> std::string {
                                  asio::error_code ec;
                                  asio::ip::make_address_v4(text, ec);
                                  return ec ? "'" + text + "' is not an IPv4 address" : std::string();
                              },
        "IPV4"};

    app.add_option("--port", port, "TCP port to listen on; 0 picks a free one")
        ->check(CLI::Range(0u, 65535u))
        ->capture_default_str();
    app.add_option("--bind", bind, "IPv4 address to listen on")->check(ipv4)->capture_default_str();
    app.add_option("--max-queue", max_queue, "Bytes that may wait to be sent to one client before it is disconnected")
        ->check(at_least(velmora::kMinQueueBytes))
        ->capture_default_str();
    app.add_option("--max-clients", max_clients, "Clients connected at once; more are told the server is full")
        ->check(at_least(1))
        ->capture_default_str();
    app.footer("The port in use is printed on the first line of standard output; events are logged to standard error.");

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitBadArguments;
    }

    raise_descriptor_limit();
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif

    velmora::ServerOptions options;
    options.endpoint = {asio::ip::make_address_v4(bind), static_cast<unsigned short>(port)};
    options.max_queue_bytes = max_queue;
    options.max_clients = max_clients;

    asio::io_context io{1};
    std::unique_ptr<velmora::RelayServer> server;
    try {
        server = std::make_unique<velmora::RelayServer>(io, options, log_line);
    } catch (const std::system_error& e) {
        std::fprintf(stderr, "velmora-server: cannot listen on %s:%u: %s\n", bind.c_str(), port, e.code().message().c_str());
        return kExitCannotListen;
    }
    std::printf("%u\n", static_cast<unsigned>(server->port()));
    std::fflush(stdout);

    asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](const asio::error_code& ec, int signal_number) {
        if (ec)
            return;
        log_line(signal_number == SIGINT ? "interrupted, stopping" : "terminated, stopping");
        server->stop();
    });

    server->start();
    io.run();
    return 0;
}
