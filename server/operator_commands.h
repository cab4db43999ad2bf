// The operator's commands on the control socket (docs/protocol.md, "The control socket"): who is
// here, removing and silencing members, bans, a line to everyone, and reading the files again.
// Each server acts on its own members; with NATS, bans hold on every server of the room.
#pragma once

#include "bans.h"
#include "chat_server.h"
#include "control_protocol.h"
#include "control_socket.h"
#include "log_sink.h"

#include <functional>
#include <string>
#include <vector>

namespace velmora {

class OperatorCommands {
public:
    struct Context {
        ChatServer& server;
        Bans& bans;
        // This server's id among the others, with NATS; empty when it runs alone.
        std::string server_id;
        // Reads the message of the day again; what happened, for the operator.
        std::function<std::string(bool& ok)> reload_motd;
        LogSink log;
    };

    explicit OperatorCommands(Context context) : c_(std::move(context)) {}

    void set_server_id(std::string id) { c_.server_id = std::move(id); }
    ControlReply run(const std::vector<std::string>& words, const PeerInfo& peer);
    // The message of the day and the ban file again (`reload`, and SIGHUP).
    ControlReply reload();

private:
    ControlReply who() const;
    ControlReply kick(const std::vector<std::string>& words);
    ControlReply ban(const std::vector<std::string>& words);
    ControlReply unban(const std::vector<std::string>& words);
    ControlReply bans() const;
    ControlReply mute(const std::vector<std::string>& words, bool on);
    ControlReply say(const std::vector<std::string>& words);
    // This server's member by that name, or why there is none.
    MemberPtr member(const std::string& name, std::string& why) const;

    Context c_;
};

}  // namespace velmora
