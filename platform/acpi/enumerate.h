/*
 * The ACPI driver's enumeration: which Device objects of the firmware become
 * physical device objects, and with which identifiers, as Windows' ACPI
 * driver reports them to the Plug and Play manager.
 *
 * A Device is enumerated when its _HID is a valid ACPI ID (four upper-case
 * letters or digits and four hexadecimal digits, "TVRX0001") or PNP ID (three
 * upper-case letters and four hexadecimal digits, "PNP0C09"; an EISA ID
 * integer reads as one), and its _STA says present (bit 0; no _STA means
 * present), and no enclosing Device's _STA says it is neither present nor
 * functioning. A present device whose _STA clears bit 3 (functioning) is
 * enumerated with a problem code. Its identifiers:
 *   hardware IDs    ACPI\<HID>, *<HID>
 *   compatible IDs  ACPI\<CID>, *<CID> for each _CID (one ID or a Package of them)
 *   instance ID     ACPI\<HID>\<UID>; without a _UID, the device's index among
 *                   the enumerated devices of that _HID
 * Every other Device is listed with the reason it was not enumerated.
 *
 * API (for the Plug and Play manager, the host and tvrx-sim check):
 *   Enumeration Enumerate(const std::vector<FirmwareDevice>& devices);  pure: the firmware's description in
 *   Enumeration Enumerate(Firmware& firmware);                          the firmware's Devices() now
 *   Enumeration EnumerateInstalled();                                   the machine's installed firmware
 *                                                                        (empty when none is installed)
 *   const EnumeratedDevice* FindDevice(const Enumeration& enumeration, const std::string& instanceId);
 *       the device with that instance ID, else the first whose hardware ID, else the first whose compatible
 *       ID, is the instance ID without its last segment ("ACPI\TVRX0001\7" -> "ACPI\TVRX0001"); nullptr
 *       when none (IDs compare case-insensitively)
 *   bool ValidAcpiId(std::string_view id); bool ValidPnpId(std::string_view id);
 *   std::string ToString(Exclusion reason);
 * acpi::CreateDevice(instanceId) (acpidevice.h) makes the PDO of FindDevice's answer.
 */
#pragma once
#include <ntdef.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "firmware/firmware.h"

namespace plat::acpi {

// The problem code of a device whose _STA says present but not functioning:
// its PDO reports PNP_DEVICE_FAILED, so the device is stopped with
// CM_PROB_FAILED_POST_START.
constexpr ULONG kProblemFailedPostStart = 43;

struct EnumeratedDevice {
    std::string path;                        // the Device whose methods the PDO evaluates
    std::string hid;
    std::optional<std::string> uid;
    std::vector<std::string> hardwareIds;    // "ACPI\TVRX0001", "*TVRX0001"
    std::vector<std::string> compatibleIds;  // from _CID, in its order
    std::string instanceId;                  // "ACPI\TVRX0001\0"
    uint64_t sta = 0x0F;                     // no _STA: present, enabled, shown, functioning
    bool working = true;                     // _STA bit 3
    ULONG problem = 0;                       // kProblemFailedPostStart when not working
};

enum class Exclusion {
    NoHid,             // no _HID (a device with _ADR belongs to its parent bus)
    UnreadableHid,     // _HID failed or is neither an Integer nor a String
    InvalidHid,        // _HID is no valid ACPI or PNP ID
    NotPresent,        // _STA bit 0 clear
    StatusFailed,      // _STA failed or is not an Integer
    ParentNotPresent,  // an enclosing Device is neither present nor functioning
};
std::string ToString(Exclusion reason);

struct SkippedDevice {
    std::string path;
    std::optional<std::string> hid;  // as read, when there was one
    Exclusion reason = Exclusion::NoHid;
    std::string detail;              // a readable sentence: what was read and why it does not count
};

struct Enumeration {
    std::vector<EnumeratedDevice> devices;  // namespace order
    std::vector<SkippedDevice> skipped;     // namespace order
};

bool ValidAcpiId(std::string_view id);
bool ValidPnpId(std::string_view id);

Enumeration Enumerate(const std::vector<FirmwareDevice>& devices);
Enumeration Enumerate(Firmware& firmware);
Enumeration EnumerateInstalled();

const EnumeratedDevice* FindDevice(const Enumeration& enumeration, const std::string& instanceId);

}  // namespace plat::acpi
