/*
 * Configuration manager notifications: a client process registers a callback
 * for the arrival and removal of a device interface class, or for the
 * removal events of a device it holds a handle on. Each registration has a
 * delivery thread in the registering process that calls the callback for one
 * event at a time, in the order the events came. A query-remove waits for
 * the answers of its callbacks (one that returns an error vetoes the
 * removal); the other events do not wait.
 */
#include <windows.h>

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <typeinfo>
#include <vector>

#include "ntos/io/devicefile.h"
#include "ntos/io/deviceinterface.h"
#include "ntos/ob/object.h"
#include "ntos/pnp/pnp.h"
#include "ntos/ps/process.h"
#include "um/client.h"

namespace plat::um {
namespace {

struct Event {
    CM_NOTIFY_ACTION action;
    std::vector<uint64_t> data;  // a CM_NOTIFY_EVENT_DATA, 8-byte aligned
    DWORD size;
    uint64_t sequence = 0;  // the event's place among all posted, from 1
    // A query-remove's answer, set by the delivery thread (nullptr: nobody waits).
    struct Answer {
        std::mutex lock;
        std::condition_variable given;
        int pending = 0;
        bool vetoed = false;
    }* answer = nullptr;
};

struct Registration {
    std::shared_ptr<plat::Process> process;
    CM_NOTIFY_FILTER_TYPE type;
    GUID classGuid{};
    io::DeviceObject* physical = nullptr;  // a device handle filter's device (compared, never followed)
    PCM_NOTIFY_CALLBACK callback;
    PVOID context;

    std::mutex lock;
    std::condition_variable changed;
    std::deque<Event> events;
    bool stopping = false;
    std::thread thread;
};

std::mutex g_lock;
std::vector<std::shared_ptr<Registration>> g_registrations;

// Events posted and not yet delivered (or dropped), for DrainNotifications.
std::mutex g_outstandingLock;
std::condition_variable g_delivered;
uint64_t g_posted = 0;
uint64_t g_outstanding = 0;
thread_local uint64_t t_delivering = 0;

void Delivered()
{
    std::lock_guard<std::mutex> guard(g_outstandingLock);
    if (--g_outstanding == 0) {
        g_delivered.notify_all();
    }
}

void Answer(Event& event, bool vetoed)
{
    if (event.answer == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> guard(event.answer->lock);
    event.answer->vetoed = event.answer->vetoed || vetoed;
    if (--event.answer->pending == 0) {
        event.answer->given.notify_all();
    }
}

void Deliver(const std::shared_ptr<Registration>& registration)
{
    ProcessScope scope(*registration->process);
    for (;;) {
        Event event;
        {
            std::unique_lock<std::mutex> lock(registration->lock);
            registration->changed.wait(lock, [&] { return registration->stopping || !registration->events.empty(); });
            if (registration->stopping) {
                for (Event& left : registration->events) {
                    Answer(left, false);
                    Delivered();
                }
                registration->events.clear();
                return;
            }
            event = std::move(registration->events.front());
            registration->events.pop_front();
        }
        t_delivering = event.sequence;
        DWORD result = registration->callback(reinterpret_cast<HCMNOTIFICATION>(registration.get()),
                                              registration->context, event.action,
                                              reinterpret_cast<PCM_NOTIFY_EVENT_DATA>(event.data.data()), event.size);
        t_delivering = 0;
        Answer(event, event.action == CM_NOTIFY_ACTION_DEVICEQUERYREMOVE && result != ERROR_SUCCESS);
        Delivered();
    }
}

void Post(const std::shared_ptr<Registration>& registration, Event event)
{
    std::lock_guard<std::mutex> guard(registration->lock);
    if (registration->stopping) {
        Answer(event, false);
        return;
    }
    {
        std::lock_guard<std::mutex> count(g_outstandingLock);
        event.sequence = ++g_posted;
        g_outstanding++;
    }
    registration->events.push_back(std::move(event));
    registration->changed.notify_all();
}

std::vector<std::shared_ptr<Registration>> Matching(CM_NOTIFY_FILTER_TYPE type, const GUID* classGuid,
                                                    io::DeviceObject* physical)
{
    std::vector<std::shared_ptr<Registration>> found;
    std::lock_guard<std::mutex> guard(g_lock);
    for (const std::shared_ptr<Registration>& registration : g_registrations) {
        if (registration->type == type && (classGuid == nullptr || IsEqualGUID(registration->classGuid, *classGuid)) &&
            (physical == nullptr || registration->physical == physical)) {
            found.push_back(registration);
        }
    }
    return found;
}

Event InterfaceEvent(CM_NOTIFY_ACTION action, const GUID& classGuid, const std::wstring& kernelLink)
{
    // User mode sees the link as \\?\..., as the interface list gives it.
    std::wstring link = L"\\\\?\\" + kernelLink.substr(4);
    size_t size = offsetof(CM_NOTIFY_EVENT_DATA, u.DeviceInterface.SymbolicLink) + (link.size() + 1) * sizeof(WCHAR);
    Event event{action, std::vector<uint64_t>((std::max(size, sizeof(CM_NOTIFY_EVENT_DATA)) + 7) / 8), 0};
    event.size = static_cast<DWORD>(size);
    auto* data = reinterpret_cast<PCM_NOTIFY_EVENT_DATA>(event.data.data());
    data->FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
    data->u.DeviceInterface.ClassGuid = classGuid;
    std::copy(link.begin(), link.end(), data->u.DeviceInterface.SymbolicLink);
    data->u.DeviceInterface.SymbolicLink[link.size()] = L'\0';
    return event;
}

void OnInterface(const GUID& classGuid, const std::wstring& symbolicLink, bool arrived)
{
    CM_NOTIFY_ACTION action = arrived ? CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL : CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL;
    for (const std::shared_ptr<Registration>& registration :
         Matching(CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE, &classGuid, nullptr)) {
        Post(registration, InterfaceEvent(action, classGuid, symbolicLink));
    }
}

bool OnTarget(io::DeviceObject* physical, pnp::TargetEvent what)
{
    static constexpr CM_NOTIFY_ACTION kActions[] = {CM_NOTIFY_ACTION_DEVICEQUERYREMOVE,
                                                    CM_NOTIFY_ACTION_DEVICEQUERYREMOVEFAILED,
                                                    CM_NOTIFY_ACTION_DEVICEREMOVEPENDING,
                                                    CM_NOTIFY_ACTION_DEVICEREMOVECOMPLETE};
    std::vector<std::shared_ptr<Registration>> targets = Matching(CM_NOTIFY_FILTER_TYPE_DEVICEHANDLE, nullptr, physical);
    Event::Answer answer;
    bool query = what == pnp::TargetEvent::QueryRemove;
    answer.pending = static_cast<int>(targets.size());
    for (const std::shared_ptr<Registration>& registration : targets) {
        Event event{kActions[static_cast<int>(what)], std::vector<uint64_t>((sizeof(CM_NOTIFY_EVENT_DATA) + 7) / 8),
                    sizeof(CM_NOTIFY_EVENT_DATA)};
        auto* data = reinterpret_cast<PCM_NOTIFY_EVENT_DATA>(event.data.data());
        data->FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEHANDLE;
        data->u.DeviceHandle.NameOffset = -1;
        event.answer = query ? &answer : nullptr;
        Post(registration, std::move(event));
    }
    if (!query) {
        return true;
    }
    std::unique_lock<std::mutex> lock(answer.lock);
    answer.given.wait(lock, [&] { return answer.pending == 0; });
    return !answer.vetoed;
}

// Stops the registration's delivery; waits for a callback in progress unless
// the caller is that callback.
void Stop(const std::shared_ptr<Registration>& registration)
{
    {
        std::lock_guard<std::mutex> guard(registration->lock);
        registration->stopping = true;
        registration->changed.notify_all();
    }
    if (registration->thread.get_id() == std::this_thread::get_id()) {
        registration->thread.detach();
    } else if (registration->thread.joinable()) {
        registration->thread.join();
    }
}

// The physical device object of a handle of the current process on a device.
io::DeviceObject* DeviceOfHandle(HANDLE handle)
{
    ob::Object* object = nullptr;
    ACCESS_MASK granted = 0;
    if (!NT_SUCCESS(ob::ReferenceByHandle(handle, 0, ob::FileType(), UserMode, &object, &granted))) {
        return nullptr;
    }
    io::DeviceObject* physical = nullptr;
    if (typeid(*object) == typeid(io::FileObject)) {
        physical = io::IoGetDeviceAttachmentBase(static_cast<io::FileObject*>(object)->device);
    }
    ob::Dereference(object);
    return physical;
}

}  // namespace

void DrainNotifications()
{
    std::unique_lock<std::mutex> lock(g_outstandingLock);
    g_delivered.wait(lock, [] { return g_outstanding == 0; });
}

uint64_t NotificationSequence() { return t_delivering; }

void EndNotifications(plat::Process& process)
{
    std::vector<std::shared_ptr<Registration>> ended;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        auto mine = [&](const std::shared_ptr<Registration>& r) { return r->process.get() == &process; };
        std::copy_if(g_registrations.begin(), g_registrations.end(), std::back_inserter(ended), mine);
        g_registrations.erase(std::remove_if(g_registrations.begin(), g_registrations.end(), mine),
                              g_registrations.end());
    }
    for (const std::shared_ptr<Registration>& registration : ended) {
        Stop(registration);
    }
}

}  // namespace plat::um

using plat::um::Registration;

extern "C" {

CONFIGRET CM_Register_Notification(PCM_NOTIFY_FILTER pFilter, PVOID pContext, PCM_NOTIFY_CALLBACK pCallback,
                                   PHCMNOTIFICATION pNotifyContext)
{
    if (pFilter == nullptr || pCallback == nullptr || pNotifyContext == nullptr) {
        return CR_INVALID_POINTER;
    }
    *pNotifyContext = nullptr;
    if (pFilter->cbSize != sizeof(CM_NOTIFY_FILTER) || pFilter->Reserved != 0) {
        return CR_INVALID_DATA;
    }
    auto registration = std::make_shared<Registration>();
    registration->type = pFilter->FilterType;
    registration->callback = pCallback;
    registration->context = pContext;
    switch (pFilter->FilterType) {
    case CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE:
        // Every class at once (CM_NOTIFY_FILTER_FLAG_ALL_INTERFACE_CLASSES) is not offered here.
        if (pFilter->Flags != 0) {
            return CR_INVALID_FLAG;
        }
        registration->classGuid = pFilter->u.DeviceInterface.ClassGuid;
        break;
    case CM_NOTIFY_FILTER_TYPE_DEVICEHANDLE:
        if (pFilter->Flags != 0) {
            return CR_INVALID_FLAG;
        }
        registration->physical = plat::um::DeviceOfHandle(pFilter->u.DeviceHandle.hTarget);
        if (registration->physical == nullptr) {
            return CR_INVALID_DATA;
        }
        break;
    default:
        return CR_INVALID_DATA;
    }
    plat::ProcessTable& table = plat::ProcessTable::Current();
    registration->process = table.Find(plat::CurrentProcess().Id());
    if (registration->process == nullptr) {
        return CR_FAILURE;
    }
    plat::io::SetInterfaceWatcher(plat::um::OnInterface);
    plat::pnp::SetTargetWatcher(plat::um::OnTarget);
    try {
        registration->thread = std::thread(plat::um::Deliver, registration);
    } catch (...) {
        return CR_OUT_OF_MEMORY;
    }
    {
        std::lock_guard<std::mutex> guard(plat::um::g_lock);
        plat::um::g_registrations.push_back(registration);
    }
    *pNotifyContext = reinterpret_cast<HCMNOTIFICATION>(registration.get());
    return CR_SUCCESS;
}

CONFIGRET CM_Unregister_Notification(HCMNOTIFICATION NotifyContext)
{
    std::shared_ptr<Registration> registration;
    {
        std::lock_guard<std::mutex> guard(plat::um::g_lock);
        auto& all = plat::um::g_registrations;
        auto found = std::find_if(all.begin(), all.end(), [&](const std::shared_ptr<Registration>& r) {
            return reinterpret_cast<HCMNOTIFICATION>(r.get()) == NotifyContext;
        });
        if (found == all.end()) {
            return CR_INVALID_DATA;
        }
        registration = *found;
        all.erase(found);
    }
    plat::um::Stop(registration);
    return CR_SUCCESS;
}

DWORD CM_MapCrToWin32Err(CONFIGRET CmReturnCode, DWORD DefaultErr)
{
    switch (CmReturnCode) {
    case CR_SUCCESS: return ERROR_SUCCESS;
    case CR_OUT_OF_MEMORY: return ERROR_NOT_ENOUGH_MEMORY;
    case CR_INVALID_POINTER: return ERROR_INVALID_USER_BUFFER;
    case CR_INVALID_FLAG: return ERROR_INVALID_FLAGS;
    case CR_INVALID_DATA: return ERROR_INVALID_DATA;
    case CR_BUFFER_SMALL: return ERROR_INSUFFICIENT_BUFFER;
    case CR_NO_SUCH_DEVICE_INTERFACE: return ERROR_NOT_FOUND;
    default: return DefaultErr;
    }
}

}  // extern "C"
