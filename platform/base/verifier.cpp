/* The verifier's catalogue of rules, the driver image its house rules apply to, and its leak report. */
#include "base/verifier.h"

#include <dlfcn.h>

#include <atomic>
#include <map>
#include <mutex>

#include "base/bugcheck.h"

namespace plat::verifier {
namespace {

using S = Source;

// One line per rule; docs/verifier.md is this table for people. Built on
// first use: reporters register from static initialisers of other units.
const std::vector<Rule>& Catalogue()
{
    static const std::vector<Rule> rules = {
        // Driver Verifier.
        {"IRQL", S::DriverVerifier, "IRQL checking", true},
        {"pageable code at raised IRQL", S::DriverVerifier, "IRQL checking", true},
        {"pool", S::DriverVerifier, "Pool tracking", false},
        // The KMDF verifier (VerifierOn): the WDF_VIOLATION parameter 1 each stop stands for.
        {"NULL handle", S::KmdfVerifier, "WDF_INVALID_HANDLE", true},
        {"invalid handle", S::KmdfVerifier, "WDF_INVALID_HANDLE", true},
        {"deleted handle used", S::KmdfVerifier, "WDF_INVALID_HANDLE", true},
        {"wrong handle type", S::KmdfVerifier, "WDF_INVALID_HANDLE", true},
        {"request used after completion", S::KmdfVerifier, "WDF_INVALID_HANDLE", true},
        {"a required parameter is NULL", S::KmdfVerifier, "WDF_REQUIRED_PARAMETER_IS_NULL", true},
        {"NULL argument", S::KmdfVerifier, "WDF_REQUIRED_PARAMETER_IS_NULL", true},
        {"memory", S::KmdfVerifier, "WDF_REQUIRED_PARAMETER_IS_NULL", true},
        {"query interface", S::KmdfVerifier, "WDF_REQUIRED_PARAMETER_IS_NULL", true},
        {"request completed twice", S::KmdfVerifier, "WDF_REQUEST_FATAL_ERROR", true},
        {"request completed with STATUS_PENDING", S::KmdfVerifier, "WDF_REQUEST_FATAL_ERROR", true},
        {"buffered output longer than the buffer", S::KmdfVerifier, "WDF_REQUEST_FATAL_ERROR", true},
        {"WdfDeviceEnqueueRequest", S::KmdfVerifier, "verifier break (STATUS_INVALID_DEVICE_REQUEST returned)", false},
        {"request parameters", S::KmdfVerifier, "WDF_VERIFIER_FATAL_ERROR (structure size)", true},
        {"object the driver may not delete", S::KmdfVerifier, "WDF_OBJECT_ERROR", true},
        {"object attributes", S::KmdfVerifier, "WDF_VERIFIER_FATAL_ERROR (object attributes)", true},
        {"no driver", S::KmdfVerifier, "WDF_VERIFIER_FATAL_ERROR (no driver object)", true},
        {"driver config", S::KmdfVerifier, "WDF_VERIFIER_FATAL_ERROR (structure size)", true},
        {"driver attributes", S::KmdfVerifier, "WDF_VERIFIER_FATAL_ERROR (object attributes)", true},
        {"driver object", S::KmdfVerifier, "WDF_VERIFIER_FATAL_ERROR (one driver object)", true},
        {"device init", S::KmdfVerifier, "WDF_VERIFIER_FATAL_ERROR (device initialisation)", true},
        {"device attributes", S::KmdfVerifier, "WDF_VERIFIER_FATAL_ERROR (object attributes)", true},
        {"queue config", S::KmdfVerifier, "WDF_VERIFIER_FATAL_ERROR (queue configuration)", true},
        {"queue attributes", S::KmdfVerifier, "WDF_VERIFIER_FATAL_ERROR (object attributes)", true},
        {"work item config", S::KmdfVerifier, "WDF_VERIFIER_FATAL_ERROR (structure size)", true},
        {"work item attributes", S::KmdfVerifier, "WDF_VERIFIER_FATAL_ERROR (object attributes)", true},
        {"work item parent", S::KmdfVerifier, "WDF_VERIFIER_FATAL_ERROR (object attributes)", true},
        {"device add without a device", S::KmdfVerifier, "WDF_VERIFIER_FATAL_ERROR (EvtDriverDeviceAdd)", true},
        {"callback returned at another IRQL", S::KmdfVerifier, "WDF_VERIFIER_IRQL_MISMATCH", true},
        {"spin lock release", S::KmdfVerifier, "WDF_INVALID_LOCK_OPERATION", true},
        {"framework objects left at unload", S::KmdfVerifier, "object leak at driver unload (TrackHandles)", false},
        // The kernel, with or without a verifier.
        {"spin lock already owned", S::Kernel, "SPIN_LOCK_ALREADY_OWNED", true},
        // House rules of this driver: its one lock, AppInstanceListLock.
        {"spin lock order", S::House,
         "the driver's lock is never held with another spin lock (either taken while the other is held)", true},
        {"work under a spin lock", S::House,
         "nothing is allocated, freed or dereferenced while the driver's lock is held", true},
        // The stand-in: checks of what would corrupt memory or crash on Windows, limits, and leak reports.
        {"event not initialised", S::StandIn,
         "an event routine given memory that is no initialised KEVENT (Windows would corrupt it)", true},
        {"wait on a non-dispatcher object", S::StandIn,
         "a wait on an object whose header is no dispatcher object (Windows would corrupt it)", true},
        {"NULL dispatcher object", S::StandIn, "an event routine or wait given NULL (a page fault on Windows)", true},
        {"MmUnmapIoSpace", S::StandIn,
         "unmapping another size than was mapped, or what is no mapping (undefined on Windows)", true},
        {"context type", S::StandIn,
         "a context of a type the object lacks (KMDF returns NULL, which the caller would dereference)", true},
        {"request not completed", S::StandIn,
         "the stand-in finishes a request when its callback returns: a request kept past its callback "
         "(which Windows allows) is not supported",
         true},
        {"request neither completed nor queued", S::StandIn,
         "as above, for EvtIoInCallerContext: it completes the request or queues it before it returns", true},
        {"ACPI interface", S::StandIn, "the ACPI stand-in checks the interface's Context and reference count", true},
        {"object references", S::StandIn, "object references the driver took and never released, at unload", false},
        {"kernel handles", S::StandIn, "kernel handles left open (Windows reports none at unload)", false},
        {"framework objects", S::StandIn, "framework objects alive (on demand; none after unload)", false},
        {"ACPI interfaces", S::StandIn, "interface references and notification handlers left with the ACPI driver",
         false},
        {"physical memory", S::StandIn, "physical memory still mapped (MmMapIoSpace without MmUnmapIoSpace)", false},
        {"trace providers", S::StandIn, "WPP providers still registered (WPP_CLEANUP missing)", false},
    };
    return rules;
}

struct Registry {
    std::mutex lock;
    int nextId = 1;
    std::map<int, std::pair<const Rule*, Reporter>> reporters;
    Report lastUnload;
};

Registry& Reporters()
{
    static Registry registry;
    return registry;
}

std::atomic<const void*> g_houseBase{nullptr};

const void* ImageBase(const void* address)
{
    Dl_info info{};
    return address != nullptr && dladdr(address, &info) != 0 ? info.dli_fbase : nullptr;
}

}  // namespace

const std::vector<Rule>& Rules() { return Catalogue(); }

const Rule& RuleNamed(std::string_view name)
{
    for (const Rule& rule : Catalogue()) {
        if (name == rule.name) {
            return rule;
        }
    }
    BugCheck(0xDEADDEAD, "the verifier has no rule named \"" + std::string(name) + "\"");
}

const char* SourceName(Source source)
{
    switch (source) {
    case Source::DriverVerifier: return "Driver Verifier";
    case Source::KmdfVerifier: return "KMDF verifier";
    case Source::Kernel: return "kernel";
    case Source::House: return "house rule";
    default: return "stand-in";
    }
}

std::string SourceText(const Rule& rule) { return std::string(SourceName(rule.source)) + ": " + rule.origin; }

void SetHouseImage(const void* anyAddressInImage)
{
    g_houseBase.store(ImageBase(anyAddressInImage), std::memory_order_release);
}

bool IsHouseCode(const void* address)
{
    const void* house = g_houseBase.load(std::memory_order_acquire);
    return house != nullptr && ImageBase(address) == house;
}

int AddReporter(std::string ruleName, Reporter reporter)
{
    const Rule* rule = &RuleNamed(ruleName);
    Registry& r = Reporters();
    std::lock_guard<std::mutex> guard(r.lock);
    int id = r.nextId++;
    r.reporters.emplace(id, std::make_pair(rule, std::move(reporter)));
    return id;
}

void RemoveReporter(int id)
{
    Registry& r = Reporters();
    std::lock_guard<std::mutex> guard(r.lock);
    r.reporters.erase(id);
}

std::string Report::Text() const
{
    if (findings.empty()) {
        return "verifier: clean";
    }
    std::string text = "verifier: " + std::to_string(findings.size()) + " finding(s)";
    for (const std::string& finding : findings) {
        text += "\n  " + finding;
    }
    return text;
}

Report Check()
{
    std::vector<std::pair<const Rule*, Reporter>> reporters;
    {
        Registry& r = Reporters();
        std::lock_guard<std::mutex> guard(r.lock);
        for (auto& [id, entry] : r.reporters) {
            reporters.push_back(entry);
        }
    }
    Report report;
    for (const auto& [rule, reporter] : reporters) {
        std::vector<std::string> found;
        reporter(found);
        for (std::string& finding : found) {
            report.findings.push_back(std::move(finding) + " [" + SourceText(*rule) + "]");
        }
    }
    return report;
}

const Report& LastUnloadReport() { return Reporters().lastUnload; }

void SetLastUnloadReport(Report report)
{
    Registry& r = Reporters();
    std::lock_guard<std::mutex> guard(r.lock);
    r.lastUnload = std::move(report);
}

}  // namespace plat::verifier
