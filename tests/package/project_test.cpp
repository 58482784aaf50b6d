// The Windows driver package (driver/tavrix.inx, driver/tavrix.vcxproj)
// against the driver and the simulated machine it runs on here: the device it
// installs on, its service, its framework version and its interface.
#include "support/client.h"

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ntos/pnp/inf.h"

namespace tvrx::test {
namespace {

std::string Lower(std::string text)
{
    for (char& c : text) {
        c = (char)std::tolower((unsigned char)c);
    }
    return text;
}

std::string Trim(const std::string& text)
{
    size_t first = text.find_first_not_of(" \t\r");
    size_t last = text.find_last_not_of(" \t\r");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

std::string ReadFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// An INF file: its sections (names compared without case) and their
// `key = value` lines in order; a line without '=' has an empty key.
class Inf {
public:
    explicit Inf(const std::string& text)
    {
        std::istringstream lines(text);
        std::string line, section;
        while (std::getline(lines, line)) {
            // A ';' outside quotes starts a comment.
            bool quoted = false;
            for (size_t i = 0; i < line.size(); i++) {
                if (line[i] == '"') {
                    quoted = !quoted;
                } else if (line[i] == ';' && !quoted) {
                    line.resize(i);
                    break;
                }
            }
            line = Trim(line);
            if (line.empty()) {
                continue;
            }
            if (line.front() == '[' && line.back() == ']') {
                section = Lower(Trim(line.substr(1, line.size() - 2)));
                sections_[section];
                continue;
            }
            size_t equals = line.find('=');
            std::string key = equals == std::string::npos ? "" : Trim(line.substr(0, equals));
            std::string value = equals == std::string::npos ? line : Trim(line.substr(equals + 1));
            sections_[section].push_back({key, value});
        }
    }

    bool Has(const std::string& section) const { return sections_.count(Lower(section)) != 0; }

    // The values of every line of the section with this key (without case).
    std::vector<std::string> Values(const std::string& section, const std::string& key) const
    {
        std::vector<std::string> values;
        auto found = sections_.find(Lower(section));
        if (found != sections_.end()) {
            for (const auto& [k, v] : found->second) {
                if (Lower(k) == Lower(key)) {
                    values.push_back(v);
                }
            }
        }
        return values;
    }

    // The one value of the key; "" (and a test failure) when it is not there exactly once.
    std::string Value(const std::string& section, const std::string& key) const
    {
        std::vector<std::string> values = Values(section, key);
        EXPECT_EQ(values.size(), 1u) << "[" << section << "] " << key;
        return values.size() == 1 ? values[0] : std::string();
    }

    // Every line of a section, for the sections whose keys are names ([Models]).
    std::vector<std::pair<std::string, std::string>> Lines(const std::string& section) const
    {
        auto found = sections_.find(Lower(section));
        return found == sections_.end() ? std::vector<std::pair<std::string, std::string>>() : found->second;
    }

private:
    std::map<std::string, std::vector<std::pair<std::string, std::string>>> sections_;
};

// The comma-separated fields of an INF value.
std::vector<std::string> Fields(const std::string& value)
{
    std::vector<std::string> fields;
    std::istringstream in(value);
    std::string field;
    while (std::getline(in, field, ',')) {
        fields.push_back(Trim(field));
    }
    return fields;
}

std::string GuidText(const GUID& guid)
{
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", (unsigned)guid.Data1,
                  guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4],
                  guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

// What the INF refers to that it does not define: every %token% that is not a
// [Strings] key (or a numeric directory ID such as %13%), and every section a
// directive names that is not there. One line per problem; none for a sound INF.
std::vector<std::string> UndefinedReferences(const Inf& inf, const std::string& text)
{
    std::vector<std::string> problems;

    // Tokens, wherever they stand (keys and values), with %% as a literal percent sign.
    std::set<std::string> strings;
    for (const auto& [key, value] : inf.Lines("Strings")) {
        strings.insert(Lower(key));
    }
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        line = line.substr(0, line.find(';'));
        for (size_t at = line.find('%'); at != std::string::npos; at = line.find('%', at)) {
            size_t end = line.find('%', at + 1);
            if (end == std::string::npos) {
                problems.push_back("an unclosed % in: " + Trim(line));
                break;
            }
            std::string token = line.substr(at + 1, end - at - 1);
            bool dirid = !token.empty() && token.find_first_not_of("0123456789") == std::string::npos;
            if (!token.empty() && !dirid && strings.count(Lower(token)) == 0) {
                problems.push_back("%" + token + "% is not defined in [Strings]");
            }
            at = end + 1;
        }
    }

    auto need = [&](const std::string& section, const std::string& by) {
        if (!section.empty() && !inf.Has(section)) {
            problems.push_back("[" + section + "], named by " + by + ", does not exist");
        }
    };
    // The models sections the manufacturer names (one per target decoration),
    // and the install section of each model (undecorated, .NT or .NT<arch>).
    std::vector<std::string> installs;
    for (const auto& [manufacturer, value] : inf.Lines("Manufacturer")) {
        std::vector<std::string> fields = Fields(value);
        for (size_t i = 1; i < fields.size(); i++) {
            std::string models = fields[0] + "." + fields[i];
            need(models, "[Manufacturer]");
            for (const auto& [device, model] : inf.Lines(models)) {
                std::string install = Fields(model).at(0);
                if (!inf.Has(install) && !inf.Has(install + ".NT") && !inf.Has(install + ".NT$ARCH$")) {
                    problems.push_back("[" + install + "], the install section of " + device + ", does not exist");
                }
                installs.push_back(install);
            }
        }
    }
    // The directives whose fields name sections: which fields (all of them: npos).
    const std::vector<std::pair<std::string, size_t>> naming = {
        {"CopyFiles", std::string::npos}, {"DelFiles", std::string::npos}, {"RenFiles", std::string::npos},
        {"AddReg", std::string::npos},    {"DelReg", std::string::npos},   {"AddProperty", std::string::npos},
        {"AddService", 2},                {"KmdfService", 1},              {"AddInterface", 2}};
    for (const std::string& install : installs) {
        for (const std::string& base : {install, install + ".NT"}) {
            for (const char* suffix : {"", ".Services", ".Wdf", ".Interfaces", ".HW"}) {
                std::string section = base + suffix;
                for (const auto& [directive, field] : naming) {
                    for (const std::string& value : inf.Values(section, directive)) {
                        std::vector<std::string> fields = Fields(value);
                        for (size_t i = 0; i < fields.size(); i++) {
                            // CopyFiles=@file copies one file instead of naming a section.
                            if ((field == std::string::npos || i == field) && fields[i].rfind('@', 0) != 0) {
                                need(fields[i], section + " " + directive);
                            }
                        }
                    }
                }
            }
        }
    }
    // [DestinationDirs] keys other than DefaultDestDir are file-list sections.
    for (const auto& [key, value] : inf.Lines("DestinationDirs")) {
        if (Lower(key) != "defaultdestdir") {
            need(key, "[DestinationDirs]");
        }
    }
    return problems;
}

const std::filesystem::path kDriverDir = std::filesystem::path(TVRX_SOURCE_DIR) / "driver";

class Package : public Testbed {
protected:
    Inf inf{ReadFile(kDriverDir / "tavrix.inx")};

    // The install section of the one device the models section lists, and its hardware ID.
    std::pair<std::string, std::string> Model()
    {
        std::vector<std::string> manufacturer = Fields(inf.Lines("Manufacturer").at(0).second);
        EXPECT_EQ(manufacturer.size(), 2u);
        std::string models = manufacturer.at(0) + "." + manufacturer.at(1);
        std::vector<std::pair<std::string, std::string>> lines = inf.Lines(models);
        EXPECT_EQ(lines.size(), 1u) << "[" << models << "]";
        std::vector<std::string> fields = Fields(lines.at(0).second);
        EXPECT_EQ(fields.size(), 2u);
        return {fields.at(0), fields.at(1)};
    }
};

TEST_F(Package, TheInfInstallsTheDriverOnTheDeviceAndInterfaceTheSimulatorShows)
{
    ASSERT_TRUE(inf.Has("Version")) << "driver/tavrix.inx is missing or empty";
    auto [install, hardwareId] = Model();

    // A platform device: the System class, by name and by its class GUID.
    EXPECT_EQ(inf.Value("Version", "Class"), "System");
    EXPECT_EQ(Lower(inf.Value("Version", "ClassGuid")), "{4d36e97d-e325-11ce-bfc1-08002be10318}");

    // The simulated machine adds the device under the hardware ID the INF
    // names, and its interface is the class the INF adds and the driver registers.
    Boot();
    std::wstring path = TavrixInterfacePath();
    ASSERT_FALSE(path.empty());
    std::string link(path.begin(), path.end());  // \\?\ACPI#TVRX0001#0#{guid}
    std::string linkHardwareId = std::regex_replace(hardwareId, std::regex("\\\\"), "#");
    EXPECT_EQ(Lower(link.substr(4, linkHardwareId.size() + 1)), Lower(linkHardwareId + "#")) << link;

    std::string interfaceGuid = inf.Value(install + ".NT.Interfaces", "AddInterface");
    EXPECT_EQ(Lower(interfaceGuid), Lower(GuidText(GUID_DEVINTERFACE_TAVRIX)));
    EXPECT_NE(Lower(link).find(Lower(interfaceGuid)), std::string::npos) << link;
}

TEST_F(Package, TheServiceAndFrameworkVersionAreTheOnesTheDriverIsBuiltAndLoadedWith)
{
    auto [install, hardwareId] = Model();

    // The service the machine loads the driver as, from the image the build makes.
    std::string service = plat::Host::Options{}.service;
    std::vector<std::string> addService = Fields(inf.Value(install + ".NT.Services", "AddService"));
    ASSERT_EQ(addService.size(), 3u);
    EXPECT_EQ(addService[0], service);
    EXPECT_EQ(addService[1], "0x00000002");  // the device's function driver
    std::string image = TVRX_DRIVER_IMAGE_NAME;
    EXPECT_EQ(Lower(inf.Value(addService[2], "ServiceBinary")), Lower("%13%\\" + image));
    EXPECT_EQ(inf.Value("SourceDisksFiles", image), "1,,");
    EXPECT_EQ(inf.Value(addService[2], "ServiceType"), "1");  // a kernel driver

    // The framework version the driver compiles against.
    std::string kmdf = std::to_string(KMDF_VERSION_MAJOR) + "." + std::to_string(KMDF_VERSION_MINOR);
    std::vector<std::string> kmdfService = Fields(inf.Value(install + ".NT.Wdf", "KmdfService"));
    ASSERT_EQ(kmdfService.size(), 2u);
    EXPECT_EQ(kmdfService[0], service);
    EXPECT_EQ(inf.Value(kmdfService[1], "KmdfLibraryVersion"), kmdf);

    // The WDK project builds the same units at the same version, traced per trace.h.
    std::string project = ReadFile(kDriverDir / "tavrix.vcxproj");
    std::set<std::string> units, built;
    for (const auto& entry : std::filesystem::directory_iterator(kDriverDir)) {
        if (entry.path().extension() == ".cpp") {
            units.insert(entry.path().filename().string());
        }
    }
    std::regex compile("<ClCompile Include=\"([^\"]+)\" />");
    for (std::sregex_iterator it(project.begin(), project.end(), compile), end; it != end; ++it) {
        built.insert((*it)[1]);
    }
    EXPECT_EQ(built, units);
    EXPECT_NE(project.find("<KMDF_VERSION_MAJOR>" + std::to_string(KMDF_VERSION_MAJOR) + "</KMDF_VERSION_MAJOR>"),
              std::string::npos);
    EXPECT_NE(project.find("<KMDF_VERSION_MINOR>" + std::to_string(KMDF_VERSION_MINOR) + "</KMDF_VERSION_MINOR>"),
              std::string::npos);
    EXPECT_NE(project.find("<KmdfVersionNumber>" + kmdf + "</KmdfVersionNumber>"), std::string::npos);
    EXPECT_NE(project.find("<WppScanConfigurationData>trace.h</WppScanConfigurationData>"), std::string::npos);
    EXPECT_NE(project.find("<Inf Include=\"tavrix.inx\" />"), std::string::npos);
}

TEST_F(Package, EveryTokenAndSectionTheInfNamesIsDefined)
{
    ASSERT_TRUE(inf.Has("Version")) << "driver/tavrix.inx is missing or empty";
    std::vector<std::string> problems = UndefinedReferences(inf, ReadFile(kDriverDir / "tavrix.inx"));
    EXPECT_TRUE(problems.empty()) << ::testing::PrintToString(problems);

    // The check itself sees each kind of fault: an undefined token, and copy,
    // service and destination sections that are missing or misspelt (the
    // misspelt install section is not one Windows would read, so not followed).
    const std::string broken = "[Version]\nProvider = %Maker%\n"
                               "[Manufacturer]\n%Maker% = Models,NTamd64\n"
                               "[Models.NTamd64]\n%Desc% = Install, ACPI\\X\n"
                               "[Instal.NT]\nCopyFiles = Files\n"
                               "[Install.NT]\nCopyFiles = Fils, @x.sys\n"
                               "[Install.NT.Services]\nAddService = x, 2, Service\n"
                               "[DestinationDirs]\nDefaultDestDir = 13\nFiles = 13\n"
                               "[Strings]\nMaker = \"M\"\n";
    std::vector<std::string> found = UndefinedReferences(Inf(broken), broken);
    const std::vector<std::string> expected = {
        "%Desc% is not defined in [Strings]",
        "[Fils], named by Install.NT CopyFiles, does not exist",
        "[Service], named by Install.NT.Services AddService, does not exist",
        "[Files], named by [DestinationDirs], does not exist",
    };
    EXPECT_EQ(found, expected);
}

TEST_F(Package, TheDriverCarriesTheProjectsOneVersion)
{
    // VERSION is what CMake reads (the project version the tests are built with).
    std::string version = Trim(ReadFile(std::filesystem::path(TVRX_SOURCE_DIR) / "VERSION"));
    version = version.substr(0, version.find('\n'));
    EXPECT_EQ(version, TVRX_PROJECT_VERSION);

    // The WDK project reads the same file, stamps DriverVer with it and gives
    // its parts to the resource compiler; the INF leaves DriverVer to stampinf.
    std::string project = ReadFile(kDriverDir / "tavrix.vcxproj");
    std::smatch match;
    ASSERT_TRUE(std::regex_search(project, match, std::regex("<TavrixVersion>(.*)</TavrixVersion>")));
    EXPECT_NE(match[1].str().find("..\\VERSION"), std::string::npos) << match[1];
    EXPECT_NE(project.find("<TimeStamp>$(TavrixVersion)</TimeStamp>"), std::string::npos);
    EXPECT_NE(project.find("<ResourceCompile Include=\"tavrix.rc\" />"), std::string::npos);
    for (const char* part : {"MAJOR", "MINOR", "PATCH", "BUILD"}) {
        EXPECT_NE(project.find(std::string("TVRX_VERSION_") + part + "=$(TavrixVersion.Split('.')"), std::string::npos)
            << part;
    }
    EXPECT_EQ(inf.Value("Version", "DriverVer"), "");

    // The resource's fixed and string versions are those parts, nothing written out.
    std::string resource = ReadFile(kDriverDir / "tavrix.rc");
    const std::string parts = "TVRX_VERSION_MAJOR, TVRX_VERSION_MINOR, TVRX_VERSION_PATCH, TVRX_VERSION_BUILD";
    EXPECT_NE(resource.find("FILEVERSION " + parts), std::string::npos);
    EXPECT_NE(resource.find("PRODUCTVERSION " + parts), std::string::npos);
    EXPECT_FALSE(std::regex_search(resource, std::regex("[0-9]+[.,] *[0-9]+[.,] *[0-9]+[.,] *[0-9]+")));
}

// The package's INF as Setup reads it: the model binds the device to the service.
TEST(Inf, TheDriverPackageBindsTheTavrixDeviceToItsService)
{
    plat::pnp::InfPackage package;
    plat::pnp::InfError error;
    ASSERT_TRUE(plat::pnp::ReadInf(kDriverDir / "tavrix.inx", &package, &error)) << error.Text();
    ASSERT_EQ(package.models.size(), 1u);
    const plat::pnp::InfModel& model = package.models[0];
    EXPECT_EQ(model.hardwareIds, std::vector<std::string>{"ACPI\\TVRX0001"});
    EXPECT_EQ(model.description, "Tavrix Device Mode");
    EXPECT_EQ(model.installSection, "Tavrix_Device");
    EXPECT_EQ(model.decoratedInstall, "Tavrix_Device.NT");
    EXPECT_EQ(model.service, "tavrix");
    EXPECT_EQ(model.serviceBinary, "%13%\\tavrix.sys") << "a directory ID stays for the installer";

    EXPECT_EQ(plat::pnp::MatchModel(package, {"ACPI\\TVRX0001", "*TVRX0001"}, {}), &model);
    EXPECT_EQ(plat::pnp::MatchModel(package, {"ACPI\\ABCD0001", "*ABCD0001"}, {"ACPI\\tvrx0001"}), &model)
        << "IDs compare case-insensitively, and a compatible ID binds too";
    EXPECT_EQ(plat::pnp::MatchModel(package, {"ACPI\\TVRX0002", "*TVRX0002"}, {"*TVRX0001"}), nullptr);
}

}  // namespace
}  // namespace tvrx::test
