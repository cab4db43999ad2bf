#include "fake_platform_control.h"

#include "chat_state.h"

#include <algorithm>
#include <cstring>

FakePlatform fake;

void FakePlatform::Reset()
{
    *this = FakePlatform{};
}

void FakePlatform::Script(const std::string& function, int result, int error)
{
    script[function].push_back({result, error});
}

std::vector<PlatformCall> FakePlatform::CallsTo(const std::string& function) const
{
    std::vector<PlatformCall> found;
    for (const PlatformCall& call : calls)
        if (call.name == function)
            found.push_back(call);
    return found;
}

std::vector<std::string> FakePlatform::CallNames() const
{
    std::vector<std::string> names;
    for (const PlatformCall& call : calls)
        names.push_back(call.name);
    return names;
}

namespace {

void Record(const char* name, std::vector<intptr_t> args, std::string bytes = {})
{
    fake.calls.push_back({name, std::move(args), std::move(bytes)});
}

bool TakeScripted(const char* name, int& result)
{
    auto found = fake.script.find(name);
    if (found == fake.script.end() || found->second.empty())
        return false;
    ScriptedResult scripted = found->second.front();
    found->second.pop_front();
    result = scripted.result;
    if (scripted.error != 0)
        fake.lastError = scripted.error;
    return true;
}

// Whole lines from the start go until the log fits its limit; a single longer line loses its head.
void KeepNewestLines()
{
    size_t limit = static_cast<size_t>(fake.logLimit);
    if (fake.log.size() <= limit)
        return;
    size_t cut = fake.log.size() - limit;
    size_t lineEnd = fake.log.find("\r\n", cut < 2 ? 0 : cut - 2);
    if (lineEnd != std::string::npos && lineEnd + 2 < fake.log.size())
        cut = lineEnd + 2;
    fake.log.erase(0, cut);
}

int Fail(int error)
{
    fake.lastError = error;
    return SOCKET_ERROR;
}

void PostReadEventIfArmed(SOCKET s)
{
    if (s == fake.armedSocket && (fake.armedEvents & FD_READ) != 0 && !fake.incoming.empty())
        fake.posted.push_back({fake.armedWindow, fake.armedMessage, s, WSAMAKESELECTREPLY(FD_READ, 0)});
}

}  // namespace

uint32_t HostInetAddr(const char* text);

BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    Record("PostMessageA", {reinterpret_cast<intptr_t>(window), static_cast<intptr_t>(message),
                            static_cast<intptr_t>(wParam), lParam});
    fake.posted.push_back({window, message, wParam, lParam});
    return TRUE;
}

int WSAStartup(WORD version, WSADATA* data)
{
    Record("WSAStartup", {version, reinterpret_cast<intptr_t>(data)});
    int result = 0;
    TakeScripted("WSAStartup", result);
    return result;
}

int WSACleanup()
{
    Record("WSACleanup", {});
    return 0;
}

int WSAGetLastError()
{
    return fake.lastError;
}

int WSAAsyncSelect(SOCKET s, HWND window, UINT message, long events)
{
    Record("WSAAsyncSelect", {static_cast<intptr_t>(s), reinterpret_cast<intptr_t>(window),
                              static_cast<intptr_t>(message), events});
    fake.armedSocket = s;
    fake.armedWindow = window;
    fake.armedMessage = message;
    fake.armedEvents = events;
    PostReadEventIfArmed(s);
    if ((events & FD_CLOSE) != 0 && fake.peerClosed)
        fake.posted.push_back({window, message, s, WSAMAKESELECTREPLY(FD_CLOSE, 0)});
    return 0;
}

SOCKET socket(int family, int type, int protocol)
{
    Record("socket", {family, type, protocol});
    int result = 0;
    if (TakeScripted("socket", result))
        return static_cast<SOCKET>(result);
    return fake.nextSocket++;
}

int connect(SOCKET s, const sockaddr* address, int length)
{
    const sockaddr_in* in = reinterpret_cast<const sockaddr_in*>(address);
    Record("connect", {static_cast<intptr_t>(s), in->sin_family, in->sin_port,
                       static_cast<intptr_t>(in->sin_addr.s_addr), length});
    int result = 0;
    if (TakeScripted("connect", result))
        return result;
    return Fail(WSAEWOULDBLOCK);
}

int send(SOCKET s, const char* bytes, int length, int flags)
{
    Record("send", {static_cast<intptr_t>(s), length, flags}, std::string(bytes, length));
    int result = 0;
    if (TakeScripted("send", result))
        return result;
    if (s == NO_SOCKET)
        return Fail(WSAENOTSOCK);
    if (fake.sendRoom <= 0)
        return Fail(WSAEWOULDBLOCK);
    int taken = static_cast<int>(std::min<long>(length, fake.sendRoom));
    fake.sentToPeer.append(bytes, taken);
    fake.sendRoom -= taken;
    return taken;
}

int recv(SOCKET s, char* bytes, int length, int flags)
{
    Record("recv", {static_cast<intptr_t>(s), length, flags});
    int result = 0;
    if (TakeScripted("recv", result))
        return result;
    if (s == NO_SOCKET)
        return Fail(WSAENOTSOCK);
    if (fake.incoming.empty())
        return fake.peerClosed ? 0 : Fail(WSAEWOULDBLOCK);
    int taken = static_cast<int>(std::min<size_t>(length, fake.incoming.size()));
    if (fake.readSize > 0)
        taken = std::min(taken, fake.readSize);
    std::memcpy(bytes, fake.incoming.data(), taken);
    fake.incoming.erase(0, taken);
    PostReadEventIfArmed(s);
    return taken;
}

int closesocket(SOCKET s)
{
    Record("closesocket", {static_cast<intptr_t>(s)});
    return 0;
}

uint16_t htons(uint16_t value)
{
    return static_cast<uint16_t>((value >> 8) | (value << 8));
}

uint32_t inet_addr(const char* text)
{
    Record("inet_addr", {}, text);
    return HostInetAddr(text);
}

void AppendToLog(HWND mainWindow, const char* text)
{
    Record("AppendToLog", {reinterpret_cast<intptr_t>(mainWindow)}, text);
    fake.log += text;
    fake.logInsertions.push_back(text);
    KeepNewestLines();
}

void ReplaceLog(HWND mainWindow, const char* text)
{
    Record("ReplaceLog", {reinterpret_cast<intptr_t>(mainWindow)}, text);
    fake.log = text;
    ++fake.logReplacements;
    KeepNewestLines();
}

int LogLimit(HWND mainWindow)
{
    Record("LogLimit", {reinterpret_cast<intptr_t>(mainWindow)});
    return fake.logLimit;
}

void SetStatus(HWND mainWindow, const char* text)
{
    Record("SetStatus", {reinterpret_cast<intptr_t>(mainWindow)}, text);
    fake.status = text;
}

void ShowNotice(HWND mainWindow, const char* caption, const char* text)
{
    Record("ShowNotice", {reinterpret_cast<intptr_t>(mainWindow)}, std::string(caption) + "|" + text);
    fake.notices.push_back(std::string(caption) + "|" + text);
    if (fake.whileNoticeOpen)
        fake.whileNoticeOpen(caption);
}

void AlertBeep(HWND mainWindow)
{
    Record("AlertBeep", {reinterpret_cast<intptr_t>(mainWindow)});
    ++fake.beeps;
}

int ReadInput(HWND mainWindow, char* buffer, int size)
{
    Record("ReadInput", {reinterpret_cast<intptr_t>(mainWindow), size});
    int n = static_cast<int>(std::min<size_t>(fake.input.size(), size - 1));
    std::memcpy(buffer, fake.input.data(), n);
    buffer[n] = '\0';
    return n;
}

void ClearInput(HWND mainWindow)
{
    Record("ClearInput", {reinterpret_cast<intptr_t>(mainWindow)});
    fake.input.clear();
}

void EndMainWindow(HWND mainWindow)
{
    Record("EndMainWindow", {reinterpret_cast<intptr_t>(mainWindow)});
    ++fake.windowsEnded;
}

unsigned PendingWindowWork(HWND mainWindow)
{
    Record("PendingWindowWork", {reinterpret_cast<intptr_t>(mainWindow)});
    if (fake.keysAfterReads > 0 && fake.CallsTo("recv").size() >= fake.keysAfterReads)
        return fake.windowWork | WINDOW_INPUT_WAITS;
    return fake.windowWork;
}

void AskLogRepaint(HWND mainWindow)
{
    Record("AskLogRepaint", {reinterpret_cast<intptr_t>(mainWindow)});
}

BOOL ReadEventWaits(HWND mainWindow)
{
    for (const FakePlatform::PostedMessage& message : fake.posted)
        if (message.window == mainWindow && message.message == WM_SOCKET_NOTIFY)
            return message.wParam == chatState.streamSocket && WSAGETSELECTEVENT(message.lParam) == FD_READ;
    return FALSE;
}
