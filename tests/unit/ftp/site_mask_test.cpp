#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "service/core/admin/SiteCommands.h"
#include "service/core/admin/SiteWords.h"

namespace orvyn {
namespace {

TEST(SiteMask, PasswordsNeverShowInAnySpelling) {
    EXPECT_EQ(MaskedSiteLine("SITE CHPW old new"), "SITE CHPW xxxx xxxx");
    // Even a lone word may be a password.
    EXPECT_EQ(MaskedSiteLine("site chpw onlyone"), "site chpw xxxx xxxx");
    EXPECT_EQ(MaskedSiteLine("SITE ADMN USER bob secret"), "SITE ADMN USER bob xxxx");
    // The new password of ADMN CHPW is the rest of the line, blanks and all.
    EXPECT_EQ(MaskedSiteLine("SITE  ADMN chpw  carol  two words "), "SITE  ADMN chpw  carol xxxx");
}

TEST(SiteMask, LinesWithoutPasswordsStayAsSent) {
    EXPECT_EQ(MaskedSiteLine("SITE ADMN USER bob"), std::nullopt);
    EXPECT_EQ(MaskedSiteLine("SITE ADMN USRS"), std::nullopt);
    EXPECT_EQ(MaskedSiteLine("SITE ADMN"), std::nullopt);
    EXPECT_EQ(MaskedSiteLine("SITE ADMNUSER bob pw"), std::nullopt);  // the monitor toggle
    EXPECT_EQ(MaskedSiteLine("STOR CHPW x y"), std::nullopt);
}

TEST(SiteWords, RestKeepsTheBlanksAsSent) {
    const SiteWords w(" STHM  bob  /a b/c ");
    EXPECT_EQ(w.count(), 4u);
    EXPECT_EQ(w.word(1), "bob");
    EXPECT_EQ(w.rest(2), "/a b/c ");
    EXPECT_EQ(w.word(9), "");
    EXPECT_EQ(w.rest(9), "");
}

}  // namespace
}  // namespace orvyn
