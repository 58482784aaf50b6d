/*
 * A KMDF driver that a test plays in its own program and binds through the
 * host (Host::Options::entry), for tests of the platform below a bound
 * driver: the ACPI driver, the Plug and Play manager's binding and removals,
 * configuration manager notifications, the verifier's unload report.
 *
 * DriverEntry creates the framework driver. Device add creates a device on
 * the ACPI device the host enumerated, with a device interface
 * (kPlayedInterface), a default queue that completes every control, and a spin
 * lock that the test may hold (created by the driver, so the verifier holds it
 * to the driver's house rules). Prepare-hardware reads the device mode
 * through the device's _DSM on the local target, so a start proves that
 * evaluations reach the device at its path; D0 entry registers for the ACPI
 * driver's device notifications (recorded in Notified()), D0 exit
 * unregisters. Release-hardware does nothing.
 *
 * One driver per program at a time, as the host loads one: its state is static.
 * The program is the driver's image: while it is loaded, every lock the
 * program creates is held to the house rules, so a test that needs code
 * outside the driver's image (the rules telling the two apart) loads the
 * driver image instead.
 */
#pragma once

#include <gtest/gtest.h>

#include <wdmguid.h>

#include <acpiioct.h>

#include <memory>
#include <mutex>
#include <vector>

#include <wdf.h>

#include "acpi/interface.h"
#include "firmware/native.h"
#include "support/acpirecords.h"
#include "support/bed.h"
#include "system/host.h"
#include "system/machine.h"

namespace tvrx::test {

// {3F6A1C52-8E0D-4B7A-A1D4-5C2B9E7F0A31}
constexpr GUID kPlayedInterface = {0x3F6A1C52, 0x8E0D, 0x4B7A, {0xA1, 0xD4, 0x5C, 0x2B, 0x9E, 0x7F, 0x0A, 0x31}};

// What the played driver keeps: its lock, the ACPI interface it registered
// its handler on, and the notifications the handler heard.
struct PlayedDriverState {
    WDFSPINLOCK lock = nullptr;
    ACPI_INTERFACE_STANDARD2 acpi{};
    bool registered = false;
    std::mutex notifiedLock;
    std::vector<ULONG> notified;
};

class PlayedDriver {
public:
    static constexpr ULONG kPoolTag = 0x64796C50;  // "Plyd"

    static NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath)
    {
        Reset();
        WDF_DRIVER_CONFIG config;
        WDF_DRIVER_CONFIG_INIT(&config, OnDeviceAdd);
        config.DriverPoolTag = kPoolTag;
        return WdfDriverCreate(driverObject, registryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
    }

    // The lock device add created (of the last device added).
    static WDFSPINLOCK Lock() { return state_.lock; }
    // The values of the device notifications that reached the driver's handler.
    static std::vector<ULONG> Notified()
    {
        std::lock_guard<std::mutex> guard(state_.notifiedLock);
        return state_.notified;
    }

private:
    static void Reset()
    {
        state_.lock = nullptr;
        state_.acpi = {};
        state_.registered = false;
        std::lock_guard<std::mutex> guard(state_.notifiedLock);
        state_.notified.clear();
    }

    static NTSTATUS OnDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init)
    {
        WDF_PNPPOWER_EVENT_CALLBACKS callbacks;
        WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&callbacks);
        callbacks.EvtDevicePrepareHardware = OnPrepareHardware;
        callbacks.EvtDeviceReleaseHardware = OnReleaseHardware;
        callbacks.EvtDeviceD0Entry = OnD0Entry;
        callbacks.EvtDeviceD0Exit = OnD0Exit;
        WdfDeviceInitSetPnpPowerEventCallbacks(init, &callbacks);
        WDFDEVICE device = nullptr;
        NTSTATUS status = WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &device);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        status = WdfDeviceCreateDeviceInterface(device, &kPlayedInterface, nullptr);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        WDF_IO_QUEUE_CONFIG queue;
        WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queue, WdfIoQueueDispatchParallel);
        queue.EvtIoDeviceControl = [](WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG) {
            WdfRequestComplete(request, STATUS_SUCCESS);
        };
        status = WdfIoQueueCreate(device, &queue, WDF_NO_OBJECT_ATTRIBUTES, WDF_NO_HANDLE);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        return WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &state_.lock);
    }

    static NTSTATUS OnPrepareHardware(WDFDEVICE device, WDFCMRESLIST, WDFCMRESLIST)
    {
        std::vector<uint8_t> request = DsmRequest(plat::NativeFirmware::kDeviceMode);
        std::vector<uint8_t> result(64);
        WDF_MEMORY_DESCRIPTOR in, out;
        WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&in, request.data(), ULONG(request.size()));
        WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&out, result.data(), ULONG(result.size()));
        return WdfIoTargetSendIoctlSynchronously(WdfDeviceGetIoTarget(device), nullptr, IOCTL_ACPI_EVAL_METHOD, &in,
                                                 &out, nullptr, nullptr);
    }

    static NTSTATUS OnReleaseHardware(WDFDEVICE, WDFCMRESLIST) { return STATUS_SUCCESS; }

    static VOID OnNotify(PVOID, ULONG value)
    {
        std::lock_guard<std::mutex> guard(state_.notifiedLock);
        state_.notified.push_back(value);
    }

    static NTSTATUS OnD0Entry(WDFDEVICE device, WDF_POWER_DEVICE_STATE)
    {
        NTSTATUS status = WdfFdoQueryForInterface(device, &GUID_ACPI_INTERFACE_STANDARD2,
                                                  reinterpret_cast<PINTERFACE>(&state_.acpi), sizeof state_.acpi,
                                                  plat::acpi::kStandardInterface2Version, nullptr);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        status = state_.acpi.RegisterForDeviceNotifications(state_.acpi.Context, OnNotify, nullptr);
        if (!NT_SUCCESS(status)) {
            state_.acpi.InterfaceDereference(state_.acpi.Context);
            return status;
        }
        state_.registered = true;
        return STATUS_SUCCESS;
    }

    static NTSTATUS OnD0Exit(WDFDEVICE, WDF_POWER_DEVICE_STATE)
    {
        if (state_.registered) {
            state_.acpi.UnregisterForDeviceNotifications(state_.acpi.Context);
            state_.acpi.InterfaceDereference(state_.acpi.Context);
            state_.registered = false;
        }
        return STATUS_SUCCESS;
    }

    static inline PlayedDriverState state_;
};

// A fixture with a fresh machine and a host that binds the played driver; the
// test ends with the driver unloaded, its unload report clean, then the
// machine gone and the verifier clean.
class PlayedDriverBed : public Bed<plat::Machine> {
protected:
    void SetUp() override
    {
        Bed<plat::Machine>::SetUp();
        NewHost();
    }
    void TearDown() override
    {
        if (host && host->Loaded()) {
            UnloadClean();
        }
        host.reset();
        Bed<plat::Machine>::TearDown();
    }

    // Ten times real time: a 3-second time-out costs 300 ms, which a loaded
    // machine (sanitizers, parallel tests) still never mistakes for a hang.
    plat::Machine::Options MachineOptions() override
    {
        plat::Machine::Options options;
        options.clockRate = 10.0;
        return options;
    }

    // The host for the played driver, without a driver package unless told.
    static plat::Host::Options HostOptions()
    {
        plat::Host::Options options;
        options.entry = PlayedDriver::DriverEntry;
        options.infPath = "none";
        return options;
    }
    // Replaces the host (unloading the driver the old one had loaded).
    void NewHost(plat::Host::Options options = HostOptions())
    {
        host.reset();
        host = std::make_unique<plat::Host>(*machine, std::move(options));
    }

    // Loads the driver and adds its device; both must succeed.
    void LoadAndAdd()
    {
        ASSERT_EQ(host->Load(), STATUS_SUCCESS);
        ASSERT_EQ(host->AddDevice(), STATUS_SUCCESS);
    }
    // Loads, adds and starts the device; all must succeed.
    void Boot()
    {
        ASSERT_NO_FATAL_FAILURE(LoadAndAdd());
        ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    }
    // Unloads the driver; the unload report must be clean.
    void UnloadClean()
    {
        plat::verifier::Report report = host->Unload();
        EXPECT_TRUE(report.Clean()) << report.Text();
    }

    WDFDEVICE Device(size_t index = 0) { return host->Device(index); }

    std::unique_ptr<plat::Host> host;
};

}  // namespace tvrx::test
