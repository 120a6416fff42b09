// Back-end selection: the NT native services where NTDLL has them (every NT
// system, and Wine), else the Toolhelp functions of KERNEL32 (the 9x family).
#include "backend.h"

namespace rw {

volatile LONG backendMode = kBackendNone;
NativeServices nativeServices = {};
ToolhelpServices toolhelpServices = {};

namespace {

// The module stays loaded for the life of the process: bound entry points point into it.
HMODULE moduleOf(const char* loadedName, const char* loadName) {
    HMODULE m = GetModuleHandleA(loadedName);
    return m ? m : LoadLibraryA(loadName);
}

template <typename Fn>
Fn lookup(HMODULE m, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(m, name)));
}

}  // namespace

// Records the entry points only when both are found, so a half-bound state is never used.
int bindNativeServices() {
    HMODULE ntdll = moduleOf("NTDLL.DLL", "NTDLL");
    if (!ntdll) return 0;
    auto qsi = lookup<NtQuerySystemInformationFn>(ntdll, "NtQuerySystemInformation");
    if (!qsi) return 0;
    auto qip = lookup<NtQueryInformationProcessFn>(ntdll, "NtQueryInformationProcess");
    if (!qip) return 0;
    nativeServices.queryInformationProcess = qip;
    nativeServices.querySystemInformation = qsi;
    return 1;
}

int bindToolhelpServices() {
    HMODULE kernel32 = moduleOf("KERNEL32.DLL", "KERNEL32");
    if (!kernel32) return 0;
    ToolhelpServices t;
    t.createSnapshot = lookup<CreateToolhelp32SnapshotFn>(kernel32, "CreateToolhelp32Snapshot");
    t.process32First = lookup<ProcessWalkFn>(kernel32, "Process32First");
    t.process32Next = lookup<ProcessWalkFn>(kernel32, "Process32Next");
    t.thread32First = lookup<ThreadWalkFn>(kernel32, "Thread32First");
    t.thread32Next = lookup<ThreadWalkFn>(kernel32, "Thread32Next");
    if (!t.createSnapshot || !t.process32First || !t.process32Next || !t.thread32First || !t.thread32Next) return 0;
    toolhelpServices = t;
    return 1;
}

}  // namespace rw

using namespace rw;

// A failed version query leads straight to "none": the Toolhelp back end is for
// the 9x family, and a system that cannot even report its version is not one we
// can vouch for. The NT services are still preferred whenever they are present.
extern "C" ULONG WINAPI Win32Ext_VersionOK(void) {
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;  // 148
    const BOOL versionKnown = GetVersionExA(&version);

    if ((nativeServices.querySystemInformation && nativeServices.queryInformationProcess) ||
        bindNativeServices()) {
        backendMode = kBackendNative;
        return 1;
    }
    if (versionKnown == 1 && (toolhelpServices.createSnapshot != nullptr || bindToolhelpServices())) {
        backendMode = kBackendToolhelp;
        return 1;
    }
    backendMode = kBackendNone;
    return 0;
}
