// createProcessIn on the stand-in, whose directory calls are the real
// getcwd/chdir: a test Win32Process constructor records the directory it runs
// in, so each test sees where a process would have started.
#include <gtest/gtest.h>
#include <standin/control.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

#include "jnihost.h"
#include "jninatives.h"


namespace {

namespace fs = std::filesystem;
using jnihost::JniHost;

const char kProcessClass[] = "java/lang/Win32Process";
const char kConstructor[] = "([Ljava/lang/String;[Ljava/lang/String;)V";
const std::vector<std::string> kNone;

std::string cwd() {
    std::error_code ec;
    return fs::current_path(ec).string();
}

// What the test constructor saw.
struct Construction {
    int count = 0;
    std::string directory;
    std::vector<jvalue> args;
};

void registerProcessClass(JniHost& host, Construction* seen, const char* throwClass = nullptr) {
    host.defineConstructor(kProcessClass, kConstructor, [&host, seen, throwClass](jobject, const std::vector<jvalue>& a) {
        seen->count++;
        seen->directory = cwd();
        seen->args = a;
        if (throwClass) host.throwNew(throwClass, "CreateProcess error=2");
    });
}

jobject createIn(JniHost& host, jstring dir, jobjectArray cmd, jobjectArray env) {
    return Java_com_velmora_util_exec_Executor_createProcessIn(host.env(), nullptr, dir, cmd, env);
}

class CreateProcessIn : public ::testing::Test {
protected:
    void SetUp() override {
        standin::reset();
        before = cwd();
        char pattern[] = "/tmp/dirlaunch-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        base = fs::canonical(pattern).string();
        target = base + "/target";
        fs::create_directory(target);
        registerProcessClass(host, &seen);
        command = host.newStringArray({u"prog.exe", u"-x"});
        environment = host.newStringArray({u"A=1"});
    }
    void TearDown() override {
        standin::reset();
        fs::current_path(before);
        std::error_code ec;
        fs::remove_all(base, ec);
    }

    // After any call: characters handed back, nothing leaked, no misuse of JNI.
    void expectClean() {
        EXPECT_EQ(0u, host.unreleasedStringChars());
        EXPECT_EQ(0, standin::liveAllocations());
        EXPECT_EQ(kNone, host.jniErrors());
    }

    JniHost host;
    Construction seen;
    std::string before, base, target;
    jobjectArray command = nullptr, environment = nullptr;
};

TEST_F(CreateProcessIn, ConstructsInTheDirectoryAndRestoresIt) {
    for (bool withEnvironment : {true, false}) {
        SCOPED_TRACE(withEnvironment ? "environment array" : "null environment");
        seen = {};
        jobject p = createIn(host, host.newStringUtf8(target), command, withEnvironment ? environment : nullptr);
        ASSERT_NE(nullptr, p);
        EXPECT_EQ(kProcessClass, host.className(p));
        EXPECT_EQ(1, seen.count);
        EXPECT_EQ(target, seen.directory);
        EXPECT_EQ(before, cwd());
        ASSERT_EQ(2u, seen.args.size());
        EXPECT_EQ(command, seen.args[0].l) << "the arrays pass unchanged, in order";
        EXPECT_EQ(withEnvironment ? environment : nullptr, seen.args[1].l);
        EXPECT_FALSE(host.exceptionPending());
        EXPECT_EQ(1u, host.liveLocalReferences()) << "only the result";
        host.resetLocalReferenceCount();
        expectClean();
    }
}

// The failure rows, checked in their order: each case combines its own
// condition with every later one, so an earlier check that came later would
// show up as the wrong exception.
enum class Dir { Null, Missing, Good, TargetThenNul };
enum class Cmd { Null, Empty, Good };

struct FailureCase {
    const char* name;
    Dir dir;
    Cmd cmd;
    bool charsFail, getCwdFails;
    const char* exception;
    const char* message;  // null: the exception has no message
};

const FailureCase kFailures[] = {
    {"NullDirectory", Dir::Null, Cmd::Good, false, false, "java/lang/NullPointerException", nullptr},
    {"NullDirectoryBeforeEmptyCommand", Dir::Null, Cmd::Empty, false, true, "java/lang/NullPointerException", nullptr},
    {"NullCommand", Dir::Missing, Cmd::Null, false, true, "java/lang/NullPointerException", nullptr},
    {"EmptyCommand", Dir::Missing, Cmd::Empty, false, true, "java/lang/ArrayIndexOutOfBoundsException", nullptr},
    {"CurrentDirectoryUnreadable", Dir::Missing, Cmd::Good, false, true, "java/io/IOException",
     "Can't get current windows directory"},
    {"MissingDirectory", Dir::Missing, Cmd::Good, false, false, "java/io/IOException", "Can't set new path."},
    // No Windows path can hold U+0000: such a directory cannot be made current,
    // even where the text before it names a directory that exists.
    {"DirectoryHoldingUPlus0000", Dir::TargetThenNul, Cmd::Good, false, false, "java/io/IOException",
     "Can't set new path."},
    {"NullCommandBeforeDirectoryHoldingUPlus0000", Dir::TargetThenNul, Cmd::Null, false, true,
     "java/lang/NullPointerException", nullptr},
    // The VM cannot supply the characters: its own exception is left pending.
    {"DirectoryCharactersUnavailable", Dir::Good, Cmd::Null, true, true, "java/lang/OutOfMemoryError",
     "jnihost: injected failure"},
};

class CreateProcessInFailure : public CreateProcessIn, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(CreateProcessInFailure, RaisesItsExceptionAndLeavesTheDirectory) {
    const FailureCase& c = GetParam();
    jstring dir = c.dir == Dir::Null            ? nullptr
                  : c.dir == Dir::Missing       ? host.newStringUtf8(base + "/does-not-exist")
                  : c.dir == Dir::TargetThenNul ? host.newStringUtf8(target + std::string(1, '\0') + "x")
                                                : host.newStringUtf8(target);
    jobjectArray cmd = c.cmd == Cmd::Null ? nullptr : c.cmd == Cmd::Empty ? host.newStringArray({}) : command;
    host.failures().getStringChars = c.charsFail;
    standin::failGetCurrentDirectory(c.getCwdFails);

    EXPECT_EQ(nullptr, createIn(host, dir, cmd, environment));
    EXPECT_EQ(c.exception, host.pendingClass());
    if (c.message)
        EXPECT_EQ(c.message, host.pendingMessage());
    else
        EXPECT_TRUE(host.pendingMessageIsNull());
    EXPECT_EQ(before, cwd());
    EXPECT_EQ(0, seen.count);
    if (c.dir == Dir::Null) {
        const auto& calls = host.calls();
        for (const char* asked : {"GetStringLength", "GetStringChars", "GetStringUTFChars"})
            EXPECT_EQ(calls.end(), std::find(calls.begin(), calls.end(), asked)) << asked << " of a null directory";
    }
    expectClean();
}

INSTANTIATE_TEST_SUITE_P(Rows, CreateProcessInFailure, ::testing::ValuesIn(kFailures),
                         [](const ::testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

TEST_F(CreateProcessIn, AConstructorExceptionReachesTheCallerAndTheDirectoryIsRestored) {
    JniHost vm;
    Construction failing;
    registerProcessClass(vm, &failing, "java/io/IOException");
    EXPECT_EQ(nullptr, createIn(vm, vm.newStringUtf8(target), vm.newStringArray({u"missing.exe"}), nullptr));
    EXPECT_EQ(1, failing.count);
    EXPECT_EQ(target, failing.directory);
    EXPECT_EQ("java/io/IOException", vm.pendingClass());
    EXPECT_EQ("CreateProcess error=2", vm.pendingMessage());
    EXPECT_EQ(before, cwd());
    EXPECT_EQ(0u, vm.unreleasedStringChars());
    EXPECT_EQ(kNone, vm.jniErrors());
}

TEST_F(CreateProcessIn, AMissingProcessClassLeavesTheVmsError) {
    JniHost vm;  // no Win32Process defined
    EXPECT_EQ(nullptr, createIn(vm, vm.newStringUtf8(target), vm.newStringArray({u"a.exe"}), nullptr));
    EXPECT_EQ("java/lang/NoClassDefFoundError", vm.pendingClass());
    EXPECT_EQ(before, cwd());
    EXPECT_EQ(kNone, vm.jniErrors());
}

TEST_F(CreateProcessIn, AFailedRestoreRaisesIllegalAccessErrorAndDropsTheObject) {
    standin::failSetCurrentDirectory(1);  // the switch succeeds, the restore fails
    EXPECT_EQ(nullptr, createIn(host, host.newStringUtf8(target), command, environment));
    EXPECT_EQ(1, seen.count) << "the process was started";
    EXPECT_EQ("java/lang/IllegalAccessError", host.pendingClass());
    EXPECT_EQ("Can't restore current windows directory.", host.pendingMessage());
    EXPECT_EQ(target, cwd()) << "left at the caller's directory";
    EXPECT_EQ(0u, host.liveLocalReferences()) << "the dropped object's reference is deleted";
    expectClean();
}

TEST_F(CreateProcessIn, ARelativeDirectoryIsTakenFromTheCurrentOne) {
    fs::current_path(base);
    ASSERT_NE(nullptr, createIn(host, host.newStringUtf8("target"), command, nullptr));
    EXPECT_EQ(target, seen.directory);
    EXPECT_EQ(base, cwd());
    expectClean();
}

// Directories reach Windows as text: the caller's directory and the saved one
// hold characters that code page 1252 cannot (Ж, 日本) beside ones that it can
// (é, ß), so a switch or a restore through the narrow calls would miss them.
TEST_F(CreateProcessIn, NonAsciiDirectoriesAreSwitchedToAndRestored) {
    const std::string from = base + "/d\u00E9part \u0416";
    const std::string to = base + "/\u00E9 \u00DF \u0416 \u65E5\u672C";
    ASSERT_TRUE(fs::create_directory(from));
    ASSERT_TRUE(fs::create_directory(to));
    fs::current_path(from);
    for (UINT codePage : {1252u, 65001u}) {
        SCOPED_TRACE(codePage);
        standin::setCodePage(codePage);
        seen = {};
        jobject p = createIn(host, host.newStringUtf8(to), command, environment);
        ASSERT_NE(nullptr, p);
        EXPECT_EQ(1, seen.count);
        EXPECT_EQ(to, seen.directory);
        EXPECT_EQ(from, cwd());
        EXPECT_FALSE(host.exceptionPending()) << host.pendingClass();
        host.resetLocalReferenceCount();
        expectClean();
    }
}

TEST_F(CreateProcessIn, ACurrentDirectoryLongerThanMaxPathIsRestoredWhole) {
    std::string deep = base;
    while (deep.size() <= 300) {
        deep += "/a-directory-name-of-some-length";
        ASSERT_TRUE(fs::create_directory(deep));
    }
    fs::current_path(deep);
    ASSERT_NE(nullptr, createIn(host, host.newStringUtf8(target), command, nullptr));
    EXPECT_EQ(target, seen.directory);
    EXPECT_EQ(deep, cwd());
    expectClean();
}

// Each thread has its own VM environment and its own directory; the calls
// exclude each other, so each process starts in its own caller's directory.
// Every constructor waits, once the other thread is calling too, for a short
// while to see whether the other's constructor runs meanwhile: with the calls
// excluding each other it never does (the test passes whatever the timing);
// without, the other call would switch the directory under this one.
TEST_F(CreateProcessIn, ConcurrentCallsEachSeeTheirOwnDirectory) {
    constexpr int kRounds = 5;
    constexpr auto kOverlapWindow = std::chrono::milliseconds(50);
    const std::string dirs[2] = {base + "/one", base + "/two"};
    for (const auto& d : dirs) fs::create_directory(d);

    std::mutex m;
    std::condition_variable cv;
    bool inCall[2] = {false, false}, inConstructor[2] = {false, false}, done[2] = {false, false};
    std::atomic<int> overlaps{0};
    std::atomic<int> mismatches{0}, failures{0};
    auto mark = [&](bool* flag, bool value) {
        {
            std::lock_guard<std::mutex> lock(m);
            *flag = value;
        }
        cv.notify_all();
    };

    auto worker = [&](int self) {
        const int other = 1 - self;
        JniHost vm;
        vm.defineConstructor(kProcessClass, kConstructor, [&](jobject, const std::vector<jvalue>&) {
            // First until the other thread is inside a call too or has
            // finished: it holds nothing outside a call, so this wait always
            // ends (the deadline only guards against a fault).
            std::unique_lock<std::mutex> lock(m);
            inConstructor[self] = true;
            cv.notify_all();
            cv.wait_for(lock, std::chrono::seconds(5), [&] { return inCall[other] || done[other]; });
            if (cv.wait_for(lock, kOverlapWindow, [&] { return inConstructor[other]; })) ++overlaps;
            if (cwd() != dirs[self]) ++mismatches;
            inConstructor[self] = false;
        });
        for (int i = 0; i < kRounds; ++i) {
            mark(&inCall[self], true);
            if (!createIn(vm, vm.newStringUtf8(dirs[self]), vm.newStringArray({u"a.exe"}), nullptr)) ++failures;
            mark(&inCall[self], false);
            if (!vm.jniErrors().empty() || vm.unreleasedStringChars() != 0) ++failures;
        }
        mark(&done[self], true);
    };
    std::thread a(worker, 0), b(worker, 1);
    a.join();
    b.join();
    EXPECT_EQ(0, overlaps.load());
    EXPECT_EQ(0, mismatches.load());
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(before, cwd());
}

}  // namespace
