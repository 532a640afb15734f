# A routine whose address the image takes only from this object's data, which
# declares no address-taken functions: the linker leaves it out of the image's
# table of valid indirect-call targets.
	.def	@feat.00
	.scl	3
	.type	0
	.endef
	.globl	@feat.00
	.set	@feat.00, 0x800

	.text
	.p2align 4
	.globl	UnlistedRoutine
	.def	UnlistedRoutine
	.scl	2
	.type	32
	.endef
UnlistedRoutine:                          # ULONG UnlistedRoutine(ULONG value): value + 1
	leal	1(%rcx), %eax
	retq

	.section .rdata,"dr"
	.p2align 3
	.globl	UnlistedRoutinePointer
UnlistedRoutinePointer:
	.quad	UnlistedRoutine
