/*
 * The trace-message formatter: printf conversions at Windows widths plus the
 * %!NAME! extensions. It runs on every trace, at any IRQL, so it writes into
 * the caller's fixed buffer and never allocates. Arguments are taken by the
 * conversion's length modifier exactly as the caller pushed them; a conversion
 * it cannot read is copied as text and takes no argument. The same formatter
 * plans a format (what it would take) and formats a capture of the arguments
 * (wpp/capture.h), so the three can never disagree.
 */
#include <ntdef.h>

#include <stdio.h>
#include <string.h>

#include <cwchar>

#include "base/status.h"
#include "wpp/capture.h"
#include "wpp/wpp.h"

namespace plat::trace {
namespace {

// Widths and precisions beyond this cannot matter in a trace buffer.
constexpr int kMaxField = 4096;

class Output {
public:
    Output(char* buffer, size_t size) : buffer_(buffer), size_(size) {}
    // Writes nothing and never fills: for planning, which must see every conversion.
    static Output Discard() { return Output(nullptr, 0, true); }

    void Put(char c)
    {
        if (discard_) {
            return;
        }
        if (length_ + 1 < size_) {
            buffer_[length_++] = c;
        } else {
            truncated_ = true;
        }
    }
    void Write(const char* text, size_t count)
    {
        for (size_t i = 0; i < count && !truncated_; ++i) {
            Put(text[i]);
        }
    }
    void Write(const char* text) { Write(text, strlen(text)); }
    void Pad(char c, int count)
    {
        for (int i = 0; i < count && !truncated_; ++i) {
            Put(c);
        }
    }
    void PutWide(ULONG c);
    bool Full() const { return truncated_; }

    size_t Finish()
    {
        if (size_ == 0 || discard_) {
            return 0;
        }
        if (truncated_ && size_ >= 4) {
            length_ = size_ - 1;
            memcpy(buffer_ + length_ - 3, "...", 3);
        }
        buffer_[length_] = '\0';
        return length_;
    }

private:
    Output(char* buffer, size_t size, bool discard) : buffer_(buffer), size_(size), discard_(discard) {}

    char* buffer_;
    size_t size_;
    bool discard_ = false;
    size_t length_ = 0;
    bool truncated_ = false;
};

// UTF-8 of one wide character; what no code point can be becomes '?'.
void Output::PutWide(ULONG c)
{
    if (c < 0x80) {
        Put(static_cast<char>(c));
    } else if (c < 0x800) {
        Put(static_cast<char>(0xC0 | (c >> 6)));
        Put(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c >= 0xD800 && c <= 0xDFFF) {
        Put('?');
    } else if (c < 0x10000) {
        Put(static_cast<char>(0xE0 | (c >> 12)));
        Put(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        Put(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x110000) {
        Put(static_cast<char>(0xF0 | (c >> 18)));
        Put(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        Put(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        Put(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        Put('?');
    }
}

enum class Length { None, Char, Short, Long, LongLong, Int32, Int64, Pointer, Max, LongDouble, Wide };

struct Spec {
    bool left = false;
    bool plus = false;
    bool space = false;
    bool alt = false;
    bool zero = false;
    bool widthArg = false;      // '*'
    bool precisionArg = false;  // '.*'
    int width = 0;
    int precision = -1;
    Length length = Length::None;
    char conversion = 0;
};

int ParseNumber(const char*& p)
{
    int value = 0;
    while (*p >= '0' && *p <= '9') {
        if (value < kMaxField) {
            value = value * 10 + (*p - '0');
        }
        ++p;
    }
    return value < kMaxField ? value : kMaxField;
}

// Reads flags, width, precision, length and conversion; p is past the '%'.
// Returns false (with p where reading stopped) when the text is no conversion.
bool ParseSpec(const char*& p, Spec& spec)
{
    for (;; ++p) {
        if (*p == '-') {
            spec.left = true;
        } else if (*p == '+') {
            spec.plus = true;
        } else if (*p == ' ') {
            spec.space = true;
        } else if (*p == '#') {
            spec.alt = true;
        } else if (*p == '0') {
            spec.zero = true;
        } else {
            break;
        }
    }
    if (*p == '*') {
        spec.widthArg = true;
        ++p;
    } else {
        spec.width = ParseNumber(p);
    }
    if (*p == '.') {
        ++p;
        if (*p == '*') {
            spec.precisionArg = true;
            ++p;
        } else {
            spec.precision = ParseNumber(p);
        }
    }
    switch (*p) {
    case 'h':
        spec.length = p[1] == 'h' ? Length::Char : Length::Short;
        p += p[1] == 'h' ? 2 : 1;
        break;
    case 'l':
        spec.length = p[1] == 'l' ? Length::LongLong : Length::Long;
        p += p[1] == 'l' ? 2 : 1;
        break;
    case 'I':
        if (p[1] == '6' && p[2] == '4') {
            spec.length = Length::Int64;
            p += 3;
        } else if (p[1] == '3' && p[2] == '2') {
            spec.length = Length::Int32;
            p += 3;
        } else {
            spec.length = Length::Pointer;
            p += 1;
        }
        break;
    case 'z':
    case 't':
        spec.length = Length::Pointer;
        ++p;
        break;
    case 'j':
        spec.length = Length::Max;
        ++p;
        break;
    case 'L':
        spec.length = Length::LongDouble;
        ++p;
        break;
    case 'w':
        spec.length = Length::Wide;
        ++p;
        break;
    default:
        break;
    }
    if (*p == '\0') {
        return false;
    }
    spec.conversion = *p;
    return strchr("diouxXcCsSZpneEfFgGaA%", spec.conversion) != nullptr;
}

bool IsWide(const Spec& spec)
{
    if (spec.conversion == 'C' || spec.conversion == 'S') {
        return spec.length != Length::Short;
    }
    return spec.length == Length::Long || spec.length == Length::Wide;
}

// Where the formatter takes its arguments from: the caller's list, a capture
// of it, or nowhere (planning, which notes what each conversion asks for and
// hands it a neutral value).
class Arguments {
public:
    explicit Arguments(va_list list) : mode_(Mode::List) { va_copy(list_, list); }
    explicit Arguments(const CapturedArguments& captured) : mode_(Mode::Captured), captured_(&captured) {}
    explicit Arguments(ArgumentPlan& plan) : mode_(Mode::Plan), plan_(&plan) {}
    ~Arguments()
    {
        if (mode_ == Mode::List) {
            va_end(list_);
        }
    }
    Arguments(const Arguments&) = delete;
    Arguments& operator=(const Arguments&) = delete;

    int Int()
    {
        if (mode_ == Mode::List) {
            return va_arg(list_, int);
        }
        return static_cast<int>(Take(ArgumentKind::Int));
    }
    unsigned UInt() { return mode_ == Mode::List ? va_arg(list_, unsigned int) : static_cast<unsigned>(Int()); }
    long long Int64()
    {
        if (mode_ == Mode::List) {
            return va_arg(list_, long long);
        }
        return static_cast<long long>(Take(ArgumentKind::Int64));
    }
    unsigned long long UInt64()
    {
        return mode_ == Mode::List ? va_arg(list_, unsigned long long) : static_cast<unsigned long long>(Int64());
    }
    void* Pointer()
    {
        if (mode_ == Mode::List) {
            return va_arg(list_, void*);
        }
        return reinterpret_cast<void*>(static_cast<uintptr_t>(Take(ArgumentKind::Pointer)));
    }
    double Double()
    {
        if (mode_ == Mode::List) {
            return va_arg(list_, double);
        }
        uint64_t bits = Take(ArgumentKind::Double);
        double value;
        memcpy(&value, &bits, sizeof value);
        return value;
    }
    long double LongDouble()
    {
        if (mode_ == Mode::Plan) {
            plan_->capturable = false;  // 16 bytes: formatted at once
        }
        return mode_ == Mode::List ? va_arg(list_, long double) : 0.0L;
    }
    // The string conversions say how many characters they read at most.
    const char* Narrow(size_t limit)
    {
        if (mode_ == Mode::List) {
            return va_arg(list_, const char*);
        }
        return static_cast<const char*>(Copy(ArgumentKind::Narrow, limit));
    }
    const WCHAR* Wide(size_t limit)
    {
        if (mode_ == Mode::List) {
            return va_arg(list_, const WCHAR*);
        }
        return static_cast<const WCHAR*>(Copy(ArgumentKind::Wide, limit));
    }
    PCUNICODE_STRING Unicode(size_t limit)
    {
        if (mode_ == Mode::List) {
            return va_arg(list_, PCUNICODE_STRING);
        }
        auto* copy = static_cast<const uint32_t*>(Copy(ArgumentKind::Unicode, limit));
        if (copy == nullptr) {
            return nullptr;
        }
        UNICODE_STRING& string = unicode_[index_ - 1];
        string.Length = string.MaximumLength = static_cast<USHORT>(copy[0] * sizeof(WCHAR));
        string.Buffer = const_cast<PWSTR>(reinterpret_cast<const WCHAR*>(copy + 1));
        return &string;
    }
    PCANSI_STRING Ansi(size_t limit)
    {
        if (mode_ == Mode::List) {
            return va_arg(list_, PCANSI_STRING);
        }
        auto* copy = static_cast<const uint32_t*>(Copy(ArgumentKind::Ansi, limit));
        if (copy == nullptr) {
            return nullptr;
        }
        ANSI_STRING& string = ansi_[index_ - 1];
        string.Length = string.MaximumLength = static_cast<USHORT>(copy[0]);
        string.Buffer = const_cast<PCHAR>(reinterpret_cast<const char*>(copy + 1));
        return &string;
    }
    const GUID* Guid()
    {
        if (mode_ == Mode::List) {
            return va_arg(list_, const GUID*);
        }
        return static_cast<const GUID*>(Copy(ArgumentKind::Guid, 0));
    }
    // A '*' precision: a capture cannot know ahead how much of a string to keep.
    void DynamicPrecision()
    {
        if (mode_ == Mode::Plan) {
            plan_->capturable = false;
        }
    }

private:
    enum class Mode { List, Captured, Plan };

    uint64_t Take(ArgumentKind kind, size_t limit = 0)
    {
        if (mode_ == Mode::Plan) {
            if (plan_->count == kMaxCapturedArguments) {
                plan_->capturable = false;
            } else {
                plan_->kinds[plan_->count] = kind;
                plan_->limits[plan_->count] = limit;
                ++plan_->count;
            }
            return 0;
        }
        return index_ < captured_->count ? captured_->slots[index_++] : (index_++, 0);
    }
    // The copy a pointer argument was captured as (planning: NULL).
    const void* Copy(ArgumentKind kind, size_t limit)
    {
        uint64_t slot = Take(kind, limit);
        return slot == 0 ? nullptr : captured_->text + (slot - 1);
    }

    Mode mode_;
    va_list list_;
    const CapturedArguments* captured_ = nullptr;
    ArgumentPlan* plan_ = nullptr;
    size_t index_ = 0;
    UNICODE_STRING unicode_[kMaxCapturedArguments];  // filled before each is handed out
    ANSI_STRING ansi_[kMaxCapturedArguments];
};

class Formatter {
public:
    Formatter(Output& out, const FormatContext& context, Arguments& args) : out_(out), context_(context), args_(args)
    {
    }
    Formatter(const Formatter&) = delete;
    Formatter& operator=(const Formatter&) = delete;

    void Run(const char* format);

private:
    const char* Conversion(const char* percent);
    const char* Extension(const char* percent);
    void Argument(Spec& spec);

    void Signed(const Spec& spec);
    void Unsigned(const Spec& spec);
    void Number(const Spec& spec, ULONGLONG magnitude, bool negative, bool isSigned);
    void Character(const Spec& spec);
    void String(const Spec& spec);
    void CountedString(const Spec& spec);
    void Pointer(const Spec& spec);
    void Floating(const Spec& spec);

    void Narrow(const Spec& spec, const char* text, size_t limit);
    void Wide(const Spec& spec, const WCHAR* text, size_t limit);
    void Hex(ULONGLONG value, int digits, bool upper);

    void Status(NTSTATUS status);
    void Flags(ULONG flags);
    void Guid(const GUID* guid);

    Output& out_;
    const FormatContext& context_;
    Arguments& args_;
};

void Formatter::Run(const char* format)
{
    const char* p = format;
    while (*p != '\0' && !out_.Full()) {
        if (*p != '%') {
            out_.Put(*p++);
            continue;
        }
        p = p[1] == '!' ? Extension(p) : Conversion(p);
    }
}

// One printf conversion starting at percent; returns where the text goes on.
const char* Formatter::Conversion(const char* percent)
{
    Spec spec;
    const char* p = percent + 1;
    if (!ParseSpec(p, spec)) {
        // Not a conversion: copy it as it stands, up to and with the character that ended it.
        const char* end = *p == '\0' ? p : p + 1;
        out_.Write(percent, static_cast<size_t>(end - percent));
        return end;
    }
    Argument(spec);
    return p + 1;
}

void Formatter::Argument(Spec& spec)
{
    if (spec.conversion == '%') {
        out_.Put('%');
        return;
    }
    if (spec.widthArg) {
        int width = args_.Int();
        if (width < 0) {
            spec.left = true;
            width = width == -2147483647 - 1 ? kMaxField : -width;
        }
        spec.width = width < kMaxField ? width : kMaxField;
    }
    if (spec.precisionArg) {
        args_.DynamicPrecision();
        int precision = args_.Int();
        spec.precision = precision < 0 ? -1 : (precision < kMaxField ? precision : kMaxField);
    }
    switch (spec.conversion) {
    case 'd':
    case 'i':
        Signed(spec);
        break;
    case 'o':
    case 'u':
    case 'x':
    case 'X':
        Unsigned(spec);
        break;
    case 'c':
    case 'C':
        Character(spec);
        break;
    case 's':
    case 'S':
        String(spec);
        break;
    case 'Z':
        CountedString(spec);
        break;
    case 'p':
        Pointer(spec);
        break;
    case 'n':
        // Never writes through a trace argument; the pointer is only taken off the list.
        (void)args_.Pointer();
        break;
    default:
        Floating(spec);
        break;
    }
}

void Formatter::Signed(const Spec& spec)
{
    LONGLONG value;
    switch (spec.length) {
    case Length::Char:
        value = static_cast<signed char>(args_.Int());
        break;
    case Length::Short:
        value = static_cast<short>(args_.Int());
        break;
    case Length::LongLong:
    case Length::Int64:
    case Length::Max:
    case Length::LongDouble:
        value = args_.Int64();
        break;
    case Length::Pointer:
        value = args_.Int64();
        break;
    default:  // none, l (a 32-bit LONG), I32, w
        value = args_.Int();
        break;
    }
    ULONGLONG magnitude = value < 0 ? 0 - static_cast<ULONGLONG>(value) : static_cast<ULONGLONG>(value);
    Number(spec, magnitude, value < 0, true);
}

void Formatter::Unsigned(const Spec& spec)
{
    ULONGLONG value;
    switch (spec.length) {
    case Length::Char:
        value = static_cast<unsigned char>(args_.UInt());
        break;
    case Length::Short:
        value = static_cast<unsigned short>(args_.UInt());
        break;
    case Length::LongLong:
    case Length::Int64:
    case Length::Max:
    case Length::LongDouble:
        value = args_.UInt64();
        break;
    case Length::Pointer:
        value = args_.UInt64();
        break;
    default:  // none, l (a 32-bit ULONG), I32, w
        value = args_.UInt();
        break;
    }
    Number(spec, value, false, false);
}

void Formatter::Number(const Spec& spec, ULONGLONG magnitude, bool negative, bool isSigned)
{
    char digits[24];
    int count = 0;
    unsigned base = spec.conversion == 'o' ? 8 : (spec.conversion == 'x' || spec.conversion == 'X') ? 16 : 10;
    const char* alphabet = spec.conversion == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
    for (ULONGLONG v = magnitude; v != 0; v /= base) {
        digits[count++] = alphabet[v % base];
    }
    // The C rule: precision is the minimum digit count, and 0 with precision 0 prints no digits.
    int minimum = spec.precision >= 0 ? spec.precision : 1;
    int zeros = minimum > count ? minimum - count : 0;

    char prefix[3] = {};
    if (negative) {
        prefix[0] = '-';
    } else if (isSigned && spec.plus) {
        prefix[0] = '+';
    } else if (isSigned && spec.space) {
        prefix[0] = ' ';
    } else if (spec.alt && base == 16 && magnitude != 0) {
        prefix[0] = '0';
        prefix[1] = spec.conversion;
    } else if (spec.alt && base == 8 && zeros == 0 && (count == 0 || digits[count - 1] != '0')) {
        zeros = 1;
    }
    int prefixLength = static_cast<int>(strlen(prefix));
    int total = prefixLength + zeros + count;
    int padding = spec.width > total ? spec.width - total : 0;

    if (!spec.left && !(spec.zero && spec.precision < 0)) {
        out_.Pad(' ', padding);
    }
    out_.Write(prefix, static_cast<size_t>(prefixLength));
    if (!spec.left && spec.zero && spec.precision < 0) {
        out_.Pad('0', padding);
    }
    out_.Pad('0', zeros);
    while (count > 0) {
        out_.Put(digits[--count]);
    }
    if (spec.left) {
        out_.Pad(' ', padding);
    }
}

void Formatter::Character(const Spec& spec)
{
    ULONG c = static_cast<ULONG>(args_.Int());
    int padding = spec.width > 1 ? spec.width - 1 : 0;
    if (!spec.left) {
        out_.Pad(' ', padding);
    }
    if (IsWide(spec)) {
        out_.PutWide(c);
    } else {
        out_.Put(static_cast<char>(c));
    }
    if (spec.left) {
        out_.Pad(' ', padding);
    }
}

void Formatter::String(const Spec& spec)
{
    size_t limit = spec.precision >= 0 ? static_cast<size_t>(spec.precision) : SIZE_MAX;
    if (IsWide(spec)) {
        const WCHAR* text = args_.Wide(limit);
        if (text == nullptr) {
            Narrow(spec, "(null)", limit);
            return;
        }
        size_t length = 0;
        while (length < limit && text[length] != L'\0') {
            ++length;
        }
        Wide(spec, text, length);
    } else {
        const char* text = args_.Narrow(limit);
        if (text == nullptr) {
            text = "(null)";
        }
        Narrow(spec, text, strnlen(text, limit));
    }
}

// %wZ (a UNICODE_STRING) and %Z (an ANSI_STRING): Length bytes, no terminator needed.
void Formatter::CountedString(const Spec& spec)
{
    size_t limit = spec.precision >= 0 ? static_cast<size_t>(spec.precision) : SIZE_MAX;
    if (IsWide(spec)) {
        PCUNICODE_STRING string = args_.Unicode(limit);
        if (string == nullptr || string->Buffer == nullptr) {
            Narrow(spec, "NULL", SIZE_MAX);
            return;
        }
        // A Length past the buffer's MaximumLength is malformed; never read beyond the buffer.
        USHORT bytes = string->Length < string->MaximumLength ? string->Length : string->MaximumLength;
        size_t length = bytes / sizeof(WCHAR);
        Wide(spec, string->Buffer, length < limit ? length : limit);
    } else {
        PCANSI_STRING string = args_.Ansi(limit);
        if (string == nullptr || string->Buffer == nullptr) {
            Narrow(spec, "NULL", SIZE_MAX);
            return;
        }
        size_t length = string->Length < string->MaximumLength ? string->Length : string->MaximumLength;
        Narrow(spec, string->Buffer, length < limit ? length : limit);
    }
}

void Formatter::Narrow(const Spec& spec, const char* text, size_t length)
{
    length = strnlen(text, length);
    int padding = spec.width > static_cast<int>(length) ? spec.width - static_cast<int>(length) : 0;
    if (!spec.left) {
        out_.Pad(' ', padding);
    }
    out_.Write(text, length);
    if (spec.left) {
        out_.Pad(' ', padding);
    }
}

void Formatter::Wide(const Spec& spec, const WCHAR* text, size_t length)
{
    int padding = spec.width > static_cast<int>(length) ? spec.width - static_cast<int>(length) : 0;
    if (!spec.left) {
        out_.Pad(' ', padding);
    }
    for (size_t i = 0; i < length && !out_.Full(); ++i) {
        out_.PutWide(static_cast<ULONG>(text[i]));
    }
    if (spec.left) {
        out_.Pad(' ', padding);
    }
}

// %p as on Windows: every digit of the pointer, upper case, no prefix.
void Formatter::Pointer(const Spec& spec)
{
    Spec hex = spec;
    hex.conversion = 'X';
    hex.precision = static_cast<int>(sizeof(void*) * 2);
    hex.alt = false;
    Number(hex, reinterpret_cast<ULONG_PTR>(args_.Pointer()), false, false);
}

// Kernel code rarely traces floating point; the C library formats it.
void Formatter::Floating(const Spec& spec)
{
    char format[16];
    char* f = format;
    *f++ = '%';
    if (spec.left) *f++ = '-';
    if (spec.plus) *f++ = '+';
    if (spec.space) *f++ = ' ';
    if (spec.alt) *f++ = '#';
    if (spec.zero) *f++ = '0';
    *f++ = '*';
    *f++ = '.';
    *f++ = '*';
    if (spec.length == Length::LongDouble) *f++ = 'L';
    *f++ = spec.conversion;
    *f = '\0';
    int width = spec.width < 64 ? spec.width : 64;
    int precision = spec.precision < 0 ? 6 : (spec.precision < 40 ? spec.precision : 40);
    char text[512];
    if (spec.length == Length::LongDouble) {
        snprintf(text, sizeof text, format, width, precision, args_.LongDouble());
    } else {
        snprintf(text, sizeof text, format, width, precision, args_.Double());
    }
    out_.Write(text);
}

void Formatter::Hex(ULONGLONG value, int digits, bool upper)
{
    const char* alphabet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
        out_.Put(alphabet[(value >> shift) & 0xF]);
    }
}

// %!NAME!: the trace extensions. An unknown or unterminated name is copied as text.
const char* Formatter::Extension(const char* percent)
{
    const char* name = percent + 2;
    const char* end = name;
    while (end - name < 32 && ((*end >= 'A' && *end <= 'Z') || (*end >= 'a' && *end <= 'z') ||
                               (*end >= '0' && *end <= '9') || *end == '_')) {
        ++end;
    }
    if (*end != '!' || end == name) {
        out_.Write(percent, static_cast<size_t>(name - percent));
        return name;
    }
    auto is = [&](const char* known) {
        return strlen(known) == static_cast<size_t>(end - name) && memcmp(name, known, end - name) == 0;
    };
    if (is("FUNC")) {
        out_.Write(context_.function != nullptr ? context_.function : "?");
    } else if (is("COMPNAME")) {
        out_.Write(context_.unit != nullptr ? context_.unit : "?");
    } else if (is("LINE")) {
        Spec spec;
        spec.conversion = 'u';
        Number(spec, context_.line, false, false);
    } else if (is("LEVEL")) {
        UCHAR level = context_.level;
        if (level >= 1 && level <= 5) {
            out_.Write("TRACE_LEVEL_");
            out_.Write(level == 4 ? "INFORMATION" : LevelName(level));
        } else {
            Spec spec;
            spec.conversion = 'u';
            Number(spec, level, false, false);
        }
    } else if (is("FLAGS")) {
        Flags(context_.flags);
    } else if (is("STATUS")) {
        Status(args_.Int());
    } else if (is("HRESULT")) {
        out_.Write("0x");
        Hex(args_.UInt(), 8, true);
    } else if (is("BOOLEAN") || is("bool")) {
        out_.Write(args_.Int() != 0 ? "TRUE" : "FALSE");
    } else if (is("GUID")) {
        Guid(args_.Guid());
    } else {
        out_.Write(percent, static_cast<size_t>(end + 1 - percent));
    }
    return end + 1;
}

// Same text as plat::FormatStatus, without a string allocation.
void Formatter::Status(NTSTATUS status)
{
    const char* name = StatusName(status);
    if (name != nullptr) {
        out_.Write(name);
        out_.Write(" (");
    }
    out_.Write("0x");
    Hex(static_cast<ULONG>(status), 8, true);
    if (name != nullptr) {
        out_.Put(')');
    }
}

void Formatter::Flags(ULONG flags)
{
    ULONG unnamed = flags;
    bool first = true;
    for (size_t bit = 0; bit < context_.flagCount && bit < 32; ++bit) {
        const char* name = context_.flagNames != nullptr ? context_.flagNames[bit] : nullptr;
        if ((flags & (1u << bit)) == 0 || name == nullptr) {
            continue;
        }
        if (!first) {
            out_.Put('|');
        }
        out_.Write(name);
        unnamed &= ~(1u << bit);
        first = false;
    }
    if (unnamed != 0 || first) {
        if (!first) {
            out_.Put('|');
        }
        out_.Write("0x");
        Hex(unnamed, 8, true);
    }
}

void Formatter::Guid(const GUID* guid)
{
    if (guid == nullptr) {
        out_.Write("NULL");
        return;
    }
    out_.Put('{');
    Hex(guid->Data1, 8, true);
    out_.Put('-');
    Hex(guid->Data2, 4, true);
    out_.Put('-');
    Hex(guid->Data3, 4, true);
    out_.Put('-');
    for (int i = 0; i < 8; ++i) {
        if (i == 2) {
            out_.Put('-');
        }
        Hex(guid->Data4[i], 2, true);
    }
    out_.Put('}');
}

}  // namespace

size_t FormatTraceV(char* out, size_t size, const FormatContext& context, const char* format, va_list args)
{
    Output output(out, size);
    Arguments arguments(args);
    Formatter formatter(output, context, arguments);
    formatter.Run(format != nullptr ? format : "");
    return output.Finish();
}

ArgumentPlan PlanArguments(const char* format)
{
    ArgumentPlan plan;
    Output output = Output::Discard();
    Arguments arguments(plan);
    FormatContext nothing;
    Formatter formatter(output, nothing, arguments);
    formatter.Run(format != nullptr ? format : "");
    return plan;
}

size_t FormatCaptured(char* out, size_t size, const FormatContext& context, const char* format,
                      const CapturedArguments& captured)
{
    Output output(out, size);
    Arguments arguments(captured);
    Formatter formatter(output, context, arguments);
    formatter.Run(format != nullptr ? format : "");
    return output.Finish();
}

size_t FormatTrace(char* out, size_t size, const FormatContext& context, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    size_t length = FormatTraceV(out, size, context, format, args);
    va_end(args);
    return length;
}

std::string GuidText(const GUID& guid)
{
    char text[40];
    FormatTrace(text, sizeof text, FormatContext{}, "%!GUID!", &guid);
    return text;
}

const char* LevelName(UCHAR level)
{
    switch (level) {
    case 0: return "NONE";
    case 1: return "CRITICAL";
    case 2: return "ERROR";
    case 3: return "WARNING";
    case 4: return "INFO";
    case 5: return "VERBOSE";
    default: return "LEVEL";
    }
}

}  // namespace plat::trace
