// Device-mode tables: the walk of a function-2 result, the checks made before
// it, and tables read from the firmware round trip into the device context.
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

// A table whose every entry holds a value no result stores, to tell which entries were written.
struct GuardedTable {
    TVRX_DEVICE_MODE_TABLE table;
    uint8_t after[64];
};

GuardedTable Untouched(ULONG entryCount)
{
    GuardedTable guarded;
    std::memset(&guarded, 0xEE, sizeof guarded);
    guarded.table.MaxDeviceMode = 0;
    guarded.table.EntryCount = entryCount;
    return guarded;
}

size_t StoredEntries(const TVRX_DEVICE_MODE_TABLE& table)
{
    size_t n = 0;
    while (n < TVRX_DEVICE_MODE_ENTRIES_MAX && table.Entries[n].Value1 != 0xEEEEEEEE) {
        ++n;
    }
    return n;
}

class Tables : public FirmwarePath {
protected:
    NTSTATUS Parse(TVRX_DEVICE_MODE_TABLE* table, const std::vector<uint8_t>& bytes, size_t size = SIZE_MAX)
    {
        return TVRX_ROUTINE(TvrxParseDeviceModeInfoFromBuf)(table, bytes.data(), std::min(size, bytes.size()));
    }
};

TEST_F(Tables, EntriesAreStoredInOrderAndMaxDeviceModeOnlyRises)
{
    LoadAndAdd();
    GuardedTable guarded = Untouched(3);
    TVRX_DEVICE_MODE_TABLE& table = guarded.table;
    std::vector<DeviceModeEntry> entries = {{2, 21, 22, 23}, {0, 1, 2, 3}, {1, 11, 12, 0xFFFFFFFF}};
    ASSERT_EQ(Parse(&table, Encode(TableResult(7, entries, 3))), STATUS_SUCCESS);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(table.Entries[i].DeviceMode, entries[i].mode);
        EXPECT_EQ(table.Entries[i].Value3, entries[i].value3);
    }
    EXPECT_EQ(table.MaxDeviceMode, 2);
    EXPECT_EQ(StoredEntries(table), 3u);

    // Only the low byte of a mode is kept; a shorter table leaves the later entries.
    table.EntryCount = 1;
    ASSERT_EQ(Parse(&table, Encode(TableResult(7, {{0x1FF, 5, 6, 7}}, 1))), STATUS_SUCCESS);
    EXPECT_EQ(table.Entries[0].DeviceMode, 0xFF);
    EXPECT_EQ(table.Entries[2].DeviceMode, 1);
    ASSERT_EQ(Parse(&table, Encode(TableResult(7, {{1, 5, 6, 7}}, 1))), STATUS_SUCCESS);
    EXPECT_EQ(table.MaxDeviceMode, 0xFF);
}

TEST_F(Tables, MalformedEntriesEndTheWalk)
{
    LoadAndAdd();
    // The first entry's package header must announce 32 bytes.
    std::vector<uint8_t> bytes = Encode(TableResult(7, Entries(3), 3));
    bytes[40 + 2] = 28;
    GuardedTable guarded = Untouched(3);
    EXPECT_EQ(Parse(&guarded.table, bytes), STATUS_SUCCESS);
    EXPECT_EQ(StoredEntries(guarded.table), 0u);

    // An element of 8 data bytes in entry 1, as its mode or as a value, moves
    // every later field: entry 0 is kept, nothing after it. (A Buffer here: the
    // ACPI driver hands every Integer over in 4 bytes.)
    for (size_t field = 0; field < 4; ++field) {
        AcpiObject result = TableResult(7, Entries(3), 3);
        result.package[2].package[2].package[field] = AcpiObject::Buffer(std::vector<uint8_t>(8, 1));
        guarded = Untouched(3);
        EXPECT_EQ(Parse(&guarded.table, Encode(result)), STATUS_SUCCESS);
        EXPECT_EQ(StoredEntries(guarded.table), 1u) << "8-byte field " << field;
    }

    // A first element that is a String is no entry.
    AcpiObject result = TableResult(7, Entries(2), 2);
    result.package[2].package[1].package[0] = AcpiObject::String("1");
    guarded = Untouched(2);
    EXPECT_EQ(Parse(&guarded.table, Encode(result)), STATUS_SUCCESS);
    EXPECT_EQ(StoredEntries(guarded.table), 0u);
}

// An entry count beyond what the result holds, its declared Length, or the
// table's 32 entries is cut short at the first entry that does not fit.
TEST_F(Tables, WalkStaysInsideTheResultAndTheTable)
{
    LoadAndAdd();
    std::vector<uint8_t> thirteen = Encode(TableResult(7, Entries(13), 40));
    GuardedTable guarded = Untouched(40);
    EXPECT_EQ(Parse(&guarded.table, thirteen), STATUS_SUCCESS);
    EXPECT_EQ(StoredEntries(guarded.table), 13u);

    // Entry k ends at 76 + 36k: one byte short of entry 5 keeps 5 entries.
    guarded = Untouched(13);
    EXPECT_EQ(Parse(&guarded.table, thirteen, 76 + 36 * 5 - 1), STATUS_SUCCESS);
    EXPECT_EQ(StoredEntries(guarded.table), 5u);

    std::vector<uint8_t> declared = thirteen;
    declared[4] = 76 + 36 * 3;  // Length: up to the end of entry 3
    declared[5] = 0;
    guarded = Untouched(13);
    EXPECT_EQ(Parse(&guarded.table, declared), STATUS_SUCCESS);
    EXPECT_EQ(StoredEntries(guarded.table), 4u);

    std::vector<uint8_t> forty = Encode(TableResult(7, Entries(40), 40), 40 + 36 * 40);
    guarded = Untouched(40);
    EXPECT_EQ(Parse(&guarded.table, forty), STATUS_SUCCESS);
    EXPECT_EQ(StoredEntries(guarded.table), 32u);
    EXPECT_EQ(guarded.table.Entries[31].DeviceMode, 31);
    EXPECT_TRUE(std::all_of(std::begin(guarded.after), std::end(guarded.after), [](uint8_t b) { return b == 0xEE; }));
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
        ASSERT_EQ(TVRX_ROUTINE(TvrxDsmReadTable)(Device()), STATUS_SUCCESS) << "round " << round;
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
        faults.functions = 1u << TVRX_DSM_FUNCTION_DEVICE_MODE_TABLE;
        firmware->SetFaults(faults);
        ASSERT_EQ(TVRX_ROUTINE(TvrxDsmReadTable)(Device()), STATUS_SUCCESS);
        const debugview::ModeTable stored = View().tables[0];
        ASSERT_EQ(stored.entryCount, 5u);
        for (size_t k = 0; k < 5; ++k) {
            const debugview::ModeRow& row = stored.rows.at(k);
            EXPECT_EQ(DeviceModeEntry({row.mode, row.value1, row.value2, row.value3}), wide.entries[k])
                << "entry " << k;
        }
        firmware->ClearFaults();
    }

    // Fourteen entries need 544 bytes: the read fails and is not retried.
    firmware->SetTable(1, {1, Entries(14)});
    firmware->ClearCalls();
    EXPECT_EQ(TVRX_ROUTINE(TvrxDsmReadTable)(Device()), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(firmware->Calls().size(), 2u);
}

}  // namespace
}  // namespace tvrx::test
