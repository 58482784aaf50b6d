// The device's security descriptor as a driver package's hardware section gives it.
#include <gtest/gtest.h>

#include "ntos/se/security.h"
#include "system/infsecurity.h"

namespace tvrx::test {
namespace {

TEST(InfSecurity, ReadsThePackagesHardwareSectionAndRefusesBadSddl)
{
    const std::string inf = "[Models]\n%D% = Dev, ACPI\\X\n[Dev.NT.HW]\nAddReg = Sec ; the descriptor\n"
                            "[Sec]\nHKR,,Security,,\"D:P(A;;GA;;;SY)\"\n";
    auto descriptor = plat::InfDeviceSecurity(inf, "x.inf");
    ASSERT_NE(descriptor, nullptr);
    EXPECT_EQ(plat::se::ToSddl(*descriptor), "D:P(A;;GA;;;SY)");
    EXPECT_EQ(plat::InfDeviceSecurity("[Dev.NT]\nAddReg = Sec\n[Sec]\nHKR,,Security,,\"D:\"\n", "x.inf"), nullptr);
    try {
        plat::InfDeviceSecurity("[Dev.NT.HW]\nAddReg=Sec\n[Sec]\nHKR,,Security,,\"D:P(A;;GA;;;SY\"\n", "x.inf");
        ADD_FAILURE() << "malformed SDDL accepted";
    } catch (const plat::InfError& e) {
        // Line 4; the value starts at column 17, the unclosed ACE 3 characters in.
        EXPECT_NE(std::string(e.what()).find("x.inf:4:20:"), std::string::npos) << e.what();
    }
    // A value without a DACL would open the device to everyone: refused unless it says so.
    EXPECT_THROW(plat::InfDeviceSecurity("[D.NT.HW]\nAddReg=S\n[S]\nHKR,,Security,,\"O:BA\"\n", "x.inf"),
                 plat::InfError);
    EXPECT_FALSE(plat::InfDeviceSecurity("[D.NT.HW]\nAddReg=S\n[S]\nHKR,,Security,,D:NO_ACCESS_CONTROL\n", "x.inf")
                     ->hasDacl);
}

}  // namespace
}  // namespace tvrx::test
