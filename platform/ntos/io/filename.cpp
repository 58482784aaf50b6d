/*
 * NT names on the C: drive: the object-manager prefix, NTFS's rules for one
 * component, its case-insensitive comparison, and the host (UTF-8) spelling.
 */
#include "ntos/io/file.h"

#include <locale.h>
#include <wctype.h>

namespace plat::file {
namespace {

constexpr size_t kMaxComponentUnits = 255;  // UTF-16 code units per NTFS name

// NTFS upcases each UTF-16 unit with its table; characters beyond the basic
// plane compare as they are.
wchar_t Upcase(wchar_t c)
{
    static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    if (c > 0xFFFF) {
        return c;
    }
    if (unicode != static_cast<locale_t>(nullptr)) {
        return static_cast<wchar_t>(towupper_l(static_cast<wint_t>(c), unicode));
    }
    return c >= L'a' && c <= L'z' ? c - (L'a' - L'A') : c;
}

bool StartsWithNoCase(const std::wstring& text, const std::wstring& prefix)
{
    if (text.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (Upcase(text[i]) != Upcase(prefix[i])) {
            return false;
        }
    }
    return true;
}

bool ReservedCharacter(wchar_t c)
{
    if (c < 0x20) {
        return true;  // NUL and control characters
    }
    switch (c) {
    case L'"': case L'*': case L'/': case L':': case L'<': case L'>': case L'?': case L'|':
        return true;  // wildcards, the stream separator and the other separator
    default:
        return c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF);  // not a Unicode scalar value
    }
}

bool ValidComponent(const std::wstring& name)
{
    if (name.empty() || name == L"." || name == L"..") {
        return false;
    }
    size_t units = 0;
    for (wchar_t c : name) {
        if (ReservedCharacter(c)) {
            return false;
        }
        units += c > 0xFFFF ? 2 : 1;
    }
    return units <= kMaxComponentUnits;
}

NTSTATUS SplitComponents(const std::wstring& rest, DrivePath* path)
{
    size_t start = 0;
    while (start < rest.size()) {
        size_t end = rest.find(L'\\', start);
        if (end == std::wstring::npos) {
            end = rest.size();
        }
        std::wstring component = rest.substr(start, end - start);
        if (end == rest.size() - 1) {
            path->trailingSeparator = true;  // "dir\" names dir
        }
        if (!ValidComponent(component)) {
            return STATUS_OBJECT_NAME_INVALID;
        }
        path->components.push_back(std::move(component));
        start = end + 1;
    }
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ParseDrivePath(PCUNICODE_STRING name, DrivePath* path)
{
    *path = DrivePath();
    if (name == nullptr || name->Length == 0) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    if (name->Buffer == nullptr || name->Length % sizeof(WCHAR) != 0 || name->Length > name->MaximumLength) {
        return STATUS_INVALID_PARAMETER;
    }
    const std::wstring text(name->Buffer, name->Length / sizeof(WCHAR));
    if (text[0] != L'\\') {
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    }

    size_t afterPrefix = 0;
    for (const wchar_t* prefix : {L"\\??\\", L"\\DosDevices\\", L"\\GLOBAL??\\"}) {
        if (StartsWithNoCase(text, prefix)) {
            afterPrefix = std::wcslen(prefix);
            break;
        }
    }
    if (afterPrefix == 0) {
        return STATUS_OBJECT_PATH_NOT_FOUND;  // not in the DOS-devices namespace: no such object here
    }

    // The next name in \?? is the drive's symbolic link; only C: exists.
    const size_t driveEnd = text.find(L'\\', afterPrefix);
    const std::wstring drive = text.substr(afterPrefix, driveEnd == std::wstring::npos ? std::wstring::npos
                                                                                         : driveEnd - afterPrefix);
    if (drive.empty()) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    if (!SameName(drive, L"C:")) {
        return driveEnd == std::wstring::npos ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
    }
    if (driveEnd == std::wstring::npos) {
        return STATUS_ACCESS_DENIED;  // the volume itself: raw volume access is not offered
    }
    return SplitComponents(text.substr(driveEnd + 1), path);
}

bool SameName(const std::wstring& a, const std::wstring& b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i] && Upcase(a[i]) != Upcase(b[i])) {
            return false;
        }
    }
    return true;
}

std::string ToHost(const std::wstring& name)
{
    std::string result;
    for (wchar_t wc : name) {
        const auto c = static_cast<uint32_t>(wc);
        if (c < 0x80) {
            result += static_cast<char>(c);
        } else if (c < 0x800) {
            result += static_cast<char>(0xC0 | (c >> 6));
            result += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            result += static_cast<char>(0xE0 | (c >> 12));
            result += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            result += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            result += static_cast<char>(0xF0 | (c >> 18));
            result += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            result += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            result += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return result;
}

bool FromHost(const std::string& name, std::wstring* result)
{
    result->clear();
    for (size_t i = 0; i < name.size();) {
        const auto lead = static_cast<unsigned char>(name[i]);
        size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
        if (length == 0 || i + length > name.size()) {
            return false;
        }
        uint32_t c = length == 1 ? lead : lead & (0x7F >> length);
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(name[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            c = (c << 6) | (next & 0x3F);
        }
        static const uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (c < kSmallest[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            return false;  // overlong or not a scalar value
        }
        *result += static_cast<wchar_t>(c);
        i += length;
    }
    return true;
}

}  // namespace plat::file
