/*
 * tvrx-sim: boots a simulated machine, loads the driver and drives firmware,
 * clients and power transitions from a script, an interactive shell, or the
 * guided tour.
 *
 *   tvrx-sim demo  [options]          the guided tour
 *   tvrx-sim run   SCRIPT [options]   exit 0 when every expectation held, 1 otherwise, 2 on a usage or script error
 *   tvrx-sim shell [options]          interactive, with line editing and history
 *   tvrx-sim check --firmware FILE... a report on the firmware: exit 0 when no check failed, 1 when one did,
 *                                     2 when the firmware cannot be loaded
 *   tvrx-sim devfund [--test NAME]... [--seed N] [--minutes M] [--json]
 *                                     the lab's tests before the lab: exit 0 when all passed, 1 when one failed
 */
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "check.h"
#include "demo.h"
#include "devfund.h"
#include "script.h"
#include "session.h"
#include "shell.h"
#include "wpp/wpp.h"

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// Why the file cannot be read as a file of bytes, or "" when it can.
std::string Unreadable(const std::string& path)
{
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        return "it is a directory";
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::strerror(errno);
    }
    return {};
}

bool ParseTrace(const std::string& text, sim::Options* options, std::string* error)
{
    static const std::pair<const char*, UCHAR> levels[] = {
        {"error", 2}, {"warning", 3}, {"info", 4}, {"verbose", 5}};
    std::string level = text.substr(0, text.find(':'));
    ULONG flags = 0xFFFFFFFFu;
    if (size_t colon = text.find(':'); colon != std::string::npos) {
        uint64_t value;
        if (!sim::ParseNumber(text.substr(colon + 1), &value) || value > 0xFFFFFFFFu) {
            *error = "--trace: flags '" + text.substr(colon + 1) + "' are not a number";
            return false;
        }
        flags = static_cast<ULONG>(value);
    }
    for (const auto& [name, value] : levels) {
        if (level == name) {
            options->liveTrace = std::make_pair(value, flags);
            return true;
        }
    }
    *error = "--trace: level must be error, warning, info or verbose, not '" + level + "'";
    return false;
}

bool ParseMemory(const std::vector<std::string>& items, sim::Options* options, std::string* error)
{
    for (const std::string& item : items) {
        size_t equals = item.find('=');
        uint64_t address;
        if (equals == std::string::npos || !sim::ParseNumber(item.substr(0, equals), &address) ||
            equals + 1 == item.size()) {
            *error = "--memory: expected ADDR=FILE, not '" + item + "'";
            return false;
        }
        std::string file = item.substr(equals + 1);
        if (std::string reason = Unreadable(file); !reason.empty()) {
            *error = "--memory: cannot read " + file + ": " + reason;
            return false;
        }
        options->memory.emplace_back(address, file);
    }
    return true;
}

// The machine's clock runs R machine seconds per real second: any finite R above 0.
bool ParseClockRate(const std::string& text, sim::Options* options, std::string* error)
{
    char* end = nullptr;
    errno = 0;
    double rate = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(rate) || rate <= 0) {
        *error = "--clock-rate: expected machine seconds per real second, a number above 0, not '" + text + "'";
        return false;
    }
    options->clockRate = rate;
    return true;
}

int RunScript(const std::string& path, sim::Options options)
{
    if (std::string reason = Unreadable(path); !reason.empty()) {
        std::cerr << "tvrx-sim: cannot read script " << path << ": " << reason << "\n";
        return kExitUsage;
    }
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::vector<sim::Command> commands;
    sim::ParseError error;
    if (!sim::ParseScript(text.str(), path, &commands, &error)) {
        std::cerr << "tvrx-sim: " << error.Text() << "\n";
        return kExitUsage;
    }
    sim::Simulation simulation(std::move(options), std::cout);
    for (const sim::Command& command : commands) {
        simulation.Execute(command);
    }
    if (simulation.Failures() > 0) {
        if (simulation.Json()) {
            std::cout << nlohmann::ordered_json{{"failed", simulation.Failures()}}.dump() << "\n";
        } else {
            std::cout << simulation.Failures() << " expectation(s) failed\n";
        }
        return kExitFailed;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"tvrx-sim: the Tavrix device-mode driver on a simulated machine"};
    app.set_version_flag("--version", "tvrx-sim " TVRX_VERSION);  // the project's VERSION file
    app.require_subcommand(1);

    sim::Options options;
    std::string trace;
    std::vector<std::string> memory;
    std::string bios;
    std::string clockRate;
    auto common = [&](CLI::App* command) {
        command->add_option("--machine", options.machineFolder,
                            "machine folder (registry.reg, C/ drive, ...) kept between runs; default: a fresh temporary one");
        command->add_option("--firmware", options.firmwareFile,
                            "ASL (.asl/.dsl) or AML (.aml) tables executed by ACPICA; default: the embedded native model");
        command->add_option("--memory", memory, "physical memory contents at ADDR (repeatable): ADDR=FILE");
        command->add_option("--bios-version", bios, "the BIOSVersion the machine reports");
        command->add_option("--trace", trace, "show driver traces live: LEVEL[:FLAGS], LEVEL error|warning|info|verbose");
        command->add_flag("--json", options.json, "one JSON object per command result instead of text");
        command->add_option("--clock-rate", clockRate,
                            "machine seconds per real second, above 0 (time-outs run faster); default 1");
        command->add_flag("--acpi-cancel", options.acpiCancel,
                          "the ACPI driver ends an evaluation when the driver's time-out cancels it; default: an "
                          "evaluation runs to its end and the driver waits for it");
    };
    CLI::App* demo = app.add_subcommand("demo", "the guided tour");
    CLI::App* run = app.add_subcommand("run", "run a script");
    CLI::App* shell = app.add_subcommand("shell", "interactive: the same commands, with line editing and history");
    std::string script;
    run->add_option("SCRIPT", script, "the script to run")->required();
    common(demo);
    common(run);
    common(shell);
    CLI::App* check = app.add_subcommand("check", "a report on a firmware: what the driver does with it, check by check");
    std::vector<std::string> tables;
    check->add_option("--firmware", tables,
                      "ASL (.asl/.dsl) or AML tables, or an acpidump text file (repeatable: the DSDT first, then SSDTs)")
        ->required();
    check->add_option("--memory", memory, "physical memory contents at ADDR (repeatable): ADDR=FILE");
    check->add_flag("--json", options.json, "the report as one JSON document");

    CLI::App* devfund = app.add_subcommand(
        "devfund", "the lab's tests before the lab: fuzzing, Plug and Play, sleep, ended clients, all at once");
    sim::devfund::Options lab;
    uint64_t seed = 0;
    double minutes = 0;
    devfund->add_option("--test", lab.tests, "run only this test (repeatable): " + [] {
        std::string names;
        for (const std::string& name : sim::devfund::TestNames()) {
            names += (names.empty() ? "" : ", ") + name;
        }
        return names;
    }());
    CLI::Option* seedOption = devfund->add_option("--seed", seed, "the seed of every test's inputs; default: a random one, printed");
    CLI::Option* minutesOption = devfund->add_option(
        "--minutes", minutes, "machine minutes of the concurrent test (the timed fuzz and stress tests get an eighth each); default: a short run");
    devfund->add_flag("--json", lab.json, "one JSON object per test");

    // CLI11 reports a word it does not know only as a missing subcommand.
    if (argc > 1 && argv[1][0] != '-') {
        std::string first = argv[1];
        if (first != "demo" && first != "run" && first != "shell" && first != "check" && first != "devfund") {
            std::cerr << "tvrx-sim: unknown subcommand '" << first
                      << "' (demo, run, shell, check or devfund; --help says more)\n";
            return kExitUsage;
        }
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? 0 : kExitUsage;
    }

    std::string error;
    if ((!trace.empty() && !ParseTrace(trace, &options, &error)) || !ParseMemory(memory, &options, &error) ||
        (!clockRate.empty() && !ParseClockRate(clockRate, &options, &error))) {
        std::cerr << "tvrx-sim: " << error << "\n";
        return kExitUsage;
    }
    if (!bios.empty()) {
        options.biosVersion = bios;
    }
    for (const std::string& table : tables) {
        options.firmwareTables.push_back(table);
    }
    if (!tables.empty()) {
        options.firmwareFile = tables.front();
    }

    if (*devfund) {
        if (*seedOption) {
            lab.seed = seed;
        }
        if (*minutesOption) {
            lab.minutes = minutes;
        }
        return sim::devfund::Run(lab, std::cout, std::cerr);
    }
    try {
        if (*check) {
            return sim::RunCheck(options, std::cout, std::cerr);
        }
        if (*run) {
            return RunScript(script, std::move(options));
        }
        if (*shell) {
            return sim::RunShell(std::move(options));
        }
        return sim::RunDemo(std::move(options), std::cout);
    } catch (const std::exception& e) {
        std::cerr << "tvrx-sim: " << e.what() << "\n";
        return kExitUsage;
    }
}
