/*
 * The SDDL reader on any text: it reads a descriptor or names a fault inside
 * the text, never more. A descriptor it reads is written out again and must
 * read back to the same text and grant the same; a token that no allow ACE
 * names (and that does not own the object) is granted nothing from a DACL.
 */
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "ntos/se/security.h"

namespace {

void Fail(const char* what, std::string_view text)
{
    std::fprintf(stderr, "%s: \"%.*s\"\n", what, static_cast<int>(text.size()), text.data());
    std::abort();
}

bool Named(const plat::se::SecurityDescriptor& descriptor, const plat::se::Token& token)
{
    if (descriptor.owner && token.Matches(*descriptor.owner, true)) {
        return true;
    }
    for (const plat::se::Ace& ace : descriptor.dacl) {
        if (ace.type == plat::se::AceType::Allow && token.Matches(ace.sid, true)) {
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace plat::se;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    SecurityDescriptor descriptor;
    SddlError error;
    if (!ParseSddl(text, &descriptor, &error)) {
        if (error.message.empty() || error.offset > text.size()) {
            Fail("a refusal without a message or past the text", text);
        }
        return 0;
    }
    std::string written = ToSddl(descriptor);
    SecurityDescriptor again;
    if (!ParseSddl(written, &again, &error) || ToSddl(again) != written) {
        Fail("a written descriptor reads back differently", written);
    }
    static const TokenKind kinds[] = {TokenKind::System, TokenKind::LocalService, TokenKind::NetworkService,
                                      TokenKind::Administrator, TokenKind::User};
    for (TokenKind kind : kinds) {
        std::shared_ptr<const Token> token = MakeToken(kind);
        for (ACCESS_MASK desired : {ACCESS_MASK{FILE_READ_DATA}, ACCESS_MASK{GENERIC_WRITE},
                                    ACCESS_MASK{MAXIMUM_ALLOWED}}) {
            ACCESS_MASK first = 0;
            ACCESS_MASK second = 0;
            NTSTATUS status = AccessCheck(descriptor, *token, desired, &first);
            if (AccessCheck(again, *token, desired, &second) != status || first != second) {
                Fail("a written descriptor grants differently", text);
            }
            if (NT_SUCCESS(status) && descriptor.hasDacl && !Named(descriptor, *token)) {
                Fail("access granted to a token no allow ACE names", text);
            }
        }
    }
    return 0;
}
