// The rules for names, in one place: the names members choose and are given, the rooms servers
// share, and the identities of servers (docs/protocol.md, "Commands" and "Between servers").
#pragma once

#include <string>
#include <string_view>

namespace velmora {

// Names compare without regard to case.
std::string FoldCase(std::string_view name);

// "guest-" and digits, in any case.
bool IsGuestName(std::string_view name);
// Why `name` may not be taken by a member whose guest name is `own_guest_name`, or empty when it
// may. Uniqueness is the room's to check.
std::string NameProblem(std::string_view name, std::string_view own_guest_name);
// A name a member may hold: one it could choose, or a guest name. What other servers say is
// checked against this.
bool IsMemberName(std::string_view name);

// A room name is one token of a NATS subject and part of a bucket name.
bool IsRoomName(std::string_view room);
// A server's identity among the others: 16 hex digits, lower case.
bool IsServerId(std::string_view id);

}  // namespace velmora
