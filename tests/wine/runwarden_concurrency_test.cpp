// Concurrency under Wine: four threads, each with a JNI host of its own (as each
// VM thread has its own JNIEnv), mix for a while every kind of call of the
// shipped runwarden.dll and dirlaunch.dll:
//
//   queries          Win32Ext queries, the child count, the descent test and
//                    getPID about this process, and a kill of an absent id
//   launch + kill    the launch native starts childproc.exe sleep, the kill
//                    native ends it by id
//   tree kill        a tree of three (treeproc.exe 1 2) of the thread's own,
//                    ended below its root by the tree-kill native
//   createProcessIn  the thread's own directory; the process class starts
//                    childproc.exe report <file> in the current directory of the
//                    moment, as a Java runtime does, and the report must show
//                    exactly the thread's directory
//
// The directory switch of createProcessIn is process-wide by design, so every
// other call here names its programs and files by absolute paths. At the end the
// current directory must be the one from before.
//
// The worker threads never use the test framework (it is built without thread
// support here): they count and describe what went wrong, and the main thread
// checks the counts. A watchdog deadline turns a deadlock into a failure: the
// program then ends the processes of the calls in flight by id and exits.
//
// Sizes: 5 s by default; RW_RELIABILITY=full gives 30 s.
#include <gtest/gtest.h>
#include <jni.h>

#include <stdio.h>

#include <memory>
#include <string>
#include <vector>

#include "jnihost.h"
#include "reliability.h"
#include "treeutil.h"
#include "processclass.h"
#include "wineutil.h"

namespace {

using jnihost::JniHost;
using reliability::figure;

constexpr int kThreads = 4;
constexpr DWORD kGraceMs = 120000;  // beyond the run's length, before a thread counts as stuck

enum Kind { kQueries, kLaunchKill, kTreeKill, kCreateIn, kKinds };
const char* const kKindNames[kKinds] = {"queries", "launch + kill", "tree kill", "createProcessIn"};

std::wstring currentDirectory() {
    wchar_t buffer[MAX_PATH * 2];
    const DWORD n = GetCurrentDirectoryW(MAX_PATH * 2, buffer);
    return std::wstring(buffer, n < MAX_PATH * 2 ? n : 0);
}

// The platform's own spelling of a directory once made current.
std::wstring spelledAsCurrent(const std::wstring& dir) {
    const std::wstring saved = currentDirectory();
    std::wstring out;
    if (SetCurrentDirectoryW(dir.c_str())) out = currentDirectory();
    SetCurrentDirectoryW(saved.c_str());
    return out;
}

void endLeftovers(DWORD pid) {
    for (DWORD below : treeutil::rawDescendants(wineutil::rawProcessSnapshot(), pid)) wineutil::killById(below);
}

struct Worker {
    int index = 0;
    reliability::Runwarden* rw = nullptr;
    reliability::Dirlaunch* dl = nullptr;
    DWORD deadline = 0;  // GetTickCount value at which to stop starting calls
    std::wstring dir;          // where its createProcessIn children must start
    std::wstring expectedCwd;  // how the platform spells it
    std::wstring reports;      // absolute directory for the reports

    // Results, read by the main thread after the thread has ended.
    int calls[kKinds] = {};
    int failures[kKinds] = {};
    int wrongDirectory = 0;
    std::string firstFailure;

    // What the thread is doing, for the watchdog: the kind of call in flight
    // (-1: none) and the processes it has started that are not yet ended.
    CRITICAL_SECTION lock;
    volatile LONG current = -1;
    std::vector<DWORD> inFlight;

    Worker() { InitializeCriticalSection(&lock); }
    ~Worker() { DeleteCriticalSection(&lock); }

    void track(DWORD pid) {
        EnterCriticalSection(&lock);
        inFlight.push_back(pid);
        LeaveCriticalSection(&lock);
    }
    std::vector<DWORD> takeInFlight() {
        EnterCriticalSection(&lock);
        std::vector<DWORD> out;
        out.swap(inFlight);
        LeaveCriticalSection(&lock);
        return out;
    }
    void fail(Kind kind, const std::string& what) {
        ++failures[kind];
        if (firstFailure.empty()) firstFailure = std::string(kKindNames[kind]) + ": " + what;
    }

    bool queries(JniHost& host) {
        const DWORD self = GetCurrentProcessId();
        unsigned long count = 0, parent = 0, ids[1024];
        wchar_t name[MAX_PATH];
        if (rw->getNumberOfProcesses(&count) != 0 || count == 0) return false;
        if (rw->getChildProcesses(self, ids, 1024, &count) != 0) return false;
        if (rw->getParentProcessId(self, &parent) != 0) return false;
        if (rw->getProcessModuleName(self, name, MAX_PATH) != 0) return false;
        if (rw->numberOfChilds(self) == 0xFFFFFFFFul) return false;
        if (rw->childProcessesCount(nullptr, nullptr, static_cast<jint>(self)) < 0) return false;
        host.defineClass("com/example/IntHandle", {{"handle", "I"}});
        jobject process = host.newObject("com/example/IntHandle");
        jvalue v;
        memset(&v, 0, sizeof v);
        v.i = static_cast<jint>(reinterpret_cast<ULONG_PTR>(GetCurrentProcess()));
        host.setField(process, "handle", v);
        if (rw->getPID(host.env(), nullptr, process) != static_cast<jint>(self)) return false;
        if (rw->killProcess(nullptr, nullptr, 0x7FFFFFF0) != -1) return false;
        return !host.exceptionPending();
    }

    bool launchKill(JniHost& host) {
        const std::string cmd = "\"" + wineutil::narrow(wineutil::helperPath()) + "\" sleep";
        const jint pid = rw->executeProcess(host.env(), nullptr, nullptr, host.newStringUtf8(cmd), nullptr,
                                            host.newStringUtf8(wineutil::narrow(reports)));
        if (pid == 0) return false;
        track(static_cast<DWORD>(pid));  // the native keeps its handles: the id stays this process's
        HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
        const bool killed = rw->killProcess(host.env(), nullptr, pid) == 0;
        const bool ended = h && WaitForSingleObject(h, 10000) == WAIT_OBJECT_0;
        if (h) CloseHandle(h);
        if (!ended) wineutil::killById(static_cast<DWORD>(pid));
        endLeftovers(static_cast<DWORD>(pid));
        takeInFlight();
        return killed && ended;
    }

    bool treeKill() {
        treeutil::Tree tree;
        if (!tree.launch(1, 2).empty()) return false;
        track(tree.rootPid());
        for (const treeutil::Tree::Node& n : tree.nodes()) track(n.pid);
        bool ok = rw->killAllChildren(nullptr, nullptr, static_cast<jint>(tree.rootPid())) == 0;
        for (const treeutil::Tree::Node& n : tree.nodes())
            ok = ok && WaitForSingleObject(n.handle, 10000) == WAIT_OBJECT_0;
        ok = ok && tree.rootRunning();
        tree.end();
        takeInFlight();
        return ok;
    }

    // One createProcessIn call; the constructor is set up by run().
    bool createIn(JniHost& host, int serial, std::vector<wineutil::Child>* started) {
        const std::wstring file = reports + L"\\t" + std::to_wstring(index) + L"-" + std::to_wstring(serial) + L".txt";
        const std::wstring helper = wineutil::helperPath();
        jobjectArray command = host.newStringArray({std::u16string(helper.begin(), helper.end()), u"report",
                                                    std::u16string(file.begin(), file.end())});
        jobject process = dl->createProcessIn(host.env(), nullptr,
                                              host.newString(std::u16string(dir.begin(), dir.end())), command,
                                              nullptr);
        bool ok = process && !host.exceptionPending() && started->size() == 1;
        if (ok) {
            wineutil::Report report;
            const bool reported = wineutil::waitForReport(file, &report, 20000, started->back().handle());
            if (reported && report.cwd != expectedCwd) ++wrongDirectory;
            ok = reported && report.cwd == expectedCwd && started->back().waitExit(10000);
        }
        started->clear();  // ends by id whatever still runs
        takeInFlight();
        return ok;
    }

    void run() {
        std::unique_ptr<JniHost> host;
        std::vector<wineutil::Child> started;  // the constructor's process of the call in flight
        size_t misuseSeen = 0;                 // JNI misuse of this host already reported
        // Until the deadline, and at least once through every kind of call.
        for (int step = 0; step < kKinds || static_cast<LONG>(GetTickCount() - deadline) < 0; ++step) {
            if (!host || step % 50 == 0) {
                host.reset(new JniHost);
                misuseSeen = 0;
                // Its processes start in the current directory of the moment.
                wineutil::definePlatformProcessClass(*host, started, [this](DWORD pid) { track(pid); });
            }
            const Kind kind = static_cast<Kind>((step + index) % kKinds);
            InterlockedExchange(&current, kind);
            bool ok = false;
            switch (kind) {
                case kQueries: ok = queries(*host); break;
                case kLaunchKill: ok = launchKill(*host); break;
                case kTreeKill: ok = treeKill(); break;
                case kCreateIn: ok = createIn(*host, step, &started); break;
                default: break;
            }
            InterlockedExchange(&current, -1);
            ++calls[kind];
            if (!ok) {
                const std::string pending =
                    host->exceptionPending() ? ", " + host->pendingClass() + " pending: " + host->pendingMessage() : "";
                fail(kind, "call " + std::to_string(step) + " failed" + pending);
            }
            if (host->exceptionPending()) host->clearException();
            const std::vector<std::string> misuse = host->jniErrors();
            if (misuse.size() > misuseSeen) fail(kind, "JNI misuse: " + misuse[misuseSeen]);
            misuseSeen = misuse.size();
            host->resetLocalReferenceCount();
            host->clearCalls();
        }
    }

    static DWORD WINAPI entry(void* self) {
        static_cast<Worker*>(self)->run();
        return 0;
    }
};

TEST(Concurrency, FourThreadsMixingEveryKindOfCall) {
    reliability::Runwarden rw;
    reliability::Dirlaunch dl;
    ASSERT_EQ("", rw.load());
    ASSERT_EQ("", dl.load());
    rw.init(nullptr, nullptr);
    const DWORD seconds = reliability::bySize<DWORD>(5, 30);

    wineutil::TempDir base;
    ASSERT_TRUE(base.valid());
    const std::wstring before = currentDirectory();
    ASSERT_FALSE(before.empty());

    std::vector<std::unique_ptr<Worker>> workers;
    for (int i = 0; i < kThreads; ++i) {
        std::unique_ptr<Worker> w(new Worker);
        w->index = i;
        w->rw = &rw;
        w->dl = &dl;
        w->dir = base.file(L"thread " + std::to_wstring(i));
        w->reports = base.file(L"reports " + std::to_wstring(i));
        ASSERT_TRUE(CreateDirectoryW(w->dir.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW(w->reports.c_str(), nullptr));
        w->expectedCwd = spelledAsCurrent(w->dir);
        ASSERT_FALSE(w->expectedCwd.empty());
        workers.push_back(std::move(w));
    }

    const DWORD start = GetTickCount();
    HANDLE threads[kThreads];
    for (int i = 0; i < kThreads; ++i) {
        workers[i]->deadline = start + seconds * 1000;
        threads[i] = CreateThread(nullptr, 0, &Worker::entry, workers[i].get(), 0, nullptr);
        ASSERT_NE(nullptr, threads[i]);
    }

    if (WaitForMultipleObjects(kThreads, threads, TRUE, seconds * 1000 + kGraceMs) != WAIT_OBJECT_0) {
        // A deadlock, or a call that never returns: say where each thread is, end
        // the processes of the calls in flight by id and stop here; the stuck
        // threads cannot be unwound.
        for (const auto& w : workers) {
            const LONG kind = w->current;
            fprintf(stderr, "watchdog: thread %d is %s\n", w->index,
                    kind < 0 ? "between calls" : (std::string("stuck in ") + kKindNames[kind]).c_str());
            for (DWORD pid : w->takeInFlight()) {
                endLeftovers(pid);
                wineutil::killById(pid);
            }
        }
        ADD_FAILURE() << "the threads did not finish within " << (seconds * 1000 + kGraceMs) / 1000 << " s";
        fflush(stdout);
        fflush(stderr);
        TerminateProcess(GetCurrentProcess(), 1);
    }
    const DWORD elapsed = GetTickCount() - start;
    for (HANDLE t : threads) CloseHandle(t);
    const std::wstring after = currentDirectory();

    int calls[kKinds] = {}, failures[kKinds] = {}, wrongDirectory = 0;
    for (const auto& w : workers) {
        for (int k = 0; k < kKinds; ++k) {
            calls[k] += w->calls[k];
            failures[k] += w->failures[k];
        }
        wrongDirectory += w->wrongDirectory;
    }
    figure("concurrency: size %s, %d threads for %lu s (took %lu ms)", reliability::sizeName(), kThreads, seconds,
           elapsed);
    figure("concurrency | %-16s | %6s | %8s", "calls", "made", "failed");
    for (int k = 0; k < kKinds; ++k) figure("concurrency | %-16s | %6d | %8d", kKindNames[k], calls[k], failures[k]);
    figure("concurrency: createProcessIn children in another directory than their thread's: %d; current directory "
           "restored: %s",
           wrongDirectory, after == before ? "yes" : "NO");

    for (const auto& w : workers) {
        SCOPED_TRACE("thread " + std::to_string(w->index));
        for (int k = 0; k < kKinds; ++k) {
            EXPECT_GT(w->calls[k], 0) << kKindNames[k] << ": every thread makes every kind of call";
            EXPECT_EQ(0, w->failures[k]) << kKindNames[k] << "; first failure: " << w->firstFailure;
        }
    }
    EXPECT_EQ(0, wrongDirectory);
    EXPECT_EQ(before, after) << "the current directory is the one from before";
}

}  // namespace
