// Traces kept with their arguments and formatted when the recorder is read:
// the text must be the one formatting at the time of the trace gives.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

// This file plays a traced source unit: its provider, then what the unit's .tmh would give it.
#define WPP_CONTROL_GUIDS                                                                     \
    WPP_DEFINE_CONTROL_GUID(CaptureTestTraceGuid, (6A1F0C52, 7B3D, 4E29, 8C1A, 5D4E3F2A1B09), \
                            WPP_DEFINE_BIT(TRACE_ONE) WPP_DEFINE_BIT(TRACE_TWO))
#define WPP_THIS_UNIT_NAME "capturetest"
#include <wppruntime.h>
static constexpr GUID WppThisUnitMessageGuid = WPP_PARSE_GUID_(1E2D3C4B, 5A69, 7887, 96A5, B4C3D2E1F001);

#include "base/verifier.h"
#include "support/kernel.h"
#include "wpp/capture.h"
#include "wpp/wpp.h"

namespace {

plat::trace::FormatContext Context()
{
    plat::trace::FormatContext context;
    context.function = "TvrxSomeRoutine";
    context.unit = "device";
    context.line = 77;
    context.level = TRACE_LEVEL_ERROR;
    context.flags = 0x2 | 0x100;
    static const char* const names[] = {"TRACE_ONE", "TRACE_TWO"};
    context.flagNames = names;
    context.flagCount = 2;
    return context;
}

std::string Now(const char* format, ...)
{
    char text[320];
    va_list args;
    va_start(args, format);
    plat::trace::FormatTraceV(text, sizeof text, Context(), format, args);
    va_end(args);
    return text;
}

// Plans, captures, then formats from the capture; "(not kept)" when the capture refuses.
std::string Later(const char* format, ...)
{
    plat::trace::ArgumentPlan plan = plat::trace::PlanArguments(format);
    if (!plan.capturable) {
        return "(not capturable)";
    }
    plat::trace::CapturedArguments captured;
    va_list args;
    va_start(args, format);
    bool kept = plat::trace::CaptureArguments(plan, args, &captured);
    va_end(args);
    if (!kept) {
        return "(not kept)";
    }
    char text[320];
    plat::trace::FormatCaptured(text, sizeof text, Context(), format, captured);
    return text;
}

#define EXPECT_SAME_TEXT(...) EXPECT_EQ(Later(__VA_ARGS__), Now(__VA_ARGS__))

TEST(TraceCapture, EveryConversionGivesTheTextOfTheMomentOfTheTrace)
{
    EXPECT_SAME_TEXT("%d %i %u %x %X %o %c %%", -7, 42, 3000000000u, 0xBEEFu, 0xBEEFu, 8u, 'q');
    EXPECT_SAME_TEXT("%hhd %hd %ld %lu %lld %llx %I64X %I32u %Iu %zu %jd %s", 300, 70000, -5, 0xFFFFFFFFu, -2ll,
                     0x123456789ull, 0xABCDEF0123ull, 7u, static_cast<SIZE_T>(1) << 40,
                     static_cast<SIZE_T>(5), static_cast<intmax_t>(-9), "after");
    EXPECT_SAME_TEXT("[%-6d] [%06d] [%+d] [% d] [%#x] [%#o] [%.3d] [%8.3x]", 12, -12, 3, 4, 255u, 8u, 5, 0x1Fu);
    EXPECT_SAME_TEXT("%p %p %n%s", reinterpret_cast<void*>(0x1234), nullptr, nullptr, "end");
    EXPECT_SAME_TEXT("%f %.2e %g %s", 3.25, -12345.678, 0.0001, "after floats");
    EXPECT_SAME_TEXT("%!STATUS! %!STATUS! %!HRESULT! %!BOOLEAN! %!bool!", static_cast<NTSTATUS>(0xC000009A),
                     static_cast<NTSTATUS>(0x12345), 0x80004005u, 1, 0);
    EXPECT_SAME_TEXT("%!FUNC! %!COMPNAME! %!LINE! %!LEVEL! %!FLAGS! %!NOPE! %!unterminated", 0);
    EXPECT_SAME_TEXT("%q %5 %I64 trailing %");
}

TEST(TraceCapture, StringsAreCopiedAsFarAsTheirConversionReads)
{
    EXPECT_SAME_TEXT("%s|%.3s|%10s|%-10s|%s", "narrow", "abcdef", "right", "left", static_cast<const char*>(nullptr));
    EXPECT_SAME_TEXT("%ws|%S|%.2ws|%ls|%ws", L"wide", L"also wide", L"cut", L"\u00e9t\u00e9",
                     static_cast<const WCHAR*>(nullptr));
    // Not NUL-terminated: only the precision may be read.
    char unterminated[4] = {'a', 'b', 'c', 'd'};
    EXPECT_SAME_TEXT("%.4s!", unterminated);

    WCHAR buffer[] = L"counted string";
    UNICODE_STRING counted{static_cast<USHORT>(7 * sizeof(WCHAR)), sizeof buffer, buffer};
    UNICODE_STRING malformed{static_cast<USHORT>(40 * sizeof(WCHAR)), static_cast<USHORT>(3 * sizeof(WCHAR)), buffer};
    UNICODE_STRING empty{0, 0, nullptr};
    EXPECT_SAME_TEXT("%wZ|%wZ|%wZ|%.3wZ|%wZ", &counted, &malformed, &empty, &counted,
                     static_cast<PCUNICODE_STRING>(nullptr));
    char ansiText[] = "ansi\0hidden";
    ANSI_STRING ansi{11, 12, ansiText};
    EXPECT_SAME_TEXT("%Z|%Z", &ansi, static_cast<PCANSI_STRING>(nullptr));

    GUID guid = {0xA938B846, 0xC941, 0x4EE8, {0xAF, 0x74, 0xFE, 0x93, 0x5D, 0x2E, 0x5D, 0xA5}};
    EXPECT_SAME_TEXT("%!GUID! %!GUID!", &guid, static_cast<const GUID*>(nullptr));
}

TEST(TraceCapture, WhatCannotBeKeptIsSaidSo)
{
    // A dynamic precision cannot be planned; a long double does not fit a slot.
    EXPECT_EQ(Later("%.*s", 2, "abc"), "(not capturable)");
    EXPECT_EQ(Later("%Lf", 1.5L), "(not capturable)");
    // More arguments than a capture holds.
    EXPECT_EQ(Later("%d%d%d%d%d%d%d%d%d%d%d%d%d%d%d%d%d", 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17),
              "(not capturable)");
    // Strings longer than the capture's room.
    std::string longText(400, 'x');
    EXPECT_EQ(Later("%s", longText.c_str()), "(not kept)");
    EXPECT_SAME_TEXT("%s", std::string(200, 'y').c_str());
}

class DeferredTracing : public ::testing::Test {
protected:
    void SetUp() override
    {
        plat::trace::Reset();
        machine = std::make_unique<tvrx::test::Kernel>();
        WPP_INIT_TRACING(&driver, &registryPath);
    }

    void TearDown() override
    {
        WPP_CLEANUP(&driver);
        plat::trace::Reset();
        machine.reset();
        plat::verifier::Report report = plat::verifier::Check();
        EXPECT_TRUE(report.Clean()) << report.Text();
    }

    static std::vector<std::string> Texts()
    {
        std::vector<std::string> texts;
        for (const plat::trace::Record& record : plat::trace::RecorderRecords("capturetest")) {
            texts.push_back(record.text);
        }
        return texts;
    }

    std::unique_ptr<tvrx::test::Kernel> machine;
    DRIVER_OBJECT driver{};
    UNICODE_STRING registryPath =
        RTL_CONSTANT_STRING(L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\capturetest");
};

TEST_F(DeferredTracing, ABufferChangedAfterTheTraceDoesNotChangeItsRecord)
{
    char line[32];
    WCHAR name[16];
    for (int i = 0; i < 3; ++i) {
        snprintf(line, sizeof line, "line %d", i);
        swprintf(name, 16, L"name %d", i);
        UNICODE_STRING counted{static_cast<USHORT>(wcslen(name) * sizeof(WCHAR)), sizeof name, name};
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_ONE, "%s %ws %wZ", line, name, &counted);
    }
    std::memset(line, 'Z', sizeof line - 1);
    std::wmemset(name, L'Z', 15);
    // Too long to keep: made at once, and still the text of its moment.
    std::string longText(400, 'L');
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_ONE, "%s", longText.c_str());
    longText.assign(400, 'M');

    std::vector<std::string> texts = Texts();
    ASSERT_EQ(texts.size(), 4u);
    EXPECT_EQ(texts[0], "line 0 name 0 name 0");
    EXPECT_EQ(texts[2], "line 2 name 2 name 2");
    EXPECT_EQ(texts[3].substr(0, 5), "LLLLL");
    EXPECT_EQ(texts[3].back(), '.');  // cut short with "..."

    const plat::trace::Record last = plat::trace::RecorderRecords("capturetest").back();
    EXPECT_STREQ(last.function, "TestBody");
    EXPECT_STREQ(last.unit, "capturetest");
    EXPECT_EQ(last.message, WppThisUnitMessageGuid);
    EXPECT_EQ(last.sequence, 4u);
}

TEST_F(DeferredTracing, TimesAreOnTheMachinesClock)
{
    // A machine whose clock runs 50 times faster than real time.
    WPP_CLEANUP(&driver);
    machine.reset();
    tvrx::test::Kernel::Options options;
    options.clockRate = 50.0;
    machine = std::make_unique<tvrx::test::Kernel>(options);
    WPP_INIT_TRACING(&driver, &registryPath);

    LONGLONG before = machine->Clock().Now();
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_ONE, "first");
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_ONE, "second");
    LONGLONG after = machine->Clock().Now();
    std::vector<plat::trace::Record> records = plat::trace::RecorderRecords("capturetest");
    ASSERT_EQ(records.size(), 2u);

    constexpr LONGLONG kSlack = 10000;  // 1 ms of machine time
    EXPECT_GE(records[0].time, before - kSlack);
    EXPECT_LE(records[1].time, after + kSlack);
    // 40 ms of real time are 2 machine seconds.
    EXPECT_GE(records[1].time - records[0].time, 20000000 - kSlack);
    EXPECT_LE(records[1].time - records[0].time, after - before + kSlack);
}

// Writers keep their records in places of their own that readers copy while
// they write: a record read is whole (its number and its copied text agree),
// each writer's records come in the order written, and the numbers run on
// without a gap to the last record written.
TEST_F(DeferredTracing, ReadersWhileTwoWritersTraceSeeOnlyWholeRecordsInOrder)
{
    plat::trace::SetRecorderCapacity(32);
    WPP_CLEANUP(&driver);
    WPP_INIT_TRACING(&driver, &registryPath);  // a log of the new capacity
    std::atomic<bool> done{false};
    std::vector<std::thread> writers;
    for (int w = 0; w < 2; ++w) {
        writers.emplace_back([w] {
            char copy[16];
            for (int i = 0; i < 20000; ++i) {
                snprintf(copy, sizeof copy, "%d", i);
                TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_TWO, "writer %d trace %d of %s copy %s", w, i,
                            w == 0 ? "zero" : "one", copy);
            }
        });
    }
    auto check = [](const std::vector<plat::trace::Record>& records) {
        int last[2] = {-1, -1};
        for (size_t i = 0; i < records.size(); ++i) {
            const plat::trace::Record& record = records[i];
            int writer = -1, index = -1, copy = -2;
            char name[8] = {};
            ASSERT_EQ(sscanf(record.text, "writer %d trace %d of %7s copy %d", &writer, &index, name, &copy), 4)
                << record.text;
            ASSERT_TRUE(writer == 0 || writer == 1) << record.text;
            ASSERT_STREQ(name, writer == 0 ? "zero" : "one") << record.text;
            EXPECT_EQ(index, copy) << "torn: " << record.text;
            EXPECT_GT(index, last[writer]) << "out of order: " << record.text;
            last[writer] = index;
            if (i > 0) {
                EXPECT_EQ(record.sequence, records[i - 1].sequence + 1);
                EXPECT_LE(records[i - 1].time, record.time);
            }
        }
    };
    std::thread reader([&] {
        while (!done.load()) {
            ASSERT_NO_FATAL_FAILURE(check(plat::trace::RecorderRecords("capturetest")));
        }
    });
    for (std::thread& writer : writers) {
        writer.join();
    }
    done = true;
    reader.join();
    std::vector<plat::trace::Record> records = plat::trace::RecorderRecords("capturetest");
    ASSERT_EQ(records.size(), 32u);
    check(records);
    EXPECT_EQ(records.back().sequence, 40000u);
    plat::trace::SetRecorderCapacity(plat::trace::kDefaultRecorderCapacity);
}

}  // namespace
