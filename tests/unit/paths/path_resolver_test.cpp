// Client paths onto disk paths and back, in a real folder tree: joins,
// shortcuts, document folders, virtual directories, the end-of-walk rules,
// and every way a confined user might try to leave the restriction root.
#include <fcntl.h>
#include <sys/stat.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "paths_support.h"
#include "service/accounts/paths/HeldFolder.h"
#include "service/accounts/paths/PathResolver.h"
#include "tests/unit/settings/TempStore.h"

namespace orvyn {
namespace {

constexpr const char* kFail = "<fail>";

class ResolverTest : public ::testing::Test {
protected:
    void SetUp() override {
        root = tree.Dir("ftp/alice") + "/";
        tree.Dir("ftp/alice/pub/sub");
        tree.File("ftp/alice/pub/file.txt");
        tree.Dir("ftp/ALICE");
        tree.File("ftp/ALICE/secret.txt");
        tree.Dir("ftp/alice2");
        tree.Dir("secret");
        tree.File("secret/passwd");
        pub = root + "pub/";
    }

    std::string Resolve(const std::string& path, const std::string& cur, const std::string& restriction,
                        std::string* link = nullptr, bool docutech = false,
                        JoinMethod method = JoinMethod::Own) const {
        const PathResolver resolver(devices, method);
        std::string out = "stale";
        std::string linkBase = "stale";
        const bool ok = resolver.Resolve(path, restriction, cur, docutech, maps, out, &linkBase);
        if (link) *link = linkBase;
        if (!ok) {
            EXPECT_EQ(out, "") << path;
            EXPECT_EQ(linkBase, "") << path;
            return kFail;
        }
        return out;
    }
    // Resolution with the root and the current directory pub/.
    std::string R(const std::string& path) const { return Resolve(path, pub, root); }
    std::string In(const std::string& rel) const { return tree.At(rel); }

    test::TempTree tree;
    DeviceNames devices;
    VirtualDirs maps;
    std::string root;
    std::string pub;
};

TEST_F(ResolverTest, WithARootAbsolutePathsStartAtTheRoot) {
    EXPECT_EQ(R("/x"), In("ftp/alice/x"));
    EXPECT_EQ(R("/"), In("ftp/alice"));
    EXPECT_EQ(R("x"), In("ftp/alice/pub/x"));
    EXPECT_EQ(R(""), In("ftp/alice/pub"));
    EXPECT_EQ(R("sub/"), In("ftp/alice/pub/sub"));
    EXPECT_EQ(R(".."), In("ftp/alice"));
    EXPECT_EQ(R("\\x"), In("ftp/alice/x"));
    EXPECT_EQ(R("sub\\..\\y"), In("ftp/alice/pub/y"));
    EXPECT_EQ(R("/pub/./sub//x"), In("ftp/alice/pub/sub/x"));
    // ".." past the root, and two leading separators (which leave the root
    // and start at "/"), both fail.
    EXPECT_EQ(R("../.."), kFail);
    EXPECT_EQ(R("//x"), kFail);
    EXPECT_EQ(R("//" + root.substr(1) + "x"), In("ftp/alice/x"));
}

TEST_F(ResolverTest, WithoutARootEverythingIsReachable) {
    EXPECT_EQ(Resolve("/x", pub, ""), "/x");
    EXPECT_EQ(Resolve("//etc", pub, ""), "/etc");
    EXPECT_EQ(Resolve("x", pub, ""), In("ftp/alice/pub/x"));
    EXPECT_EQ(Resolve("../..", pub, ""), In("ftp"));
    EXPECT_EQ(Resolve("/", pub, ""), "/");
    // Drive letters have no meaning here: "c|" and "c:" are names.
    EXPECT_EQ(Resolve("c:/x", pub, ""), In("ftp/alice/pub/c:/x"));
    // Cutting "::$DATA" must never leave a ".." for the system to follow.
    EXPECT_EQ(Resolve("..::$DATA", pub, ""), kFail);
    EXPECT_EQ(Resolve(".::$DATA", pub, ""), kFail);
    // A relative name needs an absolute current directory.
    EXPECT_EQ(Resolve("x", "relative/dir/", ""), kFail);
    EXPECT_EQ(Resolve("x", "", ""), kFail);
    // A confined user's absolute paths start at the root instead.
    EXPECT_EQ(Resolve("/x", "", root), In("ftp/alice/x"));
}

TEST_F(ResolverTest, EscapeAttemptsFail) {
    const std::string attempts[] = {
        "..",
        "../..",
        "/..",
        "/../alice2",
        "../../alice2/x",
        "\\..\\",
        "\\..\\..\\secret\\passwd",
        "/./../",
        "/pub/../../",
        "sub/..\\../..\\../secret",
        "/pub/sub/../../../alice2",
        "..\\/..//secret",
        "/../ALICE/secret.txt",
        "../../ALICE",
        "..::$DATA",
        "/..::$data",
        "sub/..::$DATA",
    };
    for (const auto& attempt : attempts) {
        const std::string out = R(attempt);
        if (out != kFail) {
            EXPECT_TRUE(IsPathPrefix(root, out)) << attempt << " -> " << out;
        }
    }
    // Each of these leaves the root for certain, so it must fail outright.
    for (const char* attempt : {"/..", "\\..\\", "/./../", "/../ALICE/secret.txt", "..::$DATA", "/..::$DATA"})
        EXPECT_EQ(R(attempt), kFail) << attempt;
    EXPECT_EQ(R("../.."), kFail);
}

TEST_F(ResolverTest, OverlongPathsAreRefusedNotCut) {
    // A client path over the limit fails even when ".." would shorten it.
    const std::string longName(kMaxDiskPath, 'a');
    EXPECT_EQ(R("/" + longName), kFail);
    EXPECT_EQ(R(longName + "/../x"), kFail);
    // A cut path could name a different file: "<long>x" must not become
    // "<long>" even when that one exists.
    const size_t room = kMaxDiskPath - root.size();
    const std::string fits(room, 'f');
    EXPECT_EQ(R("/" + fits), root + fits);
    EXPECT_EQ(R("/" + fits + "x"), kFail);
    EXPECT_EQ(Resolve("/" + longName, "/", ""), kFail);
}

TEST_F(ResolverTest, ControlCharactersAndNulBytesAreRefused) {
    EXPECT_EQ(R(std::string("x\0/../../..", 11)), kFail);
    EXPECT_EQ(R(std::string("file.txt\0.lnk", 13)), kFail);
    EXPECT_EQ(R("x\r\nDELE y"), kFail);
    EXPECT_EQ(R("a\tb"), kFail);
    EXPECT_EQ(R("a\x7f"), kFail);
    EXPECT_EQ(Resolve("x", pub + std::string("\0", 1), root), kFail);
}

TEST_F(ResolverTest, ShortcutsContinueInTheirTarget) {
    tree.Link("ftp/alice/docs.lnk", "pub");          // relative to the link's folder
    tree.Link("ftp/alice/readme.lnk", pub + "file.txt");
    tree.Link("ftp/alice/pub/up.lnk", "../pub/sub");
    std::string link;
    EXPECT_EQ(Resolve("/docs/file.txt", pub, root, &link), In("ftp/alice/pub/file.txt"));
    EXPECT_EQ(link, "");
    EXPECT_EQ(Resolve("/docs", pub, root, &link), In("ftp/alice/pub"));
    EXPECT_EQ(link, In("ftp/alice/docs"));
    EXPECT_EQ(Resolve("/readme", pub, root, &link), In("ftp/alice/pub/file.txt"));
    EXPECT_EQ(link, In("ftp/alice/readme"));
    EXPECT_EQ(Resolve("up/new", pub, root, &link), In("ftp/alice/pub/sub/new"));
    // The ".lnk" name itself is an ordinary name.
    EXPECT_EQ(Resolve("/docs.lnk", pub, root, &link), In("ftp/alice/docs.lnk"));
    EXPECT_EQ(link, "");
}

TEST_F(ResolverTest, ThingsThatAreNoShortcut) {
    // An existing name wins over its shortcut.
    tree.Dir("ftp/alice/both");
    tree.Link("ftp/alice/both.lnk", "pub");
    std::string link;
    EXPECT_EQ(Resolve("/both", pub, root, &link), In("ftp/alice/both"));
    EXPECT_EQ(link, "");
    // A plain file named .lnk, and a link whose target is gone.
    tree.File("ftp/alice/plain.lnk");
    tree.Link("ftp/alice/gone.lnk", "nowhere");
    EXPECT_EQ(Resolve("/plain", pub, root, &link), In("ftp/alice/plain"));
    EXPECT_EQ(link, "");
    EXPECT_EQ(Resolve("/gone/x", pub, root, &link), In("ftp/alice/gone/x"));
    EXPECT_EQ(link, "");
}

TEST_F(ResolverTest, ShortcutsOutOfTheRootFail) {
    tree.Link("ftp/alice/out.lnk", In("secret"));
    tree.Link("ftp/alice/rel.lnk", "../../secret");
    tree.Link("ftp/alice/pw.lnk", In("secret/passwd"));
    EXPECT_EQ(R("/out/passwd"), kFail);
    EXPECT_EQ(R("/out"), kFail);
    EXPECT_EQ(R("/rel/passwd"), kFail);
    EXPECT_EQ(R("/pw"), kFail);
    // Without a root the same shortcut simply leads there.
    std::string link;
    EXPECT_EQ(Resolve(root + "out/passwd", "/", "", &link), In("secret/passwd"));
    EXPECT_EQ(Resolve(root + "pw", "/", "", &link), In("secret/passwd"));
    EXPECT_EQ(link, root + "pw");
}

TEST_F(ResolverTest, OrdinarySymbolicLinksMayNotLeadOut) {
    tree.Link("ftp/alice/evil", In("secret"));
    tree.Link("ftp/alice/pub/evil2", "../../../secret");
    tree.Link("ftp/alice/dangle", In("secret/created-through-link"));
    tree.Link("ftp/alice/alias", "pub");
    tree.Link("ftp/alice/sibling", "../ALICE");
    EXPECT_EQ(R("/evil"), kFail);
    EXPECT_EQ(R("/evil/passwd"), kFail);
    EXPECT_EQ(R("/evil/new-upload"), kFail);
    EXPECT_EQ(R("evil2/passwd"), kFail);
    EXPECT_EQ(R("/sibling/secret.txt"), kFail);
    // Creating through a dangling link would create outside the root.
    EXPECT_EQ(R("/dangle"), kFail);
    // Links that stay inside the tree are fine.
    EXPECT_EQ(R("/alias/file.txt"), In("ftp/alice/alias/file.txt"));
    EXPECT_EQ(R("/alias/not-yet"), In("ftp/alice/alias/not-yet"));
}

// What was checked by name may be swapped for a link before it is opened:
// the open file itself is asked where it is.
TEST_F(ResolverTest, AnOpenFileIsJudgedByWhereItIs) {
    tree.Link("ftp/alice/alias", "pub");
    tree.Link("via", In("ftp"));
    auto openedInside = [&](const std::string& path, const std::string& restriction) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_GE(fd, 0) << path;
        const bool inside = OpenedBelowRoot(fd, path, restriction, maps);
        ::close(fd);
        return inside;
    };
    const std::string checked = In("ftp/alice/pub/file.txt");
    EXPECT_TRUE(openedInside(checked, root));
    EXPECT_TRUE(openedInside(In("ftp/alice/alias/file.txt"), root));
    EXPECT_TRUE(openedInside(In("via/alice/pub/file.txt"), In("via/alice/")));
    EXPECT_TRUE(openedInside(In("secret/passwd"), ""));
    // The folder swapped for a link to outside between the check and the open.
    ASSERT_EQ(::rename(In("ftp/alice/pub").c_str(), In("ftp/alice/pub.away").c_str()), 0);
    tree.Link("ftp/alice/pub", In("secret"));
    tree.File("secret/file.txt", "outside");
    EXPECT_FALSE(openedInside(checked, root));
    EXPECT_FALSE(OpenedBelowRoot(-1, checked, root, maps));
}

// Names are made and removed in the folder as it was judged once open.
TEST_F(ResolverTest, AHeldFolderIsJudgedOnceOpenAndStaysTheOneJudged) {
    const std::string target = In("ftp/alice/pub/new.txt");
    HeldFolder held(target, root, maps);
    ASSERT_TRUE(held.ok());
    EXPECT_EQ(held.name(), "new.txt");
    // Swapped for a link to outside after it was taken: the work still lands
    // in the folder judged.
    ASSERT_EQ(::rename(In("ftp/alice/pub").c_str(), In("ftp/alice/pub.away").c_str()), 0);
    tree.Link("ftp/alice/pub", In("secret"));
    ASSERT_EQ(::mkdirat(held.fd(), held.name().c_str(), 0700), 0);
    struct stat st {};
    EXPECT_EQ(::stat(In("ftp/alice/pub.away/new.txt").c_str(), &st), 0);
    EXPECT_NE(::stat(In("secret/new.txt").c_str(), &st), 0);
    // Taken while swapped: outside, and nothing may be done there.
    HeldFolder swapped(target, root, maps);
    EXPECT_TRUE(swapped.outside());
    EXPECT_FALSE(swapped.ok());
    EXPECT_TRUE(HeldFolder(In("secret/x"), "", maps).ok());
    HeldFolder missing(In("ftp/alice/none/x"), root, maps);
    EXPECT_FALSE(missing.ok() || missing.outside());
    EXPECT_EQ(missing.error(), ENOENT);
}

TEST_F(ResolverTest, RootReachedThroughALinkStillWorks) {
    tree.Link("via", In("ftp"));
    const std::string linkedRoot = In("via/alice/");
    EXPECT_EQ(Resolve("/pub/file.txt", linkedRoot + "pub/", linkedRoot), In("via/alice/pub/file.txt"));
    EXPECT_EQ(Resolve("/../ALICE", linkedRoot, linkedRoot), kFail);
}

TEST_F(ResolverTest, DataStreamSuffixAndTrailingDots) {
    EXPECT_EQ(R("file.txt::$DATA"), In("ftp/alice/pub/file.txt"));
    EXPECT_EQ(R("file.txt::$data"), In("ftp/alice/pub/file.txt"));
    EXPECT_EQ(R("/::$DATA"), In("ftp/alice"));
    EXPECT_EQ(R("file.txt..."), In("ftp/alice/pub/file.txt"));
    EXPECT_EQ(R("new. . "), In("ftp/alice/pub/new"));
    EXPECT_EQ(R("..."), In("ftp/alice/pub/..."));
    EXPECT_EQ(R("sub/. ."), In("ftp/alice/pub/sub/. ."));
    // A name that exists as written is that file, not its trimmed namesake.
    tree.File("ftp/alice/pub/report");
    tree.File("ftp/alice/pub/report.");
    tree.File("ftp/alice/pub/notes ");
    EXPECT_EQ(R("report."), In("ftp/alice/pub/report."));
    EXPECT_EQ(R("/pub/notes "), In("ftp/alice/pub/notes "));
    EXPECT_EQ(R("report.."), In("ftp/alice/pub/report"));
    // Below a folder that does not exist the walk takes names as written.
    EXPECT_EQ(R("missing/x::$DATA"), In("ftp/alice/pub/missing/x::$DATA"));
}

TEST_F(ResolverTest, DeviceNamesAndTheTwoJoins) {
    // The own join leaves device names to the rights check.
    EXPECT_EQ(R("con"), In("ftp/alice/pub/con"));
    // The platform join refuses them, and needs an existing base.
    EXPECT_EQ(Resolve("con", pub, root, nullptr, false, JoinMethod::Platform), kFail);
    EXPECT_EQ(Resolve("sub/x", pub, root, nullptr, false, JoinMethod::Platform), In("ftp/alice/pub/sub/x"));
    EXPECT_EQ(Resolve("/x", pub, root, nullptr, false, JoinMethod::Platform), In("ftp/alice/x"));
    EXPECT_EQ(Resolve("x", root + "gone/", root, nullptr, false, JoinMethod::Platform), kFail);
    // ".." at "/" stays there; the root check still refuses the result.
    EXPECT_EQ(Resolve("../../../../../../../../../..", pub, root, nullptr, false, JoinMethod::Platform), kFail);
    EXPECT_EQ(Resolve("../../../../../../../../../..", pub, "", nullptr, false, JoinMethod::Platform), "/");
}

TEST_F(ResolverTest, DocumentFoldersForDocutechUsers) {
    tree.Dir("ftp/alice/pub/report.djo");
    tree.File("ftp/alice/pub/report.djo/page1");
    EXPECT_EQ(Resolve("report", pub, root, nullptr, true), In("ftp/alice/pub/report.djo"));
    EXPECT_EQ(Resolve("report/page1", pub, root, nullptr, true), In("ftp/alice/pub/report.djo/page1"));
    EXPECT_EQ(Resolve("report", pub, root, nullptr, false), In("ftp/alice/pub/report"));
    EXPECT_EQ(Resolve("report/page1", pub, root, nullptr, false), In("ftp/alice/pub/report/page1"));
}

TEST_F(ResolverTest, VirtualDirectoriesAndTheirWayBack) {
    tree.Dir("data/shared/sub");
    tree.File("data/shared/f.txt");
    tree.Link("data/shared/leak", In("secret"));
    ASSERT_TRUE(maps.Add(root + "shared", In("data/shared")));
    ASSERT_TRUE(maps.Add(root + "ghost", In("data/not-there")));
    ASSERT_TRUE(maps.Add(In("ftp/alice2/theirs"), In("secret")));

    EXPECT_EQ(R("/shared/f.txt"), In("data/shared/f.txt"));
    EXPECT_EQ(R("/shared"), In("data/shared"));
    EXPECT_EQ(R("/shared/sub/new"), In("data/shared/sub/new"));
    // A target that does not exist is not followed.
    EXPECT_EQ(R("/ghost"), In("ftp/alice/ghost"));
    // Links inside the virtual folder may not lead out of it either.
    EXPECT_EQ(R("/shared/leak/passwd"), kFail);
    // Another folder's virtual directory is outside this root.
    EXPECT_EQ(R("/../alice2/theirs/passwd"), kFail);
    // A real path named by the client is taken below the root like any other.
    EXPECT_EQ(R(In("secret/passwd")), root + In("secret/passwd").substr(1));

    // Inside the virtual folder, ".." leads to where it is shown.
    const std::string cur = In("data/shared/sub/");
    EXPECT_EQ(Resolve("..", cur, root), In("data/shared"));
    EXPECT_EQ(Resolve("../..", cur, root), In("ftp/alice"));
    EXPECT_EQ(Resolve("../../pub", cur, root), In("ftp/alice/pub"));
    EXPECT_EQ(Resolve("../../..", cur, root), kFail);

    std::string shown = In("data/shared/sub");
    EXPECT_TRUE(DiskToFtpPath(shown, root, maps));
    EXPECT_EQ(shown, "/shared/sub");
}

TEST_F(ResolverTest, VirtualDirectoryNamesAreCaseSensitive) {
    tree.Dir("data/shared");
    ASSERT_TRUE(maps.Add(root + "Shared", In("data/shared")));
    EXPECT_EQ(R("/Shared"), In("data/shared"));
    EXPECT_EQ(R("/shared"), In("ftp/alice/shared"));
}

TEST(DiskToFtpPath, RootIsCutOff) {
    VirtualDirs none;
    auto shown = [&none](std::string p, const std::string& root) {
        const bool visible = DiskToFtpPath(p, root, none);
        EXPECT_EQ(visible, !p.empty());
        return visible ? p : std::string(kFail);
    };
    EXPECT_EQ(shown("/srv/ftp/alice", "/srv/ftp/alice/"), "/");
    EXPECT_EQ(shown("/srv/ftp/alice/", "/srv/ftp/alice/"), "/");
    EXPECT_EQ(shown("/srv/ftp/alice/pub/", "/srv/ftp/alice/"), "/pub");
    EXPECT_EQ(shown("/srv/ftp/alice/pub/x", "/srv/ftp/alice"), "/pub/x");
    EXPECT_EQ(shown("/srv/ftp/alicex", "/srv/ftp/alice/"), kFail);
    EXPECT_EQ(shown("/srv/ftp/ALICE/x", "/srv/ftp/alice/"), kFail);
    EXPECT_EQ(shown("/srv/ftp", "/srv/ftp/alice/"), kFail);
    EXPECT_EQ(shown("/srv/ftp/alice/../bob", "/srv/ftp/alice/"), kFail);
    EXPECT_EQ(shown("", "/srv/ftp/alice/"), kFail);
    EXPECT_EQ(shown("/a/b/", ""), "/a/b");
    EXPECT_EQ(shown("/", ""), "/");
    EXPECT_EQ(shown("/x", "/"), "/x");
}

TEST(RestrictionCheck, LogsWhenTheRootDoesNotCover) {
    test::TempTree tree;
    tree.Dir("ftp/alice/home");
    tree.Dir("ftp/bob");
    test::RecordingLog log;
    VirtualDirs maps;
    const std::string root = tree.At("ftp/alice/");
    EXPECT_TRUE(RestrictionCheck(tree.At("ftp/alice/home/"), root, maps, &log, 7));
    EXPECT_TRUE(RestrictionCheck(tree.At("ftp/bob/"), "", maps, &log, 7));
    EXPECT_TRUE(log.lines.empty());

    EXPECT_FALSE(RestrictionCheck(tree.At("ftp/bob/"), root, maps, &log, 7));
    EXPECT_FALSE(RestrictionCheck(tree.At("ftp/alice/../bob/"), root, maps, &log, 8));
    ASSERT_EQ(log.lines.size(), 2u);
    EXPECT_EQ(log.lines[0].category, '!');
    EXPECT_EQ(log.lines[0].conn, 7);
    EXPECT_EQ(log.lines[0].text, "Directory " + tree.At("ftp/bob/") +
                                     " does not appear to be a subdirectory of the server restriction " + root);
    EXPECT_EQ(log.lines[1].conn, 8);
}

}  // namespace
}  // namespace orvyn
