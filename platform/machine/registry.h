/*
 * The machine's registry hive: keys with typed values, persisted to
 * registry.reg in the machine folder (regedit format, written atomically).
 */
#pragma once
#include <ntdef.h>
#include <filesystem>
#include <string>

namespace plat {

class Registry {
public:
    // Loads the hive from the file when it exists; a damaged file is refused
    // (std::runtime_error naming the file and line).
    explicit Registry(std::filesystem::path file);
    ~Registry();

    // Sets a REG_SZ value under an NT path (\Registry\Machine\...), creating keys as needed.
    void SetString(const std::wstring& keyPath, const std::wstring& name, const std::wstring& value);
};

}  // namespace plat
