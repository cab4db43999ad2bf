// Bans in memory: address ranges, which ban covers an address, loopback, expiry and the bound.
#include "ban_list.h"
#include "server_limits.h"

#include <gtest/gtest.h>

#include <string>

namespace velmora {
namespace {

using Clock = Ban::Clock;
using namespace std::chrono_literals;

asio::ip::address_v4 Address(const char* text)
{
    return asio::ip::make_address_v4(text);
}

AddressRange Range(const std::string& text)
{
    std::string error;
    const auto range = AddressRange::Parse(text, error);
    EXPECT_TRUE(range) << text << ": " << error;
    return range.value_or(AddressRange::Of(Address("0.0.0.0"), 0));
}

Ban MakeBan(const std::string& range, std::string reason = "flooding", std::optional<Clock::time_point> until = {})
{
    const auto since = until ? *until - 24h : Clock::now();
    return Ban{Range(range), since, until, std::move(reason)};
}

// The range of the ban covering `address` now, or "none".
std::string Covering(const BanList& bans, const char* address, Clock::time_point now = Clock::now())
{
    const Ban* ban = bans.covering(Address(address), now);
    return ban ? ban->range.text() : "none";
}

TEST(AddressRanges, AddressesAndRangesAreReadAndWrittenBack)
{
    EXPECT_EQ(Range("192.0.2.7").text(), "192.0.2.7");
    EXPECT_EQ(Range("192.0.2.7").prefix_length(), 32u);
    EXPECT_EQ(Range("192.0.2.7/32").text(), "192.0.2.7");
    EXPECT_EQ(Range("192.0.2.0/24").text(), "192.0.2.0/24");
    EXPECT_EQ(Range("198.51.100.128/25").text(), "198.51.100.128/25");
    EXPECT_EQ(Range("0.0.0.0/0").text(), "0.0.0.0/0");
}

TEST(AddressRanges, HostBitsAreRefusedNamingTheRangeMeant)
{
    std::string error;
    EXPECT_FALSE(AddressRange::Parse("192.0.2.7/24", error));
    EXPECT_NE(error.find("did you mean 192.0.2.0/24"), std::string::npos) << error;
    EXPECT_FALSE(AddressRange::Parse("64.0.0.1/2", error));
    EXPECT_NE(error.find("did you mean 64.0.0.0/2"), std::string::npos) << error;
}

TEST(AddressRanges, WhatIsNoRangeIsRefusedWithAReason)
{
    for (const char* text : {"", "192.0.2", "192.0.2.256", "192.0.2.0/33", "192.0.2.0/", "192.0.2.0/-1",
             "192.0.2.0/+8", "192.0.2.0/024", "192.0.2.0/24/8", " 192.0.2.7", "192.0.2.7 ", "::1", "example.org",
             "192.0.2.07"}) {
        std::string error;
        EXPECT_FALSE(AddressRange::Parse(text, error)) << "'" << text << "'";
        EXPECT_FALSE(error.empty()) << "'" << text << "'";
    }
}

TEST(AddressRanges, ContainAddressesAndNarrowerRanges)
{
    const AddressRange net = Range("192.0.2.0/24");
    EXPECT_TRUE(net.contains(Address("192.0.2.0")));
    EXPECT_TRUE(net.contains(Address("192.0.2.255")));
    EXPECT_FALSE(net.contains(Address("192.0.3.0")));
    EXPECT_FALSE(net.contains(Address("192.0.1.255")));
    EXPECT_TRUE(Range("0.0.0.0/0").contains(Address("255.255.255.255")));
    EXPECT_TRUE(net.contains(Range("192.0.2.128/25")));
    EXPECT_TRUE(net.contains(net));
    EXPECT_FALSE(net.contains(Range("192.0.0.0/16")));
    EXPECT_FALSE(net.contains(Range("192.0.2.0/23")));
    EXPECT_FALSE(net.contains(Range("192.0.3.0/25")));
}

TEST(BanLists, TheLongestPrefixCoveringAnAddressIsTheBan)
{
    BanList bans;
    bans.add(MakeBan("10.0.0.0/8"));
    bans.add(MakeBan("10.1.0.0/16"));
    bans.add(MakeBan("10.1.2.3"));
    EXPECT_EQ(Covering(bans, "10.1.2.3"), "10.1.2.3");
    EXPECT_EQ(Covering(bans, "10.1.2.4"), "10.1.0.0/16");
    EXPECT_EQ(Covering(bans, "10.200.0.1"), "10.0.0.0/8");
    EXPECT_EQ(Covering(bans, "11.0.0.1"), "none");
    EXPECT_EQ(Covering(bans, "9.255.255.255"), "none");
}

TEST(BanLists, LoopbackIsCoveredOnlyByARangeInsideIt)
{
    BanList bans;
    bans.add(MakeBan("0.0.0.0/0"));
    bans.add(MakeBan("64.0.0.0/2"));
    EXPECT_EQ(Covering(bans, "127.0.0.1"), "none");
    EXPECT_EQ(Covering(bans, "126.255.255.255"), "64.0.0.0/2");
    EXPECT_EQ(Covering(bans, "192.0.2.1"), "0.0.0.0/0");

    bans.add(MakeBan("127.0.0.2"));
    EXPECT_EQ(Covering(bans, "127.0.0.2"), "127.0.0.2");
    EXPECT_EQ(Covering(bans, "127.0.0.1"), "none");
    bans.add(MakeBan("127.0.0.0/8"));
    EXPECT_EQ(Covering(bans, "127.0.0.1"), "127.0.0.0/8");
}

TEST(BanLists, ABanOnTheSameRangeReplacesItAndRemovalTakesItOut)
{
    BanList bans;
    EXPECT_EQ(bans.add(MakeBan("192.0.2.0/24", "first")), BanList::Added::New);
    EXPECT_EQ(bans.add(MakeBan("192.0.2.0/25", "narrower")), BanList::Added::New);
    EXPECT_EQ(bans.add(MakeBan("192.0.2.0/24", "second")), BanList::Added::Replaced);
    ASSERT_EQ(bans.size(), 2u);
    EXPECT_EQ(bans.covering(Address("192.0.2.200"), Clock::now())->reason, "second");

    EXPECT_TRUE(bans.remove(Range("192.0.2.0/24")));
    EXPECT_FALSE(bans.remove(Range("192.0.2.0/24")));
    EXPECT_FALSE(bans.remove(Range("192.0.2.0/26")));
    EXPECT_EQ(Covering(bans, "192.0.2.200"), "none");
    EXPECT_EQ(Covering(bans, "192.0.2.100"), "192.0.2.0/25");
}

TEST(BanLists, AllBansAreListedInTheOrderOfTheirRanges)
{
    BanList bans;
    for (const char* range : {"198.51.100.0/24", "10.1.0.0/16", "10.0.0.0/8", "192.0.2.7", "10.0.0.0/16"})
        bans.add(MakeBan(range));
    std::vector<std::string> listed;
    for (const Ban& ban : bans.all())
        listed.push_back(ban.range.text());
    EXPECT_EQ(listed, (std::vector<std::string>{"10.0.0.0/8", "10.0.0.0/16", "10.1.0.0/16", "192.0.2.7",
                          "198.51.100.0/24"}));
}

TEST(BanLists, EndedBansCoverNothingAndExpireTakesThemOut)
{
    // A whole second, as bans keep: a ban ends at the very moment of its end.
    const auto now = Clock::time_point(std::chrono::seconds(1700000000));
    BanList bans;
    bans.add(MakeBan("10.0.0.0/8", "wide, for good"));
    bans.add(MakeBan("10.1.0.0/16", "narrow, ten minutes", now + 10min));
    bans.add(MakeBan("192.0.2.7", "an hour", now + 1h));
    EXPECT_EQ(Covering(bans, "10.1.0.1", now), "10.1.0.0/16");
    EXPECT_EQ(Covering(bans, "10.1.0.1", now + 10min), "10.0.0.0/8");
    EXPECT_EQ(bans.next_end(), now + 10min);

    EXPECT_TRUE(bans.expire(now + 5min).empty());
    const auto ended = bans.expire(now + 10min);
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0].range.text(), "10.1.0.0/16");
    EXPECT_EQ(bans.size(), 2u);
    EXPECT_EQ(bans.next_end(), now + 1h);
    bans.expire(now + 2h);
    EXPECT_EQ(bans.size(), 1u);
    EXPECT_EQ(bans.next_end(), std::nullopt);
}

TEST(BanLists, TheListIsBoundedButABanMayStillBeReplaced)
{
    BanList bans;
    for (std::uint32_t i = 0; i < kMaxBans; ++i)
        ASSERT_EQ(bans.add({AddressRange::Of(asio::ip::address_v4(0x0A000000 + i), 32), Clock::now(), {}, ""}),
            BanList::Added::New);
    EXPECT_EQ(bans.add(MakeBan("192.0.2.7")), BanList::Added::Full);
    EXPECT_EQ(Covering(bans, "192.0.2.7"), "none");
    EXPECT_EQ(bans.add(MakeBan("10.0.0.0", "again")), BanList::Added::Replaced);
    EXPECT_EQ(bans.size(), kMaxBans);
}

TEST(BanLists, ReasonsAreOneCleanLineOfBoundedLength)
{
    BanList bans;
    bans.add(MakeBan("192.0.2.1", "spam\r\nalice: fake line\x1b[2J\x7f end"));
    EXPECT_EQ(bans.all()[0].reason, "spam  alice: fake line [2J  end");

    const std::string long_reason(kBanReasonMaxBytes + 50, 'x');
    bans.add(MakeBan("192.0.2.2", long_reason));
    EXPECT_EQ(bans.all()[1].reason, long_reason.substr(0, kBanReasonMaxBytes));

    // "é" is two bytes in UTF-8; one that would be cut in two is left out whole.
    const std::string accented = std::string(kBanReasonMaxBytes - 1, 'x') + "\xC3\xA9" + "tail";
    bans.add(MakeBan("192.0.2.3", accented));
    EXPECT_EQ(bans.all()[2].reason, std::string(kBanReasonMaxBytes - 1, 'x'));
}

TEST(BanLists, TimesAreKeptToTheSecond)
{
    const auto since = Clock::time_point(std::chrono::seconds(1700000000)) + 750ms;
    BanList bans;
    bans.add({Range("192.0.2.1"), since, since + 90s, "slow down"});
    const Ban ban = bans.all()[0];
    EXPECT_EQ(ban.since, Clock::time_point(std::chrono::seconds(1700000000)));
    EXPECT_EQ(ban.until, Clock::time_point(std::chrono::seconds(1700000090)));
}

}  // namespace
}  // namespace velmora
