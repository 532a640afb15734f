// Runs a routine on another stack: the switch the model makes when a thread
// enters the kernel (see sim/ke/stack.cpp).
//
//   void sim_ke_call_on_stack(void (*routine)(void*), void* argument, void* top)
//
// The caller's stack pointer is kept in RBP, so unwinders and debuggers walk
// from the routine's frames back into the caller's stack.
    .text
    .globl sim_ke_call_on_stack
    .type sim_ke_call_on_stack, @function
    .p2align 4
sim_ke_call_on_stack:
    .cfi_startproc
    endbr64
    pushq %rbp
    .cfi_def_cfa_offset 16
    .cfi_offset %rbp, -16
    movq %rsp, %rbp
    .cfi_def_cfa_register %rbp
    andq $-16, %rdx
    movq %rdx, %rsp
    movq %rdi, %rax
    movq %rsi, %rdi
    callq *%rax
    movq %rbp, %rsp
    popq %rbp
    .cfi_def_cfa %rsp, 8
    ret
    .cfi_endproc
    .size sim_ke_call_on_stack, . - sim_ke_call_on_stack

    .section .note.GNU-stack, "", @progbits
