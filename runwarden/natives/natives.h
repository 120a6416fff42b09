/* runwarden.dll: the plain process helpers, for native callers.
 *
 * executeProcess and killProcess, isMyChild and killAllChild use the C calling
 * convention (the caller removes the arguments) and are exported under these
 * plain names. numberOfChilds and JNU_GetFieldByName are exported under their
 * Visual C++ names only:
 *   ?numberOfChilds@@YAKK@Z
 *   ?JNU_GetFieldByName@@YG?ATjvalue@@PAUJNIEnv_@@PAEPAV_jobject@@PBD3@Z
 * A Visual C++ caller declares them in C++ as below (outside extern "C"); the
 * import libraries also give both the plain names numberOfChilds and
 * JNU_GetFieldByName, so that C and MinGW callers can link against them with
 * the C declarations of this header.
 *
 * Self-contained: needs no <windows.h>; compiles as C and C++.
 */
#ifndef RUNWARDEN_NATIVES_H
#define RUNWARDEN_NATIVES_H

#if defined(_WIN32)
#define RUNWARDEN_STDCALL __stdcall
#define RUNWARDEN_CDECL __cdecl
#else
#define RUNWARDEN_STDCALL
#define RUNWARDEN_CDECL
#endif

/* The creation result, laid out as the platform's PROCESS_INFORMATION. */
typedef struct RunwardenProcessInformation {
    void* hProcess;
    void* hThread;
    unsigned long dwProcessId;
    unsigned long dwThreadId;
} RunwardenProcessInformation;

#if defined(__cplusplus) && defined(_MSC_VER) && defined(RUNWARDEN_MSVC_NAMES)
/* Visual C++: the decorated names come from the declarations themselves. */
struct JNIEnv_;
class _jobject;
union jvalue;
unsigned long RUNWARDEN_CDECL numberOfChilds(unsigned long pid);
union jvalue RUNWARDEN_STDCALL JNU_GetFieldByName(struct JNIEnv_* env, unsigned char* exceptionFlag, class _jobject* obj,
                                                  const char* name, const char* signature);
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Starts a process with a console of its own and no inherited handles.
 * environment: a block of NUL-terminated entries closed by one more NUL, or
 * null to inherit. 0 on success (the caller owns both handles in *result),
 * otherwise the platform's error code. */
unsigned long RUNWARDEN_CDECL executeProcess(const char* application, char* commandLine, const char* environment,
                                             const char* directory, RunwardenProcessInformation* result);

/* Terminates a process with exit code 0: 0 when it could be opened, -1 otherwise. */
long RUNWARDEN_CDECL killProcess(unsigned long pid);

/* 1 when pid descends from the process that last ran killAllChild (a walk that
 * reaches a process that can no longer be queried counts as descent). */
long RUNWARDEN_CDECL isMyChild(unsigned long pid);

/* Terminates every descendant of pid that descends from the calling process,
 * deepest first; pid itself keeps running. -1 when pid has no children or they
 * cannot be listed, 0, or the error code of the last descendant that could not
 * be opened. */
long RUNWARDEN_CDECL killAllChild(unsigned long pid);

#if !(defined(__cplusplus) && defined(_MSC_VER) && defined(RUNWARDEN_MSVC_NAMES))
/* Number of direct children (pid 0: every process), 0xFFFFFFFF on failure. */
unsigned long RUNWARDEN_CDECL numberOfChilds(unsigned long pid);
#endif

#ifdef __cplusplus
}
#endif

#endif
