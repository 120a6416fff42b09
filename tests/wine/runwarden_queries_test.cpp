// The process queries against real processes. Every expectation comes from the
// test's own reading of the system: a raw class-5 walk for the native back end,
// raw Toolhelp enumeration for the Toolhelp back end. Under Wine the class-5
// records carry I/O counters before the thread records (threads at 0xB8), the
// base priority field reads 2 and the value at 0x84 reads 0: the expectations
// follow the raw records, not Windows folklore.
#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "runwarden/procinfo/backend.h"
#include "runwarden/procinfo/win32ext.h"
#include "wineutil.h"

namespace {

using wineutil::Child;
using wineutil::RawProcess;
using wineutil::RawSnapshot;

constexpr ULONG kUnsuccessful = 0xC0000001;
constexpr ULONG kInvalidParameter = 0xC000000D;
constexpr DWORD kNoSuchId = 0x7FFFFFF0;  // beyond any id the system hands out
constexpr DWORD kPoison = 0xDEADBEEF;

// The priority class a base priority maps to; false (class 0) for any other value.
bool expectedPriorityClass(LONG base, DWORD* cls) {
    switch (base) {
        case 4: *cls = 0x40; return true;
        case 8: *cls = 0x20; return true;
        case 13: *cls = 0x80; return true;
        case 24: *cls = 0x100; return true;
        default: *cls = 0; return false;
    }
}

std::set<DWORD> idsOf(const RawSnapshot& s) {
    std::set<DWORD> ids;
    for (const RawProcess& p : s.processes) ids.insert(p.pid);
    return ids;
}

std::set<DWORD> idsOf(const std::vector<wineutil::ToolhelpProcess>& list) {
    std::set<DWORD> ids;
    for (const auto& p : list) ids.insert(p.pid);
    return ids;
}

// Runs a whole-system listing between two reference listings until the two
// references agree (nothing started or ended around the call), then hands all
// three to check. Other processes of the Wine prefix may come and go; the test
// compares only in a window where the reference saw none do so, and tries a few
// windows before it settles for bounds.
template <typename Reference, typename Call, typename Check>
void inQuietWindow(Reference reference, Call call, Check check) {
    for (int attempt = 0; attempt < 10; ++attempt) {
        const std::set<DWORD> before = reference();
        call();
        const std::set<DWORD> after = reference();
        if (before == after) {
            check(before, after);
            return;
        }
    }
    ADD_FAILURE() << "the process list never stayed still across a query";
}

class Queries : public ::testing::Test {
protected:
    static constexpr int kChildren = 2;

    void SetUp() override {
        ASSERT_EQ(1u, Win32Ext_VersionOK());
        ASSERT_EQ(rw::kBackendNative, rw::backendMode) << "NTDLL has the native services under Wine";
        ASSERT_TRUE(dir_.valid());
        // report-wait: the report is written once the child is fully started,
        // so its threads and times no longer change while the test reads them.
        for (int i = 0; i < kChildren; ++i) {
            const std::wstring report = dir_.file(L"child" + std::to_wstring(i));
            children_.push_back(wineutil::childproc({L"report-wait", report}));
            ASSERT_TRUE(children_.back().started());
            wineutil::Report r;
            ASSERT_TRUE(wineutil::waitForReport(report, &r, 20000, children_.back().handle()));
            ASSERT_EQ(children_.back().pid(), r.pid);
        }
    }

    void TearDown() override {
        children_.clear();  // ends every child by id
        Win32Ext_VersionOK();
    }

    std::vector<DWORD> childIds() const {
        std::vector<DWORD> ids;
        for (const Child& c : children_) ids.push_back(c.pid());
        return ids;
    }

    static void useToolhelp() {
        ASSERT_EQ(1, rw::bindToolhelpServices());
        rw::backendMode = rw::kBackendToolhelp;
    }

    wineutil::TempDir dir_;
    std::vector<Child> children_;
};

TEST_F(Queries, RawWalkReadsThisPlatformsLayout) {
    const RawSnapshot snap = wineutil::rawProcessSnapshot();
    ASSERT_TRUE(snap.ok()) << std::hex << snap.status;
    for (const Child& c : children_) {
        const RawProcess* p = snap.find(c.pid());
        ASSERT_NE(nullptr, p);
        EXPECT_EQ(GetCurrentProcessId(), p->parent);
        ASSERT_FALSE(p->threads.empty());
        for (const auto& t : p->threads) EXPECT_EQ(c.pid(), t.owner);
        EXPECT_EQ(c.tid(), p->threads[0].tid) << "the main thread is listed first";
        EXPECT_EQ(L"childproc.exe", p->imageName);
    }
}

// Every native query about a launched child answers what the raw record says.
TEST_F(Queries, NativeAnswersAgreeWithTheRawRecord) {
    for (const Child& c : children_) {
        const DWORD pid = c.pid();
        SCOPED_TRACE(pid);
        const RawSnapshot snap = wineutil::rawProcessSnapshot();
        ASSERT_TRUE(snap.ok());
        const RawProcess* raw = snap.find(pid);
        ASSERT_NE(nullptr, raw);

        BYTE record[WIN32EXT_PROCESS_RECORD_SIZE + 4];
        memset(record, 0xCC, sizeof record);
        ASSERT_EQ(0u, GetProcessInformation(pid, record));
        auto u32 = [&](size_t at) {
            DWORD v;
            memcpy(&v, record + at, 4);
            return v;
        };
        EXPECT_EQ(pid, u32(0x44));
        EXPECT_EQ(raw->parent, u32(0x48));
        EXPECT_EQ(raw->threadCount, u32(0x04));
        ULONGLONG created;
        memcpy(&created, record + 0x20, 8);
        EXPECT_EQ(raw->createTime, created);
        EXPECT_EQ(0xCCCCCCCCu, u32(WIN32EXT_PROCESS_RECORD_SIZE)) << "exactly 136 bytes are written";

        DWORD parent = kPoison;
        EXPECT_EQ(0u, GetParentProcessId(pid, &parent));
        EXPECT_EQ(raw->parent, parent);

        std::vector<DWORD> rawTids;
        for (const auto& t : raw->threads) rawTids.push_back(t.tid);
        std::vector<DWORD> ids(rawTids.size() + 1, kPoison);
        DWORD count = kPoison;
        ASSERT_EQ(0u, GetProcessThreadIds(pid, ids.data(), static_cast<ULONG>(rawTids.size()), &count))
            << "a capacity equal to the thread count fits";
        ids.resize(count);
        EXPECT_EQ(rawTids, ids);
        EXPECT_NE(ids.end(), std::find(ids.begin(), ids.end(), c.tid())) << "the main thread is listed";

        std::vector<DWORD> handles(rawTids.size(), kPoison);
        count = kPoison;
        ASSERT_EQ(0u, GetProcessThreadHandles(pid, handles.data(), static_cast<ULONG>(handles.size()), &count));
        handles.resize(count);
        EXPECT_EQ(rawTids, handles) << "the same thread ids as GetProcessThreadIds";

        DWORD owner = kPoison;
        EXPECT_EQ(0u, GetProcessHandle(pid, &owner));
        EXPECT_EQ(raw->threads[0].owner, owner);
        EXPECT_EQ(pid, owner);

        DWORD commit = kPoison;
        EXPECT_EQ(0u, GetProcessCommitCharge(pid, &commit));
        EXPECT_EQ(raw->at0x84, commit);

        Win32ExtSystemTime st;
        memset(&st, 0xCC, sizeof st);
        ASSERT_EQ(0u, GetProcessCreationTime(pid, &st));
        FILETIME ft;
        memcpy(&ft, &raw->createTime, sizeof ft);
        SYSTEMTIME want;
        ASSERT_TRUE(FileTimeToSystemTime(&ft, &want));
        EXPECT_EQ(0, memcmp(&want, &st, sizeof want)) << "UTC, unconverted";

        unsigned long long user = kPoison, kernel = kPoison;
        EXPECT_EQ(0u, GetProcessUserTime(pid, &user));
        EXPECT_EQ(0u, GetProcessKernelTime(pid, &kernel));
        EXPECT_EQ(raw->userTime, user);
        EXPECT_EQ(raw->kernelTime, kernel);

        DWORD wantClass;
        const bool mapped = expectedPriorityClass(raw->basePriority, &wantClass);
        DWORD cls = kPoison;
        EXPECT_EQ(mapped ? 0u : kUnsuccessful, GetProcessBasePriority(pid, &cls)) << raw->basePriority;
        EXPECT_EQ(wantClass, cls);

        // The capacity test counts the name's bytes (L) against characters: it
        // takes L + 1, and then writes the L/2 characters and a terminator.
        const ULONG bytes = static_cast<ULONG>(raw->imageName.size() * 2);
        std::vector<Win32ExtChar> name(bytes + 1, 0xFFFF);
        ASSERT_EQ(0u, GetProcessModuleName(pid, name.data(), bytes + 1));
        EXPECT_EQ(raw->imageName, std::wstring(name.data()));
        EXPECT_EQ(0xFFFF, name[raw->imageName.size() + 1]) << "nothing past the terminator";
        EXPECT_EQ(kInvalidParameter, GetProcessModuleName(pid, name.data(), bytes));
    }
}

DWORD WINAPI waitForEvent(void* event) {
    WaitForSingleObject(static_cast<HANDLE>(event), INFINITE);
    return 0;
}

// Thread lists of a process with several threads: the test's own, with two
// extra threads it controls.
TEST_F(Queries, ThreadListsOfAProcessWithSeveralThreads) {
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, release);
    DWORD extra[2] = {};
    HANDLE threads[2];
    for (int i = 0; i < 2; ++i) {
        threads[i] = CreateThread(nullptr, 0, waitForEvent, release, 0, &extra[i]);
        ASSERT_NE(nullptr, threads[i]);
    }
    const DWORD self = GetCurrentProcessId();
    const RawSnapshot snap = wineutil::rawProcessSnapshot();
    const RawProcess* raw = snap.find(self);
    ASSERT_NE(nullptr, raw);
    ASSERT_GE(raw->threadCount, 3u);
    std::vector<DWORD> rawTids;
    for (const auto& t : raw->threads) rawTids.push_back(t.tid);

    // One entry short: nothing is written, the count included.
    std::vector<DWORD> ids(raw->threadCount, kPoison);
    DWORD count = kPoison;
    EXPECT_EQ(kUnsuccessful, GetProcessThreadIds(self, ids.data(), raw->threadCount - 1, &count));
    EXPECT_EQ(kPoison, count);
    EXPECT_EQ(std::vector<DWORD>(raw->threadCount, kPoison), ids);

    // Exactly enough room.
    ASSERT_EQ(0u, GetProcessThreadIds(self, ids.data(), raw->threadCount, &count));
    ids.resize(count);
    EXPECT_EQ(rawTids, ids);
    for (DWORD tid : extra) EXPECT_NE(ids.end(), std::find(ids.begin(), ids.end(), tid)) << tid;
    EXPECT_NE(ids.end(), std::find(ids.begin(), ids.end(), GetCurrentThreadId()));

    DWORD owner = kPoison;
    EXPECT_EQ(0u, GetProcessHandle(self, &owner));
    EXPECT_EQ(self, owner);

    SetEvent(release);
    for (HANDLE t : threads) {
        WaitForSingleObject(t, INFINITE);
        CloseHandle(t);
    }
    CloseHandle(release);
}

// Children: a list that reaches its capacity fails after storing that many.
TEST_F(Queries, ChildListThatReachesItsCapacityFails) {
    std::vector<DWORD> kids(kChildren + 1, kPoison);
    DWORD count = kPoison;
    EXPECT_EQ(kUnsuccessful, GetChildProcesses(GetCurrentProcessId(), kids.data(), kChildren, &count));
    EXPECT_EQ(static_cast<DWORD>(kChildren), count);
    EXPECT_EQ(kPoison, kids[kChildren]);
    const std::vector<DWORD> launched = childIds();
    EXPECT_EQ(std::set<DWORD>(launched.begin(), launched.end()), std::set<DWORD>(kids.begin(), kids.end() - 1));
}

TEST_F(Queries, ChildrenOfTheTestAreTheOnesItLaunched) {
    std::vector<DWORD> kids(64, kPoison);
    DWORD count = kPoison;
    ASSERT_EQ(0u, GetChildProcesses(GetCurrentProcessId(), kids.data(), 64, &count));
    kids.resize(count);
    const std::vector<DWORD> rawKids = wineutil::rawChildren(wineutil::rawProcessSnapshot(), GetCurrentProcessId());
    EXPECT_EQ(rawKids, kids) << "snapshot order";
    const std::vector<DWORD> launched = childIds();
    EXPECT_EQ(std::set<DWORD>(launched.begin(), launched.end()), std::set<DWORD>(kids.begin(), kids.end()));
}

// Parent id 0 lists every process of the snapshot, the idle record (id 0)
// included when the system lists one; the count is that of the same snapshot.
TEST_F(Queries, WholeSystemListingsAgreeWithTheRawWalk) {
    std::vector<DWORD> all(4096);
    DWORD listed = 0, number = 0;
    ULONG listStatus = 1, numberStatus = 1;
    auto reference = [] { return idsOf(wineutil::rawProcessSnapshot()); };
    inQuietWindow(
        reference,
        [&] {
            listStatus = GetChildProcesses(0, all.data(), static_cast<ULONG>(all.size()), &listed);
            numberStatus = GetNumberOfProcesses(&number);
        },
        [&](const std::set<DWORD>& expected, const std::set<DWORD>&) {
            ASSERT_EQ(0u, listStatus);
            ASSERT_EQ(0u, numberStatus);
            EXPECT_EQ(expected, std::set<DWORD>(all.begin(), all.begin() + listed));
            EXPECT_EQ(expected.size(), listed) << "no id twice";
            EXPECT_EQ(expected.size(), number);
            for (DWORD pid : childIds()) EXPECT_EQ(1u, expected.count(pid));
        });
}

TEST_F(Queries, MissingProcessIsUnsuccessful) {
    ASSERT_FALSE(wineutil::rawProcessSnapshot().contains(kNoSuchId));
    DWORD value = kPoison;
    EXPECT_EQ(kUnsuccessful, GetParentProcessId(kNoSuchId, &value));
    EXPECT_EQ(kUnsuccessful, GetProcessHandle(kNoSuchId, &value));
    EXPECT_EQ(kPoison, value);
}

TEST_F(Queries, ProcessIdOfAHandle) {
    for (const Child& c : children_) {
        DWORD pid = kPoison;
        EXPECT_EQ(0u, GetProcessID(c.handle(), &pid));
        EXPECT_EQ(c.pid(), pid);
    }
    DWORD own = kPoison;
    EXPECT_EQ(0u, GetProcessID(GetCurrentProcess(), &own));
    EXPECT_EQ(GetCurrentProcessId(), own);

    // Handles the platform rejects: result 0 and id 0.
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, event);
    HANDLE closed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CloseHandle(closed);
    const struct {
        const char* name;
        HANDLE handle;
    } rejected[] = {
        {"an event", event},
        {"a closed handle", closed},
        {"a value that was never a handle", reinterpret_cast<HANDLE>(0x7FFF0000)},
    };
    for (const auto& r : rejected) {
        SCOPED_TRACE(r.name);
        DWORD pid = kPoison;
        EXPECT_EQ(0u, GetProcessID(r.handle, &pid));
        EXPECT_EQ(0u, pid);
    }
    CloseHandle(event);

    DWORD pid = kPoison;
    EXPECT_EQ(kInvalidParameter, GetProcessID(nullptr, &pid));
    EXPECT_EQ(kPoison, pid);
}

// ------------------------------------------------------------------ Toolhelp back end

TEST_F(Queries, ToolhelpAnswersAgreeWithRawToolhelp) {
    useToolhelp();
    std::vector<wineutil::ToolhelpProcess> procs;
    std::vector<wineutil::ToolhelpThread> threads;
    ASSERT_TRUE(wineutil::toolhelpProcesses(&procs));
    ASSERT_TRUE(wineutil::toolhelpThreads(&threads));
    for (const Child& c : children_) {
        const DWORD pid = c.pid();
        SCOPED_TRACE(pid);
        auto entry = std::find_if(procs.begin(), procs.end(), [&](const auto& p) { return p.pid == pid; });
        ASSERT_NE(procs.end(), entry);

        DWORD parent = kPoison;
        EXPECT_EQ(0u, GetParentProcessId(pid, &parent));
        EXPECT_EQ(entry->parent, parent);

        std::vector<DWORD> want;
        for (const auto& t : threads)
            if (t.owner == pid) want.push_back(t.tid);
        ASSERT_FALSE(want.empty());
        std::vector<DWORD> ids(want.size() + 1, kPoison);
        DWORD count = kPoison;
        EXPECT_EQ(0u, GetProcessThreadIds(pid, ids.data(), static_cast<ULONG>(ids.size()), &count));
        ids.resize(count);
        EXPECT_EQ(want, ids);
        // Here a list that exactly fills the array is reported as full.
        std::vector<DWORD> exact(want.size(), kPoison);
        count = kPoison;
        EXPECT_EQ(kUnsuccessful, GetProcessThreadIds(pid, exact.data(), static_cast<ULONG>(want.size()), &count));
        EXPECT_EQ(want.size(), count);
        EXPECT_EQ(want, exact);

        DWORD wantClass;
        const bool mapped = expectedPriorityClass(entry->priClassBase, &wantClass);
        DWORD cls = kPoison;
        EXPECT_EQ(mapped ? 0u : kUnsuccessful, GetProcessBasePriority(pid, &cls)) << entry->priClassBase;
        EXPECT_EQ(wantClass, cls);

        // The last path component, exactly its characters, no terminator.
        const size_t slash = entry->exeFile.find_last_of(L'\\');
        const std::wstring base =
            slash == std::wstring::npos || slash == 0 ? entry->exeFile : entry->exeFile.substr(slash + 1);
        ASSERT_FALSE(base.empty());
        std::vector<Win32ExtChar> name(base.size() + 1, 0xFFFF);
        ASSERT_EQ(0u, GetProcessModuleName(pid, name.data(), static_cast<ULONG>(base.size())));
        EXPECT_EQ(base, std::wstring(name.begin(), name.begin() + base.size()));
        EXPECT_EQ(0xFFFF, name[base.size()]) << "no terminator";
        EXPECT_EQ(kInvalidParameter, GetProcessModuleName(pid, name.data(), static_cast<ULONG>(base.size() - 1)));
    }

    std::vector<DWORD> kids(64);
    DWORD count = kPoison;
    ASSERT_EQ(0u, GetChildProcesses(GetCurrentProcessId(), kids.data(), 64, &count));
    kids.resize(count);
    const std::vector<DWORD> launched = childIds();
    EXPECT_EQ(std::set<DWORD>(launched.begin(), launched.end()), std::set<DWORD>(kids.begin(), kids.end()));

    DWORD parent = kPoison;
    EXPECT_EQ(kInvalidParameter, GetParentProcessId(kNoSuchId, &parent)) << "a process that is not listed";
    EXPECT_EQ(kPoison, parent);
}

TEST_F(Queries, ToolhelpWholeSystemListingsAgreeWithRawToolhelp) {
    useToolhelp();
    std::vector<DWORD> all(4096);
    DWORD listed = 0, number = 0;
    ULONG listStatus = 1, numberStatus = 1;
    auto reference = [] {
        std::vector<wineutil::ToolhelpProcess> procs;
        wineutil::toolhelpProcesses(&procs);
        return idsOf(procs);
    };
    inQuietWindow(
        reference,
        [&] {
            listStatus = GetChildProcesses(0, all.data(), static_cast<ULONG>(all.size()), &listed);
            numberStatus = GetNumberOfProcesses(&number);
        },
        [&](const std::set<DWORD>& expected, const std::set<DWORD>&) {
            ASSERT_EQ(0u, listStatus);
            ASSERT_EQ(0u, numberStatus);
            EXPECT_EQ(expected, std::set<DWORD>(all.begin(), all.begin() + listed));
            EXPECT_EQ(expected.size(), listed);
            EXPECT_EQ(expected.size(), number);
        });
}

TEST_F(Queries, NativeOnlyFunctionsHaveNoToolhelpPath) {
    useToolhelp();
    const DWORD pid = children_[0].pid();
    BYTE record[WIN32EXT_PROCESS_RECORD_SIZE];
    memset(record, 0xCC, sizeof record);
    DWORD value = kPoison, ids[16], count = kPoison;
    unsigned long long time = kPoison;
    Win32ExtSystemTime st;
    memset(&st, 0xCC, sizeof st);
    long usage = -7;
    EXPECT_EQ(WIN32EXT_NO_BACKEND, GetProcessInformation(pid, record));
    EXPECT_EQ(WIN32EXT_NO_BACKEND, GetProcessThreadHandles(pid, ids, 16, &count));
    EXPECT_EQ(WIN32EXT_NO_BACKEND, GetProcessHandle(pid, &value));
    EXPECT_EQ(WIN32EXT_NO_BACKEND, GetProcessCommitCharge(pid, &value));
    EXPECT_EQ(WIN32EXT_NO_BACKEND, GetProcessCreationTime(pid, &st));
    EXPECT_EQ(WIN32EXT_NO_BACKEND, GetProcessUserTime(pid, &time));
    EXPECT_EQ(WIN32EXT_NO_BACKEND, GetProcessKernelTime(pid, &time));
    EXPECT_EQ(WIN32EXT_NO_BACKEND, GetProcessID(children_[0].handle(), &value));
    EXPECT_EQ(WIN32EXT_NO_BACKEND, GetCPUUsage(&usage));
    EXPECT_EQ(kPoison, value);
    EXPECT_EQ(kPoison, count);
    EXPECT_EQ(kPoison, time);
    EXPECT_EQ(0xCC, record[0]);
    EXPECT_EQ(0xCCCC, st.wYear);
}

}  // namespace
