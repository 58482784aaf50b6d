/*
 * An I/O-control request on its way to the device below, with METHOD_BUFFERED
 * semantics: one system buffer of max(input, output) bytes that the request
 * owns. The sender copies the input in, the device below completes the packet
 * once (from any thread) with a status, an information count and its output,
 * and the sender copies the output back.
 *
 * A sender that gives up (a time-out) cancels the packet: a completion that
 * comes later is dropped, so nothing is ever written into a buffer whose
 * owner has stopped waiting.
 */
#pragma once
#include <ntdef.h>
#include <ntstatus.h>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace plat {
class Clock;
}

namespace plat::acpi {

class IoPacket {
public:
    IoPacket(ULONG ioControlCode, const void* input, size_t inputLength, size_t outputLength);
    IoPacket(const IoPacket&) = delete;
    IoPacket& operator=(const IoPacket&) = delete;

    const ULONG ioControlCode;
    const size_t inputLength;
    const size_t outputLength;

    // The input as the sender copied it in; read by the device below before it completes.
    const uint8_t* Input() const { return systemBuffer_.data(); }

    // Completes the packet with output[0, outputBytes) written to the start of the
    // system buffer (cut to the output length). False when it was already
    // completed or cancelled: then nothing is written.
    bool Complete(NTSTATUS status, size_t information, const uint8_t* output = nullptr, size_t outputBytes = 0);

    // Waits for completion. With a deadline (machine time, 100-ns units) the
    // packet is cancelled when the deadline passes first; false then.
    bool Await(const Clock& clock, const LONGLONG* deadline);

    // After a completed Await: the outcome and the system buffer.
    NTSTATUS Status() const;
    size_t Information() const;
    const uint8_t* SystemBuffer() const { return systemBuffer_.data(); }

private:
    mutable std::mutex lock_;
    std::condition_variable completed_;
    bool done_ = false;
    bool cancelled_ = false;
    NTSTATUS status_ = STATUS_PENDING;
    size_t information_ = 0;
    std::vector<uint8_t> systemBuffer_;
};

}  // namespace plat::acpi
