/*
 * The text of the AML debugger (acpiexec) as pure functions: what a command
 * line looks like for a set of arguments, and what its printed answers mean.
 * Nothing here runs a process; every function takes any text at all and
 * answers with a result or an error, never with a crash, so the parsers can
 * be fed arbitrary bytes.
 *
 * The debugger prints a method's result as an indented tree:
 *   Evaluation of \_SB.TVRX._DSM returned object 0x..., external buffer length 48
 *     [Package] Contains 2 Elements:
 *       [Integer] = 000000007FFE0000
 *       [String] Length 03 = "a\"b"
 *       [Buffer] Length 02 =     0000: 01 02     // ..
 * or one of "Evaluation of X failed with status AE_..." and
 * "No object was returned from evaluation of X". Notify on a node shows up as
 *   ACPI Exec: Global:    Received a Device Notify on [TVRX] 0x55... Value 0x80 (Status Change)
 * at any point of the output, even in the middle of another line.
 */
#pragma once
#include <ntdef.h>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "firmware/firmware.h"

namespace plat::acpiexec {

constexpr size_t kMaxNesting = 32;      // package depth accepted in a result
constexpr size_t kMaxCommandLength = 480;  // longest command line: the debugger reads at most 512 bytes

// The outcome of one "evaluate" command.
struct Evaluation {
    enum class Kind { Object, NoObject, Failed, Malformed };
    Kind kind = Kind::Malformed;
    AcpiObject object;      // Kind::Object
    std::string exception;  // Kind::Failed: the AE_ code, for example "AE_NOT_FOUND"
    std::string error;      // Kind::Malformed: what was wrong with the text
};

// Reads the answer to "evaluate <path> ..." out of the text the command printed.
// Lines before the result line (warnings, debug output) are skipped; when the
// text holds several result lines for the path, the last one counts.
Evaluation ParseEvaluation(std::string_view text, std::string_view path);

// One line of the "find" command: a namespace node.
struct NamespaceNode {
    std::string path;  // full path, for example "\_SB.TVRX._DSM"
    std::string type;  // "Method", "Device", ...
    uint64_t address = 0;  // the node's address in the debugger, as Notify lines show it
    std::optional<AcpiObject> value;  // an Integer or String Name's value, when the line shows it whole
};

// The nodes a "find" command listed; lines that are not node lines are skipped.
std::vector<NamespaceNode> ParseFind(std::string_view text);

// A Notify as the debugger reports it.
struct NotifyLine {
    size_t offset = 0;  // where the report starts in the line ("ACPI Exec: ...")
    std::string handler;  // "Global" for the global handler
    std::string name;     // the node's four-character name
    uint64_t address = 0;
    uint32_t value = 0;
};

// True when the line carries a Notify report (anywhere in it).
bool ParseNotify(std::string_view line, NotifyLine* notify);

// The argument text of an "evaluate" command: Integers in hexadecimal, Buffers
// as (01 02), Strings in quotes, Packages in brackets. The debugger ends its
// argument list at an empty Buffer, String or Package and cannot take a quote,
// backslash or unprintable character inside a String: such arguments fail.
bool FormatArguments(const std::vector<AcpiObject>& arguments, std::string* text, std::string* error);

// A path the debugger can take: '\' followed by name segments of one to four
// characters from A-Z, 0-9 and '_' (not starting with a digit), joined by '.'.
bool ValidPath(std::string_view path);
// A relative name of one or more such segments ("_DSM", "CHLD._STA").
bool ValidRelativeName(std::string_view name);

// The NTSTATUS an ACPI exception stands for when a method fails.
NTSTATUS StatusFromException(std::string_view exception);

// The first error lines of the ASL compiler's output (at most maxLines), for
// an error message; the first non-empty lines when no line names an error.
std::string CompilerErrors(std::string_view output, size_t maxLines);

// A warning or remark of the ASL compiler, from its one-line form
// "file(line) : warning  3102 - text".
struct CompilerMessage {
    std::string file;
    unsigned line = 0;
    std::string kind;  // "warning" or "remark"
    std::string text;  // "3102 - Reserved method has too few arguments (_DSM requires 4)"
};
std::vector<CompilerMessage> CompilerMessages(std::string_view output);

}  // namespace plat::acpiexec
