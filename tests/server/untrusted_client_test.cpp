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

} // namespace
} // namespace velmora::test
