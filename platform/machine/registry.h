/*
 * The machine's registry hive: keys with typed values, persisted to
 * registry.reg in the machine folder (regedit format, written atomically).
 *
 * Paths are NT paths below \Registry\Machine (HKEY_LOCAL_MACHINE in the file)
 * or \Registry\User (HKEY_USERS). Key and value names compare without regard
 * to letter case and keep the case they were created with. Values keep the
 * bytes Windows would store: strings as UTF-16LE with their terminating NUL,
 * whatever the width of the host's WCHAR.
 */
#pragma once
#include <ntdef.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plat {

struct RegistryValue {
    ULONG type = 0;  // REG_NONE
    std::vector<uint8_t> data;

    // A string value (REG_SZ, REG_EXPAND_SZ) with its terminating NUL.
    static RegistryValue String(std::wstring_view text, ULONG type = 1);
    // A REG_MULTI_SZ value: each string with its NUL, then the closing NUL.
    static RegistryValue MultiString(const std::vector<std::wstring>& strings);
    static RegistryValue Dword(uint32_t value);
    static RegistryValue Qword(uint64_t value);

    bool IsStringType() const;  // REG_SZ, REG_EXPAND_SZ or REG_MULTI_SZ
    // The data as host WCHARs, every UTF-16 unit (or surrogate pair) one WCHAR,
    // NULs included; an odd trailing byte is dropped.
    std::wstring Wide() const;
    // The text of a string value: Wide() without its trailing NULs.
    std::wstring Text() const;

    bool operator==(const RegistryValue& other) const { return type == other.type && data == other.data; }
    bool operator!=(const RegistryValue& other) const { return !(*this == other); }
};

struct RegistryEntry {
    std::wstring name;  // "" for the key's default value
    RegistryValue value;
};

// One key of the hive tree. Maps are keyed by the folded (upper-case) name.
struct RegistryKey {
    std::wstring name;
    std::map<std::wstring, std::unique_ptr<RegistryKey>> subkeys;
    std::map<std::wstring, RegistryEntry> values;
};

// The UTF-8 form of a key path or name, for messages and reports.
std::string RegistryText(std::wstring_view text);

class Registry {
public:
    // Loads the hive from the file when it exists; a damaged file is refused
    // (std::runtime_error naming the file and line). An empty path keeps the
    // hive in memory only.
    explicit Registry(std::filesystem::path file);
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    // ---------------------------------------------------------------- file format

    struct ParseResult {
        std::unique_ptr<RegistryKey> root;  // the \Registry key; null when the text is refused
        size_t line = 0;                    // the offending line (1-based) when refused
        std::string error;                  // what is wrong with it
        bool Ok() const { return root != nullptr; }
    };
    // Reads the text of a .reg file (UTF-8, or UTF-16LE with its byte-order mark).
    // Never throws for bad input: it reports the first bad line instead.
    static ParseResult Parse(std::string_view text);
    // The .reg text of a hive (UTF-8, one section per key, regedit conventions).
    static std::string Format(const RegistryKey& root);
    // An empty hive: \Registry with its Machine and User roots.
    static std::unique_ptr<RegistryKey> EmptyHive();

    // ---------------------------------------------------------------- machine helpers
    // These create keys as needed and throw std::invalid_argument for a path or
    // name the registry cannot hold.

    // Sets a REG_SZ value under an NT path (\Registry\Machine\...), creating keys as needed.
    void SetString(const std::wstring& keyPath, const std::wstring& name, const std::wstring& value);
    void SetDword(const std::wstring& keyPath, const std::wstring& name, uint32_t value);
    void SetValue(const std::wstring& keyPath, const std::wstring& name, const RegistryValue& value);
    void CreateKeyPath(const std::wstring& keyPath);

    std::optional<RegistryValue> GetValue(const std::wstring& keyPath, const std::wstring& name) const;
    // The text of a REG_SZ or REG_EXPAND_SZ value; nullopt when absent or of another type.
    std::optional<std::wstring> GetString(const std::wstring& keyPath, const std::wstring& name) const;
    // A REG_DWORD of four bytes; nullopt otherwise.
    std::optional<uint32_t> GetDword(const std::wstring& keyPath, const std::wstring& name) const;

    bool KeyExists(const std::wstring& keyPath) const;
    bool DeleteValue(const std::wstring& keyPath, const std::wstring& name);
    bool DeleteKey(const std::wstring& keyPath);  // with its subkeys

    std::string Dump() const;  // the hive as the file holds it
    const std::filesystem::path& File() const { return file_; }
    // Every change is written to the file at once; the file is flushed to the
    // disk here and when the hive closes. Throws std::runtime_error when it cannot.
    void Save();

    // Changes made while a batch is open (on any thread) reach the file
    // together when the last open batch closes. The host opens one around
    // each load and start, so that the writes of one such operation cost one
    // replacement of the file rather than one each.
    class Batch {
    public:
        explicit Batch(Registry& registry);
        ~Batch();
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;

    private:
        Registry& registry_;
    };

    // ---------------------------------------------------------------- kernel services
    // Statuses as the kernel's registry gives them: STATUS_OBJECT_NAME_INVALID
    // for a malformed path or name, STATUS_OBJECT_NAME_NOT_FOUND for a missing
    // key or value.

    NTSTATUS OpenKey(std::wstring_view keyPath) const;
    // Creates the last component of the path; its parent must exist.
    NTSTATUS CreateKey(std::wstring_view keyPath, bool* created);
    NTSTATUS QueryValue(std::wstring_view keyPath, std::wstring_view name, RegistryValue* value) const;
    NTSTATUS QueryValues(std::wstring_view keyPath, std::vector<RegistryEntry>* values) const;
    NTSTATUS WriteValue(std::wstring_view keyPath, std::wstring_view name, const RegistryValue& value);
    NTSTATUS RemoveValue(std::wstring_view keyPath, std::wstring_view name);

private:
    RegistryKey* FindLocked(std::wstring_view keyPath, NTSTATUS* status) const;
    RegistryKey* CreatePathLocked(std::wstring_view keyPath);
    void PersistLocked();
    void SaveLocked(bool durable);

    std::filesystem::path file_;
    mutable std::mutex lock_;
    bool unflushed_ = false;  // written since the last flush to the disk
    int batches_ = 0;         // open batches
    bool batched_ = false;    // changes waiting for the last batch to close
    std::unique_ptr<RegistryKey> root_;
};

}  // namespace plat
