// createProcessIn with directories whose names go beyond ASCII (é ß Ж 日本),
// under Wine. The JNI host's java/lang/Win32Process starts a real childproc
// report child the way a Java runtime does, with a raw CreateProcessW and no
// directory argument, so the child starts wherever the process's current
// directory is at that moment and reports it through GetCurrentDirectoryW.
// The current directory before the call may itself hold such characters: it
// must come back exactly, not as the ANSI code page would spell it.
#include <gtest/gtest.h>
#include <jni.h>

#include <string>
#include <vector>

#include "jnihost.h"
#include "jninatives.h"
#include "processclass.h"
#include "wineutil.h"

extern "C" {
BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID);  // the library's: it creates the directory lock
}

namespace {

using jnihost::JniHost;
using wineutil::asCurrentFrom;
using wineutil::currentDirectory;
using wineutil::kProcessClass;

// é ß Ж 日本, spelled out so that the code stays ASCII.
const std::wstring kMixed = L"\u00e9 \u00df \u0416 \u65e5\u672c";

std::u16string utf16(const std::wstring& s) { return std::u16string(s.begin(), s.end()); }

class CreateProcessInText : public ::testing::Test {
protected:
    // Linked in statically, the library is never loaded: do once what loading
    // it does.
    static void SetUpTestSuite() { DllMain(GetModuleHandleW(nullptr), DLL_PROCESS_ATTACH, nullptr); }

    void SetUp() override {
        ASSERT_TRUE(base.valid() && reports.valid());
        parent = base.file(L"D\u00e9part " + kMixed);
        target = parent + L"\\Donn\u00e9es " + kMixed;
        ASSERT_TRUE(CreateDirectoryW(parent.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
        wineutil::definePlatformProcessClass(host, started);
        before = currentDirectory();
        ASSERT_FALSE(before.empty());
    }
    void TearDown() override {
        SetCurrentDirectoryW(before.c_str());
        started.clear();  // ends every child by id
        EXPECT_TRUE(host.jniErrors().empty());
        EXPECT_EQ(0u, host.unreleasedStringChars());
    }

    jobject createIn(const std::wstring& dir, const std::wstring& reportFile) {
        jobjectArray command = host.newStringArray({utf16(wineutil::helperPath()), u"report", utf16(reportFile)});
        return Java_com_velmora_util_exec_Executor_createProcessIn(host.env(), nullptr, host.newString(utf16(dir)),
                                                                  command, nullptr);
    }

    wineutil::TempDir base, reports;
    std::wstring parent, target, before;
    JniHost host;
    std::vector<wineutil::Child> started;
};

// From an ASCII current directory to an absolute one, and from a current
// directory that is itself non-ASCII to a relative one, which the platform
// resolves against it.
TEST_F(CreateProcessInText, TheChildStartsInTheDirectoryAndTheDirectoryBeforeIsRestored) {
    struct Case {
        const char* what;
        std::wstring cwd, dir, report;
    } const cases[] = {
        {"absolute, from an ASCII directory", before, target, L"absolute.txt"},
        {"relative, from a non-ASCII directory", parent, L"Donn\u00e9es " + kMixed, L"relative.txt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(SetCurrentDirectoryW(c.cwd.c_str()));
        const std::wstring expected = asCurrentFrom(c.cwd, c.dir);
        ASSERT_FALSE(expected.empty());
        ASSERT_EQ(0, lstrcmpiW(target.c_str(), expected.c_str())) << expected;
        const std::wstring cwd = currentDirectory();
        const size_t startedBefore = started.size();
        const std::wstring file = reports.file(c.report);

        jobject process = createIn(c.dir, file);

        ASSERT_NE(nullptr, process) << host.pendingClass() << ": " << host.pendingMessage();
        EXPECT_FALSE(host.exceptionPending());
        EXPECT_EQ(cwd, currentDirectory()) << "the directory afterwards is the one before";
        ASSERT_EQ(startedBefore + 1, started.size());
        const wineutil::Child& child = started.back();
        wineutil::Report report;
        ASSERT_TRUE(wineutil::waitForReport(file, &report, 20000, child.handle()));
        EXPECT_EQ(child.pid(), report.pid);
        EXPECT_EQ(expected, report.cwd);
    }
}

// Cut at the U+0000 the directory would be a good one; whole it names no
// directory, so the call is refused like any directory that cannot be made
// current, and the directory before (here a non-ASCII one) stays.
TEST_F(CreateProcessInText, ADirectoryHoldingUPlus0000IsRefused) {
    ASSERT_TRUE(SetCurrentDirectoryW(parent.c_str()));
    const std::wstring cwd = currentDirectory();
    const std::wstring withNul = target + std::wstring(1, L'\0') + L"x";

    jobject process = createIn(withNul, reports.file(L"never.txt"));

    EXPECT_EQ(nullptr, process);
    EXPECT_EQ("java/io/IOException", host.pendingClass());
    EXPECT_EQ("Can't set new path.", host.pendingMessage());
    host.clearException();
    EXPECT_EQ(cwd, currentDirectory());
    EXPECT_TRUE(started.empty()) << "the constructor never ran";
}

}  // namespace
