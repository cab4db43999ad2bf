// Small files read and written whole: a file is replaced so that a crash at any moment leaves
// either the old file or the new one, never a mix.
#pragma once

#include <cstddef>
#include <string>

namespace velmora {

enum class FileRead { Read, Missing, Failed };

// Reads the file at `path` into `contents`. Missing when there is no such file; Failed, with why in
// `error`, when it cannot be read or holds more than `max_bytes`.
FileRead ReadWholeFile(const std::string& path, std::size_t max_bytes, std::string& contents, std::string& error);

// Writes `contents` to a file beside `path`, flushes it to the disk, renames it over `path` and
// flushes the directory. False, with why in `error`, when any step fails; up to the rename the old
// file is untouched, and a failure after it says so.
bool ReplaceFile(const std::string& path, const std::string& contents, std::string& error);

}  // namespace velmora
