// _DSM evaluation: the request the ACPI driver receives, the result envelope,
// time-outs, and the start-up sequence of evaluations.
#include "support/firmware_path.h"

#include <chrono>

#include "ntos/pnp/pnp.h"
#include "wdf/workitem.h"

namespace tvrx::test {
namespace {

using plat::NativeFirmware;

std::vector<uint8_t> ExpectedRequest(uint8_t function, uint8_t argument)
{
    return {
        'A', 'e', 'i', 'C', '_', 'D', 'S', 'M', 44, 0, 0, 0, 4, 0, 0, 0,              // header
        2, 0, 16, 0,                                                                // buffer, 16 bytes
        0x72, 0x7E, 0x73, 0x82, 0x33, 0x3A, 0x45, 0x4C, 0xA9, 0xC7, 0x57, 0xC0, 0x41, 0x1A, 0x5F, 0x13,
        0, 0, 4, 0, 0, 0, 0, 0,                                                     // revision 0
        0, 0, 4, 0, function, 0, 0, 0,                                              // function index
        0, 0, 4, 0, argument, 0, 0, 0,                                              // fourth argument
    };
}

class Dsm : public FirmwarePath {};

TEST_F(Dsm, StartSendsTheExactRequestsInOrder)
{
    Boot();
    std::vector<std::vector<uint8_t>> requests = Below().EvalRequests();
    std::vector<std::vector<uint8_t>> expected = {ExpectedRequest(0, 0), ExpectedRequest(1, 0),
                                                  ExpectedRequest(2, 0), ExpectedRequest(2, 1),
                                                  ExpectedRequest(2, 2), ExpectedRequest(3, 0)};
    EXPECT_EQ(requests, expected);

    // Only function 2 carries the table index (asked of the evaluation
    // itself: the driver names a table only with function 2).
    WDFMEMORY response = nullptr;
    ASSERT_EQ(debugview::EvaluateDsm(*host, Device(), 1, 2, &response), STATUS_SUCCESS);
    WdfObjectDelete(response);
    EXPECT_EQ(Below().EvalRequests().back(), ExpectedRequest(1, 0));
}

TEST_F(Dsm, BadEnvelopeOrFailedSendReturnsNoResponse)
{
    Boot();
    // The evaluation itself: its callers only see a result or none.
    auto evaluate = [this](WDFDEVICE device, uint32_t function, uint32_t table, WDFMEMORY* response) {
        return debugview::EvaluateDsm(*host, device, function, table, response);
    };
    EXPECT_EQ(evaluate(Device(), 1, 0, nullptr), STATUS_UNSUCCESSFUL);

    NativeFirmware::Faults faults;
    faults.resultSignature = 0x426F6542;
    firmware->SetFaults(faults);
    WDFMEMORY response = reinterpret_cast<WDFMEMORY>(1);
    EXPECT_EQ(evaluate(Device(), 1, 0, &response), STATUS_ACPI_INVALID_DATA);
    EXPECT_EQ(response, nullptr);

    faults = {};
    faults.emptyResult = true;
    firmware->SetFaults(faults);
    EXPECT_EQ(evaluate(Device(), 2, 1, &response), STATUS_ACPI_INVALID_DATA);
    EXPECT_EQ(response, nullptr);

    // A result larger than the 524-byte buffer fails once, without a retry.
    faults = {};
    faults.oversized = true;
    firmware->SetFaults(faults);
    firmware->ClearCalls();
    EXPECT_EQ(evaluate(Device(), 1, 0, &response), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(response, nullptr);
    EXPECT_EQ(firmware->Calls().size(), 1u);
    firmware->ClearFaults();

    // Each fallible step: input memory, output memory, the send, the ACPI driver.
    const std::pair<const char*, uint64_t> points[] = {
        {"WdfMemoryCreate", 1}, {"WdfMemoryCreate", 2}, {"WdfIoTargetSendIoctlSynchronously", 1},
        {"AcpiEvalMethod", 1}};
    for (const auto& [point, nth] : points) {
        plat::fault::Reset();
        plat::fault::FailNth(point, nth, STATUS_DEVICE_BUSY);
        response = reinterpret_cast<WDFMEMORY>(1);
        EXPECT_EQ(evaluate(Device(), 1, 0, &response), STATUS_DEVICE_BUSY) << point << " #" << nth;
        EXPECT_EQ(response, nullptr);
        EXPECT_EQ(debugview::EvaluateDsmFunction(*host, Device(), 1), STATUS_SUCCESS) << "one failure only";
    }
}

class CancellingDsm : public HonouringCancel<Dsm> {};

TEST_F(CancellingDsm, HungFirmwareTimesOutAndTheCallerGoesOn)
{
    Boot();
    firmware->SetDeviceMode(3);
    NativeFirmware::Faults faults;
    faults.hang = true;
    faults.functions = 1u << plat::NativeFirmware::kDeviceMode;
    firmware->SetFaults(faults);

    // A notification's read gives up after the driver's 3-second time-out, on
    // the machine's clock, and the mode read at start stays.
    LONGLONG start = machine->Clock().Now();
    firmware->Notify(debugview::DriverLimits().modeChangeNotify);
    ASSERT_TRUE(firmware->WaitForHung(1, std::chrono::seconds(10)));
    ASSERT_TRUE(plat::wdf::WaitForWorkItemsIdle(std::chrono::seconds(10)));
    EXPECT_GE(machine->Clock().Now() - start, 30'000'000);
    EXPECT_EQ(View().currentDeviceMode, 1u) << "the mode read at start stays";

    // A start's read fails with the time-out's status, and the start goes on to report it.
    ASSERT_EQ(host->Stop(), STATUS_SUCCESS);
    start = machine->Clock().Now();
    EXPECT_EQ(host->Start(), STATUS_IO_TIMEOUT);
    EXPECT_GE(machine->Clock().Now() - start, 30'000'000);

    // A hung SAR location only costs the export: the device still starts.
    UnloadClean();
    machine->Registry().SetString(kHardwareConfigKey, L"BIOSVersion", L"TVRX-FW 1.08.0");
    faults.functions = 1u << plat::NativeFirmware::kSarLocation;
    firmware->SetFaults(faults);
    Boot();
    EXPECT_EQ(View().deviceState, ULONG(debugview::kDevicePrepared));
    EXPECT_EQ(BiosSarStateValue(), 0u);
}

TEST_F(Dsm, TableReadStopsAtTheFirstFailingIndex)
{
    LoadAndAdd();
    NativeFirmware::Faults faults;
    faults.evaluationStatus = STATUS_ACPI_FATAL;
    faults.functions = 1u << plat::NativeFirmware::kDeviceModeTable;
    faults.tables = 1u << 2;
    firmware->SetFaults(faults);
    EXPECT_EQ(host->Start(), STATUS_ACPI_FATAL);
    // Tables 0 and 1 were read, table 2 failed, and nothing was evaluated after it.
    std::vector<uint64_t> tables;
    for (const NativeFirmware::DsmCall& call : firmware->Calls()) {
        EXPECT_LE(call.function, uint64_t(plat::NativeFirmware::kDeviceModeTable));
        if (call.function == plat::NativeFirmware::kDeviceModeTable) {
            tables.push_back(call.argument);
        }
    }
    EXPECT_EQ(tables, (std::vector<uint64_t>{0, 1, 2}));
    EXPECT_EQ(firmware->Calls().back().function, uint64_t(plat::NativeFirmware::kDeviceModeTable));

    // The failed start removed the stack (Microsoft's IRP_MN_REMOVE_DEVICE: the
    // Plug and Play manager sends it when a driver of the stack fails
    // IRP_MN_START_DEVICE): the next start adds the device again. Stopped and
    // started once more, its table read fails at the first index and reads no other.
    firmware->SetFaults({});
    ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    ASSERT_EQ(host->Stop(), STATUS_SUCCESS);
    faults.tables = 1u << 0;
    firmware->SetFaults(faults);
    firmware->ClearCalls();
    EXPECT_EQ(host->Start(), STATUS_ACPI_FATAL);
    ASSERT_FALSE(firmware->Calls().empty());
    EXPECT_EQ(firmware->Calls().back().function, uint64_t(plat::NativeFirmware::kDeviceModeTable));
    EXPECT_EQ(firmware->Calls().back().argument, 0u);
    size_t tableReads = 0;
    for (const NativeFirmware::DsmCall& call : firmware->Calls()) {
        tableReads += call.function == plat::NativeFirmware::kDeviceModeTable;
    }
    EXPECT_EQ(tableReads, 1u);
}

// Every fallible call of the start path, failed in turn: the start either
// survives it or fails with that very status, and nothing is left behind.
TEST_F(Dsm, StartSurvivesOrReportsEveryInjectedFailure)
{
    LoadAndAdd();
    plat::fault::Reset();
    ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    std::map<std::string, uint64_t> counts = plat::fault::Counts();
    UnloadClean();
    ASSERT_EQ(counts["WdfMemoryCreate"], 13u) << "two per evaluation, one for the export";

    constexpr NTSTATUS kInjected = STATUS_DEVICE_BUSY;
    for (const auto& [point, count] : counts) {
        for (uint64_t nth = 1; nth <= count; ++nth) {
            SCOPED_TRACE(point + " #" + std::to_string(nth));
            NewMachine();
            LoadAndAdd();
            plat::fault::Reset();
            plat::fault::FailNth(point, nth, kInjected);
            NTSTATUS status = host->Start();
            if (status == STATUS_SUCCESS) {
                EXPECT_EQ(View().deviceState, ULONG(debugview::kDevicePrepared));
            } else {
                // A pool allocation that fails surfaces as the lack of resources it is.
                EXPECT_EQ(status, point == "ExAllocatePool" ? STATUS_INSUFFICIENT_RESOURCES : kInjected);
                // The Plug and Play manager removes the stack of a failed start
                // (IRP_MN_REMOVE_DEVICE), and the device node keeps CM_PROB_FAILED_START.
                EXPECT_FALSE(host->Started());
                EXPECT_EQ(Device(), nullptr);
                EXPECT_EQ(host->Problem(), ULONG(plat::pnp::kProblemFailedStart));
            }
            UnloadClean();
        }
    }
}

}  // namespace
}  // namespace tvrx::test
