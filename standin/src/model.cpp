// The stand-in's model system: processes, handles, launches, modules, heap,
// time, locks and the current directory.
#include "model.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>

namespace standin {

namespace {

thread_local DWORD tlsLastError = 0;

const char kOwnTitle[] = "stand-in console";

STARTUPINFOA ownStartup() {
    STARTUPINFOA si;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    si.lpTitle = const_cast<char*>(kOwnTitle);
    si.dwFlags = 0x101;
    si.wShowWindow = 1;
    si.hStdInput = reinterpret_cast<HANDLE>(0x10);
    si.hStdOutput = reinterpret_cast<HANDLE>(0x14);
    si.hStdError = reinterpret_cast<HANDLE>(0x18);
    return si;
}

HMODULE const kNtdll = reinterpret_cast<HMODULE>(0x7000);
HMODULE const kKernel32 = reinterpret_cast<HMODULE>(0x7100);

std::string baseModuleName(const char* name) {
    std::string s(name ? name : "");
    for (auto& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (s.size() > 4 && s.compare(s.size() - 4, 4, ".dll") == 0) s.resize(s.size() - 4);
    return s;
}

void defaultSystem(Model& m) {
    m.processes.clear();
    ProcessSpec idle;
    idle.pid = 0;
    idle.parent = 0;
    idle.threads = {0};
    idle.image = "";
    idle.basePriority = 0;
    m.processes[0].desc = idle;
    ProcessSpec system;
    system.pid = 4;
    system.parent = 0;
    system.threads = {8};
    system.image = "System";
    m.processes[4].desc = system;
    ProcessSpec self;
    self.pid = 1000;
    self.parent = 4;
    self.threads = {1004, 1008};
    self.image = "java.exe";
    self.exePath = "C:\\Program Files\\Java\\bin\\java.exe";
    m.processes[1000].desc = self;
    m.currentPid = 1000;
}

}  // namespace

Model& model() {
    static Model* m = [] {
        auto* fresh = new Model;
        defaultSystem(*fresh);
        return fresh;
    }();
    return *m;
}

Process* findProcess(DWORD pid) {
    auto& m = model();
    auto it = m.processes.find(pid);
    return it == m.processes.end() ? nullptr : &it->second;
}

HANDLE newHandle(const HandleObject& obj) {
    auto& m = model();
    unsigned long value = m.nextHandle;
    m.nextHandle += 4;
    m.handles.emplace(value, obj);
    return reinterpret_cast<HANDLE>(value);
}

HandleObject* findHandle(HANDLE h) {
    auto& m = model();
    auto it = m.handles.find(reinterpret_cast<unsigned long>(h));
    return it == m.handles.end() ? nullptr : &it->second;
}

// --- control API ---

void reset() {
    auto& m = model();
    std::lock_guard<std::recursive_mutex> g(m.lock);
    Model fresh;
    // std::recursive_mutex is not movable: reset field by field through a fresh copy.
    m.processes.clear();
    defaultSystem(m);
    m.nextPid = fresh.nextPid;
    m.nextTid = fresh.nextTid;
    m.terminations.clear();
    m.handles.clear();
    m.nextHandle = fresh.nextHandle;
    m.launches.clear();
    m.launchError = 0;
    m.opens.clear();
    m.terminateFails = false;
    m.openHook = nullptr;
    m.hiddenExports.clear();
    m.hiddenModules.clear();
    m.versionFails = false;
    m.platformId = VER_PLATFORM_WIN32_NT;
    m.moduleLookups = m.exportLookups = 0;
    m.layout = ThreadLayout::AfterIoCounters;
    m.ntScript.clear();
    m.ntCalls.clear();
    m.processors = fresh.processors;
    m.timeOfDay = m.idle = 0;
    m.allocFailCountdown = -1;
    m.allocations = 0;
    m.lastAllocationSize = 0;
    m.liveAllocations = 0;
    m.toolhelpFails = false;
    m.toolhelpSizes.clear();
    m.toolhelpSnapshots = 0;
    m.sleeps = 0;
    m.slept = 0;
    m.getDirFails = false;
    m.setDirFailCountdown = -1;
    m.codePage = 1252;
}

DWORD currentProcessId() { return model().currentPid; }

void setCurrentProcessId(DWORD pid) {
    std::lock_guard<std::recursive_mutex> g(model().lock);
    model().currentPid = pid;
}

DWORD addProcess(const ProcessSpec& desc) {
    auto& m = model();
    std::lock_guard<std::recursive_mutex> g(m.lock);
    ProcessSpec s = desc;
    if (s.pid == 0) {
        while (m.processes.count(m.nextPid)) m.nextPid += 4;
        s.pid = m.nextPid;
        m.nextPid += 4;
    }
    if (s.threads.empty() && !s.noThreads) {
        s.threads.push_back(m.nextTid);
        m.nextTid += 4;
    }
    if (s.noThreads) s.threads.clear();
    Process p;
    p.desc = s;
    m.processes[s.pid] = p;
    return s.pid;
}

void removeProcess(DWORD pid) {
    std::lock_guard<std::recursive_mutex> g(model().lock);
    model().processes.erase(pid);
}

void exitProcess(DWORD pid, DWORD code) {
    std::lock_guard<std::recursive_mutex> g(model().lock);
    if (Process* p = findProcess(pid)) {
        p->alive = false;
        p->listed = false;
        p->exitCode = code;
    }
}

bool alive(DWORD pid) {
    std::lock_guard<std::recursive_mutex> g(model().lock);
    Process* p = findProcess(pid);
    return p && p->alive;
}

DWORD exitCodeOf(DWORD pid) {
    std::lock_guard<std::recursive_mutex> g(model().lock);
    Process* p = findProcess(pid);
    return p ? p->exitCode : 0;
}

std::vector<ProcessState> processes() {
    std::lock_guard<std::recursive_mutex> g(model().lock);
    std::vector<ProcessState> out;
    for (auto& [pid, p] : model().processes) out.push_back({pid, p.desc.parent, p.alive, p.exitCode});
    return out;
}

std::vector<DWORD> terminations() {
    std::lock_guard<std::recursive_mutex> g(model().lock);
    return model().terminations;
}

const std::vector<LaunchRecord>& launches() { return model().launches; }
void failLaunches(DWORD error) { model().launchError = error; }
const std::vector<OpenRecord>& opens() { return model().opens; }
void failTerminate(bool fail) { model().terminateFails = fail; }
void onOpen(std::function<void(DWORD)> hook) { model().openHook = std::move(hook); }

bool handleOpen(HANDLE h) {
    std::lock_guard<std::recursive_mutex> g(model().lock);
    return findHandle(h) != nullptr;
}

size_t openHandleCount() {
    std::lock_guard<std::recursive_mutex> g(model().lock);
    return model().handles.size();
}

void hideExport(const std::string& name) { model().hiddenExports.push_back(name); }
void hideModule(const std::string& name) { model().hiddenModules.push_back(baseModuleName(name.c_str())); }
void failVersionQuery(bool fail) { model().versionFails = fail; }
void setPlatformId(DWORD id) { model().platformId = id; }
unsigned moduleLookups() { return model().moduleLookups; }
unsigned exportLookups() { return model().exportLookups; }

void failAllocations(unsigned afterCount) { model().allocFailCountdown = afterCount; }
void stopFailingAllocations() { model().allocFailCountdown = -1; }
unsigned allocations() { return model().allocations; }
size_t lastAllocationSize() { return model().lastAllocationSize; }
long liveAllocations() { return model().liveAllocations; }

unsigned sleeps() { return model().sleeps; }
DWORD sleptMilliseconds() { return model().slept; }
void failGetCurrentDirectory(bool fail) { model().getDirFails = fail; }
void failSetCurrentDirectory(unsigned afterCount) { model().setDirFailCountdown = afterCount; }
void stopFailingSetCurrentDirectory() { model().setDirFailCountdown = -1; }
void setCodePage(UINT cp) { model().codePage = cp; }

// Symbols that GetProcAddress hands out; defined in ntservice.cpp.
FARPROC ntdllExport(const char* name);
FARPROC kernel32Export(const char* name);

}  // namespace standin

using namespace standin;

extern "C" {

// --- processes ---

void WINAPI GetStartupInfoA(LPSTARTUPINFOA info) { *info = ownStartup(); }

void WINAPI GetStartupInfoW(LPSTARTUPINFOW info) {
    STARTUPINFOA a = ownStartup();
    static WCHAR title[sizeof kOwnTitle];
    for (size_t i = 0; i < sizeof kOwnTitle; ++i) title[i] = static_cast<unsigned char>(kOwnTitle[i]);
    memset(info, 0, sizeof *info);
    info->cb = sizeof *info;
    info->lpTitle = title;
    info->dwFlags = a.dwFlags;
    info->wShowWindow = a.wShowWindow;
    info->hStdInput = a.hStdInput;
    info->hStdOutput = a.hStdOutput;
    info->hStdError = a.hStdError;
}

namespace {

std::vector<unsigned char> narrowBlock(const void* env) {
    const unsigned char* p = static_cast<const unsigned char*>(env);
    size_t n = 0;
    while (!(p[n] == 0 && (n == 0 ? p[1] == 0 : p[n - 1] == 0))) ++n;
    // n is at a NUL that closes the block: the first byte of an empty block's pair,
    // or the NUL that follows an entry's terminator.
    size_t end = (n == 0) ? 2 : n + 1;
    return std::vector<unsigned char>(p, p + end);
}

std::vector<unsigned char> wideBlock(const void* env) {
    const WCHAR* p = static_cast<const WCHAR*>(env);
    size_t n = 0;
    while (!(p[n] == 0 && (n == 0 ? p[1] == 0 : p[n - 1] == 0))) ++n;
    size_t end = (n == 0) ? 2 : n + 1;
    const unsigned char* b = reinterpret_cast<const unsigned char*>(p);
    return std::vector<unsigned char>(b, b + end * sizeof(WCHAR));
}

std::string firstToken(const std::string& cmd) {
    size_t i = 0;
    while (i < cmd.size() && cmd[i] == ' ') ++i;
    if (i < cmd.size() && cmd[i] == '"') {
        size_t e = cmd.find('"', i + 1);
        return cmd.substr(i + 1, e == std::string::npos ? std::string::npos : e - i - 1);
    }
    size_t e = cmd.find(' ', i);
    return cmd.substr(i, e == std::string::npos ? std::string::npos : e - i);
}

std::string lastComponent(const std::string& path) {
    size_t s = path.find_last_of("\\/");
    return s == std::string::npos ? path : path.substr(s + 1);
}

BOOL finishLaunch(LaunchRecord& rec, LPPROCESS_INFORMATION pi) {
    auto& m = model();
    if (m.launchError != 0) {
        m.launches.push_back(rec);
        SetLastError(m.launchError);
        return FALSE;
    }
    ProcessSpec desc;
    desc.parent = m.currentPid;
    desc.exePath = !rec.appNull ? rec.app : firstToken(rec.cmd);
    desc.image = lastComponent(desc.exePath);
    DWORD pid = addProcess(desc);
    DWORD tid = findProcess(pid)->desc.threads.front();
    HandleObject ph{HandleKind::Process, pid};
    HandleObject th{HandleKind::Thread, tid};
    pi->hProcess = newHandle(ph);
    pi->hThread = newHandle(th);
    pi->dwProcessId = pid;
    pi->dwThreadId = tid;
    rec.pid = pid;
    rec.process = pi->hProcess;
    rec.thread = pi->hThread;
    m.launches.push_back(rec);
    return TRUE;
}

}  // namespace

BOOL WINAPI CreateProcessA(LPCSTR app, LPSTR cmd, LPSECURITY_ATTRIBUTES pa, LPSECURITY_ATTRIBUTES ta,
                           BOOL inherit, DWORD flags, LPVOID env, LPCSTR dir, LPSTARTUPINFOA si,
                           LPPROCESS_INFORMATION pi) {
    std::lock_guard<std::recursive_mutex> g(model().lock);
    LaunchRecord rec;
    rec.wide = false;
    if ((rec.appNull = app == nullptr) == false) rec.app = app;
    if ((rec.cmdNull = cmd == nullptr) == false) rec.cmd = cmd;
    if ((rec.dirNull = dir == nullptr) == false) rec.dir = dir;
    if ((rec.envNull = env == nullptr) == false) {
        rec.envBlock = (flags & CREATE_UNICODE_ENVIRONMENT) ? wideBlock(env) : narrowBlock(env);
    }
    rec.inherit = inherit;
    rec.flags = flags;
    STARTUPINFOA own = ownStartup();
    rec.startupIsOwn = si != nullptr && memcmp(si, &own, sizeof own) == 0;
    rec.psaNull = pa == nullptr;
    rec.tsaNull = ta == nullptr;
    return finishLaunch(rec, pi);
}

BOOL WINAPI CreateProcessW(LPCWSTR app, LPWSTR cmd, LPSECURITY_ATTRIBUTES pa, LPSECURITY_ATTRIBUTES ta,
                           BOOL inherit, DWORD flags, LPVOID env, LPCWSTR dir, LPSTARTUPINFOW si,
                           LPPROCESS_INFORMATION pi) {
    std::lock_guard<std::recursive_mutex> g(model().lock);
    auto text = [](LPCWSTR s) {
        size_t n = 0;
        while (s[n]) ++n;
        return utf8(s, n);
    };
    LaunchRecord rec;
    rec.wide = true;
    if ((rec.appNull = app == nullptr) == false) rec.app = text(app);
    if ((rec.cmdNull = cmd == nullptr) == false) rec.cmd = text(cmd);
    if ((rec.dirNull = dir == nullptr) == false) rec.dir = text(dir);
    if ((rec.envNull = env == nullptr) == false) {
        rec.envBlock = (flags & CREATE_UNICODE_ENVIRONMENT) ? wideBlock(env) : narrowBlock(env);
    }
    rec.inherit = inherit;
    rec.flags = flags;
    STARTUPINFOW own;
    GetStartupInfoW(&own);
    rec.startupIsOwn = si != nullptr && memcmp(si, &own, sizeof own) == 0;
    rec.psaNull = pa == nullptr;
    rec.tsaNull = ta == nullptr;
    return finishLaunch(rec, pi);
}

HANDLE WINAPI OpenProcess(DWORD access, BOOL inherit, DWORD pid) {
    auto& m = model();
    std::unique_lock<std::recursive_mutex> g(m.lock);
    auto hook = m.openHook;
    g.unlock();
    if (hook) hook(pid);
    g.lock();
    HANDLE result = nullptr;
    Process* p = findProcess(pid);
    if (p == nullptr || pid == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
    } else {
        result = newHandle(HandleObject{HandleKind::Process, pid});
    }
    m.opens.push_back(OpenRecord{access, inherit, pid, result});
    return result;
}

BOOL WINAPI TerminateProcess(HANDLE process, UINT exitCode) {
    auto& m = model();
    std::lock_guard<std::recursive_mutex> g(m.lock);
    HandleObject* h = findHandle(process);
    if (h == nullptr || h->kind != HandleKind::Process) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (m.terminateFails) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    Process* p = findProcess(h->id);
    if (p && p->alive) {
        p->alive = false;
        p->listed = false;
        p->exitCode = exitCode;
        m.terminations.push_back(h->id);
    }
    return TRUE;
}

BOOL WINAPI GetExitCodeProcess(HANDLE process, LPDWORD exitCode) {
    std::lock_guard<std::recursive_mutex> g(model().lock);
    HandleObject* h = findHandle(process);
    Process* p = h && h->kind == HandleKind::Process ? findProcess(h->id) : nullptr;
    if (!p) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *exitCode = p->exitCode;
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE h, DWORD) {
    std::lock_guard<std::recursive_mutex> g(model().lock);
    HandleObject* o = findHandle(h);
    Process* p = o && o->kind == HandleKind::Process ? findProcess(o->id) : nullptr;
    if (!p) return WAIT_FAILED;
    return p->alive ? WAIT_TIMEOUT : WAIT_OBJECT_0;
}

BOOL WINAPI CloseHandle(HANDLE h) {
    std::lock_guard<std::recursive_mutex> g(model().lock);
    if (model().handles.erase(reinterpret_cast<unsigned long>(h)) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

DWORD WINAPI GetCurrentProcessId(void) { return model().currentPid; }
HANDLE WINAPI GetCurrentProcess(void) { return reinterpret_cast<HANDLE>(-1); }
DWORD WINAPI GetLastError(void) { return tlsLastError; }
void WINAPI SetLastError(DWORD code) { tlsLastError = code; }

void WINAPI Sleep(DWORD ms) {
    std::lock_guard<std::recursive_mutex> g(model().lock);
    model().sleeps++;
    model().slept += ms;
}

// --- version and modules ---

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info) {
    auto& m = model();
    if (m.versionFails || info == nullptr || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    info->dwMajorVersion = 5;
    info->dwMinorVersion = 1;
    info->dwBuildNumber = 2600;
    info->dwPlatformId = m.platformId;
    info->szCSDVersion[0] = 0;
    return TRUE;
}

static HMODULE lookupModule(LPCSTR name) {
    auto& m = model();
    m.moduleLookups++;
    std::string base = baseModuleName(name);
    if (std::find(m.hiddenModules.begin(), m.hiddenModules.end(), base) != m.hiddenModules.end()) {
        return nullptr;
    }
    if (base == "ntdll") return kNtdll;
    if (base == "kernel32") return kKernel32;
    return nullptr;
}

HMODULE WINAPI GetModuleHandleA(LPCSTR name) {
    std::lock_guard<std::recursive_mutex> g(model().lock);
    return lookupModule(name);
}

HMODULE WINAPI LoadLibraryA(LPCSTR name) {
    std::lock_guard<std::recursive_mutex> g(model().lock);
    return lookupModule(name);
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name) {
    auto& m = model();
    std::lock_guard<std::recursive_mutex> g(m.lock);
    m.exportLookups++;
    if (std::find(m.hiddenExports.begin(), m.hiddenExports.end(), std::string(name)) != m.hiddenExports.end()) {
        return nullptr;
    }
    if (module == kNtdll) return ntdllExport(name);
    if (module == kKernel32) return kernel32Export(name);
    return nullptr;
}

BOOL WINAPI DisableThreadLibraryCalls(HMODULE) { return TRUE; }

// --- time ---

BOOL WINAPI FileTimeToSystemTime(const FILETIME* ft, LPSYSTEMTIME st) {
    ULONGLONG v = (static_cast<ULONGLONG>(ft->dwHighDateTime) << 32) | ft->dwLowDateTime;
    if (v > 0x7FFFFFFFFFFFFFFFull) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ULONGLONG ms = v / 10000;
    long long days = static_cast<long long>(ms / 86400000ull);
    ULONGLONG rem = ms % 86400000ull;
    // Days since 1601-01-01 to a civil date (proleptic Gregorian).
    long long z = days - 134774 + 719468;  // shift to days since 0000-03-01
    long long era = z / 146097;
    long long doe = z - era * 146097;
    long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    long long y = yoe + era * 400;
    long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    long long mp = (5 * doy + 2) / 153;
    long long d = doy - (153 * mp + 2) / 5 + 1;
    long long mo = mp < 10 ? mp + 3 : mp - 9;
    if (mo <= 2) ++y;
    st->wYear = static_cast<WORD>(y);
    st->wMonth = static_cast<WORD>(mo);
    st->wDay = static_cast<WORD>(d);
    st->wDayOfWeek = static_cast<WORD>((days + 1) % 7);  // 1601-01-01 was a Monday
    st->wHour = static_cast<WORD>(rem / 3600000);
    st->wMinute = static_cast<WORD>(rem / 60000 % 60);
    st->wSecond = static_cast<WORD>(rem / 1000 % 60);
    st->wMilliseconds = static_cast<WORD>(rem % 1000);
    return TRUE;
}

// --- heap ---

HANDLE WINAPI GetProcessHeap(void) { return reinterpret_cast<HANDLE>(0x50000); }

LPVOID WINAPI HeapAlloc(HANDLE, DWORD flags, SIZE_T bytes) {
    auto& m = model();
    {
        std::lock_guard<std::recursive_mutex> g(m.lock);
        m.allocations++;
        m.lastAllocationSize = bytes;
        if (m.allocFailCountdown == 0) {
            m.allocFailCountdown = -1;
            return nullptr;
        }
        if (m.allocFailCountdown > 0) m.allocFailCountdown--;
        // A 32-bit process never gets 2 GiB in one piece: refuse as Windows would.
        if (bytes >= 0x80000000ul) return nullptr;
        m.liveAllocations++;
    }
    void* p = malloc(bytes ? bytes : 1);
    if (p && (flags & HEAP_ZERO_MEMORY)) memset(p, 0, bytes);
    return p;
}

BOOL WINAPI HeapFree(HANDLE, DWORD, LPVOID p) {
    if (p) {
        std::lock_guard<std::recursive_mutex> g(model().lock);
        model().liveAllocations--;
    }
    free(p);
    return TRUE;
}

// --- locks ---

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION cs) { cs->impl = new std::recursive_mutex; }
void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION cs) {
    delete static_cast<std::recursive_mutex*>(cs->impl);
    cs->impl = nullptr;
}
void WINAPI EnterCriticalSection(LPCRITICAL_SECTION cs) { static_cast<std::recursive_mutex*>(cs->impl)->lock(); }
void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION cs) { static_cast<std::recursive_mutex*>(cs->impl)->unlock(); }

// --- current directory: the host process's real one ---
// Linux file names are UTF-8; the narrow calls go through the model's code page
// as Windows' do, the wide ones through UTF-16.

static bool realCwd(std::string& out) {
    std::vector<char> buf(256);
    while (getcwd(buf.data(), buf.size()) == nullptr) {
        if (errno != ERANGE) return false;
        buf.resize(buf.size() * 2);
    }
    out = buf.data();
    return true;
}

DWORD WINAPI GetCurrentDirectoryW(DWORD length, LPWSTR buffer) {
    std::string cwd;
    if (model().getDirFails || !realCwd(cwd)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    std::vector<WCHAR> w = utf16(cwd);
    if (w.size() + 1 > length) return static_cast<DWORD>(w.size() + 1);
    std::copy(w.begin(), w.end(), buffer);
    buffer[w.size()] = 0;
    return static_cast<DWORD>(w.size());
}

DWORD WINAPI GetCurrentDirectoryA(DWORD length, LPSTR buffer) {
    std::string cwd;
    if (model().getDirFails || !realCwd(cwd)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    std::vector<WCHAR> w = utf16(cwd);
    std::string a = encode(model().codePage, w.data(), w.size(), nullptr);
    if (a.size() + 1 > length) return static_cast<DWORD>(a.size() + 1);
    memcpy(buffer, a.c_str(), a.size() + 1);
    return static_cast<DWORD>(a.size());
}

static BOOL setCwdUtf8(const std::string& path) {
    auto& m = model();
    if (m.setDirFailCountdown == 0) {
        m.setDirFailCountdown = -1;
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (m.setDirFailCountdown > 0) m.setDirFailCountdown--;
    if (path.empty() || chdir(path.c_str()) != 0) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI SetCurrentDirectoryW(LPCWSTR path) {
    size_t n = 0;
    while (path[n]) ++n;
    return setCwdUtf8(utf8(path, n));
}

BOOL WINAPI SetCurrentDirectoryA(LPCSTR path) {
    std::vector<WCHAR> w = decode(model().codePage, path, strlen(path));
    return setCwdUtf8(utf8(w.data(), w.size()));
}

}  // extern "C"
