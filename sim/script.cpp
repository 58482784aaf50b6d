/* The command language's parser: words, numbers and every command's shape. */
#include "script.h"

#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <functional>
#include <map>

#include "base/status.h"

namespace sim {
namespace {

using Words = std::vector<std::string>;
// Checks a command's words (after the verb); returns an empty string when they are well formed.
using Shape = std::function<std::string(const Words&)>;

bool IsName(const std::string& word)
{
    if (word.empty() || word.size() > 32) {
        return false;
    }
    for (char c : word) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-') {
            return false;
        }
    }
    return true;
}

std::string Count(const Words& words, size_t min, size_t max, const char* usage)
{
    if (words.size() < min || words.size() > max) {
        return std::string("expected: ") + usage;
    }
    return {};
}

// Whether the word is made of digits (of its base), however many.
bool AllDigits(const std::string& word)
{
    bool hex = word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X');
    size_t start = hex ? 2 : 0;
    if (word.size() == start) {
        return false;
    }
    for (size_t i = start; i < word.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(word[i]);
        if (hex ? !std::isxdigit(c) : !std::isdigit(c)) {
            return false;
        }
    }
    return true;
}

// A number above its limit, said the same way for every command, the limit in
// the base the word was written in.
std::string TooLarge(const std::string& word, uint64_t max, const char* what)
{
    bool hex = word.size() > 1 && (word[1] == 'x' || word[1] == 'X');
    char limit[32];
    std::snprintf(limit, sizeof limit, hex ? "0x%" PRIX64 : "%" PRIu64, max);
    return std::string(what) + " '" + word + "' is too large (at most " + limit + ")";
}

std::string Number(const std::string& word, uint64_t max, const char* what)
{
    uint64_t value;
    if (!ParseNumber(word, &value)) {
        return AllDigits(word) ? TooLarge(word, max, what)
                               : std::string(what) + " '" + word + "' is not a number (decimal or 0x hex)";
    }
    if (value > max) {
        return TooLarge(word, max, what);
    }
    return {};
}

std::string Name(const std::string& word)
{
    if (word.size() > 32) {
        return "client name '" + word + "' is " + std::to_string(word.size()) + " characters long (at most 32)";
    }
    return IsName(word) ? std::string() : "client name '" + word + "' must be letters, digits, '_' or '-'";
}

std::string OneOf(const std::string& word, std::initializer_list<const char*> choices, const char* what)
{
    std::string list;
    for (const char* choice : choices) {
        if (word == choice) {
            return {};
        }
        list += list.empty() ? choice : std::string("|") + choice;
    }
    return std::string(what) + " must be " + list + ", not '" + word + "'";
}

// The first complaint of the checks, run in order; a check runs only when
// those before it passed, since it may rely on them (a word count before the word).
template <class... Checks>
std::string First(Checks... checks)
{
    std::string result;
    ((result.empty() ? (void)(result = checks()) : (void)0), ...);
    return result;
}

std::string IoctlShape(const Words& w)
{
    if (auto e = Count(w, 2, 5, "ioctl C CODE [in=HEX] [out=LEN] [kernel]"); !e.empty()) return e;
    if (auto e = Name(w[0]); !e.empty()) return e;
    if (auto e = Number(w[1], 0xFFFFFFFF, "CODE"); !e.empty()) return e;
    bool haveIn = false, haveOut = false, haveKernel = false;
    for (size_t i = 2; i < w.size(); ++i) {
        const std::string& word = w[i];
        if (word.rfind("in=", 0) == 0 && !haveIn) {
            std::vector<uint8_t> bytes;
            if (!ParseHexBytes(word.substr(3), &bytes)) return "in= takes hex bytes, not '" + word.substr(3) + "'";
            haveIn = true;
        } else if (word.rfind("out=", 0) == 0 && !haveOut) {
            if (auto e = Number(word.substr(4), 1 << 20, "out= length"); !e.empty()) return e;
            haveOut = true;
        } else if (word == "kernel" && !haveKernel) {
            haveKernel = true;
        } else {
            return "unexpected '" + word + "' (expected in=HEX, out=LEN or kernel, each once)";
        }
    }
    return {};
}

std::string ExpectShape(const Words& w)
{
    if (w.empty()) return "expected: expect status|info|entry|table|signaled|timeout|registry|export-size|export-sha256|verifier ...";
    const std::string& what = w[0];
    if (what == "status") {
        if (auto e = Count(w, 2, 2, "expect status NAME|0xHEX"); !e.empty()) return e;
        NTSTATUS status;
        return plat::ParseStatus(w[1], &status) ? std::string() : "unknown status '" + w[1] + "'";
    }
    if (what == "info") {
        if (auto e = Count(w, 2, 2, "expect info N"); !e.empty()) return e;
        return Number(w[1], UINT64_MAX, "N");
    }
    if (what == "entry") {
        if (auto e = Count(w, 5, 5, "expect entry MODE V1 V2 V3"); !e.empty()) return e;
        for (size_t i = 1; i < 5; ++i) {
            if (auto e = Number(w[i], 0xFFFFFFFF, "value"); !e.empty()) return e;
        }
        return {};
    }
    if (what == "table") {
        if (auto e = Count(w, 3, 3, "expect table TAG COUNT"); !e.empty()) return e;
        return First([&] { return Number(w[1], 0xFFFFFFFF, "TAG"); }, [&] { return Number(w[2], 0xFFFFFFFF, "COUNT"); });
    }
    if (what == "signaled" || what == "timeout") {
        return Count(w, 1, 1, "expect signaled | expect timeout");
    }
    if (what == "registry") {
        if (auto e = Count(w, 3, 3, "expect registry NAME VALUE"); !e.empty()) return e;
        return OneOf(w[1], {"BiosSarState", "BiosInfo"}, "NAME");
    }
    if (what == "export-size") {
        if (auto e = Count(w, 2, 2, "expect export-size N (-1: no file)"); !e.empty()) return e;
        return w[1] == "-1" ? std::string() : Number(w[1], UINT64_MAX, "N");
    }
    if (what == "export-sha256") {
        if (auto e = Count(w, 2, 2, "expect export-sha256 HEX"); !e.empty()) return e;
        std::vector<uint8_t> bytes;
        return ParseHexBytes(w[1], &bytes) && bytes.size() == 32 ? std::string() : "a SHA-256 is 64 hex digits";
    }
    if (what == "verifier") {
        if (auto e = Count(w, 2, 2, "expect verifier clean"); !e.empty()) return e;
        return OneOf(w[1], {"clean"}, "verifier expectation");
    }
    return "unknown expectation '" + what + "'";
}

constexpr const char* kOpenUsage = "open C [as system|localservice|networkservice|admin|user] [read|write|readwrite]";

// open's options after C: `as KIND`, then the access, each optional, in that order.
std::string OpenOptions(const Words& w)
{
    size_t i = 1;
    if (i < w.size() && w[i] == "as") {
        if (i + 1 == w.size()) {
            return std::string("expected: ") + kOpenUsage;
        }
        std::string bad = OneOf(w[i + 1], {"system", "localservice", "networkservice", "admin", "user"}, "as");
        if (!bad.empty()) {
            return bad;
        }
        i += 2;
    }
    if (i < w.size()) {
        std::string bad = OneOf(w[i], {"read", "write", "readwrite"}, "access");
        if (!bad.empty()) {
            return bad;
        }
        i++;
    }
    return i < w.size() ? "unexpected '" + w[i] + "' (expected " + kOpenUsage + ")" : std::string();
}

const std::map<std::string, Shape>& Shapes()
{
    static const std::map<std::string, Shape> shapes = [] {
        std::map<std::string, Shape> m;
        for (const char* verb :
             {"boot", "sleep", "resume", "stop", "start", "remove", "surprise-remove", "unload", "reboot", "help"}) {
            std::string usage = verb;
            m[verb] = [usage](const Words& w) { return Count(w, 0, 0, usage.c_str()); };
        }
        m["mode"] = [](const Words& w) {
            return First([&] { return Count(w, 1, 1, "mode N"); }, [&] { return Number(w[0], UINT64_MAX, "N"); });
        };
        m["notify"] = [](const Words& w) {
            return First([&] { return Count(w, 1, 1, "notify V"); }, [&] { return Number(w[0], 0xFFFFFFFF, "V"); });
        };
        m["fail-next"] = [](const Words& w) {
            return First([&] { return Count(w, 1, 2, "fail-next POINT [STATUS]"); },
                         [&] {
                             NTSTATUS status;
                             return w.size() < 2 || plat::ParseStatus(w[1], &status)
                                        ? std::string()
                                        : "unknown status '" + w[1] + "'";
                         });
        };
        m["firmware-hang"] = [](const Words& w) {
            return First([&] { return Count(w, 1, 1, "firmware-hang on|off"); },
                         [&] { return OneOf(w[0], {"on", "off"}, "firmware-hang"); });
        };
        m["open"] = [](const Words& w) {
            return First([&] { return Count(w, 1, 4, kOpenUsage); }, [&] { return Name(w[0]); },
                         [&] { return OpenOptions(w); });
        };
        for (const char* verb : {"close", "entry", "watch"}) {
            std::string usage = std::string(verb) + " C";
            m[verb] = [usage](const Words& w) {
                return First([&] { return Count(w, 1, 1, usage.c_str()); }, [&] { return Name(w[0]); });
            };
        }
        m["set-event"] = [](const Words& w) {
            return First([&] { return Count(w, 1, 2, "set-event C [all|sync|modify]"); }, [&] { return Name(w[0]); },
                         [&] { return w.size() < 2 ? std::string() : OneOf(w[1], {"all", "sync", "modify"}, "access"); });
        };
        m["regulatory"] = [](const Words& w) {
            return First([&] { return Count(w, 2, 2, "regulatory C N"); }, [&] { return Name(w[0]); },
                         [&] { return Number(w[1], 0xFFFFFFFF, "N"); });
        };
        m["table"] = [](const Words& w) {
            return First([&] { return Count(w, 2, 2, "table C I"); }, [&] { return Name(w[0]); },
                         [&] { return Number(w[1], 0xFFFFFFFF, "I"); });
        };
        m["wait"] = [](const Words& w) {
            return First([&] { return Count(w, 1, 2, "wait C [MS]"); }, [&] { return Name(w[0]); },
                         [&] { return w.size() < 2 ? std::string() : Number(w[1], 0xFFFFFFFE, "MS"); });
        };
        m["show"] = [](const Words& w) {
            return First([&] { return Count(w, 1, 1, "show state|devices|registry|export|trace|ifr|verifier"); },
                         [&] {
                             return OneOf(w[0], {"state", "devices", "registry", "export", "trace", "ifr", "verifier"},
                                          "show");
                         });
        };
        m["ioctl"] = IoctlShape;
        m["expect"] = ExpectShape;
        return m;
    }();
    return shapes;
}

}  // namespace

std::string ParseError::Text() const { return file + ":" + std::to_string(line) + ": " + message; }

bool ParseNumber(std::string_view text, uint64_t* value)
{
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty() || text.size() > 20) {
        return false;
    }
    uint64_t result = 0;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (base == 16 && std::isxdigit(static_cast<unsigned char>(c))) {
            digit = std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
        } else {
            return false;
        }
        if (result > (UINT64_MAX - static_cast<uint64_t>(digit)) / static_cast<uint64_t>(base)) {
            return false;
        }
        result = result * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    }
    *value = result;
    return true;
}

bool ParseHexBytes(std::string_view text, std::vector<uint8_t>* bytes)
{
    if (text.size() % 2 != 0) {
        return false;
    }
    bytes->clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        uint64_t byte;
        char digits[5] = {'0', 'x', text[i], text[i + 1], '\0'};
        if (!ParseNumber(digits, &byte)) {
            return false;
        }
        bytes->push_back(static_cast<uint8_t>(byte));
    }
    return true;
}

std::optional<Command> ParseLine(std::string_view text, const std::string& file, int line, ParseError* error)
{
    error->message.clear();
    if (size_t hash = text.find('#'); hash != std::string_view::npos) {
        text = text.substr(0, hash);
    }
    // Words are separated by blanks; a word in double quotes may hold blanks ("1.07 (2024)").
    Words words;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
        if (i < text.size() && text[i] == '"') {
            size_t close = text.find('"', i + 1);
            if (close == std::string_view::npos) {
                *error = ParseError{file, line, "unterminated quoted word"};
                return std::nullopt;
            }
            words.emplace_back(text.substr(i + 1, close - i - 1));
            i = close + 1;
            continue;
        }
        size_t start = i;
        while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i]))) ++i;
        if (i > start) words.emplace_back(text.substr(start, i - start));
    }
    if (words.empty()) {
        return std::nullopt;
    }
    Command command{words[0], Words(words.begin() + 1, words.end()), file, line};
    auto shape = Shapes().find(command.verb);
    std::string problem = shape == Shapes().end() ? "unknown command '" + command.verb + "' (try help)"
                                                  : shape->second(command.args);
    if (!problem.empty()) {
        *error = ParseError{file, line, problem};
        return std::nullopt;
    }
    error->message.clear();
    return command;
}

bool ParseScript(std::string_view text, const std::string& file, std::vector<Command>* commands, ParseError* error)
{
    commands->clear();
    int line = 0;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view current = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        ++line;
        if (current.find('\0') != std::string_view::npos) {
            *error = ParseError{file, line, "the line holds a NUL byte"};
            return false;
        }
        ParseError lineError;
        std::optional<Command> command = ParseLine(current, file, line, &lineError);
        if (!lineError.message.empty()) {
            *error = lineError;
            return false;
        }
        if (command) {
            commands->push_back(std::move(*command));
        }
    }
    return true;
}

std::string CommandHelp()
{
    return R"(boot                        load the driver, add the device, start it
sleep | resume | stop | start | remove | unload | reboot
surprise-remove             the device disappears; it is deleted once its handles close
fail-next POINT [STATUS]    the next call of a failure point fails (default STATUS_INSUFFICIENT_RESOURCES)
mode N                      the firmware sets its device mode to N and notifies 0x80
notify V                    the firmware notifies value V
firmware-hang on|off        the firmware stops answering _DSM until off
open C | close C            client C opens or closes the device interface
watch C                     C follows the device: it hears the interface arrive and go and its handle's
                            removal events, closes on a query-remove and opens again on an arrival
set-event C [all|sync|modify]   C creates an event with that access and registers it
regulatory C N              IOCTL_TVRX_SET_REGULATORY_TYPE
entry C                     IOCTL_TVRX_GET_DEVICE_MODE_ENTRY
table C I                   IOCTL_TVRX_GET_DEVICE_MODE_TABLE_INFO
ioctl C CODE [in=HEX] [out=LEN] [kernel]   any request, raw
wait C [MS]                 wait for C's event (default 1000 ms)
show state|registry|export|trace|ifr|verifier
expect status NAME|0xHEX | info N | entry MODE V1 V2 V3 | table TAG COUNT
expect signaled | timeout | registry NAME VALUE | export-size N | export-sha256 HEX
expect verifier clean
quit | exit                 leave the shell (so does the end of its input))";
}

}  // namespace sim
