// The fault sweep: one whole life of the device (load, first start with the
// SAR export, two clients that open, register, register again and query, a
// regulatory change, device-mode notifications, sleep and resume, a restart, a
// BIOS update that exports again, removal, unload), run once to count the
// calls at every failure point, then replayed on a fresh machine failing each
// call in turn. Every replay must end without a stop, with the verifier clean,
// and with the statuses and state that the driver promises for the failure it
// met; where the failure lets it, the replay goes on and checks that the
// device recovers (a failed start is started again, a failed open retried).
#include "support/client.h"
#include "support/firmware_path.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>

#include "acpi/acpidevice.h"
#include "ntos/pnp/pnp.h"
#include "wdf/device.h"
#include "wdf/workitem.h"

namespace tvrx::test {
namespace {

using namespace std::chrono_literals;
using Counts = std::map<std::string, uint64_t>;

constexpr NTSTATUS kInjected = STATUS_IO_DEVICE_ERROR;
constexpr uint64_t kSarAddress = 0x7FFE0000;
constexpr size_t kSarLength = 2600;  // three pieces: 1024, 1024, 552

// Where the calls of a point fall: the scenario's steps, and inside a start
// the stretches between the driver's own traces.
struct Mark {
    std::string segment;  // the stretch that ends here
    Counts counts;        // calls of every point up to here
};

// The call to fail, with the stretch it falls in and its place among the calls
// of its point in that stretch (from 1).
struct Injection {
    std::string point;
    uint64_t nth = 0;
    std::string segment;
    uint64_t inSegment = 0;
};

// A file's contents in a line: absent, or its length and a checksum.
std::string Text(const std::optional<std::vector<uint8_t>>& file)
{
    if (!file) {
        return "no file";
    }
    uint32_t sum = 0;
    for (uint8_t byte : *file) {
        sum = sum * 31 + byte;
    }
    return std::to_string(file->size()) + " bytes, checksum " + std::to_string(sum);
}

std::vector<uint8_t> SarBytes()
{
    std::vector<uint8_t> bytes(kSarLength);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = uint8_t(i * 7 + 3);
    }
    return bytes;
}

// One run of the scenario on a fresh machine: the counting run when no
// injection is given, else a replay that fails exactly one call.
class Life {
public:
    explicit Life(const Injection* injection) : injection_(injection)
    {
        // Nothing here waits for a time-out, so the clock runs at real speed: a
        // slow sanitizer build never mistakes a busy firmware for a hung one.
        plat::Machine::Options options;
        machine_ = std::make_unique<plat::Machine>(options);
        firmware_ = plat::MakeNativeFirmware();
        firmware_->SetSarTable(kSarAddress, SarBytes());
        machine_->SetFirmware(firmware_);
        host_ = std::make_unique<plat::Host>(*machine_);
        plat::fault::Reset();
        if (injection_ != nullptr) {
            plat::fault::FailNth(injection_->point, injection_->nth, kInjected);
        } else {
            plat::trace::EnableSession(0, 0xFFFFFFFF, [this](const plat::trace::Record& record) { Trace(record); });
        }
    }

    ~Life()
    {
        plat::trace::DisableSession();
        clients_.clear();
        if (host_->Loaded()) {
            plat::verifier::Report report = host_->Unload();
            EXPECT_TRUE(report.Clean()) << report.Text();
        }
        host_.reset();
        firmware_.reset();
        machine_.reset();
        plat::verifier::Report report = plat::verifier::Check();
        EXPECT_TRUE(report.Clean()) << report.Text();
    }

    void Run();
    const std::vector<Mark>& Marks() const { return marks_; }

private:
    // ---------------------------------------------------------------- where the failure lands

    void Trace(const plat::trace::Record& record)
    {
        std::string function = record.function;
        std::string text = record.text;
        auto has = [&text](const char* part) { return text.find(part) != std::string::npos; };
        if (function == "TvrxProcessDeviceModeTable" && has("table 2 tag")) {
            AddMark(step_ + ":tables");
        } else if (function == "TvrxIsBiosSarUpdateNeeded" && has("update ")) {
            AddMark(step_ + ":check");
        } else if (function == "TvrxProcessBiosSarLocation" && has("SAR table at")) {
            AddMark(step_ + ":locate");
        } else if (function == "TvrxExportBiosSarTable" && record.level == 4 && has(" bytes ")) {
            AddMark(step_ + ":export");
        } else if (function == "TvrxWdfEvtDevicePrepareHardware" && has("Exit")) {
            AddMark(step_ + ":record");
        }
    }

    void AddMark(const std::string& segment)
    {
        std::lock_guard<std::mutex> guard(marksLock_);
        marks_.push_back({segment, plat::fault::Counts()});
    }

    // Starts a step; ends the one before.
    void Step(const std::string& name)
    {
        EndStep();
        step_ = name;
    }

    void EndStep()
    {
        if (step_.empty()) {
            return;
        }
        if (injection_ == nullptr) {
            AddMark(starts_.count(step_) ? step_ + ":d0" : step_);
        } else {
            // The replay follows the counting run exactly until the failure:
            // it must land in the stretch the counts put it in, and nowhere else.
            bool due = Reached(step_);
            EXPECT_EQ(plat::fault::Injected(), due ? 1u : 0u) << "after step " << step_;
        }
        passed_.push_back(step_);
    }

    // Whether the failure has happened by the end of this step.
    bool Reached(const std::string& step) const
    {
        if (injection_ == nullptr) {
            return false;
        }
        if (Hits(step)) {
            return true;
        }
        return std::find(passed_.begin(), passed_.end(), StepOf(injection_->segment)) != passed_.end();
    }

    static std::string StepOf(const std::string& segment) { return segment.substr(0, segment.find(':')); }

    // Whether the failure lands in this step (or in this stretch of it).
    bool Hits(const std::string& where) const
    {
        if (injection_ == nullptr) {
            return false;
        }
        return injection_->segment == where || StepOf(injection_->segment) == where;
    }
    bool HitsPoint(const std::string& where, const char* point) const
    {
        return Hits(where) && injection_->point == point;
    }
    // The status a failed call surfaces as: a pool allocation that fails is a lack of resources.
    NTSTATUS Surfaced() const
    {
        return injection_->point == "ExAllocatePool" ? STATUS_INSUFFICIENT_RESOURCES : kInjected;
    }

    // ---------------------------------------------------------------- the steps

    bool LoadAndAdd();
    void StartDevice(const std::string& name);
    void StartAgain(const std::string& name);
    void OpenClients();
    void RegisterEvents();
    struct ClientState;
    void Register(ClientState& client, const std::string& step);
    void Query();
    void ChangeRegulatoryType();
    void Notify(const std::string& name, uint64_t mode);
    void SleepAndResume();
    void Restart(const std::string& name);
    void UpdateBios();
    void RemoveAndUnload();

    // ---------------------------------------------------------------- what is looked at

    debugview::Device View() { return debugview::ReadDevice(host_->Device()); }
    ULONG BiosSarState() { return debugview::ReadBiosSarState(*host_).value(); }
    std::optional<uint32_t> RegistryState() { return machine_->Registry().GetDword(kSarServiceKey, L"BiosSarState"); }
    std::optional<std::wstring> BiosInfo() { return machine_->Registry().GetString(kSarServiceKey, L"BiosInfo"); }
    std::optional<std::vector<uint8_t>> ExportFile()
    {
        std::ifstream file(tvrx::SarExportFile(machine_->DriveRoot()), std::ios::binary);
        if (!file) {
            return std::nullopt;
        }
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), {});
    }
    std::wstring BiosVersion()
    {
        return machine_->Registry().GetString(kHardwareConfigKey, L"BIOSVersion").value_or(L"");
    }
    size_t DsmCalls(uint64_t function)
    {
        size_t count = 0;
        for (const plat::NativeFirmware::DsmCall& call : firmware_->Calls()) {
            count += call.function == function;
        }
        return count;
    }
    void Settle()
    {
        auto* fx = plat::wdf::ResolveAs<plat::wdf::FxDevice>(host_->Device(), plat::wdf::FxType::Device, "sweep");
        ASSERT_TRUE(plat::acpi::DeviceBelow(fx->lower)->WaitNotificationsIdle());
        ASSERT_TRUE(plat::wdf::WaitForWorkItemsIdle(10s));
    }
    // Each client's event was set since the last look exactly when `set` says so
    // (a client without a registered event never is).
    void ExpectSignals(bool set, const char* why)
    {
        for (ClientState& client : clients_) {
            if (client.open && client.event != nullptr) {
                EXPECT_EQ(client.client->TakeSignal(client.event), set && client.registered)
                    << client.client->process.Name() << ", " << why;
            }
            if (client.stale != nullptr) {
                EXPECT_FALSE(client.client->TakeSignal(client.stale)) << client.client->process.Name() << ", " << why;
            }
        }
    }

    struct ClientState {
        std::unique_ptr<Client> client;
        HANDLE event = nullptr;
        HANDLE stale = nullptr;  // an event the client registered before, never to be set again
        bool open = false;
        bool registered = false;
    };

    const Injection* injection_;
    std::unique_ptr<plat::Machine> machine_;
    std::shared_ptr<plat::NativeFirmware> firmware_;
    std::unique_ptr<plat::Host> host_;
    std::mutex marksLock_;
    std::vector<Mark> marks_;
    std::string step_;
    std::vector<std::string> passed_;
    const std::set<std::string> starts_ = {"start", "restart", "update start"};

    // What the driver should have by now.
    bool interface_ = true;      // clients can find the device
    bool queue_ = true;          // the device has its default queue
    bool exported_ = false;      // BiosInfo matches the running BIOS and the last export completed
    uint64_t mode_ = 1;          // CurrentDeviceMode
    std::optional<std::vector<uint8_t>> file_;  // the export file as it should be
    std::optional<std::wstring> biosInfo_;      // BiosInfo before the start in progress
    std::vector<ClientState> clients_;
};

void Life::Run()
{
    if (!LoadAndAdd()) {
        return;
    }
    StartDevice("start");
    OpenClients();
    RegisterEvents();
    Query();
    ChangeRegulatoryType();
    Notify("notify", 2);
    SleepAndResume();
    Notify("notify after resume", 3);
    Restart("restart");
    Notify("notify after restart", 0);
    UpdateBios();
    RemoveAndUnload();
}

bool Life::LoadAndAdd()
{
    Step("load");
    NTSTATUS status = host_->Load();
    if (HitsPoint("load", "WdfDriverCreate")) {
        EXPECT_EQ(status, kInjected);
        EXPECT_FALSE(host_->Loaded());
        EndStep();
        return false;
    }
    // Tracing is a service: a provider that cannot register costs the traces, not the driver.
    EXPECT_EQ(status, STATUS_SUCCESS);

    Step("add");
    status = host_->AddDevice();
    // The device, its locks and its notification gate are what an add cannot
    // do without (a pool allocation fails with no status: the driver's is
    // STATUS_INSUFFICIENT_RESOURCES).
    bool noGate = HitsPoint("add", "ExAllocatePool");
    if (HitsPoint("add", "WdfDeviceCreate") || HitsPoint("add", "WdfSpinLockCreate") || noGate) {
        EXPECT_EQ(status, noGate ? STATUS_INSUFFICIENT_RESOURCES : kInjected);
        EXPECT_EQ(host_->DeviceCount(), 0u);
        EndStep();
        EXPECT_TRUE(host_->Unload().Clean());
        return false;
    }
    EXPECT_EQ(status, STATUS_SUCCESS);
    // Without its interface the device has no queue either; both still start and export.
    interface_ = !HitsPoint("add", "WdfDeviceCreateDeviceInterface");
    queue_ = interface_ && !HitsPoint("add", "WdfIoQueueCreate");
    return host_->DeviceCount() == 1;
}

void Life::StartDevice(const std::string& name)
{
    Step(name);
    firmware_->ClearCalls();
    bool exportDue = !exported_;
    mode_ = firmware_->DeviceMode();
    biosInfo_ = BiosInfo();
    // The ACPI device below outlives a stack that a failed start removes.
    std::shared_ptr<plat::acpi::AcpiDevice> below;
    if (WDFDEVICE device = host_->Device()) {
        below = plat::acpi::DeviceBelow(plat::wdf::ResolveAs<plat::wdf::FxDevice>(device, plat::wdf::FxType::Device, "sweep")->lower);
    }
    NTSTATUS status = host_->Start();

    if (Hits(name + ":tables")) {
        // The interface, _DSM functions 0 and 1 and the three tables are the start.
        EXPECT_EQ(status, Surfaced());
        // The framework releases the hardware after a failed prepare-hardware
        // (KMDF's FailedOwnHardware state), which gives the interface back.
        EXPECT_EQ(DsmCalls(plat::NativeFirmware::kSarLocation), 0u);
        EXPECT_EQ(below->InterfaceReferences(), 0) << "a failed start gives the interface back";
        EXPECT_FALSE(host_->Started());
        EXPECT_EQ(Client("latecomer").Open(), STATUS_OBJECT_NAME_NOT_FOUND);
        StartAgain(name);
        return;
    }
    if (Hits(name + ":d0")) {
        // Notifications cannot be switched on: the device does not reach D0 and its hardware is released.
        EXPECT_EQ(status, kInjected);
        EXPECT_FALSE(below->HandlerRegistered());
        EXPECT_EQ(below->InterfaceReferences(), 0);
        EXPECT_FALSE(host_->Started());
        if (exportDue) {
            file_ = firmware_->SarBytes();
            exported_ = true;
        }
        EXPECT_EQ(Text(ExportFile()), Text(file_));
        StartAgain(name);
        return;
    }

    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(View().deviceState, ULONG(debugview::kDevicePrepared));
    EXPECT_TRUE(View().notificationsRegistered);
    EXPECT_EQ(View().currentDeviceMode, mode_);
    EXPECT_TRUE(View().tablesValid);
    debugview::Device view = View();
    for (size_t t = 0; t < debugview::DriverLimits().tableCount; ++t) {
        plat::DeviceModeTable table = plat::NativeFirmware::DefaultTable(t);
        const debugview::ModeTable& held = view.tables[t];
        EXPECT_EQ(held.entryCount, table.entries.size());
        ASSERT_GE(held.rows.size(), table.entries.size());
        EXPECT_EQ(held.rows[table.entries.size() - 1].value3, ULONG(table.entries.back().value3));
    }

    // The update check decides "export" whenever it cannot prove the file current.
    bool checkFailed = Hits(name + ":check");
    if (!exportDue && !checkFailed) {
        EXPECT_EQ(DsmCalls(plat::NativeFirmware::kSarLocation), 0u);
        EXPECT_EQ(BiosSarState(), ULONG(debugview::kSarCurrent));
        EXPECT_EQ(RegistryState(), uint32_t(debugview::kSarCurrent));
        EXPECT_EQ(Text(ExportFile()), Text(file_));
        return;
    }
    std::vector<uint8_t> sar = firmware_->SarBytes();
    if (Hits(name + ":locate")) {
        // _DSM function 3 failed: the export is skipped, the device works,
        // and the next start tries again (the state is not 1).
        EXPECT_EQ(BiosSarState(), ULONG(debugview::kSarChecking));
        EXPECT_EQ(RegistryState(), uint32_t(debugview::kSarChecking));
        exported_ = false;
    } else if (Hits(name + ":export")) {
        // The state names what failed. The copy is written beside the file and
        // replaces it only when complete, so the file is as it was (the last
        // whole table, or none) whatever failed; the next start tries again.
        // (Earlier the file kept the pieces written before the failure, and
        // the registry could still call it current.)
        const std::string& point = injection_->point;
        ULONG state = debugview::kSarChecking;
        // A read error raised while copying (PhysicalMemoryRead) is a failed read too.
        if (point == "MmMapIoSpace" || point == "PhysicalMemoryRead") {
            state = debugview::kSarReadFailed;
        } else if (point == "ZwWriteFile" || point == "ZwFlushBuffersFile" || point == "ZwSetInformationFile") {
            state = debugview::kSarWriteFailed;
        }
        EXPECT_EQ(BiosSarState(), state);
        EXPECT_EQ(RegistryState(), state);
        exported_ = false;
    } else if (Hits(name + ":record")) {
        // Exported, but not recorded as such: BiosInfo is not updated, so the next start exports again.
        file_ = sar;
        EXPECT_EQ(BiosSarState(), ULONG(debugview::kSarCurrent));
        bool stateWriteFailed =
            injection_->inSegment == 1 && (injection_->point == "WdfDriverOpenParametersRegistryKey" ||
                                           injection_->point == "WdfRegistryCreateKey" ||
                                           injection_->point == "WdfRegistryAssignULong");
        EXPECT_EQ(RegistryState(), uint32_t(stateWriteFailed ? debugview::kSarChecking
                                                             : debugview::kSarCurrent));
        if (stateWriteFailed) {
            exported_ = false;  // the registry does not call it current: the next start exports again
        }
    } else {
        // A clean export, also after a failed check.
        file_ = sar;
        EXPECT_EQ(DsmCalls(plat::NativeFirmware::kSarLocation), 1u);
        EXPECT_EQ(BiosSarState(), ULONG(debugview::kSarCurrent));
        EXPECT_EQ(RegistryState(), uint32_t(debugview::kSarCurrent));
        EXPECT_EQ(BiosInfo(), BiosVersion());
        EXPECT_EQ(Text(ExportFile()), Text(file_));
        exported_ = true;
        return;
    }
    EXPECT_EQ(Text(ExportFile()), Text(file_));
    EXPECT_EQ(BiosInfo(), biosInfo_) << "BiosInfo is written only after a complete export";
}

// After a failed start: the Plug and Play manager removed the stack
// (IRP_MN_REMOVE_DEVICE after a failed IRP_MN_START_DEVICE; a restart after a
// stop is surprise-removed first) and the device node keeps
// CM_PROB_FAILED_START. The clients' handles name the removed device: a
// request on one fails (the failed device's queue accepts none), and they
// close them, as owners of handles do once told the device is gone. The next
// start adds the device again; the clients open the new one and register anew.
void Life::StartAgain(const std::string& name)
{
    EXPECT_EQ(host_->Device(), nullptr);
    EXPECT_EQ(host_->Problem(), ULONG(plat::pnp::kProblemFailedStart));
    bool hadClients = !clients_.empty();
    for (ClientState& client : clients_) {
        if (client.open) {
            TVRX_DEVICE_MODE_ENTRY_INFO entry{};
            EXPECT_EQ(client.client->GetEntry(&entry).status, STATUS_INVALID_DEVICE_STATE);
        }
        client.client->CloseObject(client.event);
        if (client.stale != nullptr) {
            client.client->CloseObject(client.stale);
        }
        client.client->Close();
    }
    clients_.clear();
    EXPECT_TRUE(host_->WaitForRemovals(10s)) << "the old stack is removed once its handles have closed";
    StartDevice(name + " again");
    if (hadClients) {
        OpenClients();
        RegisterEvents();
    }
}

void Life::OpenClients()
{
    for (const char* name : {"A", "B"}) {
        ClientState state;
        state.client = std::make_unique<Client>(std::string("client") + name);
        Step(std::string("open ") + name);
        NTSTATUS status = state.client->Open();
        if (!interface_) {
            EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
            continue;
        }
        if (Hits(std::string("open ") + name)) {
            // No memory for the instance: the open fails and the list stays as it was.
            EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
            EXPECT_EQ(View().appInstances, clients_.size());
            status = state.client->Open();
        }
        EXPECT_EQ(status, STATUS_SUCCESS);
        state.open = status == STATUS_SUCCESS;
        state.event = state.client->NewEvent();
        clients_.push_back(std::move(state));
    }
}

void Life::RegisterEvents()
{
    for (ClientState& client : clients_) {
        Register(client, "register " + client.client->process.Name().substr(6));
    }
    if (clients_.empty()) {
        return;
    }
    // A client that registers a new event: only the new one is set from now on,
    // and one whose new handle is refused has no event at all.
    ClientState& first = clients_[0];
    first.stale = first.event;
    first.event = first.client->NewEvent();
    Register(first, "register again");
}

void Life::Register(ClientState& client, const std::string& step)
{
    Step(step);
    NTSTATUS status = client.client->Register(client.event);
    if (!queue_) {
        EXPECT_EQ(status, STATUS_INVALID_DEVICE_REQUEST);
    } else if (Hits(step)) {
        // The handle could not be resolved: refused, and the client has no event.
        EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
    } else {
        EXPECT_EQ(status, STATUS_SUCCESS);
    }
    client.registered = status == STATUS_SUCCESS;
}

void Life::Query()
{
    if (clients_.empty()) {
        return;
    }
    Client& client = *clients_[0].client;
    Step("entry");
    TVRX_DEVICE_MODE_ENTRY_INFO entry{};
    Reply reply = client.GetEntry(&entry);
    if (!queue_) {
        EXPECT_EQ(reply.status, STATUS_INVALID_DEVICE_REQUEST);
    } else if (Hits("entry")) {
        EXPECT_EQ(reply.status, Surfaced());
        EXPECT_EQ(reply.information, 0u);
    } else {
        EXPECT_EQ(reply.status, STATUS_SUCCESS);
        EXPECT_EQ(reply.information, sizeof entry);
        EXPECT_EQ(entry.DeviceMode, mode_);
    }

    Step("table info");
    ULONG index = 1;
    TVRX_DEVICE_MODE_TABLE_INFO info{};
    reply = client.Control(IOCTL_TVRX_GET_DEVICE_MODE_TABLE_INFO, &index, sizeof index, &info, sizeof info);
    if (!queue_) {
        EXPECT_EQ(reply.status, STATUS_INVALID_DEVICE_REQUEST);
    } else if (Hits("table info")) {
        EXPECT_EQ(reply.status, Surfaced());
        EXPECT_EQ(reply.information, 0u);
    } else {
        EXPECT_EQ(reply.status, STATUS_SUCCESS);
        EXPECT_EQ(info.EntryCount, plat::NativeFirmware::DefaultTable(1).entries.size());
    }
}

void Life::ChangeRegulatoryType()
{
    if (clients_.empty()) {
        return;
    }
    Step("regulatory type");
    NTSTATUS status = clients_[0].client->SetRegulatoryType(1);
    if (!queue_) {
        EXPECT_EQ(status, STATUS_INVALID_DEVICE_REQUEST);
        return;
    }
    EXPECT_EQ(status, STATUS_SUCCESS);
    ExpectSignals(true, "after the regulatory type changed");
}

void Life::Notify(const std::string& name, uint64_t mode)
{
    Step(name);
    size_t reads = DsmCalls(plat::NativeFirmware::kDeviceMode);
    firmware_->SetDeviceMode(mode);
    firmware_->Notify(debugview::DriverLimits().modeChangeNotify);
    Settle();
    bool delivered = View().notificationsRegistered;
    if (!delivered) {
        EXPECT_EQ(DsmCalls(plat::NativeFirmware::kDeviceMode), reads);
        ExpectSignals(false, "with notifications off");
    } else if (HitsPoint(name, "WdfWorkItemCreate")) {
        // No work item: the notification is lost, and nothing else happens.
        EXPECT_EQ(DsmCalls(plat::NativeFirmware::kDeviceMode), reads);
        ExpectSignals(false, "for a lost notification");
    } else if (Hits(name)) {
        // The mode could not be read: it stays, and the clients are woken all the same.
        ExpectSignals(true, "after a failed read of the mode");
    } else {
        EXPECT_EQ(DsmCalls(plat::NativeFirmware::kDeviceMode), reads + 1);
        mode_ = mode;
        ExpectSignals(true, "after a notification");
    }
    EXPECT_EQ(View().currentDeviceMode, mode_);
}

void Life::SleepAndResume()
{
    Step("sleep");
    EXPECT_EQ(host_->Sleep(), STATUS_SUCCESS);
    EXPECT_EQ(View().deviceState, ULONG(debugview::kDeviceReleased));
    EXPECT_FALSE(View().notificationsRegistered);
    if (interface_) {
        EXPECT_EQ(Client("sleeper").Open(), STATUS_INVALID_DEVICE_STATE);
    }

    // A mode change while asleep is not heard; the resume reads the mode itself.
    constexpr uint64_t kAsleepMode = 4;
    firmware_->SetDeviceMode(kAsleepMode);
    firmware_->Notify(debugview::DriverLimits().modeChangeNotify);
    Settle();
    ExpectSignals(false, "while asleep");

    Step("resume");
    size_t reads = DsmCalls(plat::NativeFirmware::kDeviceMode);
    NTSTATUS status = host_->Resume();
    if (HitsPoint("resume", "RegisterForDeviceNotifications")) {
        // The handler cannot be registered: the device fails to power up.
        EXPECT_EQ(status, kInjected);
        EXPECT_FALSE(View().notificationsRegistered);
        EXPECT_FALSE(host_->Started());
        EXPECT_EQ(View().deviceState, ULONG(debugview::kDeviceReleased));
        return;
    }
    EXPECT_EQ(status, STATUS_SUCCESS);
    Settle();
    EXPECT_TRUE(View().notificationsRegistered);
    // The hardware stayed prepared through the sleep, so the device admits
    // new clients again (a resume runs D0 entry only, no prepare-hardware).
    EXPECT_EQ(View().deviceState, ULONG(debugview::kDevicePrepared));
    if (HitsPoint("resume", "WdfWorkItemCreate")) {
        // No work item for the read: it is lost like a notification's.
        EXPECT_EQ(DsmCalls(plat::NativeFirmware::kDeviceMode), reads);
        ExpectSignals(false, "without the resume's read");
    } else if (Hits("resume")) {
        // The mode could not be read: it stays, and the clients are woken all the same.
        ExpectSignals(true, "after a failed read at resume");
    } else {
        EXPECT_EQ(DsmCalls(plat::NativeFirmware::kDeviceMode), reads + 1);
        mode_ = kAsleepMode;
        ExpectSignals(true, "after the resume's read");
    }
    EXPECT_EQ(View().currentDeviceMode, mode_);
}

void Life::Restart(const std::string& name)
{
    Step("stop before " + name);
    if (host_->Started()) {
        EXPECT_EQ(host_->Stop(), STATUS_SUCCESS);
        EXPECT_EQ(View().deviceState, ULONG(debugview::kDeviceReleased));
        EXPECT_FALSE(View().acpiInterfaceAcquired);
        if (interface_) {
            // KMDF keeps the interface enabled through a stop: the open
            // reaches the driver, which refuses it with its own status.
            EXPECT_EQ(Client("stopped").Open(), STATUS_INVALID_DEVICE_STATE);
        }
    } else {
        EXPECT_EQ(host_->Stop(), STATUS_INVALID_DEVICE_STATE);
    }
    // The tables and the device mode are read again; the mode is the firmware's now.
    StartDevice(name);
}

void Life::UpdateBios()
{
    // A new BIOS with a shorter SAR table: the next start replaces the file.
    Step("bios update");
    machine_->Registry().SetString(kHardwareConfigKey, L"BIOSVersion", L"TVRX-FW 2.00.0");
    std::vector<uint8_t> sar(1500);
    for (size_t i = 0; i < sar.size(); ++i) {
        sar[i] = uint8_t(255 - i);
    }
    firmware_->SetSarTable(kSarAddress + 0x1000, sar);
    exported_ = false;
    Restart("update start");
}

void Life::RemoveAndUnload()
{
    Step("close");
    for (ClientState& client : clients_) {
        client.client->CloseObject(client.event);
        if (client.stale != nullptr) {
            client.client->CloseObject(client.stale);
        }
        client.client->Close();
    }
    clients_.clear();
    EXPECT_TRUE(View().clients.empty());
    Step("remove");
    EXPECT_EQ(host_->Remove(), STATUS_SUCCESS);
    Step("unload");
    plat::verifier::Report report = host_->Unload();
    EXPECT_TRUE(report.Clean()) << report.Text();
    EndStep();
}

// ---------------------------------------------------------------- the sweep

// The stretch each call of a point falls in: the first mark whose count reaches it.
Injection Locate(const std::vector<Mark>& marks, const std::string& point, uint64_t nth)
{
    Injection injection{point, nth, "", 0};
    uint64_t before = 0;
    for (const Mark& mark : marks) {
        auto it = mark.counts.find(point);
        uint64_t count = it == mark.counts.end() ? 0 : it->second;
        if (count >= nth) {
            injection.segment = mark.segment;
            injection.inSegment = nth - before;
            return injection;
        }
        before = count;
    }
    return injection;
}

// Every call of a point, unless it has very many: then the first, the last, the middle one and every fourth.
std::vector<uint64_t> Occurrences(uint64_t count)
{
    std::vector<uint64_t> chosen;
    for (uint64_t nth = 1; nth <= count; ++nth) {
        if (count <= 128 || nth == 1 || nth == count || nth == (count + 1) / 2 || nth % 4 == 0) {
            chosen.push_back(nth);
        }
    }
    return chosen;
}

TEST(FaultSweep, EveryFailureOfAWholeLifeIsSurvivedAsTheDriverPromises)
{
    std::vector<Mark> marks;
    {
        Life counting(nullptr);
        counting.Run();
        marks = counting.Marks();
    }
    ASSERT_FALSE(testing::Test::HasFailure()) << "the scenario itself must pass before it is swept";
    ASSERT_FALSE(marks.empty());
    const Counts& total = marks.back().counts;

    size_t points = 0;
    size_t calls = 0;
    for (const auto& [point, count] : total) {
        if (count == 0) {
            continue;
        }
        ++points;
        for (uint64_t nth : Occurrences(count)) {
            Injection injection = Locate(marks, point, nth);
            SCOPED_TRACE(point + " #" + std::to_string(nth) + " in " + injection.segment + " (#" +
                         std::to_string(injection.inSegment) + " there)");
            Life replay(&injection);
            replay.Run();
            ++calls;
            if (testing::Test::HasFatalFailure()) {
                return;
            }
        }
    }
    std::printf("fault sweep: %zu failure points, %zu of their %llu calls failed in turn\n", points, calls,
                (unsigned long long)[&] {
                    uint64_t sum = 0;
                    for (const auto& entry : total) sum += entry.second;
                    return sum;
                }());
    EXPECT_GE(points, 20u);
}

}  // namespace
}  // namespace tvrx::test
