/*
 * In-flight recorder logs: a ring of fixed-size records per driver, allocated
 * when the log starts so that appending (at any IRQL, on every trace) costs a
 * short lock and a copy.
 */
#include "wpp/recorder.h"

#include <stdio.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <new>

#include "nt/irql.h"

namespace plat::trace {
namespace {

class Log {
public:
    Log(std::string name, size_t capacity) : name_(std::move(name)), ring_(capacity) {}

    const std::string& Name() const { return name_; }

    void Append(Record* record)
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!running_) {
            return;
        }
        record->sequence = ++total_;
        ring_[(total_ - 1) % ring_.size()] = *record;
    }

    void Stop()
    {
        std::lock_guard<std::mutex> guard(lock_);
        running_ = false;
    }

    bool Running() const
    {
        std::lock_guard<std::mutex> guard(lock_);
        return running_;
    }

    std::vector<Record> Records() const
    {
        std::lock_guard<std::mutex> guard(lock_);
        uint64_t kept = std::min<uint64_t>(total_ - cleared_, ring_.size());
        std::vector<Record> records;
        records.reserve(kept);
        for (uint64_t i = total_ - kept; i < total_; ++i) {
            records.push_back(ring_[i % ring_.size()]);
        }
        return records;
    }

    uint64_t Overwritten() const
    {
        std::lock_guard<std::mutex> guard(lock_);
        uint64_t written = total_ - cleared_;
        return written > ring_.size() ? written - ring_.size() : 0;
    }

    // Sequence numbers go on after a clear, so a record is never confused with an earlier one.
    void Clear()
    {
        std::lock_guard<std::mutex> guard(lock_);
        cleared_ = total_;
    }

private:
    const std::string name_;
    mutable std::mutex lock_;
    std::vector<Record> ring_;
    uint64_t total_ = 0;    // records ever appended
    uint64_t cleared_ = 0;  // total_ at the last clear
    bool running_ = true;
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

VOID WppAutoLogStop(PDRIVER_OBJECT DriverObject, PVOID AutoLogContext)
{
    UNREFERENCED_PARAMETER(DriverObject);
    if (AutoLogContext != nullptr) {
        static_cast<plat::trace::Log*>(AutoLogContext)->Stop();
    }
}
