/*
 * The simulator's command language on any text: a script is parsed
 * completely or refused with a line number inside it.
 */
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "script.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<sim::Command> commands;
    sim::ParseError error;
    if (!sim::ParseScript(text, "fuzz.tvrx", &commands, &error)) {
        size_t lines = 1;
        for (char c : text) {
            lines += c == '\n';
        }
        if (error.line < 1 || size_t(error.line) > lines || error.message.empty()) {
            std::fprintf(stderr, "refusal names line %d of %zu: %s\n", error.line, lines, error.Text().c_str());
            std::abort();
        }
    } else {
        for (const sim::Command& command : commands) {
            if (command.name.empty() || command.handler == nullptr) {
                std::abort();
            }
        }
    }
    uint64_t number;
    sim::ParseNumber(text, &number);
    std::vector<uint8_t> bytes;
    sim::ParseHexBytes(text, &bytes);
    return 0;
}
