// Who is in the room on the other servers, as their messages tell it, and which of those
// servers are still heard from.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace velmora {

class RemoteServers {
public:
    using Clock = std::chrono::steady_clock;

    struct Departure {
        std::string name;
        std::string reason;
    };
    struct Change {
        std::vector<std::string> joined;
        std::vector<Departure> left;
    };

    // Notes a message numbered `seq` from `server`; returns how many before it went missing.
    std::uint64_t heard(const std::string& server, std::uint64_t seq, Clock::time_point now);
    void join(const std::string& server, const std::string& name);
    void leave(const std::string& server, const std::string& name);
    void rename(const std::string& server, const std::string& old_name, const std::string& new_name);
    // One part of a server's roster; the last part replaces what was known, and the change says
    // who came and went meanwhile.
    bool roster(const std::string& server, const std::string& part, const std::string& names, Change& change);
    // The server's members, who have all left, and the server forgotten.
    std::vector<std::string> forget(const std::string& server);
    // Servers silent for longer than `bound` are forgotten; their members are returned.
    std::vector<std::string> expire(Clock::time_point now, Clock::duration bound, std::vector<std::string>& gone);

    bool holds(const std::string& folded_name) const { return names_.count(folded_name) != 0; }
    std::size_t size() const { return names_.size(); }
    // Every remote member by name without regard to case.
    const std::map<std::string, std::string>& names() const { return names_; }
    std::set<std::string> servers() const;

private:
    struct Server {
        std::set<std::string> members;
        std::uint64_t next_seq = 0;
        Clock::time_point heard_at;
        std::vector<std::string> roster_parts;
    };

    void add(Server& server, const std::string& name);
    void drop(Server& server, const std::string& name);

    std::map<std::string, Server> servers_;
    std::map<std::string, std::string> names_;
};

}  // namespace velmora
