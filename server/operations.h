// The operator's side of a running server (Linux only): bans and their file, the control socket
// and its commands, the metrics page, and with NATS the room's record of bans.
#pragma once

#include "bans.h"
#include "chat_server.h"
#include "command_line.h"
#include "control_socket.h"
#include "metrics_endpoint.h"
#include "operator_commands.h"

#include <asio.hpp>

#include <memory>
#include <string>

namespace velmora {

class NatsBridge;
class RoomBans;

class Operations {
public:
    Operations(asio::io_context& io, ChatServer& server, const CommandLine& line, LogSink log);
    ~Operations();
    Operations(const Operations&) = delete;
    Operations& operator=(const Operations&) = delete;

    // Reads the bans kept under --state-dir; false, and why, when the file is damaged.
    bool load(std::string& error);
    // Opens the control socket and the metrics endpoint asked for; throws std::system_error.
    void open();
    // With NATS: the room's bucket becomes the record of bans, and `who` names the servers.
    void link(NatsBridge& bridge);
    // The message of the day and the bans file again: SIGHUP, as `reload` does.
    void reload();
    void stop();

private:
    std::string reload_motd(bool& ok);
    std::string metrics_page() const;

    asio::io_context& io_;
    ChatServer& server_;
    const CommandLine& line_;
    LogSink log_;
    Bans bans_;
    OperatorCommands commands_;
    NatsBridge* bridge_ = nullptr;
    std::unique_ptr<RoomBans> room_bans_;
    std::unique_ptr<ControlSocket> control_;
    std::unique_ptr<MetricsEndpoint> metrics_;
};

}  // namespace velmora
