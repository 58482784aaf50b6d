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

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include "machine/host.h"
#include "machine/machine.h"
#include "tvrx.h"
#include "um/client.h"

namespace {

// The device interface's path as a client finds it.
std::wstring DevicePath()
{
    static const GUID guid = {0xEC32F880, 0x677B, 0x49F5, {0x86, 0x5A, 0x87, 0x7B, 0xBB, 0x6F, 0xE6, 0x66}};
    GUID copy = guid;
    ULONG length = 0;
    if (CM_Get_Device_Interface_List_SizeW(&length, &copy, nullptr, CM_GET_DEVICE_INTERFACE_LIST_PRESENT) !=
            CR_SUCCESS ||
        length < 2) {
        return {};
    }
    std::vector<WCHAR> list(length);
    if (CM_Get_Device_Interface_ListW(&copy, nullptr, list.data(), length, CM_GET_DEVICE_INTERFACE_LIST_PRESENT) !=
        CR_SUCCESS) {
        return {};
    }
    return std::wstring(list.data());
}

// The machine's folder in memory where there is such a file system: the
// registry is saved on every change and would otherwise set the pace.
std::filesystem::path MachineFolder()
{
    std::error_code error;
    std::filesystem::path base = std::filesystem::is_directory("/dev/shm", error) ? std::filesystem::path("/dev/shm")
                                                                                   : std::filesystem::temp_directory_path();
    std::string pattern = (base / "tvrx-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    static std::filesystem::path folder;
    folder = pattern;
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    });
    return folder;
}

struct Bed {
    Bed()
    {
        plat::Machine::Options options;
        options.folder = MachineFolder();
        machine = std::make_unique<plat::Machine>(options);
        host = std::make_unique<plat::Host>(*machine);
        if (host->Load() != STATUS_SUCCESS || host->AddDevice() != STATUS_SUCCESS || host->Start() != STATUS_SUCCESS) {
            std::fprintf(stderr, "ioctl_fuzzer: the driver does not start\n");
            std::abort();
        }
        path = DevicePath();
        client = std::make_unique<plat::um::Process>("fuzzer");
        client->Run([&] {
            if (plat::um::OpenDevice(path, GENERIC_READ | GENERIC_WRITE, &handles[4]) != STATUS_SUCCESS) {
                std::abort();
            }
            handles[1] = CreateEventW(nullptr, TRUE, FALSE, L"FuzzEvent");
            handles[2] = OpenEventW(SYNCHRONIZE, FALSE, L"FuzzEvent");
            handles[3] = CreateMutexW(nullptr, FALSE, nullptr);
        });
    }

    std::unique_ptr<plat::Machine> machine;
    std::unique_ptr<plat::Host> host;
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
