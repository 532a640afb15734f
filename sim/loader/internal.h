// The loader's own declarations, shared by its parts: the x64 structures an
// image and the kernel exchange during exception dispatch (on their real
// layouts), a mapped image, the records of import calls, and the routines the
// parts call in one another. Not for the rest of the model.
#pragma once

#include "sim/loader/loader.h"
#include "sim/loader/offsets.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sim::loader {

// --- x64 structures of exception dispatch -----------------------------------
struct alignas(16) M128 {
    uint64_t low;
    uint64_t high;
};

// CONTEXT. The floating-point part is the 512-byte FXSAVE area; XMM0-15 lie
// at offset 160 within it.
struct alignas(16) Context {
    uint64_t P1Home, P2Home, P3Home, P4Home, P5Home, P6Home;
    uint32_t ContextFlags;
    uint32_t MxCsr;
    uint16_t SegCs, SegDs, SegEs, SegFs, SegGs, SegSs;
    uint32_t EFlags;
    uint64_t Dr0, Dr1, Dr2, Dr3, Dr6, Dr7;
    uint64_t Rax, Rcx, Rdx, Rbx, Rsp, Rbp, Rsi, Rdi;
    uint64_t R8, R9, R10, R11, R12, R13, R14, R15;
    uint64_t Rip;
    // FXSAVE area
    uint16_t ControlWord, StatusWord;
    uint8_t TagWord, Reserved1;
    uint16_t ErrorOpcode;
    uint32_t ErrorOffset;
    uint16_t ErrorSelector, Reserved2;
    uint32_t DataOffset;
    uint16_t DataSelector, Reserved3;
    uint32_t FxMxCsr, FxMxCsrMask;
    M128 FloatRegisters[8];
    M128 Xmm[16];
    uint8_t Reserved4[96];
    M128 VectorRegister[26];
    uint64_t VectorControl;
    uint64_t DebugControl;
    uint64_t LastBranchToRip, LastBranchFromRip, LastExceptionToRip, LastExceptionFromRip;

    // General-purpose register by its encoding number (0 = RAX ... 15 = R15).
    uint64_t& Reg(unsigned number) { return (&Rax)[number]; }
};
static_assert(sizeof(Context) == VL_CTX_SIZE);
static_assert(offsetof(Context, MxCsr) == VL_CTX_MXCSR);
static_assert(offsetof(Context, EFlags) == VL_CTX_EFLAGS);
static_assert(offsetof(Context, Rax) == VL_CTX_RAX);
static_assert(offsetof(Context, Rcx) == VL_CTX_RCX);
static_assert(offsetof(Context, Rdx) == VL_CTX_RDX);
static_assert(offsetof(Context, Rbx) == VL_CTX_RBX);
static_assert(offsetof(Context, Rsp) == VL_CTX_RSP);
static_assert(offsetof(Context, Rbp) == VL_CTX_RBP);
static_assert(offsetof(Context, Rsi) == VL_CTX_RSI);
static_assert(offsetof(Context, Rdi) == VL_CTX_RDI);
static_assert(offsetof(Context, R8) == VL_CTX_R8);
static_assert(offsetof(Context, R15) == VL_CTX_R15);
static_assert(offsetof(Context, Rip) == VL_CTX_RIP);
static_assert(offsetof(Context, ControlWord) == 0x100);
static_assert(offsetof(Context, Xmm) == VL_CTX_XMM0);
static_assert(offsetof(Context, VectorRegister) == 0x300);
static_assert(offsetof(Context, VectorControl) == 0x4A0);

constexpr uint32_t kContextFull = 0x10000B;  // control, integer, floating point

constexpr uint32_t kExceptionNoncontinuable = 0x01;
constexpr uint32_t kExceptionUnwinding = 0x02;
constexpr uint32_t kExceptionExitUnwind = 0x04;
constexpr uint32_t kExceptionTargetUnwind = 0x20;

struct ExceptionRecord {
    uint32_t ExceptionCode;
    uint32_t ExceptionFlags;
    ExceptionRecord* NestedRecord;
    uint64_t ExceptionAddress;
    uint32_t NumberParameters;
    uint64_t ExceptionInformation[15];
};
static_assert(sizeof(ExceptionRecord) == 0x98);
static_assert(offsetof(ExceptionRecord, ExceptionInformation) == 0x20);

struct ExceptionPointers {
    ExceptionRecord* Record;
    Context* ContextRecord;
};

struct RuntimeFunction {
    uint32_t BeginAddress;
    uint32_t EndAddress;
    uint32_t UnwindData;
};

struct DispatcherContext;
using LanguageHandler = int(__attribute__((ms_abi)) *)(ExceptionRecord*, void* establisherFrame, Context*,
                                                      DispatcherContext*);

struct DispatcherContext {
    uint64_t ControlPc;
    uint64_t ImageBase;
    const RuntimeFunction* FunctionEntry;
    uint64_t EstablisherFrame;
    uint64_t TargetIp;
    Context* ContextRecord;
    LanguageHandler Handler;
    const void* HandlerData;
    void* HistoryTable;
    uint32_t ScopeIndex;
    uint32_t Fill0;
};
static_assert(sizeof(DispatcherContext) == 0x50);
static_assert(offsetof(DispatcherContext, ScopeIndex) == 0x48);

enum Disposition : int {
    kContinueExecution = 0,
    kContinueSearch = 1,
    kNestedException = 2,
    kCollidedUnwind = 3,
};

// --- a mapped image ------------------------------------------------------------
// What an import stub hands the common boundary routine: the routine to call
// first (the stub jumps through it), then what reports name.
struct ImportSlot {
    void* target = nullptr;
    const Image* image = nullptr;
    std::string module;
    std::string name;
};
static_assert(offsetof(ImportSlot, target) == 0);

struct Image {
    std::string path;
    std::string name;  // file name
    uint8_t* base = nullptr;
    size_t size = 0;
    uint64_t preferredBase = 0;
    uint32_t entryRva = 0;
    const RuntimeFunction* functions = nullptr;  // sorted by BeginAddress
    size_t functionCount = 0;
    bool guardInstrumented = false;
    bool forceIntegrity = false;  // DllCharacteristics FORCE_INTEGRITY (0x80)
    std::vector<uint32_t> guardTargets;  // sorted RVAs of valid indirect-call targets
    std::unique_ptr<ImportSlot[]> slots;
    size_t slotCount = 0;
    uint8_t* stubs = nullptr;  // one stub per routine import, kStubBytes each
    size_t stubBytes = 0;      // mapped length of the stub pages
};
constexpr size_t kStubBytes = 32;

namespace detail {
struct alignas(16) ImportRecord {
    M128 xmm[10];  // xmm6..xmm15
    uint64_t rsp;  // at the stub: points at the image's return address
    uint64_t rbx, rbp, rdi, rsi, r12, r13, r14, r15;
    const ImportSlot* slot;
    ImportRecord* prev;
    CallLevel* level;
};
static_assert(sizeof(ImportRecord) == VL_REC_SIZE);
static_assert(offsetof(ImportRecord, rsp) == VL_REC_RSP);
static_assert(offsetof(ImportRecord, rbx) == VL_REC_RBX);
static_assert(offsetof(ImportRecord, rbp) == VL_REC_RBP);
static_assert(offsetof(ImportRecord, rdi) == VL_REC_RDI);
static_assert(offsetof(ImportRecord, rsi) == VL_REC_RSI);
static_assert(offsetof(ImportRecord, r12) == VL_REC_R12);
static_assert(offsetof(ImportRecord, r15) == VL_REC_R15);
static_assert(offsetof(ImportRecord, slot) == VL_REC_SLOT);
static_assert(offsetof(ImportRecord, prev) == VL_REC_PREV);
static_assert(offsetof(ImportRecord, level) == VL_REC_LEVEL);
static_assert(offsetof(CallLevel, top) == VL_LEVEL_TOP);
static_assert(offsetof(CallLevel, lowest) == VL_LEVEL_LOWEST);
static_assert(offsetof(CallLevel, mark) == VL_LEVEL_MARK);
static_assert(offsetof(CallLevel, imageBase) == VL_LEVEL_BASE);
static_assert(offsetof(CallLevel, imageSize) == VL_LEVEL_SIZE);
static_assert(VL_STUB_RECORD == 32 + 8 * VL_STUB_ARGS);
static_assert(VL_STUB_FRAME == VL_STUB_RECORD + VL_REC_SIZE + 8);
static_assert(VL_STACK_BUDGET == kImageStackBudget);
}  // namespace detail

// --- image registry (image.cpp) -----------------------------------------------
// Lock-free: the signal handler asks whether an address lies in an image.
bool AddressInImage(uintptr_t address);
const Image* FindImageAt(uintptr_t address);
bool AnyImageLoaded();
// The runtime function entry covering `address` in `image`, or nullptr.
const RuntimeFunction* LookupFunction(const Image& image, uintptr_t address);
// Control-flow guard: TRUE for a valid indirect-call target (an image's
// table, the model's exports, an import stub).
bool IsValidCallTarget(uintptr_t target);
// "vetrona.sys+0x1234", or the bare address outside any image.
std::string DescribeAddress(uintptr_t address);

// --- levels and the stack (stack.cpp) ------------------------------------------
detail::CallLevel* CurrentLevel();
void SetCurrentLevel(detail::CallLevel* level);
void EnterLevel(detail::CallLevel* level, const Image* image, const char* kind, uintptr_t mark, bool crossable);
void LeaveLevel(detail::CallLevel* level);
// The image frame that made an import call, as a context to unwind from.
Context ContextFromRecord(const detail::ImportRecord& record);
// Drops the level's records of import calls made below `stackPointer` (their
// frames are gone after an unwind to a frame at `stackPointer`).
void PopRecordsBelow(detail::CallLevel* level, uintptr_t stackPointer);
[[noreturn]] void GuardCheckFailure(uintptr_t target, const char* how);

// --- signals (traps.cpp) ------------------------------------------------------------
void InstallTrapHandlers();

// --- exception dispatch (seh.cpp) -----------------------------------------------------
// Dispatches an exception raised or taken at `context` (the frame of image
// code in level `level`): resumes in the handler that takes it, or stops the
// run with the unhandled-exception bug check. Never returns.
[[noreturn]] void DispatchException(ExceptionRecord& record, const Context& context, detail::CallLevel* level);
// Resumes the thread in `context` (an image frame above the caller's).
[[noreturn]] void ResumeContext(const Context& context);

}  // namespace sim::loader

// The assembly routines (boundary.S).
extern "C" {
void sim_loader_import_entry();
void sim_loader_guard_check();
void sim_loader_guard_dispatch();
void sim_loader_trap_entry();
[[noreturn]] void sim_loader_restore_context(const sim::loader::Context* context);
}
