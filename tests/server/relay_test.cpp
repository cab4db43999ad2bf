#include "harness.h"

#include "wire_protocol.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace velmora::test {
namespace {

class RelayTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.started()); }

    // Connects the next client and consumes its greeting, so names follow connection order.
    std::unique_ptr<Client> Join(const std::string& welcome)
    {
        auto client = std::make_unique<Client>(server.port());
        EXPECT_LINE(*client, welcome);
        return client;
    }

    ServerProcess server;
};

TEST_F(RelayTest, GreetsNewcomerWithNameAndCountOfOthers)
{
    auto first = Join("Welcome, guest-1! 0 others here.");
    auto second = Join("Welcome, guest-2! 1 other here.");
    auto third = Join("Welcome, guest-3! 2 others here.");
}

TEST_F(RelayTest, AnnouncesJoinAndLeaveToTheOthers)
{
    auto first = Join("Welcome, guest-1! 0 others here.");
    auto second = Join("Welcome, guest-2! 1 other here.");
    EXPECT_LINE(*first, "guest-2 joined");
    auto third = Join("Welcome, guest-3! 2 others here.");
    EXPECT_LINE(*first, "guest-3 joined");
    EXPECT_LINE(*second, "guest-3 joined");

    second.reset();
    EXPECT_LINE(*first, "guest-2 left");
    EXPECT_LINE(*third, "guest-2 left");
}

TEST_F(RelayTest, BurstOfNewcomersEachHearOfThoseAfterThemOnly)
{
    auto first = Join("Welcome, guest-1! 0 others here.");
    // Connected before any is read, so the server is likely to take several in one turn.
    constexpr int kBurst = 20;
    std::vector<std::unique_ptr<Client>> burst;
    for (int i = 0; i < kBurst; ++i)
        burst.push_back(std::make_unique<Client>(server.port()));

    for (int g = 2; g <= kBurst + 1; ++g)
        EXPECT_LINE(*first, "guest-" + std::to_string(g) + " joined");
    for (int i = 0; i < kBurst; ++i) {
        const int guest = i + 2;
        const int others = guest - 1;
        EXPECT_LINE(*burst[i], "Welcome, guest-" + std::to_string(guest) + "! " + std::to_string(others)
            + (others == 1 ? " other" : " others") + " here.");
        for (int g = guest + 1; g <= kBurst + 1; ++g)
            EXPECT_LINE(*burst[i], "guest-" + std::to_string(g) + " joined");
    }
    // Nothing else was queued for anyone: the next line anyone sees is this relay.
    first->Send("!");
    for (auto& client : burst)
        EXPECT_LINE(*client, "guest-1: !");
}

TEST_F(RelayTest, NamesCountUpAndAreNotReused)
{
    auto first = Join("Welcome, guest-1! 0 others here.");
    auto second = Join("Welcome, guest-2! 1 other here.");
    second.reset();
    EXPECT_LINE(*first, "guest-2 joined");
    EXPECT_LINE(*first, "guest-2 left");
    auto third = Join("Welcome, guest-3! 1 other here.");
}

TEST_F(RelayTest, RelayIsNamePrefixTextAndLineEndAllMasked)
{
    auto sender = Join("Welcome, guest-1! 0 others here.");
    auto receiver = Join("Welcome, guest-2! 1 other here.");
    sender->Send("hello there");

    const std::string plain = "guest-1: hello there\r\n";
    std::string raw = receiver->ReadRaw(plain.size());
    ASSERT_EQ(raw.size(), plain.size());
    for (std::size_t i = 0; i < plain.size(); ++i)
        EXPECT_EQ(static_cast<unsigned char>(raw[i]), static_cast<unsigned char>(plain[i]) ^ 0x5A) << "byte " << i;

    // Whatever follows must be the next relay, with no padding after the first.
    sender->Send("x");
    EXPECT_LINE(*receiver, "guest-1: x");
}

TEST_F(RelayTest, SenderDoesNotGetItsOwnTextBack)
{
    auto first = Join("Welcome, guest-1! 0 others here.");
    auto second = Join("Welcome, guest-2! 1 other here.");
    EXPECT_LINE(*first, "guest-2 joined");

    first->Send("ping");
    EXPECT_LINE(*second, "guest-1: ping");
    // The reply is relayed after the ping was handled, so an echo would arrive before it.
    second->Send("pong");
    EXPECT_LINE(*first, "guest-2: pong");
}

TEST_F(RelayTest, ControlBytesBecomeSpacesAndOtherBytesArriveIntact)
{
    auto sender = Join("Welcome, guest-1! 0 others here.");
    auto receiver = Join("Welcome, guest-2! 1 other here.");
    std::string all(256, '\0');
    std::string shown(256, ' ');
    for (int i = 0; i < 256; ++i) {
        all[static_cast<std::size_t>(i)] = static_cast<char>(i);
        if ((i >= 0x20 && i != 0x7F) || i == '\t')
            shown[static_cast<std::size_t>(i)] = static_cast<char>(i);
    }
    sender->Send(all);
    // 254 bytes a line before CR LF, 9 of them the name.
    EXPECT_LINE(*receiver, "guest-1: " + shown.substr(0, 245));
    EXPECT_LINE(*receiver, "guest-1: " + shown.substr(245));

    for (const char* byte : {"a", "\n", "\r", "z"}) {
        sender->Send(byte);
        EXPECT_LINE(*receiver, std::string("guest-1: ") + (byte[0] < ' ' ? " " : byte));
    }
}

TEST_F(RelayTest, LongReadWithLineEndsAndControlsIsSplitIntoNamedLinesThatForgeNothing)
{
    auto sender = Join("Welcome, guest-1! 0 others here.");
    auto receiver = Join("Welcome, guest-2! 1 other here.");
    std::string text;
    for (int i = 0; text.size() < 4000; ++i)
        text += "line " + std::to_string(i) + "\r\nguest-2: forged\x1b[2J\a\x7f\t";
    text.resize(4000);
    sender->Send(text);

    std::string payload;
    while (payload.size() < text.size()) {
        const std::string line = receiver->ReadLine();
        ASSERT_EQ(line.compare(0, 9, "guest-1: "), 0) << line;
        ASSERT_LE(line.size() + 2, 256u);
        for (const char c : line)
            ASSERT_TRUE((static_cast<unsigned char>(c) >= 0x20 && c != 0x7F) || c == '\t') << int(c) << " in " << line;
        payload += line.substr(9);
    }
    for (char& c : text)
        if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F)
            c = ' ';
    EXPECT_EQ(payload, text);
}

TEST(RelayUnthrottledTest, MegabyteArrivesCompleteAndInOrder)
{
    // One member pushing a megabyte would be held to the input budget for minutes.
    ServerProcess server({"--rate", "0"});
    ASSERT_TRUE(server.started());
    Client sender(server.port());
    EXPECT_LINE(sender, "Welcome, guest-1! 0 others here.");
    Client receiver(server.port());
    EXPECT_LINE(receiver, "Welcome, guest-2! 1 other here.");

    std::string data(1000 * 1000, '0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>('0' + (i * 7 + i / 1000) % 10);
    const std::string prefix = "guest-1: ";
    const std::string stream = Pump(sender, data, receiver,
        [&](const std::string& got) { return got.size() >= data.size() && StripPrefixes(got, prefix).size() >= data.size(); });
    const std::string payload = StripPrefixes(stream, prefix);
    ASSERT_EQ(payload.size(), data.size());
    EXPECT_TRUE(payload == data);
    for (const std::string& line : SplitLines(stream))
        ASSERT_LE(line.size() + 2, 256u);
}

} // namespace
} // namespace velmora::test
