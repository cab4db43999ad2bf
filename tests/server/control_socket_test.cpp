// The control socket on an event loop of the test's own, with a fake handler in place of the
// room: through the real `velmora-server ctl`, and through plain socket writes.
#include "control_client.h"
#include "control_socket.h"
#include "harness.h"
#include "io_thread.h"
#include "raw_socket.h"
#include "server_limits.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace velmora::test {
namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// A group every Debian system has, that the tests' user is not in, for the socket's group.
constexpr char kOtherGroup[] = "daemon";
// Ids that a child of a test run as root takes: the daemon user and the nogroup group.
constexpr uid_t kOtherUser = 1;
constexpr gid_t kOtherGroupId = 65534;

int ExitCode(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Joined(const std::vector<std::string>& words)
{
    std::string joined;
    for (const auto& word : words)
        joined += (joined.empty() ? "" : "|") + word;
    return joined;
}

class ControlSocketTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        socket_ = Make(path_);
    }

    void TearDown() override
    {
        loop_.Call([this] {
            for (auto& socket : sockets_)
                socket->stop();
        });
        loop_.Finish();
    }

    ControlSocket* Make(const std::string& path, const std::string& group = "")
    {
        return loop_.Call([&] {
            sockets_.push_back(std::make_unique<ControlSocket>(
                loop_.io(), path, group, [this](const auto& words, const auto& peer) { return Handle(words, peer); },
                [this](std::string_view line) { log_.emplace_back(line); }));
            return sockets_.back().get();
        });
    }

    // The fake server's commands.
    ControlReply Handle(const std::vector<std::string>& words, const PeerInfo& peer)
    {
        requests_.push_back(words);
        if (words[0] == "who")
            return ControlReply::Listed(
                {{"name", "address"}, {{"alice", "192.0.2.7"}, {"bob-the-builder", "198.51.100.20"}}}, "2 members");
        if (words[0] == "kick")
            return ControlReply::Refused("no member is named " + words.at(1));
        if (words[0] == "whoami")
            return ControlReply::Done(std::to_string(peer.pid) + " " + std::to_string(peer.uid) + " "
                + std::to_string(peer.gid));
        if (words[0] == "crash")
            throw std::runtime_error("the handler broke");
        return ControlReply::Done("did " + Joined(words));
    }

    ExitResult Ctl(std::vector<std::string> args, const std::string& path = {})
    {
        args.insert(args.begin(), {"ctl", "--control", path.empty() ? path_ : path});
        return RunServer(args);
    }

    std::vector<std::vector<std::string>> Requests()
    {
        return loop_.Call([this] { return requests_; });
    }

    // Sends `request` as it is and returns the reply, parsed.
    nlohmann::json Raw(const std::string& request)
    {
        RawSocket socket = RawSocket::Unix(path_);
        EXPECT_TRUE(socket.Send(request)) << socket.error();
        const auto received = socket.ReadUntilClosed(kTimeout);
        EXPECT_TRUE(received.ended);
        EXPECT_EQ(received.bytes.find('\n'), received.bytes.size() - 1) << received.bytes;
        return nlohmann::json::parse(received.bytes, nullptr, false);
    }

    IoThread loop_;
    ScratchDir scratch_;
    std::string dir_ = scratch_.path();
    std::string path_ = dir_ + "/control";
    std::vector<std::unique_ptr<ControlSocket>> sockets_;
    ControlSocket* socket_ = nullptr;
    // Touched on the loop's thread only.
    std::vector<std::vector<std::string>> requests_;
    std::vector<std::string> log_;
};

TEST_F(ControlSocketTest, TheClientPrintsTheMessageAndTheTableInColumns)
{
    const ExitResult result = Ctl({"who"});
    EXPECT_EQ(ExitCode(result.status), kControlExitDone) << result.err;
    EXPECT_EQ(result.out,
        "2 members\n"
        "name             address\n"
        "alice            192.0.2.7\n"
        "bob-the-builder  198.51.100.20\n");
    EXPECT_EQ(result.err, "");
}

TEST_F(ControlSocketTest, ARefusalIsTheServersErrorOnStandardErrorAndStatus1)
{
    const ExitResult result = Ctl({"kick", "bob"});
    EXPECT_EQ(ExitCode(result.status), kControlExitRefused);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "velmora-server ctl: no member is named bob\n");
}

TEST_F(ControlSocketTest, WithJsonTheReplyIsPrintedAsOneLineOfJson)
{
    ExitResult result = Ctl({"--json", "who"});
    EXPECT_EQ(ExitCode(result.status), kControlExitDone) << result.err;
    ASSERT_EQ(result.out.find('\n'), result.out.size() - 1) << result.out;
    const auto reply = nlohmann::json::parse(result.out);
    EXPECT_EQ(reply["ok"], true);
    EXPECT_EQ(reply["message"], "2 members");
    EXPECT_EQ(reply["table"]["columns"], nlohmann::json({"name", "address"}));
    EXPECT_EQ(reply["table"]["rows"][1], nlohmann::json({"bob-the-builder", "198.51.100.20"}));

    result = Ctl({"--json", "kick", "bob"});
    EXPECT_EQ(ExitCode(result.status), kControlExitRefused);
    EXPECT_EQ(nlohmann::json::parse(result.out), nlohmann::json::parse(R"({"ok":false,"error":"no member is named bob"})"));
    EXPECT_EQ(result.err, "velmora-server ctl: no member is named bob\n");
}

TEST_F(ControlSocketTest, TheWordsAfterTheCommandReachTheServerAsTyped)
{
    const ExitResult result = Ctl({"--timeout", "20", "say", "--json", "-x", "two words", ""});
    EXPECT_EQ(ExitCode(result.status), kControlExitDone) << result.err;
    EXPECT_EQ(result.out, "did say|--json|-x|two words|\n");
    EXPECT_EQ(Requests(), (std::vector<std::vector<std::string>>{{"say", "--json", "-x", "two words", ""}}));
}

TEST_F(ControlSocketTest, NoServerAtThePathIsSaidPlainly)
{
    const std::string absent = dir_ + "/absent";
    const ExitResult result = Ctl({"who"}, absent);
    EXPECT_EQ(ExitCode(result.status), kControlExitNoAnswer);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "velmora-server ctl: no velmora-server is listening on " + absent
            + "; is it running with --control " + absent + "?\n");
}

TEST_F(ControlSocketTest, AServerThatDoesNotAnswerInTimeIsSaidPlainly)
{
    // Listens, but never takes the connection.
    const std::string mute = dir_ + "/mute";
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, mute.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(fd, 4), 0);
    const ExitResult result = Ctl({"--timeout", "0.5", "who"}, mute);
    close(fd);
    EXPECT_EQ(ExitCode(result.status), kControlExitNoAnswer);
    EXPECT_EQ(result.err, "velmora-server ctl: no reply from the velmora-server on " + mute + " within 0.5 s\n");
}

TEST_F(ControlSocketTest, AClientThatSaysNothingGetsAnErrorAndIsClosed)
{
    const auto start = Clock::now();
    RawSocket silent = RawSocket::Unix(path_);
    ASSERT_GE(silent.fd(), 0) << silent.error();
    const auto received = silent.ReadUntilClosed(kControlRequestTimeout + kTimeout);
    EXPECT_GE(Clock::now() - start, kControlRequestTimeout);
    EXPECT_TRUE(received.ended);
    const auto reply = nlohmann::json::parse(received.bytes, nullptr, false);
    EXPECT_EQ(reply["ok"], false) << received.bytes;
    EXPECT_NE(reply.value("error", "").find("no whole request came within 2 s"), std::string::npos) << received.bytes;
    EXPECT_TRUE(Requests().empty());
}

TEST_F(ControlSocketTest, ARequestPastTheLimitIsRefused)
{
    // ["say","xxx..."] and its newline: 11 bytes and the padding.
    const std::string fits = RequestLine({"say", std::string(kControlRequestMaxBytes - 11, 'x')});
    ASSERT_EQ(fits.size(), kControlRequestMaxBytes);
    EXPECT_EQ(Raw(fits)["ok"], true);

    const std::string longer = RequestLine({"say", std::string(kControlRequestMaxBytes - 10, 'x')});
    const auto refused = Raw(longer);
    EXPECT_EQ(refused["ok"], false);
    EXPECT_NE(refused.value("error", "").find("longer than 4096 bytes"), std::string::npos) << refused;
    EXPECT_EQ(Raw("[\"say\",\"" + std::string(8 * kControlRequestMaxBytes, 'x'))["ok"], false);
    EXPECT_EQ(Requests().size(), 1u);
}

TEST_F(ControlSocketTest, JunkIsRefusedWithAReason)
{
    for (const char* junk : {"who\n", "[]\n", "[\"who\",1]\n", "{\"who\":true}\n", "[\"who\"\n", "[\"\xff\"]\n", "\n"}) {
        const auto reply = Raw(junk);
        EXPECT_EQ(reply["ok"], false) << junk;
        EXPECT_FALSE(reply.value("error", "").empty()) << junk;
    }
    EXPECT_TRUE(Requests().empty());
}

// What the handler is told of a request sent by a child process that takes `uid` and `gid` first.
std::string AskedAs(const std::string& path, uid_t uid, gid_t gid, pid_t& child)
{
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0)
        return "no pipe";
    child = fork();
    if (child == 0) {
        close(pipe_fds[0]);
        if (setgid(gid) != 0 || setuid(uid) != 0)
            _exit(1);
        RawSocket socket = RawSocket::Unix(path);
        socket.Send("[\"whoami\"]\n");
        const std::string reply = socket.ReadUntilClosed(kTimeout).bytes;
        _exit(write(pipe_fds[1], reply.data(), reply.size()) < 0 ? 2 : 0);
    }
    close(pipe_fds[1]);
    std::string reply;
    char buffer[4096];
    for (ssize_t n; (n = read(pipe_fds[0], buffer, sizeof buffer)) > 0;)
        reply.append(buffer, static_cast<std::size_t>(n));
    close(pipe_fds[0]);
    waitpid(child, nullptr, 0);
    return nlohmann::json::parse(reply, nullptr, false).value("message", "no message in: " + reply);
}

TEST_F(ControlSocketTest, TheHandlerLearnsWhoIsAsking)
{
    // As root, uid and gid are both 0: a child with ids of its own tells them apart.
    const uid_t uid = geteuid() == 0 ? kOtherUser : getuid();
    const gid_t gid = geteuid() == 0 ? kOtherGroupId : getgid();
    if (geteuid() == 0) {
        fs::permissions(dir_, fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
        fs::permissions(path_, fs::perms::others_read | fs::perms::others_write, fs::perm_options::add);
    }
    pid_t child = 0;
    const std::string message = AskedAs(path_, uid, gid, child);
    EXPECT_EQ(message, std::to_string(child) + " " + std::to_string(uid) + " " + std::to_string(gid));
}

TEST_F(ControlSocketTest, AHandlerThatFailsGivesAnErrorAndTheSocketGoesOn)
{
    const auto reply = Raw("[\"crash\"]\n");
    EXPECT_EQ(reply["ok"], false);
    const auto log = loop_.Call([this] { return log_; });
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find("the handler broke"), std::string::npos) << log[0];
    EXPECT_EQ(Raw("[\"who\"]\n")["ok"], true);
}

TEST_F(ControlSocketTest, ConnectionsPastTheLimitGetAnErrorAtOnce)
{
    std::vector<RawSocket> held;
    for (std::size_t i = 0; i < kControlMaxConnections; ++i)
        held.push_back(RawSocket::Unix(path_));
    ASSERT_TRUE(WaitFor([&] { return loop_.Call([this] { return socket_->connections(); }) == kControlMaxConnections; },
        kTimeout));
    const auto start = Clock::now();
    RawSocket extra = RawSocket::Unix(path_);
    const auto received = extra.ReadUntilClosed(kTimeout);
    EXPECT_LT(Clock::now() - start, kControlRequestTimeout);
    EXPECT_TRUE(received.ended);
    const auto reply = nlohmann::json::parse(received.bytes, nullptr, false);
    EXPECT_EQ(reply["ok"], false) << received.bytes;
    EXPECT_NE(reply.value("error", "").find("open at once"), std::string::npos) << received.bytes;
}

TEST_F(ControlSocketTest, TheSocketIsForItsOwnerAndItsGroupAndStopRemovesIt)
{
    struct stat status {};
    ASSERT_EQ(lstat(path_.c_str(), &status), 0);
    EXPECT_TRUE(S_ISSOCK(status.st_mode));
    EXPECT_EQ(status.st_mode & 07777, 0660u);

    loop_.Call([this] { socket_->stop(); });
    EXPECT_FALSE(fs::exists(fs::symlink_status(path_)));
    EXPECT_EQ(ExitCode(Ctl({"who"}).status), kControlExitNoAnswer);
}

TEST_F(ControlSocketTest, AGroupGivenOwnsTheSocketAndAnUnknownOneIsAnError)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "giving a socket to a group one is not in needs root";
    const std::string grouped = dir_ + "/grouped";
    Make(grouped, kOtherGroup);
    struct stat status {};
    ASSERT_EQ(lstat(grouped.c_str(), &status), 0);
    EXPECT_EQ(status.st_gid, getgrnam(kOtherGroup)->gr_gid);

    const std::string unknown = dir_ + "/unknown";
    try {
        Make(unknown, "no-such-group-here");
        ADD_FAILURE() << "an unknown group was taken";
    } catch (const std::system_error& e) {
        EXPECT_NE(std::string(e.what()).find("there is no group named 'no-such-group-here'"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(unknown)));
}

TEST_F(ControlSocketTest, PermissionDeniedNamesTheGroupToJoin)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "running the client as another user needs root";
    const std::string grouped = dir_ + "/grouped";
    Make(grouped, kOtherGroup);
    fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read
            | fs::perms::others_exec);
    const std::string command = "setpriv --reuid=65534 --regid=65534 --clear-groups '" + ServerPath() + "' ctl --control '"
        + grouped + "' who 2>&1 >/dev/null";
    std::string err;
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        err.append(buffer, n);
    EXPECT_EQ(ExitCode(pclose(pipe)), kControlExitNoAnswer);
    EXPECT_EQ(err, "velmora-server ctl: permission denied on " + grouped + "; join the group " + kOtherGroup
            + " (or run as root)\n");
}

TEST_F(ControlSocketTest, AFileThatIsNotASocketIsLeftAlone)
{
    const std::string taken = dir_ + "/taken";
    std::ofstream(taken) << "precious\n";
    try {
        Make(taken);
        ADD_FAILURE() << "a regular file was taken over";
    } catch (const std::system_error& e) {
        EXPECT_NE(std::string(e.what()).find(taken + " is not a socket"), std::string::npos) << e.what();
    }
    std::ifstream in(taken);
    std::string content;
    std::getline(in, content);
    EXPECT_EQ(content, "precious");
}

TEST_F(ControlSocketTest, ASocketLeftByAServerThatIsGoneIsReplaced)
{
    const std::string stale = dir_ + "/stale";
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, stale.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    close(fd);
    ASSERT_TRUE(fs::is_socket(stale));

    Make(stale);
    EXPECT_EQ(ExitCode(Ctl({"who"}, stale).status), kControlExitDone);
}

TEST_F(ControlSocketTest, AServerStillAnsweringIsNotTakenOver)
{
    EXPECT_THROW(Make(path_), std::system_error);
    EXPECT_EQ(ExitCode(Ctl({"who"}).status), kControlExitDone);
}

}  // namespace
}  // namespace velmora::test
