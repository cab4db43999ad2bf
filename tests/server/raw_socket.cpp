#include "raw_socket.h"

#include "harness.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace velmora::test {

using Clock = std::chrono::steady_clock;

RawSocket RawSocket::Tcp(unsigned short port, int receive_buffer)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receive_buffer > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const std::string why = std::strerror(errno);
        close(fd);
        return RawSocket(-1, why);
    }
    return RawSocket(fd, {});
}

RawSocket RawSocket::Unix(const std::string& path)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const std::string why = std::strerror(errno);
        close(fd);
        return RawSocket(-1, why);
    }
    return RawSocket(fd, {});
}

RawSocket::RawSocket(RawSocket&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), error_(std::move(other.error_))
{
}

RawSocket::~RawSocket()
{
    Close();
}

void RawSocket::Close()
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
}

bool RawSocket::Send(std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

RawSocket::Received RawSocket::ReadUntilClosed(std::chrono::milliseconds timeout)
{
    Received received;
    const auto deadline = Clock::now() + timeout;
    char buffer[65536];
    for (;;) {
        pollfd p{fd_, POLLIN, 0};
        const int ready = poll(&p, 1, RemainingMs(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return received;
        const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            received.ended = true;
            return received;
        }
        received.bytes.append(buffer, static_cast<std::size_t>(n));
    }
}

}  // namespace velmora::test
