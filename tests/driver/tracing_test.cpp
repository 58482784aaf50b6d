// The driver's software tracing: its provider is registered from load to
// unload, and its in-flight log stays readable after it.
#include "support/testbed.h"
#include "wpp/wpp.h"

namespace {

using plat::trace::Registration;

class DriverTracing : public tvrx::test::Testbed {
protected:
    static constexpr GUID kDriverProvider = {0xA938B846, 0xC941, 0x4EE8, {0xAF, 0x74, 0xFE, 0x93, 0x5D, 0x2E, 0x5D, 0xA5}};
};

TEST_F(DriverTracing, LoadRegistersTheProviderAndUnloadRemovesIt)
{
    plat::trace::Reset();
    LoadAndAdd();
    EXPECT_EQ(plat::trace::RegistrationOf(kDriverProvider), Registration::Classic);
    EXPECT_FALSE(plat::trace::RecorderRecords().empty());
    UnloadClean();
    EXPECT_EQ(plat::trace::RegistrationOf(kDriverProvider), Registration::None);
    EXPECT_NE(plat::trace::DumpRecorder().find("TavrixEvtDriverContextCleanup"), std::string::npos)
        << "the log stays readable after unload";
}

TEST_F(DriverTracing, FailedDriverCreationLeavesNoRegistrationBehind)
{
    plat::fault::FailAll("WdfDriverCreate", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(host->Load(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(plat::trace::RegistrationOf(kDriverProvider), Registration::None);
    EXPECT_NE(plat::trace::DumpRecorder().find("STATUS_INSUFFICIENT_RESOURCES"), std::string::npos);
}

}  // namespace
