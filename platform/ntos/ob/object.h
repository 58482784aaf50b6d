/*
 * The object manager: typed, reference-counted kernel objects and handle
 * tables. A process's handles live in its own table; kernel handles
 * (OBJ_KERNEL_HANDLE) live in the kernel's table and have the top bit set.
 * Outstanding references and open kernel handles are verifier findings.
 *
 * What the driver sees of an object (the PVOID that ObReferenceObjectByHandle
 * returns, a KEVENT for an event) is the object's body. A small header just in
 * front of the body leads back to the object, as the kernel's object header
 * does, so ObfDereferenceObject(body) finds its object without a lookup.
 */
#pragma once
#include <wdm.h>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace plat::ob {

struct Object;
class Directory;

// Sits right in front of every body.
struct alignas(16) BodyHeader {
    Object* object;
    uint64_t magic;
};

// A body of type T with its header; T must be standard layout with alignment <= 16.
template <class T>
struct Embedded {
    BodyHeader header;
    T value;
};

// Body of every kernel object. Created with one reference, owned by the
// creator. A cache line or more of its own: the reference counts of one
// thread's file are written on every request, and must not share a line with
// another thread's objects.
struct alignas(64) Object {
    explicit Object(POBJECT_TYPE type);
    virtual ~Object();
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    // The driver-visible body (an opaque block unless the type installs its own).
    void* Body() const { return body_; }

    // The last handle to the object was closed (a file object's cleanup). Runs
    // on the closing thread, before the handle's reference is dropped.
    virtual void OnLastHandleClosed() {}
    // The last reference is going (a file object's close). Runs once, on the
    // thread that dropped it, before the object is destroyed.
    virtual void OnLastReference() {}
    // One line for reports: "Event 0x... \"name\"".
    virtual std::string Describe() const;

    const POBJECT_TYPE type;
    std::atomic<LONG_PTR> references{1};
    // Open handles to the object, in all tables.
    std::atomic<LONG> handleCount{0};
    // References the driver took (ObReferenceObjectByHandle, ObfReferenceObject)
    // and has not yet given back: what the verifier reports as held.
    std::atomic<LONG> driverReferences{0};
    // Set for objects in the machine's namespace (named events and mutants).
    std::wstring name;
    Directory* directory = nullptr;

protected:
    // Installs a body that the derived type embeds (Embedded<T>::value).
    template <class T>
    void InstallBody(Embedded<T>& embedded)
    {
        static_assert(sizeof(BodyHeader) == 16, "bodies follow a 16-byte header");
        SetBody(&embedded.header, &embedded.value);
    }

private:
    void SetBody(BodyHeader* header, void* body);

    Embedded<uint64_t[2]> opaque_{};
    void* body_ = nullptr;

    friend struct LiveList;
    Object* livePrev_ = nullptr;
    Object* liveNext_ = nullptr;
};

// The object whose body this is; stops the system when the pointer is not a body.
Object* FromBody(PVOID body, const char* routine);

// Object types. Event and mutant types are ExEventObjectType / ExMutantObjectType.
POBJECT_TYPE EventType();
POBJECT_TYPE MutantType();
POBJECT_TYPE FileType();
POBJECT_TYPE KeyType();
POBJECT_TYPE ThreadType();
const char* TypeName(POBJECT_TYPE type);

// Turns GENERIC_* bits into the type's specific rights (MAXIMUM_ALLOWED into all of them).
ACCESS_MASK MapGenericAccess(POBJECT_TYPE type, ACCESS_MASK access);

void Reference(Object* object);
// Drops a reference; the object is deleted when the last one goes.
void Dereference(Object* object);
// Drops several references at once (a handle's cached ones).
void DereferenceBy(Object* object, LONG_PTR count);

// Inserts a handle to the object into the kernel's table (kernelHandle) or the
// current process's table, granting the access. The handle takes a reference
// of its own: the caller still owns the reference it had. NULL when the table
// is full.
HANDLE InsertHandle(Object* object, ACCESS_MASK grantedAccess, bool kernelHandle);

// Closes a handle of the kernel's table (KernelMode may close kernel handles and the
// current process's) or of the current process's table (UserMode).
NTSTATUS CloseHandle(HANDLE handle, KPROCESSOR_MODE mode);

// Resolves a handle the way ObReferenceObjectByHandle does; on success the caller owns one reference.
// A null type accepts any type. KernelMode skips the access check.
NTSTATUS ReferenceByHandle(HANDLE handle, ACCESS_MASK desiredAccess, POBJECT_TYPE type, KPROCESSOR_MODE mode,
                           Object** object, ACCESS_MASK* grantedAccess);

bool IsKernelHandle(HANDLE handle);

// A namespace of named objects (named events and mutants): one per machine,
// held by its process table. A name lives as long as its object.
class Directory {
public:
    Directory() = default;
    ~Directory();  // forgets the names of objects that outlive it
    Directory(const Directory&) = delete;
    Directory& operator=(const Directory&) = delete;

    // Fails with STATUS_OBJECT_NAME_COLLISION, giving the existing object
    // (referenced) in *existing, when the name is taken.
    NTSTATUS Insert(Object* object, const std::wstring& name, Object** existing);
    // The named object, referenced, or STATUS_OBJECT_NAME_NOT_FOUND.
    NTSTATUS Lookup(const std::wstring& name, Object** object);
    // Drops the object's name (its last reference went).
    void Remove(Object* object);

private:
    std::mutex lock_;
    std::map<std::wstring, Object*> names_;
};

// The current machine's namespace.
Directory& Names();

}  // namespace plat::ob
