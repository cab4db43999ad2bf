// Joins, leaves, removals and renames as members read them. Those that happen together are told
// in one batch, and a mass leave in one line (docs/protocol.md, "Server to client").
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace velmora {

struct Member;

struct PresenceEvent {
    enum class Kind { Join, Leave, Removed, Rename } kind;
    std::string name;
    // The new name of a rename, the reason of a leave or a removal.
    std::string detail;
    // The member who joined, on this server: it hears only of what came after its own join.
    std::shared_ptr<Member> newcomer;
};

// The lines that tell `events`, and for each newcomer where its share of them starts.
std::string RenderPresence(const std::vector<PresenceEvent>& events,
    std::vector<std::pair<std::shared_ptr<Member>, std::size_t>>& starts);

}  // namespace velmora
