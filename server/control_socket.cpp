#include "control_socket.h"

#include "server_limits.h"

#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <system_error>

namespace velmora {

namespace {

using asio::local::stream_protocol;

// The owner and the group may connect; nobody else may.
constexpr mode_t kSocketMode = 0660;
// Room for a group's entry, members included; a larger one is not a group anybody has.
constexpr std::size_t kGroupEntryMaxBytes = 1024 * 1024;

[[noreturn]] void Fail(int error, const std::string& what)
{
    throw std::system_error(error, std::generic_category(), what);
}

gid_t GroupId(const std::string& name)
{
    std::vector<char> buffer(4096);
    for (;;) {
        group entry{};
        group* found = nullptr;
        const int error = getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < kGroupEntryMaxBytes) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (!found)
            Fail(error ? error : ENOENT, "there is no group named '" + name + "'");
        return found->gr_gid;
    }
}

// True when a server accepts connections at `path`, or has more waiting than it takes.
bool SomeoneAnswers(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        Fail(errno, "cannot make a socket");
    const bool answered
        = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 || errno == EAGAIN;
    close(fd);
    return answered;
}

// A socket file that nobody answers on is what a server that is gone left behind.
void RemoveStaleSocket(const std::string& path)
{
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0) {
        if (errno == ENOENT)
            return;
        Fail(errno, "cannot look at " + path);
    }
    if (!S_ISSOCK(status.st_mode))
        Fail(EEXIST, path + " is not a socket, so it is left alone; move it away or choose another path");
    if (SomeoneAnswers(path))
        Fail(EADDRINUSE, "another server answers on " + path);
    if (unlink(path.c_str()) != 0)
        Fail(errno, "cannot remove the old socket " + path);
}

stream_protocol::acceptor Listening(asio::io_context& io, const std::string& path, const std::string& group)
{
    const gid_t gid = group.empty() ? gid_t(-1) : GroupId(group);
    stream_protocol::endpoint endpoint(path);
    RemoveStaleSocket(path);
    stream_protocol::acceptor acceptor(io, endpoint.protocol());
    // The socket file takes its mode from the umask as it is made: with this one, nobody else can
    // connect even for a moment. The event loop's thread is the only one that makes files.
    const mode_t old_mask = umask(~kSocketMode & 0777);
    asio::error_code ec;
    acceptor.bind(endpoint, ec);
    umask(old_mask);
    if (ec)
        throw std::system_error(ec, "cannot create the control socket " + path);
    if (!group.empty() && chown(path.c_str(), uid_t(-1), gid) != 0) {
        const int error = errno;
        unlink(path.c_str());
        Fail(error, "cannot give " + path + " to the group " + group + " (is the server's user in that group?)");
    }
    acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        unlink(path.c_str());
        throw std::system_error(ec, "cannot listen on " + path);
    }
    return acceptor;
}

PeerInfo PeerOf(stream_protocol::socket& socket)
{
    ucred credentials{};
    socklen_t size = sizeof credentials;
    PeerInfo peer;
    if (getsockopt(socket.native_handle(), SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0)
        peer = {credentials.pid, credentials.uid, credentials.gid};
    return peer;
}

std::string Refusal(const std::string& why)
{
    return ReplyLine(ControlReply::Refused(why));
}

}  // namespace

ControlSocket::ControlSocket(asio::io_context& io, std::string path, const std::string& group, Handler handler,
    LogSink log)
    : path_(std::move(path)), handler_(std::move(handler)), log_(log),
      server_(Listening(io, path_, group),
          {kControlRequestMaxBytes, kControlRequestTimeout, kControlReplyTimeout, kControlMaxConnections},
          {[this](std::string_view received, Server::Socket& socket) { return answer(received, socket); },
              Refusal("the request is longer than " + std::to_string(kControlRequestMaxBytes) + " bytes"),
              Refusal("no whole request came within " + std::to_string(kControlRequestTimeout.count())
                  + " s; a request is one line of JSON ended by a newline"),
              Refusal(std::to_string(kControlMaxConnections)
                  + " control connections are open at once; try again in a moment")},
          log, "control")
{
}

ControlSocket::~ControlSocket()
{
    stop();
}

void ControlSocket::stop()
{
    if (stopped_)
        return;
    stopped_ = true;
    server_.stop();
    unlink(path_.c_str());
}

std::optional<std::string> ControlSocket::answer(std::string_view received, Server::Socket& socket)
{
    const std::size_t end = received.find('\n');
    if (end == std::string_view::npos)
        return std::nullopt;
    std::string error;
    const auto words = ParseRequest(received.substr(0, end), error);
    if (!words)
        return Refusal(error);
    try {
        return ReplyLine(handler_(*words, PeerOf(socket)));
    } catch (const std::exception& e) {
        log_("control: the command '" + (*words)[0] + "' failed: " + e.what());
        return Refusal("the command failed inside the server; its log says why");
    }
}

}  // namespace velmora
