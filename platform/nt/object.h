/*
 * The object manager: typed, reference-counted kernel objects and handle
 * tables. A process's handles live in its own table; kernel handles
 * (OBJ_KERNEL_HANDLE) live in the system's table and have the top bit set.
 * Outstanding references and open kernel handles are verifier findings.
 */
#pragma once
#include <wdm.h>
#include <atomic>
#include <string>

namespace plat::ob {

// Body of every kernel object. Created with one reference, owned by the creator.
struct Object {
    explicit Object(POBJECT_TYPE type);
    virtual ~Object();
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    const POBJECT_TYPE type;
    std::atomic<LONG_PTR> references{1};
};

// Object types. Event and mutant types are ExEventObjectType / ExMutantObjectType.
POBJECT_TYPE EventType();
POBJECT_TYPE MutantType();
POBJECT_TYPE FileType();
POBJECT_TYPE KeyType();
const char* TypeName(POBJECT_TYPE type);

void Reference(Object* object);
// Drops a reference; the object is deleted when the last one goes.
void Dereference(Object* object);

// Inserts a handle to the object into the kernel's table (kernelHandle) or the
// current process's table, granting the access; the handle holds a reference.
HANDLE InsertHandle(Object* object, ACCESS_MASK grantedAccess, bool kernelHandle);

// Closes a handle of the kernel's table (KernelMode may close kernel handles and the
// current process's) or of the current process's table (UserMode).
NTSTATUS CloseHandle(HANDLE handle, KPROCESSOR_MODE mode);

// Resolves a handle the way ObReferenceObjectByHandle does; on success the caller owns one reference.
NTSTATUS ReferenceByHandle(HANDLE handle, ACCESS_MASK desiredAccess, POBJECT_TYPE type, KPROCESSOR_MODE mode,
                           Object** object, ACCESS_MASK* grantedAccess);

bool IsKernelHandle(HANDLE handle);

}  // namespace plat::ob
