// The fourteen per-process queries on the native and the Toolhelp back end:
// values, result codes, and which out-parameters each result leaves alone.
#include <gtest/gtest.h>
#include "freshrunwarden.h"
#include <standin/control.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "runwarden/procinfo/snapshot.h"

namespace {

constexpr ULONG kUnsuccessful = 0xC0000001;
constexpr ULONG kInvalidParameter = 0xC000000D;
constexpr DWORD kMark = 0xA5A5A5A5;
constexpr WCHAR kMarkChar = 0xA5A5;

enum class Back { Native, Toolhelp };
const char* nameOf(Back b) { return b == Back::Native ? "native" : "Toolhelp"; }

void put32(std::vector<unsigned char>& b, size_t at, ULONG v) { memcpy(&b[at], &v, 4); }

// Offsets of the process records of a class-5 answer, by process id.
std::map<DWORD, size_t> recordsOf(const std::vector<unsigned char>& b) {
    std::map<DWORD, size_t> out;
    size_t at = 0;
    while (at + 0x88 <= b.size()) {
        ULONG link, pid;
        memcpy(&link, &b[at], 4);
        memcpy(&pid, &b[at + 0x44], 4);
        out[pid] = at;
        if (link == 0) break;
        at += link;
    }
    return out;
}

std::vector<DWORD> sorted(std::vector<DWORD> v) {
    std::sort(v.begin(), v.end());
    return v;
}

std::vector<DWORD> allPids() {
    std::vector<DWORD> out;
    for (const standin::ProcessState& p : standin::processes()) out.push_back(p.pid);
    return out;
}

class Queries : public ::testing::Test {
protected:
    void SetUp() override {
        freshRunwarden();
        ASSERT_EQ(1, rw::bindNativeServices());
        ASSERT_EQ(1, rw::bindToolhelpServices());
        use(Back::Native);
    }
    void TearDown() override {
        EXPECT_EQ(0, standin::liveAllocations()) << "a snapshot leaked";
        EXPECT_EQ(0u, standin::openHandleCount()) << "a handle was left open";
    }

    static void use(Back b) { rw::backendMode = b == Back::Native ? rw::kBackendNative : rw::kBackendToolhelp; }

    // The process that most tests ask about.
    static DWORD addWorker() {
        standin::ProcessSpec s;
        s.pid = 3000;
        s.parent = 1000;
        s.threads = {3004, 3008, 3012};
        s.createTime = 132593079670890003LL;  // 2021-03-04 05:06:07.089 UTC, a Thursday
        s.userTime = 0x0000012345678ABCull;
        s.kernelTime = 0xFEDCBA9876543210ull;
        s.basePriority = 13;
        s.toolhelpPriority = 13;
        s.commitCharge = 0x00ABCDEF;
        s.image = "worker.exe";
        s.exePath = "C:\\apps\\worker.exe";
        return standin::addProcess(s);
    }
};

std::vector<WCHAR> wide(const std::string& s) {
    std::vector<WCHAR> w;
    for (unsigned char c : s) w.push_back(c);
    return w;
}

// --- native back end ---

TEST_F(Queries, NativeAnswersFromTheRecord) {
    for (standin::ThreadLayout layout : {standin::ThreadLayout::AfterIoCounters, standin::ThreadLayout::AfterFixedPart}) {
        SCOPED_TRACE(static_cast<int>(layout));
        SetUp();
        standin::setThreadLayout(layout);
        const DWORD pid = addWorker();

        std::vector<BYTE> record(140, 0xA5);
        ASSERT_EQ(0u, GetProcessInformation(pid, record.data()));
        const standin::NtAnswer built = standin::buildProcessSnapshot();
        const BYTE* fixed = &built.bytes[recordsOf(built.bytes).at(pid)];
        EXPECT_EQ(0, memcmp(fixed, record.data(), 0x3C));
        EXPECT_EQ(0, memcmp(fixed + 0x40, record.data() + 0x40, 136 - 0x40));
        EXPECT_EQ(std::vector<BYTE>(4, 0xA5), std::vector<BYTE>(record.begin() + 136, record.end()))
            << "exactly 136 bytes";

        std::vector<WCHAR> name(32, kMarkChar);
        ASSERT_EQ(0u, GetProcessModuleName(pid, name.data(), 32));
        std::vector<WCHAR> expected = wide("worker.exe");
        expected.push_back(0);
        EXPECT_EQ(expected, std::vector<WCHAR>(name.begin(), name.begin() + 11));

        DWORD value = kMark;
        ASSERT_EQ(0u, GetParentProcessId(pid, &value));
        EXPECT_EQ(1000u, value);
        ASSERT_EQ(0u, GetProcessHandle(pid, &value));
        EXPECT_EQ(pid, value) << "the first thread record's owner";
        ASSERT_EQ(0u, GetProcessCommitCharge(pid, &value));
        EXPECT_EQ(0x00ABCDEFu, value);
        ASSERT_EQ(0u, GetProcessBasePriority(pid, &value));
        EXPECT_EQ(0x80u, value);
        ASSERT_EQ(0u, GetNumberOfProcesses(&value));
        EXPECT_EQ(4u, value);

        for (auto* threads : {&GetProcessThreadIds, &GetProcessThreadHandles}) {
            std::vector<DWORD> ids(3, kMark);
            DWORD count = kMark;
            ASSERT_EQ(0u, threads(pid, ids.data(), 3, &count));
            EXPECT_EQ(3u, count);
            EXPECT_EQ((std::vector<DWORD>{3004, 3008, 3012}), ids);
        }

        std::vector<DWORD> children(4, kMark);
        DWORD count = kMark;
        ASSERT_EQ(0u, GetChildProcesses(1000, children.data(), 4, &count));
        EXPECT_EQ(1u, count);
        EXPECT_EQ(pid, children[0]);

        Win32ExtSystemTime t;
        ASSERT_EQ(0u, GetProcessCreationTime(pid, &t));
        EXPECT_EQ(2021, t.wYear);
        EXPECT_EQ(3, t.wMonth);
        EXPECT_EQ(4, t.wDayOfWeek);
        EXPECT_EQ(4, t.wDay);
        EXPECT_EQ(5, t.wHour) << "UTC as recorded, no local time";
        EXPECT_EQ(6, t.wMinute);
        EXPECT_EQ(7, t.wSecond);
        EXPECT_EQ(89, t.wMilliseconds);

        unsigned long long time = 0;
        ASSERT_EQ(0u, GetProcessUserTime(pid, &time));
        EXPECT_EQ(0x0000012345678ABCull, time);
        ASSERT_EQ(0u, GetProcessKernelTime(pid, &time));
        EXPECT_EQ(0xFEDCBA9876543210ull, time) << "unchanged 64 bits";
    }
}

TEST_F(Queries, CreationTimes) {
    struct Case {
        LONGLONG fileTime;
        ULONG result;
        WORD year, month, day, hour, ms;
    };
    const Case cases[] = {
        {0, 0, 1601, 1, 1, 0, 0},
        {125963423999990000LL, 0, 2000, 2, 29, 23, 999},
        {-1, kUnsuccessful},  // beyond what the conversion accepts
        {static_cast<LONGLONG>(0x8000000000000000ull), kUnsuccessful},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fileTime);
        SetUp();
        standin::ProcessSpec s;
        s.pid = 3000;
        s.createTime = c.fileTime;
        standin::addProcess(s);
        Win32ExtSystemTime t;
        memset(&t, 0xA5, sizeof t);
        EXPECT_EQ(c.result, GetProcessCreationTime(3000, &t));
        if (c.result == 0) {
            EXPECT_EQ(c.year, t.wYear);
            EXPECT_EQ(c.month, t.wMonth);
            EXPECT_EQ(c.day, t.wDay);
            EXPECT_EQ(c.hour, t.wHour);
            EXPECT_EQ(c.ms, t.wMilliseconds);
        } else {
            EXPECT_EQ(0xA5A5, t.wYear) << "nothing written";
        }
    }
}

TEST_F(Queries, ProcessIdBehindAHandle) {
    HANDLE opened = OpenProcess(0x1F0FFF, TRUE, 4);
    ASSERT_NE(nullptr, opened);
    struct Case {
        const char* name;
        HANDLE handle;
        DWORD pid;
    };
    const Case cases[] = {
        {"own process", GetCurrentProcess(), 1000},
        {"opened process", opened, 4},
        {"rejected handle", reinterpret_cast<HANDLE>(0x7777), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DWORD pid = kMark;
        EXPECT_EQ(0u, GetProcessID(c.handle, &pid)) << "failure shows only as id 0";
        EXPECT_EQ(c.pid, pid);
    }
    CloseHandle(opened);
}

// --- priority classes, both back ends ---

TEST_F(Queries, PriorityClassMapping) {
    struct Case {
        LONG base;
        ULONG result;
        DWORD priorityClass;
    };
    const Case cases[] = {
        {4, 0, 0x40}, {8, 0, 0x20}, {13, 0, 0x80}, {24, 0, 0x100},
        {9, kUnsuccessful, 0}, {0, kUnsuccessful, 0}, {-1, kUnsuccessful, 0}, {0x20, kUnsuccessful, 0},
    };
    for (Back back : {Back::Native, Back::Toolhelp}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(nameOf(back)) + " " + std::to_string(c.base));
            SetUp();
            use(back);
            standin::ProcessSpec s;
            s.pid = 3000;
            s.basePriority = back == Back::Native ? c.base : 8;
            s.toolhelpPriority = back == Back::Toolhelp ? c.base : 8;
            standin::addProcess(s);
            DWORD value = kMark;
            EXPECT_EQ(c.result, GetProcessBasePriority(3000, &value));
            EXPECT_EQ(c.priorityClass, value) << "an unmapped priority writes 0";
        }
    }
}

// --- ids lists ---

TEST_F(Queries, ChildListThatReachesItsCapacity) {
    struct Case {
        unsigned matches;
        ULONG result;
        DWORD count;
    };
    const Case cases[] = {{1023, 0, 1023}, {1024, kUnsuccessful, 1024}, {1025, kUnsuccessful, 1024}};
    for (Back back : {Back::Native, Back::Toolhelp}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(nameOf(back)) + " " + std::to_string(c.matches));
            SetUp();
            use(back);
            std::vector<DWORD> expected;
            for (unsigned i = 0; i < c.matches; ++i) {
                standin::ProcessSpec s;
                s.parent = 1000;
                expected.push_back(standin::addProcess(s));
            }
            standin::addProcess({});  // not a child
            expected.resize(c.count);
            std::vector<DWORD> ids(1024, kMark);  // exactly the capacity: ASan sees a write past it
            DWORD count = kMark;
            EXPECT_EQ(c.result, GetChildProcesses(1000, ids.data(), 1024, &count));
            EXPECT_EQ(c.count, count);
            ids.resize(c.count);
            EXPECT_EQ(expected, sorted(ids));
        }
    }
}

TEST_F(Queries, ParentZeroListsEveryProcess) {
    addWorker();
    for (Back back : {Back::Native, Back::Toolhelp}) {
        SCOPED_TRACE(nameOf(back));
        use(back);
        std::vector<DWORD> ids(16, kMark);
        DWORD count = kMark;
        ASSERT_EQ(0u, GetChildProcesses(0, ids.data(), 16, &count));
        ids.resize(count);
        EXPECT_EQ(allPids(), sorted(ids));
        EXPECT_EQ(0u, sorted(ids).front()) << "the idle process is listed too";
    }
}

// The native list is full only when the threads do not fit; the Toolhelp list
// is reported full as soon as it fills the array.
TEST_F(Queries, ThreadListCapacity) {
    struct Case {
        Back back;
        DWORD capacity;
        ULONG result;
        DWORD count;    // kMark: not written
        size_t stored;  // ids written
    };
    const Case cases[] = {
        {Back::Native, 4, 0, 3, 3},
        {Back::Native, 3, 0, 3, 3},
        {Back::Native, 2, kUnsuccessful, kMark, 0},
        {Back::Toolhelp, 4, 0, 3, 3},
        {Back::Toolhelp, 3, kUnsuccessful, 3, 3},
        {Back::Toolhelp, 2, kUnsuccessful, 2, 2},
        {Back::Toolhelp, 1, kUnsuccessful, 1, 1},
    };
    const std::vector<DWORD> threads = {3004, 3008, 3012};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(nameOf(c.back)) + " " + std::to_string(c.capacity));
        SetUp();
        use(c.back);
        const DWORD pid = addWorker();
        std::vector<DWORD> ids(c.capacity, kMark);
        DWORD count = kMark;
        EXPECT_EQ(c.result, GetProcessThreadIds(pid, ids.data(), c.capacity, &count));
        EXPECT_EQ(c.count, count);
        std::vector<DWORD> expected(threads.begin(), threads.begin() + c.stored);
        expected.resize(c.capacity, kMark);
        EXPECT_EQ(expected, ids);
    }
}

// Both names answer alike on the native back end; the handles list has no
// Toolhelp path.
TEST_F(Queries, ThreadHandlesAreTheNativeThreadIds) {
    addWorker();
    standin::ProcessSpec bare;
    bare.pid = 3100;
    bare.noThreads = true;
    standin::addProcess(bare);
    for (DWORD pid : {0ul, 4ul, 1000ul, 3000ul, 3100ul, 9999ul}) {
        for (DWORD capacity : {1ul, 2ul, 3ul, 8ul}) {
            SCOPED_TRACE(std::to_string(pid) + "/" + std::to_string(capacity));
            std::vector<DWORD> a(capacity, kMark), b(capacity, kMark);
            DWORD ka = kMark, kb = kMark;
            EXPECT_EQ(GetProcessThreadIds(pid, a.data(), capacity, &ka),
                      GetProcessThreadHandles(pid, b.data(), capacity, &kb));
            EXPECT_EQ(ka, kb);
            EXPECT_EQ(a, b);
        }
    }
    use(Back::Toolhelp);
    std::vector<DWORD> ids(8, kMark);
    DWORD count = kMark;
    EXPECT_EQ(1151u, GetProcessThreadHandles(3000, ids.data(), 8, &count));
    EXPECT_EQ(kMark, count);
}

TEST_F(Queries, ProcessHandleIsTheFirstThreadsOwner) {
    const DWORD pid = addWorker();
    standin::ProcessSpec bare;
    bare.pid = 3100;
    bare.noThreads = true;
    standin::addProcess(bare);

    standin::NtAnswer a = standin::buildProcessSnapshot();
    put32(a.bytes, recordsOf(a.bytes).at(pid) + 0xB8 + 0x20, 4242);
    standin::scriptNt(5, a);
    DWORD owner = kMark;
    ASSERT_EQ(0u, GetProcessHandle(pid, &owner));
    EXPECT_EQ(4242u, owner) << "read from the thread record, not the key";

    owner = kMark;
    EXPECT_EQ(kUnsuccessful, GetProcessHandle(3100, &owner));
    EXPECT_EQ(kMark, owner);
}

// --- image names ---

TEST_F(Queries, NativeModuleNameCapacity) {
    standin::ProcessSpec s;
    s.pid = 3000;
    s.image = "abc.exe";  // 14 bytes
    standin::addProcess(s);
    s.pid = 3100;
    s.image = "\xC3\xA9t\xC3\xA9.exe";  // "\u00E9t\u00E9.exe": 7 UTF-16 units, 14 bytes
    standin::addProcess(s);
    struct Case {
        DWORD pid;
        DWORD capacity;
        ULONG result;
        std::vector<WCHAR> written;
    };
    const std::vector<WCHAR> abc = {'a', 'b', 'c', '.', 'e', 'x', 'e', 0};
    const Case cases[] = {
        {3000, 14, kInvalidParameter, {}},
        {3000, 15, 0, abc},
        {3000, 64, 0, abc},
        {3100, 14, kInvalidParameter, {}},
        {3100, 15, 0, {0xE9, 't', 0xE9, '.', 'e', 'x', 'e', 0}},
        // The idle process has no name buffer: a lone zero character, which fits
        // any capacity.
        {0, 1, 0, {0}},
        {9999, 64, kUnsuccessful, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.pid) + "/" + std::to_string(c.capacity));
        std::vector<WCHAR> name(c.capacity, kMarkChar);
        EXPECT_EQ(c.result, GetProcessModuleName(c.pid, name.data(), c.capacity));
        std::vector<WCHAR> expected = c.written;
        expected.resize(c.capacity, kMarkChar);
        EXPECT_EQ(expected, name);
    }
}

// Every read of a name stays inside the snapshot: a record whose name pointer
// leads elsewhere is malformed.
TEST_F(Queries, NativeModuleNameOutsideTheSnapshot) {
    addWorker();
    const standin::NtAnswer built = standin::buildProcessSnapshot();
    const size_t at = recordsOf(built.bytes).at(3000);
    struct Case {
        const char* name;
        std::function<void(standin::NtAnswer&)> edit;
    };
    auto unrelocated = [at](standin::NtAnswer& a, ULONG address) {
        a.relocations.erase(std::find(a.relocations.begin(), a.relocations.end(), at + 0x3C));
        put32(a.bytes, at + 0x3C, address);
    };
    const Case cases[] = {
        {"null pointer", [&](standin::NtAnswer& a) { unrelocated(a, 0); }},
        {"below the snapshot", [&](standin::NtAnswer& a) { unrelocated(a, 0x10); }},
        {"above the snapshot", [&](standin::NtAnswer& a) { unrelocated(a, 0xFFFFFFF0u); }},
        {"runs past the end",
         [&](standin::NtAnswer& a) { put32(a.bytes, at + 0x3C, static_cast<ULONG>(a.bytes.size() - 4)); }},
        {"length beyond the snapshot",
         [&](standin::NtAnswer& a) {
             a.bytes[at + 0x38] = 0xFE;
             a.bytes[at + 0x39] = 0xFF;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        standin::NtAnswer a = built;
        c.edit(a);
        standin::scriptNt(5, a);
        std::vector<WCHAR> name(0x10000, kMarkChar);
        EXPECT_EQ(kUnsuccessful, GetProcessModuleName(3000, name.data(), 0x10000));
        EXPECT_EQ(kMarkChar, name[0]);
    }
}

// The last path component, one character per byte, without a terminator.
TEST_F(Queries, ToolhelpModuleName) {
    use(Back::Toolhelp);
    struct Case {
        const char* exePath;
        DWORD capacity;
        bool nullBuffer;
        ULONG result;
        std::string written;
    };
    const std::string longName(259, 'n');
    const Case cases[] = {
        {"C:\\dir\\abc.exe", 7, false, 0, "abc.exe"},
        {"C:\\dir\\abc.exe", 6, false, kInvalidParameter, ""},
        {"abc.exe", 7, false, 0, "abc.exe"},
        {"\\abc.exe", 8, false, 0, "\\abc.exe"},  // a backslash in position 0 alone does not count
        {"\\abc.exe", 7, false, kInvalidParameter, ""},
        {"\\\\a", 1, false, 0, "a"},
        {"C:\\dir\\", 1, false, 0, ""},
        {"C:\\\xE9t\xE9.exe", 7, false, 0, "\xE9t\xE9.exe"},
        {"C:\\x\\abc.exe", 7, true, 0, ""},
        {"C:\\x\\abc.exe", 6, true, kInvalidParameter, ""},
        {"C:\\x\\abc.exe", 0, false, kInvalidParameter, ""},
        {longName.c_str(), 259, false, 0, longName},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.exePath);
        SetUp();
        use(Back::Toolhelp);
        standin::ProcessSpec s;
        s.pid = 3000;
        s.exePath = c.exePath;
        standin::addProcess(s);
        std::vector<WCHAR> name(c.capacity, kMarkChar);
        EXPECT_EQ(c.result, GetProcessModuleName(3000, c.nullBuffer ? nullptr : name.data(), c.capacity));
        std::vector<WCHAR> expected = wide(c.written);
        expected.resize(c.capacity, kMarkChar);
        EXPECT_EQ(expected, name);
    }
}

// --- argument checks and missing processes ---

struct Outs {
    DWORD a[4] = {kMark, kMark, kMark, kMark};
    DWORD k = kMark;
    WCHAR name[4] = {kMarkChar, kMarkChar, kMarkChar, kMarkChar};
    BYTE record[136];
    Win32ExtSystemTime time;
    unsigned long long t = 0xA5A5A5A5A5A5A5A5ull;
    Outs() {
        memset(record, 0xA5, sizeof record);
        memset(&time, 0xA5, sizeof time);
    }
    bool untouched() const {
        const Outs fresh;
        return memcmp(a, fresh.a, sizeof a) == 0 && k == kMark && memcmp(name, fresh.name, sizeof name) == 0 &&
               memcmp(record, fresh.record, sizeof record) == 0 && memcmp(&time, &fresh.time, sizeof time) == 0 &&
               t == fresh.t;
    }
};

struct Call {
    const char* name;
    std::function<ULONG(Outs&)> call;
};

TEST_F(Queries, ArgumentChecksComeFirst) {
    const std::vector<Call> native = {
        {"GetProcessInformation", [](Outs&) { return GetProcessInformation(1000, nullptr); }},
        {"GetProcessModuleName null", [](Outs&) { return GetProcessModuleName(1000, nullptr, 4); }},
        {"GetProcessModuleName 0", [](Outs& o) { return GetProcessModuleName(1000, o.name, 0); }},
        {"GetProcessThreadHandles ids", [](Outs& o) { return GetProcessThreadHandles(1000, nullptr, 4, &o.k); }},
        {"GetProcessThreadHandles 0", [](Outs& o) { return GetProcessThreadHandles(1000, o.a, 0, &o.k); }},
        {"GetProcessThreadHandles count", [](Outs& o) { return GetProcessThreadHandles(1000, o.a, 4, nullptr); }},
        {"GetProcessHandle", [](Outs&) { return GetProcessHandle(1000, nullptr); }},
        {"GetProcessCommitCharge", [](Outs&) { return GetProcessCommitCharge(1000, nullptr); }},
        {"GetProcessCreationTime", [](Outs&) { return GetProcessCreationTime(1000, nullptr); }},
        {"GetProcessUserTime", [](Outs&) { return GetProcessUserTime(1000, nullptr); }},
        {"GetProcessKernelTime", [](Outs&) { return GetProcessKernelTime(1000, nullptr); }},
        {"GetProcessID handle", [](Outs& o) { return GetProcessID(nullptr, &o.k); }},
        {"GetProcessID out", [](Outs&) { return GetProcessID(GetCurrentProcess(), nullptr); }},
    };
    // Checked alike on both back ends.
    const std::vector<Call> both = {
        {"GetParentProcessId", [](Outs&) { return GetParentProcessId(1000, nullptr); }},
        {"GetChildProcesses ids", [](Outs& o) { return GetChildProcesses(0, nullptr, 4, &o.k); }},
        {"GetChildProcesses 0", [](Outs& o) { return GetChildProcesses(0, o.a, 0, &o.k); }},
        {"GetChildProcesses count", [](Outs& o) { return GetChildProcesses(0, o.a, 4, nullptr); }},
        {"GetNumberOfProcesses", [](Outs&) { return GetNumberOfProcesses(nullptr); }},
        {"GetProcessThreadIds ids", [](Outs& o) { return GetProcessThreadIds(1000, nullptr, 4, &o.k); }},
        {"GetProcessThreadIds 0", [](Outs& o) { return GetProcessThreadIds(1000, o.a, 0, &o.k); }},
        {"GetProcessThreadIds count", [](Outs& o) { return GetProcessThreadIds(1000, o.a, 4, nullptr); }},
        {"GetProcessBasePriority", [](Outs&) { return GetProcessBasePriority(1000, nullptr); }},
    };
    auto check = [](Back back, const std::vector<Call>& calls) {
        use(back);
        for (const Call& c : calls) {
            SCOPED_TRACE(std::string(nameOf(back)) + " " + c.name);
            Outs o;
            EXPECT_EQ(kInvalidParameter, c.call(o));
            EXPECT_TRUE(o.untouched());
        }
        EXPECT_TRUE(standin::ntCalls().empty()) << "no snapshot taken";
        EXPECT_EQ(0u, standin::toolhelpSnapshots());
    };
    check(Back::Native, native);
    check(Back::Native, both);
    check(Back::Toolhelp, both);
}

TEST_F(Queries, NativeOnlyQueriesAnswer1151OnToolhelp) {
    use(Back::Toolhelp);
    const std::vector<Call> calls = {
        {"GetProcessInformation", [](Outs& o) { return GetProcessInformation(1000, o.record); }},
        {"GetProcessThreadHandles", [](Outs& o) { return GetProcessThreadHandles(1000, o.a, 4, &o.k); }},
        {"GetProcessHandle", [](Outs& o) { return GetProcessHandle(1000, &o.k); }},
        {"GetProcessCommitCharge", [](Outs& o) { return GetProcessCommitCharge(1000, &o.k); }},
        {"GetProcessCreationTime", [](Outs& o) { return GetProcessCreationTime(1000, &o.time); }},
        {"GetProcessUserTime", [](Outs& o) { return GetProcessUserTime(1000, &o.t); }},
        {"GetProcessKernelTime", [](Outs& o) { return GetProcessKernelTime(1000, &o.t); }},
        {"GetProcessID", [](Outs& o) { return GetProcessID(GetCurrentProcess(), &o.k); }},
        {"GetProcessInformation null", [](Outs&) { return GetProcessInformation(1000, nullptr); }},
    };
    for (const Call& c : calls) {
        SCOPED_TRACE(c.name);
        Outs o;
        EXPECT_EQ(1151u, c.call(o));
        EXPECT_TRUE(o.untouched());
    }
    EXPECT_EQ(0u, standin::toolhelpSnapshots());
}

// A process that is not there: 0xC0000001 on the native back end; the
// Toolhelp single-process lookups report 0xC000000D; lists are just empty.
TEST_F(Queries, MissingProcess) {
    constexpr DWORD kMissing = 9999;
    struct Case {
        const char* name;
        ULONG native, toolhelp;  // 1151: no such path
        std::function<ULONG(Outs&)> call;
    };
    const Case cases[] = {
        {"GetProcessInformation", kUnsuccessful, 1151, [](Outs& o) { return GetProcessInformation(kMissing, o.record); }},
        {"GetProcessModuleName", kUnsuccessful, kInvalidParameter,
         [](Outs& o) { return GetProcessModuleName(kMissing, o.name, 4); }},
        {"GetParentProcessId", kUnsuccessful, kInvalidParameter,
         [](Outs& o) { return GetParentProcessId(kMissing, &o.k); }},
        {"GetProcessThreadHandles", kUnsuccessful, 1151,
         [](Outs& o) { return GetProcessThreadHandles(kMissing, o.a, 4, &o.k); }},
        {"GetProcessHandle", kUnsuccessful, 1151, [](Outs& o) { return GetProcessHandle(kMissing, &o.k); }},
        {"GetProcessCommitCharge", kUnsuccessful, 1151, [](Outs& o) { return GetProcessCommitCharge(kMissing, &o.k); }},
        {"GetProcessCreationTime", kUnsuccessful, 1151,
         [](Outs& o) { return GetProcessCreationTime(kMissing, &o.time); }},
        {"GetProcessUserTime", kUnsuccessful, 1151, [](Outs& o) { return GetProcessUserTime(kMissing, &o.t); }},
        {"GetProcessKernelTime", kUnsuccessful, 1151, [](Outs& o) { return GetProcessKernelTime(kMissing, &o.t); }},
        // Our documented choice on Toolhelp: not found, as the other lookups say.
        {"GetProcessBasePriority", kUnsuccessful, kInvalidParameter,
         [](Outs& o) { return GetProcessBasePriority(kMissing, &o.k); }},
    };
    for (Back back : {Back::Native, Back::Toolhelp}) {
        use(back);
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(nameOf(back)) + " " + c.name);
            Outs o;
            EXPECT_EQ(back == Back::Native ? c.native : c.toolhelp, c.call(o));
            EXPECT_TRUE(o.untouched());
        }
        SCOPED_TRACE(nameOf(back));
        Outs o;
        EXPECT_EQ(0u, GetChildProcesses(kMissing, o.a, 4, &o.k)) << "no children is no failure";
        EXPECT_EQ(0u, o.k);
    }
    // The native thread list looks the process up; the Toolhelp one only filters.
    use(Back::Native);
    Outs native;
    EXPECT_EQ(kUnsuccessful, GetProcessThreadIds(kMissing, native.a, 4, &native.k));
    EXPECT_TRUE(native.untouched());
    use(Back::Toolhelp);
    Outs toolhelp;
    EXPECT_EQ(0u, GetProcessThreadIds(kMissing, toolhelp.a, 4, &toolhelp.k));
    EXPECT_EQ(0u, toolhelp.k);
}

// A system whose snapshot holds nothing: a zero-length native answer, an empty
// Toolhelp enumeration.
TEST_F(Queries, EmptySnapshot) {
    for (DWORD pid : allPids()) standin::removeProcess(pid);
    use(Back::Native);
    Outs o;
    EXPECT_EQ(kUnsuccessful, GetChildProcesses(0, o.a, 4, &o.k));
    EXPECT_EQ(kUnsuccessful, GetParentProcessId(0, &o.k));
    EXPECT_TRUE(o.untouched()) << "the count is not written without a first record";
    EXPECT_EQ(0u, GetNumberOfProcesses(&o.k));
    EXPECT_EQ(0u, o.k);

    use(Back::Toolhelp);
    Outs t;
    EXPECT_EQ(kInvalidParameter, GetParentProcessId(0, &t.k));
    EXPECT_EQ(kInvalidParameter, GetProcessModuleName(0, t.name, 4));
    EXPECT_EQ(kInvalidParameter, GetProcessBasePriority(0, &t.k));
    EXPECT_TRUE(t.untouched());
    EXPECT_EQ(0u, GetChildProcesses(0, t.a, 4, &t.k));
    EXPECT_EQ(0u, t.k);
    t.k = kMark;
    EXPECT_EQ(0u, GetNumberOfProcesses(&t.k));
    EXPECT_EQ(0u, t.k);
    t.k = kMark;
    EXPECT_EQ(0u, GetProcessThreadIds(0, t.a, 4, &t.k));
    EXPECT_EQ(0u, t.k);
}

// The snapshot's own failures reach every native query unchanged.
TEST_F(Queries, NativeSnapshotFailuresArePassedOn) {
    const std::vector<Call> calls = {
        {"GetProcessInformation", [](Outs& o) { return GetProcessInformation(1000, o.record); }},
        {"GetProcessModuleName", [](Outs& o) { return GetProcessModuleName(1000, o.name, 4); }},
        {"GetParentProcessId", [](Outs& o) { return GetParentProcessId(1000, &o.k); }},
        {"GetChildProcesses", [](Outs& o) { return GetChildProcesses(0, o.a, 4, &o.k); }},
        {"GetNumberOfProcesses", [](Outs& o) { return GetNumberOfProcesses(&o.k); }},
        {"GetProcessThreadIds", [](Outs& o) { return GetProcessThreadIds(1000, o.a, 4, &o.k); }},
        {"GetProcessHandle", [](Outs& o) { return GetProcessHandle(1000, &o.k); }},
        {"GetProcessCommitCharge", [](Outs& o) { return GetProcessCommitCharge(1000, &o.k); }},
        {"GetProcessCreationTime", [](Outs& o) { return GetProcessCreationTime(1000, &o.time); }},
        {"GetProcessUserTime", [](Outs& o) { return GetProcessUserTime(1000, &o.t); }},
        {"GetProcessBasePriority", [](Outs& o) { return GetProcessBasePriority(1000, &o.k); }},
    };
    for (const Call& c : calls) {
        SCOPED_TRACE(c.name);
        Outs o;
        standin::NtAnswer denied;
        denied.status = static_cast<NTSTATUS>(0xC0000022);
        standin::scriptNt(5, denied);
        EXPECT_EQ(0xC0000022u, c.call(o));
        standin::failAllocations(0);
        EXPECT_EQ(0xC0000017u, c.call(o));
        standin::stopFailingAllocations();
        EXPECT_TRUE(o.untouched());
    }
}

// --- malformed native records ---

// Thread records and names that lie past the snapshot's length are never read.
TEST_F(Queries, RecordsWhoseThreadsLiePastTheSnapshot) {
    const DWORD pid = addWorker();  // the last record
    const standin::NtAnswer built = standin::buildProcessSnapshot();
    const size_t at = recordsOf(built.bytes).at(pid);
    auto cutAt = [&](size_t length) {
        standin::NtAnswer a = built;
        a.reportedLength = static_cast<long>(length);
        standin::scriptNt(5, a);
    };
    Outs o;
    std::vector<DWORD> ids(8, kMark);
    // The fixed part is inside: the record is found, its threads and name are not.
    cutAt(at + 136);
    EXPECT_EQ(kUnsuccessful, GetProcessThreadIds(pid, ids.data(), 8, &o.k));
    cutAt(at + 136);
    EXPECT_EQ(kUnsuccessful, GetProcessThreadHandles(pid, ids.data(), 8, &o.k));
    cutAt(at + 0xB8 + 0x3F);
    EXPECT_EQ(kUnsuccessful, GetProcessHandle(pid, &o.k)) << "first thread record one byte short";
    std::vector<WCHAR> name(32, kMarkChar);
    cutAt(at + 0xB8 + 3 * 0x40);
    EXPECT_EQ(kUnsuccessful, GetProcessModuleName(pid, name.data(), 32)) << "name begins at the cut";
    EXPECT_EQ(std::vector<WCHAR>(32, kMarkChar), name);
    EXPECT_TRUE(o.untouched());
    EXPECT_EQ(std::vector<DWORD>(8, kMark), ids);

    cutAt(at + 136);
    EXPECT_EQ(0u, GetParentProcessId(pid, &o.k));
    EXPECT_EQ(1000u, o.k);
    cutAt(at + 136);
    EXPECT_EQ(0u, GetNumberOfProcesses(&o.k));
    EXPECT_EQ(4u, o.k);
    // One byte less and the record is not counted at all.
    cutAt(at + 135);
    EXPECT_EQ(0u, GetNumberOfProcesses(&o.k));
    EXPECT_EQ(3u, o.k);
    cutAt(at + 135);
    EXPECT_EQ(kUnsuccessful, GetParentProcessId(pid, &o.k));
}

// A thread count whose records would span exactly 2^32 bytes must not pass the
// bounds test by wrapping, even for a caller whose capacity claims room.
TEST_F(Queries, ThreadCountThatWouldWrapTheBoundsTest) {
    standin::NtAnswer a = standin::buildProcessSnapshot();
    put32(a.bytes, recordsOf(a.bytes).at(1000) + 4, 0x04000000);
    standin::scriptNt(5, a);
    std::vector<DWORD> ids(4, kMark);
    DWORD count = kMark;
    EXPECT_EQ(kUnsuccessful, GetProcessThreadIds(1000, ids.data(), 0x04000000, &count));
    EXPECT_EQ(kMark, count);
    EXPECT_EQ(std::vector<DWORD>(4, kMark), ids);
}

// --- Toolhelp failures ---

TEST_F(Queries, ToolhelpSnapshotFailure) {
    use(Back::Toolhelp);
    standin::failToolhelpSnapshot(true);
    const std::vector<Call> calls = {
        {"GetProcessModuleName", [](Outs& o) { return GetProcessModuleName(1000, o.name, 4); }},
        {"GetParentProcessId", [](Outs& o) { return GetParentProcessId(1000, &o.k); }},
        {"GetChildProcesses", [](Outs& o) { return GetChildProcesses(0, o.a, 4, &o.k); }},
        {"GetNumberOfProcesses", [](Outs& o) { return GetNumberOfProcesses(&o.k); }},
        {"GetProcessThreadIds", [](Outs& o) { return GetProcessThreadIds(1000, o.a, 4, &o.k); }},
        {"GetProcessBasePriority", [](Outs& o) { return GetProcessBasePriority(1000, &o.k); }},
    };
    for (const Call& c : calls) {
        SCOPED_TRACE(c.name);
        Outs o;
        EXPECT_EQ(kInvalidParameter, c.call(o));
        EXPECT_TRUE(o.untouched());
    }
}

// Entries 0, 1, 2 are the processes 0, 4 and 1000; thread entries 0..3 are
// the threads 0, 8, 1004 and 1008. Some paths test the record size at every
// entry (a wrong size ends the enumeration), others only at the match.
TEST_F(Queries, ToolhelpEntriesWithAWrongSize) {
    struct Case {
        const char* name;
        unsigned entry;
        DWORD size;
        std::function<void()> check;
    };
    const Case cases[] = {
        {"count, each entry", 1, 300,
         [] {
             DWORD n = kMark;
             EXPECT_EQ(0u, GetNumberOfProcesses(&n));
             EXPECT_EQ(1u, n);
         }},
        {"children, each entry", 2, 300,
         [] {
             std::vector<DWORD> ids(8, kMark);
             DWORD n = kMark;
             EXPECT_EQ(0u, GetChildProcesses(0, ids.data(), 8, &n));
             EXPECT_EQ(2u, n);
             EXPECT_EQ(4u, ids[1]);
         }},
        {"priority, entry before the match", 1, 300,
         [] {
             DWORD c = kMark;
             EXPECT_EQ(kInvalidParameter, GetProcessBasePriority(1000, &c));
             EXPECT_EQ(kMark, c);
         }},
        {"priority, at the match", 2, 300,
         [] {
             DWORD c = kMark;
             EXPECT_EQ(kInvalidParameter, GetProcessBasePriority(1000, &c));
         }},
        {"threads, each entry", 3, 20,
         [] {
             std::vector<DWORD> ids(8, kMark);
             DWORD n = kMark;
             EXPECT_EQ(0u, GetProcessThreadIds(1000, ids.data(), 8, &n));
             EXPECT_EQ(1u, n);
             EXPECT_EQ(1004u, ids[0]);
         }},
        {"parent, entry before the match", 1, 300,
         [] {
             DWORD p = kMark;
             EXPECT_EQ(0u, GetParentProcessId(1000, &p));
             EXPECT_EQ(4u, p);
         }},
        {"parent, at the match", 2, 300,
         [] {
             DWORD p = kMark;
             EXPECT_EQ(kInvalidParameter, GetParentProcessId(1000, &p));
             EXPECT_EQ(kMark, p);
         }},
        {"parent, smaller size at the match", 2, 100,
         [] {
             DWORD p = kMark;
             EXPECT_EQ(kInvalidParameter, GetParentProcessId(1000, &p));
         }},
        {"name, entry before the match", 0, 300,
         [] {
             std::vector<WCHAR> name(8, kMarkChar);
             EXPECT_EQ(0u, GetProcessModuleName(1000, name.data(), 8));
             EXPECT_EQ(wide("java.exe"), name);
         }},
        {"name, at the match", 2, 300,
         [] {
             std::vector<WCHAR> name(8, kMarkChar);
             EXPECT_EQ(kInvalidParameter, GetProcessModuleName(1000, name.data(), 8));
             EXPECT_EQ(std::vector<WCHAR>(8, kMarkChar), name);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        use(Back::Toolhelp);
        standin::corruptToolhelpSize(c.entry, c.size);
        c.check();
        TearDown();
    }
}

// --- the two back ends agree where both answer ---

TEST_F(Queries, NativeAndToolhelpAgree) {
    struct P {
        DWORD pid, parent;
        std::vector<DWORD> threads;
        LONG priority;
        const char* image;
        const char* exePath;
    };
    const P model[] = {
        {2000, 1000, {2001, 2002}, 13, "a.exe", "C:\\bin\\a.exe"},
        {2100, 2000, {2101}, 4, "b.exe", "b.exe"},
        {2200, 2000, {}, 24, "c.exe", "C:\\c.exe"},
        {2300, 1000, {2301, 2302, 2303}, 8, "d.exe", "D:\\x\\y\\d.exe"},
        {2400, 2300, {2401}, 9, "e.exe", "E:\\e.exe"},
    };
    for (const P& p : model) {
        standin::ProcessSpec s;
        s.pid = p.pid;
        s.parent = p.parent;
        s.threads = p.threads;
        s.noThreads = p.threads.empty();
        s.basePriority = s.toolhelpPriority = p.priority;
        s.image = p.image;
        s.exePath = p.exePath;
        standin::addProcess(s);
    }

    struct Answer {
        ULONG status;
        std::vector<DWORD> values;
        bool operator==(const Answer& o) const { return status == o.status && values == o.values; }
    };
    auto ask = [](Back back) {
        use(back);
        std::vector<Answer> answers;
        DWORD n = 0;
        answers.push_back({GetNumberOfProcesses(&n), {n}});
        std::vector<DWORD> pids = allPids();
        pids.push_back(9999);
        for (DWORD pid : pids) {
            std::vector<DWORD> ids(16, 0);
            DWORD count = 0;
            ULONG s = GetChildProcesses(pid, ids.data(), 16, &count);
            ids.resize(count);
            answers.push_back({s, sorted(ids)});

            if (pid == 9999) continue;  // not found: the codes differ by design
            ids.assign(16, 0);
            count = 0;
            s = GetProcessThreadIds(pid, ids.data(), 16, &count);
            ids.resize(count);
            answers.push_back({s, ids});

            DWORD parent = 0;
            s = GetParentProcessId(pid, &parent);
            answers.push_back({s, {parent}});
            std::vector<WCHAR> name(32, 0);
            s = GetProcessModuleName(pid, name.data(), 32);
            answers.push_back({s, std::vector<DWORD>(name.begin(), name.end())});
            if (pid != 0) {  // the model's idle process has no priority in its record
                DWORD priorityClass = 0;
                s = GetProcessBasePriority(pid, &priorityClass);
                answers.push_back({s, {priorityClass}});
            }
        }
        return answers;
    };
    const std::vector<Answer> native = ask(Back::Native);
    const std::vector<Answer> toolhelp = ask(Back::Toolhelp);
    ASSERT_EQ(native.size(), toolhelp.size());
    for (size_t i = 0; i < native.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(native[i].status, toolhelp[i].status);
        EXPECT_EQ(native[i].values, toolhelp[i].values);
    }
}

}  // namespace
