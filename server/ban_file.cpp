#include "ban_file.h"

#include "server_limits.h"
#include "whole_file.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <ctime>

namespace velmora {

namespace {

using nlohmann::json;
using Clock = Ban::Clock;

// Raised whenever a file of the new format could not be read right by a server that reads this one.
constexpr int kBanFileVersion = 1;

constexpr char kTimeFormat[] = "%Y-%m-%dT%H:%M:%SZ";
constexpr std::size_t kTimeTextBytes = 20;

std::string TimeText(Clock::time_point time)
{
    const std::time_t seconds = Clock::to_time_t(time);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, kTimeFormat, &utc);
    return text;
}

std::optional<Clock::time_point> ParseTime(const std::string& text)
{
    std::tm utc{};
    char zone = 0;
    if (text.size() != kTimeTextBytes
        || std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &utc.tm_year, &utc.tm_mon, &utc.tm_mday,
               &utc.tm_hour, &utc.tm_min, &utc.tm_sec, &zone) != 7)
        return std::nullopt;
    utc.tm_year -= 1900;
    utc.tm_mon -= 1;
    const auto time = Clock::from_time_t(timegm(&utc));
    // Written back, a time that does not exist (February 30th, 25 o'clock) or is spelled oddly differs.
    if (TimeText(time) != text)
        return std::nullopt;
    return time;
}

const json* Field(const json& object, const char* key, std::string& why)
{
    const auto found = object.find(key);
    if (found == object.end()) {
        why = std::string("it has no \"") + key + "\"";
        return nullptr;
    }
    return &*found;
}

std::optional<Clock::time_point> TimeField(const json& object, const char* key, std::string& why)
{
    const json* field = Field(object, key, why);
    if (!field)
        return std::nullopt;
    const auto time = field->is_string() ? ParseTime(field->get<std::string>()) : std::nullopt;
    if (!time)
        why = std::string("its \"") + key + "\" is not a time such as \"2024-05-01T12:00:00Z\"";
    return time;
}

// False, with why, when `object` has no "until" that is null or a time.
bool UntilField(const json& object, std::optional<Clock::time_point>& until, std::string& why)
{
    const json* field = Field(object, "until", why);
    if (!field) {
        why += " (null for a ban without an end)";
        return false;
    }
    if (field->is_null())
        return true;
    until = TimeField(object, "until", why);
    return until.has_value();
}

std::optional<Ban> BanFromJson(const json& item, std::string& why)
{
    if (!item.is_object()) {
        why = "it is not a JSON object";
        return std::nullopt;
    }
    const json* range_field = Field(item, "range", why);
    const json* reason = Field(item, "reason", why);
    if (!range_field || !reason)
        return std::nullopt;
    if (!range_field->is_string() || !reason->is_string()) {
        why = "its \"range\" or \"reason\" is not a string";
        return std::nullopt;
    }
    const auto range = AddressRange::Parse(range_field->get<std::string>(), why);
    const auto since = range ? TimeField(item, "since", why) : std::nullopt;
    std::optional<Clock::time_point> until;
    if (!since || !UntilField(item, until, why))
        return std::nullopt;
    if (until && *until < *since) {
        why = "it ends before it begins";
        return std::nullopt;
    }
    return Ban{*range, *since, until, reason->get<std::string>()};
}

const json* BansOf(const json& file, std::string& why)
{
    const auto version = file.is_object() ? file.find("version") : file.end();
    if (!file.is_object() || version == file.end())
        why = "it has no format version";
    else if (*version != kBanFileVersion)
        why = "its format version is " + version->dump() + ", and this server reads version "
            + std::to_string(kBanFileVersion);
    else if (!file.contains("bans") || !file["bans"].is_array())
        why = "it has no list of bans";
    else if (file["bans"].size() > kMaxBans)
        why = "it holds " + std::to_string(file["bans"].size()) + " bans, more than the " + std::to_string(kMaxBans)
            + " a server keeps";
    else
        return &file["bans"];
    return nullptr;
}

bool ReadBans(const std::string& text, BanList& loaded, std::string& why)
{
    json file;
    try {
        file = json::parse(text);
    } catch (const json::parse_error& e) {
        const std::string what = e.what();
        if (e.byte > text.size())
            why = "it ends too soon (it was cut short)";
        else
            why = "it is not JSON (" + what.substr(what.find(' ') + 1) + ")";
        return false;
    }
    const json* bans = BansOf(file, why);
    if (!bans)
        return false;
    for (std::size_t i = 0; i < bans->size(); ++i) {
        const auto ban = BanFromJson((*bans)[i], why);
        if (ban && loaded.add(*ban) != BanList::Added::Replaced)
            continue;
        if (ban)
            why = ban->range.text() + " is banned twice";
        why = "ban " + std::to_string(i + 1) + ": " + why;
        return false;
    }
    return true;
}

nlohmann::ordered_json BanToJson(const Ban& ban)
{
    nlohmann::ordered_json item;
    item["range"] = ban.range.text();
    item["since"] = TimeText(ban.since);
    item["until"] = ban.until ? nlohmann::ordered_json(TimeText(*ban.until)) : nullptr;
    item["reason"] = ban.reason;
    return item;
}

}  // namespace

bool LoadBans(const std::string& path, BanList& bans, std::string& error)
{
    std::string text;
    std::string why;
    switch (ReadWholeFile(path, kBanFileMaxBytes, text, why)) {
    case FileRead::Missing:
        bans = BanList();
        return true;
    case FileRead::Failed:
        error = "cannot read the bans from " + path + ": " + why;
        return false;
    case FileRead::Read:
        break;
    }
    BanList loaded;
    if (!ReadBans(text, loaded, why)) {
        error = "the ban file " + path + " is damaged: " + why + "; repair it or move it away";
        return false;
    }
    bans = std::move(loaded);
    return true;
}

bool SaveBans(const std::string& path, const BanList& bans, std::string& error)
{
    const auto now = Clock::now();
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const Ban& ban : bans.all()) {
        if (!ban.ended(now))
            list.push_back(BanToJson(ban));
    }
    nlohmann::ordered_json file;
    file["version"] = kBanFileVersion;
    file["bans"] = std::move(list);
    // Reasons are cleaned text that may not be UTF-8; such bytes are saved as U+FFFD.
    const std::string text = file.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
    std::string why;
    if (!ReplaceFile(path, text, why)) {
        error = "cannot save the bans to " + path + ": " + why;
        return false;
    }
    return true;
}

std::string BanRecord(const Ban& ban)
{
    return BanToJson(ban).dump();
}

std::optional<Ban> ParseBanRecord(std::string_view record, std::string& why)
{
    try {
        return BanFromJson(json::parse(record), why);
    } catch (const json::parse_error&) {
        why = "it is not JSON";
        return std::nullopt;
    }
}

}  // namespace velmora
