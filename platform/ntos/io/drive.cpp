/*
 * Opening on the C: drive. A name is walked from the drive's root one
 * component at a time through directory descriptors, never following a
 * symbolic link, so no name can reach outside the drive's folder. Lookups and
 * the creates that follow them are serialised, so that two opens cannot
 * create one name twice in different cases.
 */
#include "ntos/io/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>

#include "machine/hardware.h"

namespace plat::file {
namespace {

struct ShareState {
    ULONG opens = 0, readers = 0, writers = 0, deleters = 0;
    ULONG sharedRead = 0, sharedWrite = 0, sharedDelete = 0;
};

ShareClaim MakeClaim(ACCESS_MASK access, ULONG share)
{
    ShareClaim claim;
    claim.read = (access & (FILE_READ_DATA | FILE_EXECUTE)) != 0;
    claim.write = (access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
    claim.remove = (access & DELETE) != 0;
    claim.shareRead = (share & FILE_SHARE_READ) != 0;
    claim.shareWrite = (share & FILE_SHARE_WRITE) != 0;
    claim.shareDelete = (share & FILE_SHARE_DELETE) != 0;
    return claim;
}

// Guards the drive's names (a lookup and the create that follows it) and the share table.
std::mutex& NamespaceLock()
{
    static std::mutex lock;
    return lock;
}

std::map<FileId, ShareState>& ShareTable()
{
    static std::map<FileId, ShareState> table;
    return table;
}

// Caller holds NamespaceLock. An open that reads, writes or deletes nothing
// neither checks nor records sharing.
NTSTATUS TakeShare(const FileId& id, const ShareClaim& claim)
{
    if (!claim.Counts()) {
        return STATUS_SUCCESS;
    }
    ShareState& state = ShareTable()[id];
    const bool conflict = (claim.read && state.sharedRead < state.opens) ||
                          (claim.write && state.sharedWrite < state.opens) ||
                          (claim.remove && state.sharedDelete < state.opens) ||
                          (state.readers != 0 && !claim.shareRead) || (state.writers != 0 && !claim.shareWrite) ||
                          (state.deleters != 0 && !claim.shareDelete);
    if (conflict) {
        if (state.opens == 0) {
            ShareTable().erase(id);
        }
        return STATUS_SHARING_VIOLATION;
    }
    state.opens++;
    state.readers += claim.read;
    state.writers += claim.write;
    state.deleters += claim.remove;
    state.sharedRead += claim.shareRead;
    state.sharedWrite += claim.shareWrite;
    state.sharedDelete += claim.shareDelete;
    return STATUS_SUCCESS;
}

// Caller holds NamespaceLock.
void ReleaseShareLocked(const FileId& id, const ShareClaim& claim)
{
    if (!claim.Counts()) {
        return;
    }
    auto it = ShareTable().find(id);
    if (it == ShareTable().end()) {
        return;
    }
    ShareState& state = it->second;
    state.opens--;
    state.readers -= claim.read;
    state.writers -= claim.write;
    state.deleters -= claim.remove;
    state.sharedRead -= claim.shareRead;
    state.sharedWrite -= claim.shareWrite;
    state.sharedDelete -= claim.shareDelete;
    if (state.opens == 0) {
        ShareTable().erase(it);
    }
}

// Name of the entry of the directory that NTFS would take for `name`: the
// exact spelling when it exists, else the first that differs only in case.
NTSTATUS FindEntry(int directory, const std::wstring& name, std::string* host)
{
    const std::string exact = ToHost(name);
    struct stat info;
    if (fstatat(directory, exact.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
        *host = exact;
        return STATUS_SUCCESS;
    }
    int copy = openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* listing = copy < 0 ? nullptr : fdopendir(copy);
    if (listing == nullptr) {
        const int error = errno;
        if (copy >= 0) {
            close(copy);
        }
        return FromErrno(error);
    }
    NTSTATUS status = STATUS_OBJECT_NAME_NOT_FOUND;
    while (const dirent* entry = readdir(listing)) {
        std::wstring entryName;
        if (FromHost(entry->d_name, &entryName) && entryName != L"." && entryName != L".." &&
            SameName(entryName, name)) {
            *host = entry->d_name;
            status = STATUS_SUCCESS;
            break;
        }
    }
    closedir(listing);
    return status;
}

NTSTATUS OpenDriveRoot(Fd* root)
{
    const std::filesystem::path path = Hardware::Current().DriveRoot();
    std::error_code ignored;
    std::filesystem::create_directories(path, ignored);  // a fresh machine's drive is empty
    *root = Fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return root->valid() ? STATUS_SUCCESS : FromErrno(errno);
}

// Kind of an existing entry, without following a symbolic link: a link, a
// device or a pipe is never a way on (a link could lead off the drive).
NTSTATUS EntryKind(int directory, const std::string& host, bool* isDirectory)
{
    struct stat info;
    if (fstatat(directory, host.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        return FromErrno(errno);
    }
    if (!S_ISDIR(info.st_mode) && !S_ISREG(info.st_mode)) {
        return STATUS_ACCESS_DENIED;
    }
    *isDirectory = S_ISDIR(info.st_mode);
    return STATUS_SUCCESS;
}

NTSTATUS OpenDirectoryAt(int directory, const std::string& host, Fd* result)
{
    *result = Fd(openat(directory, host.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    return result->valid() ? STATUS_SUCCESS : FromErrno(errno);
}

// Opens the directory that holds the last component (the root for a name of one component).
NTSTATUS WalkToParent(const DrivePath& path, Fd* parent)
{
    NTSTATUS status = OpenDriveRoot(parent);
    for (size_t i = 0; NT_SUCCESS(status) && i + 1 < path.components.size(); ++i) {
        std::string host;
        bool isDirectory = false;
        status = FindEntry(parent->get(), path.components[i], &host);
        if (NT_SUCCESS(status)) {
            status = EntryKind(parent->get(), host, &isDirectory);
        }
        if (status == STATUS_OBJECT_NAME_NOT_FOUND || (NT_SUCCESS(status) && !isDirectory)) {
            return STATUS_OBJECT_PATH_NOT_FOUND;
        }
        if (NT_SUCCESS(status)) {
            Fd next;
            status = OpenDirectoryAt(parent->get(), host, &next);
            *parent = std::move(next);
        }
    }
    return status;
}

int HostOpenFlags(const CreateRequest& request)
{
    const bool reads = (request.access & (FILE_READ_DATA | FILE_EXECUTE)) != 0;
    const bool writes = (request.access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0 || request.Truncates();
    const int mode = reads && writes ? O_RDWR : writes ? O_WRONLY : O_RDONLY;
    return mode | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
}

// Access that the disposition implies for the share check: replacing the
// contents writes the file, superseding it also deletes it.
ACCESS_MASK ImpliedAccess(const CreateRequest& request)
{
    if (request.disposition == FILE_SUPERSEDE) {
        return FILE_WRITE_DATA | DELETE;
    }
    return request.Truncates() ? FILE_WRITE_DATA : 0;
}

NTSTATUS Identify(const Fd& fd, bool expectDirectory, FileId* id)
{
    struct stat info;
    if (fstat(fd.get(), &info) != 0) {
        return FromErrno(errno);
    }
    if (expectDirectory ? !S_ISDIR(info.st_mode) : !S_ISREG(info.st_mode)) {
        return STATUS_ACCESS_DENIED;  // replaced under us by something that is no file of ours
    }
    *id = FileId{info.st_dev, info.st_ino};
    return STATUS_SUCCESS;
}

// Caller holds NamespaceLock.
NTSTATUS OpenExisting(int parent, const std::string& host, bool isDirectory, const CreateRequest& request,
                      bool trailingSeparator, Opened* result)
{
    if (request.disposition == FILE_CREATE) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    if (isDirectory) {
        if (request.RefusesDirectory()) {
            return STATUS_FILE_IS_A_DIRECTORY;
        }
        if (request.disposition != FILE_OPEN && request.disposition != FILE_OPEN_IF) {
            return STATUS_OBJECT_NAME_COLLISION;  // a directory cannot be overwritten
        }
    } else if (request.WantsDirectory()) {
        return STATUS_NOT_A_DIRECTORY;
    } else if (trailingSeparator) {
        return STATUS_OBJECT_NAME_INVALID;
    }

    const int flags = isDirectory ? (O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : HostOpenFlags(request);
    result->fd = Fd(host.empty() ? openat(parent, ".", flags) : openat(parent, host.c_str(), flags));
    if (!result->fd.valid()) {
        return FromErrno(errno);
    }
    NTSTATUS status = Identify(result->fd, isDirectory, &result->id);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    result->claim = MakeClaim(request.access | ImpliedAccess(request), request.share);
    status = TakeShare(result->id, result->claim);  // before the contents change
    if (!NT_SUCCESS(status)) {
        return status;
    }
    result->directory = isDirectory;
    result->information = FILE_OPENED;
    if (!isDirectory && request.Truncates()) {
        if (ftruncate(result->fd.get(), 0) != 0) {
            const int error = errno;
            ReleaseShareLocked(result->id, result->claim);
            return FromErrno(error);
        }
        result->information = request.disposition == FILE_SUPERSEDE ? FILE_SUPERSEDED : FILE_OVERWRITTEN;
    }
    return STATUS_SUCCESS;
}

// Caller holds NamespaceLock. New names keep the case the caller gave.
NTSTATUS CreateNew(int parent, const std::wstring& name, const CreateRequest& request, bool trailingSeparator,
                   Opened* result)
{
    if (request.disposition == FILE_OPEN || request.disposition == FILE_OVERWRITE) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (trailingSeparator && !request.WantsDirectory()) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    const std::string host = ToHost(name);
    if (request.WantsDirectory()) {
        if (mkdirat(parent, host.c_str(), 0777) != 0) {
            return FromErrno(errno);
        }
        NTSTATUS status = OpenDirectoryAt(parent, host, &result->fd);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    } else {
        result->fd = Fd(openat(parent, host.c_str(), HostOpenFlags(request) | O_CREAT | O_EXCL, 0666));
        if (!result->fd.valid()) {
            return FromErrno(errno);
        }
    }
    NTSTATUS status = Identify(result->fd, request.WantsDirectory(), &result->id);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    result->claim = MakeClaim(request.access | ImpliedAccess(request), request.share);
    status = TakeShare(result->id, result->claim);
    result->directory = request.WantsDirectory();
    result->information = FILE_CREATED;
    return status;
}

}  // namespace

NTSTATUS OpenOnDrive(const DrivePath& path, const CreateRequest& request, Opened* result)
{
    std::lock_guard<std::mutex> guard(NamespaceLock());
    Fd parent;
    NTSTATUS status = WalkToParent(path, &parent);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (path.components.empty()) {  // the root directory itself
        return OpenExisting(parent.get(), std::string(), true, request, false, result);
    }
    const std::wstring& name = path.components.back();
    std::string host;
    status = FindEntry(parent.get(), name, &host);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
        return CreateNew(parent.get(), name, request, path.trailingSeparator, result);
    }
    bool isDirectory = false;
    if (NT_SUCCESS(status)) {
        status = EntryKind(parent.get(), host, &isDirectory);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return OpenExisting(parent.get(), host, isDirectory, request, path.trailingSeparator, result);
}

void ReleaseShare(const FileId& id, const ShareClaim& claim, bool* held)
{
    std::lock_guard<std::mutex> guard(NamespaceLock());
    if (*held) {
        *held = false;
        ReleaseShareLocked(id, claim);
    }
}

NTSTATUS FromErrno(int error)
{
    switch (error) {
    case ENOSPC: case EDQUOT: case EFBIG: return STATUS_DISK_FULL;
    case EACCES: case EPERM: case ELOOP: return STATUS_ACCESS_DENIED;
    case EROFS: return STATUS_MEDIA_WRITE_PROTECTED;
    case ENOENT: return STATUS_OBJECT_NAME_NOT_FOUND;
    case ENOTDIR: return STATUS_OBJECT_PATH_NOT_FOUND;
    case EEXIST: return STATUS_OBJECT_NAME_COLLISION;
    case ENAMETOOLONG: return STATUS_OBJECT_NAME_INVALID;
    case EISDIR: return STATUS_FILE_IS_A_DIRECTORY;
    case EMFILE: case ENFILE: case ENOMEM: return STATUS_INSUFFICIENT_RESOURCES;
    case EFAULT: return STATUS_ACCESS_VIOLATION;
    default: return STATUS_IO_DEVICE_ERROR;
    }
}

}  // namespace plat::file
