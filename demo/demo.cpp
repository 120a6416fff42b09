// A walk through the three DLLs under Wine, as a person would see them used.
//
// The demo loads runwarden.dll, dirlaunch.dll and varbridge.dll by name and
// calls their exports the way other native code and the Java VM do: the
// Win32Ext functions and plain helpers directly, the JNI natives through a
// small JNI host that stands in for the VM. The child programs it starts are
// the test helpers childproc.exe and treeproc.exe from the same directory.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "jnihost.h"

namespace {

// ------------------------------------------------------------ the DLLs' exports

using VersionOkFn = ULONG(WINAPI*)();
using PidOutFn = ULONG(WINAPI*)(DWORD, DWORD*);
using ListFn = ULONG(WINAPI*)(DWORD, DWORD*, DWORD, DWORD*);
using CountFn = ULONG(WINAPI*)(DWORD*);
using NameFn = ULONG(WINAPI*)(DWORD, WCHAR*, DWORD);
using TimeFn = ULONG(WINAPI*)(DWORD, SYSTEMTIME*);
using Time64Fn = ULONG(WINAPI*)(DWORD, ULONGLONG*);
using CpuFn = ULONG(WINAPI*)(LONG*);
using NumberOfChildsFn = ULONG(__cdecl*)(ULONG);
using KillAllChildFn = LONG(__cdecl*)(ULONG);
using KillProcessFn = LONG(__cdecl*)(ULONG);
using InitNative = void(JNICALL*)(JNIEnv*, jclass);
using ExecuteNative = jint(JNICALL*)(JNIEnv*, jclass, jstring, jstring, jstring, jstring);
using IntNative = jint(JNICALL*)(JNIEnv*, jclass, jint);
using CreateInNative = jobject(JNICALL*)(JNIEnv*, jobject, jstring, jobjectArray, jobjectArray);
using GetEnvNative = jstring(JNICALL*)(JNIEnv*, jclass, jstring);
using SetEnvNative = jboolean(JNICALL*)(JNIEnv*, jclass, jstring, jstring);

HMODULE load(const char* name) {
    HMODULE m = LoadLibraryA(name);
    if (!m) {
        printf("cannot load %s (error %lu)\n", name, GetLastError());
        ExitProcess(1);
    }
    return m;
}

template <typename Fn>
Fn entry(HMODULE m, const char* exportName) {
    FARPROC p = GetProcAddress(m, exportName);
    if (!p) {
        printf("missing export %s\n", exportName);
        ExitProcess(1);
    }
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(p));
}

struct Runwarden {
    HMODULE dll = load("runwarden.dll");
    VersionOkFn versionOk = entry<VersionOkFn>(dll, "_Win32Ext_VersionOK@0");
    PidOutFn parentOf = entry<PidOutFn>(dll, "_GetParentProcessId@8");
    ListFn children = entry<ListFn>(dll, "_GetChildProcesses@16");
    ListFn threads = entry<ListFn>(dll, "_GetProcessThreadIds@16");
    CountFn processCount = entry<CountFn>(dll, "_GetNumberOfProcesses@4");
    NameFn moduleName = entry<NameFn>(dll, "_GetProcessModuleName@12");
    PidOutFn priority = entry<PidOutFn>(dll, "_GetProcessBasePriority@8");
    PidOutFn commit = entry<PidOutFn>(dll, "_GetProcessCommitCharge@8");
    TimeFn created = entry<TimeFn>(dll, "_GetProcessCreationTime@8");
    Time64Fn userTime = entry<Time64Fn>(dll, "_GetProcessUserTime@8");
    Time64Fn kernelTime = entry<Time64Fn>(dll, "_GetProcessKernelTime@8");
    CpuFn cpuUsage = entry<CpuFn>(dll, "_GetCPUUsage@4");
    NumberOfChildsFn numberOfChilds = entry<NumberOfChildsFn>(dll, "?numberOfChilds@@YAKK@Z");
    KillProcessFn killProcess = entry<KillProcessFn>(dll, "killProcess");
    InitNative init = entry<InitNative>(dll, "_Java_com_velmora_util_exec_ScriptProcessManager_init@8");
    ExecuteNative execute =
        entry<ExecuteNative>(dll, "_Java_com_velmora_util_exec_ScriptProcessManager_executeProcess@24");
    IntNative killAllChildren =
        entry<IntNative>(dll, "_Java_com_velmora_util_exec_ScriptProcessManager_killAllChildren@12");
    IntNative childCount =
        entry<IntNative>(dll, "_Java_com_velmora_util_exec_ScriptProcessManager_childProcessesCount@12");
};

// ------------------------------------------------------------ small helpers

std::wstring exeDirectory() {
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring p(path, n);
    return p.substr(0, p.find_last_of(L'\\'));
}

std::string narrow(const std::wstring& w) {
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), &s[0], n, nullptr, nullptr);
    return s;
}

std::u16string u16(const std::wstring& w) { return std::u16string(w.begin(), w.end()); }

// Waits up to ten seconds for a file to appear.
bool waitForFile(const std::wstring& path) {
    for (int i = 0; i < 200; ++i) {
        if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
        Sleep(50);
    }
    return false;
}

// The child's report: UTF-16LE lines key=value.
std::vector<std::wstring> readReport(const std::wstring& path) {
    std::vector<std::wstring> lines;
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return lines;
    std::wstring text;
    wchar_t buf[4096];
    DWORD got = 0;
    while (ReadFile(f, buf, sizeof buf, &got, nullptr) && got) text.append(buf, got / sizeof(wchar_t));
    CloseHandle(f);
    size_t start = 0;
    for (size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

void clearDirectory(const std::wstring& dir) {
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileW((dir + L"\\" + found.cFileName).c_str());
    } while (FindNextFileW(find, &found));
    FindClose(find);
}

bool running(DWORD pid) {
    HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (!h) return false;
    bool alive = WaitForSingleObject(h, 0) == WAIT_TIMEOUT;
    CloseHandle(h);
    return alive;
}

void waitForExit(DWORD pid) {
    HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (h) {
        WaitForSingleObject(h, 10000);
        CloseHandle(h);
    }
}

std::string describe(ULONG status) {
    char b[48];
    switch (status) {
        case 1151: return "no-back-end";
        case 0xC0000001: return "0xC0000001";  // not found, or a value with no meaning here
        case 0xC000000D: return "0xC000000D";  // invalid parameter
        default: snprintf(b, sizeof b, "0x%lX", status); return b;
    }
}

void heading(const char* title) { printf("\n== %s\n", title); }

// ------------------------------------------------------------ the walk-through

// A query's answer, or why there is none.
std::string answer(ULONG status, const std::string& value) { return status == 0 ? value : describe(status); }

std::string hex(DWORD v) {
    char b[16];
    snprintf(b, sizeof b, "0x%lx", v);
    return b;
}

void processRow(Runwarden& rw, DWORD pid, int depth) {
    DWORD parent = 0, priority = 0, commit = 0, threadIds[64], threadCount = 0;
    WCHAR name[MAX_PATH] = {0};
    SYSTEMTIME t = {};
    ULONGLONG user = 0, kernel = 0;
    // Each query first, then its text: the out-parameter is read only after the call.
    const ULONG parentStatus = rw.parentOf(pid, &parent);
    const ULONG nameStatus = rw.moduleName(pid, name, MAX_PATH);
    const ULONG threadStatus = rw.threads(pid, threadIds, 64, &threadCount);
    const ULONG priorityStatus = rw.priority(pid, &priority);
    const ULONG commitStatus = rw.commit(pid, &commit);
    const ULONG createdStatus = rw.created(pid, &t);
    const ULONG userStatus = rw.userTime(pid, &user);
    const ULONG kernelStatus = rw.kernelTime(pid, &kernel);
    char created[32];
    snprintf(created, sizeof created, "%02u:%02u:%02u.%03u", t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
    printf("  %*s%-6lu parent %-6s %-14s threads %-3s priority %-12s commit %-6s created %s UTC  "
           "user %s ms  kernel %s ms\n",
           depth * 2, "", pid, answer(parentStatus, std::to_string(parent)).c_str(),
           answer(nameStatus, narrow(name)).c_str(), answer(threadStatus, std::to_string(threadCount)).c_str(),
           answer(priorityStatus, hex(priority)).c_str(), answer(commitStatus, std::to_string(commit)).c_str(),
           answer(createdStatus, created).c_str(), answer(userStatus, std::to_string(user / 10000)).c_str(),
           answer(kernelStatus, std::to_string(kernel / 10000)).c_str());
}

void processTable(Runwarden& rw, DWORD root, int depth = 0) {
    processRow(rw, root, depth);
    DWORD kids[1024], count = 0;
    if (rw.children(root, kids, 1024, &count) != 0) return;
    for (DWORD i = 0; i < count; ++i) processTable(rw, kids[i], depth + 1);
}

}  // namespace

int main() {
    setvbuf(stdout, nullptr, _IONBF, 0);
    const std::wstring here = exeDirectory();
    const std::wstring childproc = here + L"\\childproc.exe";
    const std::wstring treeproc = here + L"\\treeproc.exe";
    jnihost::JniHost vm;
    JNIEnv* env = vm.env();

    Runwarden rw;
    heading("runwarden: back end");
    rw.init(env, nullptr);
    DWORD total = 0;
    rw.processCount(&total);
    printf("  init selected the %s back end; %lu processes are running\n",
           rw.versionOk() ? "native (NT)" : "no", total);

    // A child with an environment and a directory of its own, as Java starts one.
    heading("runwarden: launch with its own environment and directory");
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring workDir = std::wstring(temp) + L"runwarden-demo";
    CreateDirectoryW(workDir.c_str(), nullptr);
    const std::wstring report = workDir + L"\\report.txt";
    DeleteFileW(report.c_str());
    const std::wstring cmd = L"\"" + childproc + L"\" report-wait \"" + report + L"\"";
    jint child = rw.execute(env, nullptr, nullptr, vm.newString(u16(cmd)),
                            vm.newString(u"GREETING=hello from the demo"), vm.newString(u16(workDir)));
    printf("  executeProcess gave process id %ld\n", static_cast<long>(child));
    if (child && waitForFile(report)) {
        printf("  the child reports:\n");
        for (const std::wstring& line : readReport(report)) {
            if (line.rfind(L"pid=", 0) == 0 || line.rfind(L"parent=", 0) == 0 || line.rfind(L"cwd=", 0) == 0 ||
                line.rfind(L"env=", 0) == 0) {
                printf("    %s\n", narrow(line).c_str());
            }
        }
    }
    printf("  killProcess(%ld) gave %ld\n", static_cast<long>(child), rw.killProcess(static_cast<ULONG>(child)));
    waitForExit(static_cast<DWORD>(child));
    printf("  the child is %s\n", running(static_cast<DWORD>(child)) ? "still running" : "gone");

    // A tree: the launched root, 2 children, 4 grandchildren.
    heading("runwarden: a process tree");
    const std::wstring ready = workDir + L"\\tree";
    CreateDirectoryW(ready.c_str(), nullptr);
    clearDirectory(ready);  // the nodes record themselves here; start from an empty one
    const std::wstring treeCmd = L"\"" + treeproc + L"\" 2 2 \"" + ready + L"\"";
    jint root = rw.execute(env, nullptr, nullptr, vm.newString(u16(treeCmd)), nullptr, nullptr);
    for (int i = 0; i < 200; ++i) {  // seven nodes record themselves when they run
        DWORD n = 0;
        WIN32_FIND_DATAW found;
        HANDLE find = FindFirstFileW((ready + L"\\*").c_str(), &found);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                if (found.cFileName[0] != L'.' && !wcschr(found.cFileName, L'.')) ++n;
            } while (FindNextFileW(find, &found));
            FindClose(find);
        }
        if (n >= 7) break;
        Sleep(50);
    }
    processTable(rw, static_cast<DWORD>(root));
    printf("  (a query that cannot answer shows its result code: under Wine every base priority reads 2,\n"
           "   which maps to no priority class (0xC0000001), and every commit charge reads 0)\n");
    printf("  childProcessesCount(%ld) = %ld, numberOfChilds(%ld) = %lu\n", static_cast<long>(root),
           static_cast<long>(rw.childCount(env, nullptr, root)), static_cast<long>(root),
           rw.numberOfChilds(static_cast<ULONG>(root)));

    heading("runwarden: tree kill");
    DWORD before[1024], beforeCount = 0;
    rw.children(static_cast<DWORD>(root), before, 1024, &beforeCount);
    printf("  killAllChildren(%ld) gave %ld\n", static_cast<long>(root),
           static_cast<long>(rw.killAllChildren(env, nullptr, root)));
    for (DWORD i = 0; i < beforeCount; ++i) waitForExit(before[i]);
    printf("  the launched root %ld is %s\n", static_cast<long>(root),
           running(static_cast<DWORD>(root)) ? "still running" : "gone");
    processTable(rw, static_cast<DWORD>(root));
    rw.killProcess(static_cast<ULONG>(root));
    waitForExit(static_cast<DWORD>(root));

    heading("runwarden: CPU usage");
    LONG idle = -1;
    rw.cpuUsage(&idle);
    printf("  while idle: %ld%%\n", idle);
    const std::wstring busyCmd = L"\"" + childproc + L"\" busy";
    jint busy = rw.execute(env, nullptr, nullptr, vm.newString(u16(busyCmd)), nullptr, nullptr);
    LONG loaded = -1;
    rw.cpuUsage(&loaded);
    printf("  while a busy child runs: %ld%%\n", loaded);
    rw.killProcess(static_cast<ULONG>(busy));
    waitForExit(static_cast<DWORD>(busy));

    heading("varbridge: the environment");
    HMODULE varbridge = load("varbridge.dll");
    auto setEnv = entry<SetEnvNative>(varbridge, "_Java_com_velmora_util_exec_Env_setEnvironment@16");
    auto getEnv = entry<GetEnvNative>(varbridge, "_Java_com_velmora_util_exec_Env_getEnvironment@12");
    // Texts cross as text: any character a Java string holds reaches Windows intact.
    jboolean set = setEnv(env, nullptr, vm.newString(u"GREETING"), vm.newString(u"Grüße, Жанна, 日本"));
    jstring back = getEnv(env, nullptr, vm.newString(u"GREETING"));
    printf("  setEnvironment(GREETING, Grüße, Жанна, 日本) gave %s; getEnvironment gives %s\n",
           set ? "true" : "false", back ? vm.utf8(back).c_str() : "null");
    // Another module's narrow getenv sees the same variable in the ANSI code page,
    // '?' where that code page has no character (shown here converted back for the terminal).
    const char* narrowView = getenv("GREETING");
    std::wstring asText;
    if (narrowView) {
        wchar_t w[256];
        const int n = MultiByteToWideChar(CP_ACP, 0, narrowView, -1, w, 256);
        if (n > 0) asText.assign(w, static_cast<size_t>(n - 1));
    }
    printf("  a module reading the narrow getenv (code page %u) sees %s\n", GetACP(),
           narrowView ? narrow(asText).c_str() : "(not set)");

    heading("dirlaunch: a process started in a chosen directory");
    HMODULE dirlaunch = load("dirlaunch.dll");
    auto createIn = entry<CreateInNative>(dirlaunch, "_Java_com_velmora_util_exec_Executor_createProcessIn@20");
    // The VM's process class, played here by a constructor that starts the program
    // in the current directory of the moment, as the Java runtime's does.
    DWORD started = 0;
    vm.defineClass("java/lang/Win32Process");
    vm.defineConstructor("java/lang/Win32Process", "([Ljava/lang/String;[Ljava/lang/String;)V",
                         [&](jobject, const std::vector<jvalue>& args) {
                             std::wstring line;
                             for (jobject item : vm.elements(static_cast<jobjectArray>(args[0].l))) {
                                 std::u16string t = vm.text(static_cast<jstring>(item));
                                 line += (line.empty() ? L"\"" : L" \"") + std::wstring(t.begin(), t.end()) + L"\"";
                             }
                             STARTUPINFOW si = {};
                             si.cb = sizeof si;
                             PROCESS_INFORMATION pi = {};
                             if (CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                                                &pi)) {
                                 started = pi.dwProcessId;
                                 CloseHandle(pi.hThread);
                                 CloseHandle(pi.hProcess);
                             }
                         });
    const std::wstring chosen = workDir + L"\\Données";
    CreateDirectoryW(chosen.c_str(), nullptr);
    const std::wstring report2 = workDir + L"\\report2.txt";
    DeleteFileW(report2.c_str());
    wchar_t cwdBefore[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, cwdBefore);
    jobject process = createIn(env, nullptr, vm.newString(u16(chosen)),
                               vm.newStringArray({u16(childproc), u"report", u16(report2)}), nullptr);
    wchar_t cwdAfter[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, cwdAfter);
    printf("  createProcessIn gave %s\n", process ? "a process object" : "null");
    if (process && waitForFile(report2)) {
        for (const std::wstring& line : readReport(report2)) {
            if (line.rfind(L"cwd=", 0) == 0) printf("  the child started in %s\n", narrow(line.substr(4)).c_str());
        }
    }
    printf("  the demo's own directory is %s (it was %s)\n", narrow(cwdAfter).c_str(), narrow(cwdBefore).c_str());
    if (started) waitForExit(started);
    printf("\ndone.\n");
    return 0;
}
