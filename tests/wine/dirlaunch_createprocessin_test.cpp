// createProcessIn under Wine. The JNI host's java/lang/Win32Process starts a
// real child the way a Java runtime does, with a raw CreateProcessW and no
// directory argument, so the child starts wherever the process's current
// directory is at that moment; childproc.exe reports where that was.
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

class CreateProcessIn : public ::testing::Test {
protected:
    // Linked in statically, the library is never loaded: do once what loading
    // it does.
    static void SetUpTestSuite() { DllMain(GetModuleHandleW(nullptr), DLL_PROCESS_ATTACH, nullptr); }

    void SetUp() override {
        ASSERT_TRUE(base.valid() && reports.valid());
        target = base.file(L"start here");
        ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
        wineutil::definePlatformProcessClass(host, started);
        before = currentDirectory();
        ASSERT_FALSE(before.empty());
    }
    void TearDown() override {
        SetCurrentDirectoryW(before.c_str());
        started.clear();  // ends every child by id
    }

    jobject createIn(const std::wstring& dir, const std::wstring& reportFile) {
        const std::u16string d(dir.begin(), dir.end());
        const std::wstring helper = wineutil::helperPath();
        const std::u16string program(helper.begin(), helper.end()), file(reportFile.begin(), reportFile.end());
        jobjectArray command = host.newStringArray({program, u"report", file});
        return Java_com_velmora_util_exec_Executor_createProcessIn(host.env(), nullptr, host.newString(d), command,
                                                                  nullptr);
    }

    wineutil::TempDir base, reports;
    std::wstring target, before;
    JniHost host;
    std::vector<wineutil::Child> started;
};

// Absolute, and relative to the current directory of the moment.
TEST_F(CreateProcessIn, TheChildStartsInTheRequestedDirectoryAndTheDirectoryIsRestored) {
    struct Case {
        const char* what;
        std::wstring cwd, dir;
    } const cases[] = {{"absolute", before, target}, {"relative", base.path(), L"start here"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(SetCurrentDirectoryW(c.cwd.c_str()));
        const std::wstring expected = asCurrentFrom(c.cwd, c.dir);
        ASSERT_FALSE(expected.empty());
        const std::wstring cwd = currentDirectory();
        const std::wstring file = reports.file(std::wstring(c.dir == target ? L"absolute" : L"relative") + L".txt");

        jobject process = createIn(c.dir, file);

        ASSERT_NE(nullptr, process) << host.pendingClass() << ": " << host.pendingMessage();
        EXPECT_FALSE(host.exceptionPending());
        EXPECT_EQ(kProcessClass, host.className(process));
        EXPECT_EQ(cwd, currentDirectory()) << "the directory afterwards is the one before";
        ASSERT_EQ(1u + (c.dir == target ? 0u : 1u), started.size());
        const wineutil::Child& child = started.back();
        EXPECT_EQ(reinterpret_cast<ULONG_PTR>(child.handle()),
                  static_cast<ULONG_PTR>(host.field(process, "handle").j)) << "the object the constructor built";
        wineutil::Report report;
        ASSERT_TRUE(wineutil::waitForReport(file, &report, 20000, child.handle()));
        EXPECT_EQ(child.pid(), report.pid);
        EXPECT_EQ(expected, report.cwd);
    }
    EXPECT_TRUE(host.jniErrors().empty());
    EXPECT_EQ(0u, host.unreleasedStringChars());
}

TEST_F(CreateProcessIn, AMissingDirectoryIsRefusedAndNothingStarts) {
    jobject process = createIn(base.file(L"missing"), reports.file(L"never.txt"));
    EXPECT_EQ(nullptr, process);
    EXPECT_EQ("java/io/IOException", host.pendingClass());
    EXPECT_EQ("Can't set new path.", host.pendingMessage());
    EXPECT_EQ(before, currentDirectory());
    EXPECT_TRUE(started.empty()) << "the constructor never ran";
    EXPECT_TRUE(host.jniErrors().empty());
    EXPECT_EQ(0u, host.unreleasedStringChars());
}

}  // namespace
