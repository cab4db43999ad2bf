// The commands of the room: a read from a member that starts with '/' (docs/protocol.md,
// "Commands"). A command is never relayed.
#pragma once

#include "room.h"

#include <string>
#include <string_view>

namespace velmora {

void RunCommand(Room& room, const MemberPtr& from, std::string_view bytes);

// Why `name` may not be taken by `member`, or empty when it may. Uniqueness is the room's to check.
std::string NameProblem(std::string_view name, const Member& member);

}  // namespace velmora
