// The flood benchmark's yardstick: takes in a flood from 127.0.0.1:1024 exactly as velmora.exe
// does (Windows Sockets 1.1, read events posted to a window and held off while one reads, up to
// 4,096 reads of 256 bytes each, asking after every 64 whether input waits, unmasked, a read event
// with another queued behind it left to that one) and shows nothing. When the end mark arrives it
// answers "done|" and ends.
#include <windows.h>
#include <winsock.h>

#include "wire_protocol.h"

namespace {

constexpr UINT WM_SOCKET_NOTIFY = WM_USER + 100;
constexpr int CHUNK_SIZE = 256;
constexpr int READS_PER_EVENT = 4096;
constexpr int READS_BETWEEN_INPUT_CHECKS = 64;
constexpr u_short PORT = 1024;
const char END_MARK[] = "<end-of-flood>";
const char DONE[] = "done|";

SOCKET stream;
int endMarkMatched;   // how much of the end mark the stream has just shown; '<' opens it only

bool TakeIn()
{
    char chunk[CHUNK_SIZE];
    for (int read = 0; read < READS_PER_EVENT; ++read) {
        int n = recv(stream, chunk, CHUNK_SIZE, 0);
        if (n <= 0)
            return false;
        UnmaskChunk(chunk, n);
        for (int i = 0; i < n; ++i) {
            endMarkMatched = chunk[i] == END_MARK[endMarkMatched] ? endMarkMatched + 1 : chunk[i] == END_MARK[0];
            if (endMarkMatched == static_cast<int>(sizeof END_MARK - 1))
                return true;
        }
        if ((read + 1) % READS_BETWEEN_INPUT_CHECKS == 0 && HIWORD(GetQueueStatus(QS_INPUT)) != 0)
            return false;
    }
    return false;
}

bool TakeInHoldingEvents(HWND window)
{
    WSAAsyncSelect(stream, window, WM_SOCKET_NOTIFY, FD_CLOSE);
    bool ended = TakeIn();
    WSAAsyncSelect(stream, window, WM_SOCKET_NOTIFY, FD_READ | FD_CLOSE);
    return ended;
}

LRESULT CALLBACK ReceiverProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message != WM_SOCKET_NOTIFY)
        return DefWindowProcA(window, message, wParam, lParam);
    WORD event = WSAGETSELECTEVENT(lParam);
    if (event == FD_CONNECT && WSAGETSELECTERROR(lParam) != 0)
        PostQuitMessage(2);
    MSG next;
    bool readQueued = PeekMessageA(&next, window, WM_SOCKET_NOTIFY, WM_SOCKET_NOTIFY, PM_NOREMOVE) &&
                      WSAGETSELECTEVENT(next.lParam) == FD_READ;
    if (event == FD_READ && !readQueued && TakeInHoldingEvents(window)) {
        send(stream, DONE, sizeof DONE - 1, 0);
        PostQuitMessage(0);
    }
    if (event == FD_CLOSE)
        PostQuitMessage(1);
    return 0;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    WSADATA data;
    if (WSAStartup(0x0101, &data) != 0)
        return 3;
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = ReceiverProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = "VelmoraReceiveOnly";
    RegisterClassA(&windowClass);
    HWND window = CreateWindowA("VelmoraReceiveOnly", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);

    stream = socket(AF_INET, SOCK_STREAM, 0);
    WSAAsyncSelect(stream, window, WM_SOCKET_NOTIFY, FD_READ | FD_CONNECT | FD_CLOSE);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(PORT);
    server.sin_addr.s_addr = inet_addr("127.0.0.1");
    connect(stream, reinterpret_cast<sockaddr*>(&server), sizeof server);

    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0)
        DispatchMessageA(&message);
    closesocket(stream);
    WSACleanup();
    return static_cast<int>(message.wParam);
}
