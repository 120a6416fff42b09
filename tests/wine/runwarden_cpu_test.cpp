// GetCPUUsage and the native getCPUUsage against the platform's own counters.
#include <gtest/gtest.h>
#include <jni.h>

#include "runwarden/procinfo/backend.h"
#include "runwarden/procinfo/win32ext.h"
#include "wineutil.h"

extern "C" {
JNIEXPORT void JNICALL Java_com_velmora_util_exec_ScriptProcessManager_init(JNIEnv*, jclass);
JNIEXPORT jint JNICALL Java_com_velmora_util_exec_ScriptProcessManager_getCPUUsage(JNIEnv*, jclass);
}

namespace {

jint nativeCpuUsage() { return Java_com_velmora_util_exec_ScriptProcessManager_getCPUUsage(nullptr, nullptr); }

// Milliseconds on the performance counter, a monotonic clock (GetTickCount
// under Wine moves in coarse steps).
double nowMs() {
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(count.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

TEST(CpuUsage, WithoutTheNativeBackEndReports1151AndZero) {
    const LONG selected = rw::backendMode;
    for (LONG mode : {LONG{rw::kBackendNone}, LONG{rw::kBackendToolhelp}}) {
        rw::backendMode = mode;
        long usage = 12345;
        EXPECT_EQ(1151ul, GetCPUUsage(&usage)) << "back end " << mode;
        EXPECT_EQ(0, usage) << "back end " << mode;
        EXPECT_EQ(-1, nativeCpuUsage()) << "back end " << mode;
    }
    rw::backendMode = selected;
}

TEST(CpuUsage, SamplesHalfASecondAndGivesAPercentage) {
    Java_com_velmora_util_exec_ScriptProcessManager_init(nullptr, nullptr);
    ASSERT_EQ(rw::kBackendNative, rw::backendMode);

    long usage = -12345;
    double start = nowMs();
    EXPECT_EQ(0ul, GetCPUUsage(&usage));
    EXPECT_GE(nowMs() - start, 500.0);
    EXPECT_GE(usage, 0);
    EXPECT_LE(usage, 100);

    start = nowMs();
    const jint native = nativeCpuUsage();
    EXPECT_GE(nowMs() - start, 500.0);
    EXPECT_GE(native, 0);
    EXPECT_LE(native, 100);
}

// With one process spinning, at least one processor is never idle over the
// interval (the system only adds load), so the usage is at least about one
// processor's share. The processor count is the platform's own answer.
TEST(CpuUsage, ASpinningProcessShowsAsLoad) {
    Java_com_velmora_util_exec_ScriptProcessManager_init(nullptr, nullptr);
    ASSERT_EQ(rw::kBackendNative, rw::backendMode);
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    ASSERT_GT(info.dwNumberOfProcessors, 0u);

    wineutil::Child busy = wineutil::childproc({L"busy"});
    ASSERT_TRUE(busy.started()) << "error " << busy.error();
    // Spinning has begun once the child has used processor time of its own.
    const double deadline = nowMs() + 20000;
    for (;;) {
        FILETIME created, exited, kernel, user;
        ASSERT_TRUE(GetProcessTimes(busy.handle(), &created, &exited, &kernel, &user));
        if (user.dwLowDateTime != 0 || user.dwHighDateTime != 0) break;
        ASSERT_LT(nowMs(), deadline) << "the busy child never ran";
        Sleep(10);
    }

    long usage = -1;
    ASSERT_EQ(0ul, GetCPUUsage(&usage));
    const long oneProcessor = static_cast<long>(100 / info.dwNumberOfProcessors);
    EXPECT_GE(usage, oneProcessor - 10) << info.dwNumberOfProcessors << " processors";
    EXPECT_LE(usage, 100);
}

}  // namespace
