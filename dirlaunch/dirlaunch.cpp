// createProcessIn: starts a Java process object with the VM process's current
// directory switched, for the length of the call, to the caller's directory.
#include <jni.h>
#include <stdarg.h>
#include <windows.h>

#include "../platform/javatext.h"

namespace {

// One lock for the whole process, held for every call: the current directory is
// process-wide. Created when the library loads, so two first calls cannot race.
CRITICAL_SECTION currentDirectoryLock;

class LockGuard {
public:
    explicit LockGuard(CRITICAL_SECTION* cs) : cs_(cs) { EnterCriticalSection(cs_); }
    ~LockGuard() { LeaveCriticalSection(cs_); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    CRITICAL_SECTION* cs_;
};

// The current directory, whole, in a heap buffer of UTF-16 text. A directory
// longer than MAX_PATH is saved in full, so that it can be restored exactly; on
// failure (the platform cannot report it, or no memory) the buffer is null.
class SavedDirectory {
public:
    SavedDirectory() {
        DWORD size = MAX_PATH;
        for (int attempt = 0; attempt < 4; ++attempt) {  // the directory may change between calls
            text_ = static_cast<WCHAR*>(HeapAlloc(GetProcessHeap(), 0, size * sizeof(WCHAR)));
            if (!text_) return;
            const DWORD n = GetCurrentDirectoryW(size, text_);
            if (n != 0 && n < size) return;
            HeapFree(GetProcessHeap(), 0, text_);
            text_ = nullptr;
            if (n == 0) return;
            size = n;  // the length it needs, terminator included
        }
    }
    ~SavedDirectory() {
        if (text_) HeapFree(GetProcessHeap(), 0, text_);
    }
    SavedDirectory(const SavedDirectory&) = delete;
    SavedDirectory& operator=(const SavedDirectory&) = delete;

    const WCHAR* text() const { return text_; }

private:
    WCHAR* text_ = nullptr;
};

jobject newJavaObject(JNIEnv* env, const char* className, const char* signature, ...) {
    jobject result = nullptr;
    jclass cls = env->FindClass(className);
    if (cls) {
        jmethodID constructor = env->GetMethodID(cls, "<init>", signature);
        if (constructor) {
            va_list args;
            va_start(args, signature);
            result = env->NewObjectV(cls, constructor, args);
            va_end(args);
        }
    }
    env->DeleteLocalRef(cls);
    return result;
}

// Raises className with message (null allowed). Any exception already pending is
// replaced, as ThrowNew would replace it; if the class cannot be found, the VM's
// own error stays pending.
void throwJavaException(JNIEnv* env, const char* className, const char* message) {
    if (env->ExceptionCheck()) env->ExceptionClear();
    jclass cls = env->FindClass(className);
    if (cls) env->ThrowNew(cls, message);
    env->DeleteLocalRef(cls);
}

void throwNullPointer(JNIEnv* env, const char* message) {
    throwJavaException(env, "java/lang/NullPointerException", message);
}

void throwIndexOutOfBounds(JNIEnv* env, const char* message) {
    throwJavaException(env, "java/lang/ArrayIndexOutOfBoundsException", message);
}

void throwIllegalAccess(JNIEnv* env, const char* message) {
    throwJavaException(env, "java/lang/IllegalAccessError", message);
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) InitializeCriticalSection(&currentDirectoryLock);
    if (reason == DLL_PROCESS_DETACH) DeleteCriticalSection(&currentDirectoryLock);
    return TRUE;
}

#ifndef _WIN32
// The host32 build has no loader that calls DllMain.
__attribute__((constructor)) static void attachOnLoad() { DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr); }
#endif

// The directory reaches Windows as text (SetCurrentDirectoryW), so any
// character works; a directory holding U+0000 cannot be made current and gives
// "Can't set new path." like any other directory that cannot.
JNIEXPORT jobject JNICALL Java_com_velmora_util_exec_Executor_createProcessIn(JNIEnv* env, jobject,
                                                                             jstring directory,
                                                                             jobjectArray command,
                                                                             jobjectArray environment) {
    LockGuard lock(&currentDirectoryLock);

    rw::JavaText path(env, directory);
    jobject result = nullptr;
    if (path.status() == rw::TextStatus::Null || path.status() == rw::TextStatus::VmFailure ||
        path.status() == rw::TextStatus::NoMemory) {
        // A VM that could not supply the characters has its own exception pending.
        if (!env->ExceptionCheck()) throwNullPointer(env, nullptr);
    } else if (!command) {
        throwNullPointer(env, nullptr);
    } else if (env->GetArrayLength(command) == 0) {
        throwIndexOutOfBounds(env, nullptr);
    } else {
        SavedDirectory saved;
        if (!saved.text()) {
            throwJavaException(env, "java/io/IOException", "Can't get current windows directory");
        } else if (!path.ok() || !SetCurrentDirectoryW(path.get())) {
            throwJavaException(env, "java/io/IOException", "Can't set new path.");
        } else {
            result = newJavaObject(env, "java/lang/Win32Process", "([Ljava/lang/String;[Ljava/lang/String;)V",
                                   command, environment);
            if (!SetCurrentDirectoryW(saved.text())) {
                // The new process, if any, goes on running; its object is dropped.
                env->DeleteLocalRef(result);
                result = nullptr;
                throwIllegalAccess(env, "Can't restore current windows directory.");
            }
        }
    }
    return result;
}

}  // extern "C"
