/*
 * Capturing a trace's arguments as its format's plan says (see capture.h).
 * Strings are copied up to the characters their conversion reads, so a
 * buffer that changes or goes away after the trace does not change its text.
 */
#include "wpp/capture.h"

#include <string.h>

#include <algorithm>

namespace plat::trace {
namespace {

class Writer {
public:
    explicit Writer(CapturedArguments* captured) : captured_(captured) {}

    // Room for bytes (8-aligned) in the text area; nullptr when it is full.
    unsigned char* Reserve(size_t bytes, uint64_t* slot)
    {
        size_t at = (captured_->textUsed + 7u) & ~size_t{7};
        if (at + bytes > kCapturedTextBytes) {
            return nullptr;
        }
        captured_->textUsed = static_cast<uint16_t>(at + bytes);
        *slot = at + 1;
        return captured_->text + at;
    }
    size_t Room() const
    {
        size_t at = (captured_->textUsed + 7u) & ~size_t{7};
        return at < kCapturedTextBytes ? kCapturedTextBytes - at : 0;
    }

private:
    CapturedArguments* captured_;
};

// Characters of a NUL-terminated string read up to limit; false when they
// cannot be kept in room characters.
template <class Char>
bool Measure(const Char* text, size_t limit, size_t room, size_t* length)
{
    size_t most = std::min(limit, room);
    size_t n = 0;
    while (n < most && text[n] != 0) {
        ++n;
    }
    *length = n;
    return n < most || n == limit;
}

template <class Char>
bool CopyString(Writer& writer, const Char* text, size_t limit, uint64_t* slot)
{
    *slot = 0;
    if (text == nullptr) {
        return true;
    }
    size_t room = writer.Room() / sizeof(Char);
    size_t length = 0;
    if (room == 0 || !Measure(text, limit, room - 1, &length)) {
        return false;
    }
    auto* copy = reinterpret_cast<Char*>(writer.Reserve((length + 1) * sizeof(Char), slot));
    memcpy(copy, text, length * sizeof(Char));
    copy[length] = 0;
    return true;
}

// A counted string: its character count, then the characters.
template <class Char>
bool CopyCounted(Writer& writer, const Char* buffer, size_t length, uint64_t* slot)
{
    auto* copy = reinterpret_cast<uint32_t*>(writer.Reserve(sizeof(uint32_t) + length * sizeof(Char), slot));
    if (copy == nullptr) {
        return false;
    }
    copy[0] = static_cast<uint32_t>(length);
    memcpy(copy + 1, buffer, length * sizeof(Char));
    return true;
}

}  // namespace

bool CaptureArguments(const ArgumentPlan& plan, va_list args, CapturedArguments* captured)
{
    captured->count = 0;
    captured->textUsed = 0;
    Writer writer(captured);
    for (uint8_t i = 0; i < plan.count; ++i) {
        uint64_t& slot = captured->slots[i];
        size_t limit = plan.limits[i];
        bool kept = true;
        switch (plan.kinds[i]) {
        case ArgumentKind::Int:
            slot = static_cast<uint64_t>(static_cast<int64_t>(va_arg(args, int)));
            break;
        case ArgumentKind::Int64:
            slot = static_cast<uint64_t>(va_arg(args, long long));
            break;
        case ArgumentKind::Pointer:
            slot = reinterpret_cast<uintptr_t>(va_arg(args, void*));
            break;
        case ArgumentKind::Double: {
            double value = va_arg(args, double);
            memcpy(&slot, &value, sizeof value);
            break;
        }
        case ArgumentKind::Narrow:
            kept = CopyString(writer, va_arg(args, const char*), limit, &slot);
            break;
        case ArgumentKind::Wide:
            kept = CopyString(writer, va_arg(args, const WCHAR*), limit, &slot);
            break;
        case ArgumentKind::Unicode: {
            PCUNICODE_STRING string = va_arg(args, PCUNICODE_STRING);
            slot = 0;
            if (string != nullptr && string->Buffer != nullptr) {
                // As the formatter reads it: never past MaximumLength.
                size_t length = std::min(string->Length, string->MaximumLength) / sizeof(WCHAR);
                kept = CopyCounted(writer, string->Buffer, std::min(length, limit), &slot);
            }
            break;
        }
        case ArgumentKind::Ansi: {
            PCANSI_STRING string = va_arg(args, PCANSI_STRING);
            slot = 0;
            if (string != nullptr && string->Buffer != nullptr) {
                size_t length = std::min(string->Length, string->MaximumLength);
                kept = CopyCounted(writer, string->Buffer, std::min(length, limit), &slot);
            }
            break;
        }
        case ArgumentKind::Guid: {
            const GUID* guid = va_arg(args, const GUID*);
            slot = 0;
            if (guid != nullptr) {
                void* copy = writer.Reserve(sizeof(GUID), &slot);
                kept = copy != nullptr;
                if (kept) {
                    memcpy(copy, guid, sizeof(GUID));
                }
            }
            break;
        }
        }
        if (!kept) {
            return false;
        }
        captured->count = static_cast<uint8_t>(i + 1);
    }
    return true;
}

}  // namespace plat::trace
