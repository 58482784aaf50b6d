/*
 * The driver's state as a debugger extension shows it: read from the loaded
 * image's device context and globals with the driver's own definitions (and
 * from the framework's queue), and handed to the simulator as plain
 * snapshots. No other part of the simulator knows the driver's private
 * structures.
 *
 * Like a debugger, the view takes none of the driver's locks: the simulator
 * reads between commands, when the driver's work has settled, or from a
 * trace sink on the thread that traced, as a debugger stopped on that trace
 * would (check reads the device so when a failed start is reported, before
 * the framework takes the device down).
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

namespace sim::debugview {

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

// The device context of one device of the driver.
struct Device {
    uint32_t deviceState = 0;
    uint32_t currentDeviceMode = 0;
    uint32_t regulatoryType = 0;
    bool tablesValid = false;
    bool acpiInterfaceAcquired = false;
    bool notificationsRegistered = false;
    uint32_t sarTableAddress = 0;
    uint32_t sarTableLength = 0;
    std::vector<ModeTable> tables;
    // The driver's app instances (one per open handle), and how many of them hold a client's event.
    size_t appInstances = 0;
    size_t appInstancesWithEvent = 0;
};

Device ReadDevice(WDFDEVICE device);

// The driver's own limits and values, as its definitions give them.
struct Limits {
    size_t dsmOutputSize;        // bytes of the driver's _DSM result buffer
    size_t tableCount;           // device-mode tables it reads
    unsigned highestMatchedMode; // modes above it are never answered
    uint32_t sarStateCurrent;    // BiosSarState after a successful export
    uint32_t modeChangeNotify;   // the Notify value it acts on
};
const Limits& DriverLimits();

// How many requests the framework holds in the device's default queue
// (while the device is out of D0), as a debugger's look at the queue shows.
size_t HeldRequests(WDFDEVICE device);

// The driver's global BiosSarState; nullopt when no image is loaded.
std::optional<uint32_t> ReadBiosSarState(const plat::Host& host);

}  // namespace sim::debugview
