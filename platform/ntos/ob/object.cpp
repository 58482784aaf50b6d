/*
 * The object manager: object types, bodies, reference counts, the namespace
 * and the handle rules of ObReferenceObjectByHandle.
 */
#include "ntos/ob/object.h"

#include <cstdio>
#include <vector>

#include "base/bugcheck.h"
#include "base/fault.h"
#include "base/hostlock.h"
#include "base/verifier.h"
#include "machine/hardware.h"
#include "ntos/ke/irql.h"
#include "ntos/ob/handle.h"
#include "ntos/ps/process.h"

struct _OBJECT_TYPE {
    const char* name;
    ACCESS_MASK genericRead;
    ACCESS_MASK genericWrite;
    ACCESS_MASK genericExecute;
    ACCESS_MASK genericAll;
};

namespace plat::ob {
namespace {

constexpr uint64_t kBodyMagic = 0x7964426f4276724bull;  // marks a live body header
constexpr uint64_t kDeadMagic = 0x646165446f4276ull;    // marks a destroyed one

_OBJECT_TYPE g_eventType{"Event", STANDARD_RIGHTS_READ | EVENT_QUERY_STATE, STANDARD_RIGHTS_WRITE | EVENT_MODIFY_STATE,
                         STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE, EVENT_ALL_ACCESS};
_OBJECT_TYPE g_mutantType{"Mutant", STANDARD_RIGHTS_READ | MUTANT_QUERY_STATE, STANDARD_RIGHTS_WRITE,
                          STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE, MUTANT_ALL_ACCESS};
_OBJECT_TYPE g_fileType{"File", FILE_GENERIC_READ, FILE_GENERIC_WRITE,
                        STANDARD_RIGHTS_EXECUTE | FILE_READ_ATTRIBUTES | FILE_EXECUTE | SYNCHRONIZE, FILE_ALL_ACCESS};
_OBJECT_TYPE g_keyType{"Key", KEY_READ, KEY_WRITE, KEY_READ, KEY_ALL_ACCESS};
// THREAD_QUERY_INFORMATION (0x40), THREAD_TERMINATE (0x1) ... THREAD_ALL_ACCESS.
_OBJECT_TYPE g_threadType{"Thread", STANDARD_RIGHTS_READ | 0x0048, STANDARD_RIGHTS_WRITE | 0x0037,
                          STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE, STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF};

std::string Hex(const void* pointer)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(pointer)));
    return text;
}

HandleTable& KernelTable() { return ProcessTable::Current().KernelHandles(); }

}  // namespace

// Every live object, for the verifier's report of references the driver
// still holds: in shards picked by the object's address, each with its own
// short lock, so that threads making and destroying objects at once (files
// opened and closed by several clients) rarely meet on one.
struct LiveList {
    struct alignas(64) Shard {
        HostLock lock;
        Object* head = nullptr;
    };
    static constexpr size_t kShards = 16;

    static Shard* Shards()
    {
        static Shard* shards = new Shard[kShards];  // never destroyed: objects may outlive the statics
        return shards;
    }
    static Shard& ShardOf(const Object* object)
    {
        return Shards()[(reinterpret_cast<uintptr_t>(object) / alignof(Object)) % kShards];
    }
    static void Add(Object* object)
    {
        Shard& shard = ShardOf(object);
        std::lock_guard<HostLock> guard(shard.lock);
        object->liveNext_ = shard.head;
        if (shard.head != nullptr) {
            shard.head->livePrev_ = object;
        }
        shard.head = object;
    }
    static void Remove(Object* object)
    {
        Shard& shard = ShardOf(object);
        std::lock_guard<HostLock> guard(shard.lock);
        if (object->livePrev_ != nullptr) {
            object->livePrev_->liveNext_ = object->liveNext_;
        } else {
            shard.head = object->liveNext_;
        }
        if (object->liveNext_ != nullptr) {
            object->liveNext_->livePrev_ = object->livePrev_;
        }
    }
    static void Report(std::vector<std::string>& findings)
    {
        for (size_t i = 0; i < kShards; ++i) {
            Shard& shard = Shards()[i];
            std::lock_guard<HostLock> guard(shard.lock);
            for (Object* object = shard.head; object != nullptr; object = object->liveNext_) {
                LONG held = object->driverReferences.load(std::memory_order_acquire);
                if (held > 0) {
                    findings.push_back("object reference not released: " + object->Describe() + " (" +
                                       std::to_string(held) + " reference(s) taken by the driver)");
                }
            }
        }
    }
};

namespace {
const int g_reporter = verifier::AddReporter("object references", LiveList::Report);
}

Object::Object(POBJECT_TYPE type_) : type(type_)
{
    InstallBody(opaque_);
    LiveList::Add(this);
}

Object::~Object() { LiveList::Remove(this); }

void Object::SetBody(BodyHeader* header, void* body)
{
    header->object = this;
    header->magic = kBodyMagic;
    body_ = body;
}

std::string Object::Describe() const
{
    std::string text = std::string(TypeName(type)) + " " + Hex(body_);
    if (!name.empty()) {
        text += " \"" + std::string(name.begin(), name.end()) + "\"";
    }
    return text;
}

Object* FromBody(PVOID body, const char* routine)
{
    if (body == nullptr) {
        BugCheck(REFERENCE_BY_POINTER, std::string(routine) + " was given a NULL object pointer");
    }
    auto* header = reinterpret_cast<BodyHeader*>(static_cast<char*>(body) - sizeof(BodyHeader));
    if (header->magic != kBodyMagic || header->object == nullptr || header->object->Body() != body) {
        BugCheck(REFERENCE_BY_POINTER,
                 std::string(routine) + " was given " + Hex(body) + ", which is not a live object",
                 reinterpret_cast<ULONG_PTR>(body));
    }
    return header->object;
}

POBJECT_TYPE EventType() { return &g_eventType; }
POBJECT_TYPE MutantType() { return &g_mutantType; }
POBJECT_TYPE FileType() { return &g_fileType; }
POBJECT_TYPE KeyType() { return &g_keyType; }
POBJECT_TYPE ThreadType() { return &g_threadType; }
const char* TypeName(POBJECT_TYPE type) { return type != nullptr ? type->name : "Object"; }

ACCESS_MASK MapGenericAccess(POBJECT_TYPE type, ACCESS_MASK access)
{
    ACCESS_MASK mapped = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if (access & GENERIC_READ) mapped |= type->genericRead;
    if (access & GENERIC_WRITE) mapped |= type->genericWrite;
    if (access & GENERIC_EXECUTE) mapped |= type->genericExecute;
    if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) mapped |= type->genericAll;
    return mapped;
}

void Reference(Object* object) { object->references.fetch_add(1, std::memory_order_relaxed); }

void Dereference(Object* object) { DereferenceBy(object, 1); }

void DereferenceBy(Object* object, LONG_PTR count)
{
    LONG_PTR left = object->references.fetch_sub(count, std::memory_order_acq_rel) - count;
    if (left > 0) {
        return;
    }
    if (left < 0) {
        BugCheck(REFERENCE_BY_POINTER, "reference count of " + object->Describe() + " dropped below zero",
                 reinterpret_cast<ULONG_PTR>(object->Body()), static_cast<ULONG_PTR>(left));
    }
    if (object->directory != nullptr) {
        object->directory->Remove(object);
    }
    object->OnLastReference();
    // A later use of the body (a reference released twice) is then recognised.
    reinterpret_cast<BodyHeader*>(static_cast<char*>(object->Body()) - sizeof(BodyHeader))->magic = kDeadMagic;
    delete object;
}

bool IsKernelHandle(HANDLE handle)
{
    return (reinterpret_cast<uint64_t>(handle) & 0xFFFFFFFF80000000ull) == 0xFFFFFFFF80000000ull;
}

HANDLE InsertHandle(Object* object, ACCESS_MASK grantedAccess, bool kernelHandle)
{
    if (kernelHandle) {
        return KernelTable().Insert(object, grantedAccess);
    }
    Process& process = CurrentProcess();
    return process.Exited() ? nullptr : process.Handles().Insert(object, grantedAccess);
}

NTSTATUS CloseHandle(HANDLE handle, KPROCESSOR_MODE mode)
{
    if (handle == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (IsKernelHandle(handle)) {
        return mode == KernelMode ? KernelTable().Close(handle) : STATUS_INVALID_HANDLE;
    }
    return CurrentProcess().Handles().Close(handle);
}

NTSTATUS ReferenceByHandle(HANDLE handle, ACCESS_MASK desiredAccess, POBJECT_TYPE type, KPROCESSOR_MODE mode,
                           Object** object, ACCESS_MASK* grantedAccess)
{
    *object = nullptr;
    if (handle == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    HandleTable* table;
    if (IsKernelHandle(handle)) {
        if (mode != KernelMode) {
            return STATUS_INVALID_HANDLE;
        }
        table = &KernelTable();
    } else {
        table = &CurrentProcess().Handles();
    }
    ACCESS_MASK granted = 0;
    Object* found = table->Reference(handle, &granted);
    if (found == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (type != nullptr && found->type != type) {
        Dereference(found);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if (mode != KernelMode) {
        ACCESS_MASK desired = MapGenericAccess(found->type, desiredAccess);
        if ((granted & desired) != desired) {
            Dereference(found);
            return STATUS_ACCESS_DENIED;
        }
    }
    *object = found;
    if (grantedAccess != nullptr) {
        *grantedAccess = granted;
    }
    return STATUS_SUCCESS;
}

Directory::~Directory()
{
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& [name, object] : names_) {
        object->directory = nullptr;
    }
}

NTSTATUS Directory::Insert(Object* object, const std::wstring& name, Object** existing)
{
    *existing = nullptr;
    std::lock_guard<std::mutex> guard(lock_);
    auto found = names_.find(name);
    if (found != names_.end()) {
        Object* other = found->second;
        // An object whose last reference is going is as good as gone.
        LONG_PTR count = other->references.load(std::memory_order_relaxed);
        while (count > 0 && !other->references.compare_exchange_weak(count, count + 1)) {
        }
        if (count > 0) {
            *existing = other;
            return STATUS_OBJECT_NAME_COLLISION;
        }
    }
    object->name = name;
    object->directory = this;
    names_[name] = object;
    return STATUS_SUCCESS;
}

NTSTATUS Directory::Lookup(const std::wstring& name, Object** object)
{
    *object = nullptr;
    std::lock_guard<std::mutex> guard(lock_);
    auto found = names_.find(name);
    if (found == names_.end()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    Object* candidate = found->second;
    LONG_PTR count = candidate->references.load(std::memory_order_relaxed);
    while (count > 0 && !candidate->references.compare_exchange_weak(count, count + 1)) {
    }
    if (count == 0) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    *object = candidate;
    return STATUS_SUCCESS;
}

void Directory::Remove(Object* object)
{
    std::lock_guard<std::mutex> guard(lock_);
    auto found = names_.find(object->name);
    if (found != names_.end() && found->second == object) {
        names_.erase(found);
    }
    object->directory = nullptr;
}

Directory& Names() { return ProcessTable::Current().Names(); }

}  // namespace plat::ob

using namespace plat::ob;

namespace {
POBJECT_TYPE g_exEventObjectType = &plat::ob::g_eventType;
POBJECT_TYPE g_exMutantObjectType = &plat::ob::g_mutantType;
POBJECT_TYPE g_ioFileObjectType = &plat::ob::g_fileType;
}  // namespace

extern "C" {

POBJECT_TYPE* ExEventObjectType = &g_exEventObjectType;
POBJECT_TYPE* ExMutantObjectType = &g_exMutantObjectType;
POBJECT_TYPE* IoFileObjectType = &g_ioFileObjectType;

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID* Object,
                                   POBJECT_HANDLE_INFORMATION HandleInformation)
{
    plat::RequirePassive(__func__);
    *Object = nullptr;
    NTSTATUS status = plat::fault::Check("ObReferenceObjectByHandle");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    plat::ob::Object* object = nullptr;
    ACCESS_MASK granted = 0;
    status = ReferenceByHandle(Handle, DesiredAccess, ObjectType, AccessMode, &object, &granted);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    object->driverReferences.fetch_add(1, std::memory_order_acq_rel);
    if (HandleInformation != nullptr) {
        HandleInformation->HandleAttributes = 0;
        HandleInformation->GrantedAccess = granted;
    }
    *Object = object->Body();
    return STATUS_SUCCESS;
}

LONG_PTR ObfReferenceObject(PVOID Object)
{
    plat::RequireIrql(DISPATCH_LEVEL, __func__);
    plat::ob::Object* object = FromBody(Object, __func__);
    object->driverReferences.fetch_add(1, std::memory_order_acq_rel);
    return object->references.fetch_add(1, std::memory_order_relaxed) + 1;
}

LONG_PTR ObfDereferenceObject(PVOID Object)
{
    plat::RequireIrql(DISPATCH_LEVEL, __func__);
    plat::RequireNoSpinLock(__func__);
    plat::ob::Object* object = FromBody(Object, __func__);
    if (object->driverReferences.fetch_sub(1, std::memory_order_acq_rel) <= 0) {
        plat::BugCheck(REFERENCE_BY_POINTER,
                       std::string(__func__) + ": the driver released a reference it does not hold on " +
                           object->Describe(),
                       reinterpret_cast<ULONG_PTR>(Object));
    }
    LONG_PTR left = object->references.load(std::memory_order_relaxed) - 1;
    Dereference(object);
    return left;
}

}  // extern "C"
