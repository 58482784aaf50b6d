/*
 * I/O request packets and device stacks: the one request type of the
 * platform. A packet carries the major function, the requestor mode, the
 * sending thread's process, the file object, the parameters and the buffers;
 * it travels down a device stack through IoCallDriver and comes back through
 * IoCompleteRequest, which runs the completion routines set on the way down
 * (the last one set first). A driver that returns STATUS_PENDING from its
 * dispatch routine completes the packet later, from any thread; a sender
 * that must have the result waits for it (WaitForIrp). A packet that may be
 * held for long gets a cancel routine; IoCancelIrp calls it once.
 *
 * The packets a thread sends for a caller's system service (device controls)
 * are on the thread's list from when they are sent until the I/O manager has
 * finished them, as Windows keeps them (IopQueueThreadIrp): that is where
 * CancelIoEx, CancelSynchronousIo and the exit of the thread or of its
 * process find them to cancel.
 *
 * Packets come from a lookaside list of the allocating thread (as Windows
 * keeps one per processor), so sending one allocates nothing once warm.
 */
#pragma once
#include <wdm.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace plat {
class Process;
class Clock;
}
namespace plat::se {
struct SecurityDescriptor;
}

namespace plat::io {

struct DeviceObject;
struct FileObject;
struct Irp;

using DispatchRoutine = NTSTATUS (*)(DeviceObject* device, Irp* irp);
using CompletionRoutine = NTSTATUS (*)(DeviceObject* device, Irp* irp, void* context);
using CancelRoutine = void (*)(DeviceObject* device, Irp* irp);

// Major and minor functions, with the WDK's values.
enum : UCHAR {
    kMjCreate = 0x00,
    kMjClose = 0x02,
    kMjRead = 0x03,
    kMjWrite = 0x04,
    kMjQueryInformation = 0x05,
    kMjSetInformation = 0x06,
    kMjQueryEa = 0x07,
    kMjFlushBuffers = 0x09,
    kMjQueryVolumeInformation = 0x0A,
    kMjDeviceControl = 0x0E,
    kMjLockControl = 0x11,
    kMjCleanup = 0x12,
    kMjPower = 0x16,
    kMjPnp = 0x1B,
    kMjCount = 0x1C,
};
enum : UCHAR {
    // IRP_MJ_PNP
    kMnStartDevice = 0x00,
    kMnQueryRemoveDevice = 0x01,
    kMnRemoveDevice = 0x02,
    kMnCancelRemoveDevice = 0x03,
    kMnStopDevice = 0x04,
    kMnQueryStopDevice = 0x05,
    kMnCancelStopDevice = 0x06,
    kMnQueryInterface = 0x08,
    kMnSurpriseRemoval = 0x17,
    // IRP_MJ_LOCK_CONTROL
    kMnLock = 0x01,
    kMnUnlockSingle = 0x02,
    // IRP_MJ_POWER
    kMnSetPower = 0x02,
    kMnQueryPower = 0x03,
};
// Parameters.Power.Type and the states of Parameters.Power.State (POWER_STATE_TYPE,
// SYSTEM_POWER_STATE and DEVICE_POWER_STATE values).
enum : ULONG {
    kSystemPowerState = 0,
    kDevicePowerState = 1,
    kPowerSystemWorking = 1,
    kPowerSystemSleeping3 = 4,
    kPowerDeviceD0 = 1,
    kPowerDeviceD3 = 4,
};

// A driver: its dispatch table. Entries left empty complete the packet with
// STATUS_INVALID_DEVICE_REQUEST, as the I/O manager's default routine does.
struct DriverObject {
    std::string name;
    DispatchRoutine majorFunction[kMjCount] = {};
};

// A device object in a stack: requests sent to it reach its driver's dispatch
// routine; the driver passes them on to the device below (lower) when it does not handle them.
struct DeviceObject {
    DriverObject* driver = nullptr;
    DeviceObject* lower = nullptr;
    void* extension = nullptr;  // the driver's own record of the device
    std::string name;
    // Kept by the I/O manager (ntos/io/deviceinterface.h) under its namespace lock:
    DeviceObject* attached = nullptr;  // the device attached above this one (AttachedDevice)
    std::wstring instanceId;           // a physical device object's device instance (its device node)
    int opensInProgress = 0;           // opens that resolved this physical device object and have not finished
    bool opensRefused = false;         // the Plug and Play manager is removing the stack
    // Who may open the device: user-mode opens are checked against it
    // (nullptr: the default descriptor of a device that nothing gives one).
    std::shared_ptr<const se::SecurityDescriptor> security;
    ULONG characteristics = 0;  // FILE_DEVICE_SECURE_OPEN, ...
};

struct alignas(64) Irp {
    // The request.
    UCHAR major = 0;
    UCHAR minor = 0;
    KPROCESSOR_MODE requestorMode = KernelMode;
    UCHAR accessFlags = 0;           // of a device control: SL_READ/WRITE_ACCESS_GRANTED, what the sender's handle allows
    Process* process = nullptr;      // the sending thread's process
    uint64_t thread = 0;             // the sending thread (ThreadId())
    FileObject* file = nullptr;
    DeviceObject* device = nullptr;  // the device the packet was last sent to

    // Parameters of a device control; a read, a write, an information or
    // extended-attribute query or set gives its buffer's length as outputLength.
    ULONG ioControlCode = 0;
    ULONG inputLength = 0;
    ULONG outputLength = 0;
    UCHAR* systemBuffer = nullptr;    // buffered: max(input, output) bytes; direct: the input
    void* userBuffer = nullptr;       // direct and neither: the caller's output
    const void* userInput = nullptr;  // neither: the caller's input

    // Parameters of IRP_MN_QUERY_INTERFACE.
    struct {
        const GUID* type = nullptr;
        PINTERFACE interface = nullptr;
        USHORT size = 0;
        USHORT version = 0;
    } queryInterface;

    // Parameters of IRP_MN_SET_POWER and IRP_MN_QUERY_POWER: set by whoever
    // builds a power packet (the allocation leaves them, so the I/O path does
    // no work for them).
    struct {
        ULONG type = 0;   // kSystemPowerState or kDevicePowerState
        ULONG state = 0;  // a system or device power state
    } power;

    // IoStatus.
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;

    // What the driver holding the packet keeps with it (Tail.Overlay.DriverContext).
    void* driverContext[4] = {};

    // Cancellation.
    std::atomic<bool> cancel{false};
    std::atomic<CancelRoutine> cancelRoutine{nullptr};
    // Of a packet on its thread's list: the caller's OVERLAPPED, or nullptr
    // (what CancelIoEx names it by), and whether the caller waits for it in
    // the system service (a synchronous request, which CancelSynchronousIo cancels).
    const void* userApcContext = nullptr;
    bool synchronousApi = false;
    void* threadList = nullptr;  // the list the packet is on (the I/O manager's)

    // Completion.
    struct Completion {
        CompletionRoutine routine;
        DeviceObject* device;
        void* context;
    };
    Completion completions[4] = {};
    int completionCount = 0;
    std::atomic<bool> completed{false};
    std::atomic<int> waiters{0};
    std::mutex waitLock;
    std::condition_variable done;

    // Backing store of the system buffer: in the packet for the small buffers
    // of most device controls (its own cache lines, which no other packet
    // shares), else on the heap.
    alignas(64) UCHAR inlineStorage[128];
    std::vector<UCHAR> storage;
};

// A packet from the thread's lookaside list, reset, with a system buffer of
// systemBufferSize bytes (zero-filled), sent by the current thread as mode.
Irp* IoAllocateIrp(size_t systemBufferSize, KPROCESSOR_MODE mode);
void IoFreeIrp(Irp* irp);

// Sends the packet to the device's driver; what its dispatch routine returns.
NTSTATUS IoCallDriver(DeviceObject* device, Irp* irp);
// The packet is done: runs its completion routines and wakes its waiter.
void IoCompleteRequest(Irp* irp);
// Sets the packet's status and information and completes it; the status
// (what a dispatch routine that completes at once returns).
NTSTATUS CompleteWith(Irp* irp, NTSTATUS status, ULONG_PTR information = 0);
// Runs on the way back up: routine(device, irp, context) when the device below completes the packet.
void IoSetCompletionRoutine(Irp* irp, DeviceObject* device, CompletionRoutine routine, void* context);

// Sets the routine IoCancelIrp calls (nullptr clears it); the previous one.
CancelRoutine IoSetCancelRoutine(Irp* irp, CancelRoutine routine);
// Marks the packet cancelled and calls its cancel routine if it has one
// (cleared first, so it runs once); false when it had none. The routine runs
// at DISPATCH_LEVEL, as under the cancel spin lock. <= DISPATCH_LEVEL.
bool IoCancelIrp(Irp* irp);

// The thread's list of packets. Queue puts a packet the current thread sends
// on it; false, and the packet not on it, when the packet's process is
// ending: a terminating process sends no new requests (its threads are being
// ended, and process exit has cancelled what they had sent). Dequeue takes a
// packet off once the I/O manager is done with it, before it is freed (from
// any thread).
[[nodiscard]] bool IoQueueThreadIrp(Irp* irp);
void IoDequeueThreadIrp(Irp* irp);
// The current thread is ending: its packets are cancelled and it waits until
// each is finished (IoCancelThreadIo). A thread that ends runs this itself.
void IoCancelThreadIo();
// Cancels the packets the process sent on the file (NtCancelIoFileEx): all of
// them, or those of the one OVERLAPPED when key is not nullptr; how many it found.
size_t IoCancelFileIo(const Process* process, const FileObject* file, const void* key);
// Cancels the synchronous request the thread waits for (NtCancelSynchronousIoFile);
// how many it found.
size_t IoCancelSynchronousIo(uint64_t thread);
// The process is ending: every packet its threads sent is cancelled, and this
// waits until each is finished, as each of its threads does at its exit.
void IoCancelProcessIo(const Process* process);

// Waits until the packet is completed. With a deadline (machine time, 100-ns
// units) the wait ends at the deadline instead; false then.
bool WaitForIrp(Irp* irp, const Clock* clock = nullptr, const LONGLONG* deadline = nullptr);

// A number for the calling thread, unique among the threads of the run.
uint64_t ThreadId();

}  // namespace plat::io
