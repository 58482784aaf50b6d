/*
 * The names under which the driver keeps its state on the machine: its
 * parameter key for the SAR service, the key the BIOS version comes from, and
 * the SAR table's export file. The simulator, its check and the tests name
 * them from here; the platform knows none of them.
 */
#pragma once

#include <filesystem>
#include <string>

namespace tvrx {

// The driver's SAR service parameters (BiosSarState, BiosInfo).
inline const std::wstring kSarServiceKey =
    L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\tavrix\\Parameters\\SARService";
inline constexpr wchar_t kBiosSarStateValue[] = L"BiosSarState";
inline constexpr wchar_t kBiosInfoValue[] = L"BiosInfo";

// Where the driver reads the BIOS version that decides a new SAR export.
inline const std::wstring kHardwareConfigKey = L"\\Registry\\Machine\\SYSTEM\\HardwareConfig\\Current";
inline constexpr wchar_t kBiosVersionValue[] = L"BIOSVersion";

// The SAR table's export, as the driver names it and as it lies below the
// machine's C: drive folder (the Windows folder is the machine's own).
inline constexpr char kSarExportName[] = "C:\\windows\\wwan\\bios_sar\\bios_sar.flz";
inline constexpr const char* kSarExportParts[] = {"Windows", "wwan", "bios_sar", "bios_sar.flz"};

inline std::filesystem::path SarExportFile(const std::filesystem::path& driveRoot)
{
    std::filesystem::path path = driveRoot;
    for (const char* part : kSarExportParts) {
        path /= part;
    }
    return path;
}

}  // namespace tvrx
