/*
 * Pool: every allocation is tracked with its tag, size, type and the IRQL
 * rules of its pool type; what is still allocated is a verifier finding.
 */
#pragma once
#include <wdm.h>
#include <cstdint>
#include <map>
#include <string>

namespace plat::pool {

// "Tvrx" for 0x78727654: the tag's four characters in memory order.
std::string TagText(ULONG tag);

struct TagUsage {
    uint64_t allocations = 0;
    uint64_t bytes = 0;
};

// Allocations not yet freed, by tag.
std::map<ULONG, TagUsage> Outstanding();

// Every allocation ever made, by tag (for tests that check which tag a call used).
std::map<ULONG, TagUsage> Totals();

}  // namespace plat::pool
