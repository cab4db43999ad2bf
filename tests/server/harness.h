#pragma once

#include <sys/types.h>

struct __natsConnection;

#include <chrono>
#include <initializer_list>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::test {

using namespace std::chrono_literals;

// Generous, because a shared machine may be busy; waits return as soon as the effect is seen.
constexpr auto kTimeout = std::chrono::milliseconds(10000);

// Milliseconds left until `deadline`, for poll(); 0 once it has passed.
int RemainingMs(std::chrono::steady_clock::time_point deadline);

std::string Mask(std::string_view plain);

// The velmora-server under test: the build's, or the one VELMORA_SERVER names (a sanitizer build).
std::string ServerPath();

// The real velmora-server binary as a child process, listening on a free port of loopback (or of
// the address a --bind among its arguments names). `environment` ("NAME=value") is added to the
// test's own.
class ServerProcess {
public:
    explicit ServerProcess(std::vector<std::string> extra_args = {}, const std::vector<std::string>& environment = {});
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    bool started() const { return port_ > 0; }

    void Signal(int signal_number) const;
    // Waits for the process to end; returns its wait status, or -1 on timeout.
    int WaitExit(std::chrono::milliseconds timeout = kTimeout);
    std::string Log() const;
    bool WaitForLog(std::string_view needle, std::chrono::milliseconds timeout = kTimeout) const;
    // How often `needle` stands in the log.
    std::size_t CountInLog(std::string_view needle) const;

private:
    pid_t pid_ = -1;
    int stdout_fd_ = -1;
    int port_ = 0;
    int status_ = -1;
    std::string log_path_;
};

struct ExitResult {
    int status = -1;
    std::string out;
    std::string err;
};

// How a NatsCluster lets clients in.
enum class NatsAccess {
    Open,      // anyone, without TLS
    // Mutual TLS with an authority made for the cluster, and users: the servers' user, with a
    // password or an NKey, may use the room "test" and nothing else; "other" may use other.>.
    Secured,
    // Operator mode: the servers' user signs in with a credentials file (keys made by
    // nats/make-keys.py), with the same permissions.
    Operator,
};

// What VELMORA_NATS_ACCESS names ("secured" or "operator"), so that the tests of the room can be
// run through either; Open when it is not set.
NatsAccess NatsAccessFromEnvironment();

// The secured cluster's users.
constexpr char kNatsServerUser[] = "velmora";
constexpr char kNatsServerPassword[] = "test-password-7Qf2xZ";
constexpr char kNatsOtherUser[] = "other";
constexpr char kNatsOtherPassword[] = "test-password-other-Lm4s";

// A cluster of real nats-server processes with JetStream, on loopback ports of their own.
class NatsCluster {
public:
    explicit NatsCluster(int nodes = 3, NatsAccess access = NatsAccess::Open);
    // Fails the test if the servers' user was refused anything.
    ~NatsCluster();
    NatsCluster(const NatsCluster&) = delete;
    NatsCluster& operator=(const NatsCluster&) = delete;

    // True once every node runs and JetStream has a leader.
    bool ready() const { return ready_; }
    std::string Url(int node) const;
    // The URLs of these nodes, comma-separated, for --nats.
    std::string Urls(std::initializer_list<int> nodes) const;
    // The options of velmora-server that sign in as the servers' user (with a password when
    // Secured), with TLS where the cluster wants it.
    std::vector<std::string> ServerArgs() const;
    // A file of the cluster's directory: the authority made for it (ca.pem), the certificate and
    // key of its clients (client-cert.pem, client-key.pem), the servers' user file (velmora-user).
    std::string File(const std::string& name) const { return dir_ + "/" + name; }
    void Kill(int node);
    // Starts a killed node again, with its ports and its store.
    void Start(int node);
    bool WaitReady(std::chrono::milliseconds timeout = 2 * kTimeout, bool report = true);

private:
    bool TryStart(int nodes);
    bool WriteConfig();
    std::string NodeLog(std::size_t node) const;
    void Clear();

    struct Node {
        int client_port = 0;
        int cluster_port = 0;
        pid_t pid = -1;
        // Where the log of the node's current run starts.
        std::size_t log_from = 0;
    };
    NatsAccess access_;
    std::string dir_;
    std::vector<Node> nodes_;
    bool ready_ = false;
};

// Test data: the keys nats/make-keys.py made.
std::string NatsKeyFile(const std::string& name);

// A bare NATS client of the test itself, for what no velmora-server would send.
struct NatsClientOptions {
    std::string url;
    std::string user;  // with password; empty: no user
    std::string password;
    // Empty: no TLS.
    std::string tls_ca;
    std::string tls_cert;
    std::string tls_key;
};

class NatsBareClient {
public:
    // Connects once, without reconnecting later.
    explicit NatsBareClient(const NatsClientOptions& options);
    ~NatsBareClient();
    NatsBareClient(const NatsBareClient&) = delete;
    NatsBareClient& operator=(const NatsBareClient&) = delete;

    // Empty once connected; otherwise why it is not.
    const std::string& connect_error() const { return connect_error_; }
    // Publishes `bytes` as they are and waits until the NATS server has had them; returns the
    // error it reported (such as a permissions violation), or an empty string.
    std::string Publish(const std::string& subject, std::string_view bytes);

private:
    __natsConnection* connection_ = nullptr;
    std::string connect_error_;
};

// Runs a program (the first word) with its arguments to completion, with `environment` ("NAME=value")
// added to the test's own.
ExitResult RunProgram(const std::vector<std::string>& argv, std::chrono::milliseconds timeout = kTimeout,
    const std::vector<std::string>& environment = {});
// Runs the server binary with these arguments to completion (for options that exit at once).
ExitResult RunServer(const std::vector<std::string>& args, std::chrono::milliseconds timeout = kTimeout,
    const std::vector<std::string>& environment = {});

enum class Closed { Eof, Reset, StillOpen };

// A blocking loopback TCP client that speaks plain POSIX sockets.
class Client {
public:
    explicit Client(int port, int receive_buffer = 0);
    // Connects from another loopback address (127.0.0.2, ...), as a member of another address would.
    Client(int port, const std::string& from);
    // Takes over a socket connected elsewhere (from another network namespace, say).
    struct Connected {
        int fd;
    };
    explicit Client(Connected socket) : fd_(socket.fd) {}
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    int fd() const { return fd_; }
    void Send(std::string_view bytes);
    // Exactly n bytes as they came off the wire, or fewer if the time ran out or the stream ended.
    std::string ReadRaw(std::size_t n, std::chrono::milliseconds timeout = kTimeout);
    // Exactly n bytes, unmasked.
    std::string Read(std::size_t n, std::chrono::milliseconds timeout = kTimeout);
    // The next line, unmasked and without its CR LF; what came instead, marked, if none did in time.
    std::string ReadLine(std::chrono::milliseconds timeout = kTimeout);
    // True when nothing arrives within `quiet`.
    bool Silent(std::chrono::milliseconds quiet = 200ms);
    // What has been received but not yet taken, unmasked.
    std::string TakeBuffered();
    // Reads and discards until the server ends the connection.
    Closed WaitClosed(std::chrono::milliseconds timeout = kTimeout);
    void ShutdownWrite();
    // Closes so that the peer sees a reset instead of an orderly end.
    void Reset();

private:
    // From 127.0.0.1 unless `from` names another loopback address.
    void Connect(int port, int receive_buffer, const std::string& from);

    int fd_ = -1;
    // Bytes read off the wire (still masked) that no caller has taken yet.
    std::string unread_;
};

// Asserts, at the caller's line, that the client's next line is `text`.
#define EXPECT_LINE(client, text) EXPECT_EQ((client).ReadLine(), std::string_view(text))

// A directory of the test's own, removed with everything in it at the end.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string Path(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Every line of `text` (CR LF ended) as a list.
std::vector<std::string> SplitLines(const std::string& text);

// Sends all of `data` from one client while reading from another, so neither side's buffers fill.
// Returns what `to` received, unmasked, once `done` says it is complete or the time ran out.
std::string Pump(Client& from, std::string_view data, Client& to, const std::function<bool(const std::string&)>& done,
    std::chrono::milliseconds timeout = kTimeout);

// The payload of a stream of relay lines that all start with `prefix`, prefixes and line ends
// taken out; a line without the prefix or its CR LF ends it.
std::string StripPrefixes(const std::string& stream, const std::string& prefix);

} // namespace velmora::test
