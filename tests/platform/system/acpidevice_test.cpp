// The ACPI device below a bound driver: the synchronous send through the
// local I/O target, the standard interface and device notifications.
#include <acpiioct.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

#include "acpi/acpidevice.h"
#include "acpi/eval.h"
#include "acpi/interface.h"
#include "base/fault.h"
#include "firmware/native.h"
#include "ntos/ke/irql.h"
#include "support/acpirecords.h"
#include "support/playeddriver.h"

namespace tvrx::test {
namespace {

using plat::AcpiObject;
using plat::NativeFirmware;
using namespace plat::acpi;

const GUID kOtherInterface = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};


// ---------------------------------------------------------------- the device below the driver

class AcpiDeviceTest : public PlayedDriverBed {
protected:
    void SetUp() override
    {
        PlayedDriverBed::SetUp();
        firmware = &dynamic_cast<NativeFirmware&>(machine->Firmware());
    }

    void TearDown() override
    {
        if (firmware != nullptr) {
            firmware->ClearFaults();  // releases whatever hangs
        }
        EXPECT_TRUE(WaitForEvaluations(std::chrono::seconds(10)));
        PlayedDriverBed::TearDown();
    }

    // Loads the driver and adds its device, on the ACPI device below it.
    void AddDevice()
    {
        LoadAndAdd();
        below = host->Below().get();
        ASSERT_NE(below, nullptr);
    }

    NTSTATUS Send(std::vector<uint8_t> input, void* output, ULONG outputLength, LONGLONG timeout,
                  ULONG_PTR* bytes = nullptr)
    {
        WDF_MEMORY_DESCRIPTOR in, out;
        WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&in, input.data(), ULONG(input.size()));
        WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&out, output, outputLength);
        WDF_REQUEST_SEND_OPTIONS options;
        WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SYNCHRONOUS);
        WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, timeout);
        return WdfIoTargetSendIoctlSynchronously(WdfDeviceGetIoTarget(Device()), nullptr, IOCTL_ACPI_EVAL_METHOD,
                                                 &in, &out, &options, bytes);
    }

    ACPI_INTERFACE_STANDARD2 QueryAcpiInterface()
    {
        ACPI_INTERFACE_STANDARD2 acpi{};
        EXPECT_EQ(WdfFdoQueryForInterface(Device(), &GUID_ACPI_INTERFACE_STANDARD2, reinterpret_cast<PINTERFACE>(&acpi),
                                          sizeof acpi, plat::acpi::kStandardInterface2Version, nullptr),
                  STATUS_SUCCESS);
        return acpi;
    }

    static constexpr LONGLONG kThreeSeconds = -30'000'000;
    NativeFirmware* firmware = nullptr;
    AcpiDevice* below = nullptr;
};

TEST_F(AcpiDeviceTest, EvaluatesThroughTheLocalTargetIntoAHandleDescriptor)
{
    AddDevice();
    firmware->SetDeviceMode(4);
    std::vector<uint8_t> request = DsmRequest(1);
    WDFMEMORY memory;
    PVOID buffer;
    ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPoolNx, 0, 524, &memory, &buffer), STATUS_SUCCESS);
    WDF_MEMORY_DESCRIPTOR in, out;
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&in, request.data(), ULONG(request.size()));
    WDF_MEMORY_DESCRIPTOR_INIT_HANDLE(&out, memory, nullptr);
    ULONG_PTR bytes = 0;
    EXPECT_EQ(WdfIoTargetSendIoctlSynchronously(WdfDeviceGetIoTarget(Device()), nullptr, IOCTL_ACPI_EVAL_METHOD, &in,
                                                &out, nullptr, &bytes),
              STATUS_SUCCESS);
    EXPECT_EQ(bytes, 20u);
    EvalOutput decoded;
    ASSERT_EQ(DecodeEvalOutput(static_cast<uint8_t*>(buffer), 524, &decoded), STATUS_SUCCESS);
    EXPECT_EQ(decoded.arguments, std::vector<AcpiObject>{AcpiObject::Integer(4)});
    EXPECT_EQ(firmware->Calls().back().function, 1u);

    // Offsets select a part of the memory; ones outside it are refused.
    WDFMEMORY_OFFSET offsets = {500, 0};
    WDF_MEMORY_DESCRIPTOR_INIT_HANDLE(&out, memory, &offsets);
    EXPECT_EQ(WdfIoTargetSendIoctlSynchronously(WdfDeviceGetIoTarget(Device()), nullptr, IOCTL_ACPI_EVAL_METHOD, &in,
                                                &out, nullptr, &bytes),
              STATUS_SUCCESS);
    EXPECT_EQ(Le32(static_cast<uint8_t*>(buffer) + 500 + 16), 4u);
    offsets = {500, 25};
    EXPECT_EQ(WdfIoTargetSendIoctlSynchronously(WdfDeviceGetIoTarget(Device()), nullptr, IOCTL_ACPI_EVAL_METHOD, &in,
                                                &out, nullptr, &bytes),
              STATUS_INVALID_BUFFER_SIZE);
    WdfObjectDelete(memory);
}

// The documented output-buffer rules of IOCTL_ACPI_EVAL_METHOD: a buffer too
// small for the result gets STATUS_BUFFER_OVERFLOW with the fixed
// ACPI_EVAL_OUTPUT_BUFFER (information its size, Length the size needed); one
// smaller than that record, no buffer at all included, is STATUS_BUFFER_TOO_SMALL
// with nothing returned, and the method is not run for it.
TEST_F(AcpiDeviceTest, OverflowReturnsTheFixedRecordAndSmallerBuffersAreRefused)
{
    AddDevice();
    firmware->SetTable(1, TableOf(14));
    std::vector<uint8_t> out(524, 0xCC);
    ULONG_PTR bytes = 99;
    EXPECT_EQ(Send(DsmRequest(2, 1), out.data(), 524, kThreeSeconds, &bytes), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(bytes, sizeof(ACPI_EVAL_OUTPUT_BUFFER));
    EXPECT_EQ(Le32(&out[4]), 544u);
    EXPECT_EQ(Le32(&out[12]), 0u);
    EXPECT_EQ(out[20], 0xCC);

    out.assign(524, 0xCC);
    EXPECT_EQ(Send(DsmRequest(1), out.data(), 20, kThreeSeconds, &bytes), STATUS_SUCCESS);
    EXPECT_EQ(bytes, 20u) << "one integer fills the fixed record exactly";
    firmware->ClearCalls();
    for (ULONG small : {19u, 12u, 1u}) {
        EXPECT_EQ(Send(DsmRequest(1), out.data(), small, kThreeSeconds, &bytes), STATUS_BUFFER_TOO_SMALL) << small;
        EXPECT_EQ(bytes, 0u);
    }
    WDF_MEMORY_DESCRIPTOR in;
    std::vector<uint8_t> request = DsmRequest(1);
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&in, request.data(), ULONG(request.size()));
    bytes = 99;
    EXPECT_EQ(WdfIoTargetSendIoctlSynchronously(WdfDeviceGetIoTarget(Device()), nullptr, IOCTL_ACPI_EVAL_METHOD, &in,
                                                nullptr, nullptr, &bytes),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(bytes, 0u);
    EXPECT_TRUE(firmware->Calls().empty());
}

TEST_F(AcpiDeviceTest, RefusedRequestsNeverReachTheFirmware)
{
    AddDevice();
    std::vector<uint8_t> out(524);
    std::vector<uint8_t> bad = DsmRequest(1);
    bad[0] = 'X';
    EXPECT_EQ(Send(bad, out.data(), 524, kThreeSeconds), STATUS_INVALID_PARAMETER);

    plat::fault::FailNth("AcpiEvalMethod", 1, STATUS_ACPI_FATAL);
    EXPECT_EQ(Send(DsmRequest(1), out.data(), 524, kThreeSeconds), STATUS_ACPI_FATAL);
    plat::fault::FailNth("WdfIoTargetSendIoctlSynchronously", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Send(DsmRequest(1), out.data(), 524, kThreeSeconds), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(firmware->Calls().empty());

    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_TIMEOUT);
    options.Size = 8;
    EXPECT_EQ(WdfIoTargetSendIoctlSynchronously(WdfDeviceGetIoTarget(Device()), nullptr, IOCTL_ACPI_EVAL_METHOD,
                                                nullptr, nullptr, &options, nullptr),
              STATUS_INFO_LENGTH_MISMATCH);
}

TEST_F(AcpiDeviceTest, WrongSignatureAndEmptyResultReachTheCaller)
{
    AddDevice();
    NativeFirmware::Faults faults;
    faults.resultSignature = 0x12345678;
    faults.emptyResult = true;
    firmware->SetFaults(faults);
    std::vector<uint8_t> out(524);
    ULONG_PTR bytes = 0;
    EXPECT_EQ(Send(DsmRequest(1), out.data(), 524, kThreeSeconds, &bytes), STATUS_SUCCESS);
    EXPECT_EQ(bytes, 12u);
    EXPECT_EQ(Le32(&out[0]), 0x12345678u);
    EXPECT_EQ(Le32(&out[8]), 0u);
}

// The machine's ACPI driver honours the cancellation of an evaluation.
// Whether Windows' does is not documented; the default machine's does not.
class CancellingAcpiDeviceTest : public AcpiDeviceTest {
protected:
    plat::Machine::Options MachineOptions() override
    {
        plat::Machine::Options options = AcpiDeviceTest::MachineOptions();
        options.acpiHonoursCancel = true;
        return options;
    }
};

// A send on its own thread, whose result is read once it has returned.
struct BackgroundSend {
    std::atomic<bool> returned{false};
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR bytes = 0;
    std::thread thread;  // last: started once the results are initialised

    template <class Send>
    explicit BackgroundSend(Send send)
        : thread([this, send] {
              status = send(&bytes);
              returned = true;
          })
    {
    }
    // Waits until the send has returned.
    void Join()
    {
        if (thread.joinable()) {
            thread.join();
        }
    }
    ~BackgroundSend() { Join(); }
};

// Waits `interval` (100-ns units) of machine time.
void WaitMachineTime(plat::Machine& machine, LONGLONG interval)
{
    std::mutex lock;
    std::condition_variable never;
    std::unique_lock<std::mutex> guard(lock);
    machine.Clock().WaitFor(guard, never, interval, [] { return false; });
}

// KMDF's synchronous send: at the time-out the framework cancels the request
// and waits for it; a request that then completes as cancelled makes the send
// return STATUS_IO_TIMEOUT (FxIoTarget::SubmitSync), and the late result of
// the evaluation never reaches the caller's buffer. A positive time-out is an
// absolute time: one already past expires at once.
TEST_F(CancellingAcpiDeviceTest, TimeOutCancelsTheEvaluationAndItsLateResultIsDropped)
{
    AddDevice();
    NativeFirmware::Faults faults;
    faults.hang = true;
    firmware->SetFaults(faults);
    std::vector<uint8_t> out(524, 0xCC);
    ULONG_PTR bytes = 99;
    LONGLONG start = machine->Clock().Now();
    EXPECT_EQ(Send(DsmRequest(1), out.data(), 524, kThreeSeconds, &bytes), STATUS_IO_TIMEOUT);
    EXPECT_GE(machine->Clock().Now() - start, -kThreeSeconds) << "the send gave up before its time-out";
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(Send(DsmRequest(1), out.data(), 524, 1), STATUS_IO_TIMEOUT) << "an absolute time in the past";
    EXPECT_EQ(CancelsDeclined(), 0u);

    ASSERT_TRUE(firmware->WaitForHung(2, std::chrono::seconds(5)));
    firmware->ClearFaults();
    ASSERT_TRUE(WaitForEvaluations(std::chrono::seconds(5)));
    EXPECT_EQ(RunningEvaluations(), 0u);
    EXPECT_EQ(out, std::vector<uint8_t>(524, 0xCC)) << "a cancelled request never writes the caller's buffer";

    LONGLONG minuteFromNow = machine->Clock().Now() + 600'000'000;
    EXPECT_EQ(Send(DsmRequest(1), out.data(), 524, minuteFromNow), STATUS_SUCCESS);
}

// WDF_REQUEST_SEND_OPTIONS: a Timeout of 0 with the time-out flag sets no
// time-out (KMDF starts no timer for it): the send waits as long as the
// evaluation takes, even where a cancellation would end it at once.
TEST_F(CancellingAcpiDeviceTest, TimeOutZeroWaitsWithoutLimit)
{
    AddDevice();
    firmware->SetDeviceMode(5);
    NativeFirmware::Faults faults;
    faults.hang = true;
    firmware->SetFaults(faults);
    std::vector<uint8_t> out(524, 0xCC);
    BackgroundSend send([&](ULONG_PTR* bytes) { return Send(DsmRequest(1), out.data(), 524, 0, bytes); });
    ASSERT_TRUE(firmware->WaitForHung(1, std::chrono::seconds(10)));
    WaitMachineTime(*machine, 100'000'000);  // ten machine seconds, three 3-second time-outs
    EXPECT_FALSE(send.returned) << "a time-out of 0 expired";

    firmware->ClearFaults();
    send.Join();
    EXPECT_EQ(send.status, STATUS_SUCCESS);
    EXPECT_EQ(send.bytes, 20u);
    EXPECT_EQ(Le32(&out[16]), 5u);
}

// A removed KMDF target cancels the requests it has sent and waits for them
// (FxIoTarget::Remove); a request cancelled so is not a time-out. (That it
// then refuses new ones: WorkItems.ARunningItemSendsThroughTheRemovedTargetOfItsDevice.)
TEST_F(CancellingAcpiDeviceTest, RemovalCancelsTheSendInFlight)
{
    AddDevice();
    NativeFirmware::Faults faults;
    faults.hang = true;
    firmware->SetFaults(faults);
    std::vector<uint8_t> out(524);
    WDFIOTARGET target = WdfDeviceGetIoTarget(Device());
    std::vector<uint8_t> request = DsmRequest(1);
    auto send = [&](ULONG_PTR* bytes) {
        WDF_MEMORY_DESCRIPTOR in, output;
        WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&in, request.data(), ULONG(request.size()));
        WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&output, out.data(), ULONG(out.size()));
        return WdfIoTargetSendIoctlSynchronously(target, nullptr, IOCTL_ACPI_EVAL_METHOD, &in, &output, nullptr, bytes);
    };
    BackgroundSend inFlight(send);
    ASSERT_TRUE(firmware->WaitForHung(1, std::chrono::seconds(10)));
    EXPECT_EQ(host->Remove(), STATUS_SUCCESS);
    inFlight.Join();
    EXPECT_EQ(inFlight.status, STATUS_CANCELLED) << "cancelled by the removal, not by a time-out";
}

// Whether the ACPI driver cancels an evaluation is not documented; by default
// the machine's does not. The framework still cancels at the time-out and then
// waits for the request (FxIoTarget::SubmitSync), so the send returns the
// evaluation's own status and result once the firmware answers.
TEST_F(AcpiDeviceTest, TimeOutWaitsForAnEvaluationThatIsNotCancelled)
{
    AddDevice();
    firmware->SetDeviceMode(6);
    NativeFirmware::Faults faults;
    faults.hang = true;
    firmware->SetFaults(faults);
    std::vector<uint8_t> out(524, 0xCC);
    uint64_t declined = CancelsDeclined();
    BackgroundSend send([&](ULONG_PTR* bytes) { return Send(DsmRequest(1), out.data(), 524, kThreeSeconds, bytes); });
    ASSERT_TRUE(firmware->WaitForHung(1, std::chrono::seconds(10)));
    // The time-out expired: the framework asked for the cancellation, which the ACPI driver declined.
    while (CancelsDeclined() == declined) {
        std::this_thread::yield();
    }
    EXPECT_FALSE(send.returned) << "the send returned before the evaluation ended";

    firmware->ClearFaults();
    send.Join();
    EXPECT_EQ(send.status, STATUS_SUCCESS);
    EXPECT_EQ(send.bytes, 20u);
    EXPECT_EQ(Le32(&out[16]), 6u) << "the late result reaches the caller";

    // An evaluation that fails after the time-out reports its own failure.
    faults.hang = true;
    faults.evaluationStatus = STATUS_ACPI_FATAL;
    firmware->SetFaults(faults);
    BackgroundSend failing([&](ULONG_PTR* bytes) { return Send(DsmRequest(1), out.data(), 524, kThreeSeconds, bytes); });
    ASSERT_TRUE(firmware->WaitForHung(1, std::chrono::seconds(10)));
    while (CancelsDeclined() == declined + 1) {
        std::this_thread::yield();
    }
    faults.hang = false;
    firmware->SetFaults(faults);
    failing.Join();
    EXPECT_EQ(failing.status, STATUS_ACPI_FATAL);
}

// The ACPI driver completes a method its interpreter ran to its end in the
// sender's call (IoCallDriver returns the final status, not STATUS_PENDING);
// one that has to wait pends, on a thread of its own. Either way the firmware
// runs the method once.
TEST_F(AcpiDeviceTest, AnswersThatNeedNoWaitCompleteInTheSendersCall)
{
    AddDevice();
    firmware->SetDeviceMode(5);
    firmware->ClearCalls();
    std::vector<uint8_t> request = DsmRequest(1);
    auto packet = [&request] {
        plat::io::Irp* irp = plat::io::IoAllocateIrp(524, KernelMode);
        irp->major = plat::io::kMjDeviceControl;
        irp->ioControlCode = IOCTL_ACPI_EVAL_METHOD;
        irp->inputLength = ULONG(request.size());
        irp->outputLength = 524;
        std::copy(request.begin(), request.end(), irp->systemBuffer);
        return irp;
    };

    plat::io::Irp* irp = packet();
    EXPECT_EQ(plat::io::IoCallDriver(below->DeviceObject(), irp), STATUS_SUCCESS);
    EXPECT_TRUE(irp->completed.load());
    EXPECT_EQ(irp->information, 20u);
    EXPECT_EQ(Le32(irp->systemBuffer + 16), 5u);
    plat::io::IoFreeIrp(irp);
    EXPECT_EQ(RunningEvaluations(), 0u);

    NativeFirmware::Faults faults;
    faults.hang = true;
    firmware->SetFaults(faults);
    irp = packet();
    EXPECT_EQ(plat::io::IoCallDriver(below->DeviceObject(), irp), STATUS_PENDING);
    ASSERT_TRUE(firmware->WaitForHung(1, std::chrono::seconds(10)));
    EXPECT_FALSE(irp->completed.load());
    firmware->SetDeviceMode(7);
    firmware->ClearFaults();
    ASSERT_TRUE(plat::io::WaitForIrp(irp));
    EXPECT_EQ(irp->status, STATUS_SUCCESS);
    EXPECT_EQ(Le32(irp->systemBuffer + 16), 7u);
    plat::io::IoFreeIrp(irp);
    EXPECT_EQ(firmware->Calls().size(), 2u) << "a method was run twice, or not at all";
}

TEST_F(AcpiDeviceTest, SendingAboveLowestIrqlStopsTheSystem)
{
    AddDevice();
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::vector<uint8_t> out(524);
    EXPECT_DEATH(
        {
            plat::IrqlScope raised(DISPATCH_LEVEL);
            Send(DsmRequest(1), out.data(), 524, kThreeSeconds);
        },
        "WdfIoTargetSendIoctlSynchronously");
}

// ---------------------------------------------------------------- the standard interface

TEST_F(AcpiDeviceTest, InterfaceQueryChecksItsArgumentsAndCountsReferences)
{
    AddDevice();
    ACPI_INTERFACE_STANDARD2 acpi{};
    auto* record = reinterpret_cast<PINTERFACE>(&acpi);
    EXPECT_EQ(WdfFdoQueryForInterface(Device(), &kOtherInterface, record, sizeof acpi, 1, nullptr),
              STATUS_NOT_SUPPORTED);
    EXPECT_EQ(WdfFdoQueryForInterface(Device(), &GUID_ACPI_INTERFACE_STANDARD2, record, 80, 1, nullptr),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(WdfFdoQueryForInterface(Device(), &GUID_ACPI_INTERFACE_STANDARD2, record, sizeof acpi, 2, nullptr),
              STATUS_NOT_SUPPORTED);
    plat::fault::FailNth("WdfFdoQueryForInterface", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(WdfFdoQueryForInterface(Device(), &GUID_ACPI_INTERFACE_STANDARD2, record, sizeof acpi, 1, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(below->InterfaceReferences(), 0);

    acpi = QueryAcpiInterface();
    EXPECT_EQ(acpi.Size, 88);
    EXPECT_EQ(acpi.Version, 1);
    ASSERT_NE(acpi.Context, nullptr);
    ASSERT_NE(acpi.RegisterForDeviceNotifications, nullptr);
    ASSERT_NE(acpi.UnregisterForDeviceNotifications, nullptr);
    EXPECT_EQ(acpi.GpeEnableEvent(acpi.Context, nullptr), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(below->InterfaceReferences(), 1) << "the query takes one for the caller";

    acpi.InterfaceReference(acpi.Context);
    acpi.InterfaceDereference(acpi.Context);
    auto findings = plat::verifier::Check().Text();
    EXPECT_NE(findings.find("not given back with InterfaceDereference"), std::string::npos) << findings;
    acpi.InterfaceDereference(acpi.Context);
    EXPECT_EQ(below->InterfaceReferences(), 0);
    findings = plat::verifier::Check().Text();
    EXPECT_EQ(findings.find("ACPI interface"), std::string::npos) << findings;

    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(acpi.InterfaceDereference(acpi.Context), "without a reference held");
}

struct Recorder {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<ULONG> values;
    std::vector<KIRQL> irqls;
    std::set<std::thread::id> threads;
    bool block = false;
    bool inside = false;

    static VOID Handler(PVOID context, ULONG value)
    {
        auto* self = static_cast<Recorder*>(context);
        std::unique_lock<std::mutex> guard(self->lock);
        self->values.push_back(value);
        self->irqls.push_back(KeGetCurrentIrql());
        self->threads.insert(std::this_thread::get_id());
        self->inside = true;
        self->changed.notify_all();
        self->changed.wait(guard, [self] { return !self->block; });
        self->inside = false;
    }
};

TEST_F(AcpiDeviceTest, NotificationsArriveInOrderAtDispatchLevelOnTheFirmwareThread)
{
    AddDevice();
    ACPI_INTERFACE_STANDARD2 acpi = QueryAcpiInterface();
    Recorder recorder;
    firmware->Notify(0x80);  // nobody listens yet
    ASSERT_TRUE(below->WaitNotificationsIdle());
    EXPECT_EQ(below->NotificationsDropped(), 1u);

    ASSERT_EQ(acpi.RegisterForDeviceNotifications(acpi.Context, Recorder::Handler, &recorder), STATUS_SUCCESS);
    EXPECT_EQ(acpi.RegisterForDeviceNotifications(acpi.Context, Recorder::Handler, &recorder),
              STATUS_INVALID_DEVICE_REQUEST);
    for (ULONG value : {0x80u, 0x81u, 0x80u, 0x02u}) {
        firmware->Notify(value);
    }
    ASSERT_TRUE(below->WaitNotificationsIdle());
    EXPECT_EQ(recorder.values, (std::vector<ULONG>{0x80, 0x81, 0x80, 0x02}));
    EXPECT_EQ(recorder.irqls, std::vector<KIRQL>(4, DISPATCH_LEVEL));
    EXPECT_EQ(recorder.threads.size(), 1u);
    EXPECT_EQ(recorder.threads.count(std::this_thread::get_id()), 0u);

    acpi.UnregisterForDeviceNotifications(acpi.Context);
    firmware->Notify(0x80);
    ASSERT_TRUE(below->WaitNotificationsIdle());
    EXPECT_EQ(recorder.values.size(), 4u);
    EXPECT_EQ(below->NotificationsDropped(), 2u);

    plat::fault::FailNth("RegisterForDeviceNotifications", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(acpi.RegisterForDeviceNotifications(acpi.Context, Recorder::Handler, &recorder),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(below->HandlerRegistered());
    acpi.InterfaceDereference(acpi.Context);
}

// Windows documents no wait in UnregisterForDeviceNotifications for a
// handler call in progress: by default unregister returns at once and the
// call finishes on its own; none starts afterwards. A machine may be set to
// wait instead (Machine::Options::acpiUnregisterWaits).
TEST_F(AcpiDeviceTest, UnregisterWaitsForTheRunningHandlerOnlyWhenTheMachineSaysSo)
{
    AddDevice();
    ACPI_INTERFACE_STANDARD2 acpi = QueryAcpiInterface();
    for (bool waits : {false, true}) {
        SCOPED_TRACE(waits ? "unregister waits" : "strict");
        SetUnregisterWaits(waits);
        Recorder recorder;
        recorder.block = true;
        ASSERT_EQ(acpi.RegisterForDeviceNotifications(acpi.Context, Recorder::Handler, &recorder), STATUS_SUCCESS);
        firmware->Notify(0x80);
        {
            std::unique_lock<std::mutex> guard(recorder.lock);
            ASSERT_TRUE(recorder.changed.wait_for(guard, std::chrono::seconds(5), [&] { return recorder.inside; }));
        }
        uint64_t notWaiting = UnregistersNotWaiting();
        std::atomic<bool> returned{false};
        std::thread unregister([&] {
            acpi.UnregisterForDeviceNotifications(acpi.Context);
            returned = true;
        });
        auto deadline = std::chrono::steady_clock::now() + (waits ? std::chrono::milliseconds(100) : std::chrono::seconds(10));
        while (!returned && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        EXPECT_EQ(returned.load(), !waits);
        EXPECT_EQ(UnregistersNotWaiting() - notWaiting, waits ? 0u : 1u);
        uint64_t dropped = below->NotificationsDropped();
        firmware->Notify(0x80);
        {
            std::lock_guard<std::mutex> guard(recorder.lock);
            recorder.block = false;
            recorder.changed.notify_all();
        }
        unregister.join();
        EXPECT_TRUE(below->WaitNotificationsIdle());
        EXPECT_FALSE(recorder.inside);
        EXPECT_EQ(below->NotificationsDropped(), dropped + 1) << "a call started after the unregister";
    }
    SetUnregisterWaits(false);
    acpi.InterfaceDereference(acpi.Context);
}

TEST_F(AcpiDeviceTest, RemovingADeviceWithAHandlerRegisteredIsAFinding)
{
    auto device = CreateDevice("ACPI\\TVRX0001\\9");
    ACPI_INTERFACE_STANDARD2 acpi{};
    ASSERT_EQ(device->QueryInterface(GUID_ACPI_INTERFACE_STANDARD2, reinterpret_cast<PINTERFACE>(&acpi), sizeof acpi,
                                     1),
              STATUS_SUCCESS);
    Recorder recorder;
    ASSERT_EQ(acpi.RegisterForDeviceNotifications(acpi.Context, Recorder::Handler, &recorder), STATUS_SUCCESS);
    acpi.InterfaceDereference(acpi.Context);
    device.reset();

    firmware->Notify(0x80);  // reaches nobody once the device is gone
    std::string findings = plat::verifier::Check().Text();
    EXPECT_NE(findings.find("ACPI\\TVRX0001\\9 was removed with a device-notification handler"), std::string::npos)
        << findings;
    EXPECT_EQ(acpi.RegisterForDeviceNotifications(acpi.Context, Recorder::Handler, &recorder), STATUS_NO_SUCH_DEVICE);
    EXPECT_TRUE(recorder.values.empty());
    ForgetRemovedPorts();
}

}  // namespace
}  // namespace tvrx::test
