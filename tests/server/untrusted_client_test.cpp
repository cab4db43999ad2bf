#include "harness.h"

#include "wire_protocol.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <thread>

namespace velmora::test {
namespace {

const char kFull[] = "Server is full, please try again later.";

std::unique_ptr<Client> Join(const ServerProcess& server, const std::string& welcome, int receive_buffer = 0)
{
    auto client = std::make_unique<Client>(server.port(), receive_buffer);
    EXPECT_LINE(*client, welcome);
    return client;
}

TEST(UntrustedClientTest, ReaderThatNeverReadsIsCutOffAtItsCapWhileOthersGetEverythingInOrder)
{
    // Megabytes from one writer: no input budget, and no bound for all queues, so that only the
    // stalled reader's own cap is at work.
    ServerProcess server({"--max-queue", "65536", "--rate", "0", "--max-memory", "0"});
    ASSERT_TRUE(server.started());
    auto stalled = Join(server, "Welcome, guest-1! 0 others here.", 4096);
    auto reader = Join(server, "Welcome, guest-2! 1 other here.");
    auto writer = Join(server, "Welcome, guest-3! 2 others here.");
    EXPECT_LINE(*reader, "guest-3 joined");

    // The kernel buffers a few megabytes for the stalled client before the server has to queue.
    constexpr std::size_t kSendLimit = 64u << 20;
    constexpr std::size_t kSendAfterCut = 200 * 1000;
    constexpr std::size_t kChunk = 1000;
    const std::string cut_line = "guest-1 disconnected: more than 65536 bytes queued";
    const std::string left = "guest-1 left";

    std::string sent, got = reader->TakeBuffered(), payload;
    std::size_t sent_at_cut = 0, parsed = 0, lefts = 0;
    bool cut = false;
    // Every line is the writer's relay but one: the stalled client's leave notice, in its place.
    auto take_lines = [&] {
        for (std::size_t end; (end = got.find("\r\n", parsed)) != std::string::npos; parsed = end + 2) {
            if (got.compare(parsed, end - parsed, left) == 0)
                ++lefts;
            else if (got.compare(parsed, 9, "guest-3: ") == 0 && end > parsed + 9)
                payload.append(got, parsed + 9, end - parsed - 9);
            else
                return false;
        }
        return true;
    };
    const auto deadline = std::chrono::steady_clock::now() + 3 * kTimeout;
    char buffer[65536];
    auto sending = [&] { return sent.size() < kSendLimit && !(cut && sent.size() >= sent_at_cut + kSendAfterCut); };

    while (std::chrono::steady_clock::now() < deadline && (sending() || lefts == 0 || payload.size() < sent.size())) {
        pollfd p[2] = {{reader->fd(), POLLIN, 0}, {writer->fd(), static_cast<short>(sending() ? POLLOUT : 0), 0}};
        if (poll(p, 2, 100) < 0 && errno != EINTR)
            break;
        if (p[1].revents & POLLOUT) {
            std::string chunk(kChunk, '0');
            for (std::size_t i = 0; i < kChunk; ++i)
                chunk[i] = static_cast<char>('0' + (sent.size() + i) % 10);
            const ssize_t n = send(writer->fd(), chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0)
                sent.append(chunk, 0, static_cast<std::size_t>(n));
            if (!cut && sent.size() % (256 * 1000) < kChunk && server.Log().find(cut_line) != std::string::npos) {
                cut = true;
                sent_at_cut = sent.size();
            }
        }
        if (p[0].revents & POLLIN) {
            const ssize_t n = recv(reader->fd(), buffer, sizeof buffer, MSG_DONTWAIT);
            ASSERT_GT(n, 0) << "reader lost its connection";
            UnmaskChunk(buffer, static_cast<int>(n));
            got.append(buffer, static_cast<std::size_t>(n));
            ASSERT_TRUE(take_lines()) << "unexpected line: " << got.substr(parsed, 40);
        }
    }

    ASSERT_TRUE(cut) << "stalled client was never cut off after " << sent.size() << " bytes";
    EXPECT_EQ(lefts, 1u);
    ASSERT_EQ(payload.size(), sent.size());
    EXPECT_TRUE(payload == sent) << "payload differs from what was sent";
    EXPECT_NE(stalled->WaitClosed(), Closed::StillOpen);
}

TEST(UntrustedClientTest, ClientOverTheCapIsToldTheServerIsFullAndClosed)
{
    ServerProcess server({"--max-clients", "2"});
    ASSERT_TRUE(server.started());
    auto first = Join(server, "Welcome, guest-1! 0 others here.");
    auto second = Join(server, "Welcome, guest-2! 1 other here.");
    EXPECT_LINE(*first, "guest-2 joined");

    Client third(server.port());
    EXPECT_LINE(third, kFull);
    EXPECT_EQ(third.WaitClosed(), Closed::Eof);
    EXPECT_TRUE(server.WaitForLog("server full"));

    // The refused client left no trace for the members, and its place was never taken.
    first->Send("still here");
    EXPECT_LINE(*second, "guest-1: still here");
    second.reset();
    EXPECT_LINE(*first, "guest-2 left");
    auto fourth = Join(server, "Welcome, guest-3! 1 other here.");
}

TEST(UntrustedClientTest, ResetConnectionIsCleanedUpAndAnnounced)
{
    ServerProcess server;
    ASSERT_TRUE(server.started());
    auto first = Join(server, "Welcome, guest-1! 0 others here.");
    auto second = Join(server, "Welcome, guest-2! 1 other here.");
    EXPECT_LINE(*first, "guest-2 joined");

    second->Reset();
    EXPECT_LINE(*first, "guest-2 left");
    EXPECT_TRUE(server.WaitForLog("guest-2 dropped"));
    auto third = Join(server, "Welcome, guest-3! 1 other here.");
}

TEST(UntrustedClientTest, ResetWhileDataIsQueuedForItHarmsNoOne)
{
    // 300 kB from one member, well past its input budget.
    ServerProcess server({"--rate", "0"});
    ASSERT_TRUE(server.started());
    auto sender = Join(server, "Welcome, guest-1! 0 others here.");
    auto reader = Join(server, "Welcome, guest-2! 1 other here.");
    auto stalled = Join(server, "Welcome, guest-3! 2 others here.", 4096);
    EXPECT_LINE(*reader, "guest-3 joined");

    const std::string data(300 * 1000, '7');
    const std::string prefix = "guest-1: ";
    Pump(*sender, data, *reader, [&](const std::string& got) { return StripPrefixes(got, prefix).size() >= data.size(); });
    stalled->Reset();
    EXPECT_LINE(*reader, "guest-3 left");

    // Writing to the reset peer must not have raised SIGPIPE or disturbed anyone else.
    sender->Send("after");
    EXPECT_LINE(*reader, "guest-1: after");
}

TEST(UntrustedClientTest, HalfCloseCountsAsLeaving)
{
    ServerProcess server;
    ASSERT_TRUE(server.started());
    auto first = Join(server, "Welcome, guest-1! 0 others here.");
    auto second = Join(server, "Welcome, guest-2! 1 other here.");
    EXPECT_LINE(*first, "guest-2 joined");

    second->ShutdownWrite();
    EXPECT_LINE(*first, "guest-2 left");
    EXPECT_EQ(second->WaitClosed(), Closed::Eof);
    auto third = Join(server, "Welcome, guest-3! 1 other here.");
}

// What `command` printed; empty if it could not run.
std::string Output(const std::string& command)
{
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            out.append(buffer, n);
        pclose(pipe);
    }
    return out;
}

// The server's end of each TCP connection to its port, as the kernel lists it, timers included.
std::string ServerSockets(int port)
{
    return Output("ss -tnoH state all '( sport = :" + std::to_string(port) + " )' 2>/dev/null");
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = kTimeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

TEST(UntrustedClientTest, AfterQuitNothingAMemberSendsIsTakenInAndItsConnectionEndsWithinTheBound)
{
    // Megabytes from one member fill the kernel's buffers toward the two that never read, so that
    // their queues cannot be sent when they leave.
    ServerProcess server({"--rate", "0", "--max-queue", "16M", "--max-memory", "0"});
    ASSERT_TRUE(server.started());
    auto ghost = Join(server, "Welcome, guest-1! 0 others here.", 4096);
    auto stalled = Join(server, "Welcome, guest-2! 1 other here.", 4096);
    auto talker = Join(server, "Welcome, guest-3! 2 others here.");
    auto observer = Join(server, "Welcome, guest-4! 3 others here.");
    EXPECT_LINE(*talker, "guest-4 joined");
    const std::string data(6 << 20, 'x');
    const std::string heard = Pump(*talker, data, *observer,
        [&](const std::string& got) { return StripPrefixes(got, "guest-3: ").size() >= data.size(); });
    ASSERT_EQ(StripPrefixes(heard, "guest-3: ").size(), data.size());

    ghost->Send("/quit bye");
    EXPECT_LINE(*observer, "guest-1 left (bye)");
    const auto quit_at = std::chrono::steady_clock::now();
    ghost->Send("ghost-after-quit");
    ghost->Send("/nick ghostly");
    talker->Send("sentinel");
    EXPECT_LINE(*observer, "guest-3: sentinel");

    // Its queue can never be sent, so the connection is reset at the bound rather than held.
    sockaddr_in local{};
    socklen_t length = sizeof local;
    getsockname(ghost->fd(), reinterpret_cast<sockaddr*>(&local), &length);
    const std::string ghost_port = ":" + std::to_string(ntohs(local.sin_port)) + " ";
    ASSERT_TRUE(WaitUntil([&] { return ServerSockets(server.port()).find(ghost_port) == std::string::npos; }))
        << ServerSockets(server.port());
    EXPECT_LT(std::chrono::steady_clock::now() - quit_at, 5s);
    EXPECT_EQ(ghost->WaitClosed(), Closed::Reset);
    EXPECT_TRUE(observer->Silent()) << "the room heard more of guest-1";

    // Peers that never read do not hold a stopping server either.
    const auto signalled = std::chrono::steady_clock::now();
    server.Signal(SIGTERM);
    const int status = server.WaitExit();
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, 5s);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_LINE(*observer, "Server is stopping, goodbye.");
    EXPECT_EQ(observer->WaitClosed(), Closed::Eof);
}

TEST(UntrustedClientTest, RefusalsAnAttackerCanRepeatAreSummarisedInTheLog)
{
    ServerProcess server({"--max-clients", "1"});
    ASSERT_TRUE(server.started());
    auto member = Join(server, "Welcome, guest-1! 0 others here.");
    for (int i = 0; i < 40; ++i) {
        Client refused(server.port());
        EXPECT_LINE(refused, kFull);
    }
    EXPECT_EQ(server.CountInLog("server full"), 1u) << server.Log();
    server.Signal(SIGTERM);
    ASSERT_NE(server.WaitExit(), -1);
    EXPECT_EQ(server.CountInLog("lately, 39 more connections rejected: server full"), 1u) << server.Log();
}

TEST(UntrustedClientTest, MemberTextInTheLogIsCleanedAndCutToALine)
{
    ServerProcess server;
    ASSERT_TRUE(server.started());
    auto member = Join(server, "Welcome, guest-1! 0 others here.");
    member->Send("/quit \x1b[2Jowned\r\nforged line " + std::string(3000, 'r'));
    EXPECT_LINE(*member, "Goodbye, guest-1!");
    ASSERT_TRUE(server.WaitForLog("guest-1 quit"));
    const std::string log = server.Log();
    const std::size_t at = log.find("guest-1 quit: ");
    ASSERT_NE(at, std::string::npos) << log;
    const std::string line = log.substr(at, log.find('\n', at) - at);
    EXPECT_EQ(line.find('\x1b'), std::string::npos);
    EXPECT_NE(line.find(" [2Jowned  forged line"), std::string::npos) << line;
    EXPECT_LE(line.size(), 256u);
}

TEST(UntrustedClientTest, IdleMembersAreWatchedForAPeerThatVanished)
{
    ServerProcess server({"--dead-peer-timeout", "120"});
    ASSERT_TRUE(server.started());
    auto member = Join(server, "Welcome, guest-1! 0 others here.");
    // Probes start after half the timeout when nothing else is going on.
    const std::string sockets = ServerSockets(server.port());
    EXPECT_NE(sockets.find("timer:(keepalive,"), std::string::npos) << sockets;
    EXPECT_EQ(sockets.find("timer:(keepalive,1m"), std::string::npos) << sockets;
}

// A host of its own behind a virtual cable, so that a peer can vanish without a word: nothing it
// sends or answers reaches the server once its end of the cable is down.
class VanishingHost {
public:
    VanishingHost()
    {
        const std::string tag = std::to_string(getpid() % 100000);
        name_ = "velmora" + tag;
        host_link_ = "vmh" + tag;
        const std::string subnet = "10.231." + std::to_string(getpid() % 250) + ".";
        host_address_ = subnet + "1";
        guest_address_ = subnet + "2";
        ready_ = Run("ip netns add " + name_) && Run("ip link add " + host_link_ + " type veth peer name vmn" + tag
                         + " netns " + name_)
            && Run("ip addr add " + host_address_ + "/30 dev " + host_link_) && Run("ip link set " + host_link_ + " up")
            && Run("ip -n " + name_ + " addr add " + guest_address_ + "/30 dev vmn" + tag)
            && Run("ip -n " + name_ + " link set vmn" + tag + " up");
        guest_link_ = "vmn" + tag;
    }
    ~VanishingHost()
    {
        Run("ip link del " + host_link_ + " 2>/dev/null");
        Run("ip netns del " + name_ + " 2>/dev/null");
    }

    bool ready() const { return ready_; }
    const std::string& server_address() const { return host_address_; }

    // A TCP connection made from inside the host.
    int Connect(int port) const
    {
        return std::async(std::launch::async, [&] {
            const int ns = open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
            if (ns < 0 || setns(ns, CLONE_NEWNET) != 0)
                return -1;
            close(ns);
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(static_cast<uint16_t>(port));
            inet_pton(AF_INET, host_address_.c_str(), &address.sin_addr);
            return connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ? fd : -1;
        }).get();
    }
    bool Vanish() const { return Run("ip -n " + name_ + " link set " + guest_link_ + " down"); }
    bool Return() const { return Run("ip -n " + name_ + " link set " + guest_link_ + " up"); }

private:
    static bool Run(const std::string& command) { return std::system(command.c_str()) == 0; }

    std::string name_, host_link_, guest_link_, host_address_, guest_address_;
    bool ready_ = false;
};

TEST(UntrustedClientTest, PeerThatVanishesIsLetGoWhetherIdleOrOwedData)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "making a network namespace needs root";
    VanishingHost host;
    ASSERT_TRUE(host.ready());
    ServerProcess server({"--bind", "0.0.0.0", "--dead-peer-timeout", "3"});
    ASSERT_TRUE(server.started());

    for (const bool owed_data : {false, true}) {
        const int fd = host.Connect(server.port());
        ASSERT_GE(fd, 0) << std::strerror(errno);
        Client vanishing(Client::Connected{fd});
        const std::string greeting = vanishing.ReadLine();
        ASSERT_EQ(greeting.rfind("Welcome, guest-", 0), 0u) << greeting;
        const std::string name = greeting.substr(9, greeting.find('!') - 9);
        // Idle means all it was sent is acknowledged: the keepalive timer runs, not a retransmit.
        ASSERT_TRUE(WaitUntil([&] { return ServerSockets(server.port()).find("timer:(keepalive,") != std::string::npos; }))
            << ServerSockets(server.port());
        ASSERT_TRUE(host.Vanish());
        const auto vanished = std::chrono::steady_clock::now();
        // A newcomer's join notice is data the vanished peer never acknowledges; keepalive never
        // fires then, the bound on unacknowledged data does.
        std::unique_ptr<Client> newcomer;
        if (owed_data)
            newcomer = std::make_unique<Client>(server.port());
        EXPECT_TRUE(server.WaitForLog(name + " dropped: Connection timed out", 15s)) << server.Log();
        EXPECT_LT(std::chrono::steady_clock::now() - vanished, 10s);
        ASSERT_TRUE(host.Return());
    }
}

} // namespace
} // namespace velmora::test
