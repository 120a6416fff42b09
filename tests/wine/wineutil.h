// Shared helpers of the Wine tests, header-only. Everything here is written
// against the raw platform calls and independently of the libraries under test,
// so that a test can compute its expectations from what the system itself says.
//
//   text        widen, narrow, quoteArgument, commandLine
//   files       moduleDirectory, helperPath, TempDir, fileExists
//   processes   Child (owns one started process, ends it by id), startChild,
//               startChildAnsi, childproc, killById, hasEnded, exitCodeOf,
//               canOpen, waitUntilGone, KillOnExit (ends a process started
//               by someone else)
//   reports     Report, readReport, waitForFile, waitForReport
//   snapshots   RawSnapshot / rawProcessSnapshot (NT class 5, this platform's
//               layout: thread records at 0xB8), rawChildren; toolhelpProcesses,
//               toolhelpThreads (KERNEL32 Toolhelp, wide records)
//
// Every process a test starts must be ended by its id: Child and KillOnExit do
// that on destruction, so a failed assertion leaves nothing running.
#pragma once

#include <windows.h>
#include <tlhelp32.h>

#include <string.h>
#include <wchar.h>

#include <string>
#include <utility>
#include <vector>

namespace wineutil {

// ------------------------------------------------------------------ text

// ANSI code page <-> UTF-16, as the platform's narrow functions convert.
inline std::wstring widen(const std::string& s) {
    if (s.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), &out[0], n);
    return out;
}

inline std::string narrow(const std::wstring& s) {
    if (s.empty()) return std::string();
    int n = WideCharToMultiByte(CP_ACP, 0, s.data(), static_cast<int>(s.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, s.data(), static_cast<int>(s.size()), &out[0], n, nullptr, nullptr);
    return out;
}

// Quotes one argument so that the C runtime's command-line parser gives it back
// unchanged.
inline std::wstring quoteArgument(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') out.append(backslashes * 2 + 1, L'\\');
        else out.append(backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    out += L'"';
    return out;
}

inline std::wstring commandLine(const std::vector<std::wstring>& args) {
    std::wstring out;
    for (const std::wstring& a : args) {
        if (!out.empty()) out += L' ';
        out += quoteArgument(a);
    }
    return out;
}

// ------------------------------------------------------------------ files

// The directory of the running executable, without a trailing backslash. The
// helper programs are built into the same directory as the tests.
inline std::wstring moduleDirectory() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
        if (n == 0) return std::wstring();
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(path.size() * 2);
    }
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring(L".") : path.substr(0, slash);
}

inline std::wstring helperPath(const wchar_t* name = L"childproc.exe") { return moduleDirectory() + L"\\" + name; }

inline bool fileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// A fresh directory under the user's temporary directory, removed with its
// contents on destruction.
class TempDir {
public:
    TempDir() {
        wchar_t base[MAX_PATH + 1];
        DWORD n = GetTempPathW(MAX_PATH + 1, base);
        std::wstring root = n ? std::wstring(base, n) : std::wstring(L".\\");
        if (root.back() != L'\\') root += L'\\';
        static LONG counter = 0;
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::wstring candidate = root + L"rwtest-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                     std::to_wstring(InterlockedIncrement(&counter)) + L"-" +
                                     std::to_wstring(GetTickCount());
            if (CreateDirectoryW(candidate.c_str(), nullptr)) {
                path_ = candidate;
                return;
            }
        }
    }
    ~TempDir() {
        if (!path_.empty()) removeTree(path_);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    bool valid() const { return !path_.empty(); }
    const std::wstring& path() const { return path_; }
    std::wstring file(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    static void removeTree(const std::wstring& dir) {
        WIN32_FIND_DATAW found;
        HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &found);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                std::wstring name = found.cFileName;
                if (name == L"." || name == L"..") continue;
                std::wstring full = dir + L"\\" + name;
                if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) removeTree(full);
                else DeleteFileW(full.c_str());
            } while (FindNextFileW(find, &found));
            FindClose(find);
        }
        removeDirectory(dir);
    }
    // A directory that a child used as its current directory can stay held for
    // a moment after the child ended (under Wine, by the console host of a
    // child started with a console of its own): a sharing violation is retried
    // until a deadline.
    static bool removeDirectory(const std::wstring& dir) {
        const DWORD start = GetTickCount();
        while (!RemoveDirectoryW(dir.c_str())) {
            if (GetLastError() != ERROR_SHARING_VIOLATION || GetTickCount() - start >= 5000) return false;
            Sleep(10);
        }
        return true;
    }
    std::wstring path_;
};

// ------------------------------------------------------------------ processes

// True when the process has ended, or no process has this id any more.
inline bool hasEnded(DWORD pid) {
    HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (!h) return true;
    bool ended = WaitForSingleObject(h, 0) == WAIT_OBJECT_0;
    CloseHandle(h);
    return ended;
}

// True when a process object with this id can still be opened (a process that
// has ended stays openable while some handle to it is open anywhere).
inline bool canOpen(DWORD pid) {
    HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (!h) return false;
    CloseHandle(h);
    return true;
}

// Polls, up to timeoutMs, until no process object with this id can be opened:
// an ended process's object may outlive its last handle for a moment. True
// when it is gone.
inline bool waitUntilGone(DWORD pid, DWORD timeoutMs = 10000) {
    const DWORD start = GetTickCount();
    while (canOpen(pid)) {
        if (GetTickCount() - start >= timeoutMs) return false;
        Sleep(10);
    }
    return true;
}

// Ends a process by its id with the given exit code and waits for it to be
// gone. True when the process has ended (or had ended before). Id 0 and the
// calling process are refused.
inline bool killById(DWORD pid, UINT exitCode = 1, DWORD timeoutMs = 10000) {
    if (pid == 0 || pid == GetCurrentProcessId()) return false;
    HANDLE h = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
    if (!h) return hasEnded(pid);
    if (WaitForSingleObject(h, 0) != WAIT_OBJECT_0) TerminateProcess(h, exitCode);
    bool ended = WaitForSingleObject(h, timeoutMs) == WAIT_OBJECT_0;
    CloseHandle(h);
    return ended;
}

// Exit code of a process by id; false when it cannot be opened or still runs.
inline bool exitCodeOf(DWORD pid, DWORD* code) {
    HANDLE h = OpenProcess(PROCESS_QUERY_INFORMATION | SYNCHRONIZE, FALSE, pid);
    if (!h) return false;
    bool ok = WaitForSingleObject(h, 0) == WAIT_OBJECT_0 && GetExitCodeProcess(h, code);
    CloseHandle(h);
    return ok;
}

// Ends, on destruction, a process that was started by someone else (the
// library under test), by its id. Its id must still name that process: the
// launch natives keep the handles of what they launch open, so the id is not
// reused while the test runs.
class KillOnExit {
public:
    explicit KillOnExit(DWORD pid = 0) : pid_(pid) {}
    ~KillOnExit() {
        if (pid_) killById(pid_);
    }
    KillOnExit(const KillOnExit&) = delete;
    KillOnExit& operator=(const KillOnExit&) = delete;
    void reset(DWORD pid) {
        if (pid_) killById(pid_);
        pid_ = pid;
    }
    DWORD pid() const { return pid_; }

private:
    DWORD pid_;
};

// One started process: owns its process and thread handles (so its id is not
// reused while the Child lives) and ends it by id on destruction.
class Child {
public:
    Child() = default;
    Child(const PROCESS_INFORMATION& pi, DWORD error) : pi_(pi), error_(error) {}
    ~Child() { reset(); }
    Child(Child&& o) noexcept : pi_(o.pi_), error_(o.error_) { o.pi_ = PROCESS_INFORMATION{}; }
    Child& operator=(Child&& o) noexcept {
        if (this != &o) {
            reset();
            pi_ = o.pi_;
            error_ = o.error_;
            o.pi_ = PROCESS_INFORMATION{};
        }
        return *this;
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool started() const { return pi_.hProcess != nullptr; }
    DWORD error() const { return error_; }  // GetLastError of a failed start
    DWORD pid() const { return pi_.dwProcessId; }
    DWORD tid() const { return pi_.dwThreadId; }
    HANDLE handle() const { return pi_.hProcess; }

    // True when the process ended within the time.
    bool waitExit(DWORD timeoutMs = 10000) const {
        return started() && WaitForSingleObject(pi_.hProcess, timeoutMs) == WAIT_OBJECT_0;
    }
    bool running() const { return started() && WaitForSingleObject(pi_.hProcess, 0) == WAIT_TIMEOUT; }
    DWORD exitCode() const {
        DWORD code = STILL_ACTIVE;
        if (started()) GetExitCodeProcess(pi_.hProcess, &code);
        return code;
    }
    // Ends the process by id and waits for it.
    bool kill(UINT exitCode = 1) const { return started() && killById(pi_.dwProcessId, exitCode); }

    // Ends the process (if it still runs) and closes both handles.
    void reset() {
        if (!started()) return;
        if (running()) kill();
        CloseHandle(pi_.hThread);
        CloseHandle(pi_.hProcess);
        pi_ = PROCESS_INFORMATION{};
    }

private:
    PROCESS_INFORMATION pi_ = {};
    DWORD error_ = 0;
};

struct StartOptions {
    const wchar_t* application = nullptr;  // null: the program comes from the command line
    const wchar_t* directory = nullptr;    // null: the caller's
    const void* environment = nullptr;     // null: inherit; else a block of wide entries
    DWORD flags = 0;                       // creation flags; CREATE_UNICODE_ENVIRONMENT is added as needed
};

// Starts a process with a raw CreateProcessW; no handles are inherited.
inline Child startChild(const std::wstring& cmdline, const StartOptions& options = StartOptions()) {
    std::vector<wchar_t> buffer(cmdline.begin(), cmdline.end());
    buffer.push_back(L'\0');
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    DWORD flags = options.flags | (options.environment ? CREATE_UNICODE_ENVIRONMENT : 0);
    if (!CreateProcessW(options.application, buffer.data(), nullptr, nullptr, FALSE, flags,
                        const_cast<void*>(options.environment), options.directory, &si, &pi)) {
        return Child(PROCESS_INFORMATION{}, GetLastError());
    }
    return Child(pi, 0);
}

// Starts a process with a raw CreateProcessA and the caller's own startup
// information, the way the launch export does; null arguments pass null.
inline Child startChildAnsi(const char* application, const char* cmdline, const char* environmentBlock,
                            const char* directory, DWORD flags) {
    std::vector<char> buffer;
    if (cmdline) {
        buffer.assign(cmdline, cmdline + strlen(cmdline));
        buffer.push_back('\0');
    }
    STARTUPINFOA si;
    GetStartupInfoA(&si);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(application, cmdline ? buffer.data() : nullptr, nullptr, nullptr, FALSE, flags,
                        const_cast<char*>(environmentBlock), directory, &si, &pi)) {
        return Child(PROCESS_INFORMATION{}, GetLastError());
    }
    return Child(pi, 0);
}

// childproc.exe with the given arguments, e.g. childproc({L"report", file}).
inline Child childproc(const std::vector<std::wstring>& args, const StartOptions& options = StartOptions()) {
    std::vector<std::wstring> all{helperPath()};
    all.insert(all.end(), args.begin(), args.end());
    return startChild(commandLine(all), options);
}

// ------------------------------------------------------------------ reports

// What childproc.exe reports about itself.
struct Report {
    DWORD pid = 0;
    DWORD parent = 0;
    std::wstring cwd;
    std::vector<std::wstring> args;  // arg0.. in order; args.size() == argc when complete
    int argc = -1;
    std::wstring cmdline;
    std::vector<std::wstring> env;  // GetEnvironmentStringsW entries, in order

    // The value of a variable (first entry "NAME=..." with that exact name,
    // compared case-insensitively as the platform does); false when absent.
    bool variable(const std::wstring& name, std::wstring* value = nullptr) const {
        for (const std::wstring& e : env) {
            size_t eq = e.find(L'=', e.empty() ? 0 : 1);  // "=C:=..." entries start with '='
            if (eq == std::wstring::npos || eq != name.size()) continue;
            if (CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, e.data(), static_cast<int>(eq), name.data(),
                               static_cast<int>(name.size())) != CSTR_EQUAL)
                continue;
            if (value) *value = e.substr(eq + 1);
            return true;
        }
        return false;
    }
    // Entries that are ordinary variables: those not starting with '=' (the
    // per-drive current directories "=C:=...").
    std::vector<std::wstring> plainVariables() const {
        std::vector<std::wstring> out;
        for (const std::wstring& e : env)
            if (!e.empty() && e[0] != L'=') out.push_back(e);
        return out;
    }
};

inline bool readFileBytes(const std::wstring& path, std::string* bytes) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    bytes->clear();
    char chunk[65536];
    DWORD got = 0;
    bool ok = true;
    while ((ok = ReadFile(f, chunk, sizeof chunk, &got, nullptr) != 0) && got > 0) bytes->append(chunk, got);
    CloseHandle(f);
    return ok;
}

inline bool parseDecimal(const std::wstring& s, DWORD* out) {
    if (s.empty() || s.size() > 10) return false;
    unsigned long long v = 0;
    for (wchar_t c : s) {
        if (c < L'0' || c > L'9') return false;
        v = v * 10 + static_cast<unsigned>(c - L'0');
    }
    if (v > 0xFFFFFFFFull) return false;
    *out = static_cast<DWORD>(v);
    return true;
}

// Parses a complete report; false when the file is missing or malformed.
inline bool readReport(const std::wstring& path, Report* report) {
    std::string bytes;
    if (!readFileBytes(path, &bytes) || bytes.size() % 2 != 0) return false;
    std::wstring text(bytes.size() / 2, L'\0');
    if (!bytes.empty()) memcpy(&text[0], bytes.data(), bytes.size());
    Report r;
    bool havePid = false, haveParent = false, haveCwd = false, haveCmdline = false;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find(L"\r\n", pos);
        if (end == std::wstring::npos) return false;  // every line ends with CR LF
        std::wstring line = text.substr(pos, end - pos);
        pos = end + 2;
        size_t eq = line.find(L'=');
        if (eq == std::wstring::npos) return false;
        std::wstring key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == L"pid") havePid = parseDecimal(value, &r.pid);
        else if (key == L"parent") haveParent = parseDecimal(value, &r.parent);
        else if (key == L"cwd") haveCwd = true, r.cwd = value;
        else if (key == L"argc") {
            DWORD n;
            if (!parseDecimal(value, &n)) return false;
            r.argc = static_cast<int>(n);
        } else if (key == L"cmdline") haveCmdline = true, r.cmdline = value;
        else if (key == L"env") r.env.push_back(value);
        else if (key.compare(0, 3, L"arg") == 0) {
            DWORD i;
            if (!parseDecimal(key.substr(3), &i) || i != r.args.size()) return false;
            r.args.push_back(value);
        } else {
            return false;
        }
    }
    if (!havePid || !haveParent || !haveCwd || !haveCmdline || r.argc < 0 ||
        static_cast<size_t>(r.argc) != r.args.size())
        return false;
    *report = std::move(r);
    return true;
}

// Waits until path exists, up to timeoutMs. With a process handle, gives up
// early once that process has ended without the file appearing. Waits on a
// change notification of the file's directory where the platform offers one,
// and polls in short steps either way.
inline bool waitForFile(const std::wstring& path, DWORD timeoutMs = 20000, HANDLE process = nullptr) {
    size_t slash = path.find_last_of(L"\\/");
    std::wstring dir = slash == std::wstring::npos ? std::wstring(L".") : path.substr(0, slash);
    HANDLE change = FindFirstChangeNotificationW(dir.c_str(), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME);
    const DWORD start = GetTickCount();
    bool found = false;
    for (;;) {
        if (fileExists(path)) {
            found = true;
            break;
        }
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs) break;
        const DWORD step = timeoutMs - elapsed < 50 ? timeoutMs - elapsed : 50;
        HANDLE waits[2];
        DWORD n = 0;
        if (change != INVALID_HANDLE_VALUE) waits[n++] = change;
        if (process) waits[n++] = process;
        DWORD r = n ? WaitForMultipleObjects(n, waits, FALSE, step) : (Sleep(step), WAIT_TIMEOUT);
        if (change != INVALID_HANDLE_VALUE && r == WAIT_OBJECT_0) FindNextChangeNotification(change);
        if (process && r == WAIT_OBJECT_0 + n - 1) {
            found = fileExists(path);  // the process may have written it just before ending
            break;
        }
    }
    if (change != INVALID_HANDLE_VALUE) FindCloseChangeNotification(change);
    return found;
}

// Waits for the report file and parses it.
inline bool waitForReport(const std::wstring& path, Report* report, DWORD timeoutMs = 20000,
                          HANDLE process = nullptr) {
    return waitForFile(path, timeoutMs, process) && readReport(path, report);
}

// ------------------------------------------------------------------ NT class-5 snapshot

// This platform's class-5 records (NT 5 and later, and Wine), 32-bit: a fixed
// part of 0x88 bytes, 48 bytes of I/O counters, then the thread records of 0x40
// bytes; the image name lives elsewhere in the buffer.
namespace rawlayout {
constexpr ULONG kNext = 0x00, kThreads = 0x04, kCreate = 0x20, kUser = 0x28, kKernel = 0x30, kNameLength = 0x38,
                kNameBuffer = 0x3C, kBasePriority = 0x40, kPid = 0x44, kParent = 0x48, kAt84 = 0x84;
constexpr ULONG kFirstThread = 0xB8, kThreadSize = 0x40, kThreadOwner = 0x20, kThreadId = 0x24;
}  // namespace rawlayout

struct RawThread {
    DWORD owner;  // owning process id, from the thread's client id
    DWORD tid;
};

struct RawProcess {
    DWORD pid = 0;
    DWORD parent = 0;
    ULONG threadCount = 0;
    ULONGLONG createTime = 0, userTime = 0, kernelTime = 0;
    LONG basePriority = 0;
    ULONG at0x84 = 0;  // the value the library reports as commit charge
    std::wstring imageName;
    std::vector<RawThread> threads;
};

struct RawSnapshot {
    LONG status = -1;         // of the last NtQuerySystemInformation call
    bool wellFormed = false;  // every record, thread list and name lay inside the answer
    std::vector<RawProcess> processes;

    bool ok() const { return status == 0 && wellFormed; }
    const RawProcess* find(DWORD pid) const {
        for (const RawProcess& p : processes)
            if (p.pid == pid) return &p;
        return nullptr;
    }
    bool contains(DWORD pid) const { return find(pid) != nullptr; }
};

using NtQuerySystemInformationFn = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);

inline NtQuerySystemInformationFn rawQuerySystemInformation() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll ? reinterpret_cast<NtQuerySystemInformationFn>(
                       reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQuerySystemInformation")))
                 : nullptr;
}

// Takes class 5 into a buffer that doubles until the service is satisfied and
// parses it, checking every read against the answer's length.
inline RawSnapshot rawProcessSnapshot() {
    using namespace rawlayout;
    RawSnapshot snap;
    NtQuerySystemInformationFn query = rawQuerySystemInformation();
    if (!query) return snap;
    std::vector<BYTE> buf(256 * 1024);
    ULONG returned = 0;
    for (;;) {
        returned = 0;
        snap.status = query(5, buf.data(), static_cast<ULONG>(buf.size()), &returned);
        if (static_cast<ULONG>(snap.status) != 0xC0000004 || buf.size() >= 0x10000000) break;
        buf.resize(buf.size() * 2);
    }
    if (snap.status != 0) return snap;
    const ULONG length = returned < buf.size() ? returned : static_cast<ULONG>(buf.size());
    const BYTE* base = buf.data();
    auto u32 = [&](ULONG at) {
        ULONG v;
        memcpy(&v, base + at, 4);
        return v;
    };
    auto u64 = [&](ULONG at) {
        ULONGLONG v;
        memcpy(&v, base + at, 8);
        return v;
    };
    auto inside = [&](ULONGLONG at, ULONGLONG n) { return at + n <= length; };
    ULONG at = 0;
    for (;;) {
        if (!inside(at, kFirstThread)) return snap;
        RawProcess p;
        p.threadCount = u32(at + kThreads);
        p.createTime = u64(at + kCreate);
        p.userTime = u64(at + kUser);
        p.kernelTime = u64(at + kKernel);
        p.basePriority = static_cast<LONG>(u32(at + kBasePriority));
        p.pid = u32(at + kPid);
        p.parent = u32(at + kParent);
        p.at0x84 = u32(at + kAt84);
        if (!inside(ULONGLONG{at} + kFirstThread, ULONGLONG{p.threadCount} * kThreadSize)) return snap;
        for (ULONG j = 0; j < p.threadCount; ++j) {
            ULONG t = at + kFirstThread + j * kThreadSize;
            p.threads.push_back(RawThread{u32(t + kThreadOwner), u32(t + kThreadId)});
        }
        USHORT nameBytes;
        memcpy(&nameBytes, base + at + kNameLength, 2);
        ULONG nameAddress = u32(at + kNameBuffer);
        if (nameBytes > 0) {
            ULONG baseAddress = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(base));
            if (nameAddress < baseAddress || !inside(nameAddress - baseAddress, nameBytes)) return snap;
            p.imageName.assign(nameBytes / 2, L'\0');
            memcpy(&p.imageName[0], base + (nameAddress - baseAddress), nameBytes / 2 * 2);
        }
        snap.processes.push_back(std::move(p));
        ULONG next = u32(at + kNext);
        if (next == 0) break;
        if (ULONGLONG{at} + next >= length) return snap;
        at += next;
    }
    snap.wellFormed = true;
    return snap;
}

// Ids of the processes whose parent id is parent, in snapshot order.
inline std::vector<DWORD> rawChildren(const RawSnapshot& snap, DWORD parent) {
    std::vector<DWORD> out;
    for (const RawProcess& p : snap.processes)
        if (p.parent == parent) out.push_back(p.pid);
    return out;
}

// ------------------------------------------------------------------ Toolhelp

struct ToolhelpProcess {
    DWORD pid;
    DWORD parent;
    DWORD threadCount;
    LONG priClassBase;
    std::wstring exeFile;
};

struct ToolhelpThread {
    DWORD tid;
    DWORD owner;
};

// Every process entry of a fresh Toolhelp snapshot; false when none can be taken.
inline bool toolhelpProcesses(std::vector<ToolhelpProcess>* out) {
    out->clear();
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) return false;
    PROCESSENTRY32W e;
    memset(&e, 0, sizeof e);
    e.dwSize = sizeof e;
    for (BOOL more = Process32FirstW(snap, &e); more; more = Process32NextW(snap, &e))
        out->push_back(ToolhelpProcess{e.th32ProcessID, e.th32ParentProcessID, e.cntThreads, e.pcPriClassBase,
                                       e.szExeFile});
    CloseHandle(snap);
    return true;
}

// Every thread entry of a fresh Toolhelp snapshot (all processes).
inline bool toolhelpThreads(std::vector<ToolhelpThread>* out) {
    out->clear();
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snap == INVALID_HANDLE_VALUE) return false;
    THREADENTRY32 e;
    memset(&e, 0, sizeof e);
    e.dwSize = sizeof e;
    for (BOOL more = Thread32First(snap, &e); more; more = Thread32Next(snap, &e))
        out->push_back(ToolhelpThread{e.th32ThreadID, e.th32OwnerProcessID});
    CloseHandle(snap);
    return true;
}

}  // namespace wineutil
