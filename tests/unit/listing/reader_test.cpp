#include <gtest/gtest.h>

#include <sys/stat.h>

#include <map>

#include "listing_support.h"
#include "service/transfer/listing/DirectoryReader.h"
#include "service/transfer/listing/Wildcard.h"

namespace orvyn {
namespace {

using test::TempTree;
using test::Utc;
using namespace listing_rights;

ReaderSettings SettingsFor(const TempTree& tree) {
    ReaderSettings settings;
    settings.rightsOf = [](const std::string&) { return 15; };
    settings.clientPathOf = [&tree](const std::string& path) { return tree.ClientPath(path); };
    for (const auto& v : tree.virtuals()) {
        settings.virtualDirs.push_back(VirtualDirectory{tree.At(v.place.substr(1)), tree.At(v.target.substr(1))});
    }
    return settings;
}

std::map<std::string, ListEntry> ReadAll(const DirectoryReader& reader, const std::string& folder,
                                         const ReadRequest& request = ReadRequest{},
                                         DirectoryReader::Status* status = nullptr) {
    std::map<std::string, ListEntry> entries;
    const auto result = reader.Read(folder, request, [&](ListEntry&& entry) {
        const std::string key = entry.name;
        EXPECT_TRUE(entries.emplace(key, std::move(entry)).second) << "twice: " << key;
        return true;
    });
    if (status != nullptr) *status = result;
    return entries;
}

std::vector<std::string> Keys(const std::map<std::string, ListEntry>& entries) {
    std::vector<std::string> keys;
    for (const auto& [k, v] : entries) keys.push_back(k);
    return keys;
}

TEST(Wildcard, Matching) {
    EXPECT_TRUE(NameWildcardMatch("*.txt", "a.txt"));
    EXPECT_TRUE(NameWildcardMatch("*.txt", ".txt"));
    EXPECT_FALSE(NameWildcardMatch("*.txt", "a.txt.bak"));
    EXPECT_FALSE(NameWildcardMatch("*.txt", "a.TXT"));  // letter case counts on disk
    EXPECT_TRUE(NameWildcardMatch("a?c", "abc"));
    EXPECT_FALSE(NameWildcardMatch("a?c", "ac"));
    EXPECT_TRUE(NameWildcardMatch("caf?", "caf\xc3\xa9"));  // '?' takes a whole UTF-8 character
    EXPECT_FALSE(NameWildcardMatch("caf??", "caf\xc3\xa9"));
    EXPECT_TRUE(NameWildcardMatch("*a*b*c", "xxaybzzc"));
    EXPECT_FALSE(NameWildcardMatch("*a*b*c", "xxaybzz"));
    EXPECT_TRUE(NameWildcardMatch("*", ""));
    EXPECT_TRUE(NameWildcardMatch("*.*", "README"));
    EXPECT_FALSE(NameWildcardMatch("*.?", "README"));
    EXPECT_TRUE(NameWildcardMatch(std::string(30, '*') + "b", std::string(5000, 'a') + "b"));
    EXPECT_FALSE(NameWildcardMatch("a*a*a*a*a*a*a*b", std::string(5000, 'a')));
    EXPECT_TRUE(HasWildcard("a*"));
    EXPECT_TRUE(HasWildcard("a?"));
    EXPECT_FALSE(HasWildcard("plain"));
}

TEST(DirectoryReader, FilesFoldersAndHiddenEntries) {
    TempTree tree;
    tree.File("a.txt", 10, Utc(2024, 1, 1));
    tree.Dir("sub", Utc(2024, 2, 2));
    tree.File(".hidden", 1);
    tree.Dir(".cache");
    tree.File("bad\nname", 1);  // cannot be shown on one line
    const DirectoryReader reader(SettingsFor(tree), nullptr);
    const auto entries = ReadAll(reader, tree.top());
    EXPECT_EQ(Keys(entries), (std::vector<std::string>{"a.txt", "sub"}));
    const ListEntry& file = entries.at("a.txt");
    EXPECT_EQ(file.kind, EntryKind::File);
    EXPECT_EQ(file.size, 10u);
    EXPECT_EQ(file.writeTime, Utc(2024, 1, 1));
    EXPECT_EQ(file.owner, "noone");
    EXPECT_EQ(file.group, "nogroup");
    EXPECT_EQ(file.mode, kModeReadable | kModeWritable | kModeExecutable);
    const ListEntry& dir = entries.at("sub");
    EXPECT_EQ(dir.kind, EntryKind::Directory);
    EXPECT_EQ(dir.writeTime, Utc(2024, 2, 2));
    EXPECT_EQ(dir.mode, kModeDirectory | kModeReadable | kModeWritable | kModeExecutable);
}

TEST(DirectoryReader, RightsAskedPerPathAndShapeTheMode) {
    TempTree tree;
    tree.File("readable", 1);
    const std::string readOnly = tree.File("readonly", 1);
    chmod(readOnly.c_str(), 0444);
    tree.Dir("listable");
    tree.Dir("hidden-from-list");
    ReaderSettings settings = SettingsFor(tree);
    std::vector<std::string> asked;
    settings.rightsOf = [&](const std::string& path) {
        asked.push_back(path);
        if (path == tree.At("readable")) return kRead;
        if (path == tree.At("readonly")) return kRead | kOverwrite;
        if (path == tree.At("listable") + "/") return kList;
        return kRead;  // hidden-from-list: no L
    };
    const DirectoryReader reader(settings, nullptr);
    const auto all = ReadAll(reader, tree.top());
    EXPECT_EQ(all.at("readable").mode, kModeReadable | kModeExecutable);
    EXPECT_EQ(all.at("readonly").mode, kModeReadable | kModeExecutable);  // O, but nobody may write it
    EXPECT_EQ(all.at("listable").mode, kModeDirectory | kModeReadable | kModeExecutable);
    EXPECT_EQ(all.at("hidden-from-list").mode, kModeDirectory | kModeExecutable);
    EXPECT_EQ(all.at("listable").rights, kList);
    // Folders are asked for with a trailing "/".
    EXPECT_NE(std::find(asked.begin(), asked.end(), tree.At("listable") + "/"), asked.end());

    ReadRequest needList;
    needList.requireList = true;
    EXPECT_EQ(Keys(ReadAll(reader, tree.top(), needList)), (std::vector<std::string>{"listable"}));
}

TEST(DirectoryReader, ShortcutsShowTheirTarget) {
    TempTree tree;
    tree.Dir("pub/docs");
    tree.File("pub/file.bin", 3);
    tree.Link("docs.lnk", "pub/docs");                 // relative target, a folder
    tree.Link("abs.LNK", tree.At("pub/file.bin"));      // absolute target, any case of ".lnk"
    tree.Link("dangling.lnk", "nowhere");
    tree.Link("outside.lnk", "/");                      // the client cannot see it
    tree.Link("plainlink", "pub/docs");                 // not a shortcut: shows what it leads to
    const DirectoryReader reader(SettingsFor(tree), nullptr);
    const auto entries = ReadAll(reader, tree.top());
    EXPECT_EQ(Keys(entries),
              (std::vector<std::string>{"abs", "dangling.lnk", "docs", "outside.lnk", "plainlink", "pub"}));

    const ListEntry& docs = entries.at("docs");
    EXPECT_EQ(docs.kind, EntryKind::Link);
    EXPECT_EQ(docs.linkTarget, "/pub/docs");
    EXPECT_EQ(docs.NameOnDisk(), "docs.lnk");
    EXPECT_FALSE(docs.IsDirectory());
    EXPECT_EQ(entries.at("abs").linkTarget, "/pub/file.bin");
    EXPECT_EQ(entries.at("abs").NameOnDisk(), "abs.LNK");

    EXPECT_EQ(entries.at("dangling.lnk").kind, EntryKind::File);
    EXPECT_TRUE(entries.at("dangling.lnk").linkTarget.empty());
    EXPECT_EQ(entries.at("outside.lnk").kind, EntryKind::File);
    EXPECT_TRUE(entries.at("outside.lnk").linkTarget.empty());
    EXPECT_EQ(entries.at("plainlink").kind, EntryKind::Directory);

    // Machine form: names as on disk, links followed.
    ReadRequest machine;
    machine.machine = true;
    const auto raw = ReadAll(reader, tree.top(), machine);
    EXPECT_EQ(Keys(raw), (std::vector<std::string>{".", "..", "abs.LNK", "dangling.lnk", "docs.lnk", "outside.lnk",
                                                   "plainlink", "pub"}));
    EXPECT_EQ(raw.at("docs.lnk").kind, EntryKind::Directory);
    EXPECT_EQ(raw.at("abs.LNK").size, 3u);
    EXPECT_EQ(raw.at("abs.LNK").kind, EntryKind::File);
}

TEST(DirectoryReader, NamesOnlyGivesTheSameNamesAndKinds) {
    TempTree tree;
    tree.Dir("pub/docs");
    tree.File("pub/file.bin", 3);
    tree.File("notes.txt.up", 1);
    tree.Link("docs.lnk", "pub/docs");
    tree.Link("dangling.lnk", "nowhere");
    tree.Link("plainlink", "pub/docs");
    tree.Link("broken", "nowhere");
    ReaderSettings settings = SettingsFor(tree);
    settings.nameSuffix = ".up";
    int asked = 0;
    settings.rightsOf = [&](const std::string&) {
        ++asked;
        return 15;
    };
    const DirectoryReader reader(settings, nullptr);
    const auto full = ReadAll(reader, tree.top());
    const int askedByFullRead = asked;
    asked = 0;
    ReadRequest names;
    names.namesOnly = true;
    const auto quick = ReadAll(reader, tree.top(), names);
    ASSERT_EQ(Keys(quick), Keys(full));
    for (const auto& [name, entry] : full) {
        EXPECT_EQ(quick.at(name).kind, entry.kind) << name;
        EXPECT_EQ(quick.at(name).NameOnDisk(), entry.NameOnDisk()) << name;
        EXPECT_EQ(quick.at(name).linkTarget, entry.linkTarget) << name;
    }
    EXPECT_EQ(quick.at("notes.txt").NameOnDisk(), "notes.txt.up");
    // Plain files and folders are described by the folder alone; only the
    // links (shortcuts among them) are examined one by one.
    EXPECT_EQ(askedByFullRead, 6);
    EXPECT_EQ(asked, 4);
}

TEST(DirectoryReader, ExaminedRightsAreAskedWithTheEntrysOwnStatus) {
    TempTree tree;
    tree.File("file", 5);
    tree.Dir("folder");
    tree.Link("link", "file");
    ReaderSettings settings = SettingsFor(tree);
    std::vector<std::string> plain;
    std::map<std::string, off_t> examined;
    settings.rightsOf = [&](const std::string& path) {
        plain.push_back(path);
        return 15;
    };
    settings.examinedRightsOf = [&](const std::string& path, const struct stat& st) {
        EXPECT_FALSE(S_ISLNK(st.st_mode)) << path;
        examined[path] = S_ISDIR(st.st_mode) ? -1 : st.st_size;
        return kRead;
    };
    const DirectoryReader reader(settings, nullptr);
    const auto entries = ReadAll(reader, tree.top());
    EXPECT_EQ(examined.at(tree.At("file")), 5);
    EXPECT_EQ(examined.at(tree.At("folder") + "/"), -1);
    EXPECT_EQ(entries.at("file").rights, kRead);
    // A symbolic link is judged by its path: the walk follows it.
    EXPECT_EQ(plain, (std::vector<std::string>{tree.At("link")}));
    EXPECT_EQ(entries.at("link").rights, 15);
}

TEST(DirectoryReader, NameSuffixHidden) {
    TempTree tree;
    tree.File("report.txt.UP", 1);
    tree.File("notes.txt.up", 1);
    tree.File("plain.txt", 1);
    tree.File(".up", 1);
    tree.File("up", 1);
    ReaderSettings settings = SettingsFor(tree);
    settings.nameSuffix = ".up";
    settings.hideDotFiles = false;
    const DirectoryReader reader(settings, nullptr);
    const auto entries = ReadAll(reader, tree.top());
    // A name that is nothing but the suffix keeps it, and so does one that
    // ends in it in another case (the suffix is added to names as it is).
    EXPECT_EQ(Keys(entries), (std::vector<std::string>{".up", "notes.txt", "plain.txt", "report.txt.UP", "up"}));
    EXPECT_EQ(entries.at("notes.txt").NameOnDisk(), "notes.txt.up");
}

TEST(DirectoryReader, VirtualDirectoriesShownAsFolders) {
    TempTree tree;
    tree.Dir("home");
    tree.Dir("data/share/inner");
    tree.SetTimes("data/share", Utc(2023, 5, 6));
    tree.Dir("data/other");
    tree.Dir("home/real");
    tree.AddVirtual("home/share", "data/share");
    tree.AddVirtual("home/real", "data/other");       // something real is there: not shown twice
    tree.AddVirtual("home/gone", "data/missing");     // stands for nothing: not shown
    tree.AddVirtual("home/share/nested", "data/other");  // inside a virtual directory
    const DirectoryReader reader(SettingsFor(tree), nullptr);

    const auto home = ReadAll(reader, tree.At("home"));
    EXPECT_EQ(Keys(home), (std::vector<std::string>{"real", "share"}));
    EXPECT_EQ(home.at("share").kind, EntryKind::VirtualDirectory);
    EXPECT_TRUE(home.at("share").IsDirectory());
    EXPECT_EQ(home.at("share").writeTime, Utc(2023, 5, 6));
    EXPECT_EQ(home.at("real").kind, EntryKind::Directory);

    // Listing the real folder behind a virtual directory shows the ones placed inside it.
    EXPECT_EQ(reader.PlaceOf(tree.At("data/share")), tree.At("home/share"));
    const auto inside = ReadAll(reader, tree.At("data/share"));
    EXPECT_EQ(Keys(inside), (std::vector<std::string>{"inner", "nested"}));

    // Patterns apply to virtual names too.
    ReadRequest pattern;
    pattern.pattern = "s*";
    EXPECT_EQ(Keys(ReadAll(reader, tree.At("home"), pattern)), (std::vector<std::string>{"share"}));
}

TEST(DirectoryReader, StopFlagEndsTheRead) {
    TempTree tree;
    for (int i = 0; i < 50; ++i) tree.File("f" + std::to_string(i), 1);
    std::atomic<bool> stop{false};
    const DirectoryReader reader(SettingsFor(tree), &stop);
    int delivered = 0;
    const auto status = reader.Read(tree.top(), ReadRequest{}, [&](ListEntry&&) {
        if (++delivered == 5) stop.store(true);
        return true;
    });
    EXPECT_EQ(status, DirectoryReader::Status::Stopped);
    EXPECT_EQ(delivered, 5);

    // Raised beforehand: nothing at all.
    delivered = 0;
    EXPECT_EQ(reader.Read(tree.top(), ReadRequest{}, [&](ListEntry&&) { return ++delivered > 0; }),
              DirectoryReader::Status::Stopped);
    EXPECT_EQ(delivered, 0);

    // A sink that refuses ends the read as well.
    stop.store(false);
    EXPECT_EQ(reader.Read(tree.top(), ReadRequest{}, [&](ListEntry&&) { return false; }),
              DirectoryReader::Status::Stopped);
}

TEST(DirectoryReader, MissingFolderAndSingleEntries) {
    TempTree tree;
    tree.File("one.txt", 4, Utc(2024, 3, 3));
    tree.Link("s.lnk", "one.txt");
    const DirectoryReader reader(SettingsFor(tree), nullptr);
    DirectoryReader::Status status;
    EXPECT_TRUE(ReadAll(reader, tree.At("nope"), ReadRequest{}, &status).empty());
    EXPECT_EQ(status, DirectoryReader::Status::Unreadable);
    EXPECT_EQ(reader.Read(tree.At("one.txt"), ReadRequest{}, [](ListEntry&&) { return true; }),
              DirectoryReader::Status::Unreadable);

    const auto one = reader.ReadOne(tree.At("one.txt"), "shown");
    ASSERT_TRUE(one.has_value());
    EXPECT_EQ(one->name, "shown");
    EXPECT_EQ(one->size, 4u);
    const auto link = reader.ReadOne(tree.At("s.lnk"), "s.lnk");
    ASSERT_TRUE(link.has_value());
    EXPECT_EQ(link->name, "s");
    EXPECT_EQ(link->linkTarget, "/one.txt");
    EXPECT_FALSE(reader.ReadOne(tree.At("nope"), "nope").has_value());
}

}  // namespace
}  // namespace orvyn
