// The launch natives of ScriptProcessManager on the stand-in: what reaches
// CreateProcessA from four Java strings, the result, and the VM's failures.
#include <gtest/gtest.h>
#include <standin/control.h>

#include <optional>

#include "jnihost.h"
#include "runwarden/procinfo/backend.h"

extern "C" {
JNIEXPORT void JNICALL Java_com_velmora_util_exec_ScriptProcessManager_init(JNIEnv*, jclass);
JNIEXPORT jint JNICALL Java_com_velmora_util_exec_ScriptProcessManager_executeProcess(JNIEnv*, jclass, jstring,
                                                                                     jstring, jstring, jstring);
JNIEXPORT jint JNICALL Java_com_velmora_util_exec_ScriptProcessManager_killProcess(JNIEnv*, jclass, jint);
}

namespace {

using jnihost::JniHost;
using Text = std::optional<std::u16string>;
const std::vector<std::string> kNone;

class LaunchNative : public ::testing::Test {
protected:
    void SetUp() override {
        standin::reset();
        rw::backendMode = rw::kBackendNone;
        rw::nativeServices = {};
        rw::toolhelpServices = {};
    }

    jstring str(const Text& t) { return t ? host.newString(*t) : nullptr; }

    jint launch(const Text& app, const Text& cmd, const Text& env, const Text& dir) {
        return Java_com_velmora_util_exec_ScriptProcessManager_executeProcess(host.env(), nullptr, str(app), str(cmd),
                                                                              str(env), str(dir));
    }

    JniHost host;
};

// A literal with its inner U+0000 kept.
template <size_t N>
std::u16string whole(const char16_t (&s)[N]) {
    return std::u16string(s, N - 1);
}

// How each of the four strings reaches the platform. Today the bytes are the
// modified UTF-8 form, unconverted, handed to the ANSI call; the environment
// string becomes a block of those bytes and two NULs.
struct StringCase {
    const char* name;
    Text app, cmd, env, dir;
};

const StringCase kStringCases[] = {
    {"Ascii", u"C:\\bin\\tool.exe", u"tool.exe -x 1", u"A=1", u"C:\\work"},
    {"AllNull", std::nullopt, std::nullopt, std::nullopt, std::nullopt},
    {"NullApplicationTakesTheCommandLine", std::nullopt, u"tool.exe arg", std::nullopt, std::nullopt},
    {"AllEmpty", u"", u"", u"", u""},
    {"NonAscii", u"C:\\d\u00E9j\u00E0\\t\u20AC.exe", whole(u"t\u00E9.exe a\0b \U0001F600"),
     u"N\u00C9=\u65E5\U0001F600", u"C:\\\u65E5\u672C"},
};

class LaunchStrings : public LaunchNative, public ::testing::WithParamInterface<StringCase> {};

TEST_P(LaunchStrings, ReachCreateProcessAAsTheirModifiedUtf8Bytes) {
    const StringCase& c = GetParam();
    const jint pid = launch(c.app, c.cmd, c.env, c.dir);

    ASSERT_EQ(1u, standin::launches().size());
    const standin::LaunchRecord& rec = standin::launches()[0];
    EXPECT_FALSE(rec.wide);
    EXPECT_NE(0, pid);
    EXPECT_EQ(rec.pid, static_cast<DWORD>(pid));

    EXPECT_EQ(!c.app, rec.appNull);
    EXPECT_EQ(!c.cmd, rec.cmdNull);
    EXPECT_EQ(!c.dir, rec.dirNull);
    EXPECT_EQ(!c.env, rec.envNull) << "a null environment passes no block: the child inherits";
    if (c.app) EXPECT_EQ(JniHost::modifiedUtf8(*c.app), rec.app);
    if (c.cmd) EXPECT_EQ(JniHost::modifiedUtf8(*c.cmd), rec.cmd);
    if (c.dir) EXPECT_EQ(JniHost::modifiedUtf8(*c.dir), rec.dir);
    if (c.env) {
        std::string block = JniHost::modifiedUtf8(*c.env);
        block.append(2, '\0');  // the entry's NUL and the block's
        EXPECT_EQ(std::vector<unsigned char>(block.begin(), block.end()), rec.envBlock);
    }

    EXPECT_EQ(static_cast<DWORD>(CREATE_NEW_CONSOLE), rec.flags);
    EXPECT_FALSE(rec.inherit);
    EXPECT_TRUE(rec.startupIsOwn);
    EXPECT_TRUE(rec.psaNull && rec.tsaNull);

    EXPECT_EQ(0, standin::liveAllocations()) << "the four copies are freed";
    EXPECT_EQ(0u, host.unreleasedStringChars());
    EXPECT_FALSE(host.exceptionPending());
    EXPECT_EQ(kNone, host.jniErrors());
}

INSTANTIATE_TEST_SUITE_P(Table, LaunchStrings, ::testing::ValuesIn(kStringCases),
                         [](const ::testing::TestParamInfo<StringCase>& info) { return info.param.name; });

TEST_F(LaunchNative, BothHandlesStayOpenAfterEveryLaunch) {
    for (int i = 0; i < 3; ++i) ASSERT_NE(0, launch(u"a.exe", u"a.exe", std::nullopt, std::nullopt));
    ASSERT_EQ(3u, standin::launches().size());
    for (const auto& rec : standin::launches()) {
        EXPECT_TRUE(standin::handleOpen(rec.process));
        EXPECT_TRUE(standin::handleOpen(rec.thread));
    }
}

TEST_F(LaunchNative, AFailedCreationGivesZeroAndFreesTheCopies) {
    standin::failLaunches(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(0, launch(u"missing.exe", u"missing.exe", u"A=1", u"C:\\"));
    EXPECT_EQ(1u, standin::launches().size());
    EXPECT_EQ(0, standin::liveAllocations());
    EXPECT_EQ(0u, host.unreleasedStringChars());
    EXPECT_FALSE(host.exceptionPending()) << "the platform's error is not passed on";
}

// A VM that cannot supply one of the four strings, or a copy that cannot be
// allocated: nothing is launched, 0 comes back, and nothing leaks.
TEST_F(LaunchNative, AFailureWhileCopyingAnyStringLaunchesNothing) {
    for (int failing = 0; failing < 4; ++failing) {
        SCOPED_TRACE("string " + std::to_string(failing));
        for (bool heap : {false, true}) {
            SCOPED_TRACE(heap ? "allocation fails" : "GetStringUTFChars fails");
            standin::reset();
            JniHost vm;
            if (heap)
                standin::failAllocations(static_cast<unsigned>(failing));
            else
                vm.failures().getStringUTFCharsFailAfter = failing;
            const jint pid = Java_com_velmora_util_exec_ScriptProcessManager_executeProcess(
                vm.env(), nullptr, vm.newString(u"a.exe"), vm.newString(u"a.exe x"), vm.newString(u"A=1"),
                vm.newString(u"C:\\"));
            EXPECT_EQ(0, pid);
            EXPECT_TRUE(standin::launches().empty());
            EXPECT_EQ(0, standin::liveAllocations());
            EXPECT_EQ(0u, vm.unreleasedStringChars());
            EXPECT_EQ(kNone, vm.jniErrors());
            EXPECT_EQ(heap ? "" : "java/lang/OutOfMemoryError", vm.pendingClass())
                << "the VM's own exception, if any, reaches the caller";
        }
    }
}

TEST_F(LaunchNative, LaunchAndKillWorkBeforeInitAndInitRepeats) {
    const jint pid = launch(u"a.exe", u"a.exe", std::nullopt, std::nullopt);
    ASSERT_NE(0, pid);
    EXPECT_EQ(0, Java_com_velmora_util_exec_ScriptProcessManager_killProcess(host.env(), nullptr, pid));
    EXPECT_FALSE(standin::alive(static_cast<DWORD>(pid)));
    EXPECT_EQ(0u, standin::exitCodeOf(static_cast<DWORD>(pid)));
    ASSERT_FALSE(standin::opens().empty());
    EXPECT_EQ(0x1F0FFFu, standin::opens().back().access);
    EXPECT_TRUE(standin::opens().back().inherit);
    EXPECT_EQ(-1, Java_com_velmora_util_exec_ScriptProcessManager_killProcess(host.env(), nullptr, 0x7FFFFFF0))
        << "no such process";

    for (int i = 0; i < 3; ++i) Java_com_velmora_util_exec_ScriptProcessManager_init(host.env(), nullptr);
    EXPECT_EQ(rw::kBackendNative, rw::backendMode);
    const jint second = launch(u"b.exe", u"b.exe", std::nullopt, std::nullopt);
    EXPECT_NE(0, second);
    EXPECT_NE(pid, second);
    EXPECT_EQ(0, Java_com_velmora_util_exec_ScriptProcessManager_killProcess(host.env(), nullptr, second));
    EXPECT_EQ(kNone, host.jniErrors());
}

}  // namespace
