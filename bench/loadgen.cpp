// Load generator for velmora-server, with the same load spoken to `ncat --broker` and to Redis
// pub/sub for comparison. One thread and one epoll set; loopback only.

#include "wire_protocol.h"

#include <CLI/CLI.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Ns = std::int64_t;
constexpr Ns kMillisecond = 1000 * 1000;
constexpr Ns kSecond = 1000 * kMillisecond;

constexpr std::size_t kMessageBytes = 64;
// Every other byte of a message is 0x80..0xBF: never ASCII, so velmora's text prefixes can be told apart.
constexpr unsigned char kMarker = 0xFF;
constexpr std::uint32_t kProbeSender = (1u << 18) - 1;
// Messages of a flooding client: counted as they arrive, never checked for order.
constexpr std::uint32_t kFloodSender = (1u << 18) - 2;
// A paced reader takes at most this much at a time, as a client reading in small chunks does.
constexpr std::size_t kPacedReadBytes = 4096;
constexpr std::size_t kReadBytes = 64 * 1024;
constexpr std::size_t kMaxPendingConnects = 256;
// ncat listens with a backlog of 10 and cannot tell when it has taken a client in, so its clients
// are opened at a pace it keeps up with instead of having their handshakes dropped and retried.
constexpr Ns kNcatConnectGap = 2 * 1000 * 1000;
constexpr int kMaxEvents = 1024;
constexpr std::size_t kTextTail = 64;
constexpr Ns kProbeInterval = 200 * kMillisecond;
constexpr Ns kSampleInterval = 100 * kMillisecond;
const char kChannel[] = "velmora-bench";

Ns Now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return Ns{ts.tv_sec} * kSecond + ts.tv_nsec;
}

[[noreturn]] void Die(const std::string& why)
{
    std::fprintf(stderr, "velmora-loadgen: %s\n", why.c_str());
    std::exit(1);
}

enum class Mode { Velmora, Ncat, Redis };

struct Message {
    std::uint32_t sender;
    std::uint64_t seq;
    Ns sent;
};

void PutGroups(unsigned char* out, std::uint64_t value, int groups)
{
    for (int i = groups - 1; i >= 0; --i) {
        out[i] = static_cast<unsigned char>(0x80 | (value & 0x3F));
        value >>= 6;
    }
}

std::uint64_t GetGroups(const unsigned char* in, int groups)
{
    std::uint64_t value = 0;
    for (int i = 0; i < groups; ++i)
        value = (value << 6) | (in[i] & 0x3F);
    return value;
}

unsigned char Checksum(const unsigned char* message)
{
    unsigned sum = 0;
    for (std::size_t i = 1; i < 21; ++i)
        sum += message[i];
    return static_cast<unsigned char>(0x80 | (sum & 0x3F));
}

// Layout: marker, sender (3 groups of 6 bits), sequence (6), send time in ns (11), checksum, filler.
void Encode(unsigned char* out, const Message& m)
{
    out[0] = kMarker;
    PutGroups(out + 1, m.sender, 3);
    PutGroups(out + 4, m.seq, 6);
    PutGroups(out + 10, static_cast<std::uint64_t>(m.sent), 11);
    out[21] = Checksum(out);
    for (std::size_t i = 22; i < kMessageBytes; ++i)
        out[i] = static_cast<unsigned char>(0x80 | (i & 0x3F));
}

bool Decode(const unsigned char* in, Message& m)
{
    if (in[0] != kMarker || in[21] != Checksum(in))
        return false;
    m.sender = static_cast<std::uint32_t>(GetGroups(in + 1, 3));
    m.seq = GetGroups(in + 4, 6);
    m.sent = static_cast<Ns>(GetGroups(in + 10, 11));
    return true;
}

struct Partial {
    long source;
    std::size_t len;
    unsigned char bytes[kMessageBytes];
};

struct Conn {
    int fd = -1;
    int client = -1;
    bool reader = false;
    bool stalled = false;
    bool publisher = false;
    bool flooder = false;
    bool stayer = false;
    // A paced reader's budget, in bytes, and when it was last topped up; paused while below zero.
    double tokens = 0;
    Ns refilled_at = 0;
    bool paused = false;
    // A stayer's whole text, for the account of who left.
    std::string lines;
    bool connected = false;
    bool ready = false;
    bool probed = false;
    bool closed = false;
    bool want_out = false;
    std::string out;
    // velmora: the ASCII run last seen and which sender's relay the bytes now belong to.
    std::string text;
    bool in_payload = false;
    long source = -1;
    std::vector<Partial> partials;
    // ncat: one message being put together; resyncing after bytes that do not start one.
    unsigned char part[kMessageBytes];
    std::size_t part_len = 0;
    bool lost_sync = false;
    // redis
    std::string in;
    std::vector<std::uint64_t> next_seq;
    // The current line of server text, for counting tiny flooders' lines.
    std::string line;
};

struct Stats {
    std::uint64_t flood_delivered = 0;
    // Lines of tiny flooders that reached readers: a name and blanks only.
    std::uint64_t tiny_lines = 0;
    std::uint64_t delivered = 0;
    std::uint64_t bytes_in = 0;
    std::uint64_t gaps = 0;
    std::uint64_t reordered = 0;
    std::uint64_t corrupt = 0;
    std::uint64_t echoes = 0;
    std::vector<Ns> latencies;
};

struct ProcSample {
    bool ok = false;
    std::uint64_t cpu_ticks = 0;
    long rss_kib = 0;
    long peak_rss_kib = 0;
};

ProcSample SampleProcess(int pid)
{
    ProcSample s;
    if (pid <= 0)
        return s;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return s;
    const std::size_t close = line.rfind(')');
    if (close == std::string::npos)
        return s;
    std::istringstream fields(line.substr(close + 2));
    std::string field;
    // Fields after the command name start at the third (state); utime and stime are the 14th and 15th.
    std::uint64_t utime = 0, stime = 0;
    for (int index = 3; index <= 15 && fields >> field; ++index) {
        if (index == 14)
            utime = std::stoull(field);
        if (index == 15)
            stime = std::stoull(field);
    }
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            s.rss_kib = std::stol(line.substr(6));
        if (line.rfind("VmHWM:", 0) == 0)
            s.peak_rss_kib = std::stol(line.substr(6));
    }
    s.cpu_ticks = utime + stime;
    s.ok = true;
    return s;
}

// Several servers that share one room, as one: CPU time and memory summed.
ProcSample SampleServers(const std::vector<int>& pids)
{
    ProcSample total;
    for (const int pid : pids) {
        const ProcSample s = SampleProcess(pid);
        if (!s.ok)
            return ProcSample{};
        total.ok = true;
        total.cpu_ticks += s.cpu_ticks;
        total.rss_kib += s.rss_kib;
        total.peak_rss_kib += s.peak_rss_kib;
    }
    return total;
}

// Busy time of the whole machine, in clock ticks, summed over all cores.
std::uint64_t MachineBusyTicks()
{
    std::ifstream stat("/proc/stat");
    std::string cpu;
    std::uint64_t user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
    stat >> cpu >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> steal;
    return user + nice + system + irq + softirq + steal;
}

struct Options {
    Mode mode = Mode::Velmora;
    std::string host = "127.0.0.1";
    int port = 0;
    // Several servers sharing one room: clients are spread over them in turn.
    std::vector<int> ports;
    int clients = 10;
    int senders = -1;
    double rate = 1000;
    double duration = 5;
    double drain = 5;
    int stalled = 0;
    int server_pid = 0;
    std::vector<int> server_pids;
    int idle = 0;
    double hold = 30;
    int flooders = 0;
    // Clients that send one byte at a time, each its own message, every `tiny_interval_ms`.
    int tiny_flooders = 0;
    double tiny_interval_ms = 1;
    // One address reconnecting in a loop: connect, send this many bytes, leave.
    std::size_t churn_bytes = 0;
    double read_rate = 0;
    int stay = -1;
    double setup_timeout = 60;
    int exhaust = 0;
    int release = 0;
    std::string label;
};

class LoadGen {
public:
    explicit LoadGen(const Options& o) : o_(o)
    {
        epoll_ = epoll_create1(EPOLL_CLOEXEC);
        if (epoll_ < 0)
            Die("epoll_create1: " + std::string(std::strerror(errno)));
        for (const int port : o.ports) {
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(static_cast<std::uint16_t>(port));
            if (inet_pton(AF_INET, o.host.c_str(), &address.sin_addr) != 1)
                Die("not an IPv4 address: " + o.host);
            if ((ntohl(address.sin_addr.s_addr) >> 24) != 127)
                Die("only loopback addresses (127.0.0.0/8) are allowed");
            addresses_.push_back(address);
        }
    }

    int RunLoad();
    int RunIdle();
    int RunExhaust();
    int RunMassLeave();
    int RunChurn();

private:
    std::size_t Open(int client, bool reader, bool stalled, bool publisher);
    void Update(Conn& c);
    void Pump(Ns until);
    bool PumpUntil(const std::function<bool()>& done, Ns deadline);
    void OnEvent(Conn& c, std::uint32_t events);
    void OnConnected(Conn& c);
    void Read(Conn& c);
    void Write(Conn& c, const char* data, std::size_t n);
    void Flush(Conn& c);
    void CloseConn(Conn& c);

    void ParseVelmora(Conn& c, const unsigned char* p, std::size_t n, Ns t);
    void CountTinyLines(Conn& c, const unsigned char* p, const unsigned char* end);
    void FeedSource(Conn& c, const unsigned char* p, std::size_t n, Ns t);
    void ParseNcat(Conn& c, const unsigned char* p, std::size_t n, Ns t);
    void ParseRedis(Conn& c, Ns t);
    void Deliver(Conn& c, const unsigned char* message, Ns t);

    void Send(int client, const Message& m);
    void FillFlood(Conn& c);
    bool WithinReadBudget(Conn& c);
    void ResumePacedReaders();
    bool Barrier(Ns deadline);
    std::size_t Ready() const;
    void SampleServer();
    std::string Header() const;

    Options o_;
    int epoll_ = -1;
    std::vector<sockaddr_in> addresses_;
    std::vector<Conn> conns_;
    std::vector<std::size_t> talk_;
    std::size_t pending_connects_ = 0;
    std::size_t ready_count_ = 0;
    Stats stats_;
    bool measuring_ = false;
    Ns last_bytes_at_ = 0;
    Ns next_sample_ = 0;
    long peak_rss_kib_ = 0;
    unsigned char read_buffer_[kReadBytes];
    std::string flood_chunk_;
    std::uint64_t flood_seq_ = 0;
    std::uint64_t flood_bytes_sent_ = 0;
};

std::size_t LoadGen::Open(int client, bool reader, bool stalled, bool publisher)
{
    Conn c;
    c.client = client;
    c.reader = reader;
    c.stalled = stalled;
    c.publisher = publisher;
    c.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (c.fd < 0)
        Die("socket: " + std::string(std::strerror(errno)));
    const int one = 1;
    setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const sockaddr_in& address = addresses_[static_cast<std::size_t>(client >= 0 ? client : static_cast<int>(conns_.size())) % addresses_.size()];
    if (connect(c.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 && errno != EINPROGRESS)
        Die("connect: " + std::string(std::strerror(errno)));
    conns_.push_back(std::move(c));
    const std::size_t index = conns_.size() - 1;
    epoll_event ev{};
    ev.events = EPOLLOUT;
    ev.data.u64 = index;
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, conns_[index].fd, &ev) != 0)
        Die("epoll_ctl: " + std::string(std::strerror(errno)));
    ++pending_connects_;
    return index;
}

void LoadGen::Update(Conn& c)
{
    if (c.closed)
        return;
    epoll_event ev{};
    ev.data.u64 = static_cast<std::uint64_t>(&c - conns_.data());
    if (!c.connected)
        ev.events = EPOLLOUT;
    else {
        if (!(c.stalled && c.ready) && !c.paused)
            ev.events |= EPOLLIN;
        if (!c.out.empty())
            ev.events |= EPOLLOUT;
    }
    if (ev.events == 0 && c.paused) {
        epoll_ctl(epoll_, EPOLL_CTL_MOD, c.fd, &ev);
        return;
    }
    if (c.stalled && c.ready && ev.events == 0) {
        // Taken out of the set entirely: an error on it would otherwise be reported again and again.
        epoll_ctl(epoll_, EPOLL_CTL_DEL, c.fd, nullptr);
        return;
    }
    epoll_ctl(epoll_, EPOLL_CTL_MOD, c.fd, &ev);
}

void LoadGen::OnConnected(Conn& c)
{
    c.connected = true;
    --pending_connects_;
    if (o_.mode == Mode::Redis && !c.publisher) {
        const std::string subscribe = "*2\r\n$9\r\nSUBSCRIBE\r\n$" + std::to_string(std::strlen(kChannel)) + "\r\n"
            + kChannel + "\r\n";
        Write(c, subscribe.data(), subscribe.size());
    }
    // Nothing greets an ncat or Redis publisher connection: being connected is all there is.
    if (o_.mode == Mode::Ncat || c.publisher) {
        c.ready = true;
        ++ready_count_;
    }
    Update(c);
}

void LoadGen::OnEvent(Conn& c, std::uint32_t events)
{
    if (c.closed)
        return;
    if (!c.connected) {
        int error = 0;
        socklen_t len = sizeof error;
        getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &error, &len);
        if (error != 0)
            Die("connect: " + std::string(std::strerror(error)));
        OnConnected(c);
        return;
    }
    if ((events & EPOLLOUT) && !c.out.empty())
        Flush(c);
    if (events & (EPOLLIN | EPOLLHUP | EPOLLERR))
        Read(c);
}

void LoadGen::CloseConn(Conn& c)
{
    if (c.closed)
        return;
    c.closed = true;
    epoll_ctl(epoll_, EPOLL_CTL_DEL, c.fd, nullptr);
    close(c.fd);
}

// Reads at the pace of a slow client: while its budget is spent it is taken out of the read set.
bool LoadGen::WithinReadBudget(Conn& c)
{
    if (o_.read_rate <= 0 || !c.reader || !c.ready)
        return true;
    const Ns t = Now();
    c.tokens = std::min(o_.read_rate, c.tokens + o_.read_rate * static_cast<double>(t - c.refilled_at) / kSecond);
    c.refilled_at = t;
    if (c.tokens > 0)
        return true;
    c.paused = true;
    Update(c);
    return false;
}

void LoadGen::ResumePacedReaders()
{
    if (o_.read_rate <= 0)
        return;
    for (auto& c : conns_) {
        if (!c.paused || c.closed)
            continue;
        c.paused = false;
        if (WithinReadBudget(c))
            Update(c);
    }
}

void LoadGen::Read(Conn& c)
{
    if (!WithinReadBudget(c))
        return;
    const std::size_t want = o_.read_rate > 0 && c.ready ? kPacedReadBytes : sizeof read_buffer_;
    const ssize_t n = read(c.fd, read_buffer_, want);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (n <= 0) {
        CloseConn(c);
        return;
    }
    const Ns t = Now();
    last_bytes_at_ = t;
    if (measuring_ && c.reader)
        stats_.bytes_in += static_cast<std::uint64_t>(n);
    c.tokens -= static_cast<double>(n);
    const bool was_ready = c.ready;
    switch (o_.mode) {
    case Mode::Velmora:
        UnmaskChunk(reinterpret_cast<char*>(read_buffer_), static_cast<int>(n));
        if (c.stayer)
            c.lines.append(reinterpret_cast<const char*>(read_buffer_), static_cast<std::size_t>(n));
        ParseVelmora(c, read_buffer_, static_cast<std::size_t>(n), t);
        break;
    case Mode::Ncat:
        ParseNcat(c, read_buffer_, static_cast<std::size_t>(n), t);
        break;
    case Mode::Redis:
        if (!c.publisher) {
            c.in.append(reinterpret_cast<const char*>(read_buffer_), static_cast<std::size_t>(n));
            ParseRedis(c, t);
        }
        break;
    }
    if (c.ready && !was_ready) {
        ++ready_count_;
        if (c.stalled)
            Update(c);
    }
}

void LoadGen::Write(Conn& c, const char* data, std::size_t n)
{
    if (c.closed)
        return;
    if (c.out.empty() && c.connected) {
        const ssize_t sent = send(c.fd, data, n, MSG_NOSIGNAL);
        if (sent < 0 && errno != EAGAIN && errno != EINTR) {
            CloseConn(c);
            return;
        }
        const std::size_t done = sent > 0 ? static_cast<std::size_t>(sent) : 0;
        if (done == n)
            return;
        data += done;
        n -= done;
    }
    c.out.append(data, n);
    Update(c);
}

void LoadGen::Flush(Conn& c)
{
    if (c.flooder)
        FillFlood(c);
    const ssize_t sent = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno != EAGAIN && errno != EINTR) {
        CloseConn(c);
        return;
    }
    if (sent > 0) {
        c.out.erase(0, static_cast<std::size_t>(sent));
        if (c.flooder && measuring_)
            flood_bytes_sent_ += static_cast<std::uint64_t>(sent);
    }
    if (c.flooder)
        FillFlood(c);
    if (c.out.empty())
        Update(c);
}

// A flooder sends as fast as the server takes it: its buffer is topped up on every write event.
void LoadGen::FillFlood(Conn& c)
{
    while (c.out.size() < 64 * 1024) {
        unsigned char body[kMessageBytes];
        Encode(body, Message{kFloodSender, flood_seq_++, Now()});
        c.out.append(reinterpret_cast<const char*>(body), kMessageBytes);
    }
}

// velmora relays each read as "guest-N: " plus bytes; message bytes are never ASCII, so every ASCII
// run is server text, and the name at its end says whose bytes follow.
// A tiny flooder's byte arrives as "guest-N: " and blanks, nothing else, on a line.
void LoadGen::CountTinyLines(Conn& c, const unsigned char* p, const unsigned char* end)
{
    for (; p < end; ++p) {
        if (*p != '\n') {
            if (c.line.size() < kTextTail)
                c.line.push_back(static_cast<char>(*p));
            continue;
        }
        const std::size_t colon = c.line.find(": ");
        if (measuring_ && c.reader && c.line.rfind("guest-", 0) == 0 && colon != std::string::npos
            && c.line.find_first_not_of(' ', colon + 2) == c.line.size() - 1 && c.line.back() == '\r'
            && c.line.size() > colon + 3)
            ++stats_.tiny_lines;
        c.line.clear();
    }
}

void LoadGen::ParseVelmora(Conn& c, const unsigned char* p, std::size_t n, Ns t)
{
    const unsigned char* end = p + n;
    while (p < end) {
        const unsigned char* q = p;
        if (*p < 0x80) {
            while (q < end && *q < 0x80)
                ++q;
            if (c.in_payload) {
                c.in_payload = false;
                c.text.clear();
            }
            c.text.append(reinterpret_cast<const char*>(p), static_cast<std::size_t>(q - p));
            CountTinyLines(c, p, q);
            if (c.text.size() > kTextTail)
                c.text.erase(0, c.text.size() - kTextTail);
            c.ready = true;
        } else {
            while (q < end && *q >= 0x80)
                ++q;
            c.line.assign("payload");
            if (!c.in_payload) {
                c.in_payload = true;
                c.source = -1;
                const std::size_t name = c.text.rfind("guest-");
                if (name != std::string::npos && c.text.size() >= 2 && c.text.compare(c.text.size() - 2, 2, ": ") == 0) {
                    char* digits_end = nullptr;
                    const long number = std::strtol(c.text.c_str() + name + 6, &digits_end, 10);
                    if (digits_end == c.text.c_str() + c.text.size() - 2)
                        c.source = number;
                }
                if (c.source < 0)
                    ++stats_.corrupt;
            }
            FeedSource(c, p, static_cast<std::size_t>(q - p), t);
        }
        p = q;
    }
}

// A sender's message may be split over relays with other senders' relays in between.
void LoadGen::FeedSource(Conn& c, const unsigned char* p, std::size_t n, Ns t)
{
    auto part = std::find_if(c.partials.begin(), c.partials.end(), [&](const Partial& x) { return x.source == c.source; });
    while (n > 0) {
        if (part == c.partials.end()) {
            if (n >= kMessageBytes) {
                Deliver(c, p, t);
                p += kMessageBytes;
                n -= kMessageBytes;
                continue;
            }
            c.partials.push_back(Partial{c.source, 0, {}});
            part = c.partials.end() - 1;
        }
        const std::size_t take = std::min(kMessageBytes - part->len, n);
        std::memcpy(part->bytes + part->len, p, take);
        part->len += take;
        p += take;
        n -= take;
        if (part->len == kMessageBytes) {
            Deliver(c, part->bytes, t);
            c.partials.erase(part);
            part = c.partials.end();
        }
    }
}

void LoadGen::ParseNcat(Conn& c, const unsigned char* p, std::size_t n, Ns t)
{
    while (n > 0) {
        if (c.part_len == 0) {
            if (*p != kMarker) {
                if (!c.lost_sync)
                    ++stats_.corrupt;
                c.lost_sync = true;
                ++p;
                --n;
                continue;
            }
            c.lost_sync = false;
            if (n >= kMessageBytes) {
                Deliver(c, p, t);
                p += kMessageBytes;
                n -= kMessageBytes;
                continue;
            }
        }
        const std::size_t take = std::min(kMessageBytes - c.part_len, n);
        std::memcpy(c.part + c.part_len, p, take);
        c.part_len += take;
        p += take;
        n -= take;
        if (c.part_len == kMessageBytes) {
            Deliver(c, c.part, t);
            c.part_len = 0;
        }
    }
}

namespace resp {

// Reads an integer line starting at `at`; false if the line is not complete yet.
bool Integer(const std::string& in, std::size_t& at, long& value)
{
    const std::size_t eol = in.find("\r\n", at);
    if (eol == std::string::npos)
        return false;
    value = std::strtol(in.c_str() + at, nullptr, 10);
    at = eol + 2;
    return true;
}

} // namespace resp

void LoadGen::ParseRedis(Conn& c, Ns t)
{
    std::size_t at = 0;
    for (;;) {
        std::size_t pos = at;
        if (pos >= c.in.size())
            break;
        if (c.in[pos] != '*') {
            ++stats_.corrupt;
            at = c.in.size();
            break;
        }
        ++pos;
        long count = 0;
        if (!resp::Integer(c.in, pos, count))
            break;
        struct Element {
            std::size_t at;
            long len;
        };
        Element elements[3] = {};
        bool complete = true;
        for (long i = 0; i < count && complete; ++i) {
            if (pos >= c.in.size()) {
                complete = false;
                break;
            }
            const char type = c.in[pos++];
            long value = 0;
            if (!resp::Integer(c.in, pos, value)) {
                complete = false;
                break;
            }
            if (type == '$') {
                if (c.in.size() < pos + static_cast<std::size_t>(value) + 2) {
                    complete = false;
                    break;
                }
                if (i < 3)
                    elements[i] = {pos, value};
                pos += static_cast<std::size_t>(value) + 2;
            }
        }
        if (!complete)
            break;
        at = pos;
        if (count == 3 && c.in.compare(elements[0].at, 7, "message") == 0 && elements[2].len == kMessageBytes)
            Deliver(c, reinterpret_cast<const unsigned char*>(c.in.data() + elements[2].at), t);
        else if (count == 3 && c.in.compare(elements[0].at, 9, "subscribe") == 0)
            c.ready = true;
        else
            ++stats_.corrupt;
    }
    c.in.erase(0, at);
}

void LoadGen::Deliver(Conn& c, const unsigned char* message, Ns t)
{
    Message m;
    if (!Decode(message, m)) {
        ++stats_.corrupt;
        return;
    }
    if (m.sender == kProbeSender) {
        c.probed = true;
        return;
    }
    if (m.sender == kFloodSender) {
        if (c.reader && measuring_)
            ++stats_.flood_delivered;
        return;
    }
    if (!c.reader || !measuring_)
        return;
    if (m.sender >= c.next_seq.size()) {
        ++stats_.corrupt;
        return;
    }
    if (o_.mode != Mode::Redis && static_cast<int>(m.sender) == c.client)
        ++stats_.echoes;
    std::uint64_t& next = c.next_seq[m.sender];
    if (m.seq > next)
        stats_.gaps += m.seq - next;
    if (m.seq < next)
        ++stats_.reordered;
    else
        next = m.seq + 1;
    ++stats_.delivered;
    stats_.latencies.push_back(t - m.sent);
}

void LoadGen::Send(int client, const Message& m)
{
    unsigned char body[kMessageBytes];
    Encode(body, m);
    Conn& c = conns_[talk_[static_cast<std::size_t>(client)]];
    if (o_.mode == Mode::Redis) {
        std::string command = "*3\r\n$7\r\nPUBLISH\r\n$" + std::to_string(std::strlen(kChannel)) + "\r\n" + kChannel
            + "\r\n$" + std::to_string(kMessageBytes) + "\r\n";
        command.append(reinterpret_cast<const char*>(body), kMessageBytes);
        command.append("\r\n");
        Write(c, command.data(), command.size());
    } else {
        Write(c, reinterpret_cast<const char*>(body), kMessageBytes);
    }
}

void LoadGen::SampleServer()
{
    const Ns t = Now();
    if (t < next_sample_)
        return;
    next_sample_ = t + kSampleInterval;
    const ProcSample s = SampleServers(o_.server_pids);
    if (s.ok)
        peak_rss_kib_ = std::max(peak_rss_kib_, s.rss_kib);
}

void LoadGen::Pump(Ns until)
{
    epoll_event events[kMaxEvents];
    const Ns wait = std::max<Ns>(0, until - Now());
    const timespec timeout{static_cast<time_t>(wait / kSecond), static_cast<long>(wait % kSecond)};
    const int n = epoll_pwait2(epoll_, events, kMaxEvents, &timeout, nullptr);
    if (n < 0 && errno != EINTR)
        Die("epoll_pwait2: " + std::string(std::strerror(errno)));
    for (int i = 0; i < n; ++i)
        OnEvent(conns_[events[i].data.u64], events[i].events);
    ResumePacedReaders();
    SampleServer();
}

bool LoadGen::PumpUntil(const std::function<bool()>& done, Ns deadline)
{
    while (!done()) {
        const Ns t = Now();
        if (t >= deadline)
            return false;
        Pump(std::min(deadline, t + kSampleInterval));
    }
    return true;
}

std::size_t LoadGen::Ready() const
{
    return ready_count_;
}

// Every reader must have seen a probe from some other client before the measured load starts;
// probes repeat because a server may not have taken in a connection by the time one is sent.
bool LoadGen::Barrier(Ns deadline)
{
    std::uint64_t round = 0;
    auto all_probed = [&] {
        return std::all_of(conns_.begin(), conns_.end(), [](const Conn& c) { return !c.reader || c.probed || c.closed; });
    };
    while (!all_probed()) {
        if (Now() >= deadline)
            return false;
        const int from = o_.clients > 1 ? static_cast<int>(round % 2) : 0;
        Send(from, Message{kProbeSender, round++, Now()});
        PumpUntil(all_probed, std::min(deadline, Now() + kProbeInterval));
    }
    return true;
}

std::string LoadGen::Header() const
{
    static const char* names[] = {"velmora", "ncat", "redis"};
    std::string h = "RESULT mode=" + std::string(names[static_cast<int>(o_.mode)]);
    if (!o_.label.empty())
        h += " label=" + o_.label;
    return h;
}

double Percentile(std::vector<Ns>& values, double q)
{
    if (values.empty())
        return 0;
    const std::size_t k = std::min(values.size() - 1, static_cast<std::size_t>(q * static_cast<double>(values.size())));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(k), values.end());
    return static_cast<double>(values[k]) / kMillisecond;
}

int LoadGen::RunLoad()
{
    const int senders = o_.senders < 0 ? o_.clients : std::min(o_.senders, o_.clients);
    if (o_.clients < 2 || senders < 1 || o_.rate <= 0 || o_.duration <= 0)
        Die("need at least two clients, one sender, and a positive rate and duration");
    const Ns setup_deadline = Now() + static_cast<Ns>(o_.setup_timeout * kSecond);

    // Stalled clients come first so that they are members before anyone the load is measured on.
    for (int k = 0; k < o_.stalled; ++k) {
        Open(-1, false, true, false);
        if (o_.mode == Mode::Ncat)
            PumpUntil([] { return false; }, Now() + kNcatConnectGap);
    }
    talk_.resize(static_cast<std::size_t>(o_.clients));
    for (int i = 0; i < o_.clients; ++i) {
        PumpUntil([&] { return pending_connects_ < kMaxPendingConnects; }, setup_deadline);
        talk_[static_cast<std::size_t>(i)] = Open(i, true, false, false);
        if (o_.mode == Mode::Ncat)
            PumpUntil([] { return false; }, Now() + kNcatConnectGap);
        if (o_.mode == Mode::Redis)
            talk_[static_cast<std::size_t>(i)] = Open(i, false, false, true);
    }
    for (int f = 0; f < o_.flooders; ++f)
        conns_[Open(-1, false, false, false)].flooder = true;
    std::vector<std::size_t> tiny;
    for (int f = 0; f < o_.tiny_flooders; ++f)
        tiny.push_back(Open(-1, false, false, false));
    if (!PumpUntil([&] { return Ready() == conns_.size(); }, setup_deadline))
        Die("only " + std::to_string(Ready()) + " of " + std::to_string(conns_.size()) + " connections got ready in time");
    for (auto& c : conns_)
        c.next_seq.assign(static_cast<std::size_t>(senders), 0);
    if (!Barrier(setup_deadline)) {
        const auto probed = std::count_if(conns_.begin(), conns_.end(), [](const Conn& c) { return c.reader && c.probed; });
        Die("only " + std::to_string(probed) + " of " + std::to_string(o_.clients) + " readers got the start probe in time");
    }
    // Join notices and probes still arriving are not part of the measurement.
    PumpUntil([&] { return Now() - last_bytes_at_ > 200 * kMillisecond; }, setup_deadline);

    std::vector<std::uint64_t> sent(static_cast<std::size_t>(senders), 0);
    const std::uint64_t machine_before = MachineBusyTicks();
    const ProcSample self_before = SampleProcess(getpid());
    const ProcSample before = SampleServers(o_.server_pids);
    peak_rss_kib_ = before.rss_kib;
    measuring_ = true;
    for (auto& c : conns_) {
        if (c.flooder) {
            FillFlood(c);
            Update(c);
        }
    }
    const Ns t0 = Now();
    const Ns stop = t0 + static_cast<Ns>(o_.duration * kSecond);
    const double interval = kSecond / o_.rate;
    const Ns tiny_interval = static_cast<Ns>(o_.tiny_interval_ms * kMillisecond);
    Ns tiny_due = t0;
    std::uint64_t k = 0;
    for (;;) {
        Ns due = t0 + static_cast<Ns>(static_cast<double>(k) * interval);
        if (due >= stop)
            break;
        if (!tiny.empty() && Now() >= tiny_due) {
            for (const std::size_t at : tiny)
                Write(conns_[at], " ", 1);
            tiny_due += tiny_interval;
        }
        const Ns t = Now();
        while (due <= t && due < stop) {
            const auto sender = static_cast<std::uint32_t>(k % static_cast<std::uint64_t>(senders));
            Send(static_cast<int>(sender), Message{sender, sent[sender]++, Now()});
            ++k;
            due = t0 + static_cast<Ns>(static_cast<double>(k) * interval);
        }
        Pump(std::min({due, stop, tiny.empty() ? stop : tiny_due}));
    }
    const Ns sending_ended = Now();
    const ProcSample after = SampleServers(o_.server_pids);
    for (auto& c : conns_) {
        if (c.flooder) {
            c.flooder = false;
            c.out.clear();
            Update(c);
        }
    }
    const ProcSample self_after = SampleProcess(getpid());
    const std::uint64_t machine_after = MachineBusyTicks();

    std::uint64_t expected = 0;
    for (const auto& c : conns_) {
        if (!c.reader || c.closed)
            continue;
        for (int s = 0; s < senders; ++s)
            if (o_.mode == Mode::Redis || s != c.client)
                expected += sent[static_cast<std::size_t>(s)];
    }
    PumpUntil([&] { return stats_.delivered + stats_.gaps >= expected; }, Now() + static_cast<Ns>(o_.drain * kSecond));
    measuring_ = false;

    std::size_t closed_readers = 0, closed_stalled = 0;
    for (const auto& c : conns_) {
        if (c.closed && c.reader)
            ++closed_readers;
        // A stalled client reads nothing, so whether the server has ended it shows only in TCP's state.
        tcp_info info{};
        socklen_t len = sizeof info;
        if (c.stalled && getsockopt(c.fd, IPPROTO_TCP, TCP_INFO, &info, &len) == 0 && info.tcpi_state != TCP_ESTABLISHED)
            ++closed_stalled;
    }
    const double window = static_cast<double>(sending_ended - t0) / kSecond;
    const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    const double cpu = before.ok && after.ok ? 100.0 * static_cast<double>(after.cpu_ticks - before.cpu_ticks) / ticks / window : -1;
    const double own = 100.0 * static_cast<double>(self_after.cpu_ticks - self_before.cpu_ticks) / ticks / window;
    // Whatever else ran on the machine meanwhile; on a small shared machine it moves tail latency most.
    const double machine = 100.0 * static_cast<double>(machine_after - machine_before) / ticks / window;
    const double others = std::max(0.0, machine - own - std::max(0.0, cpu));
    const bool complete = stats_.delivered == expected && stats_.gaps == 0 && stats_.reordered == 0 && stats_.corrupt == 0
        && stats_.echoes == 0 && closed_readers == 0;

    std::printf("%s clients=%d senders=%d stalled=%d rate=%.0f duration_s=%.2f sent=%" PRIu64 " expected=%" PRIu64
                " delivered=%" PRIu64 " gaps=%" PRIu64 " reordered=%" PRIu64 " corrupt=%" PRIu64 " echoes=%" PRIu64
                " closed_readers=%zu closed_stalled=%zu complete=%s deliveries_per_s=%.0f bytes_per_s=%.0f"
                " p50_ms=%.3f p99_ms=%.3f p999_ms=%.3f max_ms=%.3f server_cpu_pct=%.1f server_rss_kib=%ld"
                " server_peak_rss_kib=%ld loadgen_cpu_pct=%.1f other_cpu_pct=%.1f flooders=%d read_rate=%.0f"
                " flood_sent_bytes=%" PRIu64 " flood_deliveries=%" PRIu64 " tiny_flooders=%d tiny_lines_per_reader_per_s=%.1f\n",
        Header().c_str(), o_.clients, senders, o_.stalled, o_.rate, window, k, expected, stats_.delivered, stats_.gaps,
        stats_.reordered, stats_.corrupt, stats_.echoes, closed_readers, closed_stalled, complete ? "yes" : "no",
        static_cast<double>(stats_.delivered) / window, static_cast<double>(stats_.bytes_in) / window,
        Percentile(stats_.latencies, 0.5), Percentile(stats_.latencies, 0.99), Percentile(stats_.latencies, 0.999),
        Percentile(stats_.latencies, 1.0), cpu, before.rss_kib, peak_rss_kib_, own, others, o_.flooders, o_.read_rate,
        flood_bytes_sent_, stats_.flood_delivered, o_.tiny_flooders,
        static_cast<double>(stats_.tiny_lines) / std::max(1, o_.clients) / window);
    std::fflush(stdout);
    return 0;
}

int LoadGen::RunIdle()
{
    const Ns deadline = Now() + static_cast<Ns>(o_.setup_timeout * kSecond);
    const ProcSample before = SampleProcess(o_.server_pid);
    const Ns t0 = Now();
    last_bytes_at_ = t0;
    Ns thousand_at = 0;
    for (int i = 0; i < o_.idle; ++i) {
        PumpUntil([&] { return pending_connects_ < kMaxPendingConnects; }, deadline);
        Open(i, false, false, false);
        if (o_.mode == Mode::Ncat)
            PumpUntil([] { return false; }, Now() + kNcatConnectGap);
        if (!thousand_at && Ready() >= 1000)
            thousand_at = Now();
    }
    if (!PumpUntil([&] {
            if (!thousand_at && Ready() >= 1000)
                thousand_at = Now();
            return Ready() == conns_.size();
        },
            deadline))
        Die("only " + std::to_string(Ready()) + " of " + std::to_string(conns_.size()) + " clients were greeted in time");
    const Ns all_at = Now();
    // Join notices keep flowing for a while; memory is read once the server has gone quiet.
    PumpUntil([&] { return Now() - last_bytes_at_ > 500 * kMillisecond; }, deadline);
    const ProcSample after = SampleProcess(o_.server_pid);
    std::size_t closed = 0;
    for (const auto& c : conns_)
        closed += c.closed ? 1 : 0;
    const double per_conn = before.ok && after.ok ? 1024.0 * static_cast<double>(after.rss_kib - before.rss_kib) / o_.idle : -1;
    std::printf("%s idle=%d connected=%zu closed=%zu first_1000_ms=%.1f all_ms=%.1f server_rss_before_kib=%ld"
                " server_rss_after_kib=%ld bytes_per_conn=%.0f\n",
        Header().c_str(), o_.idle, Ready(), closed, thousand_at ? static_cast<double>(thousand_at - t0) / kMillisecond : -1.0,
        static_cast<double>(all_at - t0) / kMillisecond, before.rss_kib, after.rss_kib, per_conn);
    std::fflush(stdout);
    // Held until the server goes away or the time is up, so the caller can stop the server first.
    PumpUntil([&] { return std::all_of(conns_.begin(), conns_.end(), [](const Conn& c) { return c.closed; }); },
        Now() + static_cast<Ns>(o_.hold * kSecond));
    return 0;
}

namespace {

// How many leavers `text` accounts for in "X left" and "A, B and 9,975 others left" lines, and in
// how many lines.
void CountLeaves(const std::string& text, std::size_t& accounted, std::size_t& lines)
{
    std::size_t at = 0;
    for (std::size_t end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2) {
        const std::string line = text.substr(at, end - at);
        if (line.size() < 5 || line.compare(line.size() - 5, 5, " left") != 0)
            continue;
        ++lines;
        std::string names = line.substr(0, line.size() - 5);
        const std::size_t others = names.rfind(" others");
        const std::size_t and_at = names.rfind(" and ");
        if (others != std::string::npos && and_at != std::string::npos && others == names.size() - 7) {
            std::string count = names.substr(and_at + 5, others - and_at - 5);
            count.erase(std::remove(count.begin(), count.end(), ','), count.end());
            accounted += std::stoul(count);
            names.resize(and_at);
        }
        accounted += 1 + static_cast<std::size_t>(std::count(names.begin(), names.end(), ','));
    }
}

} // namespace

// Connects `idle` clients, then all but the first `stay` leave at once: what the server's memory
// peaks at, and what account of it the stayers get.
int LoadGen::RunMassLeave()
{
    const Ns deadline = Now() + static_cast<Ns>(o_.setup_timeout * kSecond);
    const ProcSample before = SampleProcess(o_.server_pid);
    for (int i = 0; i < o_.idle; ++i) {
        PumpUntil([&] { return pending_connects_ < kMaxPendingConnects; }, deadline);
        conns_[Open(i, false, false, false)].stayer = i < o_.stay;
    }
    if (!PumpUntil([&] { return Ready() == conns_.size(); }, deadline))
        Die("only " + std::to_string(Ready()) + " of " + std::to_string(conns_.size()) + " clients were greeted in time");
    PumpUntil([&] { return Now() - last_bytes_at_ > 500 * kMillisecond; }, deadline);
    const ProcSample connected = SampleProcess(o_.server_pid);
    for (auto& c : conns_)
        c.lines.clear();

    // The kernel updates its high-water mark lazily; sampled as well, the peak is not missed.
    peak_rss_kib_ = connected.rss_kib;
    const Ns t0 = Now();
    for (auto& c : conns_)
        if (!c.stayer)
            CloseConn(c);
    PumpUntil([&] { return Now() - last_bytes_at_ > 1000 * kMillisecond; }, deadline);
    const double told_ms = static_cast<double>(last_bytes_at_ - t0) / kMillisecond;
    const ProcSample after = SampleProcess(o_.server_pid);

    std::size_t correct = 0, most_lines = 0, least = SIZE_MAX, most = 0;
    for (const auto& c : conns_) {
        if (!c.stayer)
            continue;
        std::size_t accounted = 0, lines = 0;
        CountLeaves(c.lines, accounted, lines);
        correct += accounted == static_cast<std::size_t>(o_.idle - o_.stay) ? 1 : 0;
        most_lines = std::max(most_lines, lines);
        least = std::min(least, accounted);
        most = std::max(most, accounted);
    }
    std::printf("%s mass_leave=%d stayed=%d server_rss_before_kib=%ld server_rss_connected_kib=%ld"
                " server_rss_after_kib=%ld server_peak_rss_kib=%ld told_ms=%.1f stayers_correct=%zu"
                " most_leave_lines=%zu accounted_min=%zu accounted_max=%zu\n",
        Header().c_str(), o_.idle - o_.stay, o_.stay, before.rss_kib, connected.rss_kib, after.rss_kib,
        std::max({after.peak_rss_kib, peak_rss_kib_, connected.rss_kib}), told_ms, correct, most_lines, least, most);
    std::fflush(stdout);
    return 0;
}

int LoadGen::RunExhaust()
{
    if (o_.server_pid <= 0)
        Die("--exhaust needs --server-pid");
    const Ns deadline = Now() + 30 * kSecond;
    last_bytes_at_ = Now();
    for (int i = 0; i < o_.exhaust; ++i)
        Open(i, false, false, false);
    // Connections past the server's descriptors complete in the kernel's backlog but get no greeting.
    PumpUntil([&] { return pending_connects_ == 0 && Now() - last_bytes_at_ > 1000 * kMillisecond; }, deadline);
    const std::size_t greeted_before = Ready();

    const ProcSample cpu0 = SampleProcess(o_.server_pid);
    const Ns window_start = Now();
    PumpUntil([] { return false; }, window_start + 2 * kSecond);
    const ProcSample cpu1 = SampleProcess(o_.server_pid);
    const double window = static_cast<double>(Now() - window_start) / kSecond;
    const double cpu = 100.0 * static_cast<double>(cpu1.cpu_ticks - cpu0.cpu_ticks) / static_cast<double>(sysconf(_SC_CLK_TCK)) / window;

    int released = 0;
    for (auto& c : conns_) {
        if (released == o_.release)
            break;
        if (c.ready && !c.closed) {
            CloseConn(c);
            ++released;
        }
    }
    const Ns release_at = Now();
    const std::size_t target = std::min(conns_.size(), greeted_before + static_cast<std::size_t>(released));
    const bool resumed = PumpUntil([&] { return Ready() >= target; }, release_at + 10 * kSecond);
    const double resume_ms = static_cast<double>(Now() - release_at) / kMillisecond;
    std::printf("%s exhaust=%d greeted_while_full=%zu server_cpu_pct_while_full=%.1f released=%d greeted_after=%zu"
                " resumed=%s resume_ms=%.1f\n",
        Header().c_str(), o_.exhaust, greeted_before, cpu, released, Ready(), resumed ? "yes" : "no", resume_ms);
    std::fflush(stdout);
    return 0;
}

} // namespace

namespace {

int ConnectBlocking(const sockaddr_in& address)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        Die("connect: " + std::string(std::strerror(errno)));
    return fd;
}

// What one member of the room heard during a churn: relay text, presence notices, anything else.
struct Heard {
    std::string partial;
    std::uint64_t text_bytes = 0;
    std::uint64_t presence_lines = 0;
    std::uint64_t other_lines = 0;

    void Take(int fd)
    {
        char buffer[65536];
        for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) {
            for (ssize_t i = 0; i < n; ++i)
                partial.push_back(static_cast<char>(buffer[i] ^ 0x5A));
            std::size_t at = 0;
            for (std::size_t end; (end = partial.find("\r\n", at)) != std::string::npos; at = end + 2)
                Classify(partial.substr(at, end - at));
            partial.erase(0, at);
        }
    }

    void Classify(const std::string& line)
    {
        const auto ends = [&](const std::string& tail) {
            return line.size() >= tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
        };
        const std::size_t colon = line.find(": ");
        if (ends(" joined") || ends(" left"))
            ++presence_lines;
        else if (line.rfind("guest-", 0) == 0 && colon != std::string::npos)
            text_bytes += line.size() - colon - 2;
        else
            ++other_lines;
    }
};

}  // namespace

int LoadGen::RunChurn()
{
    const int listener = ConnectBlocking(addresses_.front());
    Heard heard;
    const std::string text(o_.churn_bytes, 'c');
    const ProcSample before = SampleServers(o_.server_pids);
    const Ns t0 = Now();
    const Ns stop = t0 + static_cast<Ns>(o_.duration * kSecond);
    std::uint64_t rounds = 0;
    while (Now() < stop) {
        const int fd = ConnectBlocking(addresses_.front());
        send(fd, text.data(), text.size(), MSG_NOSIGNAL);
        close(fd);
        ++rounds;
        heard.Take(listener);
    }
    const ProcSample after = SampleServers(o_.server_pids);
    const Ns ended = Now();
    // What throttled connections still held reaches the room later; the drain shows how much.
    const std::uint64_t heard_during = heard.text_bytes;
    for (const Ns until = Now() + static_cast<Ns>(o_.drain * kSecond); Now() < until;) {
        heard.Take(listener);
        usleep(10000);
    }
    const double window = static_cast<double>(ended - t0) / kSecond;
    const double cpu = before.ok && after.ok
        ? 100.0 * static_cast<double>(after.cpu_ticks - before.cpu_ticks) / static_cast<double>(sysconf(_SC_CLK_TCK)) / window
        : -1;
    std::printf("%s churn_bytes=%zu duration_s=%.2f rounds=%" PRIu64 " sent_bytes=%" PRIu64 " heard_bytes=%" PRIu64
                " heard_bytes_with_drain=%" PRIu64 " presence_lines=%" PRIu64 " other_lines=%" PRIu64
                " server_cpu_pct=%.1f server_peak_rss_kib=%ld\n",
        Header().c_str(), o_.churn_bytes, window, rounds, rounds * o_.churn_bytes, heard_during, heard.text_bytes,
        heard.presence_lines, heard.other_lines, cpu, after.rss_kib);
    std::fflush(stdout);
    close(listener);
    return 0;
}

int main(int argc, char** argv)
{
    CLI::App app{"Opens many loopback chat clients, drives a message load and measures delivery.", "velmora-loadgen"};
    Options o;
    std::string mode = "velmora";
    bool pick_port = false;
    app.add_option("--mode", mode, "Server kind: velmora, ncat (--broker) or redis (pub/sub)")
        ->check(CLI::IsMember({"velmora", "ncat", "redis"}))
        ->capture_default_str();
    app.add_option("--host", o.host, "Server address (loopback only)")->capture_default_str();
    app.add_option("--port", o.ports, "Server port; several, comma-separated, for servers sharing one room")
        ->delimiter(',')
        ->check(CLI::Range(1, 65535));
    app.add_option("--clients", o.clients, "Clients that read and may send")->capture_default_str();
    app.add_option("--senders", o.senders, "How many of the clients send (default: all)");
    app.add_option("--rate", o.rate, "Messages per second, in total over all senders")->capture_default_str();
    app.add_option("--duration", o.duration, "Seconds of load")->check(CLI::Range(0.1, 600.0))->capture_default_str();
    app.add_option("--drain", o.drain, "Seconds to wait for late deliveries")->check(CLI::Range(0.0, 120.0))->capture_default_str();
    app.add_option("--stalled", o.stalled, "Extra clients that never read")->capture_default_str();
    app.add_option("--server-pid", o.server_pids, "Server processes (comma-separated) to read CPU time and memory of from /proc")
        ->delimiter(',');
    app.add_option("--idle", o.idle, "Only connect this many idle clients and report connect time and memory");
    app.add_option("--hold", o.hold, "Seconds to keep idle clients after reporting")->check(CLI::Range(0.0, 600.0))->capture_default_str();
    app.add_option("--exhaust", o.exhaust, "Open this many clients against a server short of descriptors");
    app.add_option("--release", o.release, "With --exhaust: how many greeted clients to close again");
    app.add_option("--label", o.label, "Tag carried into the RESULT line");
    app.add_option("--flooders", o.flooders, "Extra clients that send as fast as the server reads them")
        ->capture_default_str();
    app.add_option("--tiny-flooders", o.tiny_flooders, "Extra clients that send one byte at a time, each its own message")
        ->capture_default_str();
    app.add_option("--tiny-interval-ms", o.tiny_interval_ms, "Milliseconds between the bytes of each tiny flooder")
        ->capture_default_str();
    app.add_option("--churn", o.churn_bytes,
        "Only reconnect from one address in a loop for --duration, sending this many bytes each time, and report "
        "what one listener heard of it");
    app.add_option("--read-rate", o.read_rate, "Bytes a second each reading client takes in at most (0: no limit)")
        ->capture_default_str();
    app.add_option("--stay", o.stay, "With --idle: keep this many and close the rest at once (velmora only)");
    app.add_option("--setup-timeout", o.setup_timeout, "Seconds allowed for connecting and the start probe")
        ->check(CLI::Range(1.0, 600.0))
        ->capture_default_str();
    app.add_flag("--pick-port", pick_port, "Print a free loopback port and exit");
    CLI11_PARSE(app, argc, argv);

    if (pick_port) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0
            || getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            Die("cannot find a free port");
        std::printf("%d\n", ntohs(a.sin_port));
        close(fd);
        return 0;
    }
    if (o.ports.empty())
        Die("--port is required");
    o.port = o.ports.front();
    o.server_pid = o.server_pids.empty() ? 0 : o.server_pids.front();
    o.mode = mode == "ncat" ? Mode::Ncat : mode == "redis" ? Mode::Redis : Mode::Velmora;

    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    signal(SIGPIPE, SIG_IGN);

    LoadGen gen(o);
    if (o.idle > 0 && o.stay >= 0)
        return gen.RunMassLeave();
    if (o.idle > 0)
        return gen.RunIdle();
    if (o.exhaust > 0)
        return gen.RunExhaust();
    if (o.churn_bytes > 0)
        return gen.RunChurn();
    return gen.RunLoad();
}
