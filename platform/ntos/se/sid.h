/*
 * Security identifiers: the well-known ones the machine's tokens and device
 * descriptors use, and the S-1-... string form (revision 1, an identifier
 * authority, up to 15 subauthorities).
 */
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace plat::se {

struct Sid {
    uint64_t authority = 0;  // 48 bits
    std::vector<uint32_t> subauthorities;

    bool operator==(const Sid& other) const
    {
        return authority == other.authority && subauthorities == other.subauthorities;
    }
    bool operator!=(const Sid& other) const { return !(*this == other); }
    std::string ToString() const;  // S-1-5-32-544
};

constexpr size_t kMaxSubauthorities = 15;
constexpr uint64_t kMaxAuthority = (uint64_t{1} << 48) - 1;

// Reads an S-1-... string from the start of text: the number of characters
// it took, or 0 with *error (and *errorOffset, from the start of text) when
// it is not one.
size_t ParseSidString(std::string_view text, Sid* sid, std::string* error, size_t* errorOffset);

// The well-known identifiers.
namespace sids {
const Sid& Everyone();            // S-1-1-0, WD
const Sid& CreatorOwner();        // S-1-3-0, CO
const Sid& Interactive();         // S-1-5-4, IU
const Sid& Service();             // S-1-5-6, SU
const Sid& Anonymous();           // S-1-5-7, AN
const Sid& AuthenticatedUsers();  // S-1-5-11, AU
const Sid& Restricted();          // S-1-5-12, RC
const Sid& LocalSystem();         // S-1-5-18, SY
const Sid& LocalService();        // S-1-5-19, LS
const Sid& NetworkService();      // S-1-5-20, NS
const Sid& Administrators();      // S-1-5-32-544, BA
const Sid& Users();               // S-1-5-32-545, BU
// Mandatory integrity levels (S-1-16-<rid>).
Sid IntegrityLevel(uint32_t rid);
}  // namespace sids

// Integrity levels as their relative identifiers.
enum : uint32_t {
    kIntegrityUntrusted = 0x0000,
    kIntegrityLow = 0x1000,
    kIntegrityMedium = 0x2000,
    kIntegrityHigh = 0x3000,
    kIntegritySystem = 0x4000,
};

// The SID a two-letter SDDL alias names (BA, SY, WD, ...); nullptr for
// another. And the alias of a SID, empty when it has none.
const Sid* SidFromAlias(std::string_view alias);
std::string_view AliasOf(const Sid& sid);

}  // namespace plat::se
