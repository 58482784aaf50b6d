/* NTSTATUS names for traces, reports and the simulator. */
#pragma once
#include <ntdef.h>
#include <string>

namespace plat {

// The "STATUS_..." name of a known status, or nullptr.
const char* StatusName(NTSTATUS status);

// "STATUS_NAME (0xXXXXXXXX)" for a known status, "0xXXXXXXXX" otherwise.
std::string FormatStatus(NTSTATUS status);

// Parses "STATUS_NAME", "NAME" or a number; false when it is neither.
bool ParseStatus(const std::string& text, NTSTATUS* status);

}  // namespace plat
