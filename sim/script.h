/*
 * The simulator's command language: one command a line, '#' starts a
 * comment, numbers in decimal or 0x hex. Parsing checks every command's
 * words completely, so a script with a malformed line is refused before
 * anything runs.
 */
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

struct Command {
    std::string verb;               // "boot", "mode", "expect", ...
    std::vector<std::string> args;  // the words after the verb, as written
    std::string file;               // where it came from, for messages
    int line = 0;
};

struct ParseError {
    std::string file;
    int line = 0;
    std::string message;
    std::string Text() const;  // "file:line: message"
};

// Parses one line; nullopt with no error for a blank or comment line.
std::optional<Command> ParseLine(std::string_view text, const std::string& file, int line, ParseError* error);

// Parses a whole script; false with the first error.
bool ParseScript(std::string_view text, const std::string& file, std::vector<Command>* commands, ParseError* error);

// Numbers: decimal or 0x hex, within 64 bits.
bool ParseNumber(std::string_view text, uint64_t* value);
// Hex bytes ("0a0b0c", also with spaces removed); false on odd length or a bad digit.
bool ParseHexBytes(std::string_view text, std::vector<uint8_t>* bytes);

// One line per command for `help`.
std::string CommandHelp();

}  // namespace sim
