// Exception dispatch for images, as the x64 kernel does it.
//
// An exception starts at a context in image code: the faulting instruction
// (traps.cpp), or the image frame that called the model's routine that raised
// (RaiseIntoImage, from sim::RaiseStatus). The dispatcher walks the frames up
// with the image's unwind data (.pdata: the function's RUNTIME_FUNCTION;
// .xdata: its UNWIND_INFO and unwind codes) and calls the language handler of
// each frame that has one: for our images the import of __C_specific_handler,
// which lands in SimCSpecificHandler below. That handler reads the frame's
// scope table, evaluates the filters and, for a scope that takes the
// exception, unwinds to its frame (running termination handlers on the way)
// and resumes at its __except block with the exception code in RAX.
//
// The model's own frames between image frames are not walked: when the walk
// leaves an image's outermost frame (the return address is the model's call
// into it) it goes on at the image frame that made the import call the model
// was running (the level's record), and an unwind that reaches a frame there
// abandons the model's frames in between, as a kernel unwind abandons frames
// without handlers. An exception no frame takes is the unhandled-exception
// bug check.
#include "sim/loader/internal.h"

#include "sim/ke/core.h"
#include "sim/ps/ps.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#if defined(__SANITIZE_ADDRESS__)
#define SIM_LOADER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SIM_LOADER_ASAN 1
#endif
#endif
#ifdef SIM_LOADER_ASAN
extern "C" void __asan_handle_no_return();
#endif

namespace sim::loader {

namespace {

constexpr ULONG kBugKmodeExceptionNotHandled = 0x1E;
constexpr ULONG kBugSystemThreadExceptionNotHandled = 0x7E;

constexpr uint8_t kFlagExceptionHandler = 1;
constexpr uint8_t kFlagTerminationHandler = 2;
constexpr uint8_t kFlagChainInfo = 4;

enum UnwindOp : unsigned {
    kPushNonvol = 0,
    kAllocLarge = 1,
    kAllocSmall = 2,
    kSetFpreg = 3,
    kSaveNonvol = 4,
    kSaveNonvolFar = 5,
    kEpilog = 6,  // version 2: where the epilogs are; nothing to undo
    kSaveXmm128 = 8,
    kSaveXmm128Far = 9,
    kPushMachframe = 10,
};

// One dispatch in progress on this thread (nested when a filter or a
// termination handler raises in turn).
struct DispatchState {
    ExceptionRecord* record;
    Context start;
    detail::CallLevel* level;
    // The thread's level when the exception was taken (the level to resume
    // in), and the dispatcher's own level when there was none.
    detail::CallLevel* resumeLevel;
    detail::CallLevel* temporary;
    DispatchState* outer;
};

thread_local DispatchState* tDispatch = nullptr;

std::string Hex(uint64_t value) {
    char text[32];
    std::snprintf(text, sizeof(text), "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

[[noreturn]] void BadUnwind(const std::string& why) {
    BugCheck(kBugKmodeExceptionNotHandled, "KMODE_EXCEPTION_NOT_HANDLED",
             "exception dispatch cannot go on: " + why);
}

uint64_t Load(uint64_t address) {
    uint64_t value;
    std::memcpy(&value, reinterpret_cast<const void*>(address), 8);
    return value;
}

M128 Load128(uint64_t address) {
    M128 value;
    std::memcpy(&value, reinterpret_cast<const void*>(address), 16);
    return value;
}

struct UnwindInfo {
    const uint8_t* bytes;
    unsigned version;
    unsigned flags;
    unsigned prologSize;
    unsigned codeCount;
    unsigned frameRegister;
    unsigned frameOffset;  // bytes
    const uint16_t* codes() const { return reinterpret_cast<const uint16_t*>(bytes + 4); }
    // What follows the codes (padded to an even count): a chained entry or the handler.
    const uint8_t* tail() const { return bytes + 4 + 2 * ((codeCount + 1) & ~1u); }
};

UnwindInfo ReadInfo(const Image& image, uint32_t rva) {
    if (rva + uint64_t{4} > image.size) {
        BadUnwind("unwind information at " + Hex(rva) + " lies outside " + image.name);
    }
    UnwindInfo info;
    info.bytes = image.base + rva;
    info.version = info.bytes[0] & 7;
    info.flags = info.bytes[0] >> 3;
    info.prologSize = info.bytes[1];
    info.codeCount = info.bytes[2];
    info.frameRegister = info.bytes[3] & 0xF;
    info.frameOffset = (info.bytes[3] >> 4) * 16u;
    if (info.version != 1 && info.version != 2) {
        BadUnwind("unwind information at " + image.name + "+" + Hex(rva) + " has version " +
                  std::to_string(info.version));
    }
    if (rva + uint64_t{4} + 2 * ((info.codeCount + 1) & ~1u) + 12 > image.size) {
        BadUnwind("unwind codes at " + image.name + "+" + Hex(rva) + " run past the image");
    }
    return info;
}

// The slots an unwind code takes.
unsigned SlotsOf(unsigned op, unsigned opInfo, unsigned version) {
    switch (op) {
    case kPushNonvol:
    case kAllocSmall:
    case kSetFpreg:
    case kPushMachframe:
        return 1;
    case kAllocLarge:
        return opInfo == 0 ? 2 : 3;
    case kSaveNonvol:
    case kSaveXmm128:
        return 2;
    case kSaveNonvolFar:
    case kSaveXmm128Far:
        return 3;
    case kEpilog:
        if (version == 2) {
            return 1;
        }
        [[fallthrough]];
    default:
        BadUnwind("unknown unwind code " + std::to_string(op));
    }
}

// The code at `pc` is the rest of an epilog: an optional `add rsp, n` or
// `lea rsp, [frame register + n]`, pops of non-volatile registers, then a
// return or a jump out of the function (a tail call). If so, carries it out on
// `context` (which then is the caller's) and returns TRUE.
bool UnwindEpilog(const Image& image, const RuntimeFunction& function, uint64_t pc, unsigned frameRegister,
                  Context& context) {
    const uint64_t base = reinterpret_cast<uint64_t>(image.base);
    const uint64_t end = base + function.EndAddress;
    uint8_t code[32] = {};
    std::memcpy(code, reinterpret_cast<const void*>(pc), std::min<uint64_t>(sizeof(code), end - pc));
    Context after = context;
    size_t at = 0;
    if (code[0] == 0x48 && code[1] == 0x83 && code[2] == 0xC4) {
        after.Rsp += static_cast<int8_t>(code[3]);
        at = 4;
    } else if (code[0] == 0x48 && code[1] == 0x81 && code[2] == 0xC4) {
        int32_t n;
        std::memcpy(&n, code + 3, 4);
        after.Rsp += n;
        at = 7;
    } else if ((code[0] & 0xFE) == 0x48 && code[1] == 0x8D) {
        const uint8_t modrm = code[2];
        const unsigned reg = (modrm >> 3) & 7;
        const unsigned rm = (modrm & 7) | ((code[0] & 1) << 3);
        const unsigned mod = modrm >> 6;
        if (reg != 4 || frameRegister == 0 || rm != frameRegister || (modrm & 7) == 4 || mod == 0 || mod == 3) {
            return false;
        }
        int32_t n;
        if (mod == 1) {
            n = static_cast<int8_t>(code[3]);
            at = 4;
        } else {
            std::memcpy(&n, code + 3, 4);
            at = 7;
        }
        after.Rsp = context.Reg(rm) + n;
    }
    unsigned pops[16];
    unsigned popCount = 0;
    for (;;) {
        if ((code[at] & 0xF8) == 0x58) {
            pops[popCount++] = code[at] & 7;
            at += 1;
        } else if (code[at] == 0x41 && (code[at + 1] & 0xF8) == 0x58) {
            pops[popCount++] = 8 + (code[at + 1] & 7);
            at += 2;
        } else {
            break;
        }
        if (popCount == 16 || at + 8 > sizeof(code)) {
            return false;
        }
    }
    const uint8_t* t = code + at;
    bool terminator = false;
    if (t[0] == 0xC3 || t[0] == 0xC2 || (t[0] == 0xF3 && t[1] == 0xC3)) {
        terminator = true;
    } else if (t[0] == 0xE9 || t[0] == 0xEB) {
        int32_t rel;
        size_t length;
        if (t[0] == 0xE9) {
            std::memcpy(&rel, t + 1, 4);
            length = 5;
        } else {
            rel = static_cast<int8_t>(t[1]);
            length = 2;
        }
        const uint64_t target = pc + at + length + static_cast<int64_t>(rel);
        terminator = target < base + function.BeginAddress || target >= end;
    } else if (t[0] == 0xFF && ((t[1] >> 3) & 7) == 4 && (t[1] == 0x25 || (t[1] >> 6) == 3)) {
        terminator = true;
    } else if ((t[0] & 0xF0) == 0x40 && t[1] == 0xFF && ((t[2] >> 3) & 7) == 4 && (t[2] == 0x25 || (t[2] >> 6) == 3)) {
        terminator = true;
    }
    if (!terminator) {
        return false;
    }
    for (unsigned i = 0; i < popCount; ++i) {
        after.Reg(pops[i]) = Load(after.Rsp);
        after.Rsp += 8;
    }
    after.Rip = Load(after.Rsp);
    after.Rsp += 8;
    context = after;
    return true;
}

struct Unwound {
    LanguageHandler handler = nullptr;
    const void* handlerData = nullptr;
    uint64_t establisher = 0;
};

// Unwinds one frame of image code: `context` is the frame's at `context.Rip`
// and becomes its caller's. Gives the frame's establisher frame and, when the
// frame has one of `handlerType`, its language handler.
Unwound VirtualUnwind(unsigned handlerType, const Image& image, const RuntimeFunction& function, Context& context) {
    const uint64_t base = reinterpret_cast<uint64_t>(image.base);
    const uint64_t pc = context.Rip;
    const uint64_t offset = pc - (base + function.BeginAddress);
    UnwindInfo info = ReadInfo(image, function.UnwindData);
    const bool inProlog = offset < info.prologSize;
    // The establisher frame: the fixed frame the prolog set up, given by the
    // frame register once the prolog has set it, by the stack pointer otherwise.
    Unwound result;
    uint64_t frame = context.Rsp;
    if (info.frameRegister != 0) {
        bool established = !inProlog;
        for (unsigned i = 0; inProlog && i < info.codeCount; ++i) {
            const uint16_t code = info.codes()[i];
            if (((code >> 8) & 0xF) == kSetFpreg && (code & 0xFF) <= offset) {
                established = true;
            }
        }
        if (established) {
            frame = context.Reg(info.frameRegister) - info.frameOffset;
        }
    }
    result.establisher = frame;
    if (!inProlog && UnwindEpilog(image, function, pc, info.frameRegister, context)) {
        return result;
    }
    bool machineFrame = false;
    bool primary = true;
    for (int chain = 0;; ++chain) {
        const uint16_t* codes = info.codes();
        for (unsigned i = 0; i < info.codeCount;) {
            const unsigned codeOffset = codes[i] & 0xFF;
            const unsigned op = (codes[i] >> 8) & 0xF;
            const unsigned opInfo = codes[i] >> 12;
            const unsigned slots = SlotsOf(op, opInfo, info.version);
            if (i + slots > info.codeCount) {
                BadUnwind("unwind codes of " + image.name + "+" + Hex(function.BeginAddress) + " are truncated");
            }
            // In the prolog only the instructions already run are undone.
            if (primary && inProlog && codeOffset > offset) {
                i += slots;
                continue;
            }
            switch (op) {
            case kPushNonvol:
                context.Reg(opInfo) = Load(context.Rsp);
                context.Rsp += 8;
                break;
            case kAllocLarge:
                context.Rsp += opInfo == 0 ? uint64_t{codes[i + 1]} * 8 : codes[i + 1] | (uint64_t{codes[i + 2]} << 16);
                break;
            case kAllocSmall:
                context.Rsp += opInfo * 8 + 8;
                break;
            case kSetFpreg:
                context.Rsp = context.Reg(info.frameRegister) - info.frameOffset;
                break;
            case kSaveNonvol:
                context.Reg(opInfo) = Load(frame + uint64_t{codes[i + 1]} * 8);
                break;
            case kSaveNonvolFar:
                context.Reg(opInfo) = Load(frame + (codes[i + 1] | (uint64_t{codes[i + 2]} << 16)));
                break;
            case kSaveXmm128:
                context.Xmm[opInfo] = Load128(frame + uint64_t{codes[i + 1]} * 16);
                break;
            case kSaveXmm128Far:
                context.Xmm[opInfo] = Load128(frame + (codes[i + 1] | (uint64_t{codes[i + 2]} << 16)));
                break;
            case kPushMachframe:
                if (opInfo != 0) {
                    context.Rsp += 8;  // the error code
                }
                context.Rip = Load(context.Rsp);
                context.EFlags = static_cast<uint32_t>(Load(context.Rsp + 16));
                context.Rsp = Load(context.Rsp + 24);
                machineFrame = true;
                break;
            default:  // kEpilog
                break;
            }
            i += slots;
        }
        if ((info.flags & kFlagChainInfo) == 0) {
            break;
        }
        if (chain == 32) {
            BadUnwind("unwind information of " + image.name + "+" + Hex(function.BeginAddress) + " chains in a loop");
        }
        RuntimeFunction chained;
        std::memcpy(&chained, info.tail(), sizeof(chained));
        info = ReadInfo(image, chained.UnwindData);
        primary = false;
    }
    if (!machineFrame) {
        context.Rip = Load(context.Rsp);
        context.Rsp += 8;
    }
    if (!inProlog && (info.flags & handlerType) != 0) {
        uint32_t handlerRva;
        std::memcpy(&handlerRva, info.tail(), 4);
        if (handlerRva >= image.size) {
            BadUnwind("language handler of " + image.name + "+" + Hex(function.BeginAddress) + " lies outside the image");
        }
        result.handler = reinterpret_cast<LanguageHandler>(base + handlerRva);
        result.handlerData = info.tail() + 4;
    }
    return result;
}

// One step of the walk: `context` becomes the caller's. FALSE when it left the
// images for good (the exception is unhandled). `level` follows the walk.
struct Step {
    const Image* image = nullptr;
    const RuntimeFunction* function = nullptr;
    Unwound unwound;
    bool hasFrame = false;  // a frame with unwind data (else a leaf or a level crossed)
};

bool WalkStep(unsigned handlerType, Context& context, detail::CallLevel*& level, Step* step) {
    *step = Step{};
    const uint64_t before = context.Rsp;
    const Image* image = FindImageAt(context.Rip);
    if (image == nullptr) {
        // Back in the model: on into the image frames that called it, when
        // this level is a call the model made from inside an import call.
        if (level == nullptr || !level->crossable || level->outer == nullptr || level->outer->top == nullptr) {
            return false;
        }
        const detail::ImportRecord& record = *level->outer->top;
        if (FindImageAt(Load(record.rsp)) == nullptr || record.rsp < before) {
            return false;
        }
        context = ContextFromRecord(record);
        level = level->outer;
        return true;
    }
    const RuntimeFunction* function = LookupFunction(*image, context.Rip);
    if (function == nullptr) {
        // A leaf function: no frame, the return address on top of the stack.
        context.Rip = Load(context.Rsp);
        context.Rsp += 8;
        return true;
    }
    step->image = image;
    step->function = function;
    step->unwound = VirtualUnwind(handlerType, *image, *function, context);
    step->hasFrame = true;
    if (context.Rsp <= before || (step->unwound.establisher & 7) != 0 || step->unwound.establisher < before) {
        BadUnwind("the frame of " + image->name + "+" + Hex(function->BeginAddress) + " does not unwind upwards");
    }
    return true;
}

std::string AccessText(const ExceptionRecord& record) {
    if (record.ExceptionCode != static_cast<uint32_t>(STATUS_ACCESS_VIOLATION) &&
        record.ExceptionCode != static_cast<uint32_t>(STATUS_IN_PAGE_ERROR)) {
        return "";
    }
    if (record.NumberParameters < 2) {
        return "";
    }
    const uint64_t kind = record.ExceptionInformation[0];
    const char* verb = kind == 8 ? "executing" : kind == 1 ? "writing" : "reading";
    return std::string(" (") + verb + " " + Hex(record.ExceptionInformation[1]) + ")";
}

[[noreturn]] void Unhandled(const ExceptionRecord& record, const Context& start, const std::string& origin) {
    const bool systemThread = CurrentProcess() == SystemProcess();
    char code[16];
    std::snprintf(code, sizeof(code), "0x%08X", record.ExceptionCode);
    const std::string text = std::string("exception ") + code + AccessText(record) + origin + " at " +
                             DescribeAddress(record.ExceptionAddress) + " (" + Hex(record.ExceptionAddress) +
                             ") was not handled by the image";
    if (systemThread) {
        BugCheck(kBugSystemThreadExceptionNotHandled, "SYSTEM_THREAD_EXCEPTION_NOT_HANDLED", text, record.ExceptionCode,
                 record.ExceptionAddress, reinterpret_cast<ULONG_PTR>(&record), reinterpret_cast<ULONG_PTR>(&start));
    }
    BugCheck(kBugKmodeExceptionNotHandled, "KMODE_EXCEPTION_NOT_HANDLED", text, record.ExceptionCode,
             record.ExceptionAddress, record.ExceptionInformation[0], record.ExceptionInformation[1]);
}

[[noreturn]] void DispatchFrom(ExceptionRecord& record, const Context& start, detail::CallLevel* level,
                               const std::string& origin) {
    detail::CallLevel temporary;
    detail::CallLevel* const resumeLevel = level;
    if (level == nullptr) {
        // Image code the model called without a DriverCall: dispatch still
        // needs a level for the handlers' import calls.
        const Image* image = FindImageAt(start.Rip);
        if (image == nullptr) {
            BadUnwind("an exception outside image code reached the image dispatcher");
        }
        EnterLevel(&temporary, image, "exception dispatch", start.Rsp, false);
        level = &temporary;
    }
    DispatchState state{&record, start, level, resumeLevel, level == &temporary ? &temporary : nullptr, tDispatch};
    tDispatch = &state;
    Context context = start;  // what the filters see and may change
    Context walk = start;
    detail::CallLevel* walkLevel = level;
    for (;;) {
        Step step;
        const Context frame = walk;
        if (!WalkStep(kFlagExceptionHandler, walk, walkLevel, &step)) {
            tDispatch = state.outer;
            Unhandled(record, start, origin);
        }
        if (!step.hasFrame || step.unwound.handler == nullptr) {
            continue;
        }
        DispatcherContext dc{};
        dc.ControlPc = frame.Rip;
        dc.ImageBase = reinterpret_cast<uint64_t>(step.image->base);
        dc.FunctionEntry = step.function;
        dc.EstablisherFrame = step.unwound.establisher;
        dc.ContextRecord = &walk;
        dc.Handler = step.unwound.handler;
        dc.HandlerData = step.unwound.handlerData;
        const int disposition = step.unwound.handler(&record, reinterpret_cast<void*>(step.unwound.establisher),
                                                     &context, &dc);
        if (disposition == kContinueSearch) {
            continue;
        }
        if (disposition == kContinueExecution) {
            if ((record.ExceptionFlags & kExceptionNoncontinuable) != 0) {
                ExceptionRecord refused{};
                refused.ExceptionCode = static_cast<uint32_t>(STATUS_NONCONTINUABLE_EXCEPTION);
                refused.ExceptionFlags = kExceptionNoncontinuable;
                refused.NestedRecord = &record;
                refused.ExceptionAddress = record.ExceptionAddress;
                Unhandled(refused, start, " (a filter asked to continue after a noncontinuable exception)");
            }
            tDispatch = state.outer;
            SetCurrentLevel(state.resumeLevel);
            ResumeContext(context);
        }
        BadUnwind("the language handler of " + DescribeAddress(frame.Rip) + " returned disposition " +
                  std::to_string(disposition));
    }
}

// RtlUnwindEx: unwinds the frames of the dispatch in progress up to the one
// whose establisher frame is `targetFrame`, calling each frame's termination
// handlers, then resumes that frame at `targetIp` with `returnValue` in RAX.
[[noreturn]] void UnwindToFrame(uint64_t targetFrame, uint64_t targetIp, ExceptionRecord* record, uint64_t returnValue) {
    DispatchState* state = tDispatch;
    if (state == nullptr) {
        BadUnwind("an unwind was asked for outside exception dispatch");
    }
    record->ExceptionFlags |= kExceptionUnwinding;
    Context walk = state->start;
    detail::CallLevel* walkLevel = state->level;
    for (;;) {
        Step step;
        Context frame = walk;
        if (!WalkStep(kFlagTerminationHandler, walk, walkLevel, &step)) {
            BadUnwind("the unwind target frame " + Hex(targetFrame) + " is not on the stack");
        }
        if (!step.hasFrame) {
            continue;
        }
        if (step.unwound.establisher > targetFrame) {
            BadUnwind("the unwind went past its target frame " + Hex(targetFrame));
        }
        const bool target = step.unwound.establisher == targetFrame;
        if (target) {
            record->ExceptionFlags |= kExceptionTargetUnwind;
        }
        if (step.unwound.handler != nullptr) {
            DispatcherContext dc{};
            dc.ControlPc = frame.Rip;
            dc.ImageBase = reinterpret_cast<uint64_t>(step.image->base);
            dc.FunctionEntry = step.function;
            dc.EstablisherFrame = step.unwound.establisher;
            dc.TargetIp = targetIp;
            dc.ContextRecord = &walk;
            dc.Handler = step.unwound.handler;
            dc.HandlerData = step.unwound.handlerData;
            const int disposition =
                step.unwound.handler(record, reinterpret_cast<void*>(step.unwound.establisher), &frame, &dc);
            if (disposition != kContinueSearch) {
                BadUnwind("a termination handler's language handler returned disposition " + std::to_string(disposition));
            }
        }
        if (target) {
            frame.Rip = targetIp;
            frame.Rax = returnValue;
            // The level the frame runs in is the thread's innermost again; the
            // import calls and levels below it are gone.
            PopRecordsBelow(walkLevel, frame.Rsp);
            SetCurrentLevel(walkLevel == state->temporary ? state->resumeLevel : walkLevel);
            tDispatch = state->outer;
            ResumeContext(frame);
        }
    }
}

uint64_t StackPointer() {
    uint64_t rsp;
    asm volatile("movq %%rsp, %0" : "=r"(rsp));
    return rsp;
}

int32_t CallFilter(const Image& image, uint64_t address, ExceptionPointers* pointers, uint64_t frame) {
    using Filter = int32_t(__attribute__((ms_abi)) *)(ExceptionPointers*, void*);
    detail::CallLevel level;
    EnterLevel(&level, &image, "exception filter", StackPointer(), false);
    const int32_t verdict = reinterpret_cast<Filter>(address)(pointers, reinterpret_cast<void*>(frame));
    LeaveLevel(&level);
    return verdict;
}

void CallTerminationHandler(const Image& image, uint64_t address, uint64_t frame) {
    using Termination = void(__attribute__((ms_abi)) *)(uint8_t abnormal, void*);
    detail::CallLevel level;
    EnterLevel(&level, &image, "termination handler", StackPointer(), false);
    reinterpret_cast<Termination>(address)(1, reinterpret_cast<void*>(frame));
    LeaveLevel(&level);
}

struct Scope {
    uint32_t begin;
    uint32_t end;
    uint32_t handler;
    uint32_t jumpTarget;
};

}  // namespace

void DispatchException(ExceptionRecord& record, const Context& context, detail::CallLevel* level) {
    DispatchFrom(record, context, level, "");
}

void ResumeContext(const Context& context) {
    Context copy = context;
    // The restore builds its block just below the target stack pointer: the
    // copy must not lie there.
    const uint64_t copyBegin = reinterpret_cast<uint64_t>(&copy);
    if (copyBegin < context.Rsp && copyBegin + sizeof(copy) > context.Rsp - 0x88) {
        BadUnwind("the context to resume lies in the way of its own stack");
    }
#ifdef SIM_LOADER_ASAN
    __asan_handle_no_return();
#endif
    sim_loader_restore_context(&copy);
}

bool RaiseIntoImage(NTSTATUS code, uintptr_t innermostHostGuard) {
    detail::CallLevel* level = CurrentLevel();
    if (level == nullptr || level->top == nullptr) {
        return false;
    }
    const detail::ImportRecord& top = *level->top;
    if (FindImageAt(Load(top.rsp)) == nullptr) {
        return false;
    }
    if (innermostHostGuard != 0 && innermostHostGuard < top.rsp) {
        return false;  // a guard of the model's own lies between
    }
    const Context context = ContextFromRecord(top);
    ExceptionRecord record{};
    record.ExceptionCode = static_cast<uint32_t>(code);
    record.ExceptionFlags = kExceptionNoncontinuable;
    record.ExceptionAddress = context.Rip;
    DispatchFrom(record, context, level, " raised in " + top.slot->module + "!" + top.slot->name + " called");
}

}  // namespace sim::loader

// __C_specific_handler. The frame's scope table: a count, then records of
// {BeginAddress, EndAddress, HandlerAddress, JumpTarget} (RVAs), innermost
// scopes first. JumpTarget 0: a termination handler (__finally) at
// HandlerAddress; otherwise HandlerAddress is the filter (or 1: take every
// exception) and JumpTarget the __except block.
extern "C" __attribute__((ms_abi)) int SimCSpecificHandler(void* rawRecord, void* establisherFrame, void* rawContext,
                                                          void* rawDispatcher) {
    using namespace sim::loader;
    sim::Count("__C_specific_handler");
    auto* record = static_cast<ExceptionRecord*>(rawRecord);
    auto* context = static_cast<Context*>(rawContext);
    auto* dc = static_cast<DispatcherContext*>(rawDispatcher);
    const Image* image = FindImageAt(dc->ImageBase);
    const auto* data = static_cast<const uint8_t*>(dc->HandlerData);
    if (image == nullptr || data < image->base || data + 4 > image->base + image->size) {
        BadUnwind("__C_specific_handler was given no scope table of a loaded image");
    }
    uint32_t count;
    std::memcpy(&count, data, 4);
    if (data + 4 + uint64_t{count} * sizeof(Scope) > image->base + image->size) {
        BadUnwind("the scope table at " + DescribeAddress(reinterpret_cast<uintptr_t>(data)) + " runs past the image");
    }
    const uint64_t base = dc->ImageBase;
    const uint64_t pc = dc->ControlPc - base;
    const uint64_t frame = reinterpret_cast<uint64_t>(establisherFrame);
    auto scopeAt = [&](uint32_t i) {
        Scope scope;
        std::memcpy(&scope, data + 4 + i * sizeof(Scope), sizeof(Scope));
        return scope;
    };
    if ((record->ExceptionFlags & (kExceptionUnwinding | kExceptionExitUnwind)) == 0) {
        ExceptionPointers pointers{record, context};
        for (uint32_t i = dc->ScopeIndex; i < count; ++i) {
            const Scope scope = scopeAt(i);
            if (pc < scope.begin || pc >= scope.end || scope.jumpTarget == 0) {
                continue;
            }
            const int32_t verdict = scope.handler == 1 ? 1 : CallFilter(*image, base + scope.handler, &pointers, frame);
            if (verdict < 0) {
                return kContinueExecution;
            }
            if (verdict > 0) {
                UnwindToFrame(frame, base + scope.jumpTarget, record, record->ExceptionCode);
            }
        }
        return kContinueSearch;
    }
    const uint64_t target = dc->TargetIp - base;
    for (uint32_t i = dc->ScopeIndex; i < count; ++i) {
        const Scope scope = scopeAt(i);
        if (pc < scope.begin || pc >= scope.end) {
            continue;
        }
        if ((record->ExceptionFlags & kExceptionTargetUnwind) != 0 && scope.jumpTarget == target) {
            break;  // the scope the unwind lands in: the ones outside it stay
        }
        if (scope.jumpTarget != 0) {
            continue;
        }
        dc->ScopeIndex = i + 1;
        CallTerminationHandler(*image, base + scope.handler, frame);
    }
    return kContinueSearch;
}
