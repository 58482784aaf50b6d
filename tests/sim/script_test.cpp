/*
 * The simulator's command language: what the parser hands the session, and
 * the messages of docs/commands.md for lines it refuses.
 */
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "drivernames.h"
#include "script.h"

namespace {

using sim::Command;

Command Parsed(const std::string& line)
{
    sim::ParseError error;
    std::optional<Command> command = sim::ParseLine(line, "t.tvrx", 7, &error);
    EXPECT_TRUE(error.message.empty()) << line << ": " << error.Text();
    if (!command) {
        ADD_FAILURE() << line << ": no command";
        return {};
    }
    EXPECT_NE(command->handler, nullptr) << line;
    EXPECT_EQ(command->line, 7);
    return *command;
}

// Numbers, statuses, options and defaults arrive parsed, as the session uses them.
TEST(CommandLanguage, WordsBecomeTypedArguments)
{
    EXPECT_EQ(Parsed("mode 0x10").Get<sim::Value>().value, 16u);
    EXPECT_EQ(Parsed("notify 0xFFFFFFFF").Get<sim::Value>().value, 0xFFFFFFFFu);
    Command wait = Parsed("wait A");
    EXPECT_EQ(wait.client, "A");
    EXPECT_EQ(wait.Get<sim::Value>().value, 1000u) << "the documented default";
    EXPECT_EQ(Parsed("wait B 0xFFFFFFFE").Get<sim::Value>().value, 0xFFFFFFFEu);
    EXPECT_EQ(Parsed("table A 2").Get<sim::Value>().value, 2u);

    // A status by name, without its prefix in any case, or by number, is the same status.
    for (const char* word : {"STATUS_BUFFER_TOO_SMALL", "buffer_too_small", "0xC0000023", "-1073741789"}) {
        Command expect = Parsed(std::string("expect status ") + word);
        EXPECT_EQ(expect.Get<sim::Expectation>().what, sim::Expected::Status);
        EXPECT_EQ(expect.Get<sim::Expectation>().status, STATUS_BUFFER_TOO_SMALL) << word;
    }
    EXPECT_EQ(Parsed("fail-next WdfRequestCreate").Get<sim::FailNextArguments>().status, STATUS_INSUFFICIENT_RESOURCES);
    sim::FailNextArguments fail = Parsed("fail-next IoCallDriver io_timeout").Get<sim::FailNextArguments>();
    EXPECT_EQ(fail.point, "IoCallDriver");
    EXPECT_EQ(fail.status, STATUS_IO_TIMEOUT);

    sim::OpenArguments plain = Parsed("open A").Get<sim::OpenArguments>();
    EXPECT_EQ(plain.account, plat::se::TokenKind::LocalService);
    EXPECT_EQ(plain.access, ACCESS_MASK(GENERIC_READ | GENERIC_WRITE));
    sim::OpenArguments user = Parsed("open A as user read").Get<sim::OpenArguments>();
    EXPECT_EQ(user.account, plat::se::TokenKind::User);
    EXPECT_EQ(user.access, ACCESS_MASK(GENERIC_READ));
    EXPECT_EQ(Parsed("open A write").Get<sim::OpenArguments>().access, ACCESS_MASK(GENERIC_WRITE));
    EXPECT_EQ(Parsed("set-event A sync").Get<sim::EventArguments>().access, sim::EventAccess::Sync);
    EXPECT_EQ(Parsed("set-event A").Get<sim::EventArguments>().access, sim::EventAccess::All);

    sim::IoctlArguments ioctl = Parsed("ioctl A 0x220008 kernel out=16 in=0a0B").Get<sim::IoctlArguments>();
    EXPECT_EQ(ioctl.code, 0x220008u);
    EXPECT_EQ(ioctl.input, (std::vector<uint8_t>{0x0A, 0x0B}));
    EXPECT_EQ(ioctl.outputLength, 16u);
    EXPECT_TRUE(ioctl.kernel);

    sim::Expectation entry = Parsed("expect entry 3 0x10 20 0xFFFFFFFF").Get<sim::Expectation>();
    EXPECT_EQ(std::vector<ULONG>(entry.values, entry.values + 4), (std::vector<ULONG>{3, 16, 20, 0xFFFFFFFF}));
    sim::Expectation state = Parsed("expect registry BiosSarState 0x1").Get<sim::Expectation>();
    EXPECT_EQ(state.registryValue, tvrx::kBiosSarStateValue);
    EXPECT_EQ(state.number, 1u);
    sim::Expectation info = Parsed("expect registry BiosInfo \"TVRX-FW 1.07.0 (2024-05-17)\"").Get<sim::Expectation>();
    EXPECT_EQ(info.registryValue, tvrx::kBiosInfoValue);
    EXPECT_EQ(info.text, "TVRX-FW 1.07.0 (2024-05-17)");
    EXPECT_FALSE(Parsed("expect export-size -1").Get<sim::Expectation>().number) << "-1: no file";
    std::string sha(64, 'A');
    EXPECT_EQ(Parsed("expect export-sha256 " + sha).Get<sim::Expectation>().text, std::string(64, 'a'));
    EXPECT_EQ(Parsed("show devices").Get<sim::ShowArguments>().what, sim::Shown::Devices);
}

// Each refused line gives the message docs/commands.md shows for it, and a
// script with one is refused whole, naming that line.
TEST(CommandLanguage, MalformedLinesAreRefusedWithTheirMessage)
{
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"bogus 1", "unknown command 'bogus' (try help)"},
        {"entry", "expected: entry C"},
        {"regulatory A", "expected: regulatory C N"},
        {"open a.b", "client name 'a.b' must be letters, digits, '_' or '-'"},
        {"mode x", "N 'x' is not a number (decimal or 0x hex)"},
        {"ioctl A 0x100000000", "CODE '0x100000000' is too large (at most 0xFFFFFFFF)"},
        {"wait A 4294967295", "MS '4294967295' is too large (at most 4294967294)"},
        {"regulatory A 99999999999999999999999", "N '99999999999999999999999' is too large (at most 4294967295)"},
        {"ioctl A 0x220008 out=0x100001", "out= length '0x100001' is too large (at most 0x100000)"},
        {"expect table 1 0x1FFFFFFFF", "COUNT '0x1FFFFFFFF' is too large (at most 0xFFFFFFFF)"},
        {"expect status STATUS_NOPE", "unknown status 'STATUS_NOPE'"},
        {"fail-next IoCallDriver 0x1FFFFFFFF", "unknown status '0x1FFFFFFFF'"},
        {"open A read as user",
         "unexpected 'as' (expected open C [as system|localservice|networkservice|admin|user] [read|write|readwrite])"},
        {"ioctl A 0x220008 out=16 out=32", "unexpected 'out=32' (expected in=HEX, out=LEN or kernel, each once)"},
        {"expect registry Other 1", "NAME must be BiosSarState|BiosInfo, not 'Other'"},
        {"expect info \"1", "unterminated quoted word"},
    };
    for (const auto& [line, message] : cases) {
        sim::ParseError error;
        EXPECT_FALSE(sim::ParseLine(line, "t.tvrx", 3, &error)) << line;
        EXPECT_EQ(error.Text(), std::string("t.tvrx:3: ") + message) << line;
    }

    std::vector<Command> commands;
    sim::ParseError error;
    EXPECT_FALSE(sim::ParseScript("boot\n# a comment\n\nentry\nunload\n", "s.tvrx", &commands, &error));
    EXPECT_EQ(error.Text(), "s.tvrx:4: expected: entry C");
}

}  // namespace
