// The native firmware model: its _DSM answers, the SAR table in physical memory, hangs.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "firmware/native.h"
#include "machine/physmem.h"
#include "machine/hardware.h"

namespace plat {
// Readable failure messages for ACPI objects.
inline void PrintTo(const AcpiObject& object, std::ostream* os)
{
    *os << object.Text();
}
}  // namespace plat

namespace {

using plat::AcpiObject;
using plat::NativeFirmware;

std::vector<AcpiObject> DsmArgs(uint64_t function, uint64_t argument = 0)
{
    std::vector<uint8_t> uuid(NativeFirmware::kDsmUuid, NativeFirmware::kDsmUuid + 16);
    return {AcpiObject::Buffer(uuid), AcpiObject::Integer(0), AcpiObject::Integer(function),
            AcpiObject::Integer(argument)};
}

AcpiObject Dsm(NativeFirmware& firmware, uint64_t function, uint64_t argument = 0)
{
    AcpiObject result;
    EXPECT_EQ(firmware.Evaluate("_DSM", DsmArgs(function, argument), &result), STATUS_SUCCESS);
    return result;
}

const AcpiObject kNothing = AcpiObject::Buffer({0x00});

TEST(NativeFirmware, AnswersEachFunctionInItsShape)
{
    NativeFirmware firmware;
    firmware.SetDeviceMode(3);
    EXPECT_EQ(Dsm(firmware, 0), AcpiObject::Integer(0xF));
    EXPECT_EQ(Dsm(firmware, 1), AcpiObject::Integer(3));
    EXPECT_EQ(Dsm(firmware, 3), AcpiObject::Package({AcpiObject::Integer(firmware.SarAddress()),
                                                     AcpiObject::Integer(firmware.SarLength())}));

    for (size_t index = 0; index < NativeFirmware::kTableCount; ++index) {
        plat::DeviceModeTable table = firmware.Table(index);
        std::vector<AcpiObject> rows = {AcpiObject::Integer(table.entries.size())};
        for (const plat::DeviceModeEntry& e : table.entries) {
            rows.push_back(AcpiObject::Package({AcpiObject::Integer(e.mode), AcpiObject::Integer(e.value1),
                                                AcpiObject::Integer(e.value2), AcpiObject::Integer(e.value3)}));
        }
        AcpiObject expected = AcpiObject::Package({AcpiObject::Integer(table.tag),
                                                   AcpiObject::Integer(table.entries.size()),
                                                   AcpiObject::Package(rows)});
        EXPECT_EQ(Dsm(firmware, 2, index), expected) << "table " << index;
    }
}

TEST(NativeFirmware, AnythingUnrecognisedGetsAZeroBuffer)
{
    NativeFirmware firmware;
    AcpiObject result;
    auto args = DsmArgs(1);
    args[0].buffer[0] ^= 1;  // another UUID
    ASSERT_EQ(firmware.Evaluate("_DSM", args, &result), STATUS_SUCCESS);
    EXPECT_EQ(result, kNothing);

    args = DsmArgs(1);
    args[1] = AcpiObject::Integer(1);  // another revision
    ASSERT_EQ(firmware.Evaluate("_DSM", args, &result), STATUS_SUCCESS);
    EXPECT_EQ(result, kNothing);

    EXPECT_EQ(Dsm(firmware, 4), kNothing);
    EXPECT_EQ(Dsm(firmware, 2, 3), kNothing);

    EXPECT_EQ(firmware.Evaluate("_STA", {}, &result), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(firmware.Evaluate("_DSM", {}, &result), STATUS_ACPI_INCORRECT_ARGUMENT_COUNT);
}

TEST(NativeFirmware, TheFourthArgumentMayComeAsAPackage)
{
    NativeFirmware firmware;
    auto args = DsmArgs(2);
    args[3] = AcpiObject::Package({AcpiObject::Integer(1)});
    AcpiObject result;
    ASSERT_EQ(firmware.Evaluate("_DSM", args, &result), STATUS_SUCCESS);
    EXPECT_EQ(result, Dsm(firmware, 2, 1));
    ASSERT_EQ(firmware.Calls().size(), 2u);
    EXPECT_EQ(firmware.Calls()[0].argument, 1u);
    EXPECT_TRUE(firmware.Calls()[0].uuidMatched);
}

TEST(NativeFirmware, FaultsApplyOnlyToTheChosenFunctionsAndTables)
{
    NativeFirmware firmware;
    NativeFirmware::Faults faults;
    faults.emptyResult = true;
    faults.functions = 1u << 2;
    faults.tables = 1u << 2;
    firmware.SetFaults(faults);
    EXPECT_EQ(Dsm(firmware, 2, 2), AcpiObject::Package({}));
    EXPECT_NE(Dsm(firmware, 2, 1), AcpiObject::Package({}));
    EXPECT_EQ(Dsm(firmware, 1), AcpiObject::Integer(firmware.DeviceMode()));

    faults = NativeFirmware::Faults();
    faults.noSupportBit = true;
    faults.evaluationStatus = STATUS_ACPI_FATAL;
    faults.functions = 1u << 1;
    firmware.SetFaults(faults);
    EXPECT_EQ(Dsm(firmware, 0), AcpiObject::Integer(0xF));
    AcpiObject result;
    EXPECT_EQ(firmware.Evaluate("_DSM", DsmArgs(1), &result), STATUS_ACPI_FATAL);
}

TEST(NativeFirmware, MalformedEntriesStartAtTheChosenEntry)
{
    NativeFirmware firmware;
    NativeFirmware::Faults faults;
    faults.shape = NativeFirmware::Shape::ShortEntries;
    faults.shapeFrom = 1;
    firmware.SetFaults(faults);
    AcpiObject table = Dsm(firmware, 2, 0);
    const std::vector<AcpiObject>& rows = table.package[2].package;
    ASSERT_GE(rows.size(), 3u);
    EXPECT_EQ(rows[1].package.size(), 4u);  // rows[0] is the leading count
    EXPECT_EQ(rows[2].package.size(), 3u);

    faults.shape = NativeFirmware::Shape::WideFirstInteger;
    faults.shapeFrom = 0;
    firmware.SetFaults(faults);
    EXPECT_GT(Dsm(firmware, 2, 0).package[2].package[1].package[0].integer, 0xFFFFFFFFu);
    EXPECT_GT(Dsm(firmware, 1).integer, 0xFFFFFFFFu);
    EXPECT_EQ(Dsm(firmware, 1).integer & 0xFF, firmware.DeviceMode());  // the low bytes stay meaningful
}

TEST(NativeFirmware, SarTableLivesInTheMachinesPhysicalMemory)
{
    plat::Hardware machine{plat::Hardware::Options{}};
    std::shared_ptr<plat::Firmware> attached = plat::MakeDefaultFirmware();
    attached->Attach(machine);
    auto& firmware = dynamic_cast<NativeFirmware&>(*attached);
    std::vector<uint8_t> bytes = firmware.SarBytes();
    ASSERT_EQ(bytes.size(), firmware.SarLength());
    EXPECT_EQ(machine.Memory().Read(firmware.SarAddress(), bytes.size()), bytes);
    EXPECT_LT(firmware.SarAddress() + firmware.SarLength(), uint64_t{1} << 32);  // reported as 32-bit values
    uint8_t sum = 0;
    for (uint8_t b : bytes) {
        sum = uint8_t(sum + b);
    }
    EXPECT_EQ(sum, 0) << "the default table closes with a checksum";

    uint64_t old = firmware.SarAddress();
    firmware.SetSarTable(0x1000, {1, 2, 3});
    EXPECT_EQ(machine.Memory().Read(0x1000, 3), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(machine.Memory().Read(old, 1), std::vector<uint8_t>{0xFF}) << "the old region is gone";
    EXPECT_EQ(Dsm(firmware, 3), AcpiObject::Package({AcpiObject::Integer(0x1000), AcpiObject::Integer(3)}));
}

TEST(NativeFirmware, HangEndsWhenClearedOrWhenTheFirmwareGoesAway)
{
    auto firmware = plat::MakeNativeFirmware();
    NativeFirmware::Faults faults;
    faults.hang = true;
    firmware->SetFaults(faults);

    NTSTATUS first = STATUS_PENDING;
    std::thread cleared([&] {
        AcpiObject result;
        first = firmware->Evaluate("_DSM", DsmArgs(1), &result);
    });
    ASSERT_TRUE(firmware->WaitForHung(1, std::chrono::seconds(5)));
    firmware->ClearFaults();
    cleared.join();
    EXPECT_EQ(first, STATUS_SUCCESS);

    firmware->SetFaults(faults);
    NTSTATUS second = STATUS_PENDING;
    NativeFirmware* raw = firmware.get();
    std::thread abandoned([&] {
        AcpiObject result;
        second = raw->Evaluate("_DSM", DsmArgs(1), &result);
    });
    ASSERT_TRUE(firmware->WaitForHung(1, std::chrono::seconds(5)));
    firmware.reset();  // returns only once the hung evaluation has left
    abandoned.join();
    EXPECT_EQ(second, STATUS_NO_SUCH_DEVICE);
}

TEST(NativeFirmware, NotifyReachesTheSinkAndChangesRaceWithEvaluations)
{
    NativeFirmware firmware;
    std::atomic<int> notified{0};
    firmware.SetNotifySink([&](const std::string& device, ULONG value) {
        notified += device == NativeFirmware::kDevicePath && value == 0x80;
    });

    std::atomic<bool> stop{false};
    std::thread changer([&] {
        for (uint64_t mode = 0; !stop; mode = (mode + 1) % 5) {
            firmware.SetDeviceMode(mode);
            plat::DeviceModeTable table = NativeFirmware::DefaultTable(mode % 3);
            firmware.SetTable(mode % 3, table);
            firmware.Notify(0x80);
        }
    });
    for (int i = 0; i < 2000; ++i) {
        AcpiObject mode = Dsm(firmware, 1);
        ASSERT_LT(mode.integer, 5u);
        ASSERT_EQ(Dsm(firmware, 2, i % 3).package.size(), 3u);
    }
    // On a loaded machine the changer may not have run yet: its first Notify is awaited, not assumed.
    while (notified.load() == 0) {
        std::this_thread::yield();
    }
    stop = true;
    changer.join();
    EXPECT_GT(notified.load(), 0);
    firmware.SetNotifySink(nullptr);
}

}  // namespace
