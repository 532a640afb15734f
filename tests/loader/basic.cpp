// The loader tests' driver image: routines that each exercise one thing the
// kernel does for an image (CR8, fast fail, exception scopes, control-flow
// guard, relocated data, the calling convention at imports, the stack). Its
// DriverEntry hands every routine to the test (TestRegister), which calls them
// as the kernel calls a driver's routines.
#include "platform/kernel.h"

extern "C" {
__declspec(dllimport) VOID TestRegister(const char* Name, PVOID Routine);
__declspec(dllimport) VOID TestNote(ULONG64 Value);
__declspec(dllimport) VOID TestRaise(NTSTATUS Status);
__declspec(dllimport) NTSTATUS TestCallBack(PVOID Routine, PVOID Argument);
__declspec(dllimport) ULONG64 TestSum14(ULONG64 A1, ULONG64 A2, ULONG64 A3, ULONG64 A4, ULONG64 A5, ULONG64 A6,
                                        ULONG64 A7, ULONG64 A8, ULONG64 A9, ULONG64 A10, ULONG64 A11, ULONG64 A12,
                                        ULONG64 A13, ULONG64 A14);
__declspec(dllimport) double TestScale(double Value, double Factor);
__declspec(dllimport) KIRQL TestModelIrql(VOID);
__declspec(dllimport) PVOID TestHostRoutine(VOID);
__declspec(dllimport) extern ULONG64 TestVariable;
extern PVOID const UnlistedRoutinePointer;
}

namespace {

__attribute__((noinline)) UCHAR ReadByte(const volatile UCHAR* Address) { return *Address; }

LONG NoteAndDecline(ULONG64 Note) {
    TestNote(Note);
    return EXCEPTION_CONTINUE_SEARCH;
}

LONG NoteAndAccept(ULONG64 Note, PEXCEPTION_POINTERS Pointers) {
    TestNote(Note);
    TestNote(Pointers->ExceptionRecord->ExceptionInformation[1]);
    return EXCEPTION_EXECUTE_HANDLER;
}

const char* const Words[] = {"alpha", "beta", "gamma"};

}  // namespace

extern "C" {

// --- IRQL through CR8 ---------------------------------------------------------
ULONG64 ReadIrql(VOID) { return KeGetCurrentIrql(); }

// The current thread through the processor's control region, as the kit's
// inline KeGetCurrentThread reads it.
ULONG64 ReadThroughGs(VOID) {
    ULONG64 value;
    asm volatile("movq %%gs:0x188, %0" : "=r"(value));
    return value;
}

ULONG64 ReadIrqlIntoR9(VOID) {
    register ULONG64 value asm("r9");
    asm volatile("movq %%cr8, %0" : "=r"(value));
    return value;
}

ULONG64 RaiseAndLower(ULONG64 Level) {
    KIRQL old;
    KeRaiseIrql((KIRQL)Level, &old);
    TestNote(TestModelIrql());
    TestNote(KeGetCurrentIrql());
    KeLowerIrql(old);
    TestNote(TestModelIrql());
    return old;
}

// --- client buffers and exception scopes ------------------------------------------
NTSTATUS CopyFromUser(const VOID* Source, SIZE_T Length) {
    UCHAR buffer[64];
    if (Length > sizeof(buffer)) {
        return STATUS_INVALID_PARAMETER;
    }
    const NTSTATUS status = PlatformCopyFromClient(buffer, Source, Length);
    if (NT_SUCCESS(status)) {
        TestNote(buffer[0]);
    }
    return status;
}

NTSTATUS NestedFinally(NTSTATUS Code) {
    __try {
        __try {
            TestRaise(Code);
            TestNote(98);
        } __finally {
            TestNote(AbnormalTermination() ? 1 : 97);
        }
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        TestNote(2);
        return GetExceptionCode();
    }
    return STATUS_SUCCESS;
}

NTSTATUS FilterSearch(const volatile UCHAR* Address) {
    __try {
        __try {
            ReadByte(Address);
        } __except (NoteAndDecline(1)) {
            TestNote(99);
        }
    } __except (NoteAndAccept(2, GetExceptionInformation())) {
        return GetExceptionCode();
    }
    return STATUS_SUCCESS;
}

ULONG64 UnguardedRead(const volatile UCHAR* Address) { return ReadByte(Address); }

ULONG64 FinallyRead(const volatile UCHAR* Address) {
    ULONG64 value = 0;
    __try {
        value = ReadByte(Address);
    } __finally {
        TestNote(4);
    }
    return value;
}

NTSTATUS CallBackGuarded(PVOID Inner, PVOID Argument) {
    __try {
        TestCallBack(Inner, Argument);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        TestNote(3);
        return GetExceptionCode();
    }
    return STATUS_SUCCESS;
}

NTSTATUS RaiseGuarded(NTSTATUS Code) {
    __try {
        TestRaise(Code);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        return GetExceptionCode();
    }
    return STATUS_SUCCESS;
}

VOID RaiseUnguarded(NTSTATUS Code) {
    TestRaise(Code);  // not a tail call: this frame stays on the stack
    TestNote(97);
}

// --- fast fail ------------------------------------------------------------------------
VOID CorruptList(VOID) {
    LIST_ENTRY head;
    LIST_ENTRY first;
    LIST_ENTRY second;
    InitializeListHead(&head);
    InsertTailList(&head, &first);
    InsertTailList(&head, &second);
    first.Flink = &head;  // `second` is no longer reachable forwards
    RemoveEntryList(&second);
}

// --- control-flow guard -----------------------------------------------------------------
ULONG Twice(ULONG Value) { return Value * 2; }

ULONG CallIndirect(PVOID Routine, ULONG Value) { return ((ULONG(*)(ULONG))Routine)(Value); }

// --- the calling convention at imports, data imports, relocated data ------------------
ULONG64 ManyArguments(VOID) { return TestSum14(1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14); }

ULONG64 ScaleByThousand(ULONG64 Value) { return (ULONG64)TestScale((double)Value, 1000.0); }

ULONG64 ReadVariable(VOID) { return TestVariable; }

const char* Word(ULONG64 Index) { return Words[Index % 3]; }

// --- the stack -------------------------------------------------------------------------
__attribute__((noinline)) ULONG64 Last(const UCHAR* Buffer, SIZE_T Length) { return Buffer[Length - 1]; }

// Levels + 1 frames of a 512-byte buffer each; the innermost calls the model.
__attribute__((noinline)) ULONG64 Deep(ULONG64 Levels) {
    UCHAR buffer[512];
    for (SIZE_T i = 0; i < sizeof(buffer); ++i) {
        buffer[i] = (UCHAR)Levels;
    }
    if (Levels == 0) {
        TestNote(0);
        return 1;
    }
    return Deep(Levels - 1) + Last(buffer, sizeof(buffer));
}

// Levels + 1 frames of a 512-byte buffer each, calling nothing of the
// model's: only the end of the stack can stop it.
__attribute__((noinline)) ULONG64 Descend(ULONG64 Levels) {
    volatile UCHAR buffer[512];
    for (SIZE_T i = 0; i < sizeof(buffer); ++i) {
        buffer[i] = (UCHAR)Levels;
    }
    if (Levels == 0) {
        return buffer[0];
    }
    return Descend(Levels - 1) + buffer[sizeof(buffer) - 1];
}

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(DriverObject);
    UNREFERENCED_PARAMETER(RegistryPath);
    TestNote(KeGetCurrentIrql());
    TestRegister("ReadIrql", (PVOID)ReadIrql);
    TestRegister("ReadIrqlIntoR9", (PVOID)ReadIrqlIntoR9);
    TestRegister("ReadThroughGs", (PVOID)ReadThroughGs);
    TestRegister("RaiseAndLower", (PVOID)RaiseAndLower);
    TestRegister("CopyFromUser", (PVOID)CopyFromUser);
    TestRegister("NestedFinally", (PVOID)NestedFinally);
    TestRegister("FilterSearch", (PVOID)FilterSearch);
    TestRegister("UnguardedRead", (PVOID)UnguardedRead);
    TestRegister("FinallyRead", (PVOID)FinallyRead);
    TestRegister("CallBackGuarded", (PVOID)CallBackGuarded);
    TestRegister("RaiseGuarded", (PVOID)RaiseGuarded);
    TestRegister("RaiseUnguarded", (PVOID)RaiseUnguarded);
    TestRegister("CorruptList", (PVOID)CorruptList);
    TestRegister("Twice", (PVOID)Twice);
    TestRegister("CallIndirect", (PVOID)CallIndirect);
    TestRegister("Unlisted", UnlistedRoutinePointer);
    TestRegister("ManyArguments", (PVOID)ManyArguments);
    TestRegister("ScaleByThousand", (PVOID)ScaleByThousand);
    TestRegister("ReadVariable", (PVOID)ReadVariable);
    TestRegister("Word", (PVOID)Word);
    TestRegister("Deep", (PVOID)Deep);
    TestRegister("Descend", (PVOID)Descend);
    return STATUS_SUCCESS;
}

}  // extern "C"
