// libFuzzer target for the process-information services on host32: the NT
// class-5 answer through the record walker and every native query, Toolhelp
// entries (names, priorities, wrong record sizes) through the Toolhelp paths,
// and arbitrary class 0/2/3 answers through GetCPUUsage. Besides the
// sanitizers it checks the contracts that hold for any input: nothing leaks,
// handles are closed, a failing query writes no out-parameter, lists stay
// within their capacity, the usage is 0..100, the sampler's waits are bounded,
// and on a consistent model the two back ends agree.
//
// FUZZ_PROCINFO_PARSER (environment) narrows a run to one parser: "nt" (the
// class-5 answer through the walker and the native queries), "toolhelp" (the
// Toolhelp paths) or "cpu" (the CPU sampler); unset or "all" runs all three on
// every input. A narrowed run spends its executions and its coverage feedback
// on that parser alone. The input format is the same in every mode, so corpora
// move freely between them.
//
// Input: a 24-byte header (missing bytes read as 0), then part A, part B and
// part C, whose lengths come from the header (C takes the rest).
//
//   0      flags: 1 part A is a raw class-5 answer (else: edits to the model's
//          own answer), 2 rebase name pointers of a raw answer onto the buffer,
//          4 thread records after the I/O counters, 8 answer "too small" to a
//          short buffer, 16 report the bytes written (else the length at 8),
//          32 fail an allocation, 64 part B's processes join the model
//   1..2   length of part A        3..4   length of part B
//   5      "too small" answers before each class-5 answer (low 2 bits); the
//          class-5 answer's status (bits 2..4: success, or one of seven
//          failure and warning codes)
//   6      allocations before the failing one
//   7      initial size hint / 64  8..11  reported length
//   12..13 process id asked about  14     capacity of lists and names
//   15     walker flags            16..17 walker start  18..19 element size
//   20..23 a handle value for GetProcessID
//
//   A, model mode: (offset u16, xor u8) edits of the model's answer.
//   B: corruption count n (low 3 bits), n x (entry u8, dwSize u16), then
//      processes: pid u16, parent u16, threads u8 (low 3 bits), base priority
//      i8, Toolhelp priority i8, path length u8, path bytes.
//   C: answers of 11 bytes: class (0/2/3 by value mod 3), status selector,
//      length selector, 8 value bytes; before them, when C has 33 bytes or
//      more, two samples and a processor count for the pure arithmetic.
#include <standin/control.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "runwarden/procinfo/cpu_usage.h"
#include "runwarden/procinfo/snapshot.h"

namespace {

constexpr ULONG kUnsuccessful = 0xC0000001;
constexpr DWORD kMark = 0xA5A5A5A5;
constexpr WCHAR kMarkChar = 0xA5A5;
constexpr size_t kHeader = 24;

#define CHECK(cond)                                                                         \
    do {                                                                                    \
        if (!(cond)) {                                                                      \
            fprintf(stderr, "fuzz_procinfo: check failed at line %d: %s\n", __LINE__, #cond); \
            abort();                                                                        \
        }                                                                                   \
    } while (0)

struct Reader {
    const uint8_t* p;
    size_t n;
    uint8_t u8() { return n ? (--n, *p++) : 0; }
    uint16_t u16() { return static_cast<uint16_t>(u8() | u8() << 8); }
    uint32_t u32() { return u16() | static_cast<uint32_t>(u16()) << 16; }
    uint64_t u64() { return u32() | static_cast<uint64_t>(u32()) << 32; }
    std::string bytes(size_t k) {
        k = std::min(k, n);
        std::string s(reinterpret_cast<const char*>(p), k);
        p += k;
        n -= k;
        return s;
    }
};

struct Header {
    uint8_t flags, tooSmall, status, allocCountdown, hint64, capacity, walkerFlags;
    uint16_t lengthA, lengthB, pid, walkerStart, walkerElement;
    uint32_t reported, handle;
};

Header readHeader(Reader r) {
    Header h;
    h.flags = r.u8();
    h.lengthA = r.u16();
    h.lengthB = r.u16();
    const uint8_t answers = r.u8();
    h.tooSmall = answers & 3;
    h.status = (answers >> 2) & 7;
    h.allocCountdown = r.u8();
    h.hint64 = r.u8();
    h.reported = r.u32();
    h.pid = r.u16();
    h.capacity = r.u8();
    h.walkerFlags = r.u8() & 7;
    h.walkerStart = r.u16();
    h.walkerElement = r.u16();
    h.handle = r.u32();
    return h;
}

// An unmapped base priority writes 0 with 0xC0000001; every other failure
// (a process that is not there included) writes nothing.
bool priorityWritten(ULONG s, DWORD v) {
    if (s == 0) return v == 0x40 || v == 0x20 || v == 0x80 || v == 0x100;
    return v == kMark || (s == kUnsuccessful && v == 0);
}

// --- part A: the class-5 answer ---

// Record offsets of a chain of relative links, as far as it goes forward.
std::vector<size_t> chain(const std::vector<unsigned char>& b) {
    std::vector<size_t> out;
    uint64_t at = 0;
    while (at + 0x88 <= b.size() && out.size() < 64) {
        out.push_back(static_cast<size_t>(at));
        ULONG link;
        memcpy(&link, &b[static_cast<size_t>(at)], 4);
        if (link == 0) break;
        at += link;
    }
    return out;
}

// The status a class-5 answer carries: success, or a code that is neither
// success nor "too small" (failures, a warning, a non-zero success code).
constexpr ULONG kAnswerStatuses[8] = {0,          0xC0000001, 0xC0000022, 0xC0000017,
                                      0xC000000D, 0x80000005, 0x00000103, 0xC0000003};

// Scripts one class-5 answer per service call of a snapshot, and takes back
// what the snapshot did not consume, so that every query sees the same. With
// exact set, an answer that fails is what every query reports.
class NtScript {
public:
    NtScript(const standin::NtAnswer& answer, unsigned tooSmall, ULONG hint, bool exact)
        : answer_(answer), tooSmall_(tooSmall), hint_(hint), exact_(exact) {}

    template <typename Query>
    ULONG run(Query query) {
        rw::snapshotSizeHint = hint_;  // each query grows from the same start
        standin::NtAnswer small;
        small.status = static_cast<NTSTATUS>(0xC0000004);
        for (unsigned i = 0; i < tooSmall_; ++i) standin::scriptNt(5, small);
        const unsigned copies = answer_.tooSmallIfShort ? 3 : 1;  // room for growth steps
        for (unsigned i = 0; i < copies; ++i) standin::scriptNt(5, answer_);
        const size_t before = standin::ntCalls().size();
        const ULONG status = query();
        const size_t used = standin::ntCalls().size() - before;
        for (size_t left = tooSmall_ + copies; left > used; --left) {
            ULONG returned = 0;
            rw::nativeServices.querySystemInformation(5, nullptr, 0, &returned);
        }
        // An answer that is not cut short reaches the query whole: its failure
        // is reported as it is, never as success and never as another code.
        if (exact_ && answer_.status != 0 && !answer_.tooSmallIfShort)
            CHECK(status == static_cast<ULONG>(answer_.status));
        return status;
    }

private:
    standin::NtAnswer answer_;
    unsigned tooSmall_;
    ULONG hint_;
    bool exact_;
};

// Every handed-out element lies inside the buffer and no more than count are
// handed out. The buffer is a heap block of exactly the walked size.
void fuzzWalker(const Header& h, const std::string& bytes) {
    std::vector<BYTE> heap(bytes.begin(), bytes.end());
    rw::RecordWalker w = {heap.empty() ? nullptr : heap.data(), static_cast<ULONG>(heap.size()), h.walkerStart,
                          h.walkerElement, h.walkerFlags, 0, 0};
    const ULONG count = rw::countRecords(&w);
    const bool linked = !(h.walkerFlags & (rw::kFixedSize | rw::kCountHeader));
    const size_t need = linked ? std::max<size_t>(h.walkerElement, 4) : h.walkerElement;
    ULONG seen = 0;
    for (const BYTE* e = rw::firstRecord(&w); e; e = rw::nextRecord(&w, e)) {
        CHECK(++seen <= count);
        CHECK(e >= heap.data() + h.walkerStart && static_cast<size_t>(e - heap.data()) + need <= heap.size());
    }
    CHECK(seen == count);
}

void fuzzNativeQueries(const Header& h, const standin::NtAnswer& answer) {
    rw::backendMode = rw::kBackendNative;
    // An injected allocation failure makes one query report no memory instead.
    NtScript script(answer, h.tooSmall, static_cast<ULONG>(h.hint64) * 64, !(h.flags & 32));
    const DWORD capacity = h.capacity;

    std::vector<DWORD> pids = {h.pid, 0};
    for (size_t at : chain(answer.bytes)) {
        if (pids.size() >= 6) break;
        ULONG pid;
        memcpy(&pid, &answer.bytes[at + 0x44], 4);
        pids.push_back(pid);
    }

    if (h.flags & 32) standin::failAllocations(h.allocCountdown);
    DWORD n = kMark;
    ULONG s = script.run([&] { return GetNumberOfProcesses(&n); });
    CHECK(s == 0 || n == kMark);

    for (DWORD pid : pids) {
        DWORD v = kMark;
        s = script.run([&] { return GetParentProcessId(pid, &v); });
        CHECK(s == 0 || v == kMark);
        v = kMark;
        s = script.run([&] { return GetProcessHandle(pid, &v); });
        CHECK(s == 0 || v == kMark);
        v = kMark;
        s = script.run([&] { return GetProcessCommitCharge(pid, &v); });
        CHECK(s == 0 || v == kMark);
        v = kMark;
        s = script.run([&] { return GetProcessBasePriority(pid, &v); });
        CHECK(priorityWritten(s, v));

        unsigned long long t = 0xA5A5A5A5A5A5A5A5ull;
        s = script.run([&] { return GetProcessUserTime(pid, &t); });
        CHECK(s == 0 || t == 0xA5A5A5A5A5A5A5A5ull);
        s = script.run([&] { return GetProcessKernelTime(pid, &t); });

        Win32ExtSystemTime st;
        memset(&st, 0xA5, sizeof st);
        s = script.run([&] { return GetProcessCreationTime(pid, &st); });

        std::vector<BYTE> record(136, 0xA5);
        s = script.run([&] { return GetProcessInformation(pid, record.data()); });
        CHECK(s == 0 || std::all_of(record.begin(), record.end(), [](BYTE b) { return b == 0xA5; }));

        if (capacity > 0) {
            std::vector<WCHAR> name(capacity, kMarkChar);
            s = script.run([&] { return GetProcessModuleName(pid, name.data(), capacity); });
            CHECK(s == 0 ? std::find(name.begin(), name.end(), 0) != name.end() : name[0] == kMarkChar);

            for (auto* threads : {&GetProcessThreadIds, &GetProcessThreadHandles}) {
                std::vector<DWORD> ids(capacity, kMark);
                DWORD k = kMark;
                s = script.run([&] { return threads(pid, ids.data(), capacity, &k); });
                CHECK(s == 0 ? k <= capacity : k == kMark);
            }
            std::vector<DWORD> ids(capacity, kMark);
            DWORD k = kMark;
            s = script.run([&] { return GetChildProcesses(pid, ids.data(), capacity, &k); });
            CHECK(s == 0 ? k < capacity : (k == kMark || (s == kUnsuccessful && k == capacity)));
        }
    }
    standin::stopFailingAllocations();
    rw::snapshotSizeHint = 0x10000;  // a wrapped or grown hint does not carry over

    DWORD id = kMark;
    CHECK(GetProcessID(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(h.handle)), &id) ==
          (h.handle == 0 ? 0xC000000Du : 0u));
}

// --- part B: Toolhelp ---

struct ModelProcess {
    DWORD pid;
    bool consistent;  // both back ends describe it alike
};

// The last path component as the Toolhelp path takes it.
std::string lastComponent(const std::string& path) {
    for (size_t i = path.size(); i-- > 1;)
        if (path[i] == '\\') return path.substr(i + 1);
    return path;
}

std::vector<ModelProcess> addProcesses(Reader& r) {
    std::vector<ModelProcess> out;
    while (r.n >= 8 && out.size() < 32) {
        standin::ProcessSpec s;
        s.pid = r.u16();
        s.parent = r.u16();
        const unsigned threads = r.u8() & 7;
        s.basePriority = static_cast<int8_t>(r.u8());
        s.toolhelpPriority = static_cast<int8_t>(r.u8());
        std::string path = r.bytes(r.u8());
        const bool ascii = std::all_of(path.begin(), path.end(), [](char c) { return c > 0 && c < 0x7F; });
        s.exePath = path;
        s.image = lastComponent(path);
        if (s.image.empty() && !path.empty()) s.image = "x";
        if (s.exePath.empty()) s.exePath = s.image;
        for (unsigned j = 0; j < threads; ++j) s.threads.push_back(0x10000 + s.pid * 8 + j);
        s.noThreads = threads == 0;
        const DWORD pid = standin::addProcess(s);
        out.push_back({pid, ascii && path.size() < MAX_PATH && s.basePriority == s.toolhelpPriority &&
                                lastComponent(s.exePath) == s.image});
    }
    return out;
}

void fuzzToolhelp(const Header& h, const std::vector<std::pair<unsigned, DWORD>>& corruptions) {
    rw::backendMode = rw::kBackendToolhelp;
    for (const auto& c : corruptions) standin::corruptToolhelpSize(c.first, c.second);
    const DWORD capacity = h.capacity;
    for (DWORD pid : {static_cast<DWORD>(h.pid), 0ul, 1000ul}) {
        DWORD v = kMark;
        ULONG s = GetParentProcessId(pid, &v);
        CHECK(s == 0 || v == kMark);
        v = kMark;
        s = GetProcessBasePriority(pid, &v);
        CHECK(priorityWritten(s, v));
        std::vector<WCHAR> name(capacity, kMarkChar);
        GetProcessModuleName(pid, name.empty() ? nullptr : name.data(), capacity);
        GetProcessModuleName(pid, nullptr, capacity);
        if (capacity > 0) {
            std::vector<DWORD> ids(capacity, kMark);
            DWORD k = kMark;
            s = GetProcessThreadIds(pid, ids.data(), capacity, &k);
            CHECK(s == 0 ? k < capacity : (k == kMark || k == capacity));
            k = kMark;
            s = GetChildProcesses(pid, ids.data(), capacity, &k);
            CHECK(s == 0 ? k < capacity : (k == kMark || k == capacity));
            CHECK(GetProcessThreadHandles(pid, ids.data(), capacity, &k) == 1151);
        }
    }
    DWORD n = kMark;
    GetNumberOfProcesses(&n);
}

// On a model whose processes both back ends describe alike, the six shared
// queries agree (apart from the codes for a process that is not there).
void differential(const std::vector<ModelProcess>& added) {
    std::vector<DWORD> pids;
    for (const standin::ProcessState& p : standin::processes()) pids.push_back(p.pid);
    for (const ModelProcess& p : added)
        if (!p.consistent) return;
    auto ask = [&](LONG mode) {
        rw::backendMode = mode;
        std::vector<std::vector<DWORD>> answers;
        DWORD n = 0;
        answers.push_back({GetNumberOfProcesses(&n), n});
        for (DWORD pid : pids) {
            std::vector<DWORD> ids(64, 0);
            DWORD k = 0;
            ULONG s = GetChildProcesses(pid, ids.data(), 64, &k);
            ids.resize(std::min<DWORD>(k, 64));
            std::sort(ids.begin(), ids.end());
            ids.insert(ids.begin(), s);
            answers.push_back(ids);
            ids.assign(64, 0);
            k = 0;
            s = GetProcessThreadIds(pid, ids.data(), 64, &k);
            ids.resize(std::min<DWORD>(k, 64));
            ids.insert(ids.begin(), s);
            answers.push_back(ids);
            DWORD parent = 0;
            s = GetParentProcessId(pid, &parent);
            answers.push_back({s, parent});
            std::vector<WCHAR> name(600, 0);
            s = GetProcessModuleName(pid, name.data(), 600);
            answers.push_back(std::vector<DWORD>(name.begin(), name.end()));
            answers.back().insert(answers.back().begin(), s);
            if (pid != 0) {  // the model's idle process carries no priority in its record
                DWORD priorityClass = 0;
                s = GetProcessBasePriority(pid, &priorityClass);
                answers.push_back({s, priorityClass});
            }
        }
        return answers;
    };
    CHECK(ask(rw::kBackendNative) == ask(rw::kBackendToolhelp));
}

// --- part C: CPU ---

void fuzzCpu(Reader r) {
    if (r.n >= 33) {
        rw::CpuSample previous = {static_cast<LONGLONG>(r.u64()), static_cast<LONGLONG>(r.u64())};
        rw::CpuSample now = {static_cast<LONGLONG>(r.u64()), static_cast<LONGLONG>(r.u64())};
        LONG usage = -7;
        const unsigned processors = r.u8();
        if (rw::computeCpuUsage(previous, now, processors, &usage) == rw::CpuVerdict::Value) {
            CHECK(usage >= 0 && usage <= 100);
        } else {
            CHECK(usage == -7);
        }
    }
    while (r.n >= 11) {
        static const ULONG kClasses[] = {0, 2, 3};
        const ULONG infoClass = kClasses[r.u8() % 3];
        const uint8_t statusSelector = r.u8(), lengthSelector = r.u8();
        const uint64_t value = r.u64();
        standin::NtAnswer a;
        a.bytes.assign(infoClass == 0 ? 44 : infoClass == 2 ? 312 : 32, 0);
        if (infoClass == 0) a.bytes[40] = static_cast<unsigned char>(value);
        memcpy(&a.bytes[infoClass == 3 ? 8 : 0], &value, 8);
        if (statusSelector >= 0xF0) a.status = static_cast<NTSTATUS>(0xC0000000u | statusSelector);
        if (lengthSelector >= 0xF0) a.reportedLength = lengthSelector & 0x0F;
        standin::scriptNt(infoClass, a);
    }
    rw::backendMode = rw::kBackendNative;
    const unsigned sleepsBefore = standin::sleeps();
    LONG usage = -7;
    const ULONG s = GetCPUUsage(&usage);
    CHECK(standin::sleeps() - sleepsBefore <= 6);
    if (s == 0 && usage != -7) CHECK(usage >= 0 && usage <= 100);
    if (s != 0) CHECK(usage == -7);
}

enum Parser : unsigned { kNt = 1, kToolhelp = 2, kCpu = 4, kAll = kNt | kToolhelp | kCpu };
unsigned parsers = kAll;

bool bindOnce() {
    standin::reset();
    return rw::bindNativeServices() == 1 && rw::bindToolhelpServices() == 1;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* mode = getenv("FUZZ_PROCINFO_PARSER");
    const std::string m = mode ? mode : "";
    if (m.empty() || m == "all") {
        parsers = kAll;
    } else if (m == "nt") {
        parsers = kNt;
    } else if (m == "toolhelp") {
        parsers = kToolhelp;
    } else if (m == "cpu") {
        parsers = kCpu;
    } else {
        fprintf(stderr, "fuzz_procinfo: FUZZ_PROCINFO_PARSER must be all, nt, toolhelp or cpu, not \"%s\"\n",
                m.c_str());
        exit(2);
    }
    fprintf(stderr, "fuzz_procinfo: parsers %s\n", m.empty() ? "all" : m.c_str());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool bound = bindOnce();
    CHECK(bound);
    standin::reset();

    uint8_t headerBytes[kHeader] = {};
    memcpy(headerBytes, data, std::min(size, kHeader));
    const Header h = readHeader(Reader{headerBytes, kHeader});
    Reader rest{data + std::min(size, kHeader), size - std::min(size, kHeader)};
    const std::string partA = rest.bytes(h.lengthA);
    Reader partB{rest.p, std::min<size_t>(h.lengthB, rest.n)};
    Reader partC{rest.p + partB.n, rest.n - partB.n};

    if (parsers == kCpu) {  // the sampler reads none of the model that parts A and B build
        fuzzCpu(partC);
        return 0;
    }

    // Part B: corruptions and processes, which may join the native model too.
    std::vector<std::pair<unsigned, DWORD>> corruptions;
    for (unsigned n = partB.u8() & 7; n > 0; --n) {
        const unsigned entry = partB.u8();
        corruptions.emplace_back(entry, partB.u16());
    }
    standin::setThreadLayout((h.flags & 4) ? standin::ThreadLayout::AfterIoCounters
                                           : standin::ThreadLayout::AfterFixedPart);
    std::vector<ModelProcess> added;
    if (h.flags & 64) added = addProcesses(partB);

    // Part A: the class-5 answer.
    if (parsers & kNt) {
        standin::NtAnswer answer;
        if (h.flags & 1) {
            answer.bytes.assign(partA.begin(), partA.end());
            if (h.flags & 2)
                for (size_t at : chain(answer.bytes)) answer.relocations.push_back(at + 0x3C);
        } else {
            answer = standin::buildProcessSnapshot();
            Reader edits{reinterpret_cast<const uint8_t*>(partA.data()), partA.size()};
            while (edits.n >= 3 && !answer.bytes.empty()) {
                const size_t at = edits.u16() % answer.bytes.size();
                answer.bytes[at] ^= edits.u8();
            }
        }
        answer.status = static_cast<NTSTATUS>(kAnswerStatuses[h.status]);
        answer.tooSmallIfShort = (h.flags & 8) != 0;
        if (!(h.flags & 16)) answer.reportedLength = static_cast<long>(h.reported & 0x7FFFFFFF);
        fuzzWalker(h, std::string(answer.bytes.begin(), answer.bytes.end()));
        fuzzNativeQueries(h, answer);
        CHECK(standin::liveAllocations() == 0);
    }

    if (!(h.flags & 1) && partA.empty() && corruptions.empty()) differential(added);
    if (parsers & kToolhelp) fuzzToolhelp(h, corruptions);
    CHECK(standin::liveAllocations() == 0);
    CHECK(standin::openHandleCount() == 0);

    if (parsers & kCpu) fuzzCpu(partC);
    rw::snapshotSizeHint = 0x10000;
    return 0;
}
