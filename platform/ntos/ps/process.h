/*
 * Simulated processes. Each has its own handle table; a handle value means
 * nothing in another process. A thread runs as one process at a time: user
 * threads as their client process (ProcessScope), every other thread as the
 * System process. Kernel handles live in the kernel's table, apart from all
 * processes.
 *
 * Every process has an access token, made when the process is: the System
 * process runs as SYSTEM, a client process as the kind of account it is
 * created for (LocalService unless told otherwise, as a service would).
 */
#pragma once
#include <wdm.h>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ntos/ob/handle.h"
#include "ntos/ob/object.h"
#include "ntos/se/token.h"

namespace plat {

class Process {
public:
    Process(std::string name, ULONG id, uint32_t serial, std::shared_ptr<const se::Token> token);
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    const std::string& Name() const { return name_; }
    ULONG Id() const { return id_; }
    bool IsSystem() const { return id_ == kSystemId; }
    bool Exited() const { return exited_.load(std::memory_order_acquire); }
    ob::HandleTable& Handles() { return handles_; }
    const se::Token& Token() const { return *token_; }

    static constexpr ULONG kSystemId = 4;

private:
    friend class ProcessTable;
    std::string name_;
    ULONG id_;
    std::atomic<bool> exited_{false};
    ob::HandleTable handles_;
    std::shared_ptr<const se::Token> token_;
};

// The machine's processes and the kernel's handles and names. One table is
// current at a time (the machine's); it is made and ended with its machine.
class ProcessTable {
public:
    ProcessTable();
    ~ProcessTable();  // ends every process, then closes the kernel's handles

    static ProcessTable& Current();  // stops the system when there is none
    static ProcessTable* CurrentOrNull();
    ProcessTable(const ProcessTable&) = delete;
    ProcessTable& operator=(const ProcessTable&) = delete;

    Process& System() { return *system_; }
    ob::HandleTable& KernelHandles() { return kernelHandles_; }
    ob::Directory& Names() { return names_; }

    // A new running process with an empty handle table, running as an account of the kind.
    std::shared_ptr<Process> Create(const std::string& name, se::TokenKind kind = se::TokenKind::LocalService);
    // Ends a process as process exit does: from here on its threads send no
    // new requests (STATUS_PROCESS_IS_TERMINATING), the requests they sent are
    // cancelled and waited for, then every handle it still has is closed (a
    // device handle takes its file object's close path), on this thread.
    void Exit(Process& process);
    std::shared_ptr<Process> Find(ULONG id) const;
    std::vector<std::shared_ptr<Process>> List() const;

private:
    ob::Directory names_;
    ob::HandleTable kernelHandles_;
    std::unique_ptr<Process> system_;
    mutable std::mutex lock_;
    std::vector<std::shared_ptr<Process>> processes_;
    ULONG nextId_ = 1000;
    uint32_t nextSerial_ = 2;
    int handleReporter_ = 0;
    ProcessTable* previous_ = nullptr;
};

// A thread as a handle names it (OpenThread): the thread of that number (io::ThreadId).
struct ThreadObject : ob::Object {
    explicit ThreadObject(uint64_t id_) : ob::Object(ob::ThreadType()), id(id_) {}
    const uint64_t id;
};

// The process the calling thread runs as.
Process& CurrentProcess();

// Runs the enclosing scope of this thread as the process.
class ProcessScope {
public:
    explicit ProcessScope(Process& process);
    ~ProcessScope();
    ProcessScope(const ProcessScope&) = delete;
    ProcessScope& operator=(const ProcessScope&) = delete;

private:
    Process* previous_;
};

}  // namespace plat
