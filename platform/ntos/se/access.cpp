/*
 * The access check of a file open on a device, as SeAccessCheck makes it:
 * the desired access with its generic rights mapped through the file
 * mapping, the mandatory integrity policy, then the DACL walked in order.
 */
#include "ntos/se/security.h"

namespace plat::se {
namespace {

constexpr ACCESS_MASK kGenericBits = GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL;

// What a token below the object's integrity level may not have, per policy.
// A low token may still read the descriptor and wait on the file.
ACCESS_MASK IntegrityDenied(ACCESS_MASK policy)
{
    ACCESS_MASK denied = 0;
    if (policy & kLabelNoWriteUp) {
        denied |= FILE_GENERIC_WRITE | DELETE | WRITE_DAC | WRITE_OWNER;
    }
    if (policy & kLabelNoReadUp) {
        denied |= FILE_GENERIC_READ;
    }
    if (policy & kLabelNoExecuteUp) {
        denied |= FILE_GENERIC_EXECUTE;
    }
    return denied & ~(READ_CONTROL | SYNCHRONIZE);
}

// The object's label: its mandatory label ACE, else medium with no-write-up.
void ObjectLabel(const SecurityDescriptor& descriptor, uint32_t* level, ACCESS_MASK* policy)
{
    *level = kIntegrityMedium;
    *policy = kLabelNoWriteUp;
    for (const Ace& ace : descriptor.sacl) {
        if (ace.type == AceType::MandatoryLabel && !(ace.flags & kAceInheritOnly)) {
            *level = ace.sid.subauthorities[0];
            *policy = ace.mask;
            return;
        }
    }
}

bool Owns(const SecurityDescriptor& descriptor, const Token& token)
{
    return descriptor.owner && token.Matches(*descriptor.owner, true);
}

// What the DACL grants the token of `wanted` (all of it for MAXIMUM_ALLOWED),
// walking the ACEs in order: a deny ACE refuses what is not granted yet, an
// allow ACE grants what is not denied yet.
ACCESS_MASK Walk(const SecurityDescriptor& descriptor, const Token& token, ACCESS_MASK wanted, bool maximum)
{
    ACCESS_MASK granted = 0;
    ACCESS_MASK denied = 0;
    if (Owns(descriptor, token)) {
        // The owner may always read and change the DACL.
        granted = (READ_CONTROL | WRITE_DAC) & (maximum ? ~0u : wanted);
    }
    for (const Ace& ace : descriptor.dacl) {
        if (ace.flags & kAceInheritOnly) {
            continue;
        }
        bool allow = ace.type == AceType::Allow;
        if (!token.Matches(ace.sid, allow)) {
            continue;
        }
        ACCESS_MASK mask = MapFileGeneric(ace.mask);
        if (allow) {
            granted |= mask & ~denied & (maximum ? ~0u : wanted);
        } else {
            denied |= mask & ~granted;
            if (!maximum && (denied & wanted)) {
                return granted;  // a deny of what is still wanted ends the walk
            }
        }
        if (!maximum && (granted & wanted) == wanted) {
            break;
        }
    }
    return granted;
}

}  // namespace

ACCESS_MASK MapFileGeneric(ACCESS_MASK access)
{
    ACCESS_MASK mapped = access & ~kGenericBits;
    if (access & GENERIC_READ) mapped |= FILE_GENERIC_READ;
    if (access & GENERIC_WRITE) mapped |= FILE_GENERIC_WRITE;
    if (access & GENERIC_EXECUTE) mapped |= FILE_GENERIC_EXECUTE;
    if (access & GENERIC_ALL) mapped |= FILE_ALL_ACCESS;
    return mapped;
}

NTSTATUS AccessCheck(const SecurityDescriptor& descriptor, const Token& token, ACCESS_MASK desired,
                     ACCESS_MASK* granted)
{
    *granted = 0;
    const bool maximum = (desired & MAXIMUM_ALLOWED) != 0;
    ACCESS_MASK wanted = MapFileGeneric(desired) & ~MAXIMUM_ALLOWED;
    ACCESS_MASK result = 0;

    // The SACL is the security privilege's, not the DACL's.
    if (wanted & ACCESS_SYSTEM_SECURITY) {
        if (!token.securityPrivilege) {
            return STATUS_PRIVILEGE_NOT_HELD;
        }
        result |= ACCESS_SYSTEM_SECURITY;
        wanted &= ~ACCESS_SYSTEM_SECURITY;
    }

    uint32_t level = 0;
    ACCESS_MASK policy = 0;
    ObjectLabel(descriptor, &level, &policy);
    ACCESS_MASK integrityDenied = token.integrity < level ? IntegrityDenied(policy) : 0;
    if (wanted & integrityDenied) {
        return STATUS_ACCESS_DENIED;
    }

    ACCESS_MASK allowed = descriptor.hasDacl ? Walk(descriptor, token, wanted, maximum) : FILE_ALL_ACCESS;
    allowed &= ~integrityDenied;
    if ((allowed & wanted) != wanted) {
        return STATUS_ACCESS_DENIED;
    }
    result |= maximum ? allowed : wanted;
    if (result == 0 && maximum) {
        return STATUS_ACCESS_DENIED;  // MAXIMUM_ALLOWED where the DACL allows nothing
    }
    *granted = result;
    return STATUS_SUCCESS;
}

const std::shared_ptr<const SecurityDescriptor>& DefaultDeviceDescriptor()
{
    static const std::shared_ptr<const SecurityDescriptor> descriptor = [] {
        auto made = std::make_shared<SecurityDescriptor>();
        SddlError error;
        ParseSddl("D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGWGX;;;WD)(A;;GRGX;;;RC)", made.get(), &error);
        return made;
    }();
    return descriptor;
}

}  // namespace plat::se
