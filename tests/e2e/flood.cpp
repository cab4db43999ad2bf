// Floods the connected client for a bounded time and measures what a person would notice: how
// fast the text reaches the log, how long a typed line takes to reach the server, and whether
// the window goes on painting.
#include "drive.h"

#include "resource.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>

namespace {

constexpr const char* END_MARK = "<end-of-flood>";

struct FloodShared {
    SOCKET socket;
    std::atomic<bool> stop{false};
    std::atomic<long long> sent{0};
    std::mutex lock;
    std::string fromClient;
    std::vector<std::pair<std::string, ULONGLONG>> arrivals;   // each ping and when it arrived
};

void FloodLoop(FloodShared* shared)
{
    std::string chunk;
    for (int i = 0; chunk.size() < 16384; ++i) {
        char piece[64];
        std::snprintf(piece, sizeof piece, "flood %08d abcdefghijklmnopqrstuvwxyz ", i);
        chunk += piece;
    }
    const std::string masked = Mask(chunk);
    size_t offset = 0;
    char buffer[4096];
    while (!shared->stop.load()) {
        fd_set readable, writable;
        FD_ZERO(&readable);
        FD_ZERO(&writable);
        FD_SET(shared->socket, &readable);
        FD_SET(shared->socket, &writable);
        timeval tv{0, 20000};
        if (select(0, &readable, &writable, nullptr, &tv) <= 0)
            continue;
        if (FD_ISSET(shared->socket, &readable)) {
            int n = recv(shared->socket, buffer, sizeof buffer, 0);
            if (n > 0) {
                std::lock_guard<std::mutex> guard(shared->lock);
                shared->fromClient.append(buffer, static_cast<size_t>(n));
                size_t end;
                while ((end = shared->fromClient.find('|')) != std::string::npos) {
                    shared->arrivals.emplace_back(shared->fromClient.substr(0, end), NowMs());
                    shared->fromClient.erase(0, end + 1);
                }
            } else if (n == 0) {
                return;
            }
        }
        if (FD_ISSET(shared->socket, &writable)) {
            int n = send(shared->socket, masked.data() + offset,
                         static_cast<int>(masked.size() - offset), 0);
            if (n > 0) {
                shared->sent += n;
                offset = (offset + static_cast<size_t>(n)) % masked.size();
            }
        }
    }
}

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

}  // namespace

void RunFloodBenchmark(HWND mainWindow, Peer& peer, int seconds, const std::string& shotDir)
{
    if (!peer.Connected())
        Fail("the flood needs the peer's connection");
    HWND log = ControlOf(mainWindow, IDC_LOG, "IDC_LOG");
    HWND input = ControlOf(mainWindow, IDC_INPUT, "IDC_INPUT");
    RECT logRect = WindowRect(log);

    FloodShared shared;
    shared.socket = peer.Socket();
    const ULONGLONG start = NowMs();
    std::thread flooder(FloodLoop, &shared);

    // One step at a time, never blocking, so that the pictures go on while a key waits.
    enum class Step { Paste, WaitPaste, WaitClear, Pause };
    Step step = Step::Paste;
    std::vector<double> pasteDelays, lineDelays;
    std::vector<std::pair<std::string, ULONGLONG>> pressed;
    std::string ping;
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
            step = Step::WaitPaste;
            break;
        case Step::WaitPaste:
            if (ReadText(input) == ping) {
                pasteDelays.push_back(static_cast<double>(NowMs() - stepAt));
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
    shared.stop = true;
    flooder.join();
    const long long floodBytes = shared.sent.load();

    peer.Send(Mask(END_MARK));
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

    // Pings still in flight arrive once the flood has stopped.
    PollUntil([&] {
        if (!peer.Drain(50))
            return true;
        std::lock_guard<std::mutex> guard(shared.lock);
        shared.fromClient += peer.Unread();
        peer.Unread().clear();
        size_t end;
        while ((end = shared.fromClient.find('|')) != std::string::npos) {
            shared.arrivals.emplace_back(shared.fromClient.substr(0, end), NowMs());
            shared.fromClient.erase(0, end + 1);
        }
        return shared.arrivals.size() >= pressed.size();
    }, 20000);

    for (const auto& press : pressed)
        for (const auto& arrival : shared.arrivals)
            if (arrival.first == press.first)
                lineDelays.push_back(static_cast<double>(arrival.second - press.second));

    double floodSeconds = static_cast<double>(shownAt - start) / 1000.0;
    std::printf("bench: flood of %d s: %lld bytes sent, all shown in the log %.1f s after the start: "
                "%.0f KB/s\n",
                seconds, floodBytes, floodSeconds, static_cast<double>(floodBytes) / 1024.0 / floodSeconds);
    PrintSpread("paste shown in the input line", pasteDelays);
    PrintSpread("Enter to the line's arrival at the server", lineDelays);
    std::printf("bench: typed lines: %zu pressed, %zu arrived\n", pressed.size(), lineDelays.size());
    std::printf("bench: log repainted in %d of %d one-second intervals\n", repaints, intervals);
    std::fflush(stdout);
}
