// The native getCPUUsage.
#include <jni.h>

#include "../procinfo/win32ext.h"

// Usage in percent (0..100), or -1 when GetCPUUsage failed.
extern "C" JNIEXPORT jint JNICALL Java_com_velmora_util_exec_ScriptProcessManager_getCPUUsage(JNIEnv*, jclass) {
    long usage = 0;
    return GetCPUUsage(&usage) == 0 ? static_cast<jint>(usage) : -1;
}
