#include "commands.h"

#include "lines.h"
#include "names.h"

#include <chrono>

namespace velmora {

namespace {

constexpr std::string_view kBlanks = " \t\r\n";

const char* const kHelpLines[] = {
    "/nick NAME      take NAME (1 to 16 of A-Z a-z 0-9 _ -) as your name in the room",
    "/who            list who is here",
    "/me ACTION      tell the room what you are doing: * NAME ACTION",
    "/quit [REASON]  leave the room, telling it why",
    "/help           this list",
    "//text          say text that starts with /",
};

std::string_view Trimmed(std::string_view text)
{
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

void Nick(Room& room, const MemberPtr& from, std::string_view name)
{
    if (name.empty()) {
        room.reply(from, Line("Usage: /nick NAME"));
        return;
    }
    std::string problem = NameProblem(name, from->guest_name);
    const auto now = std::chrono::steady_clock::now();
    const MemberPtr holder = problem.empty() ? room.find(name) : nullptr;
    const std::string remote_holder = problem.empty() ? room.held_elsewhere(name) : std::string();
    if (problem.empty() && name == from->name)
        problem = "You are already known as " + from->name + ".";
    else if (problem.empty() && now < from->rename_ready_at) {
        const auto wait = std::chrono::ceil<std::chrono::seconds>(from->rename_ready_at - now).count();
        problem = "You renamed a moment ago; you can change your name again in " + std::to_string(wait) + " s.";
    } else if (problem.empty() && holder && holder != from)
        problem = "The name " + (FoldCase(holder->name) == FoldCase(name) ? holder->name : std::string(name)) + " is taken.";
    else if (problem.empty() && !remote_holder.empty())
        problem = "The name " + remote_holder + " is taken.";
    if (!problem.empty()) {
        room.reply(from, Line(problem));
        return;
    }
    room.request_rename(from, std::string(name));
}

void Who(Room& room, const MemberPtr& from)
{
    const std::size_t total = room.total_size();
    std::vector<std::string> names = room.names(kWhoNamesMax);
    if (total > names.size()) {
        const std::string more = "and " + Grouped(total - names.size()) + " more";
        if (names.empty())
            names.push_back(more);
        else
            names.back() += " " + more;
    }
    // Wrapped at names, never inside one.
    std::string lines;
    std::string line = Counted(total, "member", "members") + " here:";
    for (const std::string& name : names) {
        if (line.size() + 1 + name.size() + 1 > kLineMaxBytes - kLineEndBytes) {
            AppendLine(lines, line);
            line.clear();
        } else {
            line += ' ';
        }
        line += name;
        if (&name != &names.back())
            line += ',';
    }
    AppendLine(lines, line);
    room.reply(from, lines);
}

void Help(Room& room, const MemberPtr& from)
{
    std::string lines;
    for (const char* line : kHelpLines)
        AppendLine(lines, line);
    room.reply(from, lines);
}

}  // namespace

void RunCommand(Room& room, const MemberPtr& from, std::string_view bytes)
{
    if (bytes.substr(0, 2) == "//") {
        room.relay(from, bytes.substr(1));
        return;
    }
    const std::string_view line = Trimmed(bytes.substr(1));
    const std::size_t space = line.find_first_of(kBlanks);
    const std::string command = FoldCase(line.substr(0, space));
    const std::string_view argument = space == std::string_view::npos ? std::string_view{} : Trimmed(line.substr(space));

    if (command == "nick")
        Nick(room, from, argument);
    else if (command == "who")
        Who(room, from);
    else if (command == "me" && !argument.empty())
        room.action(from, argument);
    else if (command == "me")
        room.reply(from, Line("Usage: /me ACTION"));
    else if (command == "help")
        Help(room, from);
    else if (command == "quit")
        room.quit(from, argument);
    else
        room.reply(from, Line("unknown command, try /help"));
}

}  // namespace velmora
