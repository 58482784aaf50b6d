// Security descriptors: SDDL as a driver package gives it, and the access
// check an open goes through.
#include <gtest/gtest.h>

#include "ntos/se/security.h"

namespace tvrx::test {
namespace {

using plat::se::AccessCheck;
using plat::se::ParseSddl;
using plat::se::SddlError;
using plat::se::SecurityDescriptor;
using plat::se::TokenKind;

SecurityDescriptor Parsed(const char* sddl)
{
    SecurityDescriptor descriptor;
    SddlError error;
    EXPECT_TRUE(ParseSddl(sddl, &descriptor, &error)) << sddl << ": " << error.message << " at " << error.offset;
    return descriptor;
}

TEST(Sddl, ReadsTheFormsAPackageUses)
{
    SecurityDescriptor d = Parsed("O:BAG:SYD:PAI(A;;GA;;;SY)(D;CI;0x1f01ff;;;S-1-5-21-1-2-3-1001)(A;;FRFW;;;AU)");
    EXPECT_EQ(d.owner->ToString(), "S-1-5-32-544");
    EXPECT_EQ(d.group->ToString(), "S-1-5-18");
    EXPECT_TRUE(d.hasDacl && d.daclProtected && d.daclAutoInherited);
    ASSERT_EQ(d.dacl.size(), 3u);
    EXPECT_EQ(d.dacl[1].type, plat::se::AceType::Deny);
    EXPECT_EQ(d.dacl[1].mask, (ACCESS_MASK)FILE_ALL_ACCESS);
    EXPECT_EQ(d.dacl[1].sid.ToString(), "S-1-5-21-1-2-3-1001");
    EXPECT_EQ(d.dacl[2].mask, (ACCESS_MASK)(FILE_GENERIC_READ | FILE_GENERIC_WRITE));
    // Written back as it reads, and read again to the same descriptor.
    EXPECT_EQ(plat::se::ToSddl(d), "O:BAG:SYD:PAI(A;;GA;;;SY)(D;CI;FA;;;S-1-5-21-1-2-3-1001)(A;;FRFW;;;AU)");
    EXPECT_FALSE(Parsed("D:NO_ACCESS_CONTROL").hasDacl);
    EXPECT_TRUE(Parsed("D:").hasDacl);
    EXPECT_EQ(Parsed(" D:P (A;;GR;;;WD) S:(ML;;NW;;;LW)").sacl.size(), 1u);
}

// Malformed and hostile text: an error at the offset of the fault, never a descriptor.
TEST(Sddl, RefusesMalformedTextAtTheFault)
{
    struct Case {
        const char* text;
        size_t offset;
        const char* says;
    } cases[] = {
        {"", 0, "empty"},
        {"X:(A;;GA;;;SY)", 0, "unknown part"},
        {"D:(A;;GA;;;SY)D:(A;;GA;;;WD)", 14, "twice"},
        {"D:Q(A;;GA;;;SY)", 2, "flag"},
        {"D:(A;;GA;;;SY", 2, "not closed"},
        {"D:(A;;GA;;SY)", 10, "too few fields"},
        {"D:(A;;GA;;;SY;)", 13, "conditional"},
        {"D:(Z;;GA;;;SY)", 3, "ACE type"},
        {"D:(A;;GQ;;;SY)", 6, "'GQ'"},
        {"D:(A;;GAG;;;SY)", 8, "'G'"},
        {"D:(A;;0x;;;SY)", 8, "hex digits"},
        {"D:(A;;0x1ffffffff;;;SY)", 8, "32 bits"},
        {"D:(A;;0x12g;;;SY)", 10, "hex digit"},
        {"D:(A;XX;GA;;;SY)", 5, "ACE flag"},
        {"D:(A;;GA;;;QQ)", 11, "alias"},
        {"D:(A;;GA;;;S-2-5)", 13, "revision"},
        {"D:(A;;GA;;;S-1-5-)", 17, "subauthority"},
        {"D:(A;;GA;;;S-1-5-4294967296)", 17, "subauthority"},
        {"D:(A;;GA;;;S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16)", 52, "15 subauthorities"},
        {"D:(OA;;GA;bf967aba-0de6-11d0-a285-00aa003049e2;;SY)", 3, "object"},
        {"D:(A;;GA;;;SY;(x))", 13, "conditional"},
        {"D:(AU;SA;GA;;;SY)", 3, "mandatory label"},
        {"D:(ML;;NW;;;LW)", 3, "ACE type"},
        {"S:(ML;;NW;;;SY)", 2, "integrity level"},
        {"D:NO_ACCESS_CONTROL(A;;GA;;;SY)", 19, "no ACEs"},
        {"D:(A;;GA;;;SY)junk", 14, "expected O:"},
        {"O:", 2, "SID"},
    };
    for (const Case& c : cases) {
        SecurityDescriptor descriptor;
        descriptor.owner = plat::se::sids::Everyone();
        SddlError error;
        EXPECT_FALSE(ParseSddl(c.text, &descriptor, &error)) << c.text;
        EXPECT_EQ(error.offset, c.offset) << c.text << ": " << error.message;
        EXPECT_NE(error.message.find(c.says), std::string::npos) << c.text << ": " << error.message;
        EXPECT_EQ(descriptor.owner, plat::se::sids::Everyone()) << c.text << " changed the descriptor";
    }
}

// SeAccessCheck's rules, one row each: what the token gets for what it asks.
TEST(AccessCheck, FollowsTheDaclInOrder)
{
    plat::se::Token filtered = *plat::se::MakeToken(TokenKind::Administrator);
    filtered.integrity = plat::se::kIntegrityMedium;
    filtered.groups[1].enabled = false;  // BUILTIN\Administrators, for deny only (UAC's filtered token)
    filtered.groups[1].denyOnly = true;
    plat::se::Token low = *plat::se::MakeToken(TokenKind::User);
    low.integrity = plat::se::kIntegrityLow;
    auto user = plat::se::MakeToken(TokenKind::User);
    auto admin = plat::se::MakeToken(TokenKind::Administrator);
    auto service = plat::se::MakeToken(TokenKind::LocalService);

    const ACCESS_MASK rw = GENERIC_READ | GENERIC_WRITE;
    struct Row {
        const char* sddl;
        const plat::se::Token* token;
        ACCESS_MASK desired;
        NTSTATUS status;
        ACCESS_MASK granted;
    } rows[] = {
        // Generic rights map through the file mapping, in the ACE and in the request.
        {"D:(A;;GR;;;BU)", user.get(), FILE_READ_DATA, STATUS_SUCCESS, FILE_READ_DATA},
        {"D:(A;;GR;;;BU)", user.get(), rw, STATUS_ACCESS_DENIED, 0},
        {"D:(A;;FR;;;AU)(A;;FW;;;IU)", user.get(), rw, STATUS_SUCCESS, FILE_GENERIC_READ | FILE_GENERIC_WRITE},
        // A deny met first wins; an allow met first has already granted.
        {"D:(D;;FW;;;BU)(A;;GA;;;WD)", user.get(), GENERIC_WRITE, STATUS_ACCESS_DENIED, 0},
        {"D:(A;;GA;;;WD)(D;;FW;;;BU)", user.get(), GENERIC_WRITE, STATUS_SUCCESS, FILE_GENERIC_WRITE},
        // A group for deny only matches deny ACEs and no allow ACE.
        {"D:(A;;GA;;;BA)", &filtered, FILE_READ_DATA, STATUS_ACCESS_DENIED, 0},
        {"D:(D;;GA;;;BA)(A;;GA;;;WD)", &filtered, FILE_READ_DATA, STATUS_ACCESS_DENIED, 0},
        {"D:(A;;GA;;;BA)", admin.get(), FILE_ALL_ACCESS, STATUS_SUCCESS, FILE_ALL_ACCESS},
        // An inherit-only ACE does not apply to the object.
        {"D:(A;IO;GA;;;WD)", user.get(), FILE_READ_DATA, STATUS_ACCESS_DENIED, 0},
        // MAXIMUM_ALLOWED: all the DACL allows, less what was denied first.
        {"D:(D;;FW;;;SU)(A;;GA;;;WD)", service.get(), MAXIMUM_ALLOWED, STATUS_SUCCESS,
         FILE_ALL_ACCESS & ~FILE_GENERIC_WRITE},
        {"D:(A;;GR;;;SY)", user.get(), MAXIMUM_ALLOWED, STATUS_ACCESS_DENIED, 0},
        // No DACL grants everything; an empty DACL nothing, but its owner may read and change it.
        {"D:NO_ACCESS_CONTROL", user.get(), MAXIMUM_ALLOWED, STATUS_SUCCESS, FILE_ALL_ACCESS},
        {"D:", admin.get(), FILE_READ_DATA, STATUS_ACCESS_DENIED, 0},
        {"O:BUD:", user.get(), READ_CONTROL | WRITE_DAC, STATUS_SUCCESS, READ_CONTROL | WRITE_DAC},
        // The SACL needs the security privilege.
        {"D:(A;;GA;;;WD)", user.get(), ACCESS_SYSTEM_SECURITY, STATUS_PRIVILEGE_NOT_HELD, 0},
        {"D:(A;;GA;;;WD)", admin.get(), ACCESS_SYSTEM_SECURITY, STATUS_SUCCESS, ACCESS_SYSTEM_SECURITY},
        // A low-integrity token may not write up to the default medium label, whatever the DACL says.
        {"D:(A;;GA;;;WD)", &low, FILE_WRITE_DATA, STATUS_ACCESS_DENIED, 0},
        {"D:(A;;GA;;;WD)", &low, FILE_READ_DATA, STATUS_SUCCESS, FILE_READ_DATA},
        {"D:(A;;GA;;;WD)S:(ML;;NW;;;LW)", &low, FILE_WRITE_DATA, STATUS_SUCCESS, FILE_WRITE_DATA},
        {"D:(A;;GA;;;WD)S:(ML;;NR;;;HI)", user.get(), FILE_READ_DATA, STATUS_ACCESS_DENIED, 0},
    };
    for (const Row& row : rows) {
        ACCESS_MASK granted = 0xDEAD;
        EXPECT_EQ(AccessCheck(Parsed(row.sddl), *row.token, row.desired, &granted), row.status)
            << row.sddl << " for " << plat::se::KindName(row.token->kind) << " asking 0x" << std::hex << row.desired;
        EXPECT_EQ(granted, row.granted) << row.sddl << " asking 0x" << std::hex << row.desired;
    }
}

}  // namespace
}  // namespace tvrx::test
