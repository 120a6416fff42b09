// Internal state of the stand-in, shared by its implementation files.
#pragma once

#include <standin/control.h>

#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace standin {

struct Process {
    ProcessSpec desc;
    bool alive = true;
    bool listed = true;  // present in snapshots
    DWORD exitCode = STILL_ACTIVE;
};

enum class HandleKind { Process, Thread, Toolhelp };

struct HandleObject {
    HandleKind kind;
    DWORD id;  // process id, thread id
    // Toolhelp snapshot state
    DWORD flags = 0;
    std::vector<DWORD> items;  // process ids or thread ids (with owner below)
    std::vector<DWORD> owners;
    size_t cursor = 0;
};

struct Model {
    std::recursive_mutex lock;
    std::map<DWORD, Process> processes;  // ordered by id: the snapshot order
    DWORD currentPid = 0;
    DWORD nextPid = 2000;
    DWORD nextTid = 5000;
    std::vector<DWORD> terminations;

    std::map<unsigned long, HandleObject> handles;
    unsigned long nextHandle = 0x100;

    std::vector<LaunchRecord> launches;
    DWORD launchError = 0;
    std::vector<OpenRecord> opens;
    bool terminateFails = false;
    std::function<void(DWORD)> openHook;

    std::vector<std::string> hiddenExports, hiddenModules;
    bool versionFails = false;
    DWORD platformId = VER_PLATFORM_WIN32_NT;
    unsigned moduleLookups = 0, exportLookups = 0;

    ThreadLayout layout = ThreadLayout::AfterIoCounters;
    std::map<ULONG, std::deque<NtAnswer>> ntScript;
    std::vector<NtCall> ntCalls;
    unsigned processors = 2;
    LONGLONG timeOfDay = 0, idle = 0;

    long allocFailCountdown = -1;
    unsigned allocations = 0;
    size_t lastAllocationSize = 0;
    long liveAllocations = 0;

    bool toolhelpFails = false;
    std::map<unsigned, DWORD> toolhelpSizes;
    unsigned toolhelpSnapshots = 0;

    unsigned sleeps = 0;
    DWORD slept = 0;

    bool getDirFails = false;
    long setDirFailCountdown = -1;
    UINT codePage = 1252;

};

Model& model();
Process* findProcess(DWORD pid);
HANDLE newHandle(const HandleObject& obj);
HandleObject* findHandle(HANDLE h);

// Code-page conversion shared by the text functions and the environment.
std::vector<WCHAR> decode(UINT cp, const char* s, size_t n);
std::string encode(UINT cp, const WCHAR* s, size_t n, bool* lost);

}  // namespace standin
