// Lengths of time: as operators type them for a ban, and as the time left is shown.
#include "durations.h"
#include "server_limits.h"

#include <gtest/gtest.h>

#include <string>

namespace velmora {
namespace {

using std::chrono::seconds;

TEST(Durations, TypedLengthsAreReadInSeconds)
{
    EXPECT_EQ(ParseDuration("90s"), seconds(90));
    EXPECT_EQ(ParseDuration("15m"), seconds(15 * 60));
    EXPECT_EQ(ParseDuration("2h"), seconds(2 * 3600));
    EXPECT_EQ(ParseDuration("7d"), seconds(7 * 86400));
    EXPECT_EQ(ParseDuration("1h30m"), seconds(5400));
    EXPECT_EQ(ParseDuration("1d2h3m4s"), seconds(86400 + 7200 + 180 + 4));
    EXPECT_EQ(ParseDuration("0h45s"), seconds(45));
    EXPECT_EQ(ParseDuration("3650d"), std::chrono::duration_cast<seconds>(kMaxDuration));
}

TEST(Durations, AnythingElseIsRefused)
{
    for (const char* typed : {"", "5", "m", "5x", "5 m", " 5m", "5m ", "-5m", "+5m", "1.5h", "5M", "30m1h", "1h1h",
             "0s", "0h0m", "3651d", "999999999999d", "1h30"})
        EXPECT_EQ(ParseDuration(typed), std::nullopt) << "'" << typed << "'";
}

TEST(Durations, TimeLeftShowsItsTwoLargestUnits)
{
    EXPECT_EQ(ShortDuration(seconds(0)), "0 s");
    EXPECT_EQ(ShortDuration(seconds(-5)), "0 s");
    EXPECT_EQ(ShortDuration(seconds(59)), "59 s");
    EXPECT_EQ(ShortDuration(seconds(60)), "1 min");
    EXPECT_EQ(ShortDuration(seconds(599)), "9 min 59 s");
    EXPECT_EQ(ShortDuration(seconds(3600)), "1 h");
    EXPECT_EQ(ShortDuration(seconds(2 * 3600 + 5 * 60 + 59)), "2 h 5 min");
    EXPECT_EQ(ShortDuration(seconds(3 * 86400 + 4 * 3600 + 59 * 60)), "3 d 4 h");
    EXPECT_EQ(ShortDuration(seconds(86400 + 30 * 60)), "1 d");
}

}  // namespace
}  // namespace velmora
