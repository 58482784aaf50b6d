/*
 * The Plug and Play, sleep, process-termination and concurrent tests: every
 * change of the device's state with clients' I/O before, during and after
 * it, clients that end mid-request, and all of it at once with the firmware
 * changing the device mode.
 */
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "debugview.h"
#include "devfund_lab.h"
#include "tvrxioctl.h"
#include "um/client.h"

namespace sim::devfund {
namespace {

namespace debugview = tvrx::debugview;

constexpr ACCESS_MASK kGranted = FILE_GENERIC_READ | FILE_GENERIC_WRITE;
constexpr ULONG kDeviceModeChanged = 0x80;
constexpr auto kSettleLimit = std::chrono::seconds(20);  // real time: only a hang reaches it

// A client with one handle and its event, in a process of its own.
struct Client {
    explicit Client(const char* name) : process(name) {}
    ~Client() { Close(); }

    NTSTATUS Open(const std::wstring& path, ULONG options = FILE_SYNCHRONOUS_IO_NONALERT)
    {
        return process.Run([&] {
            if (event == nullptr) {
                event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
            }
            return plat::um::OpenDevice(path, GENERIC_READ | GENERIC_WRITE, &handle, options);
        });
    }
    void Close()
    {
        process.Run([&] {
            if (handle != nullptr) {
                CloseHandle(handle);
                handle = nullptr;
            }
        });
    }
    // A round of the documented requests; the event is registered first.
    bool Round(Lab& lab, const std::string& step)
    {
        return process.Run([&] { return ClientRound(lab, step, handle, kGranted, event, true); });
    }
    NTSTATUS Entry()
    {
        return process.Run([&] {
            TVRX_DEVICE_MODE_ENTRY_INFO entry{};
            return plat::um::IoControl(handle, IOCTL_TVRX_GET_DEVICE_MODE_ENTRY, nullptr, 0, &entry, sizeof(entry),
                                       nullptr);
        });
    }
    bool Woken(DWORD milliseconds) { return process.Run([&] { return WaitForSingleObject(event, milliseconds); }) == WAIT_OBJECT_0; }

    plat::um::Process process;
    HANDLE handle = nullptr;
    HANDLE event = nullptr;
};

// An entry query sent from a thread of the client, which the device holds while it is out of service.
struct HeldQuery {
    HeldQuery(Client& client) : thread(client.process.Thread([this, &client] {
        TVRX_DEVICE_MODE_ENTRY_INFO entry{};
        status = plat::um::IoControl(client.handle, IOCTL_TVRX_GET_DEVICE_MODE_ENTRY, nullptr, 0, &entry,
                                     sizeof(entry), nullptr);
        done = true;
    }))
    {
    }
    ~HeldQuery()
    {
        if (thread.joinable()) {
            thread.join();
        }
    }
    NTSTATUS Wait()
    {
        thread.join();
        return status;
    }
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    std::atomic<bool> done{false};
    std::thread thread;
};

// Waits until the device's queue holds `count` requests; false (the step failed) when it does not.
bool Held(Lab& lab, const std::string& step, size_t count)
{
    auto deadline = std::chrono::steady_clock::now() + kSettleLimit;
    while (debugview::HeldRequests(lab.Host().Device()) < count) {
        if (std::chrono::steady_clock::now() > deadline) {
            lab.Fail(step, "the request was not held by the device");
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Adds the device again and starts it (as enabling it, or plugging it back, does).
bool Readd(Lab& lab, const std::string& step)
{
    return lab.Expect(step + ": add", lab.Host().AddBoundDevices(), STATUS_SUCCESS) &&
           lab.Expect(step + ": start", lab.Host().Start(), STATUS_SUCCESS);
}

bool OpenAndRound(Lab& lab, Client& client, const std::string& step)
{
    return lab.Expect(step + ": open", client.Open(lab.Path()), STATUS_SUCCESS) && client.Round(lab, step);
}

void DisableEnable(Lab& lab, Client& client)
{
    lab.Step("disable with a handle open");
    // The outstanding handle vetoes the query-remove; the device works on.
    lab.Expect("disable with a handle open", lab.Host().Remove(), STATUS_PLUGPLAY_QUERY_VETOED);
    if (!client.Round(lab, "I/O after the vetoed disable")) {
        return;
    }
    lab.Step("disable and enable");
    client.Close();  // as a client does on the query-remove notification
    if (!lab.Expect("disable", lab.Host().Remove(), STATUS_SUCCESS)) {
        return;
    }
    lab.Expect("open while disabled", client.Open(lab.Path()), STATUS_OBJECT_NAME_NOT_FOUND);
    if (Readd(lab, "enable")) {
        OpenAndRound(lab, client, "I/O after enable");
    }
}

void Rebalance(Lab& lab, Client& client, Client& other)
{
    // A rebalance another device vetoes: this one hears the query, then its
    // cancel, and serves on throughout; opens still reach it.
    lab.Step("rebalance called off");
    if (!lab.Expect("query-stop then cancel-stop", lab.Host().QueryStopThenCancel(), STATUS_SUCCESS) ||
        !client.Round(lab, "I/O after the called-off rebalance") ||
        !lab.Expect("open after the called-off rebalance", other.Open(lab.Path()), STATUS_SUCCESS)) {
        return;
    }
    other.Close();

    lab.Step("rebalance");
    HeldQuery* held = nullptr;
    if (!lab.Expect("stop for rebalance", lab.Host().Stop(), STATUS_SUCCESS)) {
        return;
    }
    // A request sent while stopped waits for the restart; an open is refused.
    held = new HeldQuery(client);
    bool holding = Held(lab, "request during the stop", 1);
    lab.Expect("open during the stop", other.Open(lab.Path()), STATUS_INVALID_DEVICE_STATE);
    lab.Expect("restart after rebalance", lab.Host().Start(), STATUS_SUCCESS);
    NTSTATUS status = held->Wait();
    delete held;
    if (holding) {
        lab.Expect("request held over the stop", status, STATUS_SUCCESS);
    }
    client.Round(lab, "I/O after rebalance");
}

void SurpriseRemoval(Lab& lab, Client& client)
{
    lab.Step("surprise removal");
    if (!lab.Expect("surprise removal", lab.Host().SurpriseRemove(), STATUS_SUCCESS)) {
        return;
    }
    // The open handle stays; its requests fail; the name is gone.
    lab.Expect("request after surprise removal", client.Entry(), STATUS_INVALID_DEVICE_STATE);
    Client late("late");
    lab.Expect("open after surprise removal", late.Open(lab.Path()), STATUS_OBJECT_NAME_NOT_FOUND);
    client.Close();
    if (!lab.Host().WaitForRemovals(std::chrono::duration_cast<std::chrono::milliseconds>(kSettleLimit))) {
        lab.Fail("surprise removal", "the device object stayed after its last handle closed");
        return;
    }
    if (Readd(lab, "plug back")) {
        OpenAndRound(lab, client, "I/O after plugging back");
    }
}

}  // namespace

void PnpWithIo(Lab& lab)
{
    Client client("pnp");
    Client other("pnp-other");
    if (!OpenAndRound(lab, client, "I/O before")) {
        return;
    }
    DisableEnable(lab, client);
    if (!lab.Failed()) {
        Rebalance(lab, client, other);
    }
    if (!lab.Failed()) {
        SurpriseRemoval(lab, client);
    }
    lab.Step("remove and restart");
    client.Close();
    other.Close();
    if (!lab.Failed() && lab.Expect("remove", lab.Host().Remove(), STATUS_SUCCESS) && Readd(lab, "restart")) {
        OpenAndRound(lab, client, "I/O after remove and restart");
    }
}

void SleepWithIo(Lab& lab)
{
    Client client("sleep");
    Client other("sleep-other");
    if (!OpenAndRound(lab, client, "I/O before sleep")) {
        return;
    }
    lab.Step("sleep with a request held");
    lab.Expect("sleep", lab.Host().Sleep(), STATUS_SUCCESS);
    {
        HeldQuery held(client);
        bool holding = Held(lab, "request during sleep", 1);
        lab.Expect("open while asleep", other.Open(lab.Path()), STATUS_INVALID_DEVICE_STATE);
        lab.Expect("resume", lab.Host().Resume(), STATUS_SUCCESS);
        NTSTATUS status = held.Wait();
        if (holding) {
            lab.Expect("request held over sleep", status, STATUS_SUCCESS);
        }
    }
    client.Round(lab, "I/O after resume");

    // Sleep and resume again and again while clients send requests: each waits, none fails.
    lab.Step("sleep cycles during I/O");
    std::atomic<bool> stop{false};
    std::vector<std::thread> senders;
    for (int i = 0; i < 3; ++i) {
        HANDLE handle = nullptr;
        if (!lab.Expect("open before the cycles", client.process.Run([&] {
                return plat::um::OpenDevice(lab.Path(), GENERIC_READ | GENERIC_WRITE, &handle);
            }),
                        STATUS_SUCCESS)) {
            break;
        }
        senders.push_back(client.process.Thread([&lab, &stop, handle] {
            HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
            while (!stop && ClientRound(lab, "I/O during sleep cycles", handle, kGranted, event, true)) {
            }
            CloseHandle(handle);
            CloseHandle(event);
        }));
    }
    for (int cycle = 0; cycle < 20 && !lab.Failed(); ++cycle) {
        lab.Expect("sleep during I/O", lab.Host().Sleep(), STATUS_SUCCESS);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        lab.Expect("resume during I/O", lab.Host().Resume(), STATUS_SUCCESS);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    stop = true;
    for (std::thread& sender : senders) {
        sender.join();
    }

    // Sleep, then disable and enable the sleeping device.
    lab.Step("sleep with disable and enable");
    client.Close();
    if (lab.Expect("sleep before disable", lab.Host().Sleep(), STATUS_SUCCESS) &&
        lab.Expect("disable while asleep", lab.Host().Remove(), STATUS_SUCCESS) && Readd(lab, "enable after sleep")) {
        OpenAndRound(lab, client, "I/O after enable");
    }
    // Disable and enable, then sleep and resume.
    client.Close();
    if (!lab.Failed() && lab.Expect("disable", lab.Host().Remove(), STATUS_SUCCESS) && Readd(lab, "enable") &&
        OpenAndRound(lab, client, "I/O after enable") &&
        lab.Expect("sleep after enable", lab.Host().Sleep(), STATUS_SUCCESS) &&
        lab.Expect("resume after enable", lab.Host().Resume(), STATUS_SUCCESS)) {
        client.Round(lab, "I/O after sleep and enable");
    }
}

void SimpleIoStress(Lab& lab)
{
    std::mt19937_64 random = lab.Generator(300);
    unsigned round = 0;
    // Clients sending requests end at random points: their handles close and nothing is left.
    lab.Step("clients ended at random points");
    do {
        auto process = std::make_unique<plat::um::Process>("simpleio-" + std::to_string(round++));
        plat::Process& native = process->Native();
        std::vector<std::thread> threads;
        for (int t = 0; t < 3; ++t) {
            threads.push_back(process->Thread([&lab, &native, t] {
                HANDLE handle = nullptr;
                HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
                NTSTATUS status = plat::um::OpenDevice(lab.Path(), GENERIC_READ | GENERIC_WRITE, &handle,
                                                       t == 0 ? 0 : FILE_SYNCHRONOUS_IO_NONALERT);
                lab.Count();
                if (native.Exited()) {
                    return;  // ended before the open came back: its handles are closed with it
                }
                if (!lab.Expect("open", status, STATUS_SUCCESS)) {
                    return;
                }
                while (!native.Exited()) {
                    TVRX_DEVICE_MODE_ENTRY_INFO entry{};
                    status = plat::um::IoControl(handle, IOCTL_TVRX_GET_DEVICE_MODE_ENTRY, nullptr, 0, &entry,
                                                 sizeof(entry), nullptr);
                    lab.Count();
                    // A request racing the end of its process finds its handle closed, or is
                    // refused because its process is ending.
                    if (native.Exited()) {
                        lab.Expect("request as the process ends", status,
                                   {STATUS_SUCCESS, STATUS_INVALID_HANDLE, STATUS_PROCESS_IS_TERMINATING});
                    } else {
                        lab.Expect("request", status, STATUS_SUCCESS);
                    }
                    if (!native.Exited()) {
                        TVRX_SET_EVENT_INPUT registration{(UINT64)(ULONG_PTR)event};
                        status = plat::um::IoControl(handle, IOCTL_TVRX_SET_EVENT, &registration,
                                                     sizeof(registration), nullptr, 0, nullptr);
                        lab.Count();
                        lab.Expect("register", status,
                                   {STATUS_SUCCESS, STATUS_INVALID_HANDLE, STATUS_UNSUCCESSFUL,
                                    STATUS_PROCESS_IS_TERMINATING});
                    }
                }
            }));
        }
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
        process->Exit();
        for (std::thread& thread : threads) {
            thread.join();
        }
        process.reset();
    } while (lab.TimeLeft());

    // Clients ending while the device holds their requests (asleep), ended in
    // a random order: the exit cancels each request, on a synchronous handle
    // (the caller waits inside the I/O manager) as on an overlapped one, then
    // closes the handles, so the driver's cleanup and close run for each.
    lab.Step("clients ended while their requests are held");
    constexpr int kHeldClients = 3;  // the last one's handle is overlapped
    for (int i = 0; i < 3 && !lab.Failed(); ++i) {
        std::vector<std::unique_ptr<Client>> clients;
        for (int c = 0; c < kHeldClients; ++c) {
            clients.push_back(std::make_unique<Client>("held"));
            ULONG options = c + 1 < kHeldClients ? FILE_SYNCHRONOUS_IO_NONALERT : 0;
            if (!lab.Expect("open", clients.back()->Open(lab.Path(), options), STATUS_SUCCESS)) {
                return;
            }
        }
        if (!lab.Expect("sleep", lab.Host().Sleep(), STATUS_SUCCESS)) {
            return;
        }
        std::vector<std::unique_ptr<HeldQuery>> held;
        for (auto& client : clients) {
            held.push_back(std::make_unique<HeldQuery>(*client));
        }
        bool holding = Held(lab, "requests held while asleep", kHeldClients);
        // Each ends whether or not its request was held, so none waits past the test.
        std::shuffle(clients.begin(), clients.end(), random);
        for (auto& client : clients) {
            client->process.Exit();
            client->handle = nullptr;  // closed with its process
        }
        for (auto& query : held) {
            NTSTATUS status = query->Wait();
            if (holding) {
                lab.Expect("held request of an ended client", status, STATUS_CANCELLED);
            }
        }
        if (debugview::ReadDevice(lab.Host().Device()).appInstances != 0) {
            lab.Fail("clients ended while their requests are held", "an ended client's instance is still open");
        }
        lab.Expect("resume", lab.Host().Resume(), STATUS_SUCCESS);
    }
    // Nothing of the ended clients is left: an orderly removal is not vetoed.
    lab.Expect("remove after the clients ended", lab.Host().Remove(), STATUS_SUCCESS);
}

void Chaos(Lab& lab)
{
    lab.Step("chaos: starting the clients");
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    std::vector<std::unique_ptr<plat::um::Process>> processes;
    for (int p = 0; p < 3; ++p) {
        processes.push_back(std::make_unique<plat::um::Process>("chaos-" + std::to_string(p)));
    }
    // Opens while the device changes state may find it asleep or stopped, or (removed or unplugged) gone.
    auto open = [&lab](HANDLE* handle, ULONG options) {
        NTSTATUS status = plat::um::OpenDevice(lab.Path(), GENERIC_READ | GENERIC_WRITE, handle, options);
        lab.Count();
        lab.Expect("open during state changes", status,
                   {STATUS_SUCCESS, STATUS_INVALID_DEVICE_STATE, STATUS_OBJECT_NAME_NOT_FOUND});
        return NT_SUCCESS(status);
    };
    // Clients: open, a round of requests, close.
    for (int t = 0; t < 2; ++t) {
        threads.push_back(processes[t]->Thread([&, t] {
            HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
            std::mt19937_64 random = lab.Generator(400 + t);
            while (!stop) {
                HANDLE handle = nullptr;
                if (open(&handle, random() % 2 ? FILE_SYNCHRONOUS_IO_NONALERT : 0)) {
                    ClientRound(lab, "client I/O during state changes", handle, kGranted, event, false);
                    CloseHandle(handle);
                } else {
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                }
            }
            CloseHandle(event);
        }));
    }
    // The fuzzers: random device controls, and opens and closes.
    threads.push_back(processes[2]->Thread([&] {
        std::mt19937_64 random = lab.Generator(500);
        while (!stop) {
            HANDLE handle = nullptr;
            if (open(&handle, FILE_SYNCHRONOUS_IO_NONALERT)) {
                IoctlFuzzRound(lab, random, handle, kGranted, "random device control during state changes", false);
                CloseHandle(handle);
            } else {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        }
    }));
    // The firmware changes the device mode at random.
    threads.push_back(std::thread([&] {
        std::mt19937_64 random = lab.Generator(600);
        while (!stop) {
            lab.Firmware().SetDeviceMode(random() % 8);
            lab.Firmware().Notify(kDeviceModeChanged);
            lab.Count();
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
        }
    }));
    // Plug and Play and power, on this thread: every change is undone before the next.
    std::mt19937_64 random = lab.Generator(700);
    plat::Host& host = lab.Host();
    while (lab.TimeLeft()) {
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 4000));
        switch (random() % 5) {
        case 0:
            lab.Step("chaos: sleep and resume");
            lab.Expect("chaos: sleep", host.Sleep(), STATUS_SUCCESS);
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
            lab.Expect("chaos: resume", host.Resume(), STATUS_SUCCESS);
            break;
        case 1:
            lab.Step("chaos: stop and start");
            lab.Expect("chaos: stop for rebalance", host.Stop(), STATUS_SUCCESS);
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
            lab.Expect("chaos: restart", host.Start(), STATUS_SUCCESS);
            break;
        case 2:
            // A rebalance called off: the device works on as before.
            lab.Step("chaos: query-stop then cancel-stop");
            lab.Expect("chaos: rebalance called off", host.QueryStopThenCancel(), STATUS_SUCCESS);
            break;
        case 3:
            lab.Step("chaos: surprise removal and plugging back");
            // The clients' handles fail until they close them; then the device object goes and it comes back.
            lab.Expect("chaos: surprise removal", host.SurpriseRemove(), STATUS_SUCCESS);
            if (!host.WaitForRemovals(std::chrono::duration_cast<std::chrono::milliseconds>(kSettleLimit))) {
                lab.Fail("chaos: surprise removal", "the device object stayed after the clients closed their handles");
            } else {
                Readd(lab, "chaos: plug back");
            }
            break;
        default: {
            lab.Step("chaos: disable and enable");
            // Vetoed while any client has a handle open.
            NTSTATUS status = host.Remove();
            lab.Expect("chaos: disable", status, {STATUS_SUCCESS, STATUS_PLUGPLAY_QUERY_VETOED});
            if (status == STATUS_SUCCESS) {
                Readd(lab, "chaos: enable");
            }
            break;
        }
        }
        lab.Count();
    }
    stop = true;
    for (std::thread& thread : threads) {
        thread.join();
    }
    if (lab.Failed()) {
        return;
    }
    // At the end every client can open, query, and be woken.
    lab.Step("chaos: clients afterwards");
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(std::make_unique<Client>("after-chaos"));
        if (!OpenAndRound(lab, *clients.back(), "open and query after the chaos")) {
            return;
        }
        clients.back()->Woken(0);  // forget the wake-ups of the chaos
    }
    lab.Firmware().SetDeviceMode(1);
    lab.Firmware().Notify(kDeviceModeChanged);
    for (auto& client : clients) {
        if (!client->Woken(20000)) {
            lab.Fail("woken after the chaos", "a client's event was not set for the device-mode change");
        }
    }
}

}  // namespace sim::devfund
