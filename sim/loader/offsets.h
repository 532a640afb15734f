// Layouts shared by the loader's assembly (sim/loader/boundary.S) and its C++:
// the per-call level the import stubs update, the record each import call
// leaves in its stub's frame, and the offsets of the x64 CONTEXT the restore
// routine reads. Only #defines, so the assembler can include it; the C++ side
// checks every value with static_assert (sim/loader/internal.h).
#pragma once

// --- a level: one call from the model into an image (detail::CallLevel) ----
#define VL_LEVEL_TOP 0x00     // innermost live import record of the level
#define VL_LEVEL_LOWEST 0x08  // lowest stack pointer seen at an import call
#define VL_LEVEL_MARK 0x10    // stack pointer where the model called the image
#define VL_LEVEL_BASE 0x18    // the image's base and size: only calls made by
#define VL_LEVEL_SIZE 0x20    //   the image's own code count for its stack

// --- an import record (detail::ImportRecord), in the stub's frame -----------
#define VL_REC_XMM6 0x00  // xmm6..xmm15, 16 bytes each
#define VL_REC_RSP 0xA0   // stack pointer at the stub: the image's return address
#define VL_REC_RBX 0xA8
#define VL_REC_RBP 0xB0
#define VL_REC_RDI 0xB8
#define VL_REC_RSI 0xC0
#define VL_REC_R12 0xC8
#define VL_REC_R13 0xD0
#define VL_REC_R14 0xD8
#define VL_REC_R15 0xE0
#define VL_REC_SLOT 0xE8   // the import called (detail::ImportSlot)
#define VL_REC_PREV 0xF0   // the level's previous innermost record
#define VL_REC_LEVEL 0xF8  // the level the record was pushed on
#define VL_REC_SIZE 0x100

// --- the import stub's frame ----------------------------------------------------
// The stub calls the model's routine (so it can take its record off the level
// when the routine returns), so it passes the caller's stack arguments on: the
// 32-byte home area, then VL_STUB_ARGS argument slots copied from the caller's
// frame (the longest routines the kernel exports take 14 arguments; a variadic
// one gets the first 16 past the registers). Then the record, then padding so
// the call below is made with the stack 16-byte aligned.
#define VL_STUB_ARGS 16
#define VL_STUB_RECORD 0xA0  // 32 + 8 * VL_STUB_ARGS
#define VL_STUB_FRAME 0x1A8  // VL_STUB_RECORD + VL_REC_SIZE + 8

// --- the image's stack budget (sim::loader::kImageStackBudget) --------------
#define VL_STACK_BUDGET 8192

// --- x64 CONTEXT --------------------------------------------------------------
#define VL_CTX_MXCSR 0x34
#define VL_CTX_EFLAGS 0x44
#define VL_CTX_RAX 0x78
#define VL_CTX_RCX 0x80
#define VL_CTX_RDX 0x88
#define VL_CTX_RBX 0x90
#define VL_CTX_RSP 0x98
#define VL_CTX_RBP 0xA0
#define VL_CTX_RSI 0xA8
#define VL_CTX_RDI 0xB0
#define VL_CTX_R8 0xB8
#define VL_CTX_R9 0xC0
#define VL_CTX_R10 0xC8
#define VL_CTX_R11 0xD0
#define VL_CTX_R12 0xD8
#define VL_CTX_R13 0xE0
#define VL_CTX_R14 0xE8
#define VL_CTX_R15 0xF0
#define VL_CTX_RIP 0xF8
#define VL_CTX_XMM0 0x1A0
#define VL_CTX_SIZE 0x4D0
