// The password hash against the system's crypt(3), the key folding of long
// passwords, the password check and new salts.
#include <gtest/gtest.h>

#include <crypt.h>

#include <memory>
#include <random>
#include <set>
#include <string>

#include "service/accounts/hash/PasswordHash.h"
#include "service/accounts/hash/SaltedDes.h"

namespace orvyn {
namespace {

// The system's crypt(3), the reference for passwords of up to 8 characters.
class SystemCrypt {
public:
    std::string operator()(const std::string& password, const std::string& salt) {
        const char* out = crypt_r(password.c_str(), salt.c_str(), data_.get());
        return out ? std::string(out) : std::string("(null)");
    }

private:
    std::unique_ptr<crypt_data> data_ = std::make_unique<crypt_data>();
};

std::string RandomText(std::mt19937& rng, size_t length) {
    // Any byte but NUL, which would end the reference's C string.
    std::uniform_int_distribution<int> byte(1, 255);
    std::string s;
    for (size_t i = 0; i < length; ++i) s += static_cast<char>(byte(rng));
    return s;
}

std::string RandomSalt(std::mt19937& rng) {
    std::uniform_int_distribution<size_t> pick(0, kCryptAlphabet.size() - 1);
    return {kCryptAlphabet[pick(rng)], kCryptAlphabet[pick(rng)]};
}

// The bytes of a folded key up to its first zero byte: the password that
// gives the same DES key without folding.
std::string FoldedAsPassword(const std::array<uint8_t, 8>& folded) {
    std::string s;
    for (uint8_t b : folded) {
        if (b == 0) break;
        s += static_cast<char>(b);
    }
    return s;
}

bool IsHashText(const std::string& s) {
    return s.size() == kPasswordHashLength && s.find_first_not_of(kCryptAlphabet) == std::string::npos;
}

TEST(SaltedDes, UnsaltedCipherIsStandardDes) {
    // The classic worked example of the DES standard.
    const CSaltedDes des({0x13, 0x34, 0x57, 0x79, 0x9B, 0xBC, 0xDF, 0xF1}, 0);
    EXPECT_EQ(des.Encrypt(0x0123456789ABCDEFull), 0x85E813540F0AB405ull);
    // Parity bits are ignored.
    const CSaltedDes same({0x12, 0x35, 0x56, 0x78, 0x9A, 0xBD, 0xDE, 0xF0}, 0);
    EXPECT_EQ(same.Encrypt(0x0123456789ABCDEFull), 0x85E813540F0AB405ull);
    // A salt changes the cipher.
    const CSaltedDes salted({0x13, 0x34, 0x57, 0x79, 0x9B, 0xBC, 0xDF, 0xF1}, 1);
    EXPECT_NE(salted.Encrypt(0x0123456789ABCDEFull), 0x85E813540F0AB405ull);
}

TEST(PasswordHash, ShortPasswordsHashAsSystemCrypt) {
    SystemCrypt crypt;
    std::mt19937 rng(20240611);
    std::uniform_int_distribution<size_t> length(0, 8);
    for (int i = 0; i < 3000; ++i) {
        const std::string password = RandomText(rng, length(rng));
        const std::string salt = RandomSalt(rng);
        const std::string expected = crypt(password, salt);
        ASSERT_EQ(PasswordHash(password, salt), expected) << "case " << i << " salt " << salt;
    }
}

TEST(PasswordHash, EverySaltCharacterInBothPlaces) {
    SystemCrypt crypt;
    for (char a : kCryptAlphabet) {
        for (char b : {'.', 'z', 'M', '5'}) {
            const std::string salt = {a, b};
            const std::string reversed = {b, a};
            ASSERT_EQ(PasswordHash("secret", salt), crypt("secret", salt)) << salt;
            ASSERT_EQ(PasswordHash("secret", reversed), crypt("secret", reversed)) << reversed;
        }
    }
}

TEST(PasswordHash, StoredHashServesAsSalt) {
    SystemCrypt crypt;
    const std::string stored = crypt("letmein", "Xy");
    ASSERT_TRUE(IsHashText(stored));
    EXPECT_EQ(PasswordHash("letmein", stored), stored);
    EXPECT_NE(PasswordHash("letmeIn", stored), stored);
}

TEST(PasswordHash, InvalidSaltsFailAsSystemCryptDoes) {
    SystemCrypt crypt;
    for (const std::string salt : {"", "a", "*", "!", "!!", "a!", "!a", "$1", "a:", "a ", " a", "a\n",
                                   "a{", "~a", "a\x80", "\xff" "b", "*0", "*0abcdef", "*1", "_a"}) {
        const std::string ours = PasswordHash("secret", salt);
        EXPECT_EQ(ours, crypt("secret", salt)) << "salt \"" << salt << "\"";
        EXPECT_TRUE(ours == "*0" || ours == "*1") << ours;
        EXPECT_NE(ours, salt.substr(0, 2));
    }
}

TEST(KeyFolding, CharactersWalkForwardsThenBackReversed) {
    auto fold = [](size_t zeros, char c) { return FoldPasswordKey(std::string(zeros, '\0') + c); };
    using Key = std::array<uint8_t, 8>;
    EXPECT_EQ(FoldPasswordKey("abcdefgh"), (Key{'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'}));
    EXPECT_EQ(FoldPasswordKey("ab"), (Key{'a', 'b', 0, 0, 0, 0, 0, 0}));
    // Character 9 goes bit-reversed onto byte 7, character 10 onto byte 6,
    // character 16 onto byte 0, character 17 forwards onto byte 0 again and
    // character 25 reversed onto byte 7.
    EXPECT_EQ(fold(8, '\x01'), (Key{0, 0, 0, 0, 0, 0, 0, 0x80}));
    EXPECT_EQ(fold(9, '\x01'), (Key{0, 0, 0, 0, 0, 0, 0x80, 0}));
    EXPECT_EQ(fold(15, '\x03'), (Key{0xC0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(fold(16, '\x03'), (Key{0x03, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(fold(23, '\x01'), (Key{0, 0, 0, 0, 0, 0, 0, 0x01}));
    EXPECT_EQ(fold(24, '\x01'), (Key{0, 0, 0, 0, 0, 0, 0, 0x80}));
    // Folding XORs: 'h' (0x68) with 'i' (0x69) reversed (0x96).
    EXPECT_EQ(FoldPasswordKey("abcdefghi")[7], 0x68 ^ 0x96);
    // A character that folds onto the same bits twice cancels out.
    EXPECT_EQ(FoldPasswordKey(std::string("a") + std::string(15, 'x') + "a"),
              FoldPasswordKey(std::string(1, '\0') + std::string(15, 'x')));
}

TEST(KeyFolding, LongPasswordsHashAsTheirFoldedKey) {
    // The whole chain (fold, key from the folded bytes, salted DES) against
    // the reference fed with the folded bytes as a password.
    SystemCrypt crypt;
    std::mt19937 rng(77);
    std::uniform_int_distribution<size_t> length(9, 64);
    for (int i = 0; i < 500; ++i) {
        const std::string password = RandomText(rng, length(rng));
        const std::string salt = RandomSalt(rng);
        ASSERT_EQ(PasswordHash(password, salt), crypt(FoldedAsPassword(FoldPasswordKey(password)), salt))
            << "case " << i;
    }
}

TEST(KeyFolding, LongPasswordsDifferFromTruncation) {
    SystemCrypt crypt;
    const std::string twenty = "correcthorsebatterys";
    ASSERT_EQ(twenty.size(), 20u);
    EXPECT_NE(PasswordHash(twenty, "ab"), PasswordHash(twenty.substr(0, 16), "ab"));
    EXPECT_NE(PasswordHash(twenty.substr(0, 16), "ab"), PasswordHash(twenty.substr(0, 8), "ab"));

    // Plain crypt(3) ignores the ninth character; the folded hash does not.
    EXPECT_NE(PasswordHash("password1", "ab"), crypt("password1", "ab"));
    EXPECT_EQ(crypt("password1", "ab"), crypt("password", "ab"));
    EXPECT_NE(PasswordHash("password1", "ab"), PasswordHash("password2", "ab"));
}

TEST(KeyFolding, KeyEndsAtTheFirstZeroByte) {
    // Character 14 lands reversed on byte 2; 0xC6 reversed is 'c', which
    // clears that byte, so the key is made of "ab" alone.
    SystemCrypt crypt;
    const std::string password = std::string("abcdefgh") + "XXXXX" + "\xC6";
    EXPECT_EQ(FoldPasswordKey(password)[2], 0);
    EXPECT_EQ(PasswordHash(password, "Qz"), crypt("ab", "Qz"));
}

TEST(PasswordMatches, WholePasswordOrItsFirstEightCharacters) {
    SystemCrypt crypt;
    const std::string shortPassword = "s3cret";
    const std::string stored = PasswordHash(shortPassword, "pQ");
    EXPECT_TRUE(PasswordMatches(shortPassword, stored));
    EXPECT_FALSE(PasswordMatches("s3creT", stored));
    EXPECT_FALSE(PasswordMatches("", stored));

    const std::string longPassword = "averylongpassphrase";
    const std::string folded = PasswordHash(longPassword, "k9");
    EXPECT_TRUE(PasswordMatches(longPassword, folded));
    EXPECT_FALSE(PasswordMatches(longPassword.substr(0, 8), folded));
    EXPECT_FALSE(PasswordMatches(longPassword.substr(0, 16), folded));

    // A hash made by plain crypt(3) from a long password (its first eight
    // characters) is accepted for that password.
    const std::string plain = crypt(longPassword, "k9");
    EXPECT_TRUE(PasswordMatches(longPassword, plain));
    EXPECT_TRUE(PasswordMatches(longPassword.substr(0, 8), plain));
    EXPECT_FALSE(PasswordMatches("averylon", folded));
    EXPECT_FALSE(PasswordMatches("averylox", plain));
}

TEST(PasswordMatches, NothingMatchesEmptyOrMalformedValues) {
    for (const std::string password : {"", "x", "secret", "*0", "*1"}) {
        EXPECT_FALSE(PasswordMatches(password, "")) << password;
        for (const std::string stored : {"*", "!", "*0", "*1", "!!", "a", "ab"})
            EXPECT_FALSE(PasswordMatches(password, stored)) << password << " / " << stored;
    }
    // Anything beyond the hash makes the stored value a different text, and
    // only 15 characters are looked at.
    const std::string stored = PasswordHash("secret", "ab");
    EXPECT_FALSE(PasswordMatches("secret", stored + "Q"));
    EXPECT_FALSE(PasswordMatches("secret", stored + "QQQQQQQQQQ"));
    // The empty password hashes like any other and matches its own hash.
    EXPECT_TRUE(PasswordMatches("", PasswordHash("", "ab")));
}

TEST(NewSalt, ValidAndVarying) {
    std::set<std::string> salts;
    std::set<char> first;
    std::set<char> second;
    for (int i = 0; i < 400; ++i) {
        const std::string salt = NewSalt();
        ASSERT_EQ(salt.size(), 2u);
        ASSERT_NE(kSaltAlphabet.find(salt[0]), std::string_view::npos) << salt;
        ASSERT_NE(kSaltAlphabet.find(salt[1]), std::string_view::npos) << salt;
        salts.insert(salt);
        first.insert(salt[0]);
        second.insert(salt[1]);
        const std::string hash = PasswordHash("pw", salt);
        ASSERT_TRUE(IsHashText(hash)) << hash;
        ASSERT_EQ(hash.substr(0, 2), salt);
    }
    // 400 draws of 4096 salts repeat about 20 times; a fixed or weakly seeded
    // source repeats almost always. Each place draws nearly all 64 characters.
    EXPECT_GT(salts.size(), 300u);
    EXPECT_GT(first.size(), 50u);
    EXPECT_GT(second.size(), 50u);
}

}  // namespace
}  // namespace orvyn
