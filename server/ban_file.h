// The ban list on disk, so that bans survive restarts: a JSON file with a format version,
//   {"version": 1, "bans": [{"range": "192.0.2.0/24", "since": "2024-05-01T12:00:00Z",
//                            "until": null, "reason": "flooding"}]}
// with times in UTC to the second, and "until" null for a ban without an end.
#pragma once

#include "ban_list.h"

#include <optional>
#include <string>
#include <string_view>

namespace velmora {

// Replaces `bans` with the file's. A missing file is an empty list. A damaged one (cut short, not
// JSON, another format version, a bad range or time) is an error naming the file and what is
// wrong, and leaves `bans` as it was.
bool LoadBans(const std::string& path, BanList& bans, std::string& error);

// Writes the bans still in force as a whole new file (see ReplaceFile): a crash leaves the old
// list or the new one. A failure leaves the old file as it was and says why.
bool SaveBans(const std::string& path, const BanList& bans, std::string& error);

// One ban as the file writes it, for the room's bucket, and back: nothing, and why, for a record
// that breaks any rule the file keeps.
std::string BanRecord(const Ban& ban);
std::optional<Ban> ParseBanRecord(std::string_view record, std::string& why);

}  // namespace velmora
