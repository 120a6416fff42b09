// The JNI natives of the three libraries, as the Java VM finds them by name.
// The libraries export them without a header of their own (the VM needs none);
// tests that call them directly declare them from here. A test links only the
// library whose natives it calls.
#pragma once

#include <jni.h>

extern "C" {

// runwarden: com.velmora.util.exec.ScriptProcessManager
JNIEXPORT void JNICALL Java_com_velmora_util_exec_ScriptProcessManager_init(JNIEnv*, jclass);
JNIEXPORT jint JNICALL Java_com_velmora_util_exec_ScriptProcessManager_executeProcess(JNIEnv*, jclass, jstring,
                                                                                     jstring, jstring, jstring);
JNIEXPORT jint JNICALL Java_com_velmora_util_exec_ScriptProcessManager_killProcess(JNIEnv*, jclass, jint);
JNIEXPORT jint JNICALL Java_com_velmora_util_exec_ScriptProcessManager_killAllChildren(JNIEnv*, jclass, jint);
JNIEXPORT jint JNICALL Java_com_velmora_util_exec_ScriptProcessManager_childProcessesCount(JNIEnv*, jclass, jint);
JNIEXPORT jint JNICALL Java_com_velmora_util_exec_ScriptProcessManager_getPID(JNIEnv*, jclass, jobject);
JNIEXPORT jint JNICALL Java_com_velmora_util_exec_ScriptProcessManager_getCPUUsage(JNIEnv*, jclass);

// dirlaunch: com.velmora.util.exec.Executor
JNIEXPORT jobject JNICALL Java_com_velmora_util_exec_Executor_createProcessIn(JNIEnv*, jobject, jstring, jobjectArray,
                                                                             jobjectArray);

// varbridge: com.velmora.util.exec.Env
JNIEXPORT jobjectArray JNICALL Java_com_velmora_util_exec_Env_getEnvironments(JNIEnv*, jclass);
JNIEXPORT jstring JNICALL Java_com_velmora_util_exec_Env_getEnvironment(JNIEnv*, jclass, jstring);
JNIEXPORT jboolean JNICALL Java_com_velmora_util_exec_Env_setEnvironment(JNIEnv*, jclass, jstring, jstring);
JNIEXPORT jboolean JNICALL Java_com_velmora_util_exec_Env_setEnvironment2(JNIEnv*, jclass, jstring);

}  // extern "C"
