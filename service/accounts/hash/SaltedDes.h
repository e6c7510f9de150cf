// The DES block cipher with the salt perturbation of the traditional Unix
// password hash: every set bit of the 12-bit salt swaps two outputs of the
// expansion permutation, so the same key gives a different cipher for each
// of the 4096 salts.
#pragma once

#include <array>
#include <cstdint>

namespace orvyn {

class CSaltedDes {
public:
    // key: eight bytes, bit 7 of byte 0 first; the low bit of every byte is
    // the parity bit and is not used. salt: the low 12 bits count.
    CSaltedDes(const std::array<uint8_t, 8>& key, uint32_t salt);
    ~CSaltedDes();
    CSaltedDes(const CSaltedDes&) = delete;
    CSaltedDes& operator=(const CSaltedDes&) = delete;

    // One encryption of a 64-bit block (bit 63 is the first bit of DES).
    uint64_t Encrypt(uint64_t block) const;

private:
    uint32_t Feistel(uint32_t half, uint64_t subkey) const;

    std::array<uint64_t, 16> subkeys_{};   // 48 bits each
    std::array<uint8_t, 48> expansion_{};  // the expansion table after the salt swaps
};

}  // namespace orvyn
