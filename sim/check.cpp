/* tvrx-sim check: the firmware report. */
#include "check.h"
#include "debugview.h"
#include "drivernames.h"
#include "harness.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <nlohmann/json.hpp>

#include <windows.h>

#include "acpi/enumerate.h"
#include "acpi/eval.h"
#include "firmware/acpica.h"
#include "firmware/native.h"
#include "system/host.h"
#include "system/machine.h"
#include "machine/physmem.h"
#include "machine/registry.h"
#include "ntos/pnp/inf.h"
#include "base/status.h"
#include "tvrxioctl.h"
#include "um/client.h"
#include "wdf/workitem.h"
#include "wpp/wpp.h"

namespace sim {

namespace debugview = tvrx::debugview;

namespace {

using Clock = std::chrono::steady_clock;
using plat::AcpiObject;
using plat::TypeName;

const size_t kDriverBuffer = debugview::DriverLimits().dsmOutputSize;  // the driver's result buffer
constexpr double kSendTimeout = 3.0;                       // seconds the driver waits for one evaluation
constexpr double kStartBudget = 3 * kSendTimeout;          // what the three table reads may take
const uint64_t kHighestMatchedMode = debugview::DriverLimits().highestMatchedMode;
constexpr size_t kTableCount = 3;  // the tables function 2 answers (Arg3 0 to 2)
constexpr DWORD kEventWaitMs = 5000;
constexpr UCHAR kTraceLevelError = 2;
constexpr UCHAR kTraceLevelInformation = 4;
constexpr uint64_t kNotifyStorm = 8;  // more Notify than this for one mode change is a loop

using tvrx::kSarServiceKey;

enum class Verdict { Passed, Warning, Failed };

const char* VerdictName(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Passed:
        return "PASSED";
    case Verdict::Warning:
        return "WARNING";
    case Verdict::Failed:
        return "FAILED";
    }
    return "?";
}

struct Check {
    std::string name;
    Verdict verdict = Verdict::Passed;
    std::string seen;    // what the firmware did
    std::string driver;  // what the driver does because of it
    std::vector<std::string> details;  // one line each, under the check
};

// The driver package whose models decide which device the driver binds to.
std::filesystem::path DriverPackage()
{
    const char* file = std::getenv("TVRX_DRIVER_INF");
    if (file != nullptr && *file != '\0') {
        return file;
    }
#ifdef TVRX_DRIVER_INF
    return TVRX_DRIVER_INF;
#else
    return "driver/tavrix.inx";
#endif
}

std::string JoinIds(const std::vector<std::string>& ids)
{
    std::string text;
    for (const std::string& id : ids) {
        text += (text.empty() ? "" : ", ") + id;
    }
    return text;
}

// One evaluation of the firmware by the check itself: what the firmware
// answers, to describe it (what the driver made of it comes from the driver).
struct Answer {
    std::string what;  // "function 2, table 1"
    NTSTATUS status = STATUS_SUCCESS;
    AcpiObject object;
    std::vector<AcpiObject> arguments;  // the result's top-level arguments
    size_t needed = 0;                  // bytes of the ACPI driver's result record
    double seconds = 0;
    uint64_t notified = 0;              // Notify reports raised while it ran
    std::string failure;                // where the AML stopped, when it failed there
};

std::string Hex(uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

std::string Seconds(double seconds)
{
    char text[32];
    if (seconds < 1.0) {
        std::snprintf(text, sizeof text, "%.1f ms", seconds * 1e3);
    } else {
        std::snprintf(text, sizeof text, "%.2f s", seconds);
    }
    return text;
}

// A short description of an answer: the object itself when it is small.
std::string Describe(const AcpiObject& object)
{
    std::string text = object.Text();
    if (text.size() > 48) {
        text = std::string(TypeName(object)) + " of " +
               std::to_string(object.type == AcpiObject::Type::Package ? object.package.size() : object.buffer.size()) +
               (object.type == AcpiObject::Type::Package ? " elements" : " bytes");
    }
    return text;
}

std::string ModeList(const std::set<uint64_t>& modes)
{
    std::string text;
    for (uint64_t mode : modes) {
        text += (text.empty() ? "" : ", ") + std::to_string(mode);
    }
    return text.empty() ? "none" : text;
}

bool IsInteger32(const AcpiObject& object)
{
    return object.type == AcpiObject::Type::Integer && object.integer <= 0xFFFFFFFFu;
}

// The text of a trace without the routine's name the driver puts first.
std::string TraceMessage(const plat::trace::Record& record)
{
    std::string text = record.text;
    size_t length = std::strlen(record.function);
    if (length > 0 && text.compare(0, length, record.function) == 0) {
        text.erase(0, std::min(text.size(), length + 1));
    }
    return text;
}

// What follows word in text (the status a trace ends with), or "".
std::string After(const std::string& text, const std::string& word)
{
    size_t at = text.rfind(word);
    return at == std::string::npos ? std::string() : text.substr(at + word.size());
}

// What the driver reported about one device-mode table while it started, in
// its own traces (as a trace session receives them).
struct TableReport {
    bool reached = false;           // it asked function 2 for this table
    std::string evaluationFailed;   // the status that evaluation failed with
    std::string rejected;           // the status it rejected the table with
    std::string cause;              // its own words for the rejection
    std::optional<unsigned> malformedEntry;  // the entry its walk stopped at
    std::optional<unsigned> notParsedType;   // the type of a table element it did not walk
};

// Sorts the driver's traces of the table read by table. The driver reads the
// tables in order and stops at the first it cannot take; a trace that names
// no table belongs to the one being processed, and a result refused before
// its tag was stored starts the next.
std::vector<TableReport> ReadTableReports(const std::vector<plat::trace::Record>& records, size_t tables)
{
    std::vector<TableReport> reports(tables);
    int current = -1;
    auto report = [&](int index) -> TableReport* {
        return index >= 0 && size_t(index) < reports.size() ? &reports[size_t(index)] : nullptr;
    };
    for (const plat::trace::Record& record : records) {
        const std::string function = record.function;
        const std::string text = TraceMessage(record);
        unsigned a = 0;
        if (function == "TvrxEvaluateDeviceModeDsm" &&
            std::sscanf(text.c_str(), "_DSM function 2 (table %u) failed", &a) == 1) {
            current = int(a);
            if (TableReport* r = report(current)) {
                r->reached = true;
                r->evaluationFailed = After(text, " failed ");
            }
        } else if (function == "TvrxProcessDeviceModeTable") {
            if (std::sscanf(text.c_str(), "table %u tag", &a) == 1) {
                current = int(a);
            } else if (text.rfind("table result", 0) == 0) {
                ++current;  // refused before its tag was stored
            }
            TableReport* r = report(current);
            if (r == nullptr) {
                continue;
            }
            r->reached = true;
            if (std::sscanf(text.c_str(), "table element of type %u not parsed", &a) == 1) {
                r->notParsedType = a;
            } else if (record.level <= kTraceLevelError) {
                r->cause = text;
            }
        } else if (function == "TvrxParseDeviceModeInfoFromBuf" &&
                   std::sscanf(text.c_str(), "entry %u malformed", &a) == 1) {
            if (TableReport* r = report(current); r != nullptr && !r->malformedEntry) {
                r->malformedEntry = a;
            }
        } else if (function == "TvrxDsmReadTable" && std::sscanf(text.c_str(), "table %u rejected", &a) == 1) {
            if (TableReport* r = report(int(a))) {
                r->reached = true;
                r->rejected = After(text, " rejected ");
            }
        }
    }
    return reports;
}

// A table row as the firmware gives it and as the driver holds it: "{1, 150, 140, 130}".
std::string RowText(const debugview::ModeRow& row)
{
    return "{" + std::to_string(row.mode) + ", " + std::to_string(row.value1) + ", " + std::to_string(row.value2) +
           ", " + std::to_string(row.value3) + "}";
}

// The four Integers of a firmware entry, when it is a Package of four Integers.
std::optional<std::array<uint64_t, 4>> EntryIntegers(const AcpiObject& entry)
{
    if (entry.type != AcpiObject::Type::Package || entry.package.size() != 4) {
        return std::nullopt;
    }
    std::array<uint64_t, 4> integers{};
    for (size_t i = 0; i < 4; ++i) {
        if (entry.package[i].type != AcpiObject::Type::Integer) {
            return std::nullopt;
        }
        integers[i] = entry.package[i].integer;
    }
    return integers;
}

// How the row the driver holds differs from the firmware's entry j, or "".
// Values the ACPI driver's 4-byte Integers (or the driver's byte for the
// mode) explain are named as such; any other difference shows both rows.
std::string RowDifference(size_t j, const AcpiObject& entry, const debugview::ModeRow& held)
{
    std::optional<std::array<uint64_t, 4>> given = EntryIntegers(entry);
    const std::string label = "entry " + std::to_string(j);
    if (!given) {
        return label + " is " + Describe(entry) + ", not a Package of four Integers: the driver holds row " +
               std::to_string(j) + " as " + RowText(held);
    }
    const uint64_t heldValues[4] = {held.mode, held.value1, held.value2, held.value3};
    static const char* names[] = {"mode", "value 1", "value 2", "value 3"};
    std::string explained;
    for (size_t i = 0; i < 4; ++i) {
        uint64_t value = (*given)[i];
        if (value == heldValues[i]) {
            continue;
        }
        if (i > 0 && value > 0xFFFFFFFFu && heldValues[i] == (value & 0xFFFFFFFFu)) {
            explained += (explained.empty() ? label + " " : ", ") + names[i] + " " + Hex(value) +
                         " needs 64 bits: the driver holds its low 32 bits, " + Hex(heldValues[i]);
        } else if (i == 0 && value > 0xFF && heldValues[i] == (value & 0xFF)) {
            explained += (explained.empty() ? label + " " : ", ") + names[i] + " " + std::to_string(value) +
                         " does not fit a byte: the driver holds " + std::to_string(heldValues[i]);
        } else {
            std::string wanted;
            for (uint64_t integer : *given) {
                wanted += (wanted.empty() ? "{" : ", ") + std::to_string(integer);
            }
            return label + " is " + wanted + "}, the driver holds row " + std::to_string(j) + " as " + RowText(held);
        }
    }
    return explained;
}

// The firmware's side of a table answer: "tag 0x20, count 4, 4 entries, 184 of 524 bytes".
std::string FirmwareTable(const Answer& answer, size_t buffer)
{
    if (!NT_SUCCESS(answer.status)) {
        return "the evaluation fails: " + plat::FormatStatus(answer.status);
    }
    const std::vector<AcpiObject>& arguments = answer.arguments;
    std::string text;
    if (arguments.size() < 3) {
        text = "answers " + Describe(answer.object) + " (" + std::to_string(arguments.size()) +
               " element(s); Package {tag, count, Package {count, entry...}} expected)";
    } else {
        const AcpiObject& tag = arguments[0];
        const AcpiObject& count = arguments[1];
        const AcpiObject& table = arguments[2];
        text = "tag " + Describe(tag) + ", count " +
               (IsInteger32(count) ? std::to_string(count.integer) : Describe(count)) + ", " +
               (table.type == AcpiObject::Type::Package
                    ? std::to_string(table.package.empty() ? 0 : table.package.size() - 1) + " entries"
                    : "the third element " + Describe(table) + ", not a Package");
    }
    if (answer.needed > buffer) {
        return text + "; the answer needs " + std::to_string(answer.needed) + " bytes, the driver's buffer holds " +
               std::to_string(buffer);
    }
    return text + ", " + std::to_string(answer.needed) + " of " + std::to_string(buffer) + " bytes";
}

// A failure status named with the kind of failure it is.
std::string FailureKind(const std::string& status)
{
    if (status.rfind("STATUS_BUFFER_OVERFLOW", 0) == 0 || status.rfind("STATUS_BUFFER_TOO_SMALL", 0) == 0) {
        return status + ", a short buffer";
    }
    if (status.rfind("STATUS_IO_TIMEOUT", 0) == 0) {
        return status + ", a time-out";
    }
    if (status.rfind("STATUS_ACPI_INVALID_ARGTYPE", 0) == 0) {
        return status + ", an argument of the wrong type";
    }
    return status;
}

class Checker {
public:
    Checker(const Options& options, std::ostream& out) : options_(options), out_(out) {}
    ~Checker() { ShutDown(); }
    Checker(const Checker&) = delete;
    Checker& operator=(const Checker&) = delete;

    int Run();

private:
    Answer Evaluate(const std::string& what, const std::string& method, const std::vector<AcpiObject>& arguments);
    void Add(const std::string& name, Verdict verdict, std::string seen, std::string driver);

    bool BindDevice();
    void CheckDevice();
    void CheckNamespace();
    void CheckSupportedFunctions();
    void CheckDeviceMode();
    void CheckTable(size_t index);
    void CheckModeSets();
    void CheckSarLocation();
    size_t PlacedBytes(uint64_t address, uint64_t length, const std::vector<uint8_t>& sart) const;
    void CheckTiming();
    void CheckNotification();
    void CheckBiosVersion();
    void CheckEveryMode();
    void CheckCompilerMessages();
    void CheckDsmConduct();

    bool Boot();
    void ShutDown();
    void Report();

    Options options_;
    std::ostream& out_;
    std::shared_ptr<plat::AcpicaFirmware> firmware_;
    plat::pnp::InfPackage package_;
    std::vector<plat::FirmwareDevice> namespace_;  // every Device of the tables
    plat::acpi::EnumeratedDevice bound_;           // the device the driver binds to (path empty: none)
    const plat::pnp::InfModel* model_ = nullptr;   // the package's model that binds it
    std::unique_ptr<tvrx::harness::Rig> rig_;  // the machine the driver runs on, once Boot made it
    std::vector<Check> checks_;
    std::map<std::string, Answer> answers_;  // by what, for the timing check
    std::vector<std::string> order_;         // the order they were asked in

    NTSTATUS startStatus_ = STATUS_SUCCESS;
    bool started_ = false;
    bool startFailureExplained_ = false;
    std::set<uint64_t> tableModes_[kTableCount];
    bool tableRead_[kTableCount] = {};
    uint64_t keptMode_ = 0;
    bool modeChanges_ = false;  // SMOD changed the mode and the driver followed it

    std::mutex traceLock_;
    std::vector<std::string> driverErrors_;
    bool booting_ = false;                          // the trace sink keeps every record while the driver starts
    std::vector<plat::trace::Record> bootTraces_;   // the driver's traces of its start, errors and information
    std::optional<debugview::Device> failedStart_;  // the device as it stood when its start failed
    std::optional<debugview::Device> liveView_;     // the last read of the running driver's device
    std::vector<TableReport> tableReports_;

    // The driver's device as it holds it now, or as it stood when its start failed; nullptr without either.
    const debugview::Device* DeviceView();
    size_t BootTrace(const char* function, const char* prefix) const;
    std::string EvaluationCause(size_t before) const;
};

Answer Checker::Evaluate(const std::string& what, const std::string& method, const std::vector<AcpiObject>& arguments)
{
    Answer answer;
    answer.what = what;
    uint64_t notifiedBefore = firmware_->NotificationCount();
    Clock::time_point start = Clock::now();
    answer.status = firmware_->Evaluate(bound_.path, method, arguments, &answer.object);
    answer.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    answer.notified = firmware_->NotificationCount() - notifiedBefore;
    if (!NT_SUCCESS(answer.status)) {
        answer.failure = firmware_->LastFailure();
    }
    if (NT_SUCCESS(answer.status)) {
        std::vector<AcpiObject> single;
        answer.arguments = plat::acpi::ResultArguments(answer.object, single);
        std::vector<uint8_t> record(kDriverBuffer, 0);
        plat::acpi::EncodeOutcome outcome = plat::acpi::EncodeEvalOutput(answer.object, record.data(), record.size());
        answer.needed = outcome.needed;
        if (outcome.status != STATUS_SUCCESS && outcome.status != STATUS_BUFFER_OVERFLOW) {
            answer.status = outcome.status;
        }
    }
    if (answers_.emplace(what, answer).second) {
        order_.push_back(what);
    }
    return answer;
}

void Checker::Add(const std::string& name, Verdict verdict, std::string seen, std::string driver)
{
    checks_.push_back({name, verdict, std::move(seen), std::move(driver), {}});
}

// ---------------------------------------------------------------- the checks

// The device Windows would bind: the first the ACPI driver enumerates whose
// hardware or compatible IDs a model of the driver package names. When none
// is, every device looked at is listed with the reason it was not taken.
bool Checker::BindDevice()
{
    namespace_ = firmware_->Devices();
    plat::acpi::Enumeration enumeration = plat::acpi::Enumerate(namespace_);
    std::vector<std::string> considered;
    for (const plat::acpi::EnumeratedDevice& device : enumeration.devices) {
        plat::pnp::InfMatch match;
        const plat::pnp::InfModel* model =
            plat::pnp::MatchModel(package_, device.hardwareIds, device.compatibleIds, &match);
        if (model != nullptr) {
            bound_ = device;
            model_ = model;
            return true;
        }
        std::vector<std::string> ids = device.hardwareIds;
        ids.insert(ids.end(), device.compatibleIds.begin(), device.compatibleIds.end());
        considered.push_back(device.path + ": IDs " + JoinIds(ids) + ": no model of the driver package names them");
    }
    for (const plat::acpi::SkippedDevice& device : enumeration.skipped) {
        considered.push_back(device.path + ": not enumerated: " + device.detail);
    }
    std::sort(considered.begin(), considered.end());
    startStatus_ = STATUS_NO_SUCH_DEVICE;
    startFailureExplained_ = true;
    std::string wanted;
    for (const plat::pnp::InfModel& model : package_.models) {
        std::vector<std::string> ids = model.hardwareIds;
        ids.insert(ids.end(), model.compatibleIds.begin(), model.compatibleIds.end());
        wanted += (wanted.empty() ? "" : ", ") + JoinIds(ids);
    }
    Add("device", Verdict::Failed,
        "no device binds to the driver package (it names " + (wanted.empty() ? std::string("no device") : wanted) +
            "); " + std::to_string(considered.size()) + " device(s) considered",
        "has no device to start on: give a Device _HID \"TVRX0001\" (or _CID), and a _STA with bit 0 set or none");
    checks_.back().details = std::move(considered);
    return false;
}

void Checker::CheckDevice()
{
    std::string seen = bound_.path + " (_HID \"" + bound_.hid + "\", instance " + bound_.instanceId +
                       (bound_.sta == 0x0F ? std::string() : ", _STA " + Hex(bound_.sta)) + ") matches the model " +
                       model_->hardwareIds.front() + " of " + std::filesystem::path(package_.file).filename().string();
    if (!bound_.working) {
        Add("device", Verdict::Failed, seen + "; _STA bit 3 is clear: present but not functioning",
            "Windows lists the device with problem code " + std::to_string(bound_.problem) +
                " and does not run the driver on it; the checks below run it anyway");
        return;
    }
    Add("device", Verdict::Passed, seen, "binds to this device (service " + model_->service + "); the checks below ask its _DSM");
}

// The namespace checks of the Firmware Test Suite, for the driver's device:
// its _HID is a valid ID, and no other device has the same _HID and _UID.
void Checker::CheckNamespace()
{
    bool acpiId = plat::acpi::ValidAcpiId(bound_.hid);
    Add("_HID", Verdict::Passed,
        "\"" + bound_.hid + "\" is a valid " + (acpiId ? "ACPI ID" : "PNP ID"), "is matched by this ID");
    std::vector<std::string> clashes;
    for (const plat::FirmwareDevice& device : namespace_) {
        if (device.path == bound_.path || !device.hid || *device.hid != bound_.hid) {
            continue;
        }
        if (!device.uid || !bound_.uid || *device.uid == *bound_.uid) {
            clashes.push_back(device.path + (device.uid ? " (_UID " + *device.uid + ")" : std::string(" (no _UID)")));
        }
    }
    if (clashes.empty()) {
        Add("_HID/_UID", Verdict::Passed,
            "no other device has _HID \"" + bound_.hid + "\"" + (bound_.uid ? " and _UID " + *bound_.uid : std::string()),
            "has an instance ID of its own");
        return;
    }
    Add("_HID/_UID", Verdict::Failed,
        JoinIds(clashes) + " also " + (clashes.size() == 1 ? "has" : "have") + " _HID \"" + bound_.hid + "\"" +
            (bound_.uid ? " and the same or no _UID" : "; the driver's device has no _UID"),
        "cannot be told apart from the other device: each device of one _HID needs a _UID of its own");
}

// The position of the first trace of the driver's start from function whose
// message starts with prefix; bootTraces_.size() when there is none.
size_t Checker::BootTrace(const char* function, const char* prefix) const
{
    for (size_t i = 0; i < bootTraces_.size(); ++i) {
        const plat::trace::Record& record = bootTraces_[i];
        if (std::strcmp(record.function, function) == 0 && TraceMessage(record).rfind(prefix, 0) == 0) {
            return i;
        }
    }
    return bootTraces_.size();
}

// Why the driver's evaluation failed, in its words: the first error its
// evaluation routine reported before the trace at position before, unless
// that only says the evaluation failed.
std::string Checker::EvaluationCause(size_t before) const
{
    for (size_t i = 0; i < before && i < bootTraces_.size(); ++i) {
        const plat::trace::Record& record = bootTraces_[i];
        if (record.level <= kTraceLevelError && std::strcmp(record.function, "TvrxEvaluateDeviceModeDsm") == 0) {
            std::string text = TraceMessage(record);
            return text.rfind("_DSM function ", 0) == 0 ? std::string() : text;
        }
    }
    return "";
}

// The first element of an answer as the firmware gives it: "Integer 1"
// ("Integer 0xF" with hex, or past a byte), "answers Buffer {0x0F}".
std::string FirstElement(const Answer& answer, bool hex)
{
    if (!NT_SUCCESS(answer.status)) {
        return "the evaluation fails: " + plat::FormatStatus(answer.status);
    }
    if (answer.arguments.empty()) {
        return "returns nothing";
    }
    const AcpiObject& first = answer.arguments.front();
    return first.type == AcpiObject::Type::Integer && first.integer <= 0xFF && !hex
               ? "Integer " + std::to_string(first.integer)
           : first.type == AcpiObject::Type::Integer                          ? "Integer " + Hex(first.integer)
                                                                              : "answers " + Describe(first);
}

// Function 0, judged by the support bits the driver read (it traces them)
// and whether its start went on.
void Checker::CheckSupportedFunctions()
{
    Answer answer = Evaluate("function 0", "_DSM", plat::NativeFirmware::DsmArguments(0, 0));
    const std::string name = "function 0";
    std::string seen = FirstElement(answer, true);
    const size_t bitsAt = BootTrace("TvrxProcessDsmResult", "supported functions 0x");
    const size_t failedAt = BootTrace("TvrxWdfEvtDevicePrepareHardware", "_DSM supported functions failed");
    uint32_t bits = 0;
    bool read = bitsAt < bootTraces_.size() &&
                std::sscanf(TraceMessage(bootTraces_[bitsAt]).c_str(), "supported functions 0x%x", &bits) == 1;
    if (failedAt < bootTraces_.size()) {
        startFailureExplained_ = true;
        std::string status = After(TraceMessage(bootTraces_[failedAt]), " failed ");
        if (!read) {
            std::string cause = EvaluationCause(failedAt);
            Add(name, Verdict::Failed, seen,
                "does not start: its evaluation fails with " + FailureKind(status) +
                    (cause.empty() ? std::string() : " (it reports \"" + cause + "\")"));
            return;
        }
        const AcpiObject* first = answer.arguments.empty() ? nullptr : &answer.arguments.front();
        bool shortData = first != nullptr &&
                         ((first->type == AcpiObject::Type::Buffer && first->buffer.size() < 4) ||
                          (first->type == AcpiObject::Type::String && first->string.size() + 1 < 4));
        if (shortData) {
            seen += ": " + std::to_string(first->type == AcpiObject::Type::Buffer ? first->buffer.size()
                                                                                 : first->string.size() + 1) +
                    " byte(s) of data, a short buffer";
        }
        Add(name, Verdict::Failed, seen,
            "reads the support bits as " + Hex(bits) + ", bit 0 (functions supported) clear, and does not start (" +
                status + "); return an Integer with bit 0 set, such as 0xF");
        return;
    }
    if (!read) {
        Add(name, Verdict::Warning, seen,
            "never asked it: its start ended before (" + plat::FormatStatus(startStatus_) + ")");
        return;
    }
    if (answer.arguments.empty() || answer.arguments.front().type != AcpiObject::Type::Integer) {
        Add(name, Verdict::Warning, seen + ", not an Integer",
            "reads the support bits as " + Hex(bits) + ", bit 0 set, and goes on with the start");
        return;
    }
    std::string missing;
    for (int function = 1; function <= 3; ++function) {
        if ((bits & (1u << function)) == 0) {
            missing += (missing.empty() ? "" : ", ") + std::to_string(function);
        }
    }
    const std::string integer = "Integer " + Hex(answer.arguments.front().integer);
    if (!missing.empty()) {
        Add(name, Verdict::Warning, integer + ": function(s) " + missing + " not advertised",
            "reads " + Hex(bits) + ", goes on with the start and calls functions 1 to 3 all the same");
        return;
    }
    Add(name, Verdict::Passed, integer + ": bit 0 and functions 1 to 3 set", "reads " + Hex(bits) + " and goes on with the start");
}

// Function 1, judged by the mode the driver stored from it while it started.
void Checker::CheckDeviceMode()
{
    Answer answer = Evaluate("function 1", "_DSM", plat::NativeFirmware::DsmArguments(1, 0));
    const std::string name = "function 1";
    std::string seen = FirstElement(answer, false);
    const size_t failedAt = BootTrace("TvrxWdfEvtDevicePrepareHardware", "_DSM device mode failed");
    const size_t storedAt = BootTrace("TvrxProcessDeviceMode", "device mode ");
    unsigned mode = 0;
    bool stored = storedAt < bootTraces_.size() &&
                  std::sscanf(TraceMessage(bootTraces_[storedAt]).c_str(), "device mode %u", &mode) == 1;
    if (failedAt < bootTraces_.size()) {
        startFailureExplained_ = true;
        std::string cause = EvaluationCause(failedAt);
        Add(name, Verdict::Failed, seen,
            "does not start: reading the device mode fails with " +
                FailureKind(After(TraceMessage(bootTraces_[failedAt]), " failed ")) +
                (cause.empty() ? std::string() : " (it reports \"" + cause + "\")"));
        return;
    }
    if (!stored) {
        Add(name, Verdict::Warning, seen,
            "never asked it: its start ended before (" + plat::FormatStatus(startStatus_) + ")");
        return;
    }
    keptMode_ = mode;
    std::string kept = "stored mode " + std::to_string(mode);
    const AcpiObject& first = answer.arguments.front();
    if (first.type != AcpiObject::Type::Integer) {
        Add(name, Verdict::Failed, seen + ", not an Integer", kept + " from it");
        return;
    }
    if (first.integer != mode) {
        Add(name, Verdict::Warning, "Integer " + Hex(first.integer) + " does not fit a byte", kept);
        return;
    }
    Add(name, Verdict::Passed, "Integer " + std::to_string(first.integer), kept);
}

const debugview::Device* Checker::DeviceView()
{
    if (started_) {
        liveView_ = debugview::ReadDevice(rig_->Host().Device());
        return &*liveView_;
    }
    return failedStart_ ? &*failedStart_ : nullptr;
}

// One table: judged by what the driver did with it while it started (its
// traces say whether it took or refused the table, and why) and by what it
// holds (the debug view), against what the firmware gave. The firmware's
// answer is asked again here only to describe it.
void Checker::CheckTable(size_t index)
{
    const std::string name = "function 2, table " + std::to_string(index);
    Answer answer = Evaluate(name, "_DSM", plat::NativeFirmware::DsmArguments(2, index));
    const std::string seen = FirmwareTable(answer, kDriverBuffer);
    const TableReport& report = tableReports_.at(index);
    if (!report.reached && !started_) {  // a driver that started read every table
        size_t last = 0;
        while (last < tableReports_.size() && tableReports_[last].reached) {
            ++last;
        }
        Add(name, Verdict::Warning, seen,
            "never read this table: its start ended " +
                (last == 0 ? std::string("before the tables") : "at table " + std::to_string(last - 1)) +
                " (" + plat::FormatStatus(startStatus_) + ")");
        return;
    }
    if (!report.evaluationFailed.empty()) {
        startFailureExplained_ = true;
        Add(name, Verdict::Failed, seen,
            "does not start: its evaluation of this table fails with " + FailureKind(report.evaluationFailed));
        return;
    }
    if (!report.rejected.empty()) {
        startFailureExplained_ = true;
        const std::string& cause = report.cause;
        std::string kind = cause.rfind("table package of", 0) == 0 ? "the count is more than the table holds"
                           : cause.rfind("table result has", 0) == 0 ? "too few elements"
                           : cause.find("cut off") != std::string::npos ? "a short buffer"
                                                                        : "";
        Add(name, Verdict::Failed, seen,
            "refuses the table and does not start (" + report.rejected + ")" + (kind.empty() ? "" : ", " + kind) +
                ": it reports " + (cause.empty() ? std::string("no cause") : "\"" + cause + "\""));
        return;
    }
    const debugview::Device* view = DeviceView();
    if (view == nullptr || index >= view->tables.size()) {
        Add(name, Verdict::Warning, seen, "took the table, but its device cannot be read");
        return;
    }
    const debugview::ModeTable& held = view->tables[index];
    std::string holds = "holds tag " + Hex(held.tag) + ", count " + std::to_string(held.entryCount);
    if (report.notParsedType) {
        Add(name, Verdict::Failed, seen,
            holds + " and no entries: it reports the table element of type " + std::to_string(*report.notParsedType) +
                " not parsed");
        return;
    }

    const std::vector<AcpiObject>& arguments = answer.arguments;
    std::vector<AcpiObject> entries;
    if (arguments.size() >= 3 && arguments[2].type == AcpiObject::Type::Package && !arguments[2].package.empty()) {
        entries.assign(arguments[2].package.begin() + 1, arguments[2].package.end());
    }
    std::vector<std::string> faults;    // clients get something other than the firmware's entries
    std::vector<std::string> warnings;  // they get the entries, but not as the firmware wrote them
    if (arguments.size() >= 2 && !(arguments[0].type == AcpiObject::Type::Integer && arguments[0].integer == held.tag)) {
        warnings.push_back("the tag " + Describe(arguments[0]) + " is held as " + Hex(held.tag));
    }
    if (arguments.size() >= 2 &&
        !(arguments[1].type == AcpiObject::Type::Integer && arguments[1].integer == held.entryCount)) {
        warnings.push_back("the count " + Describe(arguments[1]) + " is held as " + std::to_string(held.entryCount));
    }
    if (held.entryCount != entries.size()) {
        faults.push_back("the driver holds count " + std::to_string(held.entryCount) + " for " +
                         std::to_string(entries.size()) + " entries" +
                         (held.entryCount < entries.size()
                              ? ": entries " + std::to_string(held.entryCount) + " and on are never answered"
                              : std::string()));
    }
    if (arguments.size() >= 3 && arguments[2].type == AcpiObject::Type::Package &&
        (arguments[2].package.empty() || !IsInteger32(arguments[2].package.front()) ||
         arguments[2].package.front().integer != entries.size())) {
        warnings.push_back("the table package's first element " +
                           (arguments[2].package.empty() ? std::string("is missing")
                                                         : Describe(arguments[2].package.front())) +
                           " is not the number of its entries, " + std::to_string(entries.size()));
    }
    // The rows against the entries: where the walk stopped (the driver says
    // so), the rows from there on hold what they held before.
    size_t rows = held.rows.size();
    size_t same = 0;
    size_t stop = report.malformedEntry ? std::min<size_t>(*report.malformedEntry, rows) : rows;
    for (size_t j = 0; j < std::min(stop, entries.size()); ++j) {
        std::string difference = RowDifference(j, entries[j], held.rows[j]);
        same += difference.empty();
        if (!difference.empty()) {
            faults.push_back(difference);
        }
    }
    if (report.malformedEntry) {
        size_t k = *report.malformedEntry;
        std::string stale;
        for (size_t j = k; j < rows; ++j) {
            bool given = j < entries.size() && RowDifference(j, entries[j], held.rows[j]).empty();
            same += given;
            if (!given && stale.empty()) {
                stale = "; row " + std::to_string(j) + " holds " + RowText(held.rows[j]);
            }
        }
        faults.push_back("the driver stops at entry " + std::to_string(k) + ", malformed or cut off as it reports" +
                         (k < entries.size() ? " (the firmware's entry " + std::to_string(k) + " is " +
                                                   Describe(entries[k]) + ")"
                                             : std::string()) +
                         stale);
    }
    // The modes of the rows it filled; the rows past its stop are named above.
    std::map<unsigned, size_t> first;
    for (size_t j = 0; j < stop; ++j) {
        unsigned mode = held.rows[j].mode;
        if (mode > kHighestMatchedMode) {
            faults.push_back("row " + std::to_string(j) + " has mode " + std::to_string(mode) + ", above " +
                             std::to_string(kHighestMatchedMode) + ": it is never answered");
            continue;
        }
        auto [at, inserted] = first.emplace(mode, j);
        if (!inserted) {
            warnings.push_back("mode " + std::to_string(mode) + " in rows " + std::to_string(at->second) + " and " +
                               std::to_string(j) + ": the first wins");
        }
        tableModes_[index].insert(mode);
    }
    tableRead_[index] = true;

    auto join = [](const std::vector<std::string>& items) {
        std::string text;
        for (const std::string& item : items) {
            text += "; " + item;
        }
        return text;
    };
    std::string driver = faults.empty() ? "holds tag " + Hex(held.tag) + " and the " + std::to_string(rows) +
                                              " entries as given (modes " + ModeList(tableModes_[index]) + ")"
                                        : holds + " and " + std::to_string(same) + " of " +
                                              std::to_string(entries.size()) + " entries as given";
    if (!started_) {
        driver += "; its start failed later";
    }
    Verdict verdict = !faults.empty() ? Verdict::Failed : !warnings.empty() ? Verdict::Warning : Verdict::Passed;
    Add(name, verdict, seen + join(faults) + join(warnings), driver);
}

// The modes of the tables the driver holds, compared with each other.
void Checker::CheckModeSets()
{
    std::set<uint64_t> all;
    for (size_t t = 0; t < kTableCount; ++t) {
        all.insert(tableModes_[t].begin(), tableModes_[t].end());
    }
    std::string missing;
    uint64_t example = 0;
    size_t exampleTable = 0;
    for (size_t t = 0; t < kTableCount; ++t) {
        if (!tableRead_[t]) {
            continue;
        }
        std::set<uint64_t> lacking;
        std::set_difference(all.begin(), all.end(), tableModes_[t].begin(), tableModes_[t].end(),
                            std::inserter(lacking, lacking.end()));
        if (!lacking.empty()) {
            missing += (missing.empty() ? "" : "; ") + std::string("table ") + std::to_string(t) + " lacks mode(s) " +
                       ModeList(lacking);
            if (exampleTable == 0 && t != 0) {
                example = *lacking.begin();
                exampleTable = t;
            } else if (t == 0 && exampleTable == 0) {
                example = *lacking.begin();
            }
        }
    }
    std::string read;
    for (size_t t = 0; t < kTableCount; ++t) {
        read += tableRead_[t] ? (read.empty() ? "" : ", ") + std::to_string(t) : std::string();
    }
    if (read.empty()) {
        return;  // the driver holds no table to compare
    }
    if (missing.empty()) {
        Add("function 2, mode sets", Verdict::Passed,
            (read == "0, 1, 2" ? std::string("every table has") : "the tables the driver read (" + read + ") have") +
                " modes " + ModeList(all),
            "answers every mode from the table of the client's regulatory type");
        return;
    }
    Add("function 2, mode sets", Verdict::Warning, missing,
        "answers a client of regulatory type " + std::to_string(exampleTable) + " in mode " + std::to_string(example) +
            " with entry 0 of table 0 instead");
}

// Function 3, judged by what the driver did with it while it started: the
// address and length it holds, and the BiosSarState it recorded. What is
// placed at that address is the machine's (SART, --memory).
void Checker::CheckSarLocation()
{
    const std::string name = "function 3";
    Answer answer = Evaluate(name, "_DSM", plat::NativeFirmware::DsmArguments(3, 0));
    std::string firmware = !NT_SUCCESS(answer.status) ? "the evaluation fails: " + plat::FormatStatus(answer.status)
                           : answer.arguments.size() < 2
                               ? "answers " + Describe(answer.object) + " (" + std::to_string(answer.arguments.size()) +
                                     " element(s); Package {address, length} expected)"
                               : "address " + Describe(answer.arguments[0]) + ", length " +
                                     (answer.arguments[1].type == AcpiObject::Type::Integer
                                          ? std::to_string(answer.arguments[1].integer)
                                          : Describe(answer.arguments[1]));
    const size_t heldAt = BootTrace("TvrxProcessBiosSarLocation", "SAR table at ");
    const size_t failedAt = BootTrace("TvrxWdfEvtDevicePrepareHardware", "SAR table export failed");
    std::optional<uint32_t> state;
    if (started_) {
        state = rig_->Machine().Registry().GetDword(kSarServiceKey, tvrx::kBiosSarStateValue);
    }
    const std::string recorded = state ? " (BiosSarState " + std::to_string(*state) + ")" : std::string();
    if (!started_ || (heldAt == bootTraces_.size() && failedAt == bootTraces_.size())) {
        Add(name, Verdict::Warning, firmware,
            started_ ? std::string("never asked it: the BIOS version is the one it exported for")
                     : "never asked it: its start ended before (" + plat::FormatStatus(startStatus_) + ")");
        return;
    }
    if (heldAt == bootTraces_.size()) {
        std::string cause = EvaluationCause(failedAt);
        for (size_t i = 0; i < failedAt && cause.empty(); ++i) {
            if (bootTraces_[i].level <= kTraceLevelError &&
                std::strcmp(bootTraces_[i].function, "TvrxProcessBiosSarLocation") == 0) {
                cause = TraceMessage(bootTraces_[i]);
            }
        }
        Add(name, Verdict::Failed, firmware,
            "exports nothing" + recorded + ": function 3 fails with " +
                FailureKind(After(TraceMessage(bootTraces_[failedAt]), " failed ")) +
                (cause.empty() ? std::string() : " (it reports \"" + cause + "\")") +
                "; it tries again at every start (the device starts all the same)");
        return;
    }
    const debugview::Device* view = DeviceView();
    const uint64_t address = view->sarTableAddress;
    const uint64_t length = view->sarTableLength;
    std::string held = "the driver holds address " + Hex(address) + ", length " + std::to_string(length);
    std::string exported = state && *state == debugview::DriverLimits().sarStateCurrent
                               ? "exports " + std::to_string(length) + " bytes" + recorded
                               : "exports nothing" + recorded;
    const AcpiObject& givenAddress = answer.arguments[0];
    const AcpiObject& givenLength = answer.arguments[1];
    if (givenAddress.type != AcpiObject::Type::Integer || givenAddress.integer != address ||
        givenLength.type != AcpiObject::Type::Integer || givenLength.integer != length) {
        Add(name, Verdict::Failed, firmware + "; " + held + ": two Integers below 2^32 expected", exported);
        return;
    }
    std::string where = "SAR table at " + Hex(address) + ", " + std::to_string(length) + " bytes";
    std::vector<uint8_t> sart = firmware_->SarTable();
    if (length == 0) {
        Add(name, Verdict::Failed, where, exported + ": an empty file");
        return;
    }
    // The driver copies the whole range: an address nothing is placed at
    // reads as 0xFF, so the copy succeeds and the file holds those bytes.
    size_t placed = PlacedBytes(address, length, sart);
    std::string unplaced = std::to_string(length - placed) + " bytes of 0xFF";
    if (placed == 0) {
        Add(name, Verdict::Failed, where + "; nothing is placed there (no SART, and no --memory region at that address)",
            exported + ": nothing but 0xFF, and keeps that file until the BIOS version changes");
        return;
    }
    std::string file = ": the " + std::to_string(placed) + " placed bytes and " + unplaced;
    if (!sart.empty() && length < sart.size()) {
        file = ": the first " + std::to_string(length) + " of SART's " + std::to_string(sart.size()) + " bytes";
    } else if (!sart.empty() && placed == sart.size()) {
        file = ": the " + std::to_string(sart.size()) + " bytes of SART, then " + unplaced;
    }
    if (!sart.empty() && sart.size() != length) {
        Add(name, Verdict::Failed, where + "; SART holds " + std::to_string(sart.size()) + " bytes", exported + file);
        return;
    }
    if (placed < length) {
        Add(name, Verdict::Failed, where + "; only " + std::to_string(placed) + " of those bytes are placed",
            exported + file);
        return;
    }
    Add(name, Verdict::Passed, where + (sart.empty() ? " (placed with --memory)" : " (SART, placed there)"),
        exported + " to " + tvrx::kSarExportName);
}

// How many bytes of [address, address + length) something is placed at: the
// firmware's SART at its address and the --memory regions, laid out on a
// memory of their own as the machine lays them out, with every placed byte 0.
size_t Checker::PlacedBytes(uint64_t address, uint64_t length, const std::vector<uint8_t>& sart) const
{
    plat::PhysicalMemory layout;
    if (!sart.empty()) {
        layout.AddRegion(address, std::vector<uint8_t>(sart.size(), 0));
    }
    for (const auto& [base, file] : options_.memory) {
        std::error_code error;
        uintmax_t size = std::filesystem::file_size(file, error);
        if (!error && size > 0) {
            layout.AddRegion(base, std::vector<uint8_t>(size, 0));
        }
    }
    std::vector<uint8_t> bytes = layout.Read(address, length);
    return static_cast<size_t>(std::count(bytes.begin(), bytes.end(), uint8_t{0}));
}

void Checker::CheckTiming()
{
    // A read too slow for the start is named before one after a mode change.
    const Answer* slowest = nullptr;
    const Answer* slowestStart = nullptr;
    double startTotal = 0;
    for (const std::string& what : order_) {
        if (what.rfind("function ", 0) != 0) {
            continue;  // SMOD is the simulator's, not asked by the driver
        }
        const Answer& answer = answers_.at(what);
        if (slowest == nullptr || answer.seconds > slowest->seconds) {
            slowest = &answer;
        }
        if (what != "function 1 after SMOD" && what.rfind("function 1 in mode", 0) != 0) {
            startTotal += answer.seconds;
            if (slowestStart == nullptr || answer.seconds > slowestStart->seconds) {
                slowestStart = &answer;
            }
        }
    }
    if (slowest == nullptr) {
        return;
    }
    if (slowestStart != nullptr && slowestStart->seconds >= kSendTimeout) {
        slowest = slowestStart;
    }
    std::string seen = "slowest: " + slowest->what + ", " + Seconds(slowest->seconds) +
                       "; the start's evaluations together " + Seconds(startTotal);
    if (!firmware_->FullLengthSleep()) {
        seen += " (this debugger cuts each AML Sleep to 2 s: a longer one is timed short)";
    }
    if (slowest->seconds >= kSendTimeout) {
        bool export3 = slowest->what.rfind("function 3", 0) == 0;
        bool modeChange = slowest->what == "function 1 after SMOD" || slowest->what.rfind("function 1 in mode", 0) == 0;
        if (!export3 && !modeChange) {
            startFailureExplained_ = true;
        }
        Add("timing", Verdict::Failed, seen,
            "gives up on an evaluation after 3 s (STATUS_IO_TIMEOUT)" +
                std::string(export3 ? ": no export" : modeChange ? ": it keeps the mode it had" : ": the device does not start"));
        return;
    }
    if (startTotal >= kStartBudget) {
        Add("timing", Verdict::Warning, seen, "starts, but takes longer than the 9 s the table reads may take");
        return;
    }
    Add("timing", Verdict::Passed, seen, "waits at most 3 s for each; the start is well within that");
}

void Checker::CheckNotification()
{
    const std::string name = "notification";
    uint8_t mode = static_cast<uint8_t>(keptMode_ == 2 ? 3 : 2);

    // A client of the driver waits for the change, as one would on the machine.
    plat::um::Process client("check");
    HANDLE device = nullptr;
    HANDLE event = nullptr;
    if (started_) {
        client.Run([&] {
            if (!NT_SUCCESS(tvrx::harness::OpenDevice(GENERIC_READ | GENERIC_WRITE, &device))) {
                device = nullptr;
                return;
            }
            event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
            TVRX_SET_EVENT_INPUT input = {static_cast<UINT64>(reinterpret_cast<uintptr_t>(event))};
            ULONG_PTR information = 0;
            plat::um::IoControl(device, IOCTL_TVRX_SET_EVENT, &input, sizeof input, nullptr, 0, &information);
        });
    }
    auto closeClient = [&] {
        client.Run([&] {
            if (device != nullptr) {
                CloseHandle(device);
            }
            if (event != nullptr) {
                CloseHandle(event);
            }
        });
    };

    size_t before = firmware_->Notifications().size();
    uint64_t countBefore = firmware_->NotificationCount();
    Clock::time_point start = Clock::now();
    AcpiObject ignored;
    NTSTATUS status = firmware_->Evaluate(bound_.path, "SMOD", {AcpiObject::Integer(mode)}, &ignored);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    uint64_t raisedCount = firmware_->NotificationCount() - countBefore;
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
        closeClient();
        Add(name, Verdict::Warning, "no SMOD method: the simulator cannot change the device mode, so this is not checked",
            "learns of mode changes only through Notify (<device>, 0x80)");
        return;
    }
    Answer timed;
    timed.what = "SMOD";
    timed.seconds = seconds;
    answers_.emplace(timed.what, timed);
    order_.push_back(timed.what);
    if (raisedCount > kNotifyStorm) {
        closeClient();
        plat::wdf::WaitForWorkItemsIdle(std::chrono::seconds(10));
        std::string loop = firmware_->LastFailure();
        Add(name, Verdict::Failed,
            "SMOD (" + std::to_string(mode) + ") raised Notify " + std::to_string(raisedCount) + " times in " +
                Seconds(seconds) +
                (NT_SUCCESS(status) ? std::string()
                                    : ", until it was stopped (" + plat::FormatStatus(status) + ")" +
                                          (loop.empty() ? std::string() : " in " + loop)),
            "reads the mode and wakes its clients once for each Notify: one change should raise one");
        return;
    }
    if (!NT_SUCCESS(status)) {
        closeClient();
        std::string where = firmware_->LastFailure();
        Add(name, Verdict::Failed,
            "SMOD (" + std::to_string(mode) + ") fails: " + plat::FormatStatus(status) +
                (where.empty() ? std::string() : " in " + where),
            "hears of no change");
        return;
    }
    std::vector<plat::AcpicaFirmware::Notification> seen = firmware_->Notifications();
    seen.erase(seen.begin(), seen.begin() + static_cast<std::ptrdiff_t>(std::min(before, seen.size())));
    std::string raised;
    bool onDevice = false;
    bool otherValue = false;
    for (const auto& notification : seen) {
        raised += (raised.empty() ? "" : ", ") + std::string("Notify (") + notification.node + ", " +
                  Hex(notification.value) + ")";
        bool onBound = notification.path == bound_.path;
        onDevice = onDevice || (onBound && notification.value == debugview::DriverLimits().modeChangeNotify);
        otherValue = otherValue || (onBound && notification.value != debugview::DriverLimits().modeChangeNotify);
    }
    // The driver's read after the Notify ends (its client is woken, its work
    // items are idle) before the check asks function 1 itself: a probe of its
    // own beside the driver's read could push that read past its time-out.
    std::string driver = "is not running: it did not start";
    std::optional<uint32_t> stored;
    if (started_ && !onDevice) {
        driver = "hears nothing: its clients keep mode " + std::to_string(keptMode_);
    } else if (started_ && device != nullptr) {
        DWORD waited = client.Run([&] { return WaitForSingleObject(event, kEventWaitMs); });
        plat::wdf::WaitForWorkItemsIdle(std::chrono::seconds(10));
        stored = debugview::ReadDevice(rig_->Host().Device()).currentDeviceMode;
        driver = waited == WAIT_OBJECT_0 ? "read mode " + std::to_string(*stored) + " and woke its client"
                                         : "did not wake its client (mode " + std::to_string(*stored) + " kept)";
    }
    closeClient();
    plat::wdf::WaitForWorkItemsIdle(std::chrono::seconds(10));
    Answer after = Evaluate("function 1 after SMOD", "_DSM", plat::NativeFirmware::DsmArguments(1, 0));
    // What the firmware answers, as it gives it; the driver's own read is judged by the mode it stored.
    std::string reported = !NT_SUCCESS(after.status)   ? plat::FormatStatus(after.status)
                           : after.arguments.empty()   ? std::string("nothing")
                           : after.arguments.front().type == AcpiObject::Type::Integer
                               ? std::to_string(after.arguments.front().integer)
                               : Describe(after.arguments.front());

    std::string text = "SMOD (" + std::to_string(mode) + ") raised " + (raised.empty() ? std::string("no Notify") : raised);
    if (!onDevice) {
        Add(name, Verdict::Failed,
            text + (otherValue ? "; the driver acts on 0x80 only"
                               : "; Notify (" + bound_.path.substr(bound_.path.find_last_of("\\.") + 1) +
                                     ", 0x80) on the driver's device expected"),
            driver);
        return;
    }
    // The mode the driver stored decides; without a driver running, what function 1 answers.
    if (!stored && reported != std::to_string(mode)) {
        Add(name, Verdict::Failed, text + "; function 1 then answers " + reported + ", not " + std::to_string(mode),
            driver);
        return;
    }
    if (stored && *stored != mode) {
        Add(name, Verdict::Failed,
            text + "; function 1 then answers " + reported + ", but the driver holds mode " +
                std::to_string(*stored),
            driver);
        return;
    }
    modeChanges_ = started_;
    Add(name, Verdict::Passed, text + "; function 1 then answers " + reported, driver);
}

// Every mode the tables list, set through SMOD one after another: after each
// the driver's read has ended (its work items are idle) before the mode it
// stored is compared with the one set, and only then is function 1 asked
// and timed, so no probe of the check's runs beside the driver's read.
void Checker::CheckEveryMode()
{
    if (!modeChanges_) {
        return;
    }
    std::set<uint64_t> modes;
    for (size_t t = 0; t < kTableCount; ++t) {
        modes.insert(tableModes_[t].begin(), tableModes_[t].end());
    }
    std::vector<std::string> faults;
    std::string set;
    for (uint64_t mode : modes) {
        AcpiObject ignored;
        NTSTATUS status = firmware_->Evaluate(bound_.path, "SMOD", {AcpiObject::Integer(mode)}, &ignored);
        set += (set.empty() ? "" : ", ") + std::to_string(mode);
        if (!NT_SUCCESS(status)) {
            plat::wdf::WaitForWorkItemsIdle(std::chrono::seconds(10));
            faults.push_back("SMOD (" + std::to_string(mode) + ") fails: " + plat::FormatStatus(status));
            continue;
        }
        // The Notify reaches the driver on another thread: its read may not be
        // queued yet when SMOD returns, so the wait ends when the mode is
        // stored or the driver's read has had its time-out and a second.
        Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(int((kSendTimeout + 1) * 1000));
        uint32_t stored = 0;
        for (;;) {
            plat::wdf::WaitForWorkItemsIdle(std::chrono::seconds(10));
            stored = debugview::ReadDevice(rig_->Host().Device()).currentDeviceMode;
            if (stored == mode || Clock::now() >= deadline) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        Answer answer = Evaluate("function 1 in mode " + std::to_string(mode), "_DSM",
                                 plat::NativeFirmware::DsmArguments(1, 0));
        if (stored != mode) {
            faults.push_back("after SMOD (" + std::to_string(mode) + ") the driver holds mode " + std::to_string(stored) +
                             (answer.seconds >= kSendTimeout ? " (function 1 takes " + Seconds(answer.seconds) +
                                                                   ": its read timed out)"
                                                             : std::string()));
        }
    }
    if (set.empty()) {
        return;
    }
    if (!faults.empty()) {
        std::string text;
        for (const std::string& fault : faults) {
            text += (text.empty() ? "" : "; ") + fault;
        }
        Add("every mode", Verdict::Failed, "SMOD set modes " + set + "; " + text,
            "keeps a stale mode and answers its clients from the wrong table row");
        return;
    }
    Add("every mode", Verdict::Passed, "SMOD set modes " + set + " in turn",
        "stored each mode as it was set");
}

void Checker::CheckBiosVersion()
{
    AcpiObject version;
    NTSTATUS status = firmware_->Evaluate(bound_.path, "BVER", {}, &version);
    if (NT_SUCCESS(status) && version.type == AcpiObject::Type::String) {
        Add("BIOS version", Verdict::Passed, "BVER \"" + version.string + "\"",
            "exports the SAR table again only when this changes (SARService\\BiosInfo)");
        return;
    }
    Add("BIOS version", Verdict::Warning,
        (NT_SUCCESS(status) ? "BVER is " + Describe(version) + ", not a String" : std::string("no BVER")) +
            ": the machine reports \"" + firmware_->BiosVersion() + "\", which changes with the tables",
        "exports the SAR table again after every change of the firmware");
}

// The lines of an ASL file that declare a device of this name, from its
// "Device (NAME)" to the brace that closes it (first and last, 1-based).
std::vector<std::pair<unsigned, unsigned>> DeviceLines(const std::string& file, const std::string& name)
{
    std::vector<std::pair<unsigned, unsigned>> ranges;
    std::ifstream in(file);
    std::string line;
    unsigned number = 0;
    int depth = 0;
    bool inside = false;
    bool opened = false;
    unsigned first = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!inside) {
            size_t at = line.find("Device");
            size_t open = at == std::string::npos ? std::string::npos : line.find('(', at);
            size_t close = open == std::string::npos ? std::string::npos : line.find(')', open);
            if (close == std::string::npos) {
                continue;
            }
            std::string declared = line.substr(open + 1, close - open - 1);
            declared.erase(std::remove_if(declared.begin(), declared.end(),
                                          [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }),
                           declared.end());
            size_t dot = declared.find_last_of("\\.^");
            if ((dot == std::string::npos ? declared : declared.substr(dot + 1)) != name) {
                continue;
            }
            inside = true;
            opened = false;
            depth = 0;
            first = number;
        }
        for (char c : line) {
            depth += c == '{' ? 1 : c == '}' ? -1 : 0;
            opened = opened || c == '{';
        }
        if (opened && depth <= 0) {
            ranges.emplace_back(first, number);
            inside = false;
        }
    }
    return ranges;
}

// What the compiler said about the driver's device: its warnings and remarks
// on the lines that declare the device, one WARNING each.
void Checker::CheckCompilerMessages()
{
    std::string name = bound_.path.substr(bound_.path.find_last_of("\\.") + 1);
    std::map<std::string, std::vector<std::pair<unsigned, unsigned>>> ranges;
    for (const plat::acpiexec::CompilerMessage& message : firmware_->CompilerMessages()) {
        if (!ranges.count(message.file)) {
            ranges[message.file] = DeviceLines(message.file, name);
        }
        bool onDevice = false;
        for (const auto& [first, last] : ranges[message.file]) {
            onDevice = onDevice || (message.line >= first && message.line <= last);
        }
        if (!onDevice) {
            continue;
        }
        bool arguments = message.text.find("_DSM requires 4") != std::string::npos;
        Add("compiler", Verdict::Warning,
            std::filesystem::path(message.file).filename().string() + " line " + std::to_string(message.line) + ": " +
                message.kind + " " + message.text,
            arguments ? "passes _DSM four arguments; one declared with fewer never sees Arg3, the table index of function 2"
                      : "runs the method as compiled");
    }
}

// How the device's _DSM behaved while the checks asked it: a Notify raised
// from inside it, and an Arg3 taken as a Package, which the driver passes as
// an Integer.
void Checker::CheckDsmConduct()
{
    std::string notifying;
    std::string packageArgument;
    for (const std::string& what : order_) {
        const Answer& answer = answers_.at(what);
        if (what.rfind("function ", 0) != 0) {
            continue;
        }
        if (answer.notified > 0 && notifying.empty()) {
            // Not how many: the driver's own reads of function 1 go on beside
            // this evaluation, each raising one more, and the debugger prints
            // them as its threads run.
            notifying = what + " raised Notify";
        }
        if (!answer.failure.empty() && answer.failure.find("Arg3") != std::string::npos && packageArgument.empty()) {
            packageArgument = what + " fails with " + plat::FormatStatus(answer.status) + " in " + answer.failure;
        }
    }
    if (!notifying.empty()) {
        Add("_DSM Notify", Verdict::Warning, notifying + " from inside _DSM",
            "reads function 1 on every Notify (device, 0x80): a _DSM that notifies makes each read raise the next, "
            "a feedback loop");
    }
    if (!packageArgument.empty()) {
        Add("_DSM Arg3", Verdict::Warning, packageArgument + ": Arg3 is used as a Package",
            "passes Arg3 as an Integer (0, or the table index of function 2): _DSM must take it as one");
    }
}

// ---------------------------------------------------------------- the machine

bool Checker::Boot()
{
    // The firmware is judged against an ACPI driver that ends an evaluation at
    // the driver's time-out, the stricter of the two that Windows may have.
    tvrx::harness::Options rigOptions;
    rigOptions.machine.acpiHonoursCancel = true;
    rigOptions.firmware = firmware_;
    rigOptions.memory = options_.memory;
    rigOptions.instanceId = std::wstring(bound_.instanceId.begin(), bound_.instanceId.end());
    rig_ = std::make_unique<tvrx::harness::Rig>(std::move(rigOptions));
    // The session takes the driver's information traces too, and keeps them
    // while the driver starts: they say what it made of each answer. When
    // prepare-hardware reports its failure, the device is read as a debugger
    // stopped on that trace would read it, before the framework takes it down.
    booting_ = true;
    plat::trace::EnableSession(kTraceLevelInformation, 0xFFFFFFFFu, [this](const plat::trace::Record& record) {
        std::lock_guard<std::mutex> guard(traceLock_);
        if (record.level <= kTraceLevelError) {
            driverErrors_.push_back(plat::trace::FormatRecord(record));
        }
        if (!booting_) {
            return;
        }
        bootTraces_.push_back(record);
        if (record.level <= kTraceLevelError && std::strcmp(record.function, "TvrxWdfEvtDevicePrepareHardware") == 0) {
            if (WDFDEVICE device = rig_->Host().Device(); device != nullptr) {
                failedStart_ = debugview::ReadDevice(device);
            }
        }
    });
    startStatus_ = rig_->Boot();
    rig_->Settle();
    started_ = NT_SUCCESS(startStatus_);
    {
        std::lock_guard<std::mutex> guard(traceLock_);
        booting_ = false;
        tableReports_ = ReadTableReports(bootTraces_, kTableCount);
    }
    return started_;
}

void Checker::ShutDown()
{
    if (rig_) {
        rig_->Unload();
    }
    plat::trace::DisableSession();
    rig_.reset();
}

int Checker::Run()
{
    plat::AcpicaFirmware::Options firmwareOptions;
    firmwareOptions.requireDevice = false;
    plat::pnp::InfError error;
    if (!plat::pnp::ReadInf(DriverPackage(), &package_, &error)) {
        throw std::runtime_error("the driver package cannot be read: " + error.Text());
    }
    std::vector<std::filesystem::path> tables = options_.firmwareTables;
    if (tables.empty()) {
        tables.push_back(options_.firmwareFile);
    }
    firmware_ = std::make_shared<plat::AcpicaFirmware>(tables, firmwareOptions);
    if (!BindDevice()) {
        Report();
        return kCheckFailed;
    }
    Boot();
    CheckDevice();
    CheckNamespace();
    CheckSupportedFunctions();
    CheckDeviceMode();
    for (size_t index = 0; index < kTableCount; ++index) {
        CheckTable(index);
    }
    CheckModeSets();
    CheckSarLocation();
    CheckNotification();
    CheckEveryMode();
    CheckTiming();
    CheckBiosVersion();
    CheckCompilerMessages();
    CheckDsmConduct();
    if (!started_ && !startFailureExplained_) {
        Add("driver start", Verdict::Failed, "none of the checks above explains it", "does not start: " + plat::FormatStatus(startStatus_));
    }
    // Timing comes after the notification, whose evaluations it includes; it reads better before it.
    auto timing = std::find_if(checks_.begin(), checks_.end(), [](const Check& c) { return c.name == "timing"; });
    auto notification = std::find_if(checks_.begin(), checks_.end(), [](const Check& c) { return c.name == "notification"; });
    if (timing != checks_.end() && notification != checks_.end() && timing > notification) {
        std::rotate(notification, timing, timing + 1);
    }
    ShutDown();
    Report();
    bool failed = std::any_of(checks_.begin(), checks_.end(), [](const Check& c) { return c.verdict == Verdict::Failed; });
    return failed ? kCheckFailed : kCheckPassed;
}

void Checker::Report()
{
    size_t counts[3] = {};
    for (const Check& check : checks_) {
        ++counts[static_cast<int>(check.verdict)];
    }
    std::string start = started_ ? "the driver starts on this firmware"
                        : bound_.path.empty()
                            ? "the driver does not start on this firmware: no device binds to it"
                            : "the driver does not start on this firmware: " + plat::FormatStatus(startStatus_);
    if (options_.json) {
        nlohmann::json report;
        report["firmware"] = options_.firmwareFile.string();
        if (options_.firmwareTables.size() > 1) {
            std::vector<std::string> tables;
            for (const std::filesystem::path& table : options_.firmwareTables) {
                tables.push_back(table.string());
            }
            report["tables"] = tables;
        }
        report["device"] = bound_.path;
        report["instance"] = bound_.instanceId;
        report["checks"] = nlohmann::json::array();
        for (const Check& check : checks_) {
            nlohmann::json entry = {
                {"check", check.name}, {"verdict", VerdictName(check.verdict)}, {"seen", check.seen}, {"driver", check.driver}};
            if (!check.details.empty()) {
                entry["details"] = check.details;
            }
            report["checks"].push_back(std::move(entry));
        }
        const char* statusName = plat::StatusName(startStatus_);
        report["summary"] = {{"checks", checks_.size()},
                             {"passed", counts[0]},
                             {"warnings", counts[1]},
                             {"failed", counts[2]},
                             {"driver_started", started_},
                             {"start_status", statusName != nullptr ? statusName : Hex(uint32_t(startStatus_))}};
        report["driver_errors"] = started_ ? std::vector<std::string>() : driverErrors_;
        out_ << report.dump(2) << "\n";
        return;
    }
    std::string tables = options_.firmwareFile.string();
    for (size_t i = 1; i < options_.firmwareTables.size(); ++i) {
        tables += " + " + options_.firmwareTables[i].string();
    }
    out_ << "Firmware " << tables
         << (bound_.path.empty() ? std::string() : ", device " + bound_.path) << "\n";
    for (const Check& check : checks_) {
        char verdict[16];
        std::snprintf(verdict, sizeof verdict, "%-8s", VerdictName(check.verdict));
        out_ << verdict << check.name << ": " << check.seen << ". Driver: " << check.driver << ".\n";
        for (const std::string& detail : check.details) {
            out_ << "          " << detail << "\n";
        }
    }
    out_ << checks_.size() << " checks: " << counts[0] << " passed, " << counts[1] << " warning(s), " << counts[2]
         << " failed; " << start << ".\n";
    if (!started_) {
        for (const std::string& line : driverErrors_) {
            out_ << "  driver trace: " << line << "\n";
        }
    }
}

}  // namespace

int RunCheck(const Options& options, std::ostream& out, std::ostream& err)
{
    if (options.firmwareFile.empty()) {
        err << "tvrx-sim: check needs --firmware FILE\n";
        return kCheckCannotLoad;
    }
    Checker checker(options, out);
    try {
        return checker.Run();
    } catch (const std::exception& e) {
        err << "tvrx-sim: " << e.what() << "\n";
        return kCheckCannotLoad;
    }
}

}  // namespace sim
