/*
 * Source annotations. The analysis they feed runs only with the WDK's own
 * compiler, so here each one expands to nothing.
 */
#pragma once

#define _In_
#define _In_opt_
#define _Out_
#define _Out_opt_
#define _Inout_
#define _Inout_opt_
#define _In_reads_(n)
#define _In_reads_bytes_(n)
#define _In_reads_bytes_opt_(n)
#define _Out_writes_(n)
#define _Out_writes_bytes_(n)
#define _Out_writes_bytes_opt_(n)
#define _Out_writes_bytes_to_(n, m)
#define _Outptr_
#define _Outptr_opt_
#define _Outptr_result_bytebuffer_(n)
#define _Outptr_opt_result_bytebuffer_(n)
#define _Outptr_result_maybenull_
#define _Inout_updates_(n)
#define _Inout_updates_bytes_(n)
#define _In_z_
#define _In_opt_z_
#define _Printf_format_string_
#define _Must_inspect_result_
#define _Check_return_
#define _Success_(expr)
#define _Ret_maybenull_
#define _Ret_range_(a, b)
#define _Use_decl_annotations_
#define _IRQL_requires_(irql)
#define _IRQL_requires_max_(irql)
#define _IRQL_requires_min_(irql)
#define _IRQL_requires_same_
#define _IRQL_raises_(irql)
#define _IRQL_saves_
#define _IRQL_restores_
#define _IRQL_saves_global_(kind, param)
#define _IRQL_restores_global_(kind, param)
#define _Requires_lock_held_(lock)
#define _Requires_lock_not_held_(lock)
#define _Acquires_lock_(lock)
#define _Releases_lock_(lock)
#define _Function_class_(name)
#define _When_(cond, anno)
#define _Field_size_(n)
#define _Field_size_bytes_(n)
#define _Field_range_(a, b)
#define _Struct_size_bytes_(n)
#define _Analysis_assume_(expr)
#define _Post_writable_byte_size_(n)
#define _Pre_notnull_
#define _Kernel_clear_do_init_(x)
#define _Dispatch_type_(x)
#define _Frees_ptr_(x)
#define _Frees_ptr_opt_
#define _Post_invalid_
#define _Enum_is_bitflag_
#define _Strict_type_match_
#define __drv_aliasesMem
#define __drv_allocatesMem(kind)
#define __drv_freesMem(kind)
#define __drv_when(cond, anno)
#define __drv_reportError(msg)
#define __drv_strictTypeMatch(mode)
#define __drv_maxIRQL(irql)
#define __drv_dispatchType(x)
