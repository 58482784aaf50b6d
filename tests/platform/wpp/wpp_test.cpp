// Software tracing: the message formatter, provider registration, the live session and the in-flight recorder.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

// This file plays a traced source unit: its provider, then what the unit's .tmh would give it.
#define WPP_CONTROL_GUIDS                                                                             \
    WPP_DEFINE_CONTROL_GUID(WppTestTraceGuid, (5B7A2C10, 0D4E, 4F11, 9A3B, C2D1E0F9A877),            \
                            WPP_DEFINE_BIT(TRACE_ONE) WPP_DEFINE_BIT(TRACE_TWO) WPP_DEFINE_BIT(TRACE_THREE) \
                                WPP_DEFINE_BIT(TRACE_FOUR))
#define WPP_THIS_UNIT_NAME "wpptest"
#include <wppruntime.h>
static constexpr GUID WppThisUnitMessageGuid = WPP_PARSE_GUID_(0C1D2E3F, 4A5B, 6C7D, 8E9F, A0B1C2D3E4F5);

#include "base/fault.h"
#include "base/verifier.h"
#include "ntos/ke/irql.h"
#include "support/kernel.h"
#include "wpp/wpp.h"

namespace {

using plat::trace::Record;
using plat::trace::Registration;

// ---------------------------------------------------------------- formatter

std::string Format(const char* format, ...)
{
    plat::trace::FormatContext context;
    context.function = "TvrxSomeRoutine";
    context.level = TRACE_LEVEL_ERROR;
    context.flags = TRACE_TWO | TRACE_FOUR | 0x100;
    static const char* const names[] = {"TRACE_ONE", "TRACE_TWO", "TRACE_THREE", "TRACE_FOUR"};
    context.flagNames = names;
    context.flagCount = 4;
    char text[512];
    va_list args;
    va_start(args, format);
    plat::trace::FormatTraceV(text, sizeof text, context, format, args);
    va_end(args);
    return text;
}

TEST(TraceFormat, IntegersTakeTheirWindowsWidthsFromTheArgumentList)
{
    // ULONG and LONG are 32-bit: %lu/%lx/%ld must not read a 64-bit slot, or the string after them shifts.
    ULONG ulong = 0xFFFFFFFFu;
    LONG negative = -5;
    EXPECT_EQ(Format("%lu %lx %ld %s", ulong, ulong, negative, "next"), "4294967295 ffffffff -5 next");
    EXPECT_EQ(Format("%d %u %x %X %s", -1, 3000000000u, 0xABCu, 0xABCu, "next"), "-1 3000000000 abc ABC next");
    ULONGLONG big = 0x123456789ABCDEF0ull;
    EXPECT_EQ(Format("%llx %I64X %I64d %lld %s", big, big, -2ll, 9000000000ll, "next"),
              "123456789abcdef0 123456789ABCDEF0 -2 9000000000 next");
    SIZE_T size = static_cast<SIZE_T>(1) << 40;
    EXPECT_EQ(Format("%Iu %Ix %zu %I32u %s", size, size, size, 7u, "next"),
              "1099511627776 10000000000 1099511627776 7 next");
    EXPECT_EQ(Format("%hd %hu %hhu %hhd", 0x12345, 0x1FFFF, 0x1FF, 0x80), "9029 65535 255 -128");
}

TEST(TraceFormat, FlagsWidthAndPrecisionFollowPrintf)
{
    EXPECT_EQ(Format("[%08X] [%-5d] [%5d] [%+d] [% d] [%05d]", 0xBEEFu, 42, 42, 7, 7, -42),
              "[0000BEEF] [42   ] [   42] [+7] [ 7] [-0042]");
    EXPECT_EQ(Format("[%#x] [%#X] [%#x] [%#o] [%o]", 255u, 255u, 0u, 8u, 8u), "[0xff] [0XFF] [0] [010] [10]");
    EXPECT_EQ(Format("[%.3d] [%.0d] [%8.3x] [%-6.2s] [%.*s]", 7, 0, 0xAu, "abcdef", 3, "abcdef"),
              "[007] [] [     00a] [ab    ] [abc]");
    EXPECT_EQ(Format("[%*d] [%*d]", 4, 1, -4, 1), "[   1] [1   ]");
    EXPECT_EQ(Format("%p", reinterpret_cast<void*>(0xABCDEFull)), "0000000000ABCDEF");
    EXPECT_EQ(Format("%c%c %%", 'o', 'k'), "ok %");
}

TEST(TraceFormat, NarrowWideAndCountedStrings)
{
    EXPECT_EQ(Format("%s|%ws|%S|%ls", static_cast<const char*>(nullptr), L"wide", L"big S", L"ell"),
              "(null)|wide|big S|ell");
    EXPECT_EQ(Format("%ws %wc", L"caf\u00e9 \u20ac", static_cast<int>(L'\u00fc')), "caf\xC3\xA9 \xE2\x82\xAC \xC3\xBC");

    // A counted string need not be terminated: exactly Length bytes are shown.
    WCHAR buffer[] = {L'a', L'b', L'c', L'X', L'Y', L'Z'};
    UNICODE_STRING counted{3 * sizeof(WCHAR), sizeof buffer, buffer};
    EXPECT_EQ(Format("<%wZ>", &counted), "<abc>");
    EXPECT_EQ(Format("<%wZ> <%wZ>", static_cast<PCUNICODE_STRING>(nullptr), &counted), "<NULL> <abc>");
    // A Length beyond the buffer is never followed past MaximumLength.
    UNICODE_STRING lying{200, 2 * sizeof(WCHAR), buffer};
    EXPECT_EQ(Format("<%wZ>", &lying), "<ab>");
    char narrow[] = {'h', 'i', '!', '?'};
    ANSI_STRING ansi{2, sizeof narrow, narrow};
    EXPECT_EQ(Format("<%Z>", &ansi), "<hi>");
}

TEST(TraceFormat, TraceExtensions)
{
    EXPECT_EQ(Format("%!FUNC! failed %!STATUS!", STATUS_UNSUCCESSFUL),
              "TvrxSomeRoutine failed STATUS_UNSUCCESSFUL (0xC0000001)");
    EXPECT_EQ(Format("%!STATUS! %d", static_cast<NTSTATUS>(0xC0FFEE01u), 5), "0xC0FFEE01 5");
    EXPECT_EQ(Format("%!STATUS!", STATUS_SUCCESS), "STATUS_SUCCESS (0x00000000)");
    EXPECT_EQ(Format("%!LEVEL! %!FLAGS!"), "TRACE_LEVEL_ERROR TRACE_TWO|TRACE_FOUR|0x00000100");
    GUID guid = WppControlGuid;
    EXPECT_EQ(Format("%!GUID!", &guid), "{5B7A2C10-0D4E-4F11-9A3B-C2D1E0F9A877}");
    EXPECT_EQ(Format("%!BOOLEAN! %!bool!", 1, 0), "TRUE FALSE");
}

TEST(TraceFormat, MalformedFormatsAreShownAsWrittenAndTakeNoArgument)
{
    // An unknown extension takes no argument, so the conversions after it still read theirs.
    EXPECT_EQ(Format("%!NOSUCH! %d %s", 5, "ok"), "%!NOSUCH! 5 ok");
    EXPECT_EQ(Format("%!FUNC %d", 5), "%!FUNC 5");
    EXPECT_EQ(Format("%!! %y %d", 6), "%!! %y 6");
    EXPECT_EQ(Format("100%"), "100%");
    EXPECT_EQ(Format("%5"), "%5");
    EXPECT_EQ(Format("%I6"), "%I6");
    EXPECT_EQ(Format("%-#"), "%-#");
    int sentinel = 1234;
    EXPECT_EQ(Format("a%nb %d", &sentinel, 9), "ab 9");
    EXPECT_EQ(sentinel, 1234) << "%n must never write through a trace argument";
}

TEST(TraceFormat, OutputIsBoundedAndMarkedWhenCut)
{
    char text[16 + 8];
    memset(text, '#', sizeof text);
    plat::trace::FormatContext context;
    size_t length = plat::trace::FormatTrace(text, 16, context, "%s and %999999999d", "a long message", 1);
    EXPECT_EQ(length, 15u);
    EXPECT_STREQ(text, "a long messa...");
    for (size_t i = 16; i < sizeof text; ++i) {
        EXPECT_EQ(text[i], '#') << "written past the buffer at " << i;
    }
    char one[1] = {'#'};
    EXPECT_EQ(plat::trace::FormatTrace(one, 1, context, "anything %d", 1), 0u);
    EXPECT_EQ(one[0], '\0');
    EXPECT_EQ(plat::trace::FormatTrace(one, 0, context, "anything"), 0u);
}

// ---------------------------------------------------------------- runtime

class Tracing : public ::testing::Test {
protected:
    void SetUp() override
    {
        plat::fault::Reset();
        plat::trace::Reset();
        plat::trace::SetRecorderCapacity(plat::trace::kDefaultRecorderCapacity);
    }

    void TearDown() override
    {
        WPP_CLEANUP(&driver);
        plat::trace::Reset();
        machine.reset();
        plat::verifier::Report report = plat::verifier::Check();
        EXPECT_TRUE(report.Clean()) << report.Text();
    }

    void Boot(bool classic = true)
    {
        tvrx::test::Kernel::Options options;
        options.classicEtwProvider = classic;
        machine = std::make_unique<tvrx::test::Kernel>(options);
        WPP_INIT_TRACING(&driver, &registryPath);
    }

    // Starts a live session that keeps what it receives.
    void Listen(UCHAR level, ULONG flags)
    {
        plat::trace::EnableSession(level, flags, [this](const Record& record) {
            std::lock_guard<std::mutex> guard(lock);
            received.push_back(record);
        });
    }

    std::vector<std::string> ReceivedTexts()
    {
        std::lock_guard<std::mutex> guard(lock);
        std::vector<std::string> texts;
        for (const Record& record : received) {
            texts.push_back(record.text);
        }
        return texts;
    }

    static std::vector<std::string> RecorderTexts()
    {
        std::vector<std::string> texts;
        for (const Record& record : plat::trace::RecorderRecords("wpptest")) {
            texts.push_back(record.text);
        }
        return texts;
    }

    std::unique_ptr<tvrx::test::Kernel> machine;
    DRIVER_OBJECT driver{};
    UNICODE_STRING registryPath = RTL_CONSTANT_STRING(L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\wpptest");
    std::mutex lock;
    std::vector<Record> received;
};

TEST_F(Tracing, LiveSessionGetsOnlyItsLevelsAndFlags)
{
    Boot();
    Listen(TRACE_LEVEL_INFORMATION, TRACE_TWO | TRACE_FOUR);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_TWO, "info two");
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_TWO, "verbose two");
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_ONE, "error one");
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_ONE | TRACE_FOUR, "error one four");
    {
        plat::IrqlScope dispatch(DISPATCH_LEVEL);  // traces run under spin locks too
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FOUR, "warning four at dispatch");
    }
    EXPECT_EQ(plat::trace::SessionDelivered(), 3u);
    plat::trace::DisableSession();
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_TWO, "after the session");

    EXPECT_EQ(ReceivedTexts(), (std::vector<std::string>{"info two", "error one four", "warning four at dispatch"}));
    // The recorder took every trace, whatever the session wanted.
    EXPECT_EQ(RecorderTexts().size(), 6u);

    std::lock_guard<std::mutex> guard(lock);
    const Record& first = received.at(0);
    EXPECT_STREQ(first.unit, "wpptest");
    EXPECT_STREQ(first.function, "TestBody");
    EXPECT_EQ(first.message, WppThisUnitMessageGuid);
    EXPECT_EQ(first.level, TRACE_LEVEL_INFORMATION);
    EXPECT_EQ(first.flags, static_cast<ULONG>(TRACE_TWO));
    EXPECT_EQ(first.sequence, 1u);
    EXPECT_LE(first.time, received.at(2).time);
}

TEST_F(Tracing, SessionStartedBeforeTheDriverEnablesItOnRegistration)
{
    Listen(0, 0xFFFFFFFF);  // level 0: every level
    Boot();
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_THREE, "%!FUNC! flags %!FLAGS!");
    EXPECT_EQ(ReceivedTexts(), (std::vector<std::string>{"TestBody flags TRACE_THREE"}));
}

TEST_F(Tracing, RegistersAsClassicProviderWhenOfferedElseThroughWmi)
{
    for (bool classic : {true, false}) {
        SCOPED_TRACE(classic ? "classic" : "WMI");
        Boot(classic);
        EXPECT_EQ(plat::trace::RegistrationOf(WppControlGuid), classic ? Registration::Classic : Registration::Wmi);
        Listen(TRACE_LEVEL_VERBOSE, TRACE_ONE);
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_ONE, "reaches the session");
        EXPECT_EQ(ReceivedTexts(), std::vector<std::string>{"reaches the session"});

        WPP_CLEANUP(&driver);
        EXPECT_EQ(plat::trace::RegistrationOf(WppControlGuid), Registration::None);
        EXPECT_TRUE(plat::verifier::Check().Clean()) << plat::verifier::Check().Text();
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_ONE, "after cleanup goes nowhere");
        EXPECT_EQ(ReceivedTexts().size(), 1u);
        plat::trace::Reset();
        received.clear();
        machine.reset();
    }
}

TEST_F(Tracing, FailedRegistrationLeavesTracingToTheRecorder)
{
    for (bool classic : {true, false}) {
        SCOPED_TRACE(classic ? "classic" : "WMI");
        plat::fault::FailAll(classic ? "EtwRegisterClassicProvider" : "IoWMIRegistrationControl",
                             STATUS_INSUFFICIENT_RESOURCES);
        Listen(TRACE_LEVEL_VERBOSE, 0xFFFFFFFF);
        Boot(classic);
        EXPECT_EQ(plat::trace::RegistrationOf(WppControlGuid), Registration::None);
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_ONE, "still recorded");
        EXPECT_TRUE(ReceivedTexts().empty());
        std::string dump = plat::trace::DumpRecorder("wpptest");
        EXPECT_NE(dump.find("STATUS_INSUFFICIENT_RESOURCES"), std::string::npos) << dump;
        EXPECT_NE(dump.find("still recorded"), std::string::npos) << dump;

        WPP_CLEANUP(&driver);
        EXPECT_TRUE(plat::verifier::Check().Clean()) << plat::verifier::Check().Text();
        plat::fault::Reset();
        plat::trace::Reset();
        machine.reset();
    }
}

TEST_F(Tracing, RecorderKeepsTheNewestRecordsInOrderAndOutlivesTheDriver)
{
    plat::trace::SetRecorderCapacity(8);
    Boot();
    for (int i = 0; i < 20; ++i) {
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_ONE, "trace %d", i);
    }
    std::vector<Record> records = plat::trace::RecorderRecords("wpptest");
    ASSERT_EQ(records.size(), 8u);
    for (size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(std::string(records[i].text), "trace " + std::to_string(12 + i));
        EXPECT_EQ(records[i].sequence, 13 + i);
    }
    EXPECT_EQ(plat::trace::RecorderOverwritten("wpptest"), 12u);

    WPP_CLEANUP(&driver);
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_ONE, "after cleanup");
    std::string dump = plat::trace::DumpRecorder();
    EXPECT_EQ(dump.find("(12 earlier records overwritten)\n"), 0u) << dump;
    EXPECT_NE(dump.find(" wpptest VERBOSE TestBody: trace 19\n"), std::string::npos) << dump;
    EXPECT_EQ(dump.find("after cleanup"), std::string::npos);

    // Loading the driver again starts a fresh log in place of the kept one.
    WPP_INIT_TRACING(&driver, &registryPath);
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_ONE, "second load");
    EXPECT_EQ(RecorderTexts(), std::vector<std::string>{"second load"});
    EXPECT_EQ(plat::trace::RecorderLogs(), std::vector<std::string>{"wpptest"});
}

TEST_F(Tracing, StartAndStopAreIdempotentAndLeftoverRegistrationIsReported)
{
    machine = std::make_unique<tvrx::test::Kernel>();
    WPP_CLEANUP(&driver);  // never started
    WPP_INIT_TRACING(&driver, &registryPath);
    WPP_INIT_TRACING(&driver, &registryPath);  // started already: no second registration
    EXPECT_EQ(plat::trace::Providers().size(), 1u);

    plat::verifier::Report report = plat::verifier::Check();
    ASSERT_EQ(report.findings.size(), 1u) << report.Text();
    EXPECT_EQ(report.findings[0], "trace provider {5B7A2C10-0D4E-4F11-9A3B-C2D1E0F9A877} still registered (classic) "
                                  "[stand-in: WPP providers still registered (WPP_CLEANUP missing)]");

    WPP_CLEANUP(&driver);
    WPP_CLEANUP(&driver);
    EXPECT_TRUE(plat::verifier::Check().Clean());
}

TEST_F(Tracing, ConcurrentTracesWhileTheSessionComesAndGoes)
{
    plat::trace::SetRecorderCapacity(64);
    Boot();
    std::atomic<bool> stop{false};
    std::thread toggler([&] {
        while (!stop.load()) {
            Listen(TRACE_LEVEL_VERBOSE, TRACE_TWO);
            plat::trace::DisableSession();
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([t] {
            plat::IrqlScope dispatch(DISPATCH_LEVEL);
            for (int i = 0; i < 500; ++i) {
                TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_TWO, "writer %d trace %d", t, i);
            }
        });
    }
    for (std::thread& writer : writers) {
        writer.join();
    }
    stop = true;
    toggler.join();

    std::vector<Record> records = plat::trace::RecorderRecords("wpptest");
    ASSERT_EQ(records.size(), 64u);
    for (size_t i = 1; i < records.size(); ++i) {
        EXPECT_EQ(records[i].sequence, records[i - 1].sequence + 1);
    }
    EXPECT_EQ(records.back().sequence, 2000u);
}

// A thread that ends hands its place in the log on: what it wrote stays, and
// the threads after it go on from there, in order.
TEST_F(Tracing, RecordsOfThreadsThatEndedStayInOrder)
{
    Boot();
    for (int i = 0; i < 200; ++i) {
        std::thread([i] { TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_TWO, "thread %d", i); }).join();
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_TWO, "main");
    std::vector<std::string> texts = RecorderTexts();
    ASSERT_EQ(texts.size(), 201u);
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(texts[static_cast<size_t>(i)], "thread " + std::to_string(i));
    }
    EXPECT_EQ(texts.back(), "main");
    EXPECT_EQ(plat::trace::RecorderRecords("wpptest").back().sequence, 201u);
}

}  // namespace
