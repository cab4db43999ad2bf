#include "wire_protocol.h"

void UnmaskChunk(char* bytes, int n)
{
    for (int i = 0; i < n; ++i)
        bytes[i] = static_cast<char>(bytes[i] ^ SCRAMBLE_MASK);
}
