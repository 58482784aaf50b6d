/*
 * In-flight recorder logs: a ring of fixed-size places per driver, allocated
 * when the log starts. A writer takes the next sequence number with one
 * atomic add and then holds only the place that number falls on, so writers
 * on several processors do not wait for each other. A trace of a known site
 * is kept with a capture of its arguments and formatted only when a reader
 * (or the log's stop) gets to it: most records are overwritten unread. Its
 * time is read from the processor's time-stamp counter, a fraction of the
 * cost of the clock, and put on the machine's clock when it is formatted.
 */
#include "wpp/recorder.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "machine/machine.h"
#include "nt/irql.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <x86intrin.h>
#endif

namespace plat::trace {
namespace {

int64_t SteadyNanoseconds()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The time-stamp counter counts at one rate on every processor (an invariant
// counter); without one, ticks are the steady clock's nanoseconds.
bool InvariantCounter()
{
#if defined(__x86_64__) || defined(__i386__)
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    return __get_cpuid(0x80000007, &eax, &ebx, &ecx, &edx) && (edx & (1u << 8)) != 0;
#else
    return false;
#endif
}

uint64_t Ticks()
{
    static const bool counter = InvariantCounter();
#if defined(__x86_64__) || defined(__i386__)
    if (counter) {
        return __rdtsc();
    }
#endif
    return static_cast<uint64_t>(SteadyNanoseconds());
}

// A moment on every clock a record's time is converted through.
struct Moment {
    uint64_t ticks = 0;
    int64_t steady = 0;     // ns
    LONGLONG machine = 0;   // 100-ns units of the machine's clock
    double rate = 0;        // machine seconds per real second; 0: no machine (times are 0)

    static Moment Now()
    {
        Moment moment;
        moment.ticks = Ticks();
        moment.steady = SteadyNanoseconds();
        if (Machine* machine = Machine::CurrentOrNull()) {
            moment.machine = machine->Clock().Now();
            moment.rate = machine->Clock().Rate();
        }
        return moment;
    }
};

// Puts tick counts on the machine clock of the log's start, by the ticks and
// steady time that passed between the log's start and now.
class TimeScale {
public:
    TimeScale(const Moment& start, const Moment& now) : start_(start)
    {
        int64_t ticks = static_cast<int64_t>(now.ticks - start.ticks);
        nanosecondsPerTick_ = ticks > 0 ? static_cast<long double>(now.steady - start.steady) / ticks : 0;
    }
    LONGLONG MachineTime(uint64_t ticks) const
    {
        long double ns = static_cast<long double>(static_cast<int64_t>(ticks - start_.ticks)) * nanosecondsPerTick_;
        return start_.machine + static_cast<LONGLONG>(ns * start_.rate / 100.0L);
    }

private:
    Moment start_;
    long double nanosecondsPerTick_;
};

// One place of the ring.
// What a trace kept for later writes lies together at the front, so that it
// touches as few cache lines as it can; the record is filled in when formatted.
struct Entry {
    std::atomic<bool> busy{false};     // a writer or a reader holds the place
    UCHAR level = 0;                   // of a record waiting to be formatted
    ULONG flags = 0;                   // of a record waiting to be formatted
    uint64_t sequence = 0;             // of the record in it; 0 while never written
    const TraceSite* site = nullptr;   // set while the record waits to be formatted from args
    uint64_t ticks = 0;                // its time while it waits
    CapturedArguments args;
    Record record;

    void Hold()
    {
        for (unsigned spins = 0; busy.exchange(true, std::memory_order_acquire); ++spins) {
            if (spins > 64) {
                std::this_thread::yield();  // the holder may be preempted, as on any host thread
            }
        }
    }
    void Release() { busy.store(false, std::memory_order_release); }

    // Under Hold: gives a deferred record its time, its text and the fields of its site.
    void Format(const TimeScale& scale)
    {
        if (site == nullptr) {
            return;
        }
        Describe(*site, scale);
        FormatCaptured(record.text, sizeof record.text, Context(*site, record), site->format.c_str(), args);
        site = nullptr;
    }

    // Every field of the record but its text.
    void Describe(const TraceSite& of, const TimeScale& scale)
    {
        record.sequence = sequence;
        record.time = scale.MachineTime(ticks);
        record.level = level;
        record.flags = flags;
        record.message = of.message;
        record.line = of.line;
        memcpy(record.unit, of.unit, sizeof record.unit);
        memcpy(record.function, of.function, sizeof record.function);
    }

    static FormatContext Context(const TraceSite& site, const Record& record)
    {
        FormatContext context;
        context.function = site.function;
        context.unit = site.unit;
        context.line = site.line;
        context.level = record.level;
        context.flags = record.flags;
        context.flagNames = site.flagNames;
        context.flagCount = site.flagCount;
        return context;
    }
};

class Log {
public:
    Log(std::string name, size_t capacity)
        : name_(std::move(name)), capacity_(capacity), ring_(new Entry[capacity]), start_(Moment::Now())
    {
    }

    const std::string& Name() const { return name_; }

    void Append(Record* record)
    {
        Entry* entry = Claim(&record->sequence);
        if (entry == nullptr) {
            return;
        }
        entry->site = nullptr;
        entry->record = *record;
        entry->Release();
    }

    void AppendDeferred(const TraceSite* site, UCHAR level, ULONG flags, va_list args)
    {
        uint64_t sequence = 0;
        Entry* entry = Claim(&sequence);
        if (entry == nullptr) {
            return;
        }
        entry->ticks = Ticks();
        entry->level = level;
        entry->flags = flags;
        va_list capture;
        va_copy(capture, args);
        bool captured = CaptureArguments(site->plan, capture, &entry->args);
        va_end(capture);
        if (captured) {
            entry->site = site;
        } else {
            // Too much to keep for later: the text is made now, from the arguments themselves.
            entry->site = nullptr;
            Record& record = entry->record;
            entry->Describe(*site, TimeScale(start_, Moment::Now()));
            FormatTraceV(record.text, sizeof record.text, Entry::Context(*site, record), site->format.c_str(), args);
        }
        entry->Release();
    }

    // Formats what waits, so that nothing in the log refers to its driver's sites any more.
    void Stop()
    {
        running_.store(false, std::memory_order_release);
        std::lock_guard<std::mutex> guard(readLock_);
        TimeScale scale(start_, Moment::Now());
        for (size_t i = 0; i < capacity_; ++i) {
            ring_[i].Hold();
            ring_[i].Format(scale);
            ring_[i].Release();
        }
    }

    bool Running() const { return running_.load(std::memory_order_acquire); }

    // The records kept, oldest first; one whose writer has not finished yet is left out.
    std::vector<Record> Records() const
    {
        std::lock_guard<std::mutex> guard(readLock_);
        uint64_t total = total_.load(std::memory_order_acquire);
        uint64_t kept = std::min<uint64_t>(total - cleared_.load(std::memory_order_acquire), capacity_);
        std::vector<Record> records;
        records.reserve(kept);
        TimeScale scale(start_, Moment::Now());
        for (uint64_t sequence = total - kept + 1; sequence <= total; ++sequence) {
            Entry& entry = ring_[(sequence - 1) % capacity_];
            entry.Hold();
            if (entry.sequence == sequence) {
                entry.Format(scale);
                records.push_back(entry.record);
            }
            entry.Release();
        }
        return records;
    }

    uint64_t Overwritten() const
    {
        uint64_t written = total_.load(std::memory_order_acquire) - cleared_.load(std::memory_order_acquire);
        return written > capacity_ ? written - capacity_ : 0;
    }

    // Sequence numbers go on after a clear, so a record is never confused with an earlier one.
    void Clear() { cleared_.store(total_.load(std::memory_order_acquire), std::memory_order_release); }

private:
    // The place of the next record, held, with its sequence number; nullptr once stopped.
    Entry* Claim(uint64_t* sequence)
    {
        if (!running_.load(std::memory_order_acquire)) {
            return nullptr;
        }
        *sequence = total_.fetch_add(1, std::memory_order_acq_rel) + 1;
        Entry* entry = &ring_[(*sequence - 1) % capacity_];
        entry->Hold();
        entry->sequence = *sequence;
        return entry;
    }

    const std::string name_;
    const size_t capacity_;
    std::unique_ptr<Entry[]> ring_;
    std::atomic<uint64_t> total_{0};    // records ever appended
    std::atomic<uint64_t> cleared_{0};  // total_ at the last clear
    std::atomic<bool> running_{true};
    const Moment start_;                // the clocks when the log started
    mutable std::mutex readLock_;       // one reader (or the stop) at a time formats what waits
};

struct Store {
    std::mutex lock;
    std::vector<std::shared_ptr<Log>> logs;  // oldest first
    size_t capacity = kDefaultRecorderCapacity;
};

Store& Logs()
{
    static Store store;
    return store;
}

// The service name: the last component of the driver's registry path.
std::string ServiceName(PCUNICODE_STRING path)
{
    if (path == nullptr || path->Buffer == nullptr) {
        return "driver";
    }
    size_t length = std::min(path->Length, path->MaximumLength) / sizeof(WCHAR);
    size_t start = length;
    while (start > 0 && path->Buffer[start - 1] != L'\\') {
        --start;
    }
    std::string name;
    for (size_t i = start; i < length; ++i) {
        WCHAR c = path->Buffer[i];
        name += c > 0 && c < 0x7F ? static_cast<char>(c) : '?';
    }
    return name.empty() ? "driver" : name;
}

std::shared_ptr<Log> Find(const std::string& name)
{
    Store& store = Logs();
    std::lock_guard<std::mutex> guard(store.lock);
    for (auto it = store.logs.rbegin(); it != store.logs.rend(); ++it) {
        if (name.empty() || (*it)->Name() == name) {
            return *it;
        }
    }
    return nullptr;
}

}  // namespace

void SetRecorderCapacity(size_t records)
{
    Store& store = Logs();
    std::lock_guard<std::mutex> guard(store.lock);
    store.capacity = std::clamp<size_t>(records, 1, 65536);
}

size_t RecorderCapacity()
{
    Store& store = Logs();
    std::lock_guard<std::mutex> guard(store.lock);
    return store.capacity;
}

std::vector<std::string> RecorderLogs()
{
    Store& store = Logs();
    std::lock_guard<std::mutex> guard(store.lock);
    std::vector<std::string> names;
    for (const auto& log : store.logs) {
        names.push_back(log->Name());
    }
    return names;
}

std::vector<Record> RecorderRecords(const std::string& log)
{
    auto found = Find(log);
    return found != nullptr ? found->Records() : std::vector<Record>{};
}

uint64_t RecorderOverwritten(const std::string& log)
{
    auto found = Find(log);
    return found != nullptr ? found->Overwritten() : 0;
}

std::string DumpRecorder(const std::string& log)
{
    auto found = Find(log);
    if (found == nullptr) {
        return {};
    }
    std::string text;
    if (uint64_t lost = found->Overwritten()) {
        text += "(" + std::to_string(lost) + " earlier records overwritten)\n";
    }
    for (const Record& record : found->Records()) {
        text += FormatRecord(record);
        text += '\n';
    }
    return text;
}

void ClearRecorder()
{
    Store& store = Logs();
    std::lock_guard<std::mutex> guard(store.lock);
    // A running log's context is held by its driver, so it stays and is only emptied.
    store.logs.erase(std::remove_if(store.logs.begin(), store.logs.end(),
                                    [](const std::shared_ptr<Log>& log) { return !log->Running(); }),
                     store.logs.end());
    for (const auto& log : store.logs) {
        log->Clear();
    }
}

std::string FormatRecord(const Record& record)
{
    char text[sizeof(Record) + 64];
    unsigned long long time = record.time > 0 ? static_cast<unsigned long long>(record.time) : 0;
    snprintf(text, sizeof text, "%llu.%07llu %s %s %s: %s", time / 10000000ull, time % 10000000ull, record.unit,
             LevelName(record.level), record.function, record.text);
    return text;
}

}  // namespace plat::trace

PVOID WppAutoLogStart(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(DriverObject);
    plat::RequirePassive(__func__);
    using plat::trace::Log;
    plat::trace::Store& store = plat::trace::Logs();
    try {
        std::string name = plat::trace::ServiceName(RegistryPath);
        std::lock_guard<std::mutex> guard(store.lock);
        auto log = std::make_shared<Log>(name, store.capacity);
        // The driver's previous log (kept after its unload) gives way to the new one.
        store.logs.erase(std::remove_if(store.logs.begin(), store.logs.end(),
                                        [&](const std::shared_ptr<Log>& old) {
                                            return old->Name() == name && !old->Running();
                                        }),
                         store.logs.end());
        store.logs.push_back(log);
        return log.get();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

VOID WppAutoLogTrace(PVOID AutoLogContext, plat::trace::Record* Record)
{
    if (AutoLogContext != nullptr && Record != nullptr) {
        static_cast<plat::trace::Log*>(AutoLogContext)->Append(Record);
    }
}

VOID WppAutoLogTraceDeferred(PVOID AutoLogContext, const plat::trace::TraceSite* Site, UCHAR Level, ULONG Flags,
                             va_list Args)
{
    if (AutoLogContext != nullptr && Site != nullptr) {
        static_cast<plat::trace::Log*>(AutoLogContext)->AppendDeferred(Site, Level, Flags, Args);
    }
}

VOID WppAutoLogStop(PDRIVER_OBJECT DriverObject, PVOID AutoLogContext)
{
    UNREFERENCED_PARAMETER(DriverObject);
    if (AutoLogContext != nullptr) {
        static_cast<plat::trace::Log*>(AutoLogContext)->Stop();
    }
}
