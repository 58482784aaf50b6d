/*
 * Preloaded into the AML debugger (acpiexec) that runs ASL firmware for the
 * machine (platform/firmware/acpica.cpp). It changes when the debugger waits
 * and writes, and says when a command is done; it changes no result.
 *
 * After every evaluate command the debugger sleeps a fixed 10 ms, so that the
 * Notify handler threads the method started can print before the result, and
 * only then prints the result: that sleep was nearly all of an evaluation's
 * time. Here it is replaced by what it stands for. The sleep returns at once,
 * and before the debugger reads its next command line it waits until the
 * threads that the methods started have ended (for at most a second: on a busy
 * machine a new thread can take longer than 10 ms to run), so their reports
 * come out before the answer is marked complete.
 *
 * The AML's own Sleep and Stall reach the same usleep() and keep their time.
 * They are told apart by the depth of the call stack: the debugger's sleep is
 * called from its command loop a few frames above the thread's start, while
 * AML runs a dozen frames or more deeper, inside the interpreter.
 *
 * The interpreter cuts every AML Sleep to 2 seconds, where Windows sleeps for
 * as long as the firmware asks: a _DSM that sleeps 4 s would answer in time
 * here and too late on a machine. At start the cut is found in the
 * debugger's code (the compare of the requested time against 2000 ms) and
 * raised to TVRX_ACPIEXEC_MAX_SLEEP_MS (at most a minute; unset: left as it
 * is), so a Sleep keeps its full length up to that bound, which only stops a
 * hostile firmware from holding the debugger for days. A build whose code
 * does not match is left alone; TVRX_ACPIEXEC_SLEEP_REPORT names a file the
 * library writes "raised" or "not found" to, so that its caller knows.
 *
 * When the debugger is about to read a command line it prints the marker
 * given in TVRX_ACPIEXEC_MARKER followed by the number of lines read so far
 * (the first, 0, once the tables are loaded): the line before it was the
 * whole answer to the previous command. Without this the machine had to send
 * a second command after each one and wait for its echo.
 *
 * Output is written in blocks rather than line by line: what a command printed
 * goes out with the marker after it, and a Notify report when its thread ends,
 * so a reader wakes once per answer (and once per Notify) instead of once per
 * line. What a command prints while it runs is held until it ends.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <execinfo.h>
#include <link.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

enum {
    kSettleMicroseconds = 10000,  // the debugger's sleep after a command
    kCommandLoopDepth = 10,       // frames at most between the thread's start and that sleep
    kHelperWaitMicroseconds = 1000000,  // how long a command's handler threads are waited for
    kInterpreterSleepCap = 2000,        // ms: the interpreter's cut of an AML Sleep
    kLongestSleep = 60000,              // ms: the highest the cut is raised to
    kMostHelpers = 16,                  // handler threads alive at once
    kHelperSlotWaitMicroseconds = 1000000,  // how long a new one waits for a slot
};

typedef int (*UsleepFunction)(useconds_t);
typedef unsigned int (*SleepFunction)(unsigned int);
typedef int (*CreateFunction)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
typedef int (*GetcFunction)(FILE*);
typedef char* (*FgetsFunction)(char*, int, FILE*);

static UsleepFunction nextUsleep;
static SleepFunction nextSleep;
static CreateFunction nextCreate;
static GetcFunction nextGetc;
static FgetsFunction nextFgets;

static char outputBuffer[1 << 16];
static const char* marker;  // NULL: print none
static pthread_t mainThread;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t ended;
static int helpers;  // live threads started by threads other than the main thread

// Lines of standard input read so far, and whether the next read starts one (main thread only).
static unsigned long linesRead;
static int atLineStart = 1;

static void* Next(const char* name)
{
    void* function = dlsym(RTLD_NEXT, name);
    if (function == NULL) {
        fprintf(stderr, "acpiexec preload: no %s to forward to\n", name);
        abort();
    }
    return function;
}

// ---------------------------------------------------------------- the cut of AML Sleep

struct CodeRange {
    uint8_t* start;
    size_t size;
};

// The executable segments of the program itself (the first object listed).
static int FindProgramCode(struct dl_phdr_info* info, size_t size, void* context)
{
    (void)size;
    struct CodeRange* range = context;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)* header = &info->dlpi_phdr[i];
        if (header->p_type == PT_LOAD && (header->p_flags & PF_X) != 0) {
            range->start = (uint8_t*)(info->dlpi_addr + header->p_vaddr);
            range->size = header->p_memsz;
            return 1;
        }
    }
    return 1;  // only the program is looked at
}

// The cut is "mov eax, 2000; cmp rbx/rdi.., rax; cmovbe rax, .." (the
// requested time kept when it is below the limit). Its 32-bit immediate is
// rewritten to the new limit.
static int RaiseSleepCap(unsigned milliseconds)
{
    struct CodeRange range = {NULL, 0};
    dl_iterate_phdr(FindProgramCode, &range);
    const uint8_t cut[] = {0xB8, kInterpreterSleepCap & 0xFF, kInterpreterSleepCap >> 8, 0x00, 0x00};
    uint8_t* found = NULL;
    for (size_t i = 0; range.start != NULL && i + sizeof cut + 7 <= range.size; ++i) {
        uint8_t* at = range.start + i;
        // the compare (REX.W 39 /r) and the conditional move (REX.W 0F 46 /r) that follow
        if (memcmp(at, cut, sizeof cut) == 0 && (at[5] & 0xF8) == 0x48 && at[6] == 0x39 && (at[8] & 0xF8) == 0x48 &&
            at[9] == 0x0F && at[10] == 0x46) {
            if (found != NULL) {
                return 0;  // not the one place expected: leave the code alone
            }
            found = at;
        }
    }
    if (found == NULL) {
        return 0;
    }
    long page = sysconf(_SC_PAGESIZE);
    uint8_t* first = (uint8_t*)((uintptr_t)(found + 1) & ~(uintptr_t)(page - 1));
    size_t length = (size_t)(found + 5 - first);
    if (mprotect(first, length, PROT_READ | PROT_WRITE | PROT_EXEC) != 0) {
        return 0;
    }
    uint32_t limit = milliseconds;
    memcpy(found + 1, &limit, sizeof limit);
    mprotect(first, length, PROT_READ | PROT_EXEC);
    __builtin___clear_cache((char*)found, (char*)found + 5);
    return 1;
}

static void ConfigureSleepCap(void)
{
    const char* wanted = getenv("TVRX_ACPIEXEC_MAX_SLEEP_MS");
    if (wanted == NULL || *wanted == '\0') {
        return;
    }
    unsigned long milliseconds = strtoul(wanted, NULL, 10);
    if (milliseconds > kLongestSleep) {
        milliseconds = kLongestSleep;
    }
    int raised = milliseconds > kInterpreterSleepCap && RaiseSleepCap((unsigned)milliseconds);
    const char* report = getenv("TVRX_ACPIEXEC_SLEEP_REPORT");
    FILE* file = report != NULL && *report != '\0' ? fopen(report, "w") : NULL;
    if (file != NULL) {
        fputs(raised ? "raised\n" : "not found\n", file);
        fclose(file);
    }
}

// Runs before the debugger's main(), on its main thread.
__attribute__((constructor)) static void Initialize(void)
{
    nextUsleep = (UsleepFunction)Next("usleep");
    nextSleep = (SleepFunction)Next("sleep");
    nextCreate = (CreateFunction)Next("pthread_create");
    nextGetc = (GetcFunction)Next("getc");
    nextFgets = (FgetsFunction)Next("fgets");
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&ended, &attributes);
    pthread_condattr_destroy(&attributes);
    mainThread = pthread_self();
    marker = getenv("TVRX_ACPIEXEC_MARKER");
    ConfigureSleepCap();
    setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);
    setvbuf(stderr, NULL, _IONBF, 0);
    // The first backtrace() loads the unwinder: better now than in a command.
    void* frame;
    backtrace(&frame, 1);
}

// Whether the 10 ms sleep that returns to `caller` is the debugger's. A call
// site is judged once, by its stack; its verdict is remembered by address.
static int IsSettleSleep(void* caller)
{
    static void* sites[8];
    static int verdicts[8];
    static int known;
    int count = __atomic_load_n(&known, __ATOMIC_ACQUIRE);
    for (int i = 0; i < count; ++i) {
        if (sites[i] == caller) {
            return verdicts[i];
        }
    }
    void* frames[kCommandLoopDepth + 1];
    int verdict = backtrace(frames, kCommandLoopDepth + 1) <= kCommandLoopDepth;
    pthread_mutex_lock(&lock);
    if (known < (int)(sizeof sites / sizeof sites[0])) {
        sites[known] = caller;
        verdicts[known] = verdict;
        __atomic_store_n(&known, known + 1, __ATOMIC_RELEASE);
    }
    pthread_mutex_unlock(&lock);
    return verdict;
}

int usleep(useconds_t microseconds)
{
    if (microseconds == kSettleMicroseconds && IsSettleSleep(__builtin_return_address(0))) {
        return 0;
    }
    return nextUsleep(microseconds);
}

// A sleep of whole seconds comes first in every sleep of milliseconds; for
// none (the usual case) there is nothing to do.
unsigned int sleep(unsigned int seconds)
{
    return seconds == 0 ? 0 : nextSleep(seconds);
}

// ---------------------------------------------------------------- threads the methods start

struct Start {
    void* (*routine)(void*);
    void* argument;
};

static void HelperEnded(void* unused)
{
    (void)unused;
    pthread_mutex_lock(&lock);
    __atomic_sub_fetch(&helpers, 1, __ATOMIC_RELEASE);
    pthread_cond_broadcast(&ended);
    pthread_mutex_unlock(&lock);
}

static void* RunHelper(void* context)
{
    struct Start start = *(struct Start*)context;
    free(context);
    void* result;
    pthread_cleanup_push(HelperEnded, NULL);
    result = start.routine(start.argument);
    fflush(stdout);
    pthread_cleanup_pop(1);
    return result;
}

static struct timespec DeadlineIn(long microseconds)
{
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += microseconds / 1000000;
    deadline.tv_nsec += (microseconds % 1000000) * 1000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    return deadline;
}

// A firmware that raises Notify in a loop would have the debugger start a
// thread for each, faster than they end, until the machine can start no
// process at all. At most kMostHelpers run at once: the method that raises
// one more waits for a slot (which slows the loop to the pace its handlers
// keep), and after a second without one the thread is refused, as the
// debugger's own limits would refuse it ("Create thread failed").
static int TakeHelperSlot(void)
{
    struct timespec deadline = DeadlineIn(kHelperSlotWaitMicroseconds);
    pthread_mutex_lock(&lock);
    while (__atomic_load_n(&helpers, __ATOMIC_ACQUIRE) >= kMostHelpers &&
           pthread_cond_timedwait(&ended, &lock, &deadline) == 0) {
    }
    int taken = __atomic_load_n(&helpers, __ATOMIC_ACQUIRE) < kMostHelpers;
    if (taken) {
        __atomic_add_fetch(&helpers, 1, __ATOMIC_RELEASE);
    }
    pthread_mutex_unlock(&lock);
    return taken;
}

// The debugger's own threads are started by the main thread and live as long
// as it does; Notify and GPE handlers are started by the thread running AML.
// The debugger never joins a handler thread, which kept every one's stack
// mapped: they are started detached, so a new one reuses an old stack rather
// than mapping and clearing fresh memory.
int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*routine)(void*), void* argument)
{
    if (pthread_equal(pthread_self(), mainThread)) {
        return nextCreate(thread, attributes, routine, argument);
    }
    struct Start* start = malloc(sizeof *start);
    if (start == NULL) {
        return EAGAIN;
    }
    if (!TakeHelperSlot()) {
        free(start);
        return EAGAIN;
    }
    start->routine = routine;
    start->argument = argument;
    pthread_attr_t detached;
    if (attributes == NULL) {
        pthread_attr_init(&detached);
        pthread_attr_setdetachstate(&detached, PTHREAD_CREATE_DETACHED);
    }
    int error = nextCreate(thread, attributes != NULL ? attributes : &detached, RunHelper, start);
    if (attributes == NULL) {
        pthread_attr_destroy(&detached);
    }
    if (error != 0) {
        free(start);
        HelperEnded(NULL);
    }
    return error;
}

static void WaitForHelpers(void)
{
    if (__atomic_load_n(&helpers, __ATOMIC_ACQUIRE) == 0) {
        return;
    }
    struct timespec deadline = DeadlineIn(kHelperWaitMicroseconds);
    pthread_mutex_lock(&lock);
    while (__atomic_load_n(&helpers, __ATOMIC_ACQUIRE) > 0 && pthread_cond_timedwait(&ended, &lock, &deadline) == 0) {
    }
    pthread_mutex_unlock(&lock);
}

// ---------------------------------------------------------------- reading the next command

// The main thread reads the commands. Before the first character of a line
// the previous command is complete: its handler threads are waited for and
// the marker says so.
static void BeforeRead(FILE* stream)
{
    if (stream != stdin || !pthread_equal(pthread_self(), mainThread) || !atLineStart) {
        return;
    }
    atLineStart = 0;
    WaitForHelpers();
    if (marker != NULL) {
        printf("%s%lu\n", marker, linesRead);
    }
    fflush(stdout);
}

static void AfterRead(FILE* stream, int lineEnded)
{
    if (stream == stdin && pthread_equal(pthread_self(), mainThread) && lineEnded) {
        ++linesRead;
        atLineStart = 1;
    }
}

int getc(FILE* stream)
{
    BeforeRead(stream);
    int c = nextGetc(stream);
    AfterRead(stream, c == '\n');
    return c;
}

char* fgets(char* text, int size, FILE* stream)
{
    BeforeRead(stream);
    char* line = nextFgets(text, size, stream);
    size_t length = 0;
    while (line != NULL && line[length] != '\0') {
        ++length;
    }
    AfterRead(stream, length > 0 && line[length - 1] == '\n');
    return line;
}
