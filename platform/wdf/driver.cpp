/* WdfDriverCreate and the driver object's life. */
#include "wdf/driver.h"

#include "wdf/pnppower.h"

#include <atomic>
#include <string>

#include <mutex>
#include <vector>

#include "base/bugcheck.h"
#include "base/fault.h"
#include "base/verifier.h"
#include "ntos/ke/irql.h"
#include "wdf/dispatch.h"
#include "wdf/fileobject.h"
#include "wdf/pnppower.h"

namespace plat::wdf {
namespace {
std::atomic<FxDriver*> g_driver{nullptr};

// Memory, string and key objects that the driver created for its own use and
// left for the framework to delete at unload: the driver's own rule is to
// release them, so they are reported as leaks.
std::mutex g_leaksLock;
std::vector<std::string> g_leaks;

void CollectLeaks(FxObject* object, std::vector<std::string>& out)
{
    ForEachChild(object, [&](FxObject* child) {
        if (child->type == FxType::Memory || child->type == FxType::String || child->type == FxType::Key) {
            out.push_back("framework object left for unload to delete: " + child->Describe());
        }
        CollectLeaks(child, out);
    });
}

const int g_reporter = verifier::AddReporter("framework objects left at unload", [](std::vector<std::string>& findings) {
    std::lock_guard<std::mutex> guard(g_leaksLock);
    findings.insert(findings.end(), g_leaks.begin(), g_leaks.end());
});

}  // namespace

FxDriver::FxDriver(PDRIVER_OBJECT wdm_, PCUNICODE_STRING path, const WDF_DRIVER_CONFIG& config_,
                   const WDF_OBJECT_ATTRIBUTES* attributes)
    : FxObject(FxType::Driver, nullptr, attributes), wdm(wdm_), config(config_)
{
    if (path != nullptr && path->Buffer != nullptr) {
        registryPath.assign(path->Buffer, path->Length / sizeof(WCHAR));
    }
}

FxDriver* CurrentDriver() { return g_driver.load(std::memory_order_acquire); }

io::DriverObject* FrameworkDriverObject()
{
    // KMDF gives the I/O manager one dispatch routine per major function and
    // sends each packet to the package that owns it.
    static io::DriverObject driver = [] {
        io::DriverObject object;
        object.name = "\\Driver\\Wdf01000";
        object.majorFunction[io::kMjCreate] = DispatchCreate;
        object.majorFunction[io::kMjCleanup] = DispatchCleanup;
        object.majorFunction[io::kMjClose] = DispatchClose;
        object.majorFunction[io::kMjDeviceControl] = DispatchDeviceControl;
        object.majorFunction[io::kMjPnp] = DispatchPnp;
        object.majorFunction[io::kMjPower] = DispatchPower;
        object.majorFunction[io::kMjRead] = DispatchReadWrite;
        object.majorFunction[io::kMjWrite] = DispatchReadWrite;
        for (io::DispatchRoutine& routine : object.majorFunction) {
            routine = routine != nullptr ? routine : DispatchUnhandled;
        }
        return object;
    }();
    return &driver;
}

ULONG DriverPoolTag()
{
    FxDriver* driver = CurrentDriver();
    return driver ? driver->config.DriverPoolTag : 0;
}

void DeleteDriver()
{
    FxDriver* driver = CurrentDriver();
    if (driver != nullptr) {
        std::vector<std::string> leaks;
        CollectLeaks(driver, leaks);
        {
            std::lock_guard<std::mutex> guard(g_leaksLock);
            g_leaks = std::move(leaks);
        }
        Delete(driver);
        g_driver.store(nullptr, std::memory_order_release);
    }
}

}  // namespace plat::wdf

using namespace plat::wdf;

extern "C" {

NTSTATUS WdfDriverCreate(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                         PWDF_OBJECT_ATTRIBUTES DriverAttributes, PWDF_DRIVER_CONFIG DriverConfig, WDFDRIVER* Driver)
{
    plat::RequirePassive(__func__);
    if (DriverObject == nullptr || DriverConfig == nullptr || DriverConfig->Size != sizeof(WDF_DRIVER_CONFIG)) {
        plat::WdfViolation("driver config", "WdfDriverCreate needs a driver object and an initialised WDF_DRIVER_CONFIG");
    }
    ValidateAttributes(DriverAttributes, __func__);
    if (DriverAttributes != nullptr && DriverAttributes->ParentObject != nullptr) {
        plat::WdfViolation("driver attributes", "the driver object cannot have a parent");
    }
    if (CurrentDriver() != nullptr) {
        plat::WdfViolation("driver object", "WdfDriverCreate called twice");
    }
    NTSTATUS status = plat::fault::Check("WdfDriverCreate");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    {
        std::lock_guard<std::mutex> guard(g_leaksLock);
        g_leaks.clear();
    }
    auto* driver = new FxDriver(DriverObject, RegistryPath, *DriverConfig, DriverAttributes);
    status = Register(driver, DriverAttributes);
    if (!NT_SUCCESS(status)) {
        delete driver;
        return status;
    }
    g_driver.store(driver, std::memory_order_release);
    if (Driver != nullptr) {
        *Driver = static_cast<WDFDRIVER>(driver->handle);
    }
    return STATUS_SUCCESS;
}

PDRIVER_OBJECT WdfDriverWdmGetDriverObject(WDFDRIVER Driver)
{
    return ResolveAs<FxDriver>(Driver, FxType::Driver, __func__)->wdm;
}

WDFDRIVER WdfGetDriver(VOID)
{
    FxDriver* driver = CurrentDriver();
    return driver ? static_cast<WDFDRIVER>(driver->handle) : nullptr;
}

PWSTR WdfDriverGetRegistryPath(WDFDRIVER Driver)
{
    return ResolveAs<FxDriver>(Driver, FxType::Driver, __func__)->registryPath.data();
}

}  // extern "C"
