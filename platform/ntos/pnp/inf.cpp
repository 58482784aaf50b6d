/* Reading a driver package's INF: sections, strings, models, services. */
#include "ntos/pnp/inf.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>

namespace plat::pnp {

namespace {

constexpr size_t kMaxFileSize = size_t(16) << 20;  // far beyond any INF; more is not one

std::string Lower(std::string_view text)
{
    std::string lower(text);
    for (char& c : lower) {
        c = char(std::tolower(static_cast<unsigned char>(c)));
    }
    return lower;
}

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
        text.remove_prefix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.remove_suffix(1);
    }
    return text;
}

// A line as the file has it, with comments gone and continuations joined.
struct RawLine {
    unsigned line = 0;
    std::string text;
};

struct Section {
    std::string name;  // as first written
    unsigned line = 0;
    std::vector<RawLine> raw;
    std::vector<InfLine> lines;
};

class Reader {
public:
    Reader(std::string fileName, InfError* error) : fileName_(std::move(fileName)), error_(error) {}

    bool Read(std::string text, const std::string& arch, InfPackage* package);

private:
    bool Fail(unsigned line, std::string message)
    {
        if (error_ != nullptr) {
            error_->file = fileName_;
            error_->line = line;
            error_->message = std::move(message);
        }
        return false;
    }

    bool SplitSections(const std::string& text);
    bool ReadStrings();
    bool Tokenize(const RawLine& raw, InfLine* line);
    bool Value(std::string_view raw, unsigned line, std::string* value);
    Section* Find(const std::string& name);
    bool CheckVersion();
    bool ReadManufacturer(const std::string& arch, InfPackage* package);
    bool ReadModel(const InfLine& line, const std::string& arch, InfModel* model);
    bool ReadServices(InfModel* model);
    bool ReadHardwareKeys(InfModel* model);

    std::string fileName_;
    InfError* error_;
    std::vector<Section> sections_;
    std::map<std::string, size_t> byName_;  // lower-case name -> sections_ index
    std::map<std::string, std::string> strings_;  // lower-case key -> value
};

// Comments and continuations first: a ';' inside quotes is text, and a '\'
// ends a line only once the comment after it is gone.
bool Reader::SplitSections(const std::string& text)
{
    unsigned number = 0;
    size_t at = 0;
    RawLine pending;
    bool continuing = false;
    Section* current = nullptr;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        std::string_view physical(text.data() + at, (end == std::string::npos ? text.size() : end) - at);
        at = end == std::string::npos ? text.size() : end + 1;
        ++number;
        bool quoted = false;
        size_t cut = physical.size();
        for (size_t i = 0; i < physical.size(); ++i) {
            if (physical[i] == '"') {
                quoted = !quoted;
            } else if (physical[i] == ';' && !quoted) {
                cut = i;
                break;
            }
        }
        if (quoted) {
            return Fail(number, "a quoted string is not closed on its line");
        }
        std::string_view content = Trim(physical.substr(0, cut));
        if (!continuing) {
            pending = RawLine{number, std::string()};
        }
        continuing = !content.empty() && content.back() == '\\';
        if (continuing) {
            content.remove_suffix(1);
        }
        pending.text += std::string(content);
        if (continuing && at < text.size()) {
            continue;
        }
        std::string_view line = Trim(pending.text);
        if (line.empty()) {
            continue;
        }
        if (line.front() == '[') {
            size_t close = line.find(']');
            if (close == std::string_view::npos) {
                return Fail(pending.line, "a section name without its closing ']'");
            }
            if (!Trim(line.substr(close + 1)).empty()) {
                return Fail(pending.line, "text after the section name's ']'");
            }
            std::string name(Trim(line.substr(1, close - 1)));
            if (name.empty()) {
                return Fail(pending.line, "a section without a name");
            }
            auto [found, added] = byName_.emplace(Lower(name), sections_.size());
            if (added) {
                sections_.push_back(Section{name, pending.line, {}, {}});
            }
            current = &sections_[found->second];
            continue;
        }
        if (current == nullptr) {
            return Fail(pending.line, "a line before the first section");
        }
        current->raw.push_back(RawLine{pending.line, std::string(line)});
    }
    return true;
}

// One value: quotes removed ("" inside them is one quote), %tokens% replaced.
bool Reader::Value(std::string_view raw, unsigned line, std::string* value)
{
    value->clear();
    bool quoted = false;
    for (size_t i = 0; i < raw.size(); ++i) {
        char c = raw[i];
        if (c == '"') {
            if (quoted && i + 1 < raw.size() && raw[i + 1] == '"') {
                *value += '"';
                ++i;
            } else {
                quoted = !quoted;
            }
            continue;
        }
        if (c != '%') {
            *value += c;
            continue;
        }
        size_t close = raw.find('%', i + 1);
        if (close == std::string_view::npos) {
            return Fail(line, "a '%' without the '%' that closes its token");
        }
        std::string_view token = raw.substr(i + 1, close - i - 1);
        i = close;
        if (token.empty()) {
            *value += '%';
            continue;
        }
        bool number = true;
        for (char d : token) {
            number = number && std::isdigit(static_cast<unsigned char>(d));
        }
        if (number) {
            *value += "%" + std::string(token) + "%";  // a directory ID, resolved at install time
            continue;
        }
        auto found = strings_.find(Lower(token));
        if (found == strings_.end()) {
            return Fail(line, "%" + std::string(token) + "% is not defined in [Strings]");
        }
        *value += found->second;
    }
    return true;
}

bool Reader::Tokenize(const RawLine& raw, InfLine* line)
{
    line->line = raw.line;
    std::string_view text = raw.text;
    std::vector<std::string_view> fields;
    bool quoted = false;
    size_t start = 0;
    size_t equals = std::string_view::npos;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i < text.size() && text[i] == '"') {
            quoted = !quoted;
        } else if (i < text.size() && text[i] == '=' && !quoted && equals == std::string_view::npos && fields.empty()) {
            equals = i;
            start = i + 1;
        } else if (i == text.size() || (text[i] == ',' && !quoted)) {
            fields.push_back(Trim(text.substr(start, i - start)));
            start = i + 1;
        }
    }
    if (equals != std::string_view::npos) {
        std::string_view key = Trim(text.substr(0, equals));
        if (key.empty()) {
            return Fail(raw.line, "a '=' without a key before it");
        }
        if (!Value(key, raw.line, &line->key)) {
            return false;
        }
    }
    for (std::string_view field : fields) {
        std::string value;
        if (!Value(field, raw.line, &value)) {
            return false;
        }
        line->values.push_back(std::move(value));
    }
    if (equals == std::string_view::npos && line->values.size() == 1 && line->values[0].empty()) {
        line->values.clear();
    }
    return true;
}

bool Reader::ReadStrings()
{
    Section* strings = Find("Strings");
    if (strings == nullptr) {
        return true;
    }
    for (const RawLine& raw : strings->raw) {
        size_t equals = raw.text.find('=');
        if (equals == std::string::npos) {
            return Fail(raw.line, "a [Strings] line without '='");
        }
        std::string key(Trim(std::string_view(raw.text).substr(0, equals)));
        std::string_view text = Trim(std::string_view(raw.text).substr(equals + 1));
        std::string value;
        bool quoted = false;
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '"') {
                if (quoted && i + 1 < text.size() && text[i + 1] == '"') {
                    value += '"';
                    ++i;
                } else {
                    quoted = !quoted;
                }
            } else if (text[i] == '%' && i + 1 < text.size() && text[i + 1] == '%') {
                value += '%';
                ++i;
            } else {
                value += text[i];
            }
        }
        if (key.empty()) {
            return Fail(raw.line, "a [Strings] line without a key");
        }
        strings_[Lower(key)] = value;
    }
    return true;
}

Section* Reader::Find(const std::string& name)
{
    auto found = byName_.find(Lower(name));
    return found == byName_.end() ? nullptr : &sections_[found->second];
}

bool Reader::CheckVersion()
{
    Section* version = Find("Version");
    if (version == nullptr) {
        return Fail(0, "no [Version] section");
    }
    for (const InfLine& line : version->lines) {
        if (Lower(line.key) == "signature") {
            std::string signature = line.values.empty() ? std::string() : Lower(line.values[0]);
            if (signature != "$windows nt$" && signature != "$chicago$") {
                return Fail(line.line, "Signature is neither \"$Windows NT$\" nor \"$Chicago$\"");
            }
            return true;
        }
    }
    return Fail(version->line, "[Version] has no Signature");
}

// How well a decoration fits the machine: nullopt when it does not apply,
// else how many of its parts it gives (the most specific one wins).
std::optional<unsigned> DecorationFit(const std::string& decoration, const std::string& arch)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t dot = decoration.find('.'); ; dot = decoration.find('.', start)) {
        parts.push_back(Lower(decoration.substr(start, dot == std::string::npos ? std::string::npos : dot - start)));
        if (dot == std::string::npos) {
            break;
        }
        start = dot + 1;
    }
    if (parts[0].compare(0, 2, "nt") != 0) {
        return std::nullopt;
    }
    unsigned fit = 0;
    std::string platform = parts[0].substr(2);
    if (!platform.empty()) {
        if (platform != Lower(arch)) {
            return std::nullopt;
        }
        fit += 1;
    }
    auto number = [](const std::string& text, unsigned long* value) {
        char* end = nullptr;
        *value = std::strtoul(text.c_str(), &end, 0);
        return !text.empty() && *end == '\0';
    };
    // major, minor, product type, suite mask, build: what this machine is (Windows 10.0, a workstation).
    const unsigned long machine[] = {10, 0, 1, 0, kBuildNumber};
    for (size_t i = 1; i < parts.size() && i <= 5; ++i) {
        unsigned long value = 0;
        if (parts[i].empty()) {
            continue;
        }
        if (!number(parts[i], &value)) {
            return std::nullopt;
        }
        bool applies = i == 3 ? value == machine[2] : i == 4 ? (value & ~machine[3]) == 0 : value <= machine[i - 1];
        if (i == 2 && parts[1].size() && std::strtoul(parts[1].c_str(), nullptr, 0) < machine[0]) {
            applies = true;  // an older major version admits any minor
        }
        if (!applies) {
            return std::nullopt;
        }
        fit += 1;
    }
    return parts.size() > 6 ? std::nullopt : std::optional<unsigned>(fit);
}

bool Reader::ReadManufacturer(const std::string& arch, InfPackage* package)
{
    Section* manufacturer = Find("Manufacturer");
    if (manufacturer == nullptr) {
        return Fail(0, "no [Manufacturer] section: the package names no device");
    }
    for (const InfLine& line : manufacturer->lines) {
        if (line.values.empty() || line.values[0].empty()) {
            return Fail(line.line, "a [Manufacturer] line without a models section");
        }
        const std::string& base = line.values[0];
        std::string chosen;
        std::optional<unsigned> best;
        for (size_t i = 1; i < line.values.size(); ++i) {
            std::optional<unsigned> fit = DecorationFit(line.values[i], arch);
            if (fit && (!best || *fit > *best)) {
                best = fit;
                chosen = base + "." + line.values[i];
            }
        }
        Section* models = Find(best ? chosen : base);
        if (models == nullptr && best) {
            models = Find(base);
        }
        if (models == nullptr) {
            return Fail(line.line, "the models section [" + (best ? chosen : base) + "] does not exist");
        }
        for (const InfLine& entry : models->lines) {
            InfModel model;
            if (!ReadModel(entry, arch, &model)) {
                return false;
            }
            package->models.push_back(std::move(model));
        }
    }
    return true;
}

bool Reader::ReadModel(const InfLine& line, const std::string& arch, InfModel* model)
{
    if (line.values.size() < 2 || line.values[0].empty() || line.values[1].empty()) {
        return Fail(line.line, "a models line needs \"<description> = <install section>, <hardware ID>\"");
    }
    model->line = line.line;
    model->description = line.key;
    model->installSection = line.values[0];
    model->hardwareIds.push_back(line.values[1]);
    for (size_t i = 2; i < line.values.size(); ++i) {
        if (!line.values[i].empty()) {
            model->compatibleIds.push_back(line.values[i]);
        }
    }
    for (const std::string& candidate :
         {model->installSection + ".NT" + arch, model->installSection + ".NT", model->installSection}) {
        if (Section* install = Find(candidate)) {
            model->decoratedInstall = install->name;
            break;
        }
    }
    if (model->decoratedInstall.empty()) {
        return Fail(line.line, "the install section [" + model->installSection + "] does not exist");
    }
    return ReadServices(model) && ReadHardwareKeys(model);
}

bool Reader::ReadServices(InfModel* model)
{
    Section* services = Find(model->decoratedInstall + ".Services");
    if (services == nullptr) {
        return true;
    }
    for (const InfLine& line : services->lines) {
        if (Lower(line.key) != "addservice") {
            continue;
        }
        if (line.values.empty() || line.values[0].empty()) {
            return Fail(line.line, "AddService without a service name");
        }
        unsigned long flags = 0;
        if (line.values.size() > 1 && !line.values[1].empty()) {
            char* end = nullptr;
            flags = std::strtoul(line.values[1].c_str(), &end, 0);
            if (*end != '\0') {
                return Fail(line.line, "AddService flags \"" + line.values[1] + "\" are not a number");
            }
        }
        if ((flags & kAssociatedService) == 0) {
            continue;
        }
        if (!model->service.empty()) {
            return Fail(line.line, "a second service marked as the device's function driver");
        }
        if (line.values.size() < 3 || line.values[2].empty()) {
            return Fail(line.line, "AddService without a service-install section");
        }
        Section* install = Find(line.values[2]);
        if (install == nullptr) {
            return Fail(line.line, "the service-install section [" + line.values[2] + "] does not exist");
        }
        model->service = line.values[0];
        for (const InfLine& entry : install->lines) {
            if (Lower(entry.key) == "servicebinary" && !entry.values.empty()) {
                model->serviceBinary = entry.values[0];
            }
        }
        if (model->serviceBinary.empty()) {
            return Fail(install->line, "[" + install->name + "] has no ServiceBinary");
        }
    }
    return true;
}

bool Reader::ReadHardwareKeys(InfModel* model)
{
    Section* hardware = Find(model->decoratedInstall + ".HW");
    if (hardware == nullptr) {
        return true;
    }
    for (const InfLine& line : hardware->lines) {
        if (Lower(line.key) != "addreg") {
            continue;
        }
        for (const std::string& name : line.values) {
            Section* addReg = Find(name);
            if (addReg == nullptr) {
                return Fail(line.line, "the AddReg section [" + name + "] does not exist");
            }
            model->hardwareAddReg.insert(model->hardwareAddReg.end(), addReg->lines.begin(), addReg->lines.end());
        }
    }
    return true;
}

bool Reader::Read(std::string text, const std::string& arch, InfPackage* package)
{
    // stampinf's part: the architecture goes where the .inx says $ARCH$.
    for (size_t at = text.find("$ARCH$"); at != std::string::npos; at = text.find("$ARCH$", at + arch.size())) {
        text.replace(at, 6, arch);
    }
    if (text.find('\0') != std::string::npos) {
        return Fail(0, "a NUL byte: not an INF text");
    }
    if (!SplitSections(text) || !ReadStrings()) {
        return false;
    }
    for (Section& section : sections_) {
        if (Lower(section.name) == "strings") {
            continue;
        }
        for (const RawLine& raw : section.raw) {
            InfLine line;
            if (!Tokenize(raw, &line)) {
                return false;
            }
            section.lines.push_back(std::move(line));
        }
    }
    package->file = fileName_;
    package->models.clear();
    return CheckVersion() && ReadManufacturer(arch, package);
}

}  // namespace

std::string InfError::Text() const
{
    return line == 0 ? file + ": " + message : file + ":" + std::to_string(line) + ": " + message;
}

bool ParseInf(std::string_view text, const std::string& fileName, InfPackage* package, InfError* error,
              const std::string& arch)
{
    Reader reader(fileName, error);
    return reader.Read(std::string(text), arch, package);
}

bool ReadInf(const std::filesystem::path& file, InfPackage* package, InfError* error, const std::string& arch)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        if (error != nullptr) {
            *error = InfError{file.string(), 0, "cannot be read"};
        }
        return false;
    }
    std::string text;
    char buffer[65536];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        text.append(buffer, size_t(in.gcount()));
        if (text.size() > kMaxFileSize) {
            if (error != nullptr) {
                *error = InfError{file.string(), 0, "larger than any INF (16 MB)"};
            }
            return false;
        }
    }
    // A UTF-8 byte-order mark is not part of the first line.
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        text.erase(0, 3);
    }
    return ParseInf(text, file.string(), package, error, arch);
}

const InfModel* MatchModel(const InfPackage& package, const std::vector<std::string>& hardwareIds,
                           const std::vector<std::string>& compatibleIds, InfMatch* match)
{
    std::vector<std::string> ids = hardwareIds;
    ids.insert(ids.end(), compatibleIds.begin(), compatibleIds.end());
    for (size_t rank = 0; rank < ids.size(); ++rank) {
        std::string id = Lower(ids[rank]);
        const InfModel* found = nullptr;
        for (const InfModel& model : package.models) {
            for (const std::string& modelId : model.hardwareIds) {
                found = found == nullptr && Lower(modelId) == id ? &model : found;
            }
        }
        for (const InfModel& model : package.models) {
            for (const std::string& modelId : model.compatibleIds) {
                found = found == nullptr && Lower(modelId) == id ? &model : found;
            }
        }
        if (found != nullptr) {
            if (match != nullptr) {
                *match = InfMatch{ids[rank], rank < hardwareIds.size(), rank};
            }
            return found;
        }
    }
    return nullptr;
}

}  // namespace plat::pnp
