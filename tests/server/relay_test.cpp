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
        EXPECT_EQ(client->Expect(welcome), welcome);
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
    EXPECT_EQ(first->Expect("guest-2 joined"), "guest-2 joined");
    auto third = Join("Welcome, guest-3! 2 others here.");
    EXPECT_EQ(first->Expect("guest-3 joined"), "guest-3 joined");
    EXPECT_EQ(second->Expect("guest-3 joined"), "guest-3 joined");

    second.reset();
    EXPECT_EQ(first->Expect("guest-2 left"), "guest-2 left");
    EXPECT_EQ(third->Expect("guest-2 left"), "guest-2 left");
}

TEST_F(RelayTest, BurstOfNewcomersEachHearOfThoseAfterThemOnly)
{
    auto first = Join("Welcome, guest-1! 0 others here.");
    // Connected before any is read, so the server is likely to take several in one turn.
    constexpr int kBurst = 20;
    std::vector<std::unique_ptr<Client>> burst;
    for (int i = 0; i < kBurst; ++i)
        burst.push_back(std::make_unique<Client>(server.port()));

    auto joins_after = [&](int guest) {
        std::string text;
        for (int g = guest + 1; g <= kBurst + 1; ++g)
            text += "guest-" + std::to_string(g) + " joined";
        return text;
    };
    EXPECT_EQ(first->Expect(joins_after(1)), joins_after(1));
    for (int i = 0; i < kBurst; ++i) {
        const int guest = i + 2;
        const int others = guest - 1;
        const std::string expected = "Welcome, guest-" + std::to_string(guest) + "! " + std::to_string(others)
            + (others == 1 ? " other" : " others") + " here." + joins_after(guest);
        EXPECT_EQ(burst[static_cast<std::size_t>(i)]->Expect(expected), expected);
    }
    // Nothing else was queued for anyone: the next bytes anyone sees are this relay.
    first->Send("!");
    for (auto& client : burst)
        EXPECT_EQ(client->Expect("guest-1: !"), "guest-1: !");
}

TEST_F(RelayTest, NamesCountUpAndAreNotReused)
{
    auto first = Join("Welcome, guest-1! 0 others here.");
    auto second = Join("Welcome, guest-2! 1 other here.");
    second.reset();
    EXPECT_EQ(first->Expect("guest-2 joinedguest-2 left"), "guest-2 joinedguest-2 left");
    auto third = Join("Welcome, guest-3! 1 other here.");
}

TEST_F(RelayTest, RelayIsNamePrefixAndBytesAllMaskedWithNothingAdded)
{
    auto sender = Join("Welcome, guest-1! 0 others here.");
    auto receiver = Join("Welcome, guest-2! 1 other here.");
    sender->Send("hello there");

    const std::string plain = "guest-1: hello there";
    std::string raw = receiver->ReadRaw(plain.size());
    ASSERT_EQ(raw.size(), plain.size());
    for (std::size_t i = 0; i < plain.size(); ++i)
        EXPECT_EQ(static_cast<unsigned char>(raw[i]), static_cast<unsigned char>(plain[i]) ^ 0x5A) << "byte " << i;
    UnmaskChunk(raw.data(), static_cast<int>(raw.size()));
    EXPECT_EQ(raw, plain);

    // Whatever follows must be the next relay, with no line end or padding after the first.
    sender->Send("x");
    EXPECT_EQ(receiver->Expect("guest-1: x"), "guest-1: x");
}

TEST_F(RelayTest, SenderDoesNotGetItsOwnTextBack)
{
    auto first = Join("Welcome, guest-1! 0 others here.");
    auto second = Join("Welcome, guest-2! 1 other here.");
    EXPECT_EQ(first->Expect("guest-2 joined"), "guest-2 joined");

    first->Send("ping");
    EXPECT_EQ(second->Expect("guest-1: ping"), "guest-1: ping");
    // The reply is relayed after the ping was handled, so an echo would arrive before it.
    second->Send("pong");
    EXPECT_EQ(first->Expect("guest-2: pong"), "guest-2: pong");
}

TEST_F(RelayTest, EveryByteValueArrivesIntact)
{
    auto sender = Join("Welcome, guest-1! 0 others here.");
    auto receiver = Join("Welcome, guest-2! 1 other here.");
    std::string all(256, '\0');
    for (int i = 0; i < 256; ++i)
        all[static_cast<std::size_t>(i)] = static_cast<char>(i);
    sender->Send(all);
    EXPECT_EQ(receiver->Read(9 + all.size()), "guest-1: " + all);
}

TEST_F(RelayTest, SingleBytesAreEachRelayed)
{
    auto sender = Join("Welcome, guest-1! 0 others here.");
    auto receiver = Join("Welcome, guest-2! 1 other here.");
    for (const char* byte : {"a", "\n", "z"}) {
        sender->Send(byte);
        EXPECT_EQ(receiver->Expect(std::string("guest-1: ") + byte), std::string("guest-1: ") + byte);
    }
}

TEST_F(RelayTest, MegabyteArrivesCompleteAndInOrder)
{
    auto sender = Join("Welcome, guest-1! 0 others here.");
    auto receiver = Join("Welcome, guest-2! 1 other here.");

    // Digits never spell a name prefix, so the prefixes can be taken out again exactly.
    std::string data(1000 * 1000, '0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>('0' + (i * 7 + i / 1000) % 10);
    const std::string prefix = "guest-1: ";
    const std::string stream = Pump(*sender, data, *receiver, [&](const std::string& got) {
        return got.size() >= data.size() + prefix.size() && StripPrefixes(got, prefix).size() >= data.size();
    });
    ASSERT_EQ(stream.compare(0, prefix.size(), prefix), 0);
    const std::string payload = StripPrefixes(stream, prefix);
    ASSERT_EQ(payload.size(), data.size());
    EXPECT_TRUE(payload == data);
}

} // namespace
} // namespace velmora::test
