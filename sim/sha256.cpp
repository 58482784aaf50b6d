/* SHA-256 from the system's crypto library (OpenSSL's EVP interface). */
#include "sha256.h"

#include <openssl/evp.h>

#include <cstdio>
#include <stdexcept>

namespace sim {

std::string Sha256Hex(const std::vector<uint8_t>& data)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &size, EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("SHA-256 is not available from the crypto library");
    }
    std::string hex;
    char digits[3];
    for (unsigned int i = 0; i < size; ++i) {
        std::snprintf(digits, sizeof digits, "%02x", digest[i]);
        hex += digits;
    }
    return hex;
}

}  // namespace sim
