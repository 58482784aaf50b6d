/*
 * Access tokens: who a process runs as. A token holds its user, its groups
 * (each enabled, or present for deny only, as an elevated administrator's
 * token holds BUILTIN\Administrators and a filtered one does not), its
 * mandatory integrity level and whether it holds the security privilege
 * (SeSecurityPrivilege, which ACCESS_SYSTEM_SECURITY needs).
 *
 * The machine's processes run as one of a few kinds of account: the System
 * process and kernel handles as SYSTEM; services as LocalService or
 * NetworkService; a signed-in user elevated (an administrator) or not (a
 * standard user at medium integrity).
 */
#pragma once
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ntos/se/sid.h"

namespace plat::se {

enum class TokenKind { System, LocalService, NetworkService, Administrator, User };

struct Group {
    Sid sid;
    bool enabled = true;   // SE_GROUP_ENABLED
    bool denyOnly = false;  // SE_GROUP_USE_FOR_DENY_ONLY: matches deny ACEs only
};

struct Token {
    TokenKind kind = TokenKind::System;
    Sid user;
    std::vector<Group> groups;
    uint32_t integrity = kIntegritySystem;  // the level's relative identifier
    bool securityPrivilege = false;

    // The user, or a group that an allow ACE (allow) or a deny ACE (!allow) applies to.
    bool Matches(const Sid& sid, bool allow) const;
};

// The token of a new process of the kind (shared: tokens are never changed).
std::shared_ptr<const Token> MakeToken(TokenKind kind);
// SYSTEM's token, made once.
const std::shared_ptr<const Token>& SystemToken();

// The kind's name as the simulator writes it (system, localservice,
// networkservice, admin, user), and back; false for another name.
std::string_view KindName(TokenKind kind);
bool KindFromName(std::string_view name, TokenKind* kind);

}  // namespace plat::se
