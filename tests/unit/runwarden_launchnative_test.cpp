// The launch natives of ScriptProcessManager on the stand-in: what reaches
// CreateProcessW from four Java strings, the result, and the VM's failures.
#include <gtest/gtest.h>
#include "freshrunwarden.h"
#include <standin/control.h>

#include <string.h>

#include <optional>

#include "jnihost.h"
#include "jninatives.h"
#include "runwarden/procinfo/backend.h"

namespace {

using jnihost::JniHost;
using Text = std::optional<std::u16string>;
const std::vector<std::string> kNone;

class LaunchNative : public ::testing::Test {
protected:
    void SetUp() override {
        freshRunwarden();
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

// The UTF-8 form in which the stand-in records a wide text.
std::string utf8Of(const std::u16string& s) {
    std::vector<WCHAR> w(s.begin(), s.end());
    return standin::utf8(w.data(), w.size());
}

// The bytes of a UTF-16 environment block holding one entry: its characters,
// the entry's terminator and the block's, two bytes each, as Windows reads them.
std::vector<unsigned char> wideBlockOf(const std::u16string& entry) {
    std::u16string block = entry;
    block.append(2, u'\0');
    std::vector<unsigned char> bytes(block.size() * sizeof(WCHAR));
    memcpy(bytes.data(), block.data(), bytes.size());
    return bytes;
}

// How each of the four strings reaches the platform: as the UTF-16 text of
// the Java string, to CreateProcessW; the environment string becomes a block
// of one entry (its characters and two zero characters), flagged as UTF-16.
struct StringCase {
    const char* name;
    Text app, cmd, env, dir;
};

const StringCase kStringCases[] = {
    {"Ascii", u"C:\\bin\\tool.exe", u"tool.exe -x 1", u"A=1", u"C:\\work"},
    {"AllNull", std::nullopt, std::nullopt, std::nullopt, std::nullopt},
    {"NullApplicationTakesTheCommandLine", std::nullopt, u"tool.exe arg", std::nullopt, std::nullopt},
    {"AllEmpty", u"", u"", u"", u""},
    // Latin-1, a character only code page 1252 holds above 0x7F (the euro sign),
    // characters no single-byte code page holds, and one outside the BMP.
    {"NonAscii", u"C:\\d\u00E9j\u00E0\\t\u20AC.exe", u"t\u00E9.exe \u00DF \u0416 \u65E5\u672C \U0001F600",
     u"N\u00C9=\u65E5\U0001F600\u00DF", u"C:\\\u65E5\u672C\\\u0416"},
    // A Java string may hold a lone surrogate; it reaches Windows unchanged.
    {"LoneSurrogateInTheEnvironment", u"a.exe", u"a.exe", u"A=\xD800z", std::nullopt},
};

class LaunchStrings : public LaunchNative, public ::testing::WithParamInterface<StringCase> {};

TEST_P(LaunchStrings, ReachCreateProcessWAsTheirUtf16Text) {
    const StringCase& c = GetParam();
    const jint pid = launch(c.app, c.cmd, c.env, c.dir);

    ASSERT_EQ(1u, standin::launches().size());
    const standin::LaunchRecord& rec = standin::launches()[0];
    EXPECT_TRUE(rec.wide);
    EXPECT_NE(0, pid);
    EXPECT_EQ(rec.pid, static_cast<DWORD>(pid));

    EXPECT_EQ(!c.app, rec.appNull);
    EXPECT_EQ(!c.cmd, rec.cmdNull);
    EXPECT_EQ(!c.dir, rec.dirNull);
    EXPECT_EQ(!c.env, rec.envNull) << "a null environment passes no block: the child inherits";
    if (c.app) EXPECT_EQ(utf8Of(*c.app), rec.app);
    if (c.cmd) EXPECT_EQ(utf8Of(*c.cmd), rec.cmd);
    if (c.dir) EXPECT_EQ(utf8Of(*c.dir), rec.dir);
    if (c.env) EXPECT_EQ(wideBlockOf(*c.env), rec.envBlock);

    // CREATE_NEW_CONSOLE, and CREATE_UNICODE_ENVIRONMENT beside it when a block
    // of UTF-16 text is passed; written as numbers, so that a wrong definition
    // in a header cannot hide here.
    EXPECT_EQ(c.env ? 0x410u : 0x10u, rec.flags);
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

// No Windows text can hold U+0000, so a string holding it cannot be passed
// on whole; cutting it there would launch something other than asked (or, in
// the environment string, smuggle in a second variable). The launch is
// refused: 0, nothing launched, no exception of the native's own.
TEST_F(LaunchNative, AStringHoldingUPlus0000LaunchesNothing) {
    const std::u16string withNul[] = {whole(u"a.exe\0b.exe"), whole(u"A=1\0B=2"), whole(u"\0"), whole(u"x\0")};
    for (int position = 0; position < 4; ++position) {
        for (const std::u16string& bad : withNul) {
            SCOPED_TRACE("string " + std::to_string(position) + ": " + utf8Of(bad));
            standin::reset();
            JniHost vm;
            Text args[4] = {u"a.exe", u"a.exe x", u"A=1", u"C:\\"};
            args[position] = bad;
            auto s = [&](const Text& t) { return vm.newString(*t); };
            const jint pid = Java_com_velmora_util_exec_ScriptProcessManager_executeProcess(
                vm.env(), nullptr, s(args[0]), s(args[1]), s(args[2]), s(args[3]));
            EXPECT_EQ(0, pid);
            EXPECT_TRUE(standin::launches().empty());
            EXPECT_EQ(0, standin::liveAllocations());
            EXPECT_EQ(0u, vm.unreleasedStringChars());
            EXPECT_FALSE(vm.exceptionPending()) << vm.pendingClass();
            EXPECT_EQ(kNone, vm.jniErrors());
        }
    }
}

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
// allocated: nothing is launched, 0 comes back, and nothing leaks. The VM's
// failure is met at each position by making the strings before it null (they
// ask nothing of the VM); the strings after it are present, so a native that
// went on would call the VM with its exception pending. A failed allocation is
// met at each position with all four present, the earlier copies already made.
TEST_F(LaunchNative, AFailureWhileCopyingAnyStringLaunchesNothing) {
    for (int failing = 0; failing < 4; ++failing) {
        SCOPED_TRACE("string " + std::to_string(failing));
        for (bool heap : {false, true}) {
            SCOPED_TRACE(heap ? "allocation fails" : "GetStringChars fails");
            standin::reset();
            JniHost vm;
            const std::u16string texts[4] = {u"a.exe", u"a.exe x", u"A=1", u"C:\\"};
            jstring args[4];
            for (int i = 0; i < 4; ++i) args[i] = !heap && i < failing ? nullptr : vm.newString(texts[i]);
            if (heap)
                standin::failAllocations(static_cast<unsigned>(failing));
            else
                vm.failures().getStringChars = true;
            const jint pid = Java_com_velmora_util_exec_ScriptProcessManager_executeProcess(
                vm.env(), nullptr, args[0], args[1], args[2], args[3]);
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
