// Tree-kill soak under Wine: round after round, a tree of 21 processes (a root
// launched through executeProcess, 4 children, 16 grandchildren) is built and
// ended with the tree-kill native of the shipped runwarden.dll, while a second
// tree runs beside it for the whole soak.
//
// What "unrelated" means here: the second tree is started by this process with a
// raw CreateProcess and its root is never passed to the tree kill. It descends
// from this process just as the killed trees do (a tree that descends from
// nothing here is what the tree-kill test covers), but it lies outside the
// subtree of every root that is killed: its nodes are siblings and cousins of the
// killed ones. The tree kill must end exactly the subtree below the root it is
// given and nothing else: not the root, not the tree beside it.
//
// Every round counts survivors (processes below the root, as a raw snapshot
// lists them before the kill, that have not ended within the deadline, plus any
// process still listed below the root afterwards) and wrongly ended processes
// (the launched root, and every node of the tree beside it). The goal is 0 and 0.
//
// Sizes: 3 rounds by default; RW_RELIABILITY=full gives 50.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "reliability.h"
#include "treeutil.h"
#include "wineutil.h"

namespace {

using reliability::figure;

constexpr DWORD kDepth = 2, kFanout = 4;  // 1 + 4 + 16 processes
constexpr DWORD kEndDeadlineMs = 10000;

bool running(HANDLE h) { return WaitForSingleObject(h, 0) == WAIT_TIMEOUT; }

// The tree beside the killed ones: treeproc.exe started with a raw
// CreateProcessW. Holds a handle to every node, so that no id of it is reused
// while the soak runs, and ends every node by id on destruction.
class TreeBeside {
public:
    ~TreeBeside() { end(); }

    // Empty on success, otherwise what went wrong.
    std::string start(DWORD depth, DWORD fanout, DWORD timeoutMs = 60000) {
        if (!dir_.valid()) return "no temporary directory";
        root_ = wineutil::startChild(wineutil::commandLine({wineutil::helperPath(L"treeproc.exe"),
                                                           std::to_wstring(depth), std::to_wstring(fanout),
                                                           dir_.path()}));
        if (!root_.started()) return "CreateProcess failed with " + std::to_string(root_.error());
        const DWORD expected = treeutil::nodeCount(depth, fanout);
        const DWORD begin = GetTickCount();
        std::vector<treeutil::Record> records;
        for (;;) {
            std::vector<std::wstring> failures;
            records = treeutil::readRecords(dir_.path(), &failures);
            if (!failures.empty()) return "a node could not start its children";
            if (records.size() >= expected) break;
            if (!root_.running()) return "the root ended before the tree was ready";
            if (GetTickCount() - begin > timeoutMs) return "the tree beside was not ready in time";
            Sleep(20);  // polling the ready directory, bounded by the deadline above
        }
        for (const treeutil::Record& r : records) {
            if (r.pid == root_.pid()) continue;
            HANDLE h = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, r.pid);
            if (!h) return "node " + std::to_string(r.pid) + " cannot be opened";
            nodes_.push_back(h);
            pids_.push_back(r.pid);
        }
        return std::string();
    }

    DWORD size() const { return static_cast<DWORD>(nodes_.size()) + (root_.started() ? 1 : 0); }
    DWORD rootPid() const { return root_.pid(); }

    // Nodes of this tree, root included, that are no longer running.
    DWORD ended() const {
        DWORD n = root_.started() && !root_.running() ? 1 : 0;
        for (HANDLE h : nodes_) n += running(h) ? 0 : 1;
        return n;
    }

    void end() {
        for (DWORD pid : pids_) wineutil::killById(pid);
        for (HANDLE h : nodes_) CloseHandle(h);
        nodes_.clear();
        pids_.clear();
        root_.reset();  // ends the root by id and closes its handles
    }

private:
    wineutil::TempDir dir_;
    wineutil::Child root_;
    std::vector<HANDLE> nodes_;
    std::vector<DWORD> pids_;
};

struct Totals {
    DWORD rounds = 0, built = 0, ended = 0, survivors = 0, wronglyEnded = 0, nonZeroResults = 0;
};

TEST(Soak, EveryRoundEndsExactlyTheSubtreeBelowTheRoot) {
    reliability::Runwarden rw;
    ASSERT_EQ("", rw.load());
    rw.init(nullptr, nullptr);
    const DWORD rounds = reliability::bySize<DWORD>(3, 50);

    TreeBeside beside;
    ASSERT_EQ("", beside.start(2, 2));
    figure("soak: size %s, %lu rounds; killed tree %lu processes (depth %lu, fanout %lu); tree beside %lu processes",
           reliability::sizeName(), rounds, treeutil::nodeCount(kDepth, kFanout), kDepth, kFanout, beside.size());
    figure("soak | %5s | %5s | %12s | %5s | %9s | %13s | %7s", "round", "built", "below (snap)", "ended", "survivors",
           "wrongly ended", "kill ms");

    Totals total;
    for (DWORD round = 1; round <= rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        treeutil::Tree tree;
        ASSERT_EQ("", tree.launch(kDepth, kFanout, 60000));

        // Everything below the root as the platform lists it (the 20 nodes, and a
        // console host if the platform gave the root one), each held open.
        const wineutil::RawSnapshot before = wineutil::rawProcessSnapshot();
        ASSERT_TRUE(before.ok());
        const std::vector<DWORD> below = treeutil::rawDescendants(before, tree.rootPid());
        std::vector<HANDLE> watched;
        for (DWORD pid : below) {
            HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, pid);
            ASSERT_NE(nullptr, h) << "process " << pid << " below the root";
            watched.push_back(h);
        }
        for (const treeutil::Tree::Node& n : tree.nodes())
            ASSERT_NE(below.end(), std::find(below.begin(), below.end(), n.pid)) << "node " << n.pid << " is listed";

        const DWORD start = GetTickCount();
        const jint result = rw.killAllChildren(nullptr, nullptr, static_cast<jint>(tree.rootPid()));
        const DWORD killMs = GetTickCount() - start;

        DWORD survivors = 0, ended = 0;
        for (HANDLE h : watched) {
            if (WaitForSingleObject(h, kEndDeadlineMs) == WAIT_OBJECT_0) ++ended;
            else ++survivors;
            CloseHandle(h);
        }
        // Anything below the root that was not there before the kill counts too.
        for (DWORD pid : treeutil::rawDescendants(wineutil::rawProcessSnapshot(), tree.rootPid()))
            if (std::find(below.begin(), below.end(), pid) == below.end()) ++survivors;
        const DWORD wrong = (tree.rootRunning() ? 0 : 1) + beside.ended();

        figure("soak | %5lu | %5lu | %12u | %5lu | %9lu | %13lu | %7lu", round,
               static_cast<DWORD>(tree.nodes().size()) + 1, static_cast<unsigned>(below.size()), ended, survivors,
               wrong, killMs);
        EXPECT_EQ(0, result);
        EXPECT_EQ(0u, survivors);
        EXPECT_EQ(0u, wrong);
        ++total.rounds;
        total.built += static_cast<DWORD>(tree.nodes().size()) + 1;
        total.ended += ended;
        total.survivors += survivors;
        total.wronglyEnded += wrong;
        total.nonZeroResults += result != 0;
        // The tree ends its root (and anything left) by id here.
    }
    figure("soak: total %lu rounds, %lu processes built, %lu ended by the tree kill, survivors %lu, wrongly ended "
           "%lu, non-zero results %lu; tree beside still running: %s",
           total.rounds, total.built, total.ended, total.survivors, total.wronglyEnded, total.nonZeroResults,
           beside.ended() == 0 ? "all" : "NOT all");
    EXPECT_EQ(rounds, total.rounds);
}

}  // namespace
