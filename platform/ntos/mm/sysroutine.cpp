/* MmGetSystemRoutineAddress over the routines that subsystems export. */
#include "ntos/mm/sysroutine.h"

#include <wdm.h>

#include "ntos/ke/irql.h"

#include <map>
#include <mutex>
#include <string>

namespace plat {
namespace {

struct Export {
    void* address;
    std::function<bool()> available;
};

std::mutex& Lock()
{
    static std::mutex lock;
    return lock;
}

std::map<std::string, Export>& Exports()
{
    static std::map<std::string, Export> exports;
    return exports;
}

}  // namespace

void RegisterSystemRoutine(const char* name, void* address, std::function<bool()> available)
{
    std::lock_guard<std::mutex> guard(Lock());
    Exports()[name] = Export{address, std::move(available)};
}

}  // namespace plat

extern "C" PVOID MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName)
{
    plat::RequirePassive(__func__);
    std::string name;
    for (USHORT i = 0; i < SystemRoutineName->Length / sizeof(WCHAR); ++i) {
        WCHAR c = SystemRoutineName->Buffer[i];
        if (c <= 0 || c > 0x7F) {
            return nullptr;
        }
        name += static_cast<char>(c);
    }
    plat::Export found{};
    {
        std::lock_guard<std::mutex> guard(plat::Lock());
        auto it = plat::Exports().find(name);
        if (it == plat::Exports().end()) {
            return nullptr;
        }
        found = it->second;
    }
    if (found.available && !found.available()) {
        return nullptr;
    }
    return found.address;
}
