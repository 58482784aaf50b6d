/*
 * The standard interface v2: reference counting, device notifications, and
 * the GPE routines this machine has no use for.
 */
#include <initguid.h>
#include <wdmguid.h>

#include "acpi/interface.h"

#include <cstring>
#include <mutex>
#include <set>

#include "acpi/acpidevice.h"
#include "base/bugcheck.h"
#include "base/fault.h"
#include "base/verifier.h"
#include "ntos/ke/irql.h"

namespace plat::acpi {
namespace {

struct Ledger {
    std::mutex lock;
    std::set<InterfacePort*> ports;
};

Ledger& TheLedger()
{
    static Ledger* ledger = new Ledger();  // lives for the process: drivers may call in at any time
    return *ledger;
}

// The port a Context names; a Context the ACPI driver never handed out stops the system.
InterfacePort* Known(Ledger& ledger, PVOID context, const char* routine)
{
    auto* port = static_cast<InterfacePort*>(context);
    if (ledger.ports.count(port) == 0) {
        VerifierViolation("ACPI interface", std::string(routine) +
                                                " was given a Context that is not one of an ACPI interface");
    }
    return port;
}

std::shared_ptr<AcpiDevice> DeviceOf(PVOID context, const char* routine)
{
    Ledger& ledger = TheLedger();
    std::lock_guard<std::mutex> guard(ledger.lock);
    return Known(ledger, context, routine)->device.lock();
}

void ForgetIfDone(Ledger& ledger, InterfacePort* port)
{
    if (port->deviceGone && port->references == 0 && !port->handlerLeft) {
        ledger.ports.erase(port);
        delete port;
    }
}

VOID InterfaceReference(PVOID Context)
{
    Ledger& ledger = TheLedger();
    std::lock_guard<std::mutex> guard(ledger.lock);
    ++Known(ledger, Context, "InterfaceReference")->references;
}

VOID InterfaceDereference(PVOID Context)
{
    Ledger& ledger = TheLedger();
    std::lock_guard<std::mutex> guard(ledger.lock);
    InterfacePort* port = Known(ledger, Context, "InterfaceDereference");
    if (port->references == 0) {
        VerifierViolation("ACPI interface", "InterfaceDereference of " + port->name +
                                                "'s interface without a reference held");
    }
    --port->references;
    ForgetIfDone(ledger, port);
}

NTSTATUS RegisterForDeviceNotifications(PVOID Context, PDEVICE_NOTIFY_CALLBACK2 NotificationHandler,
                                        PVOID NotificationContext)
{
    RequirePassive(__func__);
    std::shared_ptr<AcpiDevice> device = DeviceOf(Context, __func__);
    NTSTATUS status = fault::Check("RegisterForDeviceNotifications");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (device == nullptr) {
        return STATUS_NO_SUCH_DEVICE;
    }
    if (NotificationHandler == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    // The machine may have been given another firmware since the device was made.
    ConnectFirmware();
    return device->RegisterHandler(NotificationHandler, NotificationContext);
}

VOID UnregisterForDeviceNotifications(PVOID Context)
{
    RequirePassive(__func__);
    if (std::shared_ptr<AcpiDevice> device = DeviceOf(Context, __func__)) {
        device->UnregisterHandler();
    }
}

// General-purpose events are not part of this machine.
NTSTATUS GpeConnectVector(PVOID, ULONG, ULONG, BOOLEAN, PVOID, PVOID, PVOID*)
{
    return STATUS_NOT_SUPPORTED;
}

NTSTATUS GpeObjectRoutine(PVOID, PVOID)
{
    return STATUS_NOT_SUPPORTED;
}

const int g_reporter = verifier::AddReporter("ACPI interfaces", [](std::vector<std::string>& findings) {
    Ledger& ledger = TheLedger();
    std::lock_guard<std::mutex> guard(ledger.lock);
    for (InterfacePort* port : ledger.ports) {
        if (port->references > 0) {
            findings.push_back("ACPI interface of " + port->name + ": " + std::to_string(port->references) +
                               " reference(s) not given back with InterfaceDereference");
        }
        if (port->handlerLeft) {
            findings.push_back("ACPI device " + port->name +
                               " was removed with a device-notification handler still registered");
        }
    }
});

}  // namespace

InterfacePort* NewPort(std::string name)
{
    auto* port = new InterfacePort();
    port->name = std::move(name);
    Ledger& ledger = TheLedger();
    std::lock_guard<std::mutex> guard(ledger.lock);
    ledger.ports.insert(port);
    return port;
}

void SetPortDevice(InterfacePort* port, const std::shared_ptr<AcpiDevice>& device)
{
    std::lock_guard<std::mutex> guard(TheLedger().lock);
    port->device = device;
}

void PortDeviceGone(InterfacePort* port, bool handlerRegistered)
{
    Ledger& ledger = TheLedger();
    std::lock_guard<std::mutex> guard(ledger.lock);
    port->deviceGone = true;
    port->handlerLeft = handlerRegistered;
    ForgetIfDone(ledger, port);
}

long PortReferences(InterfacePort* port)
{
    std::lock_guard<std::mutex> guard(TheLedger().lock);
    return port->references;
}

void ForgetRemovedPorts()
{
    Ledger& ledger = TheLedger();
    std::lock_guard<std::mutex> guard(ledger.lock);
    for (auto it = ledger.ports.begin(); it != ledger.ports.end();) {
        if ((*it)->deviceGone) {
            delete *it;
            it = ledger.ports.erase(it);
        } else {
            ++it;
        }
    }
}

// A request for a size too small for the record is refused rather than
// written past; any version but 1 is one this driver does not export.
NTSTATUS FillInterface(InterfacePort* port, const GUID& type, PINTERFACE record, USHORT size, USHORT version)
{
    if (!IsEqualGUID(type, GUID_ACPI_INTERFACE_STANDARD2)) {
        return STATUS_NOT_SUPPORTED;
    }
    if (size < sizeof(ACPI_INTERFACE_STANDARD2)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (version != kStandardInterface2Version) {
        return STATUS_NOT_SUPPORTED;
    }
    auto* acpi = reinterpret_cast<PACPI_INTERFACE_STANDARD2>(record);
    std::memset(acpi, 0, sizeof(*acpi));
    acpi->Size = sizeof(ACPI_INTERFACE_STANDARD2);
    acpi->Version = kStandardInterface2Version;
    acpi->Context = port;
    acpi->InterfaceReference = InterfaceReference;
    acpi->InterfaceDereference = InterfaceDereference;
    acpi->GpeConnectVector = GpeConnectVector;
    acpi->GpeDisconnectVector = GpeObjectRoutine;
    acpi->GpeEnableEvent = GpeObjectRoutine;
    acpi->GpeDisableEvent = GpeObjectRoutine;
    acpi->GpeClearStatus = GpeObjectRoutine;
    acpi->RegisterForDeviceNotifications = RegisterForDeviceNotifications;
    acpi->UnregisterForDeviceNotifications = UnregisterForDeviceNotifications;
    acpi->InterfaceReference(acpi->Context);
    return STATUS_SUCCESS;
}

}  // namespace plat::acpi
