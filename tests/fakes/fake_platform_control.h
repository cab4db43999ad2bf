// What the unit tests see of the fakes: every platform and window call in order, a scripted peer
// behind the socket, and the main window's visible state.
#pragma once

#include "platform_api.h"

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

struct PlatformCall {
    std::string name;
    std::vector<intptr_t> args;
    std::string bytes;
};

struct ScriptedResult {
    int result;
    int error;
};

struct FakePlatform {
    std::vector<PlatformCall> calls;
    struct PostedMessage {
        HWND window;
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
    };
    std::deque<PostedMessage> posted;
    // Results for the next calls to a function, taken before its default behaviour.
    std::map<std::string, std::deque<ScriptedResult>> script;
    int lastError = 0;
    SOCKET nextSocket = 100;

    // The peer: bytes waiting for recv, whether it has closed, what it has taken from send and
    // how much more send may take before it would block.
    std::string incoming;
    int readSize = 0;   // when not 0, what one recv returns at most, as a slower stack would
    bool peerClosed = false;
    std::string sentToPeer;
    long sendRoom = 1 << 20;
    // What WSAAsyncSelect armed last. As Windows Sockets does, arming FD_READ while bytes wait
    // posts a read event, and so does every recv that leaves bytes behind while it is armed;
    // arming FD_CLOSE after the peer has closed reports the close (again).
    SOCKET armedSocket = 0;
    HWND armedWindow = nullptr;
    UINT armedMessage = 0;
    long armedEvents = 0;

    // The main window. The log keeps its newest whole lines within its limit, as the window's does.
    std::string log;
    int logLimit = 30000;
    std::vector<std::string> logInsertions;
    int logReplacements = 0;
    std::string status;
    std::vector<std::string> notices;  // "caption|text"
    int beeps = 0;
    std::string input;
    int windowsEnded = 0;
    unsigned windowWork = 0;   // WINDOW_* flags that PendingWindowWork reports
    size_t keysAfterReads = 0;  // when not 0, keys wait (WINDOW_INPUT_WAITS) once this many recvs ran
    // Runs while a notice is open, as a nested modal loop would dispatch messages.
    std::function<void(const std::string& caption)> whileNoticeOpen;

    void Reset();
    void Script(const std::string& function, int result, int error = 0);
    std::vector<PlatformCall> CallsTo(const std::string& function) const;
    std::vector<std::string> CallNames() const;
};

extern FakePlatform fake;
