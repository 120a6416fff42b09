// Cost of the tree kill per process ended, under Wine.
//
// A tree of 30 processes below a launched root (treeproc.exe 2 5: five
// children with five children each, three levels with the root) is ended with
// killAllChild; its time divided by the number of processes it ended is set
// against the least that ending one process by id from a fresh listing can
// cost: one raw class-5 snapshot (into a buffer that is already large enough)
// plus one TerminateProcess, timed per process over a tree of the same shape.
// Each round uses fresh trees; the median over the rounds is reported.
//
// Work: the snapshots one tree kill takes (class-5 calls, counted by a shim
// around the bound service entry point in a round of its own, so that the
// timed rounds run without it). Each level lists its children once, and each
// confirmed child costs a walk up its ancestors, one snapshot per step.
//
// Run: ninja -C <builddir> bench   (or wine treekill_bench.exe in the bin dir)
#include <windows.h>

#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

#include "runwarden/natives/natives.h"
#include "runwarden/procinfo/backend.h"
#include "runwarden/procinfo/snapshot.h"
#include "runwarden/procinfo/win32ext.h"
#include "treeutil.h"
#include "wineutil.h"

namespace {

constexpr DWORD kDepth = 2, kFanout = 5;  // 5 + 25 = 30 processes below the root
constexpr int kRounds = 5;

rw::NtQuerySystemInformationFn realQuery;
volatile LONG snapshotCalls;

LONG WINAPI countingQuery(ULONG infoClass, void* buffer, ULONG length, ULONG* returned) {
    if (infoClass == 5) InterlockedIncrement(&snapshotCalls);
    return realQuery(infoClass, buffer, length, returned);
}

double now() {
    static const double ticksPerSecond = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / ticksPerSecond;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

bool launch(treeutil::Tree* tree) {
    const std::string why = tree->launch(kDepth, kFanout, 120000);
    if (!why.empty()) fprintf(stderr, "tree: %s\n", why.c_str());
    return why.empty();
}

// One tree kill; microseconds per process ended, and how many it ended.
bool timeTreeKill(double* microsPerProcess, size_t* ended) {
    treeutil::Tree tree;
    if (!launch(&tree)) return false;
    const std::vector<DWORD> below = treeutil::rawDescendants(wineutil::rawProcessSnapshot(), tree.rootPid());
    const double start = now();
    const long result = killAllChild(tree.rootPid());
    const double seconds = now() - start;
    const std::vector<DWORD> left = treeutil::rawDescendants(wineutil::rawProcessSnapshot(), tree.rootPid());
    if (result != 0 || !left.empty() || !tree.rootRunning()) {
        fprintf(stderr, "tree kill: result %ld, %u processes left below the root\n", result,
                static_cast<unsigned>(left.size()));
        return false;
    }
    *ended = below.size();
    *microsPerProcess = seconds * 1e6 / static_cast<double>(below.size());
    return true;
}

// One raw snapshot plus one TerminateProcess per process of a fresh tree;
// microseconds per process. The handles are opened beforehand: the floor is
// the listing and the termination themselves.
bool timeFloor(std::vector<BYTE>* buffer, double* microsPerProcess) {
    treeutil::Tree tree;
    if (!launch(&tree)) return false;
    std::vector<HANDLE> handles;
    for (DWORD pid : treeutil::rawDescendants(wineutil::rawProcessSnapshot(), tree.rootPid())) {
        HANDLE h = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
        if (h) handles.push_back(h);
    }
    LONG status = 0;
    const double start = now();
    for (HANDLE h : handles) {
        ULONG returned = 0;
        status |= realQuery(5, buffer->data(), static_cast<ULONG>(buffer->size()), &returned);
        TerminateProcess(h, 0);
    }
    const double seconds = now() - start;
    for (HANDLE h : handles) CloseHandle(h);
    if (status != 0 || handles.empty()) {
        fprintf(stderr, "floor: status %lx, %u processes\n", static_cast<unsigned long>(status),
                static_cast<unsigned>(handles.size()));
        return false;
    }
    *microsPerProcess = seconds * 1e6 / static_cast<double>(handles.size());
    return true;
}

}  // namespace

int main() {
    if (Win32Ext_VersionOK() != 1 || rw::backendMode != rw::kBackendNative) {
        fprintf(stderr, "the native back end is not available\n");
        return 1;
    }
    realQuery = rw::nativeServices.querySystemInformation;

    // Work: snapshots of one tree kill, counted in a round of its own.
    size_t ended = 0;
    double ignored = 0;
    rw::nativeServices.querySystemInformation = countingQuery;
    snapshotCalls = 0;
    if (!timeTreeKill(&ignored, &ended)) return 1;
    const long snapshots = snapshotCalls;
    rw::nativeServices.querySystemInformation = realQuery;

    // A buffer the raw snapshot never outgrows while the trees run.
    std::vector<BYTE> buffer(rw::snapshotSizeHint + 256 * 1024);

    std::vector<double> killMicros, floorMicros, ratios;
    for (int round = 0; round < kRounds; ++round) {
        double kill = 0, floor = 0;
        // Alternate the order, so that neither always runs on a freshly busy system.
        const bool floorFirst = round % 2 != 0;
        if (floorFirst && !timeFloor(&buffer, &floor)) return 1;
        if (!timeTreeKill(&kill, &ended)) return 1;
        if (!floorFirst && !timeFloor(&buffer, &floor)) return 1;
        killMicros.push_back(kill);
        floorMicros.push_back(floor);
        ratios.push_back(kill / floor);
    }

    DWORD processes = 0;
    GetNumberOfProcesses(&processes);
    printf("tree of %u processes below the root (depth %lu, fanout %lu); %lu processes in the system\n",
           static_cast<unsigned>(ended), static_cast<unsigned long>(kDepth), static_cast<unsigned long>(kFanout),
           static_cast<unsigned long>(processes));
    printf("%d rounds, median per process ended:\n", kRounds);
    printf("  tree kill                          %10.1f us\n", median(killMicros));
    printf("  raw snapshot + TerminateProcess    %10.1f us\n", median(floorMicros));
    printf("  ratio                              %10.2f\n", median(ratios));
    printf("snapshots taken by one tree kill: %ld (%.2f per process ended)\n", snapshots,
           static_cast<double>(snapshots) / static_cast<double>(ended));
    return 0;
}
