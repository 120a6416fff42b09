// treeproc.exe: builds process trees on command, for the tree-kill tests.
//
//   treeproc.exe <depth> <fanout> <readydir>
//       Starts <fanout> children running "treeproc <depth-1> <fanout> <readydir>"
//       when depth > 0 (raw CreateProcessW, no inherited handles, the caller's
//       console), then records itself as <readydir>\<pid>, whose text is its
//       parent's id in decimal, and sleeps until killed. The record is written to
//       <pid>.tmp and renamed, so a reader never sees a partial one. A child that
//       cannot be started is recorded as <readydir>\failed.<pid> (the error code
//       inside) and the node still records itself and sleeps, so that whoever
//       started the tree ends every node the same way.
//
//   treeproc.exe end <readydir>
//       Ends, by id, every node recorded in <readydir> that still runs as that
//       node (same id, same recorded parent, image treeproc.exe), with exit code 1,
//       and waits for each to be gone. Exit code 0 when every recorded node has
//       ended, 1 otherwise.
//
// Exit code 2: bad arguments. A node never exits by itself.
#include <windows.h>
#include <tlhelp32.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <string>
#include <vector>

namespace {

std::wstring quote(const std::wstring& arg) {
    // The arguments here are a path and decimal numbers: paths hold no quotes,
    // but a trailing backslash must not escape the closing quote.
    std::wstring out = L"\"" + arg;
    size_t trailing = 0;
    for (size_t i = arg.size(); i > 0 && arg[i - 1] == L'\\'; --i) ++trailing;
    out.append(trailing, L'\\');
    return out + L"\"";
}

std::wstring ownPath() {
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return std::wstring();
        if (n < path.size()) return std::wstring(path.data(), n);
        path.resize(path.size() * 2);
    }
}

// The recorded parent id and image name of pid, from a Toolhelp snapshot.
bool lookUp(DWORD pid, DWORD* parent, std::wstring* image) {
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) return false;
    PROCESSENTRY32W e = {};
    e.dwSize = sizeof e;
    bool found = false;
    for (BOOL more = Process32FirstW(snap, &e); more && !found; more = Process32NextW(snap, &e)) {
        if (e.th32ProcessID != pid) continue;
        *parent = e.th32ParentProcessID;
        if (image) *image = e.szExeFile;
        found = true;
    }
    CloseHandle(snap);
    return found;
}

bool writeWhole(const std::wstring& path, const std::string& text) {
    const std::wstring tmp = path + L".tmp";
    HANDLE f = CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool ok = WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                    written == text.size();
    CloseHandle(f);
    return ok && MoveFileExW(tmp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

bool readSmallFile(const std::wstring& path, std::string* text) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    char buf[64];
    DWORD got = 0;
    const bool ok = ReadFile(f, buf, sizeof buf, &got, nullptr);
    CloseHandle(f);
    if (ok) text->assign(buf, got);
    return ok;
}

bool parseId(const wchar_t* s, DWORD* out) {
    if (!*s) return false;
    wchar_t* end = nullptr;
    const unsigned long v = wcstoul(s, &end, 10);
    if (*end) return false;
    *out = v;
    return true;
}

[[noreturn]] void sleepForever() {
    for (;;) Sleep(INFINITE);
}

int node(DWORD depth, DWORD fanout, const std::wstring& readyDir) {
    const DWORD self = GetCurrentProcessId();
    if (depth > 0) {
        const std::wstring cmd = quote(ownPath()) + L" " + std::to_wstring(depth - 1) + L" " +
                                 std::to_wstring(fanout) + L" " + quote(readyDir);
        for (DWORD i = 0; i < fanout; ++i) {
            std::vector<wchar_t> line(cmd.begin(), cmd.end());
            line.push_back(L'\0');
            STARTUPINFOW si = {};
            si.cb = sizeof si;
            PROCESS_INFORMATION pi = {};
            if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
                writeWhole(readyDir + L"\\failed." + std::to_wstring(self), std::to_string(GetLastError()));
                continue;
            }
            CloseHandle(pi.hThread);
            CloseHandle(pi.hProcess);
        }
    }
    DWORD parent = 0;
    lookUp(self, &parent, nullptr);
    if (!writeWhole(readyDir + L"\\" + std::to_wstring(self), std::to_string(parent))) return 3;
    sleepForever();
}

int endRecorded(const std::wstring& readyDir) {
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((readyDir + L"\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return 0;  // nothing recorded
    int result = 0;
    do {
        DWORD pid = 0, recordedParent = 0, parent = 0;
        std::string text;
        std::wstring image;
        if (!parseId(found.cFileName, &pid)) continue;  // .tmp, failed.*, . and ..
        if (!readSmallFile(readyDir + L"\\" + found.cFileName, &text)) continue;
        if (!parseId(std::wstring(text.begin(), text.end()).c_str(), &recordedParent)) continue;
        // Only the node recorded there: an id that now names another process is left alone.
        if (!lookUp(pid, &parent, &image) || parent != recordedParent) continue;
        if (_wcsicmp(image.c_str(), L"treeproc.exe") != 0) continue;
        HANDLE h = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
        if (!h) {
            result = 1;
            continue;
        }
        TerminateProcess(h, 1);
        if (WaitForSingleObject(h, 10000) != WAIT_OBJECT_0) result = 1;
        CloseHandle(h);
    } while (FindNextFileW(find, &found));
    FindClose(find);
    return result;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 3 && wcscmp(argv[1], L"end") == 0) return endRecorded(argv[2]);
    DWORD depth = 0, fanout = 0;
    if (argc != 4 || !parseId(argv[1], &depth) || !parseId(argv[2], &fanout) || depth > 8 || fanout > 64) {
        fwprintf(stderr, L"usage: treeproc <depth> <fanout> <readydir> | treeproc end <readydir>\n");
        return 2;
    }
    return node(depth, fanout, argv[3]);
}
