// Four threads at once, as a multi-threaded VM would call the DLLs: process
// queries on the native back end, launches, kills, tree kills and
// createProcessIn calls, mixed on every thread. Holds for any interleaving:
// nothing crashes or deadlocks (a watchdog ends the program if the threads do
// not finish), every answer about a thread's own processes is the one that
// thread expects, no call ends another thread's process, every createProcessIn
// construction runs in its caller's directory, and afterwards the current
// directory is the one from before, with no handle or heap block left over.
//
// The directory switch of createProcessIn is process-wide by design: the other
// calls use absolute paths. The stand-in's directory calls are the real
// chdir/getcwd, so the test constructor of java.lang.Win32Process reads the
// real current directory.
//
// Duration: RW_RELIABILITY=full runs 30 seconds, RW_RELIABILITY=<n> n seconds;
// unset, a few seconds (the short run of the ordinary test suite).
#include <gtest/gtest.h>
#include <standin/control.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "jnihost.h"
#include "jninatives.h"
#include "runwarden/natives/treekill.h"
#include "runwarden/procinfo/backend.h"
#include "runwarden/procinfo/snapshot.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using jnihost::JniHost;

constexpr int kThreads = 4;
constexpr DWORD kSelf = 1000;                      // the stand-in's current process
const std::vector<DWORD> kSelfThreads = {1004, 1008};
constexpr size_t kMaxLaunched = 8;                 // live launches a thread keeps before it kills instead
constexpr int kOpsPerHost = 64;                    // a fresh JniHost (its references freed) this often
const char kProcessClass[] = "java/lang/Win32Process";
const char kConstructor[] = "([Ljava/lang/String;[Ljava/lang/String;)V";

// Seconds to run, from RW_RELIABILITY; 0 for a value that is neither "full" nor a count.
int durationSeconds() {
    const char* v = getenv("RW_RELIABILITY");
    if (!v || !*v) return 3;
    if (std::string(v) == "full") return 30;
    char* end = nullptr;
    const long n = strtol(v, &end, 10);
    return (*end == 0 && n > 0 && n <= 3600) ? static_cast<int>(n) : 0;
}

std::string cwd() {
    std::error_code ec;
    return fs::current_path(ec).string();
}

struct Counts {
    unsigned long queries = 0, launches = 0, kills = 0, treeKills = 0, treeKillEnded = 0, createProcessIn = 0;
    void add(const Counts& o) {
        queries += o.queries;
        launches += o.launches;
        kills += o.kills;
        treeKills += o.treeKills;
        treeKillEnded += o.treeKillEnded;
        createProcessIn += o.createProcessIn;
    }
};

struct Shared {
    Clock::time_point end;
    std::atomic<bool> stop{false};
};

// One worker: its own processes, its own directory, its own JNI host.
class Worker {
public:
    Worker(int index, const std::string& directory, Shared* shared)
        : index_(index), directory_(directory), shared_(shared), random_(0x5EED0000u + index) {
        image_ = "worker" + std::to_string(index) + ".exe";
        const std::string winDir = "C:\\rw\\t" + std::to_string(index);
        app_ = std::u16string(winDir.begin(), winDir.end()) + u"\\";
        app_ += std::u16string(image_.begin(), image_.end());
        winDir_ = std::u16string(winDir.begin(), winDir.end());
    }

    void run() {
        while (!shared_->stop.load() && Clock::now() < shared_->end) {
            if (ops_ % kOpsPerHost == 0 && !newHost()) break;
            ++ops_;
            const unsigned pick = random_() % 100;
            if (pick < 40) {
                query();
            } else if (pick < 60) {
                if (launched_.size() < kMaxLaunched) launch(); else kill();
            } else if (pick < 75) {
                if (!launched_.empty()) kill(); else launch();
            } else if (pick < 85) {
                treeKill();
            } else {
                createProcessIn();
            }
            if (!failures_.empty()) shared_->stop = true;
        }
        while (!launched_.empty()) kill();  // leave no process of ours behind
        checkHost();
    }

    const Counts& counts() const { return counts_; }
    const std::vector<std::string>& failures() const { return failures_; }
    const std::vector<DWORD>& ended() const { return ended_; }  // ids this worker's calls were to end
    const char* lastOperation() const { return last_.load(); }
    const std::vector<DWORD>& launchedEver() const { return launchedEver_; }

    // What every launch of this worker must have handed the platform: its own
    // strings, whatever the other threads passed at the same moment.
    void checkLaunchRecord(const standin::LaunchRecord& rec) const {
        const std::string app(app_.begin(), app_.end()), dir(winDir_.begin(), winDir_.end());
        std::u16string block = u"MODE=t" + std::u16string(1, static_cast<char16_t>(u'0' + index_));
        block += std::u16string(2, u'\0');
        const auto* bytes = reinterpret_cast<const unsigned char*>(block.data());
        EXPECT_EQ(app, rec.app) << "launch " << rec.pid;
        EXPECT_EQ(app + " --serve", rec.cmd) << "launch " << rec.pid;
        EXPECT_EQ(dir, rec.dir) << "launch " << rec.pid;
        EXPECT_EQ(std::vector<unsigned char>(bytes, bytes + block.size() * 2), rec.envBlock) << "launch " << rec.pid;
    }

private:
    void fail(const std::string& what) {
        if (failures_.size() < 8) failures_.push_back("thread " + std::to_string(index_) + ": " + what);
    }
    template <typename T>
    void expectEq(const T& expected, const T& actual, const std::string& what) {
        if (!(expected == actual)) fail(what + ": expected " + show(expected) + ", got " + show(actual));
    }
    static std::string show(long v) { return std::to_string(v); }
    static std::string show(unsigned long v) { return std::to_string(v); }
    static std::string show(int v) { return std::to_string(v); }
    static std::string show(const std::string& v) { return "\"" + v + "\""; }
    static std::string show(const std::vector<DWORD>& v) {
        std::string s = "{";
        for (DWORD x : v) s += (s.size() > 1 ? "," : "") + std::to_string(x);
        return s + "}";
    }

    // Drops the old host (after checking it) and sets up a new one.
    bool newHost() {
        checkHost();
        host_ = std::make_unique<JniHost>();
        host_->defineConstructor(kProcessClass, kConstructor, [this](jobject, const std::vector<jvalue>&) {
            constructions_++;
            constructedIn_ = cwd();
        });
        command_ = host_->newStringArray({u"prog.exe", u"-t"});
        return failures_.empty();
    }

    void checkHost() {
        if (!host_) return;
        const std::vector<std::string> errors = host_->jniErrors();
        for (const std::string& e : errors) fail("JNI misuse: " + e);
        expectEq(0ul, static_cast<unsigned long>(host_->unreleasedStringChars()), "unreleased string characters");
    }

    jstring str(const std::u16string& s) { return host_->newString(s); }

    void query() {
        last_ = "query";
        ++counts_.queries;
        switch (random_() % 6) {
            case 0: {  // the process's own threads, a record no other thread touches
                DWORD ids[8] = {};
                DWORD n = 0;
                expectEq(0ul, GetProcessThreadIds(kSelf, ids, 8, &n), "GetProcessThreadIds status");
                expectEq(kSelfThreads, std::vector<DWORD>(ids, ids + std::min<DWORD>(n, 8)), "own thread ids");
                break;
            }
            case 1: {
                DWORD n = 0;
                expectEq(0ul, GetNumberOfProcesses(&n), "GetNumberOfProcesses status");
                if (n < 3) fail("GetNumberOfProcesses counted " + std::to_string(n));
                break;
            }
            case 2: {
                // The stand-in's idle and time counters advance with every
                // sample anyone takes, so other threads' samples change the
                // figure; a value in range is what holds.
                const jint usage = Java_com_velmora_util_exec_ScriptProcessManager_getCPUUsage(host_->env(), nullptr);
                if (usage < 0 || usage > 100) fail("getCPUUsage gave " + std::to_string(usage));
                break;
            }
            default: {  // about one of this thread's launches
                if (launched_.empty()) {
                    launch();
                    break;
                }
                const DWORD pid = launched_[random_() % launched_.size()];
                DWORD parent = 0;
                expectEq(0ul, GetParentProcessId(pid, &parent), "GetParentProcessId status");
                expectEq(static_cast<unsigned long>(kSelf), static_cast<unsigned long>(parent), "parent of a launch");
                Win32ExtChar name[64] = {};
                expectEq(0ul, GetProcessModuleName(pid, name, 64), "GetProcessModuleName status");
                expectEq(image_, std::string(name, std::find(name, name + 64, 0)), "image name of a launch");
                expectEq(0, Java_com_velmora_util_exec_ScriptProcessManager_childProcessesCount(
                                host_->env(), nullptr, static_cast<jint>(pid)),
                         "children of a launch");
                break;
            }
        }
    }

    void launch() {
        last_ = "launch";
        ++counts_.launches;
        const std::u16string environment = u"MODE=t" + std::u16string(1, static_cast<char16_t>(u'0' + index_));
        const jint pid = Java_com_velmora_util_exec_ScriptProcessManager_executeProcess(
            host_->env(), nullptr, str(app_), str(app_ + u" --serve"), str(environment), str(winDir_));
        if (pid == 0) {
            fail("executeProcess gave 0");
            return;
        }
        launched_.push_back(static_cast<DWORD>(pid));
        launchedEver_.push_back(static_cast<DWORD>(pid));
    }

    void kill() {
        last_ = "kill";
        ++counts_.kills;
        const DWORD pid = launched_.back();
        launched_.pop_back();
        expectEq(0, Java_com_velmora_util_exec_ScriptProcessManager_killProcess(host_->env(), nullptr,
                                                                                 static_cast<jint>(pid)),
                 "killProcess");
        ended_.push_back(pid);
        if (standin::alive(pid)) fail("a killed process runs on: " + std::to_string(pid));
        DWORD parent = 0;
        expectEq(rw::kStatusUnsuccessful, GetParentProcessId(pid, &parent), "GetParentProcessId of an ended process");
        standin::removeProcess(pid);  // reaped: the model stays small however long the run
    }

    // A fresh tree below a process of this thread: root, 1-3 children, each with
    // 0-2 children of its own. Every descendant ends, the root runs on.
    void treeKill() {
        last_ = "tree kill";
        ++counts_.treeKills;
        auto spawn = [](DWORD parent) {
            standin::ProcessSpec desc;
            desc.parent = parent;
            desc.image = "tree.exe";
            return standin::addProcess(desc);
        };
        const DWORD root = spawn(kSelf);
        std::vector<DWORD> descendants;
        const unsigned children = 1 + random_() % 3;
        for (unsigned i = 0; i < children; ++i) {
            const DWORD child = spawn(root);
            descendants.push_back(child);
            for (unsigned j = random_() % 3; j > 0; --j) descendants.push_back(spawn(child));
        }
        const auto count = [&] {
            return Java_com_velmora_util_exec_ScriptProcessManager_childProcessesCount(host_->env(), nullptr,
                                                                                      static_cast<jint>(root));
        };
        expectEq(static_cast<int>(children), count(), "children of a tree root");
        expectEq(0, Java_com_velmora_util_exec_ScriptProcessManager_killAllChildren(host_->env(), nullptr,
                                                                                     static_cast<jint>(root)),
                 "killAllChildren");
        for (DWORD pid : descendants) {
            if (standin::alive(pid)) fail("a descendant runs on after the tree kill: " + std::to_string(pid));
            ended_.push_back(pid);
        }
        counts_.treeKillEnded += descendants.size();
        if (!standin::alive(root)) fail("the tree kill ended its root");
        expectEq(0, count(), "children of a tree root after the tree kill");
        standin::removeProcess(root);
        for (DWORD pid : descendants) standin::removeProcess(pid);
    }

    void createProcessIn() {
        last_ = "createProcessIn";
        ++counts_.createProcessIn;
        const unsigned before = constructions_;
        constructedIn_.clear();
        jobject p = Java_com_velmora_util_exec_Executor_createProcessIn(host_->env(), nullptr,
                                                                        host_->newStringUtf8(directory_), command_,
                                                                        nullptr);
        if (host_->exceptionPending()) {
            fail("createProcessIn raised " + host_->pendingClass() + ": " + host_->pendingMessage());
            host_->clearException();
        }
        if (!p) fail("createProcessIn gave null");
        expectEq(before + 1ul, static_cast<unsigned long>(constructions_), "constructions");
        expectEq(directory_, constructedIn_, "directory the process object was constructed in");
    }

    const int index_;
    const std::string directory_;
    Shared* const shared_;
    std::mt19937 random_;
    std::string image_;
    std::u16string app_, winDir_;
    std::unique_ptr<JniHost> host_;
    jobjectArray command_ = nullptr;
    unsigned constructions_ = 0;
    std::string constructedIn_;
    std::vector<DWORD> launched_, launchedEver_, ended_;
    Counts counts_;
    std::vector<std::string> failures_;
    unsigned long ops_ = 0;
    std::atomic<const char*> last_{"start"};
};

class Reliability : public ::testing::Test {
protected:
    void SetUp() override {
        standin::reset();
        rw::callerProcessId = 0;
        rw::treeKillProbe = nullptr;
        rw::backendMode = rw::kBackendNone;
        before_ = cwd();
        char pattern[] = "/tmp/rw-reliability-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        base_ = fs::canonical(pattern).string();
    }
    void TearDown() override {
        rw::snapshotSizeHint = 0x10000;
        std::error_code ec;
        fs::current_path(before_, ec);
        fs::remove_all(base_, ec);
        standin::reset();
        rw::backendMode = rw::kBackendNone;
    }

    std::string before_, base_;
};

TEST_F(Reliability, FourThreadsMixingEveryKindOfCall) {
    const int seconds = durationSeconds();
    ASSERT_GT(seconds, 0) << "RW_RELIABILITY is \"full\" or a number of seconds (1..3600)";

    // A first buffer too small for any snapshot: the first queries grow the
    // shared size hint while the others read it.
    rw::snapshotSizeHint = 0x40;
    JniHost host;
    Java_com_velmora_util_exec_ScriptProcessManager_init(host.env(), nullptr);
    ASSERT_EQ(rw::kBackendNative, rw::backendMode);
    Shared shared;

    std::vector<std::unique_ptr<Worker>> workers;
    for (int i = 0; i < kThreads; ++i) {
        // Each thread its own directory; one name outside ASCII, as a user's may be.
        const std::string dir = base_ + "/t" + std::to_string(i) + (i == 1 ? "-\xC3\xA9t\xC3\xA9" : "");
        fs::create_directory(dir);
        workers.push_back(std::make_unique<Worker>(i, dir, &shared));
    }

    std::mutex lock;
    std::condition_variable finished;
    int running = kThreads;
    shared.end = Clock::now() + std::chrono::seconds(seconds);
    std::vector<std::thread> threads;
    for (auto& w : workers) {
        threads.emplace_back([&, worker = w.get()] {
            worker->run();
            std::lock_guard<std::mutex> g(lock);
            if (--running == 0) finished.notify_all();
        });
    }
    {
        // The watchdog: threads that have not finished well after the end are
        // stuck; they cannot be joined, so the program ends here.
        std::unique_lock<std::mutex> g(lock);
        const auto deadline = shared.end + std::chrono::seconds(60);
        if (!finished.wait_until(g, deadline, [&] { return running == 0; })) {
            for (int i = 0; i < kThreads; ++i)
                fprintf(stderr, "reliability: thread %d stuck in %s\n", i, workers[i]->lastOperation());
            fprintf(stderr, "reliability: deadlock, %d thread(s) still running 60 s after the end\n", running);
            fflush(stderr);
            abort();
        }
    }
    for (std::thread& t : threads) t.join();

    Counts total;
    std::vector<DWORD> expectedEnds;
    for (auto& w : workers) {
        for (const std::string& f : w->failures()) ADD_FAILURE() << f;
        total.add(w->counts());
        expectedEnds.insert(expectedEnds.end(), w->ended().begin(), w->ended().end());
    }
    printf("reliability: %d s, %d threads: %lu queries, %lu launches, %lu kills, %lu tree kills (%lu processes "
           "ended), %lu createProcessIn\n",
           seconds, kThreads, total.queries, total.launches, total.kills, total.treeKills, total.treeKillEnded,
           total.createProcessIn);
    for (int i = 0; i < kThreads; ++i) {
        const Counts& c = workers[i]->counts();
        printf("  thread %d: %lu queries, %lu launches, %lu kills, %lu tree kills, %lu createProcessIn\n", i, c.queries,
               c.launches, c.kills, c.treeKills, c.createProcessIn);
    }
    for (int i = 0; i < kThreads; ++i) EXPECT_GT(workers[i]->counts().createProcessIn, 0ul) << "thread " << i;

    EXPECT_EQ(before_, cwd()) << "the current directory afterwards is the one from before";
    std::map<DWORD, const Worker*> launchedBy;
    for (auto& w : workers)
        for (DWORD pid : w->launchedEver()) launchedBy[pid] = w.get();
    ASSERT_EQ(total.launches, standin::launches().size());
    for (const standin::LaunchRecord& rec : standin::launches()) {
        ASSERT_EQ(1u, launchedBy.count(rec.pid)) << "a launch no thread asked for: " << rec.pid;
        launchedBy[rec.pid]->checkLaunchRecord(rec);
    }
    // Every process ended was ended by the call of its own thread that meant to, once.
    std::vector<DWORD> terminations = standin::terminations();
    std::sort(terminations.begin(), terminations.end());
    std::sort(expectedEnds.begin(), expectedEnds.end());
    EXPECT_EQ(expectedEnds, terminations);
    EXPECT_EQ(3u, standin::processes().size()) << "only the model's own processes are left";
    // The launch natives leave their two handles open on purpose; every other handle is closed.
    EXPECT_EQ(2 * total.launches, standin::openHandleCount());
    EXPECT_EQ(0, standin::liveAllocations());
}

}  // namespace
