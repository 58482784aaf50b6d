/* Device interfaces, device stacks and the names opens resolve through. */
#include "ntos/io/deviceinterface.h"

#include <algorithm>
#include <condition_variable>
#include <cwctype>
#include <mutex>

#include "ntos/io/devicefile.h"
#include "ntos/io/file.h"

namespace plat::io {
namespace {

struct Registration {
    GUID classGuid;
    std::wstring symbolicLink;
    std::wstring instanceId;
    DeviceObject* physical;  // the device object it was last registered for
    bool enabled;
};

// The namespace lock: registrations, stack attachment and the open counts of
// physical device objects.
std::mutex g_lock;
std::condition_variable g_opensFinished;
std::vector<Registration> g_registrations;
std::atomic<InterfaceWatcher> g_watcher{nullptr};

bool EqualNoCase(const std::wstring& a, const wchar_t* b)
{
    size_t i = 0;
    for (; i < a.size(); ++i) {
        if (b[i] == L'\0' || std::towupper(static_cast<wint_t>(a[i])) != std::towupper(static_cast<wint_t>(b[i]))) {
            return false;
        }
    }
    return b[i] == L'\0';
}

std::wstring GuidText(const GUID& g)
{
    wchar_t text[40];
    std::swprintf(text, 40, L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                  g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

// \??\ACPI#TVRX0001#0#{guid}[\reference]: the instance path with '\' turned into '#'.
std::wstring LinkOf(const std::wstring& instanceId, const GUID& guid, const std::wstring& reference)
{
    std::wstring link = L"\\??\\" + instanceId;
    std::replace(link.begin() + 4, link.end(), L'\\', L'#');
    link += L"#" + GuidText(guid);
    if (!reference.empty()) {
        link += L"\\" + reference;
    }
    return link;
}

Registration* FindLocked(const std::wstring& symbolicLink)
{
    for (Registration& entry : g_registrations) {
        if (EqualNoCase(entry.symbolicLink, symbolicLink.c_str())) {
            return &entry;
        }
    }
    return nullptr;
}

DeviceObject* BottomOf(DeviceObject* device)
{
    while (device->lower != nullptr) {
        device = device->lower;
    }
    return device;
}

}  // namespace

NTSTATUS IoRegisterDeviceInterface(DeviceObject* physical, const GUID& classGuid, const std::wstring& reference,
                                   std::wstring* symbolicLink)
{
    if (physical == nullptr || physical->instanceId.empty()) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    std::wstring link = LinkOf(physical->instanceId, classGuid, reference);
    std::lock_guard<std::mutex> guard(g_lock);
    if (Registration* entry = FindLocked(link)) {
        entry->physical = physical;
    } else {
        g_registrations.push_back(Registration{classGuid, link, physical->instanceId, physical, false});
    }
    *symbolicLink = link;
    return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(const std::wstring& symbolicLink, bool enable)
{
    GUID classGuid;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        Registration* entry = FindLocked(symbolicLink);
        if (entry == nullptr) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        if (entry->enabled == enable) {
            return STATUS_SUCCESS;
        }
        entry->enabled = enable;
        classGuid = entry->classGuid;
    }
    if (InterfaceWatcher watcher = g_watcher.load()) {
        watcher(classGuid, symbolicLink, enable);
    }
    return STATUS_SUCCESS;
}

std::vector<std::wstring> IoGetDeviceInterfaces(const GUID& classGuid, const wchar_t* instanceId)
{
    std::vector<std::wstring> links;
    std::lock_guard<std::mutex> guard(g_lock);
    for (const Registration& entry : g_registrations) {
        if (entry.enabled && IsEqualGUID(entry.classGuid, classGuid) &&
            (instanceId == nullptr || EqualNoCase(entry.instanceId, instanceId))) {
            links.push_back(entry.symbolicLink);
        }
    }
    return links;
}

void SetInterfaceWatcher(InterfaceWatcher watcher) { g_watcher.store(watcher); }

void IoAttachDevice(DeviceObject* device, DeviceObject* lower)
{
    std::lock_guard<std::mutex> guard(g_lock);
    device->lower = lower;
    if (lower != nullptr) {
        lower->attached = device;
    }
}

void IoDetachDevice(DeviceObject* lower)
{
    std::lock_guard<std::mutex> guard(g_lock);
    if (lower != nullptr) {
        lower->attached = nullptr;
    }
}

DeviceObject* IoGetDeviceAttachmentBase(DeviceObject* device)
{
    std::lock_guard<std::mutex> guard(g_lock);
    return BottomOf(device);
}

DeviceObject* IoGetAttachedDevice(DeviceObject* device)
{
    std::lock_guard<std::mutex> guard(g_lock);
    while (device->attached != nullptr) {
        device = device->attached;
    }
    return device;
}

DeviceObject* BeginOpen(const std::wstring& name)
{
    std::lock_guard<std::mutex> guard(g_lock);
    Registration* entry = FindLocked(name);
    if (entry == nullptr || !entry->enabled || entry->physical->opensRefused) {
        return nullptr;
    }
    DeviceObject* top = entry->physical;
    while (top->attached != nullptr) {
        top = top->attached;
    }
    entry->physical->opensInProgress++;
    return top;
}

void EndOpen(DeviceObject* top)
{
    std::lock_guard<std::mutex> guard(g_lock);
    DeviceObject* physical = BottomOf(top);
    if (--physical->opensInProgress == 0) {
        g_opensFinished.notify_all();
    }
}

NTSTATUS OpenByName(const std::wstring& name, ACCESS_MASK desiredAccess, KPROCESSOR_MODE mode, bool kernelHandle,
                    ULONG createOptions, HANDLE* handle)
{
    *handle = nullptr;
    // The parameters are checked before the name is looked up.
    if (!plat::file::SynchronousOptionsValid(createOptions, desiredAccess)) {
        return STATUS_INVALID_PARAMETER;
    }
    // The longest leading part of the name that names a device; the rest is a
    // name below the device, opened under the device's own security when it
    // asks for FILE_DEVICE_SECURE_OPEN.
    DeviceObject* top = BeginOpen(name);
    bool belowDevice = false;
    for (size_t end = name.rfind(L'\\'); top == nullptr && end != std::wstring::npos && end > 3;
         end = name.rfind(L'\\', end - 1)) {
        top = BeginOpen(name.substr(0, end));
        belowDevice = true;
    }
    if (top == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    NTSTATUS status = OpenDevice(top, desiredAccess, mode, kernelHandle, createOptions, handle, belowDevice);
    EndOpen(top);
    return status;
}

void RefuseOpens(DeviceObject* physical, bool refuse)
{
    std::unique_lock<std::mutex> lock(g_lock);
    physical->opensRefused = refuse;
    if (refuse) {
        g_opensFinished.wait(lock, [physical] { return physical->opensInProgress == 0; });
    }
}

}  // namespace plat::io
