/*
 * The ACPI driver's reading of evaluation records: any bytes as an input
 * record (as a caller of IOCTL_ACPI_EVAL_METHOD builds it) and as an output
 * record (as the driver writes it). What decodes must encode again and decode
 * to the same method and arguments; an output record carries integers in 32
 * bits, so a wider one read back is its low 32 bits.
 */
#include <cstdio>
#include <cstdlib>

#include "acpi/eval.h"

namespace {

plat::AcpiObject LowBits(plat::AcpiObject object)
{
    object.integer &= 0xFFFFFFFFu;
    for (plat::AcpiObject& element : object.package) {
        element = LowBits(std::move(element));
    }
    return object;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    plat::acpi::EvalInput input;
    if (plat::acpi::DecodeEvalInput(data, size, &input) == STATUS_SUCCESS) {
        std::vector<uint8_t> again = plat::acpi::EncodeEvalInput(input.method, input.arguments);
        plat::acpi::EvalInput back;
        if (again.empty() || plat::acpi::DecodeEvalInput(again.data(), again.size(), &back) != STATUS_SUCCESS ||
            back.method != input.method || back.arguments != input.arguments) {
            std::fprintf(stderr, "input record of method %s does not survive a round trip\n", input.method.c_str());
            std::abort();
        }
    }

    plat::acpi::EvalOutput output;
    if (plat::acpi::DecodeEvalOutput(data, size, &output) == STATUS_SUCCESS) {
        plat::AcpiObject result = plat::AcpiObject::Package(output.arguments);
        std::vector<uint8_t> again(plat::acpi::ArgumentSize(result) + plat::acpi::kOutputHeaderSize);
        plat::acpi::EncodeOutcome outcome = plat::acpi::EncodeEvalOutput(result, again.data(), again.size());
        plat::acpi::EvalOutput back;
        if (outcome.status != STATUS_SUCCESS ||
            plat::acpi::DecodeEvalOutput(again.data(), outcome.information, &back) != STATUS_SUCCESS ||
            plat::AcpiObject::Package(back.arguments) != LowBits(result)) {
            std::fprintf(stderr, "output record of %zu arguments does not survive a round trip (0x%08X)\n",
                         output.arguments.size(), (unsigned)outcome.status);
            std::abort();
        }
    }
    return 0;
}
