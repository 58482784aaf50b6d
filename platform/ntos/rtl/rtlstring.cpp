/* Counted-string routines of the run-time library. */
#include <ntddk.h>
#include <ntstrsafe.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <cwctype>

namespace {

USHORT Chars(PCUNICODE_STRING s) { return static_cast<USHORT>(s->Length / sizeof(WCHAR)); }

}  // namespace

extern "C" {

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    size_t bytes = std::wcslen(SourceString) * sizeof(WCHAR);
    if (bytes > MAXUSHORT - sizeof(WCHAR)) {
        bytes = (MAXUSHORT - sizeof(WCHAR)) / sizeof(WCHAR) * sizeof(WCHAR);
    }
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString)
{
    size_t bytes = SourceString ? std::strlen(SourceString) : 0;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(SourceString ? bytes + 1 : 0);
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    USHORT n1 = Chars(String1), n2 = Chars(String2);
    for (USHORT i = 0; i < n1 && i < n2; ++i) {
        wint_t a = static_cast<wint_t>(String1->Buffer[i]);
        wint_t b = static_cast<wint_t>(String2->Buffer[i]);
        if (CaseInSensitive) {
            a = std::towupper(a);
            b = std::towupper(b);
        }
        if (a != b) {
            return a < b ? -1 : 1;
        }
    }
    return static_cast<LONG>(n1) - static_cast<LONG>(n2);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    return String1->Length == String2->Length && RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = SourceString->Length < DestinationString->MaximumLength ? SourceString->Length
                                                                            : DestinationString->MaximumLength;
    bytes = static_cast<USHORT>(bytes / sizeof(WCHAR) * sizeof(WCHAR));
    std::memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength) {
        DestinationString->Buffer[bytes / sizeof(WCHAR)] = L'\0';
    }
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString)
{
    if (UnicodeString->Buffer != nullptr) {
        ExFreePool(UnicodeString->Buffer);
    }
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

NTSTATUS RtlStringCbVPrintfA(PCHAR Destination, size_t cbDest, PCSTR Format, va_list ArgList)
{
    if (cbDest == 0 || Destination == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    int n = std::vsnprintf(Destination, cbDest, Format, ArgList);
    if (n < 0) {
        Destination[0] = '\0';
        return STATUS_INVALID_PARAMETER;
    }
    return static_cast<size_t>(n) >= cbDest ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS RtlStringCbPrintfA(PCHAR Destination, size_t cbDest, PCSTR Format, ...)
{
    va_list args;
    va_start(args, Format);
    NTSTATUS status = RtlStringCbVPrintfA(Destination, cbDest, Format, args);
    va_end(args);
    return status;
}

NTSTATUS RtlStringCbCopyA(PCHAR Destination, size_t cbDest, PCSTR Source)
{
    return RtlStringCbPrintfA(Destination, cbDest, "%s", Source);
}

NTSTATUS RtlStringCbLengthW(PCWSTR String, size_t cbMax, size_t* Length)
{
    size_t max = cbMax / sizeof(WCHAR);
    size_t n = 0;
    while (n < max && String[n] != L'\0') {
        ++n;
    }
    if (n == max) {
        if (Length) *Length = 0;
        return STATUS_INVALID_PARAMETER;
    }
    if (Length) *Length = n * sizeof(WCHAR);
    return STATUS_SUCCESS;
}

}  // extern "C"
