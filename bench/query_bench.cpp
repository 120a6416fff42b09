// Cost of the snapshot queries on the native back end, under Wine.
//
// Time: GetParentProcessId, GetChildProcesses and GetNumberOfProcesses against
// the raw class-5 call they are built on (NtQuerySystemInformation with a
// buffer that is already large enough, allocated once). Rounds alternate the
// four in rotating order; each round gives a ratio per query, and the median
// ratio over all rounds is reported. Goal: within 1.10 times the raw call.
//
// Work per query once the size hint has grown: service calls, counted by a shim
// around the bound service entry point, and heap allocations and releases,
// counted by swapping this executable's import entries for HeapAlloc and
// HeapFree (the library core is linked in statically, so its heap calls go
// through them). Goal: exactly one service call and one allocation per query.
//
// Run: ninja -C <builddir> bench   (or wine query_bench.exe in the bin dir)
#include <windows.h>

#include <stdio.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "runwarden/procinfo/backend.h"
#include "runwarden/procinfo/snapshot.h"
#include "runwarden/procinfo/win32ext.h"
#include "wineutil.h"

// The import address table slots of this executable.
extern "C" void* heapAllocSlot asm("__imp__HeapAlloc@12");
extern "C" void* heapFreeSlot asm("__imp__HeapFree@12");

namespace {

using HeapAllocFn = LPVOID(WINAPI*)(HANDLE, DWORD, SIZE_T);
using HeapFreeFn = BOOL(WINAPI*)(HANDLE, DWORD, LPVOID);

rw::NtQuerySystemInformationFn realQuery;
HeapAllocFn realHeapAlloc;
HeapFreeFn realHeapFree;
volatile LONG serviceCalls, allocations, releases;

LONG WINAPI countingQuery(ULONG infoClass, void* buffer, ULONG length, ULONG* returned) {
    InterlockedIncrement(&serviceCalls);
    return realQuery(infoClass, buffer, length, returned);
}

LPVOID WINAPI countingHeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
    InterlockedIncrement(&allocations);
    return realHeapAlloc(heap, flags, bytes);
}

BOOL WINAPI countingHeapFree(HANDLE heap, DWORD flags, LPVOID p) {
    InterlockedIncrement(&releases);
    return realHeapFree(heap, flags, p);
}

void* swapSlot(void** slot, void* replacement) {
    DWORD old;
    if (!VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old)) return nullptr;
    void* previous = *slot;
    *slot = replacement;
    VirtualProtect(slot, sizeof *slot, old, &old);
    return previous;
}

void resetCounters() {
    serviceCalls = 0;
    allocations = 0;
    releases = 0;
}

double now() {
    static LARGE_INTEGER freq = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / static_cast<double>(freq.QuadPart);
}

double microsPerCall(const std::function<void()>& call, int n) {
    const double start = now();
    for (int i = 0; i < n; ++i) call();
    return (now() - start) * 1e6 / n;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

struct Query {
    const char* name;
    std::function<void()> call;
    std::vector<double> micros, ratios;
};

}  // namespace

int main() {
    if (Win32Ext_VersionOK() != 1 || rw::backendMode != rw::kBackendNative) {
        fprintf(stderr, "the native back end is not available\n");
        return 1;
    }
    // A few more processes than an idle prefix has, ended by id on exit.
    std::vector<wineutil::Child> children;
    for (int i = 0; i < 8; ++i) children.push_back(wineutil::childproc({L"sleep"}));

    const DWORD self = GetCurrentProcessId();
    static DWORD ids[1024];
    DWORD value = 0, count = 0;
    ULONG failures = 0;

    realQuery = rw::nativeServices.querySystemInformation;
    rw::nativeServices.querySystemInformation = countingQuery;
    realHeapAlloc = reinterpret_cast<HeapAllocFn>(swapSlot(&heapAllocSlot, reinterpret_cast<void*>(countingHeapAlloc)));
    realHeapFree = reinterpret_cast<HeapFreeFn>(swapSlot(&heapFreeSlot, reinterpret_cast<void*>(countingHeapFree)));
    if (!realHeapAlloc || !realHeapFree) {
        fprintf(stderr, "cannot hook the heap imports\n");
        return 1;
    }

    std::vector<Query> queries = {
        {"GetParentProcessId", [&] { failures += GetParentProcessId(self, &value) != 0; }, {}, {}},
        {"GetChildProcesses", [&] { failures += GetChildProcesses(self, ids, 1024, &count) != 0; }, {}, {}},
        {"GetNumberOfProcesses", [&] { failures += GetNumberOfProcesses(&count) != 0; }, {}, {}},
    };

    // Growth: a hint that is too small costs one more call and allocation, once.
    rw::snapshotSizeHint = 0;
    resetCounters();
    queries[2].call();
    printf("growth from a zero hint: %ld service calls, %ld allocations, %ld releases; hint now %lu\n",
           static_cast<long>(serviceCalls), static_cast<long>(allocations), static_cast<long>(releases),
           static_cast<unsigned long>(rw::snapshotSizeHint));

    // Steady state.
    constexpr int kCountedCalls = 200;
    bool countsMet = true;
    printf("\n%-22s %14s %14s %14s\n", "per query (steady)", "service calls", "allocations", "releases");
    for (Query& q : queries) {
        resetCounters();
        for (int i = 0; i < kCountedCalls; ++i) q.call();
        const double calls = static_cast<double>(serviceCalls) / kCountedCalls;
        const double allocs = static_cast<double>(allocations) / kCountedCalls;
        const double frees = static_cast<double>(releases) / kCountedCalls;
        printf("%-22s %14.3f %14.3f %14.3f\n", q.name, calls, allocs, frees);
        countsMet = countsMet && calls == 1.0 && allocs == 1.0 && frees == 1.0;
    }

    // Time. The raw call gets a buffer of the size the library now starts with.
    rw::nativeServices.querySystemInformation = realQuery;  // no shim in the timed path
    std::vector<BYTE> buffer(rw::snapshotSizeHint + 1);
    LONG rawStatus = 0;
    auto raw = [&] {
        ULONG returned = 0;
        rawStatus |= realQuery(5, buffer.data(), static_cast<ULONG>(buffer.size()), &returned);
    };
    constexpr int kRounds = 21, kCallsPerBlock = 300;
    std::vector<double> rawMicros;
    for (int i = 0; i < 50; ++i) {  // warm up
        raw();
        for (Query& q : queries) q.call();
    }
    for (int round = 0; round < kRounds; ++round) {
        double rawThisRound = 0;
        std::vector<double> thisRound(queries.size());
        // Rotate the order so that no query always follows the same one.
        for (size_t k = 0; k <= queries.size(); ++k) {
            const size_t slot = (k + round) % (queries.size() + 1);
            if (slot == queries.size()) rawThisRound = microsPerCall(raw, kCallsPerBlock);
            else thisRound[slot] = microsPerCall(queries[slot].call, kCallsPerBlock);
        }
        rawMicros.push_back(rawThisRound);
        for (size_t i = 0; i < queries.size(); ++i) {
            queries[i].micros.push_back(thisRound[i]);
            queries[i].ratios.push_back(thisRound[i] / rawThisRound);
        }
    }

    DWORD processes = 0;
    GetNumberOfProcesses(&processes);
    printf("\n%lu processes; %d rounds of %d calls each; median of the rounds\n", static_cast<unsigned long>(processes),
           kRounds, kCallsPerBlock);
    printf("%-22s %12s %10s\n", "call", "us per call", "x raw");
    printf("%-22s %12.2f %10s\n", "raw class 5", median(rawMicros), "1.00");
    bool timeMet = true;
    for (Query& q : queries) {
        const double ratio = median(q.ratios);
        printf("%-22s %12.2f %10.3f\n", q.name, median(q.micros), ratio);
        timeMet = timeMet && ratio <= 1.10;
    }
    printf("\ngoal, within 1.10x the raw call: %s\n", timeMet ? "met" : "missed");
    printf("goal, one service call and one allocation per query: %s\n", countsMet ? "met" : "missed");
    if (failures || rawStatus) printf("note: %lu queries failed, raw status bits %lx\n", failures, rawStatus);

    swapSlot(&heapAllocSlot, reinterpret_cast<void*>(realHeapAlloc));
    swapSlot(&heapFreeSlot, reinterpret_cast<void*>(realHeapFree));
    return 0;
}
