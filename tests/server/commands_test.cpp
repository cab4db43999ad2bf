// The room's commands, against the real server: names people choose, /who, /me, /help, /quit.
#include "harness.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <unistd.h>

namespace velmora::test {
namespace {

class CommandsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.started());
        alice = std::make_unique<Client>(server.port());
        EXPECT_LINE(*alice, "Welcome, guest-1! 0 others here.");
        bob = std::make_unique<Client>(server.port());
        EXPECT_LINE(*bob, "Welcome, guest-2! 1 other here.");
        EXPECT_LINE(*alice, "guest-2 joined");
    }

    // Nothing more for `client` than what was expected: a relay sent now is the next line it reads.
    void ExpectNothingElse(Client& client, Client& sender, const std::string& sender_name)
    {
        sender.Send("sentinel");
        EXPECT_LINE(client, sender_name + ": sentinel");
    }

    ServerProcess server;
    std::unique_ptr<Client> alice;
    std::unique_ptr<Client> bob;
};

TEST_F(CommandsTest, ChosenNameIsToldToEveryoneAndUsedInRelaysActionsAndLeaves)
{
    alice->Send("/nick alice");
    EXPECT_LINE(*alice, "guest-1 is now known as alice");
    EXPECT_LINE(*bob, "guest-1 is now known as alice");

    alice->Send("hello");
    EXPECT_LINE(*bob, "alice: hello");
    alice->Send("/me waves at everyone");
    EXPECT_LINE(*bob, "* alice waves at everyone");
    ExpectNothingElse(*alice, *bob, "guest-2");

    Client carol(server.port());
    EXPECT_LINE(carol, "Welcome, guest-3! 2 others here.");
    EXPECT_LINE(*alice, "guest-3 joined");
    alice.reset();
    EXPECT_LINE(*bob, "guest-3 joined");
    EXPECT_LINE(*bob, "alice left");
    EXPECT_LINE(carol, "alice left");
}

TEST_F(CommandsTest, RefusedNamesGetOneLineToTheAskerAndNothingToTheRoom)
{
    bob->Send("/nick Bob_2-x");
    EXPECT_LINE(*bob, "guest-2 is now known as Bob_2-x");
    EXPECT_LINE(*alice, "guest-2 is now known as Bob_2-x");

    const std::pair<const char*, const char*> refusals[] = {
        {"/nick", "Usage: /nick NAME"},
        {"/nick    ", "Usage: /nick NAME"},
        {"/nick abcdefghijklmnopq", "Names are at most 16 characters long."},
        {"/nick al ice", "Names may hold only letters A-Z and a-z, digits, _ and -."},
        {"/nick al!ce", "Names may hold only letters A-Z and a-z, digits, _ and -."},
        {"/nick caf\xe9", "Names may hold only letters A-Z and a-z, digits, _ and -."},
        {"/nick bob_2-X", "The name Bob_2-x is taken."},
        {"/nick Guest-7", "Names of the form guest-<number> are kept for guests."},
        {"/nick guest-2", "Names of the form guest-<number> are kept for guests."},
    };
    for (const auto& [command, reply] : refusals) {
        alice->Send(command);
        EXPECT_LINE(*alice, reply) << command;
    }
    // Refusals do not count against the wait between renames; a guest may take its own name in
    // another case; and a name may not be changed again at once.
    alice->Send("/nick GUEST-1");
    EXPECT_LINE(*alice, "guest-1 is now known as GUEST-1");
    EXPECT_LINE(*bob, "guest-1 is now known as GUEST-1");
    alice->Send("/nick alice");
    const std::string wait = alice->ReadLine();
    EXPECT_EQ(wait.rfind("You renamed a moment ago; you can change your name again in ", 0), 0u) << wait;
    EXPECT_NE(wait.find(" s."), std::string::npos) << wait;
    ExpectNothingElse(*bob, *alice, "GUEST-1");
}

TEST_F(CommandsTest, WhoListsEveryMemberToTheAskerOnly)
{
    bob->Send("/nick bob");
    EXPECT_LINE(*alice, "guest-2 is now known as bob");
    EXPECT_LINE(*bob, "guest-2 is now known as bob");
    alice->Send("/WHO");
    EXPECT_LINE(*alice, "2 members here: bob, guest-1");
    ExpectNothingElse(*bob, *alice, "guest-1");
}

TEST_F(CommandsTest, WhoInABigRoomNamesTheFirstHundredInAFewLines)
{
    std::vector<std::unique_ptr<Client>> crowd;
    for (int i = 0; i < 110; ++i)
        crowd.push_back(std::make_unique<Client>(server.port()));
    for (int g = 3; g <= 112; ++g)
        EXPECT_LINE(*bob, "guest-" + std::to_string(g) + " joined");
    bob->Send("/who");
    std::string all;
    int lines = 0;
    while (all.find(" more") == std::string::npos && lines < 20) {
        const std::string line = bob->ReadLine();
        ASSERT_LE(line.size() + 2, 256u);
        all += line + "\n";
        ++lines;
    }
    EXPECT_EQ(all.rfind("112 members here: guest-1, guest-10, guest-100,", 0), 0u) << all;
    EXPECT_NE(all.find(" and 12 more\n"), std::string::npos) << all;
    EXPECT_LE(lines, 8);
}

TEST_F(CommandsTest, HelpUnknownCommandsAndDoubleSlash)
{
    alice->Send("/help");
    for (const char* command : {"/nick NAME", "/who", "/me ACTION", "/quit [REASON]", "/help", "//text"})
        EXPECT_EQ(alice->ReadLine().rfind(command, 0), 0u) << command;
    alice->Send("/frobnicate now");
    EXPECT_LINE(*alice, "unknown command, try /help");
    alice->Send("/me");
    EXPECT_LINE(*alice, "Usage: /me ACTION");
    alice->Send("//slashes are fine");
    EXPECT_LINE(*bob, "guest-1: /slashes are fine");
    ExpectNothingElse(*bob, *alice, "guest-1");
}

TEST_F(CommandsTest, QuitSaysGoodbyeTellsTheRoomWhyAndClosesInOrder)
{
    alice->Send("/nick alice");
    EXPECT_LINE(*alice, "guest-1 is now known as alice");
    EXPECT_LINE(*bob, "guest-1 is now known as alice");
    alice->Send("/quit gone\r\nfishing");
    EXPECT_LINE(*alice, "Goodbye, alice!");
    EXPECT_EQ(alice->WaitClosed(), Closed::Eof);
    EXPECT_LINE(*bob, "alice left (gone  fishing)");
    EXPECT_TRUE(server.WaitForLog("alice quit: gone"));
}

TEST(MotdTest, NewcomersSeeTheMessageOfTheDayAfterTheGreeting)
{
    char path[] = "/tmp/velmora-motd-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string motd = "Be kind.\r\n" + std::string(300, 'x') + "\n\nBye\x1b[2J\n";
    ASSERT_EQ(write(fd, motd.data(), motd.size()), static_cast<ssize_t>(motd.size()));
    close(fd);
    ServerProcess server({"--motd", path});
    unlink(path);
    ASSERT_TRUE(server.started());
    Client client(server.port());
    EXPECT_LINE(client, "Welcome, guest-1! 0 others here.");
    EXPECT_LINE(client, "Be kind.");
    EXPECT_LINE(client, std::string(254, 'x'));
    EXPECT_LINE(client, std::string(46, 'x'));
    EXPECT_LINE(client, "");
    EXPECT_LINE(client, "Bye [2J");
    EXPECT_TRUE(client.Silent());
}

} // namespace
} // namespace velmora::test
