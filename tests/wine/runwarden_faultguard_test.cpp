// The fault guard of the native killAllChildren under Wine: faults raised
// inside a tree kill (provoked through the tree kill's probe) become -1 and
// leave the thread usable; exceptions outside a guarded call go on to the
// handlers that were there before.
#include <gtest/gtest.h>
#include "jninatives.h"
#include <intrin.h>
#include <jni.h>

#include <string>

#include "runwarden/natives/natives.h"
#include "runwarden/natives/treekill.h"
#include "runwarden/procinfo/backend.h"
#include "treeutil.h"
#include "wineutil.h"

namespace {

using treeutil::Tree;

jint killAllChildren(DWORD pid) {
    return Java_com_velmora_util_exec_ScriptProcessManager_killAllChildren(nullptr, nullptr, static_cast<jint>(pid));
}

bool running(HANDLE process) { return WaitForSingleObject(process, 0) == WAIT_TIMEOUT; }

volatile LONG probeCalls = 0;

// ---------------------------------------------------------------- faults

volatile int recursionStop = -1;  // never reached: keeps the recursion from looking infinite to the compiler

__attribute__((noinline)) int recurse(int depth) {
    volatile char frame[512];
    frame[0] = static_cast<char>(depth);
    if (depth == recursionStop) return frame[0];
    return recurse(depth + 1) + frame[0];
}

volatile int* volatile unmapped = reinterpret_cast<volatile int*>(0x10);
volatile int zero = 0;

void overflowStack(DWORD) {
    InterlockedIncrement(&probeCalls);
    recurse(0);
}
void readUnmapped(DWORD) {
    InterlockedIncrement(&probeCalls);
    (void)*unmapped;
}
void divideByZero(DWORD) {
    InterlockedIncrement(&probeCalls);
    int dividend = 1;
    __asm__ volatile("cltd\n\tidivl %1" : "+a"(dividend) : "r"(zero) : "edx");  // a real division, not folded
}
void illegalInstruction(DWORD) {
    InterlockedIncrement(&probeCalls);
    __asm__ volatile("ud2");
}
void softwareException(DWORD) {
    InterlockedIncrement(&probeCalls);
    RaiseException(0xE0520001, 0, 0, nullptr);  // an application's own error code
}

class FaultGuard : public ::testing::Test {
protected:
    void SetUp() override {
        probeCalls = 0;
        Java_com_velmora_util_exec_ScriptProcessManager_init(nullptr, nullptr);
        ASSERT_EQ(rw::kBackendNative, rw::backendMode);
    }
    void TearDown() override { rw::treeKillProbe = nullptr; }
};

// Each fault comes before anything is ended, so the tree stays whole until the
// last, unprovoked tree kill, which shows the thread is usable again.
TEST_F(FaultGuard, FaultsInsideATreeKillGiveMinusOneAndTheThreadGoesOn) {
    Tree tree;
    ASSERT_EQ("", tree.launch(1, 1));
    const Tree::Node& child = tree.nodes().at(0);

    struct Case {
        const char* what;
        void (*probe)(DWORD);
    };
    const Case cases[] = {
        {"stack overflow", overflowStack},
        {"second stack overflow on the same thread", overflowStack},
        {"access violation", readUnmapped},
        {"integer division by zero", divideByZero},
        {"illegal instruction", illegalInstruction},
        {"software exception", softwareException},
        {"stack overflow after other faults", overflowStack},
    };
    for (const Case& c : cases) {
        const LONG callsBefore = probeCalls;
        rw::treeKillProbe = c.probe;
        EXPECT_EQ(-1, killAllChildren(tree.rootPid())) << c.what;
        EXPECT_EQ(callsBefore + 1, probeCalls) << c.what << ": the fault came from the probe";
        EXPECT_TRUE(running(child.handle)) << c.what;
    }

    rw::treeKillProbe = nullptr;
    EXPECT_EQ(0, killAllChildren(tree.rootPid()));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(child.handle, 10000));
    EXPECT_TRUE(tree.rootRunning());
}

// ---------------------------------------------------------------- passing on

// A structured exception handler of the test's own, registered on the thread's
// handler chain (GCC has no __try): it resolves an access violation of the load
// in loadThroughEax by pointing the faulting register at readable memory and
// resuming, so the load runs again and succeeds.
struct SehRecord {
    SehRecord* next;
    void* handler;
};

volatile LONG ownHandlerCalls = 0;
int readable = 42;

extern "C" EXCEPTION_DISPOSITION __cdecl ownHandler(EXCEPTION_RECORD* record, void*, CONTEXT* context, void*) {
    if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) return ExceptionContinueSearch;
    if (record->ExceptionCode != EXCEPTION_ACCESS_VIOLATION || context->Eax != 0) return ExceptionContinueSearch;
    InterlockedIncrement(&ownHandlerCalls);
    context->Eax = reinterpret_cast<DWORD>(&readable);
    return ExceptionContinueExecution;
}

// Loads through a null pointer under ownHandler; gives the value loaded.
__attribute__((noinline)) int loadThroughNullUnderOwnHandler() {
    SehRecord record = {reinterpret_cast<SehRecord*>(__readfsdword(0)), reinterpret_cast<void*>(ownHandler)};
    __writefsdword(0, reinterpret_cast<DWORD>(&record));
    int value;
    __asm__ volatile("movl (%%eax), %0" : "=r"(value) : "a"(0) : "memory");
    __writefsdword(0, reinterpret_cast<DWORD>(record.next));
    return value;
}

HANDLE probeEntered;
HANDLE probeRelease;

void waitInsideTheGuard(DWORD) {
    InterlockedIncrement(&probeCalls);
    SetEvent(probeEntered);
    WaitForSingleObject(probeRelease, 30000);
}

DWORD WINAPI guardedTreeKillThread(void* pid) {
    return static_cast<DWORD>(killAllChildren(*static_cast<DWORD*>(pid)));
}

TEST_F(FaultGuard, ExceptionsOutsideAGuardedCallReachTheirOwnHandlers) {
    Tree tree;
    ASSERT_EQ("", tree.launch(1, 1));
    DWORD root = tree.rootPid();
    const Tree::Node& child = tree.nodes().at(0);
    // A guarded call has run (and found only a leaf), so the guard's handler is in place.
    EXPECT_EQ(0, killAllChildren(child.pid));

    ownHandlerCalls = 0;
    EXPECT_EQ(42, loadThroughNullUnderOwnHandler()) << "no guarded call running";
    EXPECT_EQ(1, ownHandlerCalls);

    // A guarded call in progress on another thread guards that thread only.
    probeEntered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    probeRelease = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(probeEntered && probeRelease);
    rw::treeKillProbe = waitInsideTheGuard;
    HANDLE thread = CreateThread(nullptr, 0, guardedTreeKillThread, &root, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    const bool entered = WaitForSingleObject(probeEntered, 30000) == WAIT_OBJECT_0;
    EXPECT_TRUE(entered);
    if (entered) {
        EXPECT_EQ(42, loadThroughNullUnderOwnHandler()) << "a guarded call running on another thread";
        EXPECT_EQ(2, ownHandlerCalls);
    }
    SetEvent(probeRelease);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 30000));
    DWORD result = 1;
    GetExitCodeThread(thread, &result);
    EXPECT_EQ(0u, result) << "the other thread's tree kill went on undisturbed";
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(child.handle, 10000));
    CloseHandle(thread);
    CloseHandle(probeEntered);
    CloseHandle(probeRelease);
}

}  // namespace
