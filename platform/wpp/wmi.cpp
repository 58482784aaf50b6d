/* IoWMIRegistrationControl: registering device (or driver) objects with WMI. */
#include "wpp/wmi.h"

#include <map>
#include <mutex>

#include "base/fault.h"
#include "ntos/ke/irql.h"
#include "wpp/control.h"

namespace plat::wmi {
namespace {

struct TraceInfo {
    GUID control;
    PETW_CLASSIC_CALLBACK callback;
    PVOID context;
};

struct State {
    std::mutex lock;
    std::map<const void*, TraceInfo> info;
};

State& Wmi()
{
    static State state;
    return state;
}

bool FindTraceInfo(const void* registrant, TraceInfo* info)
{
    State& s = Wmi();
    std::lock_guard<std::mutex> guard(s.lock);
    auto it = s.info.find(registrant);
    if (it == s.info.end()) {
        return false;
    }
    *info = it->second;
    return true;
}

}  // namespace

void SetTraceInfo(const void* registrant, const GUID& control, PETW_CLASSIC_CALLBACK callback, PVOID context)
{
    State& s = Wmi();
    std::lock_guard<std::mutex> guard(s.lock);
    s.info[registrant] = TraceInfo{control, callback, context};
}

void ClearTraceInfo(const void* registrant)
{
    State& s = Wmi();
    std::lock_guard<std::mutex> guard(s.lock);
    s.info.erase(registrant);
}

}  // namespace plat::wmi

// Only registration is a failure point: a failed deregistration would leave
// the registrant nothing sound to do.
extern "C" NTSTATUS IoWMIRegistrationControl(PDEVICE_OBJECT DeviceObject, ULONG Action)
{
    plat::RequirePassive(__func__);
    if (DeviceObject == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    switch (Action) {
    case WMIREG_ACTION_REGISTER: {
        NTSTATUS status = plat::fault::Check("IoWMIRegistrationControl");
        if (!NT_SUCCESS(status)) {
            return status;
        }
        plat::wmi::TraceInfo info{};
        bool traces = plat::wmi::FindTraceInfo(DeviceObject, &info);
        REGHANDLE handle = plat::trace::control::Add(traces ? &info.control : nullptr, plat::trace::Registration::Wmi,
                                                     info.callback, info.context, DeviceObject);
        return handle != 0 ? STATUS_SUCCESS : STATUS_OBJECT_NAME_COLLISION;
    }
    case WMIREG_ACTION_DEREGISTER:
        return plat::trace::control::RemoveWmi(DeviceObject) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    default:
        return STATUS_INVALID_PARAMETER;
    }
}
