// velmora-drive: drives the real velmora.exe as a person would and plays the chat server's part.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void Fail(const std::string& message);
// Bytes as a C string literal, shortened in the middle past the limit.
std::string Printable(const std::string& bytes, size_t limit = 400);
// Where two byte strings first differ, with both sides around it.
std::string Difference(const std::string& expected, const std::string& seen);
ULONGLONG NowMs();

extern DWORD g_timeoutMs;

// Every wait in the driver is a poll of its condition until a deadline.
template <class Condition>
bool PollUntil(Condition condition, DWORD timeoutMs = g_timeoutMs)
{
    const ULONGLONG deadline = NowMs() + timeoutMs;
    for (;;) {
        if (condition())
            return true;
        if (NowMs() >= deadline)
            return false;
        Sleep(10);
    }
}

// ---- the client process and its windows (ui.cpp)

struct ClientProcess {
    PROCESS_INFORMATION info{};
    bool started = false;
};
extern ClientProcess g_client;

void LaunchClient(const std::string& path);
bool ClientRunning();
DWORD WaitClientExit();
void KillClient();

std::vector<HWND> FindWindowsByCaption(const std::string& caption);
HWND FindWindowByCaption(const std::string& caption);
HWND WaitWindow(const std::string& caption);
HWND ControlOf(HWND window, int id, const std::string& name);
std::string ReadText(HWND control);
int ReadTextLength(HWND control);
DWORD ReadSelection(HWND edit);
HWND FocusedWindow();
std::string ClassOf(HWND window);

void MakeForeground(HWND window);
void PressCombo(HWND window, const std::string& combo);
void TypeChar(HWND window, unsigned char byte);
void ClickAt(HWND window, POINT screenPoint);
// The middle of a caption button, found as a person finds it: hit is HTCLOSE or HTMINBUTTON.
POINT CaptionButtonPoint(HWND window, LRESULT hit);
POINT CentreOf(HWND control);
void SetClipboardBytes(const std::string& bytes);

// ---- screenshots (shot.cpp)

struct Image {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> bgr;   // rows top-down, 3 bytes a pixel, no padding
};
Image CaptureScreenRect(const RECT& rect);
Image CaptureSettled(const RECT& rect);
void WriteBmp(const Image& image, const std::string& path);
RECT WindowRect(HWND window);
RECT ScreenRect();

// ---- script lines (tokens.cpp)

struct Token {
    std::string text;
    bool quoted = false;
};
// Words and quoted strings with C escapes; "ab"*3 repeats a string, "ab"+"cd" joins two.
std::vector<Token> Tokenize(const std::string& line);

// ---- the scripted server side and the raw members of a room (net.cpp)

void StartNetworking();
std::string Mask(const std::string& text);

class Peer {
public:
    void Listen(int port, int receiveBuffer);
    void Accept();
    bool HasPendingConnection();
    void Send(const std::string& wireBytes);
    // Appends whatever has arrived to the record; returns false once the client has closed.
    bool Drain(DWORD waitMs);
    void ExpectBytes(const std::string& expected);
    void ExpectNothing();
    void ExpectClosed();
    void Close();
    void Reset();
    void ShutdownWrite();
    void StopListening();
    bool Connected() const { return conn_ != INVALID_SOCKET; }
    SOCKET Socket() const { return conn_; }
    std::string& Unread() { return unread_; }
    bool ClientClosed() const { return clientClosed_; }
    void Shutdown();

private:
    SOCKET listener_ = INVALID_SOCKET;
    SOCKET conn_ = INVALID_SOCKET;
    std::string unread_;
    bool clientClosed_ = false;
};

// A member of a room on the real server, speaking the wire protocol by hand.
class Member {
public:
    void Connect(int port);
    void Send(const std::string& bytes);
    void ExpectUnmasked(const std::string& expected);
    void ExpectNothing();
    void ExpectClosed();
    void Close();

private:
    bool Drain(DWORD waitMs);
    SOCKET socket_ = INVALID_SOCKET;
    std::string unread_;
    bool closed_ = false;
};

// ---- floods of the client, for the benchmark and the scenarios (flood.cpp)

// Sends numbered lines to the client from a thread of its own for as long as it lives, and
// collects what the client sends back. Ending it, by Stop or by leaving its scope, joins the thread.
class Flooder {
public:
    explicit Flooder(SOCKET socket);
    ~Flooder();
    Flooder(const Flooder&) = delete;
    Flooder& operator=(const Flooder&) = delete;
    // Arrivals go on being taken in, with their times, until Stop.
    void StopSending();
    void Stop();
    long long BytesSent() const;
    // What the client sent, split at '|', each piece with the time it arrived.
    std::vector<std::pair<std::string, ULONGLONG>> Arrivals();

private:
    struct Shared;
    std::unique_ptr<Shared> shared_;
};

// The flood the receive-only program takes, for comparison: bytes a second.
double RunReceiveOnlyBenchmark(const std::string& program, Peer& peer, int seconds);
void RunFloodBenchmark(HWND mainWindow, Peer& peer, int seconds, const std::string& shotDir,
                       double receiveOnlyRate);
