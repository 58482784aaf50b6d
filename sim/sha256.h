/* SHA-256 of a byte string, as lower-case hex (for `expect export-sha256`). */
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace sim {
std::string Sha256Hex(const std::vector<uint8_t>& data);
}
