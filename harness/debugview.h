/*
 * The driver's state as a debugger extension shows it: read from the loaded
 * image's device context and globals with the driver's own definitions (and
 * from the framework's queue), and handed out as plain snapshots. The
 * simulator, its firmware check, the tests and the benchmarks observe the
 * driver's private state through this view alone; nothing else outside the
 * driver knows its structures (the layer check refuses the driver's private
 * header anywhere else). Like a debugger it can also write a named field and
 * call a routine: the few entries below that do are for states and arguments
 * no caller of the driver can bring about.
 *
 * Like a debugger, the view takes none of the driver's locks: its callers
 * read when the driver's work has settled (between commands, after a test
 * step), or from a callback on the thread the driver is stopped in, as a
 * debugger stopped on a trace would (check reads the device so when a failed
 * start is reported, before the framework takes the device down).
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include <wdf.h>

namespace plat {
class Host;
}

namespace tvrx::debugview {

struct ModeRow {
    unsigned mode = 0;
    uint32_t value1 = 0, value2 = 0, value3 = 0;
};

struct ModeTable {
    unsigned tag = 0;
    uint32_t entryCount = 0;  // as the driver holds it; rows holds at most the table's capacity
    unsigned maxMode = 0;
    std::vector<ModeRow> rows;
};

// One app instance (one open handle on the device).
struct Client {
    WDFFILEOBJECT fileObject = nullptr;
    const void* event = nullptr;  // the client's event the instance holds, or null
};

// The device context of one device of the driver.
struct Device {
    uint32_t deviceState = 0;
    uint32_t currentDeviceMode = 0;
    uint32_t regulatoryType = 0;
    bool tablesValid = false;
    bool acpiInterfaceAcquired = false;
    bool notificationsRegistered = false;
    bool hardwarePrepared = false;
    uint32_t sarTableAddress = 0;
    uint32_t sarTableLength = 0;
    std::vector<ModeTable> tables;
    // The device mode's bookkeeping: the last ticket handed out, and the
    // record (ticket in the high half, mode in the low half) of the last store.
    int32_t modeTicket = 0;
    int64_t modeRecord = 0;
    // Mode reads owed to notifications, and the notification gate.
    bool modeReadPending = false;
    bool modeReadItemQueued = false;
    uint32_t modeReadItems = 0;
    int32_t notificationsOpen = 0;
    int32_t notifyCallsInFlight = 0;
    // The gate itself: the context the driver registers its notification handler with.
    void* notifyGate = nullptr;
    // The device's two locks, as handles (the view never takes them).
    WDFSPINLOCK clientListLock = nullptr;
    WDFSPINLOCK modeReadLock = nullptr;
    // The driver's app instances in list order (newest first); the list is
    // sound when every link's successor links back to it.
    std::vector<Client> clients;
    bool clientListSound = true;
    // Every byte of the context but its locks, its list head and its
    // notification gate is zero: a context as the framework hands it over.
    bool untouched = false;
    // How many app instances there are, and how many of them hold a client's event.
    size_t appInstances = 0;
    size_t appInstancesWithEvent = 0;
};

// Reads what a client or the Plug and Play manager may see change; safe
// while the driver's workers run. The mode-read bookkeeping and `untouched`
// are left out: the workers write them under the driver's lock.
Device ReadDevice(WDFDEVICE device);
// Also reads the mode-read bookkeeping and whether the context is untouched:
// only while the driver does nothing (inside device add, or settled).
Device ReadDeviceAtRest(WDFDEVICE device);
// The device's current mode alone: a read cheap enough for a measured loop.
uint32_t ReadDeviceMode(WDFDEVICE device);

// A notification gate (Device::notifyGate), which outlives its device until
// the driver unloads: whether it is open and how many handler calls are inside.
struct Gate {
    int32_t open = 0;
    int32_t callsInFlight = 0;
};
Gate ReadGate(const void* gate);
// Where the driver stores the device's mode: the address a debugger puts a
// write breakpoint on (a test pauses the driver's interlocked store there).
volatile void* DeviceModeAddress(WDFDEVICE device);
// Where the driver keeps the record of the newest mode read stored (its ticket and mode).
volatile void* DeviceModeRecordAddress(WDFDEVICE device);

// The driver's own limits and values, as its definitions give them.
struct Limits {
    size_t dsmOutputSize;        // bytes of the driver's _DSM result buffer
    size_t tableCount;           // device-mode tables it reads
    unsigned highestMatchedMode; // modes above it are never answered
    uint32_t sarStateCurrent;    // BiosSarState after a successful export
    uint32_t modeChangeNotify;   // the Notify value it acts on
    size_t tableEntries;         // entries a device-mode table holds
    uint32_t poolTag;            // the tag of the driver's allocations
    uint32_t sarPoolTag;         // the tag of the SAR export's transfer buffer
};
const Limits& DriverLimits();

// Device::deviceState values.
enum DeviceStateValue : uint32_t {
    kDeviceCreated = 0,
    kDevicePrepared = 1,
    kDevicePrepareFailed = 3,
    kDeviceReleased = 4,
};

// BiosSarState values, as the driver holds them and records them in the registry.
enum SarStateValue : uint32_t {
    kSarChecking = 0,
    kSarCurrent = 1,
    kSarBadResult = 3,
    kSarReadFailed = 4,
    kSarWriteFailed = 5,
};

// How many requests the framework holds in the device's default queue
// (while the device is out of D0), as a debugger's look at the queue shows.
size_t HeldRequests(WDFDEVICE device);

// The driver's global BiosSarState; nullopt when no image is loaded.
std::optional<uint32_t> ReadBiosSarState(const plat::Host& host);

// ---------------------------------------------------------------- writes
//
// A debugger can write the driver's memory too. These make states no
// firmware, client or Plug and Play sequence brings about (a stray write, a
// bound the firmware's answers can never reach), so that a test can show
// what the driver does with them. Each writes one named field, without a lock.

// One entry of a device-mode table.
void PokeTableEntry(WDFDEVICE device, size_t table, size_t index, const ModeRow& row);
// A table's entry count (the firmware's count element) and its highest mode.
void PokeTableEntryCount(WDFDEVICE device, size_t table, uint32_t entryCount);
void PokeTableMaxMode(WDFDEVICE device, size_t table, unsigned maxMode);
// Takes UnregisterForDeviceNotifications out of the driver's copy of the
// ACPI standard interface (the next query of the interface brings it back).
void PokeAcpiUnregisterRoutineAway(WDFDEVICE device);
// Points the back link of the app instance at `index` (list order) at the
// instance itself, as a stray write would; `corrupt` false mends it again.
void PokeInstanceBackLink(WDFDEVICE device, size_t index, bool corrupt);

// ---------------------------------------------------------------- calls
//
// A few of the driver's routines run on bytes or arguments no caller of the
// driver can hand them (a result the ACPI driver never writes, an argument
// the driver never passes); a debugger extension calls them directly, as
// these do, with the routines of the image `host` has loaded. Everything else
// is observed through the driver's interfaces.

// The device-mode table walk over a function-2 result: `bytes` as the
// buffer, a table that announces `entryCount` entries and whose every entry
// holds a value no result stores, followed by guard bytes of the same value.
struct ParsedTable {
    NTSTATUS status = 0;
    std::vector<ModeRow> rows;  // the entries the walk wrote, in order (up to the first untouched one)
    unsigned maxMode = 0;
    uint32_t entryCount = 0;    // the table's count after the walk
    bool guardIntact = true;    // nothing was written past the table's entries
};
// `before`: entries the table holds already (written as stored), `maxMode` its highest mode so far.
ParsedTable ParseTableResult(const plat::Host& host, const std::vector<uint8_t>& bytes, uint32_t entryCount,
                             const std::vector<ModeRow>& before = {}, unsigned maxMode = 0);

// The processing of one _DSM result (function, table index) into the device,
// with the result in a memory object of exactly the bytes' size (no memory
// object at all when there are no bytes).
NTSTATUS ProcessDsmResult(const plat::Host& host, WDFDEVICE device, int32_t function, int32_t table,
                          const std::vector<uint8_t>& bytes);

// One _DSM evaluation as the driver sends it. `response` receives the result
// the driver hands its callers (the caller deletes it), or null; a null
// `response` asks with no place for the result at all.
NTSTATUS EvaluateDsm(const plat::Host& host, WDFDEVICE device, uint32_t function, uint32_t table, WDFMEMORY* response);
// One _DSM evaluation and the processing of its result (the road of every
// read but the table read's).
NTSTATUS EvaluateDsmFunction(const plat::Host& host, WDFDEVICE device, uint32_t function);

// The driver's registry helpers: whether a SAR export is due, a string of an
// absolute key, and its SARService-style parameter subkeys.
bool IsBiosSarUpdateNeeded(const plat::Host& host, WDFDEVICE device);
NTSTATUS QueryRegistryString(const plat::Host& host, const wchar_t* path, const wchar_t* value, PUNICODE_STRING text);
NTSTATUS WriteParameterValue(const plat::Host& host, WDFDEVICE device, const wchar_t* subkey, const wchar_t* value,
                             ULONG type, PVOID data, ULONG size);
NTSTATUS ReadParameterString(const plat::Host& host, WDFDEVICE device, const wchar_t* subkey, const wchar_t* value,
                             PUNICODE_STRING text);

// The SAR export of `length` bytes at a physical address, as function 3's processing runs it.
NTSTATUS ExportBiosSarTable(const plat::Host& host, uint32_t address, uint64_t length);

// The notification handler as the ACPI driver calls it, with a gate (Device::notifyGate).
void CallNotifyHandler(const plat::Host& host, const void* gate, ULONG code);

}  // namespace tvrx::debugview
