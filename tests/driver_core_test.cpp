// Driver load, device creation and unload.
#include "support/testbed.h"

#include "nt/pool.h"

namespace tvrx::test {
namespace {

class DriverCore : public Testbed {};

TEST_F(DriverCore, LoadAddUnloadLeavesTheVerifierClean)
{
    LoadAndAdd();
    EXPECT_EQ(host->DeviceCount(), 1u);
    UnloadClean();
}

TEST_F(DriverCore, FreshContextIsAllZeroButTheLockAndTheEmptyList)
{
    LoadAndAdd();
    PTVRX_DEVICE_CONTEXT context = Context();
    EXPECT_NE(context->AppInstanceListLock, nullptr);
    EXPECT_EQ(context->AppInstanceListHead.Flink, &context->AppInstanceListHead);
    EXPECT_EQ(context->AppInstanceListHead.Blink, &context->AppInstanceListHead);

    TVRX_DEVICE_CONTEXT expected;
    memset(&expected, 0, sizeof expected);
    expected.AppInstanceListLock = context->AppInstanceListLock;
    expected.AppInstanceListHead = context->AppInstanceListHead;
    EXPECT_EQ(memcmp(&expected, context, sizeof expected), 0);
}

}  // namespace
}  // namespace tvrx::test
