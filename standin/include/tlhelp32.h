/* The host32 stand-in's Toolhelp records, laid out as on 32-bit Windows (ANSI forms).
 * The functions themselves are reached only through GetProcAddress. */
#ifndef STANDIN_TLHELP32_H
#define STANDIN_TLHELP32_H

#include <windows.h>

#define TH32CS_SNAPPROCESS 0x00000002ul
#define TH32CS_SNAPTHREAD 0x00000004ul

typedef struct tagPROCESSENTRY32 {
    DWORD dwSize;
    DWORD cntUsage;
    DWORD th32ProcessID;
    ULONG_PTR th32DefaultHeapID;
    DWORD th32ModuleID;
    DWORD cntThreads;
    DWORD th32ParentProcessID;
    LONG pcPriClassBase;
    DWORD dwFlags;
    CHAR szExeFile[MAX_PATH];
} PROCESSENTRY32, *LPPROCESSENTRY32;

typedef struct tagTHREADENTRY32 {
    DWORD dwSize;
    DWORD cntUsage;
    DWORD th32ThreadID;
    DWORD th32OwnerProcessID;
    LONG tpBasePri;
    LONG tpDeltaPri;
    DWORD dwFlags;
} THREADENTRY32, *LPTHREADENTRY32;

#endif
