/*
 * Fault injection. Every fallible platform call asks Check() with its failure
 * point's name before doing its work; a test arms a point to fail its Nth call
 * (once) or every call with a chosen status. A counting run records how often
 * each point is asked, so a sweep can replay a scenario failing each call in turn.
 *
 * Points: WdfDriverCreate, WdfDeviceCreate, WdfDeviceCreateDeviceInterface,
 * WdfIoQueueCreate, WdfSpinLockCreate, WdfMemoryCreate, WdfWorkItemCreate,
 * WdfStringCreate, WdfFdoQueryForInterface, WdfIoTargetSendIoctlSynchronously,
 * AcpiEvalMethod, RegisterForDeviceNotifications, WdfDriverOpenParametersRegistryKey,
 * WdfRegistryCreateKey, WdfRegistryOpenKey, WdfRegistryQueryString,
 * WdfRegistryAssignString, WdfRegistryAssignULong, RtlQueryRegistryValues,
 * ZwCreateFile, ZwWriteFile, ZwFlushBuffersFile, MmMapIoSpace, ObReferenceObjectByHandle,
 * ExAllocatePool, EtwRegisterClassicProvider, IoWMIRegistrationControl.
 * PhysicalMemoryRead is no call that fails: it is asked at each mapping of
 * physical memory, and an armed one makes every access to that mapping raise
 * its status as an exception (a read error that guarded blocks must catch).
 */
#pragma once
#include <ntdef.h>
#include <cstdint>
#include <map>
#include <string>

namespace plat::fault {

// STATUS_SUCCESS, or the status this call of the point is armed to fail with.
NTSTATUS Check(const char* point);

// Fails the Nth call (1-based, counted from now) of the point with the status,
// once. When another arm already fails that call, this one takes the first
// later call that none fails, so several arms of one point fire in the order
// they were given. Returns the call it takes, counted from now.
uint64_t FailNth(const std::string& point, uint64_t n, NTSTATUS status);
// Fails every call of the point from now on.
void FailAll(const std::string& point, NTSTATUS status);
// Disarms every point and clears the counts.
void Reset();

// Number of times each point was asked since the last Reset().
std::map<std::string, uint64_t> Counts();
// Number of injected failures since the last Reset().
uint64_t Injected();

}  // namespace plat::fault
