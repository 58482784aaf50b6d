// Device-mode notifications: from the firmware's Notify through the work
// item and the _DSM read to the clients' events, and the registration that
// follows the device in and out of D0.
#include "support/client.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string_view>
#include <thread>

#include "acpi/acpidevice.h"
#include "ntos/ke/interlocked.h"
#include "wdf/device.h"
#include "wdf/object.h"
#include "wdf/workitem.h"
#include "wpp/wpp.h"

namespace tvrx::test {
namespace {

using plat::NativeFirmware;
using namespace std::chrono_literals;

class Notifications : public ClientBed {
protected:
    void TearDown() override
    {
        ReleaseWorkers();  // a test that stopped early leaves no worker held
        if (client) {
            client->Close();
            client->CloseObject(event);
            client.reset();
        }
        if (firmware) {
            firmware->ClearFaults();  // releases an evaluation that still hangs
        }
        EXPECT_TRUE(plat::acpi::WaitForEvaluations(10s));
        ClientBed::TearDown();
        EXPECT_TRUE(plat::acpi::WaitForEvaluations(10s));  // joins the threads that finished meanwhile
    }

    // Starts the device with one client that has it open and an event registered.
    void BootWithClient()
    {
        Boot();
        client = std::make_unique<Client>("client");
        ASSERT_EQ(client->OpenWithEvent(&event), STATUS_SUCCESS);
    }

    plat::wdf::FxDevice* Fx() { return plat::wdf::ResolveAs<plat::wdf::FxDevice>(Device(), plat::wdf::FxType::Device, "test"); }
    plat::acpi::AcpiDevice& Below() { return *plat::acpi::DeviceBelow(Fx()->lower); }

    // Every notification raised so far has been handled and its work item has run.
    void Settle()
    {
        ASSERT_TRUE(Below().WaitNotificationsIdle());
        ASSERT_TRUE(plat::wdf::WaitForWorkItemsIdle(10s));
    }

    size_t LiveWorkItems()
    {
        plat::wdf::FxDevice* fx = Fx();
        size_t count = 0;
        plat::wdf::ForEachChild(fx, [&](plat::wdf::FxObject* child) { count += child->type == plat::wdf::FxType::WorkItem; });
        return count;
    }

    size_t DsmCalls(uint64_t function)
    {
        size_t count = 0;
        for (const NativeFirmware::DsmCall& call : firmware->Calls()) {
            count += call.function == function;
        }
        return count;
    }

    // Holds every system worker thread with a work item of the device until
    // ReleaseWorkers, so that a work item queued meanwhile waits in the queue.
    void OccupyWorkers()
    {
        busyWorkers = 0;
        releaseWorkers = false;
        for (size_t i = 0; i < plat::wdf::kSystemWorkerThreads; ++i) {
            WDF_WORKITEM_CONFIG config;
            WDF_WORKITEM_CONFIG_INIT(&config, [](WDFWORKITEM) {
                busyWorkers++;
                while (!releaseWorkers) {
                    std::this_thread::yield();
                }
            });
            WDF_OBJECT_ATTRIBUTES attributes;
            WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
            attributes.ParentObject = Device();  // deleted with the device at the latest
            WDFWORKITEM item;
            ASSERT_EQ(WdfWorkItemCreate(&config, &attributes, &item), STATUS_SUCCESS);
            WdfWorkItemEnqueue(item);
            blockers.push_back(item);
        }
        auto deadline = std::chrono::steady_clock::now() + 10s;
        while (busyWorkers < int(plat::wdf::kSystemWorkerThreads) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        ASSERT_EQ(busyWorkers, int(plat::wdf::kSystemWorkerThreads));
    }
    void ReleaseWorkers() { releaseWorkers = true; }
    // The blocking items, once released and run, go (the device still there).
    void DeleteBlockers()
    {
        for (WDFWORKITEM item : blockers) {
            WdfObjectDelete(item);
        }
        blockers.clear();
    }

    static inline std::atomic<int> busyWorkers{0};
    static inline std::atomic<bool> releaseWorkers{false};
    std::vector<WDFWORKITEM> blockers;

    std::unique_ptr<Client> client;  // BootWithClient's
    HANDLE event = nullptr;
};

// The road of one mode change, as a client program written against the
// Win32 API lives it: find the device, open it, register an event, pick a
// regulatory type, wait, and read the entry for the new mode.
TEST_F(Notifications, ModeChangeReachesClientsThroughTheirEvents)
{
    Boot();
    struct Program {
        plat::um::Process process;
        HANDLE device = INVALID_HANDLE_VALUE;
        HANDLE event = nullptr;
    };
    Program programs[2] = {{plat::um::Process("radio")}, {plat::um::Process("monitor")}};
    constexpr ULONG kType = 1;  // one regulatory type for the whole device: the radio's choice
    for (int i = 0; i < 2; ++i) {
        programs[i].process.Run([&] {
            GUID guid = GUID_DEVINTERFACE_TAVRIX;
            ULONG length = 0;
            ASSERT_EQ(CM_Get_Device_Interface_List_SizeW(&length, &guid, nullptr, CM_GET_DEVICE_INTERFACE_LIST_PRESENT),
                      CR_SUCCESS);
            std::vector<WCHAR> list(length);
            ASSERT_EQ(CM_Get_Device_Interface_ListW(&guid, nullptr, list.data(), length,
                                                    CM_GET_DEVICE_INTERFACE_LIST_PRESENT),
                      CR_SUCCESS);
            programs[i].device = CreateFileW(list.data(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                             nullptr);
            ASSERT_NE(programs[i].device, INVALID_HANDLE_VALUE);
            programs[i].event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
            TVRX_SET_EVENT_INPUT input{(UINT64)(ULONG_PTR)programs[i].event};
            DWORD returned = 0;
            ASSERT_TRUE(DeviceIoControl(programs[i].device, IOCTL_TVRX_SET_EVENT, &input, sizeof input, nullptr, 0,
                                        &returned, nullptr));
            if (i == 0) {
                ULONG type = kType;
                ASSERT_TRUE(DeviceIoControl(programs[i].device, IOCTL_TVRX_SET_REGULATORY_TYPE, &type, sizeof type,
                                            nullptr, 0, &returned, nullptr));
            }
        });
    }
    programs[0].process.Run([&] { WaitForSingleObject(programs[0].event, 0); });  // the type change woke it

    firmware->SetDeviceMode(3);
    firmware->Notify(0x80);
    for (int i = 0; i < 2; ++i) {
        programs[i].process.Run([&] {
            ASSERT_EQ(WaitForSingleObject(programs[i].event, kLongWait), WAIT_OBJECT_0);
            TVRX_DEVICE_MODE_ENTRY_INFO info{};
            DWORD returned = 0;
            ASSERT_TRUE(DeviceIoControl(programs[i].device, IOCTL_TVRX_GET_DEVICE_MODE_ENTRY, nullptr, 0, &info,
                                        sizeof info, &returned, nullptr));
            EXPECT_EQ(returned, sizeof info);
            plat::DeviceModeEntry expected = NativeFirmware::DefaultTable(kType).entries[3];
            EXPECT_EQ(info.DeviceMode, 3u);
            EXPECT_EQ(info.Value1, expected.value1);
            EXPECT_EQ(info.Value2, expected.value2);
            EXPECT_EQ(info.Value3, expected.value3);
            CloseHandle(programs[i].event);
            CloseHandle(programs[i].device);
        });
    }
    EXPECT_EQ(View().currentDeviceMode, 3u);
}

// A storm of mode changes while the reads in flight hang in the firmware:
// the notifications behind them are coalesced into one read, so the work
// items stay at two (one running, one queued behind it) and nothing grows
// with the storm. When the firmware answers, the last notification's read
// finds the newest mode, which stays, and the clients are woken after it.
TEST_F(Notifications, StormKeepsTwoWorkItemsAndEndsWithTheNewestMode)
{
    ASSERT_NO_FATAL_FAILURE(BootWithClient());
    Client second("second");
    HANDLE secondEvent = nullptr;
    ASSERT_EQ(second.OpenWithEvent(&secondEvent), STATUS_SUCCESS);
    // The handler called as the ACPI driver calls it, on this thread and at once.
    auto notify = [this](void* gate, ULONG code) { debugview::CallNotifyHandler(*host, gate, code); };
    firmware->ClearCalls();
    plat::fault::Reset();
    NativeFirmware::Faults faults;
    faults.functions = 1u << NativeFirmware::kDeviceMode;
    faults.hang = true;
    faults.answerBeforeHang = true;  // each read answers the mode it found when it began
    firmware->SetFaults(faults);
    std::vector<std::string> objects;
    size_t objectsInFlight = 0;  // with both reads hanging

    constexpr size_t kStorm = 10000;
    size_t most = 0;
    for (size_t i = 0; i < kStorm; ++i) {
        firmware->SetDeviceMode(i % 4);
        notify(View().notifyGate, 0x80);
        most = std::max(most, LiveWorkItems());
        if (i < 2) {
            ASSERT_TRUE(firmware->WaitForHung(i + 1, 10s)) << "read " << i + 1 << " never began";
            plat::wdf::DescribeLiveObjects(objects);
            objectsInFlight = objects.size();
            objects.clear();
        }
    }
    EXPECT_LE(most, 2u);
    EXPECT_EQ(plat::fault::Counts()["WdfWorkItemCreate"], 2u);
    objects.clear();
    plat::wdf::DescribeLiveObjects(objects);
    EXPECT_EQ(objects.size(), objectsInFlight) << "the storm's notifications took memory";
    EXPECT_FALSE(client->TakeSignal(event)) << "woken before any read ended";

    firmware->SetDeviceMode(2);
    firmware->ClearFaults();  // the two reads answer modes 0 and 1; one of them then reads again
    Settle();
    EXPECT_EQ(DsmCalls(1), 3u) << "the storm's reads were not coalesced into one";
    EXPECT_EQ(View().currentDeviceMode, 2u);
    EXPECT_EQ(LiveWorkItems(), 0u);
    EXPECT_TRUE(client->TakeSignal(event));
    EXPECT_TRUE(second.TakeSignal(secondEvent));
    TVRX_DEVICE_MODE_ENTRY_INFO info{};
    ASSERT_EQ(second.GetEntry(&info).status, STATUS_SUCCESS);
    EXPECT_EQ(info.DeviceMode, 2u);
    second.Close();
    second.CloseObject(secondEvent);

    // Reads that answer at once still read for every notification in turn.
    firmware->ClearCalls();
    for (ULONG mode : {3u, 1u}) {
        firmware->SetDeviceMode(mode);
        notify(View().notifyGate, 0x80);
        Settle();
        EXPECT_EQ(View().currentDeviceMode, mode);
        EXPECT_TRUE(client->TakeSignal(event));
    }
    EXPECT_EQ(DsmCalls(1), 2u);
}

// Notifications that arrive while the work item queued for an earlier one
// has yet to start are its to read: no second item is made for them, and the
// one read that item makes finds the newest mode and wakes the clients.
TEST_F(Notifications, NotificationsBeforeTheQueuedItemStartsShareIt)
{
    ASSERT_NO_FATAL_FAILURE(BootWithClient());
    auto notify = [this](void* gate, ULONG code) { debugview::CallNotifyHandler(*host, gate, code); };
    firmware->ClearCalls();
    plat::fault::Reset();
    {
        plat::wdf::WorkerHold hold;
        for (ULONG mode : {3u, 0u, 2u}) {
            firmware->SetDeviceMode(mode);
            notify(View().notifyGate, 0x80);
        }
        EXPECT_EQ(LiveWorkItems(), 1u) << "a notification behind a queued item made an item of its own";
        EXPECT_EQ(plat::fault::Counts()["WdfWorkItemCreate"], 1u);
    }
    Settle();
    EXPECT_EQ(DsmCalls(1), 1u);
    EXPECT_EQ(View().currentDeviceMode, 2u);
    EXPECT_TRUE(client->TakeSignal(event));
    EXPECT_EQ(LiveWorkItems(), 0u);
}

// On a machine whose ACPI driver completes a cancelled evaluation at once,
// the read's time-out ends it.
class CancellingNotifications : public HonouringCancel<Notifications> {};

// A read that times out on a hung firmware still wakes the clients, who
// then read the mode the device had.
TEST_F(CancellingNotifications, TimedOutReadStillWakesClients)
{
    ASSERT_NO_FATAL_FAILURE(BootWithClient());

    NativeFirmware::Faults faults;
    faults.hang = true;
    firmware->SetFaults(faults);
    firmware->SetDeviceMode(2);
    firmware->Notify(0x80);
    EXPECT_TRUE(client->WaitSignal(event));
    EXPECT_EQ(View().currentDeviceMode, 1u);
    TVRX_DEVICE_MODE_ENTRY_INFO info{};
    EXPECT_EQ(client->GetEntry(&info).status, STATUS_SUCCESS);
    EXPECT_EQ(info.DeviceMode, 1u);

    firmware->ClearFaults();
    firmware->Notify(0x80);
    EXPECT_TRUE(client->WaitSignal(event));
    EXPECT_EQ(View().currentDeviceMode, 2u);
}

// On the default machine the ACPI driver lets an evaluation run to its end
// whatever the sender's time-out: the framework cancels at the time-out and
// keeps waiting (FxIoTarget::SubmitSync), so the worker's read waits for the
// firmware, and the clients are woken only once it answers, with its mode.
TEST_F(Notifications, ReadOfAFirmwareThatHangsWaitsForItsAnswer)
{
    ASSERT_NO_FATAL_FAILURE(BootWithClient());
    NativeFirmware::Faults faults;
    faults.hang = true;
    firmware->SetFaults(faults);
    firmware->SetDeviceMode(2);
    uint64_t declined = plat::acpi::CancelsDeclined();
    firmware->Notify(0x80);
    ASSERT_TRUE(firmware->WaitForHung(1, 10s));
    while (plat::acpi::CancelsDeclined() == declined) {
        std::this_thread::yield();  // the 3-second time-out has not expired yet
    }
    EXPECT_FALSE(client->TakeSignal(event)) << "woken before the read ended";
    EXPECT_EQ(plat::wdf::CurrentWorkItemLoad().running, 1u);

    firmware->ClearFaults();
    EXPECT_TRUE(client->WaitSignal(event));
    Settle();
    EXPECT_EQ(View().currentDeviceMode, 2u);
}

// Any other value costs a work item and nothing more: no _DSM, no signal.
TEST_F(Notifications, OtherValuesAreDroppedWithoutReadOrSignal)
{
    ASSERT_NO_FATAL_FAILURE(BootWithClient());
    firmware->ClearCalls();
    plat::fault::Reset();

    for (ULONG value : {0x00u, 0x81u, 0x02u, 0xFFFFFFFFu}) {
        firmware->Notify(value);
    }
    Settle();
    EXPECT_EQ(plat::fault::Counts()["WdfWorkItemCreate"], 4u);
    EXPECT_EQ(LiveWorkItems(), 0u);
    EXPECT_TRUE(firmware->Calls().empty());
    EXPECT_FALSE(client->TakeSignal(event));
}

// A call the ACPI driver had begun before its unregister returned may reach
// the handler after the device is deleted: it finds the gate closed and does
// nothing (the gate outlives the device until the driver unloads). The lab's
// concurrent test found a removal that deleted the device under such a call.
TEST_F(Notifications, LateCallAfterTheDeviceIsDeletedDoesNothing)
{
    Boot();
    void* gate = View().notifyGate;
    ASSERT_NE(gate, nullptr);
    EXPECT_EQ(debugview::ReadGate(gate).open, TRUE);
    ASSERT_EQ(host->Remove(), STATUS_SUCCESS);
    EXPECT_EQ(debugview::ReadGate(gate).open, FALSE);
    firmware->ClearCalls();
    debugview::CallNotifyHandler(*host, gate, 0x80);  // as the ACPI driver's late call does
    EXPECT_EQ(debugview::ReadGate(gate).callsInFlight, 0);
    EXPECT_TRUE(plat::wdf::WaitForWorkItemsIdle(10s));
    EXPECT_TRUE(firmware->Calls().empty());
}

// A notification whose work item cannot be created is lost, and only it.
TEST_F(Notifications, NotificationWithoutWorkItemIsLostAlone)
{
    ASSERT_NO_FATAL_FAILURE(BootWithClient());
    firmware->ClearCalls();
    plat::fault::FailNth("WdfWorkItemCreate", 1, STATUS_INSUFFICIENT_RESOURCES);
    firmware->Notify(0x80);
    Settle();
    EXPECT_TRUE(firmware->Calls().empty());
    EXPECT_FALSE(client->TakeSignal(event));
    firmware->Notify(0x80);
    EXPECT_TRUE(client->WaitSignal(event));
}

// Registration follows D0: a second entry without an exit registers nothing
// more; an exit unregisters and the next entry registers again. While the
// device sleeps it is closed to new clients; back in D0 with its hardware
// still prepared it admits them again, and the open ones keep being woken.
TEST_F(Notifications, RegistrationFollowsTheDeviceInAndOutOfD0)
{
    ASSERT_NO_FATAL_FAILURE(BootWithClient());
    plat::fault::Reset();

    // The driver's D0 entry callback as the framework holds it, called once more.
    EXPECT_EQ(Fx()->pnpPower.EvtDeviceD0Entry(Device(), WdfPowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(plat::fault::Counts()["RegisterForDeviceNotifications"], 0u) << "already registered";
    EXPECT_TRUE(Below().HandlerRegistered());
    Settle();  // an entry from D3 reads the mode once
    EXPECT_TRUE(client->TakeSignal(event));

    ASSERT_EQ(host->Sleep(), STATUS_SUCCESS);
    EXPECT_FALSE(View().notificationsRegistered);
    EXPECT_FALSE(Below().HandlerRegistered());
    EXPECT_EQ(View().deviceState, ULONG(debugview::kDeviceReleased));
    uint64_t dropped = Below().NotificationsDropped();
    firmware->ClearCalls();
    firmware->Notify(0x80);
    Settle();
    EXPECT_EQ(Below().NotificationsDropped(), dropped + 1);
    EXPECT_TRUE(firmware->Calls().empty());
    EXPECT_FALSE(client->TakeSignal(event));

    ASSERT_EQ(host->Resume(), STATUS_SUCCESS);
    EXPECT_EQ(plat::fault::Counts()["RegisterForDeviceNotifications"], 1u);
    EXPECT_TRUE(View().notificationsRegistered);
    // The hardware stayed prepared through the sleep, so D0 entry admits new
    // clients again (the framework calls no prepare-hardware at a resume).
    EXPECT_EQ(View().deviceState, ULONG(debugview::kDevicePrepared));
    Settle();  // the resume's own read of the mode
    EXPECT_TRUE(client->TakeSignal(event));
    Client late("late");
    EXPECT_EQ(late.Open(), STATUS_SUCCESS);
    late.Close();
    firmware->SetDeviceMode(2);
    firmware->Notify(0x80);
    EXPECT_TRUE(client->WaitSignal(event));
    EXPECT_EQ(View().currentDeviceMode, 2u);
}

// A mode change while the device sleeps raises a notification nobody hears;
// coming back to D0 the device reads the mode once, through a work item as a
// notification would, and wakes the clients, who then read the new mode.
TEST_F(Notifications, ModeChangedWhileAsleepIsSeenAfterResume)
{
    ASSERT_NO_FATAL_FAILURE(BootWithClient());
    ASSERT_EQ(host->Sleep(), STATUS_SUCCESS);
    firmware->SetDeviceMode(3);
    firmware->Notify(0x80);
    Settle();
    EXPECT_FALSE(client->TakeSignal(event)) << "the handler is unregistered";
    EXPECT_EQ(View().currentDeviceMode, 1u);

    firmware->ClearCalls();
    plat::fault::Reset();
    ASSERT_EQ(host->Resume(), STATUS_SUCCESS);
    EXPECT_TRUE(client->WaitSignal(event));
    Settle();
    EXPECT_EQ(View().currentDeviceMode, 3u);
    EXPECT_EQ(DsmCalls(1), 1u);
    EXPECT_EQ(firmware->Calls().size(), 1u) << "the mode, nothing else";
    EXPECT_EQ(plat::fault::Counts()["WdfWorkItemCreate"], 1u);
    EXPECT_EQ(LiveWorkItems(), 0u);
    TVRX_DEVICE_MODE_ENTRY_INFO info{};
    ASSERT_EQ(client->GetEntry(&info).status, STATUS_SUCCESS);
    EXPECT_EQ(info.DeviceMode, 3u);

    // A start after a stop reads the mode in prepare-hardware: no second read.
    ASSERT_EQ(host->Stop(), STATUS_SUCCESS);
    firmware->ClearCalls();
    ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    Settle();
    EXPECT_EQ(DsmCalls(1), 1u);
}

// Two notifications' work items overlap (nothing serialises them), and the
// read of the older one, which found the old mode, answers only after the
// newer one stored the new mode: the newer mode stays, and the clients,
// woken after each read, read it.
class SlowClockNotifications : public Notifications {
protected:
    // The stalled read must come back before its 3-second time-out ends.
    plat::Machine::Options MachineOptions() override
    {
        plat::Machine::Options options = Notifications::MachineOptions();
        options.clockRate = 0.1;
        return options;
    }
};

TEST_F(SlowClockNotifications, OlderReadAnsweringLastLeavesTheNewerMode)
{
    ASSERT_NO_FATAL_FAILURE(BootWithClient());
    firmware->ClearCalls();
    NativeFirmware::Faults faults;
    faults.functions = 1u << NativeFirmware::kDeviceMode;
    faults.hang = true;
    faults.hangAtMost = 1;
    faults.answerBeforeHang = true;
    firmware->SetFaults(faults);
    const LONGLONG started = machine->Clock().Now();

    firmware->Notify(0x80);  // its read finds mode 1, then stalls
    ASSERT_TRUE(firmware->WaitForHung(1, 10s));
    firmware->SetDeviceMode(3);
    firmware->Notify(0x80);  // its read finds mode 3 and answers at once
    EXPECT_TRUE(client->WaitSignal(event));
    EXPECT_EQ(View().currentDeviceMode, 3u);

    firmware->ClearFaults();  // the stalled read answers mode 1 now
    Settle();
    EXPECT_LT(machine->Clock().Now() - started, 30000000) << "the stalled read timed out instead of answering";
    EXPECT_EQ(DsmCalls(1), 2u);
    EXPECT_EQ(View().currentDeviceMode, 3u);
    EXPECT_TRUE(client->TakeSignal(event)) << "woken after the older read too";
    TVRX_DEVICE_MODE_ENTRY_INFO info{};
    ASSERT_EQ(client->GetEntry(&info).status, STATUS_SUCCESS);
    EXPECT_EQ(info.DeviceMode, 3u);
}

// The mode written comes from the newest record, not from the writer's own
// read: a read held after it took the record and before it wrote the mode,
// resumed once a newer read was stored, leaves the newer mode.
TEST_F(Notifications, AReadHeldBeforeItsWriteLeavesTheNewerMode)
{
    ASSERT_NO_FATAL_FAILURE(BootWithClient());
    ASSERT_EQ(View().currentDeviceMode, 1u);
    firmware->ClearCalls();
    {
        plat::ke::InterlockedPause pause(debugview::DeviceModeAddress(Device()));
        firmware->Notify(0x80);  // its read finds mode 1 and takes the record
        ASSERT_TRUE(pause.WaitHeld(10s));
        firmware->SetDeviceMode(3);
        firmware->Notify(0x80);  // its read finds mode 3 and is stored meanwhile
        EXPECT_TRUE(client->WaitSignal(event));
        EXPECT_EQ(View().currentDeviceMode, 3u);
    }  // the older read writes now
    Settle();
    EXPECT_EQ(DsmCalls(1), 2u);
    EXPECT_EQ(View().currentDeviceMode, 3u);
}

// A read that found the record and then lost its exchange to a newer read
// stores nothing: the newer mode stays, and the older read says it was not
// stored (its trace), rather than writing its own mode over the newer one.
TEST_F(Notifications, AReadThatLosesTheRecordToANewerOneStoresNothing)
{
    ASSERT_NO_FATAL_FAILURE(BootWithClient());
    ASSERT_EQ(View().currentDeviceMode, 1u);
    plat::trace::ClearRecorder();
    {
        // The read's first operation on the record reads it; its second is the exchange, held here.
        plat::ke::InterlockedPause pause(debugview::DeviceModeRecordAddress(Device()), 1);
        firmware->Notify(0x80);  // its read finds mode 1
        ASSERT_TRUE(pause.WaitHeld(10s));
        firmware->SetDeviceMode(3);
        firmware->Notify(0x80);  // its read finds mode 3 and is stored meanwhile
        EXPECT_TRUE(client->WaitSignal(event));
    }  // the older read's exchange fails now
    Settle();
    EXPECT_EQ(View().currentDeviceMode, 3u);
    bool refused = false, stored = false;
    for (const plat::trace::Record& record : plat::trace::RecorderRecords()) {
        refused |= std::strstr(record.text, "device mode 1 not stored: a newer read was") != nullptr;
        std::string_view text = record.text;
        stored |= text.size() >= 13 && text.substr(text.size() - 13) == "device mode 1";
    }
    EXPECT_TRUE(refused) << "the older read did not see that a newer read was stored";
    EXPECT_FALSE(stored) << "the older read stored its mode over the newer one";
}

// A work item queued before the device left D0 still runs afterwards: it
// reads the mode and wakes the clients although the handler is gone.
TEST_F(Notifications, WorkItemQueuedBeforeD0ExitStillRuns)
{
    ASSERT_NO_FATAL_FAILURE(BootWithClient());

    // Occupy the system worker threads so that the driver's item waits in the queue.
    ASSERT_NO_FATAL_FAILURE(OccupyWorkers());

    firmware->ClearCalls();
    firmware->SetDeviceMode(3);
    firmware->Notify(0x80);
    ASSERT_TRUE(Below().WaitNotificationsIdle());
    ASSERT_EQ(host->Sleep(), STATUS_SUCCESS);
    EXPECT_TRUE(firmware->Calls().empty()) << "the work item had to wait for a worker thread";
    EXPECT_FALSE(client->TakeSignal(event));

    ReleaseWorkers();
    EXPECT_TRUE(client->WaitSignal(event));
    ASSERT_TRUE(plat::wdf::WaitForWorkItemsIdle(10s));
    EXPECT_EQ(DsmCalls(1), 1u);
    EXPECT_EQ(View().currentDeviceMode, 3u);
    EXPECT_EQ(View().deviceState, ULONG(debugview::kDeviceReleased));
    DeleteBlockers();

    // The same race left to chance: the last notification the handler took
    // is read and every work item goes, however it falls against the sleep.
    ASSERT_EQ(host->Resume(), STATUS_SUCCESS);
    Settle();
    firmware->ClearCalls();
    plat::fault::Reset();
    firmware->SetDeviceMode(2);
    for (int i = 0; i < 50; ++i) {
        firmware->Notify(0x80);
        ASSERT_EQ(host->Sleep(), STATUS_SUCCESS);
        ASSERT_EQ(host->Resume(), STATUS_SUCCESS);
    }
    Settle();
    EXPECT_LE(plat::fault::Counts()["WdfWorkItemCreate"], DsmCalls(1)) << "a work item went without reading";
    EXPECT_EQ(View().currentDeviceMode, 2u);
    EXPECT_EQ(LiveWorkItems(), 0u);
}

// A read queued before a stop holds the ticket of its notification: the
// restart stores its own mode with a newer one, so the old read, answering
// last, does not put its mode back. (A restart that fails leaves no device
// whose mode anyone reads: the Plug and Play manager surprise-removes its
// stack, as Microsoft's IWDTFPnPAction2::EDTTryStopDeviceFailRestart
// describes, and the next start adds a new device.)
TEST_F(Notifications, ReadQueuedBeforeARestartDoesNotOverwriteItsMode)
{
    ASSERT_NO_FATAL_FAILURE(BootWithClient());
    ASSERT_NO_FATAL_FAILURE(OccupyWorkers());

    firmware->SetDeviceMode(3);
    firmware->Notify(0x80);
    ASSERT_TRUE(Below().WaitNotificationsIdle());
    ASSERT_EQ(host->Stop(), STATUS_SUCCESS);
    firmware->SetDeviceMode(2);
    ASSERT_EQ(host->Start(), STATUS_SUCCESS);

    firmware->SetDeviceMode(1);
    firmware->ClearCalls();
    ReleaseWorkers();
    ASSERT_TRUE(plat::wdf::WaitForWorkItemsIdle(10s));
    EXPECT_EQ(DsmCalls(1), 1u) << "the queued read did not run";
    TVRX_DEVICE_MODE_ENTRY_INFO info{};
    ASSERT_EQ(client->GetEntry(&info).status, STATUS_SUCCESS);
    EXPECT_EQ(info.DeviceMode, 2u) << "the older read overwrote the restart's mode";
    DeleteBlockers();
}

// On the default machine the ACPI driver's unregister returns while a
// handler call is still in progress (Windows promises no wait). D0 exit waits
// for that call itself, so a removal never deletes the device under it.
TEST_F(Notifications, UnregisterThatDoesNotWaitLeavesNoHandlerCallBehind)
{
    Boot();
    WDFSPINLOCK modeReadLock = View().modeReadLock;
    ASSERT_TRUE(plat::wdf::WaitForWorkItemsIdle(10s));
    std::atomic<bool> holding{false};
    std::atomic<bool> release{false};
    std::thread holder([&] {  // keeps the handler inside the driver, on the mode-read lock
        WdfSpinLockAcquire(modeReadLock);
        holding = true;
        while (!release) {
            std::this_thread::yield();
        }
        WdfSpinLockRelease(modeReadLock);
    });
    auto until = [](auto done) {
        auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        return done();
    };
    ASSERT_TRUE(until([&] { return holding.load(); }));
    firmware->ClearCalls();
    firmware->Notify(0x80);
    ASSERT_TRUE(until([&] { return View().notifyCallsInFlight == 1; }));

    uint64_t notWaiting = plat::acpi::UnregistersNotWaiting();
    std::atomic<bool> removed{false};
    NTSTATUS status = STATUS_PENDING;
    std::thread remover([&] {
        status = host->Remove();
        removed = true;
    });
    EXPECT_TRUE(until([&] { return plat::acpi::UnregistersNotWaiting() > notWaiting; }))
        << "the ACPI driver's unregister waited for the handler";
    // Give a removal that did not wait the time to get through (it then deletes the device under the handler).
    auto settle = std::chrono::steady_clock::now() + 200ms;
    while (!removed && std::chrono::steady_clock::now() < settle) {
        std::this_thread::yield();
    }
    EXPECT_FALSE(removed) << "D0 exit left the handler call running";
    release = true;
    holder.join();
    remover.join();
    EXPECT_EQ(status, STATUS_SUCCESS);
    // The call was past the gate: its read was queued and ran before the
    // device went, reaching the firmware or finding the target removed.
    EXPECT_LE(firmware->Calls().size(), 1u);
    EXPECT_EQ(plat::wdf::CurrentWorkItemLoad().running, 0u);
    EXPECT_EQ(host->DeviceCount(), 0u);
}

// KMDF's deletion of a work item waits for it to run (FxWorkItem::Dispose
// and FlushAndRundown), also when its parent, the device, goes: a
// notification's work item still queued at the removal runs during it. Its
// read finds the device's I/O target removed, which refuses the request
// (STATUS_INVALID_DEVICE_STATE, as a removed KMDF target does), so nothing
// reaches the firmware, and everything goes with the device.
TEST_F(Notifications, WorkItemQueuedAtRemovalRunsAndItsReadFails)
{
    Boot();
    ASSERT_NO_FATAL_FAILURE(OccupyWorkers());
    firmware->ClearCalls();
    firmware->Notify(0x80);
    ASSERT_TRUE(Below().WaitNotificationsIdle());
    ASSERT_EQ(plat::wdf::CurrentWorkItemLoad().queued, 1u);
    plat::fault::Reset();

    NTSTATUS removed = STATUS_PENDING;
    std::thread remover([&] { removed = host->Remove(); });
    while (plat::wdf::CurrentWorkItemLoad().waiting == 0) {
        std::this_thread::yield();  // the removal reaches the device's work items
    }
    EXPECT_EQ(plat::wdf::CurrentWorkItemLoad().queued, 1u) << "the queued item was dropped, not run";
    ReleaseWorkers();
    remover.join();
    EXPECT_EQ(removed, STATUS_SUCCESS);
    EXPECT_EQ(plat::fault::Counts()["WdfIoTargetSendIoctlSynchronously"], 1u) << "the worker ran and read";
    EXPECT_TRUE(firmware->Calls().empty()) << "the removed target passed the read on";
    EXPECT_EQ(plat::wdf::CurrentWorkItemLoad().running, 0u);
    EXPECT_EQ(host->DeviceCount(), 0u);
}

// The device's default I/O target, made with the device, is disposed of
// before its work items (KMDF disposes of a device's children oldest first):
// a notification's read still waiting on the firmware when the device is
// removed is cancelled by the target's disposal, so the removal does not sit
// out the read's 3-second time-out behind the work item.
TEST_F(CancellingNotifications, AReadInFlightAtRemovalIsCancelledByTheTargetGoingFirst)
{
    ASSERT_NO_FATAL_FAILURE(Boot());
    NativeFirmware::Faults faults;
    faults.functions = 1u << NativeFirmware::kDeviceMode;
    faults.hang = true;
    firmware->SetFaults(faults);
    firmware->Notify(0x80);
    ASSERT_TRUE(firmware->WaitForHung(1, 10s));

    const LONGLONG started = machine->Clock().Now();
    EXPECT_EQ(host->Remove(), STATUS_SUCCESS);
    EXPECT_LT(machine->Clock().Now() - started, 30000000) << "the removal waited for the read's time-out";
    EXPECT_EQ(plat::wdf::CurrentWorkItemLoad().running, 0u);
    EXPECT_EQ(host->DeviceCount(), 0u);
}

}  // namespace
}  // namespace tvrx::test
