/* The host32 stand-in for the parts of <windows.h> that the libraries use.
 * The types have the sizes and layouts of 32-bit Windows (this build is i386),
 * so records built by the stand-in are byte for byte what Windows hands out.
 * The functions are implemented over the in-memory model in standin/src. */
#ifndef STANDIN_WINDOWS_H
#define STANDIN_WINDOWS_H

#include <stddef.h>

#if !defined(__i386__)
#error "the stand-in models 32-bit Windows: build it with -m32"
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define WINAPI
#define APIENTRY
#define CALLBACK
#define WINBASEAPI
#define __stdcall
#define __cdecl

typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef unsigned long DWORD;
typedef long LONG;
typedef unsigned long ULONG;
typedef unsigned int UINT;
typedef long long LONGLONG;
typedef unsigned long long ULONGLONG;
typedef unsigned long ULONG_PTR;
typedef unsigned long SIZE_T;
typedef long NTSTATUS;
typedef char CHAR;
typedef unsigned short WCHAR; /* Windows text is 16-bit; Linux's wchar_t is not */
typedef CHAR* LPSTR;
typedef const CHAR* LPCSTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef DWORD* LPDWORD;
typedef BYTE* LPBYTE;
typedef BOOL* LPBOOL;
typedef void* HANDLE;
typedef HANDLE* LPHANDLE;
typedef struct StandinModule* HMODULE;
typedef HMODULE HINSTANCE;
typedef int(WINAPI* FARPROC)(void);

#define TRUE 1
#define FALSE 0
#define MAX_PATH 260
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG)-1)
#define INFINITE 0xFFFFFFFFul

#define CREATE_NEW_CONSOLE 0x00000010ul
#define CREATE_UNICODE_ENVIRONMENT 0x00000400ul
#define PROCESS_TERMINATE 0x0001ul
#define PROCESS_QUERY_INFORMATION 0x0400ul
#define SYNCHRONIZE 0x00100000ul
#define STILL_ACTIVE 259ul
#define WAIT_OBJECT_0 0ul
#define WAIT_TIMEOUT 258ul
#define WAIT_FAILED 0xFFFFFFFFul

#define ERROR_SUCCESS 0ul
#define ERROR_FILE_NOT_FOUND 2ul
#define ERROR_PATH_NOT_FOUND 3ul
#define ERROR_ACCESS_DENIED 5ul
#define ERROR_INVALID_HANDLE 6ul
#define ERROR_NOT_ENOUGH_MEMORY 8ul
#define ERROR_INVALID_PARAMETER 87ul
#define ERROR_INSUFFICIENT_BUFFER 122ul
#define ERROR_NO_UNICODE_TRANSLATION 1113ul
#define ERROR_APP_WRONG_OS 1151ul

#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

#define CP_ACP 0u
#define CP_UTF8 65001u
#define WC_NO_BEST_FIT_CHARS 0x400ul
#define MB_ERR_INVALID_CHARS 0x8ul

#define HEAP_ZERO_MEMORY 0x8ul

typedef union _LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER;

typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *LPFILETIME;

typedef struct _SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
} SYSTEMTIME, *LPSYSTEMTIME;

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _STARTUPINFOA {
    DWORD cb;
    LPSTR lpReserved;
    LPSTR lpDesktop;
    LPSTR lpTitle;
    DWORD dwX, dwY, dwXSize, dwYSize, dwXCountChars, dwYCountChars, dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    LPBYTE lpReserved2;
    HANDLE hStdInput, hStdOutput, hStdError;
} STARTUPINFOA, *LPSTARTUPINFOA;

typedef struct _STARTUPINFOW {
    DWORD cb;
    LPWSTR lpReserved;
    LPWSTR lpDesktop;
    LPWSTR lpTitle;
    DWORD dwX, dwY, dwXSize, dwYSize, dwXCountChars, dwYCountChars, dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    LPBYTE lpReserved2;
    HANDLE hStdInput, hStdOutput, hStdError;
} STARTUPINFOW, *LPSTARTUPINFOW;

typedef struct _PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
} PROCESS_INFORMATION, *LPPROCESS_INFORMATION;

typedef struct _OSVERSIONINFOA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    CHAR szCSDVersion[128];
} OSVERSIONINFOA, *LPOSVERSIONINFOA;

#define VER_PLATFORM_WIN32_WINDOWS 1
#define VER_PLATFORM_WIN32_NT 2

/* One process-wide lock; the stand-in backs it with a recursive mutex. */
typedef struct _CRITICAL_SECTION {
    void* impl;
    unsigned char storage[40];
} CRITICAL_SECTION, *LPCRITICAL_SECTION;

/* kernel32: processes and handles */
void WINAPI GetStartupInfoA(LPSTARTUPINFOA info);
void WINAPI GetStartupInfoW(LPSTARTUPINFOW info);
BOOL WINAPI CreateProcessA(LPCSTR app, LPSTR cmd, LPSECURITY_ATTRIBUTES pa, LPSECURITY_ATTRIBUTES ta,
                           BOOL inherit, DWORD flags, LPVOID env, LPCSTR dir, LPSTARTUPINFOA si,
                           LPPROCESS_INFORMATION pi);
BOOL WINAPI CreateProcessW(LPCWSTR app, LPWSTR cmd, LPSECURITY_ATTRIBUTES pa, LPSECURITY_ATTRIBUTES ta,
                           BOOL inherit, DWORD flags, LPVOID env, LPCWSTR dir, LPSTARTUPINFOW si,
                           LPPROCESS_INFORMATION pi);
HANDLE WINAPI OpenProcess(DWORD access, BOOL inherit, DWORD pid);
BOOL WINAPI TerminateProcess(HANDLE process, UINT exitCode);
BOOL WINAPI GetExitCodeProcess(HANDLE process, LPDWORD exitCode);
DWORD WINAPI WaitForSingleObject(HANDLE h, DWORD ms);
BOOL WINAPI CloseHandle(HANDLE h);
DWORD WINAPI GetCurrentProcessId(void);
HANDLE WINAPI GetCurrentProcess(void);
DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD code);
void WINAPI Sleep(DWORD ms);

/* kernel32: version and modules */
BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info);
HMODULE WINAPI GetModuleHandleA(LPCSTR name);
HMODULE WINAPI LoadLibraryA(LPCSTR name);
FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name);
BOOL WINAPI DisableThreadLibraryCalls(HMODULE module);

/* kernel32: time */
BOOL WINAPI FileTimeToSystemTime(const FILETIME* ft, LPSYSTEMTIME st);

/* kernel32: heap */
HANDLE WINAPI GetProcessHeap(void);
LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
BOOL WINAPI HeapFree(HANDLE heap, DWORD flags, LPVOID p);

/* kernel32: current directory (the real one of the host process) */
DWORD WINAPI GetCurrentDirectoryA(DWORD length, LPSTR buffer);
BOOL WINAPI SetCurrentDirectoryA(LPCSTR path);
DWORD WINAPI GetCurrentDirectoryW(DWORD length, LPWSTR buffer);
BOOL WINAPI SetCurrentDirectoryW(LPCWSTR path);

/* kernel32: locks */
void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION cs);
void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION cs);
void WINAPI EnterCriticalSection(LPCRITICAL_SECTION cs);
void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION cs);

/* kernel32: text conversion */
UINT WINAPI GetACP(void);
int WINAPI MultiByteToWideChar(UINT cp, DWORD flags, LPCSTR src, int srcLen, LPWSTR dst, int dstLen);
int WINAPI WideCharToMultiByte(UINT cp, DWORD flags, LPCWSTR src, int srcLen, LPSTR dst, int dstLen,
                               LPCSTR defaultChar, LPBOOL usedDefault);

#ifdef __cplusplus
}
#endif

#endif
