// The control interface as clients see it: which requests are served, the
// buffer sizes each code needs, the device-mode entry and table queries, and
// the regulatory type that selects the table.
#include "support/client.h"

#include <functional>

namespace tvrx::test {
namespace {

constexpr UCHAR kUntouched = 0xAB;

class Ioctl : public ClientBed {
protected:
    // Three tables whose entries are told apart by their values; entry 0 of
    // table 0 (mode 3) is the fallback answer. `adjust` changes the firmware
    // before the device starts and reads them.
    void BootWithTables(const std::function<void()>& adjust = nullptr)
    {
        firmware->SetTable(0, Table(0x10, {{3, 0x301, 0x302, 0x303}, {0, 0x001, 0x002, 0x003}}));
        firmware->SetTable(1, Table(0x11, {{0, 0x1001, 0x1002, 0x1003},
                                           {1, 0x1101, 0x1102, 0x1103},
                                           {2, 0x1201, 0x1202, 0x1203},
                                           {40, 0x1401, 0x1402, 0x1403}}));
        firmware->SetTable(2, Table(0x12, {{2, 0x2201, 0x2202, 0x2203}, {5, 0x2501, 0x2502, 0x2503}}));
        firmware->SetDeviceMode(2);
        if (adjust) {
            adjust();
        }
        Boot();
        ASSERT_EQ(client->Open(), STATUS_SUCCESS);
        event = client->NewEvent();
        ASSERT_EQ(client->Register(event), STATUS_SUCCESS);
    }

    void SetUp() override
    {
        ClientBed::SetUp();
        client = std::make_unique<Client>("client");
    }

    void TearDown() override
    {
        if (event != nullptr) {
            client->CloseObject(event);
        }
        client.reset();
        ClientBed::TearDown();
    }

    // The firmware announces a new device mode; returns once the driver has
    // read it and woken the client->
    void ChangeDeviceMode(uint64_t mode)
    {
        client->TakeSignal(event);
        firmware->SetDeviceMode(mode);
        firmware->Notify(debugview::DriverLimits().modeChangeNotify);
        ASSERT_EQ(client->process.Run([&] { return WaitForSingleObject(event, 10000); }), (DWORD)WAIT_OBJECT_0);
        client->TakeSignal(event);
    }

    TVRX_DEVICE_MODE_ENTRY_INFO Entry()
    {
        TVRX_DEVICE_MODE_ENTRY_INFO info;
        memset(&info, kUntouched, sizeof info);
        Reply reply = client->GetEntry(&info);
        EXPECT_EQ(reply.status, STATUS_SUCCESS);
        EXPECT_EQ(reply.information, sizeof info);
        return info;
    }

    Reply TableInfo(ULONG index, TVRX_DEVICE_MODE_TABLE_INFO* info)
    {
        return client->Control(IOCTL_TVRX_GET_DEVICE_MODE_TABLE_INFO, &index, sizeof index, info, sizeof *info);
    }

    std::unique_ptr<Client> client;
    HANDLE event = nullptr;
};

void ExpectEntry(const TVRX_DEVICE_MODE_ENTRY_INFO& info, UINT32 mode, UINT32 value1, UINT32 value2, UINT32 value3)
{
    EXPECT_EQ(info.DeviceMode, mode);
    EXPECT_EQ(info.Value1, value1);
    EXPECT_EQ(info.Value2, value2);
    EXPECT_EQ(info.Value3, value3);
}

TEST_F(Ioctl, OnlyTheFourCodesFromUserModeAreServed)
{
    BootWithTables();
    std::wstring path = TavrixInterfacePath();

    // A kernel-mode sender is refused whatever it asks.
    ULONG type = 2;
    ULONG_PTR information = 99;
    EXPECT_EQ(plat::um::KernelIoControl(path, IOCTL_TVRX_SET_REGULATORY_TYPE, &type, sizeof type, nullptr, 0,
                                        &information),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(information, 0u);
    TVRX_DEVICE_MODE_ENTRY_INFO info;
    EXPECT_EQ(plat::um::KernelIoControl(path, IOCTL_TVRX_GET_DEVICE_MODE_ENTRY, nullptr, 0, &info, sizeof info,
                                        &information),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(View().regulatoryType, 0u);
    EXPECT_FALSE(client->TakeSignal(event));

    // Codes that are close to the real ones are not them.
    const ULONG nearMisses[] = {
        CTL_CODE(FILE_DEVICE_UNKNOWN, 0, METHOD_BUFFERED, FILE_ANY_ACCESS),
        CTL_CODE(FILE_DEVICE_UNKNOWN, 5, METHOD_BUFFERED, FILE_ANY_ACCESS),
        CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_OUT_DIRECT, FILE_ANY_ACCESS),
        CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_READ_ACCESS),
        CTL_CODE(FILE_DEVICE_UNKNOWN + 1, 1, METHOD_BUFFERED, FILE_ANY_ACCESS),
    };
    for (ULONG code : nearMisses) {
        UCHAR output[16];
        Reply reply = client->Control(code, &type, sizeof type, output, sizeof output);
        EXPECT_EQ(reply.status, STATUS_UNSUCCESSFUL) << std::hex << code;
        EXPECT_EQ(reply.information, 0u) << std::hex << code;
    }
    EXPECT_EQ(View().regulatoryType, 0u);
}

TEST_F(Ioctl, EachCodeEnforcesItsOwnMinimumBufferSize)
{
    BootWithTables();

    // Regulatory type: fewer than 4 bytes is the framework's refusal; bytes after the 4th are ignored.
    UCHAR typeInput[8] = {1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(client->Control(IOCTL_TVRX_SET_REGULATORY_TYPE, typeInput, 3, nullptr, 0).status,
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(View().regulatoryType, 0u);
    EXPECT_EQ(client->Control(IOCTL_TVRX_SET_REGULATORY_TYPE, typeInput, 8, nullptr, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(View().regulatoryType, 1u);

    // Entry: 15 bytes are refused as a plain failure; 32 bytes get 16 and the rest is left alone.
    UCHAR output[32];
    memset(output, kUntouched, sizeof output);
    Reply reply = client->Control(IOCTL_TVRX_GET_DEVICE_MODE_ENTRY, nullptr, 0, output, 15);
    EXPECT_EQ(reply.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(reply.information, 0u);
    reply = client->Control(IOCTL_TVRX_GET_DEVICE_MODE_ENTRY, nullptr, 0, output, sizeof output);
    EXPECT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(reply.information, 16u);
    TVRX_DEVICE_MODE_ENTRY_INFO info;
    memcpy(&info, output, sizeof info);
    ExpectEntry(info, 2, 0x1201, 0x1202, 0x1203);
    for (size_t i = 16; i < sizeof output; i++) {
        EXPECT_EQ(output[i], kUntouched) << "byte " << i;
    }

    // Table info: a short input is the framework's refusal; a bad index or a
    // short output is a plain failure.
    ULONG index = 1;
    TVRX_DEVICE_MODE_TABLE_INFO tableInfo;
    reply = client->Control(IOCTL_TVRX_GET_DEVICE_MODE_TABLE_INFO, &index, 2, &tableInfo, sizeof tableInfo);
    EXPECT_EQ(reply.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(reply.information, 0u);
    reply = client->Control(IOCTL_TVRX_GET_DEVICE_MODE_TABLE_INFO, &index, sizeof index, &tableInfo, 7);
    EXPECT_EQ(reply.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(reply.information, 0u);
    EXPECT_EQ(TableInfo(3, &tableInfo).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(TableInfo(0xFFFFFFFF, &tableInfo).status, STATUS_UNSUCCESSFUL);

    // Event: a 4-byte handle is refused.
    UINT32 shortHandle = (UINT32)(ULONG_PTR)event;
    EXPECT_EQ(client->Control(IOCTL_TVRX_SET_EVENT, &shortHandle, 4, nullptr, 0).status, STATUS_UNSUCCESSFUL);
}

TEST_F(Ioctl, QueriesFailCleanlyWithoutScratchMemory)
{
    BootWithTables();
    TVRX_DEVICE_MODE_ENTRY_INFO info;
    plat::fault::FailNth("WdfMemoryCreate", 1, STATUS_INSUFFICIENT_RESOURCES);
    Reply reply = client->GetEntry(&info);
    EXPECT_EQ(reply.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(reply.information, 0u);

    TVRX_DEVICE_MODE_TABLE_INFO tableInfo;
    plat::fault::FailNth("WdfMemoryCreate", 1, STATUS_INSUFFICIENT_RESOURCES);
    reply = TableInfo(0, &tableInfo);
    EXPECT_EQ(reply.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(reply.information, 0u);
}

TEST_F(Ioctl, TableInfoReadsItsIndexBeforeAnswerInTheSameBuffer)
{
    BootWithTables();
    TVRX_DEVICE_MODE_TABLE_INFO tableInfo;
    Reply reply = TableInfo(2, &tableInfo);
    EXPECT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(reply.information, 8u);
    EXPECT_EQ(tableInfo.TableTag, 0x12u);
    EXPECT_EQ(tableInfo.EntryCount, 2u);

    // One 16-byte buffer as input (index 1) and output.
    UINT32 buffer[4] = {1, 0xABABABAB, 0xABABABAB, 0xABABABAB};
    reply = client->Control(IOCTL_TVRX_GET_DEVICE_MODE_TABLE_INFO, buffer, sizeof buffer, buffer, sizeof buffer);
    EXPECT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(reply.information, 8u);
    EXPECT_EQ(buffer[0], 0x11u);
    EXPECT_EQ(buffer[1], 4u);
    EXPECT_EQ(buffer[2], 0xABABABABu);
    EXPECT_EQ(buffer[3], 0xABABABABu);
}

TEST_F(Ioctl, EntryComesFromTheRegulatoryTypesTableOrElseEntryZeroOfTableZero)
{
    // Table 1 also holds the boundary modes 31 and 32.
    BootWithTables([this] {
        plat::DeviceModeTable table1 = firmware->Table(1);
        table1.entries.push_back({31, 0xA1, 0xA2, 0xA3});
        table1.entries.push_back({32, 0xB1, 0xB2, 0xB3});
        firmware->SetTable(1, table1);
    });

    // Type 0, mode 2: table 0 has no mode 2, so the fallback answers.
    ExpectEntry(Entry(), 3, 0x301, 0x302, 0x303);
    ASSERT_EQ(client->SetRegulatoryType(1), STATUS_SUCCESS);
    ExpectEntry(Entry(), 2, 0x1201, 0x1202, 0x1203);
    ASSERT_EQ(client->SetRegulatoryType(2), STATUS_SUCCESS);
    ExpectEntry(Entry(), 2, 0x2201, 0x2202, 0x2203);

    // A mode that table 2 lacks falls back to table 0, not to table 2's first entry.
    ChangeDeviceMode(1);
    ExpectEntry(Entry(), 3, 0x301, 0x302, 0x303);
    ChangeDeviceMode(5);
    ExpectEntry(Entry(), 5, 0x2501, 0x2502, 0x2503);

    // Modes above 31 are never matched, even when the table has them.
    ASSERT_EQ(client->SetRegulatoryType(1), STATUS_SUCCESS);
    ChangeDeviceMode(40);
    ExpectEntry(Entry(), 3, 0x301, 0x302, 0x303);

    // The boundary itself: mode 31 is matched, 32 is not, though the table
    // was read with modes up to 40.
    ASSERT_EQ(View().tables[1].maxMode, 40u);
    ChangeDeviceMode(31);
    ExpectEntry(Entry(), 31, 0xA1, 0xA2, 0xA3);
    ChangeDeviceMode(32);
    ExpectEntry(Entry(), 3, 0x301, 0x302, 0x303);

    // Nor is a mode above the largest the table was read with. No firmware
    // answer makes that bound lower than a mode the table holds: a debugger's write does.
    ChangeDeviceMode(2);
    ExpectEntry(Entry(), 2, 0x1201, 0x1202, 0x1203);
    debugview::PokeTableMaxMode(Device(), 1, 1);
    ExpectEntry(Entry(), 3, 0x301, 0x302, 0x303);
}

// A table holds 32 entries, while the count the firmware gave may be larger.
// No answer of the firmware reaches that (32 entries need more than the
// driver's result buffer), so the count and the entries are written as a
// debugger would. What follows table 0's entries is table 1's header: a search
// past the last entry would read it as an entry whose mode is table 1's tag.
TEST_F(Ioctl, EntrySearchStopsAtTheThirtyTwoEntriesATableHolds)
{
    BootWithTables([this] {
        plat::DeviceModeTable table1 = firmware->Table(1);
        table1.tag = 7;
        firmware->SetTable(1, table1);
    });
    ChangeDeviceMode(7);
    const size_t entries = debugview::DriverLimits().tableEntries;
    for (uint32_t i = 1; i < entries; i++) {
        debugview::PokeTableEntry(Device(), 0, i, {9, i, i, i});
    }
    debugview::PokeTableEntryCount(Device(), 0, 40);
    debugview::PokeTableMaxMode(Device(), 0, 31);

    ExpectEntry(Entry(), 3, 0x301, 0x302, 0x303);
    debugview::PokeTableEntry(Device(), 0, entries - 1, {7, 31, 31, 31});
    ExpectEntry(Entry(), 7, 31, 31, 31);
}

// Every table the firmware gives is a Buffer, not a package of entries: the
// driver takes each table's tag and count and reads none of their entries.
TEST_F(Ioctl, BeforeAnyTableIsReadTableInfoFailsAndTheEntryIsZero)
{
    BootWithTables([this] {
        plat::NativeFirmware::Faults faults;
        faults.shape = plat::NativeFirmware::Shape::TableAsBuffer;
        faults.functions = 1u << plat::NativeFirmware::kDeviceModeTable;
        firmware->SetFaults(faults);
    });
    ASSERT_FALSE(View().tablesValid);

    TVRX_DEVICE_MODE_TABLE_INFO tableInfo;
    Reply reply = TableInfo(0, &tableInfo);
    EXPECT_EQ(reply.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(reply.information, 0u);
    ExpectEntry(Entry(), 0, 0, 0, 0);
}

TEST_F(Ioctl, RegulatoryTypeAcceptsOnlyZeroToTwo)
{
    BootWithTables();
    for (ULONG bad : {3u, 0xFFFFFFFFu}) {
        ULONG type = bad;
        Reply reply = client->Control(IOCTL_TVRX_SET_REGULATORY_TYPE, &type, sizeof type, nullptr, 0);
        EXPECT_EQ(reply.status, STATUS_INVALID_USER_BUFFER);
        EXPECT_EQ(reply.information, 0u);
    }
    EXPECT_EQ(View().regulatoryType, 0u);
    EXPECT_FALSE(client->TakeSignal(event));
}

}  // namespace
}  // namespace tvrx::test
