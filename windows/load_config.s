# The image's load-configuration record and its control-flow guard pointers.
#
# The driver is compiled with -mguard=cf: every indirect call loads
# __guard_dispatch_icall_fptr and calls through it with the target in rax. The
# linker (lld with --guard-cf) collects the functions whose address is taken
# into a table and synthesises __guard_fids_table, __guard_fids_count,
# __guard_flags and the other __guard_* symbols below; it writes the table into
# the image only if the image has a record named _load_config_used to hang it
# on. Nothing else provides that record for a driver, so it is here.
#
# Where the kernel enforces control-flow guard, its loader reads the record and
# replaces the two pointers with its own check and dispatch routines. Elsewhere
# they keep their initial values: a check that accepts every target and a
# dispatch that jumps straight to it, so the driver runs unchanged.

# Feature bits of this object: 0x800 = compiled with control-flow guard (the
# linker then takes the object's address-taken list, which is empty here, as
# complete; the two routines are reached only through the pointers).
	.def	@feat.00
	.scl	3
	.type	0
	.endef
	.globl	@feat.00
	.set	@feat.00, 0x800

	.text
	.p2align 4
	.def	VetronaGuardCheckNop
	.scl	3
	.type	32
	.endef
VetronaGuardCheckNop:                     # target in rcx: every target passes
	retq

	.p2align 4
	.def	VetronaGuardDispatchNop
	.scl	3
	.type	32
	.endef
VetronaGuardDispatchNop:                  # target in rax, the call's arguments untouched
	rex64 jmpq *%rax

# The pointers, read-only once the image is loaded (the loader writes them first).
	.section .00cfg,"dr"
	.p2align 3
	.globl	__guard_check_icall_fptr
__guard_check_icall_fptr:
	.quad	VetronaGuardCheckNop
	.globl	__guard_dispatch_icall_fptr
__guard_dispatch_icall_fptr:
	.quad	VetronaGuardDispatchNop

# IMAGE_LOAD_CONFIG_DIRECTORY64 through GuardLongJumpTargetCount: 192 bytes.
# The linker points the image's load-configuration directory at this record and
# sizes it from the first field. __guard_flags is an absolute symbol whose value
# is the flags: only an assembler directive can place it in a 32-bit field.
	.section .rdata,"dr"
	.p2align 3
	.globl	_load_config_used
_load_config_used:
	.long	192                           # Size
	.long	0                             # TimeDateStamp
	.short	0, 0                          # MajorVersion, MinorVersion
	.long	0, 0, 0                       # GlobalFlagsClear, GlobalFlagsSet, CriticalSectionDefaultTimeout
	.quad	0, 0                          # DeCommitFreeBlockThreshold, DeCommitTotalFreeThreshold
	.quad	0, 0, 0, 0                    # LockPrefixTable, MaximumAllocationSize, VirtualMemoryThreshold, ProcessAffinityMask
	.long	0                             # ProcessHeapFlags
	.short	0, 0                          # CSDVersion, DependentLoadFlags
	.quad	0, 0, 0, 0                    # EditList, SecurityCookie, SEHandlerTable, SEHandlerCount
	.quad	__guard_check_icall_fptr      # GuardCFCheckFunctionPointer        (offset 112)
	.quad	__guard_dispatch_icall_fptr   # GuardCFDispatchFunctionPointer     (120)
	.quad	__guard_fids_table            # GuardCFFunctionTable               (128)
	.quad	__guard_fids_count            # GuardCFFunctionCount               (136)
	.long	__guard_flags                 # GuardFlags                         (144)
	.short	0, 0                          # CodeIntegrity: Flags, Catalog
	.long	0, 0                          #                CatalogOffset, Reserved
	.quad	__guard_iat_table             # GuardAddressTakenIatEntryTable     (160)
	.quad	__guard_iat_count             # GuardAddressTakenIatEntryCount     (168)
	.quad	__guard_longjmp_table         # GuardLongJumpTargetTable           (176)
	.quad	__guard_longjmp_count         # GuardLongJumpTargetCount           (184)
