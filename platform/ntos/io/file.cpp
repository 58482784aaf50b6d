/*
 * Kernel file I/O: ZwCreateFile, ZwReadFile, ZwWriteFile, ZwFlushBuffersFile,
 * ZwClose, and the name calls ZwSetInformationFile (rename), ZwQueryFullAttributesFile and
 * ZwDeleteFile. File objects live in the object manager and are reached
 * through handles; every transfer completes before the call returns.
 */
#include <ntifs.h>

#include "ntos/io/file.h"

#include <sys/stat.h>

#include <cerrno>
#include <mutex>

#include "base/fault.h"
#include "ntos/ke/irql.h"
#include "ntos/ob/object.h"

namespace plat::file {
namespace {

constexpr LONGLONG kWriteToEndOfFile = -1;        // ByteOffset HighPart -1, LowPart FILE_WRITE_TO_END_OF_FILE
constexpr LONGLONG kUseFilePointerPosition = -2;  // ByteOffset HighPart -1, LowPart FILE_USE_FILE_POINTER_POSITION

struct FileObject final : ob::Object {
    FileObject(Fd descriptor, FileId id, ShareClaim claim, bool directory, bool synchronous, std::string name,
               DrivePath path)
        : ob::Object(ob::FileType()), fd(std::move(descriptor)), id(id), claim(claim), directory(directory),
          synchronous(synchronous), name(std::move(name)), path(std::move(path))
    {
    }
    ~FileObject() override { DropShare(); }

    // Cleanup: once no handle is open, the file no longer holds its share of
    // the file, even while references to it remain.
    void OnLastHandleClosed() override { DropShare(); }
    std::string Describe() const override { return std::string(ob::TypeName(type)) + " \"" + name + "\""; }

    const Fd fd;
    const FileId id;
    const ShareClaim claim;
    const bool directory;
    const bool synchronous;  // keeps a file position; I/O on it is serialised
    const std::string name;  // as opened, for reports
    std::mutex ioLock;
    uint64_t position = 0;
    DrivePath path;  // where the file is now (a rename moves it); guarded by ioLock

private:
    void DropShare() { ReleaseShare(id, claim, &shareHeld_); }
    bool shareHeld_ = true;
};

NTSTATUS ValidateCreate(const CreateRequest& request)
{
    if (request.disposition > FILE_OVERWRITE_IF ||
        (request.share & ~(FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) != 0 ||
        (request.WantsDirectory() && request.RefusesDirectory()) ||
        (request.WantsDirectory() && request.disposition != FILE_CREATE && request.disposition != FILE_OPEN &&
         request.disposition != FILE_OPEN_IF) ||
        !SynchronousOptionsValid(request.options, request.access)) {
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

class FileReference {
public:
    FileReference() = default;
    ~FileReference()
    {
        if (object_ != nullptr) {
            ob::Dereference(object_);
        }
    }
    FileReference(const FileReference&) = delete;
    FileReference& operator=(const FileReference&) = delete;

    NTSTATUS Resolve(HANDLE handle, ACCESS_MASK* granted)
    {
        return ob::ReferenceByHandle(handle, 0, ob::FileType(), KernelMode, &object_, granted);
    }
    FileObject* get() const { return static_cast<FileObject*>(object_); }

private:
    ob::Object* object_ = nullptr;
};

enum class Direction { Read, Write };

// Where a transfer starts: the explicit offset, the end of the file, or the
// handle's position (only a synchronous handle has one). Caller holds the file's ioLock.
NTSTATUS StartOffset(const FileObject& file, PLARGE_INTEGER byteOffset, Direction direction, bool appendOnly,
                     uint64_t* offset)
{
    LONGLONG requested = byteOffset == nullptr ? kUseFilePointerPosition : byteOffset->QuadPart;
    if (appendOnly || (requested == kWriteToEndOfFile && direction == Direction::Write)) {
        struct stat info;
        if (fstat(file.fd.get(), &info) != 0) {
            return FromErrno(errno);
        }
        *offset = static_cast<uint64_t>(info.st_size);
        return STATUS_SUCCESS;
    }
    if (requested == kUseFilePointerPosition) {
        if (!file.synchronous) {
            return STATUS_INVALID_PARAMETER;  // an asynchronous handle has no position to use
        }
        *offset = file.position;
        return STATUS_SUCCESS;
    }
    if (requested < 0) {
        return STATUS_INVALID_PARAMETER;
    }
    *offset = static_cast<uint64_t>(requested);
    return STATUS_SUCCESS;
}

NTSTATUS HostTransfer(int fd, Direction direction, uint8_t* buffer, ULONG length, uint64_t offset, ULONG* done)
{
    *done = 0;
    while (*done < length) {
        const ssize_t moved = direction == Direction::Write
                                  ? pwrite(fd, buffer + *done, length - *done, static_cast<off_t>(offset + *done))
                                  : pread(fd, buffer + *done, length - *done, static_cast<off_t>(offset + *done));
        if (moved < 0 && errno == EINTR) {
            continue;
        }
        if (moved < 0) {
            return FromErrno(errno);
        }
        if (moved == 0) {
            if (direction == Direction::Write) {
                return STATUS_DISK_FULL;
            }
            break;  // end of file
        }
        *done += static_cast<ULONG>(moved);
    }
    if (direction == Direction::Read && *done == 0 && length != 0) {
        return STATUS_END_OF_FILE;
    }
    return STATUS_SUCCESS;
}

NTSTATUS Transfer(Direction direction, HANDLE handle, HANDLE event, PIO_APC_ROUTINE apcRoutine,
                  PIO_STATUS_BLOCK ioStatus, PVOID buffer, ULONG length, PLARGE_INTEGER byteOffset)
{
    if (event != nullptr || apcRoutine != nullptr) {
        return STATUS_NOT_SUPPORTED;  // every transfer here completes before the call returns
    }
    if (ioStatus == nullptr || (buffer == nullptr && length != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    FileReference file;
    ACCESS_MASK granted = 0;
    NTSTATUS status = file.Resolve(handle, &granted);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (file.get()->directory) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const bool appendOnly = direction == Direction::Write && (granted & FILE_WRITE_DATA) == 0;
    const ACCESS_MASK needed = direction == Direction::Write ? (FILE_WRITE_DATA | FILE_APPEND_DATA) : FILE_READ_DATA;
    if ((granted & needed) == 0) {
        return STATUS_ACCESS_DENIED;
    }

    FileObject& object = *file.get();
    std::unique_lock<std::mutex> serialise(object.ioLock, std::defer_lock);
    if (object.synchronous) {
        serialise.lock();
    }
    uint64_t offset = 0;
    status = StartOffset(object, byteOffset, direction, appendOnly, &offset);
    if (NT_SUCCESS(status) && offset > static_cast<uint64_t>(INT64_MAX) - length) {
        status = STATUS_INVALID_PARAMETER;  // would end past the largest file offset
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG done = 0;
    status = HostTransfer(object.fd.get(), direction, static_cast<uint8_t*>(buffer), length, offset, &done);
    if (object.synchronous) {
        object.position = offset + done;
    }
    if (NT_SUCCESS(status)) {
        ioStatus->Status = status;
        ioStatus->Information = done;
    }
    return status;
}

// The drive path that object attributes name, checked as ZwCreateFile checks them.
NTSTATUS ParseAttributes(POBJECT_ATTRIBUTES attributes, DrivePath* path)
{
    if (attributes == nullptr || attributes->Length != sizeof(OBJECT_ATTRIBUTES)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (attributes->RootDirectory != nullptr) {
        return STATUS_NOT_SUPPORTED;  // names relative to a handle
    }
    return ParseDrivePath(attributes->ObjectName, path);
}

// The target of a rename: a full name, or a bare name in the file's own directory.
NTSTATUS RenameTarget(const FILE_RENAME_INFORMATION& rename, ULONG length, const DrivePath& current, DrivePath* target)
{
    const ULONG nameOffset = FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName);
    if (rename.FileNameLength == 0 || rename.FileNameLength % sizeof(WCHAR) != 0 ||
        rename.FileNameLength > length - nameOffset) {
        return STATUS_INVALID_PARAMETER;
    }
    std::wstring name(rename.FileName, rename.FileNameLength / sizeof(WCHAR));
    if (name.find(L'\\') == std::wstring::npos) {
        std::wstring full = L"\\??\\C:";
        for (size_t i = 0; i + 1 < current.components.size(); ++i) {
            full += L"\\" + current.components[i];
        }
        name = full + L"\\" + name;
    }
    if (name.size() * sizeof(WCHAR) > MAXUSHORT) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    UNICODE_STRING counted;
    counted.Buffer = name.data();
    counted.Length = counted.MaximumLength = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    return ParseDrivePath(&counted, target);
}

}  // namespace
}  // namespace plat::file

using namespace plat::file;

extern "C" {

NTSTATUS ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                      PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                      ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength)
{
    plat::RequirePassive(__func__);
    NTSTATUS status = plat::fault::Check("ZwCreateFile");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UNREFERENCED_PARAMETER(AllocationSize);  // space is allocated as the file grows
    UNREFERENCED_PARAMETER(FileAttributes);  // the drive keeps no attributes
    if (FileHandle == nullptr || IoStatusBlock == nullptr || ObjectAttributes == nullptr ||
        ObjectAttributes->Length != sizeof(OBJECT_ATTRIBUTES)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (ObjectAttributes->RootDirectory != nullptr || (EaBuffer != nullptr && EaLength != 0)) {
        return STATUS_NOT_SUPPORTED;  // names relative to a handle, extended attributes
    }

    CreateRequest request;
    request.access = plat::ob::MapGenericAccess(plat::ob::FileType(), DesiredAccess);
    request.share = ShareAccess;
    request.disposition = CreateDisposition;
    request.options = CreateOptions;
    status = ValidateCreate(request);
    DrivePath path;
    if (NT_SUCCESS(status)) {
        status = ParseDrivePath(ObjectAttributes->ObjectName, &path);
    }
    Opened opened;
    if (NT_SUCCESS(status)) {
        status = OpenOnDrive(path, request, &opened);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }

    const PCUNICODE_STRING name = ObjectAttributes->ObjectName;
    auto* file = new FileObject(std::move(opened.fd), opened.id, opened.claim, opened.directory, request.Synchronous(),
                                ToHost(std::wstring(name->Buffer, name->Length / sizeof(WCHAR))), path);
    const bool kernelHandle = (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE) != 0;
    HANDLE handle = plat::ob::InsertHandle(file, request.access, kernelHandle);
    plat::ob::Dereference(file);  // the handle holds the object now
    if (handle == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *FileHandle = handle;
    IoStatusBlock->Status = STATUS_SUCCESS;
    IoStatusBlock->Information = opened.information;
    return STATUS_SUCCESS;
}

NTSTATUS ZwWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                     PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset, PULONG Key)
{
    plat::RequirePassive(__func__);
    NTSTATUS status = plat::fault::Check("ZwWriteFile");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UNREFERENCED_PARAMETER(ApcContext);
    UNREFERENCED_PARAMETER(Key);  // byte-range locks are not kept
    return Transfer(Direction::Write, FileHandle, Event, ApcRoutine, IoStatusBlock, Buffer, Length, ByteOffset);
}

NTSTATUS ZwReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                    PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset, PULONG Key)
{
    plat::RequirePassive(__func__);
    NTSTATUS status = plat::fault::Check("ZwReadFile");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UNREFERENCED_PARAMETER(ApcContext);
    UNREFERENCED_PARAMETER(Key);
    return Transfer(Direction::Read, FileHandle, Event, ApcRoutine, IoStatusBlock, Buffer, Length, ByteOffset);
}

// Only a rename changes a file by its handle here; other classes are refused.
NTSTATUS ZwSetInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation, ULONG Length,
                              FILE_INFORMATION_CLASS FileInformationClass)
{
    plat::RequirePassive(__func__);
    NTSTATUS status = plat::fault::Check("ZwSetInformationFile");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (IoStatusBlock == nullptr || FileInformation == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (FileInformationClass != FileRenameInformation) {
        return STATUS_INVALID_INFO_CLASS;
    }
    if (Length < sizeof(FILE_RENAME_INFORMATION)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    FileReference file;
    ACCESS_MASK granted = 0;
    status = file.Resolve(FileHandle, &granted);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if ((granted & DELETE) == 0) {
        return STATUS_ACCESS_DENIED;  // renaming takes delete access to the file
    }
    const auto& rename = *static_cast<const FILE_RENAME_INFORMATION*>(FileInformation);
    if (rename.RootDirectory != nullptr) {
        return STATUS_NOT_SUPPORTED;  // names relative to a handle
    }
    FileObject& object = *file.get();
    std::lock_guard<std::mutex> guard(object.ioLock);
    DrivePath target;
    status = RenameTarget(rename, Length, object.path, &target);
    if (NT_SUCCESS(status)) {
        status = RenameOnDrive(object.path, object.id, target, rename.ReplaceIfExists != FALSE);
    }
    if (NT_SUCCESS(status)) {
        object.path = target;
        IoStatusBlock->Status = STATUS_SUCCESS;
        IoStatusBlock->Information = 0;
    }
    return status;
}

// Writes what the file's cache holds to the disk before returning. As
// FlushFileBuffers documents, the handle needs write access; a directory's
// handle flushes the directory's own entries.
NTSTATUS ZwFlushBuffersFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock)
{
    plat::RequirePassive(__func__);
    NTSTATUS status = plat::fault::Check("ZwFlushBuffersFile");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (IoStatusBlock == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    FileReference file;
    ACCESS_MASK granted = 0;
    status = file.Resolve(FileHandle, &granted);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if ((granted & (FILE_WRITE_DATA | FILE_APPEND_DATA)) == 0) {
        return STATUS_ACCESS_DENIED;
    }
    FileObject& object = *file.get();
    std::lock_guard<std::mutex> guard(object.ioLock);
    if (fsync(object.fd.get()) != 0) {
        return FromErrno(errno);
    }
    IoStatusBlock->Status = STATUS_SUCCESS;
    IoStatusBlock->Information = 0;
    return STATUS_SUCCESS;
}

NTSTATUS ZwQueryFullAttributesFile(POBJECT_ATTRIBUTES ObjectAttributes, PFILE_NETWORK_OPEN_INFORMATION FileInformation)
{
    plat::RequirePassive(__func__);
    NTSTATUS status = plat::fault::Check("ZwQueryFullAttributesFile");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (FileInformation == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    DrivePath path;
    status = ParseAttributes(ObjectAttributes, &path);
    return NT_SUCCESS(status) ? QueryOnDrive(path, FileInformation) : status;
}

NTSTATUS ZwDeleteFile(POBJECT_ATTRIBUTES ObjectAttributes)
{
    plat::RequirePassive(__func__);
    NTSTATUS status = plat::fault::Check("ZwDeleteFile");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    DrivePath path;
    status = ParseAttributes(ObjectAttributes, &path);
    return NT_SUCCESS(status) ? DeleteOnDrive(path) : status;
}

// Closes any handle of the kernel's table or of the current process's (a file, a key, an event...).
NTSTATUS ZwClose(HANDLE Handle)
{
    plat::RequirePassive(__func__);
    return plat::ob::CloseHandle(Handle, KernelMode);
}

}  // extern "C"
