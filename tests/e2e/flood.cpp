// Floods the connected client for a bounded time and measures what a person would notice: how
// fast the text reaches the log, how long a typed line takes to reach the server, and whether
// the window goes on painting; and, for comparison, how fast a program that only receives takes
// in the same flood under the same Wine.
#include "drive.h"

#include "resource.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>

namespace {

constexpr const char* END_MARK = "<end-of-flood>";
// The receive-only program answers the end mark with this.
constexpr const char* RECEIVE_ONLY_DONE = "done|";

std::string FloodPattern()
{
    std::string lines;
    for (int i = 0; lines.size() < 16384; ++i) {
        char line[64];
        std::snprintf(line, sizeof line, "flood %08d abcdefghijklmnopqrstuvwxyz\r\n", i);
        lines += line;
    }
    return Mask(lines);
}

// Takes what the client sent, split at '|', with the time each piece arrived.
void TakeArrivals(std::string& fromClient, std::vector<std::pair<std::string, ULONGLONG>>& arrivals)
{
    size_t end;
    while ((end = fromClient.find('|')) != std::string::npos) {
        arrivals.emplace_back(fromClient.substr(0, end), NowMs());
        fromClient.erase(0, end + 1);
    }
}

}  // namespace

struct Flooder::Shared {
    SOCKET socket;
    std::atomic<bool> stop{false};
    std::atomic<bool> sending{true};
    std::atomic<bool> quiet{false};   // the thread has sent its last bytes, or has ended
    std::atomic<long long> sent{0};
    std::mutex lock;
    std::string fromClient;
    std::vector<std::pair<std::string, ULONGLONG>> arrivals;
    std::thread thread;
};

Flooder::Flooder(SOCKET socket) : shared_(new Shared)
{
    if (socket == INVALID_SOCKET)
        Fail("the flood needs the peer's connection");
    shared_->socket = socket;
    Shared* shared = shared_.get();
    shared_->thread = std::thread([shared] {
        const std::string masked = FloodPattern();
        size_t offset = 0;
        char buffer[4096];
        while (!shared->stop.load()) {
            fd_set readable, writable;
            FD_ZERO(&readable);
            FD_ZERO(&writable);
            const bool sending = shared->sending.load();
            if (!sending)
                shared->quiet = true;
            FD_SET(shared->socket, &readable);
            if (sending)
                FD_SET(shared->socket, &writable);
            timeval tv{0, 20000};
            if (select(0, &readable, &writable, nullptr, &tv) <= 0)
                continue;
            if (FD_ISSET(shared->socket, &readable)) {
                int n = recv(shared->socket, buffer, sizeof buffer, 0);
                if (n <= 0) {
                    shared->quiet = true;
                    return;
                }
                std::lock_guard<std::mutex> guard(shared->lock);
                shared->fromClient.append(buffer, static_cast<size_t>(n));
                TakeArrivals(shared->fromClient, shared->arrivals);
            }
            if (sending && FD_ISSET(shared->socket, &writable)) {
                int n = send(shared->socket, masked.data() + offset, static_cast<int>(masked.size() - offset), 0);
                if (n > 0) {
                    shared->sent += n;
                    offset = (offset + static_cast<size_t>(n)) % masked.size();
                }
            }
        }
    });
}

// A failure anywhere while the flood runs unwinds through here, so the thread is always joined.
Flooder::~Flooder()
{
    Stop();
}

void Flooder::StopSending()
{
    shared_->sending = false;
    // Bytes sent after this, the end mark say, must not be overtaken by the flood's last send.
    while (!shared_->quiet.load())
        Sleep(1);
}

void Flooder::Stop()
{
    shared_->stop = true;
    if (shared_->thread.joinable())
        shared_->thread.join();
}

long long Flooder::BytesSent() const
{
    return shared_->sent.load();
}

std::vector<std::pair<std::string, ULONGLONG>> Flooder::Arrivals()
{
    std::lock_guard<std::mutex> guard(shared_->lock);
    return shared_->arrivals;
}

namespace {

std::string WithoutLineEnds(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text)
        if (c != '\r' && c != '\n')
            out += c;
    return out;
}

void PrintSpread(const char* what, std::vector<double> values)
{
    if (values.empty()) {
        std::printf("bench: %s: no samples\n", what);
        return;
    }
    std::sort(values.begin(), values.end());
    std::printf("bench: %s: %zu samples, min %.0f ms, median %.0f ms, max %.0f ms\n", what,
                values.size(), values.front(), values[values.size() / 2], values.back());
}

// A process of the benchmark's own, ended with the benchmark however it ends.
struct BenchProcess {
    PROCESS_INFORMATION info{};
    ~BenchProcess()
    {
        if (info.hProcess == nullptr)
            return;
        if (WaitForSingleObject(info.hProcess, 0) == WAIT_TIMEOUT)
            TerminateProcess(info.hProcess, 0xDEAD);
        CloseHandle(info.hProcess);
        CloseHandle(info.hThread);
    }
};

}  // namespace

double RunReceiveOnlyBenchmark(const std::string& program, Peer& peer, int seconds)
{
    BenchProcess process;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    std::string commandLine = "\"" + program + "\"";
    if (!CreateProcessA(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process.info))
        Fail("CreateProcess(" + program + ") failed with error " + std::to_string(GetLastError()));
    peer.Accept();

    const ULONGLONG start = NowMs();
    long long floodBytes = 0;
    {
        Flooder flood(peer.Socket());
        Sleep(static_cast<DWORD>(seconds) * 1000);
        flood.Stop();
        floodBytes = flood.BytesSent();
    }
    peer.Send(Mask(std::string(END_MARK) + "\r\n"));
    if (!PollUntil([&] {
            peer.Drain(50);
            return peer.Unread().find(RECEIVE_ONLY_DONE) != std::string::npos;
        }, 120000))
        Fail("the receive-only program did not take in the end of the flood within 120 s");
    const double floodSeconds = static_cast<double>(NowMs() - start) / 1000.0;
    peer.Unread().clear();
    peer.Close();

    double rate = static_cast<double>(floodBytes) / floodSeconds;
    std::printf("bench: receive-only program: flood of %d s: %lld bytes, all taken in %.1f s after the "
                "start: %.0f KB/s\n", seconds, floodBytes, floodSeconds, rate / 1024.0);
    std::fflush(stdout);
    return rate;
}

void RunFloodBenchmark(HWND mainWindow, Peer& peer, int seconds, const std::string& shotDir,
                       double receiveOnlyRate)
{
    HWND log = ControlOf(mainWindow, IDC_LOG, "IDC_LOG");
    HWND input = ControlOf(mainWindow, IDC_INPUT, "IDC_INPUT");
    RECT logRect = WindowRect(log);
    // The input line's text, short of where the caret blinks while the line is empty.
    RECT textRect = WindowRect(input);
    textRect.left += 8;
    textRect.top += 4;
    textRect.bottom -= 4;
    const Image emptyInput = CaptureScreenRect(textRect);

    const ULONGLONG start = NowMs();
    Flooder flood(peer.Socket());

    // One step at a time, never blocking, so that the pictures go on while a key waits.
    enum class Step { Paste, WaitPaste, WaitClear, Pause };
    Step step = Step::Paste;
    std::vector<double> pasteDelays, lineDelays;
    std::vector<std::pair<std::string, ULONGLONG>> pressed;
    std::string ping;
    bool pasteSeen = false;
    ULONGLONG stepAt = start;
    int intervals = 0, repaints = 0, pings = 0;
    Image previous = CaptureScreenRect(logRect);
    ULONGLONG nextShot = start + 1000;
    const ULONGLONG end = start + static_cast<ULONGLONG>(seconds) * 1000;
    while (NowMs() < end) {
        switch (step) {
        case Step::Paste:
            // A ping ends with '|' so that the peer can tell pings apart in the stream.
            ping = "ping-" + std::to_string(pings++) + "|";
            SetClipboardBytes(ping);
            stepAt = NowMs();
            PressCombo(mainWindow, "ctrl+V");
            pasteSeen = false;
            step = Step::WaitPaste;
            break;
        case Step::WaitPaste:
            // Timed by the screen, as the person sees it: the client answers another program's
            // question about its text only between read events.
            if (!pasteSeen && CaptureScreenRect(textRect).bgr != emptyInput.bgr) {
                pasteDelays.push_back(static_cast<double>(NowMs() - stepAt));
                pasteSeen = true;
            }
            if (pasteSeen && ReadText(input) == ping) {
                stepAt = NowMs();
                PressCombo(mainWindow, "RETURN");
                pressed.emplace_back(ping.substr(0, ping.size() - 1), stepAt);
                step = Step::WaitClear;
            }
            break;
        case Step::WaitClear:
            if (ReadTextLength(input) == 0) {
                stepAt = NowMs();
                step = Step::Pause;
            }
            break;
        case Step::Pause:
            // About five lines a second, so that typing does not dominate the input.
            if (NowMs() - stepAt >= 200)
                step = Step::Paste;
            break;
        }
        if (NowMs() >= nextShot) {
            Image current = CaptureScreenRect(logRect);
            ++intervals;
            if (current.bgr != previous.bgr)
                ++repaints;
            if (intervals == 3)
                WriteBmp(current, shotDir + "\\flood-log.bmp");
            previous = std::move(current);
            nextShot += 1000;
        }
        Sleep(10);
    }
    if (step == Step::WaitPaste || step == Step::WaitClear)
        std::printf("bench: at the end of the flood a %s had waited %.1f s for its effect\n",
                    step == Step::WaitPaste ? "paste" : "press of Enter",
                    static_cast<double>(NowMs() - stepAt) / 1000.0);
    flood.StopSending();
    const long long floodBytes = flood.BytesSent();

    peer.Send(Mask(std::string(END_MARK) + "\r\n"));
    ULONGLONG shownAt = 0;
    if (PollUntil([&] {
            std::string text = ReadText(log);
            std::string tail = WithoutLineEnds(text.substr(text.size() > 600 ? text.size() - 600 : 0));
            return tail.size() >= std::string(END_MARK).size() &&
                   tail.compare(tail.size() - std::string(END_MARK).size(), std::string::npos, END_MARK) == 0;
        }, 120000))
        shownAt = NowMs();
    else
        Fail("the end of the flood did not reach the log within 120 s");

    // A line pressed just before the end goes out while the log catches up, and its arrival is
    // timed then, by the flood's own reader.
    PollUntil([&] { return flood.Arrivals().size() >= pressed.size(); }, 20000);
    flood.Stop();
    const std::vector<std::pair<std::string, ULONGLONG>> arrivals = flood.Arrivals();

    for (const auto& press : pressed)
        for (const auto& arrival : arrivals)
            if (arrival.first == press.first)
                lineDelays.push_back(static_cast<double>(arrival.second - press.second));

    double floodSeconds = static_cast<double>(shownAt - start) / 1000.0;
    double rate = static_cast<double>(floodBytes) / floodSeconds;
    std::printf("bench: velmora.exe: flood of %d s: %lld bytes, all shown in the log %.1f s after the "
                "start: %.0f KB/s\n", seconds, floodBytes, floodSeconds, rate / 1024.0);
    if (receiveOnlyRate > 0)
        std::printf("bench: velmora.exe shows the flood at %.0f%% of the receive-only program's rate\n",
                    100.0 * rate / receiveOnlyRate);
    PrintSpread("paste shown in the input line", pasteDelays);
    PrintSpread("Enter to the line's arrival at the server", lineDelays);
    std::printf("bench: typed lines: %zu pressed, %zu arrived\n", pressed.size(), lineDelays.size());
    std::printf("bench: log repainted in %d of %d one-second intervals\n", repaints, intervals);
    std::fflush(stdout);
}
