/* SDDL: reading a security descriptor's text and writing it back. */
#include <cctype>
#include <cstdio>

#include "ntos/se/security.h"

namespace plat::se {
namespace {

struct RightCode {
    const char* code;
    ACCESS_MASK mask;
};

// The two-letter rights codes, generic, standard, object, file and key rights.
constexpr RightCode kRights[] = {
    {"GA", GENERIC_ALL},
    {"GR", GENERIC_READ},
    {"GW", GENERIC_WRITE},
    {"GX", GENERIC_EXECUTE},
    {"RC", READ_CONTROL},
    {"SD", DELETE},
    {"WD", WRITE_DAC},
    {"WO", WRITE_OWNER},
    {"RP", 0x10},
    {"WP", 0x20},
    {"CC", 0x1},
    {"DC", 0x2},
    {"LC", 0x4},
    {"SW", 0x8},
    {"LO", 0x80},
    {"DT", 0x40},
    {"CR", 0x100},
    {"FA", FILE_ALL_ACCESS},
    {"FR", FILE_GENERIC_READ},
    {"FW", FILE_GENERIC_WRITE},
    {"FX", FILE_GENERIC_EXECUTE},
    {"KA", 0xF003F},
    {"KR", 0x20019},
    {"KW", 0x20006},
    {"KX", 0x20019},
};

constexpr RightCode kLabelRights[] = {
    {"NW", kLabelNoWriteUp},
    {"NR", kLabelNoReadUp},
    {"NX", kLabelNoExecuteUp},
};

struct FlagCode {
    const char* code;
    uint8_t flag;
};
constexpr FlagCode kAceFlags[] = {
    {"OI", kAceObjectInherit}, {"CI", kAceContainerInherit}, {"NP", kAceNoPropagate},
    {"IO", kAceInheritOnly},   {"ID", kAceInherited},
};

bool SameCode(std::string_view text, const char* code)
{
    return text.size() == 2 && std::toupper(static_cast<unsigned char>(text[0])) == code[0] &&
           std::toupper(static_cast<unsigned char>(text[1])) == code[1];
}

class Parser {
public:
    explicit Parser(std::string_view text) : text_(text) {}

    bool Run(SecurityDescriptor* result, SddlError* error)
    {
        SecurityDescriptor descriptor;
        SkipSpace();
        if (at_ == text_.size()) {
            return Fail(0, "the security descriptor is empty", error);
        }
        while (at_ < text_.size()) {
            if (!Component(&descriptor)) {
                *error = error_;
                return false;
            }
            SkipSpace();
        }
        *result = std::move(descriptor);
        return true;
    }

private:
    bool Fail(size_t at, std::string message, SddlError* error)
    {
        error->offset = at;
        error->message = std::move(message);
        return false;
    }
    bool Fail(size_t at, std::string message) { return Fail(at, std::move(message), &error_); }

    void SkipSpace()
    {
        while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_]))) {
            at_++;
        }
    }

    // O:, G:, D: or S: and what follows it.
    bool Component(SecurityDescriptor* descriptor)
    {
        size_t start = at_;
        if (at_ + 1 >= text_.size() || text_[at_ + 1] != ':') {
            return Fail(at_, "expected O:, G:, D: or S:");
        }
        char kind = static_cast<char>(std::toupper(static_cast<unsigned char>(text_[at_])));
        at_ += 2;
        if (kind != 'O' && kind != 'G' && kind != 'D' && kind != 'S') {
            return Fail(start, std::string("unknown part '") + text_[start] + ":' (expected O:, G:, D: or S:)");
        }
        if (seen_.find(kind) != std::string::npos) {
            return Fail(start, std::string(1, kind) + ": given twice");
        }
        seen_ += kind;
        switch (kind) {
        case 'O':
            descriptor->owner.emplace();
            return SidAt(&*descriptor->owner);
        case 'G':
            descriptor->group.emplace();
            return SidAt(&*descriptor->group);
        case 'D':
            return Acl(true, descriptor);
        default:
            return Acl(false, descriptor);
        }
    }

    // A SID alias or S-1-... string.
    bool SidAt(Sid* sid)
    {
        SkipSpace();
        if (at_ < text_.size() && (text_[at_] == 'S' || text_[at_] == 's') && at_ + 1 < text_.size() &&
            text_[at_ + 1] == '-') {
            std::string message;
            size_t offset = 0;
            size_t taken = ParseSidString(text_.substr(at_), sid, &message, &offset);
            if (taken == 0) {
                return Fail(at_ + offset, message);
            }
            at_ += taken;
            return true;
        }
        if (at_ + 2 > text_.size() || !std::isalpha(static_cast<unsigned char>(text_[at_])) ||
            !std::isalpha(static_cast<unsigned char>(text_[at_ + 1]))) {
            return Fail(at_, "expected a SID (a two-letter alias or S-1-...)");
        }
        const Sid* known = SidFromAlias(text_.substr(at_, 2));
        if (known == nullptr) {
            return Fail(at_, "unknown SID alias '" + std::string(text_.substr(at_, 2)) + "'");
        }
        *sid = *known;
        at_ += 2;
        return true;
    }

    bool Acl(bool dacl, SecurityDescriptor* descriptor)
    {
        const char* name = dacl ? "D:" : "S:";
        if (dacl) {
            descriptor->hasDacl = true;
        }
        if (text_.substr(at_, 17) == "NO_ACCESS_CONTROL") {
            size_t start = at_;
            at_ += 17;
            SkipSpace();
            if (!dacl) {
                return Fail(start, "NO_ACCESS_CONTROL applies to a DACL only");
            }
            if (at_ < text_.size() && text_[at_] == '(') {
                return Fail(at_, "a DACL marked NO_ACCESS_CONTROL has no ACEs");
            }
            descriptor->hasDacl = false;
            return true;
        }
        // The flags, then the ACEs.
        while (at_ < text_.size() && text_[at_] != '(' && !std::isspace(static_cast<unsigned char>(text_[at_])) &&
               !(at_ + 1 < text_.size() && text_[at_ + 1] == ':')) {
            if (text_[at_] == 'P') {
                (dacl ? descriptor->daclProtected : descriptor->saclProtected) = true;
                at_++;
            } else if (text_.substr(at_, 2) == "AI") {
                if (dacl) {
                    descriptor->daclAutoInherited = true;
                }
                at_ += 2;
            } else if (text_.substr(at_, 2) == "AR") {
                if (dacl) {
                    descriptor->daclAutoInheritReq = true;
                }
                at_ += 2;
            } else {
                return Fail(at_, std::string("unknown ") + name + " flag (expected P, AI, AR or an ACE in parentheses)");
            }
        }
        for (;;) {
            SkipSpace();
            if (at_ >= text_.size() || text_[at_] != '(') {
                return true;
            }
            Ace ace;
            if (!AceAt(dacl, &ace)) {
                return false;
            }
            (dacl ? descriptor->dacl : descriptor->sacl).push_back(std::move(ace));
        }
    }

    // The text up to the next ';' or ')' of the ACE: one field.
    std::string_view Field()
    {
        size_t start = at_;
        while (at_ < text_.size() && text_[at_] != ';' && text_[at_] != ')' && text_[at_] != '(') {
            at_++;
        }
        return text_.substr(start, at_ - start);
    }

    bool Separator(const char* after)
    {
        if (at_ >= text_.size() || text_[at_] != ';') {
            return Fail(at_, std::string("expected ';' after the ACE's ") + after);
        }
        at_++;
        return true;
    }

    bool AceAt(bool dacl, Ace* ace)
    {
        size_t open = at_++;
        size_t start = at_;
        std::string_view type = Field();
        if (dacl && type == "A") {
            ace->type = AceType::Allow;
        } else if (dacl && type == "D") {
            ace->type = AceType::Deny;
        } else if (!dacl && type == "ML") {
            ace->type = AceType::MandatoryLabel;
        } else if (type == "OA" || type == "OD" || type == "XA" || type == "XD" || type == "ZA") {
            return Fail(start, "object and conditional ACEs are not supported on a device");
        } else if (type == "AU" || type == "OU" || type == "AL" || type == "OL" || type == "SP" || type == "RA") {
            return Fail(start, "only mandatory label (ML) ACEs are supported in a SACL");
        } else {
            return Fail(start, "unknown ACE type '" + std::string(type) + "' (expected " +
                                   (dacl ? "A or D" : "ML") + ")");
        }
        if (!Separator("type") || !AceFlags(ace) || !Separator("flags") || !Rights(ace) || !Separator("rights")) {
            return false;
        }
        for (const char* guid : {"object GUID", "inherited object GUID"}) {
            size_t guidAt = at_;
            if (!Field().empty()) {
                if (at_ < text_.size() && text_[at_] == ')') {
                    return Fail(guidAt, "the ACE has too few fields (type;flags;rights;;;sid)");
                }
                return Fail(guidAt, std::string("an ") + guid + " makes an object ACE, not supported on a device");
            }
            if (!Separator(guid)) {
                return false;
            }
        }
        if (!SidAt(&ace->sid)) {
            return false;
        }
        if (at_ < text_.size() && text_[at_] == ';') {
            return Fail(at_, "conditional and resource ACEs are not supported on a device");
        }
        if (at_ >= text_.size() || text_[at_] != ')') {
            return Fail(at_ < text_.size() ? at_ : open, at_ < text_.size() ? "expected ')' after the ACE's SID"
                                                                              : "the ACE is not closed with ')'");
        }
        at_++;
        if (ace->type == AceType::MandatoryLabel && (ace->sid.authority != 16 || ace->sid.subauthorities.size() != 1)) {
            return Fail(open, "a mandatory label ACE names an integrity level (LW, ME, HI, SI or S-1-16-...)");
        }
        return true;
    }

    bool AceFlags(Ace* ace)
    {
        size_t start = at_;
        std::string_view flags = Field();
        for (size_t i = 0; i < flags.size(); i += 2) {
            bool known = false;
            for (const FlagCode& code : kAceFlags) {
                if (SameCode(flags.substr(i, 2), code.code)) {
                    ace->flags |= code.flag;
                    known = true;
                }
            }
            if (!known) {
                if (flags.substr(i, 2) == "SA" || flags.substr(i, 2) == "FA") {
                    return Fail(start + i, "audit flags (SA, FA) belong to audit ACEs");
                }
                return Fail(start + i, "unknown ACE flag '" + std::string(flags.substr(i, 2)) + "'");
            }
        }
        return true;
    }

    bool Rights(Ace* ace)
    {
        size_t start = at_;
        std::string_view rights = Field();
        if (rights.size() > 1 && rights[0] == '0' && (rights[1] == 'x' || rights[1] == 'X')) {
            return Number(rights.substr(2), 16, start + 2, ace);
        }
        if (!rights.empty() && std::isdigit(static_cast<unsigned char>(rights[0]))) {
            return Number(rights, 10, start, ace);
        }
        for (size_t i = 0; i < rights.size(); i += 2) {
            std::string_view code = rights.substr(i, 2);
            bool known = false;
            if (ace->type == AceType::MandatoryLabel) {
                for (const RightCode& entry : kLabelRights) {
                    if (SameCode(code, entry.code)) {
                        ace->mask |= entry.mask;
                        known = true;
                    }
                }
            } else {
                for (const RightCode& entry : kRights) {
                    if (SameCode(code, entry.code)) {
                        ace->mask |= entry.mask;
                        known = true;
                    }
                }
            }
            if (!known) {
                return Fail(start + i, "unknown access right '" + std::string(code) + "'");
            }
        }
        return true;
    }

    bool Number(std::string_view digits, int base, size_t offset, Ace* ace)
    {
        if (digits.empty()) {
            return Fail(offset, "expected hex digits after 0x");
        }
        uint64_t value = 0;
        for (size_t i = 0; i < digits.size(); i++) {
            unsigned char c = static_cast<unsigned char>(digits[i]);
            int digit = std::isdigit(c) ? c - '0' : (base == 16 && std::isxdigit(c)) ? std::tolower(c) - 'a' + 10 : -1;
            if (digit < 0) {
                return Fail(offset + i, base == 16 ? "not a hex digit in the access mask" : "not a digit in the access mask");
            }
            value = value * base + digit;
            if (value > 0xFFFFFFFFu) {
                return Fail(offset, "the access mask is larger than 32 bits");
            }
        }
        ace->mask = static_cast<ACCESS_MASK>(value);
        return true;
    }

    std::string_view text_;
    size_t at_ = 0;
    std::string seen_;
    SddlError error_;
};

std::string SidText(const Sid& sid)
{
    std::string_view alias = AliasOf(sid);
    return alias.empty() ? sid.ToString() : std::string(alias);
}

std::string RightsText(const Ace& ace)
{
    // Written back as codes when the mask is a union of them (whole file sets,
    // generic and standard rights, or label policies), else as hex.
    static constexpr const char* kWritten[] = {"FA", "FR", "FW", "FX", "GA", "GR", "GW", "GX", "RC", "SD", "WD", "WO"};
    std::string text;
    ACCESS_MASK covered = 0;
    auto take = [&](const RightCode& entry) {
        if ((ace.mask & entry.mask) == entry.mask && (covered | entry.mask) != covered) {
            text += entry.code;
            covered |= entry.mask;
        }
    };
    if (ace.type == AceType::MandatoryLabel) {
        for (const RightCode& entry : kLabelRights) {
            take(entry);
        }
    } else {
        for (const char* code : kWritten) {
            for (const RightCode& entry : kRights) {
                if (SameCode(code, entry.code)) {
                    take(entry);
                }
            }
        }
    }
    if (covered != ace.mask) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%x", static_cast<unsigned>(ace.mask));
        return hex;
    }
    return text;
}

void AppendAces(const std::vector<Ace>& aces, std::string* text)
{
    for (const Ace& ace : aces) {
        *text += '(';
        *text += ace.type == AceType::Allow ? "A" : ace.type == AceType::Deny ? "D" : "ML";
        *text += ';';
        for (const FlagCode& flag : kAceFlags) {
            if (ace.flags & flag.flag) {
                *text += flag.code;
            }
        }
        *text += ';' + RightsText(ace) + ";;;" + SidText(ace.sid) + ')';
    }
}

}  // namespace

bool ParseSddl(std::string_view text, SecurityDescriptor* descriptor, SddlError* error)
{
    return Parser(text).Run(descriptor, error);
}

std::string ToSddl(const SecurityDescriptor& descriptor)
{
    std::string text;
    if (descriptor.owner) {
        text += "O:" + SidText(*descriptor.owner);
    }
    if (descriptor.group) {
        text += "G:" + SidText(*descriptor.group);
    }
    text += "D:";
    if (!descriptor.hasDacl) {
        text += "NO_ACCESS_CONTROL";
    } else {
        text += descriptor.daclProtected ? "P" : "";
        text += descriptor.daclAutoInheritReq ? "AR" : "";
        text += descriptor.daclAutoInherited ? "AI" : "";
        AppendAces(descriptor.dacl, &text);
    }
    if (!descriptor.sacl.empty() || descriptor.saclProtected) {
        text += descriptor.saclProtected ? "S:P" : "S:";
        AppendAces(descriptor.sacl, &text);
    }
    return text;
}

}  // namespace plat::se
