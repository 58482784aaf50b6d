/*
 * The simulator's command language: one command a line, '#' starts a
 * comment, numbers in decimal or 0x hex. Parsing checks every command's
 * words completely and turns them into a typed command (numbers, statuses,
 * client names and options parsed once), so a script with a malformed line is
 * refused before anything runs and the session never reads a word again.
 *
 * One table in script.cpp gives each verb its words' shape, the session's
 * handler that runs it and its line of `help`.
 */
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <ntddk.h>

#include "ntos/se/token.h"

namespace sim {

class Simulation;
struct Command;

// The session's handler of a verb.
using Handler = bool (Simulation::*)(const Command&);

enum class Verb {
    Boot, Sleep, Resume, Stop, Start, Remove, SurpriseRemove, Unload, Reboot,
    FailNext, Mode, Notify, FirmwareHang,
    Open, Close, Watch, SetEvent, Regulatory, Entry, Table, Ioctl, Wait,
    Show, Expect, Help,
    End,  // not a command: the end of a script, for what the session says then
};

// What a verb takes besides its client.
struct NoArguments {};
// mode N, notify V, regulatory C N, table C I, wait C [MS] (1000 when not given).
struct Value {
    uint64_t value = 0;
};
struct FailNextArguments {
    std::string point;
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
};
struct HangArguments {
    bool on = false;
};
struct OpenArguments {
    plat::se::TokenKind account = plat::se::TokenKind::LocalService;
    ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE;
};
enum class EventAccess { All, Sync, Modify };
struct EventArguments {
    EventAccess access = EventAccess::All;
};
struct IoctlArguments {
    ULONG code = 0;
    std::vector<uint8_t> input;
    size_t outputLength = 0;
    bool kernel = false;
};
enum class Shown { State, Devices, Registry, Export, Trace, Ifr, Verifier };
struct ShowArguments {
    Shown what = Shown::State;
};
enum class Expected { Status, Info, Entry, Table, Signaled, Timeout, Registry, ExportSize, ExportSha256, VerifierClean };
struct Expectation {
    Expected what = Expected::Status;
    NTSTATUS status = STATUS_SUCCESS;
    // info N; registry BiosSarState N (none: the value written is not a
    // number, which no registry value equals); export-size N (none: -1, no file).
    std::optional<uint64_t> number;
    ULONG values[4] = {};                    // entry MODE V1 V2 V3; table TAG COUNT
    const wchar_t* registryValue = nullptr;  // registry: the value's name
    std::string text;                        // registry VALUE as written; export-sha256 HEX in lower case
};

using Arguments = std::variant<NoArguments, Value, FailNextArguments, HangArguments, OpenArguments, EventArguments,
                               IoctlArguments, ShowArguments, Expectation>;

struct Command {
    Verb verb = Verb::End;
    std::string name;                // the verb as written, for output ("boot", "mode", ...)
    std::string client;              // a client command's C
    Arguments arguments;             // the rest, typed
    Handler handler = nullptr;       // what runs it
    std::vector<std::string> words;  // the words after the verb as written, for messages
    std::string file;                // where it came from, for messages
    int line = 0;

    template <class T>
    const T& Get() const
    {
        return std::get<T>(arguments);
    }
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

// set-event's access as written.
const char* EventAccessName(EventAccess access);

}  // namespace sim
