/* runwarden.dll: process information for native callers (the Win32Ext
 * functions).
 *
 * Self-contained: needs no <windows.h>; compiles as C and as C++, with GCC
 * (MinGW) and with Visual C++ (or clang in its mode).
 *
 * Linking: MinGW links runwarden.dll.a (-lrunwarden), Visual C++ runwarden.lib;
 * runwarden.dll must be on the program's DLL search path at run time. Nothing
 * needs to be loaded by hand.
 *
 * Calling: every function here is a C function with the standard calling
 * convention of system interfaces (__stdcall, the callee removes the
 * arguments) and is exported under that convention's decorated name,
 * _Name@N, N being 4 bytes per argument (_GetCPUUsage@4, _Win32Ext_VersionOK@0).
 * The declarations below produce exactly those names in C and C++, with both
 * compilers. All integers are 32 bits wide (DWORD, ULONG, LONG); the pointer
 * types match the platform's (DWORD*, LONG*, WCHAR*, ULONGLONG*, HANDLE, and
 * SYSTEMTIME* when <windows.h> is included first), so values of the
 * <windows.h> types can be passed directly.
 *
 * Result codes: 0 on success; 1151 (ERROR_APP_WRONG_OS) when no back end is
 * selected or the selected one has no way to answer; otherwise an NT status:
 * 0xC000000D invalid parameter (null pointer, zero capacity, a name that does
 * not fit; on the Toolhelp back end also a process that is not found),
 * 0xC0000001 unsuccessful (no such process, a list that reaches its capacity,
 * an unmapped priority...), 0xC0000017 no memory, 0xC0000004 the snapshot
 * would outgrow 32-bit sizes, or the platform's own failure status. A call
 * that fails writes no out-parameter unless its comment says otherwise.
 *
 * Call Win32Ext_VersionOK once before the queries: it selects the back end
 * (the NT native services where present, else Toolhelp). Until then every
 * query answers 1151. Functions marked "native only" answer 1151 on the
 * Toolhelp back end.
 *
 * GetProcessInformation and <windows.h>: newer <windows.h> (Windows SDK 8 and
 * later, MinGW-w64) declare a GetProcessInformation of their own, a different
 * KERNEL32 function with four arguments. Runwarden's function is therefore
 * also declared as Win32Ext_GetProcessInformation, always; the import
 * libraries map that name onto the export _GetProcessInformation@8 (the DLL
 * has no export of its own under it). The plain name is declared only when
 * <windows.h> was not included before this header and
 * RUNWARDEN_WIN32EXT_ALIASES is not defined. Including this header first and
 * a newer <windows.h> after it does not compile: include <windows.h> first (or
 * define RUNWARDEN_WIN32EXT_ALIASES). Code that is to compile either way calls
 * Win32Ext_GetProcessInformation.
 */
#ifndef RUNWARDEN_WIN32EXT_H
#define RUNWARDEN_WIN32EXT_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define WIN32EXT_CALL __stdcall
#else
#define WIN32EXT_CALL
#endif

/* A UTF-16 code unit, the platform's WCHAR: wchar_t in C++; in C the type
 * that the platform's wchar_t names there. */
#if defined(_WIN32) && defined(__cplusplus)
typedef wchar_t Win32ExtChar;
#else
typedef unsigned short Win32ExtChar;
#endif

typedef unsigned long Win32ExtStatus;

/* Broken-down time: the platform's SYSTEMTIME when <windows.h> came first,
 * otherwise a structure of the same layout. */
#if !defined(RUNWARDEN_WIN32EXT_BUILD) && (defined(_MINWINBASE_) || defined(_WINBASE_))
typedef struct _SYSTEMTIME Win32ExtSystemTime;
#else
typedef struct Win32ExtSystemTime {
    unsigned short wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds;
} Win32ExtSystemTime;
#endif

#define WIN32EXT_NO_BACKEND 1151ul
#define WIN32EXT_PROCESS_RECORD_SIZE 136

/* Selects the back end, afresh on every call: 1 when one is selected, 0 when
 * none is (then every query answers 1151). */
unsigned long WIN32EXT_CALL Win32Ext_VersionOK(void);

/* Native only. Copies the 136-byte fixed part of the process's record in the
 * system's process snapshot into record (at least 136 bytes); the record's
 * layout is the NT SYSTEM_PROCESS_INFORMATION fixed part. The image-name
 * address inside the copy points into a snapshot that is already released: do
 * not follow it (use GetProcessModuleName). */
Win32ExtStatus WIN32EXT_CALL Win32Ext_GetProcessInformation(unsigned long pid, void* record);
#if defined(RUNWARDEN_WIN32EXT_BUILD) || \
    !(defined(RUNWARDEN_WIN32EXT_ALIASES) || defined(_PROCESSTHREADSAPI_H_) || defined(_WINBASE_))
Win32ExtStatus WIN32EXT_CALL GetProcessInformation(unsigned long pid, void* record);
#endif

/* The process's image name; capacity counts characters. Native back end: the
 * name with its terminating zero, 0xC000000D when it does not fit. Toolhelp:
 * the last component of the executable's path, without a terminator. */
Win32ExtStatus WIN32EXT_CALL GetProcessModuleName(unsigned long pid, Win32ExtChar* name, unsigned long capacity);

/* The recorded parent id: the id of the creator, which may have ended since
 * (and whose id may then have been reused). */
Win32ExtStatus WIN32EXT_CALL GetParentProcessId(unsigned long pid, unsigned long* parent);

/* Ids of the children of parent (parent 0: every process) and their count. A
 * list that reaches capacity fails with 0xC0000001 after storing capacity ids
 * and the count: a successful call delivers at most capacity - 1. */
Win32ExtStatus WIN32EXT_CALL GetChildProcesses(unsigned long parent, unsigned long* ids, unsigned long capacity,
                                               unsigned long* count);

/* Number of processes in the system. */
Win32ExtStatus WIN32EXT_CALL GetNumberOfProcesses(unsigned long* count);

/* Native only. Despite the name: writes thread ids, exactly as
 * GetProcessThreadIds does on the native back end. */
Win32ExtStatus WIN32EXT_CALL GetProcessThreadHandles(unsigned long pid, unsigned long* ids, unsigned long capacity,
                                                     unsigned long* count);

/* Native only. Despite the name: writes the owning-process id of the process's
 * first thread record (normally pid itself); opens nothing. */
Win32ExtStatus WIN32EXT_CALL GetProcessHandle(unsigned long pid, unsigned long* owner);

/* Ids of the process's threads and their count. Native back end: 0xC0000001
 * with nothing written when capacity is less than the thread count. Toolhelp:
 * a list that reaches capacity fails with 0xC0000001, the array full. */
Win32ExtStatus WIN32EXT_CALL GetProcessThreadIds(unsigned long pid, unsigned long* ids, unsigned long capacity,
                                                 unsigned long* count);

/* Native only. The commit charge in bytes, as the record carries it. */
Win32ExtStatus WIN32EXT_CALL GetProcessCommitCharge(unsigned long pid, unsigned long* commit);

/* Native only. The creation time in UTC, as recorded: no conversion to local
 * time. */
Win32ExtStatus WIN32EXT_CALL GetProcessCreationTime(unsigned long pid, Win32ExtSystemTime* created);

/* Native only. Time spent in user or kernel mode, in 100-nanosecond units. */
Win32ExtStatus WIN32EXT_CALL GetProcessUserTime(unsigned long pid, unsigned long long* time);
Win32ExtStatus WIN32EXT_CALL GetProcessKernelTime(unsigned long pid, unsigned long long* time);

/* Priority class: 0x40 idle, 0x20 normal, 0x80 high, 0x100 realtime. A base
 * priority with no class writes 0 and fails with 0xC0000001. */
Win32ExtStatus WIN32EXT_CALL GetProcessBasePriority(unsigned long pid, unsigned long* priorityClass);

/* Native only. Id of the process behind a handle (with query rights; the
 * pseudo-handle of the current process works). Result 0 with id 0 when the
 * platform does not answer for the handle. */
Win32ExtStatus WIN32EXT_CALL GetProcessID(void* process, unsigned long* pid);

/* Native only. System-wide CPU usage in percent (0..100) over about half a
 * second (blocks that long). An interval that cannot be measured (the clock was
 * set back or far forward) is sampled again, a bounded number of times, then
 * 0xC0000001. Before a back end is selected, or on Toolhelp, it writes 0 and
 * answers 1151. */
Win32ExtStatus WIN32EXT_CALL GetCPUUsage(long* usage);

#ifdef __cplusplus
}
#endif

#endif
