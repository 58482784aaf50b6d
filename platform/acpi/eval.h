/*
 * The records of IOCTL_ACPI_EVAL_METHOD as pure functions on byte ranges: the
 * input record a caller builds (ACPI_EVAL_INPUT_BUFFER*), the output record
 * the ACPI driver writes (ACPI_EVAL_OUTPUT_BUFFER). Nothing here touches
 * anything but the bytes it is given, and nothing reads or writes outside
 * them, so callers can feed it arbitrary data.
 *
 * An argument is a 16-bit Type, a 16-bit DataLength and the data; the next
 * argument starts 4 + max(4, DataLength) bytes after it. Encoding:
 *   Integer  Type 0, DataLength 4: the argument record holds an integer in a
 *            ULONG, so a result carries the low 32 bits of a wider value
 *            (an input record built here keeps a wider value in 8 bytes);
 *   String   Type 1, the characters and their terminating NUL;
 *   Buffer   Type 2, the bytes;
 *   Package  Type 3, its elements encoded one after another as its data.
 * Bytes between the data and the next argument are zero.
 */
#pragma once
#include <acpiioct.h>
#include <ntstatus.h>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "firmware/firmware.h"

namespace plat::acpi {

constexpr size_t kOutputHeaderSize = 12;  // Signature, Length, Count
constexpr size_t kOutputRecordSize = sizeof(ACPI_EVAL_OUTPUT_BUFFER);  // the header and one argument slot
static_assert(kOutputRecordSize == 20, "ACPI_EVAL_OUTPUT_BUFFER");
constexpr uint32_t kMaxMethodArguments = 7;  // a control method has Arg0 to Arg6
constexpr size_t kComplexHeaderSize = 16;  // Signature, MethodName, Size, ArgumentCount
constexpr size_t kMaxNesting = 32;         // package depth accepted in either direction

// Bytes an object takes as a result argument, padding included; 0 when it cannot
// be represented (some DataLength above 65535, or nested deeper than kMaxNesting).
size_t ArgumentSize(const AcpiObject& object);

// The arguments a method result becomes: a Package's elements, or the object itself.
const std::vector<AcpiObject>& ResultArguments(const AcpiObject& result, std::vector<AcpiObject>& single);

struct EncodeOutcome {
    NTSTATUS status = STATUS_SUCCESS;
    size_t information = 0;  // bytes written that the caller may use
    size_t needed = 0;       // size of the whole record
};

// Writes the ACPI_EVAL_OUTPUT_BUFFER of a method result into out[0, outSize), by
// the documented rules of IOCTL_ACPI_EVAL_METHOD's output buffer:
//   outSize < sizeof(ACPI_EVAL_OUTPUT_BUFFER) (20, an empty buffer included)
//                               STATUS_BUFFER_TOO_SMALL, nothing written;
//   20 <= outSize < needed      STATUS_BUFFER_OVERFLOW: the fixed record (Length = the
//                               size needed, Count = the number of arguments, the
//                               argument slot zero), information 20;
//   otherwise                   STATUS_SUCCESS, information = Length = the size needed
//                               (12 for a result without arguments).
// A result that cannot be represented fails with STATUS_ACPI_INVALID_DATA.
EncodeOutcome EncodeEvalOutput(const AcpiObject& result, uint8_t* out, size_t outSize,
                               ULONG signature = ACPI_EVAL_OUTPUT_BUFFER_SIGNATURE);

struct EvalOutput {
    ULONG signature = 0;
    ULONG length = 0;
    ULONG count = 0;
    std::vector<AcpiObject> arguments;
};

// Reads an output record back (tests, fuzzers, the simulator's display). The
// arguments must lie inside both the bytes given and the record's Length.
// Integers of 1 to 8 bytes are read; malformed records fail with
// STATUS_ACPI_INVALID_DATA, a short one with STATUS_BUFFER_TOO_SMALL.
NTSTATUS DecodeEvalOutput(const uint8_t* data, size_t size, EvalOutput* output);

struct EvalInput {
    std::string method;
    std::vector<AcpiObject> arguments;
};

// Validates and reads an input record of any of the four signatures
// (AeiB no arguments, AeiI one integer, AeiS one string, AeiC arguments).
// The method name is four characters of A-Z, 0-9 and '_', not starting with
// a digit. For AeiC, Size must be exactly the space the ArgumentCount
// arguments take under the packing rule and lie inside the input; there are at
// most seven arguments (ACPI gives a control method Arg0 to Arg6); types are 0
// to 3; an integer has 1 to 8 bytes. Any violation: STATUS_INVALID_PARAMETER.
NTSTATUS DecodeEvalInput(const uint8_t* data, size_t size, EvalInput* input);

// Builds an AeiC input record; empty when an argument cannot be represented.
std::vector<uint8_t> EncodeEvalInput(const std::string& method, const std::vector<AcpiObject>& arguments);

}  // namespace plat::acpi
