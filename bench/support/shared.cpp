#include "support/shared.h"

#include <mutex>

namespace tvrx::bench {
namespace {

std::mutex g_lock;
std::unique_ptr<Bed> g_bed;
bool g_failed = false;

}  // namespace

Bed* SharedBed()
{
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_bed == nullptr && !g_failed) {
        auto bed = std::make_unique<Bed>();
        if (bed->Boot()) {
            g_bed = std::move(bed);
        } else {
            g_failed = true;
        }
    }
    return g_bed.get();
}

bool ReleaseSharedBed()
{
    std::lock_guard<std::mutex> guard(g_lock);
    bool clean = !g_failed;
    if (g_bed != nullptr) {
        clean = g_bed->Unload() && clean;
        g_bed.reset();
    }
    return clean;
}

}  // namespace tvrx::bench
