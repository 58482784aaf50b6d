/*
 * A simulation: one machine (kept in a folder across reboots), the driver
 * on its host, the firmware, and named client processes. Commands of the
 * command language run against it; each prints one result line (or one JSON
 * object), and expectations compare the last results.
 */
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <ntddk.h>

#include "script.h"

namespace plat {
class Machine;
class Host;
class NativeFirmware;
class AcpicaFirmware;
class Firmware;
}  // namespace plat

namespace tvrx::harness {
class Rig;
}

namespace sim {

struct Options {
    std::filesystem::path machineFolder;  // empty: a temporary folder, removed at the end
    std::filesystem::path firmwareFile;   // empty: the embedded native model
    std::vector<std::filesystem::path> firmwareTables;  // check: every table file, firmwareFile first
    std::vector<std::pair<uint64_t, std::filesystem::path>> memory;
    std::optional<std::string> biosVersion;
    std::optional<std::pair<UCHAR, ULONG>> liveTrace;  // level, flags
    bool json = false;
    double clockRate = 1.0;
    bool acpiCancel = false;  // the ACPI driver completes a cancelled evaluation at once
};

class Simulation {
public:
    // Creates the machine; throws std::runtime_error with a clear message for a
    // damaged machine folder, a bad firmware file or a bad memory file.
    Simulation(Options options, std::ostream& out);
    ~Simulation();
    Simulation(const Simulation&) = delete;
    Simulation& operator=(const Simulation&) = delete;

    // Runs one command and prints its result. False when it was an expectation that failed.
    bool Execute(const Command& command);

    // Expectations that failed so far.
    int Failures() const { return failures_; }

    // For the guided tour.
    plat::Machine& Machine() { return *machine_; }
    plat::Host& Host() { return *host_; }
    const std::filesystem::path& Folder() const { return folder_; }
    std::ostream& Out() { return out_; }
    bool Json() const { return options_.json; }

private:
    struct Client;
    struct Last;
    struct Request;
    struct Blocked;

    void CreateMachine();
    void DestroyMachine();
    Client& ClientNamed(const std::string& name);
    // False when work items were left waiting on the firmware.
    bool Settle();
    bool DeviceInD0();
    // Work items of the driver wait on a firmware that does not answer, and
    // the ACPI driver does not cancel their evaluations.
    bool WorkWaitsOnFirmware();
    // Runs a lifecycle step that may wait on the firmware on a thread of its
    // own; true with its status when it returned, false when it waits on the
    // firmware (it is then blocked_ and completes after a later command).
    bool RunOrBlock(const Command& command, std::function<NTSTATUS()> step, NTSTATUS* status);
    void ReportUnblocked(const Command& command);
    void ReleaseFirmwareAtEnd();

    // heldSince: for the completion of a held request, the line that sent it.
    void Print(const Command& command, const std::string& subject, NTSTATUS status, ULONG_PTR information,
               bool haveInformation, const std::string& reply, const std::string& jsonReply, int heldSince = 0);
    void Note(const Command& command, const std::string& text);
    bool Fail(const Command& command, const std::string& expected, const std::string& actual);

    // The handlers of the verbs: the command table (script.cpp) names them.
    friend struct CommandTable;
    bool Lifecycle(const Command& command);
    bool FailNext(const Command& command);
    bool Firmware(const Command& command);
    bool ClientCommand(const Command& command);
    bool WatchCommand(const Command& command);
    bool Help(const Command& command);
    // Prints the notifications the watching clients heard during the
    // command, in the order they came, once all have been delivered.
    void ReportNotifications(const Command& command);
    bool RequestCommand(const Command& command);
    void Finish(Request& request, const Command* completedDuring);
    void ReportCompletions(const Command& command);
    void EndPending();
    bool Show(const Command& command);
    void ShowDevices(std::ostream& text);
    bool Expect(const Command& command);

    Options options_;
    std::ostream& out_;
    std::filesystem::path folder_;
    bool ownsFolder_ = false;
    std::unique_ptr<tvrx::harness::Rig> rig_;
    plat::Machine* machine_ = nullptr;  // the rig's, while there is one
    plat::Host* host_ = nullptr;
    std::shared_ptr<plat::Firmware> firmware_;
    std::shared_ptr<plat::NativeFirmware> native_;
    std::shared_ptr<plat::AcpicaFirmware> acpica_;
    std::map<std::string, std::unique_ptr<Client>> clients_;
    std::unique_ptr<Last> last_;
    std::vector<std::unique_ptr<Request>> pending_;  // held by the device, in the order sent
    std::unique_ptr<Blocked> blocked_;               // a lifecycle command waiting on the firmware
    std::vector<std::string> liveTrace_;
    int failures_ = 0;
};

}  // namespace sim
