/*
 * Framework string objects: a counted string whose text lives in pool memory
 * tagged with the driver's tag, valid for as long as the object lives.
 */
#pragma once
#include <string_view>

#include "wdf/object.h"

namespace plat::wdf {

struct FxString : FxObject {
    FxString(FxObject* parent, const WDF_OBJECT_ATTRIBUTES* attributes);
    ~FxString() override;
    void OnDelete() override;
    std::string Describe() const override;

    // Replaces the text with a copy of `text` (NUL-terminated in its buffer,
    // the NUL not counted in Length). Fails without changing the object when
    // the text does not fit a counted string or the pool refuses.
    NTSTATUS Assign(std::wstring_view text);
    std::wstring_view Text() const;

    UNICODE_STRING value{};  // Buffer NULL while the string is empty

private:
    void Release();
    ULONG tag_ = 0;
};

// STATUS_INVALID_PARAMETER for a counted string whose lengths or buffer are inconsistent.
NTSTATUS CheckUnicodeString(PCUNICODE_STRING string);
// The text of a checked counted string.
std::wstring_view View(PCUNICODE_STRING string);

// Stops the system (WDF_VIOLATION) when a pointer the routine requires is NULL.
void RequirePointer(const void* pointer, const char* routine, const char* parameter);

}  // namespace plat::wdf
