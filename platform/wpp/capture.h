/*
 * Traces kept with their arguments and formatted later. A trace's format
 * decides what it takes from its argument list, so each format is planned
 * once (by formatting it with no arguments and noting what each conversion
 * asks for); each trace then only copies its arguments, and what pointer
 * arguments point to (strings, counted strings, GUIDs), into a fixed-size
 * capture. Formatting a capture gives the text that formatting at the time of
 * the trace would have given.
 */
#pragma once
#include <ntdef.h>
#include <stdarg.h>

#include <cstdint>

#include "wpp/wpp.h"

namespace plat::trace {

constexpr size_t kMaxCapturedArguments = 16;
constexpr size_t kCapturedTextBytes = 256;

enum class ArgumentKind : uint8_t { Int, Int64, Pointer, Double, Narrow, Wide, Unicode, Ansi, Guid };

struct ArgumentPlan {
    bool capturable = true;  // false: the format takes something a capture cannot keep
    uint8_t count = 0;
    ArgumentKind kinds[kMaxCapturedArguments] = {};
    size_t limits[kMaxCapturedArguments] = {};  // characters a string conversion reads at most
};

struct CapturedArguments {
    uint8_t count = 0;
    uint16_t textUsed = 0;
    uint64_t slots[kMaxCapturedArguments];  // values, or 1 + the offset of the copy in text (0: NULL)
    alignas(8) unsigned char text[kCapturedTextBytes];
};

// What the format takes from its argument list, in order.
ArgumentPlan PlanArguments(const char* format);

// Takes the plan's arguments off the list into *captured; false when what they
// point to does not fit (the caller then formats the trace at once instead).
bool CaptureArguments(const ArgumentPlan& plan, va_list args, CapturedArguments* captured);

// Formats a trace from its capture, as FormatTraceV would have formatted it.
size_t FormatCaptured(char* out, size_t size, const FormatContext& context, const char* format,
                      const CapturedArguments& captured);

}  // namespace plat::trace
