/* WdfFdoQueryForInterface: IRP_MN_QUERY_INTERFACE to the device below. */
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
    plat::io::DeviceObject* below = device->deviceObject.lower;
    if (below == nullptr) {
        return STATUS_NOT_SUPPORTED;
    }
    plat::io::Irp* irp = plat::io::IoAllocateIrp(0, KernelMode);
    irp->major = plat::io::kMjPnp;
    irp->minor = plat::io::kMnQueryInterface;
    irp->queryInterface = {InterfaceType, Interface, Size, Version};
    if (plat::io::IoCallDriver(below, irp) == STATUS_PENDING) {
        plat::io::WaitForIrp(irp);
    }
    status = irp->status;
    plat::io::IoFreeIrp(irp);
    return status;
}

}  // extern "C"
