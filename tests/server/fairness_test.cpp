// No member can wreck the room: the input budget, the cap per address, the bound on all queues,
// the batched account of a mass leave, and the statistics the operator sees.
#include "harness.h"

#include "wire_protocol.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <regex>
#include <set>
#include <thread>

namespace velmora::test {
namespace {

constexpr double kDefaultRate = 1024;
constexpr double kDefaultBurst = 8192;

std::unique_ptr<Client> Join(const ServerProcess& server, int guest, int others, int receive_buffer = 0)
{
    auto client = std::make_unique<Client>(server.port(), receive_buffer);
    EXPECT_LINE(*client, "Welcome, guest-" + std::to_string(guest) + "! " + std::to_string(others)
        + (others == 1 ? " other" : " others") + " here.");
    return client;
}

std::size_t Count(const std::string& text, const std::string& needle)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++count;
    return count;
}

TEST(FairnessTest, FlooderIsSlowedNotCutAndLosesNothingWhileOthersAreHeardAtOnce)
{
    ServerProcess server({"--rate", "32768", "--burst", "8192"});
    ASSERT_TRUE(server.started());
    auto flooder = Join(server, 1, 0);
    auto polite = Join(server, 2, 1);
    auto reader = Join(server, 3, 2);
    EXPECT_LINE(*flooder, "guest-2 joined");
    EXPECT_LINE(*flooder, "guest-3 joined");
    EXPECT_LINE(*polite, "guest-3 joined");

    std::string flood(96 * 1024, '0');
    for (std::size_t i = 0; i < flood.size(); ++i)
        flood[i] = static_cast<char>('0' + i % 10);
    std::string_view unsent = flood;
    std::string payload;
    std::size_t polite_heard_at = std::string::npos;
    const auto started = std::chrono::steady_clock::now();
    const auto deadline = started + 3 * kTimeout;
    bool polite_sent = false;
    while (payload.size() < flood.size() && std::chrono::steady_clock::now() < deadline) {
        pollfd p[2] = {{reader->fd(), POLLIN, 0}, {flooder->fd(), static_cast<short>(unsent.empty() ? 0 : POLLOUT), 0}};
        if (poll(p, 2, 50) < 0 && errno != EINTR)
            break;
        if (p[1].revents & POLLOUT) {
            const ssize_t n = send(flooder->fd(), unsent.data(), std::min<std::size_t>(unsent.size(), 4096),
                MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0)
                unsent.remove_prefix(static_cast<std::size_t>(n));
        }
        // Once the flooder is past its budget, the polite member speaks.
        if (!polite_sent && server.Log().find("guest-1 throttled") != std::string::npos) {
            polite->Send("hello, everyone");
            polite_sent = true;
        }
        if (p[0].revents & POLLIN) {
            do {
                const std::string line = reader->ReadLine();
                if (line == "guest-2: hello, everyone")
                    polite_heard_at = payload.size();
                else if (line.compare(0, 9, "guest-1: ") == 0)
                    payload += line.substr(9);
                else
                    FAIL() << "unexpected line: " << line.substr(0, 60);
            } while (!reader->Silent(0ms));
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    ASSERT_EQ(payload.size(), flood.size());
    EXPECT_TRUE(payload == flood) << "the flood arrived changed or out of order";
    ASSERT_TRUE(polite_sent) << "the flooder was never throttled";
    // Heard while the flood was still held back, not behind it.
    EXPECT_LT(polite_heard_at, flood.size() / 2);
    // 96 KiB at 32 KiB a second after an 8 KiB burst cannot pass in less than about 2.5 s.
    EXPECT_GT(seconds, 2.0);
    EXPECT_EQ(Count(server.Log(), "guest-1 throttled"), 1u) << "one line per episode";
    EXPECT_EQ(Count(server.Log(), "disconnected"), 0u) << server.Log();
}

TEST(FairnessTest, DefaultsLeaveAPersonPastingAFewLinesUntouched)
{
    ServerProcess server;
    ASSERT_TRUE(server.started());
    auto sender = Join(server, 1, 0);
    auto reader = Join(server, 2, 1);
    const std::string line(255, 'p');
    for (int i = 0; i < 5; ++i)
        sender->Send(line);
    std::string payload;
    while (payload.size() < 5 * line.size()) {
        const std::string got = reader->ReadLine(2s);
        ASSERT_EQ(got.compare(0, 9, "guest-1: "), 0) << got;
        payload += got.substr(9);
    }
    EXPECT_EQ(payload, std::string(5 * 255, 'p'));
    EXPECT_EQ(server.Log().find("throttled"), std::string::npos);
}

TEST(FairnessTest, ConnectionsOverThePerAddressCapAreToldWhyAndClosed)
{
    ServerProcess server({"--max-per-address", "2", "--limit-loopback"});
    ASSERT_TRUE(server.started());
    auto first = Join(server, 1, 0);
    auto second = Join(server, 2, 1);
    Client third(server.port());
    EXPECT_LINE(third, "Too many connections from your address (2), please try again later.");
    EXPECT_EQ(third.WaitClosed(), Closed::Eof);
    EXPECT_TRUE(server.WaitForLog("rejected 127.0.0.1: 2 members from that address"));

    // A place that is given back can be taken again.
    second.reset();
    EXPECT_LINE(*first, "guest-2 joined");
    EXPECT_LINE(*first, "guest-2 left");
    auto fourth = Join(server, 3, 1);
}

TEST(FairnessTest, LoopbackIsExemptFromThePerAddressCapByDefault)
{
    ServerProcess server({"--max-per-address", "1"});
    ASSERT_TRUE(server.started());
    auto first = Join(server, 1, 0);
    auto second = Join(server, 2, 1);
    auto third = Join(server, 3, 2);
}

TEST(FairnessTest, StatisticsLineCountsWhatHappened)
{
    ServerProcess server({"--stats-interval", "1"});
    ASSERT_TRUE(server.started());
    auto sender = Join(server, 1, 0);
    auto reader = Join(server, 2, 1);
    sender->Send("hello");
    EXPECT_LINE(*reader, "guest-1: hello");

    ASSERT_TRUE(server.WaitForLog("stats: 2 members; in 1 message, 5 bytes; out ", 5s)) << server.Log();
    EXPECT_TRUE(std::regex_search(server.Log(), std::regex("0 throttled, 0 cut at the queue cap, 0 cut for memory, "
                                                           "0 accept pauses; queues hold [0-9,]+ bytes")))
        << server.Log();
}

TEST(FairnessTest, MassLeaveIsToldInAFewLinesThatAccountForEveryone)
{
    ServerProcess server;
    ASSERT_TRUE(server.started());
    auto stayer = Join(server, 1, 0);
    constexpr int kLeaving = 300;
    std::vector<std::unique_ptr<Client>> leaving;
    for (int i = 0; i < kLeaving; ++i)
        leaving.push_back(std::make_unique<Client>(server.port()));
    std::set<std::string> expected;
    for (int g = 2; g <= kLeaving + 1; ++g) {
        expected.insert("guest-" + std::to_string(g));
        EXPECT_LINE(*stayer, "guest-" + std::to_string(g) + " joined");
    }
    for (auto& client : leaving)
        EXPECT_NE(client->ReadLine(), "") << "greeting";
    leaving.clear();

    const std::regex summary("(.*) and ([0-9,]+) others left");
    std::size_t accounted = 0, lines = 0;
    while (accounted < kLeaving) {
        const std::string line = stayer->ReadLine();
        ++lines;
        std::smatch match;
        std::string named = line;
        if (std::regex_match(line, match, summary)) {
            std::string count = match[2];
            count.erase(std::remove(count.begin(), count.end(), ','), count.end());
            accounted += std::stoul(count);
            named = match[1];
        } else {
            ASSERT_EQ(line.size() > 5 ? line.substr(line.size() - 5) : line, " left") << line;
            named = line.substr(0, line.size() - 5);
            // "a, b and c left": every name of a batch that fits.
            const std::size_t last = named.rfind(" and ");
            if (last != std::string::npos)
                named.replace(last, 5, ", ");
        }
        for (std::size_t at = 0; at <= named.size();) {
            const std::size_t comma = std::min(named.find(", ", at), named.size());
            EXPECT_EQ(expected.erase(named.substr(at, comma - at)), 1u) << "not one who left: " << line;
            ++accounted;
            at = comma + 2;
        }
    }
    EXPECT_EQ(accounted, static_cast<std::size_t>(kLeaving));
    EXPECT_LE(lines, 20u) << "a mass leave should take a few lines, not one per member";
    EXPECT_TRUE(stayer->Silent());
}

TEST(FairnessTest, BoundOnAllQueuesCutsTheMemberFurthestBehindAndSparesTheRest)
{
    // No input budget, so that one writer can fill the queues quickly; a per-member cap far above
    // the bound, so that only the bound can act.
    ServerProcess server({"--rate", "0", "--max-queue", "16M", "--max-memory", "256K"});
    ASSERT_TRUE(server.started());
    auto stalled = Join(server, 1, 0, 4096);
    auto reader = Join(server, 2, 1);
    auto writer = Join(server, 3, 2);
    EXPECT_LINE(*reader, "guest-3 joined");

    const std::string chunk(4000, '5');
    std::string payload;
    bool cut = false;
    std::size_t sent = 0;
    const auto deadline = std::chrono::steady_clock::now() + 3 * kTimeout;
    while (std::chrono::steady_clock::now() < deadline && (!cut || payload.size() < sent)) {
        if (!cut && sent < (64u << 20)) {
            writer->Send(chunk);
            sent += chunk.size();
            cut = server.Log().find("guest-1 disconnected: the server's queues passed") != std::string::npos;
        }
        while (!reader->Silent(std::chrono::milliseconds(cut ? 100 : 0))) {
            const std::string line = reader->ReadLine();
            if (line == "guest-1 left")
                continue;
            ASSERT_EQ(line.compare(0, 9, "guest-3: "), 0) << line;
            payload += line.substr(9);
        }
    }
    ASSERT_TRUE(cut) << "the stalled member was never cut after " << sent << " bytes";
    EXPECT_EQ(payload, std::string(sent, '5'));
    EXPECT_EQ(server.Log().find("guest-2 disconnected"), std::string::npos);
    EXPECT_NE(stalled->WaitClosed(), Closed::StillOpen);
}

// Bytes of relay text in `lines` from senders other than `except`.
std::size_t RelayedBytes(const std::string& lines, const std::string& except)
{
    std::size_t bytes = 0;
    for (const std::string& line : SplitLines(lines)) {
        const std::size_t colon = line.find(": ");
        if (colon != std::string::npos && line.compare(0, colon, except) != 0)
            bytes += line.size() - colon - 2;
    }
    return bytes;
}

TEST(FairnessTest, ReconnectingBuysNoFreshBudget)
{
    // Only the budget is at work: no limit on how often the address connects.
    ServerProcess server({"--limit-loopback", "--connect-rate", "0", "--max-per-address", "0"});
    ASSERT_TRUE(server.started());
    auto listener = Join(server, 1, 0);
    const auto started = std::chrono::steady_clock::now();
    const std::string text(4000, 'c');
    for (int round = 0; round < 150; ++round) {
        Client churn(server.port());
        churn.Send(text);
    }
    std::string heard;
    while (std::chrono::steady_clock::now() - started < 3s)
        heard += listener->ReadLine(200ms) + "\r\n";
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    // What the address may send: one burst, the rate since, and one read overdrawn.
    const double budget = kDefaultBurst + kDefaultRate * seconds + 4096;
    EXPECT_LE(RelayedBytes(heard, "guest-1"), budget) << "in " << seconds << " s";
    EXPECT_GE(RelayedBytes(heard, "guest-1"), 4000u);
}

TEST(FairnessTest, AnAddressThatConnectsTooOftenIsToldToWait)
{
    ServerProcess server({"--limit-loopback", "--connect-burst", "3", "--connect-rate", "2"});
    ASSERT_TRUE(server.started());
    std::vector<std::unique_ptr<Client>> members;
    for (int guest = 1; guest <= 3; ++guest)
        members.push_back(Join(server, guest, guest - 1));
    for (int attempt = 0; attempt < 20; ++attempt) {
        Client refused(server.port());
        EXPECT_LINE(refused, "Too many new connections from your address, please wait a few seconds.");
        EXPECT_EQ(refused.WaitClosed(), Closed::Eof);
    }
    EXPECT_EQ(server.CountInLog("connecting too often"), 1u) << server.Log();
    // The rate refills: half a second later one more may come in.
    std::unique_ptr<Client> later;
    for (int attempt = 0; attempt < 40 && !later; ++attempt) {
        std::this_thread::sleep_for(100ms);
        auto client = std::make_unique<Client>(server.port());
        if (client->ReadLine().rfind("Welcome, guest-4!", 0) == 0)
            later = std::move(client);
    }
    EXPECT_TRUE(later) << "the address was never let in again";
}

TEST(FairnessTest, TinyMessagesAreChargedLikeOrdinaryLines)
{
    ServerProcess server;
    ASSERT_TRUE(server.started());
    auto sender = Join(server, 1, 0);
    auto reader = Join(server, 2, 1);
    const auto started = std::chrono::steady_clock::now();
    std::string sent;
    // Spaced out so that each byte is a read of its own, as a script would send them.
    while (std::chrono::steady_clock::now() - started < 2s) {
        sender->Send("k");
        sent += 'k';
        std::this_thread::sleep_for(2ms);
    }
    std::size_t lines = 0;
    std::string payload;
    while (payload.size() < sent.size()) {
        const std::string line = reader->ReadLine();
        ASSERT_EQ(line.rfind("guest-1: ", 0), 0u) << line;
        payload += line.substr(9);
        ++lines;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_EQ(payload, sent) << "nothing is lost, only gathered";
    // 8,192 bytes at once and 1,024 a second, at 128 bytes a message.
    EXPECT_LE(lines, 64 + 8 * seconds + 8) << "lines for " << sent.size() << " one-byte messages in " << seconds << " s";
}

} // namespace
} // namespace velmora::test
