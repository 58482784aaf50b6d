/*
 * The machine's C: drive, as the kernel's file calls see it. An NT name such
 * as "\??\C:\windows\x.bin" is checked the way the object manager and NTFS
 * check it and split into the components below the drive's root; the drive
 * itself is a host folder tree whose names are UTF-8 and are matched
 * case-insensitively. Opens take their share of a file as the I/O manager's
 * share check rules.
 */
#pragma once
#include <wdm.h>

#include <sys/types.h>
#include <unistd.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace plat::file {

struct DrivePath {
    std::vector<std::wstring> components;  // empty: the root directory
    bool trailingSeparator = false;        // "...\dir\": only a directory may be meant
};

// Parses an object name under \??\C:\ (or \DosDevices\C:\, \GLOBAL??\C:\).
// Fails with the status Windows gives: STATUS_OBJECT_PATH_SYNTAX_BAD for a
// relative name, STATUS_OBJECT_NAME_INVALID for a component NTFS refuses
// ("", ".", "..", reserved characters, too long), STATUS_OBJECT_PATH_NOT_FOUND
// or STATUS_OBJECT_NAME_NOT_FOUND for names outside the drive.
NTSTATUS ParseDrivePath(PCUNICODE_STRING name, DrivePath* path);

// True when NTFS would take the two names for the same one (it compares them upcased).
bool SameName(const std::wstring& a, const std::wstring& b);

// Host spelling of a component; the component is valid, so it always converts.
std::string ToHost(const std::wstring& name);
// Name of a host directory entry; false when it is not valid UTF-8.
bool FromHost(const std::string& name, std::wstring* result);

// ------------------------------------------------------------ opening

// A host file descriptor, closed with its owner.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept
    {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~Fd()
    {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// The status that stands for a host error.
NTSTATUS FromErrno(int error);

// NtCreateFile's rule for the synchronous-I/O options: at most one of
// FILE_SYNCHRONOUS_IO_ALERT and FILE_SYNCHRONOUS_IO_NONALERT, and either one
// only with SYNCHRONIZE in the access asked for (else STATUS_INVALID_PARAMETER).
inline bool SynchronousOptionsValid(ULONG options, ACCESS_MASK access)
{
    const ULONG both = FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT;
    return (options & both) != both && ((options & both) == 0 || (access & SYNCHRONIZE) != 0);
}

// What ZwCreateFile asks for, generic rights already mapped.
struct CreateRequest {
    ACCESS_MASK access = 0;
    ULONG share = 0;
    ULONG disposition = 0;
    ULONG options = 0;
    bool WantsDirectory() const { return (options & FILE_DIRECTORY_FILE) != 0; }
    bool RefusesDirectory() const { return (options & FILE_NON_DIRECTORY_FILE) != 0; }
    bool Synchronous() const { return (options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) != 0; }
    bool Truncates() const
    {
        return disposition == FILE_SUPERSEDE || disposition == FILE_OVERWRITE || disposition == FILE_OVERWRITE_IF;
    }
};

// Identity of a host file: opens of one file share it whatever name they used.
struct FileId {
    dev_t device;
    ino_t inode;
    bool operator<(const FileId& other) const { return std::tie(device, inode) < std::tie(other.device, other.inode); }
};

// What one open takes of a file and what it lets later opens take.
struct ShareClaim {
    bool read = false, write = false, remove = false;
    bool shareRead = false, shareWrite = false, shareDelete = false;
    bool Counts() const { return read || write || remove; }
};

// An open file or directory of the drive, holding its share of the file.
struct Opened {
    Fd fd;
    FileId id{};
    ShareClaim claim;
    bool directory = false;
    ULONG_PTR information = 0;
};

// Opens or creates the named file or directory as the request's disposition
// says, refusing a share that earlier opens do not allow before the contents
// change.
NTSTATUS OpenOnDrive(const DrivePath& path, const CreateRequest& request, Opened* result);

// Gives back the share an open took, once: *held says whether it still holds it.
void ReleaseShare(const FileId& id, const ShareClaim& claim, bool* held);

// ------------------------------------------------------------ names

// Moves the open file `id`, found at `from`, to the name `to` in one step, as
// NTFS renames: an existing file there is replaced only when `replace` says
// so (else STATUS_OBJECT_NAME_COLLISION) and only while no open holds it; a
// directory is never replaced (STATUS_ACCESS_DENIED). A name that differs
// only in case renames the entry itself.
NTSTATUS RenameOnDrive(const DrivePath& from, const FileId& id, const DrivePath& to, bool replace);

// What ZwQueryFullAttributesFile reports of a file or directory.
NTSTATUS QueryOnDrive(const DrivePath& path, FILE_NETWORK_OPEN_INFORMATION* info);

// Deletes a file, or an empty directory (else STATUS_DIRECTORY_NOT_EMPTY),
// that no open holds without sharing delete (else STATUS_SHARING_VIOLATION).
NTSTATUS DeleteOnDrive(const DrivePath& path);

}  // namespace plat::file
