/*
 * The machine's .reg loader on any text: it reads a hive or names the first
 * bad line, never more. A hive it reads is written out again and must read
 * back to the same text.
 */
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "machine/registry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string_view text(reinterpret_cast<const char*>(data), size);
    plat::Registry::ParseResult parsed = plat::Registry::Parse(text);
    if (!parsed.Ok()) {
        if (parsed.error.empty()) {
            std::abort();
        }
        return 0;
    }
    std::string written = plat::Registry::Format(*parsed.root);
    plat::Registry::ParseResult again = plat::Registry::Parse(written);
    if (!again.Ok()) {
        std::fprintf(stderr, "a written hive is refused at line %zu: %s\n", again.line, again.error.c_str());
        std::abort();
    }
    if (plat::Registry::Format(*again.root) != written) {
        std::fprintf(stderr, "a written hive reads back differently\n");
        std::abort();
    }
    return 0;
}
