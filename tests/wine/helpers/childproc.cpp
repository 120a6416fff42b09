// childproc.exe: a child process for the Wine tests, driven by its command line.
//
//   childproc.exe report <file>        write the report, then exit 0
//   childproc.exe report-wait <file>   write the report, then sleep until killed
//   childproc.exe sleep                sleep until killed
//   childproc.exe busy                 spin on the CPU until killed
//   childproc.exe exit <code>          exit at once with that code
//
// The report is UTF-16LE text without a BOM, one `key=value` line per item, each
// ended by CR LF, in this order: pid, parent, cwd, argc, arg0..argN-1, cmdline,
// then one env= line per entry of the environment block, in block order. Values
// are written as they are, without escaping.
//
// A child launched with a console of its own and no inherited handles cannot
// talk through pipes, so it talks through this file. The report is written to
// <file>.tmp and renamed to <file> only when complete: a reader that polls for
// <file> never sees a partial report.
//
// Usage errors exit with code 2 and write nothing; a report that cannot be
// written exits with code 3.
#include <windows.h>

#include <errno.h>
#include <stdlib.h>
#include <wchar.h>

#include <string>

namespace {

constexpr UINT kUsageError = 2;
constexpr UINT kReportFailed = 3;

// The creating process's id from ProcessBasicInformation (its 32-bit layout:
// the inherited-from id at offset 20). 0 when the service cannot answer.
DWORD parentProcessId() {
    using QueryFn = LONG(WINAPI*)(HANDLE, ULONG, void*, ULONG, ULONG*);
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (!ntdll) return 0;
    auto query = reinterpret_cast<QueryFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQueryInformationProcess")));
    if (!query) return 0;
    ULONG_PTR basic[6] = {};
    if (query(GetCurrentProcess(), 0, basic, sizeof basic, nullptr) != 0) return 0;
    return static_cast<DWORD>(basic[5]);
}

std::wstring currentDirectory() {
    DWORD needed = GetCurrentDirectoryW(0, nullptr);
    if (needed == 0) return std::wstring();
    std::wstring dir(needed, L'\0');
    DWORD written = GetCurrentDirectoryW(needed, &dir[0]);
    dir.resize(written < needed ? written : 0);
    return dir;
}

void line(std::wstring& out, const wchar_t* key, const std::wstring& value) {
    out += key;
    out += L'=';
    out += value;
    out += L"\r\n";
}

std::wstring report(int argc, wchar_t** argv) {
    std::wstring out;
    line(out, L"pid", std::to_wstring(GetCurrentProcessId()));
    line(out, L"parent", std::to_wstring(parentProcessId()));
    line(out, L"cwd", currentDirectory());
    line(out, L"argc", std::to_wstring(argc));
    for (int i = 0; i < argc; ++i) line(out, (L"arg" + std::to_wstring(i)).c_str(), argv[i]);
    line(out, L"cmdline", GetCommandLineW());
    if (wchar_t* block = GetEnvironmentStringsW()) {
        for (const wchar_t* entry = block; *entry; entry += wcslen(entry) + 1) line(out, L"env", entry);
        FreeEnvironmentStringsW(block);
    }
    return out;
}

bool writeAll(HANDLE file, const void* data, size_t bytes) {
    const char* p = static_cast<const char*>(data);
    while (bytes > 0) {
        DWORD chunk = bytes > 0x100000 ? 0x100000 : static_cast<DWORD>(bytes);
        DWORD written = 0;
        if (!WriteFile(file, p, chunk, &written, nullptr) || written == 0) return false;
        p += written;
        bytes -= written;
    }
    return true;
}

// Writes <path>.tmp, then renames it over <path>.
bool writeReport(const wchar_t* path, const std::wstring& text) {
    const std::wstring tmp = std::wstring(path) + L".tmp";
    HANDLE file = CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool written = writeAll(file, text.data(), text.size() * sizeof(wchar_t));
    const bool closed = CloseHandle(file) != 0;
    if (!written || !closed) {
        DeleteFileW(tmp.c_str());
        return false;
    }
    if (!MoveFileExW(tmp.c_str(), path, MOVEFILE_REPLACE_EXISTING)) {
        DeleteFileW(tmp.c_str());
        return false;
    }
    return true;
}

[[noreturn]] void sleepUntilKilled() {
    for (;;) Sleep(INFINITE);
}

[[noreturn]] void spinUntilKilled() {
    volatile unsigned long counter = 0;
    for (;;) counter = counter + 1;
}

// Decimal, 0x-hexadecimal or negative (taken modulo 2^32, as an exit code is).
bool parseExitCode(const wchar_t* text, UINT* code) {
    if (!text || !*text) return false;
    wchar_t* end = nullptr;
    errno = 0;
    const long long value = wcstoll(text, &end, 0);
    if (errno != 0 || *end != L'\0' || value < -0x80000000LL || value > 0xFFFFFFFFLL) return false;
    *code = static_cast<UINT>(value);
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return kUsageError;
    const std::wstring command = argv[1];
    if (command == L"report" || command == L"report-wait") {
        if (argc != 3 || !*argv[2]) return kUsageError;
        if (!writeReport(argv[2], report(argc, argv))) return kReportFailed;
        if (command == L"report-wait") sleepUntilKilled();
        return 0;
    }
    if (command == L"sleep" && argc == 2) sleepUntilKilled();
    if (command == L"busy" && argc == 2) spinUntilKilled();
    if (command == L"exit" && argc == 3) {
        UINT code;
        if (!parseExitCode(argv[2], &code)) return kUsageError;
        ExitProcess(code);
    }
    return kUsageError;
}
