/*
 * Queue dispatch: a device control sent on a device's handle is presented to
 * the device's default queue on the sender's own thread, in the sender's
 * process, at PASSIVE_LEVEL. A parallel queue serialises nothing. A
 * power-managed queue holds requests while its device is out of D0; the
 * sender waits until the device is back (a device control is synchronous).
 *
 * The path allocates nothing and takes no lock of its own while the queue is
 * powered: the request and its system buffer come from the thread's cache.
 */
#pragma once
#include <wdf.h>

namespace plat::wdf {

struct FxDevice;
struct FxQueue;
struct DeviceFile;

// Sends a device control on a device file and waits for its completion.
// Buffered method: one system buffer of max(in, out) bytes holds the input;
// after completion, unless the status is an error, min(information, out)
// bytes are copied back and *information is that count. For an error status
// *information is what the driver completed the request with; nothing is
// copied back.
NTSTATUS DeviceControl(DeviceFile* file, KPROCESSOR_MODE mode, ULONG code, const void* input, size_t inputLength,
                       void* output, size_t outputLength, ULONG_PTR* information);

// Called by the Plug and Play manager after the device entered D0 (presents
// the held requests) and before it leaves D0 (tells the driver about the
// requests in its callbacks with EvtIoStop, holds new ones, and waits for
// those in progress to complete). Both affect every power-managed queue of the device.
void QueuePowerUp(FxDevice* device);
void QueuePowerDown(FxDevice* device);

// Stops one queue: new requests are held (or, when purging, cancelled),
// EvtIoStop is called for those in the driver, and the call returns once they
// have completed.
void StopQueue(FxQueue* queue, ULONG actionFlags, bool purge);

}  // namespace plat::wdf
