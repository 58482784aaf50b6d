// Fault injection's arms: an arm for one call is used once, several arms of
// one point fire in the order they were given, and an arm for every call
// stays until the next reset.
#include <gtest/gtest.h>

#include <vector>

#include "base/fault.h"

namespace {

class FaultArms : public ::testing::Test {
protected:
    void SetUp() override { plat::fault::Reset(); }
    void TearDown() override { plat::fault::Reset(); }

    // The statuses of the point's next `calls` calls.
    static std::vector<NTSTATUS> Calls(const char* point, int calls)
    {
        std::vector<NTSTATUS> statuses;
        for (int i = 0; i < calls; ++i) {
            statuses.push_back(plat::fault::Check(point));
        }
        return statuses;
    }
};

TEST_F(FaultArms, AFiredArmIsGoneAndTheNextArmUsesItsOwnStatus)
{
    EXPECT_EQ(plat::fault::FailNth("WdfMemoryCreate", 1, STATUS_INSUFFICIENT_RESOURCES), 1u);
    EXPECT_EQ(Calls("WdfMemoryCreate", 2), (std::vector<NTSTATUS>{STATUS_INSUFFICIENT_RESOURCES, STATUS_SUCCESS}));

    // Armed again after the first one fired: the next call fails with the new status.
    EXPECT_EQ(plat::fault::FailNth("WdfMemoryCreate", 1, STATUS_ACCESS_DENIED), 1u);
    EXPECT_EQ(Calls("WdfMemoryCreate", 2), (std::vector<NTSTATUS>{STATUS_ACCESS_DENIED, STATUS_SUCCESS}));
    EXPECT_EQ(plat::fault::Injected(), 2u);
    EXPECT_EQ(plat::fault::Counts()["WdfMemoryCreate"], 4u);
}

TEST_F(FaultArms, ArmsForTheSameCallFireInTheOrderGivenAndLeaveOtherPointsAlone)
{
    EXPECT_EQ(plat::fault::FailNth("ZwWriteFile", 1, STATUS_DISK_FULL), 1u);
    EXPECT_EQ(plat::fault::FailNth("ZwWriteFile", 1, STATUS_ACCESS_DENIED), 2u);
    EXPECT_EQ(plat::fault::FailNth("ZwWriteFile", 2, STATUS_DEVICE_BUSY), 3u) << "calls 1 and 2 are taken";
    EXPECT_EQ(plat::fault::FailNth("ZwCreateFile", 1, STATUS_ACCESS_DENIED), 1u) << "another point counts its own";

    EXPECT_EQ(Calls("ZwWriteFile", 4),
              (std::vector<NTSTATUS>{STATUS_DISK_FULL, STATUS_ACCESS_DENIED, STATUS_DEVICE_BUSY, STATUS_SUCCESS}));
    EXPECT_EQ(Calls("ZwCreateFile", 2), (std::vector<NTSTATUS>{STATUS_ACCESS_DENIED, STATUS_SUCCESS}));
}

TEST_F(FaultArms, ALaterCallIsCountedFromWhenItWasArmedAndKeepsItsPlace)
{
    plat::fault::Check("MmMapIoSpace");
    // The second call from now; arming another point or another call does not move it.
    EXPECT_EQ(plat::fault::FailNth("MmMapIoSpace", 2, STATUS_DEVICE_BUSY), 2u);
    plat::fault::Check("MmMapIoSpace");
    EXPECT_EQ(plat::fault::FailNth("MmMapIoSpace", 3, STATUS_DISK_FULL), 3u);
    EXPECT_EQ(Calls("MmMapIoSpace", 4),
              (std::vector<NTSTATUS>{STATUS_DEVICE_BUSY, STATUS_SUCCESS, STATUS_DISK_FULL, STATUS_SUCCESS}));
}

TEST_F(FaultArms, AnArmForEveryCallStaysAndYieldsToAnArmForThisCall)
{
    plat::fault::FailAll("ZwCreateFile", STATUS_ACCESS_DENIED);
    EXPECT_EQ(plat::fault::FailNth("ZwCreateFile", 2, STATUS_DISK_FULL), 2u);
    EXPECT_EQ(Calls("ZwCreateFile", 3),
              (std::vector<NTSTATUS>{STATUS_ACCESS_DENIED, STATUS_DISK_FULL, STATUS_ACCESS_DENIED}));

    plat::fault::Reset();
    EXPECT_EQ(Calls("ZwCreateFile", 1), (std::vector<NTSTATUS>{STATUS_SUCCESS})) << "a reset disarms it";
    EXPECT_EQ(plat::fault::Injected(), 0u);
}

}  // namespace
