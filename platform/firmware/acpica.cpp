/* Firmware from ASL/AML tables, executed by the AML debugger as a co-process. */
#include "firmware/acpica.h"

#include <ntstatus.h>
#include <stdlib.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdlib>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <utility>

#include "firmware/acpiexec_parse.h"
#include "firmware/coprocess.h"
#include "firmware/native.h"
#include "machine/hardware.h"
#include "machine/physmem.h"

namespace plat {

namespace {

constexpr size_t kMaxPending = size_t(8) << 20;  // output kept while waiting for one command
constexpr size_t kLogLines = 6;
constexpr size_t kNotificationsKept = 64;

std::string Hex(uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof(text), "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

bool HasExtension(const std::filesystem::path& file, const char* a, const char* b)
{
    std::string extension = file.extension().string();
    for (char& c : extension) {
        c = char(std::tolower(static_cast<unsigned char>(c)));
    }
    return extension == a || extension == b;
}

// FNV-1a over the tables: a firmware whose AML changes gets another default BIOS version.
uint32_t HashFile(const std::filesystem::path& file, uint32_t hash)
{
    std::ifstream in(file, std::ios::binary);
    for (std::istreambuf_iterator<char> it(in), end; it != end; ++it) {
        hash = (hash ^ uint8_t(*it)) * 16777619u;
    }
    return hash;
}

// The lines of the debugger's load output that say what went wrong.
std::string LoadProblems(const std::string& log)
{
    std::string problems;
    size_t taken = 0;
    size_t start = 0;
    while (start < log.size() && taken < kLogLines) {
        size_t end = log.find('\n', start);
        std::string line = log.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? log.size() : end + 1;
        if (line.find("ACPI Error") != std::string::npos || line.find("ACPI Exception") != std::string::npos ||
            line.find("does not appear") != std::string::npos || line.find("Could not") != std::string::npos) {
            problems += "\n  " + line;
            ++taken;
        }
    }
    return problems;
}

// Where the debugger says a method stopped: the method it aborted and the
// AML it was at, from "ACPI Error: Aborting method \X due to previous error
// (AE_...)" and "Failed at AML Offset 00006, Opcode 00A2: While (One) {}".
std::string FailurePlace(const std::string& output)
{
    std::string method;
    std::string at;
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        std::string line = output.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? output.size() : end + 1;
        const std::string aborting = "Aborting method ";
        size_t found = line.find(aborting);
        if (found != std::string::npos && method.empty()) {
            size_t nameEnd = line.find(' ', found + aborting.size());
            method = line.substr(found + aborting.size(), nameEnd == std::string::npos ? std::string::npos
                                                                                    : nameEnd - found - aborting.size());
        }
        const std::string failed = "Failed at AML Offset ";
        found = line.find(failed);
        if (found != std::string::npos && at.empty()) {
            size_t comma = line.find(',', found);
            size_t colon = line.find(": ", found);
            std::string offset = line.substr(found + failed.size(), comma == std::string::npos ? 0 : comma - found - failed.size());
            size_t digit = offset.find_first_not_of('0');
            at = "AML offset 0x" + (digit == std::string::npos ? std::string("0") : offset.substr(digit)) +
                 (colon == std::string::npos ? std::string() : ", " + line.substr(colon + 2));
        }
    }
    if (method.empty()) {
        return at;
    }
    return at.empty() ? method : method + " at " + at;
}

}  // namespace

std::string AcpicaOptions::DefaultPreload()
{
#ifdef TVRX_ACPIEXEC_PRELOAD
    return TVRX_ACPIEXEC_PRELOAD;
#else
    return {};
#endif
}

AcpicaFirmware::AcpicaFirmware(const std::filesystem::path& file, Options options)
    : AcpicaFirmware(std::vector<std::filesystem::path>{file}, std::move(options))
{
}

AcpicaFirmware::AcpicaFirmware(const std::vector<std::filesystem::path>& files, Options options)
    : options_(std::move(options))
{
    if (files.empty()) {
        throw std::runtime_error("no firmware file given");
    }
    name_ = files.front().string();
    std::random_device random;
    marker_ = "TVRXEND" + std::to_string(random()) + "N";
    try {
        Start(files);
        StartIdleReader();
    } catch (...) {
        for (int descriptor : {idleWait_, wake_}) {
            if (descriptor >= 0) {
                close(descriptor);
            }
        }
        debugger_.reset();
        std::error_code ignored;
        if (!workFolder_.empty()) {
            std::filesystem::remove_all(workFolder_, ignored);
        }
        throw;
    }
}

// The idle reader ends first. Killing the debugger then ends its output: the
// caller reading it sees the end, marks the firmware dead and wakes every
// caller still waiting for an answer.
AcpicaFirmware::~AcpicaFirmware()
{
    StopIdleReader();
    debugger_->Kill();
    WaitUntilUnused();
    debugger_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(workFolder_, ignored);
}

bool AcpicaFirmware::ToolsAvailable(const Options& options)
{
    return !FindProgram(options.compiler).empty() && !FindProgram(options.debugger).empty() &&
           !FindProgram("stdbuf").empty();
}

void AcpicaFirmware::Start(const std::vector<std::filesystem::path>& files)
{
    std::string debugger = FindProgram(options_.debugger);
    if (debugger.empty()) {
        throw std::runtime_error(options_.debugger + " not found (it comes with the acpica-tools package)");
    }
    // The debugger writes to a socket, which stdio would buffer in blocks:
    // stdbuf makes it flush every line, so each answer arrives when printed.
    std::string stdbuf = FindProgram("stdbuf");
    if (stdbuf.empty()) {
        throw std::runtime_error("stdbuf not found (it comes with coreutils)");
    }

    std::string pattern = (std::filesystem::temp_directory_path() / "tvrx-acpica-XXXXXX").string();
    std::vector<char> folder(pattern.begin(), pattern.end());
    folder.push_back('\0');
    if (mkdtemp(folder.data()) == nullptr) {
        throw std::runtime_error("cannot create a work folder for firmware " + name_);
    }
    workFolder_ = folder.data();

    std::vector<std::string> tables = PrepareTables(files);
    // The preloaded library writes the output when it is complete; without
    // it, stdbuf has the debugger write every line as it is printed.
    // -dt: no allocation tracking, whose report after each command costs time and says nothing here.
    std::vector<std::string> argv = {debugger, "-dt", "-to", std::to_string(options_.loopTimeoutSeconds)};
    argv.insert(argv.end(), tables.begin(), tables.end());
    // Each thread of the debugger would get a malloc arena of its own, 64 MiB
    // of address space each: two are plenty, and keep the memory cap for the AML.
    std::vector<std::string> environment = {"MALLOC_ARENA_MAX=2"};
    std::error_code error;
    if (!options_.preload.empty() && std::filesystem::is_regular_file(options_.preload, error)) {
        const char* preloaded = std::getenv("LD_PRELOAD");
        environment.push_back("LD_PRELOAD=" + options_.preload +
                              (preloaded != nullptr && *preloaded != '\0' ? std::string(":") + preloaded : ""));
        environment.push_back("TVRX_ACPIEXEC_MARKER=" + marker_);
        markedByPreload_ = true;
        environment.push_back("TVRX_ACPIEXEC_MAX_SLEEP_MS=" + std::to_string(options_.longestSleep.count()));
        environment.push_back("TVRX_ACPIEXEC_SLEEP_REPORT=" + (workFolder_ / "sleep").string());
    } else {
        argv.insert(argv.begin(), {stdbuf, "-oL", "-eL"});
    }
    debugger_ = std::make_unique<CoProcess>(argv, environment, options_.debuggerMemory);

    std::string output;
    NTSTATUS status = Command("", &output, options_.startTimeout);
    loadLog_ += output;
    debuggerLog_ = output;
    if (status == STATUS_IO_TIMEOUT) {
        throw std::runtime_error(options_.debugger + " did not finish loading " + name_ + LoadProblems(output));
    }
    if (!NT_SUCCESS(status)) {
        // It stops without a word when a file is no ACPI table at all.
        int exit = debugger_->Wait();
        throw std::runtime_error(options_.debugger + " ended while loading " + name_ + " (exit status " +
                                 std::to_string(exit) + "; is every file an ACPI table?)" + LoadProblems(output));
    }
    std::ifstream report(workFolder_ / "sleep");
    std::string raised;
    fullLengthSleep_ = markedByPreload_ && std::getline(report, raised) && raised == "raised";
    ReadNamespace();
    ReadLoadedObjects();
}

std::vector<std::string> AcpicaFirmware::PrepareTables(const std::vector<std::filesystem::path>& files)
{
    std::vector<std::string> tables;
    uint32_t hash = 2166136261u;
    for (const std::filesystem::path& file : files) {
        std::error_code error;
        if (!std::filesystem::is_regular_file(file, error)) {
            throw std::runtime_error("firmware file " + file.string() + " not found");
        }
        std::vector<std::string> loaded;
        if (HasExtension(file, ".asl", ".dsl")) {
            loaded.push_back(Compile(file));
        } else if (IsTableDump(file)) {
            loaded = Extract(file);
        } else {
            loaded.push_back(std::filesystem::absolute(file).string());
        }
        for (const std::string& table : loaded) {
            hash = HashFile(table, hash);
            tables.push_back(table);
        }
    }
    amlHash_ = hash;
    return tables;
}

// A text dump of a machine's tables ("DSDT @ 0x0000000000000000" and lines
// of hex below it) rather than a table: its first line says so.
bool AcpicaFirmware::IsTableDump(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    std::string line;
    while (std::getline(in, line) && line.find_first_not_of(" \t\r") == std::string::npos) {
    }
    size_t at = line.find(" @ 0x");
    if (at != 4 || line.size() < 4) {
        return false;
    }
    return std::all_of(line.begin(), line.begin() + 4, [](char c) {
        return std::isupper(static_cast<unsigned char>(c)) || std::isdigit(static_cast<unsigned char>(c)) || c == '_';
    });
}

// The DSDT and SSDTs of a table dump, split by acpixtract (acpica-tools) in
// the work folder: the DSDT first, then the SSDTs in the dump's order, as
// the loader takes them. The other tables (FACP, APIC, ...) hold no AML.
std::vector<std::string> AcpicaFirmware::Extract(const std::filesystem::path& dump)
{
    std::string extractor = FindProgram("acpixtract");
    if (extractor.empty()) {
        throw std::runtime_error("acpixtract not found (it comes with the acpica-tools package)");
    }
    std::filesystem::path folder = workFolder_ / ("dump" + std::to_string(compiled_++));
    std::filesystem::create_directory(folder);
    std::string output;
    // acpixtract writes into the folder it runs in.
    int exit = RunProgram({"/bin/sh", "-c", "cd \"$1\" && exec \"$2\" -a \"$3\"", "sh", folder.string(), extractor,
                           std::filesystem::absolute(dump).string()},
                          &output);
    loadLog_ += output;
    // "  SSDT -     708 bytes written (0x000002C4) - ssdt2.dat", one line per table, in the dump's order
    std::vector<std::string> dsdt;
    std::vector<std::string> ssdts;
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        std::string line = output.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? output.size() : end + 1;
        size_t written = line.find(" bytes written ");
        size_t name = line.rfind(" - ");
        if (written == std::string::npos || name == std::string::npos || name < written) {
            continue;
        }
        std::string signature = line.substr(line.find_first_not_of(' '), 4);
        std::filesystem::path table = folder / line.substr(name + 3);
        if (signature == "DSDT") {
            dsdt.push_back(table.string());
        } else if (signature == "SSDT") {
            ssdts.push_back(table.string());
        }
    }
    if (exit != 0 || (dsdt.empty() && ssdts.empty())) {
        throw std::runtime_error("no DSDT or SSDT could be taken from the table dump " + dump.string() +
                                 (exit != 0 ? " (acpixtract failed)" : ""));
    }
    dsdt.insert(dsdt.end(), ssdts.begin(), ssdts.end());
    return dsdt;
}

// The compiler names the file as it was given, so the absolute path goes in:
// its messages then say exactly which file and line is wrong.
std::string AcpicaFirmware::Compile(const std::filesystem::path& source)
{
    std::string compiler = FindProgram(options_.compiler);
    if (compiler.empty()) {
        throw std::runtime_error(options_.compiler + " not found (it comes with the acpica-tools package)");
    }
    std::filesystem::path prefix = workFolder_ / (std::to_string(compiled_++) + "-" + source.stem().string());
    std::filesystem::path aml = prefix.string() + ".aml";
    std::string output;
    std::string input = std::filesystem::absolute(source).string();
    int exit = RunProgram({compiler, "-vi", "-vs", "-p", prefix.string(), input}, &output);
    loadLog_ += output;
    for (acpiexec::CompilerMessage& message : acpiexec::CompilerMessages(output)) {
        compilerMessages_.push_back(std::move(message));
    }
    std::error_code error;
    if (exit != 0 || !std::filesystem::is_regular_file(aml, error)) {
        throw std::runtime_error("firmware " + input + " does not compile:\n" + acpiexec::CompilerErrors(output, 5));
    }
    return aml.string();
}

namespace {

// The scopes the interpreter predefines as Device objects; no table declares them.
bool PredefinedScope(const std::string& path)
{
    return path == "\\_SB" || path == "\\_TZ" || path == "\\_PR" || path == "\\_GPE" || path == "\\_SI";
}

}  // namespace

// One pass over the namespace at load: every Device with its node address,
// and which devices own each identification object (a "find" per name), so
// that enumeration later evaluates only objects that exist.
void AcpicaFirmware::ReadNamespace()
{
    auto stopped = [this] { return std::runtime_error(options_.debugger + " stopped answering while reading " + name_); };
    std::string output;
    if (!NT_SUCCESS(Command("objects Device", &output, options_.replyTimeout))) {
        throw stopped();
    }
    std::vector<std::string> devices;
    std::map<uint64_t, std::string> byNode;
    for (const acpiexec::NamespaceNode& node : acpiexec::ParseFind(output)) {
        if (node.type == "Device" && !PredefinedScope(node.path)) {
            devices.push_back(node.path);
            byNode[node.address] = node.path;
        }
    }
    std::set<std::string> known(devices.begin(), devices.end());
    std::map<std::string, std::set<std::string>> objectsOf;
    std::map<std::string, AcpiObject> names;
    for (const char* name : {"_HID", "_CID", "_UID", "_STA", "_ADR", "_DSM"}) {
        if (!NT_SUCCESS(Command(std::string("find ") + name, &output, options_.replyTimeout))) {
            throw stopped();
        }
        for (const acpiexec::NamespaceNode& node : acpiexec::ParseFind(output)) {
            size_t dot = node.path.find_last_of('.');
            if (dot != std::string::npos && node.path.substr(dot + 1) == name && known.count(node.path.substr(0, dot))) {
                objectsOf[name].insert(node.path.substr(0, dot));
                if (node.value) {
                    names[node.path] = *node.value;  // a Name: its value needs no evaluation
                }
            }
        }
    }

    // The device the firmware's conventions (BVER, SART, SMOD) are read from.
    std::string chosen;
    for (const std::string& device : devices) {
        if (!objectsOf["_HID"].count(device) && !objectsOf["_CID"].count(device)) {
            continue;
        }
        FirmwareDevice described = Describe(device, objectsOf, names);
        if ((described.hid && *described.hid == kHardwareId) ||
            std::find(described.cids.begin(), described.cids.end(), kHardwareId) != described.cids.end()) {
            chosen = device;
            break;
        }
    }
    for (size_t i = 0; chosen.empty() && i < devices.size(); ++i) {
        if (objectsOf["_DSM"].count(devices[i])) {
            chosen = devices[i];
        }
    }
    if (chosen.empty() && options_.requireDevice) {
        throw std::runtime_error("no device in firmware " + name_ + " has the hardware ID " + kHardwareId +
                                 " or a _DSM method" + LoadProblems(debuggerLog_));
    }
    std::lock_guard<std::mutex> guard(lock_);
    devices_ = std::move(devices);
    devicesByNode_ = std::move(byNode);
    objectsOf_ = std::move(objectsOf);
    names_ = std::move(names);
    devicePath_ = chosen;
    for (const auto& [node, path] : devicesByNode_) {
        if (path == chosen) {
            deviceNode_ = node;
        }
    }
}

std::vector<FirmwareDevice> AcpicaFirmware::Devices()
{
    std::vector<FirmwareDevice> described;
    for (const std::string& device : devices_) {
        described.push_back(Describe(device, objectsOf_, names_));
    }
    return described;
}

// Names whose value the namespace listing showed are taken from it; methods
// (a _STA usually is one) and Packages are evaluated.
FirmwareDevice AcpicaFirmware::Describe(const std::string& device,
                                        const std::map<std::string, std::set<std::string>>& objectsOf,
                                        const std::map<std::string, AcpiObject>& names)
{
    auto has = [&](const std::string& method) {
        auto owners = objectsOf.find(method);
        return owners != objectsOf.end() && owners->second.count(device) != 0;
    };
    auto evaluate = [&](const std::string& method, AcpiObject* result) {
        auto name = names.find(device + "." + method);
        if (name != names.end()) {
            *result = name->second;
            return STATUS_SUCCESS;
        }
        bool returned = false;
        NTSTATUS status = EvaluatePath(device + "." + method, "", result, &returned, options_.replyTimeout);
        return NT_SUCCESS(status) && !returned ? STATUS_ACPI_INVALID_DATA : status;
    };
    return DescribeDevice(device, has, evaluate);
}

void AcpicaFirmware::ReadLoadedObjects()
{
    if (devicePath_.empty()) {
        biosVersion_ = "ACPI " + std::filesystem::path(name_).filename().string() + " " + Hex(amlHash_);
        return;
    }
    AcpiObject value;
    bool returned = false;
    if (NT_SUCCESS(EvaluatePath(devicePath_ + ".BVER", "", &value, &returned, options_.replyTimeout)) && returned &&
        value.type == AcpiObject::Type::String) {
        biosVersion_ = value.string;
    } else {
        biosVersion_ = "ACPI " + std::filesystem::path(name_).filename().string() + " " + Hex(amlHash_);
    }
    if (NT_SUCCESS(EvaluatePath(devicePath_ + ".SART", "", &value, &returned, options_.replyTimeout)) && returned &&
        value.type == AcpiObject::Type::Buffer) {
        sarTable_ = value.buffer;
    }
}

// ---------------------------------------------------------------- the debugger's command line

NTSTATUS AcpicaFirmware::Command(const std::string& command, std::string* output, std::chrono::milliseconds timeout)
{
    uint64_t id;
    {
        std::lock_guard<std::mutex> writer(writeLock_);
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (dead_) {
                *output = pending_;
                return STATUS_DEVICE_NOT_CONNECTED;
            }
            // With the preloaded library the debugger marks the start of each
            // line it reads with the count of lines before it: the id of a
            // command is the count once its line is written.
            id = markedByPreload_ ? (linesWritten_ += command.empty() ? 0 : 1) : nextCommand_++;
            AddReply(id);
        }
        std::string text = command.empty() ? std::string() : command + "\n";
        if (!markedByPreload_) {
            // The end marker is a command that prints nothing: its echo closes this command's output.
            text += "help " + marker_ + std::to_string(id) + "\n";
        }
        if (!text.empty() && !debugger_->Write(text)) {
            std::lock_guard<std::mutex> guard(lock_);
            ForgetReply(id);
            *output = pending_;
            return STATUS_DEVICE_NOT_CONNECTED;
        }
    }

    // A waiting caller reads the debugger itself, one at a time, and hands
    // every answer it reads to the caller it belongs to. A lone caller (the
    // usual case) thus reads its own answer, without waking another thread
    // for it; the idle reader steps aside while any caller waits.
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock<std::mutex> guard(lock_);
    while (!replies_[id].done && !dead_) {
        if (!reading_) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                break;
            }
            reading_ = true;
            guard.unlock();
            bool inTime = ReadOutput(left);
            guard.lock();
            reading_ = false;
            replied_.notify_all();  // another waiting caller reads on
            if (!inTime) {
                break;
            }
        } else if (replied_.wait_until(guard, deadline) == std::cv_status::timeout) {
            break;
        }
    }
    Reply reply = std::move(replies_[id]);
    ForgetReply(id);
    if (reply.done) {
        *output = std::move(reply.text);
        return STATUS_SUCCESS;
    }
    *output = pending_;
    return dead_ ? STATUS_DEVICE_NOT_CONNECTED : STATUS_IO_TIMEOUT;
}

NTSTATUS AcpicaFirmware::EvaluatePath(const std::string& path, const std::string& arguments, AcpiObject* result,
                                      bool* returned, std::chrono::milliseconds timeout)
{
    *returned = false;
    std::string output;
    NTSTATUS status = Command("evaluate " + path + arguments, &output, timeout);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    acpiexec::Evaluation evaluation = acpiexec::ParseEvaluation(output, path);
    switch (evaluation.kind) {
    case acpiexec::Evaluation::Kind::Object:
        *result = std::move(evaluation.object);
        *returned = true;
        return STATUS_SUCCESS;
    case acpiexec::Evaluation::Kind::NoObject:
        return STATUS_SUCCESS;
    case acpiexec::Evaluation::Kind::Failed: {
        std::string where = FailurePlace(output);
        std::lock_guard<std::mutex> guard(lock_);
        lastFailure_ = where;
        return acpiexec::StatusFromException(evaluation.exception);
    }
    case acpiexec::Evaluation::Kind::Malformed:
        break;
    }
    return STATUS_ACPI_INVALID_DATA;
}

// The first caller to wait for an answer takes the debugger's output out of
// the idle reader's set, and the last to stop waiting puts it back: the idle
// reader sleeps through the usual evaluation, which its caller reads itself,
// and wakes at once for output that comes while none waits.
void AcpicaFirmware::AddReply(uint64_t id)
{
    if (replies_.empty() && idleWait_ >= 0) {
        epoll_ctl(idleWait_, EPOLL_CTL_DEL, debugger_->OutputDescriptor(), nullptr);
    }
    replies_[id];
}

void AcpicaFirmware::ForgetReply(uint64_t id)
{
    replies_.erase(id);
    if (replies_.empty() && idleWait_ >= 0) {
        epoll_event watch = {};
        watch.events = EPOLLIN;
        watch.data.fd = debugger_->OutputDescriptor();
        epoll_ctl(idleWait_, EPOLL_CTL_ADD, watch.data.fd, &watch);
    }
}

bool AcpicaFirmware::ReadOutput(std::chrono::milliseconds limit)
{
    if (!debugger_->WaitReadable(limit)) {
        return false;
    }
    char buffer[16384];
    ssize_t n = debugger_->Read(buffer, sizeof(buffer));
    if (n <= 0) {
        if (!readLine_.empty()) {
            TakeLine(std::move(readLine_));
            readLine_.clear();
        }
        std::lock_guard<std::mutex> guard(lock_);
        dead_ = true;
        return true;
    }
    for (ssize_t i = 0; i < n; ++i) {
        if (buffer[i] == '\n') {
            TakeLine(std::move(readLine_));
            readLine_.clear();
        } else {
            readLine_.push_back(buffer[i]);
        }
    }
    return true;
}

// Started once the tables are loaded; no caller waits then, so the
// debugger's output starts in the set.
void AcpicaFirmware::StartIdleReader()
{
    wake_ = eventfd(0, EFD_CLOEXEC);
    idleWait_ = epoll_create1(EPOLL_CLOEXEC);
    if (wake_ < 0 || idleWait_ < 0) {
        throw std::runtime_error("cannot create the events that firmware " + name_ + " waits on");
    }
    for (int descriptor : {wake_, debugger_->OutputDescriptor()}) {
        epoll_event watch = {};
        watch.events = EPOLLIN;
        watch.data.fd = descriptor;
        if (epoll_ctl(idleWait_, EPOLL_CTL_ADD, descriptor, &watch) != 0) {
            throw std::runtime_error("cannot wait for the output of firmware " + name_);
        }
    }
    idleReader_ = std::thread([this] { ReadWhileIdle(); });
}

// Callers may still be waiting for answers: the set is closed only once
// none can reach it any more.
void AcpicaFirmware::StopIdleReader()
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
    }
    uint64_t one = 1;
    while (write(wake_, &one, sizeof(one)) < 0 && errno == EINTR) {
    }
    idleReader_.join();
    int set;
    {
        std::lock_guard<std::mutex> guard(lock_);
        set = std::exchange(idleWait_, -1);
    }
    close(set);
    close(wake_);
}

// Between commands the debugger can still print: a Notify whose handler
// thread ran after the command's end was marked (on a busy machine, or past
// the second the preloaded library waits for handlers). No caller reads
// then, so this thread does, and delivers the Notify at once. A caller who
// comes while it reads waits until it is done and then reads on.
void AcpicaFirmware::ReadWhileIdle()
{
    std::unique_lock<std::mutex> guard(lock_);
    while (!stopping_ && !dead_) {
        guard.unlock();
        epoll_event events[2];
        int n = epoll_wait(idleWait_, events, 2, -1);
        if (n < 0 && errno != EINTR) {
            return;  // the set itself failed: callers still read for themselves
        }
        guard.lock();
        // Woken to stop, or by output that a caller who came meanwhile reads.
        if (n <= 0 || stopping_ || reading_ || !replies_.empty()) {
            continue;
        }
        reading_ = true;
        guard.unlock();
        ReadOutput(std::chrono::milliseconds(0));
        guard.lock();
        reading_ = false;
        replied_.notify_all();  // a caller who came meanwhile reads on
    }
}

// A Notify report can land in the middle of another line (it is printed by
// another thread of the debugger): it is taken out, and what came before it
// is joined with the next line, where the interrupted text continues.
void AcpicaFirmware::TakeLine(std::string line)
{
    acpiexec::NotifyLine notify;
    bool notified = false;
    std::string notifiedPath;
    {
        std::lock_guard<std::mutex> guard(lock_);
        line = std::move(partialLine_) + line;
        partialLine_.clear();
        if (acpiexec::ParseNotify(line, &notify)) {
            partialLine_ = line.substr(0, notify.offset);
            if (notify.handler == "Global") {
                auto device = devicesByNode_.find(notify.address);
                if (device != devicesByNode_.end()) {
                    notifiedPath = device->second;
                    notified = true;
                }
                ++notificationCount_;
                if (notifications_.size() == kNotificationsKept) {
                    notifications_.erase(notifications_.begin());
                }
                notifications_.push_back(
                    {notify.name, notify.value, deviceNode_ != 0 && notify.address == deviceNode_, notifiedPath});
            }
        } else {
            // "<marker><id>" from the preloaded library, or the echo "- help <marker><id>".
            size_t at = line.find(marker_);
            const char* digits = at == std::string::npos ? nullptr : line.c_str() + at + marker_.size();
            char* last = nullptr;
            uint64_t id = digits == nullptr ? 0 : std::strtoull(digits, &last, 10);
            if (digits != nullptr && last != digits && *last == '\0' && std::isdigit(static_cast<unsigned char>(*digits))) {
                auto reply = replies_.find(id);
                if (reply != replies_.end()) {
                    reply->second.done = true;
                    reply->second.text = std::move(pending_);
                }
                pending_.clear();
                replied_.notify_all();
            } else {
                if (pending_.size() > kMaxPending) {
                    pending_.erase(0, pending_.size() / 2);
                }
                pending_ += line;
                pending_ += '\n';
            }
        }
    }
    if (notified) {
        Notify(notifiedPath, notify.value);
    }
}

// ---------------------------------------------------------------- Firmware

NTSTATUS AcpicaFirmware::Evaluate(const std::string& method, const std::vector<AcpiObject>& args, AcpiObject* result)
{
    return Evaluate(devicePath_, method, args, result);
}

NTSTATUS AcpicaFirmware::Evaluate(const std::string& device, const std::string& method,
                                  const std::vector<AcpiObject>& args, AcpiObject* result)
{
    if (std::find(devices_.begin(), devices_.end(), device) == devices_.end()) {
        return STATUS_NO_SUCH_DEVICE;
    }
    if (!acpiexec::ValidRelativeName(method)) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::string arguments;
    std::string error;
    if (!acpiexec::FormatArguments(args, &arguments, &error)) {
        return STATUS_INVALID_PARAMETER;
    }
    // A longer line would be cut by the debugger, and its tail run as a command of its own.
    std::string path = device + "." + method;
    if (std::string("evaluate ").size() + path.size() + arguments.size() > acpiexec::kMaxCommandLength) {
        return STATUS_INVALID_PARAMETER;
    }
    bool returned = false;
    NTSTATUS status = EvaluatePath(path, arguments, result, &returned, options_.replyTimeout);
    // A method that returns nothing gives the caller no elements at all, as an empty Package does.
    if (NT_SUCCESS(status) && !returned) {
        *result = AcpiObject::Package({});
    }
    return status;
}

std::string AcpicaFirmware::BiosVersion() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return biosVersion_;
}

void AcpicaFirmware::SetBiosVersion(std::string version)
{
    std::lock_guard<std::mutex> guard(lock_);
    biosVersion_ = std::move(version);
}

// The table goes where the firmware says it is; a firmware whose function 3
// does not answer with an address and a length keeps it to itself.
void AcpicaFirmware::Attach(Hardware& machine)
{
    (void)machine;
    {
        std::lock_guard<std::mutex> guard(lock_);
        sarPlaced_ = false;
    }
    if (sarTable_.empty()) {
        return;
    }
    AcpiObject location;
    if (!NT_SUCCESS(Evaluate("_DSM", NativeFirmware::DsmArguments(NativeFirmware::kSarLocation, 0), &location)) ||
        location.type != AcpiObject::Type::Package || location.package.size() < 2 ||
        location.package[0].type != AcpiObject::Type::Integer) {
        return;
    }
    machine.Memory().AddRegion(location.package[0].integer, sarTable_);
    std::lock_guard<std::mutex> guard(lock_);
    sarPlaced_ = true;
}

std::vector<uint8_t> AcpicaFirmware::SarTable() const
{
    return sarTable_;
}

pid_t AcpicaFirmware::DebuggerPid() const
{
    return debugger_->Pid();
}

bool AcpicaFirmware::SarPlaced() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return sarPlaced_;
}

uint64_t AcpicaFirmware::NotificationCount() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return notificationCount_;
}

std::string AcpicaFirmware::LastFailure() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return lastFailure_;
}

std::vector<AcpicaFirmware::Notification> AcpicaFirmware::Notifications() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return notifications_;
}

NTSTATUS AcpicaFirmware::SetDeviceMode(uint8_t mode)
{
    if (devicePath_.empty()) {
        return STATUS_NO_SUCH_DEVICE;
    }
    AcpiObject result;
    bool returned = false;
    return EvaluatePath(devicePath_ + ".SMOD", " " + Hex(mode), &result, &returned, options_.replyTimeout);
}

NTSTATUS AcpicaFirmware::RaiseNotify(ULONG value)
{
    if (devicePath_.empty()) {
        return STATUS_NO_SUCH_DEVICE;
    }
    std::string output;
    return Command("notify " + devicePath_ + " " + Hex(value), &output, options_.replyTimeout);
}

}  // namespace plat
