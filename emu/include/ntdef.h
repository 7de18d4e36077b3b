/*
 * ntdef.h - basic types of the emulated Windows kernel.
 *
 * The types carry Windows x64 widths on every host: LONG and ULONG are 32
 * bits, WCHAR is 16 bits (the build passes -fshort-wchar so that L"" literals
 * are UTF-16 like on Windows), pointers and HANDLE are 64 bits.  Every
 * declaration here mirrors the driver kit's own, so that driver sources
 * compile unchanged against it.
 */
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <sal.h>

#if !defined(__SIZEOF_WCHAR_T__) || __SIZEOF_WCHAR_T__ != 2
#error "the emulated kernel needs a 16-bit wchar_t: compile with -fshort-wchar"
#endif
#if !defined(__x86_64__) && !defined(__aarch64__)
#error "the emulated kernel models a 64-bit Windows"
#endif

#ifdef __cplusplus
#define EXTERN_C extern "C"
#define EXTERN_C_START extern "C" {
#define EXTERN_C_END }
#else
#define EXTERN_C extern
#define EXTERN_C_START
#define EXTERN_C_END
#endif

/* Calling conventions and storage classes have no meaning on the host. */
#define NTAPI
#define WINAPI
#define CALLBACK
#define FASTCALL
#define __stdcall
#define __cdecl
#define __fastcall
#define NTKERNELAPI
#define NTSYSAPI
#define NTHALAPI
#define NTSYSCALLAPI
#define DECLSPEC_IMPORT
#define DECLSPEC_NOINLINE __attribute__((noinline))
#define DECLSPEC_NORETURN __attribute__((noreturn))
#define DECLSPEC_ALIGN(x) __attribute__((aligned(x)))
#define FORCEINLINE static inline __attribute__((always_inline))
#define __forceinline inline __attribute__((always_inline))
#ifndef UNREFERENCED_PARAMETER
#define UNREFERENCED_PARAMETER(P) ((void)(P))
#endif
#define C_ASSERT(e) static_assert((e), #e)
#define ANYSIZE_ARRAY 1
#define CONST const
#define OPTIONAL
#define IN
#define OUT

typedef void VOID, *PVOID, **PPVOID;
typedef const void *PCVOID;
typedef char CHAR, *PCHAR, *PSTR, *LPSTR;
typedef const char *PCSTR, *LPCSTR, *PCSZ;
typedef signed char CCHAR, SCHAR;
typedef unsigned char UCHAR, *PUCHAR, BYTE, *PBYTE;
typedef short SHORT, CSHORT, *PSHORT;
typedef unsigned short USHORT, *PUSHORT, WORD, *PWORD;
typedef int32_t LONG, *PLONG, INT, *PINT, LONG32, INT32;
typedef uint32_t ULONG, *PULONG, UINT, *PUINT, DWORD, *PDWORD, ULONG32, UINT32;
typedef int64_t LONGLONG, *PLONGLONG, LONG64, *PLONG64, INT64, __int64;
typedef uint64_t ULONGLONG, *PULONGLONG, ULONG64, *PULONG64, UINT64, DWORD64;
typedef intptr_t LONG_PTR, *PLONG_PTR, INT_PTR, SSIZE_T;
typedef uintptr_t ULONG_PTR, *PULONG_PTR, UINT_PTR, SIZE_T, *PSIZE_T, DWORD_PTR;
typedef uint8_t BOOLEAN, *PBOOLEAN;
typedef int BOOL;
typedef wchar_t WCHAR, *PWCHAR, *PWSTR, *LPWSTR;
typedef const wchar_t *PCWSTR, *LPCWSTR, *PCWCH;
typedef LONG NTSTATUS, *PNTSTATUS;
typedef void *HANDLE, **PHANDLE;
typedef ULONG ACCESS_MASK, *PACCESS_MASK;
typedef UCHAR KIRQL, *PKIRQL;
typedef CCHAR KPROCESSOR_MODE;
typedef ULONG LOGICAL;
typedef ULONG DEVICE_TYPE;
typedef LONG KPRIORITY;
typedef ULONG_PTR KAFFINITY;
typedef ULONG CLONG;

#define TRUE 1
#define FALSE 0
#ifndef NULL
#define NULL 0
#endif

#define MAXUSHORT 0xffff
#define MAXULONG 0xffffffffUL
#define MAXLONG 0x7fffffffL
#define MAXLONGLONG 0x7fffffffffffffffLL

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
    struct {
        ULONG LowPart;
        ULONG HighPart;
    };
    struct {
        ULONG LowPart;
        ULONG HighPart;
    } u;
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef struct _LUID {
    ULONG LowPart;
    LONG HighPart;
} LUID, *PLUID;

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID, *PGUID, *LPGUID;
typedef const GUID *LPCGUID, *PCGUID;
#ifdef __cplusplus
#define REFGUID const GUID &
#else
#define REFGUID const GUID *
#endif

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY *Flink;
    struct _LIST_ENTRY *Blink;
} LIST_ENTRY, *PLIST_ENTRY, *PRLIST_ENTRY;

typedef struct _SINGLE_LIST_ENTRY {
    struct _SINGLE_LIST_ENTRY *Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING *PCUNICODE_STRING;

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, *PSTRING, ANSI_STRING, *PANSI_STRING, OEM_STRING, *POEM_STRING;
typedef const STRING *PCANSI_STRING;

#define UNICODE_NULL ((WCHAR)0)
#define UNICODE_STRING_MAX_BYTES ((USHORT)65534)

#define RTL_CONSTANT_STRING(s) \
    { (USHORT)(sizeof(s) - sizeof((s)[0])), (USHORT)sizeof(s), (PWSTR)(s) }

#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define RTL_FIELD_SIZE(type, field) (sizeof(((type *)0)->field))
#define RTL_SIZEOF_THROUGH_FIELD(type, field) \
    (FIELD_OFFSET(type, field) + RTL_FIELD_SIZE(type, field))
#define RTL_NUMBER_OF(a) (sizeof(a) / sizeof((a)[0]))
#define ARRAYSIZE(a) RTL_NUMBER_OF(a)
/* The compiler's offset-of, not a member of a null pointer, which would be
   undefined behaviour. */
#define CONTAINING_RECORD(address, type, field) \
    ((type *)((PCHAR)(address) - (ULONG_PTR)__builtin_offsetof(type, field)))
#define ALIGN_UP_BY(length, alignment) \
    (((ULONG_PTR)(length) + (alignment) - 1) & ~((ULONG_PTR)(alignment) - 1))
#define ALIGN_DOWN_BY(length, alignment) \
    ((ULONG_PTR)(length) & ~((ULONG_PTR)(alignment) - 1))
#define FlagOn(_F, _SF) ((_F) & (_SF))
#define BooleanFlagOn(F, SF) ((BOOLEAN)(((F) & (SF)) != 0))
#define SetFlag(_F, _SF) ((_F) |= (_SF))
#define ClearFlag(_F, _SF) ((_F) &= ~(_SF))
#define Add2Ptr(P, I) ((PVOID)((PUCHAR)(P) + (I)))
#define PtrOffset(B, O) ((ULONG)((ULONG_PTR)(O) - (ULONG_PTR)(B)))

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_INFORMATION(Status) ((((ULONG)(Status)) >> 30) == 1)
#define NT_WARNING(Status) ((((ULONG)(Status)) >> 30) == 2)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)

/* Object attributes. */
#define OBJ_INHERIT 0x00000002L
#define OBJ_PERMANENT 0x00000010L
#define OBJ_EXCLUSIVE 0x00000020L
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_OPENIF 0x00000080L
#define OBJ_OPENLINK 0x00000100L
#define OBJ_KERNEL_HANDLE 0x00000200L
/* The low two bits of a handle value are the caller's tag bits; the system
   ignores them. */
#define OBJ_HANDLE_TAGBITS 0x00000003L
#define OBJ_FORCE_ACCESS_CHECK 0x00000400L
#define OBJ_VALID_ATTRIBUTES 0x000007F2L

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;
typedef const OBJECT_ATTRIBUTES *PCOBJECT_ATTRIBUTES;

#define InitializeObjectAttributes(p, n, a, r, s) \
    do {                                          \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);  \
        (p)->RootDirectory = (r);                 \
        (p)->Attributes = (a);                    \
        (p)->ObjectName = (n);                    \
        (p)->SecurityDescriptor = (s);            \
        (p)->SecurityQualityOfService = NULL;     \
    } while (0)

/* Processor modes. */
#define KernelMode ((KPROCESSOR_MODE)0)
#define UserMode ((KPROCESSOR_MODE)1)

/* Interrupt request levels. */
#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 15

C_ASSERT(sizeof(ULONG) == 4);
C_ASSERT(sizeof(WCHAR) == 2);
C_ASSERT(sizeof(HANDLE) == 8);
C_ASSERT(sizeof(UNICODE_STRING) == 16);
C_ASSERT(sizeof(LIST_ENTRY) == 16);
C_ASSERT(sizeof(OBJECT_ATTRIBUTES) == 48);
C_ASSERT(sizeof(GUID) == 16);
