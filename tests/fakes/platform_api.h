// Windows and Windows Sockets 1.1 as the chat core sees them, for the native unit tests.
// The functions are recording fakes (fake_platform.cpp); the tests script their results.
#pragma once

#include <cstdint>

typedef int BOOL;
typedef unsigned int UINT;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef struct HWND__* HWND;
typedef struct HINSTANCE__* HINSTANCE;
typedef uintptr_t SOCKET;

#define TRUE 1
#define FALSE 0
#define WM_USER 0x0400
#define LOWORD(l) ((WORD)((uintptr_t)(l) & 0xffff))
#define HIWORD(l) ((WORD)(((uintptr_t)(l) >> 16) & 0xffff))

#define INVALID_SOCKET ((SOCKET)(~0))
#define SOCKET_ERROR (-1)
#define AF_INET 2
#define SOCK_STREAM 1
#define INADDR_NONE 0xffffffffu
#define FD_READ 0x01
#define FD_WRITE 0x02
#define FD_OOB 0x04
#define FD_ACCEPT 0x08
#define FD_CONNECT 0x10
#define FD_CLOSE 0x20
#define WSAGETSELECTEVENT(l) LOWORD(l)
#define WSAGETSELECTERROR(l) HIWORD(l)
#define WSAMAKESELECTREPLY(event, error) ((LPARAM)(((DWORD)(event) & 0xffff) | ((DWORD)(error) << 16)))

#define WSAEINVAL 10022
#define WSAEWOULDBLOCK 10035
#define WSAEINPROGRESS 10036
#define WSAEALREADY 10037
#define WSAENOTSOCK 10038
#define WSAEADDRNOTAVAIL 10049
#define WSAENETUNREACH 10051
#define WSAECONNABORTED 10053
#define WSAECONNRESET 10054
#define WSAEISCONN 10056
#define WSAENOTCONN 10057
#define WSAETIMEDOUT 10060
#define WSAECONNREFUSED 10061
#define WSASYSNOTREADY 10091
#define WSAVERNOTSUPPORTED 10092

struct in_addr {
    uint32_t s_addr;
};

struct sockaddr {
    uint16_t sa_family;
    char sa_data[14];
};

struct sockaddr_in {
    short sin_family;
    uint16_t sin_port;
    in_addr sin_addr;
    char sin_zero[8];
};

struct WSADATA {
    WORD wVersion;
    WORD wHighVersion;
    char szDescription[257];
    char szSystemStatus[129];
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
};

BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

int WSAStartup(WORD version, WSADATA* data);
int WSACleanup();
int WSAGetLastError();
int WSAAsyncSelect(SOCKET s, HWND window, UINT message, long events);
SOCKET socket(int family, int type, int protocol);
int connect(SOCKET s, const sockaddr* address, int length);
int send(SOCKET s, const char* bytes, int length, int flags);
int recv(SOCKET s, char* bytes, int length, int flags);
int closesocket(SOCKET s);
uint16_t htons(uint16_t value);
uint32_t inet_addr(const char* text);
