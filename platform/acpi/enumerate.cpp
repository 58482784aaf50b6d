/* Which Device objects the ACPI driver enumerates, and their identifiers. */
#include "acpi/enumerate.h"

#include <ntstatus.h>

#include <cctype>
#include <cstdio>
#include <map>

#include "acpi/acpidevice.h"

namespace plat::acpi {

namespace {

bool UpperOrDigit(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool HexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

bool HexTail(std::string_view id, size_t from)
{
    for (size_t i = from; i < id.size(); ++i) {
        if (!HexDigit(id[i])) {
            return false;
        }
    }
    return true;
}

std::string Hex(uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

std::string Upper(std::string text)
{
    for (char& c : text) {
        c = char(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

// The enclosing Device of a path ("\_SB.PCI0.TVRX" -> "\_SB.PCI0").
std::string ParentPath(const std::string& path)
{
    size_t dot = path.find_last_of('.');
    return dot == std::string::npos ? std::string() : path.substr(0, dot);
}

}  // namespace

namespace {

// Why the ACPI driver leaves a device alone (the device's own objects); detail stays empty when it does not.
void Exclude(const FirmwareDevice& device, SkippedDevice* skipped)
{
    if (!device.hid) {
        skipped->reason = Exclusion::NoHid;
        skipped->detail = device.hasAdr ? "no _HID (it has an _ADR: its parent bus enumerates it)" : "no _HID";
    } else if (!device.hidError.empty()) {
        skipped->reason = Exclusion::UnreadableHid;
        skipped->detail = device.hidError;
    } else if (!ValidAcpiId(*device.hid) && !ValidPnpId(*device.hid)) {
        skipped->reason = Exclusion::InvalidHid;
        skipped->detail = "_HID \"" + *device.hid +
                          "\" is neither an ACPI ID (four upper-case letters or digits and four hexadecimal "
                          "digits) nor a PNP ID (three upper-case letters and four hexadecimal digits)";
    } else if (device.staStatus != STATUS_SUCCESS) {
        char status[16];
        std::snprintf(status, sizeof status, "0x%08X", static_cast<unsigned>(device.staStatus));
        skipped->reason = Exclusion::StatusFailed;
        skipped->detail = std::string("_STA failed with status ") + status;
    } else if (device.sta && (*device.sta & 0x1) == 0) {
        skipped->reason = Exclusion::NotPresent;
        skipped->detail = "_STA returned " + Hex(*device.sta) + " (bit 0 clear: not present)";
    }
}

}  // namespace

bool ValidAcpiId(std::string_view id)
{
    if (id.size() != 8) {
        return false;
    }
    for (size_t i = 0; i < 4; ++i) {
        if (!UpperOrDigit(id[i])) {
            return false;
        }
    }
    return HexTail(id, 4);
}

bool ValidPnpId(std::string_view id)
{
    if (id.size() != 7) {
        return false;
    }
    for (size_t i = 0; i < 3; ++i) {
        if (id[i] < 'A' || id[i] > 'Z') {
            return false;
        }
    }
    return HexTail(id, 3);
}

std::string ToString(Exclusion reason)
{
    switch (reason) {
    case Exclusion::NoHid:
        return "no _HID";
    case Exclusion::UnreadableHid:
        return "unreadable _HID";
    case Exclusion::InvalidHid:
        return "invalid _HID";
    case Exclusion::NotPresent:
        return "not present";
    case Exclusion::StatusFailed:
        return "_STA failed";
    case Exclusion::ParentNotPresent:
        return "parent not present";
    }
    return "not enumerated";
}

Enumeration Enumerate(const std::vector<FirmwareDevice>& devices)
{
    Enumeration enumeration;
    std::map<std::string, uint64_t> absent;  // devices neither present nor functioning: their children are not looked at
    std::map<std::string, size_t> perHid;    // enumerated devices of each _HID so far, for instance IDs without _UID
    for (const FirmwareDevice& device : devices) {
        SkippedDevice skipped;
        skipped.path = device.path;
        skipped.hid = device.hid;
        for (std::string parent = ParentPath(device.path); !parent.empty(); parent = ParentPath(parent)) {
            auto found = absent.find(parent);
            if (found != absent.end()) {
                skipped.reason = Exclusion::ParentNotPresent;
                skipped.detail = found->first + " (_STA " + Hex(found->second) + ") is neither present nor functioning";
                break;
            }
        }
        if (device.sta && (*device.sta & 0x1) == 0 && (*device.sta & 0x8) == 0) {
            absent[device.path] = *device.sta;
        }
        if (skipped.detail.empty()) {
            Exclude(device, &skipped);
        }
        if (!skipped.detail.empty()) {
            enumeration.skipped.push_back(std::move(skipped));
            continue;
        }

        EnumeratedDevice pdo;
        pdo.path = device.path;
        pdo.hid = *device.hid;
        pdo.uid = device.uid;
        pdo.hardwareIds = {"ACPI\\" + pdo.hid, "*" + pdo.hid};
        for (const std::string& cid : device.cids) {
            pdo.compatibleIds.push_back("ACPI\\" + cid);
            pdo.compatibleIds.push_back("*" + cid);
        }
        size_t index = perHid[pdo.hid]++;
        pdo.instanceId = "ACPI\\" + pdo.hid + "\\" + (pdo.uid ? *pdo.uid : std::to_string(index));
        pdo.sta = device.sta.value_or(0x0F);
        pdo.working = (pdo.sta & 0x8) != 0;
        pdo.problem = pdo.working ? 0 : kProblemFailedPostStart;
        enumeration.devices.push_back(std::move(pdo));
    }
    return enumeration;
}

Enumeration Enumerate(Firmware& firmware)
{
    return Enumerate(firmware.Devices());
}

Enumeration EnumerateInstalled()
{
    std::shared_ptr<Firmware> firmware = InstalledFirmware();
    return firmware == nullptr ? Enumeration() : Enumerate(*firmware);
}

const EnumeratedDevice* FindDevice(const Enumeration& enumeration, const std::string& instanceId)
{
    std::string wanted = Upper(instanceId);
    for (const EnumeratedDevice& device : enumeration.devices) {
        if (Upper(device.instanceId) == wanted) {
            return &device;
        }
    }
    size_t last = wanted.find_last_of('\\');
    std::string hardwareId = last == std::string::npos ? wanted : wanted.substr(0, last);
    for (bool compatible : {false, true}) {
        for (const EnumeratedDevice& device : enumeration.devices) {
            for (const std::string& id : compatible ? device.compatibleIds : device.hardwareIds) {
                if (Upper(id) == hardwareId) {
                    return &device;
                }
            }
        }
    }
    return nullptr;
}

}  // namespace plat::acpi
