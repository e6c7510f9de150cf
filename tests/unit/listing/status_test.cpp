#include <gtest/gtest.h>

#include "service/transfer/listing/ServerStatus.h"

namespace orvyn {
namespace {

TEST(ServerStatus, StatusBlockLines) {
    ServerStatusFacts facts;
    facts.hostName = "ftp.example.test";
    facts.clientAddress = "192.0.2.7";
    facts.userName = "alice";
    facts.binaryType = true;
    facts.transferMode = 'B';
    facts.socketDescription = "test sockets";
    const std::vector<std::string> lines = ServerStatusLines(facts);
    ASSERT_EQ(lines.size(), 10u);
    EXPECT_EQ(lines[0], "211-ftp.example.test FTP server status:");
    EXPECT_EQ(lines[1], " " + VersionBanner());
    EXPECT_EQ(lines[2], " Build date " + BuildDateText());
    EXPECT_EQ(lines[3], " Winsock information:");
    EXPECT_EQ(lines[4], "    test sockets");
    EXPECT_EQ(lines[5], " Connected to {unnamed-host} (192.0.2.7)");
    EXPECT_EQ(lines[6], " Logged in as alice");
    EXPECT_EQ(lines[7], " TYPE: Binary, FORM: Nonprint; STRUcture: File; transfer MODE: Block");
    EXPECT_EQ(lines[8], " Server type: ORVYN by Brandmoor");
    EXPECT_EQ(lines[9], "211 End of status");

    facts.clientHostName = "client.example.test";
    facts.binaryType = false;
    facts.transferMode = 'S';
    const std::vector<std::string> ascii = ServerStatusLines(facts);
    EXPECT_EQ(ascii[5], " Connected to client.example.test (192.0.2.7)");
    EXPECT_EQ(ascii[7], " TYPE: ASCII, FORM: Nonprint; STRUcture: File; transfer MODE: Stream");
    facts.transferMode = 'C';
    EXPECT_EQ(ServerStatusLines(facts)[7], " TYPE: ASCII, FORM: Nonprint; STRUcture: File; transfer MODE: Compressed");
}

TEST(ServerStatus, BannerAndBuildDateDescribeThisBuild) {
    const std::string banner = VersionBanner();
    EXPECT_EQ(banner.rfind("ORVYN Pro by Brandmoor for ", 0), 0u) << banner;
    EXPECT_NE(banner.find(", version "), std::string::npos) << banner;
    // "Mmm dd yyyy hh:mm:ss" as the compiler writes it.
    const std::string date = BuildDateText();
    ASSERT_EQ(date.size(), 20u) << date;
    EXPECT_EQ(date[11], ' ');
    EXPECT_EQ(date[14], ':');
    EXPECT_EQ(date[17], ':');
}

TEST(ServerStatus, NamesCannotBreakTheReply) {
    ServerStatusFacts facts;
    facts.hostName = "host";
    facts.clientHostName = "evil\r\n211 End of status\r\nx";
    facts.userName = "bob\n";
    for (const std::string& line : ServerStatusLines(facts)) {
        EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << line;
    }
}

TEST(ServerStatus, TransferInProgress) {
    TransferStatusFacts facts;
    facts.hostName = "h";
    facts.fileName = "/pub/big.iso";
    facts.position = 1048576;
    facts.length = 104857600;
    EXPECT_EQ(TransferStatusLines(facts),
              (std::vector<std::string>{"211-h FTP server status:", " Transfer in progress:", " /pub/big.iso",
                                        " 1048576 bytes into a 104857600 byte file", "211 End of status"}));
    facts.listing = true;
    facts.fileName = "File Listing \"/pub\"";
    EXPECT_EQ(TransferStatusLines(facts),
              (std::vector<std::string>{"211-h FTP server status:", " Transfer in progress:", " File Listing \"/pub\"",
                                        "211 End of status"}));
}

}  // namespace
}  // namespace orvyn
