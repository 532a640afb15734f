// Security of the simulated kernel: well-known SIDs, generic-right mapping,
// the access check against a caller's identity, and the descriptors the
// platform hands out by default. Host code only.
//
// Descriptors are accepted in both forms the real system uses: absolute
// (SECURITY_DESCRIPTOR with pointers, what RtlCreateSecurityDescriptor makes)
// and self-relative (SE_SELF_RELATIVE set, offsets from the start). What this
// area makes itself is self-relative, so it can be copied as bytes.
#pragma once

#include "sim/public/rtl.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct _EPROCESS;

namespace sim::security {

struct GenericMapping {
    ACCESS_MASK genericRead;
    ACCESS_MASK genericWrite;
    ACCESS_MASK genericExecute;
    ACCESS_MASK genericAll;
};

// Files and devices: FILE_GENERIC_READ / WRITE / EXECUTE, FILE_ALL_ACCESS.
const GenericMapping& FileGenericMapping();

// Replaces the four generic bits by what the mapping gives for them.
ACCESS_MASK MapGeneric(ACCESS_MASK access, const GenericMapping& mapping);

// Well-known SIDs in their binary form.
PSID SystemSid();         // S-1-5-18
PSID AdministratorsSid(); // S-1-5-32-544
PSID UsersSid();          // S-1-5-32-545
PSID EveryoneSid();       // S-1-1-0
PSID AuthenticatedUsersSid(); // S-1-5-11
PSID RestrictedSid();     // S-1-5-12

bool EqualSid(const void* a, const void* b);
// "S-1-5-32-544" form; "<invalid SID>" for a malformed one.
std::string SidToString(const void* sid);
// Whether `text` is a SID in its "S-1-5-21-..." form.
bool IsSidText(std::string_view text);

// The SIDs a caller's token holds: its user; SYSTEM callers hold SYSTEM and
// Administrators, elevated administrators (processes running as SYSTEM
// among them) hold Administrators, everybody holds
// Everyone, Authenticated Users and Users. A null caller is the kernel itself
// (the System process).
std::vector<std::vector<uint8_t>> CallerSids(const _EPROCESS* caller);

// The access check of an open. `securityDescriptor` null, or one without a
// DACL, grants everything asked. Generic bits of `desired` and of the ACE masks
// are mapped with `mapping`. Allowed and denied ACEs are evaluated in order;
// MAXIMUM_ALLOWED grants all the DACL allows the caller. Asking for nothing
// succeeds with nothing granted, as opening a device with no access does.
// Returns STATUS_SUCCESS with *granted set, or STATUS_ACCESS_DENIED with
// *granted 0; STATUS_INVALID_SECURITY_DESCR for a malformed descriptor.
NTSTATUS AccessCheck(const void* securityDescriptor, const _EPROCESS* caller, ACCESS_MASK desired,
                     const GenericMapping& mapping, ACCESS_MASK* granted);

// Checks revision, offsets and sizes of a descriptor and its DACL.
bool IsValidDescriptor(const void* securityDescriptor);

// A self-relative copy of any valid descriptor (owner, group and DACL; no
// SACL). Empty when the descriptor is malformed. Objects keep such a copy, as
// the object manager does, so the driver may free its own right after use.
std::vector<uint8_t> CopyDescriptor(const void* securityDescriptor);

// The descriptor a named device created without one gets:
// D:P(A;;GA;;;SY)(A;;GRGWGX;;;BA)(A;;GRGWGX;;;WD)(A;;GRGX;;;RC)
// Everyone can open it for read and write.
const void* DefaultNamedDeviceSecurityDescriptor();

// Builds a self-relative descriptor from the SDDL subset device security
// strings use: "D:" optionally followed by "P", then ACEs "(A;;rights;;;sid)"
// or "(D;;rights;;;sid)". Rights: GA GR GW GX, FA FR FW FX, KA KR KW KX, SD RC
// WD WO, or a hex number 0x...; SIDs: SY BA BU WD AU RC, or S-1-... form.
// Nothing when the string is not in that subset.
std::optional<std::vector<uint8_t>> DescriptorFromSddl(std::string_view sddl);

// What FltBuildDefaultSecurityDescriptor returns: one paged-pool block with the
// given tag, an absolute descriptor whose DACL allows only SYSTEM and
// Administrators the desired access. Freed with ExFreePoolWithTag(sd, tag).
// STATUS_INSUFFICIENT_RESOURCES (and *securityDescriptor null) when the pool
// refuses.
NTSTATUS BuildSystemAdminDescriptor(ACCESS_MASK desired, ULONG tag, PSECURITY_DESCRIPTOR* securityDescriptor);

}  // namespace sim::security
