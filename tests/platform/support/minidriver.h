/*
 * A small framework driver that lives in the test itself: one started device
 * with a device interface, file callbacks and (optionally) a default queue,
 * whose behaviour the test supplies as functions. The framework calls are
 * plain functions, so the test plays the driver without loading an image.
 */
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include <wdf.h>

#include "wdf/device.h"
#include "wdf/driver.h"
#include "wdf/pnppower.h"
#include "wdf/queue.h"

namespace tvrx::test {

// {6B1C6E0A-3F0B-4C1E-9C53-3D2E1A7B9F10}
constexpr GUID kMiniInterface = {0x6B1C6E0A, 0x3F0B, 0x4C1E, {0x9C, 0x53, 0x3D, 0x2E, 0x1A, 0x7B, 0x9F, 0x10}};

// A work item of the parent, created with the status `expected`.
inline WDFWORKITEM NewWorkItem(PFN_WDF_WORKITEM callback, WDFOBJECT parent, NTSTATUS expected = STATUS_SUCCESS)
{
    WDF_WORKITEM_CONFIG config;
    WDF_WORKITEM_CONFIG_INIT(&config, callback);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = parent;
    WDFWORKITEM item = nullptr;
    EXPECT_EQ(WdfWorkItemCreate(&config, &attributes, &item), expected);
    return item;
}

class MiniDriver {
public:
    struct Options {
        bool defaultQueue = true;
        WDF_IO_QUEUE_DISPATCH_TYPE dispatch = WdfIoQueueDispatchParallel;
        bool fileCleanup = true;
    };

    // Unset functions behave plainly: creates succeed, controls complete with success and no data.
    std::function<void(WDFDEVICE, WDFREQUEST, WDFFILEOBJECT)> create;
    std::function<void(WDFFILEOBJECT)> cleanup;
    std::function<void(WDFFILEOBJECT)> close;
    std::function<void(WDFQUEUE, WDFREQUEST, size_t, size_t, ULONG)> control;
    std::function<void(WDFQUEUE, WDFREQUEST, ULONG)> stop;
    std::function<void(WDFREQUEST)> requestCleanup;  // the request attributes' cleanup callback

    MiniDriver() : MiniDriver(Options()) {}
    explicit MiniDriver(Options options)
    {
        current_ = this;
        WDF_DRIVER_CONFIG config;
        WDF_DRIVER_CONFIG_INIT(&config, nullptr);
        config.DriverPoolTag = 0x696E694D;  // "Mini"
        WDFDRIVER driver = nullptr;
        EXPECT_EQ(WdfDriverCreate(&wdm_, nullptr, nullptr, &config, &driver), STATUS_SUCCESS);

        WDFDEVICE_INIT init{};
        init.instanceId = L"ROOT\\MINI\\0";
        WDF_FILEOBJECT_CONFIG files;
        WDF_FILEOBJECT_CONFIG_INIT(&files, OnCreate, OnClose, options.fileCleanup ? OnCleanup : nullptr);
        WdfDeviceInitSetFileObjectConfig(&init, &files, nullptr);
        WDF_OBJECT_ATTRIBUTES requests;
        WDF_OBJECT_ATTRIBUTES_INIT(&requests);
        requests.EvtCleanupCallback = OnRequestCleanup;
        WdfDeviceInitSetRequestAttributes(&init, &requests);
        PWDFDEVICE_INIT initPointer = &init;
        EXPECT_EQ(WdfDeviceCreate(&initPointer, nullptr, &device_), STATUS_SUCCESS);
        EXPECT_EQ(WdfDeviceCreateDeviceInterface(device_, &kMiniInterface, nullptr), STATUS_SUCCESS);
        if (options.defaultQueue) {
            WDF_IO_QUEUE_CONFIG queue;
            WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queue, options.dispatch);
            queue.EvtIoDeviceControl = OnControl;
            queue.EvtIoStop = OnStop;
            EXPECT_EQ(WdfIoQueueCreate(device_, &queue, nullptr, &queue_), STATUS_SUCCESS);
        }
        plat::wdf::SetVisible(Fx(), plat::wdf::PnpState::Started);  // started: its interface is enabled
        Fx()->inD0 = true;
    }

    ~MiniDriver()
    {
        plat::wdf::DeleteDriver();
        current_ = nullptr;
    }

    WDFDEVICE Device() const { return device_; }
    WDFQUEUE Queue() const { return queue_; }
    plat::wdf::FxDevice* Fx() const
    {
        return plat::wdf::ResolveAs<plat::wdf::FxDevice>(device_, plat::wdf::FxType::Device, "test");
    }
    // Waits until the default queue holds `count` requests: a power-managed
    // queue does while its device is out of D0.
    void WaitUntilQueueHolds(size_t count = 1) const
    {
        plat::wdf::FxQueue* queue = Fx()->defaultQueue;
        for (size_t held = 0; held < count; std::this_thread::yield()) {
            std::lock_guard<std::mutex> guard(queue->holdLock);
            held = queue->held.size();
        }
    }
    // The path a client opens: what the configuration manager lists.
    std::wstring Path() const { return L"\\\\?\\" + Fx()->interfaces.at(0).symbolicLink.substr(4); }

private:
    static void OnCreate(WDFDEVICE device, WDFREQUEST request, WDFFILEOBJECT file)
    {
        if (current_->create) {
            current_->create(device, request, file);
        } else {
            WdfRequestComplete(request, STATUS_SUCCESS);
        }
    }
    static void OnCleanup(WDFFILEOBJECT file)
    {
        if (current_->cleanup) {
            current_->cleanup(file);
        }
    }
    static void OnClose(WDFFILEOBJECT file)
    {
        if (current_->close) {
            current_->close(file);
        }
    }
    static void OnControl(WDFQUEUE queue, WDFREQUEST request, size_t out, size_t in, ULONG code)
    {
        if (current_->control) {
            current_->control(queue, request, out, in, code);
        } else {
            WdfRequestComplete(request, STATUS_SUCCESS);
        }
    }
    static void OnRequestCleanup(WDFOBJECT request)
    {
        if (current_->requestCleanup) {
            current_->requestCleanup(static_cast<WDFREQUEST>(request));
        }
    }
    static void OnStop(WDFQUEUE queue, WDFREQUEST request, ULONG flags)
    {
        if (current_->stop) {
            current_->stop(queue, request, flags);
        }
    }

    static inline MiniDriver* current_ = nullptr;
    DRIVER_OBJECT wdm_{};
    WDFDEVICE device_ = nullptr;
    WDFQUEUE queue_ = nullptr;
};

}  // namespace tvrx::test
