/*
 * Structured exceptions. Each thread keeps a stack of guarded frames (the
 * innermost on top). A hardware fault on a thread with a frame unwinds to the
 * innermost one with siglongjmp, carrying the exception code; the frame's
 * filter then decides whether its handler runs or the exception goes on to
 * the next outer frame. The code is STATUS_IN_PAGE_ERROR for a bus error,
 * otherwise STATUS_ACCESS_VIOLATION unless the address lies in a range given
 * a code of its own (RaiseOnAccess). A fault on a thread without a frame is
 * not ours: the previous handler (the default action, or a sanitizer's) gets
 * it, so real bugs still crash with their usual report.
 */
#include <excpt.h>

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <mutex>

#include <wdm.h>

#include "base/bugcheck.h"

namespace plat {
namespace {

// Initial-exec TLS: the fault handler reads these, and a dynamic TLS access
// could allocate inside a signal handler.
__attribute__((tls_model("initial-exec"))) thread_local SehFrame* t_innermost = nullptr;
// Address of the access that caused the exception being dispatched (null for
// one raised by software); pending between the fault and the unwind.
__attribute__((tls_model("initial-exec"))) thread_local void* t_faultAddress = nullptr;
__attribute__((tls_model("initial-exec"))) thread_local void* t_pendingFaultAddress = nullptr;

// Ranges whose faults raise a chosen code, read by the fault handler: plain
// atomics, no lock. A slot is claimed with `used`, filled, then published by
// its start (0: free).
struct AccessRange {
    std::atomic<bool> used{false};
    std::atomic<uintptr_t> start{0};
    std::atomic<size_t> size{0};
    std::atomic<long> code{0};
};
AccessRange g_accessRanges[64];

long CodeFor(int signal, const void* address)
{
    if (signal == SIGBUS) {
        return STATUS_IN_PAGE_ERROR;
    }
    auto at = reinterpret_cast<uintptr_t>(address);
    for (const AccessRange& range : g_accessRanges) {
        uintptr_t start = range.start.load(std::memory_order_acquire);
        if (start != 0 && at >= start && at - start < range.size.load(std::memory_order_relaxed)) {
            return range.code.load(std::memory_order_relaxed);
        }
    }
    return STATUS_ACCESS_VIOLATION;
}

struct sigaction g_previousSegv;
struct sigaction g_previousBus;
std::once_flag g_installOnce;

struct sigaction* PreviousAction(int signal)
{
    return signal == SIGBUS ? &g_previousBus : &g_previousSegv;
}

void OnHardwareFault(int signal, siginfo_t* info, void*)
{
    if (t_innermost != nullptr) {
        t_pendingFaultAddress = info->si_addr;
        SehFrame::Raise(CodeFor(signal, info->si_addr));
    }
    // No guard on this thread: hand the fault back. Returning re-executes the
    // faulting instruction under the previous handler; a signal that was sent
    // rather than caused by an access does not recur by itself, so raise it.
    sigaction(signal, PreviousAction(signal), nullptr);
    if (info->si_code <= 0) {
        raise(signal);
    }
}

void InstallFaultHandler()
{
    struct sigaction action = {};
    action.sa_sigaction = OnHardwareFault;
    // SA_NODEFER: the fault's signal is not blocked while the handler runs,
    // so the jump out of it leaves the thread's signal mask as it was and a
    // guarded block need not save the mask (a system call at every __try).
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, &g_previousSegv);
    sigaction(SIGBUS, &action, &g_previousBus);
}

// A thread that faults because its stack ran out can only be handled on
// another stack. Threads that already have one (sanitizer runtimes give
// theirs one) keep it.
class AlternateStack {
public:
    AlternateStack()
    {
        stack_t current = {};
        if (sigaltstack(nullptr, &current) != 0 || (current.ss_flags & SS_DISABLE) == 0) {
            return;
        }
        void* memory = mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) {
            return;
        }
        stack_t stack = {};
        stack.ss_sp = memory;
        stack.ss_size = kSize;
        if (sigaltstack(&stack, nullptr) != 0) {
            munmap(memory, kSize);
            return;
        }
        memory_ = memory;
    }
    ~AlternateStack()
    {
        if (memory_ == nullptr) {
            return;
        }
        stack_t disable = {};
        disable.ss_flags = SS_DISABLE;
        sigaltstack(&disable, nullptr);
        munmap(memory_, kSize);
    }
    AlternateStack(const AlternateStack&) = delete;
    AlternateStack& operator=(const AlternateStack&) = delete;

private:
    static constexpr size_t kSize = 128 * 1024;
    void* memory_ = nullptr;
};

void PrepareThread()
{
    std::call_once(g_installOnce, InstallFaultHandler);
    static thread_local AlternateStack stack;
    (void)stack;
}

[[noreturn]] void Unhandled(long code)
{
    char reason[160];
    std::snprintf(reason, sizeof(reason),
                  "exception 0x%08" PRIX32 " (fault address %p) was not handled: no guarded block accepted it",
                  static_cast<uint32_t>(code), t_faultAddress);
    BugCheck(KMODE_EXCEPTION_NOT_HANDLED, reason, static_cast<ULONG_PTR>(static_cast<uint32_t>(code)),
             reinterpret_cast<ULONG_PTR>(t_faultAddress));
}

}  // namespace

SehFrame::SehFrame()
{
    PrepareThread();
    outer_ = t_innermost;
    t_innermost = this;
}

SehFrame::~SehFrame()
{
    // A frame that took an exception was already taken off the stack.
    if (!active_) {
        return;
    }
    if (t_innermost != this) {
        BugCheck(KMODE_EXCEPTION_NOT_HANDLED, "guarded blocks left out of order (a jump out of a __try block?)");
    }
    t_innermost = outer_;
}

bool SehFrame::Handle(int filterResult)
{
    if (filterResult > 0) {  // EXCEPTION_EXECUTE_HANDLER
        return true;
    }
    if (filterResult < 0) {
        char reason[160];
        std::snprintf(reason, sizeof(reason),
                      "exception 0x%08" PRIX32 ": EXCEPTION_CONTINUE_EXECUTION is not supported (the faulting "
                      "access cannot be resumed)",
                      static_cast<uint32_t>(code_));
        BugCheck(KMODE_EXCEPTION_NOT_HANDLED, reason, static_cast<ULONG_PTR>(static_cast<uint32_t>(code_)));
    }
    // EXCEPTION_CONTINUE_SEARCH: the next outer frame decides.
    t_pendingFaultAddress = t_faultAddress;
    if (!Raise(code_)) {
        Unhandled(code_);
    }
    return false;
}

bool SehFrame::Raise(long code)
{
    SehFrame* frame = t_innermost;
    t_faultAddress = t_pendingFaultAddress;
    t_pendingFaultAddress = nullptr;
    if (frame == nullptr) {
        return false;
    }
    // The frame leaves the stack before its filter runs, so a fault in the
    // filter or the handler goes to the frame around it.
    t_innermost = frame->outer_;
    frame->active_ = false;
    frame->code_ = code;
    siglongjmp(frame->env_, 1);
}

bool RaiseOnAccess(const void* start, size_t size, long code)
{
    for (AccessRange& range : g_accessRanges) {
        bool expected = false;
        if (range.used.compare_exchange_strong(expected, true)) {
            range.size.store(size, std::memory_order_relaxed);
            range.code.store(code, std::memory_order_relaxed);
            range.start.store(reinterpret_cast<uintptr_t>(start), std::memory_order_release);
            return true;
        }
    }
    return false;
}

void ForgetAccessRange(const void* start)
{
    for (AccessRange& range : g_accessRanges) {
        uintptr_t expected = reinterpret_cast<uintptr_t>(start);
        if (expected != 0 && range.start.compare_exchange_strong(expected, 0, std::memory_order_acq_rel)) {
            range.used.store(false, std::memory_order_release);
            return;
        }
    }
}

}  // namespace plat
