/*
 * The guided tour: each step says in plain words what is about to happen,
 * runs it through the same commands a script would use, and checks that it
 * happened (the tour's exit status says whether it all held).
 */
#include "demo.h"

#include "firmware/native.h"
#include <filesystem>

#include "system/machine.h"

namespace sim {
namespace {

class Tour {
public:
    Tour(Simulation& simulation, std::ostream& out) : sim_(simulation), out_(out) {}

    void Say(const std::string& text) { out_ << "\n== " << text << "\n"; }
    void Tell(const std::string& text) { out_ << "   " << text << "\n"; }

    // Runs one line of the command language (echoed as "> line").
    void Do(const std::string& line)
    {
        out_ << "> " << line << "\n";
        ParseError error;
        std::optional<Command> command = ParseLine(line, "demo", ++line_, &error);
        if (!error.message.empty()) {
            out_ << error.Text() << "\n";
            ++problems_;
            return;
        }
        if (command && !sim_.Execute(*command)) {
            ++problems_;
        }
    }

    void Problem() { ++problems_; }
    int Problems() const { return problems_ + sim_.Failures(); }

private:
    Simulation& sim_;
    std::ostream& out_;
    int line_ = 0;
    int problems_ = 0;
};

// When the export file was last written (the epoch when there is none).
std::filesystem::file_time_type ExportTime(Simulation& simulation)
{
    std::error_code ec;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(simulation.Machine().DriveRoot(), ec)) {
        if (entry.path().filename() == "bios_sar.flz") {
            return std::filesystem::last_write_time(entry.path(), ec);
        }
    }
    return {};
}

}  // namespace

int RunDemo(Options options, std::ostream& out)
{
    options.json = false;
    Simulation simulation(options, out);
    Tour tour(simulation, out);
    out << "tvrx-sim guided tour: the Tavrix device-mode driver on a simulated machine\n"
        << "machine folder: " << simulation.Folder().string() << "\n";

    tour.Say("The driver loads, the device is added and started");
    tour.Tell("At start the driver takes the ACPI interface, asks _DSM which functions the firmware supports,");
    tour.Tell("reads the current device mode and the three device-mode tables:");
    tour.Do("boot");
    tour.Do("expect status STATUS_SUCCESS");
    tour.Do("show state");

    tour.Say("The BIOS is new to this machine, so the SAR table is exported");
    tour.Tell("The firmware says where its SAR table lies in physical memory; the driver copies it to a file");
    tour.Tell("and records the outcome and the BIOS version in the registry:");
    tour.Do("show export");
    tour.Do("show registry");
    tour.Do("expect registry BiosSarState 1");

    tour.Say("A client opens the device and registers an event");
    tour.Do("open A");
    tour.Do("set-event A");
    tour.Do("expect status STATUS_SUCCESS");
    tour.Do("entry A");

    tour.Say("The firmware moves through device modes; each time the client wakes and reads its entry");
    for (const char* mode : {"2", "3", "0"}) {
        tour.Do(std::string("mode ") + mode);
        tour.Do("wait A");
        tour.Do("expect signaled");
        tour.Do("entry A");
        tour.Do(std::string("expect status STATUS_SUCCESS"));
    }

    tour.Say("The client changes the regulatory type: every client is woken, and entries come from table 1");
    tour.Do("regulatory A 1");
    tour.Do("wait A");
    tour.Do("expect signaled");
    tour.Do("entry A");
    tour.Do("table A 1");
    tour.Tell("An invalid regulatory type is refused and wakes nobody:");
    tour.Do("regulatory A 7");
    tour.Do("expect status STATUS_INVALID_USER_BUFFER");
    tour.Do("wait A 100");
    tour.Do("expect timeout");

    tour.Say("The machine sleeps and resumes");
    tour.Tell("While the device is out of D0 its notification handler is unregistered, so a mode change is not seen:");
    tour.Do("sleep");
    tour.Do("mode 2");
    tour.Do("wait A 100");
    tour.Do("expect timeout");
    tour.Tell("After resume notifications work again (new opens stay refused until the next start):");
    tour.Do("resume");
    tour.Do("mode 1");
    tour.Do("wait A");
    tour.Do("expect signaled");
    tour.Do("entry A");
    tour.Do("close A");

    tour.Say("A second boot of the same machine: the BIOS is unchanged, so nothing is exported again");
    std::filesystem::file_time_type exported = ExportTime(simulation);
    tour.Do("reboot");
    tour.Do("expect status STATUS_SUCCESS");
    tour.Do("show registry");
    tour.Do("expect registry BiosSarState 1");
    if (ExportTime(simulation) == exported && exported != std::filesystem::file_time_type()) {
        tour.Tell("The export file was not written again: BiosInfo matches the running BIOS.");
    } else {
        tour.Tell("The export file was written again, which it should not have been.");
        tour.Problem();
    }

    tour.Say("The driver unloads; the verifier checks that nothing was left behind");
    tour.Do("unload");
    tour.Do("expect verifier clean");

    int problems = tour.Problems();
    out << "\n" << (problems == 0 ? "The tour ran as told." : std::to_string(problems) + " step(s) did not behave as told.")
        << "\n";
    return problems == 0 ? 0 : 1;
}

}  // namespace sim
