// Shared pieces of the reliability runs under Wine (leak loops, tree-kill soak,
// concurrency), header-only.
//
//   size       fullSize, bySize: short by default (what `make test` runs, seconds
//              per test), full with RW_RELIABILITY=full (`make reliability`,
//              minutes). The same code runs in both; only the counts differ.
//   figures    figure: one line per figure, "[reliability] ...", flushed at once,
//              in a stable form that can be copied into the README.
//   modules    Runwarden, Dirlaunch, Varbridge: the shipped DLLs of this build
//              directory, loaded by path, with their exports resolved by the
//              names the Java VM binds. The figures are those of the modules a
//              VM loads, and the loader runs their DllMain (dirlaunch makes its
//              directory lock there).
//   usage      Usage / measureUsage: the process's open handles and memory,
//              from raw platform calls.
#pragma once

#include <windows.h>
#include <jni.h>

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "wineutil.h"

namespace reliability {

// ------------------------------------------------------------------ size

inline bool fullSize() {
    char value[16];
    const DWORD n = GetEnvironmentVariableA("RW_RELIABILITY", value, sizeof value);
    return n > 0 && n < sizeof value && lstrcmpiA(value, "full") == 0;
}

template <typename T>
T bySize(T shortValue, T fullValue) {
    return fullSize() ? fullValue : shortValue;
}

inline const char* sizeName() { return fullSize() ? "full" : "short"; }

// ------------------------------------------------------------------ figures

inline void figure(const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    printf("[reliability] %s\n", line);
    fflush(stdout);
}

// ------------------------------------------------------------------ modules

class Module {
public:
    explicit Module(const wchar_t* name)
        : module_(LoadLibraryW((wineutil::moduleDirectory() + L"\\" + name).c_str())), name_(name) {}
    // Never unloaded: a VM keeps a native library for the rest of its life, and
    // the figures are taken with the modules in place.
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    template <typename F>
    void bind(F* fn, const char* exportName) {
        *fn = module_ ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module_, exportName))) : nullptr;
        if (!*fn && missing_.empty())
            missing_ = wineutil::narrow(name_) + (module_ ? ": no export " : ": not loaded, ") + exportName;
    }
    // Empty when the module loaded and every export was found.
    const std::string& missing() const { return missing_; }

private:
    HMODULE module_;
    std::wstring name_;
    std::string missing_;
};

struct Runwarden {
    void(JNICALL* init)(JNIEnv*, jclass);
    jint(JNICALL* executeProcess)(JNIEnv*, jclass, jstring, jstring, jstring, jstring);
    jint(JNICALL* killProcess)(JNIEnv*, jclass, jint);
    jint(JNICALL* killAllChildren)(JNIEnv*, jclass, jint);
    jint(JNICALL* childProcessesCount)(JNIEnv*, jclass, jint);
    jint(JNICALL* getPID)(JNIEnv*, jclass, jobject);
    jint(JNICALL* getCPUUsageNative)(JNIEnv*, jclass);
    unsigned long(__cdecl* executeProcessPlain)(const char*, char*, const char*, const char*, PROCESS_INFORMATION*);
    long(__cdecl* killProcessPlain)(unsigned long);
    long(__cdecl* isMyChild)(unsigned long);
    long(__cdecl* killAllChild)(unsigned long);
    unsigned long(__cdecl* numberOfChilds)(unsigned long);
    using Status = unsigned long;
    unsigned long(WINAPI* versionOK)();
    Status(WINAPI* getProcessInformation)(unsigned long, void*);
    Status(WINAPI* getProcessModuleName)(unsigned long, wchar_t*, unsigned long);
    Status(WINAPI* getParentProcessId)(unsigned long, unsigned long*);
    Status(WINAPI* getChildProcesses)(unsigned long, unsigned long*, unsigned long, unsigned long*);
    Status(WINAPI* getNumberOfProcesses)(unsigned long*);
    Status(WINAPI* getProcessThreadHandles)(unsigned long, unsigned long*, unsigned long, unsigned long*);
    Status(WINAPI* getProcessHandle)(unsigned long, unsigned long*);
    Status(WINAPI* getProcessThreadIds)(unsigned long, unsigned long*, unsigned long, unsigned long*);
    Status(WINAPI* getProcessCommitCharge)(unsigned long, unsigned long*);
    Status(WINAPI* getProcessCreationTime)(unsigned long, SYSTEMTIME*);
    Status(WINAPI* getProcessUserTime)(unsigned long, unsigned long long*);
    Status(WINAPI* getProcessKernelTime)(unsigned long, unsigned long long*);
    Status(WINAPI* getProcessBasePriority)(unsigned long, unsigned long*);
    Status(WINAPI* getProcessID)(HANDLE, unsigned long*);
    Status(WINAPI* getCPUUsage)(long*);

    // Empty when runwarden.dll loaded with every export; otherwise what is missing.
    std::string load() {
        Module m(L"runwarden.dll");
        const std::string p = "_Java_com_velmora_util_exec_ScriptProcessManager_";
        m.bind(&init, (p + "init@8").c_str());
        m.bind(&executeProcess, (p + "executeProcess@24").c_str());
        m.bind(&killProcess, (p + "killProcess@12").c_str());
        m.bind(&killAllChildren, (p + "killAllChildren@12").c_str());
        m.bind(&childProcessesCount, (p + "childProcessesCount@12").c_str());
        m.bind(&getPID, (p + "getPID@12").c_str());
        m.bind(&getCPUUsageNative, (p + "getCPUUsage@8").c_str());
        m.bind(&executeProcessPlain, "executeProcess");
        m.bind(&killProcessPlain, "killProcess");
        m.bind(&isMyChild, "isMyChild");
        m.bind(&killAllChild, "killAllChild");
        m.bind(&numberOfChilds, "?numberOfChilds@@YAKK@Z");
        m.bind(&versionOK, "_Win32Ext_VersionOK@0");
        m.bind(&getProcessInformation, "_GetProcessInformation@8");
        m.bind(&getProcessModuleName, "_GetProcessModuleName@12");
        m.bind(&getParentProcessId, "_GetParentProcessId@8");
        m.bind(&getChildProcesses, "_GetChildProcesses@16");
        m.bind(&getNumberOfProcesses, "_GetNumberOfProcesses@4");
        m.bind(&getProcessThreadHandles, "_GetProcessThreadHandles@16");
        m.bind(&getProcessHandle, "_GetProcessHandle@8");
        m.bind(&getProcessThreadIds, "_GetProcessThreadIds@16");
        m.bind(&getProcessCommitCharge, "_GetProcessCommitCharge@8");
        m.bind(&getProcessCreationTime, "_GetProcessCreationTime@8");
        m.bind(&getProcessUserTime, "_GetProcessUserTime@8");
        m.bind(&getProcessKernelTime, "_GetProcessKernelTime@8");
        m.bind(&getProcessBasePriority, "_GetProcessBasePriority@8");
        m.bind(&getProcessID, "_GetProcessID@8");
        m.bind(&getCPUUsage, "_GetCPUUsage@4");
        return m.missing();
    }
};

struct Dirlaunch {
    jobject(JNICALL* createProcessIn)(JNIEnv*, jobject, jstring, jobjectArray, jobjectArray);

    std::string load() {
        Module m(L"dirlaunch.dll");
        m.bind(&createProcessIn, "_Java_com_velmora_util_exec_Executor_createProcessIn@20");
        return m.missing();
    }
};

struct Varbridge {
    jobjectArray(JNICALL* getEnvironments)(JNIEnv*, jclass);
    jstring(JNICALL* getEnvironment)(JNIEnv*, jclass, jstring);
    jboolean(JNICALL* setEnvironment)(JNIEnv*, jclass, jstring, jstring);
    jboolean(JNICALL* setEnvironment2)(JNIEnv*, jclass, jstring);

    std::string load() {
        Module m(L"varbridge.dll");
        const std::string p = "_Java_com_velmora_util_exec_Env_";
        m.bind(&getEnvironments, (p + "getEnvironments@8").c_str());
        m.bind(&getEnvironment, (p + "getEnvironment@12").c_str());
        m.bind(&setEnvironment, (p + "setEnvironment@16").c_str());
        m.bind(&setEnvironment2, (p + "setEnvironment2@12").c_str());
        return m.missing();
    }
};

// ------------------------------------------------------------------ usage

// What the process holds at one moment. Every figure comes from a raw platform
// call, independently of the libraries.
struct Usage {
    // Open handles, counted by probing handle values with GetHandleInformation
    // up to a bound far above the largest one found: GetProcessHandleCount
    // answers 0 under Wine.
    long handles = 0;
    // This process's entries in the system handle table (NtQuerySystemInformation
    // class 16), a second witness; -1 when the platform does not answer.
    long systemHandles = -1;
    // GetProcessHandleCount as the platform answers it; -1 when it fails.
    long handleCount = -1;
    // Private bytes from the VM counters (NtQueryInformationProcess class 3):
    // PrivateUsage, or PagefileUsage where the platform leaves that 0 (Wine fills
    // it with the resident anonymous memory).
    long long privateBytes = -1;
    // Bytes in busy blocks of every heap of the process (HeapWalk): exact, so
    // that a leak of a few bytes per call shows.
    long long heapBytes = -1;
};

namespace detail {

inline long handleCensus() {
    static DWORD bound = 0x4000;
    for (;;) {
        long count = 0;
        DWORD largest = 0;
        for (DWORD value = 4; value < bound; value += 4) {
            DWORD flags;
            if (GetHandleInformation(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(value)), &flags)) {
                ++count;
                largest = value;
            }
        }
        if (largest < bound / 4) return count;
        bound *= 4;  // handles reach far up: count again with room to spare
    }
}

inline long systemHandleEntries() {
    using QueryFn = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
    auto query = reinterpret_cast<QueryFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (!query) return -1;
    // Outside the heaps, so that the heap figure taken after it is undisturbed.
    for (SIZE_T size = 64 * 1024; size <= 64 * 1024 * 1024; size *= 2) {
        BYTE* buffer = static_cast<BYTE*>(VirtualAlloc(nullptr, size, MEM_COMMIT, PAGE_READWRITE));
        if (!buffer) return -1;
        ULONG returned = 0;
        const LONG status = query(16, buffer, static_cast<ULONG>(size), &returned);
        long mine = -1;
        if (status == 0) {
            // SYSTEM_HANDLE_INFORMATION: a count, then 16-byte entries whose first
            // field is the owning process id.
            ULONG count;
            memcpy(&count, buffer, 4);
            if (4 + ULONGLONG{count} * 16 <= size) {
                mine = 0;
                for (ULONG i = 0; i < count; ++i) {
                    ULONG owner;
                    memcpy(&owner, buffer + 4 + i * 16, 4);
                    if (owner == GetCurrentProcessId()) ++mine;
                }
            }
        }
        VirtualFree(buffer, 0, MEM_RELEASE);
        if (static_cast<ULONG>(status) != 0xC0000004) return mine;
    }
    return -1;
}

inline long long privateBytes() {
    using QueryFn = LONG(WINAPI*)(HANDLE, ULONG, void*, ULONG, ULONG*);
    auto query = reinterpret_cast<QueryFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
    // VM_COUNTERS_EX, 32-bit: eleven SIZE_T-sized fields, then PrivateUsage.
    ULONG counters[12] = {};
    if (!query || query(GetCurrentProcess(), 3, counters, sizeof counters, nullptr) != 0) return -1;
    const ULONG pagefileUsage = counters[9], privateUsage = counters[11];
    return privateUsage ? privateUsage : pagefileUsage;
}

inline long long heapBytes() {
    HANDLE heaps[256];
    const DWORD n = GetProcessHeaps(256, heaps);
    if (n == 0 || n > 256) return -1;
    long long busy = 0;
    for (DWORD i = 0; i < n; ++i) {
        if (!HeapLock(heaps[i])) return -1;
        PROCESS_HEAP_ENTRY entry;
        memset(&entry, 0, sizeof entry);
        while (HeapWalk(heaps[i], &entry))
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) busy += entry.cbData;
        HeapUnlock(heaps[i]);
    }
    return busy;
}

}  // namespace detail

// Takes the figures in an order that keeps each from disturbing the next: the
// heap walk last, after everything else has freed what it used.
inline Usage measureUsage() {
    Usage u;
    u.systemHandles = detail::systemHandleEntries();
    u.handles = detail::handleCensus();
    DWORD count = 0;
    u.handleCount = GetProcessHandleCount(GetCurrentProcess(), &count) ? static_cast<long>(count) : -1;
    u.privateBytes = detail::privateBytes();
    u.heapBytes = detail::heapBytes();
    return u;
}

}  // namespace reliability
