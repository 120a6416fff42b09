// The process id behind a Java process object, and the field reader it uses.
#include <jni.h>
#include <string.h>

#include "../procinfo/win32ext.h"
#include "natives.h"

extern "C" {

// Reads an instance field by name and JNI signature. The member for the
// field's type holds the value and every other byte is 0; a field that cannot
// be found gives all zero bytes with the VM's NoSuchFieldError pending.
// *exceptionFlag is set to 0 in every case.
jvalue JNICALL JNU_GetFieldByName(JNIEnv* env, unsigned char* exceptionFlag, jobject obj, const char* name,
                                  const char* signature) {
    jvalue result;
    memset(&result, 0, sizeof result);
    jclass cls = env->GetObjectClass(obj);
    jfieldID field = env->GetFieldID(cls, name, signature);
    if (field) {
        switch (signature[0]) {
            case 'B': result.b = env->GetByteField(obj, field); break;
            case 'C': result.c = env->GetCharField(obj, field); break;
            case 'D': result.d = env->GetDoubleField(obj, field); break;
            case 'F': result.f = env->GetFloatField(obj, field); break;
            case 'I': result.i = env->GetIntField(obj, field); break;
            case 'J': result.j = env->GetLongField(obj, field); break;
            case 'L':
            case '[': result.l = env->GetObjectField(obj, field); break;
            case 'S': result.s = env->GetShortField(obj, field); break;
            case 'Z': result.z = env->GetBooleanField(obj, field); break;
            default: env->FatalError("JNU_GetFieldByName: illegal signature");
        }
    }
    env->DeleteLocalRef(cls);
    *exceptionFlag = 0;
    return result;
}

// The id of the process whose handle the object's field "handle" holds, as an
// int or, failing that, a long. -1 for a null object, a zero handle or no native
// back end; 0 when the platform cannot query the handle.
JNIEXPORT jint JNICALL Java_com_velmora_util_exec_ScriptProcessManager_getPID(JNIEnv* env, jclass, jobject process) {
    if (!process) return -1;
    unsigned char flag;
    jvalue value = JNU_GetFieldByName(env, &flag, process, "handle", "I");
    unsigned long handle = static_cast<unsigned long>(value.i);
    if (handle == 0) {
        env->ExceptionClear();  // the int lookup's NoSuchFieldError, if any
        value = JNU_GetFieldByName(env, &flag, process, "handle", "J");
        handle = static_cast<unsigned long>(value.j & 0xFFFFFFFFull);
        if (handle == 0) return -1;
    }
    unsigned long id = 0;
    if (GetProcessID(reinterpret_cast<void*>(handle), &id) != 0) return -1;
    return static_cast<jint>(id);
}

}  // extern "C"
