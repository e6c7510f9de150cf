// Restart markers, progress texts, SIZE and MDTM replies, the transfer
// buffer size, shortcut names and file-error replies.
#include <gtest/gtest.h>

#include <string>

#include "service/transfer/files/FileException.h"
#include "service/transfer/files/RestartMarker.h"
#include "service/transfer/files/TransferTexts.h"

namespace orvyn {
namespace {

TEST(RestartMarker, DecimalDigitsOnly) {
    EXPECT_EQ(ParseRestartMarker("0"), 0);
    EXPECT_EQ(ParseRestartMarker("100"), 100);
    EXPECT_EQ(ParseRestartMarker("000042"), 42);
    EXPECT_EQ(ParseRestartMarker("9223372036854775807"), INT64_MAX);
    for (const char* bad : {"", "12a", "a12", "-1", "+1", " 1", "1 ", "1.5", "0x10", "9223372036854775808",
                            "99999999999999999999999999999"}) {
        EXPECT_FALSE(ParseRestartMarker(bad).has_value()) << bad;
    }
}

TEST(RestartMarker, Replies) {
    EXPECT_EQ(RestAcceptedText(100), "350 Restarting from 100 bytes.");
    EXPECT_EQ(RestRefusedText("12a"), "501 Restart marker \"12a\" not strictly a positive number");
    // The argument is cut at 50 characters.
    EXPECT_EQ(RestRefusedText(std::string(80, 'x')),
              "501 Restart marker \"" + std::string(50, 'x') + "\" not strictly a positive number");
    EXPECT_EQ(MarkerBeyondEndText(100, "f.txt"), "553 Error - restart marker (100 bytes) beyond end of file f.txt");
    EXPECT_EQ(MarkerBeyondEndText(1, std::string(300, 'n')),
              "553 Error - restart marker (1 bytes) beyond end of file " + std::string(256, 'n'));
}

TEST(RestartMarker, ChecksAgainstTheFileSize) {
    // RETR: 100 on a 100-byte file and 100 on a 50-byte file are refused;
    // 0 always passes; 99 on 100 bytes leaves one byte to send.
    EXPECT_TRUE(RetrMarkerBeyondEnd(100, 100));
    EXPECT_TRUE(RetrMarkerBeyondEnd(100, 50));
    EXPECT_FALSE(RetrMarkerBeyondEnd(0, 0));
    EXPECT_FALSE(RetrMarkerBeyondEnd(0, 100));
    EXPECT_FALSE(RetrMarkerBeyondEnd(99, 100));
    // STOR may resume at the very end of what is there, not beyond.
    EXPECT_FALSE(StorMarkerBeyondEnd(100, 100));
    EXPECT_TRUE(StorMarkerBeyondEnd(101, 100));
    EXPECT_FALSE(StorMarkerBeyondEnd(0, 0));
    // Compared unsigned: the largest marker is beyond any real file.
    EXPECT_TRUE(StorMarkerBeyondEnd(UINT64_MAX, 1ull << 62));
}

TEST(Progress, DownloadPercentCappedAt99) {
    EXPECT_EQ(DownloadProgressText(0, 1000), "0%");
    EXPECT_EQ(DownloadProgressText(505, 1000), "50%");
    EXPECT_EQ(DownloadProgressText(999, 1000), "99%");
    EXPECT_EQ(DownloadProgressText(1000, 1000), "99%");
    EXPECT_EQ(DownloadProgressText(0, 0), "99%");        // an empty file
    EXPECT_EQ(DownloadProgressText(5000, 0), "99%");     // unknown size
    EXPECT_EQ(DownloadProgressText(2000, 1000), "99%");
    // Large files do not overflow the multiplication.
    EXPECT_EQ(DownloadProgressText(1ull << 62, 1ull << 63), "50%");
    EXPECT_EQ(DownloadProgressText(3ull << 40, 4ull << 40), "75%");
}

TEST(Progress, UploadSizeInTenths) {
    EXPECT_EQ(UploadProgressText(0), "0");
    EXPECT_EQ(UploadProgressText(1023), "1023");
    EXPECT_EQ(UploadProgressText(1024), "1.0kB");
    EXPECT_EQ(UploadProgressText(1536), "1.5kB");
    EXPECT_EQ(UploadProgressText(2047), "1.9kB");  // tenths are truncated
    EXPECT_EQ(UploadProgressText((1ull << 20) - 1), "1023.9kB");
    EXPECT_EQ(UploadProgressText(1ull << 20), "1.0MB");
    EXPECT_EQ(UploadProgressText((5ull << 20) + (1ull << 19)), "5.5MB");
    EXPECT_EQ(UploadProgressText(3ull << 30), "3.0GB");
    EXPECT_EQ(UploadProgressText((3ull << 30) + 3 * (1ull << 30) / 10 + 1), "3.3GB");
    EXPECT_EQ(UploadProgressText(5000ull << 30), "5000.0GB");
}

TEST(SizeAndTime, Replies) {
    EXPECT_EQ(SizeReplyText(0), "213 0");
    EXPECT_EQ(SizeReplyText(5ull << 30), "213 5368709120");
    EXPECT_EQ(MdtmTimeText(0), "19700101000000");
    EXPECT_EQ(MdtmTimeText(1700000000), "20231114221320");
    EXPECT_EQ(MdtmReplyText(951782400), "213 20000229000000");  // a leap day, in UTC
    // Four digits of year always; beyond them there is no such time.
    EXPECT_EQ(MdtmTimeText(-62135596800), "00010101000000");
    EXPECT_EQ(MdtmReplyText(253402300800), "");  // 10000-01-01
}

TEST(BufferSize, ClampedAndDoubled) {
    EXPECT_EQ(TransferBufferSize(8192), 16384u);
    EXPECT_EQ(TransferBufferSize(0), 8192u);
    EXPECT_EQ(TransferBufferSize(-5), 8192u);
    EXPECT_EQ(TransferBufferSize(1), 2u);
    EXPECT_EQ(TransferBufferSize(16385), 32770u);
    EXPECT_EQ(TransferBufferSize(16386), 32772u);
    EXPECT_EQ(TransferBufferSize(1 << 30), 32772u);
}

TEST(ShortcutNames, OnlyAtTheEndWhateverTheCase) {
    EXPECT_TRUE(IsShortcutName("/srv/x.lnk"));
    EXPECT_TRUE(IsShortcutName("/srv/x.LNK"));
    EXPECT_TRUE(IsShortcutName(".Lnk"));
    EXPECT_FALSE(IsShortcutName("/srv/x.lnk.txt"));
    EXPECT_FALSE(IsShortcutName("/srv/xlnk"));
    EXPECT_FALSE(IsShortcutName("lnk"));
    EXPECT_FALSE(IsShortcutName(""));
}

TEST(FileErrors, ReplyTexts) {
    const CFileException denied(FileCause::AccessDenied, 13);
    EXPECT_EQ(FileErrorReplyText("NUL", denied), "550 Error on file NUL: The file could not be accessed.");
    EXPECT_EQ(LocalWriteErrorReplyText("up.bin", CFileException::FromErrno(28)),
              "451 Local write error on file up.bin: The disk is full.");
    EXPECT_EQ(FileErrorReplyText(std::string(400, 'a'), denied),
              "550 Error on file " + std::string(256, 'a') + ": The file could not be accessed.");
}

}  // namespace
}  // namespace orvyn
