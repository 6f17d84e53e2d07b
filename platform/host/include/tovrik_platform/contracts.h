// Host declarations: the contracts a driver states in its source. The role and IRQL
// annotations are for the platform's static analysis and mean nothing to a compiler, so they are
// empty here as they are to mingw-w64; the checks (PAGED_CODE, NONPAGED_CODE, NT_ASSERT) are the
// platform's checked-build checks, and the host build is always a checked build: a check that
// fails is a verifier violation at the driver's file and line, and the driver goes on.
#pragma once

#ifndef TOVRIK_PLATFORM_KERNEL_INSIDE
#error "include platform/kernel.h, not this header"
#endif

// ---------------------------------------------------------------------------------------------
// Role and IRQL annotations (SAL)

#define _Dispatch_type_(Major)
#define _Function_class_(Role)
#define _IRQL_requires_max_(Irql)
#define _IRQL_requires_min_(Irql)
#define _IRQL_requires_(Irql)
#define _IRQL_requires_same_
#define _IRQL_raises_(Irql)
#define _IRQL_saves_
#define _IRQL_restores_
#define _IRQL_saves_global_(Kind, Parameter)
#define _IRQL_restores_global_(Kind, Parameter)
#define _IRQL_always_function_max_(Irql)
#define _IRQL_always_function_min_(Irql)
#define _IRQL_uses_cancel_
#define _IRQL_is_cancel_
#define _Kernel_requires_resource_held_(Kind)
#define _Kernel_requires_resource_not_held_(Kind)
#define _Kernel_acquires_resource_(Kind)
#define _Kernel_releases_resource_(Kind)
#define _Kernel_clear_do_init_(YesNo)
#define _Requires_lock_held_(Lock)
#define _Requires_lock_not_held_(Lock)
#define _Requires_exclusive_lock_held_(Lock)
#define _Requires_shared_lock_held_(Lock)
#define _Acquires_lock_(Lock)
#define _Releases_lock_(Lock)
#define _Acquires_exclusive_lock_(Lock)
#define _Acquires_shared_lock_(Lock)
#define _Releases_exclusive_lock_(Lock)
#define _Releases_shared_lock_(Lock)
#define _Guarded_by_(Lock)
#define _Interlocked_
#define _Must_inspect_result_
#define _Check_return_
#define _Use_decl_annotations_
#define _Success_(Condition)
#define _When_(Condition, Annotations)
#define _At_(Target, Annotations)
#define _Pre_satisfies_(Condition)
#define _Post_satisfies_(Condition)
#define _Analysis_assume_(Condition)
#define _In_
#define _In_opt_
#define _In_z_
#define _In_reads_(Count)
#define _In_reads_bytes_(Bytes)
#define _In_reads_opt_(Count)
#define _In_reads_bytes_opt_(Bytes)
#define _In_range_(Low, High)
#define _Out_
#define _Out_opt_
#define _Out_writes_(Count)
#define _Out_writes_bytes_(Bytes)
#define _Out_writes_opt_(Count)
#define _Out_writes_bytes_opt_(Bytes)
#define _Out_writes_to_(Count, Written)
#define _Out_writes_bytes_to_(Bytes, Written)
#define _Out_writes_to_opt_(Count, Written)
#define _Out_writes_bytes_to_opt_(Bytes, Written)
#define _Out_range_(Low, High)
#define _Inout_
#define _Inout_opt_
#define _Inout_updates_(Count)
#define _Inout_updates_bytes_(Bytes)
#define _Outptr_
#define _Outptr_opt_
#define _Outptr_result_maybenull_
#define _Ret_maybenull_
#define _Ret_notnull_
#define _Notnull_
#define _Frees_ptr_
#define _Frees_ptr_opt_
#define _Post_invalid_
#define _Post_ptr_invalid_
#define _Field_size_(Count)
#define _Field_size_bytes_(Bytes)
#define _Reserved_
#define __drv_aliasesMem
#define __drv_allocatesMem(Kind)
#define __drv_freesMem(Kind)

// ---------------------------------------------------------------------------------------------
// Checked contracts

extern "C" {
// The calling thread's IRQL must be at most `Highest` where `Contract` stands in `Function`.
VOID NTAPI HostCheckIrqlAtMost(KIRQL Highest, const char* Contract, const char* Function,
                               const char* File, int Line);
// An NT_ASSERT that did not hold.
VOID NTAPI HostAssertionFailed(const char* Expression, const char* Function, const char* File,
                               int Line);
}

// Pageable code: the platform may page it out, and pages come back in only below
// DISPATCH_LEVEL, so the platform's check is IRQL <= APC_LEVEL; the host checks the same bound
// (paged code may run in a guarded region at APC_LEVEL). A routine that must run at
// PASSIVE_LEVEL says so with _IRQL_requires_max_(PASSIVE_LEVEL) and starts with PAGED_CODE().
#define PAGED_CODE() HostCheckIrqlAtMost(APC_LEVEL, "PAGED_CODE()", __func__, __FILE__, __LINE__)
#define PAGED_CODE_LOCKED() ((VOID)0)
// Non-paged code that may run at DISPATCH_LEVEL (from a completion routine, under a spin lock)
// but never above it: the counterpart of PAGED_CODE() for _IRQL_requires_max_(DISPATCH_LEVEL).
#define NONPAGED_CODE()                                                                            \
    HostCheckIrqlAtMost(DISPATCH_LEVEL, "NONPAGED_CODE()", __func__, __FILE__, __LINE__)

// An invariant. The platform's free build compiles NT_ASSERT away (the expression is not even
// evaluated, so it must have no effect); the host build checks it.
#define NT_ASSERT(Expression)                                                                      \
    ((VOID)((Expression) ? 0 : (HostAssertionFailed(#Expression, __func__, __FILE__, __LINE__), 0)))
#define NT_ASSERTMSG(Message, Expression)                                                          \
    ((VOID)((Expression) ? 0 : (HostAssertionFailed(Message, __func__, __FILE__, __LINE__), 0)))
// Evaluated in every build; its value is the expression's truth.
#define NT_VERIFY(Expression)                                                                      \
    ((Expression) ? TRUE : (HostAssertionFailed(#Expression, __func__, __FILE__, __LINE__), FALSE))
#define NT_VERIFYMSG(Message, Expression)                                                          \
    ((Expression) ? TRUE : (HostAssertionFailed(Message, __func__, __FILE__, __LINE__), FALSE))
