/* Framework I/O queues: configuration as created; dispatch lives in wdf/dispatch. */
#pragma once
#include "wdf/device.h"

namespace plat::wdf {

struct FxQueue : FxObject {
    FxQueue(FxDevice* device, const WDF_IO_QUEUE_CONFIG& config, const WDF_OBJECT_ATTRIBUTES* attributes);
    bool DriverMayDelete() const override { return !config.DefaultQueue; }
    void OnDelete() override
    {
        if (device->defaultQueue == this) {
            device->defaultQueue = nullptr;
        }
    }

    FxDevice* device;
    WDF_IO_QUEUE_CONFIG config;
    bool powerManaged;  // WdfUseDefault resolves to TRUE for a function driver's queue
};

}  // namespace plat::wdf
