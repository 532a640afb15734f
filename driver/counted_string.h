// Counted UTF-16 strings whose header and buffer are separate pool blocks.
#pragma once

#include "platform/kernel.h"

typedef UNICODE_STRING COUNTED_STRING, *PCOUNTED_STRING;

// The most text a counted string made here holds: MaximumLength = Length + 2
// must stay within the largest even value the safe-string rules accept.
constexpr ULONG StrMaxLength = 65532;

PCOUNTED_STRING StrAlloc(ULONG Length, ULONG Tag);
PCOUNTED_STRING StrFromBuffer(const VOID* Memory, ULONG Length, ULONG Tag);
PCOUNTED_STRING StrDuplicate(PCUNICODE_STRING Source, ULONG Tag);
PCOUNTED_STRING StrJoin(PCUNICODE_STRING First, PCUNICODE_STRING Second, WCHAR Separator, ULONG Tag);
VOID StrFree(PCOUNTED_STRING String, ULONG Tag);
NTSTATUS StrAppend(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
NTSTATUS StrAppendZ(PUNICODE_STRING Destination, PCWSTR Source);
