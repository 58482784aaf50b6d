/*
 * The client side of the driver tests: user-mode processes that find the
 * device through its interface, open it, register events and send I/O
 * controls, seeing the exact status and information of each.
 */
#pragma once

// Clients find the device by its interface GUID: this unit defines it.
#include "support/interface_path.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "firmware/native.h"
#include "support/testbed.h"
#include "tvrxioctl.h"
#include "um/client.h"
#include "wpp/wpp.h"

namespace tvrx::test {

constexpr DWORD kLongWait = 1000000;  // machine milliseconds: far longer than any wait in a test should take

struct Reply {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
};

// One client process with (usually) one handle open on the device. Every
// call runs as that process, on the calling thread.
class Client {
public:
    // A process running as an account of the kind (a service's LocalService unless told otherwise).
    explicit Client(const std::string& name, plat::se::TokenKind kind = plat::se::TokenKind::LocalService)
        : process(name, kind)
    {
    }
    ~Client() { Close(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Opens the device's interface (or a name below it: suffix "\\name") for the access.
    NTSTATUS Open(ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE, const std::wstring& suffix = {})
    {
        std::wstring path = TavrixInterfacePath();
        if (path.empty()) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        return process.Run([&] { return plat::um::OpenDevice(path + suffix, access, &device); });
    }

    void Close()
    {
        if (device != nullptr) {
            process.Run([&] { CloseHandle(device); });
            device = nullptr;
        }
    }

    Reply Control(ULONG code, const void* input, ULONG inputLength, void* output, ULONG outputLength)
    {
        return ControlOn(device, code, input, inputLength, output, outputLength);
    }

    // Sends on another of this process's handles (a second open).
    Reply ControlOn(HANDLE handle, ULONG code, const void* input, ULONG inputLength, void* output,
                    ULONG outputLength)
    {
        Reply reply;
        reply.status = process.Run([&] {
            return plat::um::IoControl(handle, code, input, inputLength, output, outputLength, &reply.information);
        });
        return reply;
    }

    NTSTATUS SetRegulatoryType(ULONG type) { return Control(IOCTL_TVRX_SET_REGULATORY_TYPE, &type, 4, nullptr, 0).status; }

    Reply GetEntry(TVRX_DEVICE_MODE_ENTRY_INFO* info)
    {
        return Control(IOCTL_TVRX_GET_DEVICE_MODE_ENTRY, nullptr, 0, info, sizeof(*info));
    }

    // A manual-reset event, not set, with full access.
    HANDLE NewEvent(const wchar_t* name = nullptr)
    {
        return process.Run([&] { return CreateEventW(nullptr, TRUE, FALSE, name); });
    }

    NTSTATUS Register(HANDLE event)
    {
        TVRX_SET_EVENT_INPUT input{(UINT64)(ULONG_PTR)event};
        return Control(IOCTL_TVRX_SET_EVENT, &input, sizeof(input), nullptr, 0).status;
    }

    // Opens the device and registers a new event (NewEvent) on the handle,
    // returned in *event; the status of the first step that fails.
    NTSTATUS OpenWithEvent(HANDLE* event)
    {
        NTSTATUS status = Open();
        if (!NT_SUCCESS(status)) {
            return status;
        }
        *event = NewEvent();
        return Register(*event);
    }

    // Whether the event is set, or is set within `wait` machine milliseconds;
    // it is reset for the next look.
    bool TakeSignal(HANDLE event, DWORD wait = 0)
    {
        return process.Run([&] {
            bool set = WaitForSingleObject(event, wait) == WAIT_OBJECT_0;
            ResetEvent(event);
            return set;
        });
    }

    // Waits for the event to be set, then resets it.
    bool WaitSignal(HANDLE event) { return TakeSignal(event, kLongWait); }

    // The kernel event object a handle of this process names (no reference kept:
    // valid while the handle or the driver's reference keeps it alive).
    PKEVENT KernelEvent(HANDLE event)
    {
        PVOID object = nullptr;
        NTSTATUS status = process.Run(
            [&] { return ObReferenceObjectByHandle(event, 0, *ExEventObjectType, KernelMode, &object, nullptr); });
        EXPECT_EQ(status, STATUS_SUCCESS);
        if (object != nullptr) {
            ObDereferenceObject(object);
        }
        return (PKEVENT)object;
    }

    void CloseObject(HANDLE handle)
    {
        process.Run([&] { CloseHandle(handle); });
    }

    plat::um::Process process;
    HANDLE device = nullptr;
};

// Counts the events that the driver sets, from its traces: the signalling
// walk records every event it sets with the event's address.
class SignalLog {
public:
    SignalLog()
    {
        plat::trace::EnableSession(0, 0xFFFFFFFF, [this](const plat::trace::Record& record) {
            if (std::strcmp(record.function, "TvrxSignalDeviceModeChange") == 0 &&
                record.level == kInformationLevel) {
                std::lock_guard<std::mutex> guard(lock_);
                texts_.emplace_back(record.text);
            }
        });
    }
    ~SignalLog() { plat::trace::DisableSession(); }
    SignalLog(const SignalLog&) = delete;
    SignalLog& operator=(const SignalLog&) = delete;

    // How often the event was set since the last Clear. A client may see its
    // event set before the walk that set it has recorded it, so this first
    // waits for any walk in progress to finish: the walk holds the list lock
    // (the debug view gives its handle).
    size_t SetsOf(const debugview::Device& device, PKEVENT event)
    {
        WdfSpinLockAcquire(device.clientListLock);
        WdfSpinLockRelease(device.clientListLock);

        char address[32];
        plat::trace::FormatTrace(address, sizeof address, plat::trace::FormatContext{}, "%p", event);
        std::lock_guard<std::mutex> guard(lock_);
        return (size_t)std::count_if(texts_.begin(), texts_.end(), [&](const std::string& text) {
            return text.find(address) != std::string::npos && text.find("set event") != std::string::npos;
        });
    }

    void Clear()
    {
        std::lock_guard<std::mutex> guard(lock_);
        texts_.clear();
    }

private:
    static constexpr UCHAR kInformationLevel = 4;
    std::mutex lock_;
    std::vector<std::string> texts_;
};

// A test bed whose machine runs the native firmware model that the test
// shapes before the device starts.
class ClientBed : public Testbed {
protected:
    void SetUp() override
    {
        Testbed::SetUp();
        firmware = plat::MakeNativeFirmware();
        machine->SetFirmware(firmware);
    }

    void TearDown() override
    {
        firmware.reset();
        Testbed::TearDown();
    }

    // The table of the default firmware with these entries, tag and all.
    static plat::DeviceModeTable Table(uint64_t tag, std::vector<plat::DeviceModeEntry> entries)
    {
        plat::DeviceModeTable table;
        table.tag = tag;
        table.entries = std::move(entries);
        return table;
    }

    std::shared_ptr<plat::NativeFirmware> firmware;
};

}  // namespace tvrx::test
