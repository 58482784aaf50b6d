// Clients of the device: opening and closing handles, the app instances they
// get, the events they register and the signals that reach those events.
#include "support/client.h"

#include "wdf/workitem.h"

#include <atomic>
#include <thread>


namespace tvrx::test {
namespace {

class Clients : public ClientBed {
protected:
    // The registered events of the app instances, in list order (NULL for an
    // instance without one). Only for a quiet device: takes no lock.
    std::vector<PKEVENT> InstanceEvents()
    {
        std::vector<PKEVENT> events;
        for (const debugview::Client& client : View().clients) {
            events.push_back(static_cast<PKEVENT>(const_cast<void*>(client.event)));
        }
        return events;
    }

    // Every client with a registered event is woken by a change of the regulatory type.
    void ChangeRegulatoryType(Client& client)
    {
        ULONG next = (View().regulatoryType + 1) % 3;
        ASSERT_EQ(client.SetRegulatoryType(next), STATUS_SUCCESS);
    }
};

TEST_F(Clients, OpenIsRefusedUnlessTheHardwareIsPreparedAndANodeCanBeHad)
{
    Boot();
    Client client("client");

    // Leaving D0 closes the device to new clients.
    ASSERT_EQ(host->Sleep(), STATUS_SUCCESS);
    EXPECT_EQ(client.Open(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_TRUE(InstanceEvents().empty());
    // Back in D0 with its hardware still prepared, the device admits clients
    // again (a resume runs D0 entry only; no prepare-hardware follows a sleep).
    ASSERT_EQ(host->Resume(), STATUS_SUCCESS);
    EXPECT_EQ(View().deviceState, ULONG(debugview::kDevicePrepared));
    // The resume reads the mode again on a work item, which creates memory
    // objects too: it finishes before the fault below is armed.
    ASSERT_TRUE(plat::wdf::WaitForWorkItemsIdle(std::chrono::seconds(30)));

    // No memory for the node: the open fails and nothing is linked or kept.
    plat::fault::FailNth("WdfMemoryCreate", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(client.Open(), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(InstanceEvents().empty());

    EXPECT_EQ(client.Open(), STATUS_SUCCESS);
    EXPECT_EQ(InstanceEvents().size(), 1u);
}

TEST_F(Clients, InstancesRunNewestFirstAndACloseRemovesOnlyItsOwn)
{
    Boot();
    Client first("first"), second("second");
    ASSERT_EQ(first.Open(), STATUS_SUCCESS);
    ASSERT_EQ(second.Open(), STATUS_SUCCESS);
    // A second handle of the same process is an instance of its own.
    HANDLE secondAgain = nullptr;
    std::wstring path = TavrixInterfacePath();
    ASSERT_EQ(second.process.Run([&] { return plat::um::OpenDevice(path, GENERIC_READ, &secondAgain); }),
              STATUS_SUCCESS);

    HANDLE e1 = first.NewEvent(), e2 = second.NewEvent(), e3 = second.NewEvent();
    ASSERT_EQ(first.Register(e1), STATUS_SUCCESS);
    ASSERT_EQ(second.Register(e2), STATUS_SUCCESS);
    TVRX_SET_EVENT_INPUT input{(UINT64)(ULONG_PTR)e3};
    ASSERT_EQ(second.ControlOn(secondAgain, IOCTL_TVRX_SET_EVENT, &input, sizeof input, nullptr, 0).status,
              STATUS_SUCCESS);
    PKEVENT k1 = first.KernelEvent(e1), k2 = second.KernelEvent(e2), k3 = second.KernelEvent(e3);
    EXPECT_EQ(InstanceEvents(), (std::vector<PKEVENT>{k3, k2, k1}));

    // Closing the middle instance leaves the others with their events.
    second.Close();
    EXPECT_EQ(InstanceEvents(), (std::vector<PKEVENT>{k3, k1}));
    ChangeRegulatoryType(first);
    EXPECT_TRUE(first.TakeSignal(e1));
    EXPECT_FALSE(second.TakeSignal(e2));
    EXPECT_TRUE(second.TakeSignal(e3));

    // Process exit closes the handles it still holds.
    second.process.Exit();
    first.Close();
    EXPECT_TRUE(InstanceEvents().empty());
    first.CloseObject(e1);
}

TEST_F(Clients, TheLatestRegistrationDecidesAndAFailedOneLeavesNoEvent)
{
    Boot();
    Client client("client");
    ASSERT_EQ(client.Open(), STATUS_SUCCESS);
    HANDLE a = client.NewEvent(L"TavrixA"), b = client.NewEvent(L"TavrixB");

    ASSERT_EQ(client.Register(a), STATUS_SUCCESS);
    ASSERT_EQ(client.Register(b), STATUS_SUCCESS);
    ChangeRegulatoryType(client);
    EXPECT_FALSE(client.TakeSignal(a));
    EXPECT_TRUE(client.TakeSignal(b));

    // Registering the registered event again keeps it (and one reference).
    ASSERT_EQ(client.Register(b), STATUS_SUCCESS);
    ChangeRegulatoryType(client);
    EXPECT_TRUE(client.TakeSignal(b));

    // A handle without the right to set, or to wait on, the event is refused,
    // and the event registered before is dropped, not kept.
    HANDLE syncOnly = client.process.Run([] { return OpenEventW(SYNCHRONIZE, FALSE, L"TavrixB"); });
    HANDLE modifyOnly = client.process.Run([] { return OpenEventW(EVENT_MODIFY_STATE, FALSE, L"TavrixB"); });
    ASSERT_NE(syncOnly, nullptr);
    ASSERT_NE(modifyOnly, nullptr);
    EXPECT_EQ(client.Register(syncOnly), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(InstanceEvents(), (std::vector<PKEVENT>{nullptr}));
    ChangeRegulatoryType(client);
    EXPECT_FALSE(client.TakeSignal(b));

    ASSERT_EQ(client.Register(b), STATUS_SUCCESS);
    EXPECT_EQ(client.Register(modifyOnly), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(InstanceEvents(), (std::vector<PKEVENT>{nullptr}));

    // So is a buffer too short for a handle.
    ASSERT_EQ(client.Register(b), STATUS_SUCCESS);
    UINT32 shortHandle = (UINT32)(ULONG_PTR)b;
    EXPECT_EQ(client.Control(IOCTL_TVRX_SET_EVENT, &shortHandle, 4, nullptr, 0).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(InstanceEvents(), (std::vector<PKEVENT>{nullptr}));

    for (HANDLE handle : {a, b, syncOnly, modifyOnly}) {
        client.CloseObject(handle);
    }
}

TEST_F(Clients, OnlyEventHandlesOfTheCallingProcessAreTaken)
{
    Boot();
    Client client("client"), other("other");
    ASSERT_EQ(client.Open(), STATUS_SUCCESS);

    HANDLE mutant = client.process.Run([] { return CreateMutexW(nullptr, FALSE, nullptr); });
    EXPECT_EQ(client.Register(mutant), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(client.Register(client.device), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(client.Register(nullptr), STATUS_UNSUCCESSFUL);

    // A handle of another process: its value names nothing in the caller's
    // table (the other process holds more handles than the caller).
    std::vector<HANDLE> others;
    for (int i = 0; i < 8; i++) {
        others.push_back(other.NewEvent());
    }
    EXPECT_EQ(client.Register(others.back()), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(InstanceEvents(), (std::vector<PKEVENT>{nullptr}));

    client.CloseObject(mutant);
    for (HANDLE handle : others) {
        other.CloseObject(handle);
    }
}

TEST_F(Clients, EachSignalSetsEveryRegisteredEventOnce)
{
    Boot();
    Client a("a"), b("b"), silent("silent");
    ASSERT_EQ(a.Open(), STATUS_SUCCESS);
    ASSERT_EQ(silent.Open(), STATUS_SUCCESS);
    ASSERT_EQ(b.Open(), STATUS_SUCCESS);
    HANDLE ea = a.NewEvent(), eb = b.NewEvent();
    ASSERT_EQ(a.Register(ea), STATUS_SUCCESS);
    ASSERT_EQ(b.Register(eb), STATUS_SUCCESS);
    PKEVENT ka = a.KernelEvent(ea), kb = b.KernelEvent(eb);

    SignalLog log;
    // The firmware's device-mode notification wakes everybody ...
    firmware->SetDeviceMode(2);
    firmware->Notify(debugview::DriverLimits().modeChangeNotify);
    EXPECT_EQ(a.process.Run([&] { return WaitForSingleObject(ea, 10000); }), (DWORD)WAIT_OBJECT_0);
    EXPECT_EQ(b.process.Run([&] { return WaitForSingleObject(eb, 10000); }), (DWORD)WAIT_OBJECT_0);
    EXPECT_EQ(log.SetsOf(View(), ka), 1u);
    EXPECT_EQ(log.SetsOf(View(), kb), 1u);
    a.TakeSignal(ea);
    b.TakeSignal(eb);

    // ... and so does a change of the regulatory type, the asking client included.
    log.Clear();
    ASSERT_EQ(b.SetRegulatoryType(2), STATUS_SUCCESS);
    EXPECT_TRUE(a.TakeSignal(ea));
    EXPECT_TRUE(b.TakeSignal(eb));
    EXPECT_EQ(log.SetsOf(View(), ka), 1u);
    EXPECT_EQ(log.SetsOf(View(), kb), 1u);

    // Setting the type it already has, or one out of range, wakes nobody.
    ASSERT_EQ(a.SetRegulatoryType(2), STATUS_SUCCESS);
    ASSERT_EQ(a.SetRegulatoryType(3), STATUS_INVALID_USER_BUFFER);
    EXPECT_FALSE(a.TakeSignal(ea));
    EXPECT_FALSE(b.TakeSignal(eb));

    a.CloseObject(ea);
    b.CloseObject(eb);
}

// A registration sent while the device sleeps waits in the power-managed
// queue and is presented from KMDF's power-up path on a system thread, where
// the client's handle means nothing; KMDF guarantees the requestor's context
// only in EvtIoInCallerContext, so the handle must be resolved there.
TEST_F(Clients, ARegistrationSentWhileAsleepTakesTheClientsEventAfterResume)
{
    Boot();
    Client a("a");
    ASSERT_EQ(a.Open(), STATUS_SUCCESS);
    HANDLE event = a.NewEvent();
    ASSERT_EQ(host->Sleep(), STATUS_SUCCESS);
    std::atomic<NTSTATUS> registered{STATUS_PENDING};
    std::thread sender = a.process.Thread([&] { registered = a.Register(event); });
    WaitUntilQueueHolds(Device());
    EXPECT_EQ(registered.load(), STATUS_PENDING);
    ASSERT_EQ(host->Resume(), STATUS_SUCCESS);
    sender.join();
    EXPECT_EQ(registered.load(), STATUS_SUCCESS);

    firmware->SetDeviceMode(3);
    firmware->Notify(debugview::DriverLimits().modeChangeNotify);
    EXPECT_TRUE(a.WaitSignal(event)) << "the mode change must reach the event the client registered";
    a.CloseObject(event);
}

// KMDF flushes its queues by file object when a file is cleaned up: a client
// that opened the device for overlapped I/O and closes it while the device
// sleeps has its held registration cancelled (STATUS_CANCELLED). The event
// reference the driver took in EvtIoInCallerContext goes with the request's
// context, the client's instance goes with its cleanup, and another client's
// held request is answered after the resume.
TEST_F(Clients, ClosingAnOverlappedHandleCancelsItsRegistrationHeldWhileAsleep)
{
    Boot();
    Client a("a"), b("b");
    std::wstring path = TavrixInterfacePath();
    ASSERT_EQ(a.process.Run([&] { return plat::um::OpenDevice(path, GENERIC_READ | GENERIC_WRITE, &a.device, 0); }),
              STATUS_SUCCESS);
    ASSERT_EQ(b.Open(), STATUS_SUCCESS);
    HANDLE event = a.NewEvent();
    ASSERT_EQ(host->Sleep(), STATUS_SUCCESS);
    std::atomic<NTSTATUS> registered{STATUS_PENDING};
    Reply entry;
    std::thread registration = a.process.Thread([&] { registered = a.Register(event); });
    std::thread query = b.process.Thread([&] {
        TVRX_DEVICE_MODE_ENTRY_INFO info{};
        entry = b.GetEntry(&info);
    });
    WaitUntilQueueHolds(Device(), 2);

    a.Close();
    registration.join();
    EXPECT_EQ(registered.load(), STATUS_CANCELLED);
    EXPECT_EQ(InstanceEvents(), (std::vector<PKEVENT>{nullptr})) << "only b's instance, without an event";
    ASSERT_EQ(host->Resume(), STATUS_SUCCESS);
    query.join();
    EXPECT_EQ(entry.status, STATUS_SUCCESS);
    a.CloseObject(event);
}

TEST_F(Clients, AnEventWhoseHandleTheClientClosedIsStillSet)
{
    Boot();
    Client client("client");
    HANDLE event = nullptr;
    ASSERT_EQ(client.OpenWithEvent(&event), STATUS_SUCCESS);
    PKEVENT kernelEvent = client.KernelEvent(event);
    // The test keeps the object alive to look at it; the driver must not need that.
    ObReferenceObject(kernelEvent);
    client.CloseObject(event);

    ChangeRegulatoryType(client);
    EXPECT_EQ(KeReadStateEvent(kernelEvent), 1);
    ObDereferenceObject(kernelEvent);

    // The driver's reference goes with the instance; the verifier checks it is released.
    client.Close();
}

}  // namespace
}  // namespace tvrx::test
