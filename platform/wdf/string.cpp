/* Framework string objects and the counted-string checks the framework calls share. */
#include "wdf/string.h"

#include <cstring>

#include "base/bugcheck.h"
#include "base/fault.h"
#include "ntos/ke/irql.h"
#include "wdf/driver.h"

namespace plat::wdf {
namespace {

// Strings made while no driver is loaded (platform tests) carry this tag.
constexpr ULONG kFallbackTag = 'F' | ('x' << 8) | ('S' << 16) | ('t' << 24);  // "FxSt"

ULONG StringTag()
{
    ULONG tag = DriverPoolTag();
    return tag != 0 ? tag : kFallbackTag;
}

}  // namespace

FxString::FxString(FxObject* parent, const WDF_OBJECT_ATTRIBUTES* attributes)
    : FxObject(FxType::String, parent, attributes)
{
}

FxString::~FxString() { Release(); }

void FxString::OnDelete() { Release(); }

void FxString::Release()
{
    if (value.Buffer) ExFreePoolWithTag(value.Buffer, tag_);
    value = UNICODE_STRING{};
}

std::string FxString::Describe() const
{
    return FxObject::Describe() + " (" + std::to_string(value.Length / sizeof(WCHAR)) + " characters)";
}

NTSTATUS FxString::Assign(std::wstring_view text)
{
    if (text.empty()) {
        Release();
        return STATUS_SUCCESS;
    }
    if (text.size() >= MAXUSHORT / sizeof(WCHAR)) return STATUS_INTEGER_OVERFLOW;
    size_t size = (text.size() + 1) * sizeof(WCHAR);
    ULONG tag = StringTag();
    auto buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, size, tag));
    if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(buffer, text.data(), text.size() * sizeof(WCHAR));
    buffer[text.size()] = L'\0';
    Release();
    tag_ = tag;
    value.Buffer = buffer;
    value.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    value.MaximumLength = static_cast<USHORT>(size);
    return STATUS_SUCCESS;
}

std::wstring_view FxString::Text() const { return View(&value); }

NTSTATUS CheckUnicodeString(PCUNICODE_STRING string)
{
    if (string->Length % sizeof(WCHAR) != 0 || string->MaximumLength % sizeof(WCHAR) != 0 ||
        string->Length > string->MaximumLength || (!string->Buffer && string->Length != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

std::wstring_view View(PCUNICODE_STRING string)
{
    if (!string->Buffer) return {};
    return std::wstring_view(string->Buffer, string->Length / sizeof(WCHAR));
}

void RequirePointer(const void* pointer, const char* routine, const char* parameter)
{
    if (!pointer) WdfViolation("a required parameter is NULL", std::string(routine) + ": " + parameter);
}

}  // namespace plat::wdf

using namespace plat::wdf;

NTSTATUS WdfStringCreate(PCUNICODE_STRING UnicodeString, PWDF_OBJECT_ATTRIBUTES StringAttributes, WDFSTRING* String)
{
    plat::RequirePassive(__func__);
    RequirePointer(String, __func__, "String");
    *String = nullptr;
    if (StringAttributes) ValidateAttributes(StringAttributes, __func__);
    NTSTATUS status = plat::fault::Check("WdfStringCreate");
    if (!NT_SUCCESS(status)) return status;
    if (UnicodeString) {
        status = CheckUnicodeString(UnicodeString);
        if (!NT_SUCCESS(status)) return status;
    }
    auto* object = new FxString(ParentFromAttributes(StringAttributes, __func__), StringAttributes);
    if (UnicodeString) status = object->Assign(View(UnicodeString));
    if (NT_SUCCESS(status)) status = Register(object, StringAttributes);
    if (!NT_SUCCESS(status)) {
        delete object;
        return status;
    }
    *String = static_cast<WDFSTRING>(object->handle);
    return STATUS_SUCCESS;
}

VOID WdfStringGetUnicodeString(WDFSTRING String, PUNICODE_STRING UnicodeString)
{
    plat::RequireIrql(DISPATCH_LEVEL, __func__);
    auto* object = ResolveAs<FxString>(String, FxType::String, __func__);
    RequirePointer(UnicodeString, __func__, "UnicodeString");
    *UnicodeString = object->value;
}
