// Launch and kill against real processes: the plain exports executeProcess and
// killProcess, and the natives through the JNI host. Expectations about what a
// child sees come from a raw CreateProcessA with the same arguments, since Wine
// and Windows differ in places (an "empty" environment, for one).
#include <gtest/gtest.h>
#include <jni.h>

#include <string.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "jnihost.h"
#include "jninatives.h"
#include "runwarden/natives/natives.h"
#include "runwarden/procinfo/backend.h"
#include "wineutil.h"

namespace {

using wineutil::Child;
using wineutil::KillOnExit;
using wineutil::Report;

constexpr DWORD kProcessAllAccessClassic = 0x1F0FFF;
const char kMarkName[] = "RW_LAUNCH_MARK";
const char kMarkValue[] = "inherited 1";

std::string helper() { return wineutil::narrow(wineutil::helperPath()); }

// "<childproc.exe>" report "<file>"
std::string reportCommand(const std::wstring& file, const char* program = nullptr) {
    std::string exe = program ? program : "\"" + helper() + "\"";
    return exe + " report \"" + wineutil::narrow(file) + "\"";
}

// The plain export, with a writable copy of the command line. On success the
// returned Child owns both handles and ends the process by id when done.
unsigned long launchPlain(const char* app, const char* cmd, const char* block, const char* dir, Child* child) {
    std::vector<char> line;
    if (cmd) line.assign(cmd, cmd + strlen(cmd) + 1);
    RunwardenProcessInformation created = {};
    const unsigned long status = executeProcess(app, cmd ? line.data() : nullptr, block, dir, &created);
    if (status == 0) {
        PROCESS_INFORMATION pi;
        memcpy(&pi, &created, sizeof pi);
        *child = Child(pi, 0);
    }
    return status;
}

// The raw call the export is expected to make: the caller's startup record, a
// new console, no inherited handles.
Child launchRaw(const char* app, const char* cmd, const char* block, const char* dir) {
    return wineutil::startChildAnsi(app, cmd, block, dir, CREATE_NEW_CONSOLE);
}

// The native, through the JNI host; null arguments pass null strings. The native
// keeps both handles of what it launched open: the id stays the process's own.
jint launchNative(jnihost::JniHost& host, const char* app, const char* cmd, const char* environment,
                  const char* dir) {
    auto str = [&](const char* s) { return s ? host.newStringUtf8(s) : nullptr; };
    const jint pid = Java_com_velmora_util_exec_ScriptProcessManager_executeProcess(
        host.env(), nullptr, str(app), str(cmd), str(environment), str(dir));
    EXPECT_EQ(0u, host.unreleasedStringChars()) << "every string's bytes are given back";
    EXPECT_FALSE(host.exceptionPending());
    return pid;
}

jint killNative(jnihost::JniHost& host, DWORD pid) {
    return Java_com_velmora_util_exec_ScriptProcessManager_killProcess(host.env(), nullptr, static_cast<jint>(pid));
}

class Launch : public ::testing::Test {
protected:
    static void SetUpTestSuite() { SetEnvironmentVariableA(kMarkName, kMarkValue); }

    void SetUp() override { ASSERT_TRUE(dir_.valid()); }

    std::wstring file(const char* name) { return dir_.file(wineutil::widen(name)); }

    // Launches childproc report through the raw call and returns its report.
    Report rawReport(const char* tag, const char* block, const char* dir) {
        const std::wstring path = file(tag);
        Child raw = launchRaw(nullptr, reportCommand(path).c_str(), block, dir);
        Report r;
        EXPECT_TRUE(raw.started()) << "raw CreateProcessA failed: " << raw.error();
        EXPECT_TRUE(wineutil::waitForReport(path, &r, 20000, raw.handle())) << tag;
        return r;
    }

    // Launches childproc report through the plain export and returns its report.
    Report plainReport(const char* tag, const char* block, const char* dir) {
        const std::wstring path = file(tag);
        Child child;
        EXPECT_EQ(0u, launchPlain(nullptr, reportCommand(path).c_str(), block, dir, &child)) << tag;
        Report r;
        EXPECT_TRUE(wineutil::waitForReport(path, &r, 20000, child.handle())) << tag;
        EXPECT_NE(0u, child.pid());
        EXPECT_EQ(child.pid(), r.pid) << "the creation result names the launched process";
        EXPECT_EQ(GetCurrentProcessId(), r.parent);
        EXPECT_TRUE(child.waitExit()) << "childproc report exits on its own";
        EXPECT_EQ(0u, child.exitCode());
        return r;
    }

    // Launches childproc report through the native and returns its report.
    Report nativeReport(const char* tag, const char* environment, const char* dir) {
        const std::wstring path = file(tag);
        const jint pid = launchNative(host_, nullptr, reportCommand(path).c_str(), environment, dir);
        KillOnExit guard(static_cast<DWORD>(pid));
        EXPECT_NE(0, pid) << tag;
        Report r;
        EXPECT_TRUE(wineutil::waitForReport(path, &r)) << tag;
        EXPECT_EQ(static_cast<DWORD>(pid), r.pid) << "the native returns the launched process's id";
        EXPECT_EQ(GetCurrentProcessId(), r.parent);
        return r;
    }

    wineutil::TempDir dir_;
    jnihost::JniHost host_;
};

struct EnvironmentCase {
    const char* name;
    const char* block;  // as the plain export receives it; null inherits
    const char* javaString;  // the same block as the native receives it, when a Java string can say it
};

// null inherits the caller's environment; an empty block and a one-entry block
// give the child what the platform gives for the same block.
const EnvironmentCase kEnvironmentCases[] = {
    {"null", nullptr, nullptr},
    {"empty", "\0", ""},          // two NUL bytes: no entries
    {"one", "A=1\0", "A=1"},      // one entry, its NUL, the block's NUL
    {"two", "A=1\0B=2\0", nullptr},  // native callers may pass several entries
};

TEST_F(Launch, EnvironmentBlockReachesTheChildAsTheRawCallPassesIt) {
    for (const EnvironmentCase& c : kEnvironmentCases) {
        SCOPED_TRACE(c.name);
        const Report expected = rawReport((std::string(c.name) + ".raw").c_str(), c.block, nullptr);
        const Report got = plainReport((std::string(c.name) + ".plain").c_str(), c.block, nullptr);
        EXPECT_EQ(expected.env, got.env);

        std::wstring mark;
        const bool inherited = got.variable(wineutil::widen(kMarkName), &mark);
        EXPECT_EQ(c.block == nullptr, inherited) << "only a null block inherits the caller's variables";
        if (inherited) EXPECT_EQ(wineutil::widen(kMarkValue), mark);
        for (const char* entry = c.block; entry && *entry; entry += strlen(entry) + 1) {
            const std::wstring e = wineutil::widen(entry);
            EXPECT_NE(got.env.end(), std::find(got.env.begin(), got.env.end(), e)) << entry;
        }
        if (c.javaString || !c.block) {
            const Report native = nativeReport((std::string(c.name) + ".native").c_str(), c.javaString, nullptr);
            EXPECT_EQ(expected.env, native.env) << "the native builds the same block from a Java string";
        }
    }
}

TEST_F(Launch, WorkingDirectoryIsHonoured) {
    wchar_t own[MAX_PATH];
    ASSERT_NE(0u, GetCurrentDirectoryW(MAX_PATH, own));
    const std::string tempDir = wineutil::narrow(dir_.path());

    Report r = plainReport("cwd-null", nullptr, nullptr);
    EXPECT_EQ(std::wstring(own), r.cwd) << "null: the caller's current directory";

    r = plainReport("cwd-temp", nullptr, tempDir.c_str());
    EXPECT_EQ(rawReport("cwd-temp.raw", nullptr, tempDir.c_str()).cwd, r.cwd);
    EXPECT_EQ(0, lstrcmpiW(dir_.path().c_str(), r.cwd.c_str())) << wineutil::narrow(r.cwd);

    EXPECT_EQ(std::wstring(own), nativeReport("cwd-null.native", nullptr, nullptr).cwd);
    EXPECT_EQ(r.cwd, nativeReport("cwd-temp.native", nullptr, tempDir.c_str()).cwd);
}

TEST_F(Launch, ProgramComesFromTheApplicationNameOrElseTheCommandLine) {
    const std::wstring fromLine = file("from-line");
    Child child;
    ASSERT_EQ(0u, launchPlain(nullptr, reportCommand(fromLine).c_str(), nullptr, nullptr, &child));
    Report r;
    ASSERT_TRUE(wineutil::waitForReport(fromLine, &r, 20000, child.handle()));
    EXPECT_EQ(wineutil::helperPath(), r.args.at(0));

    // With an application name the first token of the command line is only argv[0].
    const std::wstring fromApp = file("from-app");
    Child other;
    ASSERT_EQ(0u, launchPlain(helper().c_str(), reportCommand(fromApp, "no-such-program").c_str(), nullptr, nullptr,
                              &other));
    ASSERT_TRUE(wineutil::waitForReport(fromApp, &r, 20000, other.handle()));
    EXPECT_EQ(L"no-such-program", r.args.at(0));
    EXPECT_EQ(other.pid(), r.pid);
}

struct FailureCase {
    const char* name;
    const char* app;
    const char* cmd;
    const char* dir;
};

TEST_F(Launch, FailedCreationGivesThePlatformsErrorCode) {
    const std::string missing = wineutil::narrow(dir_.file(L"missing.exe"));
    const std::string quoted = "\"" + missing + "\" x";
    const std::string missingDir = wineutil::narrow(dir_.file(L"no-such-dir"));
    const std::string cmd = "\"" + helper() + "\" exit 0";
    const FailureCase cases[] = {
        {"missing application", missing.c_str(), "missing x", nullptr},
        {"missing program on the command line", nullptr, quoted.c_str(), nullptr},
        {"missing working directory", nullptr, cmd.c_str(), missingDir.c_str()},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        Child raw = launchRaw(c.app, c.cmd, nullptr, c.dir);
        ASSERT_FALSE(raw.started()) << "the raw call must fail for this case";
        ASSERT_NE(0u, raw.error());
        Child child;
        EXPECT_EQ(raw.error(), launchPlain(c.app, c.cmd, nullptr, c.dir, &child));
        EXPECT_FALSE(child.started());
        const jint pid = launchNative(host_, c.app, c.cmd, nullptr, c.dir);
        KillOnExit guard(static_cast<DWORD>(pid));
        EXPECT_EQ(0, pid) << "the native reports failure as 0";
    }
}

// Ids that name no process: one far beyond any id the system hands out, and
// that of a process that has ended and whose every handle is closed. Each is
// checked with a raw open first, so nothing else is ever killed here.
TEST_F(Launch, KillOfAnIdThatNamesNoProcessFails) {
    Child gone = wineutil::childproc({L"exit", L"0"});
    ASSERT_TRUE(gone.started());
    ASSERT_TRUE(gone.waitExit());
    const DWORD ended = gone.pid();
    gone.reset();
    ASSERT_TRUE(wineutil::waitUntilGone(ended));

    for (DWORD pid : {DWORD{0x7FFFFFF0}, ended}) {
        SCOPED_TRACE(pid);
        HANDLE h = OpenProcess(kProcessAllAccessClassic, TRUE, pid);
        if (h) CloseHandle(h);
        ASSERT_EQ(nullptr, h) << "precondition: the id must name no process";
        EXPECT_EQ(-1, killProcess(pid));
        EXPECT_EQ(-1, killNative(host_, pid));
    }
}

TEST_F(Launch, KillEndsARunningProcessWithExitCodeZero) {
    for (const bool native : {false, true}) {
        for (const wchar_t* mode : {L"sleep", L"busy"}) {
            SCOPED_TRACE(native ? "native" : "plain");
            Child child = wineutil::childproc({mode});
            ASSERT_TRUE(child.started());
            EXPECT_EQ(0, native ? killNative(host_, child.pid()) : killProcess(child.pid()));
            ASSERT_TRUE(child.waitExit());
            EXPECT_EQ(0u, child.exitCode());
        }
    }
}

// Launch and kill need no back end: they work while none is selected.
TEST_F(Launch, LaunchAndKillWorkBeforeInit) {
    const LONG saved = rw::backendMode;
    rw::backendMode = rw::kBackendNone;
    Child child;
    const std::string cmd = "\"" + helper() + "\" sleep";
    EXPECT_EQ(0u, launchPlain(nullptr, cmd.c_str(), nullptr, nullptr, &child));
    ASSERT_TRUE(child.started());
    EXPECT_EQ(0, killProcess(child.pid()));
    ASSERT_TRUE(child.waitExit());
    EXPECT_EQ(0u, child.exitCode());

    const jint pid = launchNative(host_, nullptr, cmd.c_str(), nullptr, nullptr);
    KillOnExit guard(static_cast<DWORD>(pid));
    ASSERT_NE(0, pid);
    EXPECT_EQ(0, killNative(host_, static_cast<DWORD>(pid)));
    DWORD code = STILL_ACTIVE;
    HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    ASSERT_NE(nullptr, h);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h, 10000));
    CloseHandle(h);
    EXPECT_TRUE(wineutil::exitCodeOf(static_cast<DWORD>(pid), &code));
    EXPECT_EQ(0u, code);
    rw::backendMode = saved;
}

// The native leaves both handles of every launched process open, so an ended
// launched process can still be opened by id; a control launched through the
// plain export, whose handles the test closes, soon cannot.
TEST_F(Launch, NativeLaunchesKeepTheirHandlesOpen) {
    const std::string cmd = "\"" + helper() + "\" exit 7";
    std::vector<DWORD> launched;
    std::vector<std::unique_ptr<KillOnExit>> guards;
    for (int i = 0; i < 3; ++i) {
        const jint pid = launchNative(host_, nullptr, cmd.c_str(), nullptr, nullptr);
        ASSERT_NE(0, pid);
        guards.push_back(std::make_unique<KillOnExit>(static_cast<DWORD>(pid)));
        launched.push_back(static_cast<DWORD>(pid));
    }
    for (DWORD pid : launched) {
        HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, pid);
        ASSERT_NE(nullptr, h);
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h, 10000));
        CloseHandle(h);
    }

    Child control;
    ASSERT_EQ(0u, launchPlain(nullptr, cmd.c_str(), nullptr, nullptr, &control));
    ASSERT_TRUE(control.waitExit());
    const DWORD controlPid = control.pid();
    control.reset();  // closes both handles
    ASSERT_TRUE(wineutil::waitUntilGone(controlPid)) << "an ended process without handles goes away";

    for (DWORD pid : launched) {
        SCOPED_TRACE(pid);
        EXPECT_TRUE(wineutil::canOpen(pid)) << "a handle of the launch still holds the ended process";
        DWORD code = 0;
        EXPECT_TRUE(wineutil::exitCodeOf(pid, &code));
        EXPECT_EQ(7u, code);
    }
}

}  // namespace
