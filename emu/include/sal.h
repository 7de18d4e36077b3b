/*
 * sal.h - source annotation macros of the emulated driver kit.
 *
 * On Windows these annotations feed the code-analysis tools; the emulated
 * platform gives them no meaning, so every macro expands to nothing.  The set
 * covers the annotations used by file-system minifilters; add to it as new
 * driver code needs more.
 */
#pragma once

#define _In_
#define _In_opt_
#define _In_z_
#define _In_opt_z_
#define _In_reads_(s)
#define _In_reads_opt_(s)
#define _In_reads_bytes_(s)
#define _In_reads_bytes_opt_(s)
#define _Out_
#define _Out_opt_
#define _Out_writes_(s)
#define _Out_writes_opt_(s)
#define _Out_writes_bytes_(s)
#define _Out_writes_bytes_opt_(s)
#define _Out_writes_bytes_to_(s, c)
#define _Out_writes_bytes_to_opt_(s, c)
#define _Out_writes_bytes_all_(s)
#define _Out_writes_to_(s, c)
#define _Inout_
#define _Inout_opt_
#define _Inout_updates_(s)
#define _Inout_updates_bytes_(s)
#define _Outptr_
#define _Outptr_opt_
#define _Outptr_result_maybenull_
#define _Outptr_opt_result_maybenull_
#define _Outptr_result_bytebuffer_(s)
#define _Deref_out_range_(l, h)
#define _Field_size_(s)
#define _Field_size_bytes_(s)
#define _Field_size_bytes_part_(s, c)
#define _Field_range_(l, h)
#define _Field_z_
#define _Must_inspect_result_
#define _Check_return_
#define _Success_(e)
#define _Return_type_success_(e)
#define _Ret_maybenull_
#define _Ret_range_(l, h)
#define _Post_invalid_
#define _Post_satisfies_(e)
#define _Pre_satisfies_(e)
#define _Post_writable_byte_size_(s)
#define _Pre_notnull_
#define _Notnull_
#define _Null_terminated_
#define _Printf_format_string_
#define _Use_decl_annotations_
#define _Analysis_assume_(e)
#define _Analysis_noreturn_
#define _Frees_ptr_
#define _Frees_ptr_opt_
#define _Strict_type_match_
#define _Reserved_
#define _When_(c, a)
#define _At_(t, a)
#define _Always_(a)
#define _Unreferenced_parameter_
#define _Interlocked_operand_
#define _Function_class_(n)
#define _Dispatch_type_(t)
#define _Guarded_by_(l)
#define _Requires_lock_held_(l)
#define _Requires_lock_not_held_(l)
#define _Requires_exclusive_lock_held_(l)
#define _Requires_shared_lock_held_(l)
#define _Acquires_lock_(l)
#define _Acquires_exclusive_lock_(l)
#define _Acquires_shared_lock_(l)
#define _Releases_lock_(l)
#define _Releases_exclusive_lock_(l)
#define _Releases_shared_lock_(l)
#define _Has_lock_kind_(k)
#define _Has_lock_level_(l)
#define _Lock_level_order_(a, b)
#define _Create_lock_level_(l)

/* Driver-specific annotations (driverspecs.h on Windows). */
#define _IRQL_requires_(i)
#define _IRQL_requires_max_(i)
#define _IRQL_requires_min_(i)
#define _IRQL_requires_same_
#define _IRQL_raises_(i)
#define _IRQL_saves_
#define _IRQL_restores_
#define _IRQL_saves_global_(k, p)
#define _IRQL_restores_global_(k, p)
#define _IRQL_always_function_max_(i)
#define _IRQL_always_function_min_(i)
#define _IRQL_uses_cancel_
#define _Kernel_clear_do_init_(y)
#define _Kernel_float_saved_
#define _Kernel_float_restored_
#define _Kernel_requires_resource_held_(k)
#define _Kernel_acquires_resource_(k)
#define _Kernel_releases_resource_(k)
#define _Kernel_requires_resource_not_held_(k)
#define _Enters_critical_region_
#define _Leaves_critical_region_
#define _Requires_critical_region_
#define _When_server_(a)
#define _Flt_CompletionContext_Outptr_
#define _Flt_ConnectionCookie_Outptr_
#define _Flt_ConnectionCookie_Outptr_
