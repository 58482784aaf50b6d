/*
 * The miscellaneous-call fuzz test: reads and writes of every length and
 * offset, flushes, byte-range locks, information queries and sets, volume
 * and extended-attribute queries, with zero-length, missing and kernel
 * buffers, on handles with different access. The driver handles none of
 * these; what a client must see is what Windows' I/O manager checks before
 * the driver, then the framework's refusal.
 */
#include <windows.h>

#include <cstring>
#include <vector>

#include "devfund_lab.h"
#include "ntos/io/devicefile.h"
#include "tvrxioctl.h"
#include "um/client.h"

namespace sim::devfund {
namespace {

using plat::io::FileService;
using plat::io::FileServiceCall;

constexpr LONGLONG kUsePosition = -2;  // FILE_USE_FILE_POINTER_POSITION
constexpr LONGLONG kEndOfFile = -1;    // FILE_WRITE_TO_END_OF_FILE

// An information class: its least buffer on 64-bit Windows and the access it
// asks of the handle (NtQueryInformationFile, NtSetInformationFile,
// NtQueryVolumeInformationFile).
struct InfoClass {
    ULONG value;
    ULONG length;
    ACCESS_MASK access;
};
// FileBasic, FileStandard, FileInternal, FileEa, FileAccess, FileName,
// FilePosition, FileMode, FileAlignment, FileNetworkOpen, FileAttributeTag.
const InfoClass kQuery[] = {{4, 40, FILE_READ_ATTRIBUTES}, {5, 24, 0}, {6, 8, 0}, {7, 4, 0}, {8, 4, 0}, {9, 8, 0},
                            {14, 8, 0}, {16, 4, 0}, {17, 4, 0}, {34, 56, FILE_READ_ATTRIBUTES},
                            {35, 8, FILE_READ_ATTRIBUTES}};
// FileBasic, FileRename, FileDisposition, FilePosition, FileAllocation, FileEndOfFile.
const InfoClass kSet[] = {{4, 40, FILE_WRITE_ATTRIBUTES}, {10, 24, DELETE}, {13, 1, DELETE},
                          {14, 8, 0}, {19, 8, FILE_WRITE_DATA}, {20, 8, FILE_WRITE_DATA}};
// FileFsVolume, FileFsSize, FileFsAttribute, FileFsFullSize.
const InfoClass kVolume[] = {{1, 24, 0}, {3, 24, 0}, {5, 16, 0}, {7, 32, 0}};
// Classes each service refuses: none, the directory classes, the set-only
// ones for a query, the query-only ones for a set, and past the last.
const ULONG kNotQueryClasses[] = {0, 1, 2, 3, 10, 13, 19, 20, 200, 0x7FFFFFFF};
const ULONG kNotSetClasses[] = {0, 5, 6, 8, 9, 200};
const ULONG kNotVolumeClasses[] = {0, 2, 200};

struct Handle {
    const char* name;
    ACCESS_MASK granted;
    bool synchronous;
    HANDLE handle;
};

bool Allows(ACCESS_MASK granted, ACCESS_MASK anyOf) { return anyOf == 0 || (granted & anyOf) != 0; }

bool Bad(const void* buffer, ULONG length)
{
    return length != 0 && (buffer == nullptr || IsKernelAddress(buffer));
}

// What Windows documents for the call: the I/O manager's checks in its
// order, then the framework's refusal of a request the driver has no
// callback for (STATUS_INVALID_DEVICE_REQUEST).
NTSTATUS Documented(const FileServiceCall& call, const Handle& h)
{
    ACCESS_MASK access = 0;
    switch (call.service) {
    case FileService::Read:
        access = FILE_READ_DATA;
        break;
    case FileService::Write:
    case FileService::Flush:
        access = FILE_WRITE_DATA | FILE_APPEND_DATA;
        break;
    case FileService::Lock:
    case FileService::Unlock:
        access = FILE_READ_DATA | FILE_WRITE_DATA;
        break;
    case FileService::QueryEa:
        access = FILE_READ_EA;
        break;
    default: {
        // The class and length first, then the buffer, then the handle's access.
        const InfoClass* table = call.service == FileService::QueryInformation ? kQuery
                                 : call.service == FileService::SetInformation ? kSet
                                                                                 : kVolume;
        size_t count = call.service == FileService::QueryInformation ? std::size(kQuery)
                       : call.service == FileService::SetInformation ? std::size(kSet)
                                                                       : std::size(kVolume);
        const InfoClass* rule = nullptr;
        for (size_t i = 0; i < count; ++i) {
            rule = table[i].value == call.informationClass ? &table[i] : rule;
        }
        if (rule == nullptr) {
            return STATUS_INVALID_INFO_CLASS;
        }
        if (call.length < rule->length) {
            return STATUS_INFO_LENGTH_MISMATCH;
        }
        if (Bad(call.buffer, call.length)) {
            return STATUS_ACCESS_VIOLATION;
        }
        if ((h.granted & rule->access) != rule->access) {
            return STATUS_ACCESS_DENIED;
        }
        // Answered by the I/O manager: the access, the mode, the alignment, and a synchronous file's position.
        ULONG c = call.informationClass;
        if (call.service == FileService::QueryInformation && (c == 8 || c == 16 || c == 17 || (c == 14 && h.synchronous))) {
            return STATUS_SUCCESS;
        }
        if (call.service == FileService::SetInformation && c == 14 && h.synchronous) {
            LONGLONG position;
            std::memcpy(&position, call.buffer, sizeof(position));
            return position < 0 ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
        }
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    }
    if (!Allows(h.granted, access)) {
        return STATUS_ACCESS_DENIED;
    }
    bool locking = call.service == FileService::Lock || call.service == FileService::Unlock;
    if (locking ? call.byteOffset == nullptr : Bad(call.buffer, call.length)) {
        return STATUS_ACCESS_VIOLATION;
    }
    if (call.service == FileService::Read || call.service == FileService::Write) {
        // Without an offset (or with FILE_USE_FILE_POINTER_POSITION) only a synchronous file has a position.
        if (call.byteOffset == nullptr || *call.byteOffset == kUsePosition) {
            if (!h.synchronous) {
                return STATUS_INVALID_PARAMETER;
            }
        } else if (*call.byteOffset < 0 && !(call.service == FileService::Write && *call.byteOffset == kEndOfFile)) {
            return STATUS_INVALID_PARAMETER;
        }
    }
    return STATUS_INVALID_DEVICE_REQUEST;
}

struct Fuzzer {
    Lab& lab;
    std::vector<UCHAR> buffer = std::vector<UCHAR>(65536 + 16);

    void Call(const Handle& h, FileServiceCall call, const char* what)
    {
        ULONG_PTR information = 0;
        NTSTATUS status = plat::io::CallFileService(h.handle, UserMode, call, &information);
        lab.Count();
        std::string step = std::string(what) + " on a handle " + h.name;
        NTSTATUS documented = Documented(call, h);
        if (!lab.Expect(step, status, documented) || !NT_SUCCESS(status)) {
            return;
        }
        CheckAnswer(h, call, information, step);
    }

    // The I/O manager's own answers hold what the handle was opened with.
    void CheckAnswer(const Handle& h, const FileServiceCall& call, ULONG_PTR information, const std::string& step)
    {
        if (call.service != FileService::QueryInformation) {
            return;
        }
        ULONG value = 0;
        std::memcpy(&value, call.buffer, sizeof(value));
        ULONG expected = call.informationClass == 8    ? h.granted
                         : call.informationClass == 16 ? (h.synchronous ? FILE_SYNCHRONOUS_IO_NONALERT : 0)
                                                        : 0;
        if (call.informationClass != 14 && (value != expected || information != sizeof(ULONG))) {
            lab.Fail(step, "information class " + std::to_string(call.informationClass) + " answered " +
                               std::to_string(value) + " (" + std::to_string(information) + " bytes), expected " +
                               std::to_string(expected));
        }
    }

    void* Pick(unsigned which) const
    {
        return which == 0 ? const_cast<UCHAR*>(buffer.data()) : which == 1 ? nullptr : KernelAddress(which);
    }

    void Transfers(const Handle& h)
    {
        static const ULONG lengths[] = {0, 1, 3, 4, 16, 4095, 4096, 65536};
        static const LONGLONG offsets[] = {0, 1, 4096, 1ll << 40, kUsePosition, kEndOfFile, -5};
        for (FileService service : {FileService::Read, FileService::Write}) {
            for (ULONG length : lengths) {
                for (unsigned which = 0; which < 4; ++which) {
                    for (int o = -1; o < int(std::size(offsets)); ++o) {
                        FileServiceCall call{service, Pick(which), length, 0, o < 0 ? nullptr : &offsets[o]};
                        Call(h, call, service == FileService::Read ? "NtReadFile" : "NtWriteFile");
                    }
                }
            }
        }
        Call(h, FileServiceCall{FileService::Flush, nullptr, 0, 0, nullptr}, "NtFlushBuffersFile");
        static const LONGLONG lockOffsets[] = {0, 100};
        for (FileService service : {FileService::Lock, FileService::Unlock}) {
            for (ULONG length : {1u, 4096u}) {
                for (int o = -1; o < 2; ++o) {
                    Call(h, FileServiceCall{service, nullptr, length, 0, o < 0 ? nullptr : &lockOffsets[o]},
                         service == FileService::Lock ? "NtLockFile" : "NtUnlockFile");
                }
            }
        }
    }

    void Information(const Handle& h, FileService service, const InfoClass* classes, size_t count,
                     const ULONG* refused, size_t refusedCount, const char* what)
    {
        std::vector<ULONG> all;
        for (size_t i = 0; i < count; ++i) {
            all.push_back(classes[i].value);
        }
        all.insert(all.end(), refused, refused + refusedCount);
        for (ULONG informationClass : all) {
            for (ULONG length : {0u, 1u, 3u, 7u, 8u, 23u, 24u, 40u, 56u, 512u}) {
                for (unsigned which = 0; which < 4; ++which) {
                    std::memset(buffer.data(), 0, 16);
                    Call(h, FileServiceCall{service, Pick(which), length, informationClass, nullptr}, what);
                }
            }
        }
    }

    // A synchronous file's position is the I/O manager's: set, then read back.
    void Position(const Handle& h)
    {
        LONGLONG position = 4096;
        ULONG_PTR information = 0;
        FileServiceCall set{FileService::SetInformation, &position, sizeof(position), 14, nullptr};
        lab.Expect("set the position", plat::io::CallFileService(h.handle, UserMode, set, &information),
                   STATUS_SUCCESS);
        LONGLONG read = -1;
        FileServiceCall query{FileService::QueryInformation, &read, sizeof(read), 14, nullptr};
        if (lab.Expect("query the position", plat::io::CallFileService(h.handle, UserMode, query, &information),
                       STATUS_SUCCESS) &&
            read != position) {
            lab.Fail("query the position", "read back " + std::to_string(read) + " after setting 4096");
        }
        position = 0;
        plat::io::CallFileService(h.handle, UserMode, set, &information);
    }
};

}  // namespace

void MiscApi(Lab& lab)
{
    plat::um::Process service("misc-api");
    plat::um::Process user("misc-api-user", plat::se::TokenKind::User);
    struct Open {
        plat::um::Process* process;
        const char* name;
        ACCESS_MASK access;
        ULONG options;
    };
    const Open opens[] = {
        {&service, "opened for reading and writing", GENERIC_READ | GENERIC_WRITE, FILE_SYNCHRONOUS_IO_NONALERT},
        {&service, "opened for overlapped I/O", GENERIC_READ | GENERIC_WRITE, 0},
        {&user, "opened for reading", GENERIC_READ, FILE_SYNCHRONOUS_IO_NONALERT},
        {&service, "opened for attributes only", FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_SYNCHRONOUS_IO_NONALERT},
    };
    Fuzzer fuzzer{lab};
    for (const Open& open : opens) {
        lab.Step(std::string("miscellaneous calls on a handle ") + open.name);
        open.process->Run([&] {
            Handle h{open.name, 0, open.options != 0, nullptr};
            if (!lab.Expect(std::string("open ") + open.name,
                            plat::um::OpenDevice(lab.Path(), open.access, &h.handle, open.options), STATUS_SUCCESS)) {
                return;
            }
            // The device's descriptor grants each of these opens what it asks for.
            h.granted = MapFileGeneric(open.access);
            fuzzer.Transfers(h);
            fuzzer.Information(h, FileService::QueryInformation, kQuery, std::size(kQuery), kNotQueryClasses,
                               std::size(kNotQueryClasses), "NtQueryInformationFile");
            fuzzer.Information(h, FileService::SetInformation, kSet, std::size(kSet), kNotSetClasses,
                               std::size(kNotSetClasses), "NtSetInformationFile");
            fuzzer.Information(h, FileService::QueryVolumeInformation, kVolume, std::size(kVolume),
                               kNotVolumeClasses, std::size(kNotVolumeClasses), "NtQueryVolumeInformationFile");
            for (ULONG length : {0u, 4u, 64u}) {
                for (unsigned which = 0; which < 4; ++which) {
                    fuzzer.Call(h, FileServiceCall{FileService::QueryEa, fuzzer.Pick(which), length}, "NtQueryEaFile");
                }
            }
            if (h.synchronous) {
                fuzzer.Position(h);
            }
            // The handle is still a working client, and closes cleanly.
            TVRX_DEVICE_MODE_ENTRY_INFO entry{};
            lab.Expect(std::string("entry query after the miscellaneous calls on a handle ") + open.name,
                       plat::um::IoControl(h.handle, IOCTL_TVRX_GET_DEVICE_MODE_ENTRY, nullptr, 0, &entry,
                                           sizeof(entry), nullptr),
                       STATUS_SUCCESS);
            CloseHandle(h.handle);
        });
    }
    lab.Step("remove after the miscellaneous calls");
    lab.Expect("remove the device after the miscellaneous calls", lab.Host().Remove(), STATUS_SUCCESS);
}

}  // namespace sim::devfund
