/* tvrx-sim devfund: the runner, the lab every test stands on, and what the documentation says a client sees. */
#include "devfund.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <nlohmann/json.hpp>
#include <random>

#include "base/status.h"
#include "base/verifier.h"
#include "devfund_lab.h"
#include "tvrxioctl.h"
#include "um/client.h"

namespace sim::devfund {
namespace {

constexpr double kClockRate = 10;  // machine seconds per real second: time-outs and budgets pass faster

// What the test was doing, for the line printed when the system stops (a
// bugcheck aborts the process): written by the test's main thread only.
char g_where[512] = "";

void SystemStopped(int signal)
{
    static const char prefix[] = "FAIL ";
    ssize_t ignored = write(STDOUT_FILENO, prefix, sizeof(prefix) - 1);
    ignored = write(STDOUT_FILENO, g_where, strnlen(g_where, sizeof(g_where)));
    // A bugcheck printed its report before it aborted; a fault has none.
    static const char stop[] = ": the system stopped (the bugcheck's report is above)\n";
    static const char fault[] = ": the system stopped: an access to memory that may not be touched (a page fault)\n";
    const char* suffix = signal == SIGABRT ? stop : fault;
    ignored = write(STDOUT_FILENO, suffix, strlen(suffix));
    (void)ignored;
    ::signal(signal, SIG_DFL);
    raise(signal);
}

struct Test {
    const char* name;
    void (*run)(Lab&);
    double seconds;  // machine seconds of its timed part by default
    double share;    // of --minutes: the part of the concurrent test's time it gets
};

const Test kTests[] = {
    {"fuzz-open-close", FuzzOpenClose, 4, 0.125},
    {"zero-length-ioctl", ZeroLengthIoctl, 0, 0},
    {"random-ioctl", RandomIoctl, 4, 0.125},
    {"misc-api", MiscApi, 0, 0},
    {"pnp", PnpWithIo, 0, 0},
    {"sleep", SleepWithIo, 0, 0},
    {"chaos", Chaos, 20, 1},
    {"simpleio-termination", SimpleIoStress, 4, 0.125},
};

std::string StatusText(NTSTATUS status)
{
    const char* name = plat::StatusName(status);
    return name != nullptr ? name : Hex(uint32_t(status));
}

void PrintText(const Result& result, std::ostream& out)
{
    char line[160];
    std::snprintf(line, sizeof(line), "  ran: %llu calls in %.1f s of machine time\n",
                  static_cast<unsigned long long>(result.operations), result.machineSeconds);
    out << (result.passed ? "PASS " : "FAIL ") << result.test << " seed=" << result.seed << "\n" << line;
    if (!result.failedStep.empty()) {
        out << "  failing step: " << result.failedStep << (result.why.empty() ? "" : ": " + result.why) << "\n";
    }
    for (const Unexpected& u : result.unexpected) {
        out << "  unexpected: " << u.step << ": " << plat::FormatStatus(u.status) << " x" << u.count
            << ", documented:";
        for (NTSTATUS status : u.documented) {
            out << " " << StatusText(status);
        }
        out << "\n";
    }
    if (result.verifier.empty()) {
        out << "  verifier: clean\n";
    }
    for (const std::string& finding : result.verifier) {
        out << "  verifier: " << finding << "\n";
    }
}

void PrintJson(const Result& result, std::ostream& out)
{
    nlohmann::ordered_json unexpected = nlohmann::json::array();
    for (const Unexpected& u : result.unexpected) {
        nlohmann::ordered_json documented = nlohmann::json::array();
        for (NTSTATUS status : u.documented) {
            documented.push_back(StatusText(status));
        }
        unexpected.push_back({{"step", u.step}, {"status", StatusText(u.status)}, {"count", u.count},
                              {"documented", documented}});
    }
    nlohmann::ordered_json line{{"test", result.test},
                                {"result", result.passed ? "PASS" : "FAIL"},
                                {"seed", result.seed},
                                {"failedStep", result.failedStep},
                                {"why", result.why},
                                {"unexpected", unexpected},
                                {"verifier", result.verifier},
                                {"operations", result.operations},
                                {"machineSeconds", result.machineSeconds}};
    out << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
}

}  // namespace

std::string Hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", value);
    return text;
}

bool IsKernelAddress(const void* buffer) { return reinterpret_cast<uintptr_t>(buffer) >= 0x7FFFFFFF0000ull; }

Lab::Lab(std::string test, uint64_t seed, double budgetSeconds)
    : test_(std::move(test)), seed_(seed), budget_(budgetSeconds)
{
    before_ = plat::verifier::Check().findings;
    firmware_ = plat::MakeNativeFirmware();
    tvrx::harness::Options options;
    options.machine.clockRate = kClockRate;
    options.firmware = firmware_;
    rig_ = std::make_unique<tvrx::harness::Rig>(std::move(options));
    Step("boot");
}

Lab::~Lab() { rig_.reset(); }

bool Lab::Boot()
{
    started_ = rig_->Machine().Clock().Now();
    tvrx::harness::Step failed = tvrx::harness::Step::Load;
    NTSTATUS status = rig_->Boot(tvrx::harness::Step::Start, &failed);
    const char* step = failed == tvrx::harness::Step::Load  ? "load the driver"
                       : failed == tvrx::harness::Step::Add ? "add the device"
                                                            : "start the device";
    if (!Expect(step, status, STATUS_SUCCESS)) {
        return false;
    }
    plat::um::Process finder("devfund");
    path_ = finder.Run([] { return tvrx::harness::DevicePath(); });
    if (path_.empty()) {
        Fail("find the interface", "the started device has no interface");
        return false;
    }
    return true;
}

std::mt19937_64 Lab::Generator(unsigned stream) const
{
    std::seed_seq sequence{uint32_t(seed_), uint32_t(seed_ >> 32), uint32_t(stream)};
    return std::mt19937_64(sequence);
}

bool Lab::Expect(const std::string& step, NTSTATUS got, std::initializer_list<NTSTATUS> documented)
{
    for (NTSTATUS status : documented) {
        if (got == status) {
            return true;
        }
    }
    std::lock_guard<std::mutex> guard(lock_);
    auto [entry, added] = unexpected_.try_emplace({step, got}, Unexpected{step, got, documented, 0});
    ++entry->second.count;
    if (!failed_.exchange(true)) {
        failedStep_ = step;
        why_ = "the client saw " + plat::FormatStatus(got);
    }
    return false;
}

void Lab::Fail(const std::string& step, const std::string& why)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (!failed_.exchange(true)) {
        failedStep_ = step;
        why_ = why;
    }
}

void Lab::Step(const std::string& step)
{
    std::snprintf(g_where, sizeof(g_where), "%s seed=%llu step: %s", test_.c_str(),
                  static_cast<unsigned long long>(seed_), step.c_str());
}

double Lab::Elapsed() const { return double(rig_->Machine().Clock().Now() - started_) / 1e7; }

Result Lab::Finish()
{
    Result result;
    result.test = test_;
    result.seed = seed_;
    result.machineSeconds = Elapsed();
    Step("unload");
    std::vector<std::string> findings = rig_->Host().Loaded() ? rig_->Unload().findings : plat::verifier::Check().findings;
    for (const std::string& finding : findings) {
        if (std::find(before_.begin(), before_.end(), finding) == before_.end()) {
            result.verifier.push_back(finding);
        }
    }
    std::lock_guard<std::mutex> guard(lock_);
    result.failedStep = failedStep_;
    result.why = why_;
    for (auto& [key, u] : unexpected_) {
        result.unexpected.push_back(u);
    }
    if (!result.verifier.empty() && result.failedStep.empty()) {
        result.failedStep = "unload";
        result.why = "the verifier found what the driver left behind";
    }
    result.operations = operations_.load();
    result.passed = result.failedStep.empty() && result.unexpected.empty() && result.verifier.empty();
    return result;
}

NTSTATUS DocumentedIoControl(ULONG code, const void* input, ULONG inputLength, const void* output,
                             ULONG outputLength, ACCESS_MASK granted, bool eventHandleValid,
                             ULONG_PTR* information)
{
    *information = 0;
    // The I/O manager: a missing buffer with a length, the handle's access
    // for the code's access bits, then the probe of a buffered or direct
    // method's buffers (a kernel address fails it).
    if ((input == nullptr && inputLength != 0) || (output == nullptr && outputLength != 0)) {
        return STATUS_ACCESS_VIOLATION;
    }
    ULONG access = (code >> 14) & 3;
    if (((access & FILE_READ_ACCESS) && !(granted & FILE_READ_DATA)) ||
        ((access & FILE_WRITE_ACCESS) && !(granted & FILE_WRITE_DATA))) {
        return STATUS_ACCESS_DENIED;
    }
    if ((code & 3) != METHOD_NEITHER && ((inputLength != 0 && IsKernelAddress(input)) ||
                                         (outputLength != 0 && IsKernelAddress(output)))) {
        return STATUS_ACCESS_VIOLATION;
    }
    ULONG value = 0;
    if (inputLength >= sizeof(ULONG) && !IsKernelAddress(input)) {
        std::memcpy(&value, input, sizeof(value));
    }
    // The driver (docs/ioctl.md, its table of statuses).
    switch (code) {
    case IOCTL_TVRX_SET_REGULATORY_TYPE:
        if (!(granted & FILE_WRITE_DATA)) {
            return STATUS_ACCESS_DENIED;
        }
        if (inputLength < sizeof(ULONG)) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        return value <= 2 ? STATUS_SUCCESS : STATUS_INVALID_USER_BUFFER;
    case IOCTL_TVRX_GET_DEVICE_MODE_ENTRY:
        if (outputLength < sizeof(TVRX_DEVICE_MODE_ENTRY_INFO)) {
            return STATUS_UNSUCCESSFUL;
        }
        *information = sizeof(TVRX_DEVICE_MODE_ENTRY_INFO);
        return STATUS_SUCCESS;
    case IOCTL_TVRX_GET_DEVICE_MODE_TABLE_INFO:
        if (inputLength < sizeof(ULONG)) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        if (value > 2 || outputLength < sizeof(TVRX_DEVICE_MODE_TABLE_INFO)) {
            return STATUS_UNSUCCESSFUL;
        }
        *information = sizeof(TVRX_DEVICE_MODE_TABLE_INFO);
        return STATUS_SUCCESS;
    case IOCTL_TVRX_SET_EVENT:
        return inputLength >= sizeof(TVRX_SET_EVENT_INPUT) && eventHandleValid ? STATUS_SUCCESS
                                                                                : STATUS_UNSUCCESSFUL;
    default:
        return STATUS_UNSUCCESSFUL;
    }
}

std::vector<std::string> TestNames()
{
    std::vector<std::string> names;
    for (const Test& test : kTests) {
        names.push_back(test.name);
    }
    return names;
}

int Run(const Options& options, std::ostream& out, std::ostream& err)
{
    std::vector<const Test*> chosen;
    for (const std::string& name : options.tests) {
        const Test* found = nullptr;
        for (const Test& test : kTests) {
            if (name == test.name) {
                found = &test;
            }
        }
        if (found == nullptr) {
            std::string known;
            for (const Test& test : kTests) {
                known += std::string(known.empty() ? "" : ", ") + test.name;
            }
            err << "tvrx-sim: devfund: no test '" << name << "' (" << known << ")\n";
            return 2;
        }
        chosen.push_back(found);
    }
    if (chosen.empty()) {
        for (const Test& test : kTests) {
            chosen.push_back(&test);
        }
    }
    if (options.minutes && !(*options.minutes > 0 && *options.minutes <= 24 * 60)) {
        err << "tvrx-sim: devfund: --minutes must be above 0 and at most a day\n";
        return 2;
    }
    uint64_t seed = options.seed ? *options.seed : std::random_device{}() | (uint64_t(std::random_device{}()) << 32);
    if (!options.json) {
        out << "devfund: seed " << seed << " (repeat with --seed " << seed << ")" << std::endl;
    }
    // A bugcheck aborts; a fault outside any guarded block (in the platform or
    // the driver) reaches the handler that was there before the machine's.
    // A sanitizer's own handler is left in place: its report says more.
    for (int signal : {SIGABRT, SIGSEGV, SIGBUS}) {
        struct sigaction present = {};
        if (sigaction(signal, nullptr, &present) == 0 && present.sa_handler == SIG_DFL) {
            ::signal(signal, SystemStopped);
        }
    }
    bool allPassed = true;
    for (const Test* test : chosen) {
        double budget = options.minutes ? *options.minutes * 60 * test->share : test->seconds;
        Result result;
        {
            Lab lab(test->name, seed, budget);
            if (lab.Boot()) {
                test->run(lab);
            }
            result = lab.Finish();
        }
        allPassed = allPassed && result.passed;
        if (options.json) {
            PrintJson(result, out);
        } else {
            PrintText(result, out);
        }
        out.flush();
    }
    return allPassed ? 0 : 1;
}

}  // namespace sim::devfund
