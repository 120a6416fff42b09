// Control API of the host32 stand-in: tests build a model Windows system with
// it, script the platform's answers, and read back what the libraries asked for.
// Every function here is process-wide and guarded by one lock; the model is
// reset to a small default system by reset().
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace standin {

// Where the thread records of a class-5 process record begin.
enum class ThreadLayout {
    AfterFixedPart = 0x88,   // directly behind the 136-byte fixed part
    AfterIoCounters = 0xB8,  // behind 48 bytes of I/O counters (Windows 2000 and later)
};

struct ProcessSpec {
    DWORD pid = 0;                // 0: pick the next free id
    DWORD parent = 0;
    std::vector<DWORD> threads;   // thread ids; empty: one thread with a fresh id
    bool noThreads = false;       // a record with thread count 0
    LONGLONG createTime = 0;      // FILETIME value
    ULONGLONG userTime = 0, kernelTime = 0;
    LONG basePriority = 8;
    DWORD commitCharge = 0;
    std::string image = "proc.exe";        // image name (record) and last part of exeFile
    std::string exePath;                   // Toolhelp szExeFile; empty: the image name
    LONG toolhelpPriority = 8;             // pcPriClassBase
};

struct ProcessState {
    DWORD pid, parent;
    bool alive;
    DWORD exitCode;
};

// One CreateProcessA/W call as the library made it.
struct LaunchRecord {
    bool wide = false;
    bool appNull = true, cmdNull = true, dirNull = true, envNull = true;
    std::string app, cmd, dir;           // narrow: the bytes; wide: UTF-8 of the UTF-16 text
    std::vector<unsigned char> envBlock; // raw bytes up to and including the closing terminator
    BOOL inherit = FALSE;
    DWORD flags = 0;
    bool startupIsOwn = false;           // the startup record equals the process's own
    bool psaNull = true, tsaNull = true;
    DWORD pid = 0;                       // 0 when the launch failed
    HANDLE process = nullptr, thread = nullptr;
};

struct OpenRecord {
    DWORD access;
    BOOL inherit;
    DWORD pid;
    HANDLE result;
};

// A scripted answer of NtQuerySystemInformation for one class.
struct NtAnswer {
    NTSTATUS status = 0;
    std::vector<unsigned char> bytes;  // copied into the caller's buffer (cut at its length)
    // Offsets of 32-bit fields in bytes that hold an offset into bytes; they are
    // rebased to the caller's buffer address when copied (image-name pointers).
    std::vector<size_t> relocations;
    long reportedLength = -1;          // -1: the number of bytes copied
    bool tooSmallIfShort = false;      // answer 0xC0000004 when the buffer is shorter than bytes
};

struct NtCall {
    ULONG infoClass;
    ULONG length;
};

// --- system ---
void reset();
DWORD currentProcessId();
void setCurrentProcessId(DWORD pid);  // the process must exist in the model
DWORD addProcess(const ProcessSpec& desc);
void removeProcess(DWORD pid);        // gone from every snapshot, as if reaped
void exitProcess(DWORD pid, DWORD code);  // ended: no longer in snapshots, handles stay usable
bool alive(DWORD pid);
DWORD exitCodeOf(DWORD pid);
std::vector<ProcessState> processes();
std::vector<DWORD> terminations();    // ids in the order TerminateProcess ended them

// --- launches, opens and handles ---
const std::vector<LaunchRecord>& launches();
void failLaunches(DWORD error);       // every launch fails with this error; 0 to stop
const std::vector<OpenRecord>& opens();
void failTerminate(bool fail);        // TerminateProcess returns FALSE and ends nothing
// Runs inside OpenProcess before it answers, e.g. to end a process at that moment.
void onOpen(std::function<void(DWORD pid)> hook);
bool handleOpen(HANDLE h);
size_t openHandleCount();

// --- modules and version ---
void hideExport(const std::string& name);  // GetProcAddress misses it
void hideModule(const std::string& name);  // GetModuleHandleA and LoadLibraryA miss it
void failVersionQuery(bool fail);
void setPlatformId(DWORD id);
unsigned moduleLookups();   // GetModuleHandleA + LoadLibraryA calls
unsigned exportLookups();   // GetProcAddress calls

// --- NT service ---
void setThreadLayout(ThreadLayout layout);
NtAnswer buildProcessSnapshot();  // class 5 answer of the model, tooSmallIfShort set
void scriptNt(ULONG infoClass, const NtAnswer& answer);  // queued; consumed in order
const std::vector<NtCall>& ntCalls();
void setProcessors(unsigned count);     // class 0
void setTimes(LONGLONG timeOfDay, LONGLONG idle);  // class 3 / class 2 defaults

// --- heap ---
void failAllocations(unsigned afterCount);  // the allocation after that many more fails
void stopFailingAllocations();
unsigned allocations();                 // HeapAlloc calls so far
size_t lastAllocationSize();
long liveAllocations();                 // HeapAlloc minus HeapFree

// --- Toolhelp ---
void failToolhelpSnapshot(bool fail);
void corruptToolhelpSize(unsigned entryIndex, DWORD size);  // that entry reports this dwSize
unsigned toolhelpSnapshots();

// --- time, directory, code page ---
unsigned sleeps();                     // Sleep calls; the stand-in returns at once
DWORD sleptMilliseconds();
void failGetCurrentDirectory(bool fail);
void failSetCurrentDirectory(unsigned afterCount);  // the set after that many more fails
void stopFailingSetCurrentDirectory();
void setCodePage(UINT cp);             // 1252 (default) or 65001

// --- environment (msvcrt's tables) ---
void setEnvironment(const std::vector<std::string>& entries);  // narrow entries, table order
bool wideEnvironmentInitialised();

// UTF-8 <-> UTF-16 helpers for tests.
std::vector<WCHAR> utf16(const std::string& utf8);
std::string utf8(const WCHAR* s, size_t n);

}  // namespace standin
