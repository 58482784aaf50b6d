/*
 * The operating-system version the machine reports. The trace runtime asks
 * for it at run time to decide whether classic providers can exist at all.
 */
#include <wdm.h>

#include "ntos/mm/sysroutine.h"

namespace {

constexpr ULONG kMajor = 10;
constexpr ULONG kMinor = 0;
constexpr ULONG kBuild = 19045;
constexpr ULONG kPlatformNt = 2;

const plat::SystemRoutine g_exports[] = {
    {"PsGetVersion", reinterpret_cast<void*>(&PsGetVersion)},
    {"RtlGetVersion", reinterpret_cast<void*>(&RtlGetVersion)},
};

}  // namespace

extern "C" {

BOOLEAN PsGetVersion(PULONG MajorVersion, PULONG MinorVersion, PULONG BuildNumber, PUNICODE_STRING CSDVersion)
{
    if (MajorVersion != nullptr) {
        *MajorVersion = kMajor;
    }
    if (MinorVersion != nullptr) {
        *MinorVersion = kMinor;
    }
    if (BuildNumber != nullptr) {
        *BuildNumber = kBuild;
    }
    if (CSDVersion != nullptr) {
        // No service pack: an empty string, terminated when there is room.
        CSDVersion->Length = 0;
        if (CSDVersion->Buffer != nullptr && CSDVersion->MaximumLength >= sizeof(WCHAR)) {
            CSDVersion->Buffer[0] = L'\0';
        }
    }
    return FALSE;  // not a checked build
}

NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW VersionInformation)
{
    if (VersionInformation == nullptr || VersionInformation->dwOSVersionInfoSize != sizeof(RTL_OSVERSIONINFOW)) {
        return STATUS_INVALID_PARAMETER;
    }
    VersionInformation->dwMajorVersion = kMajor;
    VersionInformation->dwMinorVersion = kMinor;
    VersionInformation->dwBuildNumber = kBuild;
    VersionInformation->dwPlatformId = kPlatformNt;
    VersionInformation->szCSDVersion[0] = L'\0';
    return STATUS_SUCCESS;
}

}  // extern "C"
