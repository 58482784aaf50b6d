/*
 * The standard interface v2 that the ACPI driver hands to the device above.
 * Its Context is an InterfacePort: a record that outlives its device while
 * references remain, so a late InterfaceDereference is still recognised and
 * an interface never given back shows up in the verifier's report.
 */
#pragma once
#include <wdm.h>
#include <memory>
#include <string>

namespace plat::acpi {

class AcpiDevice;

// The version of the standard interface v2 (the WDK names no constant for it).
constexpr USHORT kStandardInterface2Version = 1;

struct InterfacePort {
    std::string name;
    std::weak_ptr<AcpiDevice> device;
    long references = 0;
    bool deviceGone = false;
    bool handlerLeft = false;  // the device went away with a notification handler registered
};

// Ports live in a ledger guarded by its own lock; these are its only users.
InterfacePort* NewPort(std::string name);
void SetPortDevice(InterfacePort* port, const std::shared_ptr<AcpiDevice>& device);
void PortDeviceGone(InterfacePort* port, bool handlerRegistered);
long PortReferences(InterfacePort* port);
// Drops what removed devices left behind (a new set of devices starts).
void ForgetRemovedPorts();

// IRP_MN_QUERY_INTERFACE for a port: fills the record and takes one reference.
NTSTATUS FillInterface(InterfacePort* port, const GUID& type, PINTERFACE record, USHORT size, USHORT version);

}  // namespace plat::acpi
