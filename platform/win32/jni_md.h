/* Machine-dependent JNI types for 32-bit Windows, used with the JDK's own jni.h.
 * Natives use the standard calling convention (the callee removes its arguments).
 * JNIEXPORT is empty on purpose: each DLL's module-definition file is the one
 * list of what is exported. */
#ifndef RW_WIN32_JNI_MD_H
#define RW_WIN32_JNI_MD_H

#define JNIEXPORT
#define JNIIMPORT
#define JNICALL __stdcall

typedef long jint;
typedef long long jlong;
typedef signed char jbyte;

#endif
