/*
 * The Plug and Play manager's packets: how a device action reaches a device
 * stack. Every packet is sent with IoCallDriver to the top of the stack on
 * the device's physical device object and waited for; each driver in the
 * stack handles it and passes it down as its kind does (a function driver
 * forwards a start before it starts and a removal after it removed).
 *
 *   start            IRP_MN_START_DEVICE
 *   stop             IRP_MN_QUERY_STOP_DEVICE, then IRP_MN_STOP_DEVICE (or
 *                    IRP_MN_CANCEL_STOP_DEVICE when the query failed, or
 *                    when another device vetoed the rebalance)
 *   remove           IRP_MN_QUERY_REMOVE_DEVICE, then IRP_MN_REMOVE_DEVICE
 *                    (or IRP_MN_CANCEL_REMOVE_DEVICE when vetoed)
 *   surprise-remove  IRP_MN_SURPRISE_REMOVAL, then IRP_MN_REMOVE_DEVICE once
 *                    the last handle has closed
 *   sleep, resume    IRP_MJ_POWER IRP_MN_SET_POWER of a system state (S3, S0);
 *                    the stack's power policy owner asks for the device power
 *                    packet it needs (PoRequestPowerIrp), which reaches the
 *                    stack the same way
 *
 * A start that fails is followed by IRP_MN_REMOVE_DEVICE (a device that ran
 * before, restarted after a stop, is surprise-removed first); the device node
 * keeps CM_PROB_FAILED_START and a later start adds the device again.
 *
 * Which action applies when (the device's state), the veto and the wait for
 * the last handle are the callers' (system/host.h).
 */
#pragma once
#include <wdm.h>

#include "ntos/io/irp.h"

namespace plat::pnp {

// Problem codes of a device node (CM_PROB_*), as Device Manager shows them.
enum : ULONG {
    kProblemNone = 0,
    kProblemFailedStart = 10,   // CM_PROB_FAILED_START
    kProblemDisabled = 22,      // CM_PROB_DISABLED
    kProblemFailedAdd = 31,     // CM_PROB_FAILED_ADD
    kProblemFailedPostStart = 43,  // CM_PROB_FAILED_POST_START
};

// An IRP_MJ_PNP packet with the minor code, sent to the top of the physical
// device object's stack from the System process at PASSIVE_LEVEL; its final status.
NTSTATUS SendPnp(io::DeviceObject* physical, UCHAR minor);
// IRP_MJ_POWER IRP_MN_SET_POWER of a system power state (io::kPowerSystem*),
// sent the same way: the power manager's system power packet.
NTSTATUS SetSystemPower(io::DeviceObject* physical, ULONG systemState);
// PoRequestPowerIrp: a device power packet (IRP_MN_SET_POWER of
// io::kPowerDevice*) for the stack on the physical device object, as its
// power policy owner asks for it; waited for, its final status.
NTSTATUS PoRequestPowerIrp(io::DeviceObject* physical, ULONG deviceState);

// Target device change events for the owners of handles on a device (what
// user mode registers for with a device handle filter).
enum class TargetEvent { QueryRemove, QueryRemoveFailed, RemovePending, RemoveComplete };
// Delivers the event for the device on the physical device object to whoever
// registered for it and, for a query-remove, waits for their answers: false
// when one of them vetoed. One watcher (the configuration manager's); nullptr
// removes it.
using TargetWatcher = bool (*)(io::DeviceObject* physical, TargetEvent event);
void SetTargetWatcher(TargetWatcher watcher);
// What the Plug and Play manager calls: true when nobody vetoed (or nobody listens).
bool NotifyTarget(io::DeviceObject* physical, TargetEvent event);

// A driver's passing of a packet to the device below, waited for: the
// packet comes back to the caller (its completion stops on the way up), with
// the lower drivers' status, for the caller to finish and complete.
NTSTATUS ForwardAndWait(io::DeviceObject* lower, io::Irp* irp);

}  // namespace plat::pnp
