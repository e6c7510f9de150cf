#include "service/core/server/LoginBans.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

namespace orvyn {
namespace {

sockaddr_in6 Address(const std::string& text) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    if (inet_pton(AF_INET6, text.c_str(), &a.sin6_addr) != 1) ADD_FAILURE() << text;
    return a;
}

sockaddr_in V4(const char* text) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, text, &a.sin_addr);
    return a;
}

long Fail(CLoginBans& bans, const sockaddr_in& a, int64_t now, const BanPolicy& p) {
    return bans.NoteFailure(reinterpret_cast<const sockaddr*>(&a), sizeof a, now, p);
}

bool Banned(const CLoginBans& bans, const sockaddr_in6& a, int64_t now) {
    return bans.Banned(reinterpret_cast<const sockaddr*>(&a), sizeof a, now);
}

TEST(LoginBansTest, FailuresWithinTheWindowBanAndTheBanEnds) {
    BanPolicy p;
    p.failures = 4;
    p.windowSeconds = 100;
    p.banSeconds = 50;
    CLoginBans bans;
    const sockaddr_in a = V4("192.0.2.7");
    const sockaddr_in6 mapped = Address("::ffff:192.0.2.7");
    // Spread thinly: two failures a window never reach four in any window.
    for (int64_t t = 0; t < 1000; t += 50) EXPECT_EQ(Fail(bans, a, 1000 + t, p), 0) << t;
    EXPECT_FALSE(Banned(bans, mapped, 2000));
    // Across a window boundary: the end of one window and the start of the
    // next count together.
    EXPECT_EQ(Fail(bans, a, 2090, p), 0);
    EXPECT_EQ(Fail(bans, a, 2095, p), 0);
    EXPECT_EQ(Fail(bans, a, 2105, p), 0);
    EXPECT_EQ(Fail(bans, a, 2110, p), 0);  // the earlier window is counted at its average rate
    EXPECT_EQ(Fail(bans, a, 2115, p), 50);
    // The same caller seen through an IPv6 listener is banned too, for 50 s.
    EXPECT_TRUE(Banned(bans, mapped, 2164));
    EXPECT_FALSE(Banned(bans, mapped, 2165));
    EXPECT_FALSE(Banned(bans, Address("2001:db8::7"), 2120));
}

TEST(LoginBansTest, LoopbackOnlyWhenAskedAndTheTableStaysBounded) {
    BanPolicy p;
    p.failures = 1;
    CLoginBans bans;
    EXPECT_EQ(Fail(bans, V4("127.0.0.5"), 10, p), 0);
    p.loopback = true;
    EXPECT_EQ(Fail(bans, V4("127.0.0.5"), 10, p), p.banSeconds);

    p.failures = 2;
    CLoginBans many;
    sockaddr_in6 six = Address("2001:db8::");
    for (uint32_t i = 0; i < CLoginBans::kMaxAddresses + 10; ++i) {
        six.sin6_addr.s6_addr[12] = static_cast<uint8_t>(i >> 24);
        six.sin6_addr.s6_addr[13] = static_cast<uint8_t>(i >> 16);
        six.sin6_addr.s6_addr[14] = static_cast<uint8_t>(i >> 8);
        six.sin6_addr.s6_addr[15] = static_cast<uint8_t>(i);
        many.NoteFailure(reinterpret_cast<const sockaddr*>(&six), sizeof six, 5, p);
    }
    EXPECT_EQ(many.size(), CLoginBans::kMaxAddresses);
    // Everything is past its window an hour later.
    many.Expire(5 + 3600, p);
    EXPECT_EQ(many.size(), 0u);
}

}  // namespace
}  // namespace orvyn
