/*
 * The system services of files on devices beside open, device control and
 * close: reads, writes, flushes, byte-range locks, information and
 * extended-attribute queries. Each checks what the I/O manager checks before
 * any packet, in its order, answers what it answers itself, and sends the
 * rest to the device.
 */
#include <algorithm>
#include <cstring>

#include "ntos/io/devicefile.h"
#include "ntos/ke/irql.h"

namespace plat::io {
namespace {

// A caller's buffer: probed from user mode, trusted from kernel mode.
bool Probe(KPROCESSOR_MODE mode, const void* buffer, ULONG length)
{
    return mode == KernelMode || ProbeUserBuffer(buffer, length);
}

// FILE_INFORMATION_CLASS and FS_INFORMATION_CLASS values the services know.
enum : ULONG {
    kFileBasic = 4,
    kFileStandard = 5,
    kFileInternal = 6,
    kFileEa = 7,
    kFileAccess = 8,
    kFileName = 9,
    kFileRename = 10,
    kFileDisposition = 13,
    kFilePosition = 14,
    kFileMode = 16,
    kFileAlignment = 17,
    kFileAllocation = 19,
    kFileEndOfFile = 20,
    kFileNetworkOpen = 34,
    kFileAttributeTag = 35,
    kFsVolume = 1,
    kFsSize = 3,
    kFsDevice = 4,
    kFsAttribute = 5,
    kFsFullSize = 7,
};

// A class of a query or set: the least buffer it takes (the record's size on
// 64-bit Windows) and the access it asks of the handle (the I/O manager's
// tables of operation lengths and access). A class not listed is one the
// service does not take: STATUS_INVALID_INFO_CLASS.
struct ClassRule {
    ULONG informationClass;
    ULONG length;
    ACCESS_MASK access;
};
const ClassRule kQueryClasses[] = {
    {kFileBasic, 40, FILE_READ_ATTRIBUTES}, {kFileStandard, 24, 0}, {kFileInternal, 8, 0},
    {kFileEa, 4, 0}, {kFileAccess, 4, 0}, {kFileName, 8, 0}, {kFilePosition, 8, 0}, {kFileMode, 4, 0},
    {kFileAlignment, 4, 0}, {kFileNetworkOpen, 56, FILE_READ_ATTRIBUTES}, {kFileAttributeTag, 8, FILE_READ_ATTRIBUTES},
};
const ClassRule kSetClasses[] = {
    {kFileBasic, 40, FILE_WRITE_ATTRIBUTES}, {kFileRename, 24, DELETE},        {kFileDisposition, 1, DELETE},
    {kFilePosition, 8, 0},                   {kFileAllocation, 8, FILE_WRITE_DATA}, {kFileEndOfFile, 8, FILE_WRITE_DATA},
};
const ClassRule kVolumeClasses[] = {
    {kFsVolume, 24, 0}, {kFsSize, 24, 0}, {kFsDevice, 8, 0}, {kFsAttribute, 16, 0}, {kFsFullSize, 32, 0},
};

template <size_t N>
const ClassRule* RuleOf(const ClassRule (&rules)[N], ULONG informationClass)
{
    for (const ClassRule& rule : rules) {
        if (rule.informationClass == informationClass) {
            return &rule;
        }
    }
    return nullptr;
}

// The access a service asks of the handle (any one of the rights; 0: none).
ACCESS_MASK AccessOf(FileService service)
{
    switch (service) {
    case FileService::Read:
        return FILE_READ_DATA;
    case FileService::Write:
    case FileService::Flush:
        return FILE_WRITE_DATA | FILE_APPEND_DATA;
    case FileService::Lock:
    case FileService::Unlock:
        return FILE_READ_DATA | FILE_WRITE_DATA;
    case FileService::QueryEa:
        return FILE_READ_EA;
    default:
        return 0;
    }
}

// A read or write's offset: none means the file's position, which only a
// synchronous file has; FILE_USE_FILE_POINTER_POSITION (-2) says the same,
// and a write may also ask for the end of the file (FILE_WRITE_TO_END_OF_FILE,
// -1); any other negative offset is refused.
NTSTATUS CheckOffset(const FileServiceCall& call, const FileObject& file)
{
    if (call.byteOffset == nullptr || *call.byteOffset == -2) {
        return file.synchronous ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    }
    if (*call.byteOffset < 0 && !(call.service == FileService::Write && *call.byteOffset == -1)) {
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

// The classes the I/O manager answers without the driver; false for the others.
bool AnswerQuery(const FileServiceCall& call, FileObject& file, ACCESS_MASK granted, NTSTATUS* status,
                 ULONG_PTR* information)
{
    ULONG value = 0;
    switch (call.informationClass) {
    case kFileAccess:
        value = granted;
        break;
    case kFileMode:
        // The synchronous-I/O mode of the open (an alertable open reads as non-alertable here).
        value = file.synchronous ? FILE_SYNCHRONOUS_IO_NONALERT : 0;
        break;
    case kFileAlignment:
        value = 0;  // FILE_BYTE_ALIGNMENT: the device asks for none
        break;
    case kFilePosition:
        if (!file.synchronous) {
            return false;  // only a synchronous file's position is the I/O manager's
        }
        {
            LONGLONG position = file.currentByteOffset.load();
            std::memcpy(call.buffer, &position, sizeof(position));
        }
        *status = STATUS_SUCCESS;
        *information = sizeof(LONGLONG);
        return true;
    default:
        return false;
    }
    std::memcpy(call.buffer, &value, sizeof(value));
    *status = STATUS_SUCCESS;
    *information = sizeof(value);
    return true;
}

// A query or set of information, or a volume query: class, length and buffer
// are checked before the handle is referenced (NtQueryInformationFile's order).
NTSTATUS InformationService(HANDLE handle, KPROCESSOR_MODE mode, const FileServiceCall& call,
                            ULONG_PTR* information)
{
    const ClassRule* rule = call.service == FileService::QueryInformation ? RuleOf(kQueryClasses, call.informationClass)
                            : call.service == FileService::SetInformation ? RuleOf(kSetClasses, call.informationClass)
                                                                            : RuleOf(kVolumeClasses, call.informationClass);
    if (rule == nullptr) {
        return STATUS_INVALID_INFO_CLASS;
    }
    if (call.length < rule->length) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if (!Probe(mode, call.buffer, call.length)) {
        return STATUS_ACCESS_VIOLATION;
    }
    FileObject* file = nullptr;
    ACCESS_MASK granted = 0;
    NTSTATUS status = ReferenceDeviceFile(handle, mode, &file, &granted);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (mode == UserMode && (granted & rule->access) != rule->access) {
        status = STATUS_ACCESS_DENIED;
    } else if (call.service == FileService::QueryInformation && AnswerQuery(call, *file, granted, &status, information)) {
        // answered by the I/O manager
    } else if (call.service == FileService::SetInformation && call.informationClass == kFilePosition &&
               file->synchronous) {
        // The I/O manager keeps a synchronous file's position; a negative one is refused.
        LONGLONG position;
        std::memcpy(&position, call.buffer, sizeof(position));
        status = position < 0 ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
        if (NT_SUCCESS(status)) {
            file->currentByteOffset.store(position);
        }
    } else if (call.service == FileService::QueryVolumeInformation && call.informationClass == kFsDevice) {
        status = STATUS_NOT_IMPLEMENTED;  // the I/O manager's answer; the stand-in keeps no device types
    } else {
        UCHAR major = call.service == FileService::QueryInformation ? kMjQueryInformation
                      : call.service == FileService::SetInformation ? kMjSetInformation
                                                                      : kMjQueryVolumeInformation;
        status = SendFilePacket(file, mode, major, 0, call.length, information);
    }
    ob::Dereference(file);
    return status;
}

}  // namespace

NTSTATUS CallFileService(HANDLE handle, KPROCESSOR_MODE mode, const FileServiceCall& call, ULONG_PTR* information)
{
    RequirePassive("NtXxxFile");
    *information = 0;
    if (call.service == FileService::QueryInformation || call.service == FileService::SetInformation ||
        call.service == FileService::QueryVolumeInformation) {
        return InformationService(handle, mode, call, information);
    }
    FileObject* file = nullptr;
    ACCESS_MASK granted = 0;
    NTSTATUS status = ReferenceDeviceFile(handle, mode, &file, &granted);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ACCESS_MASK access = AccessOf(call.service);
    bool locking = call.service == FileService::Lock || call.service == FileService::Unlock;
    if (mode == UserMode && access != 0 && (granted & access) == 0) {
        status = STATUS_ACCESS_DENIED;
    } else if (!Probe(mode, call.buffer, locking ? 0 : call.length) ||
               (locking && call.byteOffset == nullptr)) {
        status = STATUS_ACCESS_VIOLATION;  // a lock's offset is a required parameter the service captures
    } else if ((call.service == FileService::Read || call.service == FileService::Write) &&
               !NT_SUCCESS(status = CheckOffset(call, *file))) {
        // refused
    } else {
        static const UCHAR majors[] = {kMjRead, kMjWrite, kMjFlushBuffers, kMjLockControl, kMjLockControl};
        UCHAR major = kMjQueryEa;
        if (call.service != FileService::QueryEa) {
            major = majors[static_cast<int>(call.service)];
        }
        UCHAR minor = 0;
        if (locking) {
            minor = call.service == FileService::Lock ? kMnLock : kMnUnlockSingle;
        }
        status = SendFilePacket(file, mode, major, minor, call.length, information);
    }
    ob::Dereference(file);
    return status;
}

}  // namespace plat::io
