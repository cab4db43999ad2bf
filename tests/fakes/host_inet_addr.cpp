// Kept apart from the fakes: the host's socket headers clash with the Windows names they define.
#include <arpa/inet.h>
#include <cstdint>

uint32_t HostInetAddr(const char* text)
{
    return inet_addr(text);
}
