// PORT, EPRT and EPSV arguments, the passive replies and the address helpers.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "service/transfer/data/DataAddress.h"
#include "service/transfer/data/PassiveReplies.h"

namespace orvyn {
namespace {

sockaddr_storage V4(const char* text, int port) {
    sockaddr_storage ss{};
    auto* sin = reinterpret_cast<sockaddr_in*>(&ss);
    sin->sin_family = AF_INET;
    sin->sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, text, &sin->sin_addr);
    return ss;
}

sockaddr_storage V6(const char* text, int port) {
    sockaddr_storage ss{};
    auto* sin6 = reinterpret_cast<sockaddr_in6*>(&ss);
    sin6->sin6_family = AF_INET6;
    sin6->sin6_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET6, text, &sin6->sin6_addr);
    return ss;
}

const sockaddr* Sa(const sockaddr_storage& ss) {
    return reinterpret_cast<const sockaddr*>(&ss);
}

const DataTargetRules kOpenRules{false, false};
const DataTargetRules kDefaultRules{};  // DisableLowPorts on, RequireBackPort off

TEST(PortArgument, AcceptsSixNumbersAndBuildsTheTarget) {
    const DataTarget t = ParsePortArgument("10,0,0,1,19,137", nullptr, kDefaultRules);
    ASSERT_EQ(t.outcome, DataTargetOutcome::Accepted);
    EXPECT_STREQ(t.reply(), "200 PORT command okay");
    EXPECT_EQ(t.addressText, "10.0.0.1");
    EXPECT_EQ(t.port, 19 * 256 + 137);
    EXPECT_EQ(t.p1, 19);
    EXPECT_EQ(t.p2, 137);
    EXPECT_EQ(t.address.ss_family, AF_INET);
    EXPECT_EQ(AddressPort(Sa(t.address)), 5001);
    EXPECT_EQ(t.length, sizeof(sockaddr_in));
}

TEST(PortArgument, ReadsNumbersAsPercentDDoes) {
    // Blanks before a number and a sign are what "%d" takes; text after the
    // sixth number is not looked at.
    EXPECT_EQ(ParsePortArgument(" 127, 0,0,1,+4,1", nullptr, kOpenRules).outcome, DataTargetOutcome::Accepted);
    EXPECT_EQ(ParsePortArgument("127,0,0,1,4,1 trailing", nullptr, kOpenRules).outcome,
              DataTargetOutcome::Accepted);
    // A blank before the comma is not.
    EXPECT_EQ(ParsePortArgument("127 ,0,0,1,4,1", nullptr, kOpenRules).outcome, DataTargetOutcome::BadSyntax);
}

TEST(PortArgument, MalformedAndHostileArgumentsAreBadSyntax) {
    const char* bad[] = {
        "",
        "1,2,3,4,5",              // five numbers
        "1,2,3,4,5,",             // sixth missing
        "a,b,c,d,e,f",
        "10,0,0,1,300,1",         // above 255
        "10,0,0,256,4,1",
        "10,0,0,-1,4,1",          // negative: fails the unsigned comparison
        "-0,0,0,0,0,-255",
        "99999999999999999999999999,0,0,1,4,1",  // would overflow an int
        "1,,2,3,4,5",
        "1;2;3;4;5;6",
        "4294967297,0,0,1,4,1",   // 2^32 + 1 wraps to 1 in 32 bits
    };
    for (const char* arg : bad) {
        const DataTarget t = ParsePortArgument(arg, nullptr, kOpenRules);
        EXPECT_EQ(t.outcome, DataTargetOutcome::BadSyntax) << arg;
        EXPECT_STREQ(t.reply(), "501 Syntax error - illegal parameters to PORT command.") << arg;
    }
    const std::string huge(100000, '7');
    EXPECT_EQ(ParsePortArgument(huge, nullptr, kOpenRules).outcome, DataTargetOutcome::BadSyntax);
}

TEST(PortArgument, LowPortAndBackPortRules) {
    // Port 21 with DisableLowPorts: refused (both log lines).
    DataTarget t = ParsePortArgument("10,0,0,1,0,21", nullptr, kDefaultRules);
    EXPECT_EQ(t.outcome, DataTargetOutcome::Refused);
    EXPECT_STREQ(t.reply(), "501 Syntax error - illegal parameters to PORT command.");
    EXPECT_EQ(ParsePortArgument("10,0,0,1,3,255", nullptr, kDefaultRules).outcome, DataTargetOutcome::Refused);
    EXPECT_EQ(ParsePortArgument("10,0,0,1,4,0", nullptr, kDefaultRules).outcome, DataTargetOutcome::Accepted);
    EXPECT_EQ(ParsePortArgument("10,0,0,1,0,21", nullptr, kOpenRules).outcome, DataTargetOutcome::Accepted);
    // Port 0 is no target even where low ports are allowed.
    EXPECT_EQ(ParsePortArgument("10,0,0,1,0,0", nullptr, kOpenRules).outcome, DataTargetOutcome::BadSyntax);
    EXPECT_EQ(ParseEprtArgument("|1|10.0.0.1|00000|", nullptr, kOpenRules).outcome, DataTargetOutcome::BadSyntax);

    const DataTargetRules back{false, true};
    const sockaddr_storage peer = V4("10.0.0.1", 40000);
    EXPECT_EQ(ParsePortArgument("10,0,0,1,4,1", Sa(peer), back).outcome, DataTargetOutcome::Accepted);
    EXPECT_EQ(ParsePortArgument("10,0,0,2,4,1", Sa(peer), back).outcome, DataTargetOutcome::Refused);
    // No peer known: a back-port rule cannot be met.
    EXPECT_EQ(ParsePortArgument("10,0,0,1,4,1", nullptr, back).outcome, DataTargetOutcome::Refused);
    // An IPv4 client on a dual-stack listener shows up as a mapped address.
    const sockaddr_storage mapped = V6("::ffff:10.0.0.1", 40000);
    EXPECT_EQ(ParsePortArgument("10,0,0,1,4,1", Sa(mapped), back).outcome, DataTargetOutcome::Accepted);
}

TEST(EprtArgument, AcceptsBothFamilies) {
    DataTarget t = ParseEprtArgument("|1|10.0.0.1|5282|", nullptr, kDefaultRules);
    ASSERT_EQ(t.outcome, DataTargetOutcome::Accepted);
    EXPECT_EQ(t.addressText, "10.0.0.1");
    EXPECT_EQ(t.port, 5282);
    EXPECT_EQ(t.protocol, 1);
    EXPECT_EQ(t.address.ss_family, AF_INET);

    t = ParseEprtArgument("|2|::1|5282|", nullptr, kDefaultRules);
    ASSERT_EQ(t.outcome, DataTargetOutcome::Accepted);
    EXPECT_EQ(t.addressText, "::1");
    EXPECT_EQ(t.address.ss_family, AF_INET6);
    EXPECT_EQ(AddressPort(Sa(t.address)), 5282);

    // Any allowed delimiter works.
    EXPECT_EQ(ParseEprtArgument("!1!10.0.0.1!5282!", nullptr, kDefaultRules).outcome, DataTargetOutcome::Accepted);
    EXPECT_EQ(ParseEprtArgument("~2~fe80::1~65535~", nullptr, kDefaultRules).outcome, DataTargetOutcome::Accepted);
}

TEST(EprtArgument, UnknownProtocolGets522) {
    DataTarget t = ParseEprtArgument("|3|::1|5282|", nullptr, kDefaultRules);
    EXPECT_EQ(t.outcome, DataTargetOutcome::BadProtocol);
    EXPECT_EQ(t.protocol, 3);
    EXPECT_STREQ(t.reply(), "522 Network protocol not supported, use (1,2)");
    EXPECT_EQ(ParseEprtArgument("|33|x|1|", nullptr, kDefaultRules).outcome, DataTargetOutcome::BadProtocol);
    // Above 33 the argument is not EPRT at all.
    EXPECT_EQ(ParseEprtArgument("|34|::1|5282|", nullptr, kDefaultRules).outcome, DataTargetOutcome::BadSyntax);
}

TEST(EprtArgument, MalformedAndHostileArgumentsAreBadSyntax) {
    const std::string longAddress = "|1|" + std::string(65, '1') + "|5282|";
    const char* bad[] = {
        "",
        "1|10.0.0.1|5282|",         // digit delimiter
        ".1.10.0.0.1.5282.",        // '.' delimiter
        ":2:::1:5282:",             // ':' delimiter
        "a1a10.0.0.1a5282a",        // hexadecimal letter
        "F1F10.0.0.1F5282F",
        " 1 10.0.0.1 5282 ",        // blank is not printable here
        "|1|10.0.0.1|5282|x",       // text after the last delimiter
        "|1|10.0.0.1|5282",         // last delimiter missing
        "|1|10.0.0.1|",
        "|1x|10.0.0.1|5282|",
        "|1|10.0.0.1|123456|",      // port text of six characters
        "|1|10.0.0.1|65536|",       // beyond the port range
        "|1|10.0.0.1||",
        "|1|10.0.0.1|52a|",
        "|1|::1|5282|",             // address not of the family
        "|2|10.0.0.1|5282|",
        "|1|localhost|5282|",       // names are never looked up
        "|1|999.0.0.1|5282|",
        "|99999999999999999999|::1|1|",
    };
    for (const char* arg : bad) {
        const DataTarget t = ParseEprtArgument(arg, nullptr, kOpenRules);
        EXPECT_EQ(t.outcome, DataTargetOutcome::BadSyntax) << arg;
        EXPECT_STREQ(t.reply(), "501 Syntax error - illegal parameters to PORT command.") << arg;
    }
    EXPECT_EQ(ParseEprtArgument(longAddress, nullptr, kOpenRules).outcome, DataTargetOutcome::BadSyntax);
}

TEST(EprtArgument, SameRulesAsPort) {
    EXPECT_EQ(ParseEprtArgument("|1|10.0.0.1|21|", nullptr, kDefaultRules).outcome, DataTargetOutcome::Refused);
    EXPECT_EQ(ParseEprtArgument("|2|::1|1023|", nullptr, kDefaultRules).outcome, DataTargetOutcome::Refused);
    const DataTargetRules back{false, true};
    const sockaddr_storage peer = V6("::1", 50000);
    EXPECT_EQ(ParseEprtArgument("|2|::1|5000|", Sa(peer), back).outcome, DataTargetOutcome::Accepted);
    EXPECT_EQ(ParseEprtArgument("|2|::2|5000|", Sa(peer), back).outcome, DataTargetOutcome::Refused);
    EXPECT_EQ(ParseEprtArgument("|1|127.0.0.1|5000|", Sa(peer), back).outcome, DataTargetOutcome::Refused);
}

// A client whose data socket listens on every address may send the
// unspecified address: it means the client, never this host.
TEST(EprtArgument, TheUnspecifiedAddressMeansTheControlPeer) {
    const DataTargetRules back{false, true};
    const sockaddr_storage peer6 = V6("2001:db8::7", 50000);
    const sockaddr_storage peer4 = V4("10.1.2.3", 50000);
    for (const DataTarget& t : {ParseEprtArgument("|2|::|5000|", Sa(peer6), back),
                                ParseEprtArgument("|2|::|5000|", Sa(peer6), kOpenRules)}) {
        EXPECT_EQ(t.outcome, DataTargetOutcome::Accepted);
        EXPECT_TRUE(SameHostAddress(Sa(t.address), Sa(peer6)));
        EXPECT_EQ(t.addressText, "2001:db8::7");
    }
    const DataTarget port = ParsePortArgument("0,0,0,0,19,137", Sa(peer4), back);
    EXPECT_EQ(port.outcome, DataTargetOutcome::Accepted);
    EXPECT_TRUE(SameHostAddress(Sa(port.address), Sa(peer4)));
    EXPECT_EQ(port.port, 5001);
}

TEST(AddressHelpers, SameHostIgnoresPortsAndMapping) {
    EXPECT_TRUE(SameHostAddress(Sa(V4("1.2.3.4", 1)), Sa(V4("1.2.3.4", 2))));
    EXPECT_FALSE(SameHostAddress(Sa(V4("1.2.3.4", 1)), Sa(V4("1.2.3.5", 1))));
    EXPECT_TRUE(SameHostAddress(Sa(V4("1.2.3.4", 1)), Sa(V6("::ffff:1.2.3.4", 9))));
    EXPECT_FALSE(SameHostAddress(Sa(V4("0.0.0.1", 1)), Sa(V6("::1", 1))));
    EXPECT_TRUE(SameHostAddress(Sa(V6("fe80::1", 1)), Sa(V6("fe80::1", 2))));
    EXPECT_FALSE(SameHostAddress(nullptr, Sa(V6("::1", 1))));
}

TEST(AddressHelpers, AdaptToFamily) {
    sockaddr_storage a = V4("10.1.2.3", 4000);
    socklen_t len = sizeof(sockaddr_in);
    ASSERT_TRUE(AdaptToFamily(a, len, AF_INET6));
    EXPECT_EQ(a.ss_family, AF_INET6);
    EXPECT_EQ(len, sizeof(sockaddr_in6));
    EXPECT_EQ(AddressText(Sa(a)), "::ffff:10.1.2.3");
    EXPECT_EQ(AddressPort(Sa(a)), 4000);
    ASSERT_TRUE(AdaptToFamily(a, len, AF_INET));
    EXPECT_EQ(AddressText(Sa(a)), "10.1.2.3");
    EXPECT_EQ(AddressPort(Sa(a)), 4000);

    sockaddr_storage v6 = V6("2001:db8::1", 1);
    len = sizeof(sockaddr_in6);
    EXPECT_FALSE(AdaptToFamily(v6, len, AF_INET));
}

TEST(PassiveReply, NumbersFromTheBoundSocketOrTheStaticAddress) {
    const sockaddr_storage bound = V4("127.0.0.1", 5002);
    auto n = PasvNumbers(Sa(bound), std::nullopt);
    EXPECT_EQ(PasvReplyText(n), "227 Entering Passive Mode (127,0,0,1,19,138)");

    const auto staticIp = ParseStaticIp(" 203.0.113.7 ");
    ASSERT_TRUE(staticIp.has_value());
    EXPECT_EQ(PasvReplyText(PasvNumbers(Sa(bound), staticIp)), "227 Entering Passive Mode (203,0,113,7,19,138)");

    // A mapped IPv4 address shows its IPv4 bytes; a real IPv6 one shows zeros.
    EXPECT_EQ(PasvReplyText(PasvNumbers(Sa(V6("::ffff:10.0.0.9", 65535)), std::nullopt)),
              "227 Entering Passive Mode (10,0,0,9,255,255)");
    EXPECT_EQ(PasvReplyText(PasvNumbers(Sa(V6("::1", 256)), std::nullopt)),
              "227 Entering Passive Mode (0,0,0,0,1,0)");
    // The static address is for IPv4 sockets, mapped ones included.
    EXPECT_EQ(PasvReplyText(PasvNumbers(Sa(V6("::1", 256)), staticIp)), "227 Entering Passive Mode (0,0,0,0,1,0)");
    EXPECT_EQ(PasvReplyText(PasvNumbers(Sa(V6("::ffff:10.0.0.9", 256)), staticIp)),
              "227 Entering Passive Mode (203,0,113,7,1,0)");
}

TEST(PassiveReply, StaticAddressMustBeNumericIpv4) {
    EXPECT_FALSE(ParseStaticIp("").has_value());
    EXPECT_FALSE(ParseStaticIp("   ").has_value());
    EXPECT_FALSE(ParseStaticIp("ftp.example.com").has_value());
    EXPECT_FALSE(ParseStaticIp("::1").has_value());
    EXPECT_FALSE(ParseStaticIp("1.2.3.4.5").has_value());
    EXPECT_FALSE(ParseStaticIp("256.1.1.1").has_value());
}

TEST(Epsv, ArgumentForms) {
    const sockaddr_storage v4 = V4("127.0.0.1", 21);
    const sockaddr_storage v6 = V6("::1", 21);
    const sockaddr_storage mapped = V6("::ffff:127.0.0.1", 21);

    EXPECT_EQ(ParseEpsvArgument("", Sa(v4)).kind, EpsvKind::Open);
    EXPECT_EQ(ParseEpsvArgument("ALL", Sa(v4)).kind, EpsvKind::All);
    EXPECT_EQ(ParseEpsvArgument("all", Sa(v6)).kind, EpsvKind::All);
    EXPECT_EQ(ParseEpsvArgument("1", Sa(v4)).kind, EpsvKind::Open);
    EXPECT_EQ(ParseEpsvArgument("2", Sa(v6)).kind, EpsvKind::Open);
    EXPECT_EQ(ParseEpsvArgument("1", Sa(mapped)).kind, EpsvKind::Open);

    EpsvRequest r = ParseEpsvArgument("2", Sa(v4));
    EXPECT_EQ(r.kind, EpsvKind::BadProtocol);
    EXPECT_EQ(r.protocol, 2);
    EXPECT_EQ(EpsvUnsupportedText(Sa(v4)), "522 Network protocol not supported, use (1)");
    EXPECT_EQ(ParseEpsvArgument("1", Sa(v6)).kind, EpsvKind::BadProtocol);
    EXPECT_EQ(EpsvUnsupportedText(Sa(v6)), "522 Network protocol not supported, use (2)");
    EXPECT_EQ(ParseEpsvArgument("3", Sa(v4)).kind, EpsvKind::BadProtocol);

    for (const char* bad : {"ALLX", "1a", "-1", "|||", "999999", "AL"}) {
        EXPECT_EQ(ParseEpsvArgument(bad, Sa(v4)).kind, EpsvKind::BadSyntax) << bad;
    }
    EXPECT_EQ(ParseEpsvArgument(std::string(5000, '1'), Sa(v4)).kind, EpsvKind::BadSyntax);
}

TEST(Epsv, ReplyText) {
    EXPECT_EQ(EpsvReplyText(5002), "229 Entering Extended Passive Mode (|||5002|)");
}

}  // namespace
}  // namespace orvyn
