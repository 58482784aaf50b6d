/* The Security value of a driver package's hardware section. */
#include "system/infsecurity.h"

#include <algorithm>
#include <cctype>
#include <sstream>
#include <vector>

namespace plat {
namespace {

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string Trim(const std::string& text)
{
    size_t begin = text.find_first_not_of(" \t\r");
    size_t end = text.find_last_not_of(" \t\r");
    return begin == std::string::npos ? std::string() : text.substr(begin, end - begin + 1);
}

// One field of an INF line: its text (quotes removed, "" inside quotes is
// one quote) and the column where its value starts.
struct Field {
    std::string text;
    size_t column = 0;
};

// The fields of a line, split at commas outside quotes, with the comment cut off.
std::vector<Field> Fields(const std::string& line)
{
    std::vector<Field> fields(1);
    bool quoted = false;
    bool started = false;
    for (size_t i = 0; i < line.size(); i++) {
        char c = line[i];
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                fields.back().text += '"';
                i++;
            } else if (c == '"') {
                quoted = false;
            } else {
                fields.back().text += c;
            }
        } else if (c == '"') {
            quoted = true;
            if (!started) {
                fields.back().column = i + 1;
                started = true;
            }
        } else if (c == ';') {
            break;
        } else if (c == ',') {
            fields.emplace_back();
            started = false;
        } else if (c != ' ' && c != '\t' && c != '\r') {
            if (!started) {
                fields.back().column = i;
                started = true;
            }
            fields.back().text += c;
        } else if (started) {
            fields.back().text += c;
        }
    }
    for (Field& field : fields) {
        field.text = Trim(field.text);
    }
    return fields;
}

struct Line {
    size_t number;
    std::string text;
};

struct Section {
    std::string name;  // lower case
    std::vector<Line> lines;
};

std::vector<Section> Sections(const std::string& infText)
{
    std::vector<Section> sections;
    std::istringstream in(infText);
    std::string text;
    size_t number = 0;
    while (std::getline(in, text)) {
        number++;
        std::string trimmed = Trim(text);
        if (trimmed.empty() || trimmed[0] == ';') {
            continue;
        }
        if (trimmed[0] == '[') {
            size_t close = trimmed.find(']');
            sections.push_back(Section{Lower(Trim(trimmed.substr(1, close == std::string::npos ? std::string::npos
                                                                                                : close - 1))),
                                       {}});
        } else if (!sections.empty()) {
            sections.back().lines.push_back(Line{number, text});
        }
    }
    return sections;
}

bool EndsWith(const std::string& text, const std::string& suffix)
{
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

std::shared_ptr<const se::SecurityDescriptor> InfDeviceSecurity(const std::string& infText,
                                                                const std::string& infName)
{
    std::vector<Section> sections = Sections(infText);
    // The AddReg sections the hardware sections name.
    std::vector<std::string> addRegs;
    for (const Section& section : sections) {
        if (!EndsWith(section.name, ".hw")) {
            continue;
        }
        for (const Line& line : section.lines) {
            size_t equals = line.text.find('=');
            if (equals == std::string::npos || Lower(Trim(line.text.substr(0, equals))) != "addreg") {
                continue;
            }
            for (const Field& field : Fields(line.text.substr(equals + 1))) {
                if (!field.text.empty()) {
                    addRegs.push_back(Lower(field.text));
                }
            }
        }
    }
    for (const Section& section : sections) {
        if (std::find(addRegs.begin(), addRegs.end(), section.name) == addRegs.end()) {
            continue;
        }
        for (const Line& line : section.lines) {
            std::vector<Field> fields = Fields(line.text);
            if (fields.size() < 5 || Lower(fields[0].text) != "hkr" || !fields[1].text.empty() ||
                Lower(fields[2].text) != "security") {
                continue;
            }
            auto descriptor = std::make_shared<se::SecurityDescriptor>();
            se::SddlError error;
            if (!se::ParseSddl(fields[4].text, descriptor.get(), &error)) {
                throw InfError(infName + ":" + std::to_string(line.number) + ":" +
                               std::to_string(fields[4].column + error.offset + 1) +
                               ": the device's Security value is not valid SDDL: " + error.message + " (at offset " +
                               std::to_string(error.offset) + " of \"" + fields[4].text + "\")");
            }
            // A descriptor without a DACL lets everyone do everything: a
            // package that means that says so (D:NO_ACCESS_CONTROL); one
            // that merely left the DACL out is refused.
            if (!descriptor->hasDacl && fields[4].text.find("NO_ACCESS_CONTROL") == std::string::npos) {
                throw InfError(infName + ":" + std::to_string(line.number) + ":" +
                               std::to_string(fields[4].column + 1) +
                               ": the device's Security value has no DACL (D:), which would let everyone open "
                               "the device for anything; write D:NO_ACCESS_CONTROL if that is meant");
            }
            return descriptor;
        }
    }
    return nullptr;
}

}  // namespace plat
