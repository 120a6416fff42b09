// Descent test, tree kill and child count on model process trees, on both back
// ends. The current process is 1000 (parent 4, whose parent is 0) unless a test
// says otherwise.
#include <gtest/gtest.h>
#include "jninatives.h"
#include "freshrunwarden.h"
#include <jni.h>
#include <standin/control.h>

#include <string>
#include <vector>

#include "runwarden/natives/natives.h"
#include "runwarden/natives/treekill.h"
#include "runwarden/procinfo/backend.h"

namespace {

constexpr DWORD kSelf = 1000;

jint nativeKillAllChildren(DWORD pid) {
    return Java_com_velmora_util_exec_ScriptProcessManager_killAllChildren(nullptr, nullptr, static_cast<jint>(pid));
}

jint nativeChildCount(DWORD pid) {
    return Java_com_velmora_util_exec_ScriptProcessManager_childProcessesCount(nullptr, nullptr,
                                                                              static_cast<jint>(pid));
}

DWORD spawn(DWORD parent, DWORD pid = 0) {
    standin::ProcessSpec desc;
    desc.pid = pid;
    desc.parent = parent;
    return standin::addProcess(desc);
}

void resetLibrary() {
    freshRunwarden();
}

// Selects the back end the way init does, on a stand-in that offers only it.
void selectBackend(rw::BackendMode mode) {
    if (mode == rw::kBackendToolhelp) standin::hideExport("NtQuerySystemInformation");
    ASSERT_EQ(1ul, Win32Ext_VersionOK());
    ASSERT_EQ(mode, rw::backendMode);
}

std::string backendName(const ::testing::TestParamInfo<rw::BackendMode>& info) {
    return info.param == rw::kBackendNative ? "Native" : "Toolhelp";
}

class TreeKill : public ::testing::TestWithParam<rw::BackendMode> {
protected:
    void SetUp() override {
        resetLibrary();
        selectBackend(GetParam());
    }
    void TearDown() override { resetLibrary(); }
};

INSTANTIATE_TEST_SUITE_P(Backends, TreeKill, ::testing::Values(rw::kBackendNative, rw::kBackendToolhelp),
                         backendName);

TEST_P(TreeKill, EndsDescendantsBeforeTheirAncestorsAndLeavesTheNamedProcessRunning) {
    const DWORD launched = spawn(kSelf);
    const DWORD sibling = spawn(kSelf);  // another launch of ours: not below the named process
    const DWORD c1 = spawn(launched);
    const DWORD g11 = spawn(c1);
    const DWORD ggg = spawn(g11);
    const DWORD g12 = spawn(c1);
    const DWORD c2 = spawn(launched);
    const DWORD g21 = spawn(c2);
    const size_t handlesBefore = standin::openHandleCount();

    EXPECT_EQ(0, killAllChild(launched));

    // Depth first, children in snapshot order, each process after its own descendants.
    EXPECT_EQ((std::vector<DWORD>{ggg, g11, g12, c1, g21, c2}), standin::terminations());
    for (DWORD pid : {c1, g11, ggg, g12, c2, g21}) EXPECT_EQ(0ul, standin::exitCodeOf(pid)) << pid;
    EXPECT_TRUE(standin::alive(launched));
    EXPECT_TRUE(standin::alive(sibling));
    EXPECT_TRUE(standin::alive(kSelf));
    EXPECT_EQ(kSelf, rw::callerProcessId);

    for (const standin::OpenRecord& open : standin::opens()) {
        EXPECT_EQ(0x1F0FFFul, open.access);
        EXPECT_EQ(TRUE, open.inherit);
    }
    EXPECT_EQ(handlesBefore, standin::openHandleCount()) << "every handle the tree kill opened is closed";
}

TEST_P(TreeKill, TheNativeEndsTheSameTreeAndReturnsZero) {
    const DWORD launched = spawn(kSelf);
    const DWORD c1 = spawn(launched);
    const DWORD g1 = spawn(c1);
    const DWORD c2 = spawn(launched);
    EXPECT_EQ(0, nativeKillAllChildren(launched));
    EXPECT_EQ((std::vector<DWORD>{g1, c1, c2}), standin::terminations());
    EXPECT_TRUE(standin::alive(launched));
}

TEST_P(TreeKill, AChildThatExitsBeforeItsOpenGivesThatOpensErrorAndTheOthersStillEnd) {
    for (bool native : {false, true}) {
        SCOPED_TRACE(native ? "native" : "export");
        resetLibrary();
        selectBackend(GetParam());
        const DWORD launched = spawn(kSelf);
        const DWORD c1 = spawn(launched);
        const DWORD gone = spawn(launched);
        const DWORD c3 = spawn(launched);
        standin::onOpen([gone](DWORD pid) {
            if (pid == gone) standin::removeProcess(gone);
        });

        if (native) {
            EXPECT_EQ(0, nativeKillAllChildren(launched)) << "the native passes no code on";
        } else {
            EXPECT_EQ(static_cast<long>(ERROR_INVALID_PARAMETER), killAllChild(launched));
        }
        EXPECT_EQ((std::vector<DWORD>{c1, c3}), standin::terminations());
    }
}

// Only the opens at the level the caller entered decide the result: a failed
// open further down is not passed up.
TEST_P(TreeKill, AFailedOpenBelowTheFirstLevelDoesNotDecideTheResult) {
    const DWORD launched = spawn(kSelf);
    const DWORD c1 = spawn(launched);
    const DWORD gone = spawn(c1);
    const DWORD g2 = spawn(c1);
    standin::onOpen([gone](DWORD pid) {
        if (pid == gone) standin::removeProcess(gone);
    });

    EXPECT_EQ(0, killAllChild(launched));
    EXPECT_EQ((std::vector<DWORD>{g2, c1}), standin::terminations());
}

TEST_P(TreeKill, ChildListCapacity) {
    struct Case {
        DWORD children;
        long killResult;
        DWORD count;
    } const cases[] = {
        {1023, 0, 1023},
        {1024, -1, 0xFFFFFFFF},
        {1025, -1, 0xFFFFFFFF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.children);
        resetLibrary();
        selectBackend(GetParam());
        const DWORD launched = spawn(kSelf);
        // Without image names: the stand-in then builds each of the thousands of
        // snapshots this takes without an allocation per record.
        standin::ProcessSpec child;
        child.parent = launched;
        child.image.clear();
        for (DWORD i = 0; i < c.children; ++i) standin::addProcess(child);

        EXPECT_EQ(c.count, numberOfChilds(launched));
        EXPECT_EQ(static_cast<jint>(c.count), nativeChildCount(launched));
        EXPECT_EQ(c.killResult, killAllChild(launched));
        if (c.killResult == 0) {
            EXPECT_EQ(c.children, standin::terminations().size());
        } else {
            EXPECT_TRUE(standin::terminations().empty()) << "nothing ends when the children do not fit";
        }
        EXPECT_TRUE(standin::alive(launched));
    }
}

TEST_P(TreeKill, AProcessWithoutChildren) {
    const DWORD launched = spawn(kSelf);
    EXPECT_EQ(-1, killAllChild(launched));
    EXPECT_EQ(0, nativeKillAllChildren(launched));
    EXPECT_EQ(0ul, numberOfChilds(launched));
    EXPECT_EQ(0, nativeChildCount(launched));
    EXPECT_TRUE(standin::terminations().empty());
    EXPECT_TRUE(standin::alive(launched));
}

TEST_P(TreeKill, IdZeroEndsNothingWhileItsChildCountIsEveryProcess) {
    const DWORD launched = spawn(kSelf);
    spawn(launched);
    spawn(0);
    size_t listed = 0;
    for (const standin::ProcessState& p : standin::processes()) listed += p.alive ? 1 : 0;

    EXPECT_EQ(-1, killAllChild(0));
    EXPECT_EQ(kSelf, rw::callerProcessId) << "set before anything else";
    EXPECT_EQ(0, nativeKillAllChildren(0));
    EXPECT_TRUE(standin::terminations().empty());
    EXPECT_EQ(listed, numberOfChilds(0));
    EXPECT_EQ(static_cast<jint>(listed), nativeChildCount(0));
}

// The walk counts a parent that can no longer be queried as descent, so the
// children of a launched process that has already ended are still found (their
// recorded parent still names it) and ended.
TEST_P(TreeKill, ChildrenOfALaunchedProcessThatAlreadyEndedStillEnd) {
    for (bool reaped : {false, true}) {
        SCOPED_TRACE(reaped ? "removed from the system" : "exited");
        resetLibrary();
        selectBackend(GetParam());
        const DWORD launched = spawn(kSelf);
        const DWORD c1 = spawn(launched);
        const DWORD g1 = spawn(c1);
        const DWORD c2 = spawn(launched);
        if (reaped) {
            standin::removeProcess(launched);
        } else {
            standin::exitProcess(launched, 3);
        }

        EXPECT_EQ(2ul, numberOfChilds(launched)) << "children that still run are counted";
        EXPECT_EQ(0, killAllChild(launched));
        EXPECT_EQ((std::vector<DWORD>{g1, c1, c2}), standin::terminations());
    }
}

TEST_P(TreeKill, ATreeOutsideTheCallersAncestryIsLeftRunning) {
    const DWORD root = spawn(0);  // started from elsewhere: its chain ends at parent 0
    const DWORD named = spawn(root);
    const DWORD c1 = spawn(named);
    spawn(c1);
    spawn(named);

    EXPECT_EQ(0, killAllChild(named)) << "no confirmed child, no failed open";
    EXPECT_TRUE(standin::terminations().empty());
    EXPECT_EQ(0, nativeKillAllChildren(named));
    EXPECT_TRUE(standin::terminations().empty());
}

// With callerProcessId still 0 a walk that reaches parent 0 meets it first:
// every walk that ends confirms descent. From the first tree kill on, only a
// walk through the current process (or through a process that can no longer
// be queried) does.
TEST_P(TreeKill, DescentTestBeforeAndAfterTheFirstTreeKill) {
    const DWORD ours = spawn(kSelf);
    const DWORD oursGrandchild = spawn(spawn(ours));
    const DWORD foreignRoot = spawn(0);
    const DWORD foreignChild = spawn(foreignRoot);
    const DWORD orphan = spawn(4321);  // its parent is not in the system
    struct Case {
        const char* name;
        DWORD pid;
        long before, after;
    } const cases[] = {
        {"child of the caller", ours, 1, 1},
        {"grandchild of the caller", oursGrandchild, 1, 1},
        {"process with parent 0", foreignRoot, 1, 0},
        {"child of a foreign root", foreignChild, 1, 0},
        {"the caller itself", kSelf, 1, 0},
        {"the system process", 4, 1, 0},
        {"parent no longer present", orphan, 1, 1},
        {"process not present", 7777, 1, 1},
    };
    ASSERT_EQ(0ul, rw::callerProcessId);
    for (const Case& c : cases) EXPECT_EQ(c.before, isMyChild(c.pid)) << c.name << " before";
    EXPECT_EQ(-1, killAllChild(0));  // records the caller and ends nothing
    ASSERT_EQ(kSelf, rw::callerProcessId);
    ASSERT_TRUE(standin::terminations().empty());
    for (const Case& c : cases) EXPECT_EQ(c.after, isMyChild(c.pid)) << c.name << " after";
}

// Recorded parent ids can form cycles when ids are reused. A walk around a
// cycle that does not pass through the caller ends with 0, and the tree kill
// then ends nothing in or below the cycle.
TEST_P(TreeKill, ParentCyclesAwayFromTheCallerEndNothing) {
    const std::vector<std::vector<DWORD>> cycles = {{3000}, {3000, 3004}, {3000, 3004, 3008}};
    for (const std::vector<DWORD>& cycle : cycles) {
        SCOPED_TRACE("cycle of length " + std::to_string(cycle.size()));
        for (bool afterTreeKill : {false, true}) {
            resetLibrary();
            selectBackend(GetParam());
            // Each member's parent is the member before it; the first's is the last.
            for (size_t i = 0; i < cycle.size(); ++i) spawn(cycle[(i + cycle.size() - 1) % cycle.size()], cycle[i]);
            const DWORD hanger = spawn(cycle[0]);  // below the cycle
            if (afterTreeKill) rw::callerProcessId = kSelf;

            for (DWORD member : cycle) EXPECT_EQ(0, isMyChild(member)) << member;
            EXPECT_EQ(0, isMyChild(hanger));
            for (DWORD member : cycle) {
                EXPECT_EQ(0, killAllChild(member)) << member;
                EXPECT_EQ(0, nativeKillAllChildren(member)) << member;
            }
            EXPECT_TRUE(standin::terminations().empty());
        }
    }
}

// A cycle through the calling process confirms every member: the walk and the
// tree kill must still end, and neither the caller nor the named process is
// ever ended.
TEST_P(TreeKill, ACycleThroughTheCallerEndsAndSparesTheCallerAndTheNamedProcess) {
    constexpr DWORD s = 3000, a = 3004, b = 3008;  // s (the caller) -> a -> b -> s
    constexpr DWORD la = 3100, lb = 3104, ls = 3108;  // leaves below a, b and s
    struct Case {
        DWORD named;
        std::vector<DWORD> ended;  // in order
    } const cases[] = {
        // s's children a and ls; a's children b and la; b's children s (the
        // caller: skipped, not descended into) and lb.
        {s, {lb, b, la, a, ls}},
        {a, {lb, b, la}},
        {b, {lb}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.named);
        resetLibrary();
        selectBackend(GetParam());
        spawn(b, s);
        spawn(s, a);
        spawn(a, b);
        spawn(a, la);
        spawn(b, lb);
        spawn(s, ls);
        standin::setCurrentProcessId(s);
        rw::callerProcessId = s;
        for (DWORD member : {s, a, b}) EXPECT_EQ(1, isMyChild(member)) << member;

        EXPECT_EQ(0, killAllChild(c.named));
        EXPECT_EQ(c.ended, standin::terminations());
        EXPECT_TRUE(standin::alive(s));
        EXPECT_TRUE(standin::alive(c.named));
        EXPECT_EQ(0, nativeKillAllChildren(c.named));
        EXPECT_TRUE(standin::alive(s));
        EXPECT_TRUE(standin::alive(c.named));
    }
}

TEST(TreeKillBeforeInit, NothingEndsAndTheCountFails) {
    resetLibrary();
    const DWORD launched = spawn(kSelf);
    spawn(spawn(launched));

    EXPECT_EQ(0, nativeKillAllChildren(launched));
    EXPECT_EQ(-1, killAllChild(launched));
    EXPECT_TRUE(standin::terminations().empty());
    EXPECT_EQ(-1, nativeChildCount(launched));
    EXPECT_EQ(0xFFFFFFFFul, numberOfChilds(launched));
    EXPECT_EQ(kSelf, rw::callerProcessId) << "the tree kill records the caller even when it cannot list";
    resetLibrary();
}

}  // namespace
