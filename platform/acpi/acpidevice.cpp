/* The ACPI device below a function device: method evaluation and notifications. */
#include "acpi/acpidevice.h"

#include <acpiioct.h>

#include <atomic>
#include <functional>
#include <list>
#include <map>
#include <utility>
#include <vector>

#include "acpi/eval.h"
#include "acpi/interface.h"
#include "base/fault.h"
#include "acpi/enumerate.h"
#include "firmware/firmware.h"
#include "ntos/ke/irql.h"

namespace plat::acpi {
namespace {

// Evaluations in progress whose packets are still the ACPI driver's, each
// with the number of its use (a packet is recycled once completed, so the
// pointer alone does not say which request it carries). The lock plays the
// cancel spin lock: an evaluation's end and its cancellation take the packet
// from here under it, so exactly one of them completes it.
std::mutex g_pendingLock;
std::map<io::Irp*, uint64_t> g_pending;
uint64_t g_nextUse = 1;
std::atomic<bool> g_cancelHonoured{false};
std::atomic<uint64_t> g_cancelsDeclined{0};
std::atomic<bool> g_unregisterWaits{false};
std::atomic<uint64_t> g_unregistersNotWaiting{0};

// An evaluation cannot be stopped once the firmware runs it. A machine that
// honours cancellation completes the packet now and lets the evaluation run
// out unheard; one that does not leaves the packet pending until the
// evaluation ends, so the sender receives the evaluation's own result.
void CancelEvaluation(io::DeviceObject*, io::Irp* irp)
{
    if (!g_cancelHonoured.load(std::memory_order_acquire)) {
        g_cancelsDeclined.fetch_add(1, std::memory_order_acq_rel);
        return;
    }
    {
        std::lock_guard<std::mutex> guard(g_pendingLock);
        if (g_pending.erase(irp) == 0) {
            return;
        }
    }
    io::CompleteWith(irp, STATUS_CANCELLED);
}

uint64_t TrackEvaluation(io::Irp* irp)
{
    std::lock_guard<std::mutex> guard(g_pendingLock);
    uint64_t use = g_nextUse++;
    g_pending[irp] = use;
    io::IoSetCancelRoutine(irp, CancelEvaluation);
    return use;
}

// True when the evaluation still owns its packet (and now must complete it).
bool ClaimEvaluation(io::Irp* irp, uint64_t use)
{
    std::lock_guard<std::mutex> guard(g_pendingLock);
    auto found = g_pending.find(irp);
    if (found == g_pending.end() || found->second != use) {
        return false;
    }
    g_pending.erase(found);
    io::IoSetCancelRoutine(irp, nullptr);
    return true;
}

// Completes an evaluation's packet with the firmware's failure, or with its
// result encoded into the sender's buffer.
NTSTATUS CompleteEvaluation(io::Irp* irp, NTSTATUS status, const AcpiObject& result, ULONG signature)
{
    if (!NT_SUCCESS(status)) {
        return io::CompleteWith(irp, status);
    }
    EncodeOutcome outcome = EncodeEvalOutput(result, irp->systemBuffer, irp->outputLength, signature);
    return io::CompleteWith(irp, outcome.status, outcome.information);
}

NTSTATUS DispatchDeviceControl(io::DeviceObject* device, io::Irp* irp)
{
    return static_cast<AcpiDevice*>(device->extension)->DeviceControl(irp);
}

// A bus driver succeeds the state changes of its physical device objects and
// leaves the status of a packet it does not handle as it found it.
NTSTATUS DispatchPnp(io::DeviceObject* device, io::Irp* irp)
{
    switch (irp->minor) {
    case io::kMnQueryInterface:
        break;
    case io::kMnStartDevice:
    case io::kMnQueryStopDevice:
    case io::kMnStopDevice:
    case io::kMnCancelStopDevice:
    case io::kMnQueryRemoveDevice:
    case io::kMnRemoveDevice:
    case io::kMnCancelRemoveDevice:
    case io::kMnSurpriseRemoval:
        return io::CompleteWith(irp, STATUS_SUCCESS);
    default:
        return io::CompleteWith(irp, irp->status);
    }
    auto* acpi = static_cast<AcpiDevice*>(device->extension);
    const auto& query = irp->queryInterface;
    return io::CompleteWith(irp, acpi->QueryInterface(*query.type, query.interface, query.size, query.version));
}

NTSTATUS DispatchPower(io::DeviceObject*, io::Irp* irp)
{
    bool handled = irp->minor == io::kMnSetPower || irp->minor == io::kMnQueryPower;
    return io::CompleteWith(irp, handled ? STATUS_SUCCESS : irp->status);
}

io::DriverObject* AcpiDriverObject()
{
    static io::DriverObject driver = [] {
        io::DriverObject object;
        object.name = "\\Driver\\ACPI";
        object.majorFunction[io::kMjDeviceControl] = DispatchDeviceControl;
        object.majorFunction[io::kMjPnp] = DispatchPnp;
        object.majorFunction[io::kMjPower] = DispatchPower;
        return object;
    }();
    return &driver;
}

// The threads that run evaluations. Each evaluation has a thread of its own,
// so a firmware that hangs in one holds up no other; a thread that finishes
// waits for the next evaluation (a few are kept), since starting a thread
// costs more than many an evaluation. A thread not kept is joined once it
// has finished. Threads that are still inside a hung firmware when the
// process ends are left to it (the registry is never destroyed, so no
// joinable thread is ever destroyed).
class EvaluationThreads {
public:
    void Start(std::function<void()> body)
    {
        std::lock_guard<std::mutex> guard(lock_);
        ReapLocked();
        ++running_;
        if (waiting_ > queued_.size()) {
            queued_.push_back(std::move(body));
            queuedChanged_.notify_one();
            return;
        }
        threads_.emplace_back();
        Entry& entry = threads_.back();
        try {
            entry.thread = std::thread([this, &entry, body = std::move(body)]() mutable { Work(entry, std::move(body)); });
        } catch (...) {
            threads_.pop_back();
            --running_;
            throw;
        }
    }

    size_t Running()
    {
        std::lock_guard<std::mutex> guard(lock_);
        ReapLocked();
        return running_;
    }

    bool WaitAll(std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> guard(lock_);
        bool all = changed_.wait_for(guard, timeout, [this] { return running_ == 0; });
        ReapLocked();
        return all;
    }

private:
    static constexpr size_t kKeptWaiting = 4;

    struct Entry {
        std::thread thread;
        bool done = false;
    };

    // Runs `body`, then the evaluations given to this thread while it waits.
    void Work(Entry& entry, std::function<void()> body)
    {
        for (;;) {
            body();
            body = nullptr;  // what the evaluation captured goes before the thread waits
            std::unique_lock<std::mutex> guard(lock_);
            --running_;
            changed_.notify_all();
            if (waiting_ >= kKeptWaiting) {
                entry.done = true;
                return;
            }
            ++waiting_;
            queuedChanged_.wait(guard, [this] { return !queued_.empty(); });
            --waiting_;
            body = std::move(queued_.front());
            queued_.pop_front();
        }
    }

    // A finished thread only has to leave its function; joining it here is brief.
    void ReapLocked()
    {
        for (auto it = threads_.begin(); it != threads_.end();) {
            if (it->done) {
                it->thread.join();
                it = threads_.erase(it);
            } else {
                ++it;
            }
        }
    }

    std::mutex lock_;
    std::condition_variable changed_;        // an evaluation ended
    std::condition_variable queuedChanged_;  // an evaluation was given to a waiting thread
    std::list<Entry> threads_;
    std::list<std::function<void()>> queued_;
    size_t waiting_ = 0;
    size_t running_ = 0;
};

EvaluationThreads& Evaluations()
{
    static EvaluationThreads* threads = new EvaluationThreads();
    return *threads;
}

struct DeviceList {
    std::mutex lock;
    std::vector<std::weak_ptr<AcpiDevice>> devices;
    uint64_t created = 0;
};

DeviceList& Devices()
{
    static DeviceList* list = new DeviceList();
    return *list;
}

std::vector<std::shared_ptr<AcpiDevice>> LiveDevices()
{
    DeviceList& list = Devices();
    std::lock_guard<std::mutex> guard(list.lock);
    std::vector<std::shared_ptr<AcpiDevice>> live;
    for (auto it = list.devices.begin(); it != list.devices.end();) {
        if (std::shared_ptr<AcpiDevice> device = it->lock()) {
            live.push_back(std::move(device));
            ++it;
        } else {
            it = list.devices.erase(it);
        }
    }
    return live;
}

// Notify on a firmware Device reaches the live physical device objects made for it.
void Broadcast(const std::string& path, ULONG value)
{
    for (const std::shared_ptr<AcpiDevice>& device : LiveDevices()) {
        if (device->Path() == path) {
            device->QueueNotification(value);
        }
    }
}

}  // namespace

AcpiDevice::AcpiDevice(std::string name, std::string path, InterfacePort* port)
    : name_(std::move(name)), path_(std::move(path)), port_(port)
{
    deviceObject_.driver = AcpiDriverObject();
    deviceObject_.extension = this;
    deviceObject_.name = name_;
    firmwareThread_ = std::thread([this] { NotificationLoop(); });
}

// Notifications still queued are dropped: the device is gone.
AcpiDevice::~AcpiDevice()
{
    bool handlerRegistered;
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
        handlerRegistered = handler_ != nullptr;
        changed_.notify_all();
    }
    firmwareThread_.join();
    PortDeviceGone(port_, handlerRegistered);
}

NTSTATUS AcpiDevice::DeviceControl(io::Irp* irp)
{
    // Only the control code with four-character method names (and 32-bit
    // integers) is offered; IOCTL_ACPI_EVAL_METHOD_EX and the rest are refused.
    if (irp->ioControlCode != IOCTL_ACPI_EVAL_METHOD) {
        return io::CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    const uint8_t* input = irp->systemBuffer;
    {
        std::lock_guard<std::mutex> guard(lock_);
        requests_.emplace_back(input, input + irp->inputLength);
        if (requests_.size() > kKeptRequests) {
            requests_.pop_front();
        }
    }
    NTSTATUS status = fault::Check("AcpiEvalMethod");
    if (!NT_SUCCESS(status)) {
        return io::CompleteWith(irp, status);
    }
    EvalInput decoded;
    status = DecodeEvalInput(input, irp->inputLength, &decoded);
    if (!NT_SUCCESS(status)) {
        return io::CompleteWith(irp, status);
    }
    // The output buffer must hold an ACPI_EVAL_OUTPUT_BUFFER whatever the method
    // returns; a smaller one (no buffer at all included) is refused before the
    // method runs.
    if (irp->outputLength < kOutputRecordSize) {
        return io::CompleteWith(irp, STATUS_BUFFER_TOO_SMALL);
    }
    std::shared_ptr<Firmware> firmware = InstalledFirmware();
    if (firmware == nullptr) {
        return io::CompleteWith(irp, STATUS_NO_SUCH_DEVICE);
    }
    return Evaluate(irp, *firmware, std::move(decoded));
}

NTSTATUS AcpiDevice::Evaluate(io::Irp* irp, Firmware& firmware, EvalInput input)
{
    ULONG signature = firmware.ResultSignatureOverride(input.method, input.arguments);
    if (signature == 0) {
        signature = ACPI_EVAL_OUTPUT_BUFFER_SIGNATURE;
    }
    // A method the interpreter runs to its end without waiting completes in
    // the sender's call, before IoCallDriver returns.
    {
        AcpiObject result;
        NTSTATUS status = firmware.EvaluateAtOnce(path_, input.method, input.arguments, &result);
        if (status != STATUS_PENDING) {
            return CompleteEvaluation(irp, status, result, signature);
        }
    }
    uint64_t use = TrackEvaluation(irp);
    firmware.AcquireUse();
    auto body = [irp, use, &firmware, signature, path = path_, input = std::move(input)] {
        AcpiObject result;
        NTSTATUS status = firmware.Evaluate(path, input.method, input.arguments, &result);
        firmware.ReleaseUse();
        if (!ClaimEvaluation(irp, use)) {
            return;  // cancelled: the sender has its answer and the packet may be another's now
        }
        CompleteEvaluation(irp, status, result, signature);
    };
    try {
        Evaluations().Start(std::move(body));
    } catch (const std::system_error&) {
        firmware.ReleaseUse();
        if (ClaimEvaluation(irp, use)) {
            io::CompleteWith(irp, STATUS_INSUFFICIENT_RESOURCES);
        }
    }
    return STATUS_PENDING;
}

NTSTATUS AcpiDevice::QueryInterface(const GUID& type, PINTERFACE record, USHORT size, USHORT version)
{
    return FillInterface(port_, type, record, size, version);
}

NTSTATUS AcpiDevice::RegisterHandler(PDEVICE_NOTIFY_CALLBACK2 handler, PVOID context)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (handler_ != nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    handler_ = handler;
    handlerContext_ = context;
    return STATUS_SUCCESS;
}

void AcpiDevice::UnregisterHandler()
{
    std::unique_lock<std::mutex> guard(lock_);
    handler_ = nullptr;
    handlerContext_ = nullptr;
    if (g_unregisterWaits.load(std::memory_order_acquire)) {
        changed_.wait(guard, [this] { return !inCall_; });
    } else if (inCall_) {
        g_unregistersNotWaiting.fetch_add(1, std::memory_order_acq_rel);
    }
}

bool AcpiDevice::HandlerRegistered() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return handler_ != nullptr;
}

void AcpiDevice::QueueNotification(ULONG value)
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (stopping_) {
            return;
        }
        queue_.push_back(value);
    }
    // Woken after the lock is let go, so the firmware thread does not wake only to wait for it.
    changed_.notify_all();
}

bool AcpiDevice::WaitNotificationsIdle(std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, timeout, [this] { return queue_.empty() && !inCall_; });
}

uint64_t AcpiDevice::NotificationsDelivered() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return delivered_;
}

uint64_t AcpiDevice::NotificationsDropped() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return dropped_;
}

long AcpiDevice::InterfaceReferences() const
{
    return PortReferences(port_);
}

std::vector<std::vector<uint8_t>> AcpiDevice::EvalRequests() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return std::vector<std::vector<uint8_t>>(requests_.begin(), requests_.end());
}

// The handler is taken under the lock and called outside it, with inCall_
// telling UnregisterHandler that a call is in progress.
void AcpiDevice::NotificationLoop()
{
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
        changed_.wait(guard, [this] { return stopping_ || !queue_.empty(); });
        if (stopping_) {
            return;
        }
        ULONG value = queue_.front();
        queue_.pop_front();
        if (handler_ == nullptr) {
            ++dropped_;
            changed_.notify_all();
            continue;
        }
        PDEVICE_NOTIFY_CALLBACK2 handler = handler_;
        PVOID context = handlerContext_;
        inCall_ = true;
        guard.unlock();
        {
            IrqlScope irql(DISPATCH_LEVEL);
            handler(context, value);
            RequireReturnedAt(DISPATCH_LEVEL, "device-notification handler");
        }
        guard.lock();
        inCall_ = false;
        ++delivered_;
        changed_.notify_all();
    }
}

std::shared_ptr<AcpiDevice> CreateDevice(const std::string& instanceId)
{
    Enumeration enumeration = EnumerateInstalled();
    const EnumeratedDevice* device = FindDevice(enumeration, instanceId);
    return device == nullptr ? nullptr : CreateDevice(*device, instanceId);
}

std::shared_ptr<AcpiDevice> CreateDevice(const EnumeratedDevice& enumerated, std::string name)
{
    DeviceList& list = Devices();
    bool firstOfASet = LiveDevices().empty();
    if (firstOfASet) {
        ForgetRemovedPorts();
    }
    {
        std::lock_guard<std::mutex> guard(list.lock);
        ++list.created;
        if (name.empty()) {
            name = enumerated.instanceId;
        }
    }
    InterfacePort* port = NewPort(name);
    auto device = std::make_shared<AcpiDevice>(name, enumerated.path, port);
    SetPortDevice(port, device);
    {
        std::lock_guard<std::mutex> guard(list.lock);
        list.devices.push_back(device);
    }
    ConnectFirmware();
    return device;
}

std::shared_ptr<AcpiDevice> DeviceBelow(const std::shared_ptr<io::DeviceObject>& lower)
{
    if (lower == nullptr || lower->driver != AcpiDriverObject()) {
        return nullptr;
    }
    return std::shared_ptr<AcpiDevice>(lower, static_cast<AcpiDevice*>(lower->extension));
}

namespace {

std::mutex g_firmwareLock;
std::shared_ptr<Firmware> g_firmware;

}  // namespace

void InstallFirmware(std::shared_ptr<Firmware> firmware)
{
    std::shared_ptr<Firmware> previous;
    {
        std::lock_guard<std::mutex> guard(g_firmwareLock);
        previous = std::exchange(g_firmware, std::move(firmware));
    }
    if (previous != nullptr) {
        previous->SetNotifySink(nullptr);
    }
    ConnectFirmware();
}

std::shared_ptr<Firmware> InstalledFirmware()
{
    std::lock_guard<std::mutex> guard(g_firmwareLock);
    return g_firmware;
}

void ConnectFirmware()
{
    if (std::shared_ptr<Firmware> firmware = InstalledFirmware()) {
        firmware->SetNotifySink(Broadcast);
    }
}

void SetCancelHonoured(bool honoured) { g_cancelHonoured.store(honoured, std::memory_order_release); }

bool CancelHonoured() { return g_cancelHonoured.load(std::memory_order_acquire); }

uint64_t CancelsDeclined() { return g_cancelsDeclined.load(std::memory_order_acquire); }

void SetUnregisterWaits(bool waits) { g_unregisterWaits.store(waits, std::memory_order_release); }

uint64_t UnregistersNotWaiting() { return g_unregistersNotWaiting.load(std::memory_order_acquire); }

size_t RunningEvaluations()
{
    return Evaluations().Running();
}

bool WaitForEvaluations(std::chrono::milliseconds timeout)
{
    return Evaluations().WaitAll(timeout);
}

}  // namespace plat::acpi
