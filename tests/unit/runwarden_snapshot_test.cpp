// The class-5 snapshot: buffer sizes offered to the service, growth of the
// shared size hint, failures, and where the thread records begin.
#include <gtest/gtest.h>
#include "freshrunwarden.h"
#include <standin/control.h>
#include <string.h>

#include <vector>

#include "runwarden/procinfo/snapshot.h"

namespace {

constexpr ULONG kTooSmall = 0xC0000004;
constexpr ULONG kNoMemory = 0xC0000017;

standin::NtAnswer statusAnswer(ULONG status) {
    standin::NtAnswer a;
    a.status = static_cast<NTSTATUS>(status);
    return a;
}

// The bytes the service would write into a buffer at base.
std::vector<BYTE> delivered(const standin::NtAnswer& a, const BYTE* base) {
    std::vector<BYTE> b(a.bytes.begin(), a.bytes.end());
    for (size_t at : a.relocations) {
        ULONG v;
        memcpy(&v, &b[at], 4);
        v += static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(base));
        memcpy(&b[at], &v, 4);
    }
    return b;
}

std::vector<ULONG> callLengths() {
    std::vector<ULONG> out;
    for (const standin::NtCall& c : standin::ntCalls()) {
        EXPECT_EQ(5u, c.infoClass);
        out.push_back(c.length);
    }
    return out;
}

class Snapshot : public ::testing::Test {
protected:
    void SetUp() override {
        freshRunwarden();
        ASSERT_EQ(1u, Win32Ext_VersionOK());
    }
    void TearDown() override {
        standin::stopFailingAllocations();
        EXPECT_EQ(0, standin::liveAllocations()) << "a snapshot buffer leaked";
    }

    ULONG take() {
        buffer = reinterpret_cast<BYTE*>(0x1);
        length = 0xDEADBEEF;
        return rw::takeProcessSnapshot(&buffer, &length);
    }
    void release() {
        rw::releaseProcessSnapshot(buffer);
        buffer = nullptr;
    }

    BYTE* buffer = nullptr;
    ULONG length = 0;
};

TEST_F(Snapshot, FirstBufferIsOneByteLongerThanTheHint) {
    ASSERT_EQ(0u, take());
    EXPECT_EQ(std::vector<ULONG>{65537}, callLengths());
    ASSERT_NE(nullptr, buffer);
    const std::vector<BYTE> expected = delivered(standin::buildProcessSnapshot(), buffer);
    ASSERT_EQ(expected.size(), length) << "the length is what the service reported";
    EXPECT_EQ(0, memcmp(expected.data(), buffer, length));
    release();
}

// A real growth: a process list that outgrows two hints.
TEST_F(Snapshot, TooSmallAnswersGrowTheSharedHint) {
    const size_t base = standin::buildProcessSnapshot().bytes.size();
    standin::addProcess({});
    const size_t perProcess = standin::buildProcessSnapshot().bytes.size() - base;
    for (size_t n = (0x20001 - base) / perProcess; n > 0; --n) standin::addProcess({});
    const size_t size = standin::buildProcessSnapshot().bytes.size();
    ASSERT_GT(size, 0x20001u);
    ASSERT_LE(size, 0x30001u);

    ASSERT_EQ(0u, take());
    EXPECT_EQ((std::vector<ULONG>{0x10001, 0x20001, 0x30001}), callLengths());
    EXPECT_EQ(0x30000u, rw::snapshotSizeHint);
    EXPECT_EQ(size, length);
    release();

    ASSERT_EQ(0u, take());
    EXPECT_EQ((std::vector<ULONG>{0x10001, 0x20001, 0x30001, 0x30001}), callLengths())
        << "the next snapshot starts at the grown size";
    release();
}

TEST_F(Snapshot, ScriptedTooSmallAnswers) {
    standin::scriptNt(5, statusAnswer(kTooSmall));
    standin::scriptNt(5, statusAnswer(kTooSmall));
    ASSERT_EQ(0u, take());
    EXPECT_EQ((std::vector<ULONG>{0x10001, 0x20001, 0x30001}), callLengths());
    EXPECT_EQ(0x30000u, rw::snapshotSizeHint);
    release();
}

// The hint cannot pass 32 bits. The largest hint offers a zero-length buffer
// (hint + 1 wraps), the growth wraps as well, and the wrapped hint stays, so
// the next snapshot starts small again.
TEST_F(Snapshot, HintThatWouldPass32BitsFails) {
    rw::snapshotSizeHint = 0xFFFFFFFF;
    EXPECT_EQ(kTooSmall, take());
    EXPECT_EQ(nullptr, buffer);
    EXPECT_EQ(std::vector<ULONG>{0}, callLengths());
    EXPECT_EQ(0xFFFFu, rw::snapshotSizeHint);

    ASSERT_EQ(0u, take());
    EXPECT_EQ((std::vector<ULONG>{0, 0x10000}), callLengths());
    release();
}

TEST_F(Snapshot, AllocationFailures) {
    struct Case {
        const char* name;
        unsigned tooSmallAnswers;
        unsigned failAfter;
        ULONG hintAfter;
        size_t calls;
    };
    const Case cases[] = {
        {"first allocation", 0, 0, 0x10000, 0},
        {"allocation during growth", 1, 1, 0x20000, 1},
        {"second growth", 2, 2, 0x30000, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        for (unsigned i = 0; i < c.tooSmallAnswers; ++i) standin::scriptNt(5, statusAnswer(kTooSmall));
        standin::failAllocations(c.failAfter);
        EXPECT_EQ(kNoMemory, take());
        EXPECT_EQ(nullptr, buffer);
        EXPECT_EQ(c.hintAfter, rw::snapshotSizeHint);
        EXPECT_EQ(c.calls, standin::ntCalls().size());
        EXPECT_EQ(0, standin::liveAllocations());
        standin::stopFailingAllocations();
    }
}

TEST_F(Snapshot, ZeroLengthSuccessGivesNoBufferAndAnEmptyWalk) {
    for (size_t bytes : {size_t{0}, size_t{300}}) {
        SCOPED_TRACE(bytes);
        standin::NtAnswer empty;
        empty.bytes.assign(bytes, 0);
        empty.reportedLength = 0;
        standin::scriptNt(5, empty);
        EXPECT_EQ(0u, take());
        EXPECT_EQ(nullptr, buffer);
        EXPECT_EQ(0u, length);
        EXPECT_EQ(0, standin::liveAllocations());

        standin::scriptNt(5, empty);
        rw::ProcessSnapshot snapshot;
        ASSERT_EQ(0u, snapshot.take());
        rw::RecordWalker w = snapshot.walker();
        EXPECT_EQ(0u, w.count);
        EXPECT_EQ(nullptr, rw::firstRecord(&w));
        EXPECT_EQ(rw::kThreadsAfterFixedPart, snapshot.threadsOffset());
    }
}

TEST_F(Snapshot, OtherStatusesArePassedOnUnchanged) {
    for (ULONG status : {0xC0000022u, 0xC0000003u, 0x80000005u, 0x40000000u, 1u}) {
        SCOPED_TRACE(status);
        SetUp();
        standin::scriptNt(5, statusAnswer(status));
        EXPECT_EQ(status, take());
        EXPECT_EQ(nullptr, buffer);
        EXPECT_EQ(0, standin::liveAllocations());
    }
    // Also after growing.
    SetUp();
    standin::scriptNt(5, statusAnswer(kTooSmall));
    standin::scriptNt(5, statusAnswer(0xC0000022));
    EXPECT_EQ(0xC0000022u, take());
    EXPECT_EQ(nullptr, buffer);
    EXPECT_EQ(0x20000u, rw::snapshotSizeHint);
}

// A service that reports more bytes than the buffer holds is believed only up
// to the buffer's end: every later read is checked against this length.
TEST_F(Snapshot, ReportedLengthBeyondTheBufferIsCut) {
    standin::NtAnswer a;
    a.bytes.assign(200, 0);
    a.reportedLength = 0x7FFFFFFF;
    standin::scriptNt(5, a);
    ASSERT_EQ(0u, take());
    EXPECT_EQ(0x10001u, length);
    release();
}

// --- where the thread records begin ---

std::vector<size_t> recordOffsets(const std::vector<unsigned char>& b) {
    std::vector<size_t> out;
    size_t at = 0;
    while (at + 4 <= b.size()) {
        out.push_back(at);
        ULONG link;
        memcpy(&link, &b[at], 4);
        if (link == 0) break;
        at += link;
    }
    return out;
}

void put32(std::vector<unsigned char>& b, size_t at, ULONG v) { memcpy(&b[at], &v, 4); }

ULONG layoutOf(const standin::NtAnswer& a) {
    std::vector<BYTE> storage(a.bytes.size() + 1);
    std::vector<BYTE> bytes = delivered(a, storage.data());
    memcpy(storage.data(), bytes.data(), bytes.size());
    return rw::threadLayoutOf(storage.data(), static_cast<ULONG>(bytes.size()));
}

class ThreadLayout : public ::testing::Test {
protected:
    void SetUp() override { standin::reset(); }

    // Only the idle process and the processes that a case adds.
    static void onlyIdle() {
        for (const standin::ProcessState& p : standin::processes())
            if (p.pid != 0) standin::removeProcess(p.pid);
    }
};

TEST_F(ThreadLayout, BothLayoutsOfAWholeSystem) {
    for (standin::ThreadLayout layout : {standin::ThreadLayout::AfterFixedPart, standin::ThreadLayout::AfterIoCounters}) {
        SCOPED_TRACE(static_cast<int>(layout));
        standin::setThreadLayout(layout);
        standin::ProcessSpec many;
        many.threads = {7001, 7002, 7003};
        standin::addProcess(many);
        EXPECT_EQ(static_cast<ULONG>(layout), layoutOf(standin::buildProcessSnapshot()));
    }
}

TEST_F(ThreadLayout, RecordsThatCannotTell) {
    struct Case {
        const char* name;
        standin::ThreadLayout layout;
        bool threadedProcess;  // a later process with a thread, which can tell
        ULONG expected;
    };
    const Case cases[] = {
        {"idle and thread-less only, counters layout", standin::ThreadLayout::AfterIoCounters, false, 0x88},
        {"idle and thread-less only, fixed layout", standin::ThreadLayout::AfterFixedPart, false, 0x88},
        {"thread-less first, counters layout", standin::ThreadLayout::AfterIoCounters, true, 0xB8},
        {"thread-less first, fixed layout", standin::ThreadLayout::AfterFixedPart, true, 0x88},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        onlyIdle();
        standin::setThreadLayout(c.layout);
        standin::ProcessSpec bare;
        bare.pid = 8;
        bare.noThreads = true;
        standin::addProcess(bare);
        if (c.threadedProcess) {
            standin::ProcessSpec threaded;
            threaded.pid = 12;
            standin::addProcess(threaded);
        }
        EXPECT_EQ(c.expected, layoutOf(standin::buildProcessSnapshot()));
    }
    EXPECT_EQ(0x88u, rw::threadLayoutOf(nullptr, 0)) << "no snapshot at all";
}

// The idle process cannot tell: its I/O counters are zero, so in the counters
// layout its first "thread owner" at 0xA8 reads 0, its own id, whatever its
// thread records say.
TEST_F(ThreadLayout, IdleProcessFirstDoesNotDecide) {
    onlyIdle();
    standin::setThreadLayout(standin::ThreadLayout::AfterIoCounters);
    standin::ProcessSpec one;
    one.pid = 4;
    standin::addProcess(one);
    standin::NtAnswer a = standin::buildProcessSnapshot();
    const std::vector<size_t> at = recordOffsets(a.bytes);
    ASSERT_EQ(2u, at.size());
    put32(a.bytes, at[0] + 0xB8 + 0x20, 0x77);  // the idle thread's owner no longer reads 0
    EXPECT_EQ(0xB8u, layoutOf(a));
}

// A record whose first thread names another owner (as no consistent snapshot
// would) can still tell by where its image name begins.
TEST_F(ThreadLayout, ImageNamePositionDecidesWhenTheOwnerCannot) {
    for (standin::ThreadLayout layout : {standin::ThreadLayout::AfterIoCounters, standin::ThreadLayout::AfterFixedPart}) {
        SCOPED_TRACE(static_cast<int>(layout));
        SetUp();
        onlyIdle();
        standin::setThreadLayout(layout);
        standin::ProcessSpec p;
        p.pid = 4;
        p.threads = {40, 44};
        standin::addProcess(p);
        standin::NtAnswer a = standin::buildProcessSnapshot();
        const std::vector<size_t> at = recordOffsets(a.bytes);
        ASSERT_EQ(2u, at.size());
        put32(a.bytes, at[1] + static_cast<size_t>(layout) + 0x20, 0x99);
        EXPECT_EQ(static_cast<ULONG>(layout), layoutOf(a));
    }
}

// The first record that can tell decides; one that cannot passes the decision on.
TEST_F(ThreadLayout, FirstRecordThatCanTellDecides) {
    onlyIdle();
    standin::setThreadLayout(standin::ThreadLayout::AfterIoCounters);
    standin::ProcessSpec nameless;
    nameless.pid = 4;
    nameless.image = "";
    standin::addProcess(nameless);
    standin::ProcessSpec named;
    named.pid = 8;
    standin::addProcess(named);
    standin::ProcessSpec last;
    last.pid = 12;
    standin::addProcess(last);
    standin::NtAnswer a = standin::buildProcessSnapshot();
    const std::vector<size_t> at = recordOffsets(a.bytes);
    ASSERT_EQ(4u, at.size());
    // pid 4: wrong owner and no name: cannot tell.
    put32(a.bytes, at[1] + 0xB8 + 0x20, 0x99);
    EXPECT_EQ(0xB8u, layoutOf(a)) << "pid 8 tells by its owner";
    // pid 8: wrong owner, but its name tells.
    put32(a.bytes, at[2] + 0xB8 + 0x20, 0x99);
    // pid 12 would say the other layout: its counters read as its owner there.
    put32(a.bytes, at[3] + 0x88 + 0x20, 12);
    put32(a.bytes, at[3] + 0xB8 + 0x20, 0x99);
    EXPECT_EQ(0xB8u, layoutOf(a)) << "pid 8 tells by its name, before pid 12";
}

}  // namespace
