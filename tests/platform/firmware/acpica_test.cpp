// Firmware from ASL tables run by the AML debugger: answers, notifications,
// start-up errors, a stuck or dead debugger, and the parser of its output.
#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <signal.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "firmware/acpica.h"
#include "firmware/acpiexec_parse.h"
#include "firmware/coprocess.h"
#include "firmware/native.h"
#include "machine/physmem.h"
#include "machine/hardware.h"

namespace plat {
inline void PrintTo(const AcpiObject& object, std::ostream* os)
{
    *os << object.Text();
}
}  // namespace plat

namespace {

using plat::AcpicaFirmware;
using plat::AcpiObject;
using ::testing::HasSubstr;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

const fs::path kSample = fs::path(TVRX_SOURCE_DIR) / "firmware" / "tavrix-sample.asl";

AcpiObject I(uint64_t value)
{
    return AcpiObject::Integer(value);
}

AcpiObject P(std::vector<AcpiObject> elements)
{
    return AcpiObject::Package(std::move(elements));
}

std::vector<AcpiObject> DsmArgs(uint64_t function, AcpiObject argument = I(0))
{
    std::vector<uint8_t> uuid(plat::NativeFirmware::kDsmUuid, plat::NativeFirmware::kDsmUuid + 16);
    return {AcpiObject::Buffer(uuid), I(0), I(function), std::move(argument)};
}

AcpiObject Dsm(AcpicaFirmware& firmware, uint64_t function, AcpiObject argument = I(0))
{
    AcpiObject result;
    EXPECT_EQ(firmware.Evaluate("_DSM", DsmArgs(function, std::move(argument)), &result), STATUS_SUCCESS);
    return result;
}

// Notifications on one device as the sink receives them, on the debugger's reader thread.
class NotifyLog {
public:
    explicit NotifyLog(AcpicaFirmware& firmware) : NotifyLog(firmware, firmware.DevicePath()) {}
    NotifyLog(plat::Firmware& firmware, std::string device)
    {
        firmware.SetNotifySink([this, device](const std::string& path, ULONG value) {
            if (path != device) {
                return;
            }
            std::lock_guard<std::mutex> guard(lock_);
            values_.push_back(value);
            changed_.notify_all();
        });
    }
    std::vector<ULONG> WaitFor(size_t count)
    {
        std::unique_lock<std::mutex> guard(lock_);
        changed_.wait_for(guard, 5s, [&] { return values_.size() >= count; });
        return values_;
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<ULONG> values_;
};

class Acpica : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!AcpicaFirmware::ToolsAvailable()) {
            GTEST_SKIP() << "iasl and acpiexec are not installed";
        }
        std::string pattern = (fs::temp_directory_path() / "tvrx-acpica-test-XXXXXX").string();
        folder_ = mkdtemp(pattern.data());
    }
    void TearDown() override
    {
        if (!folder_.empty()) {
            fs::remove_all(folder_);
        }
    }

    // An ASL file in the test's folder; body goes inside Scope (\_SB).
    fs::path Asl(const std::string& name, const std::string& body)
    {
        fs::path file = folder_ / name;
        std::ofstream(file) << "DefinitionBlock (\"\", \"SSDT\", 2, \"TVRX\", \"TEST\", 1)\n{\n"
                               "    Scope (\\_SB)\n    {\n"
                            << body << "\n    }\n}\n";
        return file;
    }

    std::string LoadError(const fs::path& file)
    {
        try {
            AcpicaFirmware firmware(file);
        } catch (const std::runtime_error& error) {
            return error.what();
        }
        return "(loaded)";
    }

    fs::path folder_;
};

// A device that answers the driver's function 0 and has a slow method.
const char kSlowDevice[] = R"(
        Device (TVRX)
        {
            Method (_DSM, 4) { Return (One) }
            Method (SLOW, 1) { Sleep (Arg0)
                Return (0x51) }
        })";

TEST_F(Acpica, SampleAnswersTheDriversFunctionsInTheirLayouts)
{
    AcpicaFirmware firmware(kSample);
    EXPECT_EQ(firmware.DevicePath(), "\\_SB.TVRX");
    EXPECT_EQ(Dsm(firmware, 0), I(0xF));
    EXPECT_EQ(Dsm(firmware, 1), I(1));
    EXPECT_EQ(Dsm(firmware, 2, I(2)),
              P({I(0x22), I(3),
                 P({I(3), P({I(1), I(180), I(172), I(164)}), P({I(3), I(160), I(150), I(140)}),
                    P({I(4), I(150), I(140), I(130)})})}));
    for (uint64_t index = 0; index < 3; ++index) {
        AcpiObject table = Dsm(firmware, 2, I(index));
        ASSERT_EQ(table.package.size(), 3u) << table.Text();
        EXPECT_EQ(table.package[0], I(0x20 + index));
        EXPECT_EQ(table.package[2].package.size(), table.package[1].integer + 1) << table.Text();
        // The usual _DSM habit of passing Package {index} selects the same table.
        EXPECT_EQ(Dsm(firmware, 2, P({I(index)})), table);
    }
    EXPECT_EQ(Dsm(firmware, 3), P({I(0x7FFD0000), I(64)}));

    // Anything the firmware does not know gets the customary Buffer {0}.
    EXPECT_EQ(Dsm(firmware, 4), AcpiObject::Buffer({0}));
    std::vector<AcpiObject> otherUuid = DsmArgs(0);
    otherUuid[0].buffer[0] ^= 1;
    AcpiObject result;
    EXPECT_EQ(firmware.Evaluate("_DSM", otherUuid, &result), STATUS_SUCCESS);
    EXPECT_EQ(result, AcpiObject::Buffer({0}));
    EXPECT_EQ(firmware.Evaluate("NONE", {}, &result), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(firmware.Evaluate("_DSM; quit", {}, &result), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(firmware.Evaluate("_DSM", {AcpiObject::Buffer({})}, &result), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(firmware.Evaluate("_DSM", {AcpiObject::Buffer(std::vector<uint8_t>(200, 0x41))}, &result),
              STATUS_INVALID_PARAMETER) << "a line the debugger would cut";
    EXPECT_EQ(Dsm(firmware, 1), I(1)) << "and the debugger still answers in step";
}

TEST_F(Acpica, SampleVersionAndSarTableReachTheMachine)
{
    plat::Hardware machine{plat::Hardware::Options{}};
    auto firmware = std::make_shared<AcpicaFirmware>(kSample);
    EXPECT_EQ(firmware->BiosVersion(), "TVRX-ASL 2.3.1 (2024-06-03)");
    std::vector<uint8_t> table = firmware->SarTable();
    ASSERT_EQ(table.size(), 64u);
    uint8_t sum = 0;
    for (uint8_t byte : table) {
        sum = uint8_t(sum + byte);
    }
    EXPECT_EQ(sum, 0) << "the sample's checksum";

    firmware->Attach(machine);
    EXPECT_TRUE(firmware->SarPlaced());
    EXPECT_EQ(machine.Memory().Read(0x7FFD0000, 64), table);
}

TEST_F(Acpica, ModeChangeAndNotifyReachOnlyTheDevicesSink)
{
    AcpicaFirmware firmware(kSample);
    NotifyLog log(firmware);
    EXPECT_EQ(firmware.SetDeviceMode(3), STATUS_SUCCESS);
    EXPECT_EQ(log.WaitFor(1), std::vector<ULONG>({0x80}));
    EXPECT_EQ(Dsm(firmware, 1), I(3));
    EXPECT_EQ(firmware.RaiseNotify(0x81), STATUS_SUCCESS);
    EXPECT_EQ(log.WaitFor(2), std::vector<ULONG>({0x80, 0x81}));

    // A second device with the same name elsewhere, and one with a _DSM for
    // another interface listed first: neither is the driver's device, and a
    // Notify on them reaches the sink under their own paths only.
    fs::path two = Asl("two.asl", R"(
        Device (AAAA)
        {
            Method (_DSM, 4) { Return (Buffer () { 0 }) }
            Device (TVRX) { Name (_HID, "TVRX0009") }
        }
        Device (TVRX)
        {
            Name (_HID, "TVRX0001")
            Method (_DSM, 4) { Return (0x0F) }
            Method (PING) { Notify (\_SB.AAAA, 0x80)
                Notify (\_SB.AAAA.TVRX, 0x80)
                Notify (\_SB, 0x80)
                Notify (TVRX, 0x82) }
        })");
    AcpicaFirmware other(two);
    EXPECT_EQ(other.DevicePath(), "\\_SB.TVRX");
    NotifyLog otherLog(other);
    AcpiObject result;
    EXPECT_EQ(other.Evaluate("PING", {}, &result), STATUS_SUCCESS);
    EXPECT_EQ(result, P({})) << "a method without a result gives no elements";
    EXPECT_EQ(other.RaiseNotify(0x83), STATUS_SUCCESS);
    EXPECT_EQ(otherLog.WaitFor(2), std::vector<ULONG>({0x82, 0x83}));
    EXPECT_EQ(other.SetDeviceMode(1), STATUS_OBJECT_NAME_NOT_FOUND) << "no SMOD in this firmware";
    EXPECT_THAT(other.BiosVersion(), HasSubstr("two.asl")) << "the default version names the firmware";
}

TEST_F(Acpica, LoadErrorsAreReadable)
{
    fs::path broken = Asl("broken.asl", "        Device (TVRX)\n        {\n            Name (_HID, \"TVRX0001\"\n        }");
    std::string message = LoadError(broken);
    EXPECT_THAT(message, HasSubstr("does not compile"));
    EXPECT_THAT(message, HasSubstr(broken.string() + "(8)")) << message;

    message = LoadError(Asl("none.asl", "        Device (OTHR) { Name (_HID, \"PNP0C0A\") }"));
    EXPECT_THAT(message, HasSubstr("no device"));
    EXPECT_THAT(message, HasSubstr("TVRX0001"));

    // A device whose function 0 lacks bit 0 is still the device: the driver is
    // to fail its start on it, as on a machine, rather than the firmware being
    // refused. Among several, the one with the driver's hardware id is taken,
    // whatever the others' _DSM answers.
    AcpicaFirmware wrong(Asl("wrong.asl", "        Device (DEVA) { Method (_DSM, 4) { Return (Zero) } }\n"
                                          "        Device (DEVB) { Name (_HID, \"TVRX0001\")\n"
                                          "            Method (_DSM, 4) { Return (0x0E) } }"));
    EXPECT_EQ(wrong.DevicePath(), "\\_SB.DEVB");
    AcpicaFirmware::Options optional;
    optional.requireDevice = false;
    AcpicaFirmware empty(folder_ / "none.asl", optional);
    EXPECT_EQ(empty.DevicePath(), "");
    AcpiObject result;
    EXPECT_EQ(empty.Evaluate("_DSM", DsmArgs(0), &result), STATUS_NO_SUCH_DEVICE);

    EXPECT_THAT(LoadError(folder_ / "missing.asl"), HasSubstr("not found"));

    // AML that is not a table makes the debugger stop at once.
    std::ofstream(folder_ / "junk.aml") << "not a table at all";
    EXPECT_THAT(LoadError(folder_ / "junk.aml"), HasSubstr("ended while loading " + (folder_ / "junk.aml").string()));

    // Compiled AML is taken as it is.
    std::string output;
    ASSERT_EQ(plat::RunProgram({"iasl", "-vs", "-p", (folder_ / "sample").string(), kSample.string()}, &output), 0)
        << output;
    AcpicaFirmware compiled(folder_ / "sample.aml");
    EXPECT_EQ(Dsm(compiled, 1), I(1));
}

// The interpreter cuts an AML Sleep to 2 s; Windows sleeps as long as asked,
// so with the preloaded library a Sleep (2100) lasts at least 2.1 s (a lower
// bound only: a sleep is never shorter than asked). Without the library the
// cut stays, and the firmware says so.
TEST_F(Acpica, ASleepLongerThanTheInterpretersCutKeepsItsLength)
{
    AcpicaFirmware firmware(Asl("slow.asl", kSlowDevice));
    ASSERT_TRUE(firmware.FullLengthSleep()) << "the debugger's cut of Sleep was not found";
    AcpiObject result;
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(firmware.Evaluate("SLOW", {I(2100)}, &result), STATUS_SUCCESS);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 2100ms) << "the Sleep was cut short";
    EXPECT_EQ(result, I(0x51));

    AcpicaFirmware::Options plain;
    plain.preload.clear();
    EXPECT_FALSE(AcpicaFirmware(Asl("plain.asl", kSlowDevice), plain).FullLengthSleep());
}

// A method that raises Notify without end starts a handler thread for each.
// The debugger keeps at most 16 alive, so the machine never runs out of
// threads; the method ends in an error, not at the loop's time-out or never.
TEST_F(Acpica, ANotifyStormStartsABoundedNumberOfThreads)
{
    AcpicaFirmware::Options options;
    options.loopTimeoutSeconds = 1;  // the storm runs a second, not the default five
    AcpicaFirmware firmware(Asl("storm.asl", R"(
        Device (TVRX)
        {
            Name (_HID, "TVRX0001")
            Method (_DSM, 4) { Return (One) }
            Method (SMOD, 1) { While (One) { Notify (TVRX, 0x80) } }
        })"),
                            options);
    std::atomic<bool> done{false};
    std::atomic<size_t> most{0};
    std::thread watcher([&] {
        fs::path tasks = "/proc/" + std::to_string(firmware.DebuggerPid()) + "/task";
        while (!done) {
            std::error_code error;
            size_t count = 0;
            for (fs::directory_iterator it(tasks, error), end; !error && it != end; it.increment(error)) {
                ++count;
            }
            most = std::max<size_t>(most, count);
            std::this_thread::sleep_for(1ms);
        }
    });
    EXPECT_NE(firmware.SetDeviceMode(2), STATUS_SUCCESS);
    done = true;
    watcher.join();
    EXPECT_GT(firmware.NotificationCount(), 8u);
    EXPECT_LE(most.load(), 20u) << "threads of the debugger at once";
    EXPECT_THAT(firmware.LastFailure(), HasSubstr("\\_SB.TVRX.SMOD"));
}

// A method that builds a package of 2^27 elements (1 GiB of pointers) fails
// at once against the debugger's memory cap, and the debugger answers on.
TEST_F(Acpica, AHugePackageFailsWithinTheDebuggersMemory)
{
    AcpicaFirmware firmware(Asl("huge.asl", R"(
        Device (TVRX)
        {
            Name (_HID, "TVRX0001")
            Method (_DSM, 4) { Return (One) }
            Method (HUGE, 0) { Local0 = Package (0x8000000) {}
                Return (Local0) }
        })"));
    AcpiObject result;
    EXPECT_EQ(firmware.Evaluate("HUGE", {}, &result), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Dsm(firmware, 0), I(1));
}

// The library preloaded into the debugger drops the debugger's own 10 ms wait
// after each command; a method's Sleep of the same 10 ms must still sleep
// (only a lower bound is asserted: a sleep is never shorter than asked).
// Without the library the debugger is driven the old way, with an end-marker
// command after each one; the answers and the Notify are the same.
TEST_F(Acpica, AmlSleepsKeepTheirTimeAndTheDebuggerRunsWithoutThePreload)
{
    fs::path file = Asl("sleep.asl", R"(
        Device (TVRX)
        {
            Name (_HID, "TVRX0001")
            Name (DMOD, One)
            Method (_DSM, 4) { Return (0x0F) }
            Method (NAP, 0) { Sleep (10)
                Return (0x10) }
            Method (SMOD, 1) { DMOD = Arg0
                Notify (TVRX, 0x80) }
        })");
    AcpicaFirmware fast(file);
    AcpiObject result;
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(fast.Evaluate("NAP", {}, &result), STATUS_SUCCESS);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 10ms) << "the method's Sleep (10) was skipped";
    EXPECT_EQ(result, I(0x10));

    AcpicaFirmware::Options plain;
    plain.preload.clear();
    AcpicaFirmware slow(file, plain);
    NotifyLog log(slow);
    EXPECT_EQ(Dsm(slow, 0), I(0xF));
    EXPECT_EQ(slow.SetDeviceMode(2), STATUS_SUCCESS);
    EXPECT_EQ(log.WaitFor(1), std::vector<ULONG>({0x80}));
    ASSERT_EQ(slow.Evaluate("DMOD", {}, &result), STATUS_SUCCESS);
    EXPECT_EQ(result, I(2));
}

// The debugger behind a filter that holds each Notify report until its
// output has paused for 200 ms: the command that raised the Notify has ended
// by then, as when the handler thread runs late on a busy machine (the
// preloaded library waits a second at most for handlers; without it the
// debugger waits 10 ms).
const char kLateNotifyDebugger[] = R"(#!/usr/bin/env bash
hold() {
    local line part= held=
    while :; do
        IFS= read -r -t 0.2 line
        case $? in
        0) line=$part$line
           part= ;;
        1) printf '%s%s' "$held" "$part$line"
           exit ;;
        *) part+=$line  # a pause, perhaps within a line
           printf '%s' "$held"
           held=
           continue ;;
        esac
        if [[ $line == *"Notify on ["* ]]; then
            held+="$line"$'\n'
        else
            printf '%s\n' "$line"
        fi
    done
}
exec acpiexec "$@" > >(hold) 2>&1
)";

// A Notify printed after its command's end reaches the sink with no further
// command to carry it, with the preloaded library and without; the commands
// after it still get their own answers.
TEST_F(Acpica, ANotifyPrintedAfterItsCommandReachesTheSinkUnasked)
{
    if (plat::FindProgram("bash").empty()) {
        GTEST_SKIP() << "bash is not installed";
    }
    fs::path debugger = folder_ / "late-notify-debugger";
    std::ofstream(debugger) << kLateNotifyDebugger;
    fs::permissions(debugger, fs::perms::owner_all, fs::perm_options::add);
    fs::path file = Asl("late.asl", R"(
        Device (TVRX)
        {
            Name (_HID, "TVRX0001")
            Name (DMOD, One)
            Method (_DSM, 4) { Return (0x0F) }
            Method (SMOD, 1) { DMOD = Arg0
                Notify (TVRX, 0x80) }
        })");
    for (bool preload : {true, false}) {
        SCOPED_TRACE(preload ? "with the preloaded library" : "without the preloaded library");
        AcpicaFirmware::Options options;
        options.debugger = debugger.string();
        if (!preload) {
            options.preload.clear();
        }
        AcpicaFirmware firmware(file, options);
        EXPECT_EQ(firmware.FullLengthSleep(), preload) << "the library is loaded into the debugger behind the filter";
        NotifyLog log(firmware);
        EXPECT_EQ(firmware.SetDeviceMode(2), STATUS_SUCCESS);
        EXPECT_EQ(log.WaitFor(1), std::vector<ULONG>({0x80}));
        AcpiObject result;
        ASSERT_EQ(firmware.Evaluate("DMOD", {}, &result), STATUS_SUCCESS);
        EXPECT_EQ(result, I(2));
        EXPECT_EQ(Dsm(firmware, 0), I(0xF));
        EXPECT_EQ(firmware.NotificationCount(), 1u);
    }
}

TEST_F(Acpica, StuckDebuggerTimesOutWithoutMixingAnswers)
{
    plat::AcpicaOptions options;
    options.replyTimeout = 500ms;
    AcpicaFirmware firmware(Asl("slow.asl", kSlowDevice), options);
    AcpiObject result;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(firmware.Evaluate("SLOW", {I(1500)}, &result), STATUS_IO_TIMEOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1400ms) << "the caller did not wait for the method";

    // Later commands wait behind the slow one; each gets its own answer or
    // none, never SLOW's 0x51.
    NTSTATUS status;
    do {
        result = AcpiObject();
        status = firmware.Evaluate("_DSM", DsmArgs(0), &result);
        EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_IO_TIMEOUT) << std::hex << status;
    } while (status == STATUS_IO_TIMEOUT && std::chrono::steady_clock::now() - start < 10s);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(result, I(1));
}

// An evaluation in flight when the debugger or the firmware goes away ends,
// and the destructor waits for it (the caller holds the firmware in use).
std::thread SlowEvaluation(AcpicaFirmware* firmware, std::atomic<NTSTATUS>* status)
{
    *status = STATUS_PENDING;
    firmware->AcquireUse();
    return std::thread([firmware, status] {
        AcpiObject result;
        *status = firmware->Evaluate("SLOW", {I(20000)}, &result);
        firmware->ReleaseUse();
    });
}

TEST_F(Acpica, DeadDebuggerFailsEvaluationsAtOnce)
{
    auto firmware = std::make_unique<AcpicaFirmware>(Asl("slow.asl", kSlowDevice));
    std::atomic<NTSTATUS> inFlight;
    std::thread caller = SlowEvaluation(firmware.get(), &inFlight);
    std::this_thread::sleep_for(200ms);
    ASSERT_EQ(kill(firmware->DebuggerPid(), SIGKILL), 0);
    caller.join();
    EXPECT_EQ(inFlight.load(), STATUS_DEVICE_NOT_CONNECTED);

    AcpiObject result;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(firmware->Evaluate("_DSM", DsmArgs(0), &result), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(firmware->SetDeviceMode(2), STATUS_DEVICE_NOT_CONNECTED);
    firmware.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);

    // The same when the firmware itself goes away under a waiting evaluation.
    firmware = std::make_unique<AcpicaFirmware>(folder_ / "slow.asl");
    caller = SlowEvaluation(firmware.get(), &inFlight);
    std::this_thread::sleep_for(200ms);
    start = std::chrono::steady_clock::now();
    firmware.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    caller.join();
    EXPECT_EQ(inFlight.load(), STATUS_DEVICE_NOT_CONNECTED);
}

TEST_F(Acpica, ParallelCallersEachGetTheirOwnAnswer)
{
    AcpicaFirmware firmware(kSample);
    AcpiObject tables[3];
    for (uint64_t index = 0; index < 3; ++index) {
        tables[index] = Dsm(firmware, 2, I(index));
    }
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 8; ++i) {
                uint64_t index = uint64_t(t + i) % 3;
                AcpiObject result;
                if (firmware.Evaluate("_DSM", DsmArgs(2, I(index)), &result) != STATUS_SUCCESS ||
                    !(result == tables[index])) {
                    ++wrong;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
}

// ---------------------------------------------------------------- the output parser

using plat::acpiexec::Evaluation;
using plat::acpiexec::ParseEvaluation;

const char kPath[] = "\\_SB.TVRX._DSM";

Evaluation Parse(const std::string& body)
{
    return ParseEvaluation("Evaluating \\_SB.TVRX._DSM\nEvaluation of \\_SB.TVRX._DSM returned object 0x1, "
                           "external buffer length 10\n" + body,
                           kPath);
}

TEST(AcpiexecOutput, ReadsEveryObjectKind)
{
    Evaluation tree = Parse(
        "  [Package] Contains 4 Elements:\n"
        "    [Integer] = FFFFFFFFFFFFFFFF\n"
        "    [String] Length 05 = \"a\\\"b\\\\\\x01\"\n"
        "    [Buffer] Length 02 =     0000: 01 FE                      // ..\n"
        "    [Buffer] Length 12 = \n"
        "    0000: 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F  // ................\n"
        "    0010: 10 11                                            // //\n"
        "\n- help TVRXEND1N2\n");
    ASSERT_EQ(tree.kind, Evaluation::Kind::Object) << tree.error;
    std::vector<uint8_t> counting(18);
    for (size_t i = 0; i < counting.size(); ++i) {
        counting[i] = uint8_t(i);
    }
    EXPECT_EQ(tree.object, P({I(~uint64_t{0}), AcpiObject::String("a\"b\\\x01"), AcpiObject::Buffer({1, 0xFE}),
                              AcpiObject::Buffer(counting)}));

    Evaluation failed = ParseEvaluation("ACPI Error: ...\nEvaluation of \\_SB.TVRX._DSM failed with status "
                                        "AE_AML_DIVIDE_BY_ZERO\n", kPath);
    EXPECT_EQ(failed.kind, Evaluation::Kind::Failed);
    EXPECT_EQ(plat::acpiexec::StatusFromException(failed.exception), STATUS_ACPI_FATAL);
    EXPECT_EQ(ParseEvaluation("No object was returned from evaluation of \\_SB.TVRX._DSM\n", kPath).kind,
              Evaluation::Kind::NoObject);
    // Debug output that looks like a result line, and results for other paths, are not the answer.
    EXPECT_EQ(ParseEvaluation("ACPI Debug:  \"Evaluation of \\_SB.TVRX._DSM returned object 0x1\"\n"
                              "Evaluation of \\_SB.TVRX._DSMX failed with status AE_NOT_FOUND\n", kPath).kind,
              Evaluation::Kind::Malformed);
}

TEST(AcpiexecOutput, MalformedTextIsAnErrorNeverACrash)
{
    const char* cases[] = {
        "",
        "  [Integer] = \n",
        "  [Integer] = 00000000000000001\n",          // 17 digits
        "  [Integer] = 12 34\n",
        "  [String] Length 03 = \"ab\"\n",           // length disagrees
        "  [String] Length FF = \"abc",              // not closed
        "  [String] Length 02 = \"a\\q\"\n",         // unknown escape
        "  [String] Length 2FF = \"abc\"...\n",      // cut short by the debugger
        "  [Buffer] Length 03 =     0000: 01 02\n",  // dump ends early
        "  [Buffer] Length 01 =     0004: 01\n",     // wrong offset
        "  [Buffer] Length 02 =     0000: 01 02 03\n",
        "  [Buffer] Length FFFFFFFF = \n",
        "  [Buffer] Length 123456789 = \n",
        "  [Package] Contains 3 Elements:\n    [Integer] = 1\n",
        "  [Package] Contains 99999999999 Elements:\n",
        "  [Package] Contains 1 Elements:\n  [Integer] = 1\n",  // element not indented
        "  [Null Object] (Type=0)\n",
        "  [Object Reference] = 0x55 <Node> Name TVRX Device\n",
        "\x01\xff[Package]\n",
    };
    for (const char* text : cases) {
        Evaluation evaluation = Parse(text);
        EXPECT_EQ(evaluation.kind, Evaluation::Kind::Malformed) << text;
        EXPECT_FALSE(evaluation.error.empty()) << text;
    }
    std::string deep;
    for (size_t depth = 0; depth < 40; ++depth) {
        deep += std::string(2 + 2 * depth, ' ') + "[Package] Contains 1 Elements:\n";
    }
    EXPECT_EQ(Parse(deep).kind, Evaluation::Kind::Malformed);
}

TEST(AcpiexecOutput, NotifyReportsAndArguments)
{
    plat::acpiexec::NotifyLine notify;
    std::string line = "    [Integer] = ACPI Exec: Global:    Received a Device Notify on [TVRX] 0x55c529b2f0a0 "
                       "Value 0x80 (Status Change)";
    ASSERT_TRUE(plat::acpiexec::ParseNotify(line, &notify));
    EXPECT_EQ(notify.offset, 16u);
    EXPECT_EQ(notify.handler, "Global");
    EXPECT_EQ(notify.name, "TVRX");
    EXPECT_EQ(notify.address, 0x55c529b2f0a0u);
    EXPECT_EQ(notify.value, 0x80u);
    EXPECT_FALSE(plat::acpiexec::ParseNotify("ACPI Exec: Global: Received a Device Notify on [TV", &notify));

    std::string text;
    std::string error;
    ASSERT_TRUE(plat::acpiexec::FormatArguments(
        {AcpiObject::Buffer({0x72, 0x0A}), I(0), I(0x1F), P({I(1), AcpiObject::String("x y")})}, &text, &error));
    EXPECT_EQ(text, " (72 0A) 0x0 0x1F [0x1 \"x y\"]");
    for (const AcpiObject& refused : {AcpiObject::Buffer({}), AcpiObject::String(""), AcpiObject::String("a\"b"),
                                      AcpiObject::String("a\nb"), P({})}) {
        EXPECT_FALSE(plat::acpiexec::FormatArguments({refused}, &text, &error)) << refused.Text();
    }
}

// The debugger's namespace listing: nodes with their address, and the value
// of an Integer or String Name when the line shows it whole (enumeration
// then need not evaluate it).
TEST(AcpiexecNamespace, NodeLinesGiveNamesTheirValues)
{
    std::vector<plat::acpiexec::NamespaceNode> nodes = plat::acpiexec::ParseFind(
        "- find _HID\n"
        "                  \\_SB.DECO._HID Integer      0x55d16314e5f0 001 = 000000000A0CD041\n"
        "                  \\_SB.TVRX._HID String       0x55d16314efa0 001 Len 08 \"TVRX0001\"\n"
        "                  \\_SB.CUTS._HID String       0x55d16314efa0 001 Len 0A \"TVRX0001\"\n"
        "                  \\_SB.QUOT._HID String       0x55d16314efa0 001 Len 03 \"a\"b\"\n"
        "                  \\_SB.DECO._CID Package      0x5629133df8f0 001 Elements 02\n"
        "                  \\_SB.DECO._STA Method       0x55d16314ece0 001 Args 0 Len 0003 Aml 0x55d16314e14a\n"
        "Found 6 objects\n");
    ASSERT_EQ(nodes.size(), 6u);
    EXPECT_EQ(nodes[0].path, "\\_SB.DECO._HID");
    EXPECT_EQ(nodes[0].address, 0x55d16314e5f0u);
    EXPECT_EQ(nodes[0].value, AcpiObject::Integer(0x0A0CD041));
    EXPECT_EQ(nodes[1].value, AcpiObject::String("TVRX0001"));
    EXPECT_FALSE(nodes[2].value) << "a String shown shorter than its length is evaluated instead";
    EXPECT_FALSE(nodes[3].value) << "a quote inside: the shown text cannot be trusted";
    EXPECT_FALSE(nodes[4].value);
    EXPECT_FALSE(nodes[5].value);
}

}  // namespace
