/*
 * Device interfaces and the names clients open them by: the I/O manager's
 * part of Plug and Play.
 *
 * A driver registers an interface of a class for the physical device object
 * of its stack (IoRegisterDeviceInterface); the registration gets a symbolic
 * link \??\<instance with '\' as '#'>#{class}[\reference] and outlives the
 * stack: registering the same class and reference for the same device
 * instance again (a new function device after a removal) gives the same link.
 * A registered interface is disabled until the driver enables it
 * (IoSetDeviceInterfaceState); only enabled ones are listed
 * (IoGetDeviceInterfaces, what the configuration manager reads) and resolve
 * in the object namespace. An open of a link resolves to the physical device
 * object and is sent to the top of the stack attached to it, as the object
 * manager's parse of a device name does.
 *
 * The Plug and Play manager refuses new opens of a device it is about to
 * remove (RefuseOpens) and waits for those that already resolved it, so that
 * no open reaches a stack being torn down.
 */
#pragma once
#include <wdm.h>

#include <string>
#include <vector>

#include "ntos/io/irp.h"

namespace plat::io {

// IoRegisterDeviceInterface: the link of the class's interface (with the
// reference string, which may be empty) on the physical device object, which
// must name its device instance. STATUS_INVALID_DEVICE_REQUEST for a device
// object that is not a physical one.
NTSTATUS IoRegisterDeviceInterface(DeviceObject* physical, const GUID& classGuid, const std::wstring& reference,
                                   std::wstring* symbolicLink);
// IoSetDeviceInterfaceState: enables or disables a registered interface.
// STATUS_OBJECT_NAME_NOT_FOUND for a link nothing registered; enabling an
// enabled one (or disabling a disabled one) changes nothing and succeeds.
NTSTATUS IoSetDeviceInterfaceState(const std::wstring& symbolicLink, bool enable);

// IoGetDeviceInterfaces: the links of the enabled interfaces of the class, in
// registration order; only those of one device instance when instanceId is
// given (compared without case).
std::vector<std::wstring> IoGetDeviceInterfaces(const GUID& classGuid, const wchar_t* instanceId = nullptr);

// Called with each change of an interface's state, after it took effect:
// the Plug and Play manager's interface arrival and removal events. One
// watcher; nullptr removes it.
using InterfaceWatcher = void (*)(const GUID& classGuid, const std::wstring& symbolicLink, bool arrived);
void SetInterfaceWatcher(InterfaceWatcher watcher);

// IoAttachDeviceToDeviceStack and IoDetachDevice: `device` becomes the top of
// the stack whose current top is `lower` (which may be null: a stack of one).
void IoAttachDevice(DeviceObject* device, DeviceObject* lower);
void IoDetachDevice(DeviceObject* lower);
// IoGetDeviceAttachmentBaseRef without the reference: the bottom of the stack.
DeviceObject* IoGetDeviceAttachmentBase(DeviceObject* device);
// IoGetAttachedDevice: the top of the stack the device object is in.
DeviceObject* IoGetAttachedDevice(DeviceObject* device);

// The object namespace's lookup for an open: the top of the stack of the
// physical device object an enabled interface link (\??\..., compared
// without case) names, held for the open until EndOpen. nullptr when the name
// resolves to nothing or the device refuses opens.
DeviceObject* BeginOpen(const std::wstring& name);
void EndOpen(DeviceObject* top);
// Opens a device by name from `mode` (NtCreateFile): the resolved stack is
// sent IRP_MJ_CREATE as OpenDevice does; STATUS_OBJECT_NAME_NOT_FOUND when
// the name resolves to nothing.
NTSTATUS OpenByName(const std::wstring& name, ACCESS_MASK desiredAccess, KPROCESSOR_MODE mode, bool kernelHandle,
                    ULONG createOptions, HANDLE* handle);
// Refuses new opens of the physical device object's stack and waits for
// those in progress to finish (refuse true), or takes opens again (false).
void RefuseOpens(DeviceObject* physical, bool refuse);

}  // namespace plat::io
