// Launch and kill: the natives init, executeProcess and killProcess of
// ScriptProcessManager and the plain exports behind them.
#include <jni.h>
#include <string.h>
#include <windows.h>

#include "../../platform/handle.h"
#include "../procinfo/win32ext.h"
#include "natives.h"

namespace {

constexpr DWORD kProcessAllAccess = 0x1F0FFF;  // the classic mask, not the newer headers' 0x1FFFFF

// A heap copy of a Java string's modified UTF-8 bytes with `terminators` NUL
// bytes appended. Null for a null string. *ok is false when the VM could not
// supply the bytes or the copy could not be allocated.
char* copyJavaString(JNIEnv* env, jstring s, int terminators, bool* ok) {
    if (!s) return nullptr;
    const jsize n = env->GetStringUTFLength(s);
    char* copy = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, static_cast<SIZE_T>(n) + terminators));
    const char* bytes = copy ? env->GetStringUTFChars(s, nullptr) : nullptr;
    if (!bytes) {
        if (copy) HeapFree(GetProcessHeap(), 0, copy);
        *ok = false;
        return nullptr;
    }
    memcpy(copy, bytes, static_cast<size_t>(n));
    memset(copy + n, 0, static_cast<size_t>(terminators));
    env->ReleaseStringUTFChars(s, bytes);
    return copy;
}

void freeCopy(char* p) {
    if (p) HeapFree(GetProcessHeap(), 0, p);
}

}  // namespace

extern "C" {

unsigned long executeProcess(const char* application, char* commandLine, const char* environment,
                             const char* directory, RunwardenProcessInformation* result) {
    STARTUPINFOA startup;
    GetStartupInfoA(&startup);
    const BOOL created = CreateProcessA(application, commandLine, nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE,
                                        const_cast<char*>(environment), directory, &startup,
                                        reinterpret_cast<PROCESS_INFORMATION*>(result));
    return created ? 0 : GetLastError();
}

long killProcess(unsigned long pid) {
    rw::UniqueHandle process(OpenProcess(kProcessAllAccess, TRUE, pid));
    if (!process) return -1;
    TerminateProcess(process.get(), 0);  // a failed termination is not reported
    return 0;
}

JNIEXPORT void JNICALL Java_com_velmora_util_exec_ScriptProcessManager_init(JNIEnv*, jclass) {
    Win32Ext_VersionOK();
}

// Returns the new process's id, or 0 when the process was not created. A VM that
// cannot supply a string's bytes (its exception stays pending) or a copy that
// cannot be allocated also gives 0, and nothing is launched.
JNIEXPORT jint JNICALL Java_com_velmora_util_exec_ScriptProcessManager_executeProcess(JNIEnv* env, jclass,
                                                                                     jstring application,
                                                                                     jstring commandLine,
                                                                                     jstring environment,
                                                                                     jstring directory) {
    bool ok = true;
    char* app = copyJavaString(env, application, 1, &ok);
    char* cmd = ok ? copyJavaString(env, commandLine, 1, &ok) : nullptr;
    // The environment block: the string as one entry, its NUL, and the block's closing NUL.
    char* block = ok ? copyJavaString(env, environment, 2, &ok) : nullptr;
    char* dir = ok ? copyJavaString(env, directory, 1, &ok) : nullptr;

    RunwardenProcessInformation created = {};
    const bool launched = ok && executeProcess(app, cmd, block, dir, &created) == 0;
    freeCopy(app);
    freeCopy(cmd);
    freeCopy(block);
    freeCopy(dir);
    // Both handles of the new process stay open for the rest of the VM's life, on purpose:
    // the Java side identifies the process by id and the handles keep that id from being reused.
    return launched ? static_cast<jint>(created.dwProcessId) : 0;
}

JNIEXPORT jint JNICALL Java_com_velmora_util_exec_ScriptProcessManager_killProcess(JNIEnv*, jclass, jint pid) {
    return static_cast<jint>(killProcess(static_cast<unsigned long>(pid)));
}

}  // extern "C"
