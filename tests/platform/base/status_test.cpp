// Status names and numbers as the tools show and read them.
#include <gtest/gtest.h>

#include <ntdef.h>

#include "base/status.h"

namespace {

TEST(StatusText, FormatsAndParsesNamesAndNumbers)
{
    EXPECT_EQ(plat::FormatStatus(STATUS_INVALID_DEVICE_STATE), "STATUS_INVALID_DEVICE_STATE (0xC0000184)");
    EXPECT_EQ(plat::FormatStatus(static_cast<NTSTATUS>(0xC0FFEE01u)), "0xC0FFEE01");

    NTSTATUS status = 0;
    EXPECT_TRUE(plat::ParseStatus("STATUS_ACPI_INVALID_DATA", &status));
    EXPECT_EQ(status, static_cast<NTSTATUS>(0xC014000Fu));
    EXPECT_TRUE(plat::ParseStatus("insufficient_resources", &status));
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(plat::ParseStatus("0xC0000001", &status));
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(plat::ParseStatus("-1073741823", &status));
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(plat::ParseStatus("259", &status));
    EXPECT_EQ(status, STATUS_PENDING);
    status = 77;
    for (const char* bad : {"", "0x", "STATUS_NO_SUCH_THING", "0x1FFFFFFFF", "12abc", "-", "0x-1"}) {
        EXPECT_FALSE(plat::ParseStatus(bad, &status)) << bad;
    }
    EXPECT_EQ(status, 77);
}

}  // namespace
