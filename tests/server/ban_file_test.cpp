// The ban file: what is saved loads back the same, a damaged file is an error and never a quietly
// shorter list, and a save that fails leaves the old file whole.
#include "ban_file.h"

#include "harness.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace velmora {
namespace {

using Clock = Ban::Clock;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

// The user that a failed save runs as when the tests run as root, who may write anywhere.
constexpr uid_t kNobody = 65534;

AddressRange Range(const std::string& text)
{
    std::string error;
    return AddressRange::Parse(text, error).value();
}

std::string Read(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void Write(const fs::path& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

class BanFile : public ::testing::Test {
protected:
    // A test may have made the directory read-only; it is removed all the same.
    void TearDown() override { fs::permissions(dir_, fs::perms::owner_all); }

    // A list with a permanent ban, one that ends, and reasons that JSON must escape.
    static BanList Sample()
    {
        const auto since = Clock::time_point(std::chrono::seconds(1714564800));
        BanList bans;
        bans.add({Range("192.0.2.0/24"), since, {}, "flooding \"everyone\" with C:\\paths"});
        bans.add({Range("198.51.100.7"), since + 1h, Clock::now() + 24h, "caf\xC3\xA9 spam"});
        return bans;
    }

    test::ScratchDir scratch_;
    fs::path dir_ = scratch_.path();
    std::string path_ = scratch_.Path("bans.json");
};

void ExpectSame(const BanList& loaded, const BanList& saved)
{
    const auto a = loaded.all();
    const auto b = saved.all();
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].range, b[i].range);
        EXPECT_EQ(a[i].since, b[i].since);
        EXPECT_EQ(a[i].until, b[i].until);
        EXPECT_EQ(a[i].reason, b[i].reason);
    }
}

TEST_F(BanFile, WhatIsSavedLoadsBackTheSame)
{
    const BanList saved = Sample();
    std::string error;
    ASSERT_TRUE(SaveBans(path_, saved, error)) << error;
    BanList loaded;
    ASSERT_TRUE(LoadBans(path_, loaded, error)) << error;
    ExpectSame(loaded, saved);
    EXPECT_FALSE(fs::exists(path_ + ".new"));
}

TEST_F(BanFile, EndedBansAreNotSaved)
{
    BanList bans = Sample();
    bans.add({Range("203.0.113.9"), Clock::now() - 2h, Clock::now() - 1h, "over"});
    std::string error;
    ASSERT_TRUE(SaveBans(path_, bans, error)) << error;
    EXPECT_EQ(Read(path_).find("203.0.113.9"), std::string::npos);
    BanList loaded;
    ASSERT_TRUE(LoadBans(path_, loaded, error)) << error;
    ExpectSame(loaded, Sample());
}

TEST_F(BanFile, AMissingFileIsAnEmptyList)
{
    BanList bans = Sample();
    std::string error;
    EXPECT_TRUE(LoadBans(path_, bans, error)) << error;
    EXPECT_EQ(bans.size(), 0u);
}

TEST_F(BanFile, ADamagedFileIsAnErrorNamingItAndWhatIsWrong)
{
    const std::string good_ban = R"({"range":"192.0.2.0/24","since":"2024-05-01T12:00:00Z","until":null,"reason":"x"})";
    const auto file = [](const std::string& bans) { return R"({"version":1,"bans":[)" + bans + "]}"; };
    std::string saved;
    {
        std::string error;
        ASSERT_TRUE(SaveBans(path_, Sample(), error)) << error;
        saved = Read(path_);
    }
    const std::vector<std::pair<std::string, std::string>> damaged{
        {saved.substr(0, saved.size() / 2), "cut short"},
        {"", "cut short"},
        {"bans: 192.0.2.0/24", "not JSON"},
        {saved + "}", "not JSON"},
        {"[]", "no format version"},
        {R"({"bans":[]})", "no format version"},
        {R"({"version":2,"bans":[]})", "format version is 2"},
        {R"({"version":1})", "no list of bans"},
        {R"({"version":1,"bans":{}})", "no list of bans"},
        {file(good_ban + ",7"), "ban 2: it is not a JSON object"},
        {file(R"({"range":"192.0.2.7/24","since":"2024-05-01T12:00:00Z","until":null,"reason":""})"),
            "ban 1: '192.0.2.7/24' has host bits set"},
        {file(R"({"range":"192.0.2.7","since":"2024-02-30T12:00:00Z","until":null,"reason":""})"),
            "ban 1: its \"since\" is not a time"},
        {file(R"({"range":"192.0.2.7","since":1714564800,"until":null,"reason":""})"), "its \"since\" is not a time"},
        {file(R"({"range":"192.0.2.7","since":"2024-05-01T12:00:00Z","until":"soon","reason":""})"),
            "its \"until\" is not a time"},
        {file(R"({"range":"192.0.2.7","since":"2024-05-01T12:00:00Z","reason":""})"), "it has no \"until\""},
        {file(R"({"range":"192.0.2.7","since":"2024-05-01T12:00:00Z","until":"2024-04-01T12:00:00Z","reason":""})"),
            "ends before it begins"},
        {file(R"({"range":"192.0.2.7","since":"2024-05-01T12:00:00Z","until":null})"), "it has no \"reason\""},
        {file(good_ban + "," + good_ban), "ban 2: 192.0.2.0/24 is banned twice"},
    };
    for (const auto& [text, what] : damaged) {
        Write(path_, text);
        BanList bans = Sample();
        std::string error;
        EXPECT_FALSE(LoadBans(path_, bans, error)) << text;
        EXPECT_NE(error.find(path_), std::string::npos) << error;
        EXPECT_NE(error.find(what), std::string::npos) << "expected \"" << what << "\" in: " << error;
        ExpectSame(bans, Sample());
    }
}

TEST_F(BanFile, AFileThatCannotBeReadIsAnError)
{
    fs::create_directory(path_);
    BanList bans;
    std::string error;
    EXPECT_FALSE(LoadBans(path_, bans, error));
    EXPECT_NE(error.find("cannot read the bans from " + path_), std::string::npos) << error;
}

// Saves in a child process that `prepare` has hobbled first; returns what SaveBans did.
bool SaveHobbled(const std::string& path, const BanList& bans, std::string& error, void (*prepare)())
{
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0)
        return false;
    const pid_t child = fork();
    if (child == 0) {
        close(pipe_fds[0]);
        prepare();
        std::string why;
        const bool saved = SaveBans(path, bans, why);
        if (write(pipe_fds[1], why.data(), why.size()) < 0)
            _exit(2);
        _exit(saved ? 0 : 1);
    }
    close(pipe_fds[1]);
    char buffer[4096];
    for (ssize_t n; (n = read(pipe_fds[0], buffer, sizeof buffer)) > 0;)
        error.append(buffer, static_cast<std::size_t>(n));
    close(pipe_fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Files may not grow past a few bytes, as when the disk is full: writing fails midway.
void LimitFileSize()
{
    const rlimit few_bytes{16, 16};
    signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &few_bytes);
}

// Root may write anywhere: a directory's permissions hold only for another user.
void GiveUpRoot()
{
    if (geteuid() == 0 && (setgid(kNobody) != 0 || setuid(kNobody) != 0))
        _exit(3);
}

TEST_F(BanFile, AFailedSaveLeavesTheOldFileAsItWas)
{
    std::string error;
    ASSERT_TRUE(SaveBans(path_, Sample(), error)) << error;
    const std::string before = Read(path_);
    BanList changed = Sample();
    changed.add({Range("203.0.113.0/24"), Clock::now(), {}, "new"});

    error.clear();
    EXPECT_FALSE(SaveHobbled(path_, changed, error, LimitFileSize));
    EXPECT_NE(error.find("cannot save the bans to " + path_ + ": cannot write " + path_ + ".new"), std::string::npos)
        << error;
    EXPECT_EQ(Read(path_), before);
    EXPECT_FALSE(fs::exists(path_ + ".new"));

    error.clear();
    fs::permissions(dir_, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read
            | fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
    EXPECT_FALSE(SaveHobbled(path_, changed, error, GiveUpRoot));
    EXPECT_NE(error.find("Permission denied"), std::string::npos) << error;
    EXPECT_EQ(Read(path_), before);
}

}  // namespace
}  // namespace velmora
