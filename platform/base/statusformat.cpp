/* NTSTATUS values as text and back, for reports, the simulator's commands and tests. */
#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

#include <map>
#include <mutex>

#include "base/status.h"

namespace plat {
namespace {

std::string Upper(const std::string& text)
{
    std::string upper = text;
    for (char& c : upper) {
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    }
    return upper;
}

// Names to values, built once from StatusName. Codes of the general facility
// are searched in full; every other facility's codes sit low in its range.
const std::map<std::string, NTSTATUS>& NamedStatuses()
{
    static std::map<std::string, NTSTATUS> names;
    static std::once_flag built;
    std::call_once(built, [] {
        for (ULONG severity = 0; severity < 4; ++severity) {
            for (ULONG facility = 0; facility < 0x1000; ++facility) {
                ULONG codes = facility == 0 ? 0x10000 : 0x100;
                for (ULONG code = 0; code < codes; ++code) {
                    auto status = static_cast<NTSTATUS>((severity << 30) | (facility << 16) | code);
                    if (const char* name = StatusName(status)) {
                        names.emplace(name, status);
                    }
                }
            }
        }
    });
    return names;
}

bool ParseNumber(const std::string& text, NTSTATUS* status)
{
    const char* begin = text.c_str();
    bool negative = *begin == '-';
    const char* digits = negative ? begin + 1 : begin;
    if (!isdigit(static_cast<unsigned char>(*digits))) {
        return false;
    }
    bool hex = digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X');
    char* end = nullptr;
    errno = 0;
    unsigned long long value = strtoull(hex ? digits + 2 : digits, &end, hex ? 16 : 10);
    if (hex && !isxdigit(static_cast<unsigned char>(digits[2]))) {
        return false;
    }
    if (*end != '\0' || errno != 0) {
        return false;
    }
    if (negative ? value > 0x80000000ull : value > 0xFFFFFFFFull) {
        return false;
    }
    ULONG bits = static_cast<ULONG>(negative ? 0 - value : value);
    *status = static_cast<NTSTATUS>(bits);
    return true;
}

}  // namespace

std::string FormatStatus(NTSTATUS status)
{
    char hex[16];
    snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned int>(status));
    const char* name = StatusName(status);
    return name != nullptr ? std::string(name) + " (" + hex + ")" : std::string(hex);
}

bool ParseStatus(const std::string& text, NTSTATUS* status)
{
    if (text.empty() || status == nullptr) {
        return false;
    }
    if (ParseNumber(text, status)) {
        return true;
    }
    std::string upper = Upper(text);
    const auto& names = NamedStatuses();
    auto it = names.find(upper);
    if (it == names.end()) {
        it = names.find("STATUS_" + upper);
    }
    if (it == names.end()) {
        return false;
    }
    *status = it->second;
    return true;
}

}  // namespace plat
