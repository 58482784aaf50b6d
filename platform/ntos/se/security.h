/*
 * Security descriptors, their SDDL text, and the access check.
 *
 * SDDL as an INF's Security value or IoCreateDeviceSecure takes it:
 *
 *   [O:sid] [G:sid] [D:[flags](ace)...] [S:[flags](ace)...]
 *   flags  P (protected), AI (auto-inherited), AR (auto-inherit required),
 *          or NO_ACCESS_CONTROL alone (no DACL: everyone gets everything)
 *   ace    (type;ace flags;rights;;;sid)
 *   type   A (allow) or D (deny) in a DACL, ML (mandatory label) in a SACL
 *   ace flags  CI OI NP IO ID (inheritance; an IO ACE does not apply to the
 *          object itself)
 *   rights  0x... (hex), a decimal number, or two-letter codes run together:
 *          GA GR GW GX, FA FR FW FX, KA KR KW KX, RC SD WD WO, RP WP CC DC LC
 *          SW LO DT CR, and NR NW NX in a mandatory label
 *   sid    a two-letter alias (SY BA BU AU WD LS NS IU SU AN CO ...) or S-1-...
 *
 * Whitespace between parts is skipped. Object ACEs (with GUIDs), conditional
 * ACEs, audit ACEs and aliases that need a domain are refused: a device
 * object has no use for them. Anything malformed is an error with the offset
 * of the fault; nothing is guessed.
 */
#pragma once
#include <wdm.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ntos/se/sid.h"
#include "ntos/se/token.h"

namespace plat::se {

enum class AceType { Allow, Deny, MandatoryLabel };

enum : uint8_t {
    kAceObjectInherit = 0x01,     // OI
    kAceContainerInherit = 0x02,  // CI
    kAceNoPropagate = 0x04,       // NP
    kAceInheritOnly = 0x08,       // IO
    kAceInherited = 0x10,         // ID
};

// Mandatory label policy bits (in an ML ACE's mask).
enum : ACCESS_MASK {
    kLabelNoWriteUp = 0x1,    // NW
    kLabelNoReadUp = 0x2,     // NR
    kLabelNoExecuteUp = 0x4,  // NX
};

struct Ace {
    AceType type = AceType::Allow;
    uint8_t flags = 0;
    ACCESS_MASK mask = 0;
    Sid sid;
};

struct SecurityDescriptor {
    std::optional<Sid> owner;
    std::optional<Sid> group;
    // No DACL (NO_ACCESS_CONTROL): every access is granted. An empty DACL
    // grants nothing.
    bool hasDacl = false;
    std::vector<Ace> dacl;
    bool daclProtected = false;      // P
    bool daclAutoInherited = false;  // AI
    bool daclAutoInheritReq = false;  // AR
    std::vector<Ace> sacl;           // mandatory labels only
    bool saclProtected = false;
};

struct SddlError {
    size_t offset = 0;  // from the start of the text
    std::string message;
};

// Parses SDDL; false with *error when the text is malformed (*descriptor is then unchanged).
bool ParseSddl(std::string_view text, SecurityDescriptor* descriptor, SddlError* error);
// The descriptor as SDDL, rights as codes where they are a standard set, else hex.
std::string ToSddl(const SecurityDescriptor& descriptor);

// The descriptor of a device object that nothing gives one: SYSTEM and
// Administrators all access, everyone else read, write and execute
// (restricted code read and execute).
const std::shared_ptr<const SecurityDescriptor>& DefaultDeviceDescriptor();

// The file object type's generic mapping (FILE_GENERIC_READ, ...).
ACCESS_MASK MapFileGeneric(ACCESS_MASK access);

// SeAccessCheck for a file on a device: the desired access (generic rights
// mapped through the file mapping; MAXIMUM_ALLOWED for all the DACL allows)
// against the descriptor for the token. STATUS_SUCCESS with *granted, or
// STATUS_ACCESS_DENIED (or STATUS_PRIVILEGE_NOT_HELD for
// ACCESS_SYSTEM_SECURITY without the security privilege) with *granted 0.
NTSTATUS AccessCheck(const SecurityDescriptor& descriptor, const Token& token, ACCESS_MASK desired,
                     ACCESS_MASK* granted);

}  // namespace plat::se
