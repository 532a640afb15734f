// Counted UTF-16 strings: a UNICODE_STRING header and a separate, zero-filled
// text buffer two bytes longer than the text, both from the pool.
#include "driver/counted_string.h"

#include "driver/driver_data.h"
#include "driver/tags.h"

// The largest MaximumLength the safe-string rules accept.
constexpr USHORT StrpMaxMaximumLength = 0xFFFE;

PCOUNTED_STRING StrAlloc(ULONG Length, ULONG Tag) {
    // The header's 16-bit fields must describe the buffer exactly; a longer
    // request would leave Length or MaximumLength disagreeing with it.
    if (Length == 0 || Length > StrMaxLength) {
        return nullptr;
    }

    PCOUNTED_STRING string = static_cast<PCOUNTED_STRING>(ExAllocatePoolWithTag(DriverPoolType, sizeof(COUNTED_STRING), Tag));
    if (string == nullptr) {
        return nullptr;
    }

    string->Length = static_cast<USHORT>(Length);
    string->MaximumLength = static_cast<USHORT>(Length + sizeof(WCHAR));
    string->Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(DriverPoolType, string->MaximumLength, Tag));
    if (string->Buffer == nullptr) {
        ExFreePoolWithTag(string, Tag);
        return nullptr;
    }

    RtlZeroMemory(string->Buffer, string->MaximumLength);
    return string;
}

PCOUNTED_STRING StrFromBuffer(const VOID* Memory, ULONG Length, ULONG Tag) {
    PCOUNTED_STRING string = StrAlloc(Length, Tag);
    if (string != nullptr && Memory != nullptr) {
        RtlCopyMemory(string->Buffer, Memory, string->Length);
    }
    return string;
}

PCOUNTED_STRING StrDuplicate(PCUNICODE_STRING Source, ULONG Tag) {
    if (Source == nullptr || Source->Buffer == nullptr || Source->Length == 0) {
        return nullptr;
    }
    PCOUNTED_STRING string = StrAlloc(Source->Length, Tag);
    if (string != nullptr) {
        RtlCopyMemory(string->Buffer, Source->Buffer, string->Length);
    }
    return string;
}

PCOUNTED_STRING StrJoin(PCUNICODE_STRING First, PCUNICODE_STRING Second, WCHAR Separator, ULONG Tag) {
    if (First == nullptr || Second == nullptr || First->Buffer == nullptr || Second->Buffer == nullptr) {
        return nullptr;
    }

    ULONG total = static_cast<ULONG>(First->Length) + Second->Length;
    if (Separator != 0) {
        total += sizeof(WCHAR);
    }

    PCOUNTED_STRING result = StrAlloc(total, Tag);
    if (result == nullptr) {
        return nullptr;
    }

    result->Length = 0;
    RtlCopyUnicodeString(result, First);

    NTSTATUS status = STATUS_SUCCESS;
    if (Separator != 0) {
        const WCHAR separator[2] = {Separator, 0};
        status = StrAppendZ(result, separator);
    }
    if (status == STATUS_SUCCESS) {
        status = StrAppend(result, Second);
    }
    if (status != STATUS_SUCCESS) {
        StrFree(result, Tag);
        return nullptr;
    }
    return result;
}

VOID StrFree(PCOUNTED_STRING String, ULONG Tag) {
    if (String == nullptr) {
        return;
    }
    if (String->Buffer != nullptr) {
        ExFreePoolWithTag(String->Buffer, Tag);
    }
    ExFreePoolWithTag(String, TagHeader);
}

// The rules the safe-string routines apply to a UNICODE_STRING before they
// touch it: even lengths, Length within MaximumLength, MaximumLength within the
// largest even 16-bit value, and a buffer wherever there is room.
static BOOLEAN StrpIsValid(PCUNICODE_STRING String) {
    if (String == nullptr) {
        return FALSE;
    }
    if ((String->Length & 1) != 0 || (String->MaximumLength & 1) != 0) {
        return FALSE;
    }
    if (String->Length > String->MaximumLength || String->MaximumLength > StrpMaxMaximumLength) {
        return FALSE;
    }
    if (String->Buffer == nullptr && (String->Length != 0 || String->MaximumLength != 0)) {
        return FALSE;
    }
    return TRUE;
}

NTSTATUS StrAppend(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    if (!StrpIsValid(Destination) || !StrpIsValid(Source)) {
        return STATUS_INVALID_PARAMETER;
    }

    ULONG room = static_cast<ULONG>((static_cast<ULONG>(Destination->MaximumLength) - Destination->Length) / sizeof(WCHAR));
    ULONG wanted = static_cast<ULONG>(Source->Length / sizeof(WCHAR));
    ULONG copied = wanted < room ? wanted : room;

    if (copied != 0) {
        RtlMoveMemory(Destination->Buffer + Destination->Length / sizeof(WCHAR), Source->Buffer, copied * sizeof(WCHAR));
    }
    Destination->Length = static_cast<USHORT>(Destination->Length + copied * sizeof(WCHAR));

    return copied < wanted ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS StrAppendZ(PUNICODE_STRING Destination, PCWSTR Source) {
    if (!StrpIsValid(Destination)) {
        return STATUS_INVALID_PARAMETER;
    }

    ULONG room = static_cast<ULONG>((static_cast<ULONG>(Destination->MaximumLength) - Destination->Length) / sizeof(WCHAR));
    PWCHAR end = Destination->Buffer + Destination->Length / sizeof(WCHAR);
    ULONG copied = 0;

    if (Source != nullptr) {
        while (copied < room && copied < NTSTRSAFE_UNICODE_STRING_MAX_CCH && Source[copied] != 0) {
            end[copied] = Source[copied];
            copied++;
        }
    }
    Destination->Length = static_cast<USHORT>(Destination->Length + copied * sizeof(WCHAR));

    // Out of room with more of the source still waiting is a truncation; the
    // code-unit limit and the source's terminator are not.
    if (Source != nullptr && copied == room && copied < NTSTRSAFE_UNICODE_STRING_MAX_CCH && Source[copied] != 0) {
        return STATUS_BUFFER_OVERFLOW;
    }
    return STATUS_SUCCESS;
}
