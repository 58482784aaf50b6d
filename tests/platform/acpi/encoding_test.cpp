// The ACPI driver's evaluation records: results encoded as Windows' ACPI
// driver encodes them, and input records validated before anything reaches
// the firmware.
#include <gtest/gtest.h>

#include <acpiioct.h>

#include <random>
#include <set>

#include "acpi/eval.h"
#include "firmware/native.h"
#include "support/acpirecords.h"

namespace tvrx::test {
namespace {

using plat::AcpiObject;
using plat::NativeFirmware;
using namespace plat::acpi;

uint16_t Le16(const uint8_t* p)
{
    return uint16_t(p[0] | p[1] << 8);
}

void Put32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        p[i] = uint8_t(v >> (8 * i));
    }
}

// ---------------------------------------------------------------- encoding

TEST(AcpiEncoding, EveryObjectTypeRoundTripsWithItsDocumentedLayout)
{
    AcpiObject result = AcpiObject::Package({
        AcpiObject::Integer(0x11223344),
        AcpiObject::Integer(0x1'0000'0002),  // wider than the argument's ULONG
        AcpiObject::String("ab"),
        AcpiObject::Buffer({9}),
        AcpiObject::Buffer({}),
        AcpiObject::Package({AcpiObject::Integer(1), AcpiObject::Package({AcpiObject::String("")})}),
    });
    std::vector<uint8_t> out(256, 0xEE);
    EncodeOutcome outcome = EncodeEvalOutput(result, out.data(), out.size());
    ASSERT_EQ(outcome.status, STATUS_SUCCESS);
    const size_t expected = 12 + 8 + 8 + 8 + 8 + 8 + (4 + 8 + (4 + 8));
    EXPECT_EQ(outcome.information, expected);
    EXPECT_EQ(Le32(&out[0]), ACPI_EVAL_OUTPUT_BUFFER_SIGNATURE);
    EXPECT_EQ(Le32(&out[4]), expected);
    EXPECT_EQ(Le32(&out[8]), 6u);  // a package result: its elements are the arguments

    const uint8_t* a = &out[12];
    EXPECT_EQ(Le16(a), ACPI_METHOD_ARGUMENT_INTEGER);
    EXPECT_EQ(Le16(a + 2), 4);
    EXPECT_EQ(Le32(a + 4), 0x11223344u);
    a += 8;
    // ACPI_METHOD_ARGUMENT holds an integer in a ULONG: every Integer is
    // DataLength 4, a wider value its low 32 bits, and the next argument
    // follows at 8 as for any other integer.
    EXPECT_EQ(Le16(a), ACPI_METHOD_ARGUMENT_INTEGER);
    EXPECT_EQ(Le16(a + 2), 4);
    EXPECT_EQ(Le32(a + 4), 2u);
    a += 8;
    EXPECT_EQ(Le16(a), ACPI_METHOD_ARGUMENT_STRING);
    EXPECT_EQ(Le16(a + 2), 3);  // with its NUL
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(a + 4), 4), std::string("ab\0\0", 4));
    a += 8;
    EXPECT_EQ(Le16(a), ACPI_METHOD_ARGUMENT_BUFFER);
    EXPECT_EQ(Le16(a + 2), 1);
    EXPECT_EQ(Le32(a + 4), 9u) << "padding is zero";
    a += 16;
    EXPECT_EQ(Le16(a), ACPI_METHOD_ARGUMENT_PACKAGE);
    EXPECT_EQ(Le16(a + 2), 8 + 12);
    EXPECT_EQ(out[expected], 0xEE) << "nothing written past the record";

    EvalOutput decoded;
    ASSERT_EQ(DecodeEvalOutput(out.data(), outcome.information, &decoded), STATUS_SUCCESS);
    std::vector<AcpiObject> expectedArguments = result.package;
    expectedArguments[1] = AcpiObject::Integer(2);
    EXPECT_EQ(decoded.arguments, expectedArguments);
}

TEST(AcpiEncoding, OneObjectIsOneArgumentAndAnEmptyPackageNone)
{
    std::vector<uint8_t> out(64);
    EXPECT_EQ(EncodeEvalOutput(AcpiObject::Integer(5), out.data(), out.size()).information, 20u);
    EXPECT_EQ(Le32(&out[8]), 1u);
    EXPECT_EQ(EncodeEvalOutput(AcpiObject::Package({}), out.data(), out.size()).information, 12u);
    EXPECT_EQ(Le32(&out[8]), 0u);
}

TEST(AcpiEncoding, ThirteenTableEntriesFitTheDriversBufferAndFourteenOverflow)
{
    NativeFirmware firmware;
    firmware.SetTable(0, TableOf(13));
    AcpiObject result;
    ASSERT_EQ(firmware.Evaluate("_DSM", DsmArgs(2, 0), &result), STATUS_SUCCESS);
    std::vector<uint8_t> out(524);
    EncodeOutcome outcome = EncodeEvalOutput(result, out.data(), out.size());
    ASSERT_EQ(outcome.status, STATUS_SUCCESS);
    EXPECT_EQ(outcome.information, 508u);

    // The offsets the driver reads a table at.
    EXPECT_EQ(Le32(&out[16]), 7u);
    EXPECT_EQ(Le32(&out[24]), 13u);
    EXPECT_EQ(Le16(&out[28]), ACPI_METHOD_ARGUMENT_PACKAGE);
    EXPECT_EQ(Le16(&out[30]), 8 + 36 * 13);
    for (size_t k = 0; k < 13; ++k) {
        EXPECT_EQ(Le16(&out[40 + 36 * k + 2]), 32);
        EXPECT_EQ(Le16(&out[44 + 36 * k + 2]), 4);
        EXPECT_EQ(Le32(&out[48 + 36 * k]), k);
        EXPECT_EQ(Le32(&out[56 + 36 * k]), 100 + k);
        EXPECT_EQ(Le32(&out[64 + 36 * k]), 200 + k);
        EXPECT_EQ(Le32(&out[72 + 36 * k]), 300 + k);
    }

    firmware.SetTable(0, TableOf(14));
    ASSERT_EQ(firmware.Evaluate("_DSM", DsmArgs(2, 0), &result), STATUS_SUCCESS);
    std::fill(out.begin(), out.end(), 0xCC);
    outcome = EncodeEvalOutput(result, out.data(), out.size());
    // IOCTL_ACPI_EVAL_METHOD's documented overflow: STATUS_BUFFER_OVERFLOW with
    // the fixed ACPI_EVAL_OUTPUT_BUFFER returned (information is its size) and
    // its Length the size a retry needs.
    EXPECT_EQ(outcome.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(outcome.information, sizeof(ACPI_EVAL_OUTPUT_BUFFER));
    EXPECT_EQ(Le32(&out[0]), ACPI_EVAL_OUTPUT_BUFFER_SIGNATURE);
    EXPECT_EQ(Le32(&out[4]), 544u) << "Length says what would be needed";
    EXPECT_EQ(Le32(&out[8]), 3u);
    EXPECT_EQ(Le32(&out[12]), 0u) << "the argument slot is empty";
    EXPECT_EQ(Le32(&out[16]), 0u);
    EXPECT_EQ(out[20], 0xCC);

    // Anything smaller than the fixed record is too small for any result.
    std::fill(out.begin(), out.end(), 0xCC);
    EXPECT_EQ(EncodeEvalOutput(result, out.data(), 19).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(EncodeEvalOutput(AcpiObject::Package({}), out.data(), 12).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(EncodeEvalOutput(AcpiObject::Integer(1), nullptr, 0).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(out[0], 0xCC);
}

TEST(AcpiEncoding, ObjectsBeyondWhatARecordCanHoldAreRefused)
{
    std::vector<uint8_t> out(16);
    AcpiObject huge = AcpiObject::Buffer(std::vector<uint8_t>(0x10000));
    EXPECT_EQ(EncodeEvalOutput(huge, out.data(), out.size()).status, STATUS_ACPI_INVALID_DATA);
    AcpiObject deep = AcpiObject::Integer(0);
    for (size_t i = 0; i < kMaxNesting + 2; ++i) {  // one level more than an argument may nest
        deep = AcpiObject::Package({deep});
    }
    EXPECT_EQ(EncodeEvalOutput(deep, out.data(), out.size()).status, STATUS_ACPI_INVALID_DATA);
    EXPECT_TRUE(EncodeEvalInput("_DSM", {huge}).empty());
}

// ---------------------------------------------------------------- input validation

TEST(AcpiInput, TheDriversRequestDecodes)
{
    std::vector<uint8_t> request = DsmRequest(2, 1);
    ASSERT_EQ(request.size(), 60u);
    EXPECT_EQ(Le32(&request[8]), 44u);
    EvalInput input;
    ASSERT_EQ(DecodeEvalInput(request.data(), request.size(), &input), STATUS_SUCCESS);
    EXPECT_EQ(input.method, "_DSM");
    EXPECT_EQ(input.arguments, DsmArgs(2, 1));
}

TEST(AcpiInput, SevenArgumentsAndWideIntegersDecode)
{
    std::vector<AcpiObject> seven(7, AcpiObject::Integer(0x1'2345'6789));
    std::vector<uint8_t> request = EncodeEvalInput("MTH7", seven);
    EvalInput input;
    ASSERT_EQ(DecodeEvalInput(request.data(), request.size(), &input), STATUS_SUCCESS);
    EXPECT_EQ(input.arguments, seven) << "an input integer of 8 bytes is read whole";
}

TEST(AcpiInput, SimpleSignaturesDecode)
{
    uint8_t bare[8] = {'A', 'e', 'i', 'B', '_', 'S', 'T', 'A'};
    EvalInput input;
    ASSERT_EQ(DecodeEvalInput(bare, sizeof bare, &input), STATUS_SUCCESS);
    EXPECT_EQ(input.method, "_STA");
    EXPECT_TRUE(input.arguments.empty());

    uint8_t integer[12] = {'A', 'e', 'i', 'I', 'M', 'T', 'H', '1', 5, 0, 0, 0};
    ASSERT_EQ(DecodeEvalInput(integer, sizeof integer, &input), STATUS_SUCCESS);
    EXPECT_EQ(input.arguments, std::vector<AcpiObject>{AcpiObject::Integer(5)});

    uint8_t string[15] = {'A', 'e', 'i', 'S', 'M', 'T', 'H', '2', 3, 0, 0, 0, 'h', 'i', 0};
    ASSERT_EQ(DecodeEvalInput(string, sizeof string, &input), STATUS_SUCCESS);
    EXPECT_EQ(input.arguments, std::vector<AcpiObject>{AcpiObject::String("hi")});
    EXPECT_EQ(DecodeEvalInput(string, sizeof string - 1, &input), STATUS_INVALID_PARAMETER);
}

TEST(AcpiInput, MalformedRecordsAreRefused)
{
    struct Case {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> change;
    };
    const Case cases[] = {
        {"unknown signature", [](auto& r) { r[3] = 'X'; }},
        {"lower-case name", [](auto& r) { r[5] = 'd'; }},
        {"name starting with a digit", [](auto& r) { r[4] = '1'; }},
        {"NUL in the name", [](auto& r) { r[7] = 0; }},
        {"shorter than the header", [](auto& r) { r.resize(15); }},
        {"Size beyond the input", [](auto& r) { Put32(&r[8], 48); }},
        {"Size below what the arguments take", [](auto& r) { Put32(&r[8], 40); }},
        {"Size above what the arguments take", [](auto& r) { r.resize(68); Put32(&r[8], 52); }},
        {"more arguments than there are", [](auto& r) { Put32(&r[12], 5); }},
        {"fewer arguments than Size holds", [](auto& r) { Put32(&r[12], 3); }},
        {"last argument running past the input", [](auto& r) { r[54] = 12; }},
        {"unknown argument type", [](auto& r) { r[36] = 4; }},
        {"integer without bytes", [](auto& r) { r[38] = 0; }},
        // A control method takes at most seven arguments (Arg0 to Arg6).
        {"eight arguments", [](auto& r) { r = EncodeEvalInput("_DSM", std::vector<AcpiObject>(8)); }},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> record = DsmRequest(1);
        c.change(record);
        // An exactly sized copy, so that a read past the end is caught by the sanitizers.
        std::vector<uint8_t> exact(record);
        EvalInput input;
        EXPECT_EQ(DecodeEvalInput(exact.data(), exact.size(), &input), STATUS_INVALID_PARAMETER) << c.what;
    }
}

TEST(AcpiInput, ArbitraryBytesNeverBreakTheDecoders)
{
    std::mt19937 random(1234);
    std::vector<uint8_t> base = DsmRequest(2, 1);
    std::vector<uint8_t> output(524);
    NativeFirmware firmware;
    AcpiObject result;
    firmware.Evaluate("_DSM", DsmArgs(2, 1), &result);
    size_t outputSize = EncodeEvalOutput(result, output.data(), output.size()).information;
    output.resize(outputSize);

    for (int i = 0; i < 20000; ++i) {
        std::vector<uint8_t> record = (i % 2) ? base : output;
        for (int flips = 1 + random() % 4; flips > 0; --flips) {
            record[random() % record.size()] = uint8_t(random());
        }
        record.resize(random() % (record.size() + 1));
        EvalInput input;
        EvalOutput decoded;
        DecodeEvalInput(record.data(), record.size(), &input);
        if (NT_SUCCESS(DecodeEvalOutput(record.data(), record.size(), &decoded))) {
            ASSERT_LE(decoded.length, record.size());
        }
    }
}

}  // namespace
}  // namespace tvrx::test
