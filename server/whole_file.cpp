#include "whole_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace velmora {

namespace {

// New files hold who was banned and why: for the server's user alone.
constexpr mode_t kNewFileMode = 0600;

std::string Why(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

// The directory that holds `path`, to flush the rename in it.
std::string DirectoryOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool WriteAll(int fd, const std::string& contents)
{
    std::size_t written = 0;
    while (written < contents.size()) {
        const ssize_t n = write(fd, contents.data() + written, contents.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        written += static_cast<std::size_t>(n);
    }
    return true;
}

// Writes and flushes the whole file at `path`; false, with why, when any step fails.
bool WriteDurably(const std::string& path, const std::string& contents, std::string& error)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, kNewFileMode);
    if (fd < 0) {
        error = Why("cannot create " + path);
        return false;
    }
    bool ok = WriteAll(fd, contents);
    if (!ok)
        error = Why("cannot write " + path);
    else if (!(ok = fsync(fd) == 0))
        error = Why("cannot flush " + path + " to disk");
    if (close(fd) != 0 && ok) {
        error = Why("cannot close " + path);
        ok = false;
    }
    return ok;
}

bool SyncDirectory(const std::string& directory)
{
    const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = fsync(fd) == 0;
    close(fd);
    return synced;
}

}  // namespace

FileRead ReadWholeFile(const std::string& path, std::size_t max_bytes, std::string& contents, std::string& error)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT)
        return FileRead::Missing;
    if (fd < 0) {
        error = Why("cannot open it");
        return FileRead::Failed;
    }
    contents.clear();
    FileRead result = FileRead::Read;
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            break;
        if (n < 0)
            error = Why("cannot read it");
        else if (contents.size() + static_cast<std::size_t>(n) > max_bytes)
            error = "it is larger than " + std::to_string(max_bytes) + " bytes";
        else {
            contents.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        result = FileRead::Failed;
        break;
    }
    close(fd);
    return result;
}

bool ReplaceFile(const std::string& path, const std::string& contents, std::string& error)
{
    const std::string written = path + ".new";
    if (!WriteDurably(written, contents, error)) {
        unlink(written.c_str());
        return false;
    }
    if (rename(written.c_str(), path.c_str()) != 0) {
        error = Why("cannot rename " + written + " over it");
        unlink(written.c_str());
        return false;
    }
    if (!SyncDirectory(DirectoryOf(path))) {
        error = Why("it was replaced, but its directory could not be flushed to disk, so a crash now may bring back "
                    "the old file");
        return false;
    }
    return true;
}

}  // namespace velmora
