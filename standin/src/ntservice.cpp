// The stand-in's NT native services and Toolhelp functions, as reached through
// GetProcAddress. Class-5 answers are built from the model in the record layout
// of 32-bit Windows, or scripted by the tests.
#include "model.h"

#include <string.h>
#include <tlhelp32.h>

#include <algorithm>

namespace standin {

namespace {

constexpr NTSTATUS kInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004);
constexpr NTSTATUS kInvalidHandle = static_cast<NTSTATUS>(0xC0000008);
constexpr NTSTATUS kInvalidInfoClass = static_cast<NTSTATUS>(0xC0000003);

void put32(std::vector<unsigned char>& b, size_t at, ULONG v) { memcpy(&b[at], &v, 4); }
void put64(std::vector<unsigned char>& b, size_t at, ULONGLONG v) { memcpy(&b[at], &v, 8); }
void put16(std::vector<unsigned char>& b, size_t at, WORD v) { memcpy(&b[at], &v, 2); }

NtAnswer answerFromBytes(std::vector<unsigned char> bytes) {
    NtAnswer a;
    a.bytes = std::move(bytes);
    a.tooSmallIfShort = true;
    return a;
}

NtAnswer defaultAnswer(ULONG infoClass) {
    auto& m = model();
    std::vector<unsigned char> b;
    switch (infoClass) {
        case 0:
            b.assign(44, 0);
            b[40] = static_cast<unsigned char>(m.processors);
            break;
        case 2:
            b.assign(312, 0);
            put64(b, 0, static_cast<ULONGLONG>(m.idle));
            m.idle += 5000000;  // one processor idle for the half second between samples
            break;
        case 3:
            b.assign(32, 0);
            put64(b, 8, static_cast<ULONGLONG>(m.timeOfDay));
            m.timeOfDay += 5000000;
            break;
        case 5:
            return buildProcessSnapshot();
        default: {
            NtAnswer a;
            a.status = kInvalidInfoClass;
            return a;
        }
    }
    return answerFromBytes(std::move(b));
}

NTSTATUS WINAPI ntQuerySystemInformation(ULONG infoClass, void* buffer, ULONG length, ULONG* returned) {
    auto& m = model();
    std::lock_guard<std::recursive_mutex> g(m.lock);
    m.ntCalls.push_back(NtCall{infoClass, length});
    NtAnswer a;
    auto& queue = m.ntScript[infoClass];
    if (!queue.empty()) {
        a = queue.front();
        queue.pop_front();
    } else {
        a = defaultAnswer(infoClass);
    }
    if (a.tooSmallIfShort && length < a.bytes.size()) {
        if (returned) *returned = static_cast<ULONG>(a.bytes.size());
        return kInfoLengthMismatch;
    }
    size_t n = std::min<size_t>(length, a.bytes.size());
    if (buffer && n) {
        memcpy(buffer, a.bytes.data(), n);
        for (size_t at : a.relocations) {
            if (at + 4 > n) continue;
            ULONG off;
            memcpy(&off, static_cast<char*>(buffer) + at, 4);
            ULONG abs = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(buffer)) + off;
            memcpy(static_cast<char*>(buffer) + at, &abs, 4);
        }
    }
    if (returned) *returned = a.reportedLength >= 0 ? static_cast<ULONG>(a.reportedLength) : static_cast<ULONG>(n);
    return a.status;
}

NTSTATUS WINAPI ntQueryInformationProcess(HANDLE process, ULONG infoClass, void* buffer, ULONG length,
                                          ULONG* returned) {
    auto& m = model();
    std::lock_guard<std::recursive_mutex> g(m.lock);
    if (infoClass != 0 || length != 24) return static_cast<NTSTATUS>(0xC0000004);
    DWORD pid;
    if (process == reinterpret_cast<HANDLE>(-1)) {
        pid = m.currentPid;
    } else {
        HandleObject* h = findHandle(process);
        if (h == nullptr || h->kind != HandleKind::Process) return kInvalidHandle;
        pid = h->id;
    }
    Process* p = findProcess(pid);
    std::vector<unsigned char> b(24, 0);
    put32(b, 0, p && !p->alive ? p->exitCode : STILL_ACTIVE);
    put32(b, 16, pid);
    put32(b, 20, p ? p->desc.parent : 0);
    memcpy(buffer, b.data(), 24);
    if (returned) *returned = 24;
    return 0;
}

// --- Toolhelp ---

HANDLE WINAPI createToolhelp32Snapshot(DWORD flags, DWORD) {
    auto& m = model();
    std::lock_guard<std::recursive_mutex> g(m.lock);
    m.toolhelpSnapshots++;
    if (m.toolhelpFails) return INVALID_HANDLE_VALUE;
    HandleObject o{HandleKind::Toolhelp, 0};
    o.flags = flags;
    for (auto& [pid, p] : m.processes) {
        if (!p.listed) continue;
        if (flags & TH32CS_SNAPPROCESS) {
            o.items.push_back(pid);
            o.owners.push_back(pid);
        } else if (flags & TH32CS_SNAPTHREAD) {
            for (DWORD t : p.desc.threads) {
                o.items.push_back(t);
                o.owners.push_back(pid);
            }
        }
    }
    return newHandle(o);
}

template <typename Fill>
BOOL nextEntry(HANDLE snap, DWORD recordSize, DWORD* sizeField, bool first, Fill fill) {
    auto& m = model();
    std::lock_guard<std::recursive_mutex> g(m.lock);
    HandleObject* h = findHandle(snap);
    if (h == nullptr || h->kind != HandleKind::Toolhelp) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (*sizeField < recordSize) {
        SetLastError(24 /* ERROR_BAD_LENGTH */);
        return FALSE;
    }
    if (first) h->cursor = 0;
    if (h->cursor >= h->items.size()) {
        SetLastError(18 /* ERROR_NO_MORE_FILES */);
        return FALSE;
    }
    size_t i = h->cursor++;
    fill(h->items[i], h->owners[i]);
    auto it = m.toolhelpSizes.find(static_cast<unsigned>(i));
    *sizeField = it == m.toolhelpSizes.end() ? recordSize : it->second;
    return TRUE;
}

BOOL processEntry(HANDLE snap, PROCESSENTRY32* e, bool first) {
    return nextEntry(snap, sizeof(PROCESSENTRY32), &e->dwSize, first, [e](DWORD pid, DWORD) {
        Process* p = findProcess(pid);
        DWORD size = e->dwSize;
        memset(e, 0, sizeof *e);
        e->dwSize = size;
        e->th32ProcessID = pid;
        e->cntThreads = static_cast<DWORD>(p->desc.threads.size());
        e->th32ParentProcessID = p->desc.parent;
        e->pcPriClassBase = p->desc.toolhelpPriority;
        const std::string& exe = p->desc.exePath.empty() ? p->desc.image : p->desc.exePath;
        strncpy(e->szExeFile, exe.c_str(), MAX_PATH - 1);
    });
}

BOOL threadEntry(HANDLE snap, THREADENTRY32* e, bool first) {
    return nextEntry(snap, sizeof(THREADENTRY32), &e->dwSize, first, [e](DWORD tid, DWORD owner) {
        DWORD size = e->dwSize;
        memset(e, 0, sizeof *e);
        e->dwSize = size;
        e->th32ThreadID = tid;
        e->th32OwnerProcessID = owner;
        e->tpBasePri = 8;
    });
}

BOOL WINAPI process32First(HANDLE s, PROCESSENTRY32* e) { return processEntry(s, e, true); }
BOOL WINAPI process32Next(HANDLE s, PROCESSENTRY32* e) { return processEntry(s, e, false); }
BOOL WINAPI thread32First(HANDLE s, THREADENTRY32* e) { return threadEntry(s, e, true); }
BOOL WINAPI thread32Next(HANDLE s, THREADENTRY32* e) { return threadEntry(s, e, false); }

}  // namespace

NtAnswer buildProcessSnapshot() {
    auto& m = model();
    std::lock_guard<std::recursive_mutex> g(m.lock);
    const size_t threadsAt = static_cast<size_t>(m.layout);
    std::vector<unsigned char> b;
    std::vector<size_t> relocations;
    size_t previous = 0;
    bool any = false;
    for (auto& [pid, p] : m.processes) {
        if (!p.listed) continue;
        const ProcessSpec& s = p.desc;
        size_t at = b.size();
        if (any) put32(b, previous, static_cast<ULONG>(at - previous));
        // UTF-16 of the image name: a non-ASCII name has fewer units than bytes.
        const std::vector<WCHAR> name = utf16(s.image);
        size_t nameBytes = name.size() * 2;
        size_t size = threadsAt + s.threads.size() * 0x40 + (nameBytes ? nameBytes + 2 : 0);
        size = (size + 7) & ~static_cast<size_t>(7);
        b.resize(at + size, 0);
        put32(b, at + 0x04, static_cast<ULONG>(s.threads.size()));
        put64(b, at + 0x20, static_cast<ULONGLONG>(s.createTime));
        put64(b, at + 0x28, s.userTime);
        put64(b, at + 0x30, s.kernelTime);
        put32(b, at + 0x40, static_cast<ULONG>(s.basePriority));
        put32(b, at + 0x44, pid);
        put32(b, at + 0x48, s.parent);
        put32(b, at + 0x4C, 12);  // handle count
        put32(b, at + 0x84, s.commitCharge);
        if (threadsAt == 0xB8 && pid != 0) {
            // I/O counters: non-zero for every process but the idle one, as on Windows.
            for (int k = 0; k < 6; ++k) put64(b, at + 0x88 + 8 * k, pid * 7ull + k + 1);
        }
        for (size_t j = 0; j < s.threads.size(); ++j) {
            size_t t = at + threadsAt + j * 0x40;
            put32(b, t + 0x20, pid);
            put32(b, t + 0x24, s.threads[j]);
            put32(b, t + 0x28, 8);
        }
        if (nameBytes) {
            size_t nameAt = at + threadsAt + s.threads.size() * 0x40;
            memcpy(&b[nameAt], name.data(), nameBytes);
            put16(b, at + 0x38, static_cast<WORD>(nameBytes));
            put16(b, at + 0x3A, static_cast<WORD>(nameBytes + 2));
            put32(b, at + 0x3C, static_cast<ULONG>(nameAt));
            relocations.push_back(at + 0x3C);
        }
        previous = at;
        any = true;
    }
    NtAnswer a = answerFromBytes(std::move(b));
    a.relocations = std::move(relocations);
    return a;
}

void setThreadLayout(ThreadLayout layout) { model().layout = layout; }

void scriptNt(ULONG infoClass, const NtAnswer& answer) {
    std::lock_guard<std::recursive_mutex> g(model().lock);
    model().ntScript[infoClass].push_back(answer);
}

const std::vector<NtCall>& ntCalls() { return model().ntCalls; }
void setProcessors(unsigned count) { model().processors = count; }
void setTimes(LONGLONG timeOfDay, LONGLONG idle) {
    model().timeOfDay = timeOfDay;
    model().idle = idle;
}

void failToolhelpSnapshot(bool fail) { model().toolhelpFails = fail; }
void corruptToolhelpSize(unsigned entryIndex, DWORD size) { model().toolhelpSizes[entryIndex] = size; }
unsigned toolhelpSnapshots() { return model().toolhelpSnapshots; }

FARPROC ntdllExport(const char* name) {
    if (strcmp(name, "NtQuerySystemInformation") == 0)
        return reinterpret_cast<FARPROC>(&ntQuerySystemInformation);
    if (strcmp(name, "NtQueryInformationProcess") == 0)
        return reinterpret_cast<FARPROC>(&ntQueryInformationProcess);
    return nullptr;
}

FARPROC kernel32Export(const char* name) {
    if (strcmp(name, "CreateToolhelp32Snapshot") == 0)
        return reinterpret_cast<FARPROC>(&createToolhelp32Snapshot);
    if (strcmp(name, "Process32First") == 0) return reinterpret_cast<FARPROC>(&process32First);
    if (strcmp(name, "Process32Next") == 0) return reinterpret_cast<FARPROC>(&process32Next);
    if (strcmp(name, "Thread32First") == 0) return reinterpret_cast<FARPROC>(&thread32First);
    if (strcmp(name, "Thread32Next") == 0) return reinterpret_cast<FARPROC>(&thread32Next);
    return nullptr;
}

}  // namespace standin
