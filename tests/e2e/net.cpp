#include "drive.h"

#include "wire_protocol.h"

#include <algorithm>

namespace {

std::string SocketError(const char* what)
{
    return std::string(what) + " failed with Winsock error " + std::to_string(WSAGetLastError());
}

void SetNonBlocking(SOCKET s)
{
    u_long on = 1;
    ioctlsocket(s, FIONBIO, &on);
}

bool WaitReadable(SOCKET s, DWORD waitMs)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval tv{static_cast<long>(waitMs / 1000), static_cast<long>((waitMs % 1000) * 1000)};
    return select(0, &set, nullptr, nullptr, &tv) > 0;
}

bool WaitWritable(SOCKET s, DWORD waitMs)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval tv{static_cast<long>(waitMs / 1000), static_cast<long>((waitMs % 1000) * 1000)};
    return select(0, nullptr, &set, nullptr, &tv) > 0;
}

sockaddr_in Loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Reads all that is there without waiting; returns false at the end of the stream or a reset.
bool ReadAvailable(SOCKET s, std::string& into)
{
    char buffer[65536];
    for (;;) {
        int n = recv(s, buffer, sizeof buffer, 0);
        if (n > 0) {
            into.append(buffer, static_cast<size_t>(n));
            continue;
        }
        if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK)
            return true;
        return false;
    }
}

void SendAll(SOCKET s, const std::string& bytes)
{
    size_t done = 0;
    const ULONGLONG deadline = NowMs() + g_timeoutMs;
    while (done < bytes.size()) {
        int n = send(s, bytes.data() + done, static_cast<int>(bytes.size() - done), 0);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (WSAGetLastError() != WSAEWOULDBLOCK)
            Fail(SocketError("send"));
        if (NowMs() >= deadline)
            Fail("only " + std::to_string(done) + " of " + std::to_string(bytes.size()) +
                 " bytes could be sent: the client does not read");
        WaitWritable(s, 50);
    }
}

void ExpectPrefix(std::string& unread, const std::string& expected, const char* who)
{
    size_t common = std::min(unread.size(), expected.size());
    if (unread.compare(0, common, expected, 0, common) != 0)
        Fail(std::string(who) + " received other bytes: " + Difference(expected, unread));
}

}  // namespace

void StartNetworking()
{
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        Fail("WSAStartup failed");
}

std::string Mask(const std::string& text)
{
    std::string masked = text;
    for (char& c : masked)
        c = static_cast<char>(static_cast<unsigned char>(c) ^ SCRAMBLE_MASK);
    return masked;
}

void Peer::Listen(int port, int receiveBuffer)
{
    if (listener_ != INVALID_SOCKET)
        Fail("the peer is already listening");
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    // Lets a scenario listen again while the last one's connection lingers in TIME_WAIT.
    BOOL on = TRUE;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on);
    if (receiveBuffer > 0 && setsockopt(listener_, SOL_SOCKET, SO_RCVBUF,
                                        reinterpret_cast<const char*>(&receiveBuffer),
                                        sizeof receiveBuffer) != 0)
        Fail(SocketError("setsockopt(SO_RCVBUF)"));
    sockaddr_in address = Loopback(port);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        int error = WSAGetLastError();
        closesocket(listener_);
        listener_ = INVALID_SOCKET;
        if (error == WSAEADDRINUSE)
            Fail("port " + std::to_string(port) +
                 " on 127.0.0.1 is already taken by another program; the client always connects "
                 "there, so stop that program first");
        Fail("bind to 127.0.0.1:" + std::to_string(port) + " failed with Winsock error " +
             std::to_string(error));
    }
    if (listen(listener_, 4) != 0)
        Fail(SocketError("listen"));
}

bool Peer::HasPendingConnection()
{
    if (listener_ == INVALID_SOCKET)
        Fail("the peer is not listening");
    return WaitReadable(listener_, 0);
}

void Peer::Accept()
{
    if (conn_ != INVALID_SOCKET)
        Fail("the peer already has a connection");
    if (listener_ == INVALID_SOCKET)
        Fail("the peer is not listening");
    if (!WaitReadable(listener_, g_timeoutMs))
        Fail("no connection came to the peer within " + std::to_string(g_timeoutMs / 1000) + " s");
    conn_ = accept(listener_, nullptr, nullptr);
    if (conn_ == INVALID_SOCKET)
        Fail(SocketError("accept"));
    SetNonBlocking(conn_);
    unread_.clear();
    clientClosed_ = false;
}

void Peer::Send(const std::string& wireBytes)
{
    if (conn_ == INVALID_SOCKET)
        Fail("the peer has no connection");
    SendAll(conn_, wireBytes);
}

bool Peer::Drain(DWORD waitMs)
{
    if (conn_ == INVALID_SOCKET)
        Fail("the peer has no connection");
    if (clientClosed_)
        return false;
    if (waitMs > 0 && !WaitReadable(conn_, waitMs))
        return true;
    if (!ReadAvailable(conn_, unread_))
        clientClosed_ = true;
    return !clientClosed_;
}

void Peer::ExpectBytes(const std::string& expected)
{
    PollUntil([&] {
        Drain(0);
        ExpectPrefix(unread_, expected, "the peer");
        return unread_.size() >= expected.size() || clientClosed_;
    });
    if (unread_.size() < expected.size())
        Fail("the peer received only " + std::to_string(unread_.size()) + " of " +
             std::to_string(expected.size()) + " expected bytes" +
             (clientClosed_ ? " before the client closed" : "") + ": " +
             Difference(expected, unread_));
    unread_.erase(0, expected.size());
}

void Peer::ExpectNothing()
{
    if (conn_ == INVALID_SOCKET)
        return;
    Drain(0);
    if (!unread_.empty())
        Fail("the peer received bytes nobody expected: " + Printable(unread_));
}

void Peer::ExpectClosed()
{
    bool closed = PollUntil([&] {
        Drain(0);
        return clientClosed_ || !unread_.empty();
    });
    if (!unread_.empty())
        Fail("the peer received bytes nobody expected: " + Printable(unread_));
    if (!closed)
        Fail("the client did not close its connection within " + std::to_string(g_timeoutMs / 1000) +
             " s");
}

void Peer::Close()
{
    if (conn_ == INVALID_SOCKET)
        Fail("the peer has no connection");
    closesocket(conn_);
    conn_ = INVALID_SOCKET;
}

void Peer::Reset()
{
    if (conn_ == INVALID_SOCKET)
        Fail("the peer has no connection");
    linger hard{1, 0};
    setsockopt(conn_, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
    closesocket(conn_);
    conn_ = INVALID_SOCKET;
}

void Peer::ShutdownWrite()
{
    if (conn_ == INVALID_SOCKET)
        Fail("the peer has no connection");
    if (shutdown(conn_, SD_SEND) != 0)
        Fail(SocketError("shutdown"));
}

void Peer::StopListening()
{
    if (listener_ != INVALID_SOCKET)
        closesocket(listener_);
    listener_ = INVALID_SOCKET;
}

void Peer::Shutdown()
{
    if (conn_ != INVALID_SOCKET)
        closesocket(conn_);
    conn_ = INVALID_SOCKET;
    StopListening();
}

void Member::Connect(int port)
{
    if (socket_ != INVALID_SOCKET)
        Fail("the member is already connected");
    socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    SetNonBlocking(socket_);
    sockaddr_in address = Loopback(port);
    connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(socket_, &writable);
    FD_SET(socket_, &failed);
    timeval tv{static_cast<long>(g_timeoutMs / 1000), 0};
    if (select(0, nullptr, &writable, &failed, &tv) <= 0 || FD_ISSET(socket_, &failed))
        Fail("the member could not connect to 127.0.0.1:" + std::to_string(port));
    unread_.clear();
    closed_ = false;
}

void Member::Send(const std::string& bytes)
{
    if (socket_ == INVALID_SOCKET)
        Fail("the member is not connected");
    SendAll(socket_, bytes);
}

bool Member::Drain(DWORD waitMs)
{
    if (socket_ == INVALID_SOCKET)
        Fail("the member is not connected");
    if (closed_)
        return false;
    if (waitMs > 0 && !WaitReadable(socket_, waitMs))
        return true;
    std::string masked;
    if (!ReadAvailable(socket_, masked))
        closed_ = true;
    unread_ += Mask(masked);
    return !closed_;
}

void Member::ExpectUnmasked(const std::string& expected)
{
    PollUntil([&] {
        Drain(0);
        ExpectPrefix(unread_, expected, "the member");
        return unread_.size() >= expected.size() || closed_;
    });
    if (unread_.size() < expected.size())
        Fail("the member received only " + std::to_string(unread_.size()) + " of " +
             std::to_string(expected.size()) + " expected bytes: " + Difference(expected, unread_));
    unread_.erase(0, expected.size());
}

void Member::ExpectNothing()
{
    Drain(0);
    if (!unread_.empty())
        Fail("the member received bytes nobody expected: " + Printable(unread_));
}

void Member::ExpectClosed()
{
    bool closed = PollUntil([&] {
        Drain(0);
        return closed_ || !unread_.empty();
    });
    if (!unread_.empty())
        Fail("the member received bytes nobody expected: " + Printable(unread_));
    if (!closed)
        Fail("the server did not close the member's connection");
}

void Member::Close()
{
    if (socket_ != INVALID_SOCKET)
        closesocket(socket_);
    socket_ = INVALID_SOCKET;
}
