// Running a room, against the real server: the operator's commands through `velmora-server ctl`,
// bans that last, the metrics page read by Prometheus's own parser, and the control socket's bounds.
#include "harness.h"
#include "raw_socket.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace velmora::test {
namespace {

class OperatorTest : public ::testing::Test {
protected:
    void SetUp() override { Start(); }

    void Start(std::vector<std::string> extra = {})
    {
        extra.insert(extra.end(), {"--control", dir.Path("control"), "--state-dir", dir.path(), "--metrics", "127.0.0.1:0"});
        server = std::make_unique<ServerProcess>(extra);
        ASSERT_TRUE(server->started());
    }

    // `velmora-server ctl` with these words, as an operator types them.
    ExitResult Ctl(std::vector<std::string> words)
    {
        words.insert(words.begin(), {"ctl", "--control", dir.Path("control")});
        return RunServer(words);
    }

    std::unique_ptr<Client> Join(const std::string& name, const std::string& from = "127.0.0.1")
    {
        auto client = std::make_unique<Client>(server->port(), from);
        const std::string greeting = client->ReadLine();
        EXPECT_EQ(greeting.rfind("Welcome, " + name + "!", 0), 0u) << greeting;
        return client;
    }

    ScratchDir dir;
    std::unique_ptr<ServerProcess> server;
};

void ExpectDone(const ExitResult& result, const std::string& says)
{
    EXPECT_TRUE(WIFEXITED(result.status) && WEXITSTATUS(result.status) == 0) << result.status << " " << result.err;
    EXPECT_NE(result.out.find(says), std::string::npos) << result.out;
}

void ExpectRefused(const ExitResult& result, const std::string& says)
{
    EXPECT_TRUE(WIFEXITED(result.status) && WEXITSTATUS(result.status) == 1) << result.status << " " << result.out;
    EXPECT_NE(result.err.find(says), std::string::npos) << result.err;
}

TEST_F(OperatorTest, KickTellsTheMemberAndTheRoomWhyAndClosesInOrder)
{
    auto alice = Join("guest-1");
    auto bob = Join("guest-2");
    EXPECT_LINE(*alice, "guest-2 joined");
    ExpectDone(Ctl({"who"}), "guest-1  127.0.0.1:");
    ExpectDone(Ctl({"kick", "guest-1", "flooding", "the", "room"}), "removed guest-1 (flooding the room)");
    EXPECT_LINE(*alice, "You were removed from the room by its operator (flooding the room).");
    EXPECT_EQ(alice->WaitClosed(), Closed::Eof);
    EXPECT_LINE(*bob, "guest-1 was removed (flooding the room)");
    ExpectRefused(Ctl({"kick", "nobody"}), "no member is named nobody");
    ExpectRefused(Ctl({"dance"}), "not a command");
}

TEST_F(OperatorTest, BanRemovesItsMembersAtOnceAndTurnsNewcomersAwayUntilLifted)
{
    auto observer = Join("guest-1");
    std::vector<std::unique_ptr<Client>> banned;
    for (int i = 0; i < 8; ++i)
        banned.push_back(Join("guest-" + std::to_string(2 + i), "127.0.0.2"));
    while (!observer->Silent())
        observer->ReadLine();

    // A broad ban never covers loopback; one that names it does.
    ExpectDone(Ctl({"ban", "0.0.0.0/0", "everyone"}), "removed 0 members");
    ExpectDone(Ctl({"unban", "0.0.0.0/0"}), "lifted");
    ExpectDone(Ctl({"ban", "127.0.0.2", "--for", "1h", "spam"}), "removed 8 members");
    for (auto& member : banned) {
        std::string line = member->ReadLine();
        while (line.size() > 7 && line.compare(line.size() - 7, 7, " joined") == 0)
            line = member->ReadLine();
        EXPECT_EQ(line, "Your address was banned from the room (spam).");
        EXPECT_EQ(member->WaitClosed(), Closed::Eof);
    }
    EXPECT_LINE(*observer, "guest-2, guest-3, guest-4, guest-5, guest-6, guest-7, guest-8 and guest-9 were removed (spam)");
    EXPECT_TRUE(observer->Silent()) << "eight removals in one line";

    Client newcomer(server->port(), "127.0.0.2");
    EXPECT_LINE(newcomer, "Your address is banned from this room (spam).");
    EXPECT_EQ(newcomer.WaitClosed(), Closed::Eof);
    EXPECT_TRUE(server->WaitForLog("rejected 127.0.0.2: banned"));
    ExpectDone(Ctl({"bans"}), "127.0.0.2  ");
    ExpectDone(Ctl({"unban", "127.0.0.2"}), "lifted the ban on 127.0.0.2");
    Join("guest-10", "127.0.0.2");
    ExpectRefused(Ctl({"ban", "192.0.2.7/24"}), "did you mean 192.0.2.0/24");
}

TEST_F(OperatorTest, MuteSilencesTextAndActionsButNotCommandsUntilItEnds)
{
    auto alice = Join("guest-1");
    auto bob = Join("guest-2");
    EXPECT_LINE(*alice, "guest-2 joined");
    ExpectDone(Ctl({"mute", "guest-1", "--for", "3s"}), "muted guest-1 for 3 s");
    const auto muted_at = std::chrono::steady_clock::now();
    // Each send waits for an answer first: two sends back to back may arrive as one message.
    alice->Send("/me shouts");
    EXPECT_EQ(alice->ReadLine().rfind("You are muted for ", 0), 0u);
    alice->Send("/nick alice");
    EXPECT_LINE(*alice, "guest-1 is now known as alice");
    EXPECT_LINE(*bob, "guest-1 is now known as alice");
    alice->Send("still muted after a rename");
    EXPECT_TRUE(bob->Silent()) << "heard by no one";
    EXPECT_TRUE(alice->Silent()) << "told once";
    ExpectDone(Ctl({"who"}), "yes    this");

    std::this_thread::sleep_until(muted_at + 3100ms);
    alice->Send("back");
    EXPECT_LINE(*bob, "alice: back");
    ExpectDone(Ctl({"mute", "alice"}), "muted alice");
    ExpectDone(Ctl({"unmute", "alice"}), "alice may speak again");
    EXPECT_LINE(*alice, "You may speak again.");
}

TEST_F(OperatorTest, SayReachesEveryoneUnderANameNoMemberMayTake)
{
    auto alice = Join("guest-1");
    auto bob = Join("guest-2");
    EXPECT_LINE(*alice, "guest-2 joined");
    ExpectDone(Ctl({"say", "back", "at", "noon"}), "* server: back at noon");
    EXPECT_LINE(*alice, "* server: back at noon");
    EXPECT_LINE(*bob, "* server: back at noon");
    alice->Send("/nick Server");
    EXPECT_LINE(*alice, "The name server is kept for the server's own notices.");
}

TEST_F(OperatorTest, BansSurviveARestartAndADamagedFileIsNeverAnEmptyList)
{
    ExpectDone(Ctl({"ban", "127.0.0.3", "squatting"}), "banned 127.0.0.3");
    server->Signal(SIGTERM);
    ASSERT_EQ(server->WaitExit(), 0);
    Start();
    Client turned_away(server->port(), "127.0.0.3");
    EXPECT_LINE(turned_away, "Your address is banned from this room (squatting).");

    // Damaged under a running server, the file keeps the bans in force.
    std::ofstream(dir.Path("bans.json")) << "{\"version\": 1, \"bans\": [{\"range\": \"127.0.0.3\"";
    ExpectRefused(Ctl({"reload"}), "the bans in force are kept");
    ExpectDone(Ctl({"bans"}), "127.0.0.3");
    server->Signal(SIGTERM);
    ASSERT_EQ(server->WaitExit(), 0);
    // Damaged at start, it is an error that a restart in a loop cannot mend.
    const ExitResult start = RunServer({"--port", "0", "--bind", "127.0.0.1", "--state-dir", dir.path()});
    EXPECT_TRUE(WIFEXITED(start.status) && WEXITSTATUS(start.status) == 2) << start.status;
    EXPECT_NE(start.err.find("is damaged"), std::string::npos) << start.err;
}

TEST_F(OperatorTest, ReloadAndHangupReadTheMessageOfTheDayAndTheBansAgain)
{
    std::ofstream(dir.Path("motd.txt")) << "first words\n";
    server->Signal(SIGTERM);
    ASSERT_EQ(server->WaitExit(), 0);
    Start({"--motd", dir.Path("motd.txt")});
    auto alice = Join("guest-1");
    EXPECT_LINE(*alice, "first words");

    std::ofstream(dir.Path("motd.txt")) << "second words\n";
    std::ofstream(dir.Path("bans.json")) << R"({"version": 1, "bans": [{"range": "127.0.0.4", "since": )"
                                         << R"("2026-01-01T00:00:00Z", "until": null, "reason": "by hand"}]})";
    ExpectDone(Ctl({"reload"}), "read 1 bans");
    Client newcomer(server->port());
    EXPECT_EQ(newcomer.ReadLine().rfind("Welcome, guest-2!", 0), 0u);
    EXPECT_LINE(newcomer, "second words");
    Client banned(server->port(), "127.0.0.4");
    EXPECT_LINE(banned, "Your address is banned from this room (by hand).");

    std::ofstream(dir.Path("motd.txt")) << "third words\n";
    server->Signal(SIGHUP);
    // The reload before logged the same count; a newcomer is taken in only after the hangup's handler.
    ASSERT_TRUE(server->WaitForLog("hangup: reading the message of the day"));
    Client later(server->port());
    later.ReadLine();
    EXPECT_LINE(later, "third words");
}

TEST_F(OperatorTest, MetricsCountKnownTrafficInPrometheusFormat)
{
    auto alice = Join("guest-1");
    auto bob = Join("guest-2");
    for (const char* text : {"one", "two", "three"}) {
        alice->Send(text);
        EXPECT_LINE(*bob, std::string("guest-1: ") + text);
    }
    ExpectDone(Ctl({"ban", "127.0.0.5"}), "banned");
    Client refused(server->port(), "127.0.0.5");
    refused.ReadLine();

    ASSERT_TRUE(server->WaitForLog("/metrics"));
    const std::string log = server->Log();
    const std::size_t at = log.find("metrics on http://");
    const std::string url = log.substr(at + 11, log.find('\n', at) - at - 11);
    const ExitResult page = RunProgram({VELMORA_PYTHON, VELMORA_PARSE_METRICS, url});
    ASSERT_EQ(page.status, 0) << page.err;
    for (const char* sample : {"velmora_members 2.0", "velmora_messages_in_total 3.0", "velmora_bans 1.0",
             "velmora_connections_rejected_total{reason=\"banned\"} 1.0", "velmora_build_info{version=\"" VELMORA_VERSION
                                                                         "\"} 1.0"})
        EXPECT_NE(page.out.find(sample), std::string::npos) << sample << " in\n" << page.out;
}

TEST_F(OperatorTest, ControlSocketDropsOversizedAndSilentRequests)
{
    RawSocket oversized = RawSocket::Unix(dir.Path("control"));
    ASSERT_GE(oversized.fd(), 0) << oversized.error();
    oversized.Send(std::string(8192, '['));
    const auto refused = oversized.ReadUntilClosed(kTimeout);
    EXPECT_TRUE(refused.ended);
    EXPECT_NE(refused.bytes.find("\"ok\":false"), std::string::npos) << refused.bytes;

    RawSocket silent = RawSocket::Unix(dir.Path("control"));
    const auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(silent.ReadUntilClosed(kTimeout).ended);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    ExpectDone(Ctl({"who"}), "0 members on this server");
}

} // namespace
} // namespace velmora::test
