/*
 * Firmware from real ACPI tables: ASL compiled with iasl, the AML executed by
 * the AML debugger acpiexec, which runs beside the machine for the firmware's
 * whole life and is spoken to through its command line.
 *
 * Devices() lists every Device of the loaded tables (read once with the
 * debugger's "objects Device", their _HID, _CID, _UID and _STA evaluated on
 * each call); the ACPI driver enumerates from it and evaluates the methods of
 * the device it enumerated by path. Notify on any Device reaches the notify
 * sink with that device's path.
 *
 * For tools and tests, DevicePath() names the device the firmware's own
 * conventions are read from: the first whose _HID or _CID is TVRX0001, else
 * the first that has a _DSM method at all. It binds nothing: which device the
 * driver gets is the ACPI driver's enumeration and the INF's hardware ID.
 * What a firmware offers beyond _DSM (firmware/README.md has the details):
 *   SMOD(mode)  a method that stores the device mode and raises Notify(device, 0x80)
 *   BVER        a String (Name or Method): the BIOS version; else one derived from the AML
 *   SART        a Buffer (Name or Method): the SAR table, placed in physical memory at
 *               the address _DSM function 3 reports when the machine takes the firmware
 * A Notify that the AML raises on a Device reaches the notify sink with its
 * path; Notify on other nodes (a scope, a processor) is recorded only.
 *
 * Commands to the debugger run one at a time, in the order they were asked.
 * An answer that takes longer than the reply time-out fails with
 * STATUS_IO_TIMEOUT (the debugger finishes that command in its own time); once
 * the debugger has died every evaluation fails with STATUS_DEVICE_NOT_CONNECTED.
 * A caller waiting for an answer reads the debugger's output itself; while
 * none waits, a thread of the firmware's own reads it, so a Notify the
 * debugger prints after the command that raised it has ended (its handler
 * thread ran late) reaches the sink at once rather than with the next
 * command, or never.
 */
#pragma once
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "firmware/acpiexec_parse.h"
#include "firmware/firmware.h"

namespace plat {

class CoProcess;

// How an AcpicaFirmware runs its tools.
struct AcpicaOptions {
    // How long one debugger command may take before its caller gives up.
    std::chrono::milliseconds replyTimeout{10000};
    // How long starting the debugger and finding the device may take.
    std::chrono::milliseconds startTimeout{20000};
    // Seconds after which the debugger aborts an AML While loop (a hung firmware).
    unsigned loopTimeoutSeconds = 5;
    // How long one AML Sleep may last. The interpreter cuts each to 2 s, which
    // Windows does not; the preloaded library raises the cut to this.
    std::chrono::milliseconds longestSleep{10000};
    // The debugger's address space: a firmware that builds huge objects has
    // its evaluation fail (AE_NO_MEMORY) rather than the machine run short.
    size_t debuggerMemory = size_t(1) << 30;
    // The tools; names are looked up on PATH.
    std::string compiler = "iasl";
    std::string debugger = "acpiexec";
    // A library preloaded into the debugger that drops its fixed 10 ms wait
    // after each command (firmware/acpiexec_preload.c); empty, or a file that
    // does not exist: none, and every evaluation takes 10 ms longer.
    std::string preload = DefaultPreload();
    // A firmware with neither a device named TVRX0001 nor any device that has
    // a _DSM fails to load; when this is false it loads with DevicePath()
    // empty (for tools that report on the firmware).
    bool requireDevice = true;

    static std::string DefaultPreload();
};

class AcpicaFirmware : public Firmware {
public:
    using Options = AcpicaOptions;

    // Loads a firmware: .asl and .dsl files are compiled, a text dump of a
    // machine's tables (acpidump's output) gives its DSDT and SSDTs, anything
    // else is taken as AML. Several files make one namespace (a DSDT and SSDTs),
    // loaded in the order given.
    // Throws std::runtime_error with a readable reason: a tool missing, a file
    // missing, the compiler's first errors (naming file and line), the
    // debugger failing to load the tables, or no device with a _DSM.
    explicit AcpicaFirmware(const std::filesystem::path& file, Options options = Options());
    AcpicaFirmware(const std::vector<std::filesystem::path>& files, Options options);
    ~AcpicaFirmware() override;  // stops the debugger; evaluations still waiting fail

    // True when the compiler and the debugger (and stdbuf, to read it line by line) are installed.
    static bool ToolsAvailable(const Options& options = Options());

    std::vector<FirmwareDevice> Devices() override;
    // Evaluates a method of a device ("_DSM", or a relative path such as "CHLD._STA").
    // Argument limits of the debugger: no empty Buffer, String or Package, Strings
    // of printable characters without quotes or backslashes (else STATUS_INVALID_PARAMETER).
    // A path that names no Device of the tables: STATUS_NO_SUCH_DEVICE.
    NTSTATUS Evaluate(const std::string& device, const std::string& method, const std::vector<AcpiObject>& args,
                      AcpiObject* result) override;
    // The same on DevicePath() (STATUS_NO_SUCH_DEVICE when it is empty).
    NTSTATUS Evaluate(const std::string& method, const std::vector<AcpiObject>& args, AcpiObject* result);
    std::string BiosVersion() const override;
    // Places SART at the address _DSM function 3 reports, when the firmware has both.
    void Attach(Hardware& machine) override;

    // Evaluates SMOD(mode) on DevicePath(): the firmware stores the mode and raises
    // Notify(0x80). STATUS_OBJECT_NAME_NOT_FOUND when the firmware has no SMOD.
    NTSTATUS SetDeviceMode(uint8_t mode);
    // Raises Notify(value) on DevicePath() through the debugger (no AML needed).
    NTSTATUS RaiseNotify(ULONG value);
    void SetBiosVersion(std::string version);

    static constexpr const char* kHardwareId = "TVRX0001";  // what DevicePath() looks for

    // A Notify the AML raised, on the device or on any other node.
    struct Notification {
        std::string node;  // the node's four-character name
        ULONG value = 0;
        bool onDevice = false;  // it was raised on DevicePath()
        std::string path;       // the Device it was raised on; empty: not a Device (it reached no sink)
    };
    // The latest Notify reports (at most 64), oldest first.
    std::vector<Notification> Notifications() const;
    // How many Notify reports there have been since the firmware was loaded.
    uint64_t NotificationCount() const;
    // Where the last evaluation that failed in the AML stopped, as the
    // debugger says it: "\_SB.DEV._DSM at AML offset 0x6, While (One) {}"
    // (empty when none has failed, or the debugger did not say).
    std::string LastFailure() const;

    const std::string& DevicePath() const { return devicePath_; }  // empty: none
    std::vector<uint8_t> SarTable() const;  // empty when the firmware has no SART
    bool SarPlaced() const;                 // SART is in the attached machine's memory
    // The compiler's warnings and remarks on the ASL files, in file order.
    const std::vector<acpiexec::CompilerMessage>& CompilerMessages() const { return compilerMessages_; }
    // What the compiler and the debugger printed while loading (for diagnostics).
    const std::string& LoadLog() const { return loadLog_; }
    // True when an AML Sleep keeps its full length (up to longestSleep); false
    // when the interpreter still cuts it to 2 s (no preloaded library, or a
    // debugger whose code it does not know).
    bool FullLengthSleep() const { return fullLengthSleep_; }
    // The debugger's process id (diagnostics, and tests that make it die).
    pid_t DebuggerPid() const;

private:
    struct Reply {
        bool done = false;
        std::string text;
    };

    void Start(const std::vector<std::filesystem::path>& files);
    std::vector<std::string> PrepareTables(const std::vector<std::filesystem::path>& files);
    std::string Compile(const std::filesystem::path& source);
    static bool IsTableDump(const std::filesystem::path& file);
    std::vector<std::string> Extract(const std::filesystem::path& dump);
    void ReadNamespace();
    FirmwareDevice Describe(const std::string& device, const std::map<std::string, std::set<std::string>>& objectsOf,
                            const std::map<std::string, AcpiObject>& names);
    void ReadLoadedObjects();

    // Sends one command and waits for everything it printed.
    NTSTATUS Command(const std::string& command, std::string* output, std::chrono::milliseconds timeout);
    NTSTATUS EvaluatePath(const std::string& path, const std::string& arguments, AcpiObject* result,
                          bool* returned, std::chrono::milliseconds timeout);
    // Reads what the debugger wrote, waiting for it up to the limit (0: only
    // what is there), and takes every whole line; false when nothing came.
    // Only the holder of reading_ calls it.
    bool ReadOutput(std::chrono::milliseconds limit);
    void StartIdleReader();
    void StopIdleReader();
    // The idle reader's thread: reads while no caller waits for an answer.
    void ReadWhileIdle();
    // With lock_ held: a caller starts or stops waiting for an answer.
    void AddReply(uint64_t id);
    void ForgetReply(uint64_t id);
    void TakeLine(std::string line);

    Options options_;
    std::string name_;  // the first file's name, for messages
    std::filesystem::path workFolder_;
    std::string loadLog_;
    std::string debuggerLog_;  // the debugger's part of it
    uint32_t amlHash_ = 0;
    unsigned compiled_ = 0;
    std::unique_ptr<CoProcess> debugger_;

    // The namespace's Devices, fixed once read: paths in namespace order, the
    // debugger's node address of each (Notify lines name a node by it), and
    // which of them have each identification object.
    std::vector<std::string> devices_;
    std::map<uint64_t, std::string> devicesByNode_;
    std::map<std::string, std::set<std::string>> objectsOf_;  // "_HID" -> devices that have one
    std::map<std::string, AcpiObject> names_;  // "\\_SB.TVRX._HID" -> the value of an Integer or String Name
    std::string devicePath_;
    uint64_t deviceNode_ = 0;

    mutable std::mutex lock_;
    std::condition_variable replied_;
    std::mutex writeLock_;  // keeps a command and its end marker together, and the ids in the order written
    bool markedByPreload_ = false;  // the preloaded library marks the end of each answer
    uint64_t linesWritten_ = 0;     // command lines sent, with the preloaded library
    uint64_t nextCommand_ = 1;
    std::map<uint64_t, Reply> replies_;  // commands whose callers still wait
    std::string pending_;                // output since the last end marker
    std::string partialLine_;            // a line cut by a Notify report
    bool dead_ = false;
    bool reading_ = false;               // a caller (or the idle reader) is reading the debugger's output
    // What the idle reader waits on (an epoll set): wake_, and the debugger's
    // output while no caller waits for an answer.
    int idleWait_ = -1;
    int wake_ = -1;                      // an eventfd: the idle reader is to end
    bool stopping_ = false;
    std::thread idleReader_;
    std::string readLine_;               // the line being read (the reading caller's)
    std::string marker_;                 // the end-marker command, unique to this firmware
    std::string biosVersion_;
    std::vector<Notification> notifications_;
    std::vector<uint8_t> sarTable_;
    bool sarPlaced_ = false;
    bool fullLengthSleep_ = false;
    uint64_t notificationCount_ = 0;
    std::vector<acpiexec::CompilerMessage> compilerMessages_;
    std::string lastFailure_;
};

}  // namespace plat
