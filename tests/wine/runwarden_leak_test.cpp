// Leak loops under Wine: every entry point of the three shipped DLLs called many
// times over, with the process's open handles, private bytes and heap bytes
// taken before and after. Nothing may grow, except by the two handles that the
// launch native keeps open for each process it starts.
//
// Each function first runs a warm-up (first-use allocations, the snapshot size
// hint, msvcrt's wide environment table), then the measured calls. Calls that
// need a JNI host get a fresh one for every 100 calls, as a VM frees a native's
// local references when it returns, and no host outlives a run: the figures
// hold none of the host's own memory.
//
// Sizes: short by default (300 calls per function); RW_RELIABILITY=full gives
// 10 000. A few functions run fewer times because each call costs real time:
// CPU usage blocks half a second, and launches and tree kills start real
// processes. Their counts are printed with the figures.
#include <gtest/gtest.h>
#include <jni.h>
#include <stdlib.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "jnihost.h"
#include "reliability.h"
#include "treeutil.h"
#include "wineutil.h"

namespace {

using jnihost::JniHost;
using reliability::bySize;
using reliability::figure;
using reliability::Usage;

// What the measured calls may add beyond their allowance. Heap bytes are exact:
// a block leaked per call shows at once (300 calls of even 1 byte exceed it).
// Private bytes move in pages as the heaps grow and shrink, so they get a page
// margin; a leaked snapshot or buffer per call exceeds it many times over.
constexpr long long kHeapSlack = 256;
constexpr long long kPrivateSlack = 256 * 1024;

struct Operation {
    std::string name;
    int calls;
    long handlesPerCall;  // the launch native keeps two per launch, by design
    // One call, numbered; false when its result is not the expected one.
    std::function<bool(JniHost&, int)> call;
    // Classes and objects a fresh host needs (optional).
    std::function<void(JniHost&)> prepare;
};

// The calls i in [first, first + n), with a fresh host for every 100.
int runCalls(const Operation& op, int first, int n) {
    int wrong = 0;
    std::unique_ptr<JniHost> host;
    for (int i = first; i < first + n; ++i) {
        if (!host || (i - first) % 100 == 0) {
            host.reset();
            host.reset(new JniHost);
            if (op.prepare) op.prepare(*host);
        }
        if (!op.call(*host, i)) ++wrong;
        host->resetLocalReferenceCount();
        host->clearCalls();
    }
    return wrong;
}

void printHeader() {
    static bool printed = false;
    if (printed) return;
    printed = true;
    const Usage u = reliability::measureUsage();
    figure("leak: size %s; growth over the measured calls, after a warm-up", reliability::sizeName());
    figure("leak: witnesses here: handle census %ld, system handle table %ld, GetProcessHandleCount %ld, "
           "private %lld KiB, heap %lld bytes",
           u.handles, u.systemHandles, u.handleCount, u.privateBytes / 1024, u.heapBytes);
    figure("leak | %-40s | %6s | %7s | %11s | %10s | %11s | %5s", "function", "calls", "handles", "sys handles",
           "heap bytes", "private KiB", "wrong");
}

// Runs the warm-up and the measured calls of each operation, prints its figures
// and checks them.
void measure(const std::vector<Operation>& ops) {
    printHeader();
    for (const Operation& op : ops) {
        SCOPED_TRACE(op.name);
        const int warm = std::max(2, std::min(op.calls, 500) / 20 * 2);  // even: add/remove pairs balance
        int wrong = runCalls(op, 0, warm);
        const Usage before = reliability::measureUsage();
        wrong += runCalls(op, warm, op.calls);
        const Usage after = reliability::measureUsage();

        const long handles = after.handles - before.handles;
        const long system = before.systemHandles >= 0 && after.systemHandles >= 0
                                ? after.systemHandles - before.systemHandles
                                : 0;
        const long long heap = after.heapBytes - before.heapBytes;
        const long long priv = after.privateBytes - before.privateBytes;
        figure("leak | %-40s | %6d | %+7ld | %+11ld | %+10lld | %+11lld | %5d", op.name.c_str(), op.calls, handles,
               system, heap, priv / 1024, wrong);

        const long allowed = op.handlesPerCall * op.calls;
        EXPECT_EQ(0, wrong) << "calls whose result was not the expected one";
        EXPECT_EQ(allowed, handles) << "open handles (census)";
        if (before.systemHandles >= 0 && after.systemHandles >= 0)
            EXPECT_EQ(allowed, system) << "this process's entries in the system handle table";
        EXPECT_GE(before.heapBytes, 0);
        EXPECT_LE(heap, kHeapSlack) << "heap bytes";
        EXPECT_GE(before.privateBytes, 0);
        EXPECT_LE(priv, kPrivateSlack) << "private bytes";
    }
}

// An id that names no process now: far above the ids the platform hands out.
DWORD missingPid() {
    const wineutil::RawSnapshot snap = wineutil::rawProcessSnapshot();
    for (DWORD pid = 0x7FFFFFF0; pid > 0x10000; pid -= 0x1000)
        if (!snap.contains(pid)) return pid;
    return 0;
}

// Ends by id every process that a killed launch left below it (a console host
// that the platform gave the launched process): the launch is gone, so nothing
// new appears under it.
void endLeftovers(DWORD pid) {
    for (DWORD below : treeutil::rawDescendants(wineutil::rawProcessSnapshot(), pid)) wineutil::killById(below);
}

class Leak : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        missing_ = rw_.load();
        if (missing_.empty()) missing_ = dl_.load();
        if (missing_.empty()) missing_ = vb_.load();
    }

    void SetUp() override {
        ASSERT_EQ("", missing_);
        rw_.init(nullptr, nullptr);
        child = wineutil::childproc({L"sleep"});
        ASSERT_TRUE(child.started()) << "error " << child.error();
        absent = missingPid();
        ASSERT_NE(0u, absent);
        launched.reserve(4096);  // no growth of the test's own list inside a measured run
    }
    void TearDown() override {
        for (DWORD pid : launched) {
            wineutil::killById(pid);
            endLeftovers(pid);
        }
    }

    // Calls of the sleeping child's id (even i) and of an id that names no process
    // (odd i), so that the failure paths are measured as well.
    DWORD target(int i) const { return i % 2 ? absent : child.pid(); }

    static std::string missing_;
    static reliability::Runwarden rw_;
    static reliability::Dirlaunch dl_;
    static reliability::Varbridge vb_;
    wineutil::Child child;
    DWORD absent = 0;
    std::vector<DWORD> launched;  // ended by id at the end, whatever the outcome
};

std::string Leak::missing_;
reliability::Runwarden Leak::rw_;
reliability::Dirlaunch Leak::dl_;
reliability::Varbridge Leak::vb_;

// A query of the sleeping child (even calls) and of an absent id (odd calls).
// Every call must answer as the first call for the same target did, and, where
// the platform gives the library what it needs, the child's answer is success:
// a leak that starves the process shows as a changed answer.
Operation query(const std::string& name, int calls, bool childSucceeds, std::function<unsigned long(int)> ask) {
    auto first = std::make_shared<std::vector<long long>>(2, -1);
    return Operation{name, calls, 0, [=](JniHost&, int i) {
                         const unsigned long status = ask(i);
                         long long& expected = (*first)[static_cast<size_t>(i % 2)];
                         if (expected < 0) expected = status;
                         return status == expected && !(childSucceeds && i % 2 == 0 && status != 0);
                     }};
}

TEST_F(Leak, ProcessInformationQueries) {
    const int n = bySize(300, 10000);
    const DWORD self = GetCurrentProcessId();
    HANDLE handle = child.handle();
    const DWORD childPid = child.pid();
    reliability::Runwarden& r = rw_;
    auto at = [this](int i) { return target(i); };
    // Under Wine every record's base priority reads 2, which names no priority
    // class: that query's answer is only required to stay the same.
    std::vector<Operation> ops = {
        query("Win32Ext_VersionOK", n, true, [&](int) { return r.versionOK() == 1 ? 0ul : 1ul; }),
        {"init (native)", n, 0, [&](JniHost&, int) { return r.init(nullptr, nullptr), true; }, nullptr},
        query("GetProcessInformation", n, true,
              [&](int i) {
                  BYTE record[136];  // the fixed part of a process record
                  return r.getProcessInformation(at(i), record);
              }),
        query("GetProcessModuleName", n, true,
              [&](int i) {
                  wchar_t name[MAX_PATH];
                  return r.getProcessModuleName(at(i), name, MAX_PATH);
              }),
        query("GetParentProcessId", n, true,
              [&](int i) {
                  unsigned long parent;
                  return r.getParentProcessId(at(i), &parent);
              }),
        query("GetChildProcesses (of this process)", n, true,
              [&](int i) {
                  unsigned long ids[1024], count = 0;
                  return r.getChildProcesses(i % 2 ? absent : self, ids, 1024, &count);
              }),
        query("GetNumberOfProcesses", n, true,
              [&](int) {
                  unsigned long count;
                  return r.getNumberOfProcesses(&count);
              }),
        query("GetProcessThreadHandles", n, true,
              [&](int i) {
                  unsigned long ids[256], count = 0;
                  return r.getProcessThreadHandles(at(i), ids, 256, &count);
              }),
        query("GetProcessHandle", n, true,
              [&](int i) {
                  unsigned long owner;
                  return r.getProcessHandle(at(i), &owner);
              }),
        query("GetProcessThreadIds", n, true,
              [&](int i) {
                  unsigned long ids[256], count = 0;
                  return r.getProcessThreadIds(at(i), ids, 256, &count);
              }),
        query("GetProcessCommitCharge", n, true,
              [&](int i) {
                  unsigned long commit;
                  return r.getProcessCommitCharge(at(i), &commit);
              }),
        query("GetProcessCreationTime", n, true,
              [&](int i) {
                  SYSTEMTIME created;
                  return r.getProcessCreationTime(at(i), &created);
              }),
        query("GetProcessUserTime", n, true,
              [&](int i) {
                  unsigned long long t;
                  return r.getProcessUserTime(at(i), &t);
              }),
        query("GetProcessKernelTime", n, true,
              [&](int i) {
                  unsigned long long t;
                  return r.getProcessKernelTime(at(i), &t);
              }),
        query("GetProcessBasePriority", n, false,
              [&](int i) {
                  unsigned long priorityClass;
                  return r.getProcessBasePriority(at(i), &priorityClass);
              }),
        // The child's handle, and a value that names no handle (answered with id 0).
        query("GetProcessID", n, true,
              [&](int i) {
                  unsigned long pid = 12345;
                  HANDLE h = i % 2 ? reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7FFFFFF0)) : handle;
                  const unsigned long status = r.getProcessID(h, &pid);
                  return status == 0 && pid == (i % 2 ? 0 : childPid) ? 0ul : 1ul;
              }),
        query("GetCPUUsage (blocks 0.5 s)", bySize(2, 40), true,
              [&](int) {
                  long usage = -1;
                  const unsigned long status = r.getCPUUsage(&usage);
                  return status == 0 && usage >= 0 && usage <= 100 ? 0ul : 1ul;
              }),
        {"getCPUUsage (native, blocks 0.5 s)", bySize(2, 40), 0,
         [&](JniHost&, int) {
             const jint usage = r.getCPUUsageNative(nullptr, nullptr);
             return usage >= 0 && usage <= 100;
         },
         nullptr},
    };
    measure(ops);
}

// The descent test, the child count and the tree kill on a process without
// children (the sleeping child) and on an absent id; kill of an absent id.
TEST_F(Leak, TreeNativesWithoutAProcessToEnd) {
    const int n = bySize(300, 10000);
    const DWORD self = GetCurrentProcessId();
    reliability::Runwarden& r = rw_;
    std::vector<Operation> ops = {
        {"numberOfChilds", n, 0,
         [&](JniHost&, int i) {
             const unsigned long count = r.numberOfChilds(i % 2 ? absent : self);
             return i % 2 ? count == 0 : count >= 1;  // the sleeping child at least
         },
         nullptr},
        {"childProcessesCount (native)", n, 0,
         [&](JniHost&, int i) { return r.childProcessesCount(nullptr, nullptr, static_cast<jint>(target(i))) == 0; },
         nullptr},
        {"isMyChild", n, 0, [&](JniHost&, int i) { return r.isMyChild(target(i)) == 1; }, nullptr},
        {"killAllChild (no children)", n, 0, [&](JniHost&, int i) { return r.killAllChild(target(i)) == -1; },
         nullptr},
        {"killAllChildren (native, no children)", n, 0,
         [&](JniHost&, int i) { return r.killAllChildren(nullptr, nullptr, static_cast<jint>(target(i))) == 0; },
         nullptr},
        {"killProcess (native, absent id)", n, 0,
         [&](JniHost&, int) { return r.killProcess(nullptr, nullptr, static_cast<jint>(absent)) == -1; }, nullptr},
    };
    measure(ops);
    EXPECT_TRUE(child.running()) << "nothing here ends the sleeping child";
}

TEST_F(Leak, GetPid) {
    const int n = bySize(300, 10000);
    reliability::Runwarden& r = rw_;
    HANDLE handle = child.handle();
    const DWORD childPid = child.pid();
    // An object of a class with an int field "handle" (even calls) or a long
    // one (odd calls: the int lookup fails first and its exception is dropped).
    auto prepare = [](JniHost& host) {
        host.defineClass("com/example/IntHandle", {{"handle", "I"}});
        host.defineClass("com/example/LongHandle", {{"handle", "J"}});
    };
    std::vector<Operation> ops = {
        {"getPID (native, int and long field)", n, 0,
         [&](JniHost& host, int i) {
             jobject process = host.newObject(i % 2 ? "com/example/LongHandle" : "com/example/IntHandle");
             jvalue v;
             memset(&v, 0, sizeof v);
             if (i % 2) v.j = static_cast<jlong>(reinterpret_cast<ULONG_PTR>(handle));
             else v.i = static_cast<jint>(reinterpret_cast<ULONG_PTR>(handle));
             host.setField(process, "handle", v);
             const jint pid = r.getPID(host.env(), nullptr, process);
             return pid == static_cast<jint>(childPid) && !host.exceptionPending() && host.jniErrors().empty();
         },
         prepare},
    };
    measure(ops);
}

// Launches of real processes. The native keeps both handles of each process it
// starts, for the rest of the process's life: two handles per launch is the
// allowance. The plain export hands them to the caller, who closes them here.
TEST_F(Leak, LaunchAndKill) {
    reliability::Runwarden& r = rw_;
    const std::string cmd = "\"" + wineutil::narrow(wineutil::helperPath()) + "\" sleep";
    auto ended = [](DWORD pid) {
        HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, pid);
        const bool gone = !h || WaitForSingleObject(h, 10000) == WAIT_OBJECT_0;
        if (h) CloseHandle(h);
        return gone;
    };
    std::vector<Operation> ops = {
        {"executeProcess + killProcess (natives)", bySize(10, 1000), 2,
         [&](JniHost& host, int) {
             const jint pid = r.executeProcess(host.env(), nullptr, nullptr, host.newStringUtf8(cmd), nullptr, nullptr);
             if (pid == 0) return false;
             launched.push_back(static_cast<DWORD>(pid));
             const bool ok = r.killProcess(host.env(), nullptr, pid) == 0 && ended(static_cast<DWORD>(pid));
             endLeftovers(static_cast<DWORD>(pid));
             return ok && !host.exceptionPending();
         },
         nullptr},
        {"executeProcess + killProcess (plain)", bySize(10, 1000), 0,
         [&](JniHost&, int) {
             std::vector<char> line(cmd.begin(), cmd.end());
             line.push_back('\0');
             PROCESS_INFORMATION pi = {};
             if (r.executeProcessPlain(nullptr, line.data(), nullptr, nullptr, &pi) != 0) return false;
             const bool ok = r.killProcessPlain(pi.dwProcessId) == 0 &&
                             WaitForSingleObject(pi.hProcess, 10000) == WAIT_OBJECT_0;
             if (!ok) wineutil::killById(pi.dwProcessId);
             endLeftovers(pi.dwProcessId);
             CloseHandle(pi.hThread);
             CloseHandle(pi.hProcess);
             return ok;
         },
         nullptr},
    };
    measure(ops);
}

// The tree kill with real processes to end: a root with two children each time,
// so that the open, terminate and close of every descendant is measured.
TEST_F(Leak, TreeKillOfARealTree) {
    reliability::Runwarden& r = rw_;
    std::vector<Operation> ops = {
        {"killAllChildren (native, tree of 3)", bySize(3, 100), 0,
         [&](JniHost&, int) {
             treeutil::Tree tree;
             if (!tree.launch(1, 2).empty()) return false;
             if (r.killAllChildren(nullptr, nullptr, static_cast<jint>(tree.rootPid())) != 0) return false;
             bool ok = true;
             for (const treeutil::Tree::Node& node : tree.nodes())
                 ok = ok && WaitForSingleObject(node.handle, 10000) == WAIT_OBJECT_0;
             return ok && tree.rootRunning();
         },
         nullptr},
    };
    measure(ops);
}

// createProcessIn with a process class whose constructor starts nothing: the
// figures are those of the native's own work (the lock, the saved directory,
// the directory text, the exceptions). Even calls succeed, odd calls name a
// directory that does not exist.
TEST_F(Leak, CreateProcessIn) {
    wineutil::TempDir dir;
    ASSERT_TRUE(dir.valid());
    const std::wstring missingDir = dir.file(L"missing");
    const std::u16string good(dir.path().begin(), dir.path().end()), bad(missingDir.begin(), missingDir.end());
    wchar_t before[MAX_PATH * 2];
    ASSERT_NE(0u, GetCurrentDirectoryW(MAX_PATH * 2, before));
    const std::wstring cwd = before;
    reliability::Dirlaunch& d = dl_;
    auto prepare = [](JniHost& host) {
        host.defineClass("java/lang/Win32Process", {{"handle", "J"}});
        host.defineConstructor("java/lang/Win32Process", "([Ljava/lang/String;[Ljava/lang/String;)V",
                               [](jobject, const std::vector<jvalue>&) {});
    };
    auto unchanged = [&cwd] {
        wchar_t now[MAX_PATH * 2];
        const DWORD len = GetCurrentDirectoryW(MAX_PATH * 2, now);
        return len != 0 && cwd == now;
    };
    std::vector<Operation> ops = {
        {"createProcessIn (no process started)", bySize(300, 10000), 0,
         [&](JniHost& host, int i) {
             jobjectArray command = host.newStringArray({u"program.exe", u"argument"});
             jobject process = d.createProcessIn(host.env(), nullptr, host.newString(i % 2 ? bad : good), command,
                                                 nullptr);
             bool ok;
             if (i % 2) {
                 ok = process == nullptr && host.pendingClass() == "java/io/IOException";
                 host.clearException();
             } else {
                 ok = process != nullptr && !host.exceptionPending();
             }
             return ok && unchanged() && host.unreleasedStringChars() == 0 && host.jniErrors().empty();
         },
         prepare},
    };
    measure(ops);
}

// The Env natives on msvcrt's environment. Two variables of this test are set
// and removed over and over; both are gone again at the end and the table is as
// it was.
TEST_F(Leak, EnvironmentNatives) {
    const int n = bySize(300, 10000);
    reliability::Varbridge& v = vb_;
    auto table = [] {
        std::vector<std::string> out;
        for (char** t = *__p__environ(); t && *t; ++t) out.push_back(*t);
        return out;
    };
    const std::vector<std::string> before = table();
    // Values of one length, so that the runtime's copies do not change size.
    auto value = [](int i) {
        char text[16];
        snprintf(text, sizeof text, "v%07d", i);
        return std::string(text);
    };
    std::vector<Operation> ops = {
        {"getEnvironments", n, 0,
         [&](JniHost& host, int) {
             jobjectArray all = v.getEnvironments(host.env(), nullptr);
             return all != nullptr && host.elements(all).size() == before.size();
         },
         nullptr},
        {"getEnvironment (set and unset names)", n, 0,
         [&](JniHost& host, int i) {
             jstring got = v.getEnvironment(host.env(), nullptr, host.newStringUtf8(i % 2 ? "RW_LEAK_UNSET" : "PATH"));
             return i % 2 ? got == nullptr : got != nullptr && host.utf8(got) == getenv("PATH");
         },
         nullptr},
        {"setEnvironment", n, 0,
         [&](JniHost& host, int i) {
             const std::string val = value(i);
             const bool ok = v.setEnvironment(host.env(), nullptr, host.newStringUtf8("RW_LEAK_SET"),
                                              host.newStringUtf8(val)) == JNI_TRUE;
             const char* now = getenv("RW_LEAK_SET");
             return ok && now && val == now;
         },
         nullptr},
        // Adds the variable (even calls) and removes it again (odd calls).
        {"setEnvironment2 (add and remove)", n, 0,
         [&](JniHost& host, int i) {
             const std::string entry = i % 2 ? "RW_LEAK_SET2=" : "RW_LEAK_SET2=" + value(i);
             const bool ok = v.setEnvironment2(host.env(), nullptr, host.newStringUtf8(entry)) == JNI_TRUE;
             return ok && (getenv("RW_LEAK_SET2") == nullptr) == (i % 2 == 1);
         },
         nullptr},
    };
    measure(ops);
    _putenv("RW_LEAK_SET=");
    _putenv("RW_LEAK_SET2=");
    EXPECT_EQ(before, table()) << "the environment is as it was";
}

}  // namespace
