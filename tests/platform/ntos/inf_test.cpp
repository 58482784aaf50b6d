// INF files as Setup reads them: the syntax rules, decorated models sections,
// ranking of a device's IDs, and malformed files failing with their file and line.
#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <filesystem>
#include <string>
#include <vector>

#include "ntos/pnp/inf.h"

namespace {

using plat::pnp::InfError;
using plat::pnp::InfModel;
using plat::pnp::InfPackage;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

const char kHeader[] = "[Version]\nSignature = \"$Windows NT$\"\n";

// Parses text as test.inf; the package, or the error's text.
InfPackage Parse(const std::string& text, std::string* error = nullptr)
{
    InfPackage package;
    InfError failure;
    bool read = plat::pnp::ParseInf(text, "test.inf", &package, &failure);
    if (error != nullptr) {
        *error = read ? std::string() : failure.Text();
    }
    EXPECT_TRUE(read || error != nullptr) << failure.Text();
    return package;
}

// Microsoft's general syntax rules: comments, quotes, "" for a quote,
// continuation with '\', %tokens% from [Strings], %% for '%', sections that
// are named twice (and in another case) making one.
TEST(Inf, SyntaxRulesOfTheTextAreThoseSetupApplies)
{
    InfPackage package = Parse(std::string(kHeader) +
                               "[Manufacturer]\n"
                               "%Mfg% = Models ; the only one\n"
                               "[Models]\n"
                               "%Desc% = Install, \\\n"
                               "         ACPI\\ABCD0001, \\ ; the compatible IDs follow\n"
                               "         *ABCD0000\n"
                               "[Install]\n"
                               "[install.services]\n"
                               "AddService = svc, 0x2, Svc_Install\n"
                               "[Svc_Install]\n"
                               "ServiceBinary = \"%13%\\a;b, c.sys\"\n"
                               "[models]\n"
                               "\"Second \"\"quoted\"\" one\" = Install, ACPI\\ABCD0002\n"
                               "[Strings]\n"
                               "Mfg = \"Maker\"\n"
                               "desc = \"100%% sure, \"\"quoted\"\"\"\n");
    ASSERT_EQ(package.models.size(), 2u);
    EXPECT_EQ(package.models[0].description, "100% sure, \"quoted\"");
    EXPECT_EQ(package.models[0].hardwareIds, std::vector<std::string>{"ACPI\\ABCD0001"});
    EXPECT_EQ(package.models[0].compatibleIds, std::vector<std::string>{"*ABCD0000"});
    EXPECT_EQ(package.models[0].line, 6u) << "a continued line counts from where it starts";
    EXPECT_EQ(package.models[0].service, "svc");
    EXPECT_EQ(package.models[0].serviceBinary, "%13%\\a;b, c.sys");
    EXPECT_EQ(package.models[1].description, "Second \"quoted\" one");
}

// Of the decorations a [Manufacturer] line gives, the one that fits this
// machine (amd64, Windows 10.0 build 19045, a workstation) and says most is
// used; the install section takes .NTamd64 before .NT before none.
TEST(Inf, DecoratedSectionsFitTheMachine)
{
    std::string text = std::string(kHeader) +
                       "[Manufacturer]\n"
                       "M = Models, NTarm64, NTamd64, NTamd64.10.0...16299, NTamd64.10.0...99999, NT.6.1\n"
                       "[Models.NTarm64]\nA = I, ID\\ARM\n"
                       "[Models.NTamd64]\nA = I, ID\\PLAIN\n"
                       "[Models.NTamd64.10.0...16299]\nA = I, ID\\BUILD\n"
                       "[Models.NTamd64.10.0...99999]\nA = I, ID\\FUTURE\n"
                       "[Models.NT.6.1]\nA = I, ID\\OLD\n"
                       "[I]\n[I.NT]\n[I.NTamd64]\n";
    InfPackage package = Parse(text);
    ASSERT_EQ(package.models.size(), 1u);
    EXPECT_EQ(package.models[0].hardwareIds, std::vector<std::string>{"ID\\BUILD"});
    EXPECT_EQ(package.models[0].decoratedInstall, "I.NTamd64");

    // The .inx's $ARCH$ is stamped with the architecture first.
    package = Parse(std::string(kHeader) + "[Manufacturer]\nM = Models, NT$ARCH$\n"
                                           "[Models.NT$ARCH$]\nA = I, ID\\STAMPED\n[Models.NTarm64]\nA = I, ID\\ARM\n[I]\n");
    ASSERT_EQ(package.models.size(), 1u);
    EXPECT_EQ(package.models[0].hardwareIds, std::vector<std::string>{"ID\\STAMPED"});

    // No decoration fits: the undecorated section, when there is one.
    package = Parse(std::string(kHeader) + "[Manufacturer]\nM = Models, NTarm64\n[Models]\nA = I, ID\\ANY\n[I]\n");
    ASSERT_EQ(package.models.size(), 1u);
    EXPECT_EQ(package.models[0].hardwareIds, std::vector<std::string>{"ID\\ANY"});
}

// Setup ranks a device's hardware IDs before its compatible IDs, and for each
// ID a model's hardware ID before a model's compatible ID.
TEST(Inf, MatchingRanksAsSetupDoes)
{
    InfPackage package = Parse(std::string(kHeader) +
                               "[Manufacturer]\nM = Models\n"
                               "[Models]\n"
                               "ByCompatible = I, ID\\OTHER, ACPI\\DEV1\n"
                               "ByHardware = I, ACPI\\DEV1\n"
                               "ByCid = I, ACPI\\CID1\n"
                               "[I]\n");
    ASSERT_EQ(package.models.size(), 3u);
    plat::pnp::InfMatch match;
    EXPECT_EQ(plat::pnp::MatchModel(package, {"ACPI\\DEV1"}, {}, &match)->description, "ByHardware");
    EXPECT_TRUE(match.hardwareId);
    EXPECT_EQ(plat::pnp::MatchModel(package, {"ACPI\\NONE", "*NONE"}, {"ACPI\\CID1", "ACPI\\DEV1"}, &match)->description,
              "ByCid");
    EXPECT_FALSE(match.hardwareId);
    EXPECT_EQ(match.rank, 2u);
    EXPECT_EQ(plat::pnp::MatchModel(package, {"ACPI\\NONE"}, {}), nullptr);
}

TEST(Inf, MalformedFilesFailWithTheirFileAndLine)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {std::string(kHeader) + "[Manufacturer]\nM = %Undefined%\n", "test.inf:4: %Undefined% is not defined in [Strings]"},
        {std::string(kHeader) + "[Manufacturer]\nM = Models\n[Models]\nA = I, \"ID\n", "test.inf:6: a quoted string"},
        {std::string(kHeader) + "[Manufacturer\n", "test.inf:3: a section name without its closing ']'"},
        {"Signature = \"$Windows NT$\"\n", "test.inf:1: a line before the first section"},
        {std::string(kHeader) + "[Manufacturer]\nM = Models\n[Models]\nA = I\n", "test.inf:6: a models line needs"},
        {std::string(kHeader) + "[Manufacturer]\nM = Models\n", "test.inf:4: the models section [Models] does not exist"},
        {std::string(kHeader) + "[Manufacturer]\nM = Models\n[Models]\nA = Missing, ID\\X\n",
         "test.inf:6: the install section [Missing] does not exist"},
        {std::string(kHeader) + "[Manufacturer]\nM = Models\n[Models]\nA = I, ID\\X\n[I.Services]\nAddService = s, 2\n[I]\n",
         "test.inf:8: AddService without a service-install section"},
        {std::string(kHeader) + "[Manufacturer]\nM = Models\n[Models]\nA = I, ID\\X\n[I.Services]\nAddService = s, two, S\n[I]\n",
         "test.inf:8: AddService flags \"two\" are not a number"},
        {std::string(kHeader) + "[Manufacturer]\nM = Models\n[Models]\nA = I, ID\\X\n[I.Services]\nAddService = s, 2, S\n[I]\n[S]\n",
         "test.inf:10: [S] has no ServiceBinary"},
        {std::string(kHeader) + "[Manufacturer]\nM = 100%\n", "test.inf:4: a '%' without the '%' that closes its token"},
        {"[Version]\nSignature = \"$Windows 95$\"\n[Manufacturer]\n", "test.inf:2: Signature is neither"},
        {std::string(kHeader), "test.inf: no [Manufacturer] section"},
    };
    for (const auto& [text, expected] : cases) {
        std::string error;
        Parse(text, &error);
        EXPECT_THAT(error, HasSubstr(expected)) << text;
    }
    InfPackage package;
    InfError error;
    EXPECT_FALSE(plat::pnp::ReadInf(fs::path(TVRX_SOURCE_DIR) / "driver" / "missing.inx", &package, &error));
    EXPECT_THAT(error.Text(), HasSubstr("missing.inx: cannot be read"));
}

// The hardware key lines of the install section's .HW, as the sections its AddReg names hold them.
TEST(Inf, HardwareKeyLinesAreKeptForTheInstaller)
{
    InfPackage package = Parse(std::string(kHeader) +
                               "[Manufacturer]\nM = Models\n[Models]\nA = I, ID\\X\n[I.NT]\n"
                               "[I.NT.HW]\nAddReg = Sec1, Sec2\n"
                               "[Sec1]\nHKR,,Security,,\"D:P(A;;GA;;;SY)\"\n"
                               "[Sec2]\nHKR,,Exclusive,0x10001,1\n");
    ASSERT_EQ(package.models.size(), 1u);
    const std::vector<plat::pnp::InfLine>& lines = package.models[0].hardwareAddReg;
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].values, (std::vector<std::string>{"HKR", "", "Security", "", "D:P(A;;GA;;;SY)"}));
    EXPECT_EQ(lines[0].line, 11u);
    EXPECT_EQ(lines[1].values[2], "Exclusive");
}

}  // namespace
