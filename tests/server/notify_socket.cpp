#include "notify_socket.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

namespace velmora::test {

namespace {

using Clock = std::chrono::steady_clock;

// Each sender may hold only so much in flight; a few of them fill any queue length a machine sets.
constexpr int kHoldSendersMax = 64;

sockaddr_un Address(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return address;
}

std::vector<std::string> Lines(const std::string& message)
{
    std::vector<std::string> lines;
    std::istringstream in(message);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

} // namespace

NotifySocket::NotifySocket() : path_(dir_.Path("notify"))
{
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = Address(path_);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        ADD_FAILURE() << "cannot make the notification socket " << path_ << ": " << std::strerror(errno);
}

NotifySocket::~NotifySocket()
{
    if (fd_ >= 0)
        close(fd_);
}

bool NotifySocket::ReceiveUntil(Clock::time_point deadline)
{
    pollfd p{fd_, POLLIN, 0};
    poll(&p, 1, RemainingMs(deadline));
    char buffer[4096];
    for (ssize_t n; (n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT)) >= 0;)
        if (n > 0)  // empty ones are Hold()'s
            messages_.emplace_back(buffer, static_cast<std::size_t>(n));
    return Clock::now() < deadline;
}

std::size_t NotifySocket::Held(std::string_view line) const
{
    std::size_t count = 0;
    for (const std::string& message : messages_)
        for (const std::string& held : Lines(message))
            count += held == line ? 1 : 0;
    return count;
}

bool NotifySocket::WaitFor(std::string_view line, std::size_t times, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (Held(line) < times)
        if (!ReceiveUntil(deadline))
            return Held(line) >= times;
    return true;
}

std::size_t NotifySocket::Count(std::string_view line)
{
    ReceiveUntil(Clock::now());
    return Held(line);
}

std::string NotifySocket::Newest(std::string_view name)
{
    ReceiveUntil(Clock::now());
    const std::string prefix = std::string(name) + "=";
    std::string value = "(none)";
    for (const std::string& message : messages_)
        for (const std::string& line : Lines(message))
            if (line.rfind(prefix, 0) == 0)
                value = line.substr(prefix.size());
    return value;
}

std::string NotifySocket::Received()
{
    ReceiveUntil(Clock::now());
    std::string all;
    for (const std::string& message : messages_)
        all += "[" + message + "]\n";
    return all.empty() ? "nothing\n" : all;
}

// The kernel queues at most net.unix.max_dgram_qlen datagrams for a socket and makes a sender
// wait past that, as systemd's sd_notify() does. A new sender refused at once finds it full.
bool NotifySocket::Hold()
{
    const sockaddr_un address = Address(path_);
    for (int sender = 0; sender < kHoldSendersMax; ++sender) {
        const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        std::size_t sent = 0;
        while (sendto(fd, "", 0, MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
            ++sent;
        const int error = errno;
        close(fd);
        if (error != EAGAIN) {
            ADD_FAILURE() << "cannot fill " << path_ << ": " << std::strerror(error);
            return false;
        }
        if (sent == 0)
            return true;
    }
    ADD_FAILURE() << path_ << " still takes messages from " << kHoldSendersMax << " senders";
    return false;
}

} // namespace velmora::test
