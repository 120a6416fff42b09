/* runwarden.dll: the plain process helpers and the field reader, for native
 * callers.
 *
 * Self-contained: needs neither <windows.h> nor <jni.h>; compiles as C and as
 * C++, with GCC (MinGW) and with Visual C++ (or clang in its mode).
 *
 * Linking: MinGW links runwarden.dll.a (-lrunwarden), Visual C++ runwarden.lib;
 * runwarden.dll must be on the program's DLL search path at run time. Nothing
 * needs to be loaded by hand.
 *
 * How each export is called
 *
 *   executeProcess, killProcess, isMyChild, killAllChild
 *     C functions with the caller-cleans convention (__cdecl), exported under
 *     their plain names. Declared below; callable from C and C++ alike.
 *
 *   numberOfChilds                       export ?numberOfChilds@@YAKK@Z
 *   JNU_GetFieldByName                   export ?JNU_GetFieldByName@@YG?ATjvalue@@
 *                                               PAUJNIEnv_@@PAEPAV_jobject@@PBD3@Z
 *     Exported only under their Visual C++ names: numberOfChilds is
 *     "unsigned long __cdecl numberOfChilds(unsigned long)" and
 *     JNU_GetFieldByName is "jvalue __stdcall JNU_GetFieldByName(JNIEnv*,
 *     unsigned char*, jobject, const char*, const char*)", both with C++
 *     linkage. In Visual C++ C++ code numberOfChilds is declared below exactly
 *     so, and JNU_GetFieldByName too when <jni.h> came first (it supplies the
 *     types the name encodes): such calls link to the exports themselves.
 *     Everywhere else (C, MinGW C++, and JNU_GetFieldByName in Visual C++ C++
 *     without <jni.h>) the two are declared as C functions, and the import
 *     libraries map those C names (numberOfChilds, JNU_GetFieldByName@20) onto
 *     the two exports. A Visual C++ caller that declares the functions itself,
 *     with the signatures above and without extern "C", reaches the exports
 *     directly as well.
 *
 *   JNU_GetFieldByName's result, the JNI jvalue (8 bytes, returned in EDX:EAX):
 *     with <jni.h> included before this header it is declared with the JNI
 *     types (jvalue, JNIEnv*, jobject). Without <jni.h> it is declared with
 *     RunwardenJValue below, a union of the same layout, and untyped pointers
 *     for the environment and the object, so that callers with a JNI function
 *     table of their own need no JDK headers.
 *
 *   The JNI natives of com.velmora.util.exec.ScriptProcessManager
 *     (__stdcall, exported as _Name@N; the Java VM binds them by name):
 *       void Java_com_velmora_util_exec_ScriptProcessManager_init(JNIEnv*, jclass)            @8
 *       jint ..._executeProcess(JNIEnv*, jclass, jstring app, jstring cmd, jstring env,
 *                               jstring dir)                                           @24
 *       jint ..._killProcess(JNIEnv*, jclass, jint pid)                                    @12
 *       jint ..._killAllChildren(JNIEnv*, jclass, jint pid)                                @12
 *       jint ..._childProcessesCount(JNIEnv*, jclass, jint pid)                            @12
 *       jint ..._getPID(JNIEnv*, jclass, jobject process)                                  @12
 *       jint ..._getCPUUsage(JNIEnv*, jclass)                                               @8
 *     They are meant for the VM; native code uses the plain functions instead.
 *     A native caller that has a JNIEnv may declare them with these C
 *     signatures (JNICALL) and call them.
 *
 *   The process-information functions (Win32Ext_VersionOK, the Get... queries,
 *   GetCPUUsage) are declared in win32ext.h (runwarden/procinfo/ in the sources).
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

/* <jni.h> (the JDK's) was included before this header. */
#if defined(_JAVASOFT_JNI_H_)
#define RUNWARDEN_HAVE_JNI 1
#else
#define RUNWARDEN_HAVE_JNI 0
#endif

/* Visual C++ C++ code: the two Visual C++-named exports are declared with C++
 * linkage and reached under their own names. */
#if defined(__cplusplus) && defined(_MSC_VER)
#define RUNWARDEN_MSVC_CXX 1
#else
#define RUNWARDEN_MSVC_CXX 0
#endif

/* The creation result, laid out as the platform's PROCESS_INFORMATION. */
typedef struct RunwardenProcessInformation {
    void* hProcess;
    void* hThread;
    unsigned long dwProcessId;
    unsigned long dwThreadId;
} RunwardenProcessInformation;

#if !RUNWARDEN_HAVE_JNI
/* A field value, laid out as the JNI jvalue (8 bytes): the member for the
 * field's type holds the value, every other byte is 0. */
typedef union RunwardenJValue {
    unsigned char z;  /* jboolean */
    signed char b;    /* jbyte */
    unsigned short c; /* jchar */
    short s;          /* jshort */
    long i;           /* jint */
    long long j;      /* jlong */
    float f;          /* jfloat */
    double d;         /* jdouble */
    void* l;          /* jobject: a new local reference, owned by the caller */
} RunwardenJValue;
#endif

#if RUNWARDEN_MSVC_CXX
unsigned long RUNWARDEN_CDECL numberOfChilds(unsigned long pid);
#if RUNWARDEN_HAVE_JNI
jvalue RUNWARDEN_STDCALL JNU_GetFieldByName(JNIEnv* env, unsigned char* exceptionFlag, jobject obj, const char* name,
                                            const char* signature);
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Starts a process with a console of its own and no inherited handles.
 * application and commandLine are passed to the platform's CreateProcessA
 * (either may be null, not both); environment is a block of NUL-terminated
 * name=value entries closed by one more NUL, or null to inherit the caller's;
 * directory null starts the process in the caller's directory. Returns 0 on
 * success, and the caller then owns both handles in *result (close them);
 * otherwise the platform's error code, with *result not to be used. */
unsigned long RUNWARDEN_CDECL executeProcess(const char* application, char* commandLine, const char* environment,
                                             const char* directory, RunwardenProcessInformation* result);

/* Terminates a process with exit code 0: 0 when it could be opened (a failed
 * termination is not reported), -1 when it could not (no such process, access
 * denied). */
long RUNWARDEN_CDECL killProcess(unsigned long pid);

/* 1 when pid descends from the process that last ran killAllChild (before the
 * first killAllChild: from id 0, so every process whose ancestry ends), 0
 * otherwise. A walk that reaches a process that can no longer be queried counts
 * as descent. Needs Win32Ext_VersionOK to have selected a back end. */
long RUNWARDEN_CDECL isMyChild(unsigned long pid);

/* Terminates every descendant of pid that descends from the calling process,
 * deepest first; pid itself keeps running. A process created before the one
 * whose id it records as its parent's is not that one's child (its creator
 * ended and the id was reused) and is left running, with everything below it;
 * on the Toolhelp back end, which has no creation times, the recorded id
 * decides. -1 when pid is 0, has no children or they cannot be listed (also
 * before Win32Ext_VersionOK); otherwise 0, or the error code of the last child
 * of pid that could not be opened. */
long RUNWARDEN_CDECL killAllChild(unsigned long pid);

#if !RUNWARDEN_MSVC_CXX
/* Number of direct children of pid (0: every process), 0xFFFFFFFF on failure
 * (no back end selected, 1024 or more children). */
unsigned long RUNWARDEN_CDECL numberOfChilds(unsigned long pid);
#endif

/* Reads an instance field of obj (not null) by name and JNI type signature
 * ("I", "J", "Ljava/lang/String;"...) through env. The member for the
 * signature's type holds the value; a field that does not exist gives all zero
 * bytes and leaves the VM's NoSuchFieldError pending. *exceptionFlag (not null)
 * is set to 0 in every case. A signature that starts with none of BCDFIJLSZ[
 * ends the VM through FatalError. */
#if RUNWARDEN_HAVE_JNI
#if !RUNWARDEN_MSVC_CXX
jvalue RUNWARDEN_STDCALL JNU_GetFieldByName(JNIEnv* env, unsigned char* exceptionFlag, jobject obj, const char* name,
                                            const char* signature);
#endif
#else
RunwardenJValue RUNWARDEN_STDCALL JNU_GetFieldByName(void* env, unsigned char* exceptionFlag, void* obj,
                                                     const char* name, const char* signature);
#endif

#ifdef __cplusplus
}
#endif

#endif
