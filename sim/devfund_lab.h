/*
 * What every devfund test stands on: a machine of its own with the driver
 * loaded and its device started, the seed its inputs come from, its machine
 * time budget, and the record of what went wrong: the first failing step and
 * every status a client saw that is not the documented one.
 */
#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "firmware/native.h"
#include "harness.h"

namespace sim::devfund {

struct Unexpected {
    std::string step;
    NTSTATUS status;
    std::vector<NTSTATUS> documented;
    uint64_t count;
};

struct Result {
    std::string test;
    uint64_t seed = 0;
    bool passed = false;
    std::string failedStep;  // the first step that went wrong
    std::string why;         // what went wrong there
    std::vector<Unexpected> unexpected;
    std::vector<std::string> verifier;  // the findings at unload
    uint64_t operations = 0;
    double machineSeconds = 0;
};

class Lab {
public:
    Lab(std::string test, uint64_t seed, double budgetSeconds);
    ~Lab();
    Lab(const Lab&) = delete;
    Lab& operator=(const Lab&) = delete;

    // Loads the driver, adds the bound device and starts it, and finds its
    // interface; false (the step failed) when any of it does not succeed.
    bool Boot();

    plat::Machine& Machine() { return rig_->Machine(); }
    plat::Host& Host() { return rig_->Host(); }
    plat::NativeFirmware& Firmware() { return *firmware_; }
    const std::wstring& Path() const { return path_; }

    // A generator of its own for each thread of a test, all from the seed.
    std::mt19937_64 Generator(unsigned stream) const;

    // The status a client saw is one of those documented for the step; an
    // other is recorded (counted per step and status) and fails the test.
    bool Expect(const std::string& step, NTSTATUS got, std::initializer_list<NTSTATUS> documented);
    bool Expect(const std::string& step, NTSTATUS got, NTSTATUS documented) { return Expect(step, got, {documented}); }
    // A step went wrong in another way (a count, a state, a hang).
    void Fail(const std::string& step, const std::string& why);
    bool Failed() const { return failed_.load(); }
    // What the test is doing now: named if the system stops during it.
    void Step(const std::string& step);

    void Count(uint64_t operations = 1) { operations_.fetch_add(operations, std::memory_order_relaxed); }
    // Machine seconds since Boot, and whether the budget still has some.
    double Elapsed() const;
    double Budget() const { return budget_; }
    bool TimeLeft() const { return !Failed() && Elapsed() < budget_; }

    // Ends the machine: the driver unloads, the verifier reports; the result.
    Result Finish();

private:
    std::string test_;
    uint64_t seed_;
    double budget_;
    std::shared_ptr<plat::NativeFirmware> firmware_;
    std::unique_ptr<tvrx::harness::Rig> rig_;
    std::wstring path_;
    LONGLONG started_ = 0;
    std::vector<std::string> before_;  // findings an earlier test left (leaked objects outlive their machine)

    std::atomic<bool> failed_{false};
    std::atomic<uint64_t> operations_{0};
    mutable std::mutex lock_;
    std::string failedStep_;
    std::string why_;
    std::map<std::pair<std::string, NTSTATUS>, Unexpected> unexpected_;
};

// Addresses a user-mode caller may name but not use: in the kernel's part of
// the address space (the probe refuses them), as a lab passes them.
inline void* KernelAddress(unsigned which)
{
    static const uintptr_t addresses[] = {0xFFFFF80000000000ull, 0xFFFFFFFFFFFFFC00ull, 0xFFFF800000001000ull,
                                          0x7FFFFFFF0000ull};
    return reinterpret_cast<void*>(addresses[which % 4]);
}
bool IsKernelAddress(const void* buffer);
// "0x00220008": a code or status as steps name it.
std::string Hex(uint32_t value);

// The status docs/ioctl.md (and, before the driver, the I/O manager)
// documents for a user-mode device control on a started device's open
// handle that was granted `granted`: the I/O manager refuses a missing or
// kernel buffer and the access the code's bits ask of the handle; then the
// driver answers its four codes by their lengths and input, and refuses every
// other code. `input` holds inputLength readable bytes when the caller's
// input is readable. *information: the bytes a success returns.
NTSTATUS DocumentedIoControl(ULONG code, const void* input, ULONG inputLength, const void* output,
                             ULONG outputLength, ACCESS_MASK granted, bool eventHandleValid,
                             ULONG_PTR* information);

// The file rights a desired access asks for (the generic rights mapped as files map them).
ACCESS_MASK MapFileGeneric(ACCESS_MASK desired);

// The tests, each on its own lab.
void FuzzOpenClose(Lab& lab);
void ZeroLengthIoctl(Lab& lab);
void RandomIoctl(Lab& lab);
void MiscApi(Lab& lab);
void PnpWithIo(Lab& lab);
void SleepWithIo(Lab& lab);
void SimpleIoStress(Lab& lab);
void Chaos(Lab& lab);

// Pieces the concurrent test shares with the others: a client's round of
// requests on an open handle, checked against the documentation (true when
// every status was documented); and a fuzz round of device controls.
// inService: the device stays started (requests may wait, but not fail).
bool ClientRound(Lab& lab, const std::string& step, HANDLE handle, ACCESS_MASK granted, HANDLE event,
                 bool inService);
void IoctlFuzzRound(Lab& lab, std::mt19937_64& random, HANDLE handle, ACCESS_MASK granted, const std::string& step,
                    bool deviceInService);

}  // namespace sim::devfund
