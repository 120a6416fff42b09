// GetCPUUsage and the native getCPUUsage against the platform's own counters.
#include <gtest/gtest.h>
#include "jninatives.h"
#include <jni.h>

#include "runwarden/procinfo/backend.h"
#include "runwarden/procinfo/win32ext.h"

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

// With a thread spinning, at least one processor is never idle over the
// interval (the rest of the system only adds load), so the usage is at least
// about one processor's share. The processor count is the platform's own.
volatile LONG spinning = 0;
volatile LONG stopSpinning = 0;

DWORD WINAPI spin(void*) {
    InterlockedExchange(&spinning, 1);
    while (!stopSpinning) {
    }
    return 0;
}

TEST(CpuUsage, ASpinningThreadShowsAsLoad) {
    Java_com_velmora_util_exec_ScriptProcessManager_init(nullptr, nullptr);
    ASSERT_EQ(rw::kBackendNative, rw::backendMode);
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    ASSERT_GT(info.dwNumberOfProcessors, 0u);

    stopSpinning = 0;
    HANDLE thread = CreateThread(nullptr, 0, spin, nullptr, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    while (!spinning) SwitchToThread();  // returns once the thread has begun, which it does at once
    long usage = -1;
    const ULONG status = GetCPUUsage(&usage);
    InterlockedExchange(&stopSpinning, 1);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);

    ASSERT_EQ(0ul, status);
    const long oneProcessor = static_cast<long>(100 / info.dwNumberOfProcessors);
    EXPECT_GE(usage, oneProcessor - 10) << info.dwNumberOfProcessors << " processors";
    EXPECT_LE(usage, 100);
}

}  // namespace
