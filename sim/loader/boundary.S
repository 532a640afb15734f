// The loader's machine-level routines: the common part of the import stubs,
// the control-flow-guard check and dispatch routines an image's guard
// pointers are set to, the entry a trapped image thread is redirected to, and
// the restore of a full x64 context. The image side of every routine here
// uses the Windows x64 convention; the model side is the host's.
#include "sim/loader/offsets.h"

        .text

// --- import calls -----------------------------------------------------------
// Each of an image's routine imports is bound to a stub of its own (made by
// the loader): `movabs $slot, %r11; jmp *sim_loader_import_entry`. Here r11 is
// the import's slot (its first field the model's routine) and the image's
// return address is at (%rsp); rcx, rdx, r8, r9, xmm0-3 and the stack
// arguments are the call's and are left alone.
//
// On the current level (the innermost call from the model into an image) a
// record of the call is pushed: the image's stack pointer and its
// non-volatile registers, from which the exception dispatcher can unwind the
// image's frames when the model raises an exception inside the routine. When
// the call comes from the level's image, the stack it has used below the
// level's mark is measured and held to the budget. Then the routine is called
// with the caller's arguments; when it returns, the record is taken off.
        .globl  sim_loader_import_entry
        .type   sim_loader_import_entry, @function
        .p2align 4
sim_loader_import_entry:
        movq    sim_loader_level@gottpoff(%rip), %rax
        movq    %fs:(%rax), %rax
        testq   %rax, %rax
        jz      .Loutside_call
        subq    $VL_STUB_FRAME, %rsp
        movaps  %xmm6, VL_STUB_RECORD+VL_REC_XMM6+0x00(%rsp)
        movaps  %xmm7, VL_STUB_RECORD+VL_REC_XMM6+0x10(%rsp)
        movaps  %xmm8, VL_STUB_RECORD+VL_REC_XMM6+0x20(%rsp)
        movaps  %xmm9, VL_STUB_RECORD+VL_REC_XMM6+0x30(%rsp)
        movaps  %xmm10, VL_STUB_RECORD+VL_REC_XMM6+0x40(%rsp)
        movaps  %xmm11, VL_STUB_RECORD+VL_REC_XMM6+0x50(%rsp)
        movaps  %xmm12, VL_STUB_RECORD+VL_REC_XMM6+0x60(%rsp)
        movaps  %xmm13, VL_STUB_RECORD+VL_REC_XMM6+0x70(%rsp)
        movaps  %xmm14, VL_STUB_RECORD+VL_REC_XMM6+0x80(%rsp)
        movaps  %xmm15, VL_STUB_RECORD+VL_REC_XMM6+0x90(%rsp)
        leaq    VL_STUB_FRAME(%rsp), %r10
        movq    %r10, VL_STUB_RECORD+VL_REC_RSP(%rsp)
        movq    %rbx, VL_STUB_RECORD+VL_REC_RBX(%rsp)
        movq    %rbp, VL_STUB_RECORD+VL_REC_RBP(%rsp)
        movq    %rdi, VL_STUB_RECORD+VL_REC_RDI(%rsp)
        movq    %rsi, VL_STUB_RECORD+VL_REC_RSI(%rsp)
        movq    %r12, VL_STUB_RECORD+VL_REC_R12(%rsp)
        movq    %r13, VL_STUB_RECORD+VL_REC_R13(%rsp)
        movq    %r14, VL_STUB_RECORD+VL_REC_R14(%rsp)
        movq    %r15, VL_STUB_RECORD+VL_REC_R15(%rsp)
        movq    %r11, VL_STUB_RECORD+VL_REC_SLOT(%rsp)
        movq    VL_LEVEL_TOP(%rax), %r10
        movq    %r10, VL_STUB_RECORD+VL_REC_PREV(%rsp)
        movq    %rax, VL_STUB_RECORD+VL_REC_LEVEL(%rsp)
        leaq    VL_STUB_RECORD(%rsp), %r10
        movq    %r10, VL_LEVEL_TOP(%rax)
        // The image's own stack: only a call made by the level's image counts
        // (the exception dispatcher calls handler thunks from the model's frames).
        movq    VL_STUB_FRAME(%rsp), %r10
        subq    VL_LEVEL_BASE(%rax), %r10
        cmpq    VL_LEVEL_SIZE(%rax), %r10
        jae     1f
        leaq    VL_STUB_FRAME(%rsp), %r10
        cmpq    VL_LEVEL_LOWEST(%rax), %r10
        jae     1f
        movq    %r10, VL_LEVEL_LOWEST(%rax)
        negq    %r10
        addq    VL_LEVEL_MARK(%rax), %r10
        cmpq    $VL_STACK_BUDGET, %r10
        ja      .Lover_budget
1:
        // The stack arguments, past the caller's 32-byte home area.
        .irp    slot, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
        movq    VL_STUB_FRAME+8+32+8*\slot(%rsp), %r10
        movq    %r10, 32+8*\slot(%rsp)
        .endr
        callq   *(%r11)
        // rax and xmm0 hold the result: only r10 and r11 are free.
        movq    VL_STUB_RECORD+VL_REC_LEVEL(%rsp), %r11
        movq    VL_STUB_RECORD+VL_REC_PREV(%rsp), %r10
        movq    %r10, VL_LEVEL_TOP(%r11)
        addq    $VL_STUB_FRAME, %rsp
        retq
.Lover_budget:
        movq    %rax, %rdi              // the level
        movq    %r10, %rsi              // the depth
        movq    %r11, %rdx              // the import
        andq    $-16, %rsp
        callq   sim_loader_over_budget@PLT
        ud2
.Loutside_call:
        movq    %r11, %rdi              // the import
        movq    (%rsp), %rsi            // the image's return address
        andq    $-16, %rsp
        callq   sim_loader_outside_call@PLT
        ud2
        .size   sim_loader_import_entry, .-sim_loader_import_entry

// --- control-flow guard ----------------------------------------------------------
// The dispatch routine: the target in rax, the call's arguments in rcx, rdx,
// r8, r9, xmm0-3 and on the stack. A valid target is jumped to with all of
// them as they were; any other stops the run (fast fail, code 10).
        .globl  sim_loader_guard_dispatch
        .type   sim_loader_guard_dispatch, @function
        .p2align 4
sim_loader_guard_dispatch:
        pushq   %rcx
        pushq   %rdx
        pushq   %r8
        pushq   %r9
        pushq   %rax
        subq    $96, %rsp               // home area, xmm0-3; the stack is now aligned
        movaps  %xmm0, 32(%rsp)
        movaps  %xmm1, 48(%rsp)
        movaps  %xmm2, 64(%rsp)
        movaps  %xmm3, 80(%rsp)
        movq    %rax, %rcx
        callq   sim_loader_guard_valid@PLT   // Windows convention: rdi, rsi, xmm6-15 kept
        testl   %eax, %eax
        jz      .Ldispatch_invalid
        movaps  32(%rsp), %xmm0
        movaps  48(%rsp), %xmm1
        movaps  64(%rsp), %xmm2
        movaps  80(%rsp), %xmm3
        addq    $96, %rsp
        popq    %rax
        popq    %r9
        popq    %r8
        popq    %rdx
        popq    %rcx
        rex64 jmpq *%rax
.Ldispatch_invalid:
        movq    96(%rsp), %rdi
        andq    $-16, %rsp
        callq   sim_loader_guard_dispatch_failed@PLT
        ud2
        .size   sim_loader_guard_dispatch, .-sim_loader_guard_dispatch

// The check routine: the target in rcx; returns with every register as it
// was when the target is valid, and stops the run otherwise.
        .globl  sim_loader_guard_check
        .type   sim_loader_guard_check, @function
        .p2align 4
sim_loader_guard_check:
        pushq   %rax
        pushq   %rcx
        pushq   %rdx
        pushq   %r8
        pushq   %r9
        pushq   %r10
        pushq   %r11
        subq    $128, %rsp              // home area, xmm0-5; the stack is now aligned
        movaps  %xmm0, 32(%rsp)
        movaps  %xmm1, 48(%rsp)
        movaps  %xmm2, 64(%rsp)
        movaps  %xmm3, 80(%rsp)
        movaps  %xmm4, 96(%rsp)
        movaps  %xmm5, 112(%rsp)
        callq   sim_loader_guard_valid@PLT
        testl   %eax, %eax
        jz      .Lcheck_invalid
        movaps  32(%rsp), %xmm0
        movaps  48(%rsp), %xmm1
        movaps  64(%rsp), %xmm2
        movaps  80(%rsp), %xmm3
        movaps  96(%rsp), %xmm4
        movaps  112(%rsp), %xmm5
        addq    $128, %rsp
        popq    %r11
        popq    %r10
        popq    %r9
        popq    %r8
        popq    %rdx
        popq    %rcx
        popq    %rax
        retq
.Lcheck_invalid:
        movq    128+40(%rsp), %rdi      // the saved rcx
        andq    $-16, %rsp
        callq   sim_loader_guard_check_failed@PLT
        ud2
        .size   sim_loader_guard_check, .-sim_loader_guard_check

// --- traps ---------------------------------------------------------------------
// The signal handler redirects a thread that trapped in image code here, with
// rdi pointing at the trap's record (the faulting context and the signal's
// facts) placed on the thread's own stack below the faulting frame.
        .globl  sim_loader_trap_entry
        .type   sim_loader_trap_entry, @function
        .p2align 4
sim_loader_trap_entry:
        andq    $-16, %rsp
        callq   sim_loader_dispatch_trap@PLT
        ud2
        .size   sim_loader_trap_entry, .-sim_loader_trap_entry

// --- context restore -------------------------------------------------------------
// Resumes the x64 context at rdi: xmm0-15 and mxcsr, the general registers,
// the flags, the stack pointer and the instruction pointer. The last three
// and the general registers go through a block built just below the target
// stack pointer (the caller makes sure the context does not lie there), which
// is then popped.
        .globl  sim_loader_restore_context
        .type   sim_loader_restore_context, @function
        .p2align 4
sim_loader_restore_context:
        movups  VL_CTX_XMM0+0x00(%rdi), %xmm0
        movups  VL_CTX_XMM0+0x10(%rdi), %xmm1
        movups  VL_CTX_XMM0+0x20(%rdi), %xmm2
        movups  VL_CTX_XMM0+0x30(%rdi), %xmm3
        movups  VL_CTX_XMM0+0x40(%rdi), %xmm4
        movups  VL_CTX_XMM0+0x50(%rdi), %xmm5
        movups  VL_CTX_XMM0+0x60(%rdi), %xmm6
        movups  VL_CTX_XMM0+0x70(%rdi), %xmm7
        movups  VL_CTX_XMM0+0x80(%rdi), %xmm8
        movups  VL_CTX_XMM0+0x90(%rdi), %xmm9
        movups  VL_CTX_XMM0+0xA0(%rdi), %xmm10
        movups  VL_CTX_XMM0+0xB0(%rdi), %xmm11
        movups  VL_CTX_XMM0+0xC0(%rdi), %xmm12
        movups  VL_CTX_XMM0+0xD0(%rdi), %xmm13
        movups  VL_CTX_XMM0+0xE0(%rdi), %xmm14
        movups  VL_CTX_XMM0+0xF0(%rdi), %xmm15
        ldmxcsr VL_CTX_MXCSR(%rdi)
        movq    VL_CTX_RSP(%rdi), %rsi
        subq    $0x88, %rsi
        movq    VL_CTX_RAX(%rdi), %rax
        movq    %rax, 0x00(%rsi)
        movq    VL_CTX_RCX(%rdi), %rax
        movq    %rax, 0x08(%rsi)
        movq    VL_CTX_RDX(%rdi), %rax
        movq    %rax, 0x10(%rsi)
        movq    VL_CTX_RBX(%rdi), %rax
        movq    %rax, 0x18(%rsi)
        movq    VL_CTX_RBP(%rdi), %rax
        movq    %rax, 0x20(%rsi)
        movq    VL_CTX_RSI(%rdi), %rax
        movq    %rax, 0x28(%rsi)
        movq    VL_CTX_RDI(%rdi), %rax
        movq    %rax, 0x30(%rsi)
        movq    VL_CTX_R8(%rdi), %rax
        movq    %rax, 0x38(%rsi)
        movq    VL_CTX_R9(%rdi), %rax
        movq    %rax, 0x40(%rsi)
        movq    VL_CTX_R10(%rdi), %rax
        movq    %rax, 0x48(%rsi)
        movq    VL_CTX_R11(%rdi), %rax
        movq    %rax, 0x50(%rsi)
        movq    VL_CTX_R12(%rdi), %rax
        movq    %rax, 0x58(%rsi)
        movq    VL_CTX_R13(%rdi), %rax
        movq    %rax, 0x60(%rsi)
        movq    VL_CTX_R14(%rdi), %rax
        movq    %rax, 0x68(%rsi)
        movq    VL_CTX_R15(%rdi), %rax
        movq    %rax, 0x70(%rsi)
        movl    VL_CTX_EFLAGS(%rdi), %eax
        movq    %rax, 0x78(%rsi)
        movq    VL_CTX_RIP(%rdi), %rax
        movq    %rax, 0x80(%rsi)
        movq    %rsi, %rsp
        popq    %rax
        popq    %rcx
        popq    %rdx
        popq    %rbx
        popq    %rbp
        popq    %rsi
        popq    %rdi
        popq    %r8
        popq    %r9
        popq    %r10
        popq    %r11
        popq    %r12
        popq    %r13
        popq    %r14
        popq    %r15
        popfq
        retq
        .size   sim_loader_restore_context, .-sim_loader_restore_context

        .section .note.GNU-stack,"",@progbits
