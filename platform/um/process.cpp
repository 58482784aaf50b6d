/* Simulated client processes. */
#include <windows.h>

#include "machine/machine.h"
#include "um/client.h"

namespace plat::um {

Process::Process(const std::string& name) : process_(Machine::Current().Processes().Create(name)) {}

Process::~Process() { Exit(); }

std::thread Process::Thread(std::function<void()> body)
{
    return std::thread([process = process_, body = std::move(body)] {
        ProcessScope scope(*process);
        body();
    });
}

void Process::Exit()
{
    // A machine that is already gone ended every process with it.
    if (Machine* machine = Machine::CurrentOrNull()) {
        machine->Processes().Exit(*process_);
    }
}

}  // namespace plat::um

extern "C" {

DWORD GetCurrentProcessId(VOID) { return plat::CurrentProcess().Id(); }

}  // extern "C"
