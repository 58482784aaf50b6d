/*
 * Software tracing as the tests and the simulator see it: the trace record,
 * the one live trace session (a consumer with a level, a flag mask and a sink),
 * the registered trace providers, the in-flight recorder logs and the message
 * formatter that the runtime uses.
 *
 * A trace reaches the live sink only when a session is enabled, its provider
 * is registered, its level is at most the session's and it shares a flag with
 * the session's mask. Every trace reaches its driver's recorder log, whatever
 * the session asks for.
 */
#pragma once
#include <ntdef.h>
#include <stdarg.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace plat::trace {

// One trace, formatted when it was written. Fixed size: the recorder keeps a
// ring of them, and strings are copied because the image that wrote them may
// be gone by the time the log is read.
struct Record {
    uint64_t sequence = 0;  // position in the driver's recorder log, from 1
    LONGLONG time = 0;      // machine time in 100-ns units
    GUID message{};         // the source unit's message GUID
    ULONG line = 0;
    ULONG flags = 0;
    UCHAR level = 0;
    char unit[24] = {};
    char function[64] = {};
    char text[320] = {};  // cut short with "..." when the message is longer
};

using Sink = std::function<void(const Record&)>;

// ---------------------------------------------------------------- live session

// Enables the live session for every trace provider, registered now or later,
// replacing any session before it. Level 0 means every level.
void EnableSession(UCHAR level, ULONG flags, Sink sink = nullptr);
void DisableSession();
bool SessionEnabled();
// Traces the current session received (with or without a sink).
uint64_t SessionDelivered();

// ---------------------------------------------------------------- providers

enum class Registration { None, Classic, Wmi };
const char* RegistrationName(Registration how);  // "none", "classic", "WMI"

struct Provider {
    GUID control{};
    Registration how = Registration::None;
};

// How the provider with this control GUID is registered (None when it is not).
Registration RegistrationOf(const GUID& control);
std::vector<Provider> Providers();

// ---------------------------------------------------------------- recorder

// Records per log (a driver's log is made with the capacity current when it starts).
constexpr size_t kDefaultRecorderCapacity = 256;
void SetRecorderCapacity(size_t records);
size_t RecorderCapacity();

// Names of the recorder logs, oldest first (a driver's log is named after its service).
std::vector<std::string> RecorderLogs();
// The records of a log in the order written, oldest first; an empty name
// means the most recently started log. A stopped log keeps its last contents.
std::vector<Record> RecorderRecords(const std::string& log = {});
// Records a log has lost to wrapping.
uint64_t RecorderOverwritten(const std::string& log = {});
// The log as text, one record per line (see FormatRecord).
std::string DumpRecorder(const std::string& log = {});
// Empties every log and forgets the stopped ones.
void ClearRecorder();

// "<seconds>.<7 digits> <unit> <LEVEL> <function>: <text>"
std::string FormatRecord(const Record& record);
const char* LevelName(UCHAR level);  // "ERROR", "WARNING", ...

// Disables the session and clears the recorder (between tests).
void Reset();

// ---------------------------------------------------------------- formatter

struct FormatContext {
    const char* function = nullptr;  // for %!FUNC!
    const char* unit = nullptr;      // for %!COMPNAME!
    ULONG line = 0;                  // for %!LINE!
    UCHAR level = 0;                 // for %!LEVEL!
    ULONG flags = 0;                 // for %!FLAGS!
    const char* const* flagNames = nullptr;  // by bit index; nullptr entries have no name
    size_t flagCount = 0;
};

// Formats a trace message into out (always terminated when size > 0; cut short
// with "..." when it does not fit) and returns the length written. A
// conversion it does not know is copied literally and takes no argument.
size_t FormatTraceV(char* out, size_t size, const FormatContext& context, const char* format, va_list args);
size_t FormatTrace(char* out, size_t size, const FormatContext& context, const char* format, ...);

// "{A938B846-C941-4EE8-AF74-FE935D2E5DA5}"
std::string GuidText(const GUID& guid);

}  // namespace plat::trace
