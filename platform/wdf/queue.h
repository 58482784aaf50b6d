/*
 * Framework I/O queues: configuration as created, and the state that dispatch
 * (wdf/dispatch) needs: whether a power-managed queue may present requests
 * now, and where callers wait while it may not.
 */
#pragma once
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "wdf/device.h"

namespace plat::wdf {

struct FxRequest;

struct FxQueue : FxObject {
    FxQueue(FxDevice* device, const WDF_IO_QUEUE_CONFIG& config, const WDF_OBJECT_ATTRIBUTES* attributes);
    bool DriverMayDelete() const override { return !config.DefaultQueue; }
    void OnDelete() override;

    FxDevice* device;
    WDF_IO_QUEUE_CONFIG config;
    bool powerManaged;  // WdfUseDefault resolves to TRUE for a function driver's queue

    // Requests are presented only while this holds. A queue starts powered: its
    // device's interface cannot be opened before the device has started (D0).
    std::atomic<bool> powered{true};
    std::atomic<bool> removed{false};
    // Requests held while the queue is not powered (under holdLock), presented
    // by the next power-up or cancelled by a purge.
    std::vector<FxRequest*> held;
    // Callers held while the queue is not powered, and a power-down waiting for
    // the requests in progress, wait here.
    std::mutex holdLock;
    std::condition_variable holdWake;
    std::atomic<int> drainWaiters{0};
    // A sequential queue presents one request at a time.
    std::mutex sequentialLock;
};

}  // namespace plat::wdf
