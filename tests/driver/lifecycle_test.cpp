// The device's life under the Plug and Play and power manager: start and its
// failures, sleep and resume, stop and restart, removal, surprise removal and
// unload, and transitions requested from many threads at once. Where the
// sequence is KMDF's, the test names the framework state or documented
// behaviour it follows.
#include "support/client.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <random>
#include <thread>
#include <tuple>

#include "acpi/acpidevice.h"
#include "ntos/io/deviceinterface.h"
#include "ntos/pnp/pnp.h"
#include "wdf/device.h"
#include "wdf/driver.h"
#include "wdf/workitem.h"

namespace tvrx::test {
namespace {

using plat::NativeFirmware;
using namespace std::chrono_literals;

plat::wdf::FxDevice* Fx(WDFDEVICE device)
{
    return plat::wdf::ResolveAs<plat::wdf::FxDevice>(device, plat::wdf::FxType::Device, "test");
}

// Stands between the framework and the driver's Plug and Play and power
// callbacks of one device: records their order and notices two of them
// running at once. Outlives the device (a fixture member), so teardown's
// removal still goes through it.
class CallbackLog {
public:
    explicit CallbackLog(WDFDEVICE device)
    {
        plat::wdf::FxDevice* fx = Fx(device);
        original_ = fx->pnpPower;
        current_ = this;
        fx->pnpPower.EvtDevicePrepareHardware = Prepare;
        fx->pnpPower.EvtDeviceReleaseHardware = Release;
        fx->pnpPower.EvtDeviceD0Entry = D0Entry;
        fx->pnpPower.EvtDeviceD0Exit = D0Exit;
        fx->pnpPower.EvtDeviceSurpriseRemoval = SurpriseRemoval;
    }
    ~CallbackLog() { current_ = nullptr; }
    CallbackLog(const CallbackLog&) = delete;
    CallbackLog& operator=(const CallbackLog&) = delete;

    std::vector<std::string> Take()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return std::move(calls_);
    }
    // Adds an entry of the caller's (a packet seen on its way to the driver).
    void Note(std::string entry)
    {
        std::lock_guard<std::mutex> guard(lock_);
        calls_.push_back(std::move(entry));
    }
    int Overlaps() const { return overlaps_.load(); }
    // The target of the last D0 exit.
    WDF_POWER_DEVICE_STATE LastD0ExitTarget() const { return lastExitTarget_.load(); }
    int RaisedIrql() const { return raised_.load(); }

private:
    class Scope {
    public:
        explicit Scope(const char* name)
        {
            CallbackLog& log = *current_;
            if (log.active_.fetch_add(1) != 0) {
                log.overlaps_++;
            }
            if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
                log.raised_++;
            }
            std::lock_guard<std::mutex> guard(log.lock_);
            log.calls_.emplace_back(name);
        }
        ~Scope()
        {
            std::this_thread::yield();  // widen the window in which an overlap would show
            current_->active_.fetch_sub(1);
        }
    };

    static NTSTATUS Prepare(WDFDEVICE device, WDFCMRESLIST raw, WDFCMRESLIST translated)
    {
        Scope scope("prepare");
        return current_->original_.EvtDevicePrepareHardware(device, raw, translated);
    }
    static NTSTATUS Release(WDFDEVICE device, WDFCMRESLIST translated)
    {
        Scope scope("release");
        return current_->original_.EvtDeviceReleaseHardware(device, translated);
    }
    static NTSTATUS D0Entry(WDFDEVICE device, WDF_POWER_DEVICE_STATE previous)
    {
        Scope scope("d0-entry");
        return current_->original_.EvtDeviceD0Entry(device, previous);
    }
    static NTSTATUS D0Exit(WDFDEVICE device, WDF_POWER_DEVICE_STATE target)
    {
        Scope scope("d0-exit");
        current_->lastExitTarget_ = target;
        return current_->original_.EvtDeviceD0Exit(device, target);
    }
    // The driver registers none; the framework calls one when it is there.
    static VOID SurpriseRemoval(WDFDEVICE device)
    {
        Scope scope("surprise-removal");
        if (current_->original_.EvtDeviceSurpriseRemoval != nullptr) {
            current_->original_.EvtDeviceSurpriseRemoval(device);
        }
    }

    static inline CallbackLog* current_ = nullptr;
    WDF_PNPPOWER_EVENT_CALLBACKS original_;
    std::mutex lock_;
    std::vector<std::string> calls_;
    std::atomic<int> active_{0};
    std::atomic<int> overlaps_{0};
    std::atomic<int> raised_{0};
    std::atomic<WDF_POWER_DEVICE_STATE> lastExitTarget_{WdfPowerDeviceInvalid};
};

using Calls = std::vector<std::string>;

enum class Power { Released, Prepared, Working };

// Whether a sequence of callbacks, made from the given state, is one the
// framework could make: hardware prepared before D0, D0 entered and left in
// turn, released only out of D0.
bool FrameworkOrder(const Calls& calls, Power state, std::string* why)
{
    using P = Power;
    for (size_t i = 0; i < calls.size(); ++i) {
        const std::string& call = calls[i];
        if (call == "surprise-removal") {
            continue;
        }
        bool fits = (call == "prepare" && state == P::Released) || (call == "d0-entry" && state == P::Prepared) ||
                    (call == "d0-exit" && state == P::Working) || (call == "release" && state == P::Prepared);
        if (!fits) {
            *why = "call " + std::to_string(i) + " (" + call + ") does not fit";
            return false;
        }
        state = call == "prepare"    ? P::Prepared
                : call == "d0-entry" ? P::Working
                : call == "d0-exit"  ? P::Prepared
                                     : P::Released;
    }
    return true;
}

class Lifecycle : public ClientBed {
protected:
    void TearDown() override
    {
        ClientBed::TearDown();
        // Evaluation threads that have finished are joined, so none outlives the test.
        EXPECT_TRUE(plat::acpi::WaitForEvaluations(10s));
    }

    plat::acpi::AcpiDevice& Below(size_t index = 0) { return *plat::acpi::DeviceBelow(Fx(Device(index))->lower); }

    // A fresh machine with a fresh native firmware, the driver loaded and one device added.
    void FreshMachine()
    {
        firmware = plat::MakeNativeFirmware();  // the old one ends with its machine
        NewMachine(firmware);
        LoadAndAdd();
    }

    // The entry a client reads, as {mode, value1, value2, value3}.
    static std::array<uint32_t, 4> Entry(Client& client)
    {
        TVRX_DEVICE_MODE_ENTRY_INFO info{};
        Reply reply = client.GetEntry(&info);
        EXPECT_EQ(reply.status, STATUS_SUCCESS);
        return {info.DeviceMode, info.Value1, info.Value2, info.Value3};
    }

    static std::array<uint32_t, 4> Expected(const plat::DeviceModeEntry& entry)
    {
        return {uint32_t(entry.mode), uint32_t(entry.value1), uint32_t(entry.value2), uint32_t(entry.value3)};
    }

    std::unique_ptr<CallbackLog> log;
};

// The _DSM evaluations a start cannot do without, in order: supported
// functions, device mode, and the three tables.
const std::vector<std::pair<uint64_t, uint64_t>> kEssentialCalls = {{0, 0}, {1, 0}, {2, 0}, {2, 1}, {2, 2}};

// Every fallible call of a first start (the BIOS changed, so the SAR table is
// exported), failed in turn. A failure before the device mode and all three
// tables are read fails the start with the device closed to clients and the
// ACPI interface given back, and release-hardware follows (KMDF); a failure
// of the export or of the BIOS check does not; a failed notification
// registration fails the power-up. A failed start removes the stack (the
// Plug and Play manager sends IRP_MN_REMOVE_DEVICE after a failed
// IRP_MN_START_DEVICE) and the device node keeps CM_PROB_FAILED_START; the
// next start adds the device again.
TEST_F(Lifecycle, EveryFailureOnTheStartPathLeavesTheStateTheDriverPromises)
{
    LoadAndAdd();
    plat::fault::Reset();
    ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    std::map<std::string, uint64_t> counts = plat::fault::Counts();
    UnloadClean();
    EXPECT_EQ(counts["WdfFdoQueryForInterface"], 1u);
    EXPECT_EQ(counts["WdfIoTargetSendIoctlSynchronously"], 6u) << "functions 0, 1, three tables, 3";
    EXPECT_EQ(counts["RegisterForDeviceNotifications"], 1u);
    for (const char* point : {"ZwCreateFile", "ZwWriteFile", "MmMapIoSpace", "WdfRegistryAssignULong",
                              "WdfRegistryAssignString", "RtlQueryRegistryValues", "WdfMemoryCreate"}) {
        EXPECT_GT(counts[point], 0u) << point << " is not on the start path any more";
    }

    constexpr NTSTATUS kInjected = STATUS_DEVICE_BUSY;
    for (const auto& [point, count] : counts) {
        for (uint64_t nth = 1; nth <= count; ++nth) {
            SCOPED_TRACE(point + " #" + std::to_string(nth));
            FreshMachine();
            log = std::make_unique<CallbackLog>(Device());
            std::shared_ptr<plat::acpi::AcpiDevice> below = plat::acpi::DeviceBelow(Fx(Device())->lower);
            plat::fault::Reset();
            plat::fault::FailNth(point, nth, kInjected);
            NTSTATUS status = host->Start();
            Calls callbacks = log->Take();

            std::vector<std::pair<uint64_t, uint64_t>> calls;
            bool functionThree = false;
            for (const NativeFirmware::DsmCall& call : firmware->Calls()) {
                functionThree = functionThree || call.function == 3;
                if (call.function <= 2) {
                    calls.emplace_back(call.function, call.argument);
                }
            }
            ASSERT_LE(calls.size(), kEssentialCalls.size());
            EXPECT_TRUE(std::equal(calls.begin(), calls.end(), kEssentialCalls.begin()))
                << "the start reads in order and stops at the first failure";

            if (point == "RegisterForDeviceNotifications") {
                EXPECT_EQ(status, kInjected);
                EXPECT_EQ(calls.size(), kEssentialCalls.size());
                // Released after the failed power-up, without D0 exit.
                EXPECT_EQ(callbacks, (Calls{"prepare", "d0-entry", "release"}));
            } else if (calls.size() < kEssentialCalls.size()) {
                EXPECT_NE(status, STATUS_SUCCESS);
                // KMDF's FailedOwnHardware state calls EvtDeviceReleaseHardware
                // after a failed EvtDevicePrepareHardware.
                EXPECT_EQ(callbacks, (Calls{"prepare", "release"}));
                EXPECT_FALSE(functionThree);
                if (point == "WdfFdoQueryForInterface") {
                    EXPECT_TRUE(calls.empty()) << "no _DSM without the interface";
                }
            } else {
                EXPECT_EQ(status, STATUS_SUCCESS) << "nothing after the table read may fail the start";
                EXPECT_EQ(View().deviceState, ULONG(debugview::kDevicePrepared));
                EXPECT_EQ(View().currentDeviceMode, 1u);
                EXPECT_TRUE(View().notificationsRegistered);
                EXPECT_TRUE(below->HandlerRegistered());
                EXPECT_EQ(below->InterfaceReferences(), 1);
            }

            if (status != STATUS_SUCCESS) {
                EXPECT_FALSE(below->HandlerRegistered());
                EXPECT_EQ(below->InterfaceReferences(), 0) << "the interface is given back";
                EXPECT_TRUE(TavrixInterfacePath().empty()) << "a device that did not start cannot be opened";
                EXPECT_EQ(Device(), nullptr) << "the failed start removed the stack";
                EXPECT_EQ(host->Problem(), ULONG(plat::pnp::kProblemFailedStart));

                plat::fault::Reset();
                EXPECT_EQ(host->Start(), STATUS_SUCCESS) << "the next start adds the device again";
                EXPECT_EQ(View().deviceState, ULONG(debugview::kDevicePrepared));
                EXPECT_TRUE(Below().HandlerRegistered());
                EXPECT_EQ(Below().InterfaceReferences(), 1);
                EXPECT_EQ(host->Problem(), ULONG(plat::pnp::kProblemNone));
            }
            UnloadClean();
            log.reset();
        }
    }
}

// A registration that fails keeps the device out of D0, at a start and at a
// resume; the next D0 entry registers. A failed start removes the stack (the
// Plug and Play manager sends IRP_MN_REMOVE_DEVICE when a driver fails
// IRP_MN_START_DEVICE), so its failure shows on the ACPI device below (no
// handler, the interface given back) and the next start registers on a new
// device. A failed power-up keeps the stack (KMDF's Failed state).
TEST_F(Lifecycle, FailedRegistrationKeepsTheDeviceOutOfD0UntilTheNextEntry)
{
    LoadAndAdd();
    std::shared_ptr<plat::acpi::AcpiDevice> first = plat::acpi::DeviceBelow(Fx(Device())->lower);
    plat::fault::FailNth("RegisterForDeviceNotifications", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(host->Start(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(first->HandlerRegistered());
    EXPECT_FALSE(host->Started());
    EXPECT_EQ(first->InterfaceReferences(), 0);

    ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    EXPECT_TRUE(View().notificationsRegistered);
    EXPECT_TRUE(Below().HandlerRegistered());

    // A client that stays open through a failed power-up.
    Client client("client");
    HANDLE event = nullptr;
    ASSERT_EQ(client.OpenWithEvent(&event), STATUS_SUCCESS);
    ASSERT_EQ(host->Sleep(), STATUS_SUCCESS);
    plat::fault::FailNth("RegisterForDeviceNotifications", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(host->Resume(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(View().notificationsRegistered);
    EXPECT_FALSE(Below().HandlerRegistered());
    EXPECT_EQ(View().deviceState, ULONG(debugview::kDeviceReleased));
    EXPECT_EQ(Below().InterfaceReferences(), 0) << "a device that failed to power up releases its hardware";
    EXPECT_FALSE(host->Started());
    EXPECT_EQ(host->Resume(), STATUS_INVALID_DEVICE_STATE);

    // The failed device's power-managed queue is purged (KMDF's Failed state):
    // a request on the open handle fails at once instead of waiting. Restarting
    // the device registers again and answers the client again.
    TVRX_DEVICE_MODE_ENTRY_INFO info{};
    EXPECT_EQ(client.GetEntry(&info).status, STATUS_INVALID_DEVICE_STATE);
    firmware->SetDeviceMode(3);
    ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    EXPECT_EQ(Entry(client), Expected(NativeFirmware::DefaultTable(0).entries[3]));
    EXPECT_TRUE(View().notificationsRegistered);
    firmware->Notify(0x80);
    EXPECT_TRUE(client.WaitSignal(event));
}

// An upper filter on the device's stack: every packet passes through it on
// its way down; it notes the Plug and Play and power ones in the log, so the
// log shows each packet before the callbacks it leads to.
class PacketFilter {
public:
    PacketFilter(WDFDEVICE device, CallbackLog& log)
    {
        log_ = &log;
        for (plat::io::DispatchRoutine& routine : driver_.majorFunction) {
            routine = PassDown;
        }
        object_.driver = &driver_;
        plat::io::IoAttachDevice(&object_, &Fx(device)->deviceObject);
    }
    ~PacketFilter()
    {
        log_ = nullptr;
        before_ = nullptr;
    }

    // Runs `action` when the next Plug and Play packet of the minor code
    // reaches the filter, before the driver below sees it; a failure status
    // from it completes the packet with that status (the filter refuses it).
    void Before(UCHAR minor, std::function<NTSTATUS()> action)
    {
        beforeMinor_ = minor;
        before_ = std::move(action);
    }

private:
    static std::string Name(const plat::io::Irp* irp)
    {
        if (irp->major == plat::io::kMjPower) {
            bool system = irp->power.type == plat::io::kSystemPowerState;
            return std::string("set-power ") + (system ? "S" : "D") + std::to_string(irp->power.state - 1);
        }
        switch (irp->minor) {
        case plat::io::kMnStartDevice: return "start-device";
        case plat::io::kMnQueryStopDevice: return "query-stop";
        case plat::io::kMnStopDevice: return "stop-device";
        case plat::io::kMnCancelStopDevice: return "cancel-stop";
        case plat::io::kMnQueryRemoveDevice: return "query-remove";
        case plat::io::kMnRemoveDevice: return "remove-device";
        case plat::io::kMnCancelRemoveDevice: return "cancel-remove";
        case plat::io::kMnSurpriseRemoval: return "surprise-removal-packet";
        default: return "pnp " + std::to_string(irp->minor);
        }
    }
    static NTSTATUS PassDown(plat::io::DeviceObject* device, plat::io::Irp* irp)
    {
        if ((irp->major == plat::io::kMjPnp || irp->major == plat::io::kMjPower) && log_ != nullptr) {
            log_->Note(Name(irp));
        }
        if (irp->major == plat::io::kMjPnp && irp->minor == beforeMinor_ && before_) {
            std::function<NTSTATUS()> action = std::move(before_);
            before_ = nullptr;
            NTSTATUS status = action();
            if (!NT_SUCCESS(status)) {
                return plat::io::CompleteWith(irp, status);
            }
        }
        return plat::io::IoCallDriver(device->lower, irp);
    }

    static inline CallbackLog* log_ = nullptr;
    static inline UCHAR beforeMinor_ = 0;
    static inline std::function<NTSTATUS()> before_;
    plat::io::DriverObject driver_;
    plat::io::DeviceObject object_;
};

// The host drives the callbacks in the framework's order, and a transition
// that does not fit the device's state changes nothing.
TEST_F(Lifecycle, TransitionsFollowTheFrameworkAndRefuseWhatDoesNotFit)
{
    LoadAndAdd();
    log = std::make_unique<CallbackLog>(Device());
    EXPECT_EQ(host->Sleep(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(host->Resume(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(host->Stop(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(log->Take(), Calls{});

    ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    EXPECT_EQ(host->Start(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(host->Resume(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(log->Take(), (Calls{"prepare", "d0-entry"}));

    ASSERT_EQ(host->Sleep(), STATUS_SUCCESS);
    EXPECT_EQ(host->Sleep(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(host->Start(), STATUS_INVALID_DEVICE_STATE);
    ASSERT_EQ(host->Resume(), STATUS_SUCCESS);
    EXPECT_EQ(log->Take(), (Calls{"d0-exit", "d0-entry"}));

    // A stop out of D0 only releases the hardware; a restart prepares it again.
    ASSERT_EQ(host->Sleep(), STATUS_SUCCESS);
    ASSERT_EQ(host->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(host->Stop(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(host->Resume(), STATUS_INVALID_DEVICE_STATE);
    ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    ASSERT_EQ(host->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(log->Take(), (Calls{"d0-exit", "release", "prepare", "d0-entry", "d0-exit", "release"}));

    // A failed preparation is released (KMDF's FailedOwnHardware state); a
    // failed restart after a stop is a surprise removal (the failed start of
    // a stack that ran before: IWDTFPnPAction2::EDTTryStopDeviceFailRestart).
    plat::fault::FailNth("WdfFdoQueryForInterface", 1, STATUS_NOINTERFACE);
    EXPECT_EQ(host->Start(), STATUS_NOINTERFACE);
    EXPECT_EQ(host->Sleep(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(host->Resume(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(host->Stop(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(log->Take(), (Calls{"prepare", "release", "surprise-removal"}));

    // The next start adds a new device, outside this log.
    ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    log.reset();
    log = std::make_unique<CallbackLog>(Device());
    ASSERT_EQ(host->Sleep(), STATUS_SUCCESS);
    ASSERT_EQ(host->Remove(), STATUS_SUCCESS);
    EXPECT_EQ(log->Take(), (Calls{"d0-exit", "release"}));
    EXPECT_EQ(host->DeviceCount(), 0u);
    EXPECT_EQ(log->RaisedIrql(), 0);
}

// Each device action reaches the driver as packets sent to the top of its
// stack, and each packet as the callbacks a function driver gets for it
// (Microsoft's "PnP and power management scenarios" for a KMDF function
// driver): a start prepares the hardware and enters D0; a sleep is a system
// power packet the power policy owner turns into a device one (D3) before
// D0 exit, a wake the same to D0; a stop for rebalance is queried first; a
// removal is queried, vetoed for an open handle and cancelled, else removed
// out of D0 with the hardware released; a surprise removal is announced,
// and its removal follows once the last handle has closed.
TEST_F(Lifecycle, EachActionReachesTheDriverAsPacketsThenCallbacks)
{
    LoadAndAdd();
    log = std::make_unique<CallbackLog>(Device());
    PacketFilter filter(Device(), *log);

    ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    EXPECT_EQ(log->Take(), (Calls{"start-device", "prepare", "d0-entry"}));
    ASSERT_EQ(host->Sleep(), STATUS_SUCCESS);
    EXPECT_EQ(log->Take(), (Calls{"set-power S3", "set-power D3", "d0-exit"}));
    EXPECT_EQ(log->LastD0ExitTarget(), WdfPowerDeviceD3);
    ASSERT_EQ(host->Resume(), STATUS_SUCCESS);
    EXPECT_EQ(log->Take(), (Calls{"set-power S0", "set-power D0", "d0-entry"}));
    ASSERT_EQ(host->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(log->Take(), (Calls{"query-stop", "stop-device", "d0-exit", "release"}));
    EXPECT_EQ(log->LastD0ExitTarget(), WdfPowerDeviceD3Final);
    ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    EXPECT_EQ(log->Take(), (Calls{"start-device", "prepare", "d0-entry"}));

    Client client("client");
    ASSERT_EQ(client.Open(), STATUS_SUCCESS);
    log->Take();  // the open's packet is not a Plug and Play one
    EXPECT_EQ(host->Remove(), STATUS_PLUGPLAY_QUERY_VETOED);
    EXPECT_EQ(log->Take(), (Calls{"query-remove", "cancel-remove"}));
    client.Close();
    ASSERT_EQ(host->Remove(), STATUS_SUCCESS);
    EXPECT_EQ(log->Take(), (Calls{"query-remove", "remove-device", "d0-exit", "release"}));
    EXPECT_EQ(log->Overlaps(), 0);
}

// A stop queried and then called off (a rebalance another device vetoed, or
// a driver above that refused the query). KMDF calls nothing of a driver
// without EvtDeviceQueryStop for either packet (QueryStopStaticCheck,
// QueryStopAskDriver, QueryStopPending, then QueryCanceled back to Started;
// a cancel without the query, when a driver above failed it, goes straight
// back to Started) and stops its queues only with the stop itself: a request
// sent between the query and the cancel is served, not held.
TEST_F(Lifecycle, CalledOffStopLeavesTheDeviceServing)
{
    Boot();
    // Opened before the filter attaches, so its requests go straight to the device.
    Client client("client");
    ASSERT_EQ(client.Open(), STATUS_SUCCESS);
    log = std::make_unique<CallbackLog>(Device());
    PacketFilter filter(Device(), *log);
    const auto entry = Expected(NativeFirmware::DefaultTable(0).entries[1]);
    EXPECT_EQ(Entry(client), entry);

    std::atomic<bool> answered{false};
    size_t heldBeforeCancel = 0;
    std::thread request;
    filter.Before(plat::io::kMnCancelStopDevice, [&] {
        request = std::thread([&] {
            EXPECT_EQ(Entry(client), entry);
            answered = true;
        });
        // Served, or held for a stop that is not coming: whichever shows first.
        while (!answered && (heldBeforeCancel = debugview::HeldRequests(Device())) == 0) {
            std::this_thread::yield();
        }
        return STATUS_SUCCESS;
    });
    NTSTATUS status = host->QueryStopThenCancel();
    if (request.joinable()) {
        request.join();
    }
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_TRUE(answered);
    EXPECT_EQ(heldBeforeCancel, 0u) << "the query stopped the queue";
    EXPECT_EQ(log->Take(), (Calls{"query-stop", "cancel-stop"}));
    EXPECT_TRUE(host->InD0());
    EXPECT_EQ(Entry(client), entry);

    // A driver above refuses the query: the stop is called off and says why.
    filter.Before(plat::io::kMnQueryStopDevice, [] { return STATUS_DEVICE_BUSY; });
    EXPECT_EQ(host->Stop(), STATUS_DEVICE_BUSY);
    EXPECT_EQ(log->Take(), (Calls{"query-stop", "cancel-stop"}));
    EXPECT_EQ(Entry(client), entry);

    // Nothing of either is left over: the next stop is a whole one.
    ASSERT_EQ(host->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(host->QueryStopThenCancel(), STATUS_INVALID_DEVICE_STATE);
    ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    EXPECT_EQ(log->Take(), (Calls{"query-stop", "stop-device", "d0-exit", "release", "start-device", "prepare",
                                  "d0-entry"}));
    EXPECT_EQ(Entry(client), entry);
    client.Close();
    EXPECT_EQ(host->Remove(), STATUS_SUCCESS);  // while the filter is still in the stack
}

TEST_F(Lifecycle, SurpriseRemovalIsAnnouncedThenRemovedAfterTheLastClose)
{
    Boot();
    log = std::make_unique<CallbackLog>(Device());
    PacketFilter filter(Device(), *log);
    Client client("client");
    ASSERT_EQ(client.Open(), STATUS_SUCCESS);
    ASSERT_EQ(host->SurpriseRemove(), STATUS_SUCCESS);
    EXPECT_EQ(log->Take(), (Calls{"surprise-removal-packet", "surprise-removal", "d0-exit", "release"}));
    client.Close();
    ASSERT_TRUE(host->WaitForRemovals(10s));
    EXPECT_EQ(log->Take(), (Calls{"remove-device"}));
}

// After a sleep the device admits new clients again once it is back in D0,
// so a client program started after the resume can reach it; while it is out
// of D0, or after a failed power-up released its hardware, opens are refused.
TEST_F(Lifecycle, ClientStartedAfterAResumeCanOpen)
{
    Boot();
    Client early("early");
    HANDLE earlyEvent = nullptr;
    ASSERT_EQ(early.OpenWithEvent(&earlyEvent), STATUS_SUCCESS);

    Client late("late");
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(host->Sleep(), STATUS_SUCCESS);
        EXPECT_EQ(late.Open(), STATUS_INVALID_DEVICE_STATE) << "out of D0";
        ASSERT_EQ(host->Resume(), STATUS_SUCCESS);
        EXPECT_EQ(View().deviceState, ULONG(debugview::kDevicePrepared));
        ASSERT_EQ(late.Open(), STATUS_SUCCESS) << "round " << round;
        late.Close();
    }

    // The late client registers and is woken like the early one.
    HANDLE lateEvent = nullptr;
    ASSERT_EQ(late.OpenWithEvent(&lateEvent), STATUS_SUCCESS);
    ASSERT_TRUE(plat::wdf::WaitForWorkItemsIdle(10s));
    early.TakeSignal(earlyEvent);
    firmware->SetDeviceMode(2);
    firmware->Notify(0x80);
    EXPECT_TRUE(late.WaitSignal(lateEvent));
    EXPECT_TRUE(early.WaitSignal(earlyEvent));
    EXPECT_EQ(Entry(late), Expected(NativeFirmware::DefaultTable(0).entries[2]));
    late.Close();
    late.CloseObject(lateEvent);

    // A power-up that fails releases the hardware: no new client until a start.
    ASSERT_EQ(host->Sleep(), STATUS_SUCCESS);
    plat::fault::FailNth("RegisterForDeviceNotifications", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(host->Resume(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(View().deviceState, ULONG(debugview::kDeviceReleased));
    EXPECT_NE(late.Open(), STATUS_SUCCESS) << "its interface is withdrawn too";
    ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    EXPECT_EQ(late.Open(), STATUS_SUCCESS);
    late.Close();
    early.Close();
    early.CloseObject(earlyEvent);
}

// An interface without UnregisterForDeviceNotifications is refused at D0
// entry: a handler that D0 exit could not unregister would stay with the ACPI
// driver past the device's deletion, and its next Notify would reach a
// deleted device. The entry fails, so the device is out of service until a
// start queries the interface again.
TEST_F(Lifecycle, InterfaceWithoutUnregisterRoutineIsRefusedAtD0Entry)
{
    Boot();
    ASSERT_EQ(host->Sleep(), STATUS_SUCCESS);
    // No machine hands out such an interface: the routine is taken out of the
    // driver's copy, as a debugger would write it.
    debugview::PokeAcpiUnregisterRoutineAway(Device());
    plat::fault::Reset();
    EXPECT_EQ(host->Resume(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(plat::fault::Counts()["RegisterForDeviceNotifications"], 0u);
    EXPECT_FALSE(Below().HandlerRegistered());
    EXPECT_FALSE(View().notificationsRegistered);
    EXPECT_EQ(View().deviceState, ULONG(debugview::kDeviceReleased));

    ASSERT_EQ(host->Start(), STATUS_SUCCESS);  // a whole interface again
    EXPECT_TRUE(Below().HandlerRegistered());
    UnloadClean();
    EXPECT_EQ(host->DeviceCount(), 0u);
}

// Power-managed queue: a request sent while the device is out of D0 waits
// and is presented once the device is back; a request in progress when the
// device leaves D0 finishes first.
TEST_F(Lifecycle, RequestsSentOutOfD0WaitForThePowerUp)
{
    Boot();
    Client client("client");
    ASSERT_EQ(client.Open(), STATUS_SUCCESS);
    ASSERT_EQ(host->Sleep(), STATUS_SUCCESS);

    std::atomic<bool> answered{false};
    std::thread request([&] {
        EXPECT_EQ(Entry(client), Expected(NativeFirmware::DefaultTable(0).entries[1]));
        answered = true;
    });
    WaitUntilQueueHolds(Device());
    EXPECT_FALSE(answered) << "presented while the device is out of D0";
    ASSERT_EQ(host->Resume(), STATUS_SUCCESS);
    request.join();
    EXPECT_TRUE(answered);

    // Requests racing the transitions are all answered, none lost or failed.
    std::atomic<bool> done{false};
    std::atomic<int> failed{0}, served{0};
    std::thread sender([&] {
        while (!done) {
            TVRX_DEVICE_MODE_ENTRY_INFO info{};
            if (client.GetEntry(&info).status != STATUS_SUCCESS) {
                failed++;
            }
            served++;
        }
    });
    for (int i = 0; (i < 20 || served < 50) && i < 100000; ++i) {
        ASSERT_EQ(host->Sleep(), STATUS_SUCCESS);
        ASSERT_EQ(host->Resume(), STATUS_SUCCESS);
    }
    done = true;
    sender.join();
    EXPECT_EQ(failed, 0);
    EXPECT_GE(served, 50);
}

// Removal is vetoed while a client holds a handle; once the handle is
// closed the device goes, releasing everything it took from below.
TEST_F(Lifecycle, RemovalIsVetoedWhileAHandleIsOpen)
{
    Boot();
    Client client("client");
    ASSERT_EQ(client.Open(), STATUS_SUCCESS);
    auto below = plat::acpi::DeviceBelow(Fx(Device())->lower);

    EXPECT_EQ(host->Remove(), STATUS_PLUGPLAY_QUERY_VETOED);
    EXPECT_EQ(host->DeviceCount(), 1u);
    EXPECT_TRUE(host->InD0());
    EXPECT_TRUE(below->HandlerRegistered());
    TVRX_DEVICE_MODE_ENTRY_INFO info{};
    EXPECT_EQ(client.GetEntry(&info).status, STATUS_SUCCESS) << "a vetoed removal leaves the device working";

    // A stopped device is vetoed the same way.
    ASSERT_EQ(host->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(host->Remove(), STATUS_PLUGPLAY_QUERY_VETOED);
    ASSERT_EQ(host->Start(), STATUS_SUCCESS);

    client.Close();
    EXPECT_EQ(host->Remove(), STATUS_SUCCESS);
    EXPECT_EQ(host->DeviceCount(), 0u);
    EXPECT_FALSE(below->HandlerRegistered());
    EXPECT_EQ(below->InterfaceReferences(), 0);
    EXPECT_TRUE(TavrixInterfacePath().empty());
    EXPECT_EQ(host->Device(), nullptr);
}

// Unload with handles open (which Windows does not allow: the driver would stay
// loaded until they close) surprise-removes the device first, so the waiting
// request is cancelled by the purge of the power-managed queue, then the
// device goes with the image: the driver closes every instance, and the
// handles name a file without a device.
TEST_F(Lifecycle, UnloadClosesWhatClientsLeftOpen)
{
    Boot();
    Client open("open"), waiting("waiting");
    ASSERT_EQ(open.Open(), STATUS_SUCCESS);
    ASSERT_EQ(waiting.Open(), STATUS_SUCCESS);
    HANDLE event = open.NewEvent();
    ASSERT_EQ(open.Register(event), STATUS_SUCCESS);
    ASSERT_EQ(host->Sleep(), STATUS_SUCCESS);

    Reply held;
    std::thread request([&] {
        TVRX_DEVICE_MODE_ENTRY_INFO info{};
        held = waiting.GetEntry(&info);
    });
    WaitUntilQueueHolds(Device());
    UnloadClean();
    request.join();
    EXPECT_EQ(held.status, STATUS_CANCELLED);

    TVRX_DEVICE_MODE_ENTRY_INFO info{};
    EXPECT_EQ(open.GetEntry(&info).status, STATUS_DEVICE_DOES_NOT_EXIST);
    open.Close();
    waiting.Close();
    open.CloseObject(event);
}

// Load, add, start, clients, sleep and resume, stop and restart with new
// firmware tables, removal and unload: what each step promises to clients.
TEST_F(Lifecycle, WholeLifeAsClientsSeeIt)
{
    Boot();
    Client a("a"), b("b");
    ASSERT_EQ(a.Open(), STATUS_SUCCESS);
    ASSERT_EQ(b.Open(), STATUS_SUCCESS);
    ASSERT_EQ(b.SetRegulatoryType(2), STATUS_SUCCESS);
    HANDLE eventA = a.NewEvent(), eventB = b.NewEvent();
    ASSERT_EQ(a.Register(eventA), STATUS_SUCCESS);
    ASSERT_EQ(b.Register(eventB), STATUS_SUCCESS);
    EXPECT_EQ(Entry(b), Expected(NativeFirmware::DefaultTable(2).entries[1]));

    // Asleep: a mode change goes unseen and new clients stay out. The resume
    // reads the mode once and wakes the clients, and admits new clients again
    // (the hardware is still prepared).
    ASSERT_EQ(host->Sleep(), STATUS_SUCCESS);
    EXPECT_EQ(View().deviceState, ULONG(debugview::kDeviceReleased));
    firmware->SetDeviceMode(2);
    firmware->Notify(0x80);
    ASSERT_TRUE(Below().WaitNotificationsIdle());
    ASSERT_TRUE(plat::wdf::WaitForWorkItemsIdle(10s));
    EXPECT_FALSE(a.TakeSignal(eventA));
    Client late("late");
    EXPECT_EQ(late.Open(), STATUS_INVALID_DEVICE_STATE);
    ASSERT_EQ(host->Resume(), STATUS_SUCCESS);
    EXPECT_EQ(View().deviceState, ULONG(debugview::kDevicePrepared));
    EXPECT_TRUE(a.WaitSignal(eventA));
    EXPECT_TRUE(b.WaitSignal(eventB));
    EXPECT_EQ(Entry(a), Expected(NativeFirmware::DefaultTable(2).entries[2])) << "b's type decides for all";
    EXPECT_EQ(late.Open(), STATUS_SUCCESS);
    late.Close();

    // Stopped, the firmware gets new tables and another mode; the restart
    // reads them, and the clients that stayed open see them. The interface
    // stays enabled while stopped (KMDF disables interfaces only on the
    // failure and removal paths), so a new open reaches the driver, which
    // refuses it: its hardware is released.
    ASSERT_EQ(host->Stop(), STATUS_SUCCESS);
    EXPECT_FALSE(TavrixInterfacePath().empty());
    EXPECT_EQ(late.Open(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_FALSE(View().acpiInterfaceAcquired) << "release-hardware gives the interface back";
    EXPECT_EQ(Below().InterfaceReferences(), 0);
    plat::DeviceModeTable table = Table(0x33, {{0, 1, 2, 3}, {1, 11, 12, 13}, {2, 21, 22, 23}, {3, 31, 32, 33}});
    firmware->SetTable(2, table);
    firmware->SetDeviceMode(3);
    ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    EXPECT_EQ(View().deviceState, ULONG(debugview::kDevicePrepared));
    EXPECT_EQ(View().currentDeviceMode, 3u);
    EXPECT_EQ(Below().InterfaceReferences(), 1) << "taken again, once";
    EXPECT_EQ(View().tables[2].tag, 0x33);
    EXPECT_EQ(View().tables[2].entryCount, 4u);
    EXPECT_EQ(Entry(b), Expected(table.entries[3]));
    EXPECT_EQ(Entry(a), Expected(table.entries[3]));
    EXPECT_EQ(late.Open(), STATUS_SUCCESS) << "a new start admits new clients too";
    firmware->SetDeviceMode(0);
    firmware->Notify(0x80);
    EXPECT_TRUE(b.WaitSignal(eventB));
    EXPECT_EQ(Entry(b), Expected(table.entries[0]));

    a.Close();
    b.Close();
    late.Close();
    auto below = plat::acpi::DeviceBelow(Fx(Device())->lower);
    ASSERT_EQ(host->Remove(), STATUS_SUCCESS);
    EXPECT_EQ(below->InterfaceReferences(), 0);
    a.CloseObject(eventA);
    b.CloseObject(eventB);
    UnloadClean();
}

// KMDF undoes a failed start with release-hardware: after a failed
// EvtDevicePrepareHardware (the FailedOwnHardware state) and after a failed
// EvtDeviceD0Entry, without EvtDeviceD0Exit for a D0 the device never reached.
// Either way the start fails and the Plug and Play manager removes the stack
// (Microsoft's IRP_MN_REMOVE_DEVICE reference: it is sent when a driver of the
// stack fails IRP_MN_START_DEVICE, and may reach a device that never
// started); the interface was never enabled, and the next start adds the
// device again.
TEST_F(Lifecycle, FailedStartIsUndoneByReleaseHardware)
{
    LoadAndAdd();
    log = std::make_unique<CallbackLog>(Device());
    PacketFilter filter(Device(), *log);
    std::shared_ptr<plat::acpi::AcpiDevice> below = plat::acpi::DeviceBelow(Fx(Device())->lower);
    plat::fault::FailNth("WdfIoTargetSendIoctlSynchronously", 3, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(host->Start(), STATUS_IO_DEVICE_ERROR);
    // A stack that never started hears the remove alone, no surprise removal.
    EXPECT_EQ(log->Take(), (Calls{"start-device", "prepare", "release", "remove-device"}));
    EXPECT_EQ(below->InterfaceReferences(), 0) << "given back once, by prepare-hardware's failure exit";
    EXPECT_TRUE(TavrixInterfacePath().empty());

    // The second device fails in D0 entry.
    plat::fault::FailNth("RegisterForDeviceNotifications", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(host->Start(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(host->Problem(), ULONG(plat::pnp::kProblemFailedStart));
    EXPECT_TRUE(TavrixInterfacePath().empty());

    ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    EXPECT_EQ(Below().InterfaceReferences(), 1);
    Client client("client");
    EXPECT_EQ(client.Open(), STATUS_SUCCESS);
}

// Watches the driver's device add as the Plug and Play manager calls it: each
// device added from now on, with its context as the add left it. The driver
// object keeps the hook until it is unloaded.
class AddWatch {
public:
    struct Added {
        WDFDEVICE device;
        std::tuple<uint32_t, uint32_t, uint32_t, bool, uint32_t, bool, bool, int64_t, bool> context;
    };

    AddWatch()
    {
        current_ = this;
        plat::wdf::FxDriver* driver = plat::wdf::CurrentDriver();
        original_ = driver->config.EvtDriverDeviceAdd;
        driver->config.EvtDriverDeviceAdd = Add;
    }
    ~AddWatch() { current_ = nullptr; }
    AddWatch(const AddWatch&) = delete;
    AddWatch& operator=(const AddWatch&) = delete;

    std::vector<Added> added;

private:
    static NTSTATUS Add(WDFDRIVER driver, PWDFDEVICE_INIT init)
    {
        std::vector<plat::wdf::FxDevice*> before = plat::wdf::LiveDevices();
        NTSTATUS status = original_(driver, init);
        for (plat::wdf::FxDevice* device : plat::wdf::LiveDevices()) {
            if (current_ != nullptr && std::find(before.begin(), before.end(), device) == before.end()) {
                auto handle = static_cast<WDFDEVICE>(device->handle);
                debugview::Device c = debugview::ReadDeviceAtRest(handle);  // inside device add: nothing runs yet
                current_->added.push_back(
                    {handle, {c.deviceState, c.currentDeviceMode, c.regulatoryType, c.tablesValid, c.sarTableAddress,
                              c.acpiInterfaceAcquired, c.notificationsRegistered, c.modeRecord, c.hardwarePrepared}});
            }
        }
        return status;
    }

    static inline AddWatch* current_ = nullptr;
    static inline PFN_WDF_DRIVER_DEVICE_ADD original_ = nullptr;
};

// A restart that fails after a stop: the Plug and Play manager surprise-removes
// the stack (a failed IRP_MN_START_DEVICE after a rebalance stop, Microsoft's
// IWDTFPnPAction2::EDTTryStopDeviceFailRestart), sends IRP_MN_REMOVE_DEVICE
// once its last handle has closed, and the device node keeps
// CM_PROB_FAILED_START. The next start calls the driver's device add again: a
// new device whose context starts as the first add's did, whatever the old
// one held. A handle opened before stays with the old device: its requests
// fail with STATUS_INVALID_DEVICE_STATE (KMDF's Failed state purged the
// queue, and FxIoQueue::QueueRequest fails what a queue that accepts no
// requests gets), also after the restart, and its close lets the old stack go.
TEST_F(Lifecycle, RestartAfterAFailedStartAddsAFreshDeviceWhileOldHandlesStayDead)
{
    ASSERT_EQ(host->Load(), STATUS_SUCCESS);
    AddWatch adds;
    ASSERT_EQ(host->AddDevice(), STATUS_SUCCESS);
    ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    Client early("early");
    ASSERT_EQ(early.Open(), STATUS_SUCCESS);
    ASSERT_EQ(early.SetRegulatoryType(1), STATUS_SUCCESS);
    firmware->SetDeviceMode(3);
    firmware->Notify(0x80);
    ASSERT_TRUE(Below().WaitNotificationsIdle());
    ASSERT_TRUE(plat::wdf::WaitForWorkItemsIdle(10s));
    ASSERT_EQ(View().currentDeviceMode, 3u);
    ASSERT_EQ(View().regulatoryType, 1u);

    ASSERT_EQ(host->Stop(), STATUS_SUCCESS);
    plat::fault::FailNth("WdfFdoQueryForInterface", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(host->Start(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(host->DeviceStatus(), plat::Host::Status::Failed);
    EXPECT_EQ(host->Problem(), ULONG(plat::pnp::kProblemFailedStart));
    EXPECT_EQ(Device(), nullptr);
    EXPECT_EQ(host->RemovalsPending(), 1u) << "the old stack waits for the early handle";
    TVRX_DEVICE_MODE_ENTRY_INFO info{};
    EXPECT_EQ(early.GetEntry(&info).status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(host->Stop(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(host->Sleep(), STATUS_INVALID_DEVICE_STATE);
    // A debugger looking at the old device (the early handle keeps it) finds
    // the failed start's mode 0, not the mode read before the stop.
    EXPECT_EQ(debugview::ReadDevice(adds.added[0].device).currentDeviceMode, 0u);

    // A device add that fails leaves the node without a stack, now with
    // CM_PROB_FAILED_ADD; the start after it adds again.
    plat::fault::FailNth("WdfDeviceCreate", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(host->Start(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(host->Problem(), ULONG(plat::pnp::kProblemFailedAdd));
    EXPECT_EQ(Device(), nullptr);

    firmware->SetDeviceMode(2);
    ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    EXPECT_EQ(host->Problem(), ULONG(plat::pnp::kProblemNone));
    ASSERT_EQ(adds.added.size(), 2u) << "the restart adds the device again";
    EXPECT_EQ(adds.added[1].context, adds.added[0].context) << "the new context starts as a first add's";
    EXPECT_EQ(std::get<1>(adds.added[1].context), 0u);
    EXPECT_EQ(std::get<2>(adds.added[1].context), 0u);
    EXPECT_EQ(Device(), adds.added[1].device);
    EXPECT_EQ(View().regulatoryType, 0u) << "the old device's regulatory type stayed with it";

    EXPECT_EQ(early.GetEntry(&info).status, STATUS_INVALID_DEVICE_STATE) << "the old handle stays dead";
    Client late("late");
    ASSERT_EQ(late.Open(), STATUS_SUCCESS);
    EXPECT_EQ(Entry(late), Expected(NativeFirmware::DefaultTable(0).entries[2]));
    early.Close();
    EXPECT_TRUE(host->WaitForRemovals(10s));
    EXPECT_EQ(Entry(late), Expected(NativeFirmware::DefaultTable(0).entries[2])) << "the old remove left the new device be";
    Client third("third");
    EXPECT_EQ(third.Open(), STATUS_SUCCESS) << "the old remove left the interface enabled";
}

// A failed power-up fails the device (KMDF's Failed state purges the
// power-managed queues, FxIoStopProcessingForPowerPurgeManaged): a request
// that waited in the queue across the failed resume completes with
// STATUS_CANCELLED (FxIoQueue's purge) instead of waiting for ever, and one
// sent afterwards on the open handle fails at once with
// STATUS_INVALID_DEVICE_STATE (a queue that accepts no requests). The
// interface is disabled; a new start takes requests again.
TEST_F(Lifecycle, FailedResumePurgesThePowerManagedQueue)
{
    Boot();
    log = std::make_unique<CallbackLog>(Device());
    Client client("client");
    ASSERT_EQ(client.Open(), STATUS_SUCCESS);
    ASSERT_EQ(host->Sleep(), STATUS_SUCCESS);

    Reply held;
    std::thread request([&] {
        TVRX_DEVICE_MODE_ENTRY_INFO info{};
        held = client.GetEntry(&info);
    });
    WaitUntilQueueHolds(Device());
    plat::fault::FailNth("RegisterForDeviceNotifications", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(host->Resume(), STATUS_INSUFFICIENT_RESOURCES);
    request.join();
    EXPECT_EQ(held.status, STATUS_CANCELLED);
    EXPECT_EQ(held.information, 0u);
    EXPECT_EQ(log->Take(), (Calls{"d0-exit", "d0-entry", "release"}));

    TVRX_DEVICE_MODE_ENTRY_INFO info{};
    EXPECT_EQ(client.GetEntry(&info).status, STATUS_INVALID_DEVICE_STATE);
    Client late("late");
    EXPECT_EQ(late.Open(), STATUS_OBJECT_NAME_NOT_FOUND) << "the failed device's interface is disabled";

    ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    EXPECT_EQ(Entry(client), Expected(NativeFirmware::DefaultTable(0).entries[1]));
    EXPECT_EQ(late.Open(), STATUS_SUCCESS);
}

// A stop keeps the device interface enabled (KMDF disables interfaces only in
// PnpCleanupForRemove, on the failure and removal paths), so an open during
// the stop reaches the driver's EvtDeviceFileCreate and gets the driver's own
// status; a request on a handle opened before the stop waits for the restart.
TEST_F(Lifecycle, OpenDuringAStopReachesTheDriver)
{
    Boot();
    Client early("early"), late("late");
    ASSERT_EQ(early.Open(), STATUS_SUCCESS);
    ASSERT_EQ(host->Stop(), STATUS_SUCCESS);
    EXPECT_FALSE(TavrixInterfacePath().empty());
    EXPECT_EQ(late.Open(), STATUS_INVALID_DEVICE_STATE) << "the driver's refusal, not a missing interface";

    std::thread request([&] { EXPECT_EQ(Entry(early), Expected(NativeFirmware::DefaultTable(0).entries[1])); });
    WaitUntilQueueHolds(Device());
    ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    request.join();
    EXPECT_EQ(late.Open(), STATUS_SUCCESS);
}

// Surprise removal with clients open, as KMDF handles IRP_MN_SURPRISE_REMOVAL
// of a started device: EvtDeviceSurpriseRemoval first (SurpriseRemoveIoStarted),
// then the power-down with EvtDeviceD0Exit to WdfPowerDeviceD3Final, then
// EvtDeviceReleaseHardware (FailedOwnHardware), then the interface is disabled
// and the power-managed queues purged (Failed). Requests on the open handles
// fail with STATUS_INVALID_DEVICE_STATE; the driver's cleanup and close run
// as each client closes its handle; the device object is deleted (the remove
// that follows the last close) once the last handle has closed.
TEST_F(Lifecycle, SurpriseRemovalWithClientsOpen)
{
    Boot();
    log = std::make_unique<CallbackLog>(Device());
    Client a("a"), b("b");
    HANDLE eventA = nullptr;
    ASSERT_EQ(a.OpenWithEvent(&eventA), STATUS_SUCCESS);
    ASSERT_EQ(b.Open(), STATUS_SUCCESS);
    WDFDEVICE handle = Device();  // read through after the device has left the bus
    plat::wdf::FxDevice* device = Fx(handle);
    auto below = plat::acpi::DeviceBelow(device->lower);
    auto instances = [handle] { return debugview::ReadDevice(handle).appInstances; };
    ASSERT_TRUE(plat::wdf::WaitForWorkItemsIdle(10s));

    ASSERT_EQ(host->SurpriseRemove(), STATUS_SUCCESS);
    EXPECT_EQ(log->Take(), (Calls{"surprise-removal", "d0-exit", "release"}));
    EXPECT_EQ(log->LastD0ExitTarget(), WdfPowerDeviceD3Final);
    EXPECT_EQ(host->DeviceCount(), 0u) << "gone from the bus";
    EXPECT_EQ(host->RemovalsPending(), 1u);
    EXPECT_EQ(plat::wdf::LiveDevices().size(), 1u) << "the object stays while handles are open";
    EXPECT_FALSE(below->HandlerRegistered());
    EXPECT_EQ(below->InterfaceReferences(), 0);
    EXPECT_EQ(debugview::ReadDevice(handle).deviceState, ULONG(debugview::kDeviceReleased));
    EXPECT_TRUE(TavrixInterfacePath().empty());

    // The purged queue refuses what the driver gives it from the caller's
    // context; the driver then answers as a device out of service does
    // (docs/ioctl.md), not "busy". A refused registration gives its event back.
    TVRX_DEVICE_MODE_ENTRY_INFO info{};
    EXPECT_EQ(a.GetEntry(&info).status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(b.SetRegulatoryType(1), STATUS_INVALID_DEVICE_STATE);
    HANDLE late = b.NewEvent();
    EXPECT_EQ(b.Register(late), STATUS_INVALID_DEVICE_STATE);
    b.CloseObject(late);
    EXPECT_EQ(instances(), 2u);

    // The framework's side: the queue gives the request back with
    // STATUS_WDF_BUSY, not completed (FxIoQueue::QueueRequestFromForward), and
    // completing it with that status gives its sender STATUS_DEVICE_BUSY
    // (FxRequest::CompleteInternal).
    static NTSTATUS enqueued;
    enqueued = STATUS_PENDING;
    PFN_WDF_IO_IN_CALLER_CONTEXT driverStep = device->ioInCallerContext;
    device->ioInCallerContext = [](WDFDEVICE fxDevice, WDFREQUEST request) {
        enqueued = WdfDeviceEnqueueRequest(fxDevice, request);
        WdfRequestComplete(request, enqueued);  // a request completed already would stop the system here
    };
    EXPECT_EQ(a.GetEntry(&info).status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(enqueued, STATUS_WDF_BUSY);
    device->ioInCallerContext = driverStep;

    a.Close();
    EXPECT_EQ(instances(), 1u) << "the driver's close ran for a's handle";
    EXPECT_EQ(host->RemovalsPending(), 1u) << "b still holds the device";
    b.Close();
    ASSERT_TRUE(host->WaitForRemovals(10s));
    EXPECT_TRUE(plat::wdf::LiveDevices().empty()) << "deleted once the last handle closed";
    a.CloseObject(eventA);
}

// The last handle of a surprise-removed device closes while the driver is
// unloaded: the framework file object has left the device, but finishes going
// (and tells the removal) only after the unload has deleted the device and
// the host's state. What it tells must still be there. A hook holds the
// closing thread at that point, so the order is the same every run.
namespace {
std::mutex heldLock;
std::condition_variable heldChanged;
bool heldArrived = false, heldReleased = false;

void HoldFileObjectGoing(plat::wdf::FxObject* object)
{
    if (object->type != plat::wdf::FxType::FileObject) {
        return;
    }
    std::unique_lock<std::mutex> lock(heldLock);
    heldArrived = true;
    heldChanged.notify_all();
    heldChanged.wait(lock, [] { return heldReleased; });
}
}  // namespace

TEST_F(Lifecycle, LastCloseOfASurpriseRemovedDeviceMayEndAfterTheUnload)
{
    Boot();
    Client a("a");
    ASSERT_EQ(a.Open(), STATUS_SUCCESS);
    ASSERT_TRUE(plat::wdf::WaitForWorkItemsIdle(10s));
    ASSERT_EQ(host->SurpriseRemove(), STATUS_SUCCESS);
    ASSERT_EQ(host->RemovalsPending(), 1u);

    heldArrived = heldReleased = false;
    plat::wdf::SetBeforeDestroyHook(HoldFileObjectGoing);
    std::thread closer([&] { a.Close(); });
    {
        std::unique_lock<std::mutex> lock(heldLock);
        ASSERT_TRUE(heldChanged.wait_for(lock, 10s, [] { return heldArrived; }));
    }
    // The file object has left the device: the unload deletes the device and
    // the host's state while the close is still on its way out.
    UnloadClean();
    EXPECT_TRUE(plat::wdf::LiveDevices().empty());
    {
        std::lock_guard<std::mutex> lock(heldLock);
        heldReleased = true;
    }
    heldChanged.notify_all();
    closer.join();
    plat::wdf::SetBeforeDestroyHook(nullptr);
}


// Clients that keep sending requests, and one that opens and closes, while
// the device is surprise-removed: each request ends as the framework ends it
// (served, held by the power-down then cancelled by the purge, or refused by
// the purged queue), none waits for ever, no new open gets in afterwards, and
// the device is deleted after the last close.
TEST_F(Lifecycle, SurpriseRemovalRacingClients)
{
    Boot();
    constexpr int kSenders = 3;
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < kSenders; ++i) {
        clients.push_back(std::make_unique<Client>("sender" + std::to_string(i)));
        ASSERT_EQ(clients.back()->Open(), STATUS_SUCCESS);
    }
    std::atomic<bool> removed{false};
    std::atomic<int> unexpected{0}, served{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kSenders; ++i) {
        threads.emplace_back([&, i] {
            // Until one sent after the removal has been refused by the purged queue.
            for (bool after = false; !after;) {
                TVRX_DEVICE_MODE_ENTRY_INFO info{};
                after = removed;
                NTSTATUS status = clients[i]->GetEntry(&info).status;
                if (after ? status != STATUS_INVALID_DEVICE_STATE
                          : status != STATUS_SUCCESS && status != STATUS_CANCELLED &&
                                status != STATUS_INVALID_DEVICE_STATE) {
                    unexpected++;
                }
                served += status == STATUS_SUCCESS;
            }
        });
    }
    std::thread opener([&] {
        Client client("opener");
        while (!removed) {
            NTSTATUS status = client.Open();
            if (status == STATUS_SUCCESS) {
                client.Close();
            } else if (status != STATUS_OBJECT_NAME_NOT_FOUND) {
                unexpected++;
            }
        }
        if (client.Open() != STATUS_OBJECT_NAME_NOT_FOUND) {
            unexpected++;
        }
    });
    while (served < 20) {
        std::this_thread::yield();
    }
    ASSERT_EQ(host->SurpriseRemove(), STATUS_SUCCESS);
    removed = true;
    for (std::thread& thread : threads) {
        thread.join();
    }
    opener.join();
    EXPECT_EQ(unexpected, 0);
    clients.clear();
    ASSERT_TRUE(host->WaitForRemovals(10s));
    EXPECT_TRUE(plat::wdf::LiveDevices().empty());
}

// Surprise removal of a device out of D0: no D0 exit (it left D0 at the
// sleep), release-hardware, and the request that waited in the power-managed
// queue is cancelled by the purge. A device with no handle open is deleted
// at once. A surprise-removed device whose handle is still open when the
// driver is unloaded goes with the image: the driver closes the instance and
// the handle names a file without a device.
TEST_F(Lifecycle, SurpriseRemovalOutOfD0CancelsWhatWaited)
{
    Boot();
    ASSERT_EQ(host->AddDevice(L"ACPI\\TVRX0001\\1"), STATUS_SUCCESS);
    log = std::make_unique<CallbackLog>(Device());
    Client client("client");
    ASSERT_EQ(client.Open(), STATUS_SUCCESS);
    ASSERT_EQ(host->Sleep(), STATUS_SUCCESS);
    log->Take();

    Reply held;
    std::thread request([&] {
        TVRX_DEVICE_MODE_ENTRY_INFO info{};
        held = client.GetEntry(&info);
    });
    WaitUntilQueueHolds(Device());
    ASSERT_EQ(host->SurpriseRemove(), STATUS_SUCCESS);
    request.join();
    EXPECT_EQ(held.status, STATUS_CANCELLED);
    EXPECT_EQ(log->Take(), (Calls{"surprise-removal", "release"}));
    EXPECT_EQ(host->DeviceCount(), 1u) << "the other device moved down";
    EXPECT_EQ(host->RemovalsPending(), 1u);

    // The second device, never started and never opened, is deleted at once.
    size_t live = plat::wdf::LiveDevices().size();
    ASSERT_EQ(host->SurpriseRemove(), STATUS_SUCCESS);
    EXPECT_EQ(host->DeviceCount(), 0u);
    EXPECT_EQ(plat::wdf::LiveDevices().size(), live - 1);
    EXPECT_EQ(host->RemovalsPending(), 1u);

    UnloadClean();
    EXPECT_EQ(host->RemovalsPending(), 0u);
    TVRX_DEVICE_MODE_ENTRY_INFO info{};
    EXPECT_EQ(client.GetEntry(&info).status, STATUS_DEVICE_DOES_NOT_EXIST);
    client.Close();
}

// Start, sleep, resume and stop requested from several threads at once while
// the firmware keeps notifying and a client keeps asking: the callbacks never
// overlap, come in an order the framework could make, and the device ends up
// working.
TEST_F(Lifecycle, TransitionsFromManyThreadsNeverOverlap)
{
    Boot();
    log = std::make_unique<CallbackLog>(Device());
    Client client("client");
    HANDLE event = nullptr;
    ASSERT_EQ(client.OpenWithEvent(&event), STATUS_SUCCESS);

    std::atomic<bool> done{false};
    std::atomic<int> unexpected{0}, failedRequests{0};
    std::thread notifier([&] {
        while (!done) {
            firmware->Notify(0x80);
            std::this_thread::sleep_for(200us);
        }
    });
    std::thread sender([&] {
        while (!done) {
            TVRX_DEVICE_MODE_ENTRY_INFO info{};
            if (client.GetEntry(&info).status != STATUS_SUCCESS) {
                failedRequests++;
            }
        }
    });
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(t);
            for (int i = 0; i < 40; ++i) {
                NTSTATUS status;
                switch (random() % 4) {
                case 0: status = host->Start(); break;
                case 1: status = host->Sleep(); break;
                case 2: status = host->Resume(); break;
                default: status = host->Stop(); break;
                }
                if (status != STATUS_SUCCESS && status != STATUS_INVALID_DEVICE_STATE) {
                    unexpected++;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    // Back to work, so that the held request is answered.
    if (!host->Started()) {
        ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    }
    if (!host->InD0()) {
        ASSERT_EQ(host->Resume(), STATUS_SUCCESS);
    }
    done = true;
    notifier.join();
    sender.join();

    EXPECT_EQ(log->Overlaps(), 0);
    EXPECT_EQ(unexpected, 0);
    EXPECT_EQ(failedRequests, 0);
    std::string why;
    EXPECT_TRUE(FrameworkOrder(log->Take(), Power::Working, &why)) << why;
    ASSERT_TRUE(Below().WaitNotificationsIdle());
    ASSERT_TRUE(plat::wdf::WaitForWorkItemsIdle(10s));
    client.TakeSignal(event);
    firmware->Notify(0x80);
    EXPECT_TRUE(client.WaitSignal(event));
    client.Close();
    client.CloseObject(event);
}

}  // namespace
}  // namespace tvrx::test
