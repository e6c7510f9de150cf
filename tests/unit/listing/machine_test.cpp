#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "listing_support.h"
#include "service/transfer/listing/MachineListing.h"

namespace orvyn {
namespace {

using test::Lines;
using test::TempTree;
using test::Utc;
using namespace listing_rights;

class MachineListingTest : public ::testing::Test {
protected:
    ReaderSettings Settings() {
        ReaderSettings settings;
        settings.rightsOf = [this](const std::string& path) {
            auto it = rights.find(path);
            return it == rights.end() ? 15 : it->second;
        };
        settings.clientPathOf = [this](const std::string& path) { return tree.ClientPath(path); };
        return settings;
    }

    // Lines keyed by the name after the facts.
    std::map<std::string, std::string> Run(const std::string& folder, const MLST& mlst,
                                           ListingOutcome expected = ListingOutcome::Completed) {
        std::string text;
        ListingOutput out(
            [&](std::string_view t) {
                text.append(t);
                return true;
            },
            false);
        MachineListing listing(mlst, Settings(), nullptr);
        EXPECT_EQ(listing.Run(folder, out), expected);
        std::map<std::string, std::string> byName;
        for (const std::string& line : Lines(text)) {
            const std::size_t space = line.find(' ');
            EXPECT_NE(space, std::string::npos) << line;
            EXPECT_TRUE(byName.emplace(line.substr(space + 1), line.substr(0, space)).second) << line;
        }
        return byName;
    }

    TempTree tree;
    std::map<std::string, int> rights;
};

TEST_F(MachineListingTest, EntriesWithCdirAndPdir) {
    tree.Dir("pub/sub");
    tree.File("pub/a.txt", 12, Utc(2024, 2, 3, 4, 5, 6));
    tree.File("pub/.hidden", 1);
    tree.Link("pub/link.lnk", "a.txt");
    rights[tree.At("pub/a.txt")] = kRead;
    rights[tree.At("pub/sub") + "/"] = kList;
    MLST mlst;
    const auto lines = Run(tree.At("pub"), mlst);
    std::vector<std::string> names;
    for (const auto& [name, facts] : lines) names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{"/", "/pub", "a.txt", "link.lnk", "sub"}));
    EXPECT_EQ(lines.at("a.txt"), "type=file;modify=20240203040506;perm=r;size=12;");
    EXPECT_EQ(lines.at("sub").substr(0, 9), "type=dir;");
    EXPECT_NE(lines.at("sub").find(";perm=el;"), std::string::npos) << lines.at("sub");
    EXPECT_EQ(lines.at("/pub").substr(0, 10), "type=cdir;");
    EXPECT_EQ(lines.at("/").substr(0, 10), "type=pdir;");
    // A shortcut is listed under its own name with what it leads to.
    EXPECT_NE(lines.at("link.lnk").find(";size=12;"), std::string::npos) << lines.at("link.lnk");
}

TEST_F(MachineListingTest, FactsAndUploadPermissionFollowTheSession) {
    tree.Dir("d");
    tree.File("d/f", 3);
    MLST mlst;
    mlst.Opts("MLST type;perm;");
    mlst.setUploadAllowed(false);
    const auto lines = Run(tree.At("d"), mlst);
    EXPECT_EQ(lines.at("f"), "type=file;perm=r;");
    EXPECT_EQ(lines.at("/d"), "type=cdir;perm=el;");
}

TEST_F(MachineListingTest, AtTheTopNoParentIsShown) {
    tree.File("x", 1);
    MLST mlst;
    const auto lines = Run(tree.top(), mlst);
    // The parent of the top lies outside what the client sees.
    std::vector<std::string> names;
    for (const auto& [name, facts] : lines) names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{"/", "x"}));
    EXPECT_EQ(lines.at("/").substr(0, 10), "type=cdir;");
}

TEST_F(MachineListingTest, WriterNoticesWhetherTheCurrentEntryCame) {
    // A folder enumeration that reports no "." entry: the writer notices.
    std::string text;
    ListingOutput out(
        [&](std::string_view t) {
            text.append(t);
            return true;
        },
        false);
    MLST mlst;
    mlst.Opts("MLST type;");
    MachineLineWriter writer(mlst, "/pub", std::nullopt, out);
    ListEntry file;
    file.name = "f";
    ListEntry parent;
    parent.name = "..";
    parent.kind = EntryKind::Directory;
    ASSERT_TRUE(writer.Add(file));
    ASSERT_TRUE(writer.Add(parent));  // no visible parent: left out
    EXPECT_FALSE(writer.sawCurrent());
    ListEntry self;
    self.name = ".";
    self.kind = EntryKind::Directory;
    ASSERT_TRUE(writer.Add(self));
    EXPECT_TRUE(writer.sawCurrent());
    ASSERT_TRUE(out.Commit(true));
    EXPECT_EQ(Lines(text), (std::vector<std::string>{"type=file; f", "type=cdir; /pub"}));
}

TEST_F(MachineListingTest, UnreadableFolderFails) {
    MLST mlst;
    EXPECT_TRUE(Run(tree.At("missing"), mlst, ListingOutcome::Failed).empty());
}

}  // namespace
}  // namespace orvyn
