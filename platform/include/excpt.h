/*
 * Structured exception handling. The WDK's compiler gives __try/__except as
 * keywords; here a guarded block is a frame on a per-thread stack, entered
 * with sigsetjmp, and a hardware fault inside it (an access to an inaccessible
 * physical-memory mapping, say) unwinds to the frame with the exception code.
 *
 *     __try { ... } __except (EXCEPTION_EXECUTE_HANDLER) { status = GetExceptionCode(); }
 *
 * As with the real keywords, locals changed inside the guarded block and read
 * in the handler must be volatile.
 */
#pragma once

#include <setjmp.h>
#include <stddef.h>

#define EXCEPTION_EXECUTE_HANDLER 1
#define EXCEPTION_CONTINUE_SEARCH 0
#define EXCEPTION_CONTINUE_EXECUTION (-1)

namespace plat {

class SehFrame {
public:
    SehFrame();
    ~SehFrame();
    SehFrame(const SehFrame&) = delete;
    SehFrame& operator=(const SehFrame&) = delete;

    sigjmp_buf& Env() { return env_; }
    // Runs the filter's verdict after a fault unwound here: TRUE to run the handler,
    // otherwise the fault goes on to the next outer frame.
    bool Handle(int filterResult);
    long Code() const { return code_; }

    // Unwinds to the innermost frame of this thread; false when there is none.
    static bool Raise(long code);

private:
    sigjmp_buf env_;
    SehFrame* outer_;
    long code_ = 0;
    bool active_ = true;
};

// A hardware fault on [start, start + size) raises code rather than
// STATUS_ACCESS_VIOLATION: how fault injection gives an inaccessible mapping
// the read error it chose. False when no more ranges can be kept (the fault
// then raises STATUS_ACCESS_VIOLATION). ForgetAccessRange ends it.
bool RaiseOnAccess(const void* start, size_t size, long code);
void ForgetAccessRange(const void* start);

}  // namespace plat

// The keywords exist only in kernel-mode images (the driver), as with the WDK;
// host code of the platform includes the C++ library, which has its own __try.
#ifdef _KERNEL_MODE
#undef __try  // a C++ library header seen first may have claimed the word
// The fault handler leaves the signal mask as it was (SA_NODEFER), so a
// guarded block need not save it: a system call saved at every __try.
// Under ThreadSanitizer, whose runtime runs the handler on its own terms,
// the thread's second fault killed the process unless the jump out of the
// handler restored the mask saved at the __try: there it is saved.
#if defined(__SANITIZE_THREAD__)
#define PLAT_SEH_SAVE_MASK 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define PLAT_SEH_SAVE_MASK 1
#endif
#endif
#ifndef PLAT_SEH_SAVE_MASK
#define PLAT_SEH_SAVE_MASK 0
#endif
#define __try if (::plat::SehFrame plat_seh_frame_; sigsetjmp(plat_seh_frame_.Env(), PLAT_SEH_SAVE_MASK) == 0)
#define __except(filter) else if (plat_seh_frame_.Handle(filter))
#define GetExceptionCode() ((NTSTATUS)plat_seh_frame_.Code())
// GCC's clobber warning cannot tell the locals a guarded block changes (which
// must be volatile, as above) from those it only keeps across it, such as the
// status a handler sets; it would flag every such handler.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wclobbered"
#endif
#endif
