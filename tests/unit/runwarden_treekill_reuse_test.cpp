// The tree kill and reused process ids, on the native back end: a process keeps
// the id of its creator after the creator has ended, and that id may since name
// a new process inside the tree being killed. Such a process is older than the
// one whose id it records, so it is not that one's child and must be left
// running, with everything below it. The current process is 1000 (parent 4).
#include <gtest/gtest.h>
#include "freshrunwarden.h"
#include <standin/control.h>

#include <vector>

#include "runwarden/natives/natives.h"
#include "runwarden/natives/treekill.h"
#include "runwarden/procinfo/backend.h"

namespace {

constexpr DWORD kSelf = 1000;

DWORD spawn(DWORD parent, LONGLONG created) {
    standin::ProcessSpec desc;
    desc.parent = parent;
    desc.createTime = created;
    return standin::addProcess(desc);
}

class TreeKillReuse : public ::testing::Test {
protected:
    void SetUp() override {
        reset();
        ASSERT_EQ(1ul, Win32Ext_VersionOK());
        ASSERT_EQ(rw::kBackendNative, rw::backendMode);
    }
    void TearDown() override { reset(); }
    static void reset() {
        freshRunwarden();
    }
};

TEST_F(TreeKillReuse, AProcessOlderThanTheIdItRecordsIsLeftRunningWithItsDescendants) {
    const DWORD launched = spawn(kSelf, 200);
    const DWORD node = spawn(launched, 300);
    const DWORD child = spawn(node, 400);
    const DWORD sameInstant = spawn(node, 300);  // created in the same clock tick: may be its child
    // Created before node, by an ended process whose id node was given later.
    const DWORD stranger = spawn(node, 100);
    const DWORD strangersChild = spawn(stranger, 150);

    EXPECT_EQ(0, killAllChild(launched));

    EXPECT_EQ((std::vector<DWORD>{child, sameInstant, node}), standin::terminations());
    EXPECT_TRUE(standin::alive(stranger));
    EXPECT_TRUE(standin::alive(strangersChild));
    EXPECT_TRUE(standin::alive(launched));
}

// The process named by the caller is checked as well: a process older than it
// that records its id is not its child.
TEST_F(TreeKillReuse, TheNamedProcessItselfMayBeTheYoungerHolderOfTheId) {
    const DWORD launched = spawn(kSelf, 500);
    const DWORD stranger = spawn(launched, 100);
    const DWORD child = spawn(launched, 600);

    EXPECT_EQ(0, killAllChild(launched));

    EXPECT_EQ((std::vector<DWORD>{child}), standin::terminations());
    EXPECT_TRUE(standin::alive(stranger));
}

// Without a record of the named process (it has ended) there is nothing to
// compare: its children are found by their recorded parent id and ended, as
// the children of an exited launch must be.
TEST_F(TreeKillReuse, ChildrenOfAnEndedProcessAreStillEnded) {
    const DWORD launched = spawn(kSelf, 500);
    const DWORD older = spawn(launched, 100);
    const DWORD younger = spawn(launched, 600);
    standin::exitProcess(launched, 0);

    EXPECT_EQ(0, killAllChild(launched));

    EXPECT_EQ((std::vector<DWORD>{older, younger}), standin::terminations());
}

}  // namespace
