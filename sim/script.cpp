/* The command language's parser: words, numbers, and the table of verbs with their shapes. */
#include "script.h"

#include <cctype>
#include <cinttypes>
#include <cstdio>

#include "base/status.h"
#include "drivernames.h"
#include "session.h"

namespace sim {
namespace {

using Words = std::vector<std::string>;

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

// A number of at most `max`, or the complaint about the word.
std::string Number(const std::string& word, uint64_t max, const char* what, uint64_t* value)
{
    if (!ParseNumber(word, value)) {
        return AllDigits(word) ? TooLarge(word, max, what)
                               : std::string(what) + " '" + word + "' is not a number (decimal or 0x hex)";
    }
    if (*value > max) {
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

// Which of the choices the word is (its place in the list), or the complaint.
std::string OneOf(const std::string& word, std::initializer_list<const char*> choices, const char* what,
                  size_t* index = nullptr)
{
    std::string list;
    size_t i = 0;
    for (const char* choice : choices) {
        if (word == choice) {
            if (index != nullptr) {
                *index = i;
            }
            return {};
        }
        list += list.empty() ? choice : std::string("|") + choice;
        ++i;
    }
    return std::string(what) + " must be " + list + ", not '" + word + "'";
}

// ------------------------------------------------- the shapes of the verbs
//
// Each takes the words after the verb and fills the command's client and
// arguments; it returns the first complaint about the words, checked in the
// order they stand (the count before any word), or an empty string.

std::string NoWords(const Words& w, Command* c) { return Count(w, 0, 0, c->name.c_str()); }

// The words start with the client's name; `usage` is the verb's whole shape.
std::string Client(const Words& w, size_t min, size_t max, const char* usage, Command* c)
{
    if (auto e = Count(w, min, max, usage); !e.empty()) return e;
    if (auto e = Name(w[0]); !e.empty()) return e;
    c->client = w[0];
    return {};
}

std::string ClientOnly(const Words& w, Command* c) { return Client(w, 1, 1, (c->name + " C").c_str(), c); }

// One number and nothing else: mode N, notify V.
std::string OneNumber(const Words& w, const char* usage, uint64_t max, const char* what, Command* c)
{
    if (auto e = Count(w, 1, 1, usage); !e.empty()) return e;
    Value value;
    if (auto e = Number(w[0], max, what, &value.value); !e.empty()) return e;
    c->arguments = value;
    return {};
}

std::string ModeShape(const Words& w, Command* c) { return OneNumber(w, "mode N", UINT64_MAX, "N", c); }

std::string NotifyShape(const Words& w, Command* c) { return OneNumber(w, "notify V", 0xFFFFFFFF, "V", c); }

std::string FailNextShape(const Words& w, Command* c)
{
    if (auto e = Count(w, 1, 2, "fail-next POINT [STATUS]"); !e.empty()) return e;
    FailNextArguments arguments;
    arguments.point = w[0];
    if (w.size() > 1 && !plat::ParseStatus(w[1], &arguments.status)) {
        return "unknown status '" + w[1] + "'";
    }
    c->arguments = arguments;
    return {};
}

std::string HangShape(const Words& w, Command* c)
{
    if (auto e = Count(w, 1, 1, "firmware-hang on|off"); !e.empty()) return e;
    size_t which = 0;
    if (auto e = OneOf(w[0], {"on", "off"}, "firmware-hang", &which); !e.empty()) return e;
    c->arguments = HangArguments{which == 0};
    return {};
}

constexpr const char* kOpenUsage = "open C [as system|localservice|networkservice|admin|user] [read|write|readwrite]";

// open C, then `as KIND` and the access, each optional, in that order.
std::string OpenShape(const Words& w, Command* c)
{
    if (auto e = Client(w, 1, 4, kOpenUsage, c); !e.empty()) return e;
    OpenArguments arguments;
    size_t i = 1;
    if (i < w.size() && w[i] == "as") {
        if (i + 1 == w.size()) {
            return std::string("expected: ") + kOpenUsage;
        }
        if (auto e = OneOf(w[i + 1], {"system", "localservice", "networkservice", "admin", "user"}, "as"); !e.empty()) {
            return e;
        }
        plat::se::KindFromName(w[i + 1], &arguments.account);  // the names above are the token kinds' own
        i += 2;
    }
    if (i < w.size()) {
        static constexpr ACCESS_MASK kAccess[] = {GENERIC_READ, GENERIC_WRITE, GENERIC_READ | GENERIC_WRITE};
        size_t which = 0;
        if (auto e = OneOf(w[i], {"read", "write", "readwrite"}, "access", &which); !e.empty()) return e;
        arguments.access = kAccess[which];
        i++;
    }
    if (i < w.size()) {
        return "unexpected '" + w[i] + "' (expected " + kOpenUsage + ")";
    }
    c->arguments = arguments;
    return {};
}

std::string SetEventShape(const Words& w, Command* c)
{
    if (auto e = Client(w, 1, 2, "set-event C [all|sync|modify]", c); !e.empty()) return e;
    size_t which = 0;
    if (w.size() > 1) {
        if (auto e = OneOf(w[1], {"all", "sync", "modify"}, "access", &which); !e.empty()) return e;
    }
    c->arguments = EventArguments{static_cast<EventAccess>(which)};
    return {};
}

// A client and a number: regulatory C N, table C I, wait C [MS].
std::string ClientNumber(const Words& w, bool optional, const char* usage, uint64_t max, const char* what,
                         uint64_t absent, Command* c)
{
    if (auto e = Client(w, optional ? 1 : 2, 2, usage, c); !e.empty()) return e;
    Value value{absent};
    if (w.size() > 1) {
        if (auto e = Number(w[1], max, what, &value.value); !e.empty()) return e;
    }
    c->arguments = value;
    return {};
}

std::string RegulatoryShape(const Words& w, Command* c)
{
    return ClientNumber(w, false, "regulatory C N", 0xFFFFFFFF, "N", 0, c);
}

std::string TableShape(const Words& w, Command* c) { return ClientNumber(w, false, "table C I", 0xFFFFFFFF, "I", 0, c); }

std::string WaitShape(const Words& w, Command* c) { return ClientNumber(w, true, "wait C [MS]", 0xFFFFFFFE, "MS", 1000, c); }

std::string IoctlShape(const Words& w, Command* c)
{
    if (auto e = Client(w, 2, 5, "ioctl C CODE [in=HEX] [out=LEN] [kernel]", c); !e.empty()) return e;
    IoctlArguments arguments;
    uint64_t code;
    if (auto e = Number(w[1], 0xFFFFFFFF, "CODE", &code); !e.empty()) return e;
    arguments.code = static_cast<ULONG>(code);
    bool haveIn = false, haveOut = false;
    for (size_t i = 2; i < w.size(); ++i) {
        const std::string& word = w[i];
        if (word.rfind("in=", 0) == 0 && !haveIn) {
            if (!ParseHexBytes(word.substr(3), &arguments.input)) return "in= takes hex bytes, not '" + word.substr(3) + "'";
            haveIn = true;
        } else if (word.rfind("out=", 0) == 0 && !haveOut) {
            uint64_t length;
            if (auto e = Number(word.substr(4), 1 << 20, "out= length", &length); !e.empty()) return e;
            arguments.outputLength = static_cast<size_t>(length);
            haveOut = true;
        } else if (word == "kernel" && !arguments.kernel) {
            arguments.kernel = true;
        } else {
            return "unexpected '" + word + "' (expected in=HEX, out=LEN or kernel, each once)";
        }
    }
    c->arguments = std::move(arguments);
    return {};
}

std::string ShowShape(const Words& w, Command* c)
{
    if (auto e = Count(w, 1, 1, "show state|devices|registry|export|trace|ifr|verifier"); !e.empty()) return e;
    size_t which = 0;
    if (auto e = OneOf(w[0], {"state", "devices", "registry", "export", "trace", "ifr", "verifier"}, "show", &which);
        !e.empty()) {
        return e;
    }
    c->arguments = ShowArguments{static_cast<Shown>(which)};
    return {};
}

std::string ExpectWords(const Words& w, Expectation* x)
{
    if (w.empty()) return "expected: expect status|info|entry|table|signaled|timeout|registry|export-size|export-sha256|verifier ...";
    const std::string& what = w[0];
    if (what == "status") {
        x->what = Expected::Status;
        if (auto e = Count(w, 2, 2, "expect status NAME|0xHEX"); !e.empty()) return e;
        return plat::ParseStatus(w[1], &x->status) ? std::string() : "unknown status '" + w[1] + "'";
    }
    if (what == "info") {
        x->what = Expected::Info;
        if (auto e = Count(w, 2, 2, "expect info N"); !e.empty()) return e;
        uint64_t value;
        if (auto e = Number(w[1], UINT64_MAX, "N", &value); !e.empty()) return e;
        x->number = value;
        return {};
    }
    if (what == "entry" || what == "table") {
        bool entry = what == "entry";
        x->what = entry ? Expected::Entry : Expected::Table;
        if (auto e = Count(w, entry ? 5 : 3, entry ? 5 : 3, entry ? "expect entry MODE V1 V2 V3" : "expect table TAG COUNT");
            !e.empty()) {
            return e;
        }
        static const char* const kTableWords[] = {"TAG", "COUNT"};
        for (size_t i = 1; i < w.size(); ++i) {
            uint64_t value;
            if (auto e = Number(w[i], 0xFFFFFFFF, entry ? "value" : kTableWords[i - 1], &value); !e.empty()) return e;
            x->values[i - 1] = static_cast<ULONG>(value);
        }
        return {};
    }
    if (what == "signaled" || what == "timeout") {
        x->what = what == "signaled" ? Expected::Signaled : Expected::Timeout;
        return Count(w, 1, 1, "expect signaled | expect timeout");
    }
    if (what == "registry") {
        x->what = Expected::Registry;
        if (auto e = Count(w, 3, 3, "expect registry NAME VALUE"); !e.empty()) return e;
        size_t which = 0;
        if (auto e = OneOf(w[1], {"BiosSarState", "BiosInfo"}, "NAME", &which); !e.empty()) return e;
        x->registryValue = which == 0 ? tvrx::kBiosSarStateValue : tvrx::kBiosInfoValue;
        x->text = w[2];
        uint64_t value;
        if (which == 0 && ParseNumber(w[2], &value)) {
            x->number = value;
        }
        return {};
    }
    if (what == "export-size") {
        x->what = Expected::ExportSize;
        if (auto e = Count(w, 2, 2, "expect export-size N (-1: no file)"); !e.empty()) return e;
        if (w[1] == "-1") return {};
        uint64_t value;
        if (auto e = Number(w[1], UINT64_MAX, "N", &value); !e.empty()) return e;
        x->number = value;
        return {};
    }
    if (what == "export-sha256") {
        x->what = Expected::ExportSha256;
        if (auto e = Count(w, 2, 2, "expect export-sha256 HEX"); !e.empty()) return e;
        std::vector<uint8_t> bytes;
        if (!ParseHexBytes(w[1], &bytes) || bytes.size() != 32) return "a SHA-256 is 64 hex digits";
        for (char ch : w[1]) x->text += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        return {};
    }
    if (what == "verifier") {
        x->what = Expected::VerifierClean;
        if (auto e = Count(w, 2, 2, "expect verifier clean"); !e.empty()) return e;
        return OneOf(w[1], {"clean"}, "verifier expectation");
    }
    return "unknown expectation '" + what + "'";
}

std::string ExpectShape(const Words& w, Command* c)
{
    Expectation expectation;
    std::string problem = ExpectWords(w, &expectation);
    c->arguments = std::move(expectation);
    return problem;
}

}  // namespace

// The verbs: the shape of each one's words, the session's handler that runs
// it, and its line of `help` (nullptr: it has none of its own, the line of a
// verb before it names it too). `help` lists them in this order.
struct CommandTable {
    struct Entry {
        const char* name;
        Verb verb;
        std::string (*shape)(const Words&, Command*);
        Handler handler;
        const char* help;
    };

    static const std::vector<Entry>& Entries()
    {
        static const std::vector<Entry> entries = {
            {"boot", Verb::Boot, NoWords, &Simulation::Lifecycle,
             "boot                        load the driver, add the device, start it"},
            {"sleep", Verb::Sleep, NoWords, &Simulation::Lifecycle,
             "sleep | resume | stop | start | remove | unload | reboot"},
            {"resume", Verb::Resume, NoWords, &Simulation::Lifecycle, nullptr},
            {"stop", Verb::Stop, NoWords, &Simulation::Lifecycle, nullptr},
            {"start", Verb::Start, NoWords, &Simulation::Lifecycle, nullptr},
            {"remove", Verb::Remove, NoWords, &Simulation::Lifecycle, nullptr},
            {"unload", Verb::Unload, NoWords, &Simulation::Lifecycle, nullptr},
            {"reboot", Verb::Reboot, NoWords, &Simulation::Lifecycle, nullptr},
            {"surprise-remove", Verb::SurpriseRemove, NoWords, &Simulation::Lifecycle,
             "surprise-remove             the device disappears; it is deleted once its handles close"},
            {"fail-next", Verb::FailNext, FailNextShape, &Simulation::FailNext,
             "fail-next POINT [STATUS]    the next call of a failure point fails (default STATUS_INSUFFICIENT_RESOURCES)"},
            {"mode", Verb::Mode, ModeShape, &Simulation::Firmware,
             "mode N                      the firmware sets its device mode to N and notifies 0x80"},
            {"notify", Verb::Notify, NotifyShape, &Simulation::Firmware,
             "notify V                    the firmware notifies value V"},
            {"firmware-hang", Verb::FirmwareHang, HangShape, &Simulation::Firmware,
             "firmware-hang on|off        the firmware stops answering _DSM until off"},
            {"open", Verb::Open, OpenShape, &Simulation::ClientCommand,
             "open C | close C            client C opens or closes the device interface"},
            {"close", Verb::Close, ClientOnly, &Simulation::ClientCommand, nullptr},
            {"watch", Verb::Watch, ClientOnly, &Simulation::WatchCommand,
             "watch C                     C follows the device: it hears the interface arrive and go and its handle's\n"
             "                            removal events, closes on a query-remove and opens again on an arrival"},
            {"set-event", Verb::SetEvent, SetEventShape, &Simulation::RequestCommand,
             "set-event C [all|sync|modify]   C creates an event with that access and registers it"},
            {"regulatory", Verb::Regulatory, RegulatoryShape, &Simulation::RequestCommand,
             "regulatory C N              IOCTL_TVRX_SET_REGULATORY_TYPE"},
            {"entry", Verb::Entry, ClientOnly, &Simulation::RequestCommand,
             "entry C                     IOCTL_TVRX_GET_DEVICE_MODE_ENTRY"},
            {"table", Verb::Table, TableShape, &Simulation::RequestCommand,
             "table C I                   IOCTL_TVRX_GET_DEVICE_MODE_TABLE_INFO"},
            {"ioctl", Verb::Ioctl, IoctlShape, &Simulation::RequestCommand,
             "ioctl C CODE [in=HEX] [out=LEN] [kernel]   any request, raw"},
            {"wait", Verb::Wait, WaitShape, &Simulation::ClientCommand,
             "wait C [MS]                 wait for C's event (default 1000 ms)"},
            {"show", Verb::Show, ShowShape, &Simulation::Show, "show state|devices|registry|export|trace|ifr|verifier"},
            {"expect", Verb::Expect, ExpectShape, &Simulation::Expect,
             "expect status NAME|0xHEX | info N | entry MODE V1 V2 V3 | table TAG COUNT\n"
             "expect signaled | timeout | registry NAME VALUE | export-size N | export-sha256 HEX\n"
             "expect verifier clean"},
            {"help", Verb::Help, NoWords, &Simulation::Help, nullptr},
        };
        return entries;
    }

    static const Entry* Find(const std::string& name)
    {
        for (const Entry& entry : Entries()) {
            if (name == entry.name) {
                return &entry;
            }
        }
        return nullptr;
    }
};

namespace {

// Parses the words of a line (the verb first) into a command; the complaint when they are malformed.
std::string Parse(const Words& words, Command* command)
{
    const CommandTable::Entry* entry = CommandTable::Find(words[0]);
    if (entry == nullptr) {
        return "unknown command '" + words[0] + "' (try help)";
    }
    command->verb = entry->verb;
    command->name = entry->name;
    command->handler = entry->handler;
    command->words.assign(words.begin() + 1, words.end());
    return entry->shape(command->words, command);
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
    Command command;
    command.file = file;
    command.line = line;
    std::string problem = Parse(words, &command);
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
    std::string text;
    for (const CommandTable::Entry& entry : CommandTable::Entries()) {
        if (entry.help != nullptr) {
            text += std::string(entry.help) + "\n";
        }
    }
    return text + "quit | exit                 leave the shell (so does the end of its input)";
}

const char* EventAccessName(EventAccess access)
{
    switch (access) {
    case EventAccess::Sync:
        return "sync";
    case EventAccess::Modify:
        return "modify";
    case EventAccess::All:
        break;
    }
    return "all";
}

}  // namespace sim
