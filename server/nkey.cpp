#include "nkey.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace velmora {

namespace {

// An encoded key starts with a byte naming its kind; a seed starts with two, naming "seed" and
// the kind of key it makes. A CRC-16 of all before it follows, low byte first.
constexpr unsigned kSeedPrefix = 18u << 3;
constexpr unsigned kUserPrefix = 20u << 3;
constexpr std::size_t kRawKeyBytes = 32;
constexpr std::size_t kSeedBytes = 2 + kRawKeyBytes + 2;
constexpr char kBase32[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";

using Bytes = std::vector<std::uint8_t>;

// CRC-16/XMODEM, as NKeys use it.
std::uint16_t Crc16(const std::uint8_t* data, std::size_t size)
{
    unsigned crc = 0;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= static_cast<unsigned>(data[i]) << 8;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1;
    }
    return static_cast<std::uint16_t>(crc);
}

// Base32 of RFC 4648 without padding.
bool Base32Decode(const std::string& text, Bytes& out)
{
    std::uint32_t buffer = 0;
    int bits = 0;
    for (const char c : text) {
        const char* at = c == '\0' ? nullptr : std::strchr(kBase32, c);
        if (!at)
            return false;
        buffer = (buffer << 5) | static_cast<std::uint32_t>(at - kBase32);
        bits += 5;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<std::uint8_t>(buffer >> bits));
        }
    }
    return true;
}

std::string Base32Encode(const Bytes& data)
{
    std::string out;
    std::uint32_t buffer = 0;
    int bits = 0;
    for (const std::uint8_t byte : data) {
        buffer = (buffer << 8) | byte;
        bits += 8;
        while (bits >= 5) {
            bits -= 5;
            out.push_back(kBase32[(buffer >> bits) & 31]);
        }
    }
    if (bits > 0)
        out.push_back(kBase32[(buffer << (5 - bits)) & 31]);
    return out;
}

bool IsUserSeed(const Bytes& raw)
{
    if (raw.size() != kSeedBytes || (raw[0] & 0xF8u) != kSeedPrefix)
        return false;
    const unsigned kind = ((raw[0] & 7u) << 5) | ((raw[1] & 0xF8u) >> 3);
    const unsigned crc = raw[kSeedBytes - 2] | (raw[kSeedBytes - 1] << 8);
    return kind == kUserPrefix && crc == Crc16(raw.data(), kSeedBytes - 2);
}

bool Ed25519PublicKey(const std::uint8_t* private_key, std::array<std::uint8_t, kRawKeyBytes>& public_key)
{
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, private_key, kRawKeyBytes), EVP_PKEY_free);
    std::size_t size = public_key.size();
    return key && EVP_PKEY_get_raw_public_key(key.get(), public_key.data(), &size) == 1 && size == public_key.size();
}

}  // namespace

std::string UserPublicKeyOfSeed(const std::string& seed)
{
    Bytes raw;
    // Reserved whole, so that no copy of the seed is left behind in memory given back.
    raw.reserve(seed.size());
    std::array<std::uint8_t, kRawKeyBytes> public_key{};
    const bool ok = Base32Decode(seed, raw) && IsUserSeed(raw) && Ed25519PublicKey(raw.data() + 2, public_key);
    OPENSSL_cleanse(raw.data(), raw.size());
    if (!ok)
        return {};
    Bytes encoded{static_cast<std::uint8_t>(kUserPrefix)};
    encoded.insert(encoded.end(), public_key.begin(), public_key.end());
    const std::uint16_t crc = Crc16(encoded.data(), encoded.size());
    encoded.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    encoded.push_back(static_cast<std::uint8_t>(crc >> 8));
    return Base32Encode(encoded);
}

}  // namespace velmora
