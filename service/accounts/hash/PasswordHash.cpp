#include "service/accounts/hash/PasswordHash.h"

#include <string.h>
#include <sys/random.h>

#include <cerrno>
#include <random>

#include "service/accounts/hash/SaltedDes.h"

namespace orvyn {
namespace {

constexpr int kEncryptions = 25;

uint8_t ReverseBits(uint8_t c) {
    uint8_t out = 0;
    for (int bit = 0; bit < 8; ++bit) {
        out = static_cast<uint8_t>((out << 1) | (c & 1));
        c = static_cast<uint8_t>(c >> 1);
    }
    return out;
}

// Position of c in the crypt(3) alphabet, or -1.
int CryptValue(char c) {
    const size_t at = kCryptAlphabet.find(c);
    return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

// The DES key as crypt(3) makes it from a password: up to the first zero
// byte, seven bits of each byte, shifted over the unused parity bit.
std::array<uint8_t, 8> DesKey(const std::array<uint8_t, 8>& folded) {
    std::array<uint8_t, 8> key{};
    for (size_t i = 0; i < key.size() && folded[i] != 0; ++i)
        key[i] = static_cast<uint8_t>((folded[i] & 0x7F) << 1);
    return key;
}

// Two random bytes from the kernel; the library's random device is the
// fallback where getrandom is missing.
std::array<uint8_t, 2> RandomBytes() {
    std::array<uint8_t, 2> bytes{};
    for (;;) {
        const ssize_t n = ::getrandom(bytes.data(), bytes.size(), 0);
        if (n == static_cast<ssize_t>(bytes.size())) return bytes;
        if (n < 0 && errno != EINTR) break;
    }
    std::random_device device;
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(device());
    return bytes;
}

}  // namespace

std::array<uint8_t, 8> FoldPasswordKey(std::string_view password) {
    std::array<uint8_t, 8> bytes{};
    size_t position = 0;
    int direction = -1;
    for (size_t i = 0; i < password.size(); ++i) {
        if (i % 8 == 0)
            direction = -direction;
        else
            position = direction > 0 ? position + 1 : position - 1;
        const uint8_t c = static_cast<uint8_t>(password[i]);
        bytes[position] ^= direction > 0 ? c : ReverseBits(c);
    }
    return bytes;
}

std::string PasswordHash(std::string_view password, std::string_view salt) {
    const int low = salt.size() >= 2 ? CryptValue(salt[0]) : -1;
    const int high = salt.size() >= 2 ? CryptValue(salt[1]) : -1;
    if (low < 0 || high < 0) return salt.substr(0, 2) == "*0" ? "*1" : "*0";

    std::array<uint8_t, 8> folded = FoldPasswordKey(password);
    std::array<uint8_t, 8> key = DesKey(folded);
    uint64_t block = 0;
    {
        const CSaltedDes des(key, static_cast<uint32_t>(low | (high << 6)));
        for (int i = 0; i < kEncryptions; ++i) block = des.Encrypt(block);
    }
    explicit_bzero(folded.data(), folded.size());
    explicit_bzero(key.data(), key.size());

    // 64 bits in eleven groups of six, the last padded with two zero bits.
    std::string hash;
    hash.reserve(kPasswordHashLength);
    hash += salt[0];
    hash += salt[1];
    for (int i = 0; i < 10; ++i) hash += kCryptAlphabet[(block >> (58 - 6 * i)) & 0x3F];
    hash += kCryptAlphabet[(block & 0x0F) << 2];
    return hash;
}

std::string NewSalt() {
    // 64 divides 256, so every character is equally likely.
    const std::array<uint8_t, 2> bytes = RandomBytes();
    std::string salt;
    for (uint8_t b : bytes) salt += kSaltAlphabet[b % kSaltAlphabet.size()];
    return salt;
}

bool PasswordMatches(std::string_view password, std::string_view stored) {
    stored = stored.substr(0, kMaxStoredPasswd);
    if (stored.empty()) return false;
    // A stored value with an unusable salt gives "*0" or "*1", which never
    // equals the value it was made from.
    if (PasswordHash(password, stored) == stored) return true;
    return password.size() > 8 && PasswordHash(password.substr(0, 8), stored) == stored;
}

}  // namespace orvyn
