/* Events, mutexes and waits of the simulated client processes. */
#include <windows.h>

#include <cwchar>
#include <thread>

#include "machine/hardware.h"
#include "ntos/ke/event.h"
#include "ntos/ob/object.h"

namespace {

using plat::ob::Object;

// Win32 names may carry a session prefix; there is one session here.
std::wstring ObjectName(LPCWSTR name)
{
    std::wstring text(name);
    for (const wchar_t* prefix : {L"Global\\", L"Local\\"}) {
        if (text.compare(0, std::wcslen(prefix), prefix) == 0) {
            return text.substr(std::wcslen(prefix));
        }
    }
    return text;
}

HANDLE Fail(NTSTATUS status)
{
    SetLastError(RtlNtStatusToDosError(status));
    return nullptr;
}

// Gives the caller a handle to a new object, or to the existing one of that name and type.
HANDLE CreateNamed(Object* created, LPCWSTR name, ACCESS_MASK access)
{
    Object* object = created;
    DWORD error = ERROR_SUCCESS;
    if (name != nullptr && *name != L'\0') {
        Object* existing = nullptr;
        if (plat::ob::Names().Insert(created, ObjectName(name), &existing) == STATUS_OBJECT_NAME_COLLISION) {
            POBJECT_TYPE type = created->type;
            plat::ob::Dereference(created);
            if (existing->type != type) {
                plat::ob::Dereference(existing);
                return Fail(STATUS_OBJECT_TYPE_MISMATCH);
            }
            object = existing;
            error = ERROR_ALREADY_EXISTS;
        }
    }
    HANDLE handle = plat::ob::InsertHandle(object, access, false);
    plat::ob::Dereference(object);
    if (handle == nullptr) {
        return Fail(STATUS_INSUFFICIENT_RESOURCES);
    }
    SetLastError(error);
    return handle;
}

HANDLE OpenNamed(DWORD desiredAccess, LPCWSTR name, POBJECT_TYPE type)
{
    if (name == nullptr) {
        return Fail(STATUS_INVALID_PARAMETER);
    }
    Object* object = nullptr;
    NTSTATUS status = plat::ob::Names().Lookup(ObjectName(name), &object);
    if (!NT_SUCCESS(status)) {
        return Fail(status);
    }
    if (object->type != type) {
        plat::ob::Dereference(object);
        return Fail(STATUS_OBJECT_TYPE_MISMATCH);
    }
    HANDLE handle = plat::ob::InsertHandle(object, plat::ob::MapGenericAccess(type, desiredAccess), false);
    plat::ob::Dereference(object);
    return handle != nullptr ? handle : Fail(STATUS_INSUFFICIENT_RESOURCES);
}

// The object of a handle of the current process, checked as NtXxx calls check it.
Object* Reference(HANDLE handle, ACCESS_MASK access, POBJECT_TYPE type)
{
    Object* object = nullptr;
    NTSTATUS status = plat::ob::ReferenceByHandle(handle, access, type, UserMode, &object, nullptr);
    if (!NT_SUCCESS(status)) {
        SetLastError(RtlNtStatusToDosError(status));
        return nullptr;
    }
    return object;
}

}  // namespace

extern "C" {

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName)
{
    (void)lpEventAttributes;
    auto* event = new plat::ke::EventObject(bManualReset ? NotificationEvent : SynchronizationEvent, bInitialState);
    return CreateNamed(event, lpName, EVENT_ALL_ACCESS);
}

HANDLE OpenEventW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName)
{
    (void)bInheritHandle;
    return OpenNamed(dwDesiredAccess, lpName, plat::ob::EventType());
}

BOOL SetEvent(HANDLE hEvent)
{
    Object* object = Reference(hEvent, EVENT_MODIFY_STATE, plat::ob::EventType());
    if (object == nullptr) {
        return FALSE;
    }
    KeSetEvent(static_cast<PKEVENT>(object->Body()), IO_NO_INCREMENT, FALSE);
    plat::ob::Dereference(object);
    return TRUE;
}

BOOL ResetEvent(HANDLE hEvent)
{
    Object* object = Reference(hEvent, EVENT_MODIFY_STATE, plat::ob::EventType());
    if (object == nullptr) {
        return FALSE;
    }
    KeClearEvent(static_cast<PKEVENT>(object->Body()));
    plat::ob::Dereference(object);
    return TRUE;
}

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCWSTR lpName)
{
    (void)lpMutexAttributes;
    auto* mutant = new plat::ke::MutantObject(bInitialOwner != FALSE);
    return CreateNamed(mutant, lpName, MUTANT_ALL_ACCESS);
}

HANDLE OpenMutexW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName)
{
    (void)bInheritHandle;
    return OpenNamed(dwDesiredAccess, lpName, plat::ob::MutantType());
}

BOOL ReleaseMutex(HANDLE hMutex)
{
    Object* object = Reference(hMutex, SYNCHRONIZE, plat::ob::MutantType());
    if (object == nullptr) {
        return FALSE;
    }
    NTSTATUS status = plat::ke::ReleaseMutant(static_cast<plat::ke::KMUTANT*>(object->Body()), nullptr);
    plat::ob::Dereference(object);
    if (!NT_SUCCESS(status)) {
        SetLastError(RtlNtStatusToDosError(status));
        return FALSE;
    }
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    Object* object = Reference(hHandle, SYNCHRONIZE, nullptr);
    if (object == nullptr) {
        return WAIT_FAILED;
    }
    DWORD result;
    if (object->type == plat::ob::EventType() || object->type == plat::ob::MutantType()) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -static_cast<LONGLONG>(dwMilliseconds) * 10000;
        NTSTATUS status = plat::ke::Wait(object->Body(), dwMilliseconds == INFINITE ? nullptr : &timeout);
        result = status == STATUS_TIMEOUT ? WAIT_TIMEOUT : WAIT_OBJECT_0;
    } else if (object->type == plat::ob::FileType()) {
        result = WAIT_OBJECT_0;  // synchronous handles have no I/O outstanding
    } else {
        SetLastError(ERROR_INVALID_HANDLE);
        result = WAIT_FAILED;
    }
    plat::ob::Dereference(object);
    return result;
}

DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds)
{
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr || bWaitAll) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    Object* objects[MAXIMUM_WAIT_OBJECTS];
    PVOID bodies[MAXIMUM_WAIT_OBJECTS];
    DWORD referenced = 0;
    bool waitable = true;
    while (waitable && referenced < nCount) {
        Object* object = Reference(lpHandles[referenced], SYNCHRONIZE, nullptr);
        if (object == nullptr) {
            waitable = false;
            break;
        }
        objects[referenced++] = object;
        if (object->type != plat::ob::EventType() && object->type != plat::ob::MutantType()) {
            SetLastError(ERROR_INVALID_HANDLE);
            waitable = false;
        }
        bodies[referenced - 1] = object->Body();
    }
    DWORD result = WAIT_FAILED;
    if (waitable) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -static_cast<LONGLONG>(dwMilliseconds) * 10000;
        ULONG index = 0;
        NTSTATUS status = plat::ke::WaitAny(bodies, nCount, dwMilliseconds == INFINITE ? nullptr : &timeout, &index);
        result = status == STATUS_TIMEOUT ? WAIT_TIMEOUT : WAIT_OBJECT_0 + index;
    }
    for (DWORD i = 0; i < referenced; i++) {
        plat::ob::Dereference(objects[i]);
    }
    return result;
}

VOID Sleep(DWORD dwMilliseconds)
{
    std::this_thread::sleep_for(
        plat::Hardware::Current().Clock().ToReal(static_cast<LONGLONG>(dwMilliseconds) * 10000));
}

}  // extern "C"
