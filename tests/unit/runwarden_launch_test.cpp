// Launch and kill on the stand-in: what executeProcess hands to process
// creation, what it returns, which handles stay open; how killProcess opens,
// ends and closes; and that neither needs a selected back end.
#include <gtest/gtest.h>
#include "jninatives.h"
#include <jni.h>
#include <standin/control.h>

#include <string>
#include <vector>

#include "runwarden/natives/natives.h"
#include "runwarden/natives/treekill.h"
#include "runwarden/procinfo/backend.h"

namespace {

class Launch : public ::testing::Test {
protected:
    void SetUp() override {
        standin::reset();
        rw::callerProcessId = 0;
        rw::backendMode = rw::kBackendNone;  // launch and kill must not need init
    }

    static DWORD spawn(DWORD parent = 1000) {
        standin::ProcessSpec desc;
        desc.parent = parent;
        return standin::addProcess(desc);
    }
};

TEST_F(Launch, PassesTheRequestOnUnchangedWithTheProcesssOwnStartupRecord) {
    const char app[] = "C:\\tools\\r\xC3\xA9sum\xC3\xA9.exe";     // bytes of "résumé", not converted
    char cmd[] = "r\xC3\xA9sum\xC3\xA9.exe --title \xE2\x82\xAC \xC0\x80";  // "€", and a modified UTF-8 NUL
    const char dir[] = "C:\\w\xC3\xB6rk dir";
    // Three entries, one of them non-ASCII, and the block's closing NUL.
    const unsigned char env[] = "A=1\0PATH=C:\\bin;C:\\x\0N\xC3\xA4me=\xE2\x82\xAC\0";  // + implicit final NUL
    const std::vector<unsigned char> block(env, env + sizeof env);

    RunwardenProcessInformation result = {};
    ASSERT_EQ(0ul, executeProcess(app, cmd, reinterpret_cast<const char*>(env), dir, &result));

    ASSERT_EQ(1u, standin::launches().size());
    const standin::LaunchRecord& rec = standin::launches().back();
    EXPECT_FALSE(rec.wide) << "the narrow (ANSI) creation call";
    EXPECT_EQ(0x10ul, rec.flags) << "a new console and nothing else";
    EXPECT_EQ(FALSE, rec.inherit);
    EXPECT_TRUE(rec.psaNull);
    EXPECT_TRUE(rec.tsaNull);
    EXPECT_TRUE(rec.startupIsOwn);
    EXPECT_EQ(std::string(app), rec.app);
    EXPECT_EQ(std::string(cmd), rec.cmd);
    EXPECT_EQ(std::string(dir), rec.dir);
    EXPECT_EQ(block, rec.envBlock);

    EXPECT_NE(0ul, result.dwProcessId);
    EXPECT_EQ(rec.pid, result.dwProcessId);
    EXPECT_EQ(rec.process, result.hProcess);
    EXPECT_EQ(rec.thread, result.hThread);
    EXPECT_NE(0ul, result.dwThreadId);
    EXPECT_TRUE(standin::alive(result.dwProcessId));
}

// Each of the four strings may be absent on its own; an absent one reaches the
// platform as null and a present one as its bytes.
TEST_F(Launch, PassesEachAbsentStringAsNull) {
    for (unsigned absent = 0; absent < 16; ++absent) {
        SCOPED_TRACE("absent mask " + std::to_string(absent));
        standin::reset();
        char cmd[] = "tool.exe -v";
        const char* app = (absent & 1) ? nullptr : "C:\\tool.exe";
        char* line = (absent & 2) ? nullptr : cmd;
        const char* env = (absent & 4) ? nullptr : "X=y\0";
        const char* dir = (absent & 8) ? nullptr : "C:\\";

        RunwardenProcessInformation result = {};
        ASSERT_EQ(0ul, executeProcess(app, line, env, dir, &result));
        ASSERT_EQ(1u, standin::launches().size());
        const standin::LaunchRecord& rec = standin::launches().back();
        EXPECT_EQ(app == nullptr, rec.appNull);
        EXPECT_EQ(line == nullptr, rec.cmdNull);
        EXPECT_EQ(env == nullptr, rec.envNull);
        EXPECT_EQ(dir == nullptr, rec.dirNull);
        if (app) EXPECT_EQ("C:\\tool.exe", rec.app);
        if (line) EXPECT_EQ("tool.exe -v", rec.cmd);
        if (dir) EXPECT_EQ("C:\\", rec.dir);
        if (env) EXPECT_EQ((std::vector<unsigned char>{'X', '=', 'y', 0, 0}), rec.envBlock);
        EXPECT_EQ(rec.pid, result.dwProcessId);
    }
}

TEST_F(Launch, AFailedCreationReturnsThePlatformsErrorCode) {
    for (DWORD error : {2ul, 5ul, 193ul}) {
        SCOPED_TRACE(error);
        standin::reset();
        standin::failLaunches(error);
        char cmd[] = "missing.exe";
        RunwardenProcessInformation result = {};
        EXPECT_EQ(error, executeProcess(nullptr, cmd, nullptr, nullptr, &result));
        EXPECT_EQ(1u, standin::launches().size()) << "the creation was attempted once";
        EXPECT_EQ(0u, standin::openHandleCount());

        // The native reports a failed launch as 0 and passes no code on.
        EXPECT_EQ(0, Java_com_velmora_util_exec_ScriptProcessManager_executeProcess(nullptr, nullptr, nullptr,
                                                                                    nullptr, nullptr, nullptr));
    }
}

// The launch natives keep both handles of every launched process open for the
// rest of the process's life; neither the export nor the native closes any.
TEST_F(Launch, BothHandlesStayOpenAfterEveryLaunch) {
    for (int i = 0; i < 3; ++i) {
        char cmd[] = "child.exe";
        RunwardenProcessInformation result = {};
        ASSERT_EQ(0ul, executeProcess(nullptr, cmd, nullptr, nullptr, &result));
    }
    // The native with four absent strings needs nothing from the VM: its result
    // is the id of the new process, never 0.
    for (int i = 0; i < 2; ++i) {
        const jint pid = Java_com_velmora_util_exec_ScriptProcessManager_executeProcess(nullptr, nullptr, nullptr,
                                                                                        nullptr, nullptr, nullptr);
        ASSERT_NE(0, pid);
        EXPECT_EQ(static_cast<DWORD>(pid), standin::launches().back().pid);
    }
    ASSERT_EQ(5u, standin::launches().size());
    for (const standin::LaunchRecord& rec : standin::launches()) {
        EXPECT_TRUE(standin::handleOpen(rec.process)) << "process handle of " << rec.pid;
        EXPECT_TRUE(standin::handleOpen(rec.thread)) << "thread handle of " << rec.pid;
    }
    EXPECT_EQ(10u, standin::openHandleCount());
}

TEST_F(Launch, KillOpensWithTheClassicFullAccessMaskAndAnInheritableHandle) {
    const DWORD pid = spawn();
    ASSERT_EQ(0, killProcess(pid));
    ASSERT_EQ(1u, standin::opens().size());
    EXPECT_EQ(0x1F0FFFul, standin::opens()[0].access);
    EXPECT_EQ(TRUE, standin::opens()[0].inherit);
    EXPECT_EQ(pid, standin::opens()[0].pid);
}

// The export and the native agree on every outcome, and the handle that the
// kill opened is closed whatever the termination did.
TEST_F(Launch, KillOutcomesOfTheExportAndTheNative) {
    enum Target { Running, Missing, Zero, TerminateFails };
    struct Case {
        const char* name;
        Target target;
        long expected;
        bool ends;
    } const cases[] = {
        {"running process", Running, 0, true},
        {"no such process", Missing, -1, false},
        {"id 0", Zero, -1, false},
        {"termination fails after the open", TerminateFails, 0, false},
    };
    for (const Case& c : cases) {
        for (bool native : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (native ? " (native)" : " (export)"));
            standin::reset();
            const DWORD other = spawn();
            DWORD pid = spawn();
            if (c.target == Missing) standin::removeProcess(pid);
            if (c.target == Zero) pid = 0;
            if (c.target == TerminateFails) standin::failTerminate(true);

            const long result = native ? Java_com_velmora_util_exec_ScriptProcessManager_killProcess(
                                             nullptr, nullptr, static_cast<jint>(pid))
                                       : killProcess(pid);
            EXPECT_EQ(c.expected, result);
            ASSERT_EQ(1u, standin::opens().size());
            EXPECT_FALSE(standin::handleOpen(standin::opens()[0].result)) << "the kill's handle is closed";
            EXPECT_EQ(0u, standin::openHandleCount());
            if (c.ends) {
                EXPECT_FALSE(standin::alive(pid));
                EXPECT_EQ(0ul, standin::exitCodeOf(pid));
                EXPECT_EQ(std::vector<DWORD>{pid}, standin::terminations());
            } else {
                EXPECT_TRUE(standin::terminations().empty());
                if (c.target != Missing && c.target != Zero) EXPECT_TRUE(standin::alive(pid));
            }
            EXPECT_TRUE(standin::alive(other)) << "only the named process ends";
        }
    }
}

TEST_F(Launch, LaunchAndKillWorkBeforeInit) {
    ASSERT_EQ(rw::kBackendNone, rw::backendMode);
    char cmd[] = "worker.exe";
    RunwardenProcessInformation result = {};
    ASSERT_EQ(0ul, executeProcess(nullptr, cmd, nullptr, nullptr, &result));
    ASSERT_TRUE(standin::alive(result.dwProcessId));
    EXPECT_EQ(0, Java_com_velmora_util_exec_ScriptProcessManager_killProcess(
                     nullptr, nullptr, static_cast<jint>(result.dwProcessId)));
    EXPECT_FALSE(standin::alive(result.dwProcessId));
    EXPECT_EQ(0ul, standin::exitCodeOf(result.dwProcessId));
    EXPECT_TRUE(standin::handleOpen(result.hProcess)) << "the launch's own handles are untouched by the kill";
    EXPECT_EQ(rw::kBackendNone, rw::backendMode) << "neither path selects a back end";
}

}  // namespace
