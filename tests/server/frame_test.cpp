// The frames between servers: every rule a receiver checks, without NATS.
#include "frame.h"

#include "server_limits.h"

#include <gtest/gtest.h>

#include <string>

namespace velmora {
namespace {

const std::string kId = "0123456789abcdef";

std::string Raw(const std::string& header, const std::string& name, const std::string& detail)
{
    return header + " " + std::to_string(name.size()) + "\n" + name + detail;
}

TEST(FrameTest, EveryKindSurvivesTheRoundTrip)
{
    const RoomEvent events[] = {{RoomEvent::Kind::Relay, "alice", "hello\r\nthere"},
        {RoomEvent::Kind::Action, "guest-100001", "waves"}, {RoomEvent::Kind::Join, "Bob_2", ""},
        {RoomEvent::Kind::Leave, "alice", "gone home"}, {RoomEvent::Kind::Rename, "guest-7", "carol"},
        {RoomEvent::Kind::Roster, "first", "alice\nguest-3\n"}, {RoomEvent::Kind::Roster, "only", ""},
        {RoomEvent::Kind::Heartbeat, "", "42"}, {RoomEvent::Kind::Bye, "", ""}, {RoomEvent::Kind::Query, "*", ""},
        {RoomEvent::Kind::Query, kId, ""}};
    for (const RoomEvent& event : events) {
        Frame decoded;
        ASSERT_EQ(DecodeFrame(EncodeFrame({kId, 18446744073709551ull, event}), decoded), FrameFault::None)
            << static_cast<char>(event.kind) << " " << event.name;
        EXPECT_EQ(decoded.server, kId);
        EXPECT_EQ(decoded.seq, 18446744073709551ull);
        EXPECT_EQ(decoded.event.kind, event.kind);
        EXPECT_EQ(decoded.event.name, event.name);
        EXPECT_EQ(decoded.event.detail, event.detail);
    }
}

std::string Repeated(const std::string& text, std::size_t times)
{
    std::string out;
    while (times-- > 0)
        out += text;
    return out;
}

struct Case {
    const char* what;
    std::string data;
    FrameFault fault;
};

TEST(FrameTest, EachRuleDropsWhatBreaksIt)
{
    const std::string ok = "VM1 " + kId + " 7";
    const Case cases[] = {
        {"larger than any frame", Raw(ok + " R", "alice", std::string(kFrameMaxBytes, 'x')), FrameFault::Oversized},
        {"no header line end", "VM1 " + kId + " 7 R 5", FrameFault::Malformed},
        {"a header line end too late", std::string(kFrameHeaderMaxBytes, ' ') + "\n", FrameFault::Malformed},
        {"a field too few", "VM1 " + kId + " R 5\nalicehi", FrameFault::Malformed},
        {"two blanks", Raw("VM1  " + kId + " 7 R", "alice", "hi"), FrameFault::Malformed},
        {"another version", Raw("VM2 " + kId + " 7 R", "alice", "hi"), FrameFault::Version},
        {"a short server id", Raw("VM1 0123456789abcde 7 R", "alice", "hi"), FrameFault::ServerId},
        {"capitals in the server id", Raw("VM1 0123456789ABCDEF 7 R", "alice", "hi"), FrameFault::ServerId},
        {"control bytes in the server id", Raw("VM1 0123456789abc\x1b[J 7 R", "alice", "hi"), FrameFault::ServerId},
        {"a sequence that is no number", Raw("VM1 " + kId + " -7 R", "alice", "hi"), FrameFault::Malformed},
        {"a sequence past 64 bits", Raw("VM1 " + kId + " 99999999999999999999 R", "alice", "hi"), FrameFault::Malformed},
        {"an unknown kind", Raw(ok + " Z", "alice", "hi"), FrameFault::Kind},
        {"a kind of two letters", Raw(ok + " RR", "alice", "hi"), FrameFault::Kind},
        {"a name longer than the frame", "VM1 " + kId + " 7 R 9\nalice", FrameFault::Malformed},
        {"a name no member may hold", Raw(ok + " R", "al ice", "hi"), FrameFault::Name},
        {"a name too long", Raw(ok + " J", "abcdefghijklmnopq", ""), FrameFault::Name},
        {"an unknown roster part", Raw(ok + " S", "all", "alice\n"), FrameFault::Name},
        {"a query for a bad id", Raw(ok + " Q", "0123", ""), FrameFault::Name},
        {"a named heartbeat", Raw(ok + " B", "alice", "3"), FrameFault::Name},
        {"an empty relay", Raw(ok + " R", "alice", ""), FrameFault::Detail},
        {"a relay longer than a read", Raw(ok + " R", "alice", std::string(kReadChunkBytes + 1, 'x')), FrameFault::Detail},
        {"a reason longer than a line", Raw(ok + " L", "alice", std::string(kLineMaxBytes, 'x')), FrameFault::Detail},
        {"a join with a detail", Raw(ok + " J", "alice", "x"), FrameFault::Detail},
        {"a rename to a bad name", Raw(ok + " N", "alice", "b\nob"), FrameFault::Detail},
        {"a roster with a bad name", Raw(ok + " S", "only", "alice\nb b\n"), FrameFault::Detail},
        {"a roster part cut off", Raw(ok + " S", "only", "alice\nbo"), FrameFault::Detail},
        {"a roster part too large", Raw(ok + " S", "more", Repeated("abcdefgh\n", kRosterPartBytes / 9 + 1)), FrameFault::Detail},
        {"a heartbeat without a count", Raw(ok + " B", "", "many"), FrameFault::Detail},
        {"a bye with a detail", Raw(ok + " X", "", "x"), FrameFault::Detail},
    };
    for (const Case& c : cases) {
        Frame frame;
        frame.server = "untouched";
        EXPECT_EQ(DecodeFrame(c.data, frame), c.fault) << c.what;
        EXPECT_EQ(frame.server, "untouched") << c.what << ": a dropped frame fills nothing";
    }
}

TEST(FrameTest, RosterNamesAreOneALine)
{
    EXPECT_EQ(RosterNames("alice\nguest-2\n"), (std::vector<std::string>{"alice", "guest-2"}));
    EXPECT_TRUE(RosterNames("").empty());
}

}  // namespace
}  // namespace velmora
