// The CPU usage arithmetic, and the sampler against scripted NT answers.
#include <gtest/gtest.h>
#include "jninatives.h"
#include "freshrunwarden.h"
#include <jni.h>
#include <standin/control.h>
#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include "runwarden/procinfo/backend.h"
#include "runwarden/procinfo/cpu_usage.h"


namespace {

using rw::CpuVerdict;

constexpr LONGLONG kHalfSecond = 5000000;  // 100 ns units
constexpr LONG kMarkUsage = -12345;

TEST(CpuUsage, Arithmetic) {
    struct Case {
        const char* name;
        rw::CpuSample previous, now;
        unsigned processors;
        CpuVerdict verdict;
        LONG usage;  // written only with Value
    };
    const LONGLONG t = 132593079670890000LL;
    const LONGLONG big = 0x7000000000000000LL;
    const Case cases[] = {
        {"fully busy", {1000, t}, {1000, t + kHalfSecond}, 1, CpuVerdict::Value, 100},
        {"fully idle", {1000, t}, {1000 + kHalfSecond, t + kHalfSecond}, 1, CpuVerdict::Value, 0},
        {"fully idle, 4 processors", {1000, t}, {1000 + 4 * kHalfSecond, t + kHalfSecond}, 4, CpuVerdict::Value, 0},
        {"two processors, one idle", {1000, t}, {1000 + kHalfSecond, t + kHalfSecond}, 2, CpuVerdict::Value, 50},
        {"idle share 62.5 rounds up", {0x100, t}, {0x100 + 3125000, t + kHalfSecond}, 1, CpuVerdict::Value, 38},
        {"idle share 62.6", {0x100, t}, {0x100 + 3130000, t + kHalfSecond}, 1, CpuVerdict::Value, 37},
        {"idle share 62.5 on 4 processors", {0x100, t}, {0x100 + 12500000, t + kHalfSecond}, 4, CpuVerdict::Value,
         38},
        {"counts beyond 2^62", {big, big}, {big + kHalfSecond / 2, big + kHalfSecond}, 1, CpuVerdict::Value, 50},
        {"negative counts", {-2 * kHalfSecond, -4 * kHalfSecond}, {-kHalfSecond, -2 * kHalfSecond}, 2,
         CpuVerdict::Value, 75},
        {"interval of exactly a minute", {1000, t}, {1000, t + rw::kMaxInterval}, 1, CpuVerdict::Value, 100},

        // Idle counters a little ahead of the clock on an idle machine: never negative.
        {"idle delta 1.5 % above", {1000, t}, {1000 + 5075000, t + kHalfSecond}, 1, CpuVerdict::Value, 0},
        {"idle delta far above", {1000, t}, {1000 + 100 * kHalfSecond, t + kHalfSecond}, 2, CpuVerdict::Value, 0},

        {"no processors", {1000, t}, {1000, t + kHalfSecond}, 0, CpuVerdict::Invalid, 0},
        {"clock did not move", {1000, t}, {1000, t}, 1, CpuVerdict::Resample, 0},
        {"clock set back", {1000, t}, {1000, t - 100 * kHalfSecond}, 1, CpuVerdict::Resample, 0},
        {"clock set forward", {1000, t}, {1000, t + rw::kMaxInterval + 1000}, 1, CpuVerdict::Resample, 0},
        {"idle counter backwards", {1000, t}, {999, t + kHalfSecond}, 1, CpuVerdict::Resample, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LONG usage = kMarkUsage;
        EXPECT_EQ(c.verdict, rw::computeCpuUsage(c.previous, c.now, c.processors, &usage));
        EXPECT_EQ(c.verdict == CpuVerdict::Value ? c.usage : kMarkUsage, usage);
    }
}

// --- GetCPUUsage ---

standin::NtAnswer answer(size_t size, size_t at, LONGLONG value) {
    standin::NtAnswer a;
    a.bytes.assign(size, 0);
    memcpy(&a.bytes[at], &value, 8);
    return a;
}
standin::NtAnswer basic(unsigned processors) {
    standin::NtAnswer a;
    a.bytes.assign(44, 0);
    a.bytes[40] = static_cast<unsigned char>(processors);
    return a;
}
standin::NtAnswer timeOfDay(LONGLONG t) { return answer(32, 8, t); }
standin::NtAnswer performance(LONGLONG idle) { return answer(312, 0, idle); }

const LONGLONG kT0 = 132593079670890000LL;
const LONGLONG kIdle0 = 880000000000LL;

// Scripts the samples (time of day, idle time) of successive passes.
void scriptSamples(const std::vector<std::pair<LONGLONG, LONGLONG>>& samples) {
    for (const auto& s : samples) {
        standin::scriptNt(3, timeOfDay(s.first));
        standin::scriptNt(2, performance(s.second));
    }
}

std::vector<std::pair<ULONG, ULONG>> calls() {
    std::vector<std::pair<ULONG, ULONG>> out;
    for (const standin::NtCall& c : standin::ntCalls()) out.emplace_back(c.infoClass, c.length);
    return out;
}

class Sampler : public ::testing::Test {
protected:
    void SetUp() override {
        freshRunwarden();
        ASSERT_EQ(1u, Win32Ext_VersionOK());
    }
};

TEST_F(Sampler, TwoSamplesHalfASecondApart) {
    standin::scriptNt(0, basic(2));
    scriptSamples({{kT0, kIdle0}, {kT0 + kHalfSecond, kIdle0 + kHalfSecond}});
    LONG usage = kMarkUsage;
    ASSERT_EQ(0u, GetCPUUsage(&usage));
    EXPECT_EQ(50, usage);
    const std::vector<std::pair<ULONG, ULONG>> expected = {{0, 44}, {3, 32}, {2, 312}, {3, 32}, {2, 312}};
    EXPECT_EQ(expected, calls());
    EXPECT_EQ(1u, standin::sleeps());
    EXPECT_EQ(500u, standin::sleptMilliseconds());
}

TEST_F(Sampler, FirstIdleSampleOfZeroIsTakenAgain) {
    standin::scriptNt(0, basic(1));
    scriptSamples({{kT0, 0}, {kT0 + kHalfSecond, kIdle0}, {kT0 + 2 * kHalfSecond, kIdle0 + kHalfSecond / 4}});
    LONG usage = kMarkUsage;
    ASSERT_EQ(0u, GetCPUUsage(&usage));
    EXPECT_EQ(75, usage) << "from the second and third samples";
    EXPECT_EQ(2u, standin::sleeps());
    EXPECT_EQ(7u, standin::ntCalls().size());
}

// The five queries in order; a failure of any is returned unchanged, and a
// success that wrote nothing ends the call with 0. The usage is not written.
TEST_F(Sampler, EachQueryFailingOrAnsweringNothing) {
    const ULONG classes[] = {0, 3, 2, 3, 2};
    for (int failing = 0; failing < 5; ++failing) {
        for (bool empty : {false, true}) {
            SCOPED_TRACE(std::to_string(failing) + (empty ? " empty" : " failing"));
            SetUp();
            std::vector<standin::NtAnswer> answers = {basic(2), timeOfDay(kT0), performance(kIdle0),
                                                      timeOfDay(kT0 + kHalfSecond),
                                                      performance(kIdle0 + kHalfSecond)};
            const ULONG status = 0xC0000100 + failing;
            if (empty) {
                answers[failing].reportedLength = 0;
            } else {
                answers[failing].status = static_cast<NTSTATUS>(status);
            }
            for (int i = 0; i < 5; ++i) standin::scriptNt(classes[i], answers[i]);
            LONG usage = kMarkUsage;
            EXPECT_EQ(empty ? 0u : status, GetCPUUsage(&usage));
            EXPECT_EQ(kMarkUsage, usage);
            EXPECT_EQ(static_cast<size_t>(failing) + 1, standin::ntCalls().size());
            EXPECT_EQ(failing >= 3 ? 1u : 0u, standin::sleeps()) << "a failure in the first pass does not wait";
        }
    }
}

TEST_F(Sampler, NoNativeBackEnd) {
    for (LONG mode : {rw::kBackendNone, rw::kBackendToolhelp}) {
        SCOPED_TRACE(mode);
        rw::backendMode = mode;
        LONG usage = kMarkUsage;
        EXPECT_EQ(1151u, GetCPUUsage(&usage));
        EXPECT_EQ(0, usage);
        EXPECT_EQ(1151u, GetCPUUsage(nullptr));
        EXPECT_EQ(-1, Java_com_velmora_util_exec_ScriptProcessManager_getCPUUsage(nullptr, nullptr));
    }
    EXPECT_TRUE(standin::ntCalls().empty());
    EXPECT_EQ(0u, standin::sleeps());
}

TEST_F(Sampler, NullPointer) {
    EXPECT_EQ(0xC000000Du, GetCPUUsage(nullptr));
    EXPECT_TRUE(standin::ntCalls().empty());
}

// A second sample that cannot measure the interval starts a new one.
TEST_F(Sampler, BadIntervalIsSampledAgain) {
    struct Case {
        const char* name;
        std::pair<LONGLONG, LONGLONG> bad;
    };
    const Case cases[] = {
        {"clock set back", {kT0 - 20 * kHalfSecond, kIdle0 + kHalfSecond}},
        {"clock set forward", {kT0 + rw::kMaxInterval + 1000, kIdle0 + kHalfSecond}},
        {"clock stands still", {kT0, kIdle0 + kHalfSecond}},
        {"idle counter backwards", {kT0 + kHalfSecond, kIdle0 - 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        standin::scriptNt(0, basic(2));
        scriptSamples({{kT0, kIdle0}, c.bad, {c.bad.first + kHalfSecond, c.bad.second + kHalfSecond / 2}});
        LONG usage = kMarkUsage;
        ASSERT_EQ(0u, GetCPUUsage(&usage));
        EXPECT_EQ(75, usage) << "from the bad sample and the next";
        EXPECT_EQ(2u, standin::sleeps());
    }
}

// A service that never gives a usable pair cannot hold the caller forever.
TEST_F(Sampler, GivesUpAfterTooManyBadPasses) {
    struct Case {
        const char* name;
        LONGLONG timeStep, idleStep, idleStart;
    };
    const Case cases[] = {
        {"clock always set back", -kHalfSecond, kHalfSecond, kIdle0},
        {"idle time always 0", kHalfSecond, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        standin::scriptNt(0, basic(2));
        for (int i = 0; i < 100; ++i) scriptSamples({{kT0 + i * c.timeStep, c.idleStart + i * c.idleStep}});
        LONG usage = kMarkUsage;
        EXPECT_EQ(0xC0000001u, GetCPUUsage(&usage));
        EXPECT_EQ(kMarkUsage, usage);
        EXPECT_GE(standin::sleeps(), 2u);
        EXPECT_LE(standin::sleeps(), 10u);
        EXPECT_LE(standin::ntCalls().size(), 1u + 2u * 11u);
    }
}

TEST_F(Sampler, NoProcessors) {
    standin::scriptNt(0, basic(0));
    scriptSamples({{kT0, kIdle0}, {kT0 + kHalfSecond, kIdle0}});
    LONG usage = kMarkUsage;
    EXPECT_EQ(0xC0000001u, GetCPUUsage(&usage));
    EXPECT_EQ(kMarkUsage, usage);
}

// The native's value is the usage or -1 for a failure; a usage that would come
// out negative is 0, so it never reads as a failure.
TEST_F(Sampler, NativeGetCpuUsage) {
    struct Case {
        const char* name;
        std::vector<standin::NtAnswer> basicAnswers;
        std::vector<std::pair<LONGLONG, LONGLONG>> samples;
        jint expected;
    };
    standin::NtAnswer failed;
    failed.status = static_cast<NTSTATUS>(0xC0000022);
    standin::NtAnswer empty = basic(2);
    empty.reportedLength = 0;
    const Case cases[] = {
        {"busy", {basic(2)}, {{kT0, kIdle0}, {kT0 + kHalfSecond, kIdle0 + kHalfSecond / 2}}, 75},
        {"idle counters ahead", {basic(2)}, {{kT0, kIdle0}, {kT0 + kHalfSecond, kIdle0 + 2 * 5100000}}, 0},
        {"query failed", {failed}, {}, -1},
        {"nothing written", {empty}, {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        for (const standin::NtAnswer& a : c.basicAnswers) standin::scriptNt(0, a);
        scriptSamples(c.samples);
        EXPECT_EQ(c.expected, Java_com_velmora_util_exec_ScriptProcessManager_getCPUUsage(nullptr, nullptr));
    }
}

}  // namespace
