// The device's life under the Plug and Play and power manager: start and its
// failures, sleep and resume, stop and restart, removal and unload, and
// transitions requested from many threads at once.
#include "support/client.h"

#include <array>
#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "acpi/acpidevice.h"
#include "wdf/device.h"
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
    }
    ~CallbackLog() { current_ = nullptr; }
    CallbackLog(const CallbackLog&) = delete;
    CallbackLog& operator=(const CallbackLog&) = delete;

    std::vector<std::string> Take()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return std::move(calls_);
    }
    int Overlaps() const { return overlaps_.load(); }
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
        return current_->original_.EvtDeviceD0Exit(device, target);
    }

    static inline CallbackLog* current_ = nullptr;
    WDF_PNPPOWER_EVENT_CALLBACKS original_;
    std::mutex lock_;
    std::vector<std::string> calls_;
    std::atomic<int> active_{0};
    std::atomic<int> overlaps_{0};
    std::atomic<int> raised_{0};
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
        host.reset();
        firmware.reset();
        machine.reset();
        machine = std::make_unique<plat::Machine>(MachineOptions());
        firmware = plat::MakeNativeFirmware();
        machine->SetFirmware(firmware);
        host = std::make_unique<plat::Host>(*machine);
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
// ACPI interface given back; a failure of the export or of the BIOS check
// does not; a failed notification registration fails the power-up. Each
// failed start can be retried.
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
            plat::fault::Reset();
            plat::fault::FailNth(point, nth, kInjected);
            NTSTATUS status = host->Start();

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
            PTVRX_DEVICE_CONTEXT context = Context();

            if (point == "RegisterForDeviceNotifications") {
                EXPECT_EQ(status, kInjected);
                EXPECT_EQ(calls.size(), kEssentialCalls.size());
                EXPECT_EQ(context->DeviceState, ULONG(TVRX_DEVICE_STATE_RELEASED)) << "released after the failed power-up";
            } else if (calls.size() < kEssentialCalls.size()) {
                EXPECT_NE(status, STATUS_SUCCESS);
                EXPECT_EQ(context->DeviceState, ULONG(TVRX_DEVICE_STATE_PREPARE_FAILED));
                EXPECT_EQ(context->CurrentDeviceMode, 0u);
                EXPECT_FALSE(functionThree);
                if (point == "WdfFdoQueryForInterface") {
                    EXPECT_TRUE(calls.empty()) << "no _DSM without the interface";
                }
            } else {
                EXPECT_EQ(status, STATUS_SUCCESS) << "nothing after the table read may fail the start";
                EXPECT_EQ(context->DeviceState, ULONG(TVRX_DEVICE_STATE_PREPARED));
                EXPECT_EQ(context->CurrentDeviceMode, 1u);
                EXPECT_TRUE(context->AcpiNotificationsRegistered);
                EXPECT_TRUE(Below().HandlerRegistered());
                EXPECT_EQ(Below().InterfaceReferences(), 1);
            }

            if (status != STATUS_SUCCESS) {
                EXPECT_FALSE(context->AcpiInterfaceAcquired);
                EXPECT_FALSE(context->AcpiNotificationsRegistered);
                EXPECT_FALSE(Below().HandlerRegistered());
                EXPECT_EQ(Below().InterfaceReferences(), 0) << "the interface is given back";
                EXPECT_TRUE(TavrixInterfacePath().empty()) << "a device that did not start cannot be opened";

                plat::fault::Reset();
                EXPECT_EQ(host->Start(), STATUS_SUCCESS) << "the next start prepares again";
                EXPECT_EQ(Context()->DeviceState, ULONG(TVRX_DEVICE_STATE_PREPARED));
                EXPECT_TRUE(Below().HandlerRegistered());
                EXPECT_EQ(Below().InterfaceReferences(), 1);
            }
            UnloadClean();
        }
    }
}

// A registration that fails keeps the device out of D0, at a start and at a
// resume; the flag stays FALSE and the next D0 entry registers.
TEST_F(Lifecycle, FailedRegistrationKeepsTheDeviceOutOfD0UntilTheNextEntry)
{
    LoadAndAdd();
    plat::fault::FailNth("RegisterForDeviceNotifications", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(host->Start(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(Context()->AcpiNotificationsRegistered);
    EXPECT_FALSE(host->Started());
    EXPECT_EQ(Below().InterfaceReferences(), 0);

    ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    EXPECT_TRUE(Context()->AcpiNotificationsRegistered);
    EXPECT_TRUE(Below().HandlerRegistered());

    // A client that stays open through a failed power-up.
    Client client("client");
    HANDLE event = nullptr;
    ASSERT_EQ(client.OpenWithEvent(&event), STATUS_SUCCESS);
    ASSERT_EQ(host->Sleep(), STATUS_SUCCESS);
    plat::fault::FailNth("RegisterForDeviceNotifications", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(host->Resume(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(Context()->AcpiNotificationsRegistered);
    EXPECT_FALSE(Below().HandlerRegistered());
    EXPECT_EQ(Context()->DeviceState, ULONG(TVRX_DEVICE_STATE_RELEASED));
    EXPECT_EQ(Below().InterfaceReferences(), 0) << "a device that failed to power up releases its hardware";
    EXPECT_FALSE(host->Started());
    EXPECT_EQ(host->Resume(), STATUS_INVALID_DEVICE_STATE);

    // Restarting the failed device registers again; the client's request,
    // sent while it was down, is answered once it is back.
    firmware->SetDeviceMode(3);
    std::thread request([&] { EXPECT_EQ(Entry(client), Expected(NativeFirmware::DefaultTable(0).entries[3])); });
    std::this_thread::sleep_for(20ms);
    ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    request.join();
    EXPECT_TRUE(Context()->AcpiNotificationsRegistered);
    firmware->Notify(0x80);
    EXPECT_TRUE(client.WaitSignal(event));
}

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

    // A failed preparation is not released; removal of a stopped device calls nothing.
    plat::fault::FailNth("WdfFdoQueryForInterface", 1, STATUS_NOINTERFACE);
    EXPECT_EQ(host->Start(), STATUS_NOINTERFACE);
    EXPECT_EQ(host->Sleep(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(log->Take(), Calls{"prepare"});

    ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    ASSERT_EQ(host->Sleep(), STATUS_SUCCESS);
    ASSERT_EQ(host->Remove(), STATUS_SUCCESS);
    EXPECT_EQ(log->Take(), (Calls{"prepare", "d0-entry", "d0-exit", "release"}));
    EXPECT_EQ(host->DeviceCount(), 0u);
    EXPECT_EQ(log->RaisedIrql(), 0);
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
    std::this_thread::sleep_for(50ms);
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

// Unload goes ahead with handles open, as the system does when it shuts
// down: the waiting request is cancelled, the driver closes every instance,
// and the handles name a file without a device.
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
    std::this_thread::sleep_for(20ms);
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

    // Asleep: a mode change goes unseen; after resume it is seen, and new
    // clients stay out until the next start.
    ASSERT_EQ(host->Sleep(), STATUS_SUCCESS);
    EXPECT_EQ(Context()->DeviceState, ULONG(TVRX_DEVICE_STATE_RELEASED));
    firmware->SetDeviceMode(2);
    firmware->Notify(0x80);
    ASSERT_TRUE(Below().WaitNotificationsIdle());
    ASSERT_TRUE(plat::wdf::WaitForWorkItemsIdle(10s));
    EXPECT_FALSE(a.TakeSignal(eventA));
    ASSERT_EQ(host->Resume(), STATUS_SUCCESS);
    EXPECT_EQ(Context()->DeviceState, ULONG(TVRX_DEVICE_STATE_RELEASED));
    firmware->Notify(0x80);
    EXPECT_TRUE(a.WaitSignal(eventA));
    EXPECT_TRUE(b.WaitSignal(eventB));
    EXPECT_EQ(Entry(a), Expected(NativeFirmware::DefaultTable(2).entries[2])) << "b's type decides for all";
    Client late("late");
    EXPECT_EQ(late.Open(), STATUS_INVALID_DEVICE_STATE);

    // Stopped, the firmware gets new tables and another mode; the restart
    // reads them, and the clients that stayed open see them.
    ASSERT_EQ(host->Stop(), STATUS_SUCCESS);
    EXPECT_TRUE(TavrixInterfacePath().empty());
    EXPECT_FALSE(Context()->AcpiInterfaceAcquired) << "release-hardware gives the interface back";
    EXPECT_EQ(Below().InterfaceReferences(), 0);
    plat::DeviceModeTable table = Table(0x33, {{0, 1, 2, 3}, {1, 11, 12, 13}, {2, 21, 22, 23}, {3, 31, 32, 33}});
    firmware->SetTable(2, table);
    firmware->SetDeviceMode(3);
    ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    EXPECT_EQ(Context()->DeviceState, ULONG(TVRX_DEVICE_STATE_PREPARED));
    EXPECT_EQ(Context()->CurrentDeviceMode, 3u);
    EXPECT_EQ(Below().InterfaceReferences(), 1) << "taken again, once";
    EXPECT_EQ(Context()->DeviceModeTables[2].TableTag, 0x33);
    EXPECT_EQ(Context()->DeviceModeTables[2].EntryCount, 4u);
    EXPECT_EQ(Entry(b), Expected(table.entries[3]));
    EXPECT_EQ(Entry(a), Expected(table.entries[3]));
    EXPECT_EQ(late.Open(), STATUS_SUCCESS) << "a new start admits new clients";
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
