// The natives of Env: the VM process's environment, as the shared C runtime
// (msvcrt.dll) holds it, so that every module using that runtime sees the same.
//
// Texts cross as text: names, values and entries are handed to msvcrt's wide
// functions (_wgetenv, _wputenv, the wide table) as the Java string's UTF-16,
// and come back through NewString, so every character survives the round trip.
// msvcrt keeps its narrow table in step, converted through the ANSI code page:
// a module that reads the narrow getenv sees the same variables, with '?' for a
// character that code page cannot hold.
//
// Texts of any length up to the platform's limit are handled whole. An entry
// longer than kMaxEntryChars is refused (false) rather than handed to _wputenv,
// which would accept and silently cut it. Null arguments, and texts holding
// U+0000 (which no Windows text can), give null (reads) or false (writes).
#include <jni.h>
#include <string.h>
#include <windows.h>

#include "../platform/crtenv.h"
#include "../platform/javatext.h"

namespace {

// The longest environment text Windows holds, in characters.
constexpr size_t kMaxEntryChars = 32767;

jboolean put(const WCHAR* entry, size_t length) {
    if (length > kMaxEntryChars) return JNI_FALSE;
    return _wputenv(entry) == 0 ? JNI_TRUE : JNI_FALSE;
}

// msvcrt builds its wide table on the first wide call; until then it is null.
WCHAR** wideTable() {
    static const WCHAR kAnyName[] = {'P', 'A', 'T', 'H', 0};
    _wgetenv(kAnyName);
    return *__p__wenviron();
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
    for (WCHAR** table = wideTable(); table && table[n]; ++n) {
    }
    jclass stringClass = env->FindClass("java/lang/String");
    if (!stringClass) return nullptr;
    jobjectArray result = env->NewObjectArray(n, stringClass, nullptr);
    env->DeleteLocalRef(stringClass);
    if (!result) return nullptr;
    WCHAR** table = wideTable();  // fetched afresh: a change of the environment may move it
    for (jsize i = 0; table && i < n && table[i]; ++i) {
        jstring entry = rw::newJavaString(env, table[i]);
        if (!entry) return nullptr;  // the VM's exception is pending
        env->SetObjectArrayElement(result, i, entry);
        env->DeleteLocalRef(entry);
    }
    return result;
}

JNIEXPORT jstring JNICALL Java_com_velmora_util_exec_Env_getEnvironment(JNIEnv* env, jclass, jstring name) {
    rw::JavaText key(env, name);
    if (!key.ok()) return nullptr;
    const WCHAR* value = _wgetenv(key.get());
    return value ? rw::newJavaString(env, value) : nullptr;
}

JNIEXPORT jboolean JNICALL Java_com_velmora_util_exec_Env_setEnvironment(JNIEnv* env, jclass, jstring name,
                                                                        jstring value) {
    rw::JavaText n(env, name);
    if (!n.ok()) return JNI_FALSE;  // a VM failure leaves its exception pending: ask nothing more
    rw::JavaText v(env, value);
    if (!v.ok()) return JNI_FALSE;
    const size_t length = n.length() + 1 + v.length();
    if (length > kMaxEntryChars) return JNI_FALSE;
    WCHAR* entry = static_cast<WCHAR*>(HeapAlloc(GetProcessHeap(), 0, (length + 1) * sizeof(WCHAR)));
    if (!entry) return JNI_FALSE;
    memcpy(entry, n.get(), n.length() * sizeof(WCHAR));
    entry[n.length()] = '=';
    memcpy(entry + n.length() + 1, v.get(), (v.length() + 1) * sizeof(WCHAR));
    const jboolean accepted = put(entry, length);
    HeapFree(GetProcessHeap(), 0, entry);
    return accepted;
}

JNIEXPORT jboolean JNICALL Java_com_velmora_util_exec_Env_setEnvironment2(JNIEnv* env, jclass, jstring entry) {
    rw::JavaText text(env, entry);
    if (!text.ok()) return JNI_FALSE;
    return put(text.get(), text.length());
}

}  // extern "C"

#ifndef _WIN32
__attribute__((constructor)) static void attachOnLoad() { DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr); }
#endif
