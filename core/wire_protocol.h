// The bytes between velmora.exe and velmora-server are written down in docs/protocol.md.
#pragma once

// Bytes from the server are masked one by one with this constant; the client sends plain text.
constexpr unsigned char SCRAMBLE_MASK = 0x5A;

// Unmasks the first n bytes in place.
void UnmaskChunk(char* bytes, int n);

// Masks the first n bytes in place, as the server sends them. The mask is its own inverse.
inline void MaskChunk(char* bytes, int n)
{
    UnmaskChunk(bytes, n);
}
