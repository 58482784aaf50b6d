/* The simulation: commands against one machine, its driver, firmware and clients. */
#include "session.h"

#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <optional>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <tuple>

#include <nlohmann/json.hpp>

#include <initguid.h>  // defines the interface GUID for this program
#include <windows.h>
#include <cfgmgr32.h>

#include "acpi/enumerate.h"
#include "base/fault.h"
#include "base/status.h"
#include "base/verifier.h"
#include "debugview.h"
#include "drivernames.h"
#include "firmware/acpica.h"
#include "firmware/native.h"
#include "harness.h"
#include "machine/registry.h"
#include "ntos/pnp/pnp.h"
#include "pending.h"
#include "system/host.h"
#include "system/machine.h"
#include "sha256.h"
#include "tvrxioctl.h"
#include "um/client.h"
#include "wdf/workitem.h"
#include "wpp/wpp.h"

namespace sim {

namespace debugview = tvrx::debugview;

namespace {

constexpr UCHAR kLevelVerbose = 5;

// The firmware's notification of a new device mode.
constexpr ULONG kDeviceModeChanged = 0x80;

// How long the simulation waits for what should happen at once (the driver's
// work after a notification, a held request presented after resume) before it goes on.
constexpr std::chrono::seconds kSettleLimit(10);

// Traces reach the session's sink on whatever thread the driver runs (client
// threads, work items, held requests' senders): the collected lines and the
// output they share with the commands' results are taken under this lock.
std::mutex g_outputLock;

using tvrx::kHardwareConfigKey;
using tvrx::kSarServiceKey;

std::string Hex(uint64_t value, int digits = 8)
{
    char text[32];
    std::snprintf(text, sizeof text, "0x%0*" PRIX64, digits, value);
    return text;
}

std::string HexBytes(const uint8_t* data, size_t size)
{
    std::string text;
    char digits[4];
    for (size_t i = 0; i < size; ++i) {
        std::snprintf(digits, sizeof digits, "%02x", data[i]);
        text += digits;
    }
    return text;
}

using JsonValue = nlohmann::ordered_json;  // members in the order they are written

// One JSON value as text; bytes that are not UTF-8 become U+FFFD.
std::string Dump(const JsonValue& value)
{
    return value.dump(-1, ' ', false, JsonValue::error_handler_t::replace);
}

std::string JsonString(const std::string& text)
{
    return Dump(JsonValue(text));
}

std::string Narrow(const std::wstring& text)
{
    std::string out;
    for (wchar_t c : text) out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    return out;
}

std::vector<uint8_t> ReadFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path.string());
    }
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The host path of the SAR export, resolving each component case-insensitively as NTFS would.
std::optional<std::filesystem::path> FindSarExport(const std::filesystem::path& root)
{
    std::filesystem::path path = root;
    for (const char* part : tvrx::kSarExportParts) {
        std::error_code ec;
        bool found = false;
        for (const auto& entry : std::filesystem::directory_iterator(path, ec)) {
            std::string name = entry.path().filename().string();
            if (name.size() == std::strlen(part) &&
                std::equal(name.begin(), name.end(), part, [](char a, char b) { return std::tolower(a) == std::tolower(b); })) {
                path = entry.path();
                found = true;
                break;
            }
        }
        if (!found) {
            return std::nullopt;
        }
    }
    return path;
}

// The symbolic name of a device node's problem code, as Device Manager's documentation gives it.
const char* ProblemName(ULONG code)
{
    switch (code) {
    case plat::pnp::kProblemFailedStart:
        return "CM_PROB_FAILED_START";
    case plat::pnp::kProblemDisabled:
        return "CM_PROB_DISABLED";
    case plat::pnp::kProblemFailedAdd:
        return "CM_PROB_FAILED_ADD";
    case plat::pnp::kProblemFailedPostStart:
        return "CM_PROB_FAILED_POST_START";
    default:
        return "CM_PROB_UNKNOWN";
    }
}

// A watching client's registrations and what its callbacks did. The
// callbacks run on threads of the client's process; they open and close the
// client's handle under the lock, and leave the unregistrations they need
// (which a callback may not do for itself) to the session.
struct Watch {
    std::mutex lock;
    HANDLE* device = nullptr;                    // the client's handle on the device (nullptr: none)
    const ACCESS_MASK* access = nullptr;         // what the client's last `open` asked for
    HCMNOTIFICATION interfaces = nullptr;
    HCMNOTIFICATION handle = nullptr;            // on the client's current handle
    std::vector<HCMNOTIFICATION> stale;          // to unregister once the callbacks are done
    std::vector<HANDLE> closing;                 // let go of by a removal: closed once the command is done
    std::vector<std::pair<uint64_t, std::string>> heard;  // by the notification's place in the order posted
    // Whether the device holds a request of the handle: closing it would wait
    // for that request (the handle is for synchronous I/O), so it stays open.
    std::function<bool(HANDLE)> holdsRequestOf;
};

DWORD OnWatchEvent(HCMNOTIFICATION notification, PVOID context, CM_NOTIFY_ACTION action, PCM_NOTIFY_EVENT_DATA data,
                   DWORD size);

// Under the watch's lock: registers for the removal events of the client's handle.
void WatchHandleLocked(Watch& watch)
{
    CM_NOTIFY_FILTER filter{};
    filter.cbSize = sizeof filter;
    filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEHANDLE;
    filter.u.DeviceHandle.hTarget = *watch.device;
    if (CM_Register_Notification(&filter, &watch, OnWatchEvent, &watch.handle) != CR_SUCCESS) {
        watch.handle = nullptr;
    }
}

// Under the watch's lock: opens the device through the interface list, as
// `open` does, and watches the new handle; what happened, for the report.
std::string OpenWatchedLocked(Watch& watch)
{
    std::wstring path = tvrx::harness::DevicePath();
    if (path.empty()) {
        return "no device interface to open";
    }
    HANDLE device = nullptr;
    NTSTATUS status = plat::um::OpenDevice(path, *watch.access, &device);
    if (!NT_SUCCESS(status)) {
        return "the open failed: " + plat::FormatStatus(status);
    }
    *watch.device = device;
    WatchHandleLocked(watch);
    return "opened the device";
}

// Under the watch's lock: closes the client's handle if it has one.
std::string CloseWatchedLocked(Watch& watch)
{
    if (*watch.device == nullptr) {
        return {};
    }
    CloseHandle(*watch.device);
    *watch.device = nullptr;
    return ": closed its handle";
}

// A watching client follows the device as Microsoft's "Registering for
// notification of device interface arrival and device removal" tells: it
// closes its handle on a query-remove, opens again when the query failed or
// the interface arrives, and lets the handle's registration go once the
// device was removed.
DWORD OnWatchEvent(HCMNOTIFICATION notification, PVOID context, CM_NOTIFY_ACTION action, PCM_NOTIFY_EVENT_DATA data,
                   DWORD size)
{
    (void)data;
    (void)size;
    static const char* const kNames[] = {"interface arrival", "interface removal", "query-remove",
                                         "query-remove-failed", "remove-pending", "remove-complete"};
    auto& watch = *static_cast<Watch*>(context);
    std::lock_guard<std::mutex> guard(watch.lock);
    std::string text = action < CM_NOTIFY_ACTION_DEVICECUSTOMEVENT ? kNames[action] : "other";
    switch (action) {
    case CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL:
        if (*watch.device == nullptr) {
            text += ": " + OpenWatchedLocked(watch);
        }
        break;
    case CM_NOTIFY_ACTION_DEVICEQUERYREMOVE:
        if (*watch.device != nullptr && watch.holdsRequestOf(*watch.device)) {
            text += ": kept its handle (a request of it is held: CloseHandle would wait for it)";
        } else {
            text += CloseWatchedLocked(watch);
        }
        break;
    case CM_NOTIFY_ACTION_DEVICEQUERYREMOVEFAILED:
        if (*watch.device == nullptr && notification == watch.handle) {
            watch.stale.push_back(watch.handle);
            watch.handle = nullptr;
            std::string opened = OpenWatchedLocked(watch);
            text += ": " + (*watch.device != nullptr ? opened + " again" : opened);
        }
        break;
    case CM_NOTIFY_ACTION_DEVICEREMOVEPENDING:
    case CM_NOTIFY_ACTION_DEVICEREMOVECOMPLETE:
        // The handle is closed by the session once the command that removed
        // the device has returned: an unload deletes the device with the
        // handle open, and the close must not run into that deletion.
        if (notification == watch.handle) {
            if (*watch.device != nullptr) {
                watch.closing.push_back(*watch.device);
                *watch.device = nullptr;
                text += ": closed its handle";
            }
            watch.stale.push_back(watch.handle);
            watch.handle = nullptr;
        }
        break;
    default:
        break;
    }
    watch.heard.emplace_back(plat::um::NotificationSequence(), text);
    return ERROR_SUCCESS;
}

}  // namespace

struct Simulation::Client {
    // Declared before the process, so it outlives the process's registrations.
    std::unique_ptr<Watch> watch;
    std::unique_ptr<plat::um::Process> process;
    HANDLE device = nullptr;
    ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE;  // what the last `open` asked for
    HANDLE event = nullptr;       // full access: what `wait` waits on
    HANDLE registered = nullptr;  // the handle passed to the driver, when it is another one
    int events = 0;
};

struct Simulation::Last {
    bool haveRequest = false;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    std::optional<TVRX_DEVICE_MODE_ENTRY_INFO> entry;
    std::optional<TVRX_DEVICE_MODE_TABLE_INFO> table;
    std::optional<bool> signaled;
};

// A device control of a client command: what it sends, and how it completed.
struct Simulation::Request {
    Command command;
    HANDLE device = nullptr;  // the client's handle (unused for a kernel request)
    bool kernel = false;
    ULONG code = 0;
    std::vector<uint8_t> input;
    std::vector<uint8_t> output;
    std::string reply;  // what the reply shows besides the output
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    std::unique_ptr<PendingSend> sender;  // while the device holds it

    void Send()
    {
        if (!kernel) {
            status = plat::um::IoControl(device, code, input.data(), static_cast<ULONG>(input.size()), output.data(),
                                         static_cast<ULONG>(output.size()), &information);
            return;
        }
        std::wstring path = tvrx::harness::DevicePath();
        status = path.empty()
                     ? STATUS_OBJECT_NAME_NOT_FOUND
                     : plat::um::KernelIoControl(path, code, input.data(),
                                                 static_cast<ULONG>(input.size()), output.data(),
                                                 static_cast<ULONG>(output.size()), &information);
    }
};

// A lifecycle command whose step waits on the firmware: the ACPI driver does
// not cancel the evaluation at the driver's time-out, so the step returns only
// once the firmware answers again.
struct Simulation::Blocked {
    Command command;
    std::unique_ptr<BackgroundStep> step;
};

Simulation::Simulation(Options options, std::ostream& out)
    : options_(std::move(options)), out_(out), last_(std::make_unique<Last>())
{
    if (options_.machineFolder.empty()) {
        std::string pattern = (std::filesystem::temp_directory_path() / "tvrx-sim-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("cannot create a temporary machine folder");
        }
        folder_ = pattern;
        ownsFolder_ = true;
    } else {
        folder_ = options_.machineFolder;
        if (std::filesystem::exists(folder_) && !std::filesystem::is_directory(folder_)) {
            throw std::runtime_error("machine folder " + folder_.string() + " is not a folder");
        }
    }
    {
        // Traces are always collected for `show trace`; --trace also prints them as they come.
        UCHAR level = options_.liveTrace ? options_.liveTrace->first : kLevelVerbose;
        ULONG flags = options_.liveTrace ? options_.liveTrace->second : 0xFFFFFFFFu;
        bool print = options_.liveTrace.has_value();
        plat::trace::EnableSession(level, flags, [this, print](const plat::trace::Record& record) {
            std::string line = plat::trace::FormatRecord(record);
            std::lock_guard<std::mutex> guard(g_outputLock);
            liveTrace_.push_back(line);
            if (print) {
                out_ << (options_.json ? Dump(JsonValue{{"trace", line}}) : "  trace: " + line) << "\n";
            }
        });
    }
    CreateMachine();
}

Simulation::~Simulation()
{
    ReleaseFirmwareAtEnd();
    for (const auto& request : pending_) {
        Note(request->command, "still pending at the end: " + request->command.name + " " + request->command.client +
                                   " (line " + std::to_string(request->command.line) + ")");
    }
    EndPending();
    pending_.clear();
    DestroyMachine();
    plat::trace::DisableSession();
    if (ownsFolder_) {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
}

void Simulation::CreateMachine()
{
    tvrx::harness::Options rigOptions;
    rigOptions.machine.folder = folder_;
    rigOptions.machine.clockRate = options_.clockRate;
    rigOptions.machine.acpiHonoursCancel = options_.acpiCancel;
    rigOptions.memory = options_.memory;
    if (options_.firmwareFile.empty()) {
        native_ = plat::MakeNativeFirmware();
        if (options_.biosVersion) {
            native_->SetBiosVersion(*options_.biosVersion);
        }
        firmware_ = native_;
    } else {
        acpica_ = std::make_shared<plat::AcpicaFirmware>(options_.firmwareFile);
        if (options_.biosVersion) {
            acpica_->SetBiosVersion(*options_.biosVersion);
        }
        firmware_ = acpica_;
    }
    rigOptions.firmware = firmware_;
    rig_ = std::make_unique<tvrx::harness::Rig>(std::move(rigOptions));
    machine_ = &rig_->Machine();
    host_ = &rig_->Host();
}

// Held requests end with the driver: its unload cancels them. Their senders
// are threads of the client processes, which end only after them.
void Simulation::EndPending()
{
    if (pending_.empty() || !host_->Loaded()) {
        return;
    }
    host_->Unload();
    for (const auto& request : pending_) {
        request->sender->WaitDone(kSettleLimit);
    }
}

void Simulation::DestroyMachine()
{
    clients_.clear();  // the client processes end and close their handles
    if (rig_) {
        rig_->Unload();
    }
    // The machine ends the firmware it holds: nothing else may hold it then.
    native_.reset();
    acpica_.reset();
    firmware_.reset();
    host_ = nullptr;
    machine_ = nullptr;
    rig_.reset();
}

Simulation::Client& Simulation::ClientNamed(const std::string& name)
{
    auto& client = clients_[name];
    if (!client) {
        client = std::make_unique<Client>();
        client->process = std::make_unique<plat::um::Process>(name);
    }
    return *client;
}

// Lets notifications reach the driver and its work items finish, so the next
// command sees their effect; work items that wait on a firmware that does not
// answer are left waiting (false).
bool Simulation::Settle()
{
    bool waitsOnFirmware = false;
    tvrx::harness::Settle(*host_, kSettleLimit, [&] { return waitsOnFirmware = WorkWaitsOnFirmware(); });
    return !waitsOnFirmware;
}

// Without cancellation every evaluation the firmware holds has a sender that
// waits for it: the blocked lifecycle command's, or a work item's. The work
// items wait on the firmware when every one running is such a sender (and
// none waits for a free worker thread that one of them could give back).
bool Simulation::WorkWaitsOnFirmware()
{
    if (!native_ || options_.acpiCancel) {
        return false;
    }
    size_t hung = native_->HungEvaluations();
    if (blocked_ && !blocked_->step->Done() && hung > 0) {
        --hung;
    }
    plat::wdf::WorkItemLoad load = plat::wdf::CurrentWorkItemLoad();
    return hung > 0 && load.running > 0 && load.running <= hung &&
           (load.queued == 0 || load.running == plat::wdf::kSystemWorkerThreads);
}

bool Simulation::DeviceInD0()
{
    if (blocked_) {
        return false;  // a start waits in prepare-hardware: not in D0 yet
    }
    if (!host_->Loaded() || host_->DeviceCount() == 0 || host_->Device() == nullptr) {
        return true;  // the request fails on its own
    }
    return host_->InD0();
}

bool Simulation::RunOrBlock(const Command& command, std::function<NTSTATUS()> step, NTSTATUS* status)
{
    size_t hungBefore = native_ ? native_->HungEvaluations() : 0;
    auto background = std::make_unique<BackgroundStep>(std::move(step));
    // Without cancellation a start whose evaluation the firmware holds returns
    // only once the firmware answers again; with it, the time-out ends it.
    bool canBlock = native_ && !options_.acpiCancel;
    while (!background->WaitDone(std::chrono::milliseconds(1))) {
        if (canBlock && native_->HungEvaluations() > hungBefore) {
            blocked_ = std::make_unique<Blocked>();
            blocked_->command = command;
            blocked_->step = std::move(background);
            return false;
        }
    }
    *status = background->Result();
    return true;
}

// After each command: a blocked lifecycle command that has returned (the
// firmware answers again) prints its completion, which becomes the last result.
void Simulation::ReportUnblocked(const Command& command)
{
    if (!blocked_) {
        return;
    }
    if (!blocked_->step->Done() && !(!native_->GetFaults().hang && blocked_->step->WaitDone(kSettleLimit))) {
        return;
    }
    std::unique_ptr<Blocked> blocked = std::move(blocked_);
    NTSTATUS status = blocked->step->Result();
    blocked->step.reset();
    Settle();
    std::string reply = "(waited on the firmware since line " + std::to_string(blocked->command.line) + ")";
    Command shown = blocked->command;
    shown.line = command.line;
    Print(shown, "", status, 0, false, reply, JsonString(reply));
    last_->haveRequest = true;
    last_->status = status;
    last_->information = 0;
}

// A script that ends while the driver waits on the firmware: the firmware
// answers again, so that what waits can finish and the machine shut down.
void Simulation::ReleaseFirmwareAtEnd()
{
    bool workWaits = WorkWaitsOnFirmware();
    if (!blocked_ && !workWaits) {
        return;
    }
    Command end;
    end.name = "end";
    if (blocked_) {
        end.line = blocked_->command.line;
        Note(end, "still waiting on the firmware at the end: " + blocked_->command.name + " (line " +
                      std::to_string(blocked_->command.line) + "); the firmware answers again to end it");
    } else {
        Note(end, "the driver's work items still wait on the firmware at the end; the firmware answers again to end them");
    }
    plat::NativeFirmware::Faults faults = native_->GetFaults();
    faults.hang = false;
    native_->SetFaults(faults);
    if (blocked_) {
        blocked_->step->WaitDone(kSettleLimit);
        blocked_.reset();
    }
    Settle();
}

// ---------------------------------------------------------------- output

void Simulation::Print(const Command& command, const std::string& subject, NTSTATUS status, ULONG_PTR information,
                       bool haveInformation, const std::string& reply, const std::string& jsonReply, int heldSince)
{
    std::lock_guard<std::mutex> guard(g_outputLock);
    if (options_.json) {
        JsonValue line = {{"line", command.line}, {"command", command.name}};
        if (!subject.empty()) line["client"] = subject;
        if (heldSince != 0) line["held_since"] = heldSince;
        line["status"] = plat::StatusName(status) ? plat::StatusName(status) : Hex(uint32_t(status));
        line["code"] = Hex(uint32_t(status));
        if (haveInformation) line["info"] = information;
        if (!jsonReply.empty()) line["reply"] = JsonValue::parse(jsonReply);
        out_ << Dump(line) << "\n";
        return;
    }
    out_ << command.name << (subject.empty() ? "" : " " + subject) << ": " << plat::FormatStatus(status);
    if (haveInformation) out_ << " info=" << information;
    if (!reply.empty()) out_ << " " << reply;
    if (heldSince != 0) out_ << " (held since line " << heldSince << ")";
    out_ << "\n";
}

void Simulation::Note(const Command& command, const std::string& text)
{
    std::lock_guard<std::mutex> guard(g_outputLock);
    if (options_.json) {
        out_ << Dump(JsonValue{{"line", command.line}, {"command", command.name}, {"text", text}}) << "\n";
    } else {
        out_ << text << "\n";
    }
}

bool Simulation::Fail(const Command& command, const std::string& expected, const std::string& actual)
{
    ++failures_;
    std::string text = command.file + ":" + std::to_string(command.line) + ": expected " + expected + ", got " + actual;
    std::lock_guard<std::mutex> guard(g_outputLock);
    if (options_.json) {
        out_ << Dump(JsonValue{{"line", command.line}, {"command", "expect"}, {"ok", false}, {"message", text}}) << "\n";
    } else {
        out_ << "FAILED " << text << "\n";
    }
    return false;
}

// ---------------------------------------------------------------- commands

bool Simulation::Execute(const Command& command)
{
    bool result = (this->*command.handler)(command);
    ReportNotifications(command);
    ReportUnblocked(command);
    ReportCompletions(command);
    return result;
}

bool Simulation::Help(const Command& command)
{
    Note(command, CommandHelp());
    return true;
}

bool Simulation::FailNext(const Command& command)
{
    const FailNextArguments& fail = command.Get<FailNextArguments>();
    // Arms of one point fire in the order given, each once.
    uint64_t call = plat::fault::FailNth(fail.point, 1, fail.status);
    std::string which = call == 1 ? "the next " + fail.point : fail.point + " call " + std::to_string(call) + " from now";
    std::string reply = which + " fails with " +
                        (plat::StatusName(fail.status) ? plat::StatusName(fail.status) : Hex(uint32_t(fail.status)));
    Print(command, "", STATUS_SUCCESS, 0, false, reply, JsonString(reply));
    return true;
}

bool Simulation::Lifecycle(const Command& command)
{
    const Verb verb = command.verb;
    NTSTATUS status = STATUS_SUCCESS;
    std::string reply;
    // Plug and Play and power steps of the device never overlap: while one
    // waits on the firmware the next cannot begin. A removal (also that of an
    // unload or a reboot) deletes the driver's work items, and deleting a work
    // item waits for it to finish: it cannot begin while one waits on the firmware.
    bool removes = verb == Verb::Remove || verb == Verb::Unload || verb == Verb::Reboot;
    if (blocked_ || (removes && host_->Loaded() && WorkWaitsOnFirmware())) {
        reply = blocked_ ? "(" + blocked_->command.name + " of line " + std::to_string(blocked_->command.line) +
                               " waits on the firmware; firmware-hang off releases it)"
                         : "(the driver's work item waits on the firmware, and the removal would wait for it; "
                           "firmware-hang off releases it)";
        Print(command, "", STATUS_DEVICE_BUSY, 0, false, reply, JsonString(reply));
        last_->haveRequest = true;
        last_->status = STATUS_DEVICE_BUSY;
        last_->information = 0;
        return true;
    }
    // A start evaluates _DSM in prepare-hardware; the firmware may hold it.
    auto start = [&](std::function<NTSTATUS()> step) {
        if (!RunOrBlock(command, std::move(step), &status)) {
            std::string waiting = "(waiting on the firmware: _DSM does not answer; firmware-hang off releases it)";
            Print(command, "", STATUS_PENDING, 0, false, waiting, JsonString(waiting));
            last_->haveRequest = true;
            last_->status = STATUS_PENDING;
            last_->information = 0;
            return false;
        }
        return true;
    };
    if (verb == Verb::Boot || verb == Verb::Reboot) {
        if (verb == Verb::Reboot) {
            if (host_->Loaded()) {
                // The client processes end with the machine; with requests the device
                // holds, after the driver, whose unload cancels them.
                if (pending_.empty()) {
                    clients_.clear();
                }
                reply = "unload: " + host_->Unload().Text() + "; ";
                for (const auto& request : pending_) {
                    request->sender->WaitDone(kSettleLimit);
                }
            }
            DestroyMachine();
            CreateMachine();
        }
        tvrx::harness::Rig* rig = rig_.get();
        bool returned = start([rig] { return rig->Boot(); });
        if (!returned) {
            return true;
        }
        Settle();
        if (verb == Verb::Reboot) {
            reply += "booted again";
        }
    } else if (verb == Verb::Unload) {
        if (!host_->Loaded()) {
            status = STATUS_INVALID_DEVICE_STATE;
            reply = "(no driver loaded)";
        } else {
            plat::verifier::Report report = host_->Unload();
            reply = report.Text();
        }
    } else if (host_->DeviceCount() == 0) {
        status = STATUS_NO_SUCH_DEVICE;
        reply = "(no device)";
    } else if (verb == Verb::Sleep) {
        status = host_->Sleep();
    } else if (verb == Verb::Resume) {
        // D0 entry reads the device mode on a work item: as after `mode`, the
        // next command sees what that read found.
        status = host_->Resume();
        if (!Settle()) {
            reply = "(the driver's read waits on the firmware)";
        }
    } else if (verb == Verb::Stop) {
        status = host_->Stop();
    } else if (verb == Verb::Start) {
        plat::Host* host = host_;
        if (!start([host] { return host->Start(); })) {
            return true;
        }
    } else if (verb == Verb::Remove) {
        status = host_->Remove();
    } else if (verb == Verb::SurpriseRemove) {
        status = host_->SurpriseRemove();
    }
    Print(command, "", status, 0, false, reply, reply.empty() ? "" : JsonString(reply));
    last_->haveRequest = true;
    last_->status = status;
    last_->information = 0;
    return true;
}

bool Simulation::Firmware(const Command& command)
{
    const Verb verb = command.verb;
    NTSTATUS status = STATUS_SUCCESS;
    std::string reply;
    if (verb == Verb::FirmwareHang) {
        if (!native_) {
            status = STATUS_NOT_SUPPORTED;
            reply = "(only the native firmware can hang on purpose)";
        } else {
            plat::NativeFirmware::Faults faults = native_->GetFaults();
            faults.hang = command.Get<HangArguments>().on;
            bool waited = WorkWaitsOnFirmware();
            native_->SetFaults(faults);
            reply = faults.hang ? "(_DSM no longer answers)" : "(_DSM answers again)";
            // The released evaluations count as hung until their threads wake:
            // until then the work items still look as if they waited on the firmware.
            auto deadline = std::chrono::steady_clock::now() + kSettleLimit;
            while (!faults.hang && native_->HungEvaluations() > 0 && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            if (!faults.hang && waited) {
                // The reads that waited end now; the next command sees what they did.
                Settle();
                reply += "; the driver's waiting read ended";
            }
        }
    } else if (verb == Verb::Mode) {
        uint64_t mode = command.Get<Value>().value;
        if (native_) {
            native_->SetDeviceMode(mode);
            native_->Notify(kDeviceModeChanged);
        } else if (mode > 0xFF) {
            status = STATUS_INVALID_PARAMETER;  // the firmware's SMOD takes a byte
        } else {
            status = acpica_->SetDeviceMode(static_cast<uint8_t>(mode));
        }
        bool settled = Settle();
        reply = "mode=" + std::to_string(mode) + " notified 0x80";
        if (!settled) {
            reply += " (the driver's read waits on the firmware)";
        }
    } else {
        ULONG value = static_cast<ULONG>(command.Get<Value>().value);
        if (acpica_) {
            status = acpica_->RaiseNotify(value);
        } else {
            native_->Notify(value);
        }
        bool settled = Settle();
        reply = "notified " + Hex(value, 2);
        if (!settled) {
            reply += " (the driver's read waits on the firmware)";
        }
    }
    Print(command, "", status, 0, false, reply, JsonString(reply));
    return true;
}

// open, close and wait: a client's handle on the device and its event.
bool Simulation::ClientCommand(const Command& command)
{
    const Verb verb = command.verb;
    Client& client = ClientNamed(command.client);
    last_->entry.reset();
    last_->table.reset();
    NTSTATUS status = STATUS_SUCCESS;
    std::string reply, json;

    // open's options: the account the client runs as, and the access it asks for.
    OpenArguments open = verb == Verb::Open ? command.Get<OpenArguments>() : OpenArguments();
    plat::se::TokenKind kind = open.account;
    ACCESS_MASK access = open.access;
    if (verb == Verb::Open && client.device == nullptr && client.process->Native().Token().kind != kind) {
        // A process keeps its account: a client with nothing open starts again as the new one.
        if (client.event != nullptr || client.watch) {
            std::string refusal = "(" + command.client + " runs as " +
                                  std::string(plat::se::KindName(client.process->Native().Token().kind)) +
                                  (client.watch ? " and watches the device" : " and holds an event") +
                                  ": a process keeps its account)";
            Print(command, "", STATUS_INVALID_PARAMETER, 0, false, refusal, JsonString(refusal));
            return true;
        }
        client.process = std::make_unique<plat::um::Process>(command.client, kind);
    }

    client.process->Run([&] {
        if (verb == Verb::Open) {
            if (client.device != nullptr) {
                status = STATUS_UNSUCCESSFUL;
                reply = "(already open)";
                return;
            }
            std::wstring path = tvrx::harness::DevicePath();
            if (path.empty()) {
                status = STATUS_OBJECT_NAME_NOT_FOUND;
                reply = "(no device interface: the device is not started)";
                return;
            }
            client.access = access;
            status = plat::um::OpenDevice(path, access, &client.device);
            if (!NT_SUCCESS(status)) {
                client.device = nullptr;
            } else {
                reply = "handle=" + Hex(reinterpret_cast<uintptr_t>(client.device), 1);
                if (client.watch) {
                    std::lock_guard<std::mutex> guard(client.watch->lock);
                    WatchHandleLocked(*client.watch);
                }
            }
        } else if (verb == Verb::Close) {
            if (client.device == nullptr) {
                status = STATUS_INVALID_HANDLE;
                reply = "(not open)";
                return;
            }
            // The handle is for synchronous I/O: closing it waits for its
            // request the device holds, which would stop the script here.
            for (const auto& request : pending_) {
                if (!request->kernel && request->device == client.device && !request->sender->Done()) {
                    status = STATUS_DEVICE_BUSY;
                    reply = "(a request of this handle is held: CloseHandle would wait for it)";
                    return;
                }
            }
            if (client.watch) {
                // The handle's registration goes first: none of its callbacks may run on a closed handle.
                HCMNOTIFICATION handle = nullptr;
                {
                    std::lock_guard<std::mutex> guard(client.watch->lock);
                    std::swap(handle, client.watch->handle);
                }
                if (handle != nullptr) {
                    CM_Unregister_Notification(handle);
                }
            }
            status = CloseHandle(client.device) ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
            client.device = nullptr;
        } else {
            DWORD ms = static_cast<DWORD>(command.Get<Value>().value);
            if (client.event == nullptr) {
                status = STATUS_INVALID_HANDLE;
                reply = "(no event)";
                return;
            }
            DWORD result = WaitForSingleObject(client.event, ms);
            last_->signaled = result == WAIT_OBJECT_0;
            status = result == WAIT_OBJECT_0 ? STATUS_SUCCESS : STATUS_TIMEOUT;
            reply = result == WAIT_OBJECT_0 ? "signaled" : "timeout";
        }
    });

    if (verb != Verb::Wait) {
        last_->haveRequest = true;
        last_->status = status;
        last_->information = 0;
    }
    if (verb == Verb::Close && host_->RemovalsPending() != 0) {
        // A surprise-removed device is deleted after its last handle closes,
        // on a thread of its own: the next command sees it gone.
        bool open = std::any_of(clients_.begin(), clients_.end(), [](const auto& c) { return c.second->device != nullptr; });
        if (!open) {
            host_->WaitForRemovals(kSettleLimit);
        }
    }
    Print(command, command.client, status, 0, false, reply, reply.empty() ? "" : JsonString(reply));
    return true;
}

// watch C: C registers for the arrival and removal of the device interface
// and, while it has a handle, for the handle's removal events; from then on
// its callbacks follow the device (OnWatchEvent).
bool Simulation::WatchCommand(const Command& command)
{
    Client& client = ClientNamed(command.client);
    NTSTATUS status = STATUS_SUCCESS;
    std::string reply;
    if (client.watch) {
        status = STATUS_UNSUCCESSFUL;
        reply = "(already watching)";
    } else {
        auto watch = std::make_unique<Watch>();
        watch->device = &client.device;
        watch->access = &client.access;
        // Called while a removal runs, when the session does not change pending_.
        watch->holdsRequestOf = [this](HANDLE handle) {
            return std::any_of(pending_.begin(), pending_.end(), [handle](const auto& request) {
                return !request->kernel && request->device == handle && !request->sender->Done();
            });
        };
        CONFIGRET result = client.process->Run([&] {
            CM_NOTIFY_FILTER filter{};
            filter.cbSize = sizeof filter;
            filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
            filter.u.DeviceInterface.ClassGuid = GUID_DEVINTERFACE_TAVRIX;
            CONFIGRET registered = CM_Register_Notification(&filter, watch.get(), OnWatchEvent, &watch->interfaces);
            if (registered == CR_SUCCESS && client.device != nullptr) {
                std::lock_guard<std::mutex> guard(watch->lock);
                WatchHandleLocked(*watch);
            }
            return registered;
        });
        if (result != CR_SUCCESS) {
            status = STATUS_UNSUCCESSFUL;
            reply = "(CM_Register_Notification failed: Win32 error " +
                    std::to_string(CM_MapCrToWin32Err(result, ERROR_GEN_FAILURE)) + ")";
        } else {
            reply = client.device != nullptr ? "(the interface and its handle)" : "(the interface; no handle yet)";
            client.watch = std::move(watch);
        }
    }
    Print(command, command.client, status, 0, false, reply, reply.empty() ? "" : JsonString(reply));
    last_->haveRequest = true;
    last_->status = status;
    last_->information = 0;
    return true;
}

void Simulation::ReportNotifications(const Command& command)
{
    bool watching = std::any_of(clients_.begin(), clients_.end(), [](const auto& c) { return c.second->watch != nullptr; });
    if (!watching) {
        return;
    }
    plat::um::DrainNotifications();
    std::vector<std::tuple<uint64_t, std::string, std::string>> heard;
    for (const auto& [name, client] : clients_) {
        if (!client->watch) {
            continue;
        }
        std::vector<HCMNOTIFICATION> stale;
        std::vector<HANDLE> closing;
        {
            std::lock_guard<std::mutex> guard(client->watch->lock);
            for (auto& [sequence, text] : client->watch->heard) {
                heard.emplace_back(sequence, name, std::move(text));
            }
            client->watch->heard.clear();
            stale.swap(client->watch->stale);
            closing.swap(client->watch->closing);
        }
        // The closes and unregistrations the callbacks left for later.
        client->process->Run([&] {
            for (HANDLE handle : closing) {
                CloseHandle(handle);
            }
        });
        for (HCMNOTIFICATION notification : stale) {
            CM_Unregister_Notification(notification);
        }
    }
    // A surprise-removed device is deleted after its last handle closes,
    // on a thread of its own: when a callback closed the last one, the next
    // command sees it gone (as after `close`).
    bool open = std::any_of(clients_.begin(), clients_.end(), [](const auto& c) { return c.second->device != nullptr; });
    if (host_ && host_->RemovalsPending() != 0 && !open) {
        host_->WaitForRemovals(kSettleLimit);
    }
    std::sort(heard.begin(), heard.end());
    std::lock_guard<std::mutex> guard(g_outputLock);
    for (const auto& [sequence, name, text] : heard) {
        if (options_.json) {
            out_ << Dump(JsonValue{{"line", command.line}, {"command", "watch"}, {"client", name}, {"heard", text}})
                 << "\n";
        } else {
            out_ << "watch " << name << ": " << text << "\n";
        }
    }
}

// A client command that sends a device control. When the device is out of D0
// its power-managed queue holds the request and the sender waits, as
// DeviceIoControl does: the request goes out on a thread of the client
// process, the command reports it pending, and its completion is reported
// after the command during which it completed.
bool Simulation::RequestCommand(const Command& command)
{
    const Verb verb = command.verb;
    Client& client = ClientNamed(command.client);
    last_->entry.reset();
    last_->table.reset();
    auto request = std::make_unique<Request>();
    request->command = command;
    request->device = client.device;
    if (verb == Verb::SetEvent) {
        EventAccess access = command.Get<EventArguments>().access;
        client.process->Run([&] {
            if (client.registered != nullptr) {
                CloseHandle(client.registered);
                client.registered = nullptr;
            }
            if (client.event == nullptr || access != EventAccess::All) {
                // A handle of limited access is opened by the event's name, so it takes a fresh named event.
                if (client.event != nullptr) {
                    CloseHandle(client.event);
                }
                std::wstring name = L"tvrx-sim-" + std::wstring(command.client.begin(), command.client.end()) +
                                    L"-" + std::to_wstring(++client.events);
                client.event = CreateEventW(nullptr, FALSE, FALSE, name.c_str());
                if (access != EventAccess::All) {
                    client.registered = OpenEventW(access == EventAccess::Sync ? SYNCHRONIZE : EVENT_MODIFY_STATE, FALSE, name.c_str());
                }
            }
        });
        HANDLE handle = client.registered ? client.registered : client.event;
        TVRX_SET_EVENT_INPUT input = {static_cast<UINT64>(reinterpret_cast<uintptr_t>(handle))};
        request->code = IOCTL_TVRX_SET_EVENT;
        request->input.assign(reinterpret_cast<uint8_t*>(&input), reinterpret_cast<uint8_t*>(&input + 1));
        request->reply = "event=" + Hex(reinterpret_cast<uintptr_t>(handle), 1) + " access=" + EventAccessName(access);
    } else if (verb == Verb::Regulatory) {
        ULONG type = static_cast<ULONG>(command.Get<Value>().value);
        request->code = IOCTL_TVRX_SET_REGULATORY_TYPE;
        request->input.assign(reinterpret_cast<uint8_t*>(&type), reinterpret_cast<uint8_t*>(&type + 1));
        request->reply = "type=" + std::to_string(type);
    } else if (verb == Verb::Entry) {
        request->code = IOCTL_TVRX_GET_DEVICE_MODE_ENTRY;
        request->output.resize(sizeof(TVRX_DEVICE_MODE_ENTRY_INFO));
    } else if (verb == Verb::Table) {
        ULONG index = static_cast<ULONG>(command.Get<Value>().value);
        request->code = IOCTL_TVRX_GET_DEVICE_MODE_TABLE_INFO;
        request->input.assign(reinterpret_cast<uint8_t*>(&index), reinterpret_cast<uint8_t*>(&index + 1));
        request->output.resize(sizeof(TVRX_DEVICE_MODE_TABLE_INFO));
    } else {
        const IoctlArguments& ioctl = command.Get<IoctlArguments>();
        request->code = ioctl.code;
        request->input = ioctl.input;
        request->output.resize(ioctl.outputLength);
        request->kernel = ioctl.kernel;
    }

    // A request on no handle fails at once; one the device can take now completes before the command ends.
    if ((request->device == nullptr && !request->kernel) || DeviceInD0()) {
        client.process->Run([&] { request->Send(); });
        Finish(*request, nullptr);
        return true;
    }
    WDFDEVICE device = host_->Device();
    size_t heldBefore = debugview::HeldRequests(device);
    Request* sent = request.get();
    request->sender = std::make_unique<PendingSend>(*client.process, [sent] { sent->Send(); });
    auto isHeld = [&] { return debugview::HeldRequests(device) > heldBefore; };
    if (request->sender->WaitHeldOrDone(isHeld, std::chrono::milliseconds(kSettleLimit))) {
        request->sender.reset();
        Finish(*request, nullptr);
        return true;
    }
    last_->haveRequest = true;
    last_->status = STATUS_PENDING;
    last_->information = 0;
    std::string held = "held: the device is out of D0";
    Print(command, command.client, STATUS_PENDING, 0, false, (request->reply.empty() ? "" : request->reply + " ") + "(" + held + ")",
          JsonString(held));
    pending_.push_back(std::move(request));
    return true;
}

// Reports a request's completion: its status and information, and what the
// reply carries for its kind of command; these become the last results.
void Simulation::Finish(Request& request, const Command* completedDuring)
{
    // A held request's completion is shown with the command it completed during.
    Command command = request.command;
    int heldSince = 0;
    if (completedDuring != nullptr) {
        heldSince = command.line;
        command.line = completedDuring->line;
    }
    const Verb verb = command.verb;
    std::string reply = request.reply, json;
    if (verb == Verb::Entry && NT_SUCCESS(request.status)) {
        TVRX_DEVICE_MODE_ENTRY_INFO entry;
        std::memcpy(&entry, request.output.data(), sizeof entry);
        last_->entry = entry;
        reply = "mode=" + std::to_string(entry.DeviceMode) + " values=" + std::to_string(entry.Value1) + "," +
                std::to_string(entry.Value2) + "," + std::to_string(entry.Value3);
        json = Dump(JsonValue{{"mode", entry.DeviceMode}, {"values", {entry.Value1, entry.Value2, entry.Value3}}});
    } else if (verb == Verb::Table && NT_SUCCESS(request.status)) {
        TVRX_DEVICE_MODE_TABLE_INFO table;
        std::memcpy(&table, request.output.data(), sizeof table);
        last_->table = table;
        reply = "tag=" + std::to_string(table.TableTag) + " count=" + std::to_string(table.EntryCount);
        json = Dump(JsonValue{{"tag", table.TableTag}, {"count", table.EntryCount}});
    } else if (verb == Verb::Ioctl) {
        size_t shown = std::min<size_t>(NT_ERROR(request.status) ? 0 : request.information, request.output.size());
        reply = "out=" + HexBytes(request.output.data(), shown);
        json = JsonString(HexBytes(request.output.data(), shown));
    }
    last_->haveRequest = true;
    last_->status = request.status;
    last_->information = request.information;
    Print(command, command.client, request.status, request.information, true, reply,
          json.empty() && !reply.empty() ? JsonString(reply) : json, heldSince);
}

// After each command: the held requests that completed during it (presented
// once the device was back in D0, or cancelled with the device), in the order
// they were sent. Once the device is in D0 or gone, or its queue holds nothing
// any more (a failed device purges it), every held request is waited for, so
// the next command sees its effect.
void Simulation::ReportCompletions(const Command& command)
{
    bool ending = DeviceInD0() || (!pending_.empty() && debugview::HeldRequests(host_->Device()) == 0);
    for (auto it = pending_.begin(); it != pending_.end();) {
        Request& request = **it;
        if (!request.sender->Done() && !(ending && request.sender->WaitDone(kSettleLimit))) {
            ++it;
            continue;
        }
        request.sender.reset();
        last_->entry.reset();
        last_->table.reset();
        Finish(request, &command);
        it = pending_.erase(it);
    }
}

// The device nodes as `pnputil /enum-devices /ids` lists them: each device
// the ACPI driver enumerated, its identifiers, its driver (none: nothing in
// the installed package drives it, CM_PROB_FAILED_INSTALL) and its status.
void Simulation::ShowDevices(std::ostream& text)
{
    auto join = [](const std::vector<std::string>& ids) {
        std::string all;
        for (const std::string& id : ids) {
            all += (all.empty() ? "" : ", ") + id;
        }
        return all.empty() ? std::string("(none)") : all;
    };
    auto problem = [&](ULONG code, const char* name) {
        text << "Status:          Problem\nProblem Code:    " << code << " (0x" << std::hex << std::uppercase << code
             << std::dec << ") [" << name << "]\n";
    };
    plat::acpi::Enumeration enumeration = plat::acpi::EnumerateInstalled();
    if (enumeration.devices.empty()) {
        text << "no device enumerated";
    }
    for (const plat::acpi::EnumeratedDevice& device : enumeration.devices) {
        text << "Instance ID:     " << device.instanceId << "\nHardware IDs:    " << join(device.hardwareIds)
             << "\nCompatible IDs:  " << join(device.compatibleIds) << "\n";
        std::optional<size_t> driven;
        for (size_t i = 0; host_->Loaded() && i < host_->DeviceCount(); ++i) {
            std::string id = Narrow(host_->InstanceId(i));
            if (id.size() == device.instanceId.size() &&
                std::equal(id.begin(), id.end(), device.instanceId.begin(), [](char a, char b) {
                    return std::toupper(static_cast<unsigned char>(a)) == std::toupper(static_cast<unsigned char>(b));
                })) {
                driven = i;
            }
        }
        if (!driven) {
            text << "Driver Name:     (none)\n";
            if (device.problem != 0) {
                problem(device.problem, "CM_PROB_FAILED_POST_START");
            } else {
                problem(28, "CM_PROB_FAILED_INSTALL");
            }
        } else {
            text << "Driver Name:     tavrix.inf (service tavrix)\n";
            std::string sddl = host_->SecuritySddl(*driven);
            text << "Security:        " << (sddl.empty() ? std::string("(the default for a device with none)") : sddl)
                 << "\n";
            plat::Host::Status status = host_->DeviceStatus(*driven);
            if (ULONG code = host_->Problem(*driven); code != plat::pnp::kProblemNone) {
                problem(code, ProblemName(code));
            } else {
                text << "Status:          " << (status == plat::Host::Status::Started ? "Started" : "Stopped") << "\n";
            }
        }
        text << "\n";
    }
}

bool Simulation::Show(const Command& command)
{
    const Shown what = command.Get<ShowArguments>().what;
    std::ostringstream text;
    if (what == Shown::State) {
        if (!host_->Loaded() || host_->DeviceCount() == 0) {
            text << "no device";
            if (host_->RemovalsPending() != 0) {
                text << " (surprise-removed: " << host_->RemovalsPending() << ", kept until their handles close)";
            }
        } else if (host_->Device() == nullptr) {
            // The device node is there, its stack removed after a failed start.
            ULONG code = host_->Problem();
            text << "no device: " << Narrow(host_->InstanceId()) << " has problem code " << code << " ("
                 << ProblemName(code) << "); the next start adds it again";
            if (host_->RemovalsPending() != 0) {
                text << " (removed: " << host_->RemovalsPending() << ", kept until their handles close)";
            }
        } else {
            debugview::Device c = debugview::ReadDevice(host_->Device());
            text << "DeviceState " << c.deviceState << ", CurrentDeviceMode " << c.currentDeviceMode
                 << ", RegulatoryType " << c.regulatoryType << ", tables " << (c.tablesValid ? "valid" : "not read")
                 << ", ACPI interface " << (c.acpiInterfaceAcquired ? "acquired" : "not acquired") << ", notifications "
                 << (c.notificationsRegistered ? "registered" : "not registered");
            text << "\nSAR table at " << Hex(c.sarTableAddress) << ", " << c.sarTableLength << " bytes";
            for (size_t t = 0; t < c.tables.size(); ++t) {
                const debugview::ModeTable& table = c.tables[t];
                text << "\ntable " << t << ": tag " << table.tag << ", " << table.entryCount << " entries, max mode "
                     << table.maxMode;
                for (const debugview::ModeRow& row : table.rows) {
                    text << "\n    mode " << row.mode << ": " << row.value1 << ", " << row.value2 << ", " << row.value3;
                }
            }
            int clients = 0;
            for (auto& [name, client] : clients_) clients += client->device != nullptr;
            text << "\nclients with the device open: " << clients << "; app instances: " << c.appInstances << ", "
                 << c.appInstancesWithEvent << " with an event";
            if (std::optional<uint32_t> state = debugview::ReadBiosSarState(*host_)) {
                text << "\nBiosSarState " << *state;
            }
        }
    } else if (what == Shown::Devices) {
        ShowDevices(text);
    } else if (what == Shown::Registry) {
        plat::Registry& registry = machine_->Registry();
        auto state = registry.GetDword(kSarServiceKey, tvrx::kBiosSarStateValue);
        auto info = registry.GetString(kSarServiceKey, tvrx::kBiosInfoValue);
        auto bios = registry.GetString(kHardwareConfigKey, tvrx::kBiosVersionValue);
        text << "BIOSVersion " << (bios ? "\"" + Narrow(*bios) + "\"" : std::string("(absent)")) << "\n";
        text << "SARService\\BiosSarState " << (state ? std::to_string(*state) : std::string("(absent)")) << "\n";
        text << "SARService\\BiosInfo " << (info ? "\"" + Narrow(*info) + "\"" : std::string("(absent)"));
    } else if (what == Shown::Export) {
        auto file = FindSarExport(machine_->DriveRoot());
        if (!file) {
            text << tvrx::kSarExportName << ": absent";
        } else {
            std::vector<uint8_t> bytes = ReadFile(*file);
            text << tvrx::kSarExportName << ": " << bytes.size() << " bytes, sha256 "
                 << Sha256Hex(bytes) << "\nfirst bytes: " << HexBytes(bytes.data(), std::min<size_t>(bytes.size(), 16));
        }
    } else if (what == Shown::Trace) {
        std::lock_guard<std::mutex> guard(g_outputLock);
        for (const std::string& line : liveTrace_) text << line << "\n";
        liveTrace_.clear();
    } else if (what == Shown::Ifr) {
        text << plat::trace::DumpRecorder();
    } else if (what == Shown::Verifier) {
        text << plat::verifier::Check().Text();
    }
    std::string body = text.str();
    while (!body.empty() && body.back() == '\n') body.pop_back();
    Note(command, body);
    return true;
}

bool Simulation::Expect(const Command& command)
{
    const Expectation& x = command.Get<Expectation>();
    const std::vector<std::string>& a = command.words;  // as written, for the messages
    Last& last = *last_;
    auto ok = [&] {
        if (options_.json) {
            out_ << Dump(JsonValue{{"line", command.line}, {"command", "expect"}, {"ok", true}}) << "\n";
        }
        return true;
    };
    switch (x.what) {
    case Expected::Status: {
        std::string expected = "status " + plat::FormatStatus(x.status);
        if (!last.haveRequest) return Fail(command, expected, "no request yet");
        return last.status == x.status ? ok() : Fail(command, expected, plat::FormatStatus(last.status));
    }
    case Expected::Info:
        return last.information == *x.number ? ok()
                                             : Fail(command, "info " + a[1], "info " + std::to_string(last.information));
    case Expected::Entry: {
        std::string expected = a[1] + " " + a[2] + " " + a[3] + " " + a[4];
        if (!last.entry) return Fail(command, "entry " + expected, "no entry reply");
        const auto& e = *last.entry;
        bool same = e.DeviceMode == x.values[0] && e.Value1 == x.values[1] && e.Value2 == x.values[2] &&
                    e.Value3 == x.values[3];
        return same ? ok()
                    : Fail(command, "entry " + expected,
                           "entry " + std::to_string(e.DeviceMode) + " " + std::to_string(e.Value1) + " " +
                               std::to_string(e.Value2) + " " + std::to_string(e.Value3));
    }
    case Expected::Table: {
        if (!last.table) return Fail(command, "table " + a[1] + " " + a[2], "no table reply");
        bool same = last.table->TableTag == x.values[0] && last.table->EntryCount == x.values[1];
        return same ? ok()
                    : Fail(command, "table " + a[1] + " " + a[2],
                           "table " + std::to_string(last.table->TableTag) + " " + std::to_string(last.table->EntryCount));
    }
    case Expected::Signaled:
    case Expected::Timeout: {
        const std::string& what = a[0];
        if (!last.signaled) return Fail(command, what, "no wait yet");
        return *last.signaled == (x.what == Expected::Signaled) ? ok()
                                                                : Fail(command, what, *last.signaled ? "signaled" : "timeout");
    }
    case Expected::Registry: {
        plat::Registry& registry = machine_->Registry();
        if (x.registryValue == tvrx::kBiosSarStateValue) {
            auto value = registry.GetDword(kSarServiceKey, x.registryValue);
            if (value && x.number && *value == *x.number) return ok();
            return Fail(command, "BiosSarState " + x.text, value ? std::to_string(*value) : "(absent)");
        }
        auto value = registry.GetString(kSarServiceKey, x.registryValue);
        if (value && Narrow(*value) == x.text) return ok();
        return Fail(command, "BiosInfo \"" + x.text + "\"", value ? "\"" + Narrow(*value) + "\"" : "(absent)");
    }
    case Expected::ExportSize: {
        auto file = FindSarExport(machine_->DriveRoot());
        long long size = file ? static_cast<long long>(std::filesystem::file_size(*file)) : -1;
        long long expected = x.number ? static_cast<long long>(*x.number) : -1;
        return size == expected ? ok() : Fail(command, "export-size " + a[1], "export-size " + std::to_string(size));
    }
    case Expected::ExportSha256: {
        auto file = FindSarExport(machine_->DriveRoot());
        if (!file) return Fail(command, "export-sha256 " + a[1], "no export file");
        std::string actual = Sha256Hex(ReadFile(*file));
        return actual == x.text ? ok() : Fail(command, "export-sha256 " + x.text, actual);
    }
    case Expected::VerifierClean:
        break;
    }
    if (host_->Loaded()) {
        // While the driver runs, its device, queue and lock are legitimately held: the
        // leak check means something only once the driver is gone.
        return Fail(command, "verifier clean", "the driver is still loaded (unload first)");
    }
    plat::verifier::Report report = plat::verifier::Check();
    return report.Clean() ? ok() : Fail(command, "verifier clean", report.Text());
}

}  // namespace sim
