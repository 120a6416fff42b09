// Launch and kill: the natives init, executeProcess and killProcess of
// ScriptProcessManager and the plain exports behind them.
#include <jni.h>
#include <string.h>
#include <windows.h>

#include "../../platform/handle.h"
#include "../../platform/javatext.h"
#include "../procinfo/win32ext.h"
#include "natives.h"

namespace {

constexpr DWORD kProcessAllAccess = 0x1F0FFF;  // the classic mask, not the newer headers' 0x1FFFFF

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

// Returns the new process's id, or 0 when the process was not created. The four
// strings reach Windows as text (CreateProcessW), so any character works; a
// string holding U+0000, which no Windows text can, a VM that cannot supply a
// string (its exception stays pending) or a copy that cannot be allocated also
// gives 0, and nothing is launched.
JNIEXPORT jint JNICALL Java_com_velmora_util_exec_ScriptProcessManager_executeProcess(JNIEnv* env, jclass,
                                                                                     jstring application,
                                                                                     jstring commandLine,
                                                                                     jstring environment,
                                                                                     jstring directory) {
    // All four copies exist before the process is created, taken in argument order.
    rw::JavaText app(env, application);
    if (!app.usable()) return 0;
    rw::JavaText cmd(env, commandLine);
    if (!cmd.usable()) return 0;
    // The environment block: the string as one entry, its terminator and the block's.
    rw::JavaText block(env, environment, 2);
    if (!block.usable()) return 0;
    rw::JavaText dir(env, directory);
    if (!dir.usable()) return 0;

    STARTUPINFOW startup;
    GetStartupInfoW(&startup);
    const DWORD flags = CREATE_NEW_CONSOLE | (block.get() ? CREATE_UNICODE_ENVIRONMENT : 0);
    PROCESS_INFORMATION created = {};
    if (!CreateProcessW(app.get(), cmd.get(), nullptr, nullptr, FALSE, flags, block.get(), dir.get(), &startup,
                        &created)) {
        return 0;
    }
    // Both handles of the new process stay open for the rest of the VM's life, on
    // purpose: the Java side knows the process by its id only.
    return static_cast<jint>(created.dwProcessId);
}

JNIEXPORT jint JNICALL Java_com_velmora_util_exec_ScriptProcessManager_killProcess(JNIEnv*, jclass, jint pid) {
    return static_cast<jint>(killProcess(static_cast<unsigned long>(pid)));
}

}  // extern "C"
