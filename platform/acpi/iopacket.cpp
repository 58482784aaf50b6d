/* I/O-control packets between the framework's I/O target and the device below. */
#include "acpi/iopacket.h"

#include <algorithm>
#include <cstring>

#include "machine/clock.h"

namespace plat::acpi {

IoPacket::IoPacket(ULONG ioControlCode_, const void* input, size_t inputLength_, size_t outputLength_)
    : ioControlCode(ioControlCode_),
      inputLength(inputLength_),
      outputLength(outputLength_),
      systemBuffer_(std::max<size_t>(std::max(inputLength_, outputLength_), 1), 0)
{
    if (inputLength_ != 0) {
        std::memcpy(systemBuffer_.data(), input, inputLength_);
    }
}

bool IoPacket::Complete(NTSTATUS status, size_t information, const uint8_t* output, size_t outputBytes)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (done_ || cancelled_) {
        return false;
    }
    size_t bytes = std::min(outputBytes, outputLength);
    if (bytes != 0) {
        std::memcpy(systemBuffer_.data(), output, bytes);
    }
    status_ = status;
    information_ = information;
    done_ = true;
    completed_.notify_all();
    return true;
}

// The deadline is checked against the machine clock after every wake-up, so a
// clock that runs faster than real time shortens the real wait accordingly.
bool IoPacket::Await(const Clock& clock, const LONGLONG* deadline)
{
    std::unique_lock<std::mutex> guard(lock_);
    if (deadline == nullptr) {
        completed_.wait(guard, [this] { return done_; });
        return true;
    }
    while (!done_) {
        LONGLONG remaining = *deadline - clock.Now();
        if (remaining <= 0) {
            cancelled_ = true;
            return false;
        }
        completed_.wait_for(guard, clock.ToReal(remaining));
    }
    return true;
}

NTSTATUS IoPacket::Status() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return status_;
}

size_t IoPacket::Information() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return information_;
}

}  // namespace plat::acpi
