// The launch native with texts beyond ASCII, against a real child: a program
// path, a command-line argument, a working directory and an environment entry
// holding é ß Ж 日本 (and a character outside the Basic Multilingual Plane)
// must reach the child as the same UTF-16 text. childproc.exe reports what it
// got through the wide services (GetCommandLineW, the wide argv,
// GetCurrentDirectoryW, GetEnvironmentStringsW); what a raw CreateProcessW
// with the same texts gives is the expectation where the platform has a say
// (the environment Wine adds to a block, the spelling of a directory).
#include <gtest/gtest.h>
#include <jni.h>

#include <algorithm>
#include <string>
#include <vector>

#include "jnihost.h"
#include "jninatives.h"
#include "wineutil.h"


namespace {

using wineutil::Child;
using wineutil::KillOnExit;
using wineutil::Report;

// é ß Ж 日本, each spelled out so that the code stays ASCII.
const std::wstring kMixed = L"\u00e9 \u00df \u0416 \u65e5\u672c";
// U+1D11E (musical G clef), a surrogate pair in UTF-16.
const std::wstring kClef = L"\U0001D11E";

class LaunchText : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(base_.valid());
        programDir_ = base_.file(L"Donn\u00e9es " + kMixed);
        workDir_ = base_.file(L"cwd " + kMixed);
        ASSERT_TRUE(CreateDirectoryW(programDir_.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW(workDir_.c_str(), nullptr));
        program_ = programDir_ + L"\\tool-\u00e9\u00df\u0416\u65e5\u672c.exe";
        ASSERT_TRUE(CopyFileW(wineutil::helperPath().c_str(), program_.c_str(), TRUE)) << GetLastError();
    }

    void TearDown() override {
        EXPECT_TRUE(host_.jniErrors().empty());
        EXPECT_EQ(0u, host_.unreleasedStringChars()) << "every string's characters are given back";
        EXPECT_FALSE(host_.exceptionPending()) << host_.pendingClass();
    }

    // Null for a null pointer; any UTF-16 text otherwise, U+0000 included.
    jstring str(const std::wstring* s) {
        return s ? host_.newString(std::u16string(s->begin(), s->end())) : nullptr;
    }

    jint launch(const std::wstring* app, const std::wstring& cmd, const std::wstring* environment,
                const std::wstring* dir) {
        return Java_com_velmora_util_exec_ScriptProcessManager_executeProcess(host_.env(), nullptr, str(app), str(&cmd),
                                                                            str(environment), str(dir));
    }

    wineutil::TempDir base_;
    std::wstring programDir_, workDir_, program_;
    jnihost::JniHost host_;
};

// Once with the program named by the application name (argv[0] is then any
// text of the command line's choosing) and once taken from the command line.
TEST_F(LaunchText, EveryTextReachesTheChildIntact) {
    const std::wstring entry = L"GR\u00dc\u00dfE_\u0416\u65e5=Gr\u00fc\u00dfe, " + kMixed + L" " + kClef;
    std::vector<wchar_t> block(entry.begin(), entry.end());
    block.push_back(L'\0');
    block.push_back(L'\0');

    struct Case {
        const char* what;
        bool applicationName;
    } const cases[] = {{"application name", true}, {"program from the command line", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::wstring tag = c.applicationName ? L"app" : L"line";
        const std::wstring argv0 = c.applicationName ? L"argv0 " + kMixed + L" " + kClef : program_;
        const std::wstring file = programDir_ + L"\\report " + kMixed + L" " + tag + L".txt";
        const std::wstring rawFile = programDir_ + L"\\raw " + kMixed + L" " + tag + L".txt";
        const std::wstring* app = c.applicationName ? &program_ : nullptr;

        // What the platform itself gives a child started with these texts.
        wineutil::StartOptions options;
        options.application = c.applicationName ? program_.c_str() : nullptr;
        options.directory = workDir_.c_str();
        options.environment = block.data();
        options.flags = CREATE_NEW_CONSOLE;
        Child raw = wineutil::startChild(wineutil::commandLine({argv0, L"report", rawFile}), options);
        ASSERT_TRUE(raw.started()) << "raw CreateProcessW failed: " << raw.error();
        Report expected;
        ASSERT_TRUE(wineutil::waitForReport(rawFile, &expected, 20000, raw.handle()));

        const std::wstring cmd = wineutil::commandLine({argv0, L"report", file});
        const jint pid = launch(app, cmd, &entry, &workDir_);
        KillOnExit guard(static_cast<DWORD>(pid));
        ASSERT_NE(0, pid);
        Report got;
        ASSERT_TRUE(wineutil::waitForReport(file, &got));
        EXPECT_EQ(static_cast<DWORD>(pid), got.pid);
        EXPECT_EQ(GetCurrentProcessId(), got.parent);

        EXPECT_EQ(cmd, got.cmdline) << "the command line arrives as given";
        ASSERT_EQ(3, got.argc);
        EXPECT_EQ(argv0, got.args[0]);
        EXPECT_EQ(file, got.args[2]);

        EXPECT_EQ(0, lstrcmpiW(workDir_.c_str(), got.cwd.c_str())) << got.cwd;
        EXPECT_EQ(expected.cwd, got.cwd);

        EXPECT_NE(got.env.end(), std::find(got.env.begin(), got.env.end(), entry));
        EXPECT_EQ(expected.env, got.env) << "the child sees what the raw call's block gives";
    }
}

// A string holding U+0000 cannot be said to Windows. Cut at the U+0000, each
// of these strings would launch a sleeping child; whole, each gives 0 and
// nothing is started. The control launch shows that the strings are otherwise
// good.
TEST_F(LaunchText, AStringHoldingUPlus0000LaunchesNothing) {
    const std::wstring cmd = wineutil::commandLine({program_, L"sleep"});
    const std::wstring environment = L"A=1";
    const std::wstring tail = std::wstring(1, L'\0') + L"B=2";

    const jint control = launch(&program_, cmd, &environment, &workDir_);
    KillOnExit controlGuard(static_cast<DWORD>(control));
    ASSERT_NE(0, control) << "the strings without U+0000 launch";
    ASSERT_TRUE(wineutil::killById(static_cast<DWORD>(control)));

    struct Case {
        const char* what;
        std::wstring app, cmd, environment, dir;
    } const cases[] = {
        {"application name", program_ + tail, cmd, environment, workDir_},
        {"command line", program_, cmd + tail, environment, workDir_},
        {"environment", program_, cmd, environment + tail, workDir_},
        {"working directory", program_, cmd, environment, workDir_ + tail},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const wineutil::RawSnapshot before = wineutil::rawProcessSnapshot();
        ASSERT_TRUE(before.ok());
        const jint pid = launch(&c.app, c.cmd, &c.environment, &c.dir);
        KillOnExit guard(static_cast<DWORD>(pid));
        EXPECT_EQ(0, pid);
        const wineutil::RawSnapshot after = wineutil::rawProcessSnapshot();
        ASSERT_TRUE(after.ok());
        // A launched child exists by the time the native returns.
        for (DWORD child : wineutil::rawChildren(after, GetCurrentProcessId()))
            EXPECT_TRUE(before.contains(child)) << "process " << child << " was started";
        EXPECT_FALSE(host_.exceptionPending());
    }
}

}  // namespace
