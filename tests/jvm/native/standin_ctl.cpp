// JNI face of the stand-in's control API, for the Java tests: the natives of
// com.velmora.util.exec.testing.Standin. It shares the stand-in and runwarden
// with the libraries under test, so what it sets is what they see.
//
// Handles and process ids cross as Java ints (32-bit, as on the target).
// Launch texts cross as byte arrays, or null where the library passed a null
// pointer: the bytes of a narrow launch, the UTF-8 of a wide launch's UTF-16
// texts, and the environment block's raw bytes in either case.
#include <jni.h>
#include <stdint.h>
#include <string.h>
#include <windows.h>

#include <standin/control.h>

#include <string>
#include <vector>

#include "runwarden/natives/treekill.h"
#include "runwarden/procinfo/backend.h"

// Last: it renames getenv, which the C++ headers above must not see.
#include <crtenv.h>

namespace {

// An access violation at a low, unmapped address. The address comes from a
// volatile so that the compiler cannot turn the store into a trap of its own.
volatile uintptr_t faultAddress = 16;

void accessViolation(DWORD) { *reinterpret_cast<volatile int*>(faultAddress) = 1; }

jbyteArray bytes(JNIEnv* env, const void* data, size_t n) {
    jbyteArray a = env->NewByteArray(static_cast<jsize>(n));
    if (a && n) env->SetByteArrayRegion(a, 0, static_cast<jsize>(n), static_cast<const jbyte*>(data));
    return a;
}

// The launch record at index i, or null (with IndexOutOfBoundsException pending).
const standin::LaunchRecord* launchAt(JNIEnv* env, jint i) {
    const auto& all = standin::launches();
    if (i < 0 || static_cast<size_t>(i) >= all.size()) {
        jclass cls = env->FindClass("java/lang/IndexOutOfBoundsException");
        if (cls) env->ThrowNew(cls, "no such launch");
        return nullptr;
    }
    return &all[static_cast<size_t>(i)];
}

jbyteArray text(JNIEnv* env, jint i, bool standin::LaunchRecord::*isNull, std::string standin::LaunchRecord::*value) {
    const standin::LaunchRecord* r = launchAt(env, i);
    if (!r || r->*isNull) return nullptr;
    const std::string& s = r->*value;
    return bytes(env, s.data(), s.size());
}

// The UTF-16 text of a Java string, zero-terminated; empty (no terminator) when
// the VM could not supply it, with its exception pending.
std::vector<WCHAR> wide(JNIEnv* env, jstring s) {
    const jchar* chars = env->GetStringChars(s, nullptr);
    if (!chars) return {};
    std::vector<WCHAR> out(chars, chars + env->GetStringLength(s));
    env->ReleaseStringChars(s, chars);
    out.push_back(0);
    return out;
}

void throwIllegalArgument(JNIEnv* env, const char* message) {
    jclass cls = env->FindClass("java/lang/IllegalArgumentException");
    if (cls) env->ThrowNew(cls, message);
}

std::string utf(JNIEnv* env, jstring s) {
    const char* chars = env->GetStringUTFChars(s, nullptr);
    if (!chars) return std::string();
    std::string out(chars);
    env->ReleaseStringUTFChars(s, chars);
    return out;
}

}  // namespace

#define NATIVE(result, name) extern "C" JNIEXPORT result JNICALL Java_com_velmora_util_exec_testing_Standin_##name

// The default model system, and runwarden as it is when freshly loaded: no back
// end selected, nothing bound, no caller recorded, no probe.
NATIVE(void, reset)(JNIEnv*, jclass) {
    standin::reset();
    rw::backendMode = rw::kBackendNone;
    rw::nativeServices = rw::NativeServices{};
    rw::toolhelpServices = rw::ToolhelpServices{};
    rw::callerProcessId = 0;
    rw::treeKillProbe = nullptr;
}

NATIVE(jint, backendMode)(JNIEnv*, jclass) { return static_cast<jint>(rw::backendMode); }
NATIVE(void, hideExport)(JNIEnv* env, jclass, jstring name) { standin::hideExport(utf(env, name)); }

// --- processes ---
NATIVE(jint, currentProcessId)(JNIEnv*, jclass) { return static_cast<jint>(standin::currentProcessId()); }

NATIVE(jint, addProcess)(JNIEnv*, jclass, jint parent) {
    standin::ProcessSpec desc;
    desc.parent = static_cast<DWORD>(parent);
    return static_cast<jint>(standin::addProcess(desc));
}

NATIVE(void, exitProcess)(JNIEnv*, jclass, jint pid, jint code) {
    standin::exitProcess(static_cast<DWORD>(pid), static_cast<DWORD>(code));
}

NATIVE(jboolean, alive)(JNIEnv*, jclass, jint pid) { return standin::alive(static_cast<DWORD>(pid)); }
NATIVE(jint, exitCode)(JNIEnv*, jclass, jint pid) { return static_cast<jint>(standin::exitCodeOf(static_cast<DWORD>(pid))); }

NATIVE(jintArray, terminations)(JNIEnv* env, jclass) {
    const std::vector<DWORD> ended = standin::terminations();
    jintArray a = env->NewIntArray(static_cast<jsize>(ended.size()));
    for (size_t i = 0; a && i < ended.size(); ++i) {
        const jint v = static_cast<jint>(ended[i]);
        env->SetIntArrayRegion(a, static_cast<jsize>(i), 1, &v);
    }
    return a;
}

// --- launches and handles ---
NATIVE(jint, launchCount)(JNIEnv*, jclass) { return static_cast<jint>(standin::launches().size()); }
NATIVE(void, failLaunches)(JNIEnv*, jclass, jint error) { standin::failLaunches(static_cast<DWORD>(error)); }

NATIVE(jbyteArray, launchApplication)(JNIEnv* env, jclass, jint i) {
    return text(env, i, &standin::LaunchRecord::appNull, &standin::LaunchRecord::app);
}
NATIVE(jbyteArray, launchCommandLine)(JNIEnv* env, jclass, jint i) {
    return text(env, i, &standin::LaunchRecord::cmdNull, &standin::LaunchRecord::cmd);
}
NATIVE(jbyteArray, launchDirectory)(JNIEnv* env, jclass, jint i) {
    return text(env, i, &standin::LaunchRecord::dirNull, &standin::LaunchRecord::dir);
}
// The environment block up to and including its closing terminator.
NATIVE(jbyteArray, launchEnvironmentBlock)(JNIEnv* env, jclass, jint i) {
    const standin::LaunchRecord* r = launchAt(env, i);
    if (!r || r->envNull) return nullptr;
    return bytes(env, r->envBlock.data(), r->envBlock.size());
}

NATIVE(jboolean, launchWide)(JNIEnv* env, jclass, jint i) {
    const standin::LaunchRecord* r = launchAt(env, i);
    return r && r->wide;
}
NATIVE(jint, launchFlags)(JNIEnv* env, jclass, jint i) {
    const standin::LaunchRecord* r = launchAt(env, i);
    return r ? static_cast<jint>(r->flags) : 0;
}
NATIVE(jboolean, launchInheritsHandles)(JNIEnv* env, jclass, jint i) {
    const standin::LaunchRecord* r = launchAt(env, i);
    return r && r->inherit;
}
NATIVE(jboolean, launchUsesOwnStartupInfo)(JNIEnv* env, jclass, jint i) {
    const standin::LaunchRecord* r = launchAt(env, i);
    return r && r->startupIsOwn;
}
NATIVE(jint, launchPid)(JNIEnv* env, jclass, jint i) {
    const standin::LaunchRecord* r = launchAt(env, i);
    return r ? static_cast<jint>(r->pid) : 0;
}
NATIVE(jint, launchProcessHandle)(JNIEnv* env, jclass, jint i) {
    const standin::LaunchRecord* r = launchAt(env, i);
    return r ? static_cast<jint>(reinterpret_cast<uintptr_t>(r->process)) : 0;
}
NATIVE(jint, launchThreadHandle)(JNIEnv* env, jclass, jint i) {
    const standin::LaunchRecord* r = launchAt(env, i);
    return r ? static_cast<jint>(reinterpret_cast<uintptr_t>(r->thread)) : 0;
}

NATIVE(jboolean, handleOpen)(JNIEnv*, jclass, jint h) {
    return standin::handleOpen(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(static_cast<uint32_t>(h))));
}
NATIVE(jboolean, closeHandle)(JNIEnv*, jclass, jint h) {
    return CloseHandle(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(static_cast<uint32_t>(h)))) != FALSE;
}

// --- tree kill ---
// While on, every tree kill raises an access violation once it has listed the
// children of the process it was given, before it handles any of them.
NATIVE(void, faultInTreeKill)(JNIEnv*, jclass, jboolean on) { rw::treeKillProbe = on ? accessViolation : nullptr; }

// --- CPU ---
NATIVE(void, setProcessors)(JNIEnv*, jclass, jint n) { standin::setProcessors(static_cast<unsigned>(n)); }
NATIVE(jint, sleeps)(JNIEnv*, jclass) { return static_cast<jint>(standin::sleeps()); }

// --- current directory (the host process's real one) ---
NATIVE(void, failGetCurrentDirectory)(JNIEnv*, jclass, jboolean fail) { standin::failGetCurrentDirectory(fail); }

// The set after afterCount more succeeds fails; a negative count stops failing.
NATIVE(void, failSetCurrentDirectory)(JNIEnv*, jclass, jint afterCount) {
    if (afterCount < 0) {
        standin::stopFailingSetCurrentDirectory();
    } else {
        standin::failSetCurrentDirectory(static_cast<unsigned>(afterCount));
    }
}

// Through the wide call, so that any directory name works whatever the code page.
NATIVE(jboolean, setCurrentDirectory)(JNIEnv* env, jclass, jstring path) {
    const std::vector<WCHAR> text = wide(env, path);
    return !text.empty() && SetCurrentDirectoryW(text.data()) != FALSE;
}

// --- code page and environment (the runtime library's tables) ---
NATIVE(void, setCodePage)(JNIEnv* env, jclass, jint cp) {
    if (cp != 1252 && cp != CP_UTF8) {
        throwIllegalArgument(env, "the stand-in has code pages 1252 and 65001");
        return;
    }
    standin::setCodePage(static_cast<UINT>(cp));
}

// The table as a process finds it when it starts: each entry in the ANSI code
// page's bytes, as Windows hands them to the runtime library. An entry that the
// code page cannot hold raises IllegalArgumentException and changes nothing.
NATIVE(void, setEnvironment)(JNIEnv* env, jclass, jobjectArray entries) {
    std::vector<std::string> table;
    const jsize n = env->GetArrayLength(entries);
    for (jsize i = 0; i < n; ++i) {
        jstring s = static_cast<jstring>(env->GetObjectArrayElement(entries, i));
        if (!s) {
            if (!env->ExceptionCheck()) throwIllegalArgument(env, "null entry");
            return;
        }
        const std::vector<WCHAR> text = wide(env, s);
        env->DeleteLocalRef(s);
        if (text.empty()) return;  // the VM's exception is pending
        const int length = static_cast<int>(text.size() - 1);
        std::string bytes;
        if (length > 0) {
            BOOL lost = FALSE;
            bytes.resize(static_cast<size_t>(WideCharToMultiByte(CP_ACP, 0, text.data(), length, nullptr, 0, nullptr, &lost)));
            WideCharToMultiByte(CP_ACP, 0, text.data(), length, &bytes[0], static_cast<int>(bytes.size()), nullptr, &lost);
            if (lost) {
                throwIllegalArgument(env, "the code page cannot hold this entry");
                return;
            }
        }
        table.push_back(bytes);
    }
    standin::setEnvironment(table);
}

// The runtime library's wide table: the process's environment as Windows and
// every module that reads it as text see it. The first wide call builds the
// table, as msvcrt's does.
NATIVE(jobjectArray, platformEnvironment)(JNIEnv* env, jclass) {
    static const WCHAR kAnyName[] = {'P', 'A', 'T', 'H', 0};
    _wgetenv(kAnyName);
    WCHAR** table = *__p__wenviron();
    jsize n = 0;
    while (table && table[n]) ++n;
    jclass stringClass = env->FindClass("java/lang/String");
    if (!stringClass) return nullptr;
    jobjectArray result = env->NewObjectArray(n, stringClass, nullptr);
    for (jsize i = 0; result && i < n; ++i) {
        jsize length = 0;
        while (table[i][length]) ++length;
        jstring entry = env->NewString(reinterpret_cast<const jchar*>(table[i]), length);
        if (!entry) return nullptr;
        env->SetObjectArrayElement(result, i, entry);
        env->DeleteLocalRef(entry);
    }
    return result;
}
