/*
 * The verifier. Rules broken during a run stop the system at once (see
 * base/bugcheck.h); resources left behind are found on demand and at unload:
 * pool by tag, framework objects, object references, kernel handles,
 * interface references. Each subsystem registers a reporter that lists what
 * it still holds.
 *
 * Every rule, whether it stops the system or reports what is left behind, is
 * in one catalogue and names its source: a Driver Verifier option, a check of
 * the KMDF verifier (the WDF_VIOLATION code it raises), a bugcheck the kernel
 * makes without any verifier, a house rule of the driver this project
 * builds, or a limit of the stand-in itself. A house rule applies only to
 * that driver's own code and locks: it never stops code that Windows allows
 * other drivers. docs/verifier.md lists the catalogue.
 */
#pragma once
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace plat::verifier {

enum class Source {
    DriverVerifier,  // a Driver Verifier option (origin: the option's name)
    KmdfVerifier,    // the KMDF verifier (origin: the WDF_VIOLATION parameter 1 or the check)
    Kernel,          // a stop Windows makes without any verifier (origin: the bugcheck)
    House,           // a house rule of this driver: applies only to its own code and locks
    StandIn,         // a check of the stand-in: undefined behaviour on Windows, a limit, or a leak report
};

struct Rule {
    const char* name;    // as a stop or a finding names it, e.g. "IRQL"
    Source source;
    const char* origin;  // the option, check or bugcheck; for a house rule, the rule itself
    bool stops;          // stops the system at once (else: reported as a finding)
};

// The catalogue, in the order docs/verifier.md lists it.
const std::vector<Rule>& Rules();
// The rule of that name; a name the catalogue lacks stops the system (a platform fault).
const Rule& RuleNamed(std::string_view name);
// "Driver Verifier: IRQL checking", "house rule: ...": the kind and origin of a rule.
std::string SourceText(const Rule& rule);
const char* SourceName(Source source);

// The image of the driver this project builds (the one the host loaded):
// house rules apply to its code and the locks it created. Any address inside
// the image names it; nullptr forgets it (the image was unmapped).
void SetHouseImage(const void* anyAddressInImage);
// Whether code at this address (a return address) belongs to that image.
bool IsHouseCode(const void* address);

using Reporter = std::function<void(std::vector<std::string>& findings)>;

// Registers a reporter for as long as the returned id is not removed. Its
// findings are reported under the catalogue's rule of that name, which says
// where each comes from.
int AddReporter(std::string ruleName, Reporter reporter);
void RemoveReporter(int id);

struct Report {
    std::vector<std::string> findings;  // "<finding> [<source>]"
    bool Clean() const { return findings.empty(); }
    std::string Text() const;  // "verifier: clean" or one finding per line
};

Report Check();

// The report taken when the driver was last unloaded.
const Report& LastUnloadReport();
void SetLastUnloadReport(Report report);

}  // namespace plat::verifier
