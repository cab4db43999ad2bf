#include "harness.h"

#include "wire_protocol.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <memory>

namespace velmora::test {
namespace {

const char kFull[] = "Server is full, please try again later.";

std::unique_ptr<Client> Join(const ServerProcess& server, const std::string& welcome, int receive_buffer = 0)
{
    auto client = std::make_unique<Client>(server.port(), receive_buffer);
    EXPECT_EQ(client->Expect(welcome), welcome);
    return client;
}

TEST(UntrustedClientTest, ReaderThatNeverReadsIsCutOffAtItsCapWhileOthersGetEverythingInOrder)
{
    ServerProcess server({"--max-queue", "65536"});
    ASSERT_TRUE(server.started());
    auto stalled = Join(server, "Welcome, guest-1! 0 others here.", 4096);
    auto reader = Join(server, "Welcome, guest-2! 1 other here.");
    auto writer = Join(server, "Welcome, guest-3! 2 others here.");
    ASSERT_EQ(reader->Expect("guest-3 joined"), "guest-3 joined");

    // The kernel buffers a few megabytes for the stalled client before the server has to queue.
    constexpr std::size_t kSendLimit = 64u << 20;
    constexpr std::size_t kSendAfterCut = 200 * 1000;
    constexpr std::size_t kChunk = 1000;
    const std::string cut_line = "guest-1 disconnected: more than 65536 bytes queued";
    const std::string left = "guest-1 left";

    std::string sent, got;
    std::size_t g_count = 0, sent_at_cut = 0, left_at = std::string::npos;
    bool cut = false;
    const auto deadline = std::chrono::steady_clock::now() + 3 * kTimeout;
    char buffer[65536];
    auto sending = [&] { return sent.size() < kSendLimit && !(cut && sent.size() >= sent_at_cut + kSendAfterCut); };
    // Digits carry no 'g', so every 'g' starts "guest-3: " or the one "guest-1 left".
    auto all_arrived = [&] {
        return got.size() == sent.size() + 9 * g_count + (left_at == std::string::npos ? 0 : left.size() - 9);
    };

    while (std::chrono::steady_clock::now() < deadline && (sending() || !all_arrived())) {
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
            const std::size_t old_size = got.size();
            got.append(buffer, static_cast<std::size_t>(n));
            g_count += static_cast<std::size_t>(std::count(buffer, buffer + n, 'g'));
            if (left_at == std::string::npos)
                left_at = got.find(left, old_size >= left.size() ? old_size - left.size() : 0);
        }
    }

    ASSERT_TRUE(cut) << "stalled client was never cut off after " << sent.size() << " bytes";
    EXPECT_TRUE(server.Log().find(cut_line) != std::string::npos);
    ASSERT_NE(left_at, std::string::npos) << "the others were not told the stalled client left";

    std::string payload;
    std::size_t lefts = 0;
    std::size_t at = 0;
    while (at < got.size()) {
        ASSERT_EQ(got.compare(at, 6, "guest-"), 0) << "unexpected bytes at " << at;
        std::size_t next = got.find('g', at + 1);
        if (next == std::string::npos)
            next = got.size();
        const std::string piece = got.substr(at, next - at);
        if (piece == left)
            ++lefts;
        else if (piece.compare(0, 9, "guest-3: ") == 0 && piece.size() > 9)
            payload.append(piece, 9, std::string::npos);
        else
            FAIL() << "unexpected relay: " << piece.substr(0, 40);
        at = next;
    }
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
    EXPECT_EQ(first->Expect("guest-2 joined"), "guest-2 joined");

    Client third(server.port());
    EXPECT_EQ(third.Expect(kFull), kFull);
    EXPECT_EQ(third.WaitClosed(), Closed::Eof);
    EXPECT_TRUE(server.WaitForLog("server full"));

    // The refused client left no trace for the members, and its place was never taken.
    first->Send("still here");
    EXPECT_EQ(second->Expect("guest-1: still here"), "guest-1: still here");
    second.reset();
    EXPECT_EQ(first->Expect("guest-2 left"), "guest-2 left");
    auto fourth = Join(server, "Welcome, guest-3! 1 other here.");
}

TEST(UntrustedClientTest, ResetConnectionIsCleanedUpAndAnnounced)
{
    ServerProcess server;
    ASSERT_TRUE(server.started());
    auto first = Join(server, "Welcome, guest-1! 0 others here.");
    auto second = Join(server, "Welcome, guest-2! 1 other here.");
    EXPECT_EQ(first->Expect("guest-2 joined"), "guest-2 joined");

    second->Reset();
    EXPECT_EQ(first->Expect("guest-2 left"), "guest-2 left");
    EXPECT_TRUE(server.WaitForLog("guest-2 dropped"));
    auto third = Join(server, "Welcome, guest-3! 1 other here.");
}

TEST(UntrustedClientTest, ResetWhileDataIsQueuedForItHarmsNoOne)
{
    ServerProcess server;
    ASSERT_TRUE(server.started());
    auto sender = Join(server, "Welcome, guest-1! 0 others here.");
    auto reader = Join(server, "Welcome, guest-2! 1 other here.");
    auto stalled = Join(server, "Welcome, guest-3! 2 others here.", 4096);
    EXPECT_EQ(reader->Expect("guest-3 joined"), "guest-3 joined");

    const std::string data(300 * 1000, '7');
    const std::string prefix = "guest-1: ";
    Pump(*sender, data, *reader, [&](const std::string& got) { return StripPrefixes(got, prefix).size() >= data.size(); });
    stalled->Reset();
    EXPECT_EQ(reader->Expect("guest-3 left"), "guest-3 left");

    // Writing to the reset peer must not have raised SIGPIPE or disturbed anyone else.
    sender->Send("after");
    EXPECT_EQ(reader->Expect("guest-1: after"), "guest-1: after");
}

TEST(UntrustedClientTest, HalfCloseCountsAsLeaving)
{
    ServerProcess server;
    ASSERT_TRUE(server.started());
    auto first = Join(server, "Welcome, guest-1! 0 others here.");
    auto second = Join(server, "Welcome, guest-2! 1 other here.");
    EXPECT_EQ(first->Expect("guest-2 joined"), "guest-2 joined");

    second->ShutdownWrite();
    EXPECT_EQ(first->Expect("guest-2 left"), "guest-2 left");
    EXPECT_EQ(second->WaitClosed(), Closed::Eof);
    auto third = Join(server, "Welcome, guest-3! 1 other here.");
}

} // namespace
} // namespace velmora::test
