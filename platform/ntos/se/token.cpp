/* Access tokens of the machine's kinds of account. */
#include "ntos/se/token.h"

namespace plat::se {
namespace {

// The signed-in users' own identifiers, in the machine's one domain.
Sid MachineUser(uint32_t rid) { return Sid{5, {21, 1085031214, 1563985344, 725345543, rid}}; }

struct KindEntry {
    TokenKind kind;
    const char* name;
};
constexpr KindEntry kKinds[] = {
    {TokenKind::System, "system"},          {TokenKind::LocalService, "localservice"},
    {TokenKind::NetworkService, "networkservice"}, {TokenKind::Administrator, "admin"},
    {TokenKind::User, "user"},
};

}  // namespace

bool Token::Matches(const Sid& sid, bool allow) const
{
    if (sid == user) {
        return true;
    }
    for (const Group& group : groups) {
        if (group.sid == sid && (group.enabled || (!allow && group.denyOnly))) {
            return true;
        }
    }
    return false;
}

std::shared_ptr<const Token> MakeToken(TokenKind kind)
{
    auto token = std::make_shared<Token>();
    token->kind = kind;
    const Group everyone{sids::Everyone()};
    const Group authenticated{sids::AuthenticatedUsers()};
    switch (kind) {
    case TokenKind::System:
        token->user = sids::LocalSystem();
        token->groups = {{sids::Administrators()}, everyone, authenticated};
        token->integrity = kIntegritySystem;
        token->securityPrivilege = true;
        break;
    case TokenKind::LocalService:
    case TokenKind::NetworkService:
        token->user = kind == TokenKind::LocalService ? sids::LocalService() : sids::NetworkService();
        token->groups = {everyone, {sids::Users()}, {sids::Service()}, authenticated};
        token->integrity = kIntegritySystem;
        break;
    case TokenKind::Administrator:
        token->user = MachineUser(1000);
        token->groups = {everyone, {sids::Administrators()}, {sids::Users()}, {sids::Interactive()}, authenticated};
        token->integrity = kIntegrityHigh;
        token->securityPrivilege = true;
        break;
    case TokenKind::User:
        token->user = MachineUser(1001);
        token->groups = {everyone, {sids::Users()}, {sids::Interactive()}, authenticated};
        token->integrity = kIntegrityMedium;
        break;
    }
    return token;
}

const std::shared_ptr<const Token>& SystemToken()
{
    static const std::shared_ptr<const Token> token = MakeToken(TokenKind::System);
    return token;
}

std::string_view KindName(TokenKind kind)
{
    for (const KindEntry& entry : kKinds) {
        if (entry.kind == kind) {
            return entry.name;
        }
    }
    return "?";
}

bool KindFromName(std::string_view name, TokenKind* kind)
{
    for (const KindEntry& entry : kKinds) {
        if (name == entry.name) {
            *kind = entry.kind;
            return true;
        }
    }
    return false;
}

}  // namespace plat::se
