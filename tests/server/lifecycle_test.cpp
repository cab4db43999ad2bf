#include "harness.h"
#include "notify_socket.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <string>
#include <vector>

namespace velmora::test {
namespace {

class StopSignalTest : public ::testing::TestWithParam<int> {};

TEST_P(StopSignalTest, ClosesEveryClientAndExitsCleanly)
{
    ServerProcess server;
    ASSERT_TRUE(server.started());
    Client first(server.port());
    EXPECT_LINE(first, "Welcome, guest-1! 0 others here.");
    Client second(server.port());
    EXPECT_LINE(second, "Welcome, guest-2! 1 other here.");
    EXPECT_LINE(first, "guest-2 joined");

    server.Signal(GetParam());
    const int status = server.WaitExit();
    ASSERT_NE(status, -1) << "server still running";
    EXPECT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(first.WaitClosed(), Closed::Eof);
    EXPECT_EQ(second.WaitClosed(), Closed::Eof);
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignalTest, ::testing::Values(SIGTERM, SIGINT),
    [](const ::testing::TestParamInfo<int>& info) { return std::string(info.param == SIGTERM ? "Term" : "Int"); });

class BadArgumentTest : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(BadArgumentTest, ExitsWithStatusTwoAndSaysWhy)
{
    const ExitResult result = RunServer(GetParam());
    ASSERT_TRUE(WIFEXITED(result.status)) << "status " << result.status;
    EXPECT_EQ(WEXITSTATUS(result.status), 2);
    EXPECT_FALSE(result.err.empty());
    EXPECT_TRUE(result.out.empty()) << result.out;
}

INSTANTIATE_TEST_SUITE_P(Arguments, BadArgumentTest,
    ::testing::Values(std::vector<std::string>{"--port", "70000"}, std::vector<std::string>{"--port", "http"},
        std::vector<std::string>{"--port"}, std::vector<std::string>{"--bind", "999.1.1.1"},
        std::vector<std::string>{"--bind", "::1"}, std::vector<std::string>{"--max-queue", "10"},
        std::vector<std::string>{"--max-queue", "-5"}, std::vector<std::string>{"--max-clients", "0"},
        std::vector<std::string>{"--max-clients", "many"}, std::vector<std::string>{"--no-such-option"},
        std::vector<std::string>{"--max-memory", "100"}, std::vector<std::string>{"--rate", "lots"},
        std::vector<std::string>{"--motd", "/nonexistent/motd.txt"}, std::vector<std::string>{"--motd", "/"},
        std::vector<std::string>{"stray"}));

TEST(CommandLineTest, HelpDescribesTheOptionsAndExitsZero)
{
    const ExitResult result = RunServer({"--help"});
    ASSERT_TRUE(WIFEXITED(result.status));
    EXPECT_EQ(WEXITSTATUS(result.status), 0);
    for (const char* option : {"--port", "--bind", "--max-queue", "--max-clients", "--rate", "--burst",
             "--max-per-address", "--limit-loopback", "--max-memory", "--stats-interval", "--motd", "--version"})
        EXPECT_NE(result.out.find(option), std::string::npos) << option;
}

TEST(CommandLineTest, VersionIsPrintedAndExitsZero)
{
    const ExitResult result = RunServer({"--version"});
    ASSERT_TRUE(WIFEXITED(result.status));
    EXPECT_EQ(WEXITSTATUS(result.status), 0);
    EXPECT_EQ(result.out, "velmora-server " VELMORA_VERSION "\n");
}

TEST(CommandLineTest, PortAlreadyTakenIsReportedAsFailure)
{
    ServerProcess first;
    ASSERT_TRUE(first.started());
    const ExitResult result = RunServer({"--bind", "127.0.0.1", "--port", std::to_string(first.port())});
    ASSERT_TRUE(WIFEXITED(result.status));
    EXPECT_EQ(WEXITSTATUS(result.status), 1);
    EXPECT_NE(result.err.find("cannot listen"), std::string::npos) << result.err;
}

TEST(CommandLineTest, EventsAreLoggedWithATimestamp)
{
    ServerProcess server;
    ASSERT_TRUE(server.started());
    {
        Client client(server.port());
        EXPECT_LINE(client, "Welcome, guest-1! 0 others here.");
    }
    ASSERT_TRUE(server.WaitForLog("guest-1 left"));
    const std::string log = server.Log();
    const std::size_t line = log.find("guest-1 connected from 127.0.0.1:");
    ASSERT_NE(line, std::string::npos) << log;
    const std::size_t start = log.rfind('\n', line) == std::string::npos ? 0 : log.rfind('\n', line) + 1;
    // An ISO 8601 UTC time such as 2025-01-31T12:00:00.000Z comes first.
    const std::string stamp = log.substr(start, line - start);
    ASSERT_EQ(stamp.size(), 25u) << stamp;
    EXPECT_EQ(stamp[4], '-');
    EXPECT_EQ(stamp[10], 'T');
    EXPECT_EQ(stamp[23], 'Z');
}

// Run by systemd as a Type=notify service, the server says what it is doing through NOTIFY_SOCKET.

TEST(ServiceNotifyTest, ReadyOnlyOnceThePortTakesConnections)
{
    NotifySocket notify;
    ASSERT_TRUE(notify.Hold());
    ServerProcess server({}, {notify.Variable()});
    ASSERT_TRUE(server.started());
    // Held in its first message to systemd, the server takes connections already.
    Client early(server.port());

    ASSERT_TRUE(notify.WaitFor("READY=1")) << notify.Received();
    EXPECT_EQ(notify.Newest("STATUS"), "Serving on 127.0.0.1:" + std::to_string(server.port()));
    Client right_after(server.port());
    EXPECT_LINE(early, "Welcome, guest-1! 0 others here.");
    EXPECT_LINE(right_after, "Welcome, guest-2! 1 other here.");
}

TEST(ServiceNotifyTest, NeverReadyWhenThePortIsTaken)
{
    ServerProcess first;
    ASSERT_TRUE(first.started());
    NotifySocket notify;
    const ExitResult result
        = RunServer({"--bind", "127.0.0.1", "--port", std::to_string(first.port())}, kTimeout, {notify.Variable()});
    ASSERT_TRUE(WIFEXITED(result.status));
    EXPECT_EQ(WEXITSTATUS(result.status), 1);
    EXPECT_EQ(notify.Count("READY=1"), 0u) << notify.Received();
}

TEST(ServiceNotifyTest, FeedsTheWatchdogTwiceInTheIntervalSystemdAsksFor)
{
    NotifySocket notify;
    ServerProcess server({}, {notify.Variable(), "WATCHDOG_USEC=1000000"});
    ASSERT_TRUE(server.started());
    ASSERT_TRUE(notify.WaitFor("WATCHDOG=1")) << notify.Received();
    const auto first = std::chrono::steady_clock::now();
    ASSERT_TRUE(notify.WaitFor("WATCHDOG=1", 3)) << notify.Received();
    // Two half-second periods lie between the first and the third. Fed once a whole interval,
    // they would take 2 s, and systemd would restart the service whenever one came late.
    const auto between = std::chrono::steady_clock::now() - first;
    EXPECT_GE(between, 500ms);
    EXPECT_LT(between, 2s);
    EXPECT_EQ(notify.Count("READY=1"), 1u) << notify.Received();
}

TEST(ServiceNotifyTest, SaysItIsStoppingAndStillEndsAtOnceWithAWatchdog)
{
    NotifySocket notify;
    ServerProcess server({}, {notify.Variable(), "WATCHDOG_USEC=200000"});
    ASSERT_TRUE(server.started());
    ASSERT_TRUE(notify.WaitFor("WATCHDOG=1")) << notify.Received();

    server.Signal(SIGTERM);
    EXPECT_TRUE(notify.WaitFor("STOPPING=1")) << notify.Received();
    const int status = server.WaitExit();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    // The watchdog's timer must not keep the event loop, and so the process, going.
    EXPECT_EQ(server.Log().find("shutdown took too long"), std::string::npos) << server.Log();
}

} // namespace
} // namespace velmora::test
