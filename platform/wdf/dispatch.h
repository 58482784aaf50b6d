/*
 * The framework's dispatch routines for the I/O manager's packets. The
 * device-control routine takes the packet as a framework request: it calls
 * EvtIoInCallerContext first when the driver has one (on the requestor's
 * thread, in its process), then gives the request to the device's default
 * queue (wdf/queue). A powered queue presents it at once, on the same
 * thread, at PASSIVE_LEVEL; a parallel queue serialises nothing. A
 * power-managed queue whose device is out of D0 holds the request (the
 * packet is pending, its sender waits) and presents it from the framework's
 * power-up path, on the thread that powers the device up, which runs in the
 * System process.
 *
 * The path allocates nothing and takes no lock of its own while the queue is
 * powered: the request comes from the thread's cache.
 */
#pragma once
#include <wdf.h>

#include "ntos/io/irp.h"

namespace plat::wdf {

// IRP_MJ_DEVICE_CONTROL for a framework device.
NTSTATUS DispatchDeviceControl(io::DeviceObject* deviceObject, io::Irp* irp);
// Reads and writes go to the default queue as KMDF's I/O package sends them:
// a queue without a callback for the type (EvtIoRead, EvtIoWrite,
// EvtIoDefault) has the framework complete the request with
// STATUS_INVALID_DEVICE_REQUEST; a zero-length one completes with
// STATUS_SUCCESS unless the queue allows zero-length requests. (The stand-in
// presents device controls only: a read or write a callback would take fails
// with STATUS_NOT_SUPPORTED.)
NTSTATUS DispatchReadWrite(io::DeviceObject* deviceObject, io::Irp* irp);
// Every other major function no package of the framework owns (flush, lock,
// query and set information, ...): KMDF's default handler completes it with
// STATUS_INVALID_DEVICE_REQUEST for a function driver (a filter's would pass it down).
NTSTATUS DispatchUnhandled(io::DeviceObject* deviceObject, io::Irp* irp);

}  // namespace plat::wdf
