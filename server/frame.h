// The frames servers of one room exchange on its NATS subject (docs/protocol.md, "Between
// servers"): pure functions, with every rule a receiver checks before a frame touches the room.
//
//     VM1 <server-id> <seq> <kind> <name-length>\n<name><detail>
#pragma once

#include "room_link.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

struct Frame {
    std::string server;
    std::uint64_t seq = 0;
    RoomEvent event;
};

// Why a frame is dropped.
enum class FrameFault { None, Oversized, Malformed, Version, ServerId, Kind, Name, Detail };

// For the log: "oversized", "malformed", ...
const char* Describe(FrameFault fault);

std::string EncodeFrame(const Frame& frame);
// Fills `frame` only when the whole frame keeps every rule.
FrameFault DecodeFrame(std::string_view data, Frame& frame);

// The names of one roster part, one a line.
std::vector<std::string> RosterNames(std::string_view detail);

}  // namespace velmora
