// The natives of Env: the VM process's environment, as the shared C runtime
// (msvcrt.dll) holds it, so that every module using that runtime sees the same.
//
// Texts of any length up to the platform's limit are handled whole. An entry
// longer than kMaxEntryChars is refused (false) rather than handed to _putenv,
// which would accept and silently cut it. Null arguments give null (reads) or
// false (writes).
#include <jni.h>
#include <string.h>
#include <windows.h>

#include "../platform/crtenv.h"

namespace {

// The longest environment text Windows holds, in characters.
constexpr size_t kMaxEntryChars = 32767;

// The modified UTF-8 bytes of a Java string, released with the object.
class JavaChars {
public:
    JavaChars(JNIEnv* env, jstring s) : env_(env), s_(s), chars_(s ? env->GetStringUTFChars(s, nullptr) : nullptr) {}
    ~JavaChars() {
        if (chars_) env_->ReleaseStringUTFChars(s_, chars_);
    }
    JavaChars(const JavaChars&) = delete;
    JavaChars& operator=(const JavaChars&) = delete;
    const char* get() const { return chars_; }

private:
    JNIEnv* env_;
    jstring s_;
    const char* chars_;
};

jboolean put(const char* entry) {
    if (strlen(entry) > kMaxEntryChars) return JNI_FALSE;
    return _putenv(entry) == 0 ? JNI_TRUE : JNI_FALSE;
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(module);
    return TRUE;
}

// Every entry, in the runtime's table order. Each element's local reference is
// deleted once stored, so a large environment stays within the VM's local
// reference capacity. Entries added between the count and the copy are left
// out; entries lost in between leave null elements at the end.
JNIEXPORT jobjectArray JNICALL Java_com_velmora_util_exec_Env_getEnvironments(JNIEnv* env, jclass) {
    jsize n = 0;
    for (char** table = *__p__environ(); table && table[n]; ++n) {
    }
    jclass stringClass = env->FindClass("java/lang/String");
    if (!stringClass) return nullptr;
    jobjectArray result = env->NewObjectArray(n, stringClass, nullptr);
    env->DeleteLocalRef(stringClass);
    if (!result) return nullptr;
    char** table = *__p__environ();
    for (jsize i = 0; table && i < n && table[i]; ++i) {
        jstring entry = env->NewStringUTF(table[i]);
        if (!entry) return nullptr;  // the VM's exception is pending
        env->SetObjectArrayElement(result, i, entry);
        env->DeleteLocalRef(entry);
    }
    return result;
}

JNIEXPORT jstring JNICALL Java_com_velmora_util_exec_Env_getEnvironment(JNIEnv* env, jclass, jstring name) {
    JavaChars key(env, name);
    if (!key.get()) return nullptr;
    const char* value = getenv(key.get());
    return value ? env->NewStringUTF(value) : nullptr;
}

JNIEXPORT jboolean JNICALL Java_com_velmora_util_exec_Env_setEnvironment(JNIEnv* env, jclass, jstring name,
                                                                        jstring value) {
    JavaChars n(env, name);
    if (!n.get()) return JNI_FALSE;  // the VM's exception, if any, stays pending: ask it nothing more
    JavaChars v(env, value);
    if (!v.get()) return JNI_FALSE;
    const size_t nameLength = strlen(n.get());
    const size_t valueLength = strlen(v.get());
    if (nameLength + 1 + valueLength > kMaxEntryChars) return JNI_FALSE;
    char* entry = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, nameLength + valueLength + 2));
    if (!entry) return JNI_FALSE;
    memcpy(entry, n.get(), nameLength);
    entry[nameLength] = '=';
    memcpy(entry + nameLength + 1, v.get(), valueLength + 1);
    const jboolean accepted = put(entry);
    HeapFree(GetProcessHeap(), 0, entry);
    return accepted;
}

JNIEXPORT jboolean JNICALL Java_com_velmora_util_exec_Env_setEnvironment2(JNIEnv* env, jclass, jstring entry) {
    JavaChars text(env, entry);
    if (!text.get()) return JNI_FALSE;
    return put(text.get());
}

}  // extern "C"

#ifndef _WIN32
__attribute__((constructor)) static void attachOnLoad() { DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr); }
#endif
