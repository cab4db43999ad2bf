// The commands of the room: a read from a member that starts with '/' (docs/protocol.md,
// "Commands"). A command is never relayed.
#pragma once

#include "room.h"

#include <string>
#include <string_view>

namespace velmora {

void RunCommand(Room& room, const MemberPtr& from, std::string_view bytes);

}  // namespace velmora
