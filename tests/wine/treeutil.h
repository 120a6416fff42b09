// Process trees for the Wine tests and benchmarks of the tree kill, built by
// treeproc.exe (tests/wine/helpers/treeproc.cpp) below a root that the test
// launches through the library's own executeProcess, as the Java side would.
//
// A Tree holds a handle to every node it knows, so that no id of the tree can be
// reused while the test runs, and ends the whole tree by id on destruction,
// whatever the test's outcome.
#pragma once

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "runwarden/natives/natives.h"
#include "wineutil.h"

namespace treeutil {

// Processes in a tree of this shape, root included.
inline DWORD nodeCount(DWORD depth, DWORD fanout) {
    DWORD total = 0, level = 1;
    for (DWORD d = 0; d <= depth; ++d, level *= fanout) total += level;
    return total;
}

// Every process whose chain of recorded parent ids in snap leads to root, root
// excluded, parents before their children. The calling process and id 0 are
// never listed.
inline std::vector<DWORD> rawDescendants(const wineutil::RawSnapshot& snap, DWORD root) {
    std::vector<DWORD> out;
    std::vector<DWORD> frontier{root};
    while (!frontier.empty()) {
        const DWORD parent = frontier.back();
        frontier.pop_back();
        for (DWORD child : wineutil::rawChildren(snap, parent)) {
            if (child == 0 || child == GetCurrentProcessId() || child == root ||
                std::find(out.begin(), out.end(), child) != out.end())
                continue;
            out.push_back(child);
            frontier.push_back(child);
        }
    }
    return out;
}

// Node records of a ready directory: pid and the parent id the node recorded.
struct Record {
    DWORD pid;
    DWORD parent;
};

inline std::vector<Record> readRecords(const std::wstring& dir, std::vector<std::wstring>* failures = nullptr) {
    std::vector<Record> out;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return out;
    do {
        const std::wstring name = found.cFileName;
        if (failures && name.compare(0, 7, L"failed.") == 0) failures->push_back(name);
        Record r;
        std::string text;
        if (!wineutil::parseDecimal(name, &r.pid)) continue;
        if (!wineutil::readFileBytes(dir + L"\\" + name, &text) ||
            !wineutil::parseDecimal(std::wstring(text.begin(), text.end()), &r.parent))
            continue;
        out.push_back(r);
    } while (FindNextFileW(find, &found));
    FindClose(find);
    return out;
}

class Tree {
public:
    struct Node {
        DWORD pid;
        DWORD parent;   // as the node recorded it
        HANDLE handle;  // SYNCHRONIZE | PROCESS_QUERY_INFORMATION, held until the tree ends
    };

    Tree() = default;
    ~Tree() { end(); }
    Tree(const Tree&) = delete;
    Tree& operator=(const Tree&) = delete;

    // Launches "treeproc <depth> <fanout> <readydir>" through executeProcess (a
    // console of its own, no inherited handles) and waits until every node has
    // recorded itself. An empty result means success; otherwise it says what
    // went wrong.
    std::string launch(DWORD depth, DWORD fanout, DWORD timeoutMs = 30000) {
        if (!dir_.valid()) return "no temporary directory";
        const std::string cmd = "\"" + wineutil::narrow(wineutil::helperPath(L"treeproc.exe")) + "\" " +
                                std::to_string(depth) + " " + std::to_string(fanout) + " \"" +
                                wineutil::narrow(dir_.path()) + "\"";
        std::vector<char> line(cmd.begin(), cmd.end());
        line.push_back('\0');
        const unsigned long error = executeProcess(nullptr, line.data(), nullptr, nullptr, &root_);
        if (error != 0) return "executeProcess failed with " + std::to_string(error);
        return waitReady(nodeCount(depth, fanout), timeoutMs);
    }

    DWORD rootPid() const { return root_.dwProcessId; }
    HANDLE rootHandle() const { return root_.hProcess; }
    bool rootRunning() const { return root_.hProcess && WaitForSingleObject(root_.hProcess, 0) == WAIT_TIMEOUT; }
    // Every node below the root, in no particular order.
    const std::vector<Node>& nodes() const { return nodes_; }
    const Node* node(DWORD pid) const {
        for (const Node& n : nodes_)
            if (n.pid == pid) return &n;
        return nullptr;
    }
    // Nodes whose recorded parent is pid.
    std::vector<DWORD> childrenOf(DWORD pid) const {
        std::vector<DWORD> out;
        for (const Node& n : nodes_)
            if (n.parent == pid) out.push_back(n.pid);
        return out;
    }
    // A node without children of its own.
    DWORD leaf() const {
        for (const Node& n : nodes_)
            if (childrenOf(n.pid).empty()) return n.pid;
        return 0;
    }

    // Closes the tree's handle to a node, so that once the node has ended its id
    // can no longer be opened. The tree still ends it by id if it runs.
    void release(DWORD pid) {
        for (Node& n : nodes_)
            if (n.pid == pid && n.handle) {
                CloseHandle(n.handle);
                n.handle = nullptr;
            }
    }

    // Ends every process below the root that a snapshot or the records show, then
    // the root, each by id, and waits for them. Safe to call more than once.
    void end() {
        if (!root_.hProcess) return;
        std::vector<DWORD> ids = rawDescendants(wineutil::rawProcessSnapshot(), root_.dwProcessId);
        for (const Node& n : nodes_)
            if (std::find(ids.begin(), ids.end(), n.pid) == ids.end()) ids.push_back(n.pid);
        for (const Record& r : readRecords(dir_.path()))
            if (r.pid != root_.dwProcessId && std::find(ids.begin(), ids.end(), r.pid) == ids.end())
                ids.push_back(r.pid);
        for (DWORD pid : ids) wineutil::killById(pid);
        wineutil::killById(root_.dwProcessId);
        for (const Node& n : nodes_)
            if (n.handle) CloseHandle(n.handle);
        nodes_.clear();
        CloseHandle(root_.hThread);
        CloseHandle(root_.hProcess);
        root_ = RunwardenProcessInformation{};
    }

private:
    std::string waitReady(DWORD expected, DWORD timeoutMs) {
        const DWORD start = GetTickCount();
        std::vector<Record> records;
        for (;;) {
            std::vector<std::wstring> failures;
            records = readRecords(dir_.path(), &failures);
            if (!failures.empty()) return "a node could not start its children: " + wineutil::narrow(failures[0]);
            if (records.size() >= expected) break;
            if (WaitForSingleObject(root_.hProcess, 0) == WAIT_OBJECT_0)
                return "the root ended before the tree was ready";
            if (GetTickCount() - start > timeoutMs)
                return "only " + std::to_string(records.size()) + " of " + std::to_string(expected) + " nodes ready";
            Sleep(20);  // polling the ready directory, bounded by the deadline above
        }
        bool sawRoot = false;
        for (const Record& r : records) {
            if (r.pid == root_.dwProcessId) {
                sawRoot = true;
                continue;
            }
            HANDLE h = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, r.pid);
            if (!h) return "node " + std::to_string(r.pid) + " cannot be opened";
            nodes_.push_back(Node{r.pid, r.parent, h});
        }
        if (!sawRoot) return "the root did not record itself";
        return std::string();
    }

    wineutil::TempDir dir_;
    RunwardenProcessInformation root_ = {};
    std::vector<Node> nodes_;
};

}  // namespace treeutil
