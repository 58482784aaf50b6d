/*
 * The INF reader on any text: it reads a package or fails with a message
 * and the file it names, never more. Every model it reads has a hardware ID,
 * an install section that exists, and a service binary when it has a
 * service; a device with a model's IDs matches a model.
 */
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "ntos/pnp/inf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string_view text(reinterpret_cast<const char*>(data), size);
    plat::pnp::InfPackage package;
    plat::pnp::InfError error;
    if (!plat::pnp::ParseInf(text, "fuzz.inf", &package, &error)) {
        if (error.message.empty() || error.file != "fuzz.inf") {
            std::abort();
        }
        return 0;
    }
    for (const plat::pnp::InfModel& model : package.models) {
        if (model.hardwareIds.empty() || model.hardwareIds[0].empty() || model.decoratedInstall.empty() ||
            (!model.service.empty() && model.serviceBinary.empty())) {
            std::fprintf(stderr, "a model read at line %u is incomplete\n", model.line);
            std::abort();
        }
        if (plat::pnp::MatchModel(package, model.hardwareIds, model.compatibleIds) == nullptr) {
            std::fprintf(stderr, "the model at line %u matches nothing\n", model.line);
            std::abort();
        }
    }
    return 0;
}
