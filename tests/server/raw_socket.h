// Plain blocking sockets for the unit tests, as a scraper or an operator's script would use them.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace velmora::test {

class RawSocket {
public:
    // Connects over TCP to the loopback port, or to the Unix domain socket at the path; a socket
    // that did not connect has fd() < 0 and says why in error().
    static RawSocket Tcp(unsigned short port, int receive_buffer = 0);
    static RawSocket Unix(const std::string& path);

    RawSocket(RawSocket&& other) noexcept;
    ~RawSocket();

    int fd() const { return fd_; }
    const std::string& error() const { return error_; }
    bool Send(std::string_view bytes);
    // Everything that arrives until the peer ends the connection (ended) or the time runs out.
    struct Received {
        std::string bytes;
        bool ended = false;
    };
    Received ReadUntilClosed(std::chrono::milliseconds timeout);
    void Close();

private:
    explicit RawSocket(int fd, std::string error) : fd_(fd), error_(std::move(error)) {}

    int fd_ = -1;
    std::string error_;
};

}  // namespace velmora::test
