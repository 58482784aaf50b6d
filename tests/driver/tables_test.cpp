// Device-mode tables: the walk of a function-2 result, the checks made before
// it, and tables read from the firmware round trip into the device's state.
#include "support/firmware_path.h"

#include <algorithm>
#include <random>

namespace tvrx::test {
namespace {

using plat::AcpiObject;
using plat::DeviceModeEntry;
using plat::DeviceModeTable;

AcpiObject TableResult(uint64_t tag, const std::vector<DeviceModeEntry>& entries, uint64_t announced)
{
    std::vector<AcpiObject> rows = {AcpiObject::Integer(entries.size())};
    for (const DeviceModeEntry& e : entries) {
        rows.push_back(AcpiObject::Package({AcpiObject::Integer(e.mode), AcpiObject::Integer(e.value1),
                                            AcpiObject::Integer(e.value2), AcpiObject::Integer(e.value3)}));
    }
    return AcpiObject::Package({AcpiObject::Integer(tag), AcpiObject::Integer(announced), AcpiObject::Package(rows)});
}

std::vector<DeviceModeEntry> Entries(size_t count, uint64_t firstMode = 0)
{
    std::vector<DeviceModeEntry> entries;
    for (size_t i = 0; i < count; ++i) {
        entries.push_back({firstMode + i, 100 + i, 200 + i, 300 + i});
    }
    return entries;
}

class Tables : public FirmwarePath {
protected:
    // The walk over `bytes` (cut to `size`) into a table that announces
    // `entryCount` entries; the result's rows are the entries it wrote. The
    // debug view runs it: most of these results are bytes the ACPI driver
    // never writes (a patched header or Length, a result larger than the
    // driver's buffer), so no firmware answer can carry them.
    debugview::ParsedTable Parse(const std::vector<uint8_t>& bytes, uint32_t entryCount, size_t size = SIZE_MAX,
                                 const debugview::ParsedTable& before = {})
    {
        std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + std::min(size, bytes.size()));
        return debugview::ParseTableResult(*host, cut, entryCount, before.rows, before.maxMode);
    }

    // Stops and starts the device, which reads the three tables again; returns the start's status.
    NTSTATUS ReadTablesAgain()
    {
        EXPECT_EQ(host->Stop(), STATUS_SUCCESS);
        return host->Start();
    }
};

TEST_F(Tables, EntriesAreStoredInOrderAndMaxDeviceModeOnlyRises)
{
    LoadAndAdd();
    std::vector<DeviceModeEntry> entries = {{2, 21, 22, 23}, {0, 1, 2, 3}, {1, 11, 12, 0xFFFFFFFF}};
    debugview::ParsedTable table = Parse(Encode(TableResult(7, entries, 3)), 3);
    ASSERT_EQ(table.status, STATUS_SUCCESS);
    ASSERT_EQ(table.rows.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(table.rows[i].mode, entries[i].mode);
        EXPECT_EQ(table.rows[i].value3, entries[i].value3);
    }
    EXPECT_EQ(table.maxMode, 2u);

    // Only the low byte of a mode is kept; a shorter table leaves the later entries.
    table = Parse(Encode(TableResult(7, {{0x1FF, 5, 6, 7}}, 1)), 1, SIZE_MAX, table);
    ASSERT_EQ(table.status, STATUS_SUCCESS);
    ASSERT_EQ(table.rows.size(), 3u);
    EXPECT_EQ(table.rows[0].mode, 0xFFu);
    EXPECT_EQ(table.rows[2].mode, 1u);
    table = Parse(Encode(TableResult(7, {{1, 5, 6, 7}}, 1)), 1, SIZE_MAX, table);
    ASSERT_EQ(table.status, STATUS_SUCCESS);
    EXPECT_EQ(table.maxMode, 0xFFu);
}

TEST_F(Tables, MalformedEntriesEndTheWalk)
{
    LoadAndAdd();
    // The first entry's package header must announce 32 bytes.
    std::vector<uint8_t> bytes = Encode(TableResult(7, Entries(3), 3));
    bytes[40 + 2] = 28;
    debugview::ParsedTable table = Parse(bytes, 3);
    EXPECT_EQ(table.status, STATUS_SUCCESS);
    EXPECT_EQ(table.rows.size(), 0u);

    // An element of 8 data bytes in entry 1, as its mode or as a value, moves
    // every later field: entry 0 is kept, nothing after it. (A Buffer here: the
    // ACPI driver hands every Integer over in 4 bytes.)
    for (size_t field = 0; field < 4; ++field) {
        AcpiObject result = TableResult(7, Entries(3), 3);
        result.package[2].package[2].package[field] = AcpiObject::Buffer(std::vector<uint8_t>(8, 1));
        table = Parse(Encode(result), 3);
        EXPECT_EQ(table.status, STATUS_SUCCESS);
        EXPECT_EQ(table.rows.size(), 1u) << "8-byte field " << field;
    }

    // A first element that is a String is no entry.
    AcpiObject result = TableResult(7, Entries(2), 2);
    result.package[2].package[1].package[0] = AcpiObject::String("1");
    table = Parse(Encode(result), 2);
    EXPECT_EQ(table.status, STATUS_SUCCESS);
    EXPECT_EQ(table.rows.size(), 0u);
}

// An entry count beyond what the result holds, its declared Length, or the
// table's 32 entries is cut short at the first entry that does not fit.
TEST_F(Tables, WalkStaysInsideTheResultAndTheTable)
{
    LoadAndAdd();
    std::vector<uint8_t> thirteen = Encode(TableResult(7, Entries(13), 40));
    debugview::ParsedTable table = Parse(thirteen, 40);
    EXPECT_EQ(table.status, STATUS_SUCCESS);
    EXPECT_EQ(table.rows.size(), 13u);

    // Entry k ends at 76 + 36k: one byte short of entry 5 keeps 5 entries.
    table = Parse(thirteen, 13, 76 + 36 * 5 - 1);
    EXPECT_EQ(table.status, STATUS_SUCCESS);
    EXPECT_EQ(table.rows.size(), 5u);

    std::vector<uint8_t> declared = thirteen;
    declared[4] = 76 + 36 * 3;  // Length: up to the end of entry 3
    declared[5] = 0;
    table = Parse(declared, 13);
    EXPECT_EQ(table.status, STATUS_SUCCESS);
    EXPECT_EQ(table.rows.size(), 4u);

    std::vector<uint8_t> forty = Encode(TableResult(7, Entries(40), 40), 40 + 36 * 40);
    table = Parse(forty, 40);
    EXPECT_EQ(table.status, STATUS_SUCCESS);
    ASSERT_EQ(table.rows.size(), 32u);
    EXPECT_EQ(table.rows[31].mode, 31u);
    EXPECT_TRUE(table.guardIntact) << "written past the table's 32 entries";
}

TEST_F(Tables, ProcessingChecksTheResultBeforeStoring)
{
    LoadAndAdd();
    auto table = [this] { return View().tables[1]; };

    EXPECT_EQ(Process(2, 1, Encode(AcpiObject::Integer(5))), STATUS_UNSUCCESSFUL) << "one element";
    EXPECT_EQ(table().entryCount, 0u);
    EXPECT_EQ(table().tag, 0) << "a refused result changed the table";

    // The package holds the leading integer (8 bytes) before its entries: a
    // package that announces only the entries' 36 bytes each is 8 bytes short.
    std::vector<uint8_t> shortPackage = Encode(TableResult(0x26, Entries(2), 2));
    USHORT packageLength = USHORT(shortPackage[30] | shortPackage[31] << 8);
    ASSERT_EQ(packageLength, 8u + 36u * 2);
    for (USHORT length : {USHORT(packageLength - 8), USHORT(packageLength - 1)}) {
        shortPackage[30] = UCHAR(length);
        shortPackage[31] = UCHAR(length >> 8);
        EXPECT_EQ(Process(2, 1, shortPackage), STATUS_UNSUCCESSFUL) << length;
    }

    // A table that is a Buffer is taken for its header only.
    AcpiObject asBuffer = TableResult(0x21, {}, 3);
    asBuffer.package[2] = AcpiObject::Buffer(std::vector<uint8_t>(8 + 36 * 3, 0x5A));
    EXPECT_EQ(Process(2, 1, Encode(asBuffer)), STATUS_SUCCESS);
    EXPECT_EQ(table().tag, 0x21);
    EXPECT_EQ(table().entryCount, 3u);
    EXPECT_EQ(table().rows.at(0).value1, 0u);
    EXPECT_FALSE(View().tablesValid);

    // 36 x 2^30 + 8 is 8 in 32 bits: the length check must not wrap.
    EXPECT_EQ(Process(2, 1, Encode(TableResult(0x22, {}, uint64_t{1} << 30))), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(table().entryCount, 1u << 30);
    EXPECT_FALSE(View().tablesValid);

    EXPECT_EQ(Process(2, 1, Encode(TableResult(0x23, {}, 0))), STATUS_SUCCESS);
    EXPECT_TRUE(View().tablesValid);

    // Results too short for their fields, and a table the context does not have.
    std::vector<uint8_t> full = Encode(TableResult(0x24, Entries(1), 1));
    EXPECT_EQ(Process(2, 0, std::vector<uint8_t>(full.begin(), full.begin() + 31)), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Process(3, 0, std::vector<uint8_t>(full.begin(), full.begin() + 27)), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Process(2, 3, full), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(View().tables[0].tag, 0);
    EXPECT_EQ(View().sarTableLength, 0u);
    EXPECT_EQ(Process(4, 0, std::vector<uint8_t>(19)), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Process(4, 0, std::vector<uint8_t>(20)), STATUS_SUCCESS);

    // Supported functions need bit 0 in four bytes; the mode is byte 16 whatever element 0 is.
    EXPECT_EQ(Process(0, 0, Encode(AcpiObject::Buffer({0x01}))), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Process(0, 0, Encode(AcpiObject::Integer(1))), STATUS_SUCCESS);
    EXPECT_EQ(Process(1, 0, Encode(AcpiObject::String("7"))), STATUS_SUCCESS);
    EXPECT_EQ(View().currentDeviceMode, ULONG('7'));
}

// Random tables of the firmware, encoded by the ACPI driver and read back
// through _DSM, arrive in the context as the firmware holds them.
TEST_F(Tables, RandomTablesRoundTrip)
{
    Boot();
    std::mt19937 random(20240517);
    uint8_t maxMode[3] = {uint8_t(View().tables[0].maxMode), uint8_t(View().tables[1].maxMode),
                          uint8_t(View().tables[2].maxMode)};
    for (int round = 0; round < 60; ++round) {
        DeviceModeTable tables[3];
        for (size_t i = 0; i < 3; ++i) {
            size_t count = round % 7 == 0 ? 13 : random() % 14;  // 13: the most a 524-byte result holds
            tables[i].tag = random() % 256;
            for (size_t k = 0; k < count; ++k) {
                tables[i].entries.push_back({random() % 256, random(), random(), random()});
            }
            firmware->SetTable(i, tables[i]);
        }
        ASSERT_EQ(ReadTablesAgain(), STATUS_SUCCESS) << "round " << round;
        for (size_t i = 0; i < 3; ++i) {
            const debugview::ModeTable stored = View().tables[i];
            ASSERT_EQ(stored.tag, tables[i].tag);
            ASSERT_EQ(stored.entryCount, tables[i].entries.size());
            for (size_t k = 0; k < tables[i].entries.size(); ++k) {
                const DeviceModeEntry& e = tables[i].entries[k];
                const debugview::ModeRow& row = stored.rows.at(k);
                ASSERT_EQ(DeviceModeEntry({row.mode, row.value1, row.value2, row.value3}), e)
                    << "round " << round << " table " << i << " entry " << k;
                maxMode[i] = std::max<uint8_t>(maxMode[i], uint8_t(e.mode));
            }
            ASSERT_EQ(stored.maxMode, maxMode[i]);
        }
    }

    // Firmware integers wider than 32 bits reach the driver as their low 32
    // bits (the ACPI argument record holds a ULONG): every entry is kept.
    for (plat::NativeFirmware::Shape shape :
         {plat::NativeFirmware::Shape::WideFirstInteger, plat::NativeFirmware::Shape::WideValues}) {
        DeviceModeTable wide{9, Entries(5, 1)};
        firmware->SetTable(0, wide);
        plat::NativeFirmware::Faults faults;
        faults.shape = shape;
        faults.functions = 1u << plat::NativeFirmware::kDeviceModeTable;
        firmware->SetFaults(faults);
        ASSERT_EQ(ReadTablesAgain(), STATUS_SUCCESS);
        const debugview::ModeTable stored = View().tables[0];
        ASSERT_EQ(stored.entryCount, 5u);
        for (size_t k = 0; k < 5; ++k) {
            const debugview::ModeRow& row = stored.rows.at(k);
            EXPECT_EQ(DeviceModeEntry({row.mode, row.value1, row.value2, row.value3}), wide.entries[k])
                << "entry " << k;
        }
        firmware->ClearFaults();
    }

    // Fourteen entries need 544 bytes: the read fails, is not retried, and ends the table read.
    firmware->SetTable(1, {1, Entries(14)});
    ASSERT_EQ(host->Stop(), STATUS_SUCCESS);
    firmware->ClearCalls();
    EXPECT_EQ(host->Start(), STATUS_BUFFER_OVERFLOW);
    std::vector<uint64_t> tables;
    for (const plat::NativeFirmware::DsmCall& call : firmware->Calls()) {
        if (call.function == plat::NativeFirmware::kDeviceModeTable) {
            tables.push_back(call.argument);
        }
    }
    EXPECT_EQ(tables, (std::vector<uint64_t>{0, 1}));
}

}  // namespace
}  // namespace tvrx::test
