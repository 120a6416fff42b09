// The per-process queries of the Win32Ext family. Each looks at the selected
// back end first, checks its arguments, then answers from a fresh snapshot:
// the NT class-5 snapshot on the native back end, a Toolhelp snapshot on the
// Toolhelp back end. Nothing is cached between calls.
#include <string.h>

#include "../../platform/handle.h"
#include "snapshot.h"  // <windows.h> first: <tlhelp32.h> needs its types
#include <tlhelp32.h>

namespace rw {

namespace {

// Finds the record of pid in a fresh snapshot and hands it to answer(snapshot,
// record, fixed), where fixed is a copy of the record's 136-byte fixed part.
// 0xC0000001 when the snapshot holds no record with that id.
template <typename Answer>
ULONG withProcessRecord(DWORD pid, Answer answer) {
    ProcessSnapshot snapshot;
    if (ULONG status = snapshot.take()) return status;
    RecordWalker walker = snapshot.walker();
    const BYTE* rec = firstRecord(&walker);
    while (rec && readU32(rec + kProcessId) != pid) rec = nextRecord(&walker, rec);
    if (!rec) return kStatusUnsuccessful;
    BYTE fixed[kFixedPartSize];
    memcpy(fixed, rec, sizeof fixed);
    return answer(snapshot, rec, fixed);
}

// A Toolhelp snapshot handle; closed on every path.
UniqueHandle toolhelpSnapshot(DWORD flags, DWORD pid) {
    return UniqueHandle(toolhelpServices.createSnapshot(flags, pid));
}

// Walks the process entries of a valid snapshot, calling visit(entry) for each
// until it returns false. With sizeTestedAtEachEntry, an entry whose size field
// is no longer that of the record ends the walk.
template <typename Visit>
void forEachProcess(HANDLE snap, bool sizeTestedAtEachEntry, Visit visit) {
    PROCESSENTRY32 entry;
    memset(&entry, 0, sizeof entry);
    entry.dwSize = sizeof entry;
    for (BOOL more = toolhelpServices.process32First(snap, &entry); more == 1;
         more = toolhelpServices.process32Next(snap, &entry)) {
        if (sizeTestedAtEachEntry && entry.dwSize != sizeof entry) return;
        if (!visit(entry)) return;
    }
}

// Finds pid's process entry, testing the record size at the match only.
// 0xC000000D when the snapshot cannot be taken, the process is not listed, or
// its entry has the wrong size.
template <typename Answer>
ULONG withToolhelpProcess(DWORD pid, Answer answer) {
    UniqueHandle snap = toolhelpSnapshot(TH32CS_SNAPPROCESS, pid);
    if (!snap) return kStatusInvalidParameter;
    ULONG status = kStatusInvalidParameter;
    forEachProcess(snap.get(), false, [&](const PROCESSENTRY32& e) {
        if (e.th32ProcessID != pid) return true;
        status = e.dwSize == sizeof(PROCESSENTRY32) ? answer(e) : kStatusInvalidParameter;
        return false;
    });
    return status;
}

bool priorityClassOf(LONG basePriority, DWORD* priorityClass) {
    switch (basePriority) {
        case 4: *priorityClass = 0x40; return true;
        case 8: *priorityClass = 0x20; return true;
        case 13: *priorityClass = 0x80; return true;
        case 24: *priorityClass = 0x100; return true;
        default: *priorityClass = 0; return false;
    }
}

// Native thread ids, shared by GetProcessThreadIds and GetProcessThreadHandles.
// A record whose thread records do not lie wholly inside the snapshot is
// malformed: 0xC0000001, nothing written.
ULONG nativeThreadIds(DWORD pid, DWORD* ids, DWORD capacity, DWORD* count) {
    return withProcessRecord(pid, [&](ProcessSnapshot& snapshot, const BYTE* rec, const BYTE* fixed) {
        const ULONG threads = readU32(fixed + kThreadCount);
        if (capacity < threads || !snapshot.threadsInside(rec)) return kStatusUnsuccessful;
        *count = threads;
        for (ULONG j = 0; j < threads; ++j) ids[j] = readU32(snapshot.threadRecord(rec, j) + kThreadId);
        return kStatusSuccess;
    });
}

bool nativeSelected() { return backendMode == kBackendNative; }
bool toolhelpSelected() { return backendMode == kBackendToolhelp; }

}  // namespace

}  // namespace rw

using namespace rw;

extern "C" {

ULONG WINAPI GetProcessInformation(DWORD pid, void* record) {
    if (!nativeSelected()) return kNoBackend;
    if (!record) return kStatusInvalidParameter;
    return withProcessRecord(pid, [&](ProcessSnapshot&, const BYTE*, const BYTE* fixed) {
        memcpy(record, fixed, kFixedPartSize);
        return kStatusSuccess;
    });
}

ULONG WINAPI GetProcessModuleName(DWORD pid, Win32ExtChar* name, DWORD capacity) {
    if (nativeSelected()) {
        if (!name || capacity == 0) return kStatusInvalidParameter;
        return withProcessRecord(pid, [&](ProcessSnapshot& snapshot, const BYTE* rec, const BYTE* fixed) {
            WORD nameBytes;
            memcpy(&nameBytes, fixed + kNameLength, sizeof nameBytes);
            if (ULONG{nameBytes} + 1 > capacity) return kStatusInvalidParameter;
            const ULONG chars = nameBytes / 2;
            // An empty name (the idle process has no name buffer) is written as a
            // lone terminator. A name outside the snapshot is a malformed record.
            if (chars > 0) {
                const BYTE* text = snapshot.imageName(rec, chars * 2);
                if (!text) return kStatusUnsuccessful;
                memcpy(name, text, chars * 2);
            }
            name[chars] = 0;
            return kStatusSuccess;
        });
    }
    if (toolhelpSelected()) {
        return withToolhelpProcess(pid, [&](const PROCESSENTRY32& e) {
            // The last path component; a backslash in position 0 alone does not count.
            const size_t length = strnlen(e.szExeFile, sizeof e.szExeFile);
            size_t begin = 0;
            for (size_t i = length; i-- > 1;) {
                if (e.szExeFile[i] == '\\') {
                    begin = i + 1;
                    break;
                }
            }
            const size_t n = length - begin;
            if (n > capacity) return kStatusInvalidParameter;
            if (name) {
                for (size_t i = 0; i < n; ++i) name[i] = static_cast<unsigned char>(e.szExeFile[begin + i]);
            }
            return kStatusSuccess;
        });
    }
    return kNoBackend;
}

ULONG WINAPI GetParentProcessId(DWORD pid, DWORD* parent) {
    if (nativeSelected()) {
        if (!parent) return kStatusInvalidParameter;
        return withProcessRecord(pid, [&](ProcessSnapshot&, const BYTE*, const BYTE* fixed) {
            *parent = readU32(fixed + kParentId);
            return kStatusSuccess;
        });
    }
    if (toolhelpSelected()) {
        if (!parent) return kStatusInvalidParameter;
        return withToolhelpProcess(pid, [&](const PROCESSENTRY32& e) {
            *parent = e.th32ParentProcessID;
            return kStatusSuccess;
        });
    }
    return kNoBackend;
}

ULONG WINAPI GetChildProcesses(DWORD parent, DWORD* ids, DWORD capacity, DWORD* count) {
    if (!nativeSelected() && !toolhelpSelected()) return kNoBackend;
    if (!ids || capacity == 0 || !count) return kStatusInvalidParameter;
    // Takes an entry; false when the list is now full, which ends the walk with 0xC0000001.
    auto take = [&](DWORD pid) {
        ids[(*count)++] = pid;
        return *count < capacity;
    };
    if (nativeSelected()) {
        ProcessSnapshot snapshot;
        if (ULONG status = snapshot.take()) return status;
        RecordWalker walker = snapshot.walker();
        const BYTE* rec = firstRecord(&walker);
        if (!rec) return kStatusUnsuccessful;
        *count = 0;
        for (; rec; rec = nextRecord(&walker, rec)) {
            if (parent != 0 && readU32(rec + kParentId) != parent) continue;
            if (!take(readU32(rec + kProcessId))) return kStatusUnsuccessful;
        }
        return kStatusSuccess;
    }
    UniqueHandle snap = toolhelpSnapshot(TH32CS_SNAPPROCESS, parent);
    if (!snap) return kStatusInvalidParameter;
    *count = 0;
    ULONG status = kStatusSuccess;
    forEachProcess(snap.get(), true, [&](const PROCESSENTRY32& e) {
        if (parent != 0 && e.th32ParentProcessID != parent) return true;
        if (take(e.th32ProcessID)) return true;
        status = kStatusUnsuccessful;
        return false;
    });
    return status;
}

ULONG WINAPI GetNumberOfProcesses(DWORD* count) {
    if (nativeSelected()) {
        if (!count) return kStatusInvalidParameter;
        ProcessSnapshot snapshot;
        if (ULONG status = snapshot.take()) return status;
        *count = snapshot.walker().count;
        return kStatusSuccess;
    }
    if (toolhelpSelected()) {
        if (!count) return kStatusInvalidParameter;
        UniqueHandle snap = toolhelpSnapshot(TH32CS_SNAPPROCESS, 0);
        if (!snap) return kStatusInvalidParameter;
        *count = 0;
        forEachProcess(snap.get(), true, [&](const PROCESSENTRY32&) {
            ++*count;
            return true;
        });
        return kStatusSuccess;
    }
    return kNoBackend;
}

ULONG WINAPI GetProcessThreadHandles(DWORD pid, DWORD* ids, DWORD capacity, DWORD* count) {
    if (!nativeSelected()) return kNoBackend;
    if (!ids || capacity == 0 || !count) return kStatusInvalidParameter;
    return nativeThreadIds(pid, ids, capacity, count);
}

ULONG WINAPI GetProcessThreadIds(DWORD pid, DWORD* ids, DWORD capacity, DWORD* count) {
    if (nativeSelected()) {
        if (!ids || capacity == 0 || !count) return kStatusInvalidParameter;
        return nativeThreadIds(pid, ids, capacity, count);
    }
    if (toolhelpSelected()) {
        if (!ids || capacity == 0 || !count) return kStatusInvalidParameter;
        UniqueHandle snap = toolhelpSnapshot(TH32CS_SNAPTHREAD, pid);
        if (!snap) return kStatusInvalidParameter;
        *count = 0;
        THREADENTRY32 entry;
        memset(&entry, 0, sizeof entry);
        entry.dwSize = sizeof entry;
        for (BOOL more = toolhelpServices.thread32First(snap.get(), &entry); more == 1;
             more = toolhelpServices.thread32Next(snap.get(), &entry)) {
            if (entry.dwSize != sizeof entry) break;
            if (entry.th32OwnerProcessID != pid) continue;
            ids[(*count)++] = entry.th32ThreadID;
            if (*count == capacity) return kStatusUnsuccessful;
        }
        return kStatusSuccess;
    }
    return kNoBackend;
}

ULONG WINAPI GetProcessHandle(DWORD pid, DWORD* owner) {
    if (!nativeSelected()) return kNoBackend;
    if (!owner) return kStatusInvalidParameter;
    return withProcessRecord(pid, [&](ProcessSnapshot& snapshot, const BYTE* rec, const BYTE* fixed) {
        if (readU32(fixed + kThreadCount) == 0) return kStatusUnsuccessful;
        const BYTE* first = snapshot.threadRecord(rec, 0);
        if (!first) return kStatusUnsuccessful;
        *owner = readU32(first + kThreadOwner);
        return kStatusSuccess;
    });
}

ULONG WINAPI GetProcessCommitCharge(DWORD pid, DWORD* commit) {
    if (!nativeSelected()) return kNoBackend;
    if (!commit) return kStatusInvalidParameter;
    return withProcessRecord(pid, [&](ProcessSnapshot&, const BYTE*, const BYTE* fixed) {
        *commit = readU32(fixed + kCommitCharge);
        return kStatusSuccess;
    });
}

ULONG WINAPI GetProcessCreationTime(DWORD pid, Win32ExtSystemTime* created) {
    if (!nativeSelected()) return kNoBackend;
    if (!created) return kStatusInvalidParameter;
    return withProcessRecord(pid, [&](ProcessSnapshot&, const BYTE*, const BYTE* fixed) {
        FILETIME ft;
        memcpy(&ft, fixed + kCreateTime, sizeof ft);
        return FileTimeToSystemTime(&ft, reinterpret_cast<SYSTEMTIME*>(created)) == 1 ? kStatusSuccess
                                                                                      : kStatusUnsuccessful;
    });
}

ULONG WINAPI GetProcessUserTime(DWORD pid, unsigned long long* time) {
    if (!nativeSelected()) return kNoBackend;
    if (!time) return kStatusInvalidParameter;
    return withProcessRecord(pid, [&](ProcessSnapshot&, const BYTE*, const BYTE* fixed) {
        *time = readU64(fixed + kUserTime);
        return kStatusSuccess;
    });
}

ULONG WINAPI GetProcessKernelTime(DWORD pid, unsigned long long* time) {
    if (!nativeSelected()) return kNoBackend;
    if (!time) return kStatusInvalidParameter;
    return withProcessRecord(pid, [&](ProcessSnapshot&, const BYTE*, const BYTE* fixed) {
        *time = readU64(fixed + kKernelTime);
        return kStatusSuccess;
    });
}

// The Toolhelp path reports a process that is not listed (or an empty listing)
// with 0xC000000D, as the other Toolhelp single-process lookups do, instead of
// a success that wrote nothing.
ULONG WINAPI GetProcessBasePriority(DWORD pid, DWORD* priorityClass) {
    if (nativeSelected()) {
        if (!priorityClass) return kStatusInvalidParameter;
        return withProcessRecord(pid, [&](ProcessSnapshot&, const BYTE*, const BYTE* fixed) {
            return priorityClassOf(static_cast<LONG>(readU32(fixed + kBasePriority)), priorityClass)
                       ? kStatusSuccess
                       : kStatusUnsuccessful;
        });
    }
    if (toolhelpSelected()) {
        if (!priorityClass) return kStatusInvalidParameter;
        UniqueHandle snap = toolhelpSnapshot(TH32CS_SNAPPROCESS, pid);
        if (!snap) return kStatusInvalidParameter;
        ULONG status = kStatusInvalidParameter;
        forEachProcess(snap.get(), true, [&](const PROCESSENTRY32& e) {
            if (e.th32ProcessID == pid) {
                status = priorityClassOf(e.pcPriClassBase, priorityClass) ? kStatusSuccess : kStatusUnsuccessful;
            }
            return true;
        });
        return status;
    }
    return kNoBackend;
}

ULONG WINAPI GetProcessID(void* process, DWORD* pid) {
    if (!nativeSelected()) return kNoBackend;
    if (!process || !pid) return kStatusInvalidParameter;
    BYTE basic[24] = {};
    const LONG status = nativeServices.queryInformationProcess(process, 0, basic, sizeof basic, nullptr);
    *pid = status == 0 ? readU32(basic + 16) : 0;
    return kStatusSuccess;
}

}  // extern "C"
