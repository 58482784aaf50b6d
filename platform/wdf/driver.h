/* The framework driver object: one per loaded driver image. */
#pragma once
#include <string>
#include "ntos/io/irp.h"
#include "wdf/object.h"

namespace plat::wdf {

struct FxDriver : FxObject {
    FxDriver(PDRIVER_OBJECT wdm, PCUNICODE_STRING registryPath, const WDF_DRIVER_CONFIG& config,
             const WDF_OBJECT_ATTRIBUTES* attributes);
    bool DriverMayDelete() const override { return false; }

    PDRIVER_OBJECT wdm;
    std::wstring registryPath;  // \Registry\Machine\System\CurrentControlSet\Services\<service>
    WDF_DRIVER_CONFIG config;
};

// The driver object of the loaded image, or nullptr.
FxDriver* CurrentDriver();
// The driver's pool tag (what allocations with tag 0 get); 0 when no driver is loaded.
ULONG DriverPoolTag();
// Deletes the driver object with everything under it (unload); called by the loader.
void DeleteDriver();

// The dispatch table the framework gives the I/O manager for its devices.
io::DriverObject* FrameworkDriverObject();

}  // namespace plat::wdf
