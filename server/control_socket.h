// The operator's control socket: a Unix domain stream socket on which each connection carries one
// command and gets one reply (control_protocol.h). It knows nothing of the room: the server's
// handler does the commands. Requests are bounded in size, in time and in number
// (kControl* in server_limits.h).
#pragma once

#include "control_protocol.h"
#include "exchange_server.h"
#include "log_sink.h"

#include <asio.hpp>

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

// Who is on the other end, as the kernel tells it (SO_PEERCRED), so that the server can log who
// did what.
struct PeerInfo {
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
};

class ControlSocket {
public:
    using Handler = std::function<ControlReply(const std::vector<std::string>& words, const PeerInfo& peer)>;

    // Creates the socket at `path` with mode 0660, and gives it to `group` unless that is empty, so
    // that the group's members may use it. A socket file left by a server that is gone is removed
    // first; anything else at the path, or a server still answering there, is left alone and makes
    // this throw std::system_error, as does any step that fails. Destroy it once the io_context has
    // run the handlers stop() leaves.
    ControlSocket(asio::io_context& io, std::string path, const std::string& group, Handler handler, LogSink log);
    ~ControlSocket();
    ControlSocket(const ControlSocket&) = delete;
    ControlSocket& operator=(const ControlSocket&) = delete;

    const std::string& path() const { return path_; }
    // Connections open now.
    std::size_t connections() const { return server_.connections(); }
    // Closes every connection and removes the socket file.
    void stop();

private:
    using Server = ExchangeServer<asio::local::stream_protocol>;

    std::optional<std::string> answer(std::string_view received, Server::Socket& socket);

    std::string path_;
    Handler handler_;
    LogSink log_;
    Server server_;
    bool stopped_ = false;
};

}  // namespace velmora
