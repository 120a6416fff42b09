// JNI face of the stand-in's control API, for the Java tests: the natives of
// com.velmora.util.exec.testing.Standin. It shares the stand-in and runwarden
// with the libraries under test, so what it sets is what they see.
//
// Handles and process ids cross as Java ints (32-bit, as on the target).
// Launch texts cross as byte arrays holding exactly the bytes the platform
// received, or null where the library passed a null pointer.
#include <jni.h>
#include <stdint.h>
#include <string.h>
#include <windows.h>

#include <standin/control.h>

#include <string>
#include <vector>

#include "runwarden/natives/treekill.h"
#include "runwarden/procinfo/backend.h"

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
    standin::ProcessSpec spec;
    spec.parent = static_cast<DWORD>(parent);
    return static_cast<jint>(standin::addProcess(spec));
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

NATIVE(jboolean, setCurrentDirectory)(JNIEnv* env, jclass, jstring path) {
    return SetCurrentDirectoryA(utf(env, path).c_str()) != FALSE;
}

// --- environment (the runtime library's table) ---
NATIVE(void, setEnvironment)(JNIEnv* env, jclass, jobjectArray entries) {
    std::vector<std::string> table;
    const jsize n = env->GetArrayLength(entries);
    for (jsize i = 0; i < n; ++i) {
        jstring s = static_cast<jstring>(env->GetObjectArrayElement(entries, i));
        if (!s) return;  // the VM's exception is pending
        table.push_back(utf(env, s));
        env->DeleteLocalRef(s);
    }
    standin::setEnvironment(table);
}
