/* Security identifiers: the string form and the well-known ones. */
#include "ntos/se/sid.h"

#include <cctype>

namespace plat::se {
namespace {

Sid Make(uint64_t authority, std::initializer_list<uint32_t> subs) { return Sid{authority, subs}; }

struct Alias {
    const char* name;
    Sid sid;
};

// The aliases SDDL defines for identifiers that need no domain.
const std::vector<Alias>& Aliases()
{
    static const std::vector<Alias> aliases = {
        {"WD", Make(1, {0})},
        {"CO", Make(3, {0})},
        {"CG", Make(3, {1})},
        {"NU", Make(5, {2})},
        {"IU", Make(5, {4})},
        {"SU", Make(5, {6})},
        {"AN", Make(5, {7})},
        {"ED", Make(5, {9})},
        {"PS", Make(5, {10})},
        {"AU", Make(5, {11})},
        {"RC", Make(5, {12})},
        {"SY", Make(5, {18})},
        {"LS", Make(5, {19})},
        {"NS", Make(5, {20})},
        {"BA", Make(5, {32, 544})},
        {"BU", Make(5, {32, 545})},
        {"BG", Make(5, {32, 546})},
        {"PU", Make(5, {32, 547})},
        {"AO", Make(5, {32, 548})},
        {"SO", Make(5, {32, 549})},
        {"PO", Make(5, {32, 550})},
        {"BO", Make(5, {32, 551})},
        {"RE", Make(5, {32, 552})},
        {"RU", Make(5, {32, 554})},
        {"RD", Make(5, {32, 555})},
        {"NO", Make(5, {32, 556})},
        {"AC", Make(15, {2, 1})},
        {"LW", Make(16, {kIntegrityLow})},
        {"ME", Make(16, {kIntegrityMedium})},
        {"HI", Make(16, {kIntegrityHigh})},
        {"SI", Make(16, {kIntegritySystem})},
    };
    return aliases;
}

const Sid& ByAlias(const char* name) { return *SidFromAlias(name); }

// Reads a decimal (or, for the authority, 0x-prefixed hex) number no larger
// than limit; the characters taken, 0 when there is none or it is too large.
size_t ReadNumber(std::string_view text, uint64_t limit, bool hexAllowed, uint64_t* value)
{
    size_t at = 0;
    int base = 10;
    if (hexAllowed && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        at = 2;
    }
    size_t start = at;
    uint64_t result = 0;
    while (at < text.size() && (base == 16 ? std::isxdigit(static_cast<unsigned char>(text[at]))
                                           : std::isdigit(static_cast<unsigned char>(text[at])))) {
        int digit = std::isdigit(static_cast<unsigned char>(text[at]))
                        ? text[at] - '0'
                        : std::tolower(static_cast<unsigned char>(text[at])) - 'a' + 10;
        if (result > (limit - digit) / base) {
            return 0;
        }
        result = result * base + digit;
        at++;
    }
    if (at == start) {
        return 0;
    }
    *value = result;
    return at;
}

}  // namespace

std::string Sid::ToString() const
{
    std::string text = "S-1-" + std::to_string(authority);
    for (uint32_t sub : subauthorities) {
        text += "-" + std::to_string(sub);
    }
    return text;
}

size_t ParseSidString(std::string_view text, Sid* sid, std::string* error, size_t* errorOffset)
{
    auto fail = [&](size_t at, const char* message) -> size_t {
        *error = message;
        *errorOffset = at;
        return 0;
    };
    if (text.size() < 2 || (text[0] != 'S' && text[0] != 's') || text[1] != '-') {
        return fail(0, "a SID begins with S-");
    }
    size_t at = 2;
    uint64_t value = 0;
    size_t taken = ReadNumber(text.substr(at), 255, false, &value);
    if (taken == 0 || value != 1) {
        return fail(at, "the SID's revision must be 1");
    }
    at += taken;
    if (at >= text.size() || text[at] != '-') {
        return fail(at, "the SID has no identifier authority");
    }
    at++;
    taken = ReadNumber(text.substr(at), kMaxAuthority, true, &value);
    if (taken == 0) {
        return fail(at, "the SID's identifier authority is not a number below 2^48");
    }
    Sid result;
    result.authority = value;
    at += taken;
    while (at < text.size() && text[at] == '-') {
        if (result.subauthorities.size() == kMaxSubauthorities) {
            return fail(at, "a SID has at most 15 subauthorities");
        }
        taken = ReadNumber(text.substr(at + 1), 0xFFFFFFFFu, false, &value);
        if (taken == 0) {
            return fail(at + 1, "the SID's subauthority is not a 32-bit number");
        }
        result.subauthorities.push_back(static_cast<uint32_t>(value));
        at += 1 + taken;
    }
    *sid = std::move(result);
    return at;
}

const Sid* SidFromAlias(std::string_view alias)
{
    for (const Alias& entry : Aliases()) {
        if (alias.size() == 2 && std::toupper(static_cast<unsigned char>(alias[0])) == entry.name[0] &&
            std::toupper(static_cast<unsigned char>(alias[1])) == entry.name[1]) {
            return &entry.sid;
        }
    }
    return nullptr;
}

std::string_view AliasOf(const Sid& sid)
{
    for (const Alias& entry : Aliases()) {
        if (entry.sid == sid) {
            return entry.name;
        }
    }
    return {};
}

namespace sids {
const Sid& Everyone() { return ByAlias("WD"); }
const Sid& CreatorOwner() { return ByAlias("CO"); }
const Sid& Interactive() { return ByAlias("IU"); }
const Sid& Service() { return ByAlias("SU"); }
const Sid& Anonymous() { return ByAlias("AN"); }
const Sid& AuthenticatedUsers() { return ByAlias("AU"); }
const Sid& Restricted() { return ByAlias("RC"); }
const Sid& LocalSystem() { return ByAlias("SY"); }
const Sid& LocalService() { return ByAlias("LS"); }
const Sid& NetworkService() { return ByAlias("NS"); }
const Sid& Administrators() { return ByAlias("BA"); }
const Sid& Users() { return ByAlias("BU"); }
Sid IntegrityLevel(uint32_t rid) { return Make(16, {rid}); }
}  // namespace sids

}  // namespace plat::se
