// Security: the well-known SIDs and SeExports, the ACL and descriptor
// routines the driver calls, and the access check the I/O manager and the
// Filter Manager run when a caller opens a device or connects to a port.
//
// Not modelled: owners' implicit READ_CONTROL/WRITE_DAC, privileges other than
// SYSTEM's, SACLs, object ACE types and inheritance (inherit-only ACEs are
// skipped, as they do not apply to the object itself).
#include "sim/se/security.h"

#include "sim/ke/core.h"
#include "sim/ps/ps.h"

#include <cctype>
#include <cstring>
#include <sstream>

namespace {

// A SID with room for two sub-authorities; the layout of SID for those.
struct StaticSid {
    UCHAR Revision;
    UCHAR SubAuthorityCount;
    UCHAR IdentifierAuthority[6];
    ULONG SubAuthority[2];
};

constexpr ULONG kSecurityLocalSystemRid = 18;
constexpr ULONG kSecurityBuiltinDomainRid = 32;
constexpr ULONG kDomainAliasRidAdmins = 544;
constexpr ULONG kDomainAliasRidUsers = 545;
constexpr ULONG kSecurityAuthenticatedUserRid = 11;
constexpr ULONG kSecurityRestrictedCodeRid = 12;

StaticSid gSystemSid = {1, 1, {0, 0, 0, 0, 0, 5}, {kSecurityLocalSystemRid, 0}};
StaticSid gAdminsSid = {1, 2, {0, 0, 0, 0, 0, 5}, {kSecurityBuiltinDomainRid, kDomainAliasRidAdmins}};
StaticSid gUsersSid = {1, 2, {0, 0, 0, 0, 0, 5}, {kSecurityBuiltinDomainRid, kDomainAliasRidUsers}};
StaticSid gWorldSid = {1, 1, {0, 0, 0, 0, 0, 1}, {0, 0}};
StaticSid gAuthenticatedUsersSid = {1, 1, {0, 0, 0, 0, 0, 5}, {kSecurityAuthenticatedUserRid, 0}};
StaticSid gRestrictedSid = {1, 1, {0, 0, 0, 0, 0, 5}, {kSecurityRestrictedCodeRid, 0}};

// The record with the SIDs the model provides; the rest stays empty.
SE_EXPORTS MakeSeExportsp() {
    SE_EXPORTS exports{};
    exports.SeWorldSid = &gWorldSid;
    exports.SeLocalSystemSid = &gSystemSid;
    exports.SeAliasAdminsSid = &gAdminsSid;
    return exports;
}
SE_EXPORTS gSeExports = MakeSeExportsp();

constexpr ULONG kMaxSubAuthorities = 15;
constexpr UCHAR kInheritOnlyAce = 0x08;
constexpr ACCESS_MASK kAccessSystemSecurity = 0x01000000;
constexpr ULONG kSidHeader = 8;
constexpr ULONG kAceHeaderAndMask = 8;

ULONG SidLength(const void* sid) {
    return kSidHeader + 4u * static_cast<const UCHAR*>(sid)[1];
}

bool IsValidSidP(const void* sid) {
    if (sid == nullptr) {
        return false;
    }
    const auto* bytes = static_cast<const UCHAR*>(sid);
    return bytes[0] == 1 && bytes[1] <= kMaxSubAuthorities;
}

// ACL walk: each ACE must lie inside the ACL and hold a valid SID.
bool IsValidAclP(const ACL* acl) {
    if (acl->AclRevision < ACL_REVISION || acl->AclRevision > ACL_REVISION_DS || acl->AclSize < sizeof(ACL) ||
        acl->AclSize % 4 != 0) {
        return false;
    }
    const auto* base = reinterpret_cast<const UCHAR*>(acl);
    ULONG offset = sizeof(ACL);
    for (USHORT i = 0; i < acl->AceCount; ++i) {
        if (offset + sizeof(ACE_HEADER) > acl->AclSize) {
            return false;
        }
        ACE_HEADER header;
        std::memcpy(&header, base + offset, sizeof(header));
        if (header.AceSize < sizeof(ACE_HEADER) || offset + header.AceSize > acl->AclSize) {
            return false;
        }
        if (header.AceType == ACCESS_ALLOWED_ACE_TYPE || header.AceType == ACCESS_DENIED_ACE_TYPE) {
            if (header.AceSize < kAceHeaderAndMask + kSidHeader) {
                return false;
            }
            const UCHAR* sid = base + offset + kAceHeaderAndMask;
            if (!IsValidSidP(sid) || kAceHeaderAndMask + SidLength(sid) > header.AceSize) {
                return false;
            }
        }
        offset += header.AceSize;
    }
    return true;
}

// The parts of a descriptor in either form.
struct DescriptorView {
    USHORT control = 0;
    const void* owner = nullptr;
    const void* group = nullptr;
    const ACL* dacl = nullptr;
};

bool ViewDescriptor(const void* sd, DescriptorView* view) {
    const auto* bytes = static_cast<const UCHAR*>(sd);
    if (bytes[0] != SECURITY_DESCRIPTOR_REVISION) {
        return false;
    }
    USHORT control;
    std::memcpy(&control, bytes + 2, sizeof(control));
    view->control = control;
    if (control & SE_SELF_RELATIVE) {
        SECURITY_DESCRIPTOR_RELATIVE rel;
        std::memcpy(&rel, sd, sizeof(rel));
        view->owner = rel.Owner ? bytes + rel.Owner : nullptr;
        view->group = rel.Group ? bytes + rel.Group : nullptr;
        view->dacl = rel.Dacl ? reinterpret_cast<const ACL*>(bytes + rel.Dacl) : nullptr;
    } else {
        const auto* abs = static_cast<const SECURITY_DESCRIPTOR*>(sd);
        view->owner = abs->Owner;
        view->group = abs->Group;
        view->dacl = abs->Dacl;
    }
    if (!(control & SE_DACL_PRESENT)) {
        view->dacl = nullptr;
    }
    if ((view->owner && !IsValidSidP(view->owner)) || (view->group && !IsValidSidP(view->group))) {
        return false;
    }
    return view->dacl == nullptr || IsValidAclP(view->dacl);
}

NTSTATUS CreateSecurityDescriptorP(PSECURITY_DESCRIPTOR sd, ULONG revision) {
    if (revision != SECURITY_DESCRIPTOR_REVISION) {
        return STATUS_UNKNOWN_REVISION;
    }
    std::memset(sd, 0, sizeof(SECURITY_DESCRIPTOR));
    static_cast<SECURITY_DESCRIPTOR*>(sd)->Revision = SECURITY_DESCRIPTOR_REVISION;
    return STATUS_SUCCESS;
}

NTSTATUS CreateAclP(PACL acl, ULONG length, ULONG revision) {
    if (length < sizeof(ACL)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (length > 0xFFFF || revision < ACL_REVISION || revision > ACL_REVISION_DS) {
        return STATUS_INVALID_PARAMETER;
    }
    std::memset(acl, 0, sizeof(ACL));
    acl->AclRevision = static_cast<UCHAR>(revision);
    acl->AclSize = static_cast<USHORT>(length & ~3u);
    acl->AceCount = 0;
    return STATUS_SUCCESS;
}

NTSTATUS AddAceP(PACL acl, ULONG revision, UCHAR type, ACCESS_MASK mask, const void* sid) {
    if (!IsValidSidP(sid)) {
        return STATUS_INVALID_SID;
    }
    if (revision < ACL_REVISION || revision > ACL_REVISION_DS || acl->AclRevision > ACL_REVISION_DS) {
        return STATUS_REVISION_MISMATCH;
    }
    if (!IsValidAclP(acl)) {
        return STATUS_INVALID_ACL;
    }
    auto* base = reinterpret_cast<UCHAR*>(acl);
    ULONG offset = sizeof(ACL);
    for (USHORT i = 0; i < acl->AceCount; ++i) {
        ACE_HEADER header;
        std::memcpy(&header, base + offset, sizeof(header));
        offset += header.AceSize;
    }
    ULONG aceSize = kAceHeaderAndMask + SidLength(sid);
    if (offset + aceSize > acl->AclSize) {
        return STATUS_ALLOTTED_SPACE_EXCEEDED;
    }
    ACE_HEADER header = {type, 0, static_cast<USHORT>(aceSize)};
    std::memcpy(base + offset, &header, sizeof(header));
    std::memcpy(base + offset + sizeof(header), &mask, sizeof(mask));
    std::memcpy(base + offset + kAceHeaderAndMask, sid, SidLength(sid));
    ++acl->AceCount;
    if (revision > acl->AclRevision) {
        acl->AclRevision = static_cast<UCHAR>(revision);
    }
    return STATUS_SUCCESS;
}

NTSTATUS SetDaclP(PSECURITY_DESCRIPTOR sd, BOOLEAN present, PACL dacl, BOOLEAN defaulted) {
    auto* abs = static_cast<SECURITY_DESCRIPTOR*>(sd);
    if (abs->Revision != SECURITY_DESCRIPTOR_REVISION) {
        return STATUS_UNKNOWN_REVISION;
    }
    if (abs->Control & SE_SELF_RELATIVE) {
        return STATUS_INVALID_SECURITY_DESCR;
    }
    if (!present) {
        abs->Control = static_cast<USHORT>(abs->Control & ~SE_DACL_PRESENT);
        return STATUS_SUCCESS;
    }
    abs->Control = static_cast<USHORT>(abs->Control | SE_DACL_PRESENT);
    abs->Dacl = dacl;
    if (defaulted) {
        abs->Control = static_cast<USHORT>(abs->Control | SE_DACL_DEFAULTED);
    } else {
        abs->Control = static_cast<USHORT>(abs->Control & ~SE_DACL_DEFAULTED);
    }
    return STATUS_SUCCESS;
}

std::vector<uint8_t> SidBytes(const void* sid) {
    const auto* bytes = static_cast<const uint8_t*>(sid);
    return {bytes, bytes + SidLength(sid)};
}

struct AceSpec {
    UCHAR type;
    ACCESS_MASK mask;
    std::vector<uint8_t> sid;
};

// Self-relative descriptor: header, owner, group, then the DACL.
std::vector<uint8_t> BuildRelative(USHORT control, const std::vector<uint8_t>& owner,
                                   const std::vector<uint8_t>& group, const std::vector<AceSpec>* dacl) {
    std::vector<uint8_t> out(sizeof(SECURITY_DESCRIPTOR_RELATIVE), 0);
    SECURITY_DESCRIPTOR_RELATIVE rel = {};
    rel.Revision = SECURITY_DESCRIPTOR_REVISION;
    rel.Control = static_cast<USHORT>(control | SE_SELF_RELATIVE);
    if (!owner.empty()) {
        rel.Owner = static_cast<ULONG>(out.size());
        out.insert(out.end(), owner.begin(), owner.end());
    }
    if (!group.empty()) {
        rel.Group = static_cast<ULONG>(out.size());
        out.insert(out.end(), group.begin(), group.end());
    }
    if (dacl != nullptr) {
        rel.Control = static_cast<USHORT>(rel.Control | SE_DACL_PRESENT);
        rel.Dacl = static_cast<ULONG>(out.size());
        ULONG size = sizeof(ACL);
        for (const AceSpec& ace : *dacl) {
            size += kAceHeaderAndMask + static_cast<ULONG>(ace.sid.size());
        }
        size_t aclStart = out.size();
        out.resize(aclStart + size, 0);
        auto* acl = reinterpret_cast<ACL*>(out.data() + aclStart);
        CreateAclP(acl, size, ACL_REVISION);
        for (const AceSpec& ace : *dacl) {
            AddAceP(acl, ACL_REVISION, ace.type, ace.mask, ace.sid.data());
        }
    } else {
        rel.Control = static_cast<USHORT>(rel.Control & ~SE_DACL_PRESENT);
    }
    std::memcpy(out.data(), &rel, sizeof(rel));
    return out;
}

std::vector<uint8_t> MakeSid(const UCHAR authority[6], const std::vector<ULONG>& subs) {
    std::vector<uint8_t> sid(kSidHeader + 4 * subs.size());
    sid[0] = 1;
    sid[1] = static_cast<uint8_t>(subs.size());
    std::memcpy(&sid[2], authority, 6);
    std::memcpy(sid.data() + kSidHeader, subs.data(), 4 * subs.size());
    return sid;
}

// "S-1-<authority>-<sub>-..." into binary form.
std::optional<std::vector<uint8_t>> ParseSidString(std::string_view text) {
    if (text.size() < 4 || text.substr(0, 4) != "S-1-") {
        return std::nullopt;
    }
    std::vector<uint64_t> numbers;
    size_t pos = 4;
    while (pos <= text.size()) {
        size_t end = text.find('-', pos);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string_view part = text.substr(pos, end - pos);
        if (part.empty() || part.size() > 15) {
            return std::nullopt;
        }
        uint64_t value = 0;
        for (char c : part) {
            if (!std::isdigit(static_cast<unsigned char>(c))) {
                return std::nullopt;
            }
            value = value * 10 + static_cast<uint64_t>(c - '0');
        }
        numbers.push_back(value);
        pos = end + 1;
    }
    if (numbers.empty() || numbers.size() - 1 > kMaxSubAuthorities || numbers[0] > 0xFFFFFFFFFFFFull) {
        return std::nullopt;
    }
    UCHAR authority[6];
    for (int i = 0; i < 6; ++i) {
        authority[i] = static_cast<UCHAR>(numbers[0] >> (8 * (5 - i)));
    }
    std::vector<ULONG> subs;
    for (size_t i = 1; i < numbers.size(); ++i) {
        if (numbers[i] > 0xFFFFFFFFull) {
            return std::nullopt;
        }
        subs.push_back(static_cast<ULONG>(numbers[i]));
    }
    return MakeSid(authority, subs);
}

std::optional<std::vector<uint8_t>> ParseSddlSid(std::string_view token) {
    using namespace sim::security;
    if (token == "SY") return SidBytes(SystemSid());
    if (token == "BA") return SidBytes(AdministratorsSid());
    if (token == "BU") return SidBytes(UsersSid());
    if (token == "WD") return SidBytes(EveryoneSid());
    if (token == "AU") return SidBytes(AuthenticatedUsersSid());
    if (token == "RC") return SidBytes(RestrictedSid());
    return ParseSidString(token);
}

std::optional<ACCESS_MASK> ParseSddlRights(std::string_view token) {
    if (token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) {
        ACCESS_MASK value = 0;
        for (char c : token.substr(2)) {
            if (!std::isxdigit(static_cast<unsigned char>(c))) {
                return std::nullopt;
            }
            value = value * 16 + static_cast<ACCESS_MASK>(std::isdigit(static_cast<unsigned char>(c))
                                                               ? c - '0'
                                                               : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
        }
        return value;
    }
    if (token.size() % 2 != 0) {
        return std::nullopt;
    }
    struct Right {
        const char* name;
        ACCESS_MASK mask;
    };
    static const Right kRights[] = {
        {"GA", GENERIC_ALL},       {"GR", GENERIC_READ},        {"GW", GENERIC_WRITE},
        {"GX", GENERIC_EXECUTE},   {"FA", 0x001F01FF},          {"FR", 0x00120089},
        {"FW", 0x00120116},        {"FX", 0x001200A0},          {"KA", 0x000F003F},
        {"KR", 0x00020019},        {"KW", 0x00020006},          {"KX", 0x00020019},
        {"SD", DELETE},            {"RC", READ_CONTROL},        {"WD", WRITE_DAC},
        {"WO", WRITE_OWNER},
    };
    ACCESS_MASK mask = 0;
    for (size_t i = 0; i < token.size(); i += 2) {
        std::string_view two = token.substr(i, 2);
        bool found = false;
        for (const Right& right : kRights) {
            if (two == right.name) {
                mask |= right.mask;
                found = true;
                break;
            }
        }
        if (!found) {
            return std::nullopt;
        }
    }
    return mask;
}

}  // namespace

extern "C" {
PSE_EXPORTS SeExports = &gSeExports;
}

namespace sim::security {

const GenericMapping& FileGenericMapping() {
    static const GenericMapping mapping = {0x00120089 /*FILE_GENERIC_READ*/, 0x00120116 /*FILE_GENERIC_WRITE*/,
                                           0x001200A0 /*FILE_GENERIC_EXECUTE*/, 0x001F01FF /*FILE_ALL_ACCESS*/};
    return mapping;
}

ACCESS_MASK MapGeneric(ACCESS_MASK access, const GenericMapping& mapping) {
    ACCESS_MASK result = access & ~static_cast<ACCESS_MASK>(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (access & GENERIC_READ) result |= mapping.genericRead;
    if (access & GENERIC_WRITE) result |= mapping.genericWrite;
    if (access & GENERIC_EXECUTE) result |= mapping.genericExecute;
    if (access & GENERIC_ALL) result |= mapping.genericAll;
    return result;
}

PSID SystemSid() { return &gSystemSid; }
PSID AdministratorsSid() { return &gAdminsSid; }
PSID UsersSid() { return &gUsersSid; }
PSID EveryoneSid() { return &gWorldSid; }
PSID AuthenticatedUsersSid() { return &gAuthenticatedUsersSid; }
PSID RestrictedSid() { return &gRestrictedSid; }

bool EqualSid(const void* a, const void* b) {
    if (!IsValidSidP(a) || !IsValidSidP(b)) {
        return false;
    }
    return SidLength(a) == SidLength(b) && std::memcmp(a, b, SidLength(a)) == 0;
}

std::string SidToString(const void* sid) {
    if (!IsValidSidP(sid)) {
        return "<invalid SID>";
    }
    const auto* bytes = static_cast<const UCHAR*>(sid);
    std::ostringstream out;
    out << "S-1-";
    uint64_t authority = 0;
    for (int i = 0; i < 6; ++i) {
        authority = (authority << 8) | bytes[2 + i];
    }
    if (authority >> 32) {
        out << "0x" << std::hex << std::uppercase << authority << std::dec;
    } else {
        out << authority;
    }
    for (UCHAR i = 0; i < bytes[1]; ++i) {
        ULONG sub;
        std::memcpy(&sub, bytes + kSidHeader + 4 * i, sizeof(sub));
        out << '-' << sub;
    }
    return out.str();
}

bool IsSidText(std::string_view text) { return ParseSidString(text).has_value(); }

std::vector<std::vector<uint8_t>> CallerSids(const _EPROCESS* caller) {
    bool system = caller == nullptr || caller->isSystem;
    std::vector<std::vector<uint8_t>> sids;
    if (system) {
        sids.push_back(SidBytes(SystemSid()));
    } else if (auto user = ParseSidString(caller->userSid)) {
        sids.push_back(std::move(*user));  // the token's user
    }
    if (system || caller->isAdmin) {
        sids.push_back(SidBytes(AdministratorsSid()));
    }
    sids.push_back(SidBytes(EveryoneSid()));
    sids.push_back(SidBytes(AuthenticatedUsersSid()));
    sids.push_back(SidBytes(UsersSid()));
    return sids;
}

bool IsValidDescriptor(const void* securityDescriptor) {
    DescriptorView view;
    return securityDescriptor != nullptr && ViewDescriptor(securityDescriptor, &view);
}

NTSTATUS AccessCheck(const void* securityDescriptor, const _EPROCESS* caller, ACCESS_MASK desired,
                     const GenericMapping& mapping, ACCESS_MASK* granted) {
    sim::Count("SeAccessCheck");
    if (granted == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *granted = 0;
    bool system = caller == nullptr || caller->isSystem;
    bool maximum = (desired & MAXIMUM_ALLOWED) != 0;
    desired = MapGeneric(desired & ~static_cast<ACCESS_MASK>(MAXIMUM_ALLOWED), mapping);
    if ((desired & kAccessSystemSecurity) && !system) {
        return STATUS_ACCESS_DENIED;  // needs the security privilege
    }
    DescriptorView view;
    if (securityDescriptor != nullptr && !ViewDescriptor(securityDescriptor, &view)) {
        return STATUS_INVALID_SECURITY_DESCR;
    }
    if (securityDescriptor == nullptr || view.dacl == nullptr) {
        // No DACL: nothing is protected.
        *granted = desired | (maximum ? mapping.genericAll | STANDARD_RIGHTS_ALL : 0);
        return STATUS_SUCCESS;
    }
    if (desired == 0 && !maximum) {
        return STATUS_SUCCESS;
    }
    std::vector<std::vector<uint8_t>> sids = CallerSids(caller);
    auto holds = [&](const void* sid) {
        for (const auto& own : sids) {
            if (EqualSid(own.data(), sid)) {
                return true;
            }
        }
        return false;
    };
    const auto* base = reinterpret_cast<const UCHAR*>(view.dacl);
    ULONG offset = sizeof(ACL);
    ACCESS_MASK allowed = 0;
    ACCESS_MASK denied = 0;
    for (USHORT i = 0; i < view.dacl->AceCount; ++i) {
        ACE_HEADER header;
        std::memcpy(&header, base + offset, sizeof(header));
        const UCHAR* ace = base + offset;
        offset += header.AceSize;
        if ((header.AceType != ACCESS_ALLOWED_ACE_TYPE && header.AceType != ACCESS_DENIED_ACE_TYPE) ||
            (header.AceFlags & kInheritOnlyAce) || !holds(ace + kAceHeaderAndMask)) {
            continue;
        }
        ACCESS_MASK mask;
        std::memcpy(&mask, ace + sizeof(ACE_HEADER), sizeof(mask));
        mask = MapGeneric(mask, mapping);
        if (header.AceType == ACCESS_ALLOWED_ACE_TYPE) {
            allowed |= mask & ~denied;
        } else {
            // A deny counts only for rights an earlier ACE has not already granted.
            denied |= mask & ~allowed;
            if (!maximum && (denied & desired)) {
                return STATUS_ACCESS_DENIED;
            }
        }
        if (!maximum && (allowed & desired) == desired) {
            break;
        }
    }
    if ((allowed & desired) != desired) {
        return STATUS_ACCESS_DENIED;
    }
    ACCESS_MASK result = maximum ? (allowed | desired) : desired;
    if (result == 0) {
        return STATUS_ACCESS_DENIED;
    }
    *granted = result;
    return STATUS_SUCCESS;
}

std::vector<uint8_t> CopyDescriptor(const void* securityDescriptor) {
    DescriptorView view;
    if (securityDescriptor == nullptr || !ViewDescriptor(securityDescriptor, &view)) {
        return {};
    }
    std::vector<AceSpec> aces;
    if (view.dacl != nullptr) {
        const auto* base = reinterpret_cast<const UCHAR*>(view.dacl);
        ULONG offset = sizeof(ACL);
        for (USHORT i = 0; i < view.dacl->AceCount; ++i) {
            ACE_HEADER header;
            std::memcpy(&header, base + offset, sizeof(header));
            if (header.AceType == ACCESS_ALLOWED_ACE_TYPE || header.AceType == ACCESS_DENIED_ACE_TYPE) {
                ACCESS_MASK mask;
                std::memcpy(&mask, base + offset + sizeof(ACE_HEADER), sizeof(mask));
                aces.push_back({header.AceType, mask, SidBytes(base + offset + kAceHeaderAndMask)});
            }
            offset += header.AceSize;
        }
    }
    USHORT control = static_cast<USHORT>(view.control & (SE_DACL_PROTECTED | SE_DACL_DEFAULTED));
    std::vector<uint8_t> owner = view.owner ? SidBytes(view.owner) : std::vector<uint8_t>{};
    std::vector<uint8_t> group = view.group ? SidBytes(view.group) : std::vector<uint8_t>{};
    return BuildRelative(control, owner, group, view.dacl ? &aces : nullptr);
}

const void* DefaultNamedDeviceSecurityDescriptor() {
    static const std::vector<uint8_t> descriptor =
        *DescriptorFromSddl("D:P(A;;GA;;;SY)(A;;GRGWGX;;;BA)(A;;GRGWGX;;;WD)(A;;GRGX;;;RC)");
    return descriptor.data();
}

std::optional<std::vector<uint8_t>> DescriptorFromSddl(std::string_view sddl) {
    std::vector<uint8_t> owner;
    std::vector<uint8_t> group;
    // Optional O:<sid> and G:<sid> before the DACL.
    auto takeSid = [&](char which, std::vector<uint8_t>* out) {
        if (sddl.size() >= 2 && sddl[0] == which && sddl[1] == ':') {
            size_t end = sddl.find(':', 2);
            end = end == std::string_view::npos ? sddl.size() : end - 1;
            std::optional<std::vector<uint8_t>> sid = ParseSddlSid(sddl.substr(2, end - 2));
            if (!sid) {
                return false;
            }
            *out = *sid;
            sddl.remove_prefix(end);
        }
        return true;
    };
    if (!takeSid('O', &owner) || !takeSid('G', &group)) {
        return std::nullopt;
    }
    if (sddl.size() < 2 || sddl.substr(0, 2) != "D:") {
        return std::nullopt;
    }
    sddl.remove_prefix(2);
    USHORT control = 0;
    while (!sddl.empty() && sddl[0] != '(') {
        if (sddl[0] == 'P') {
            control |= SE_DACL_PROTECTED;
            sddl.remove_prefix(1);
        } else if (sddl.substr(0, 2) == "AI" || sddl.substr(0, 2) == "AR") {
            sddl.remove_prefix(2);
        } else {
            return std::nullopt;
        }
    }
    std::vector<AceSpec> aces;
    while (!sddl.empty()) {
        if (sddl[0] != '(') {
            return std::nullopt;
        }
        size_t close = sddl.find(')');
        if (close == std::string_view::npos) {
            return std::nullopt;
        }
        std::string_view body = sddl.substr(1, close - 1);
        sddl.remove_prefix(close + 1);
        std::vector<std::string_view> fields;
        size_t start = 0;
        for (size_t i = 0; i <= body.size(); ++i) {
            if (i == body.size() || body[i] == ';') {
                fields.push_back(body.substr(start, i - start));
                start = i + 1;
            }
        }
        // type;flags;rights;object guid;inherit guid;sid
        if (fields.size() != 6 || !fields[1].empty() || !fields[3].empty() || !fields[4].empty()) {
            return std::nullopt;
        }
        UCHAR type;
        if (fields[0] == "A") {
            type = ACCESS_ALLOWED_ACE_TYPE;
        } else if (fields[0] == "D") {
            type = ACCESS_DENIED_ACE_TYPE;
        } else {
            return std::nullopt;
        }
        std::optional<ACCESS_MASK> rights = ParseSddlRights(fields[2]);
        std::optional<std::vector<uint8_t>> sid = ParseSddlSid(fields[5]);
        if (!rights || !sid) {
            return std::nullopt;
        }
        aces.push_back({type, *rights, *sid});
    }
    return BuildRelative(control, owner, group, &aces);
}

NTSTATUS BuildSystemAdminDescriptor(ACCESS_MASK desired, ULONG tag, PSECURITY_DESCRIPTOR* securityDescriptor) {
    if (securityDescriptor == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *securityDescriptor = nullptr;
    ULONG aclSize = sizeof(ACL) + kAceHeaderAndMask + SidLength(SystemSid()) + kAceHeaderAndMask +
                    SidLength(AdministratorsSid());
    SIZE_T total = sizeof(SECURITY_DESCRIPTOR) + aclSize;
    auto* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, total, tag));
    if (block == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto* acl = reinterpret_cast<PACL>(block + sizeof(SECURITY_DESCRIPTOR));
    CreateSecurityDescriptorP(block, SECURITY_DESCRIPTOR_REVISION);
    CreateAclP(acl, aclSize, ACL_REVISION);
    AddAceP(acl, ACL_REVISION, ACCESS_ALLOWED_ACE_TYPE, desired, SystemSid());
    AddAceP(acl, ACL_REVISION, ACCESS_ALLOWED_ACE_TYPE, desired, AdministratorsSid());
    SetDaclP(block, TRUE, acl, FALSE);
    *securityDescriptor = block;
    return STATUS_SUCCESS;
}

}  // namespace sim::security

extern "C" ULONG NTAPI RtlLengthSid(PSID Sid) {
    sim::Count("RtlLengthSid");
    return SidLength(Sid);
}

extern "C" NTSTATUS NTAPI RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Revision) {
    sim::Count("RtlCreateSecurityDescriptor");
    return CreateSecurityDescriptorP(SecurityDescriptor, Revision);
}

extern "C" NTSTATUS NTAPI RtlCreateAcl(PACL Acl, ULONG AclLength, ULONG AclRevision) {
    sim::Count("RtlCreateAcl");
    return CreateAclP(Acl, AclLength, AclRevision);
}

extern "C" NTSTATUS NTAPI RtlAddAccessAllowedAce(PACL Acl, ULONG AceRevision, ACCESS_MASK AccessMask, PSID Sid) {
    sim::Count("RtlAddAccessAllowedAce");
    return AddAceP(Acl, AceRevision, ACCESS_ALLOWED_ACE_TYPE, AccessMask, Sid);
}

extern "C" NTSTATUS NTAPI RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, BOOLEAN DaclPresent,
                                                       PACL Dacl, BOOLEAN DaclDefaulted) {
    sim::Count("RtlSetDaclSecurityDescriptor");
    return SetDaclP(SecurityDescriptor, DaclPresent, Dacl, DaclDefaulted);
}
