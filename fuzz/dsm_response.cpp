/*
 * _DSM results on arbitrary bytes: the response processing of a loaded driver
 * for any function and table index (the four the driver uses, the next ones,
 * and negative ones), and the device-mode table parser on its own, with any
 * announced entry count. The processing gets exactly the bytes of the input,
 * in pool memory of exactly that size, so a read past them is a sanitizer
 * report; the parser gets them in a buffer of their size, and a write past its
 * table is one too (or fails the guard bytes after it).
 *
 * Input: [function][table][count low][count high][result bytes...]
 *   function, table  below 0x80: taken modulo 5 and 4 (0..4, 0..3); else as signed bytes
 *   count            the EntryCount the parser finds set; a high byte with its
 *                    top bit set reaches counts of 0xFFFF0000 and above
 * An input with no result bytes hands the processing no memory at all.
 */
#include <cstdio>
#include <cstdlib>
#include <map>
#include <vector>

#include "base/fault.h"
#include "debugview.h"
#include "ntos/ex/pool.h"
#include "support/machine.h"

namespace {

// The processing and the parser are run as a debugger extension runs them,
// through the debug view: no firmware answer reaches them with arbitrary bytes.
struct Bed {
    Bed() : started("dsm_response_fuzzer")
    {
        device = started.Host().Device();
        pool = plat::pool::Outstanding();
    }

    tvrx::fuzz::StartedMachine started;
    WDFDEVICE device = nullptr;
    std::map<ULONG, plat::pool::TagUsage> pool;  // what the started driver holds
};

Bed* g_bed = nullptr;

bool SamePool(const std::map<ULONG, plat::pool::TagUsage>& a, const std::map<ULONG, plat::pool::TagUsage>& b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (const auto& [tag, usage] : a) {
        auto it = b.find(tag);
        if (it == b.end() || it->second.allocations != usage.allocations || it->second.bytes != usage.bytes) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    g_bed = new Bed();
    // A location record may name any length, and any physical range reads
    // (as all ones where nothing is): the export of a valid record of hundreds
    // of megabytes is correct but would only time the fuzzer out. The file
    // cannot be created here, so the export ends before it copies; the
    // record's parsing and the state it sets are what is fuzzed.
    plat::fault::FailAll("ZwCreateFile", STATUS_ACCESS_DENIED);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4) {
        return 0;
    }
    LONG function = (data[0] & 0x80) ? (LONG)(int8_t)data[0] : (LONG)(data[0] % 5);
    LONG table = (data[1] & 0x80) ? (LONG)(int8_t)data[1] : (LONG)(data[1] % 4);
    ULONG count = data[2] | (ULONG(data[3]) << 8);
    if (data[3] & 0x80) {
        count |= 0xFFFF0000u;
    }
    const std::vector<uint8_t> bytes(data + 4, data + size);
    const plat::Host& host = g_bed->started.Host();
    NTSTATUS status = tvrx::debugview::ProcessDsmResult(host, g_bed->device, function, table, bytes);
    if (bytes.empty() && status != STATUS_UNSUCCESSFUL) {
        std::fprintf(stderr, "no response memory accepted with 0x%08X\n", (unsigned)status);
        std::abort();
    }

    if (!bytes.empty()) {
        // The parser alone, into a table of its own with guard bytes after it.
        tvrx::debugview::ParsedTable parsed = tvrx::debugview::ParseTableResult(host, bytes, count);
        if (parsed.status != STATUS_SUCCESS || parsed.entryCount != count || !parsed.guardIntact) {
            std::abort();
        }
    }

    // Whatever the result said, the processing keeps no memory of its own.
    if (!SamePool(plat::pool::Outstanding(), g_bed->pool)) {
        std::fprintf(stderr, "pool held after processing function %d, table %d\n", (int)function, (int)table);
        std::abort();
    }
    return 0;
}
