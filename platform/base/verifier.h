/*
 * The verifier. Rules broken during a run stop the system at once (see
 * base/bugcheck.h); resources left behind are found on demand and at unload:
 * pool by tag, framework objects, object references, kernel handles,
 * interface references. Each subsystem registers a reporter that lists what
 * it still holds.
 */
#pragma once
#include <functional>
#include <string>
#include <vector>

namespace plat::verifier {

using Reporter = std::function<void(std::vector<std::string>& findings)>;

// Registers a reporter for as long as the returned id is not removed.
int AddReporter(std::string name, Reporter reporter);
void RemoveReporter(int id);

struct Report {
    std::vector<std::string> findings;
    bool Clean() const { return findings.empty(); }
    std::string Text() const;  // "verifier: clean" or one finding per line
};

Report Check();

// The report taken when the driver was last unloaded.
const Report& LastUnloadReport();
void SetLastUnloadReport(Report report);

}  // namespace plat::verifier
