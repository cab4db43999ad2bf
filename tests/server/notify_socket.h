// The socket through which a service tells systemd how it is doing (NOTIFY_SOCKET), owned by the
// test: an AF_UNIX datagram socket in a directory of its own, handed to the server under test in
// its environment.
#pragma once

#include "harness.h"

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::test {

class NotifySocket {
public:
    NotifySocket();
    ~NotifySocket();
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    // "NOTIFY_SOCKET=<path>", for the server's environment.
    std::string Variable() const { return "NOTIFY_SOCKET=" + path_; }

    // Waits until `times` messages have held the line `line` ("READY=1"); every message is kept.
    bool WaitFor(std::string_view line, std::size_t times = 1, std::chrono::milliseconds timeout = kTimeout);
    // How many of the messages that came so far held `line`.
    std::size_t Count(std::string_view line);
    // The value of the newest `name=` line ("STATUS"), or "(none)".
    std::string Newest(std::string_view name);
    // Every message so far, for a failure's report.
    std::string Received();

    // Fills the socket's queue, so that the server's next message waits in its send until the test
    // reads from the socket again: whatever the test sees meanwhile, the server did before sending
    // it. False if the queue could not be filled.
    bool Hold();

private:
    // Takes in what arrives before the deadline; false once the deadline has passed.
    bool ReceiveUntil(std::chrono::steady_clock::time_point deadline);
    std::size_t Held(std::string_view line) const;

    ScratchDir dir_;
    std::string path_;
    int fd_ = -1;
    std::vector<std::string> messages_;
};

} // namespace velmora::test
