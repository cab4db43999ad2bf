#include "harness.h"

#include "wire_protocol.h"

#include <gtest/gtest.h>
#include <nats/nats.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <algorithm>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>
#include <utility>

namespace velmora::test {

namespace {

using Clock = std::chrono::steady_clock;

std::vector<char*> Argv(std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    return argv;
}

// The test's own environment with `extra` ("NAME=value") added. What a service manager gives the
// test itself is left out: a server started here would tell that manager about itself.
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& extra)
{
    std::vector<std::string> variables;
    for (char** variable = environ; *variable; ++variable) {
        const std::string_view text(*variable);
        const std::string_view name = text.substr(0, text.find('='));
        if (name != "NOTIFY_SOCKET" && name != "WATCHDOG_USEC" && name != "WATCHDOG_PID")
            variables.emplace_back(text);
    }
    variables.insert(variables.end(), extra.begin(), extra.end());
    return variables;
}

// Reads everything from fd until it ends or the deadline passes; false on timeout.
bool Drain(int fd, std::string* into, Clock::time_point deadline)
{
    char buffer[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, RemainingMs(deadline));
        if (ready == 0)
            return false;
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return true;
        if (into)
            into->append(buffer, static_cast<std::size_t>(n));
    }
}

} // namespace

std::string ServerPath()
{
    const char* chosen = std::getenv("VELMORA_SERVER");
    return chosen && *chosen ? chosen : VELMORA_SERVER_PATH;
}

int RemainingMs(std::chrono::steady_clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

std::string Mask(std::string_view plain)
{
    std::string masked(plain);
    MaskChunk(masked.data(), static_cast<int>(masked.size()));
    return masked;
}

ServerProcess::ServerProcess(std::vector<std::string> extra_args, const std::vector<std::string>& environment)
{
    char log_template[] = "/tmp/velmora-server-test-XXXXXX";
    const int log_fd = mkstemp(log_template);
    if (log_fd < 0) {
        ADD_FAILURE() << "mkstemp: " << std::strerror(errno);
        return;
    }
    log_path_ = log_template;

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2: " << std::strerror(errno);
        close(log_fd);
        return;
    }

    std::vector<std::string> args{ServerPath(), "--port", "0"};
    if (std::find(extra_args.begin(), extra_args.end(), "--bind") == extra_args.end())
        args.insert(args.end(), {"--bind", "127.0.0.1"});
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    auto argv = Argv(args);
    std::vector<std::string> variables = ChildEnvironment(environment);
    auto envp = Argv(variables);

    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(log_fd, STDERR_FILENO);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(out[1]);
    close(log_fd);
    stdout_fd_ = out[0];
    if (pid_ < 0) {
        ADD_FAILURE() << "fork: " << std::strerror(errno);
        return;
    }

    const auto deadline = Clock::now() + kTimeout;
    std::string line;
    char c;
    while (line.find('\n') == std::string::npos) {
        pollfd p{stdout_fd_, POLLIN, 0};
        if (poll(&p, 1, RemainingMs(deadline)) <= 0)
            break;
        if (read(stdout_fd_, &c, 1) != 1)
            break;
        line.push_back(c);
    }
    port_ = std::atoi(line.c_str());
    if (port_ <= 0)
        ADD_FAILURE() << "server printed no port; its log:\n" << Log();
}

ServerProcess::~ServerProcess()
{
    // A sanitizer build reports what it found in the log; any report fails the test.
    const std::string log = Log();
    if (log.find("ThreadSanitizer") != std::string::npos || log.find("AddressSanitizer") != std::string::npos
        || log.find("runtime error:") != std::string::npos)
        ADD_FAILURE() << "the sanitizer reported:\n" << log;
    if (pid_ > 0 && status_ == -1) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (stdout_fd_ >= 0)
        close(stdout_fd_);
    if (!log_path_.empty())
        unlink(log_path_.c_str());
}

void ServerProcess::Signal(int signal_number) const
{
    if (pid_ > 0)
        kill(pid_, signal_number);
}

int ServerProcess::WaitExit(std::chrono::milliseconds timeout)
{
    if (status_ != -1 || pid_ <= 0)
        return status_;
    // Standard output closes only as the server exits, which poll() can wait on.
    if (!Drain(stdout_fd_, nullptr, Clock::now() + timeout))
        return -1;
    int status = 0;
    if (waitpid(pid_, &status, 0) == pid_)
        status_ = status;
    return status_;
}

std::string ServerProcess::Log() const
{
    std::ifstream in(log_path_);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool ServerProcess::WaitForLog(std::string_view needle, std::chrono::milliseconds timeout) const
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (Log().find(needle) != std::string::npos)
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::size_t ServerProcess::CountInLog(std::string_view needle) const
{
    const std::string log = Log();
    std::size_t count = 0;
    for (std::size_t at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1))
        ++count;
    return count;
}

namespace {

int FreePort()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

// What the servers' user may do for the room "test"; README.md gives the same for "lobby".
constexpr char kServerPermissions[] = R"(VELMORA_SERVER = {
  publish: {
    allow: [
      "velmora.room.test"
      "$KV.velmora_test.>"
      "$JS.API.STREAM.INFO.KV_velmora_test"
      "$JS.API.STREAM.CREATE.KV_velmora_test"
      "$JS.API.STREAM.UPDATE.KV_velmora_test"
      "$JS.API.STREAM.PURGE.KV_velmora_test"
      "$JS.API.STREAM.MSG.GET.KV_velmora_test"
      "$JS.API.DIRECT.GET.KV_velmora_test"
      "$JS.API.DIRECT.GET.KV_velmora_test.>"
      "$JS.API.STREAM.NAMES"
      "$JS.API.CONSUMER.CREATE.KV_velmora_test"
      "$JS.API.CONSUMER.CREATE.KV_velmora_test.>"
      "$JS.API.CONSUMER.INFO.KV_velmora_test.*"
      "$JS.API.CONSUMER.DELETE.KV_velmora_test.*"
      "$JS.FC.KV_velmora_test.>"
    ]
  }
  subscribe: {
    allow: ["velmora.room.test", "_INBOX.>"]
  }
})";

// Runs a program to its end; true when it exits with status 0.
bool RunToEnd(std::vector<std::string> args)
{
    auto argv = Argv(args);
    const pid_t pid = fork();
    if (pid == 0) {
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = -1;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string FileText(const std::string& path)
{
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A line of a node's log that tells of the servers' user refused a subject (a Publish or
// Subscription Violation); the other user is refused on purpose.
bool RefusesTheServersUser(const std::string& line)
{
    const bool violation = line.find(" Publish Violation - ") != std::string::npos
        || line.find(" Subscription Violation - ") != std::string::npos;
    return violation && line.find("\"" + std::string(kNatsOtherUser) + "\"") == std::string::npos;
}

std::string NatsError(natsStatus status)
{
    const char* detail = nats_GetLastError(nullptr);
    return std::string(natsStatus_GetText(status)) + (detail && *detail ? " (" + std::string(detail) + ")" : "");
}

} // namespace

NatsAccess NatsAccessFromEnvironment()
{
    const char* chosen = std::getenv("VELMORA_NATS_ACCESS");
    const std::string access = chosen ? chosen : "";
    return access == "secured" ? NatsAccess::Secured : access == "operator" ? NatsAccess::Operator : NatsAccess::Open;
}

std::string NatsKeyFile(const std::string& name)
{
    return std::string(VELMORA_NATS_TEST_DATA) + "/keys/" + name;
}

NatsCluster::NatsCluster(int nodes, NatsAccess how) : access_(how)
{
    if (access(VELMORA_NATS_SERVER_PATH, X_OK) != 0) {
        ADD_FAILURE() << VELMORA_NATS_SERVER_PATH << " is missing: scripts/setup.sh installs nats-server";
        return;
    }
    // A free port may be taken by another test run before a node binds it; then the cluster is
    // started again on other ports.
    for (int attempt = 0; attempt < 3 && !ready_; ++attempt) {
        ready_ = TryStart(nodes);
        if (!ready_)
            Clear();
    }
    if (!ready_)
        ready_ = TryStart(nodes) && WaitReady();
}

bool NatsCluster::TryStart(int nodes)
{
    char dir_template[] = "/tmp/velmora-nats-test-XXXXXX";
    if (!mkdtemp(dir_template)) {
        ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
        return false;
    }
    dir_ = dir_template;
    nodes_.assign(static_cast<std::size_t>(nodes), Node{});
    for (Node& node : nodes_) {
        node.client_port = FreePort();
        node.cluster_port = FreePort();
    }
    if (access_ != NatsAccess::Open && !WriteConfig())
        return false;
    for (int i = 0; i < nodes; ++i)
        Start(i);
    return WaitReady(kTimeout, false);
}

void NatsCluster::Clear()
{
    for (std::size_t i = 0; i < nodes_.size(); ++i)
        Kill(static_cast<int>(i));
    std::error_code ignored;
    if (!dir_.empty())
        std::filesystem::remove_all(dir_, ignored);
    dir_.clear();
}

NatsCluster::~NatsCluster()
{
    std::string refused;
    for (std::size_t i = 0; i < nodes_.size(); ++i) {
        std::istringstream log(NodeLog(i));
        for (std::string line; std::getline(log, line);)
            if (RefusesTheServersUser(line))
                refused += line + "\n";
    }
    if (!refused.empty())
        ADD_FAILURE() << "NATS refused the servers' user:\n" << refused;
    // Why a node refused or dropped a server is told only there.
    for (std::size_t i = 0; ::testing::Test::HasFailure() && i < nodes_.size(); ++i) {
        const std::string log = NodeLog(i);
        std::cerr << "--- the end of the log of NATS node " << i << ":\n"
                  << log.substr(log.size() > 3000 ? log.size() - 3000 : 0);
    }
    Clear();
}

std::vector<std::string> NatsCluster::ServerArgs() const
{
    if (access_ == NatsAccess::Operator)
        return {"--nats-creds", NatsKeyFile("velmora.creds")};
    if (access_ == NatsAccess::Secured)
        return {"--nats-user-file", File("velmora-user"), "--nats-tls-ca", File("ca.pem"), "--nats-tls-cert",
            File("client-cert.pem"), "--nats-tls-key", File("client-key.pem")};
    return {};
}

std::string NatsCluster::NodeLog(std::size_t node) const
{
    return FileText(dir_ + "/n" + std::to_string(node) + ".log");
}

bool NatsCluster::WriteConfig()
{
    std::ofstream config(File("nats.conf"));
    if (access_ == NatsAccess::Operator) {
        config << FileText(NatsKeyFile("operator.conf"));
        return static_cast<bool>(config);
    }
    if (!RunToEnd({"/bin/sh", VELMORA_NATS_TEST_DATA "/make-test-ca.sh", dir_})) {
        ADD_FAILURE() << "nats/make-test-ca.sh could not make the certificates of the cluster";
        return false;
    }
    std::ofstream(File("velmora-user")) << kNatsServerUser << "\n" << kNatsServerPassword << "\n";
    std::string nkey = FileText(NatsKeyFile("velmora-user.pub"));
    nkey.erase(nkey.find_last_not_of('\n') + 1);
    config << "tls {\n  cert_file: \"" << File("server-cert.pem") << "\"\n  key_file: \"" << File("server-key.pem")
           << "\"\n  ca_file: \"" << File("ca.pem") << "\"\n  verify: true\n  timeout: 5\n}\n"
           << kServerPermissions << "\naccounts {\n  VELMORA {\n    jetstream: enabled\n    users: [\n"
           << "      {user: " << kNatsServerUser << ", password: \"" << kNatsServerPassword
           << "\", permissions: $VELMORA_SERVER}\n"
           << "      {nkey: " << nkey << ", permissions: $VELMORA_SERVER}\n"
           << "      {user: " << kNatsOtherUser << ", password: \"" << kNatsOtherPassword
           << "\", permissions: {publish: \"other.>\", subscribe: [\"other.>\", \"_INBOX.>\"]}}\n"
           << "    ]\n  }\n}\n";
    return static_cast<bool>(config);
}

NatsBareClient::NatsBareClient(const NatsClientOptions& options)
{
    natsOptions* opts = nullptr;
    natsStatus s = natsOptions_Create(&opts);
    if (s == NATS_OK)
        s = natsOptions_SetURL(opts, options.url.c_str());
    if (s == NATS_OK)
        s = natsOptions_SetAllowReconnect(opts, false);
    if (s == NATS_OK)
        s = natsOptions_SetTimeout(opts, kTimeout.count());
    if (s == NATS_OK && !options.user.empty())
        s = natsOptions_SetUserInfo(opts, options.user.c_str(), options.password.c_str());
    if (s == NATS_OK && !options.tls_ca.empty())
        s = natsOptions_SetSecure(opts, true);
    if (s == NATS_OK && !options.tls_ca.empty())
        s = natsOptions_LoadCATrustedCertificates(opts, options.tls_ca.c_str());
    if (s == NATS_OK && !options.tls_cert.empty())
        s = natsOptions_LoadCertificatesChain(opts, options.tls_cert.c_str(), options.tls_key.c_str());
    if (s == NATS_OK)
        s = natsConnection_Connect(&connection_, opts);
    natsOptions_Destroy(opts);
    if (s != NATS_OK)
        connect_error_ = NatsError(s);
}

NatsBareClient::~NatsBareClient()
{
    natsConnection_Destroy(connection_);
}

std::string NatsBareClient::Publish(const std::string& subject, std::string_view bytes)
{
    if (!connection_)
        return "not connected: " + connect_error_;
    natsStatus s = natsConnection_Publish(connection_, subject.c_str(), bytes.data(), static_cast<int>(bytes.size()));
    if (s == NATS_OK)
        s = natsConnection_FlushTimeout(connection_, kTimeout.count());
    if (s != NATS_OK)
        return NatsError(s);
    // The NATS server answers the flush after any error about what came before it.
    const char* refused = nullptr;
    return natsConnection_GetLastError(connection_, &refused) == NATS_OK ? "" : refused ? refused : "refused";
}

std::string NatsCluster::Url(int node) const
{
    return "nats://127.0.0.1:" + std::to_string(nodes_.at(static_cast<std::size_t>(node)).client_port);
}

std::string NatsCluster::Urls(std::initializer_list<int> nodes) const
{
    std::string urls;
    for (const int node : nodes)
        urls += (urls.empty() ? "" : ",") + Url(node);
    return urls;
}

void NatsCluster::Start(int index)
{
    Node& node = nodes_.at(static_cast<std::size_t>(index));
    const std::string name = "n" + std::to_string(index);
    std::vector<std::string> args{VELMORA_NATS_SERVER_PATH, "-a", "127.0.0.1", "-p", std::to_string(node.client_port),
        "--server_name", name, "-js", "-sd", dir_ + "/" + name};
    if (access_ != NatsAccess::Open)
        args.insert(args.end(), {"-c", dir_ + "/nats.conf"});
    if (nodes_.size() > 1) {
        std::string routes;
        for (const Node& other : nodes_)
            routes += (routes.empty() ? "" : ",") + std::string("nats://127.0.0.1:") + std::to_string(other.cluster_port);
        // A name of its own, so that a cluster of another test run never takes it in as a route.
        args.insert(args.end(), {"--cluster_name", "velmora-test-" + dir_.substr(dir_.rfind('-') + 1), "--cluster",
                                    "nats://127.0.0.1:" + std::to_string(node.cluster_port), "--routes", routes});
    }
    const std::string log = dir_ + "/" + name + ".log";
    std::ifstream previous(log, std::ios::ate | std::ios::binary);
    node.log_from = previous ? static_cast<std::size_t>(previous.tellg()) : 0;
    auto argv = Argv(args);
    node.pid = fork();
    if (node.pid == 0) {
        const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(fd, STDOUT_FILENO);
        dup2(fd, STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
}

void NatsCluster::Kill(int index)
{
    Node& node = nodes_.at(static_cast<std::size_t>(index));
    if (node.pid <= 0)
        return;
    kill(node.pid, SIGKILL);
    waitpid(node.pid, nullptr, 0);
    node.pid = -1;
}

bool NatsCluster::WaitReady(std::chrono::milliseconds timeout, bool report)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        bool all = true;
        for (std::size_t i = 0; i < nodes_.size(); ++i) {
            // A node that could not bind its ports has ended already.
            if (nodes_[i].pid > 0 && waitpid(nodes_[i].pid, nullptr, WNOHANG) == nodes_[i].pid) {
                nodes_[i].pid = -1;
                if (!report)
                    return false;
            }
            const std::string log = NodeLog(i);
            const std::string run = log.substr(std::min(log.size(), nodes_[i].log_from));
            // A node alone is ready when it says so; in a cluster, once JetStream has a leader.
            const bool up = nodes_.size() == 1 ? run.find("Server is ready") != std::string::npos
                                               : run.find("metadata leader") != std::string::npos;
            all = all && up && nodes_[i].pid > 0;
        }
        if (all)
            return true;
        if (Clock::now() >= deadline) {
            if (!report)
                return false;
            std::string logs;
            for (std::size_t i = 0; i < nodes_.size(); ++i) {
                const std::string all = NodeLog(i);
                logs += "--- node " + std::to_string(i) + ":\n" + all.substr(all.size() > 1500 ? all.size() - 1500 : 0);
            }
            ADD_FAILURE() << "the NATS cluster did not get ready:\n" << logs;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

ExitResult RunServer(const std::vector<std::string>& extra_args, std::chrono::milliseconds timeout,
    const std::vector<std::string>& environment)
{
    std::vector<std::string> args{ServerPath()};
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    return RunProgram(args, timeout, environment);
}

ExitResult RunProgram(const std::vector<std::string>& program, std::chrono::milliseconds timeout,
    const std::vector<std::string>& environment)
{
    ExitResult result;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2: " << std::strerror(errno);
        return result;
    }
    std::vector<std::string> args = program;
    auto argv = Argv(args);
    std::vector<std::string> variables = ChildEnvironment(environment);
    auto envp = Argv(variables);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    const auto deadline = Clock::now() + timeout;
    const bool ended = Drain(out[0], &result.out, deadline) && Drain(err[0], &result.err, deadline);
    close(out[0]);
    close(err[0]);
    if (pid < 0)
        return result;
    if (!ended) {
        ADD_FAILURE() << "server did not exit";
        kill(pid, SIGKILL);
    }
    waitpid(pid, &result.status, 0);
    if (!ended)
        result.status = -1;
    return result;
}

Client::Client(int port, int receive_buffer)
{
    Connect(port, receive_buffer, "");
}

Client::Client(int port, const std::string& from)
{
    Connect(port, 0, from);
}

void Client::Connect(int port, int receive_buffer, const std::string& from)
{
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        ADD_FAILURE() << "socket: " << std::strerror(errno);
        return;
    }
    if (receive_buffer > 0)
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    const int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (!from.empty()) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        inet_pton(AF_INET, from.c_str(), &local.sin_addr);
        if (bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            ADD_FAILURE() << "bind to " << from << ": " << std::strerror(errno);
            return;
        }
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        ADD_FAILURE() << "connect to port " << port << (from.empty() ? "" : " from " + from) << ": "
                      << std::strerror(errno);
}

Client::~Client()
{
    if (fd_ >= 0)
        close(fd_);
}

void Client::Send(std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ADD_FAILURE() << "send: " << std::strerror(errno);
            return;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

namespace {

// Appends what arrives on fd before the deadline, at least once; false once nothing more can come.
bool ReceiveMore(int fd, std::string& into, Clock::time_point deadline)
{
    char buffer[65536];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, RemainingMs(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        const ssize_t r = recv(fd, buffer, sizeof buffer, 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        into.append(buffer, static_cast<std::size_t>(r));
        return true;
    }
}

} // namespace

std::string Client::ReadRaw(std::size_t n, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (unread_.size() < n && ReceiveMore(fd_, unread_, deadline)) {
    }
    std::string bytes = unread_.substr(0, n);
    unread_.erase(0, bytes.size());
    return bytes;
}

std::string Client::ReadLine(std::chrono::milliseconds timeout)
{
    const std::string end = Mask("\r\n");
    const auto deadline = Clock::now() + timeout;
    std::size_t at = 0;
    while ((at = unread_.find(end)) == std::string::npos) {
        if (!ReceiveMore(fd_, unread_, deadline)) {
            std::string partial = std::exchange(unread_, std::string());
            UnmaskChunk(partial.data(), static_cast<int>(partial.size()));
            return "(no line; the stream " + std::string(Clock::now() < deadline ? "ended" : "stayed quiet")
                + " after \"" + partial + "\")";
        }
    }
    std::string line = unread_.substr(0, at);
    unread_.erase(0, at + end.size());
    UnmaskChunk(line.data(), static_cast<int>(line.size()));
    return line;
}

std::string Client::TakeBuffered()
{
    std::string bytes = std::exchange(unread_, std::string());
    UnmaskChunk(bytes.data(), static_cast<int>(bytes.size()));
    return bytes;
}

bool Client::Silent(std::chrono::milliseconds quiet)
{
    return unread_.empty() && !ReceiveMore(fd_, unread_, Clock::now() + quiet);
}

std::string Client::Read(std::size_t n, std::chrono::milliseconds timeout)
{
    std::string bytes = ReadRaw(n, timeout);
    UnmaskChunk(bytes.data(), static_cast<int>(bytes.size()));
    return bytes;
}

Closed Client::WaitClosed(std::chrono::milliseconds timeout)
{
    unread_.clear();
    const auto deadline = Clock::now() + timeout;
    char buffer[65536];
    for (;;) {
        pollfd p{fd_, POLLIN, 0};
        const int ready = poll(&p, 1, RemainingMs(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return Closed::StillOpen;
        const ssize_t r = recv(fd_, buffer, sizeof buffer, 0);
        if (r == 0)
            return Closed::Eof;
        if (r < 0 && errno != EINTR)
            return Closed::Reset;
    }
}

void Client::ShutdownWrite()
{
    shutdown(fd_, SHUT_WR);
}

void Client::Reset()
{
    const linger abort_on_close{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
    close(fd_);
    fd_ = -1;
}

std::string Pump(Client& from, std::string_view data, Client& to, const std::function<bool(const std::string&)>& done,
    std::chrono::milliseconds timeout)
{
    std::string received = to.TakeBuffered();
    const auto deadline = Clock::now() + timeout;
    char buffer[65536];
    while (!done(received)) {
        pollfd p[2] = {{to.fd(), POLLIN, 0}, {from.fd(), static_cast<short>(data.empty() ? 0 : POLLOUT), 0}};
        const int ready = poll(p, 2, RemainingMs(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        if (p[1].revents & POLLOUT) {
            const ssize_t n = send(from.fd(), data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0)
                data.remove_prefix(static_cast<std::size_t>(n));
        }
        if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = recv(to.fd(), buffer, sizeof buffer, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
                break;
            if (n > 0) {
                UnmaskChunk(buffer, static_cast<int>(n));
                received.append(buffer, static_cast<std::size_t>(n));
            }
        }
    }
    return received;
}

std::string StripPrefixes(const std::string& stream, const std::string& prefix)
{
    std::string payload;
    payload.reserve(stream.size());
    std::size_t at = 0;
    while (stream.compare(at, prefix.size(), prefix) == 0) {
        const std::size_t end = stream.find("\r\n", at);
        if (end == std::string::npos)
            break;
        payload.append(stream, at + prefix.size(), end - at - prefix.size());
        at = end + 2;
    }
    return payload;
}

ScratchDir::ScratchDir()
{
    char name[] = "/tmp/velmora-test-XXXXXX";
    if (mkdtemp(name))
        path_ = name;
    else
        ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
}

ScratchDir::~ScratchDir()
{
    std::error_code ignored;
    if (!path_.empty())
        std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t at = 0;
    for (std::size_t end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
        lines.push_back(text.substr(at, end - at));
    if (at < text.size())
        lines.push_back(text.substr(at));
    return lines;
}

} // namespace velmora::test
