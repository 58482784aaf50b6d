/* The native firmware model: the embedded default firmware of the machine. */
#pragma once
#include <memory>
#include "firmware/firmware.h"

namespace plat {

class NativeFirmware;
std::shared_ptr<NativeFirmware> MakeNativeFirmware();

}  // namespace plat
