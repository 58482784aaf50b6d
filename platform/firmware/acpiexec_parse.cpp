/* Reading and writing the AML debugger's text. */
#include "firmware/acpiexec_parse.h"

#include <ntstatus.h>

#include <cctype>
#include <cstdlib>
#include <utility>

namespace plat::acpiexec {

namespace {

constexpr std::string_view kNotifyMarker = "Received a ";
constexpr std::string_view kReportStart = "ACPI Exec: ";

std::vector<std::string_view> SplitLines(std::string_view text)
{
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

bool StartsWith(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

// Removes prefix from text when it is there.
bool Consume(std::string_view& text, std::string_view prefix)
{
    if (!StartsWith(text, prefix)) {
        return false;
    }
    text.remove_prefix(prefix.size());
    return true;
}

void SkipSpaces(std::string_view& text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
}

size_t Indent(std::string_view line)
{
    size_t n = 0;
    while (n < line.size() && line[n] == ' ') {
        ++n;
    }
    return n;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Reads 1 to maxDigits hexadecimal digits.
bool ReadHex(std::string_view& text, size_t maxDigits, uint64_t* value)
{
    size_t n = 0;
    uint64_t result = 0;
    while (n < text.size() && HexDigit(text[n]) >= 0) {
        if (n == maxDigits) {
            return false;
        }
        result = (result << 4) | uint64_t(HexDigit(text[n]));
        ++n;
    }
    if (n == 0) {
        return false;
    }
    text.remove_prefix(n);
    *value = result;
    return true;
}

bool ReadDecimal(std::string_view& text, size_t maxDigits, uint64_t* value)
{
    size_t n = 0;
    uint64_t result = 0;
    while (n < text.size() && text[n] >= '0' && text[n] <= '9') {
        if (n == maxDigits) {
            return false;
        }
        result = result * 10 + uint64_t(text[n] - '0');
        ++n;
    }
    if (n == 0) {
        return false;
    }
    text.remove_prefix(n);
    *value = result;
    return true;
}

std::string_view Trimmed(std::string_view text)
{
    SkipSpaces(text);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

// ---------------------------------------------------------------- result tree

class TreeReader {
public:
    explicit TreeReader(const std::vector<std::string_view>& lines, size_t next) : lines_(lines), next_(next) {}

    bool Read(size_t depth, AcpiObject* object);
    const std::string& Error() const { return error_; }

private:
    bool Fail(std::string message)
    {
        if (error_.empty()) {
            error_ = std::move(message) + " (line " + std::to_string(next_) + ")";
        }
        return false;
    }
    bool ReadInteger(std::string_view rest, AcpiObject* object);
    bool ReadString(std::string_view rest, AcpiObject* object);
    bool ReadBuffer(std::string_view rest, AcpiObject* object);
    bool ReadPackage(std::string_view rest, size_t depth, AcpiObject* object);
    bool ReadDumpLine(std::string_view line, uint64_t length, std::vector<uint8_t>* bytes);

    const std::vector<std::string_view>& lines_;
    size_t next_;
    std::string error_;
};

bool TreeReader::Read(size_t depth, AcpiObject* object)
{
    if (depth > kMaxNesting) {
        return Fail("packages nested too deeply");
    }
    if (next_ >= lines_.size()) {
        return Fail("result ends early");
    }
    std::string_view line = lines_[next_++];
    if (Indent(line) != 2 + 2 * depth) {
        return Fail("result line out of place");
    }
    line.remove_prefix(2 + 2 * depth);
    if (Consume(line, "[Integer] = ")) {
        return ReadInteger(line, object);
    }
    if (Consume(line, "[String] Length ")) {
        return ReadString(line, object);
    }
    if (Consume(line, "[Buffer] Length ")) {
        return ReadBuffer(line, object);
    }
    if (Consume(line, "[Package] Contains ")) {
        return ReadPackage(line, depth, object);
    }
    size_t close = line.find(']');
    if (StartsWith(line, "[") && close != std::string_view::npos) {
        return Fail("unsupported object type " + std::string(line.substr(0, close + 1)));
    }
    return Fail("not an object");
}

bool TreeReader::ReadInteger(std::string_view rest, AcpiObject* object)
{
    uint64_t value = 0;
    if (!ReadHex(rest, 16, &value) || !Trimmed(rest).empty()) {
        return Fail("malformed Integer");
    }
    *object = AcpiObject::Integer(value);
    return true;
}

bool TreeReader::ReadString(std::string_view rest, AcpiObject* object)
{
    uint64_t length = 0;
    if (!ReadHex(rest, 8, &length) || !Consume(rest, " = \"")) {
        return Fail("malformed String");
    }
    std::string value;
    for (;;) {
        if (rest.empty()) {
            return Fail("String not closed");
        }
        char c = rest.front();
        rest.remove_prefix(1);
        if (c == '"') {
            break;
        }
        if (c != '\\') {
            value.push_back(c);
            continue;
        }
        if (rest.empty()) {
            return Fail("String not closed");
        }
        char escape = rest.front();
        rest.remove_prefix(1);
        switch (escape) {
        case 'a': value.push_back('\a'); break;
        case 'b': value.push_back('\b'); break;
        case 'f': value.push_back('\f'); break;
        case 'n': value.push_back('\n'); break;
        case 'r': value.push_back('\r'); break;
        case 't': value.push_back('\t'); break;
        case 'v': value.push_back('\v'); break;
        case '\'': case '"': case '\\': value.push_back(escape); break;
        case 'x': {
            uint64_t code = 0;
            if (rest.size() < 2 || HexDigit(rest[0]) < 0 || HexDigit(rest[1]) < 0) {
                return Fail("malformed String escape");
            }
            code = uint64_t(HexDigit(rest[0]) * 16 + HexDigit(rest[1]));
            rest.remove_prefix(2);
            value.push_back(char(code));
            break;
        }
        default:
            return Fail("malformed String escape");
        }
    }
    // The debugger prints at most 255 characters and marks the cut with "...":
    // a cut String is not the firmware's value.
    if (Trimmed(rest) == "...") {
        return Fail("String cut short by the debugger");
    }
    if (!Trimmed(rest).empty() || value.size() != length) {
        return Fail("malformed String");
    }
    *object = AcpiObject::String(std::move(value));
    return true;
}

// A dump line: "OOOO: XX XX ...  // text", the offset being the bytes read so far.
bool TreeReader::ReadDumpLine(std::string_view line, uint64_t length, std::vector<uint8_t>* bytes)
{
    line = Trimmed(line);
    uint64_t offset = 0;
    if (!ReadHex(line, 8, &offset) || !Consume(line, ":") || offset != bytes->size()) {
        return Fail("malformed Buffer dump");
    }
    size_t onLine = 0;
    for (;;) {
        SkipSpaces(line);
        if (line.empty() || StartsWith(line, "//")) {
            break;
        }
        if (line.size() < 2 || HexDigit(line[0]) < 0 || HexDigit(line[1]) < 0 ||
            (line.size() > 2 && line[2] != ' ')) {
            return Fail("malformed Buffer dump");
        }
        if (bytes->size() == length || ++onLine > 16) {
            return Fail("Buffer dump longer than its length");
        }
        bytes->push_back(uint8_t(HexDigit(line[0]) * 16 + HexDigit(line[1])));
        line.remove_prefix(2);
    }
    if (onLine == 0) {
        return Fail("empty Buffer dump line");
    }
    return true;
}

bool TreeReader::ReadBuffer(std::string_view rest, AcpiObject* object)
{
    uint64_t length = 0;
    if (!ReadHex(rest, 8, &length) || !Consume(rest, " =")) {
        return Fail("malformed Buffer");
    }
    std::vector<uint8_t> bytes;
    // Short buffers are dumped on the same line, longer ones on the lines below.
    if (!Trimmed(rest).empty()) {
        if (!ReadDumpLine(rest, length, &bytes)) {
            return false;
        }
    }
    while (bytes.size() < length) {
        if (next_ >= lines_.size()) {
            return Fail("Buffer dump ends early");
        }
        if (!ReadDumpLine(lines_[next_++], length, &bytes)) {
            return false;
        }
    }
    *object = AcpiObject::Buffer(std::move(bytes));
    return true;
}

bool TreeReader::ReadPackage(std::string_view rest, size_t depth, AcpiObject* object)
{
    uint64_t count = 0;
    if (!ReadDecimal(rest, 10, &count) || Trimmed(rest) != "Elements:") {
        return Fail("malformed Package");
    }
    // Every element takes a line at least, so a wrong count runs out of lines
    // rather than out of memory.
    std::vector<AcpiObject> elements;
    for (uint64_t i = 0; i < count; ++i) {
        AcpiObject element;
        if (!Read(depth + 1, &element)) {
            return false;
        }
        elements.push_back(std::move(element));
    }
    *object = AcpiObject::Package(std::move(elements));
    return true;
}

// ---------------------------------------------------------------- arguments

bool FormatArgument(const AcpiObject& argument, size_t depth, std::string* text, std::string* error)
{
    static const char kHex[] = "0123456789ABCDEF";
    switch (argument.type) {
    case AcpiObject::Type::Integer: {
        std::string digits;
        uint64_t value = argument.integer;
        do {
            digits.insert(digits.begin(), kHex[value & 0xF]);
            value >>= 4;
        } while (value != 0);
        *text += "0x" + digits;
        return true;
    }
    case AcpiObject::Type::String:
        if (argument.string.empty()) {
            *error = "the debugger cannot pass an empty String";
            return false;
        }
        for (char c : argument.string) {
            if (c == '"' || c == '\\' || !std::isprint(static_cast<unsigned char>(c))) {
                *error = "the debugger cannot pass this String";
                return false;
            }
        }
        *text += '"' + argument.string + '"';
        return true;
    case AcpiObject::Type::Buffer: {
        if (argument.buffer.empty()) {
            *error = "the debugger cannot pass an empty Buffer";
            return false;
        }
        *text += '(';
        for (size_t i = 0; i < argument.buffer.size(); ++i) {
            if (i != 0) {
                *text += ' ';
            }
            *text += kHex[argument.buffer[i] >> 4];
            *text += kHex[argument.buffer[i] & 0xF];
        }
        *text += ')';
        return true;
    }
    case AcpiObject::Type::Package:
        if (argument.package.empty()) {
            *error = "the debugger cannot pass an empty Package";
            return false;
        }
        if (depth >= kMaxNesting) {
            *error = "Package nested too deeply";
            return false;
        }
        *text += '[';
        for (size_t i = 0; i < argument.package.size(); ++i) {
            if (i != 0) {
                *text += ' ';
            }
            if (!FormatArgument(argument.package[i], depth + 1, text, error)) {
                return false;
            }
        }
        *text += ']';
        return true;
    }
    *error = "unknown argument type";
    return false;
}

bool ValidSegment(std::string_view segment)
{
    if (segment.empty() || segment.size() > 4 || (segment[0] >= '0' && segment[0] <= '9')) {
        return false;
    }
    for (char c : segment) {
        if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) {
            return false;
        }
    }
    return true;
}

}  // namespace

// ---------------------------------------------------------------- public

Evaluation ParseEvaluation(std::string_view text, std::string_view path)
{
    Evaluation evaluation;
    std::vector<std::string_view> lines = SplitLines(text);
    std::string evaluated = "Evaluation of " + std::string(path) + " ";
    std::string nothing = "No object was returned from evaluation of " + std::string(path);

    size_t resultLine = lines.size();
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string_view line = lines[i];
        if ((StartsWith(line, evaluated) &&
             (line.find(" returned object ") != std::string_view::npos ||
              line.find(" failed with status ") != std::string_view::npos)) ||
            Trimmed(line) == nothing) {
            resultLine = i;
        }
    }
    if (resultLine == lines.size()) {
        evaluation.error = "no result for " + std::string(path);
        return evaluation;
    }

    std::string_view line = lines[resultLine];
    if (Trimmed(line) == nothing) {
        evaluation.kind = Evaluation::Kind::NoObject;
        return evaluation;
    }
    size_t failed = line.find(" failed with status ");
    if (failed != std::string_view::npos && failed == evaluated.size() - 1) {
        std::string_view code = Trimmed(line.substr(failed + std::string_view(" failed with status ").size()));
        if (!StartsWith(code, "AE_") || code.size() > 64) {
            evaluation.error = "malformed failure status";
            return evaluation;
        }
        for (char c : code) {
            if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) {
                evaluation.error = "malformed failure status";
                return evaluation;
            }
        }
        evaluation.kind = Evaluation::Kind::Failed;
        evaluation.exception = std::string(code);
        return evaluation;
    }
    if (line.find(" returned object ") != evaluated.size() - 1) {
        evaluation.error = "malformed result line";
        return evaluation;
    }

    TreeReader reader(lines, resultLine + 1);
    if (!reader.Read(0, &evaluation.object)) {
        evaluation.error = reader.Error();
        evaluation.object = AcpiObject();
        return evaluation;
    }
    evaluation.kind = Evaluation::Kind::Object;
    return evaluation;
}

namespace {

// The value a node line shows after the owner ID: "= 000000000A0CD041" for an
// Integer, "Len 08 \"TVRX0001\"" for a String. A String whose shown text is
// not as long as its length says (cut, or holding a quote) shows no value.
void ReadNodeValue(std::string_view line, NamespaceNode* node)
{
    SkipSpaces(line);
    uint64_t owner = 0;
    if (!ReadHex(line, 4, &owner)) {
        return;
    }
    SkipSpaces(line);
    uint64_t value = 0;
    if (node->type == "Integer" && Consume(line, "= ") && ReadHex(line, 16, &value) && Trimmed(line).empty()) {
        node->value = AcpiObject::Integer(value);
        return;
    }
    uint64_t length = 0;
    if (node->type != "String" || !Consume(line, "Len ") || !ReadHex(line, 8, &length)) {
        return;
    }
    SkipSpaces(line);
    line = Trimmed(line);
    if (line.size() < 2 || line.front() != '"' || line.back() != '"' || line.size() - 2 != length) {
        return;
    }
    std::string_view text = line.substr(1, line.size() - 2);
    if (text.find('"') == std::string_view::npos) {
        node->value = AcpiObject::String(std::string(text));
    }
}

}  // namespace

std::vector<NamespaceNode> ParseFind(std::string_view text)
{
    std::vector<NamespaceNode> nodes;
    for (std::string_view line : SplitLines(text)) {
        line = Trimmed(line);
        if (!StartsWith(line, "\\")) {
            continue;
        }
        size_t space = line.find(' ');
        if (space == std::string_view::npos) {
            continue;
        }
        NamespaceNode node;
        node.path = std::string(line.substr(0, space));
        line.remove_prefix(space);
        SkipSpaces(line);
        space = line.find(' ');
        if (space == std::string_view::npos || space == 0) {
            continue;
        }
        node.type = std::string(line.substr(0, space));
        line.remove_prefix(space);
        SkipSpaces(line);
        if (!Consume(line, "0x") || !ReadHex(line, 16, &node.address) || !ValidPath(node.path)) {
            continue;
        }
        ReadNodeValue(line, &node);
        nodes.push_back(std::move(node));
    }
    return nodes;
}

bool ParseNotify(std::string_view line, NotifyLine* notify)
{
    size_t start = line.find(kReportStart);
    while (start != std::string_view::npos) {
        std::string_view rest = line.substr(start + kReportStart.size());
        NotifyLine parsed;
        parsed.offset = start;
        size_t colon = rest.find(':');
        size_t marker = rest.find(kNotifyMarker);
        if (colon != std::string_view::npos && marker != std::string_view::npos && colon < marker) {
            parsed.handler = std::string(Trimmed(rest.substr(0, colon)));
            rest.remove_prefix(marker + kNotifyMarker.size());
            uint64_t address = 0;
            uint64_t value = 0;
            if ((Consume(rest, "Device Notify on [") || Consume(rest, "System Notify on [")) && rest.size() > 4 &&
                rest[4] == ']') {
                parsed.name = std::string(rest.substr(0, 4));
                rest.remove_prefix(5);
                SkipSpaces(rest);
                if (Consume(rest, "0x") && ReadHex(rest, 16, &address) && Consume(rest, " Value 0x") &&
                    ReadHex(rest, 8, &value)) {
                    parsed.address = address;
                    parsed.value = uint32_t(value);
                    *notify = std::move(parsed);
                    return true;
                }
            }
        }
        start = line.find(kReportStart, start + 1);
    }
    return false;
}

bool FormatArguments(const std::vector<AcpiObject>& arguments, std::string* text, std::string* error)
{
    std::string result;
    for (const AcpiObject& argument : arguments) {
        result += ' ';
        if (!FormatArgument(argument, 0, &result, error)) {
            return false;
        }
        if (result.size() > kMaxCommandLength) {
            *error = "arguments too long for the debugger";
            return false;
        }
    }
    *text = std::move(result);
    return true;
}

bool ValidRelativeName(std::string_view name)
{
    if (name.empty()) {
        return false;
    }
    size_t start = 0;
    for (;;) {
        size_t dot = name.find('.', start);
        std::string_view segment = name.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
        if (!ValidSegment(segment)) {
            return false;
        }
        if (dot == std::string_view::npos) {
            return true;
        }
        start = dot + 1;
    }
}

bool ValidPath(std::string_view path)
{
    return StartsWith(path, "\\") && (path.size() == 1 || ValidRelativeName(path.substr(1)));
}

NTSTATUS StatusFromException(std::string_view exception)
{
    struct Mapping {
        std::string_view exception;
        NTSTATUS status;
    };
    static const Mapping kMappings[] = {
        {"AE_OK", STATUS_SUCCESS},
        {"AE_NOT_FOUND", STATUS_OBJECT_NAME_NOT_FOUND},
        {"AE_NO_MEMORY", STATUS_INSUFFICIENT_RESOURCES},
        {"AE_AML_LOOP_TIMEOUT", STATUS_IO_TIMEOUT},
        {"AE_AML_UNINITIALIZED_ARG", STATUS_ACPI_INCORRECT_ARGUMENT_COUNT},
        {"AE_AML_OPERAND_TYPE", STATUS_ACPI_INVALID_ARGTYPE},
        {"AE_AML_OPERAND_VALUE", STATUS_ACPI_INVALID_ARGUMENT},
        {"AE_AML_BAD_OPCODE", STATUS_ACPI_INVALID_OPCODE},
        {"AE_AML_PACKAGE_LIMIT", STATUS_ACPI_INVALID_INDEX},
        {"AE_AML_BUFFER_LIMIT", STATUS_ACPI_INVALID_INDEX},
        {"AE_AML_STRING_LIMIT", STATUS_ACPI_INVALID_INDEX},
        {"AE_TYPE", STATUS_ACPI_INVALID_OBJTYPE},
    };
    for (const Mapping& mapping : kMappings) {
        if (mapping.exception == exception) {
            return mapping.status;
        }
    }
    // Any other fault of the AML stops the method, as a fatal AML error would.
    return StartsWith(exception, "AE_AML_") ? STATUS_ACPI_FATAL : STATUS_UNSUCCESSFUL;
}

std::string CompilerErrors(std::string_view output, size_t maxLines)
{
    std::vector<std::string_view> lines = SplitLines(output);
    std::string errors;
    size_t taken = 0;
    for (std::string_view line : lines) {
        std::string lower(line);
        for (char& c : lower) {
            c = char(std::tolower(static_cast<unsigned char>(c)));
        }
        if (taken < maxLines && lower.find(": error") != std::string::npos) {
            errors += std::string(Trimmed(line)) + "\n";
            ++taken;
        }
    }
    if (taken == 0) {
        for (std::string_view line : lines) {
            line = Trimmed(line);
            if (!line.empty() && taken < maxLines) {
                errors += std::string(line) + "\n";
                ++taken;
            }
        }
    }
    if (!errors.empty()) {
        errors.pop_back();
    }
    return errors;
}

std::vector<CompilerMessage> CompilerMessages(std::string_view output)
{
    std::vector<CompilerMessage> messages;
    for (std::string_view line : SplitLines(output)) {
        line = Trimmed(line);
        size_t close = line.find(") : ");
        size_t open = close == std::string_view::npos ? std::string_view::npos : line.rfind('(', close);
        if (open == std::string_view::npos || open == 0) {
            continue;
        }
        std::string_view rest = line.substr(close + 4);
        size_t kindEnd = rest.find(' ');
        std::string_view kind = rest.substr(0, kindEnd);
        if ((kind != "warning" && kind != "remark") || kindEnd == std::string_view::npos) {
            continue;
        }
        std::string digits(line.substr(open + 1, close - open - 1));
        char* end = nullptr;
        unsigned long number = std::strtoul(digits.c_str(), &end, 10);
        if (digits.empty() || *end != '\0') {
            continue;
        }
        messages.push_back({std::string(line.substr(0, open)), unsigned(number), std::string(kind),
                            std::string(Trimmed(rest.substr(kindEnd)))});
    }
    return messages;
}

}  // namespace plat::acpiexec
