/* Trace providers, the live session, and enabling one for the other. */
#include "wpp/control.h"

#include <string.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <sstream>

#include "base/verifier.h"

namespace plat::trace {
namespace {

struct Entry {
    REGHANDLE handle = 0;
    bool traces = false;  // has a control GUID
    GUID control{};
    Registration how = Registration::None;
    PETW_CLASSIC_CALLBACK callback = nullptr;
    PVOID context = nullptr;
    const void* registrant = nullptr;  // WMI registrations
};

struct Session {
    USHORT id = 0;
    UCHAR level = 0;
    ULONG flags = 0;
    Sink sink;
};

struct State {
    // Guards the providers and enabling; callbacks run under it.
    std::mutex control;
    std::vector<Entry> providers;
    REGHANDLE nextHandle = 1;
    USHORT lastSession = 0;
    // Guards the session pointer only, so delivery never waits for enabling.
    std::mutex sessionLock;
    std::shared_ptr<const Session> session;
    std::atomic<uint64_t> delivered{0};
};

State& Trace()
{
    static State state;
    return state;
}

USHORT LoggerIdOf(TRACEHANDLE logger)
{
    TRACE_ENABLE_CONTEXT context;
    memcpy(&context, &logger, sizeof context);
    return context.LoggerId;
}

std::shared_ptr<const Session> CurrentSession()
{
    State& s = Trace();
    std::lock_guard<std::mutex> guard(s.sessionLock);
    return s.session;
}

// Called with the control lock held.
void Notify(const Entry& entry, UCHAR code, const Session& session)
{
    if (!entry.traces || entry.callback == nullptr) {
        return;
    }
    TRACE_ENABLE_CONTEXT context{session.id, session.level, 0, session.flags};
    entry.callback(&entry.control, code, &context, entry.context);
}

void Report(std::vector<std::string>& findings)
{
    State& s = Trace();
    std::lock_guard<std::mutex> guard(s.control);
    for (const Entry& entry : s.providers) {
        if (entry.traces) {
            findings.push_back("trace provider " + GuidText(entry.control) + " still registered (" +
                               RegistrationName(entry.how) + ")");
        } else {
            std::ostringstream text;
            text << "WMI registration of " << entry.registrant << " still registered";
            findings.push_back(text.str());
        }
    }
}

void AddReporterOnce()
{
    static std::once_flag added;
    std::call_once(added, [] { verifier::AddReporter("trace providers", Report); });
}

}  // namespace

namespace control {

REGHANDLE Add(const GUID* control, Registration how, PETW_CLASSIC_CALLBACK callback, PVOID context,
              const void* wmiRegistrant)
{
    AddReporterOnce();
    State& s = Trace();
    std::lock_guard<std::mutex> guard(s.control);
    if (wmiRegistrant != nullptr) {
        for (const Entry& existing : s.providers) {
            if (existing.registrant == wmiRegistrant) {
                return 0;
            }
        }
    }
    Entry entry;
    entry.handle = s.nextHandle++;
    entry.traces = control != nullptr;
    entry.control = control != nullptr ? *control : GUID{};
    entry.how = how;
    entry.callback = callback;
    entry.context = context;
    entry.registrant = wmiRegistrant;
    s.providers.push_back(entry);
    // As with a real session, a provider that registers while it is wanted is enabled at once.
    if (auto session = CurrentSession()) {
        Notify(entry, EVENT_CONTROL_CODE_ENABLE_PROVIDER, *session);
    }
    return entry.handle;
}

bool Remove(REGHANDLE handle)
{
    State& s = Trace();
    std::lock_guard<std::mutex> guard(s.control);
    for (auto it = s.providers.begin(); it != s.providers.end(); ++it) {
        if (it->handle == handle && it->how == Registration::Classic) {
            s.providers.erase(it);
            return true;
        }
    }
    return false;
}

bool RemoveWmi(const void* registrant)
{
    State& s = Trace();
    std::lock_guard<std::mutex> guard(s.control);
    for (auto it = s.providers.begin(); it != s.providers.end(); ++it) {
        if (it->how == Registration::Wmi && it->registrant == registrant) {
            s.providers.erase(it);
            return true;
        }
    }
    return false;
}

bool LoggerLive(TRACEHANDLE logger)
{
    auto session = CurrentSession();
    return session != nullptr && logger != 0 && session->id == LoggerIdOf(logger);
}

NTSTATUS Deliver(TRACEHANDLE logger, const Record& record)
{
    auto session = CurrentSession();
    if (session == nullptr || logger == 0 || session->id != LoggerIdOf(logger)) {
        return STATUS_INVALID_HANDLE;
    }
    Trace().delivered.fetch_add(1, std::memory_order_relaxed);
    if (session->sink) {
        session->sink(record);
    }
    return STATUS_SUCCESS;
}

}  // namespace control

void EnableSession(UCHAR level, ULONG flags, Sink sink)
{
    State& s = Trace();
    std::lock_guard<std::mutex> guard(s.control);
    auto session = std::make_shared<Session>();
    // Logger id 0 would make a zero logger handle, which means "not enabled".
    s.lastSession = static_cast<USHORT>(s.lastSession == 0xFFFF ? 1 : s.lastSession + 1);
    session->id = s.lastSession;
    session->level = level;
    session->flags = flags;
    session->sink = std::move(sink);
    {
        std::lock_guard<std::mutex> sessionGuard(s.sessionLock);
        s.session = session;
    }
    s.delivered.store(0, std::memory_order_relaxed);
    for (const Entry& entry : s.providers) {
        Notify(entry, EVENT_CONTROL_CODE_ENABLE_PROVIDER, *session);
    }
}

void DisableSession()
{
    State& s = Trace();
    std::lock_guard<std::mutex> guard(s.control);
    std::shared_ptr<const Session> session;
    {
        std::lock_guard<std::mutex> sessionGuard(s.sessionLock);
        session.swap(s.session);
    }
    if (session == nullptr) {
        return;
    }
    for (const Entry& entry : s.providers) {
        Notify(entry, EVENT_CONTROL_CODE_DISABLE_PROVIDER, *session);
    }
}

bool SessionEnabled() { return CurrentSession() != nullptr; }

uint64_t SessionDelivered() { return Trace().delivered.load(std::memory_order_relaxed); }

const char* RegistrationName(Registration how)
{
    switch (how) {
    case Registration::Classic: return "classic";
    case Registration::Wmi: return "WMI";
    default: return "none";
    }
}

Registration RegistrationOf(const GUID& control)
{
    State& s = Trace();
    std::lock_guard<std::mutex> guard(s.control);
    for (const Entry& entry : s.providers) {
        if (entry.traces && entry.control == control) {
            return entry.how;
        }
    }
    return Registration::None;
}

std::vector<Provider> Providers()
{
    State& s = Trace();
    std::lock_guard<std::mutex> guard(s.control);
    std::vector<Provider> providers;
    for (const Entry& entry : s.providers) {
        if (entry.traces) {
            providers.push_back(Provider{entry.control, entry.how});
        }
    }
    return providers;
}

void Reset()
{
    DisableSession();
    ClearRecorder();
}

}  // namespace plat::trace
