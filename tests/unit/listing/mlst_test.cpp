#include <gtest/gtest.h>

#include "listing_support.h"
#include "service/transfer/listing/ListEntry.h"
#include "service/transfer/listing/Mlst.h"

namespace orvyn {
namespace {

using test::Utc;
using namespace listing_rights;

MlstItem Item(MlstType type, std::uint64_t size = 3) {
    MlstItem item;
    item.type = type;
    item.size = size;
    item.modified = Utc(2024, 1, 2, 3, 4, 5);
    return item;
}

TEST(Mlst, FactsInFixedOrder) {
    MLST mlst;
    EXPECT_EQ(mlst.Facts(Item(MlstType::File), 15), "type=file;modify=20240102030405;perm=adfrw;size=3;");
    EXPECT_EQ(mlst.Facts(Item(MlstType::Dir), 15), "type=dir;modify=20240102030405;perm=cdelmp;");
    EXPECT_EQ(mlst.Facts(Item(MlstType::Cdir), kList), "type=cdir;modify=20240102030405;perm=el;");
    EXPECT_EQ(mlst.Facts(Item(MlstType::Pdir), 0), "type=pdir;modify=20240102030405;perm=;");
    // A file of 0 bytes still has its size fact.
    EXPECT_EQ(mlst.Facts(Item(MlstType::File, 0), kRead), "type=file;modify=20240102030405;perm=r;size=0;");
}

TEST(Mlst, FactValuesAtTheirLimits) {
    MLST mlst;
    MlstItem item = Item(MlstType::File, UINT64_MAX);
    EXPECT_EQ(mlst.Facts(item, kRead), "type=file;modify=20240102030405;perm=r;size=18446744073709551615;");
    item.size = 10;
    item.modified = -1;  // the second before 1970
    EXPECT_EQ(mlst.Facts(item, kRead), "type=file;modify=19691231235959;perm=r;size=10;");
    item.modified = Utc(2024, 12, 31, 23, 59, 59);
    EXPECT_EQ(mlst.Facts(item, kRead), "type=file;modify=20241231235959;perm=r;size=10;");
    // Year 10000 does not fit the fact: it is left out, the others stay.
    item.modified = static_cast<std::time_t>(253402300800LL);
    EXPECT_EQ(mlst.Facts(item, kRead), "type=file;perm=r;size=10;");
}

TEST(Mlst, PermLettersFromRights) {
    EXPECT_EQ(PermLetters(MlstType::File, kRead), "r");
    EXPECT_EQ(PermLetters(MlstType::File, kCreate), "f");
    EXPECT_EQ(PermLetters(MlstType::File, kOverwrite), "adfw");
    EXPECT_EQ(PermLetters(MlstType::File, kList), "");
    EXPECT_EQ(PermLetters(MlstType::Dir, kList), "el");
    EXPECT_EQ(PermLetters(MlstType::Dir, kCreate), "cem");
    EXPECT_EQ(PermLetters(MlstType::Dir, kOverwrite), "dep");
    EXPECT_EQ(PermLetters(MlstType::Dir, kRead), "e");
    EXPECT_EQ(PermLetters(MlstType::Pdir, 0), "");
}

TEST(Mlst, WithoutUploadPermissionCreateAndOverwriteDisappear) {
    MLST mlst;
    mlst.setUploadAllowed(false);
    EXPECT_EQ(mlst.ShownRights(15), kRead | kList);
    EXPECT_EQ(mlst.Facts(Item(MlstType::File), 15), "type=file;modify=20240102030405;perm=r;size=3;");
    EXPECT_EQ(mlst.Facts(Item(MlstType::Dir), 15), "type=dir;modify=20240102030405;perm=el;");
}

TEST(Mlst, OptsSelectsFactsOrderStaysFixed) {
    MLST mlst;
    const auto reply = mlst.Opts("MLST size;type;");
    EXPECT_TRUE(reply.accepted);
    EXPECT_EQ(reply.text, "200 MLST OPTS type;size;");
    EXPECT_EQ(mlst.enabled(), MLST::kType | MLST::kSize);
    EXPECT_EQ(mlst.Facts(Item(MlstType::File), 15), "type=file;size=3;");
    EXPECT_EQ(mlst.Facts(Item(MlstType::Dir), 15), "type=dir;");
    EXPECT_EQ(mlst.FeatFacts(), "type*;modify;perm;size*;");

    // Names are found anywhere, in any case.
    EXPECT_EQ(mlst.Opts("mlst PERM,Modify").text, "200 MLST OPTS modify;perm;");
    // Nothing named: every fact off.
    EXPECT_EQ(mlst.Opts("MLST ").text, "200 MLST OPTS ");
    EXPECT_EQ(mlst.enabled(), 0);
    EXPECT_EQ(mlst.Facts(Item(MlstType::File), 15), "");
}

TEST(Mlst, OptsOtherThanMlstRefused) {
    MLST mlst;
    mlst.Opts("MLST size;");
    const auto reply = mlst.Opts("UTF8 ON");
    EXPECT_FALSE(reply.accepted);
    EXPECT_EQ(reply.text, "501 Option string \"UTF8 ON\" not recognised.");
    EXPECT_EQ(mlst.enabled(), MLST::kSize);  // unchanged
    EXPECT_FALSE(mlst.Opts("MLST").accepted);
    EXPECT_FALSE(mlst.Opts("").accepted);
    // The echoed option string is cut at 50 characters.
    const auto longReply = mlst.Opts(std::string(80, 'x'));
    EXPECT_EQ(longReply.text, "501 Option string \"" + std::string(50, 'x') + "\" not recognised.");
}

TEST(Mlst, FeatLinesExactly) {
    MLST mlst;
    const std::vector<std::string> withMlst = FeatLines(&mlst);
    EXPECT_EQ(withMlst, (std::vector<std::string>{"211-Extensions supported:", " AUTH TLS", " PBSZ", " PROT", " MDTM",
                                                  " MFMT", " SIZE", " REST STREAM", " TVFS", " UTF8",
                                                  " MLST type*;modify*;perm*;size*;",
                                                  "211 END"}));
    const std::vector<std::string> without = FeatLines(nullptr);
    EXPECT_EQ(without.size(), withMlst.size() - 1);
    EXPECT_EQ(without.back(), "211 END");
    EXPECT_EQ(without[without.size() - 2], " UTF8");
}

TEST(Mlst, SingleReplyAndItemsOnDisk) {
    test::TempTree tree;
    tree.File("f.txt", 5, Utc(2024, 1, 2, 3, 4, 5));
    tree.Dir("d");
    const auto file = MlstItemAt(tree.At("f.txt"));
    ASSERT_TRUE(file.has_value());
    EXPECT_EQ(file->type, MlstType::File);
    EXPECT_EQ(file->size, 5u);
    EXPECT_EQ(file->modified, Utc(2024, 1, 2, 3, 4, 5));
    const auto dir = MlstItemAt(tree.At("d"));
    ASSERT_TRUE(dir.has_value());
    EXPECT_EQ(dir->type, MlstType::Dir);
    EXPECT_FALSE(MlstItemAt(tree.At("missing")).has_value());
    EXPECT_FALSE(MlstItemAt("").has_value());

    MLST mlst;
    mlst.Opts("MLST type;size;");
    EXPECT_EQ(mlst.ReplyLines("f.txt", *file, 15, "/f.txt"),
              (std::vector<std::string>{"250-Listing f.txt", " type=file;size=5; /f.txt", "250 End"}));
}

}  // namespace
}  // namespace orvyn
