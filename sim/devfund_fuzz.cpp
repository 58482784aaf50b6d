/*
 * The fuzz tests: opens and closes of every kind a user can ask for, device
 * controls with zero-length and kernel-address buffers, and seeded random
 * device controls, each checked against the documented status.
 */
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include "devfund_lab.h"
#include "tvrxioctl.h"
#include "um/client.h"

// Flags and options of <windows.h> and <wdm.h> the simulated machine's headers leave out, with the SDK's values.
#ifndef FILE_FLAG_WRITE_THROUGH
#define FILE_FLAG_WRITE_THROUGH 0x80000000
#endif
#ifndef FILE_FLAG_NO_BUFFERING
#define FILE_FLAG_NO_BUFFERING 0x20000000
#endif
#ifndef FILE_FLAG_BACKUP_SEMANTICS
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000
#endif
#ifndef FILE_RANDOM_ACCESS
#define FILE_RANDOM_ACCESS 0x00000800
#endif

namespace sim::devfund {
namespace {

constexpr ACCESS_MASK kReadWrite = FILE_GENERIC_READ | FILE_GENERIC_WRITE;
constexpr unsigned kThreads = 4;

// What the device's security descriptor grants an account of the kind, in
// file rights (the driver package's: all to SYSTEM and Administrators, read
// and write to the service accounts, read to any other signed-in user).
ACCESS_MASK Allowed(plat::se::TokenKind kind)
{
    switch (kind) {
    case plat::se::TokenKind::System:
    case plat::se::TokenKind::Administrator:
        return FILE_ALL_ACCESS;
    case plat::se::TokenKind::LocalService:
    case plat::se::TokenKind::NetworkService:
        return kReadWrite;
    default:
        return FILE_GENERIC_READ;
    }
}


// The status of an open asking for `desired`: granted when every right asked
// for is allowed (MAXIMUM_ALLOWED asks for what is allowed), else refused.
NTSTATUS DocumentedOpen(plat::se::TokenKind kind, ACCESS_MASK desired)
{
    ACCESS_MASK asked = MapFileGeneric(desired) & ~MAXIMUM_ALLOWED;
    return (asked & ~Allowed(kind)) == 0 ? STATUS_SUCCESS : STATUS_ACCESS_DENIED;
}

// A working client: its handle answers the entry query.
bool Answers(Lab& lab, const std::string& step, HANDLE handle)
{
    TVRX_DEVICE_MODE_ENTRY_INFO entry{};
    ULONG_PTR information = 0;
    NTSTATUS status = plat::um::IoControl(handle, IOCTL_TVRX_GET_DEVICE_MODE_ENTRY, nullptr, 0, &entry,
                                          sizeof(entry), &information);
    lab.Count();
    return lab.Expect(step + ": entry query", status, STATUS_SUCCESS);
}

// Every combination of access, sharing, disposition and flags CreateFileW takes.
void Win32Opens(Lab& lab, plat::se::TokenKind kind, const char* account)
{
    static const DWORD accesses[] = {0,
                                     GENERIC_READ,
                                     GENERIC_WRITE,
                                     GENERIC_READ | GENERIC_WRITE,
                                     GENERIC_EXECUTE,
                                     GENERIC_ALL,
                                     FILE_READ_DATA,
                                     FILE_WRITE_DATA,
                                     FILE_READ_ATTRIBUTES,
                                     SYNCHRONIZE,
                                     READ_CONTROL,
                                     DELETE,
                                     WRITE_DAC,
                                     MAXIMUM_ALLOWED};
    static const DWORD shares[] = {0, FILE_SHARE_READ, FILE_SHARE_WRITE, FILE_SHARE_DELETE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE};
    static const DWORD flags[] = {0, FILE_ATTRIBUTE_NORMAL, FILE_FLAG_OVERLAPPED,
                                  FILE_FLAG_WRITE_THROUGH | FILE_FLAG_NO_BUFFERING, FILE_FLAG_BACKUP_SEMANTICS};
    plat::um::Process client(std::string("fuzz-") + account, kind);
    client.Run([&] {
        for (DWORD access : accesses) {
            for (DWORD share : shares) {
                for (DWORD disposition = 0; disposition <= TRUNCATE_EXISTING + 1; ++disposition) {
                    for (DWORD flag : flags) {
                        std::string step = std::string("CreateFileW as ") + account + " access " +
                                           std::to_string(access) + " share " + std::to_string(share) +
                                           " disposition " + std::to_string(disposition) + " flags " +
                                           std::to_string(flag);
                        // CreateFileW refuses a disposition it does not know; the other
                        // flags and attributes do not change whether a device opens.
                        NTSTATUS documented = DocumentedOpen(kind, access);
                        DWORD error = ERROR_SUCCESS;
                        if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
                            error = ERROR_INVALID_PARAMETER;
                        } else if (documented != STATUS_SUCCESS) {
                            error = ERROR_ACCESS_DENIED;
                        }
                        HANDLE handle =
                            CreateFileW(lab.Path().c_str(), access, share, nullptr, disposition, flag, nullptr);
                        DWORD got = handle == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
                        lab.Count();
                        if (got != error) {
                            lab.Fail(step, "Win32 error " + std::to_string(got) + ", documented " +
                                               std::to_string(error));
                        }
                        if (handle != INVALID_HANDLE_VALUE) {
                            Answers(lab, step, handle);
                            if (!CloseHandle(handle)) {
                                lab.Fail(step, "CloseHandle failed");
                            }
                        }
                        if (lab.Failed()) {
                            return;
                        }
                    }
                }
            }
        }
    });
}

// NtCreateFile of the interface and of names below it, with each create
// option; the synchronous-I/O options both at once, or either without
// SYNCHRONIZE, are refused before the name is looked at.
void NativeOpens(Lab& lab)
{
    const std::wstring& path = lab.Path();
    std::wstring kernel = plat::um::KernelPath(path);
    const std::wstring names[] = {path, L"\\\\.\\" + path.substr(4), kernel, path + L"\\", path + L"\\x",
                                  path + L"\\a\\b\\c.txt", path + L"\\" + std::wstring(200, L'n')};
    static const ULONG options[] = {0, FILE_SYNCHRONOUS_IO_NONALERT, FILE_SYNCHRONOUS_IO_ALERT,
                                    FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT,
                                    FILE_WRITE_THROUGH | FILE_SEQUENTIAL_ONLY, FILE_RANDOM_ACCESS};
    plat::um::Process client("fuzz-native");
    client.Run([&] {
        for (const std::wstring& name : names) {
            for (ULONG option : options) {
                std::string step = "NtCreateFile of a name " + std::to_string(name.size() - path.size()) +
                                   " characters past the interface, options " + std::to_string(option);
                // A name below the device is checked as the device is (FILE_DEVICE_SECURE_OPEN) and reaches
                // the driver, which does not look at names.
                HANDLE handle = nullptr;
                NTSTATUS status =
                    plat::um::NtOpenDevice(name, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, option, &handle);
                lab.Count();
                if (lab.Expect(step, status, STATUS_SUCCESS)) {
                    Answers(lab, step, handle);
                    CloseHandle(handle);
                }
            }
            const struct {
                ACCESS_MASK access;
                ULONG options;
            } refused[] = {{GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE,
                            FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT},
                           {GENERIC_READ | GENERIC_WRITE, FILE_SYNCHRONOUS_IO_NONALERT},
                           {GENERIC_READ, FILE_SYNCHRONOUS_IO_ALERT}};
            for (const auto& open : refused) {
                HANDLE handle = nullptr;
                NTSTATUS status = plat::um::NtOpenDevice(name, open.access, open.options, &handle);
                lab.Count();
                if (!lab.Expect("NtCreateFile with both synchronous-I/O options, or one without SYNCHRONIZE", status,
                                STATUS_INVALID_PARAMETER)) {
                    CloseHandle(handle);
                }
            }
        }
        // Names that are not the interface's.
        std::wstring other = path;
        other[other.size() - 2] = other[other.size() - 2] == L'6' ? L'7' : L'6';  // another interface class
        const std::wstring wrong[] = {path + L"x", path.substr(0, path.size() - 1), other, L"\\\\?\\ACPI#TVRX0001"};
        for (const std::wstring& name : wrong) {
            HANDLE handle = nullptr;
            NTSTATUS status = plat::um::OpenDevice(name, GENERIC_READ, &handle);
            lab.Count();
            if (!lab.Expect("NtCreateFile of a name that is not the interface's", status,
                            STATUS_OBJECT_NAME_NOT_FOUND)) {
                CloseHandle(handle);
            }
        }
    });
}

// Opens, requests and closes from several threads at once until the budget
// is spent, each thread keeping up to three handles and closing them in a
// random order.
void OpenCloseStress(Lab& lab)
{
    plat::um::Process client("fuzz-stress");
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < kThreads; ++t) {
        threads.push_back(client.Thread([&lab, t] {
            std::mt19937_64 random = lab.Generator(t);
            std::vector<HANDLE> open;
            do {
                for (int i = 0; i < 64; ++i) {
                    if (open.size() < 3 && (open.empty() || random() % 2 == 0)) {
                        HANDLE handle = nullptr;
                        NTSTATUS status = plat::um::OpenDevice(lab.Path(), GENERIC_READ | GENERIC_WRITE, &handle,
                                                               random() % 2 ? FILE_SYNCHRONOUS_IO_NONALERT : 0);
                        lab.Count();
                        if (lab.Expect("open under stress", status, STATUS_SUCCESS)) {
                            open.push_back(handle);
                        }
                    } else {
                        size_t which = random() % open.size();
                        if (random() % 2) {
                            Answers(lab, "request under stress", open[which]);
                        }
                        CloseHandle(open[which]);
                        open.erase(open.begin() + which);
                    }
                }
            } while (lab.TimeLeft());
            for (HANDLE handle : open) {
                CloseHandle(handle);
            }
        }));
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
}

// The buffers of one fuzzed device control: valid, missing or in the kernel's space.
struct Buffer {
    void* pointer;
    ULONG length;
};

NTSTATUS SendChecked(Lab& lab, const std::string& step, HANDLE handle, ACCESS_MASK granted, ULONG code, Buffer in,
                     Buffer out, bool eventValid, bool inService)
{
    ULONG_PTR documentedInformation = 0;
    NTSTATUS documented = DocumentedIoControl(code, in.pointer, in.length, out.pointer, out.length, granted,
                                              eventValid, &documentedInformation);
    ULONG_PTR information = 0;
    NTSTATUS status = plat::um::IoControl(handle, code, in.pointer, in.length, out.pointer, out.length, &information);
    lab.Count();
    auto where = [](const Buffer& buffer) {
        std::string at = buffer.pointer == nullptr         ? "NULL"
                         : IsKernelAddress(buffer.pointer) ? "a kernel address"
                                                           : "the caller's memory";
        return std::to_string(buffer.length) + " bytes at " + at;
    };
    auto describe = [&] {
        return "code " + Hex(code) + ", input " + where(in) + ", output " + where(out) + ": saw " +
               Hex(uint32_t(status)) + ", documented " + Hex(uint32_t(documented));
    };
    if (inService) {
        if (status != documented) {
            lab.Fail(step, describe());
        }
        if (lab.Expect(step, status, documented) && information != documentedInformation) {
            lab.Fail(step, "code " + Hex(code) + " returned " + std::to_string(information) +
                               " bytes, documented " + std::to_string(documentedInformation));
        }
    } else {
        // Around a change of power or Plug and Play state a request may also
        // find the device failed or gone, or be cancelled while it waited.
        lab.Expect(step, status,
                   {documented, STATUS_INVALID_DEVICE_STATE, STATUS_CANCELLED, STATUS_DEVICE_DOES_NOT_EXIST});
    }
    return status;
}

// The codes near the driver's four: the same function with another device
// type, method or access, a neighbouring function, or the code itself.
ULONG NearCode(std::mt19937_64& random)
{
    static const ULONG codes[] = {IOCTL_TVRX_SET_REGULATORY_TYPE, IOCTL_TVRX_GET_DEVICE_MODE_ENTRY,
                                  IOCTL_TVRX_GET_DEVICE_MODE_TABLE_INFO, IOCTL_TVRX_SET_EVENT};
    ULONG code = codes[random() % 4];
    switch (random() % 6) {
    case 0:
        return code ^ ((random() % 3 + 1));  // another method
    case 1:
        return code ^ (ULONG(random() % 3 + 1) << 14);  // another access
    case 2:
        return (code & 0xFFFF) | (ULONG(random() % 0x10000) << 16);  // another device type
    case 3:
        return code + ((random() % 2 ? 4u : 0u - 4u) * ULONG(random() % 3 + 1));  // a neighbouring function
    default:
        return code;
    }
}

}  // namespace

ACCESS_MASK MapFileGeneric(ACCESS_MASK desired)
{
    ACCESS_MASK mapped = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    mapped |= (desired & GENERIC_READ) ? FILE_GENERIC_READ : 0;
    mapped |= (desired & GENERIC_WRITE) ? FILE_GENERIC_WRITE : 0;
    mapped |= (desired & GENERIC_EXECUTE) ? FILE_GENERIC_EXECUTE : 0;
    mapped |= (desired & GENERIC_ALL) ? FILE_ALL_ACCESS : 0;
    return mapped;
}

void IoctlFuzzRound(Lab& lab, std::mt19937_64& random, HANDLE handle, ACCESS_MASK granted, const std::string& step,
                    bool inService)
{
    HANDLE event = nullptr;  // created when a registration first needs one
    alignas(8) UCHAR input[80];
    alignas(8) UCHAR output[80];
    for (int i = 0; i < 32; ++i) {
        ULONG code = random() % 3 == 0 ? ULONG(random()) : NearCode(random);
        for (UCHAR& byte : input) {
            byte = UCHAR(random());
        }
        // Small values where the driver reads a number, sometimes.
        if (random() % 2) {
            ULONG small = ULONG(random() % 5);
            std::memcpy(input, &small, sizeof(small));
        }
        bool eventValid = false;
        if (code == IOCTL_TVRX_SET_EVENT && random() % 4 == 0) {
            if (event == nullptr) {
                event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
            }
            TVRX_SET_EVENT_INPUT registration{(UINT64)(ULONG_PTR)event};
            std::memcpy(input, &registration, sizeof(registration));
            eventValid = true;
        }
        auto pick = [&](UCHAR* buffer) {
            ULONG length = random() % 4 == 0 ? 0 : ULONG(random() % (sizeof(input) + 1));
            switch (random() % 8) {
            case 0:
                return Buffer{nullptr, random() % 2 ? 0 : length};
            case 1:
                return Buffer{KernelAddress(unsigned(random())), length};
            default:
                return Buffer{buffer, length};
            }
        };
        Buffer in = pick(input);
        Buffer out = random() % 8 == 0 ? Buffer{input, in.length} : pick(output);  // sometimes the same buffer
        if (out.pointer == input && in.pointer != input) {
            out.pointer = output;
        }
        SendChecked(lab, step, handle, granted, code, in, out, eventValid, inService);
    }
    if (event != nullptr) {
        CloseHandle(event);
    }
}

bool ClientRound(Lab& lab, const std::string& step, HANDLE handle, ACCESS_MASK granted, HANDLE event,
                 bool inService)
{
    TVRX_SET_EVENT_INPUT registration{(UINT64)(ULONG_PTR)event};
    TVRX_DEVICE_MODE_ENTRY_INFO entry{};
    ULONG index = 1;
    TVRX_DEVICE_MODE_TABLE_INFO table{};
    UCHAR outputs[64];
    bool fine = true;
    fine &= SendChecked(lab, step + ": set event", handle, granted, IOCTL_TVRX_SET_EVENT,
                        Buffer{&registration, sizeof(registration)}, Buffer{nullptr, 0}, true, inService) !=
            STATUS_PENDING;
    fine &= SendChecked(lab, step + ": entry", handle, granted, IOCTL_TVRX_GET_DEVICE_MODE_ENTRY, Buffer{nullptr, 0},
                        Buffer{&entry, sizeof(entry)}, false, inService) != STATUS_PENDING;
    fine &= SendChecked(lab, step + ": table", handle, granted, IOCTL_TVRX_GET_DEVICE_MODE_TABLE_INFO,
                        Buffer{&index, sizeof(index)}, Buffer{&table, sizeof(table)}, false, inService) !=
            STATUS_PENDING;
    fine &= SendChecked(lab, step + ": short output", handle, granted, IOCTL_TVRX_GET_DEVICE_MODE_ENTRY,
                        Buffer{nullptr, 0}, Buffer{outputs, 15}, false, inService) != STATUS_PENDING;
    return fine && !lab.Failed();
}

void FuzzOpenClose(Lab& lab)
{
    lab.Step("CreateFileW combinations");
    Win32Opens(lab, plat::se::TokenKind::LocalService, "LocalService");
    Win32Opens(lab, plat::se::TokenKind::User, "a standard user");
    lab.Step("NtCreateFile of names and options");
    NativeOpens(lab);
    lab.Step("open and close from several threads");
    OpenCloseStress(lab);
    // Nothing of the opens is left: an orderly removal is not vetoed.
    lab.Step("remove after the opens");
    lab.Expect("remove the device after every handle closed", lab.Host().Remove(), STATUS_SUCCESS);
}

void ZeroLengthIoctl(Lab& lab)
{
    static const ULONG deviceTypes[] = {0, 1, FILE_DEVICE_UNKNOWN, 0x27, 0x7FFF, 0x8000, 0xFFFF};
    std::vector<ULONG> functions;
    for (ULONG f = 0; f <= 0x40; ++f) {
        functions.push_back(f);
    }
    for (ULONG f : {0x7FFu, 0x800u, 0x801u, 0xFFFu}) {
        functions.push_back(f);
    }
    UCHAR buffer[16] = {};
    const Buffer variants[][2] = {
        {{nullptr, 0}, {nullptr, 0}},
        {{buffer, 0}, {buffer, 0}},
        {{KernelAddress(0), 0}, {KernelAddress(1), 0}},
        {{nullptr, 0}, {KernelAddress(1), 0}},
        {{KernelAddress(0), 0}, {buffer, sizeof(buffer)}},
        {{buffer, sizeof(buffer)}, {KernelAddress(1), 0}},
        {{KernelAddress(2), 4}, {nullptr, 0}},
        {{nullptr, 0}, {KernelAddress(0), 16}},
        {{KernelAddress(3), 8}, {KernelAddress(1), 8}},
        {{nullptr, 4}, {nullptr, 0}},
    };
    // A service's handle with read and write, and a standard user's with read only.
    struct Caller {
        plat::se::TokenKind kind;
        ACCESS_MASK access;
    };
    for (Caller caller : {Caller{plat::se::TokenKind::LocalService, GENERIC_READ | GENERIC_WRITE},
                          Caller{plat::se::TokenKind::User, GENERIC_READ}}) {
        plat::um::Process client("zero-length");
        client.Run([&] {
            HANDLE handle = nullptr;
            if (!lab.Expect("open", plat::um::OpenDevice(lab.Path(), caller.access, &handle), STATUS_SUCCESS)) {
                return;
            }
            ACCESS_MASK granted = MapFileGeneric(caller.access);
            for (ULONG type : deviceTypes) {
                for (ULONG function : functions) {
                    for (ULONG method = 0; method < 4; ++method) {
                        for (ULONG access = 0; access < 4; ++access) {
                            ULONG code = CTL_CODE(type, function, method, access);
                            lab.Step("zero-length device controls, code " + Hex(code));
                            for (const auto& variant : variants) {
                                SendChecked(lab, "zero-length device control " + Hex(code), handle,
                                            granted, code, variant[0], variant[1], false, true);
                            }
                            if (lab.Failed()) {
                                CloseHandle(handle);
                                return;
                            }
                        }
                    }
                }
            }
            // The handle still works after all of it.
            Answers(lab, "after the zero-length controls", handle);
            CloseHandle(handle);
        });
    }
}

void RandomIoctl(Lab& lab)
{
    lab.Step("random device controls from several threads");
    plat::um::Process client("random-ioctl");
    plat::um::Process user("random-ioctl-user", plat::se::TokenKind::User);
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < kThreads; ++t) {
        bool standard = t % 2 == 1;
        plat::um::Process& process = standard ? user : client;
        threads.push_back(process.Thread([&lab, t, standard] {
            std::mt19937_64 random = lab.Generator(100 + t);
            ACCESS_MASK access = standard ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
            HANDLE handle = nullptr;
            if (!lab.Expect("open", plat::um::OpenDevice(lab.Path(), access, &handle), STATUS_SUCCESS)) {
                return;
            }
            do {
                IoctlFuzzRound(lab, random, handle, MapFileGeneric(access), "random device control", true);
            } while (lab.TimeLeft());
            Answers(lab, "after the random controls", handle);
            CloseHandle(handle);
        }));
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
}

}  // namespace sim::devfund
