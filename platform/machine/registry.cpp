/*
 * The registry hive and its .reg file.
 *
 * The file follows regedit's conventions: a header line, one [section] per
 * key, "name"="text" for REG_SZ, dword:xxxxxxxx for a four-byte REG_DWORD,
 * hex: for REG_BINARY and hex(type): for everything else, long hex lists
 * wrapped with a trailing backslash. It is written as UTF-8; UTF-16LE with a
 * byte-order mark (what regedit writes) is read as well.
 */
#include "machine/registry.h"

#include <wdm.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace plat {
namespace {

constexpr size_t kMaxKeyName = 255;
constexpr size_t kMaxValueName = 16383;
constexpr size_t kMaxDepth = 512;  // key levels below a root, as Windows allows
constexpr std::wstring_view kHeader = L"Windows Registry Editor Version 5.00";

struct RootName {
    const wchar_t* nt;    // below \Registry
    const wchar_t* file;  // in the .reg file
};
constexpr RootName kRoots[] = {
    {L"Machine", L"HKEY_LOCAL_MACHINE"},
    {L"User", L"HKEY_USERS"},
};

// ---------------------------------------------------------------- names

// Upper-case folding for ASCII and Latin-1, enough for the names the system uses.
wchar_t Fold(wchar_t c)
{
    if (c >= L'a' && c <= L'z') return c - (L'a' - L'A');
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 0x20;
    return c;
}

std::wstring Folded(std::wstring_view name)
{
    std::wstring out(name);
    for (auto& c : out) c = Fold(c);
    return out;
}

bool IsSurrogate(uint32_t u) { return u >= 0xD800 && u <= 0xDFFF; }

// Control characters cannot be written to the file; a lone surrogate cannot be written as UTF-8.
bool ValidNameChar(wchar_t c)
{
    auto u = static_cast<uint32_t>(c);
    return u >= 0x20 && u <= 0x10FFFF && !IsSurrogate(u);
}

bool ValidKeyName(std::wstring_view name)
{
    if (name.empty() || name.size() > kMaxKeyName) return false;
    for (wchar_t c : name) {
        if (c == L'\\' || !ValidNameChar(c)) return false;
    }
    return true;
}

bool ValidValueName(std::wstring_view name)
{
    if (name.size() > kMaxValueName) return false;
    for (wchar_t c : name) {
        if (!ValidNameChar(c)) return false;
    }
    return true;
}

// ---------------------------------------------------------------- text encodings

void AppendUtf8(std::string& out, uint32_t u)
{
    if (u > 0x10FFFF || IsSurrogate(u)) u = 0xFFFD;
    if (u < 0x80) {
        out += static_cast<char>(u);
    } else if (u < 0x800) {
        out += static_cast<char>(0xC0 | (u >> 6));
        out += static_cast<char>(0x80 | (u & 0x3F));
    } else if (u < 0x10000) {
        out += static_cast<char>(0xE0 | (u >> 12));
        out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (u & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (u >> 18));
        out += static_cast<char>(0x80 | ((u >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (u & 0x3F));
    }
}

std::string Utf8(std::wstring_view text)
{
    std::string out;
    out.reserve(text.size());
    for (wchar_t c : text) AppendUtf8(out, static_cast<uint32_t>(c));
    return out;
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool DecodeUtf8(std::string_view in, std::wstring* out)
{
    out->clear();
    size_t i = 0;
    while (i < in.size()) {
        auto b = static_cast<uint8_t>(in[i]);
        uint32_t u;
        size_t extra;
        if (b < 0x80) {
            u = b, extra = 0;
        } else if (b >= 0xC2 && b <= 0xDF) {
            u = b & 0x1F, extra = 1;
        } else if (b >= 0xE0 && b <= 0xEF) {
            u = b & 0x0F, extra = 2;
        } else if (b >= 0xF0 && b <= 0xF4) {
            u = b & 0x07, extra = 3;
        } else {
            return false;
        }
        if (in.size() - i <= extra) return false;
        for (size_t k = 1; k <= extra; ++k) {
            auto c = static_cast<uint8_t>(in[i + k]);
            if ((c & 0xC0) != 0x80) return false;
            u = (u << 6) | (c & 0x3F);
        }
        static constexpr uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
        if (u < kMin[extra] || u > 0x10FFFF || IsSurrogate(u)) return false;
        out->push_back(static_cast<wchar_t>(u));
        i += extra + 1;
    }
    return true;
}

// One WCHAR as UTF-16LE: a pair for characters beyond the basic plane; a lone
// surrogate stays one unit, so whatever the driver wrote comes back unchanged.
void AppendUtf16(std::vector<uint8_t>& out, wchar_t c)
{
    auto u = static_cast<uint32_t>(c);
    auto unit = [&out](uint32_t v) {
        out.push_back(static_cast<uint8_t>(v & 0xFF));
        out.push_back(static_cast<uint8_t>(v >> 8));
    };
    if (u > 0x10FFFF) u = 0xFFFD;
    if (u >= 0x10000) {
        u -= 0x10000;
        unit(0xD800 | (u >> 10));
        unit(0xDC00 | (u & 0x3FF));
    } else {
        unit(u);
    }
}

// UTF-16LE units to WCHARs; `wellFormed` tells whether every surrogate was paired.
std::wstring DecodeUtf16(const uint8_t* data, size_t units, bool* wellFormed = nullptr)
{
    std::wstring out;
    out.reserve(units);
    bool ok = true;
    for (size_t i = 0; i < units; ++i) {
        uint32_t u = data[2 * i] | (data[2 * i + 1] << 8);
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
            uint32_t low = data[2 * i + 2] | (data[2 * i + 3] << 8);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                out.push_back(static_cast<wchar_t>(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00)));
                ++i;
                continue;
            }
        }
        if (IsSurrogate(u)) ok = false;
        out.push_back(static_cast<wchar_t>(u));
    }
    if (wellFormed) *wellFormed = ok;
    return out;
}

// ---------------------------------------------------------------- paths

// Splits \Registry\<root>\... into its components below \Registry.
NTSTATUS SplitPath(std::wstring_view path, std::vector<std::wstring_view>* parts)
{
    parts->clear();
    if (path.empty() || path[0] != L'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    path.remove_prefix(1);
    for (;;) {
        size_t cut = path.find(L'\\');
        std::wstring_view component = path.substr(0, cut);
        if (!ValidKeyName(component) || parts->size() > kMaxDepth + 1) return STATUS_OBJECT_NAME_INVALID;
        parts->push_back(component);
        if (cut == std::wstring_view::npos) break;
        path.remove_prefix(cut + 1);
    }
    if (Folded(parts->front()) != L"REGISTRY") return STATUS_OBJECT_PATH_NOT_FOUND;
    parts->erase(parts->begin());
    return STATUS_SUCCESS;
}

RegistryKey* Child(const RegistryKey& key, std::wstring_view name)
{
    auto it = key.subkeys.find(Folded(name));
    return it == key.subkeys.end() ? nullptr : it->second.get();
}

RegistryKey* AddChild(RegistryKey& key, std::wstring_view name)
{
    auto& slot = key.subkeys[Folded(name)];
    if (!slot) {
        slot = std::make_unique<RegistryKey>();
        slot->name = std::wstring(name);
    }
    return slot.get();
}

void SetEntry(RegistryKey& key, std::wstring_view name, const RegistryValue& value)
{
    key.values[Folded(name)] = RegistryEntry{std::wstring(name), value};
}

[[noreturn]] void BadPath(std::wstring_view path)
{
    throw std::invalid_argument("not a registry key path: " + RegistryText(path));
}

// ---------------------------------------------------------------- the .reg reader

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

std::wstring_view TrimLeft(std::wstring_view s)
{
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    return s;
}

std::wstring_view TrimRight(std::wstring_view s)
{
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

std::wstring_view Trim(std::wstring_view s) { return TrimRight(TrimLeft(s)); }

int HexDigit(wchar_t c)
{
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

// 1 to 8 hex digits and nothing else.
bool ParseHex32(std::wstring_view digits, uint32_t* value)
{
    if (digits.empty() || digits.size() > 8) return false;
    uint32_t v = 0;
    for (wchar_t c : digits) {
        int d = HexDigit(c);
        if (d < 0) return false;
        v = (v << 4) | static_cast<uint32_t>(d);
    }
    *value = v;
    return true;
}

bool StartsWithNoCase(std::wstring_view s, std::wstring_view prefix)
{
    if (s.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (Fold(s[i]) != Fold(prefix[i])) return false;
    }
    return true;
}

class Parser {
public:
    explicit Parser(std::string_view text) : text_(text) {}

    Registry::ParseResult Run()
    {
        Registry::ParseResult result;
        root_ = Registry::EmptyHive();
        if (Decode() && Header()) Body();
        if (!error_.empty()) {
            result.line = errorLine_;
            result.error = error_;
        } else {
            result.root = std::move(root_);
        }
        return result;
    }

private:
    bool Fail(const std::string& message)
    {
        if (error_.empty()) {
            error_ = message;
            errorLine_ = line_ == 0 ? 1 : line_;
        }
        return false;
    }

    // Brings UTF-16LE text (regedit's own) to UTF-8 and drops a byte-order mark.
    bool Decode()
    {
        if (text_.size() >= 2 && static_cast<uint8_t>(text_[0]) == 0xFF && static_cast<uint8_t>(text_[1]) == 0xFE) {
            auto bytes = reinterpret_cast<const uint8_t*>(text_.data()) + 2;
            size_t units = (text_.size() - 2) / 2;
            bool wellFormed = true;
            std::wstring wide = DecodeUtf16(bytes, units, &wellFormed);
            if ((text_.size() & 1) != 0 || !wellFormed) return Fail("invalid UTF-16 text");
            owned_ = Utf8(wide);
            text_ = owned_;
        } else if (text_.size() >= 3 && text_.substr(0, 3) == "\xEF\xBB\xBF") {
            text_.remove_prefix(3);
        }
        return true;
    }

    // The next line without its line break; false at the end or on bad UTF-8.
    bool NextLine(std::wstring* line)
    {
        if (pos_ >= text_.size()) return false;
        size_t end = text_.find('\n', pos_);
        if (end == std::string_view::npos) end = text_.size();
        std::string_view raw = text_.substr(pos_, end - pos_);
        pos_ = end + 1;
        ++line_;
        if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
        if (!DecodeUtf8(raw, line)) return Fail("invalid UTF-8");
        return true;
    }

    bool Header()
    {
        std::wstring line;
        while (NextLine(&line)) {
            if (Trim(line).empty()) continue;
            if (Trim(line) == kHeader) return true;
            return Fail("expected \"Windows Registry Editor Version 5.00\"");
        }
        return Fail("expected \"Windows Registry Editor Version 5.00\"");
    }

    void Body()
    {
        std::wstring line;
        while (error_.empty() && NextLine(&line)) {
            std::wstring_view view = TrimLeft(line);
            if (view.empty() || view[0] == L';') continue;
            if (view[0] == L'[') {
                Section(view);
            } else if (view[0] == L'"' || view[0] == L'@') {
                Value(view);
            } else {
                Fail("expected \"name\"=value");
            }
        }
    }

    bool Section(std::wstring_view view)
    {
        view = TrimRight(view);
        if (view.size() < 2 || view.back() != L']') return Fail("unterminated section");
        std::wstring_view inner = view.substr(1, view.size() - 2);
        bool remove = !inner.empty() && inner[0] == L'-';
        if (remove) inner.remove_prefix(1);

        std::vector<std::wstring_view> parts;
        for (;;) {
            size_t cut = inner.find(L'\\');
            parts.push_back(inner.substr(0, cut));
            if (cut == std::wstring_view::npos) break;
            inner.remove_prefix(cut + 1);
        }
        RegistryKey* key = Root(parts[0]);
        if (!key) return Fail("unknown root key");
        if (parts.size() > kMaxDepth + 1) return Fail("key path too deep");
        for (size_t i = 1; i < parts.size(); ++i) {
            if (!ValidKeyName(parts[i])) return Fail("bad key name");
        }
        current_ = nullptr;
        inRemoved_ = remove;
        if (remove) return RemoveKey(parts);
        for (size_t i = 1; i < parts.size(); ++i) key = AddChild(*key, parts[i]);
        current_ = key;
        return true;
    }

    RegistryKey* Root(std::wstring_view fileName)
    {
        for (const auto& root : kRoots) {
            if (Folded(fileName) == Folded(root.file)) return Child(*root_, root.nt);
        }
        return nullptr;
    }

    bool RemoveKey(const std::vector<std::wstring_view>& parts)
    {
        if (parts.size() < 2) return Fail("a root key cannot be removed");
        RegistryKey* parent = Root(parts[0]);
        for (size_t i = 1; parent && i + 1 < parts.size(); ++i) parent = Child(*parent, parts[i]);
        if (parent) parent->subkeys.erase(Folded(parts.back()));
        return true;
    }

    bool Value(std::wstring_view view)
    {
        if (!current_) return Fail(inRemoved_ ? "value in a removed key" : "value outside a key");
        std::wstring name;
        if (view[0] == L'@') {
            view.remove_prefix(1);
        } else if (!Quoted(view, &name)) {
            return false;
        }
        view = TrimLeft(view);
        if (view.empty() || view[0] != L'=') return Fail("expected \"name\"=value");
        view = Trim(view.substr(1));
        if (!ValidValueName(name)) return Fail("bad value name");
        if (view == L"-") {
            current_->values.erase(Folded(name));
            return true;
        }
        RegistryValue value;
        if (!Data(view, &value)) return false;
        SetEntry(*current_, name, value);
        return true;
    }

    // A quoted string with \\ and \" escapes; `view` is left after the closing quote.
    bool Quoted(std::wstring_view& view, std::wstring* out)
    {
        for (size_t i = 1; i < view.size(); ++i) {
            wchar_t c = view[i];
            if (c == L'"') {
                view.remove_prefix(i + 1);
                return true;
            }
            if (c == L'\\') {
                if (i + 1 == view.size()) break;
                wchar_t next = view[++i];
                if (next != L'\\' && next != L'"') return Fail("bad escape");
                c = next;
            }
            out->push_back(c);
        }
        return Fail("unterminated string");
    }

    bool Data(std::wstring_view view, RegistryValue* value)
    {
        if (view.empty()) return Fail("missing value data");
        if (view[0] == L'"') {
            std::wstring text;
            if (!Quoted(view, &text)) return false;
            if (!Trim(view).empty()) return Fail("unexpected text after the value");
            *value = RegistryValue::String(text, REG_SZ);
            return true;
        }
        if (StartsWithNoCase(view, L"dword:")) {
            uint32_t v;
            if (!ParseHex32(view.substr(6), &v)) return Fail("bad dword");
            *value = RegistryValue::Dword(v);
            return true;
        }
        if (StartsWithNoCase(view, L"hex:")) {
            value->type = REG_BINARY;
            return HexList(view.substr(4), &value->data);
        }
        if (StartsWithNoCase(view, L"hex(")) {
            size_t close = view.find(L')');
            uint32_t type;
            if (close == std::wstring_view::npos || !ParseHex32(view.substr(4, close - 4), &type) ||
                close + 1 >= view.size() || view[close + 1] != L':') {
                return Fail("bad hex type");
            }
            value->type = type;
            return HexList(view.substr(close + 2), &value->data);
        }
        return Fail("unknown value type");
    }

    // Comma-separated bytes, continued on the next line after a trailing backslash.
    bool HexList(std::wstring_view segment, std::vector<uint8_t>* out)
    {
        std::wstring next;
        for (;;) {
            segment = Trim(segment);
            bool more = !segment.empty() && segment.back() == L'\\';
            if (more) segment = TrimRight(segment.substr(0, segment.size() - 1));
            if (!HexBytes(segment, out)) return false;
            if (!more) return true;
            if (!NextLine(&next)) return Fail("unterminated hex continuation");
            segment = next;
        }
    }

    bool HexBytes(std::wstring_view segment, std::vector<uint8_t>* out)
    {
        if (segment.empty()) return true;
        for (;;) {
            size_t cut = segment.find(L',');
            std::wstring_view token = Trim(segment.substr(0, cut));
            bool trailingComma = cut != std::wstring_view::npos && Trim(segment.substr(cut + 1)).empty();
            uint32_t byte;
            if (token.size() > 2 || !ParseHex32(token, &byte)) return Fail("bad hex byte");
            out->push_back(static_cast<uint8_t>(byte));
            if (cut == std::wstring_view::npos || trailingComma) return true;
            segment.remove_prefix(cut + 1);
        }
    }

    std::string_view text_;
    std::string owned_;
    size_t pos_ = 0;
    size_t line_ = 0;
    std::string error_;
    size_t errorLine_ = 0;
    std::unique_ptr<RegistryKey> root_;
    RegistryKey* current_ = nullptr;
    bool inRemoved_ = false;
};

// ---------------------------------------------------------------- the .reg writer

std::string Escaped(std::wstring_view text)
{
    std::string out;
    for (char c : Utf8(text)) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out;
}

// The text of a REG_SZ that the quoted form can carry: one terminating NUL and
// nothing the file's lines cannot hold. Anything else is written as hex(1).
bool PlainText(const RegistryValue& value, std::wstring* text)
{
    if (value.data.size() < 2 || value.data.size() % 2 != 0) return false;
    bool wellFormed = true;
    *text = DecodeUtf16(value.data.data(), value.data.size() / 2, &wellFormed);
    if (!wellFormed || text->back() != L'\0') return false;
    text->pop_back();
    for (wchar_t c : *text) {
        if (c == L'\0' || c == L'\r' || c == L'\n') return false;
    }
    return true;
}

void AppendHexValue(std::string& out, std::string line, const std::vector<uint8_t>& data)
{
    static const char kDigits[] = "0123456789abcdef";
    size_t onLine = 0;
    for (size_t i = 0; i < data.size(); ++i) {
        std::string token{kDigits[data[i] >> 4], kDigits[data[i] & 0xF]};
        if (i + 1 < data.size()) token += ',';
        if (onLine > 0 && line.size() + token.size() + 1 > 80) {
            out += line + "\\\n";
            line = "  ";
            onLine = 0;
        }
        line += token;
        ++onLine;
    }
    out += line + "\n";
}

void AppendValue(std::string& out, const RegistryEntry& entry)
{
    std::string line = entry.name.empty() ? "@=" : "\"" + Escaped(entry.name) + "\"=";
    const RegistryValue& value = entry.value;
    std::wstring text;
    char buffer[32];
    if (value.type == REG_SZ && PlainText(value, &text)) {
        out += line + "\"" + Escaped(text) + "\"\n";
    } else if (value.type == REG_DWORD && value.data.size() == 4) {
        uint32_t v = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) | (uint32_t(value.data[3]) << 24);
        std::snprintf(buffer, sizeof(buffer), "dword:%08x", v);
        out += line + buffer + "\n";
    } else if (value.type == REG_BINARY) {
        AppendHexValue(out, line + "hex:", value.data);
    } else {
        std::snprintf(buffer, sizeof(buffer), "hex(%x):", static_cast<unsigned>(value.type));
        AppendHexValue(out, line + buffer, value.data);
    }
}

// A root gets a section only for values of its own; every other key gets one,
// so that empty keys survive.
void AppendKey(std::string& out, const RegistryKey& key, std::string& path, bool isRoot)
{
    if (!isRoot || !key.values.empty()) {
        out += "\n[" + path + "]\n";
        for (const auto& [folded, entry] : key.values) AppendValue(out, entry);
    }
    for (const auto& [folded, child] : key.subkeys) {
        size_t length = path.size();
        path += "\\" + Utf8(child->name);
        AppendKey(out, *child, path, false);
        path.resize(length);
    }
}

// ---------------------------------------------------------------- the file

void WriteAll(int fd, const std::string& content, const std::string& name)
{
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error("cannot write " + name + ": " + std::strerror(errno));
        done += static_cast<size_t>(n);
    }
}

// Writes a temporary file beside the target and renames it over the target,
// so that a crash of the process leaves the old or the new file, never a torn
// one. Durable: the file and the rename are also flushed to the disk, so that
// a crash of the host keeps them too.
void WriteAtomically(const std::filesystem::path& file, const std::string& content, bool durable)
{
    std::filesystem::path folder = file.parent_path().empty() ? "." : file.parent_path();
    std::string temp = (folder / ("." + file.filename().string() + "." + std::to_string(::getpid()) + ".tmp")).string();
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw std::runtime_error("cannot create " + temp + ": " + std::strerror(errno));
    try {
        WriteAll(fd, content, temp);
        if (durable && ::fsync(fd) != 0) {
            throw std::runtime_error("cannot flush " + temp + ": " + std::strerror(errno));
        }
        if (::close(fd) != 0) {
            fd = -1;
            throw std::runtime_error("cannot close " + temp + ": " + std::strerror(errno));
        }
        fd = -1;
        if (::rename(temp.c_str(), file.c_str()) != 0) {
            throw std::runtime_error("cannot replace " + file.string() + ": " + std::strerror(errno));
        }
    } catch (...) {
        if (fd >= 0) ::close(fd);
        ::unlink(temp.c_str());
        throw;
    }
    if (!durable) return;
    int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

}  // namespace

std::string RegistryText(std::wstring_view text) { return Utf8(text); }

// ---------------------------------------------------------------- values

RegistryValue RegistryValue::String(std::wstring_view text, ULONG type)
{
    RegistryValue value;
    value.type = type;
    for (wchar_t c : text) AppendUtf16(value.data, c);
    AppendUtf16(value.data, L'\0');
    return value;
}

RegistryValue RegistryValue::MultiString(const std::vector<std::wstring>& strings)
{
    RegistryValue value;
    value.type = REG_MULTI_SZ;
    for (const auto& s : strings) {
        for (wchar_t c : s) AppendUtf16(value.data, c);
        AppendUtf16(value.data, L'\0');
    }
    AppendUtf16(value.data, L'\0');
    return value;
}

RegistryValue RegistryValue::Dword(uint32_t v)
{
    RegistryValue value;
    value.type = REG_DWORD;
    for (int i = 0; i < 4; ++i) value.data.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return value;
}

RegistryValue RegistryValue::Qword(uint64_t v)
{
    RegistryValue value;
    value.type = REG_QWORD;
    for (int i = 0; i < 8; ++i) value.data.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return value;
}

bool RegistryValue::IsStringType() const { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

std::wstring RegistryValue::Wide() const { return DecodeUtf16(data.data(), data.size() / 2); }

std::wstring RegistryValue::Text() const
{
    std::wstring text = Wide();
    while (!text.empty() && text.back() == L'\0') text.pop_back();
    return text;
}

// ---------------------------------------------------------------- the hive

Registry::ParseResult Registry::Parse(std::string_view text) { return Parser(text).Run(); }

std::string Registry::Format(const RegistryKey& root)
{
    std::string out = Utf8(kHeader) + "\n";
    for (const auto& name : kRoots) {
        const RegistryKey* key = Child(root, name.nt);
        if (!key) continue;
        std::string path = Utf8(name.file);
        AppendKey(out, *key, path, true);
    }
    return out;
}

std::unique_ptr<RegistryKey> Registry::EmptyHive()
{
    auto root = std::make_unique<RegistryKey>();
    root->name = L"Registry";
    for (const auto& name : kRoots) AddChild(*root, name.nt);
    return root;
}

Registry::Registry(std::filesystem::path file) : file_(std::move(file)), root_(EmptyHive())
{
    std::error_code error;
    if (file_.empty() || !std::filesystem::exists(file_, error)) return;
    std::ifstream in(file_, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) throw std::runtime_error(file_.string() + ": cannot be read");
    ParseResult parsed = Parse(text);
    if (!parsed.Ok()) {
        throw std::runtime_error(file_.string() + ":" + std::to_string(parsed.line) + ": " + parsed.error);
    }
    root_ = std::move(parsed.root);
}

// The hive closes with the machine: what was written since the last flush goes to the disk.
Registry::~Registry()
{
    if (file_.empty() || !unflushed_) return;
    try {
        SaveLocked(true);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "registry: %s\n", e.what());
    }
}

RegistryKey* Registry::FindLocked(std::wstring_view keyPath, NTSTATUS* status) const
{
    std::vector<std::wstring_view> parts;
    *status = SplitPath(keyPath, &parts);
    if (!NT_SUCCESS(*status)) return nullptr;
    RegistryKey* key = root_.get();
    for (auto part : parts) {
        key = Child(*key, part);
        if (!key) {
            *status = STATUS_OBJECT_NAME_NOT_FOUND;
            return nullptr;
        }
    }
    return key;
}

RegistryKey* Registry::CreatePathLocked(std::wstring_view keyPath)
{
    std::vector<std::wstring_view> parts;
    if (!NT_SUCCESS(SplitPath(keyPath, &parts)) || parts.empty()) BadPath(keyPath);
    RegistryKey* key = Child(*root_, parts[0]);
    if (!key) BadPath(keyPath);
    for (size_t i = 1; i < parts.size(); ++i) key = AddChild(*key, parts[i]);
    return key;
}

void Registry::SaveLocked(bool durable)
{
    WriteAtomically(file_, Format(*root_), durable);
    unflushed_ = !durable;
}

// The hive in memory is what counts, as on Windows, where the flush to disk
// is lazy: every change is written to the file at once, or with the others
// of its batch when the batch closes (a crash of the simulator leaves a whole
// hive), and the file reaches the disk itself when the hive is saved or
// closed. A write that cannot be saved is reported and saved with the next
// change.
void Registry::PersistLocked()
{
    if (file_.empty()) return;
    if (batches_ > 0) {
        batched_ = true;
        return;
    }
    try {
        SaveLocked(false);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "registry: %s\n", e.what());
    }
}

Registry::Batch::Batch(Registry& registry) : registry_(registry)
{
    std::lock_guard<std::mutex> guard(registry_.lock_);
    registry_.batches_++;
}

Registry::Batch::~Batch()
{
    std::lock_guard<std::mutex> guard(registry_.lock_);
    if (--registry_.batches_ == 0 && registry_.batched_) {
        registry_.batched_ = false;
        registry_.PersistLocked();
    }
}

void Registry::Save()
{
    std::lock_guard<std::mutex> guard(lock_);
    if (!file_.empty()) SaveLocked(true);
}

// ---------------------------------------------------------------- machine helpers

void Registry::SetString(const std::wstring& keyPath, const std::wstring& name, const std::wstring& value)
{
    SetValue(keyPath, name, RegistryValue::String(value, REG_SZ));
}

void Registry::SetDword(const std::wstring& keyPath, const std::wstring& name, uint32_t value)
{
    SetValue(keyPath, name, RegistryValue::Dword(value));
}

void Registry::SetValue(const std::wstring& keyPath, const std::wstring& name, const RegistryValue& value)
{
    if (!ValidValueName(name)) throw std::invalid_argument("not a registry value name: " + RegistryText(name));
    std::lock_guard<std::mutex> guard(lock_);
    SetEntry(*CreatePathLocked(keyPath), name, value);
    PersistLocked();
}

void Registry::CreateKeyPath(const std::wstring& keyPath)
{
    std::lock_guard<std::mutex> guard(lock_);
    CreatePathLocked(keyPath);
    PersistLocked();
}

std::optional<RegistryValue> Registry::GetValue(const std::wstring& keyPath, const std::wstring& name) const
{
    RegistryValue value;
    if (!NT_SUCCESS(QueryValue(keyPath, name, &value))) return std::nullopt;
    return value;
}

std::optional<std::wstring> Registry::GetString(const std::wstring& keyPath, const std::wstring& name) const
{
    auto value = GetValue(keyPath, name);
    if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ)) return std::nullopt;
    return value->Text();
}

std::optional<uint32_t> Registry::GetDword(const std::wstring& keyPath, const std::wstring& name) const
{
    auto value = GetValue(keyPath, name);
    if (!value || value->type != REG_DWORD || value->data.size() != 4) return std::nullopt;
    const auto& d = value->data;
    return d[0] | (d[1] << 8) | (d[2] << 16) | (uint32_t(d[3]) << 24);
}

bool Registry::KeyExists(const std::wstring& keyPath) const { return NT_SUCCESS(OpenKey(keyPath)); }

bool Registry::DeleteValue(const std::wstring& keyPath, const std::wstring& name)
{
    return NT_SUCCESS(RemoveValue(keyPath, name));
}

bool Registry::DeleteKey(const std::wstring& keyPath)
{
    std::vector<std::wstring_view> parts;
    if (!NT_SUCCESS(SplitPath(keyPath, &parts))) BadPath(keyPath);
    if (parts.size() < 2) throw std::invalid_argument("a root key cannot be deleted: " + RegistryText(keyPath));
    std::lock_guard<std::mutex> guard(lock_);
    RegistryKey* parent = root_.get();
    for (size_t i = 0; parent && i + 1 < parts.size(); ++i) parent = Child(*parent, parts[i]);
    if (!parent || parent->subkeys.erase(Folded(parts.back())) == 0) return false;
    PersistLocked();
    return true;
}

std::string Registry::Dump() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return Format(*root_);
}

// ---------------------------------------------------------------- kernel services

NTSTATUS Registry::OpenKey(std::wstring_view keyPath) const
{
    std::lock_guard<std::mutex> guard(lock_);
    NTSTATUS status;
    FindLocked(keyPath, &status);
    return status;
}

NTSTATUS Registry::CreateKey(std::wstring_view keyPath, bool* created)
{
    std::vector<std::wstring_view> parts;
    NTSTATUS status = SplitPath(keyPath, &parts);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard<std::mutex> guard(lock_);
    RegistryKey* parent = root_.get();
    for (size_t i = 0; parent && i + 1 < parts.size(); ++i) parent = Child(*parent, parts[i]);
    if (!parent) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (parts.empty() || Child(*parent, parts.back())) {
        if (created) *created = false;
        return STATUS_SUCCESS;
    }
    if (parts.size() == 1) return STATUS_ACCESS_DENIED;  // \Registry holds only its fixed roots
    AddChild(*parent, parts.back());
    if (created) *created = true;
    PersistLocked();
    return STATUS_SUCCESS;
}

NTSTATUS Registry::QueryValue(std::wstring_view keyPath, std::wstring_view name, RegistryValue* value) const
{
    std::lock_guard<std::mutex> guard(lock_);
    NTSTATUS status;
    RegistryKey* key = FindLocked(keyPath, &status);
    if (!key) return status;
    auto it = key->values.find(Folded(name));
    if (it == key->values.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    *value = it->second.value;
    return STATUS_SUCCESS;
}

NTSTATUS Registry::QueryValues(std::wstring_view keyPath, std::vector<RegistryEntry>* values) const
{
    std::lock_guard<std::mutex> guard(lock_);
    NTSTATUS status;
    RegistryKey* key = FindLocked(keyPath, &status);
    if (!key) return status;
    values->clear();
    for (const auto& [folded, entry] : key->values) values->push_back(entry);
    return STATUS_SUCCESS;
}

NTSTATUS Registry::WriteValue(std::wstring_view keyPath, std::wstring_view name, const RegistryValue& value)
{
    if (!ValidValueName(name)) return STATUS_OBJECT_NAME_INVALID;
    std::lock_guard<std::mutex> guard(lock_);
    NTSTATUS status;
    RegistryKey* key = FindLocked(keyPath, &status);
    if (!key) return status;
    SetEntry(*key, name, value);
    PersistLocked();
    return STATUS_SUCCESS;
}

NTSTATUS Registry::RemoveValue(std::wstring_view keyPath, std::wstring_view name)
{
    std::lock_guard<std::mutex> guard(lock_);
    NTSTATUS status;
    RegistryKey* key = FindLocked(keyPath, &status);
    if (!key) return status;
    if (key->values.erase(Folded(name)) == 0) return STATUS_OBJECT_NAME_NOT_FOUND;
    PersistLocked();
    return STATUS_SUCCESS;
}

}  // namespace plat
