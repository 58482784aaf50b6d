/*
 * The I/O-control dispatcher of a started device: any code, any input and
 * output lengths and contents, from a user-mode client or from a kernel
 * component. The input may carry handles of the client's own: an event with
 * full access, the same event opened for waiting only, a mutex, and the
 * device handle itself. Every reply must report no more data than the output
 * buffer holds.
 *
 * Input: [flags][code][input length][output length][handle][data...]
 *   flags   bit 0: sent by a kernel component (KernelMode)
 *   code    0..3 (modulo 8): the four codes of the device; 4..7: the next four
 *           data bytes, little-endian, as the code
 *   handle  modulo 5: 0 none; 1..4 the handle above whose value is put in the
 *           first eight input bytes
 */
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "support/machine.h"
#include "tvrxioctl.h"
#include "um/client.h"

namespace {

struct Bed {
    Bed() : started("ioctl_fuzzer")
    {
        path = tvrx::harness::DevicePath();
        client = std::make_unique<plat::um::Process>("fuzzer");
        client->Run([&] {
            if (tvrx::harness::OpenDevice(GENERIC_READ | GENERIC_WRITE, &handles[4]) != STATUS_SUCCESS) {
                std::abort();
            }
            handles[1] = CreateEventW(nullptr, TRUE, FALSE, L"FuzzEvent");
            handles[2] = OpenEventW(SYNCHRONIZE, FALSE, L"FuzzEvent");
            handles[3] = CreateMutexW(nullptr, FALSE, nullptr);
        });
    }

    tvrx::fuzz::StartedMachine started;
    std::unique_ptr<plat::um::Process> client;
    std::wstring path;
    HANDLE handles[5] = {};
};

Bed* g_bed = nullptr;

constexpr ULONG kCodes[4] = {IOCTL_TVRX_SET_REGULATORY_TYPE, IOCTL_TVRX_GET_DEVICE_MODE_ENTRY,
                             IOCTL_TVRX_GET_DEVICE_MODE_TABLE_INFO, IOCTL_TVRX_SET_EVENT};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    g_bed = new Bed();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 5) {
        return 0;
    }
    bool kernel = data[0] & 1;
    size_t at = 5;
    ULONG code;
    if (data[1] % 8 < 4) {
        code = kCodes[data[1] % 8];
    } else {
        code = 0;
        for (int i = 0; i < 4 && at < size; ++i, ++at) {
            code |= ULONG(data[at]) << (8 * i);
        }
    }
    ULONG inputLength = data[2];
    ULONG outputLength = data[3];
    std::vector<uint8_t> input(inputLength);
    for (size_t i = 0; i < inputLength && at < size; ++i, ++at) {
        input[i] = data[at];
    }
    if (unsigned which = data[4] % 5; which != 0 && inputLength != 0) {
        uint64_t value = (uint64_t)(ULONG_PTR)g_bed->handles[which];
        std::memcpy(input.data(), &value, std::min<size_t>(sizeof value, inputLength));
    }
    std::vector<uint8_t> output(outputLength, 0xA5);

    ULONG_PTR information = 0;
    void* in = inputLength ? input.data() : nullptr;
    void* out = outputLength ? output.data() : nullptr;
    NTSTATUS status;
    if (kernel) {
        status = plat::um::KernelIoControl(g_bed->path, code, in, inputLength, out, outputLength, &information);
        if (NT_SUCCESS(status)) {
            std::fprintf(stderr, "a kernel-mode request was served: 0x%08X\n", (unsigned)status);
            std::abort();
        }
    } else {
        status = g_bed->client->Run([&] {
            return plat::um::IoControl(g_bed->handles[4], code, in, inputLength, out, outputLength, &information);
        });
    }
    if (NT_SUCCESS(status) && information > outputLength) {
        std::fprintf(stderr, "code 0x%08X reported %zu bytes in a buffer of %u\n", (unsigned)code,
                     (size_t)information, (unsigned)outputLength);
        std::abort();
    }
    return 0;
}
