/*
 * The security descriptor an installed driver package gives its device: the
 * Security value its hardware section adds to the device's key
 * ([<install>.NT.HW] AddReg = <section>; in that section
 * HKR,,Security,,"<SDDL>"), which the Plug and Play manager applies to every
 * device object of the device's stack after AddDevice.
 */
#pragma once
#include <memory>
#include <stdexcept>
#include <string>

#include "ntos/se/security.h"

namespace plat {

// The descriptor the INF text gives its device; nullptr when it gives none
// (the device keeps the default). Malformed SDDL throws InfError naming the
// file, the line and the column of the fault.
std::shared_ptr<const se::SecurityDescriptor> InfDeviceSecurity(const std::string& infText,
                                                                const std::string& infName);

struct InfError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

}  // namespace plat
