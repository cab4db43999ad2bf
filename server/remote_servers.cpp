#include "remote_servers.h"

#include "room.h"

namespace velmora {

std::uint64_t RemoteServers::heard(const std::string& server, std::uint64_t seq, Clock::time_point now)
{
    auto [it, added] = servers_.try_emplace(server);
    Server& s = it->second;
    s.heard_at = now;
    const std::uint64_t missing = !added && seq > s.next_seq ? seq - s.next_seq : 0;
    if (added || seq >= s.next_seq)
        s.next_seq = seq + 1;
    return missing;
}

void RemoteServers::add(Server& server, const std::string& name)
{
    server.members.insert(name);
    names_[FoldCase(name)] = name;
}

void RemoteServers::drop(Server& server, const std::string& name)
{
    if (server.members.erase(name) != 0)
        names_.erase(FoldCase(name));
}

void RemoteServers::join(const std::string& server, const std::string& name)
{
    add(servers_[server], name);
}

void RemoteServers::leave(const std::string& server, const std::string& name)
{
    drop(servers_[server], name);
}

void RemoteServers::rename(const std::string& server, const std::string& old_name, const std::string& new_name)
{
    Server& s = servers_[server];
    drop(s, old_name);
    add(s, new_name);
}

bool RemoteServers::roster(const std::string& server, const std::string& part, const std::string& names, Change& change)
{
    Server& s = servers_[server];
    if (part == "first" || part == "only")
        s.roster_parts.clear();
    s.roster_parts.push_back(names);
    if (part != "last" && part != "only")
        return false;
    std::set<std::string> now;
    for (const std::string& chunk : s.roster_parts)
        for (std::size_t at = 0; at < chunk.size();) {
            const std::size_t end = std::min(chunk.find('\n', at), chunk.size());
            if (end > at)
                now.insert(chunk.substr(at, end - at));
            at = end + 1;
        }
    s.roster_parts.clear();
    for (const std::string& name : s.members)
        if (now.count(name) == 0)
            change.left.push_back({name, {}});
    for (const std::string& name : now)
        if (s.members.count(name) == 0)
            change.joined.push_back(name);
    for (const auto& gone : change.left)
        drop(s, gone.name);
    for (const std::string& name : change.joined)
        add(s, name);
    return true;
}

std::vector<std::string> RemoteServers::forget(const std::string& server)
{
    std::vector<std::string> left;
    const auto found = servers_.find(server);
    if (found == servers_.end())
        return left;
    for (const std::string& name : found->second.members) {
        names_.erase(FoldCase(name));
        left.push_back(name);
    }
    servers_.erase(found);
    return left;
}

std::vector<std::string> RemoteServers::expire(Clock::time_point now, Clock::duration bound, std::vector<std::string>& gone)
{
    for (const auto& [id, server] : servers_)
        if (now - server.heard_at > bound)
            gone.push_back(id);
    std::vector<std::string> left;
    for (const std::string& id : gone)
        for (std::string& name : forget(id))
            left.push_back(std::move(name));
    return left;
}

std::set<std::string> RemoteServers::servers() const
{
    std::set<std::string> ids;
    for (const auto& entry : servers_)
        ids.insert(entry.first);
    return ids;
}

}  // namespace velmora
