// Back-end selection and the platform services bound at run time.
#pragma once

#define RUNWARDEN_WIN32EXT_BUILD
#include <windows.h>
// After <windows.h>, whose types it needs.
#include <tlhelp32.h>

#include "win32ext.h"

namespace rw {

enum BackendMode : LONG { kBackendNone = 0, kBackendNative = 1, kBackendToolhelp = 2 };

// NT status values of the Win32Ext family.
constexpr ULONG kStatusSuccess = 0;
constexpr ULONG kStatusUnsuccessful = 0xC0000001;
constexpr ULONG kStatusInfoLengthMismatch = 0xC0000004;
constexpr ULONG kStatusInvalidParameter = 0xC000000D;
constexpr ULONG kStatusNoMemory = 0xC0000017;
constexpr ULONG kNoBackend = 1151;  // ERROR_APP_WRONG_OS

using NtQuerySystemInformationFn = LONG(WINAPI*)(ULONG infoClass, void* buffer, ULONG length, ULONG* returned);
using NtQueryInformationProcessFn = LONG(WINAPI*)(HANDLE process, ULONG infoClass, void* buffer, ULONG length,
                                                  ULONG* returned);
using CreateToolhelp32SnapshotFn = HANDLE(WINAPI*)(DWORD flags, DWORD pid);
// The exact types of the platform's functions: a call through a pointer of
// another function type is undefined behaviour, whatever the ABI makes of it.
using ProcessWalkFn = BOOL(WINAPI*)(HANDLE snapshot, PROCESSENTRY32* entry);  // ANSI form
using ThreadWalkFn = BOOL(WINAPI*)(HANDLE snapshot, THREADENTRY32* entry);

struct NativeServices {
    NtQuerySystemInformationFn querySystemInformation;
    NtQueryInformationProcessFn queryInformationProcess;
};

struct ToolhelpServices {
    CreateToolhelp32SnapshotFn createSnapshot;
    ProcessWalkFn process32First, process32Next;
    ThreadWalkFn thread32First, thread32Next;
};

// Process-wide, unlocked: written by Win32Ext_VersionOK, read by every query.
// Concurrent selections store the same values.
extern volatile LONG backendMode;
extern NativeServices nativeServices;      // null members until bound
extern ToolhelpServices toolhelpServices;  // all five bound, or all null

int bindNativeServices();
int bindToolhelpServices();

}  // namespace rw
