// velmora-server's options, as its command line gives them (`velmora-server --help`).
#pragma once

#include "server_limits.h"
#ifdef VELMORA_WITH_NATS
#include "nats_credentials.h"
#endif

#include <string>
#include <vector>

namespace velmora {

struct CommandLine {
    ServerOptions server;
    std::string bind = "0.0.0.0";
    unsigned port = kDefaultPort;
    std::string motd_file;
    std::vector<std::string> nats_urls;
    std::string room = "lobby";
#ifdef VELMORA_WITH_NATS
    NatsCredentials nats_credentials;
#endif
    // The operator's tools (Linux only): the control socket, its file's group, where bans are kept,
    // and where the metrics are served.
    std::string control_path;
    std::string control_group;
    std::string state_dir;
    std::string metrics;
};

constexpr int kExitBadArguments = 2;

// Fills `line` from the arguments and the files they name; -1 to go on, or the status to exit with
// at once (--help, --version, or a bad argument, said on standard error).
int ParseCommandLine(int argc, char** argv, CommandLine& line);

// The message of the day, line by line; false when the file cannot be read.
bool ReadMotd(const std::string& path, std::vector<std::string>& lines, std::string& error);

}  // namespace velmora
