/*
 * What tests of the ACPI driver's evaluation records share: readable ACPI
 * objects in failure messages, little-endian reads, the driver's _DSM request
 * and a device-mode table of a given size.
 */
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <vector>

#include "acpi/eval.h"
#include "firmware/native.h"

namespace plat {
// Readable failure messages for ACPI objects.
inline void PrintTo(const AcpiObject& object, std::ostream* os)
{
    *os << object.Text();
}
}  // namespace plat

namespace tvrx::test {

inline uint32_t Le32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline std::vector<plat::AcpiObject> DsmArgs(uint64_t function, uint64_t argument = 0)
{
    std::vector<uint8_t> uuid(plat::NativeFirmware::kDsmUuid, plat::NativeFirmware::kDsmUuid + 16);
    return {plat::AcpiObject::Buffer(uuid), plat::AcpiObject::Integer(0), plat::AcpiObject::Integer(function),
            plat::AcpiObject::Integer(argument)};
}

// The 60-byte request the driver sends.
inline std::vector<uint8_t> DsmRequest(uint64_t function, uint64_t argument = 0)
{
    return plat::acpi::EncodeEvalInput("_DSM", DsmArgs(function, argument));
}

inline plat::DeviceModeTable TableOf(size_t entries)
{
    plat::DeviceModeTable table;
    table.tag = 7;
    for (size_t i = 0; i < entries; ++i) {
        table.entries.push_back({i, 100 + i, 200 + i, 300 + i});
    }
    return table;
}

}  // namespace tvrx::test
