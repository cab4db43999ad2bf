#include "control_client.h"

#include "control_protocol.h"
#include "lines.h"
#include "server_limits.h"

#include <CLI/CLI.hpp>
#include <asio.hpp>

#include <grp.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace velmora {

namespace {

using asio::local::stream_protocol;

constexpr std::size_t kColumnGap = 2;
// The wait is counted in milliseconds; one longer than a day is a mistake.
constexpr double kMinTimeoutSeconds = 0.001;
constexpr double kMaxTimeoutSeconds = 86400;

struct Options {
    std::string path = kDefaultControlPath;
    bool json = false;
    double timeout_seconds = kDefaultControlTimeoutSeconds;
    std::vector<std::string> words;
};

struct Exchange {
    bool connected = false;
    bool finished = false;
    asio::error_code failure;
    std::string reply;
};

void Complain(const std::string& line)
{
    std::fprintf(stderr, "velmora-server ctl: %s\n", Cleaned(line).c_str());
}

// The group that owns the socket, or failing that its directory: the one to join.
std::string OwningGroup(const std::string& path)
{
    struct stat status {};
    const std::size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : path.substr(0, std::max<std::size_t>(slash, 1));
    if (stat(path.c_str(), &status) != 0 && stat(directory.c_str(), &status) != 0)
        return {};
    group entry{};
    group* found = nullptr;
    char buffer[16384];
    getgrgid_r(status.st_gid, &entry, buffer, sizeof buffer, &found);
    return found ? found->gr_name : std::to_string(status.st_gid);
}

// Asio reports system errors in a category of its own, which std::errc does not match.
bool Is(const asio::error_code& ec, int error_number)
{
    return ec.category() == asio::error::get_system_category() && ec.value() == error_number;
}

std::string WhyUnreachable(const asio::error_code& ec, const std::string& path)
{
    if (Is(ec, ENOENT) || Is(ec, ECONNREFUSED))
        return "no velmora-server is listening on " + path + "; is it running with --control " + path + "?";
    if (Is(ec, EACCES) || Is(ec, EPERM)) {
        const std::string group = OwningGroup(path);
        if (group.empty())
            return "permission denied on " + path + "; ask whoever runs the server for access";
        return "permission denied on " + path + "; join the group " + group + " (or run as root)";
    }
    if (Is(ec, EAGAIN))
        return "the velmora-server on " + path + " is too busy to take a command; try again";
    return "cannot reach a velmora-server on " + path + ": " + ec.message();
}

// Sends the request and reads the reply line, for at most `timeout` in all. The reply is read
// while the request is written, so that a server that refuses at once is heard.
Exchange Talk(const std::string& path, const std::string& request, std::chrono::milliseconds timeout)
{
    asio::io_context io;
    stream_protocol::socket socket(io);
    Exchange exchange;
    socket.async_connect(stream_protocol::endpoint(path), [&](const asio::error_code& connected) {
        exchange.connected = !connected;
        exchange.finished = bool(connected);
        exchange.failure = connected;
        if (connected)
            return;
        asio::async_write(socket, asio::buffer(request), [](const asio::error_code&, std::size_t) {});
        asio::async_read_until(socket, asio::dynamic_buffer(exchange.reply, kControlReplyMaxBytes), '\n',
            [&](const asio::error_code& ec, std::size_t line_bytes) {
                exchange.finished = true;
                exchange.failure = ec;
                exchange.reply.resize(ec ? 0 : line_bytes);
                // A write still waiting on a server that has said all it will say is not waited for.
                io.stop();
            });
    });
    io.run_for(timeout);
    return exchange;
}

std::size_t ShownWidth(std::string_view text)
{
    // UTF-8 continuation bytes (10xxxxxx) take no column of their own.
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

void PrintTable(const ControlTable& table)
{
    std::vector<std::size_t> widths(table.columns.size());
    const auto widen = [&](const std::vector<std::string>& row) {
        for (std::size_t i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], ShownWidth(row[i]));
    };
    const auto print = [&](const std::vector<std::string>& row) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) {
            line += Cleaned(row[i]);
            if (i + 1 < row.size())
                line.append(widths[i] - ShownWidth(row[i]) + kColumnGap, ' ');
        }
        std::printf("%s\n", line.c_str());
    };
    widen(table.columns);
    std::for_each(table.rows.begin(), table.rows.end(), widen);
    print(table.columns);
    std::for_each(table.rows.begin(), table.rows.end(), print);
}

int Show(const Exchange& exchange, const Options& options)
{
    std::string error;
    const auto reply = ParseReply(exchange.reply, error);
    if (!reply) {
        Complain("the velmora-server on " + options.path + " sent a reply this program cannot read: " + error);
        return kControlExitNoAnswer;
    }
    if (options.json)
        std::fwrite(exchange.reply.data(), 1, exchange.reply.size(), stdout);
    if (!reply->ok) {
        Complain(reply->error);
        return kControlExitRefused;
    }
    if (!options.json && !reply->message.empty())
        std::printf("%s\n", Cleaned(reply->message).c_str());
    if (!options.json && reply->table)
        PrintTable(*reply->table);
    return kControlExitDone;
}

std::string Seconds(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g s", seconds);
    return text;
}

int Run(const Options& options)
{
    const auto timeout = std::chrono::milliseconds(std::llround(options.timeout_seconds * 1000));
    const std::string server = "the velmora-server on " + options.path;
    Exchange exchange;
    try {
        exchange = Talk(options.path, RequestLine(options.words), timeout);
    } catch (const std::system_error& e) {
        Complain("cannot use " + options.path + " as a control socket: " + e.code().message());
        return kControlExitNoAnswer;
    }
    if (!exchange.finished)
        Complain("no reply from " + server + " within " + Seconds(options.timeout_seconds));
    else if (!exchange.connected)
        Complain(WhyUnreachable(exchange.failure, options.path));
    else if (exchange.failure == asio::error::not_found)
        Complain("the reply from " + server + " is larger than this program reads");
    else if (exchange.failure)
        Complain(server + " ended the connection without a reply (" + exchange.failure.message() + ")");
    else
        return Show(exchange, options);
    return kControlExitNoAnswer;
}

}  // namespace

int RunControlClient(int argc, char** argv)
{
    CLI::App app{"Sends one command to a running velmora-server through its control socket, and shows the reply.",
        "velmora-server ctl"};
    Options options;
    app.add_option("--control", options.path, "The server's control socket")->capture_default_str();
    app.add_flag("--json", options.json, "Print the reply as it came, one line of JSON, instead of a table");
    app.add_option("--timeout", options.timeout_seconds, "Seconds to wait for the reply")
        ->check(CLI::Range(kMinTimeoutSeconds, kMaxTimeoutSeconds))
        ->capture_default_str();
    app.add_option("COMMAND", options.words, "The command and its arguments")->required();
    app.positionals_at_end();
    app.footer("Exit status: 0 when the command was done, 1 when the server refused it, 2 for bad arguments, 3 when "
               "no server answered in time (or its reply made no sense).");
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kControlExitBadArguments;
    }
    return Run(options);
}

}  // namespace velmora
