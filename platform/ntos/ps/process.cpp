/* Processes, the process table and the thread's current process. */
#include "ntos/ps/process.h"

#include <algorithm>
#include <cstdio>

#include "base/bugcheck.h"
#include "base/verifier.h"
#include "ntos/io/irp.h"

namespace plat {
namespace {

__attribute__((tls_model("initial-exec"))) thread_local Process* t_current = nullptr;

std::mutex g_tableLock;
std::atomic<ProcessTable*> g_table{nullptr};

std::string HandleText(HANDLE handle)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(handle)));
    return text;
}

}  // namespace

Process::Process(std::string name, ULONG id, uint32_t serial, std::shared_ptr<const se::Token> token)
    : name_(std::move(name)), id_(id), handles_(false, serial), token_(std::move(token))
{
}

ProcessTable::ProcessTable()
    : kernelHandles_(true, 0), system_(std::make_unique<Process>("System", Process::kSystemId, 1, se::SystemToken()))
{
    handleReporter_ = verifier::AddReporter("kernel handles", [this](std::vector<std::string>& findings) {
        kernelHandles_.ForEach([&findings](HANDLE handle, ob::Object* object, ACCESS_MASK) {
            findings.push_back("kernel handle not closed: " + HandleText(handle) + " to " + object->Describe());
        });
        system_->Handles().ForEach([&findings](HANDLE handle, ob::Object* object, ACCESS_MASK) {
            findings.push_back("handle of the System process not closed: " + HandleText(handle) + " to " +
                               object->Describe());
        });
    });
    std::lock_guard<std::mutex> guard(g_tableLock);
    previous_ = g_table.load();
    g_table.store(this);
}

ProcessTable::~ProcessTable()
{
    verifier::RemoveReporter(handleReporter_);
    for (const std::shared_ptr<Process>& process : List()) {
        Exit(*process);
    }
    system_->Handles().CloseAll();
    kernelHandles_.CloseAll();
    std::lock_guard<std::mutex> guard(g_tableLock);
    g_table.store(previous_);
}

ProcessTable& ProcessTable::Current()
{
    ProcessTable* table = CurrentOrNull();
    if (table == nullptr) {
        BugCheck(0xDEADDEAD, "no process table: a kernel service ran outside a plat::Machine");
    }
    return *table;
}

ProcessTable* ProcessTable::CurrentOrNull() { return g_table.load(std::memory_order_acquire); }

std::shared_ptr<Process> ProcessTable::Create(const std::string& name, se::TokenKind kind)
{
    std::shared_ptr<const se::Token> token = se::MakeToken(kind);
    std::lock_guard<std::mutex> guard(lock_);
    auto process = std::make_shared<Process>(name, nextId_, nextSerial_++, std::move(token));
    nextId_ += 4;
    processes_.push_back(process);
    return process;
}

void ProcessTable::Exit(Process& process)
{
    if (process.IsSystem() || process.exited_.exchange(true)) {
        return;
    }
    // Marked ending first: a thread of the process that sends after the
    // cancellation below is refused rather than waited for. Each of its
    // threads cancels its requests at its exit and waits for them (IoCancelThreadIo).
    io::IoCancelProcessIo(&process);
    {
        ProcessScope scope(process);
        process.Handles().CloseAll();
    }
    std::lock_guard<std::mutex> guard(lock_);
    processes_.erase(std::remove_if(processes_.begin(), processes_.end(),
                                    [&process](const std::shared_ptr<Process>& p) { return p.get() == &process; }),
                     processes_.end());
}

std::shared_ptr<Process> ProcessTable::Find(ULONG id) const
{
    std::lock_guard<std::mutex> guard(lock_);
    for (const std::shared_ptr<Process>& process : processes_) {
        if (process->Id() == id) {
            return process;
        }
    }
    return nullptr;
}

std::vector<std::shared_ptr<Process>> ProcessTable::List() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return processes_;
}

Process& CurrentProcess()
{
    return t_current != nullptr ? *t_current : ProcessTable::Current().System();
}

ProcessScope::ProcessScope(Process& process) : previous_(t_current) { t_current = &process; }
ProcessScope::~ProcessScope() { t_current = previous_; }

}  // namespace plat
