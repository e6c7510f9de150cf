// The password hash of the own password store: the traditional 13-character
// Unix crypt(3) string (two salt characters, then eleven characters of the
// result of 25 salted DES encryptions of a zero block), with the DES key made
// from the whole password by key folding instead of cutting it to eight
// characters. For passwords of at most eight characters both give the same
// key, so such hashes are the ones crypt(3) makes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace orvyn {

// Length of a hash.
inline constexpr size_t kPasswordHashLength = 13;
// Characters of a stored hash that take part in a password check.
inline constexpr size_t kMaxStoredPasswd = 15;
// The output alphabet of crypt(3); salts use the same 64 characters.
inline constexpr std::string_view kCryptAlphabet =
    "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
// The alphabet new salts are drawn from (the same characters in another order).
inline constexpr std::string_view kSaltAlphabet =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ1234567890./";

// Folds a password of any length into eight bytes: characters 1-8 go into
// bytes 0..7, characters 9-16 are XORed bit-reversed into bytes 7..0,
// characters 17-24 forwards again, and so on.
std::array<uint8_t, 8> FoldPasswordKey(std::string_view password);

// The hash of password with the first two characters of salt (a stored hash
// may be passed as the salt). A salt shorter than two characters, or with a
// character outside kCryptAlphabet, gives no hash: the result is then the
// failure text "*0" ("*1" when salt itself starts with "*0"), which never
// equals the salt it was made from and so never matches a stored value.
std::string PasswordHash(std::string_view password, std::string_view salt);

// Two characters of kSaltAlphabet from the system's random source.
std::string NewSalt();

// Whether password matches the stored hash: the hash of the whole password,
// or else of its first eight characters (hashes made by plain crypt(3)),
// equals the stored value cut to kMaxStoredPasswd characters. An empty
// stored value matches nothing.
bool PasswordMatches(std::string_view password, std::string_view stored);

}  // namespace orvyn
