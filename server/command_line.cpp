#include "command_line.h"

#include "names.h"

#include <CLI/CLI.hpp>
#include <asio/ip/address_v4.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace velmora {

namespace {

#ifdef VELMORA_WITH_NATS
using NatsFiles = NatsCredentialFiles;
#else
struct NatsFiles {};
#endif

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

const CLI::Validator kIpv4{[](std::string& text) -> std::string {
                               asio::error_code ec;
                               asio::ip::make_address_v4(text, ec);
                               return ec ? "'" + text + "' is not an IPv4 address" : std::string();
                           },
    "IPV4"};

const CLI::Validator kIpv4AndPort{[](std::string& text) -> std::string {
                                      const std::size_t colon = text.rfind(':');
                                      asio::error_code ec;
                                      if (colon != std::string::npos)
                                          asio::ip::make_address_v4(text.substr(0, colon), ec);
                                      unsigned port = 0;
                                      if (colon == std::string::npos || ec
                                          || !CLI::detail::lexical_cast(text.substr(colon + 1), port) || port > 65535)
                                          return "'" + text + "' is not an IPv4 address and port, such as 127.0.0.1:9464";
                                      return {};
                                  },
    "ADDR:PORT"};

void AddRoomOptions(CLI::App& app, CommandLine& c)
{
    ServerOptions& o = c.server;
    const auto size = CLI::AsSizeValue(false);
    app.add_option("--port", c.port, "TCP port to listen on; 0 picks a free one")
        ->check(CLI::Range(0u, 65535u))
        ->capture_default_str();
    app.add_option("--bind", c.bind, "IPv4 address to listen on")->check(kIpv4)->capture_default_str();
    app.add_option("--max-queue", o.max_queue_bytes, "Bytes that may wait to be sent to one client before it is disconnected")
        ->transform(size)
        ->check(AtLeast(kMinQueueBytes))
        ->capture_default_str();
    app.add_option("--max-clients", o.max_clients, "Clients connected at once; more are told the server is full")
        ->check(AtLeast(1))
        ->capture_default_str();
    app.add_option("--rate", o.rate_bytes_per_second,
           "Bytes a second each client may send; past its budget the server reads it no further until the "
           "budget refills, so TCP slows the sender and nothing is lost. 0 turns the budget off")
        ->transform(size)
        ->capture_default_str();
    app.add_option("--burst", o.burst_bytes, "Bytes a client may send at once on top of --rate; 0 turns the budget off")
        ->transform(size)
        ->capture_default_str();
    app.add_option("--max-per-address", o.max_per_address,
           "Clients from one IPv4 address at once; more are told why and closed. 0 turns the cap off")
        ->capture_default_str();
    app.add_flag("--limit-loopback", o.limit_loopback,
        "Apply --max-per-address, --connect-rate and the input budget's memory of an address to loopback "
        "connections too; by default they are exempt, as local tunnels and proxies arrive that way");
    app.add_option("--connect-rate", o.connect_rate,
           "New connections a second from one IPv4 address, after --connect-burst at once; more are told why and "
           "closed. 0 turns the limit off")
        ->capture_default_str();
    app.add_option("--connect-burst", o.connect_burst,
           "New connections one IPv4 address may open at once before --connect-rate applies; 0 turns the limit off")
        ->capture_default_str();
}

void AddUpkeepOptions(CLI::App& app, CommandLine& c)
{
    ServerOptions& o = c.server;
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
    app.add_option("--dead-peer-timeout", o.dead_peer_seconds, dead_peer_help)
        ->check(CLI::Range(kMinDeadPeerSeconds, 24u * 3600u))
        ->capture_default_str();
    app.add_option("--max-memory", o.max_memory_bytes,
           "Bytes all queues together may hold; past it the clients with the largest queues are disconnected "
           "first. 0 turns the bound off")
        ->transform(CLI::AsSizeValue(false))
        ->check(AtLeast(kMinQueueBytes, true))
        ->capture_default_str();
    app.add_option("--stats-interval", o.stats_interval_seconds, "Seconds between statistics lines in the log; 0 turns them off")
        ->capture_default_str();
    app.add_option("--motd", c.motd_file, "File whose lines each newcomer is shown after the greeting");
}

#ifdef __linux__
void AddOperatorOptions(CLI::App& app, CommandLine& c)
{
    app.add_option("--control", c.control_path,
        "Unix socket through which 'velmora-server ctl' reaches this server to see, remove, mute and ban members; off "
        "unless given");
    app.add_option("--control-group", c.control_group,
        "With --control: the group the socket is given to (mode 0660), so that its members may use it");
    app.add_option("--state-dir", c.state_dir,
        "Directory where the bans are kept (bans.json), so that they survive restarts; without it they last as long "
        "as the server runs");
    app.add_option("--metrics", c.metrics, "Serve Prometheus metrics on GET /metrics at this address and port (such as "
                                           "127.0.0.1:9464); off unless given")
        ->check(kIpv4AndPort);
}
#else
void AddOperatorOptions(CLI::App& app, CommandLine& c)
{
    const char* const linux_only = "Not in this build: the control socket, bans and metrics are built for Linux only";
    app.add_option("--control", c.control_path, linux_only);
    app.add_option("--control-group", c.control_group, linux_only);
    app.add_option("--state-dir", c.state_dir, linux_only);
    app.add_option("--metrics", c.metrics, linux_only);
}
#endif

#ifdef VELMORA_WITH_NATS
// Each names a file: a secret given as the value of an option would show in the process list.
void AddNatsSignInOptions(CLI::App& app, NatsCredentialFiles& files)
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
std::string PrepareNatsSignIn(const std::vector<std::string>& urls, const NatsCredentialFiles& files,
    NatsCredentials& credentials)
{
    if (urls.empty()) {
        const std::string named = files.creds + files.nkey_seed + files.user + files.tls_ca + files.tls_cert + files.tls_key;
        return named.empty() ? ""
                             : "--nats-creds, --nats-nkey, --nats-user-file and --nats-tls-* say how to reach NATS: they "
                               "need --nats";
    }
    const std::string problem = CheckUrlsCarryNoSecrets(urls);
    return problem.empty() ? LoadNatsCredentials(files, credentials) : problem;
}
#endif

void AddNatsOptions(CLI::App& app, CommandLine& c, [[maybe_unused]] NatsFiles& files)
{
#ifdef VELMORA_WITH_NATS
    app.add_option("--nats", c.nats_urls,
           "NATS servers (nats://host:port, comma-separated) through which this server shares its room with every "
           "other server connected to the same NATS cluster; JetStream must be on. Without it the server runs alone")
        ->delimiter(',');
    app.add_option("--room", c.room, "With --nats: the name of the room to join (letters, digits, _ and -)")
        ->check(CLI::Validator([](std::string& text) { return IsRoomName(text) ? std::string() : "not a room name"; }, "NAME"))
        ->capture_default_str();
    AddNatsSignInOptions(app, files);
#else
    app.add_option("--nats", c.nats_urls, "Not in this build: sharing a room across servers through NATS is built for "
                                         "Linux only")
        ->delimiter(',');
    app.add_option("--room", c.room, "Not in this build (see --nats)");
#endif
}

const char kFooter[] = "The port in use is printed on the first line of standard output; events are logged to standard "
                       "error. Clients type /help in the room for its commands. The protocol is described in "
                       "docs/protocol.md of the source."
#ifdef __linux__
                       "\n\n'velmora-server ctl COMMAND [ARG...]' sends a command to a running server through its "
                       "control socket instead of starting one; 'velmora-server ctl help' lists the commands."
#endif
#ifdef VELMORA_WITH_NATS
                       " A file name without a / given to --nats-creds, --nats-nkey, --nats-user-file or --nats-tls-* is "
                       "looked up in $CREDENTIALS_DIRECTORY when that is set, as systemd's LoadCredential= sets it."
#endif
#ifdef VELMORA_WITH_SYSTEMD
                       "\n\nStarted by systemd as a Type=notify service, the server tells it when it is ready (listening, "
                       "and with --nats in the room) and when it is stopping, and feeds the watchdog that WatchdogSec= "
                       "asks for."
#endif
    ;

// What the options cannot say one by one; empty when all is well.
std::string Finish(CommandLine& c, [[maybe_unused]] const NatsFiles& files)
{
    if (c.server.burst_bytes == 0)
        c.server.rate_bytes_per_second = 0;
    if (c.server.connect_burst == 0)
        c.server.connect_rate = 0;
#ifdef VELMORA_WITH_NATS
    std::string problem = PrepareNatsSignIn(c.nats_urls, files, c.nats_credentials);
    if (!problem.empty())
        return problem;
#else
    if (!c.nats_urls.empty())
        return "this build cannot share a room through NATS (built for Linux only)";
#endif
#ifndef __linux__
    if (!c.control_path.empty() || !c.control_group.empty() || !c.state_dir.empty() || !c.metrics.empty())
        return "this build has no control socket, bans or metrics (built for Linux only)";
#endif
    if (!c.control_group.empty() && c.control_path.empty())
        return "--control-group names the group of the control socket: it needs --control";
    std::string error;
    if (!c.motd_file.empty() && !ReadMotd(c.motd_file, c.server.motd, error))
        return "cannot read the message of the day from " + c.motd_file + ": " + error;
    c.server.endpoint = {asio::ip::make_address_v4(c.bind), static_cast<unsigned short>(c.port)};
    return {};
}

}  // namespace

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

int ParseCommandLine(int argc, char** argv, CommandLine& line)
{
    CLI::App app{"Velmora chat server: a room where each client's lines reach every other client.", "velmora-server"};
    app.set_version_flag("--version", "velmora-server " VELMORA_VERSION);
    NatsFiles files;
    AddRoomOptions(app, line);
    AddUpkeepOptions(app, line);
    AddNatsOptions(app, line, files);
    AddOperatorOptions(app, line);
    app.footer(kFooter);
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitBadArguments;
    }
    const std::string problem = Finish(line, files);
    if (problem.empty())
        return -1;
    std::fprintf(stderr, "velmora-server: %s\n", problem.c_str());
    return kExitBadArguments;
}

}  // namespace velmora
