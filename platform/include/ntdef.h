// Basic NT types, counted strings, list entries and object attributes of the
// simulated kernel. The host build compiles with 2-byte wchar_t (-fshort-wchar)
// so that WCHAR and L"" literals have the platform's width.
#pragma once

#include <stddef.h>
#include <stdarg.h>
#include <setjmp.h>

#if !defined(__SIZEOF_WCHAR_T__) || __SIZEOF_WCHAR_T__ != 2
#error "the simulated platform needs a 2-byte wchar_t (-fshort-wchar)"
#endif

// This header set is the simulated kernel's; the driver's portability header
// keys on this to choose how a raised-status frame is written.
#define SIMULATED_NT_PLATFORM 1

#define VOID void
#define CONST const
#define IN
#define OUT
#define OPTIONAL
#define NTAPI
#define NTSYSAPI
#define NTKERNELAPI
#define FASTCALL
#define DECLSPEC_NORETURN [[noreturn]]
#define FORCEINLINE inline
#define UNREFERENCED_PARAMETER(p) ((void)(p))

typedef char CHAR, *PCHAR, *PSTR, *PSZ;
typedef const char *PCSTR, *PCSZ;
typedef unsigned char UCHAR, *PUCHAR, BYTE, *PBYTE, BOOLEAN, *PBOOLEAN;
typedef short SHORT, *PSHORT, CSHORT;
typedef unsigned short USHORT, *PUSHORT, WORD;
typedef int LONG, *PLONG, INT;
typedef unsigned int ULONG, *PULONG, UINT, DWORD, *PDWORD;
typedef long long LONGLONG, LONG64, *PLONGLONG;
typedef unsigned long long ULONGLONG, ULONG64, DWORD64, *PULONGLONG;
typedef long long LONG_PTR, *PLONG_PTR, INT_PTR;
typedef unsigned long long ULONG_PTR, *PULONG_PTR, UINT_PTR, SIZE_T, *PSIZE_T, KAFFINITY;
typedef void *PVOID, **PPVOID, *HANDLE, **PHANDLE;
typedef wchar_t WCHAR, *PWCHAR, *PWSTR, *PWCH;
typedef const wchar_t *PCWSTR, *PCWCH;
typedef LONG NTSTATUS, *PNTSTATUS;
typedef ULONG ACCESS_MASK, *PACCESS_MASK;
typedef UCHAR KIRQL, *PKIRQL;
typedef char CCHAR;
typedef LONG KPRIORITY;
typedef ULONG_PTR KSPIN_LOCK, *PKSPIN_LOCK;
typedef ULONG LOGICAL;

#define TRUE 1
#define FALSE 0
#ifndef NULL
#define NULL 0
#endif

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_INFORMATION(Status) ((((ULONG)(Status)) >> 30) == 1)
#define NT_WARNING(Status) ((((ULONG)(Status)) >> 30) == 2)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)

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
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID, *LPGUID;
typedef const GUID *LPCGUID;
typedef const GUID &REFGUID;

inline bool operator==(const GUID &a, const GUID &b)
{
    const UCHAR *x = reinterpret_cast<const UCHAR *>(&a);
    const UCHAR *y = reinterpret_cast<const UCHAR *>(&b);
    for (int i = 0; i < 16; ++i)
        if (x[i] != y[i])
            return false;
    return true;
}
#define IsEqualGUID(a, b) ((a) == (b))

typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWCH Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING *PCUNICODE_STRING;

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, ANSI_STRING, *PANSI_STRING, OEM_STRING, *PSTRING;
typedef const STRING *PCANSI_STRING;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY *Flink;
    struct _LIST_ENTRY *Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _SINGLE_LIST_ENTRY {
    struct _SINGLE_LIST_ENTRY *Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

#define CONTAINING_RECORD(address, type, field) \
    ((type *)((PCHAR)(address) - offsetof(type, field)))
#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define ARRAYSIZE(a) (sizeof(a) / sizeof((a)[0]))
#define RTL_NUMBER_OF(a) ARRAYSIZE(a)

#define OBJ_INHERIT 0x00000002L
#define OBJ_PERMANENT 0x00000010L
#define OBJ_EXCLUSIVE 0x00000020L
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_OPENIF 0x00000080L
#define OBJ_OPENLINK 0x00000100L
#define OBJ_KERNEL_HANDLE 0x00000200L

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

#define InitializeObjectAttributes(p, n, a, r, s) \
    do {                                          \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);  \
        (p)->RootDirectory = (r);                 \
        (p)->Attributes = (a);                    \
        (p)->ObjectName = (n);                    \
        (p)->SecurityDescriptor = (s);            \
        (p)->SecurityQualityOfService = NULL;     \
    } while (0)

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;
typedef enum _TIMER_TYPE { NotificationTimer, SynchronizationTimer } TIMER_TYPE;
typedef enum _WAIT_TYPE { WaitAll, WaitAny } WAIT_TYPE;

typedef CCHAR KPROCESSOR_MODE;
typedef enum _MODE { KernelMode, UserMode, MaximumMode } MODE;

// What ExRaiseStatus throws on the simulated platform when no frame of the
// caller's catches it (the platform's own last-chance handlers do).
struct SIMULATED_RAISED_STATUS {
    NTSTATUS Status;
};

// A frame that catches a raised status on the simulated platform. As with the
// kernel's exception frames, a raise returns straight to the innermost frame
// of the raising thread, and no C++ destructor of the frames in between
// runs: code that relies on one (a lock guard, a string freed by scope)
// leaks or keeps its lock here as it would on Windows, where the verifier and
// the pool check find it.
struct SIMULATED_EXCEPTION_FRAME {
    jmp_buf Target;
    NTSTATUS Status;
    SIMULATED_EXCEPTION_FRAME *Outer;
    bool Armed;
    SIMULATED_EXCEPTION_FRAME();
    ~SIMULATED_EXCEPTION_FRAME();
    SIMULATED_EXCEPTION_FRAME(const SIMULATED_EXCEPTION_FRAME &) = delete;
    SIMULATED_EXCEPTION_FRAME &operator=(const SIMULATED_EXCEPTION_FRAME &) = delete;
};

#define MAXUSHORT 0xffff
#define MAXULONG 0xffffffff
#define MAXLONG 0x7fffffff
