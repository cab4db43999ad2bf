#include "wire_protocol.h"

#include <gtest/gtest.h>

#include <string>

TEST(WireProtocol, UnmaskingIsXorWithTheMaskAndItsOwnInverse)
{
    std::string bytes;
    for (int value = 0; value < 256; ++value)
        bytes += static_cast<char>(value);
    std::string masked = bytes;

    UnmaskChunk(masked.data(), static_cast<int>(masked.size()));
    for (int value = 0; value < 256; ++value)
        ASSERT_EQ(static_cast<unsigned char>(masked[value]), value ^ 0x5A);

    UnmaskChunk(masked.data(), static_cast<int>(masked.size()));
    EXPECT_EQ(masked, bytes);
}

TEST(WireProtocol, UnmaskingTouchesExactlyTheGivenBytes)
{
    char bytes[4] = {'a', 'b', 'c', 'd'};

    UnmaskChunk(bytes, 0);
    EXPECT_EQ(std::string(bytes, 4), "abcd");

    UnmaskChunk(bytes + 1, 2);
    EXPECT_EQ(std::string(bytes, 4), std::string("a") + char('b' ^ 0x5A) + char('c' ^ 0x5A) + "d");
}

TEST(WireProtocol, MaskedMaskIsNul)
{
    char byte = static_cast<char>(SCRAMBLE_MASK);
    UnmaskChunk(&byte, 1);
    EXPECT_EQ(byte, '\0');
}
