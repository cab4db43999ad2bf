#include "harness.h"

#include "wire_protocol.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>

namespace velmora::test {

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

std::vector<char*> Argv(std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    return argv;
}

// Reads everything from fd until it ends or the deadline passes; false on timeout.
bool Drain(int fd, std::string* into, Clock::time_point deadline)
{
    char buffer[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, RemainingMs(deadline));
        if (ready == 0)
            return false;
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return true;
        if (into)
            into->append(buffer, static_cast<std::size_t>(n));
    }
}

} // namespace

std::string Mask(std::string_view plain)
{
    std::string masked(plain);
    UnmaskChunk(masked.data(), static_cast<int>(masked.size()));
    return masked;
}

ServerProcess::ServerProcess(std::vector<std::string> extra_args)
{
    char log_template[] = "/tmp/velmora-server-test-XXXXXX";
    const int log_fd = mkstemp(log_template);
    if (log_fd < 0) {
        ADD_FAILURE() << "mkstemp: " << std::strerror(errno);
        return;
    }
    log_path_ = log_template;

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2: " << std::strerror(errno);
        close(log_fd);
        return;
    }

    std::vector<std::string> args{VELMORA_SERVER_PATH, "--port", "0", "--bind", "127.0.0.1"};
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    auto argv = Argv(args);

    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(log_fd, STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(log_fd);
    stdout_fd_ = out[0];
    if (pid_ < 0) {
        ADD_FAILURE() << "fork: " << std::strerror(errno);
        return;
    }

    const auto deadline = Clock::now() + kTimeout;
    std::string line;
    char c;
    while (line.find('\n') == std::string::npos) {
        pollfd p{stdout_fd_, POLLIN, 0};
        if (poll(&p, 1, RemainingMs(deadline)) <= 0)
            break;
        if (read(stdout_fd_, &c, 1) != 1)
            break;
        line.push_back(c);
    }
    port_ = std::atoi(line.c_str());
    if (port_ <= 0)
        ADD_FAILURE() << "server printed no port; its log:\n" << Log();
}

ServerProcess::~ServerProcess()
{
    if (pid_ > 0 && status_ == -1) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (stdout_fd_ >= 0)
        close(stdout_fd_);
    if (!log_path_.empty())
        unlink(log_path_.c_str());
}

void ServerProcess::Signal(int signal_number) const
{
    if (pid_ > 0)
        kill(pid_, signal_number);
}

int ServerProcess::WaitExit(std::chrono::milliseconds timeout)
{
    if (status_ != -1 || pid_ <= 0)
        return status_;
    // Standard output closes only as the server exits, which poll() can wait on.
    if (!Drain(stdout_fd_, nullptr, Clock::now() + timeout))
        return -1;
    int status = 0;
    if (waitpid(pid_, &status, 0) == pid_)
        status_ = status;
    return status_;
}

std::string ServerProcess::Log() const
{
    std::ifstream in(log_path_);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool ServerProcess::WaitForLog(std::string_view needle, std::chrono::milliseconds timeout) const
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (Log().find(needle) != std::string::npos)
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

ExitResult RunServer(const std::vector<std::string>& extra_args, std::chrono::milliseconds timeout)
{
    ExitResult result;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2: " << std::strerror(errno);
        return result;
    }
    std::vector<std::string> args{VELMORA_SERVER_PATH};
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    auto argv = Argv(args);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    const auto deadline = Clock::now() + timeout;
    const bool ended = Drain(out[0], &result.out, deadline) && Drain(err[0], &result.err, deadline);
    close(out[0]);
    close(err[0]);
    if (pid < 0)
        return result;
    if (!ended) {
        ADD_FAILURE() << "server did not exit";
        kill(pid, SIGKILL);
    }
    waitpid(pid, &result.status, 0);
    if (!ended)
        result.status = -1;
    return result;
}

Client::Client(int port, int receive_buffer)
{
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        ADD_FAILURE() << "socket: " << std::strerror(errno);
        return;
    }
    if (receive_buffer > 0)
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    const int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        ADD_FAILURE() << "connect to port " << port << ": " << std::strerror(errno);
}

Client::~Client()
{
    if (fd_ >= 0)
        close(fd_);
}

void Client::Send(std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ADD_FAILURE() << "send: " << std::strerror(errno);
            return;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

namespace {

// Appends what arrives on fd before the deadline, at least once; false once nothing more can come.
bool ReceiveMore(int fd, std::string& into, Clock::time_point deadline)
{
    char buffer[65536];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, RemainingMs(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        const ssize_t r = recv(fd, buffer, sizeof buffer, 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        into.append(buffer, static_cast<std::size_t>(r));
        return true;
    }
}

} // namespace

std::string Client::ReadRaw(std::size_t n, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (unread_.size() < n && ReceiveMore(fd_, unread_, deadline)) {
    }
    std::string bytes = unread_.substr(0, n);
    unread_.erase(0, bytes.size());
    return bytes;
}

std::string Client::ReadLine(std::chrono::milliseconds timeout)
{
    const std::string end = Mask("\r\n");
    const auto deadline = Clock::now() + timeout;
    std::size_t at = 0;
    while ((at = unread_.find(end)) == std::string::npos) {
        if (!ReceiveMore(fd_, unread_, deadline)) {
            std::string partial = std::exchange(unread_, std::string());
            UnmaskChunk(partial.data(), static_cast<int>(partial.size()));
            return "(no line; the stream " + std::string(Clock::now() < deadline ? "ended" : "stayed quiet")
                + " after \"" + partial + "\")";
        }
    }
    std::string line = unread_.substr(0, at);
    unread_.erase(0, at + end.size());
    UnmaskChunk(line.data(), static_cast<int>(line.size()));
    return line;
}

std::string Client::TakeBuffered()
{
    std::string bytes = std::exchange(unread_, std::string());
    UnmaskChunk(bytes.data(), static_cast<int>(bytes.size()));
    return bytes;
}

bool Client::Silent(std::chrono::milliseconds quiet)
{
    return unread_.empty() && !ReceiveMore(fd_, unread_, Clock::now() + quiet);
}

std::string Client::Read(std::size_t n, std::chrono::milliseconds timeout)
{
    std::string bytes = ReadRaw(n, timeout);
    UnmaskChunk(bytes.data(), static_cast<int>(bytes.size()));
    return bytes;
}

Closed Client::WaitClosed(std::chrono::milliseconds timeout)
{
    unread_.clear();
    const auto deadline = Clock::now() + timeout;
    char buffer[65536];
    for (;;) {
        pollfd p{fd_, POLLIN, 0};
        const int ready = poll(&p, 1, RemainingMs(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return Closed::StillOpen;
        const ssize_t r = recv(fd_, buffer, sizeof buffer, 0);
        if (r == 0)
            return Closed::Eof;
        if (r < 0 && errno != EINTR)
            return Closed::Reset;
    }
}

void Client::ShutdownWrite()
{
    shutdown(fd_, SHUT_WR);
}

void Client::Reset()
{
    const linger abort_on_close{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
    close(fd_);
    fd_ = -1;
}

std::string Pump(Client& from, std::string_view data, Client& to, const std::function<bool(const std::string&)>& done,
    std::chrono::milliseconds timeout)
{
    std::string received = to.TakeBuffered();
    const auto deadline = Clock::now() + timeout;
    char buffer[65536];
    while (!done(received)) {
        pollfd p[2] = {{to.fd(), POLLIN, 0}, {from.fd(), static_cast<short>(data.empty() ? 0 : POLLOUT), 0}};
        const int ready = poll(p, 2, RemainingMs(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        if (p[1].revents & POLLOUT) {
            const ssize_t n = send(from.fd(), data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0)
                data.remove_prefix(static_cast<std::size_t>(n));
        }
        if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = recv(to.fd(), buffer, sizeof buffer, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
                break;
            if (n > 0) {
                UnmaskChunk(buffer, static_cast<int>(n));
                received.append(buffer, static_cast<std::size_t>(n));
            }
        }
    }
    return received;
}

std::string StripPrefixes(const std::string& stream, const std::string& prefix)
{
    std::string payload;
    payload.reserve(stream.size());
    std::size_t at = 0;
    while (stream.compare(at, prefix.size(), prefix) == 0) {
        const std::size_t end = stream.find("\r\n", at);
        if (end == std::string::npos)
            break;
        payload.append(stream, at + prefix.size(), end - at - prefix.size());
        at = end + 2;
    }
    return payload;
}

std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t at = 0;
    for (std::size_t end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
        lines.push_back(text.substr(at, end - at));
    if (at < text.size())
        lines.push_back(text.substr(at));
    return lines;
}

} // namespace velmora::test
