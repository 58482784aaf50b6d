/*
 * In-flight recorder logs: per driver, a ring of fixed-size places for each
 * thread that traces (a lane, handed on when its thread ends). A writer
 * fills the next place of its own lane without a lock or an atomic
 * read-modify-write, so writers on several processors neither wait for each
 * other nor share a cache line; a reader copies what it can get consistently
 * and merges the lanes by time. A trace of a known site
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
#include <cstddef>
#include <chrono>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "machine/hardware.h"
#include "ntos/ke/irql.h"

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
        if (Hardware* machine = Hardware::CurrentOrNull()) {
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

// What a writer leaves in a place of the ring: a trace of a known site with
// a capture of its arguments (formatted when read), or a record formatted at
// once. Only the parts in use are copied in and out.
struct Payload {
    uint64_t number = 0;               // of the record in its lane, from 1
    uint64_t ticks = 0;
    const TraceSite* site = nullptr;   // nullptr: the record is formatted
    ULONG flags = 0;
    UCHAR level = 0;
    CapturedArguments args;
    Record record;

    // Byte ranges in use, in multiples of 8: the fixed fields, then either the
    // arguments taken and their text, or the formatted record.
    template <class Visit>
    void ForEachRange(Visit visit) const
    {
        visit(size_t{0}, offsetof(Payload, args) + offsetof(CapturedArguments, slots));
        if (site != nullptr) {
            size_t slots = std::min<size_t>(args.count, kMaxCapturedArguments);
            size_t text = (std::min<size_t>(args.textUsed, kCapturedTextBytes) + 7) & ~size_t{7};
            visit(offsetof(Payload, args) + offsetof(CapturedArguments, slots), slots * sizeof(uint64_t));
            visit(offsetof(Payload, args) + offsetof(CapturedArguments, text), text);
        } else {
            visit(offsetof(Payload, record), sizeof(Record));
        }
    }

    // Every field of the record but its text, for a trace of a site.
    void Describe(const TimeScale& scale)
    {
        record.time = scale.MachineTime(ticks);
        record.level = level;
        record.flags = flags;
        record.message = site->message;
        record.line = site->line;
        memcpy(record.unit, site->unit, sizeof record.unit);
        memcpy(record.function, site->function, sizeof record.function);
    }

    FormatContext Context() const
    {
        FormatContext context;
        context.function = site->function;
        context.unit = site->unit;
        context.line = site->line;
        context.level = level;
        context.flags = flags;
        context.flagNames = site->flagNames;
        context.flagCount = site->flagCount;
        return context;
    }

    // The record, formatted from the capture when it was kept for later.
    Record Format(const TimeScale& scale)
    {
        if (site != nullptr) {
            Describe(scale);
            FormatCaptured(record.text, sizeof record.text, Context(), site->format.c_str(), args);
        }
        return record;
    }
};
static_assert(offsetof(Payload, args) % 8 == 0 && offsetof(Payload, record) % 8 == 0 && sizeof(Payload) % 8 == 0,
              "a payload is copied in whole words");

// One place of a ring, written by its lane's one writer and read by readers
// that never stop it: the writer makes the version odd while it writes, and
// a reader keeps a copy only when the version was even and unchanged around
// it. Every word is copied atomically, so a reader racing the writer gets a
// torn copy that it throws away, never a data race. Words are stored with
// release and loaded with acquire order (plain moves on x86): a reader that
// sees any word of a newer write also sees the odd version stored before it.
class Place {
public:
    void Write(const Payload& payload)
    {
        uint64_t version = version_.load(std::memory_order_relaxed);
        version_.store(version + 1, std::memory_order_relaxed);
        payload.ForEachRange([&](size_t offset, size_t bytes) { StoreWords(offset, &payload, bytes); });
        version_.store(version + 2, std::memory_order_release);
    }

    // A consistent copy of the record numbered number, or false.
    bool Read(uint64_t number, Payload* payload) const
    {
        uint64_t before = version_.load(std::memory_order_acquire);
        if ((before & 1) != 0) {
            return false;  // being written
        }
        LoadWords(0, payload, offsetof(Payload, args) + offsetof(CapturedArguments, slots));
        payload->ForEachRange([&](size_t offset, size_t bytes) {
            if (offset != 0) {
                LoadWords(offset, payload, bytes);
            }
        });
        return version_.load(std::memory_order_relaxed) == before && payload->number == number;
    }

private:
    static constexpr size_t kWords = sizeof(Payload) / sizeof(uint64_t);

    void StoreWords(size_t offset, const Payload* from, size_t bytes)
    {
        const auto* source = reinterpret_cast<const unsigned char*>(from) + offset;
        for (size_t i = 0; i < bytes / sizeof(uint64_t); ++i) {
            uint64_t word;
            memcpy(&word, source + i * sizeof word, sizeof word);
            __atomic_store_n(&words_[offset / sizeof word + i], word, __ATOMIC_RELEASE);
        }
    }
    void LoadWords(size_t offset, Payload* to, size_t bytes) const
    {
        auto* target = reinterpret_cast<unsigned char*>(to) + offset;
        for (size_t i = 0; i < bytes / sizeof(uint64_t); ++i) {
            uint64_t word = __atomic_load_n(&words_[offset / sizeof word + i], __ATOMIC_ACQUIRE);
            memcpy(target + i * sizeof word, &word, sizeof word);
        }
    }

    std::atomic<uint64_t> version_{0};
    uint64_t words_[kWords] = {};
};

// The records of one writer thread at a time, in a ring of a power of two
// places (at least the log's capacity), so that each keeps its own newest
// records and writers share neither a lock nor a cache line. A thread takes
// a lane at its first trace into a log and gives it back when it ends; the
// next thread that needs one goes on where it left off. A lane has cache
// lines of its own: lanes made one after the other by threads that shared an
// allocator arena would otherwise share one, and every trace writes its count.
class alignas(64) Lane {
public:
    explicit Lane(size_t places) : mask_(places - 1), ring_(new (std::nothrow) Place[places]) {}
    bool Made() const { return ring_ != nullptr; }

    // By the lane's owner only.
    void Write(Payload* payload)
    {
        payload->number = written_.load(std::memory_order_relaxed) + 1;
        ring_[(payload->number - 1) & mask_].Write(*payload);
        written_.store(payload->number, std::memory_order_release);
    }

    uint64_t Written() const { return written_.load(std::memory_order_acquire); }
    uint64_t SinceClear() const { return Written() - cleared_.load(std::memory_order_acquire); }
    uint64_t Kept() const { return std::min<uint64_t>(SinceClear(), mask_ + 1); }
    void Clear() { cleared_.store(Written(), std::memory_order_release); }
    bool Read(uint64_t number, Payload* payload) const { return ring_[(number - 1) & mask_].Read(number, payload); }

    bool TryTake() { return !owned_.exchange(true, std::memory_order_acquire); }
    void Give() { owned_.store(false, std::memory_order_release); }

private:
    std::atomic<uint64_t> written_{0};  // records ever written
    std::atomic<uint64_t> cleared_{0};  // written_ at the last clear
    std::atomic<bool> owned_{false};
    const size_t mask_;
    std::unique_ptr<Place[]> ring_;
};

size_t PowerOfTwoAtLeast(size_t n)
{
    size_t places = 1;
    while (places < n) {
        places <<= 1;
    }
    return places;
}

// A record read from a lane: what puts it in order among the others, and
// where its copy lies.
struct Taken {
    uint64_t ticks;
    size_t lane;
    uint64_t number;
    size_t copy;
};

class Log;

// The lanes this thread writes, by log; each is given back when the thread ends.
class ThreadLanes {
public:
    ~ThreadLanes();
    Lane* Find(uint64_t log) const
    {
        for (const Held& held : held_) {
            if (held.log == log) {
                return held.lane;
            }
        }
        return nullptr;
    }
    void Keep(uint64_t log, Lane* lane, std::weak_ptr<Log> owner);

private:
    struct Held {
        uint64_t log = 0;
        Lane* lane = nullptr;
        std::weak_ptr<Log> owner;
    };
    Held held_[4];
    size_t next_ = 0;
};

thread_local ThreadLanes t_lanes;
// Where a writer builds what it leaves in its lane (too large to clear on every trace).
thread_local Payload t_payload;

class Log : public std::enable_shared_from_this<Log> {
public:
    Log(std::string name, size_t capacity)
        : name_(std::move(name)),
          capacity_(capacity),
          places_(PowerOfTwoAtLeast(capacity)),
          id_(NextId()),
          start_(Moment::Now())
    {
    }
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;

    const std::string& Name() const { return name_; }

    // A record formatted by its writer; its sequence is its place among all
    // records written so far (exact while one writer traces at a time).
    void Append(Record* record)
    {
        Lane* lane = WriterLane();
        if (lane == nullptr) {
            return;
        }
        Payload& payload = t_payload;
        payload.ticks = Ticks();
        payload.site = nullptr;
        payload.record = *record;
        lane->Write(&payload);
        record->sequence = Total();
    }

    void AppendDeferred(const TraceSite* site, UCHAR level, ULONG flags, va_list args)
    {
        Lane* lane = WriterLane();
        if (lane == nullptr) {
            return;
        }
        Payload& payload = t_payload;
        payload.ticks = Ticks();
        payload.level = level;
        payload.flags = flags;
        payload.site = site;
        va_list capture;
        va_copy(capture, args);
        bool captured = CaptureArguments(site->plan, capture, &payload.args);
        va_end(capture);
        if (!captured) {
            // Too much to keep for later: the text is made now, from the arguments themselves.
            payload.Describe(TimeScale(start_, Moment::Now()));
            FormatTraceV(payload.record.text, sizeof payload.record.text, payload.Context(), site->format.c_str(),
                         args);
            payload.site = nullptr;
        }
        lane->Write(&payload);
    }

    // Formats what is kept, so that nothing in the log refers to its driver's
    // sites any more; the log reads the same from now on.
    void Stop()
    {
        running_.store(false, std::memory_order_release);
        std::lock_guard<std::mutex> guard(readLock_);
        stopped_ = Collect();
        isStopped_ = true;
    }

    bool Running() const { return running_.load(std::memory_order_acquire); }

    // The newest records kept, oldest first, in the order of their times; one
    // whose writer has not finished yet is left out.
    std::vector<Record> Records() const
    {
        std::lock_guard<std::mutex> guard(readLock_);
        return isStopped_ ? stopped_ : Collect();
    }

    uint64_t Overwritten() const
    {
        uint64_t written = 0;
        ForEachLane([&](size_t, const Lane& lane) { written += lane.SinceClear(); });
        return written > capacity_ ? written - capacity_ : 0;
    }

    // Sequence numbers go on after a clear, so a record is never confused with an earlier one.
    void Clear()
    {
        std::lock_guard<std::mutex> guard(readLock_);
        ForEachLane([](size_t, Lane& lane) { lane.Clear(); });
        stopped_.clear();
    }

    // A lane nobody writes, or a new one; nullptr when none can be made.
    Lane* TakeLane()
    {
        std::lock_guard<std::mutex> guard(laneLock_);
        for (const auto& lane : lanes_) {
            if (lane->TryTake()) {
                return lane.get();
            }
        }
        auto lane = std::unique_ptr<Lane>(new (std::nothrow) Lane(places_));
        if (lane == nullptr || !lane->Made() || !lane->TryTake()) {
            return nullptr;
        }
        try {
            lanes_.push_back(std::move(lane));
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
        return lanes_.back().get();
    }

private:
    static uint64_t NextId()
    {
        static std::atomic<uint64_t> next{0};
        return next.fetch_add(1, std::memory_order_relaxed) + 1;
    }

    // The calling thread's lane of this log; nullptr once stopped.
    Lane* WriterLane()
    {
        if (!running_.load(std::memory_order_acquire)) {
            return nullptr;
        }
        if (Lane* lane = t_lanes.Find(id_)) {
            return lane;
        }
        Lane* lane = TakeLane();
        if (lane != nullptr) {
            t_lanes.Keep(id_, lane, weak_from_this());
        }
        return lane;
    }

    // Copies what every lane keeps, puts it in the order of its times and
    // formats the newest records up to the log's capacity (only those).
    std::vector<Record> Collect() const
    {
        std::vector<Taken> taken;
        std::vector<Payload> copies;
        uint64_t total = 0;
        ForEachLane([&](size_t index, const Lane& lane) {
            uint64_t written = lane.Written();
            total += written;
            for (uint64_t number = written - std::min(lane.Kept(), written) + 1; number <= written; ++number) {
                copies.emplace_back();
                if (lane.Read(number, &copies.back())) {
                    taken.push_back(Taken{copies.back().ticks, index, number, copies.size() - 1});
                } else {
                    copies.pop_back();
                }
            }
        });
        std::sort(taken.begin(), taken.end(), [](const Taken& a, const Taken& b) {
            return a.ticks != b.ticks ? a.ticks < b.ticks : a.lane != b.lane ? a.lane < b.lane : a.number < b.number;
        });
        TimeScale scale(start_, Moment::Now());
        size_t kept = std::min(taken.size(), capacity_);
        std::vector<Record> records;
        records.reserve(kept);
        for (size_t i = taken.size() - kept; i < taken.size(); ++i) {
            records.push_back(copies[taken[i].copy].Format(scale));
            records.back().sequence = total - (taken.size() - 1 - i);
        }
        return records;
    }

    uint64_t Total() const
    {
        uint64_t total = 0;
        ForEachLane([&](size_t, const Lane& lane) { total += lane.Written(); });
        return total;
    }

    template <class Visit>
    void ForEachLane(Visit visit) const
    {
        std::lock_guard<std::mutex> guard(laneLock_);
        for (size_t i = 0; i < lanes_.size(); ++i) {
            visit(i, *lanes_[i]);
        }
    }

    const std::string name_;
    const size_t capacity_;
    const size_t places_;  // of each lane's ring
    const uint64_t id_;    // never reused, so a thread's lanes of an ended log are never taken for another's
    mutable std::mutex laneLock_;  // the list of lanes (not what they hold)
    std::vector<std::unique_ptr<Lane>> lanes_;
    std::atomic<bool> running_{true};
    const Moment start_;           // the clocks when the log started
    mutable std::mutex readLock_;  // one reader (or the stop) at a time
    std::vector<Record> stopped_;  // what the log holds once stopped
    bool isStopped_ = false;
};

ThreadLanes::~ThreadLanes()
{
    for (Held& held : held_) {
        if (auto log = held.owner.lock()) {
            held.lane->Give();
        }
    }
}

// Keeps the lane of a log; the oldest kept is given back when all places are taken.
void ThreadLanes::Keep(uint64_t log, Lane* lane, std::weak_ptr<Log> owner)
{
    Held& held = held_[next_++ % (sizeof held_ / sizeof held_[0])];
    if (auto previous = held.owner.lock()) {
        held.lane->Give();
    }
    held = Held{log, lane, std::move(owner)};
}

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
