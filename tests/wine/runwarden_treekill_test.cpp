// The tree kill and the child count against real process trees under Wine.
//
// Trees come from treeproc.exe below a root launched through executeProcess.
// Expectations come from raw class-5 snapshots and the platform's own view of
// each process (handles, exit codes, exit times), not from the library.
#include <gtest/gtest.h>
#include "jninatives.h"
#include <jni.h>

#include <algorithm>
#include <string>
#include <vector>

#include "runwarden/natives/natives.h"
#include "runwarden/natives/treekill.h"
#include "runwarden/procinfo/backend.h"
#include "treeutil.h"
#include "wineutil.h"

namespace {

using treeutil::Tree;
using wineutil::rawChildren;
using wineutil::rawProcessSnapshot;

jint killAllChildren(DWORD pid) {
    return Java_com_velmora_util_exec_ScriptProcessManager_killAllChildren(nullptr, nullptr, static_cast<jint>(pid));
}

jint childProcessesCount(DWORD pid) {
    return Java_com_velmora_util_exec_ScriptProcessManager_childProcessesCount(nullptr, nullptr,
                                                                              static_cast<jint>(pid));
}

ULONGLONG exitTime(HANDLE process) {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
    return (ULONGLONG{exited.dwHighDateTime} << 32) | exited.dwLowDateTime;
}

bool running(HANDLE process) { return WaitForSingleObject(process, 0) == WAIT_TIMEOUT; }

// Waits until every handle is signalled; true when they all were within the time.
bool waitAll(const std::vector<HANDLE>& handles, DWORD timeoutMs = 10000) {
    for (size_t at = 0; at < handles.size(); at += MAXIMUM_WAIT_OBJECTS) {
        const DWORD n = static_cast<DWORD>(std::min<size_t>(MAXIMUM_WAIT_OBJECTS, handles.size() - at));
        if (WaitForMultipleObjects(n, handles.data() + at, TRUE, timeoutMs) >= WAIT_OBJECT_0 + n) return false;
    }
    return true;
}

std::vector<HANDLE> handlesOf(const Tree& tree) {
    std::vector<HANDLE> out;
    for (const Tree::Node& n : tree.nodes()) out.push_back(n.handle);
    return out;
}

// Under Wine an ended process stays openable by id until its Unix process has
// gone, a little after its handle is signalled: poll, with a deadline.
bool waitUntilUnopenable(DWORD pid, DWORD timeoutMs = 10000) {
    const DWORD start = GetTickCount();
    while (wineutil::canOpen(pid)) {
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(10);
    }
    return true;
}

class TreeKill : public ::testing::Test {
protected:
    void SetUp() override {
        Java_com_velmora_util_exec_ScriptProcessManager_init(nullptr, nullptr);
        ASSERT_EQ(rw::kBackendNative, rw::backendMode);
    }
    void TearDown() override { rw::treeKillProbe = nullptr; }
};

TEST_F(TreeKill, EndsChildrenAndGrandchildrenDeepestFirstWhileTheLaunchedProcessRuns) {
    Tree tree;
    ASSERT_EQ("", tree.launch(2, 2));
    const wineutil::RawSnapshot before = rawProcessSnapshot();
    ASSERT_TRUE(before.ok());
    // Everything below the root, as the platform lists it: the six nodes, and a
    // console host if the platform gave the root one.
    const std::vector<DWORD> below = treeutil::rawDescendants(before, tree.rootPid());
    std::vector<HANDLE> watched;
    for (DWORD pid : below) {
        HANDLE h = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, pid);
        ASSERT_NE(nullptr, h) << "process " << pid << " below the root";
        watched.push_back(h);
    }
    EXPECT_EQ(static_cast<jint>(rawChildren(before, tree.rootPid()).size()), childProcessesCount(tree.rootPid()));

    EXPECT_EQ(0, killAllChildren(tree.rootPid()));

    EXPECT_TRUE(waitAll(watched)) << "every process below the root ends";
    for (HANDLE h : watched) CloseHandle(h);
    for (const Tree::Node& n : tree.nodes()) {
        DWORD code = STILL_ACTIVE;
        GetExitCodeProcess(n.handle, &code);
        EXPECT_EQ(0u, code) << "node " << n.pid << " was ended by the tree kill (exit code 0)";
        // The platform stamps the exit time as it ends a process (under Wine
        // before TerminateProcess returns), so a parent's is never earlier than
        // that of a child ended before it.
        if (n.parent == tree.rootPid()) continue;
        const Tree::Node* parent = tree.node(n.parent);
        ASSERT_NE(nullptr, parent);
        EXPECT_LE(exitTime(n.handle), exitTime(parent->handle)) << "node " << n.pid << " ends before its parent";
    }
    EXPECT_TRUE(tree.rootRunning()) << "the launched process itself keeps running";
    EXPECT_TRUE(treeutil::rawDescendants(rawProcessSnapshot(), tree.rootPid()).empty());
}

TEST_F(TreeKill, EndsTheChildrenOfALaunchedProcessThatHasAlreadyExited) {
    Tree tree;
    ASSERT_EQ("", tree.launch(2, 2));
    ASSERT_TRUE(wineutil::killById(tree.rootPid(), 7));
    const wineutil::RawSnapshot after = rawProcessSnapshot();
    ASSERT_TRUE(after.ok());
    ASSERT_FALSE(after.contains(tree.rootPid())) << "an ended process is no longer listed";
    const std::vector<DWORD> children = rawChildren(after, tree.rootPid());
    for (DWORD pid : tree.childrenOf(tree.rootPid()))
        ASSERT_NE(children.end(), std::find(children.begin(), children.end(), pid))
            << "child " << pid << " still names the ended root as its parent";

    // The count of an exited process is that of its children still running.
    EXPECT_EQ(static_cast<jint>(children.size()), childProcessesCount(tree.rootPid()));
    // The walk up from each child reaches the exited root, whose parent can no
    // longer be queried: that counts as descent.
    EXPECT_EQ(0, killAllChild(tree.rootPid()));
    EXPECT_TRUE(waitAll(handlesOf(tree)));
    for (const Tree::Node& n : tree.nodes()) {
        DWORD code = STILL_ACTIVE;
        GetExitCodeProcess(n.handle, &code);
        EXPECT_EQ(0u, code) << "node " << n.pid;
    }
}

// Recorded by the fixture wine_outside_tree_start (outside_tree.sh): a
// treeproc tree of a root and two children started by a separate `wine`
// command from the shell, so that its root has parent id 0 and nothing in it
// descends from this process.
TEST_F(TreeKill, LeavesATreeThatDoesNotDescendFromTheCallerRunning) {
    const std::vector<treeutil::Record> records =
        treeutil::readRecords(wineutil::moduleDirectory() + L"\\outside-tree");
    if (records.empty()) GTEST_SKIP() << "no outside tree: run through CTest, whose fixture starts it";
    const wineutil::RawSnapshot snap = rawProcessSnapshot();
    ASSERT_TRUE(snap.ok());
    DWORD root = 0;
    for (const treeutil::Record& r : records)
        if (r.parent == 0) root = r.pid;
    ASSERT_NE(0u, root) << "the outside tree's root has parent id 0";
    const wineutil::RawProcess* rootEntry = snap.find(root);
    ASSERT_NE(nullptr, rootEntry);
    ASSERT_EQ(0u, rootEntry->parent);
    ASSERT_EQ(L"treeproc.exe", rootEntry->imageName);
    std::vector<DWORD> children;
    for (const treeutil::Record& r : records)
        if (r.parent == root) children.push_back(r.pid);
    ASSERT_EQ(2u, children.size());
    const std::vector<DWORD> listed = rawChildren(snap, root);
    for (DWORD pid : children) ASSERT_NE(listed.end(), std::find(listed.begin(), listed.end(), pid));
    std::vector<HANDLE> handles;
    for (DWORD pid : children) {
        HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, pid);
        ASSERT_NE(nullptr, h);
        handles.push_back(h);
    }

    // Before any tree kill in the process, the walk looks for id 0, so a chain
    // that ends at 0 counts as descent.
    rw::callerProcessId = 0;
    EXPECT_EQ(1, isMyChild(children[0]));

    EXPECT_EQ(0, killAllChild(root)) << "both children listed, both passed over";
    EXPECT_EQ(0, isMyChild(children[0]));
    EXPECT_EQ(0, isMyChild(children[1]));
    EXPECT_EQ(0, killAllChildren(root));
    for (HANDLE h : handles) {
        EXPECT_TRUE(running(h)) << "under Wine a terminated process is signalled before TerminateProcess returns";
        CloseHandle(h);
    }
    EXPECT_EQ(static_cast<jint>(rawChildren(rawProcessSnapshot(), root).size()), childProcessesCount(root));
}

TEST_F(TreeKill, ALeafHasNoChildrenToEnd) {
    Tree tree;
    ASSERT_EQ("", tree.launch(1, 1));
    const DWORD leaf = tree.leaf();
    ASSERT_NE(0u, leaf);
    ASSERT_TRUE(rawChildren(rawProcessSnapshot(), leaf).empty()) << "the platform lists no child of the leaf";

    EXPECT_EQ(-1, killAllChild(leaf));
    EXPECT_EQ(0, killAllChildren(leaf));
    EXPECT_EQ(0, childProcessesCount(leaf));
    EXPECT_EQ(0ul, numberOfChilds(leaf));
    EXPECT_TRUE(running(tree.node(leaf)->handle));
    EXPECT_TRUE(tree.rootRunning());
}

// A child that ends between the listing and its open: the open fails, the
// other children still end, and the result is the open's error code.
TEST_F(TreeKill, AChildThatVanishesBeforeItsOpenGivesTheOpensErrorAndTheOthersStillEnd) {
    Tree tree;
    ASSERT_EQ("", tree.launch(1, 2));
    static const Tree* current;  // for the probe, which takes no context
    static DWORD vanishing;
    current = &tree;
    vanishing = tree.childrenOf(tree.rootPid()).at(0);
    const DWORD other = tree.childrenOf(tree.rootPid()).at(1);
    // A process object that some handle still holds can be opened after it has
    // ended: the tree lets go of this one first.
    tree.release(vanishing);
    rw::treeKillProbe = [](DWORD pid) {
        if (pid == current->rootPid()) {
            wineutil::killById(vanishing);
            waitUntilUnopenable(vanishing);
        }
    };

    const long result = killAllChild(tree.rootPid());
    rw::treeKillProbe = nullptr;

    SetLastError(0);
    HANDLE again = OpenProcess(0x1F0FFF, TRUE, vanishing);
    ASSERT_EQ(nullptr, again) << "the vanished child can no longer be opened";
    const DWORD openError = GetLastError();
    ASSERT_NE(0u, openError);
    EXPECT_EQ(static_cast<long>(openError), result);
    HANDLE otherHandle = tree.node(other)->handle;
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(otherHandle, 10000));
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(otherHandle, &code);
    EXPECT_EQ(0u, code);
    EXPECT_TRUE(tree.rootRunning());
}

// Id 0 lists every process. The count is compared with a raw class-5 snapshot
// taken just before and just after; processes may start or end in between (the
// platform's own services, other tests' processes), so a pass counts only when
// the two raw counts agree, and a few passes are allowed for that to happen.
TEST_F(TreeKill, CountsEveryProcessForIdZero) {
    bool compared = false;
    for (int pass = 0; pass < 20 && !compared; ++pass) {
        const wineutil::RawSnapshot before = rawProcessSnapshot();
        const unsigned long counted = numberOfChilds(0);
        const jint native = childProcessesCount(0);
        const wineutil::RawSnapshot after = rawProcessSnapshot();
        ASSERT_TRUE(before.ok() && after.ok());
        if (before.processes.size() != after.processes.size()) continue;
        compared = true;
        EXPECT_EQ(before.processes.size(), counted);
        EXPECT_EQ(static_cast<jint>(before.processes.size()), native);
    }
    EXPECT_TRUE(compared) << "the number of processes never held still between two snapshots";
}

}  // namespace
