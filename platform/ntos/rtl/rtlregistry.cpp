/*
 * RtlQueryRegistryValues and RtlQueryRegistryValuesEx on the machine's hive.
 *
 * A query table is walked entry by entry until the entry whose QueryRoutine
 * and Name are both NULL; the first failing entry ends the walk with its
 * status. Values reach the caller as the kernel hands them over: strings as
 * WCHARs with their terminating NUL, everything else as the stored bytes.
 */
#include <wdm.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/fault.h"
#include "machine/hardware.h"
#include "machine/registry.h"
#include "ntos/ke/irql.h"
#include "ntos/mm/sysroutine.h"

namespace {

// Where RtlFreeUnicodeString expects strings that a kernel routine allocated.
constexpr ULONG kStringTag = 'S' | ('t' << 8) | ('r' << 16) | ('g' << 24);  // "Strg"

constexpr wchar_t kServices[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
constexpr wchar_t kControl[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Control";

bool IsStringType(ULONG type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

NTSTATUS KeyPath(ULONG relativeTo, PCWSTR path, std::wstring* out)
{
    if (relativeTo & RTL_REGISTRY_HANDLE) return STATUS_NOT_IMPLEMENTED;  // the hive hands out no handles
    if (!path) return STATUS_INVALID_PARAMETER;
    std::wstring base;
    switch (relativeTo & ~RTL_REGISTRY_OPTIONAL) {
    case RTL_REGISTRY_ABSOLUTE: *out = path; return STATUS_SUCCESS;
    case RTL_REGISTRY_SERVICES: base = kServices; break;
    case RTL_REGISTRY_CONTROL: base = kControl; break;
    default: return STATUS_INVALID_PARAMETER;
    }
    if (*path != L'\0' && *path != L'\\') base += L'\\';
    *out = base + path;
    return STATUS_SUCCESS;
}

// The data of a value as the caller receives it. Strings become WCHARs and
// always end in a NUL, so that the string's Length below can never wrap
// (an empty or unterminated stored string would otherwise give Length -1 WCHAR).
struct Data {
    ULONG type = REG_NONE;
    std::vector<uint8_t> bytes;
};

Data FromStrings(ULONG type, std::wstring units)
{
    if (units.empty() || units.back() != L'\0') units.push_back(L'\0');
    Data data;
    data.type = type;
    data.bytes.resize(units.size() * sizeof(WCHAR));
    std::memcpy(data.bytes.data(), units.data(), data.bytes.size());
    return data;
}

Data FromStored(const plat::RegistryValue& value)
{
    if (IsStringType(value.type)) return FromStrings(value.type, value.Wide());
    return Data{value.type, value.data};
}

// A table entry's default, given in the caller's own form; a length of 0 for a
// string type means "as long as the string" (for REG_MULTI_SZ up to the empty string).
Data FromDefault(ULONG type, PVOID data, ULONG length)
{
    auto bytes = static_cast<const uint8_t*>(data);
    if (!IsStringType(type)) {
        return Data{type, bytes ? std::vector<uint8_t>(bytes, bytes + length) : std::vector<uint8_t>()};
    }
    auto text = static_cast<const WCHAR*>(data);
    std::wstring units;
    if (text && length != 0) {
        units.assign(text, length / sizeof(WCHAR));
    } else if (text) {
        size_t n = 0;
        do {
            while (text[n] != L'\0') ++n;
            ++n;
        } while (type == REG_MULTI_SZ && text[n] != L'\0');
        units.assign(text, n);
    }
    return FromStrings(type, std::move(units));
}

// A string into the UNICODE_STRING at EntryContext, allocating its buffer when the caller gave none.
NTSTATUS DirectString(PUNICODE_STRING target, const Data& data)
{
    if (data.bytes.size() > MAXUSHORT) return STATUS_BUFFER_TOO_SMALL;
    auto size = static_cast<USHORT>(data.bytes.size());
    if (!target->Buffer) {
        auto buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, size, kStringTag));
        if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
        target->Buffer = buffer;
        target->MaximumLength = size;
    } else if (size > target->MaximumLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(target->Buffer, data.bytes.data(), size);
    target->Length = static_cast<USHORT>(size - sizeof(WCHAR));
    return STATUS_SUCCESS;
}

// Anything else: up to four bytes straight into EntryContext (whatever lies
// there). Longer data needs a buffer whose size the first LONG gives: negative
// for the data alone, otherwise for a ULONG length and a ULONG type before it.
NTSTATUS DirectOther(PVOID target, const Data& data)
{
    size_t length = data.bytes.size();
    if (length <= sizeof(ULONG)) {
        std::memcpy(target, data.bytes.data(), length);
        return STATUS_SUCCESS;
    }
    LONG declared;
    std::memcpy(&declared, target, sizeof(declared));
    auto capacity = static_cast<size_t>(declared < 0 ? -static_cast<int64_t>(declared) : declared);
    auto out = static_cast<uint8_t*>(target);
    if (declared < 0) {
        if (length > capacity) return STATUS_BUFFER_TOO_SMALL;
        std::memcpy(out, data.bytes.data(), length);
        return STATUS_SUCCESS;
    }
    if (length + 2 * sizeof(ULONG) > capacity) return STATUS_BUFFER_TOO_SMALL;
    ULONG header[2] = {static_cast<ULONG>(length), data.type};
    std::memcpy(out, header, sizeof(header));
    std::memcpy(out + sizeof(header), data.bytes.data(), length);
    return STATUS_SUCCESS;
}

NTSTATUS Direct(PRTL_QUERY_REGISTRY_TABLE entry, const Data& data)
{
    if (!entry->EntryContext) return STATUS_INVALID_PARAMETER;
    if (IsStringType(data.type)) return DirectString(static_cast<PUNICODE_STRING>(entry->EntryContext), data);
    return DirectOther(entry->EntryContext, data);
}

// A query routine gets each string of a REG_MULTI_SZ as its own REG_SZ unless
// the entry asks for the value unexpanded.
NTSTATUS Call(PRTL_QUERY_REGISTRY_TABLE entry, std::wstring name, Data data, PVOID context)
{
    if (data.type != REG_MULTI_SZ || (entry->Flags & RTL_QUERY_REGISTRY_NOEXPAND)) {
        return entry->QueryRoutine(name.data(), data.type, data.bytes.data(), static_cast<ULONG>(data.bytes.size()),
                                   context, entry->EntryContext);
    }
    auto units = reinterpret_cast<WCHAR*>(data.bytes.data());
    size_t count = data.bytes.size() / sizeof(WCHAR);
    for (size_t at = 0; at < count && units[at] != L'\0';) {
        size_t end = at;
        while (units[end] != L'\0') ++end;
        auto length = static_cast<ULONG>((end - at + 1) * sizeof(WCHAR));
        NTSTATUS status = entry->QueryRoutine(name.data(), REG_SZ, units + at, length, context, entry->EntryContext);
        if (!NT_SUCCESS(status)) return status;
        at = end + 1;
    }
    return STATUS_SUCCESS;
}

NTSTATUS Deliver(PRTL_QUERY_REGISTRY_TABLE entry, const std::wstring& name, const Data& data, PVOID context)
{
    if (entry->Flags & RTL_QUERY_REGISTRY_DIRECT) return Direct(entry, data);
    return Call(entry, name, data, context);
}

// An entry without a name hands every value of the key to its routine.
NTSTATUS QueryAll(PRTL_QUERY_REGISTRY_TABLE entry, const std::wstring& keyPath, PVOID context)
{
    std::vector<plat::RegistryEntry> values;
    NTSTATUS status = plat::Hardware::Current().Registry().QueryValues(keyPath, &values);
    if (!NT_SUCCESS(status)) return status;
    if (values.empty() && (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED)) return STATUS_OBJECT_NAME_NOT_FOUND;
    for (const auto& value : values) {
        status = Call(entry, value.name, FromStored(value.value), context);
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS QueryOne(PRTL_QUERY_REGISTRY_TABLE entry, const std::wstring& keyPath, PVOID context)
{
    ULONG flags = entry->Flags;
    ULONG defaultType = entry->DefaultType;
    ULONG expectedType = REG_NONE;
    if (flags & RTL_QUERY_REGISTRY_TYPECHECK) {
        expectedType = (defaultType & RTL_QUERY_REGISTRY_TYPECHECK_MASK) >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
        defaultType &= ~static_cast<ULONG>(RTL_QUERY_REGISTRY_TYPECHECK_MASK);
    }
    std::wstring name = entry->Name;
    plat::Registry& registry = plat::Hardware::Current().Registry();
    plat::RegistryValue stored;
    NTSTATUS status = registry.QueryValue(keyPath, name, &stored);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
        if (flags & RTL_QUERY_REGISTRY_REQUIRED) return status;
        if (defaultType == REG_NONE) return STATUS_SUCCESS;  // no default: the destination stays as it was
        return Deliver(entry, name, FromDefault(defaultType, entry->DefaultData, entry->DefaultLength), context);
    }
    if (!NT_SUCCESS(status)) return status;
    if ((flags & RTL_QUERY_REGISTRY_TYPECHECK) && stored.type != expectedType) return STATUS_OBJECT_TYPE_MISMATCH;
    status = Deliver(entry, name, FromStored(stored), context);
    if (NT_SUCCESS(status) && (flags & RTL_QUERY_REGISTRY_DELETE)) registry.RemoveValue(keyPath, name);
    return status;
}

NTSTATUS QueryEntry(PRTL_QUERY_REGISTRY_TABLE entry, const std::wstring& keyPath, PVOID context)
{
    constexpr ULONG kUnsupported = RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_TOPKEY | RTL_QUERY_REGISTRY_NOVALUE;
    if (entry->Flags & kUnsupported) return STATUS_NOT_IMPLEMENTED;
    bool direct = (entry->Flags & RTL_QUERY_REGISTRY_DIRECT) != 0;
    if (direct && !entry->Name) return STATUS_INVALID_PARAMETER;
    if (!direct && !entry->QueryRoutine) return STATUS_INVALID_PARAMETER;
    if (!entry->Name) return QueryAll(entry, keyPath, context);
    return QueryOne(entry, keyPath, context);
}

NTSTATUS RunQuery(const char* routine, ULONG relativeTo, PCWSTR path, PRTL_QUERY_REGISTRY_TABLE table,
                    PVOID context)
{
    plat::RequirePassive(routine);
    NTSTATUS status = plat::fault::Check("RtlQueryRegistryValues");
    if (!NT_SUCCESS(status)) return status;
    if (!table) return STATUS_INVALID_PARAMETER;
    std::wstring keyPath;
    status = KeyPath(relativeTo, path, &keyPath);
    if (!NT_SUCCESS(status)) return status;
    status = plat::Hardware::Current().Registry().OpenKey(keyPath);
    if (!NT_SUCCESS(status)) {
        bool optional = (relativeTo & RTL_REGISTRY_OPTIONAL) && status == STATUS_OBJECT_NAME_NOT_FOUND;
        return optional ? STATUS_SUCCESS : status;
    }
    for (PRTL_QUERY_REGISTRY_TABLE entry = table; entry->QueryRoutine || entry->Name; ++entry) {
        status = QueryEntry(entry, keyPath, context);
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

bool ExAvailable()
{
    plat::Hardware* machine = plat::Hardware::CurrentOrNull();
    return machine && machine->options().rtlQueryRegistryValuesEx;
}

}  // namespace

// Environment serves the expansion of REG_EXPAND_SZ, which the machine does not do:
// such values reach the caller as stored.
NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                PVOID Environment)
{
    (void)Environment;
    return RunQuery(__func__, RelativeTo, Path, QueryTable, Context);
}

NTSTATUS RtlQueryRegistryValuesEx(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                  PVOID Environment)
{
    (void)Environment;
    return RunQuery(__func__, RelativeTo, Path, QueryTable, Context);
}

namespace {
const plat::SystemRoutine kExport("RtlQueryRegistryValuesEx", reinterpret_cast<void*>(&RtlQueryRegistryValuesEx),
                                  ExAvailable);
}  // namespace
