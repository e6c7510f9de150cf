// CBigFile: opening, refusing anything but regular files, 64-bit positions,
// locks; file exceptions; unique temporary names and moving in-use targets
// aside; moving a file by copying it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>

#include "service/transfer/files/BigFile.h"
#include "service/transfer/files/CrossMove.h"
#include "service/transfer/files/FileException.h"
#include "service/transfer/files/TempFileName.h"
#include "transfer_support.h"

namespace orvyn {
namespace {

using test::TempFolder;

// Runs f and returns the cause of the CFileException it raises (None when it
// raises nothing).
template <typename F>
FileCause CauseOf(F&& f) {
    try {
        f();
    } catch (const CFileException& e) {
        return e.cause();
    }
    return FileCause::None;
}

TEST(FileException, TextsOfEveryCause) {
    struct Case {
        FileCause cause;
        const char* text;
    };
    const Case cases[] = {
        {FileCause::None, "No error occurred."},
        {FileCause::Generic, "An unspecified error occurred."},
        {FileCause::FileNotFound, "The file could not be located."},
        {FileCause::BadPath, "All or part of the path is invalid."},
        {FileCause::TooManyOpenFiles, "The permitted number of open files was exceeded."},
        {FileCause::AccessDenied, "The file could not be accessed."},
        {FileCause::InvalidFile, "There was an attempt to use an invalid file handle."},
        {FileCause::RemoveCurrentDir, "The current working directory cannot be removed."},
        {FileCause::DirectoryFull, "There are no more directory entries."},
        {FileCause::BadSeek, "There was an error trying to set the file pointer."},
        {FileCause::HardIO, "There was a hardware error."},
        {FileCause::SharingViolation, "SHARE.EXE was not loaded, or a shared region was locked."},
        {FileCause::LockViolation, "There was an attempt to lock a region that was already locked."},
        {FileCause::DiskFull, "The disk is full."},
        {FileCause::EndOfFile, "The end of file was reached."},
    };
    for (const Case& c : cases) {
        EXPECT_STREQ(FileCauseText(c.cause), c.text) << static_cast<int>(c.cause);
        EXPECT_STREQ(CFileException(c.cause, 0).what(), c.text);
    }
    EXPECT_STREQ(FileCauseText(static_cast<FileCause>(99)), "An unspecified error occurred.");
    EXPECT_EQ(static_cast<int>(FileCause::AccessDenied), 5);
    EXPECT_EQ(static_cast<int>(FileCause::EndOfFile), 14);
}

TEST(FileException, ErrnoMappingAndInUse) {
    EXPECT_EQ(FileCauseFromErrno(ENOENT), FileCause::FileNotFound);
    EXPECT_EQ(FileCauseFromErrno(EPERM), FileCause::AccessDenied);
    EXPECT_EQ(FileCauseFromErrno(ENOSPC), FileCause::DiskFull);
    EXPECT_EQ(FileCauseFromErrno(EPROTO), FileCause::Generic);
    const CFileException e = CFileException::FromErrno(ENOENT, "/x");
    EXPECT_EQ(e.osError(), ENOENT);
    EXPECT_EQ(e.causeNumber(), 2);
    EXPECT_EQ(e.fileName(), "/x");
    // Only a held file is "in use"; no permission is not.
    EXPECT_TRUE(CFileException::FromErrno(ETXTBSY).TargetInUse());
    EXPECT_TRUE(CFileException(FileCause::LockViolation, 0).TargetInUse());
    EXPECT_FALSE(CFileException::FromErrno(EACCES).TargetInUse());
}

TEST(BigFile, WriteReadSeekAndLength) {
    TempFolder dir;
    const std::string path = dir.At("data.bin");
    {
        CBigFile f(path, CBigFile::Mode::Write);
        f.Write("hello world", 11);
        EXPECT_EQ(f.GetPosition(), 11u);
        EXPECT_EQ(f.GetLength(), 11u);
        f.SetLength(5);
        EXPECT_EQ(f.GetLength(), 5u);
        EXPECT_EQ(f.SeekToEnd(), 5u);
        f.Write("!", 1);
        f.Close();
        EXPECT_FALSE(f.IsOpen());
    }
    EXPECT_EQ(dir.Read("data.bin"), "hello!");

    CBigFile r(path, CBigFile::Mode::Read);
    char buf[16] = {};
    EXPECT_EQ(r.Seek(2, CBigFile::Origin::Begin), 2u);
    EXPECT_EQ(r.Read(buf, sizeof buf), 4u);
    EXPECT_EQ(std::string(buf, 4), "llo!");
    EXPECT_FALSE(r.Ended());
    EXPECT_EQ(r.Read(buf, sizeof buf), 0u);
    EXPECT_TRUE(r.Ended());
    EXPECT_EQ(r.Seek(-2, CBigFile::Origin::End), 4u);
    EXPECT_EQ(r.Seek(1, CBigFile::Origin::Current), 5u);
    EXPECT_EQ(CauseOf([&] { r.Seek(-100, CBigFile::Origin::Begin); }), FileCause::BadSeek);
    // A read-only file cannot be cut.
    EXPECT_EQ(CauseOf([&] { r.SetLength(0); }), FileCause::AccessDenied);
    EXPECT_EQ(CauseOf([&] { r.Write("x", 1); }), FileCause::InvalidFile);
}

TEST(BigFile, PositionsBeyondFourGigabytes) {
    TempFolder dir;
    CBigFile f(dir.At("sparse"), CBigFile::Mode::Write);
    const uint64_t far = (5ull << 30) + 7;  // 5 GiB + 7, sparse
    f.SetLength(far);
    EXPECT_EQ(f.GetLength(), far);
    EXPECT_EQ(f.Seek(static_cast<int64_t>(far), CBigFile::Origin::Begin), far);
    f.Write("z", 1);
    EXPECT_EQ(f.GetLength(), far + 1);
    EXPECT_EQ(f.GetPosition(), far + 1);
}

TEST(BigFile, WriteModeKeepsContentAppendAddsCreateNewRefusesExisting) {
    TempFolder dir;
    dir.Write("keep", "0123456789");
    {
        CBigFile f(dir.At("keep"), CBigFile::Mode::Write);  // not truncated by the open
        EXPECT_EQ(f.GetLength(), 10u);
    }
    EXPECT_EQ(dir.Read("keep"), "0123456789");
    {
        CBigFile f(dir.At("keep"), CBigFile::Mode::Append);
        f.Seek(0, CBigFile::Origin::Begin);
        f.Write("AB", 2);
    }
    EXPECT_EQ(dir.Read("keep"), "0123456789AB");
    EXPECT_EQ(CauseOf([&] { CBigFile f(dir.At("keep"), CBigFile::Mode::CreateNew); }), FileCause::AccessDenied);
    {
        CBigFile f(dir.At("fresh"), CBigFile::Mode::CreateNew);
        EXPECT_EQ(f.GetLength(), 0u);
    }
    EXPECT_TRUE(dir.Exists("fresh"));
}

TEST(BigFile, MissingFilesAndBadPaths) {
    TempFolder dir;
    try {
        CBigFile f(dir.At("missing"), CBigFile::Mode::Read);
        FAIL() << "opened a missing file";
    } catch (const CFileException& e) {
        EXPECT_EQ(e.cause(), FileCause::FileNotFound);
        EXPECT_EQ(e.osError(), ENOENT);
        EXPECT_EQ(e.fileName(), dir.At("missing"));
        EXPECT_STREQ(e.Text(), "The file could not be located.");
    }
    dir.Write("plain", "x");
    EXPECT_EQ(CauseOf([&] { CBigFile f(dir.At("plain/below"), CBigFile::Mode::Write); }), FileCause::BadPath);
    EXPECT_EQ(CauseOf([&] { CBigFile f(dir.At("nodir/x"), CBigFile::Mode::Write); }), FileCause::FileNotFound);
}

TEST(BigFile, DevicesFifosSocketsAndDirectoriesAreAccessDenied) {
    TempFolder dir;
    // A character device, either way.
    EXPECT_EQ(CauseOf([] { CBigFile f("/dev/null", CBigFile::Mode::Read); }), FileCause::AccessDenied);
    EXPECT_EQ(CauseOf([] { CBigFile f("/dev/null", CBigFile::Mode::Write); }), FileCause::AccessDenied);
    EXPECT_EQ(CauseOf([] { CBigFile f("/dev/zero", CBigFile::Mode::Append); }), FileCause::AccessDenied);

    // A FIFO with nobody on the other end: refused at once, no wait.
    const std::string fifo = dir.At("pipe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(CauseOf([&] { CBigFile f(fifo, CBigFile::Mode::Write); }), FileCause::AccessDenied);
    EXPECT_EQ(CauseOf([&] { CBigFile f(fifo, CBigFile::Mode::Read); }), FileCause::AccessDenied);
    // Also with a reader present (the open would succeed; the type check refuses).
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_EQ(CauseOf([&] { CBigFile f(fifo, CBigFile::Mode::Write); }), FileCause::AccessDenied);
    close(reader);

    // A Unix socket in the file system.
    const std::string sockPath = dir.At("sock");
    const int s = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(s, 0);
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    std::strncpy(sun.sun_path, sockPath.c_str(), sizeof sun.sun_path - 1);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&sun), sizeof sun), 0);
    EXPECT_EQ(CauseOf([&] { CBigFile f(sockPath, CBigFile::Mode::Read); }), FileCause::AccessDenied);
    EXPECT_EQ(CauseOf([&] { CBigFile f(sockPath, CBigFile::Mode::Write); }), FileCause::AccessDenied);
    close(s);

    // A directory.
    EXPECT_EQ(CauseOf([&] { CBigFile f(dir.path(), CBigFile::Mode::Read); }), FileCause::AccessDenied);
    EXPECT_EQ(CauseOf([&] { CBigFile f(dir.path(), CBigFile::Mode::Write); }), FileCause::AccessDenied);

    // An adopted descriptor is checked the same way, and closed when refused.
    const int devnull = open("/dev/null", O_RDONLY);
    ASSERT_GE(devnull, 0);
    EXPECT_EQ(CauseOf([&] { CBigFile f(devnull); }), FileCause::AccessDenied);
    EXPECT_EQ(fcntl(devnull, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST(BigFile, SymbolicLinksFollowedUnlessAsked) {
    TempFolder dir;
    dir.Write("target", "abc");
    ASSERT_EQ(symlink(dir.At("target").c_str(), dir.At("link").c_str()), 0);
    {
        CBigFile f(dir.At("link"), CBigFile::Mode::Read);
        EXPECT_EQ(f.GetLength(), 3u);
    }
    EXPECT_EQ(CauseOf([&] { CBigFile f(dir.At("link"), CBigFile::Mode::Read, false); }), FileCause::AccessDenied);
}

TEST(BigFile, DescriptorsAreOwnedAndMoved) {
    TempFolder dir;
    dir.Write("f", "1234");
    CBigFile a(dir.At("f"), CBigFile::Mode::Read);
    const int fd = a.fd();
    ASSERT_GE(fd, 0);
    // The descriptor is blocking for ordinary I/O and closed on exec.
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    CBigFile b(std::move(a));
    EXPECT_FALSE(a.IsOpen());
    EXPECT_EQ(b.fd(), fd);
    {
        CBigFile c;
        c = std::move(b);
        EXPECT_EQ(c.GetLength(), 4u);
    }
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);  // closed with its last owner
    CBigFile closed;
    EXPECT_EQ(CauseOf([&] { char x; closed.Read(&x, 1); }), FileCause::InvalidFile);
    closed.Close();  // closing a closed file is harmless
}

TEST(BigFile, RangeLocksConflictBetweenOpenFiles) {
    TempFolder dir;
    dir.Write("locked", std::string(100, 'x'));
    CBigFile a(dir.At("locked"), CBigFile::Mode::Write);
    CBigFile b(dir.At("locked"), CBigFile::Mode::Write);
    a.LockRange(10, 20);
    EXPECT_EQ(CauseOf([&] { b.LockRange(25, 10); }), FileCause::LockViolation);
    b.LockRange(30, 10);  // beyond a's range
    a.UnlockRange(10, 20);
    b.LockRange(10, 20);
}

TEST(TempFileName, PrefixHexNumberAndTmp) {
    TempFolder dir;
    const std::string p = CreateTempFileName(dir.path(), kStouPrefix, 0x1A2B);
    EXPECT_EQ(p, dir.At("STO1A2B.TMP"));
    EXPECT_TRUE(dir.Exists("STO1A2B.TMP"));
    EXPECT_EQ(dir.Read("STO1A2B.TMP"), "");
    // The next one skips the taken number.
    EXPECT_EQ(CreateTempFileName(dir.path() + "/", kStouPrefix, 0x1A2B), dir.At("STO1A2C.TMP"));
    // Wraps from FFFF to 1, never 0.
    EXPECT_EQ(CreateTempFileName(dir.path(), kLockPrefix, 0xFFFF), dir.At("$$LFFFF.TMP"));
    EXPECT_EQ(CreateTempFileName(dir.path(), kLockPrefix, 0xFFFF), dir.At("$$L1.TMP"));
    EXPECT_EQ(CreateTempFileName(dir.path(), "X", 0), dir.At("X1.TMP"));
}

TEST(TempFileName, NeverReusesAName) {
    TempFolder dir;
    dir.Write("STO5.TMP", "precious");
    std::set<std::string> names;
    for (int i = 0; i < 50; ++i) names.insert(CreateTempFileName(dir.path(), kStouPrefix, 5));
    EXPECT_EQ(names.size(), 50u);
    EXPECT_EQ(names.count(dir.At("STO5.TMP")), 0u);
    EXPECT_EQ(dir.Read("STO5.TMP"), "precious");
    // Drawn from the clock: still new names.
    const std::string a = CreateTempFileName(dir.path(), kStouPrefix);
    const std::string b = CreateTempFileName(dir.path(), kStouPrefix);
    EXPECT_NE(a, b);
}

TEST(TempFileName, FolderErrorsEndTheSearchAtOnce) {
    TempFolder dir;
    try {
        CreateTempFileName(dir.At("no/such"), kStouPrefix, 1);
        FAIL() << "created a name in a missing folder";
    } catch (const CFileException& e) {
        EXPECT_EQ(e.cause(), FileCause::FileNotFound);
    }
}

TEST(MoveAside, FreesTheNameAndDeletesTheOldFile) {
    TempFolder dir;
    const std::string target = dir.Write("busy.bin", "old contents");
    // Someone still holds the old file open.
    CBigFile holder(target, CBigFile::Mode::Read);
    MoveAsideAndDelete(target);
    EXPECT_FALSE(dir.Exists("busy.bin"));
    EXPECT_EQ(dir.Listing(), "");  // no "$$L...TMP" left behind
    // The holder still reads the old data; the name is free for a new file.
    char buf[32] = {};
    EXPECT_EQ(holder.Read(buf, sizeof buf), 12u);
    CBigFile fresh(target, CBigFile::Mode::CreateNew);
    EXPECT_EQ(fresh.GetLength(), 0u);
}

TEST(MoveAside, MissingTargetRaisesAndLeavesNoTemporaryFile) {
    TempFolder dir;
    try {
        MoveAsideAndDelete(dir.At("absent"));
        FAIL() << "moved a missing file";
    } catch (const CFileException& e) {
        EXPECT_EQ(e.cause(), FileCause::FileNotFound);
    }
    EXPECT_EQ(dir.Listing(), "");
}

TEST(CrossMove, AnotherAccountsSetIdProgramStaysTheirs) {
    if (geteuid() != 0) GTEST_SKIP() << "needs to own files for another account";
    TempFolder dir;
    const std::string from = dir.Write("tool", "#!/bin/sh\n");
    ASSERT_EQ(chown(from.c_str(), 64502, 64502), 0);
    ASSERT_EQ(chmod(from.c_str(), 06755), 0);
    std::atomic<bool> stop{false};
    ASSERT_EQ(MoveAcrossFileSystems(from, dir.At("moved"), stop), 0);
    struct stat st {};
    ASSERT_EQ(stat(dir.At("moved").c_str(), &st), 0);
    // Never a set-user-ID program of this process's account.
    EXPECT_EQ(st.st_uid, 64502u);
    EXPECT_EQ(st.st_gid, 64502u);
    EXPECT_EQ(st.st_mode & 07777, 06755u);
}

TEST(CrossMove, AFailedOrStoppedMoveKeepsTheOriginalAndLeavesNoCopy) {
    TempFolder dir;
    const std::string from = dir.Write("a.bin", "payload");
    const std::string taken = dir.Write("taken.bin", "other");
    std::atomic<bool> stop{false};
    EXPECT_EQ(MoveAcrossFileSystems(from, taken, stop), EEXIST);
    stop = true;
    EXPECT_EQ(MoveAcrossFileSystems(from, dir.At("b.bin"), stop), ECANCELED);
    EXPECT_FALSE(dir.Exists("b.bin"));
    EXPECT_EQ(MoveAcrossFileSystems(dir.At("."), dir.At("c"), stop), EISDIR);
    stop = false;
    ASSERT_EQ(MoveAcrossFileSystems(from, dir.At("b.bin"), stop), 0);
    EXPECT_FALSE(dir.Exists("a.bin"));
    CBigFile moved(dir.At("b.bin"), CBigFile::Mode::Read);
    char buf[16] = {};
    EXPECT_EQ(std::string(buf, moved.Read(buf, sizeof buf)), "payload");
}

}  // namespace
}  // namespace orvyn
