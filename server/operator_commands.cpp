#include "operator_commands.h"

#include "durations.h"
#include "lines.h"

#include <ctime>

namespace velmora {

namespace {

const char* const kHelp[][2] = {
    {"who", "every member: address, since when, traffic, queue, throttled, muted, server"},
    {"kick NAME [REASON]", "remove a member of this server, telling it and the room why"},
    {"ban ADDRESS[/PREFIX] [--for DURATION] [REASON]", "keep an address or range out, and remove its members"},
    {"unban ADDRESS[/PREFIX]", "lift a ban"},
    {"bans", "the bans in force"},
    {"mute NAME [--for DURATION]", "what a member of this server says reaches no one"},
    {"unmute NAME", "let a muted member speak again"},
    {"say TEXT", "a line to everyone in the room: * server: TEXT"},
    {"reload", "read the message of the day and the ban file again (also SIGHUP)"},
    {"help", "this list"},
};

std::string Joined(const std::vector<std::string>& words, std::size_t from)
{
    std::string text;
    for (std::size_t i = from; i < words.size(); ++i)
        text += (text.empty() ? "" : " ") + words[i];
    return text;
}

// Takes "--for DURATION" out of the words after the first two; false, and why, when it is wrong.
bool TakeDuration(std::vector<std::string>& words, std::optional<std::chrono::seconds>& duration, std::string& why)
{
    for (std::size_t i = 2; i < words.size(); ++i) {
        if (words[i] != "--for")
            continue;
        if (i + 1 == words.size() || !(duration = ParseDuration(words[i + 1]))) {
            why = "--for needs a duration such as 90s, 15m, 2h, 7d or 1h30m";
            return false;
        }
        words.erase(words.begin() + static_cast<std::ptrdiff_t>(i), words.begin() + static_cast<std::ptrdiff_t>(i) + 2);
        return true;
    }
    return true;
}

std::string UtcTime(std::chrono::system_clock::time_point time)
{
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

}  // namespace

ControlReply OperatorCommands::run(const std::vector<std::string>& words, const PeerInfo& peer)
{
    if (c_.log)
        c_.log("control (uid " + std::to_string(peer.uid) + ", pid " + std::to_string(peer.pid)
            + "): " + Cleaned(Joined(words, 0)).substr(0, kLoggedTextMaxBytes));
    const std::string& command = words.front();
    if (command == "who" && words.size() == 1)
        return who();
    if (command == "kick" && words.size() >= 2)
        return kick(words);
    if (command == "ban" && words.size() >= 2)
        return ban(words);
    if (command == "unban" && words.size() == 2)
        return unban(words);
    if (command == "bans" && words.size() == 1)
        return bans();
    if ((command == "mute" || command == "unmute") && words.size() >= 2)
        return mute(words, command == "mute");
    if (command == "say" && words.size() >= 2)
        return say(words);
    if (command == "reload" && words.size() == 1)
        return reload();
    if (command == "help" && words.size() == 1) {
        ControlTable table{{"command", "what it does"}, {}};
        for (const auto& [usage, what] : kHelp)
            table.rows.push_back({usage, what});
        return ControlReply::Listed(std::move(table));
    }
    return ControlReply::Refused("not a command, or not its arguments: " + Cleaned(Joined(words, 0)).substr(0, 80)
        + "; try: velmora-server ctl help");
}

ControlReply OperatorCommands::who() const
{
    ControlTable table{{"name", "address", "since", "messages in", "bytes in", "messages out", "bytes out",
                           "queued bytes", "throttled", "muted", "server"},
        {}};
    const auto now = std::chrono::steady_clock::now();
    const std::string here = c_.server_id.empty() ? "this" : c_.server_id;
    for (const MemberPtr& member : c_.server.room().members()) {
        const Session& session = *member->session;
        const Session::Traffic& t = session.traffic();
        table.rows.push_back({member->name, session.peer(), UtcTime(t.since), std::to_string(t.messages_in),
            std::to_string(t.bytes_in), std::to_string(t.messages_out), std::to_string(t.bytes_out),
            std::to_string(session.queued_cost()), session.throttled() ? "yes" : "no", member->muted_at(now) ? "yes" : "no",
            here});
    }
    if (const RemoteNames* remote = c_.server.room().remote_names())
        for (const auto& [folded, name] : *remote)
            table.rows.push_back({name.shown, "-", "-", "-", "-", "-", "-", "-", "-", "-", name.server});
    const std::size_t here_count = c_.server.room().size();
    return ControlReply::Listed(std::move(table), Counted(here_count, "member", "members") + " on this server, "
        + Counted(c_.server.room().total_size(), "member", "members") + " in the room");
}

MemberPtr OperatorCommands::member(const std::string& name, std::string& why) const
{
    const Room& room = c_.server.room();
    if (MemberPtr member = room.member_named(name))
        return member;
    const std::string elsewhere = room.held_elsewhere(name);
    if (!elsewhere.empty()) {
        const RemoteNames& remote = *room.remote_names();
        why = elsewhere + " is a member of another server of the room (" + remote.at(FoldCase(name)).server
            + "); use that server's control socket";
    } else {
        why = "no member is named " + Cleaned(name).substr(0, kNameMaxBytes + 8);
    }
    return nullptr;
}

ControlReply OperatorCommands::kick(const std::vector<std::string>& words)
{
    std::string why;
    const MemberPtr target = member(words[1], why);
    if (!target)
        return ControlReply::Refused(why);
    const std::string name = target->name;
    const std::string reason = Cleaned(Joined(words, 2)).substr(0, kRemoteReasonMaxBytes);
    c_.server.room().kick(target, reason);
    return ControlReply::Done("removed " + name + (reason.empty() ? "" : " (" + reason + ")"));
}

ControlReply OperatorCommands::ban(const std::vector<std::string>& words)
{
    std::vector<std::string> rest = words;
    std::optional<std::chrono::seconds> duration;
    std::string why;
    if (!TakeDuration(rest, duration, why))
        return ControlReply::Refused(why);
    const auto range = AddressRange::Parse(rest[1], why);
    if (!range)
        return ControlReply::Refused(why);
    const std::size_t before = c_.server.room().size();
    bool ok = false;
    std::string done = c_.bans.add(*range, duration, Joined(rest, 2), ok);
    if (!ok)
        return ControlReply::Refused(done);
    const std::size_t removed = before - c_.server.room().size();
    return ControlReply::Done(done + "; removed " + Counted(removed, "member", "members") + " of this server");
}

ControlReply OperatorCommands::unban(const std::vector<std::string>& words)
{
    std::string why;
    const auto range = AddressRange::Parse(words[1], why);
    if (!range)
        return ControlReply::Refused(why);
    if (!c_.bans.lift(*range))
        return ControlReply::Refused(range->text() + " is not banned (bans lists the bans in force)");
    return ControlReply::Done("lifted the ban on " + range->text());
}

ControlReply OperatorCommands::bans() const
{
    ControlTable table{{"range", "since", "until", "reason"}, {}};
    for (const Ban& ban : c_.bans.all())
        table.rows.push_back({ban.range.text(), UtcTime(ban.since), ban.until ? UtcTime(*ban.until) : "lifted by hand",
            ban.reason});
    return ControlReply::Listed(std::move(table), Counted(table.rows.size(), "ban", "bans") + " in force");
}

ControlReply OperatorCommands::mute(const std::vector<std::string>& words, bool on)
{
    std::vector<std::string> rest = words;
    std::optional<std::chrono::seconds> duration;
    std::string why;
    if (on && !TakeDuration(rest, duration, why))
        return ControlReply::Refused(why);
    if (rest.size() != 2)
        return ControlReply::Refused(std::string("usage: ") + (on ? "mute NAME [--for DURATION]" : "unmute NAME"));
    const MemberPtr target = member(rest[1], why);
    if (!target)
        return ControlReply::Refused(why);
    if (!on) {
        c_.server.room().unmute(target);
        return ControlReply::Done(target->name + " may speak again");
    }
    c_.server.room().mute(target, duration);
    return ControlReply::Done("muted " + target->name + (duration ? " for " + ShortDuration(*duration) : std::string())
        + "; the mute ends when it leaves");
}

ControlReply OperatorCommands::say(const std::vector<std::string>& words)
{
    const std::string text = Joined(words, 1);
    c_.server.room().say(text);
    return ControlReply::Done("said to the room: * server: " + Cleaned(text).substr(0, kRemoteReasonMaxBytes));
}

ControlReply OperatorCommands::reload()
{
    bool motd_ok = true;
    bool bans_ok = true;
    const std::string motd = c_.reload_motd ? c_.reload_motd(motd_ok) : "no message of the day to read";
    const std::string bans = c_.bans.reload(bans_ok);
    if (c_.log)
        c_.log("reload: " + motd + "; " + bans);
    if (!motd_ok || !bans_ok)
        return ControlReply::Refused(motd + "; " + bans);
    return ControlReply::Done(motd + "; " + bans);
}

}  // namespace velmora
