/* The verifier's leak report: every registered subsystem lists what it still holds. */
#include "base/verifier.h"

#include <map>
#include <mutex>

namespace plat::verifier {
namespace {

struct Registry {
    std::mutex lock;
    int nextId = 1;
    std::map<int, std::pair<std::string, Reporter>> reporters;
    Report lastUnload;
};

Registry& Reporters()
{
    static Registry registry;
    return registry;
}

}  // namespace

int AddReporter(std::string name, Reporter reporter)
{
    Registry& r = Reporters();
    std::lock_guard<std::mutex> guard(r.lock);
    int id = r.nextId++;
    r.reporters.emplace(id, std::make_pair(std::move(name), std::move(reporter)));
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
    std::vector<Reporter> reporters;
    {
        Registry& r = Reporters();
        std::lock_guard<std::mutex> guard(r.lock);
        for (auto& [id, entry] : r.reporters) {
            reporters.push_back(entry.second);
        }
    }
    Report report;
    for (const Reporter& reporter : reporters) {
        reporter(report.findings);
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
