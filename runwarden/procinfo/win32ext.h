/* runwarden.dll: process information for native callers.
 *
 * Every function returns a 32-bit result code: 0 on success, 1151
 * (ERROR_APP_WRONG_OS) when no back end is selected or the selected one has no
 * way to answer, otherwise an NT status (0xC000000D invalid parameter,
 * 0xC0000001 unsuccessful / not found, 0xC0000017 no memory, 0xC0000004 the
 * snapshot would outgrow 32 bits, or the platform's own status). Call
 * Win32Ext_VersionOK once before the queries: it selects the back end.
 *
 * Self-contained: needs no <windows.h>; compiles as C and C++.
 *
 * With <windows.h> from a newer SDK or MinGW, whose GetProcessInformation is a
 * different KERNEL32 function, define RUNWARDEN_WIN32EXT_ALIASES before
 * including this header (or include <windows.h> first: it is detected) and
 * call Win32Ext_GetProcessInformation instead; the import libraries map that
 * name to runwarden's GetProcessInformation export.
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

#if defined(_WIN32)
typedef wchar_t Win32ExtChar; /* UTF-16 code unit */
#else
typedef unsigned short Win32ExtChar;
#endif

typedef unsigned long Win32ExtStatus;

/* Broken-down time, laid out as the platform's SYSTEMTIME. */
typedef struct Win32ExtSystemTime {
    unsigned short wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds;
} Win32ExtSystemTime;

#define WIN32EXT_NO_BACKEND 1151ul
#define WIN32EXT_PROCESS_RECORD_SIZE 136

/* Selects the back end (1 native NT services, 2 Toolhelp); 1 when one is selected. */
unsigned long WIN32EXT_CALL Win32Ext_VersionOK(void);

/* Copies the 136-byte fixed part of the process's snapshot record into record.
 * The image-name address inside the copy points into a snapshot that is already
 * released: do not follow it (use GetProcessModuleName). */
#if !defined(RUNWARDEN_WIN32EXT_BUILD) && \
    (defined(RUNWARDEN_WIN32EXT_ALIASES) || defined(_PROCESSTHREADSAPI_H_) || defined(_WINBASE_))
Win32ExtStatus WIN32EXT_CALL Win32Ext_GetProcessInformation(unsigned long pid, void* record);
#else
Win32ExtStatus WIN32EXT_CALL GetProcessInformation(unsigned long pid, void* record);
#endif

/* Image name, zero-terminated on the native back end; on Toolhelp the last path
 * component without a terminator. capacity counts characters. */
Win32ExtStatus WIN32EXT_CALL GetProcessModuleName(unsigned long pid, Win32ExtChar* name, unsigned long capacity);
Win32ExtStatus WIN32EXT_CALL GetParentProcessId(unsigned long pid, unsigned long* parent);
/* Children of parent (0: every process). A list that reaches capacity fails with
 * 0xC0000001 after storing capacity ids: at most capacity - 1 on success. */
Win32ExtStatus WIN32EXT_CALL GetChildProcesses(unsigned long parent, unsigned long* ids, unsigned long capacity,
                                               unsigned long* count);
Win32ExtStatus WIN32EXT_CALL GetNumberOfProcesses(unsigned long* count);
/* Despite the name: writes thread ids, exactly as GetProcessThreadIds does. */
Win32ExtStatus WIN32EXT_CALL GetProcessThreadHandles(unsigned long pid, unsigned long* ids, unsigned long capacity,
                                                     unsigned long* count);
/* Despite the name: writes the owning-process id of the first thread record; opens nothing. */
Win32ExtStatus WIN32EXT_CALL GetProcessHandle(unsigned long pid, unsigned long* owner);
Win32ExtStatus WIN32EXT_CALL GetProcessThreadIds(unsigned long pid, unsigned long* ids, unsigned long capacity,
                                                 unsigned long* count);
Win32ExtStatus WIN32EXT_CALL GetProcessCommitCharge(unsigned long pid, unsigned long* commit);
/* UTC, as recorded: no conversion to local time. */
Win32ExtStatus WIN32EXT_CALL GetProcessCreationTime(unsigned long pid, Win32ExtSystemTime* created);
/* 100-nanosecond units, as the service counts them. */
Win32ExtStatus WIN32EXT_CALL GetProcessUserTime(unsigned long pid, unsigned long long* time);
Win32ExtStatus WIN32EXT_CALL GetProcessKernelTime(unsigned long pid, unsigned long long* time);
/* Priority class: 0x40 idle, 0x20 normal, 0x80 high, 0x100 realtime. */
Win32ExtStatus WIN32EXT_CALL GetProcessBasePriority(unsigned long pid, unsigned long* priorityClass);
/* Id of the process behind a handle; 0 (with result 0) when the platform does not answer. */
Win32ExtStatus WIN32EXT_CALL GetProcessID(void* process, unsigned long* pid);
/* System-wide CPU usage in percent (0..100) over about half a second. */
Win32ExtStatus WIN32EXT_CALL GetCPUUsage(long* usage);

#ifdef __cplusplus
}
#endif

#endif
