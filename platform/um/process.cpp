/* Simulated client processes. */
#include <windows.h>

#include "ntos/io/irp.h"
#include "ntos/ps/process.h"
#include "um/client.h"

namespace plat::um {

Process::Process(const std::string& name, se::TokenKind kind) : process_(ProcessTable::Current().Create(name, kind)) {}

Process::~Process() { Exit(); }

std::thread Process::Thread(std::function<void()> body)
{
    return std::thread([process = process_, body = std::move(body)] {
        ProcessScope scope(*process);
        body();
        io::IoCancelThreadIo();
    });
}

void Process::Exit()
{
    EndNotifications(*process_);
    // A machine that is already gone ended every process with it.
    if (ProcessTable* table = ProcessTable::CurrentOrNull()) {
        table->Exit(*process_);
    }
}

}  // namespace plat::um

extern "C" {

DWORD GetCurrentProcessId(VOID) { return plat::CurrentProcess().Id(); }

}  // extern "C"
