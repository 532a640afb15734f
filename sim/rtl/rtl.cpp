// Run-time library: counted strings, the driver kit's safe-string appends,
// integer to text and RtlGetVersion (the version is a setting).
#include "sim/rtl/settings.h"

#include "sim/ke/core.h"

#include <atomic>
#include <cstring>
#include <sstream>

namespace sim {

namespace {

// KMODE_EXCEPTION_NOT_HANDLED: what a driver's NULL dereference inside a
// run-time routine ends in.
constexpr ULONG kBugKmodeExceptionNotHandled = 0x1E;
constexpr ULONG_PTR kAccessViolation = 0xC0000005;

constexpr ULONG kDefaultMajor = 10;
constexpr ULONG kDefaultMinor = 0;
constexpr ULONG kDefaultBuild = 19045;

std::atomic<ULONG> gMajor{kDefaultMajor};
std::atomic<ULONG> gMinor{kDefaultMinor};
std::atomic<ULONG> gBuild{kDefaultBuild};

void ResetRtl() { SetSystemVersion(kDefaultMajor, kDefaultMinor, kDefaultBuild); }

const bool kRegistered = [] {
    RegisterResetHook("rtl", ResetRtl);
    return true;
}();

[[noreturn]] void NullArgument(const char* routine, const char* argument) {
    BugCheck(kBugKmodeExceptionNotHandled, "KMODE_EXCEPTION_NOT_HANDLED",
             std::string(routine) + ": access violation reading NULL " + argument, kAccessViolation, 0, 0, 0);
}

// Upper case of one UTF-16 code unit: ASCII, Latin-1, Latin Extended-A pairs,
// Greek and Cyrillic, which is what names on our volumes and in the registry use.
WCHAR Upcase(WCHAR c) {
    if (c >= u'a' && c <= u'z') {
        return static_cast<WCHAR>(c - 0x20);
    }
    if (c < 0x80) {
        return c;
    }
    if ((c >= 0xE0 && c <= 0xFE && c != 0xF7) || (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) ||
        (c >= 0x430 && c <= 0x44F)) {
        return static_cast<WCHAR>(c - 0x20);
    }
    if (c == 0xFF) {
        return 0x178;
    }
    if (c >= 0x450 && c <= 0x45F) {
        return static_cast<WCHAR>(c - 0x50);
    }
    if (c >= 0x100 && c <= 0x17F) {
        // Pairs (upper even, lower odd) with the ranges where the pairing flips.
        bool flipped = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        if (c == 0x130 || c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) {
            return c;
        }
        bool lower = flipped ? (c % 2 == 0) : (c % 2 == 1);
        return lower ? static_cast<WCHAR>(c - 1) : c;
    }
    return c;
}

// The safe-string rules for a counted string: even lengths, Length within
// MaximumLength, at most NTSTRSAFE_UNICODE_STRING_MAX_CCH characters, and a
// buffer unless both lengths are 0.
bool IsValidSafeString(PCUNICODE_STRING s) {
    if (s->Length % 2 != 0 || s->MaximumLength % 2 != 0) {
        return false;
    }
    if (s->Length > s->MaximumLength) {
        return false;
    }
    if (s->MaximumLength > NTSTRSAFE_UNICODE_STRING_MAX_CCH * sizeof(WCHAR)) {
        return false;
    }
    if (s->Buffer == nullptr && (s->Length != 0 || s->MaximumLength != 0)) {
        return false;
    }
    return true;
}

}  // namespace

void SetSystemVersion(ULONG major, ULONG minor, ULONG build) {
    gMajor = major;
    gMinor = minor;
    gBuild = build;
}

void GetSystemVersion(ULONG* major, ULONG* minor, ULONG* build) {
    *major = gMajor;
    *minor = gMinor;
    *build = gBuild;
}

}  // namespace sim

using namespace sim;

extern "C" VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    Count("RtlInitUnicodeString");
    RequireIrqlAtMost(DISPATCH_LEVEL, "RtlInitUnicodeString");
    if (DestinationString == nullptr) {
        NullArgument("RtlInitUnicodeString", "DestinationString");
    }
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t bytes = 0;
    while (SourceString[bytes / sizeof(WCHAR)] != 0) {
        bytes += sizeof(WCHAR);
    }
    // Longer text is described only up to what the 16-bit fields hold.
    constexpr size_t kMaxBytes = 0xFFFC;
    if (bytes > kMaxBytes) {
        bytes = kMaxBytes;
    }
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

extern "C" VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    Count("RtlCopyUnicodeString");
    if (DestinationString == nullptr) {
        NullArgument("RtlCopyUnicodeString", "DestinationString");
    }
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    USHORT copied = SourceString->Length < DestinationString->MaximumLength ? SourceString->Length
                                                                            : DestinationString->MaximumLength;
    if (copied != 0) {
        std::memmove(DestinationString->Buffer, SourceString->Buffer, copied);
    }
    DestinationString->Length = copied;
    // A terminator only when a whole code unit of room is left behind the text.
    if (static_cast<ULONG>(copied) + sizeof(WCHAR) <= DestinationString->MaximumLength) {
        DestinationString->Buffer[copied / sizeof(WCHAR)] = 0;
    }
}

// Compares String1's units with as many leading units of String2.
static BOOLEAN LeadingUnitsMatch(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    const size_t units = String1->Length / sizeof(WCHAR);
    for (size_t i = 0; i < units; ++i) {
        const WCHAR a = String1->Buffer[i];
        const WCHAR b = String2->Buffer[i];
        if (a != b && (!CaseInSensitive || Upcase(a) != Upcase(b))) {
            return FALSE;
        }
    }
    return TRUE;
}

extern "C" BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                               BOOLEAN CaseInSensitive) {
    Count("RtlEqualUnicodeString");
    RequireIrqlAtMost(APC_LEVEL, "RtlEqualUnicodeString");
    if (String1 == nullptr || String2 == nullptr) {
        NullArgument("RtlEqualUnicodeString", String1 == nullptr ? "String1" : "String2");
    }
    if (String1->Length != String2->Length) {
        return FALSE;
    }
    return LeadingUnitsMatch(String1, String2, CaseInSensitive);
}

// TRUE when String1 is a prefix of String2 (an empty String1 is a prefix of
// everything).
extern "C" BOOLEAN NTAPI RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                                BOOLEAN CaseInSensitive) {
    Count("RtlPrefixUnicodeString");
    RequireIrqlAtMost(APC_LEVEL, "RtlPrefixUnicodeString");
    if (String1 == nullptr || String2 == nullptr) {
        NullArgument("RtlPrefixUnicodeString", String1 == nullptr ? "String1" : "String2");
    }
    if (String1->Length > String2->Length) {
        return FALSE;
    }
    return LeadingUnitsMatch(String1, String2, CaseInSensitive);
}

extern "C" NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
    Count("RtlIntegerToUnicodeString");
    RequireIrqlAtMost(APC_LEVEL, "RtlIntegerToUnicodeString");
    if (Base == 0) {
        Base = 10;
    }
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16) {
        return STATUS_INVALID_PARAMETER;
    }
    if (String == nullptr) {
        NullArgument("RtlIntegerToUnicodeString", "String");
    }
    WCHAR digits[32];
    size_t count = 0;
    do {
        ULONG digit = Value % Base;
        digits[sizeof(digits) / sizeof(WCHAR) - 1 - count] =
            static_cast<WCHAR>(digit < 10 ? u'0' + digit : u'A' + (digit - 10));
        ++count;
        Value /= Base;
    } while (Value != 0);
    // The real routine reports the length it needed even when it does not
    // fit, and then leaves the buffer alone: Length may exceed MaximumLength.
    String->Length = static_cast<USHORT>(count * sizeof(WCHAR));
    if (String->Length >= String->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    std::memcpy(String->Buffer, &digits[sizeof(digits) / sizeof(WCHAR) - count], count * sizeof(WCHAR));
    String->Buffer[count] = 0;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS RtlUnicodeStringCat(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    Count("RtlUnicodeStringCat");
    if (DestinationString == nullptr || SourceString == nullptr) {
        NullArgument("RtlUnicodeStringCat", DestinationString == nullptr ? "DestinationString" : "SourceString");
    }
    if (!IsValidSafeString(DestinationString) || !IsValidSafeString(SourceString)) {
        return STATUS_INVALID_PARAMETER;
    }
    // A destination with no buffer at all cannot take a non-empty source.
    if (DestinationString->MaximumLength == 0 && SourceString->Length != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    size_t room = (DestinationString->MaximumLength - DestinationString->Length) / sizeof(WCHAR);
    size_t wanted = SourceString->Length / sizeof(WCHAR);
    size_t copied = wanted < room ? wanted : room;
    if (copied != 0) {
        std::memmove(DestinationString->Buffer + DestinationString->Length / sizeof(WCHAR), SourceString->Buffer,
                     copied * sizeof(WCHAR));
    }
    DestinationString->Length = static_cast<USHORT>(DestinationString->Length + copied * sizeof(WCHAR));
    return copied < wanted ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

extern "C" NTSTATUS RtlUnicodeStringCatString(PUNICODE_STRING DestinationString, PCWSTR pszSrc) {
    Count("RtlUnicodeStringCatString");
    if (DestinationString == nullptr || pszSrc == nullptr) {
        NullArgument("RtlUnicodeStringCatString", DestinationString == nullptr ? "DestinationString" : "pszSrc");
    }
    if (!IsValidSafeString(DestinationString)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (DestinationString->MaximumLength == 0 && pszSrc[0] != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    size_t room = (DestinationString->MaximumLength - DestinationString->Length) / sizeof(WCHAR);
    PWSTR end = DestinationString->Buffer + DestinationString->Length / sizeof(WCHAR);
    size_t copied = 0;
    while (copied < room && copied < NTSTRSAFE_UNICODE_STRING_MAX_CCH && pszSrc[copied] != 0) {
        end[copied] = pszSrc[copied];
        ++copied;
    }
    DestinationString->Length = static_cast<USHORT>(DestinationString->Length + copied * sizeof(WCHAR));
    // Stopping at the character limit is not an overflow; running out of room
    // with more text to come is.
    if (copied < NTSTRSAFE_UNICODE_STRING_MAX_CCH && copied == room && pszSrc[copied] != 0) {
        return STATUS_BUFFER_OVERFLOW;
    }
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation) {
    Count("RtlGetVersion");
    NTSTATUS injected = TakeInjectedFailure("RtlGetVersion");
    if (injected != STATUS_SUCCESS) {
        return injected;
    }
    if (lpVersionInformation == nullptr) {
        NullArgument("RtlGetVersion", "lpVersionInformation");
    }
    constexpr ULONG kInfoSize = sizeof(RTL_OSVERSIONINFOW);  // 276
    constexpr ULONG kInfoExSize = 284;                        // RTL_OSVERSIONINFOEXW
    ULONG size = lpVersionInformation->dwOSVersionInfoSize;
    if (size != kInfoSize && size != kInfoExSize) {
        return STATUS_INVALID_PARAMETER;
    }
    lpVersionInformation->dwMajorVersion = gMajor;
    lpVersionInformation->dwMinorVersion = gMinor;
    lpVersionInformation->dwBuildNumber = gBuild;
    lpVersionInformation->dwPlatformId = 2;  // VER_PLATFORM_WIN32_NT
    std::memset(lpVersionInformation->szCSDVersion, 0, sizeof(lpVersionInformation->szCSDVersion));
    if (size == kInfoExSize) {
        // wServicePackMajor, wServicePackMinor, wSuiteMask, wProductType, wReserved.
        auto* ex = reinterpret_cast<UCHAR*>(lpVersionInformation) + kInfoSize;
        std::memset(ex, 0, kInfoExSize - kInfoSize);
        ex[6] = 1;  // VER_NT_WORKSTATION
    }
    return STATUS_SUCCESS;
}
