// velmora-server's command line: options, logging, signals. The wire protocol and the room's
// commands are written down in docs/protocol.md.
#include "chat_server.h"
#include "names.h"
#ifdef __linux__
#include "control_client.h"
#endif
#ifdef VELMORA_WITH_NATS
#include "nats_bridge.h"
#include "nats_credentials.h"
#endif

#include <CLI/CLI.hpp>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <thread>

#ifndef _WIN32
#include <sys/resource.h>
#endif

namespace {

constexpr int kExitCannotListen = 1;
constexpr int kExitCannotStart = 1;
constexpr int kExitBadArguments = 2;
constexpr int kExitInterrupted = 1;

CLI::Validator AtLeast(std::size_t minimum, bool zero_allowed = false)
{
    const std::string what = "must be a number of at least " + std::to_string(minimum) + (zero_allowed ? ", or 0" : "");
    return CLI::Validator{[=](std::string& text) -> std::string {
                              std::size_t value = 0;
                              if (text.empty() || text[0] == '-' || !CLI::detail::lexical_cast(text, value))
                                  return what;
                              if (value < minimum && !(zero_allowed && value == 0))
                                  return what;
                              return {};
                          },
        ">=" + std::to_string(minimum)};
}

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

// The message of the day, line by line; false when the file cannot be read.
bool ReadMotd(const std::string& path, std::vector<std::string>& lines, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = std::strerror(errno);
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    if (in.bad()) {
        error = "read error";
        return false;
    }
    return true;
}

#ifdef VELMORA_WITH_NATS
// Each names a file: a secret given as the value of an option would show in the process list.
void AddNatsSignInOptions(CLI::App& app, velmora::NatsCredentialFiles& files)
{
    const auto add = [&](const char* name, std::string& file, const char* help) {
        app.add_option(name, file, help)->type_name("FILE");
    };
    add("--nats-creds", files.creds,
        "With --nats: a NATS credentials file (the user's JWT and NKey seed) to sign in with");
    add("--nats-nkey", files.nkey_seed,
        "With --nats: a file holding the NKey seed (SU...) of the NATS user to sign in as");
    add("--nats-user-file", files.user,
        "With --nats: a file of two lines, the NATS user and then its password, to sign in with. A password never goes "
        "in a URL: the process list would show it");
    add("--nats-tls-ca", files.tls_ca,
        "With --nats: connect with TLS, trusting the certificate authorities in this PEM file rather than the system's");
    add("--nats-tls-cert", files.tls_cert,
        "With --nats: connect with TLS and show this client certificate (PEM) to NATS servers that ask for one");
    add("--nats-tls-key", files.tls_key, "With --nats-tls-cert: the private key of the client certificate (PEM)");
}

// What is wrong with how the server is to sign in to NATS, or an empty string.
std::string PrepareNatsSignIn(const std::vector<std::string>& urls, const velmora::NatsCredentialFiles& files,
    velmora::NatsCredentials& credentials)
{
    if (urls.empty()) {
        const std::string named = files.creds + files.nkey_seed + files.user + files.tls_ca + files.tls_cert + files.tls_key;
        return named.empty() ? ""
                             : "--nats-creds, --nats-nkey, --nats-user-file and --nats-tls-* say how to reach NATS: they "
                               "need --nats";
    }
    const std::string problem = velmora::CheckUrlsCarryNoSecrets(urls);
    return problem.empty() ? velmora::LoadNatsCredentials(files, credentials) : problem;
}
#endif

}  // namespace

int main(int argc, char** argv)
{
#ifdef __linux__
    // `velmora-server ctl ...` talks to a running server instead of being one.
    if (argc > 1 && std::string_view(argv[1]) == "ctl")
        return velmora::RunControlClient(argc - 1, argv + 1);
#endif
    CLI::App app{"Velmora chat server: a room where each client's lines reach every other client.", "velmora-server"};
    app.set_version_flag("--version", "velmora-server " VELMORA_VERSION);

    velmora::ServerOptions options;
    unsigned port = velmora::kDefaultPort;
    std::string bind = "0.0.0.0";
    std::string motd;
    std::vector<std::string> nats_urls;
    std::string room = "lobby";

    const CLI::Validator ipv4{[](std::string& text) -> std::string {
                                  asio::error_code ec;
                                  asio::ip::make_address_v4(text, ec);
                                  return ec ? "'" + text + "' is not an IPv4 address" : std::string();
                              },
        "IPV4"};
    const auto size = CLI::AsSizeValue(false);

    app.add_option("--port", port, "TCP port to listen on; 0 picks a free one")
        ->check(CLI::Range(0u, 65535u))
        ->capture_default_str();
    app.add_option("--bind", bind, "IPv4 address to listen on")->check(ipv4)->capture_default_str();
    app.add_option("--max-queue", options.max_queue_bytes,
           "Bytes that may wait to be sent to one client before it is disconnected")
        ->transform(size)
        ->check(AtLeast(velmora::kMinQueueBytes))
        ->capture_default_str();
    app.add_option("--max-clients", options.max_clients, "Clients connected at once; more are told the server is full")
        ->check(AtLeast(1))
        ->capture_default_str();
    app.add_option("--rate", options.rate_bytes_per_second,
           "Bytes a second each client may send; past its budget the server reads it no further until the "
           "budget refills, so TCP slows the sender and nothing is lost. 0 turns the budget off")
        ->transform(size)
        ->capture_default_str();
    app.add_option("--burst", options.burst_bytes, "Bytes a client may send at once on top of --rate; 0 turns the budget off")
        ->transform(size)
        ->capture_default_str();
    app.add_option("--max-per-address", options.max_per_address,
           "Clients from one IPv4 address at once; more are told why and closed. 0 turns the cap off")
        ->capture_default_str();
    app.add_flag("--limit-loopback", options.limit_loopback,
        "Apply --max-per-address, --connect-rate and the input budget's memory of an address to loopback "
        "connections too; by default they are exempt, as local tunnels and proxies arrive that way");
    app.add_option("--connect-rate", options.connect_rate,
           "New connections a second from one IPv4 address, after --connect-burst at once; more are told why and "
           "closed. 0 turns the limit off")
        ->capture_default_str();
    app.add_option("--connect-burst", options.connect_burst,
           "New connections one IPv4 address may open at once before --connect-rate applies; 0 turns the limit off")
        ->capture_default_str();
#ifdef _WIN32
    const char* const dead_peer_help = "Seconds after which a client that vanished without closing is let go: TCP "
                                       "keepalive probes start after half of it. On Windows a client that vanished "
                                       "while data to it was unacknowledged is left to the system's retransmission "
                                       "limit";
#else
    const char* const dead_peer_help = "Seconds after which a client that vanished without closing is let go: TCP "
                                       "keepalive probes start after half of it when the connection is idle, and "
                                       "data unacknowledged this long ends it. A client that is connected but silent "
                                       "is never cut";
#endif
    app.add_option("--dead-peer-timeout", options.dead_peer_seconds, dead_peer_help)
        ->check(CLI::Range(velmora::kMinDeadPeerSeconds, 24u * 3600u))
        ->capture_default_str();
    app.add_option("--max-memory", options.max_memory_bytes,
           "Bytes all queues together may hold; past it the clients with the largest queues are disconnected "
           "first. 0 turns the bound off")
        ->transform(size)
        ->check(AtLeast(velmora::kMinQueueBytes, true))
        ->capture_default_str();
    app.add_option("--stats-interval", options.stats_interval_seconds,
           "Seconds between statistics lines in the log; 0 turns them off")
        ->capture_default_str();
    app.add_option("--motd", motd, "File whose lines each newcomer is shown after the greeting");
#ifdef VELMORA_WITH_NATS
    velmora::NatsCredentialFiles nats_files;
    app.add_option("--nats", nats_urls,
           "NATS servers (nats://host:port, comma-separated) through which this server shares its room with every "
           "other server connected to the same NATS cluster; JetStream must be on. Without it the server runs alone")
        ->delimiter(',');
    app.add_option("--room", room, "With --nats: the name of the room to join (letters, digits, _ and -)")
        ->check(CLI::Validator([](std::string& text) { return velmora::IsRoomName(text) ? std::string() : "not a room name"; },
            "NAME"))
        ->capture_default_str();
    AddNatsSignInOptions(app, nats_files);
#else
    app.add_option("--nats", nats_urls, "Not in this build: sharing a room across servers through NATS is built for "
                                        "Linux only")
        ->delimiter(',');
    app.add_option("--room", room, "Not in this build (see --nats)");
#endif
    app.footer("The port in use is printed on the first line of standard output; events are logged to standard "
               "error. Clients type /help in the room for its commands. The protocol is described in "
               "docs/protocol.md of the source."
#ifdef __linux__
               "\n\n'velmora-server ctl COMMAND [ARG...]' sends a command to a running server through its control "
               "socket instead of starting one; 'velmora-server ctl --help' tells how."
#endif
#ifdef VELMORA_WITH_NATS
               " A file name without a / given to --nats-creds, --nats-nkey, --nats-user-file or --nats-tls-* is looked "
               "up in $CREDENTIALS_DIRECTORY when that is set, as systemd's LoadCredential= sets it."
#endif
    );

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitBadArguments;
    }
    if (options.burst_bytes == 0)
        options.rate_bytes_per_second = 0;
    if (options.connect_burst == 0)
        options.connect_rate = 0;

#ifdef VELMORA_WITH_NATS
    velmora::NatsCredentials nats_credentials;
    const std::string nats_problem = PrepareNatsSignIn(nats_urls, nats_files, nats_credentials);
    if (!nats_problem.empty()) {
        std::fprintf(stderr, "velmora-server: %s\n", nats_problem.c_str());
        return kExitBadArguments;
    }
#else
    if (!nats_urls.empty()) {
        std::fprintf(stderr, "velmora-server: this build cannot share a room through NATS (built for Linux only)\n");
        return kExitBadArguments;
    }
#endif
    std::string error;
    if (!motd.empty() && !ReadMotd(motd, options.motd, error)) {
        std::fprintf(stderr, "velmora-server: cannot read the message of the day from %s: %s\n", motd.c_str(),
            error.c_str());
        return kExitBadArguments;
    }

    RaiseDescriptorLimit();
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif

    options.endpoint = {asio::ip::make_address_v4(bind), static_cast<unsigned short>(port)};
    asio::io_context io{1};
    std::unique_ptr<velmora::ChatServer> server;
    try {
        server = std::make_unique<velmora::ChatServer>(io, options, LogLine);
    } catch (const std::system_error& e) {
        std::fprintf(stderr, "velmora-server: cannot listen on %s:%u: %s\n", bind.c_str(), port, e.code().message().c_str());
        return kExitCannotListen;
    }
#ifdef VELMORA_WITH_NATS
    // Declared after the server, so that it is gone, its threads joined, before the room is.
    std::unique_ptr<velmora::NatsBridge> bridge;
    if (!nats_urls.empty()) {
        try {
            bridge = std::make_unique<velmora::NatsBridge>(io, server->room(),
                velmora::NatsOptions{nats_urls, room, nats_credentials}, server->summary(), server->counters(), LogLine);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "velmora-server: %s\n", e.what());
            return kExitCannotStart;
        }
    }
#endif
    std::printf("%u\n", static_cast<unsigned>(server->port()));
    std::fflush(stdout);

    // The first signal stops the server in order, every step bounded; a second one ends it at once.
    asio::signal_set signals(io, SIGINT, SIGTERM);
    std::function<void(const asio::error_code&, int)> on_signal = [&](const asio::error_code& ec, int signal_number) {
        if (ec)
            return;
        if (server->stopping()) {
            LogLine("second signal, exiting at once");
            std::_Exit(kExitInterrupted);
        }
        LogLine(signal_number == SIGINT ? "interrupted, stopping" : "terminated, stopping");
        StartShutdownBackstop();
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
    io.run();
    return 0;
}
