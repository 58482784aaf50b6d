/* WdfFdoQueryForInterface: IRP_MN_QUERY_INTERFACE to the device below. */
#include "acpi/acpidevice.h"
#include "base/bugcheck.h"
#include "base/fault.h"
#include "ntos/ke/irql.h"
#include "wdf/device.h"

using namespace plat::wdf;

extern "C" {

// The device below answers; a device with nothing below it supports no interface.
NTSTATUS WdfFdoQueryForInterface(WDFDEVICE Fdo, LPCGUID InterfaceType, PINTERFACE Interface, USHORT Size,
                                 USHORT Version, PVOID InterfaceSpecificData)
{
    (void)InterfaceSpecificData;
    plat::RequirePassive(__func__);
    auto* device = ResolveAs<FxDevice>(Fdo, FxType::Device, __func__);
    if (InterfaceType == nullptr || Interface == nullptr) {
        plat::WdfViolation("query interface", "WdfFdoQueryForInterface without an interface type or record");
    }
    NTSTATUS status = plat::fault::Check("WdfFdoQueryForInterface");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::shared_ptr<plat::acpi::AcpiDevice> below = device->pdo;
    if (below == nullptr) {
        return STATUS_NOT_SUPPORTED;
    }
    return below->QueryInterface(*InterfaceType, Interface, Size, Version);
}

}  // extern "C"
