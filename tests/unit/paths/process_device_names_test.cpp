// The process-wide device name list: read from the product key once, on
// first use. Kept in its own program so no other test reads it first.
#include <gtest/gtest.h>

#include "service/accounts/paths/DeviceNames.h"
#include "service/base/settings/ServerRegistry.h"
#include "tests/unit/settings/TempStore.h"

namespace orvyn {
namespace {

TEST(ProcessDeviceNames, ReadFromTheProductKeyOnceAndKept) {
    test::TempStore tmp;
    CServerRegistry settings(tmp.store(), "Demo", nullptr);
    ASSERT_TRUE(settings.WriteString("General", "DeviceNames", "NUL,Printer$,con"));

    const DeviceNames& names = DeviceNames::ForProcess(settings);
    EXPECT_EQ(names.size(), 3u);
    EXPECT_TRUE(names.Contains("printer$"));
    EXPECT_TRUE(names.Contains("CON"));
    EXPECT_FALSE(names.Contains("AUX"));
    EXPECT_TRUE(IsDevicePath("/srv/ftp/nul", names));

    // A later change of the value, or another instance, changes nothing.
    ASSERT_TRUE(settings.WriteString("General", "DeviceNames", "AUX"));
    CServerRegistry other(tmp.store(), "Other", nullptr);
    const DeviceNames& again = DeviceNames::ForProcess(other);
    EXPECT_EQ(&again, &names);
    EXPECT_FALSE(again.Contains("AUX"));
    EXPECT_TRUE(again.Contains("nul"));
}

}  // namespace
}  // namespace orvyn
