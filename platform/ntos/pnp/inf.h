/*
 * A driver package's INF as Setup reads it to install a device: the models
 * that name the hardware IDs the package drives, and for each the install
 * section, the service that becomes the device's function driver and its
 * binary. Only text is read here; nothing is installed.
 *
 * The rules read (Microsoft's "General Syntax Rules for INF Files" and the
 * section references of [Manufacturer], models sections and DDInstall):
 *   - [section] headers, names compared case-insensitively; a section given
 *     twice is one section with the lines of both;
 *   - ';' starts a comment outside quotes; a '\' at the end of a line
 *     (before any comment) joins the next line to it;
 *   - "quoted values" keep their spaces and commas, and "" inside them is one
 *     quote; values are separated by ',' and trimmed;
 *   - %token% is replaced from [Strings] (a key of [Strings] names it,
 *     case-insensitively); %% is one '%'; a number (%13%) is a directory ID
 *     and stays; a token [Strings] does not define is an error;
 *   - an .inx is stamped first as stampinf does: $ARCH$ becomes the
 *     architecture;
 *   - [Manufacturer] lines are "<name> = <models section>[, <decoration>...]";
 *     of the decorations (NT[<arch>][.<major>[.<minor>[.<product type>
 *     [.<suite>[.<build>]]]]]) the one that fits the machine (amd64, Windows
 *     10.0 build kBuildNumber, a workstation) and says most is taken, else the
 *     undecorated section when there is one;
 *   - a models line is "<description> = <install section>, <hardware ID>
 *     [, <compatible ID>...]"; the install section used is the first of
 *     <install>.NTamd64, <install>.NT, <install> that exists;
 *   - <install>.Services: "AddService = <name>, <flags>, <service section>";
 *     the service whose flags have SPSVCINST_ASSOCSERVICE (0x2) is the
 *     device's function driver; its section's ServiceBinary is its image.
 *   - [Version] Signature must be "$Windows NT$" or "$Chicago$".
 * A malformed INF fails with its file and line.
 *
 * API (for the Plug and Play manager and tvrx-sim check):
 *   bool ReadInf(const std::filesystem::path& file, InfPackage* package, InfError* error,
 *                const std::string& arch = kMachineArch);
 *   bool ParseInf(std::string_view text, const std::string& fileName, InfPackage* package, InfError* error,
 *                 const std::string& arch = kMachineArch);
 *   const InfModel* MatchModel(const InfPackage& package, const std::vector<std::string>& hardwareIds,
 *                              const std::vector<std::string>& compatibleIds, InfMatch* match = nullptr);
 *       the model that binds a device with these IDs, ranked as Setup ranks them: each of the device's
 *       hardware IDs in order, then each compatible ID; for each, a model whose hardware ID it is before one
 *       that lists it as a compatible ID. nullptr: nothing in the package drives the device.
 */
#pragma once
#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace plat::pnp {

constexpr const char* kMachineArch = "amd64";
constexpr unsigned kBuildNumber = 19045;
constexpr unsigned kAssociatedService = 0x2;  // SPSVCINST_ASSOCSERVICE

// One line of a section, its %tokens% replaced and its values split.
struct InfLine {
    unsigned line = 0;             // where it starts in the file
    std::string key;               // before '=' (empty when the line has none)
    std::vector<std::string> values;
};

struct InfModel {
    std::string description;
    std::string installSection;    // as the models line names it
    std::string decoratedInstall;  // the section used: "Tavrix_Device.NT"
    std::vector<std::string> hardwareIds;    // the models line's hardware ID
    std::vector<std::string> compatibleIds;  // the models line's compatible IDs
    std::string service;           // the associated service; empty: none
    std::string serviceBinary;     // its ServiceBinary ("%13%\tavrix.sys")
    std::vector<InfLine> hardwareAddReg;  // the lines of the AddReg sections [<install>.HW] names
    unsigned line = 0;             // the models line
};

struct InfPackage {
    std::string file;
    std::vector<InfModel> models;  // in the order of [Manufacturer] and the models sections
};

struct InfError {
    std::string file;
    unsigned line = 0;  // 0: the file as a whole
    std::string message;
    std::string Text() const;  // "file:line: message"
};

struct InfMatch {
    std::string deviceId;  // the device's ID that matched
    bool hardwareId = false;  // one of the device's hardware IDs (not a compatible ID)
    size_t rank = 0;          // position in the device's ID list (hardware IDs first)
};

bool ReadInf(const std::filesystem::path& file, InfPackage* package, InfError* error,
             const std::string& arch = kMachineArch);
bool ParseInf(std::string_view text, const std::string& fileName, InfPackage* package, InfError* error,
              const std::string& arch = kMachineArch);
const InfModel* MatchModel(const InfPackage& package, const std::vector<std::string>& hardwareIds,
                           const std::vector<std::string>& compatibleIds, InfMatch* match = nullptr);

}  // namespace plat::pnp
