// The fault guard and the tree-kill native that relies on it: faults raised
// inside a guarded call become a result, on the faulting thread only; the
// thread (and its floating-point state) is usable afterwards; faults outside a
// guarded call go on to the handler installed before.
//
// Faults are provoked for real: writes through a null pointer and into a page
// without access, and unbounded recursion. Stack overflows run on threads of
// their own with a small stack, so that they are quick and bounded whatever
// the process's stack limit is.
#include <gtest/gtest.h>
#include "jninatives.h"
#include <jni.h>
#include <pthread.h>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif
#include <setjmp.h>
#include <signal.h>
#include <standin/control.h>
#include <stdint.h>
#include <sys/mman.h>
#include <unistd.h>

#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/faultguard.h"
#include "runwarden/natives/treekill.h"
#include "runwarden/procinfo/backend.h"


namespace {

// --- faults -----------------------------------------------------------------

// UBSan would report the null store itself: the fault must reach the signal
// handler instead.
__attribute__((noinline, no_sanitize("undefined"))) void writeThrough(void* p) {
    *static_cast<volatile int*>(p) = 1;
}

void writeThroughNull(void*) { writeThrough(nullptr); }

// A page that exists but grants no access.
void* inaccessiblePage() {
    static void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return page;
}

void writeToInaccessiblePage(void*) { writeThrough(inaccessiblePage()); }

// Never reached; read at run time, so that to the compiler the recursion has an
// end and it is not diagnosed as infinite.
volatile unsigned recursionLimit = ~0u;

// Each level hands its own frame to the next one, so the call can be neither a
// loop nor a tail call: every level keeps a frame until the stack runs out.
__attribute__((noinline)) unsigned descend(volatile unsigned char* above, unsigned depth) {
    volatile unsigned char frame[512];
    frame[0] = static_cast<unsigned char>(above[0] + 1);
    if (depth == recursionLimit) return frame[0];
    return descend(frame, depth + 1) + frame[0];
}

void overflowTheStack(void*) {
    volatile unsigned char start[1] = {0};
    descend(start, 0);
}

// Runs fn on a new thread with a small stack and waits for it.
void onSmallStack(const std::function<void()>& fn) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 512 * 1024);
    pthread_t thread;
    auto body = [](void* p) -> void* {
        (*static_cast<const std::function<void()>*>(p))();
        return nullptr;
    };
    ASSERT_EQ(0, pthread_create(&thread, &attr, body, const_cast<std::function<void()>*>(&fn)));
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
}

// --- floating-point control state --------------------------------------------

struct FpControl {
    uint16_t x87;
    uint32_t mxcsr;
};

constexpr uint32_t kMxcsrFlags = 0x3F;  // sticky exception flags: status, not control

FpControl readFpControl() {
    FpControl c;
    __asm__ volatile("fnstcw %0" : "=m"(c.x87));
    __asm__ volatile("stmxcsr %0" : "=m"(c.mxcsr));
    c.mxcsr &= ~kMxcsrFlags;
    return c;
}

void writeFpControl(FpControl c) {
    __asm__ volatile("fldcw %0" : : "m"(c.x87));
    __asm__ volatile("ldmxcsr %0" : : "m"(c.mxcsr));
}

// --- fixtures ---------------------------------------------------------------

struct Fault {
    const char* name;
    void (*raise)(void*);
};

const Fault kFaults[] = {
    {"write through null", writeThroughNull},
    {"write to a page without access", writeToInaccessiblePage},
    {"stack overflow", overflowTheStack},
};

class FaultGuard : public ::testing::Test {
protected:
    void SetUp() override {
        standin::reset();
        rw::callerProcessId = 0;
        rw::treeKillProbe = nullptr;
        rw::backendMode = rw::kBackendNone;
        ASSERT_EQ(1ul, Win32Ext_VersionOK());
    }
    void TearDown() override { rw::treeKillProbe = nullptr; }

    static DWORD spawn(DWORD parent) {
        standin::ProcessSpec desc;
        desc.parent = parent;
        return standin::addProcess(desc);
    }

    static jint killAllChildren(DWORD pid) {
        return Java_com_velmora_util_exec_ScriptProcessManager_killAllChildren(nullptr, nullptr,
                                                                             static_cast<jint>(pid));
    }
};

TEST_F(FaultGuard, AReturningCallIsReportedAsReturned) {
    int calls = 0;
    EXPECT_TRUE(rw::runGuarded([](void* p) { ++*static_cast<int*>(p); }, &calls));
    EXPECT_EQ(1, calls);
}

TEST_F(FaultGuard, CatchesEachKindOfFaultAndTheThreadGoesOn) {
    for (const Fault& fault : kFaults) {
        SCOPED_TRACE(fault.name);
        onSmallStack([&] {
            EXPECT_FALSE(rw::runGuarded(fault.raise, nullptr));
            EXPECT_FALSE(rw::runGuarded(fault.raise, nullptr)) << "a second fault on the same thread";
            int calls = 0;
            EXPECT_TRUE(rw::runGuarded([](void* p) { ++*static_cast<int*>(p); }, &calls));
            EXPECT_EQ(1, calls);
        });
    }
    // The process's first thread too, for the faults that do not need a small stack.
    EXPECT_FALSE(rw::runGuarded(writeThroughNull, nullptr));
    EXPECT_FALSE(rw::runGuarded(writeToInaccessiblePage, nullptr));
}

// The jump out of the signal handler would leave the handler's default x87
// control word and MXCSR behind: the guard puts back what the caller had.
TEST_F(FaultGuard, RestoresTheFloatingPointControlStateAfterACaughtFault) {
    for (const Fault& fault : kFaults) {
        SCOPED_TRACE(fault.name);
        onSmallStack([&] {
            // 53-bit precision, all exceptions masked; SSE: flush to zero and
            // denormals are zero. Neither is the state a signal handler starts with.
            const FpControl caller = {0x027F, 0x9FC0};
            writeFpControl(caller);
            static void (*raise)(void*);
            raise = fault.raise;
            EXPECT_FALSE(rw::runGuarded(
                [](void*) {
                    writeFpControl({0x0C7F, 0x7F80});  // round toward zero on both units
                    raise(nullptr);
                },
                nullptr));
            const FpControl after = readFpControl();
            EXPECT_EQ(caller.x87, after.x87);
            EXPECT_EQ(caller.mxcsr, after.mxcsr);
        });
    }
}

// The tree-kill native: a fault while it runs becomes -1, whatever the tree
// kill had done by then, and the thread can run the tree kill again.
TEST_F(FaultGuard, TheTreeKillNativeTurnsAFaultIntoMinusOneAndWorksAfterwards) {
    const DWORD launched = spawn(standin::currentProcessId());
    const DWORD c1 = spawn(launched);
    const DWORD c2 = spawn(launched);
    const DWORD g2 = spawn(c2);
    static DWORD faultAt;
    static void (*raise)(void*);
    rw::treeKillProbe = [](DWORD pid) {
        if (pid == faultAt) raise(nullptr);
    };

    onSmallStack([&] {
        for (const Fault& fault : kFaults) {
            SCOPED_TRACE(fault.name);
            raise = fault.raise;
            faultAt = launched;  // right after the first listing: nothing has ended yet
            EXPECT_EQ(-1, killAllChildren(launched));
            EXPECT_EQ(-1, killAllChildren(launched)) << "a second fault on the same thread";
            EXPECT_TRUE(standin::terminations().empty());
        }
        // A fault one level down, after c1 has ended and before c2's child is handled.
        raise = overflowTheStack;
        faultAt = c2;
        EXPECT_EQ(-1, killAllChildren(launched));
        EXPECT_EQ(std::vector<DWORD>{c1}, standin::terminations());

        faultAt = 0;
        EXPECT_EQ(0, killAllChildren(launched));
        EXPECT_EQ((std::vector<DWORD>{c1, g2, c2}), standin::terminations());
    });
    EXPECT_TRUE(standin::alive(launched));
}

// Two threads in guarded calls at once: the fault of one is caught by its own
// guard, while the other's guard, active all along, neither catches it nor
// loses its own: its call runs to its end and its own later fault is caught.
TEST_F(FaultGuard, EachGuardCatchesOnlyTheFaultsOfItsOwnThread) {
    struct Shared {
        std::promise<void> firstInside, secondDone;
        bool firstReachedItsFault = false;
    } shared;
    bool firstResult = true, secondResult = true;

    std::thread first([&] {
        firstResult = rw::runGuarded(
            [](void* p) {
                auto* s = static_cast<Shared*>(p);
                s->firstInside.set_value();
                s->secondDone.get_future().wait();
                s->firstReachedItsFault = true;
                writeThroughNull(nullptr);
            },
            &shared);
    });
    std::future<void> inside = shared.firstInside.get_future();
    inside.wait();
    std::thread second([&] {
        secondResult = rw::runGuarded(writeThroughNull, nullptr);
        shared.secondDone.set_value();
    });
    second.join();
    first.join();

    EXPECT_FALSE(secondResult);
    EXPECT_TRUE(shared.firstReachedItsFault) << "the first guard did not take the second thread's fault";
    EXPECT_FALSE(firstResult);
}

#if defined(__SANITIZE_ADDRESS__)
// A thread that has no alternate signal stack gets one from the guard for its
// guarded calls; the memory goes back when the thread ends. The sanitizer gives
// every thread an alternate stack of its own: this thread drops it first, and
// sets a stack of the test's own before it ends, which the sanitizer then
// unmaps in place of whatever stack the thread had last.
TEST_F(FaultGuard, TheAlternateStackItSetsUpIsReleasedWhenTheThreadEnds) {
    void* guardsStack = nullptr;
    std::thread thread([&] {
        stack_t off = {};
        off.ss_flags = SS_DISABLE;
        ASSERT_EQ(0, sigaltstack(&off, nullptr));
        EXPECT_FALSE(rw::runGuarded(writeThroughNull, nullptr));
        stack_t current;
        ASSERT_EQ(0, sigaltstack(nullptr, &current));
        ASSERT_FALSE(current.ss_flags & SS_DISABLE) << "the guard set up an alternate stack";
        guardsStack = current.ss_sp;

        stack_t replacement = {};
        replacement.ss_size = 64 * 1024;
        replacement.ss_sp = mmap(nullptr, replacement.ss_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                                 -1, 0);
        ASSERT_NE(MAP_FAILED, replacement.ss_sp);
        ASSERT_EQ(0, sigaltstack(&replacement, nullptr));
    });
    thread.join();
    ASSERT_NE(nullptr, guardsStack);
    EXPECT_TRUE(__asan_address_is_poisoned(guardsStack)) << "freed memory is poisoned; a live block is not";
}
#endif

// --- faults outside a guarded call --------------------------------------------
// These run in a fresh process (a death-test child re-executed from the start),
// so that the handler installed before is the test's own: the guard takes over
// the signals on its first use and keeps what was there.

thread_local sigjmp_buf* ownJump = nullptr;
volatile sig_atomic_t ownHandlerCalls = 0;

void ownHandler(int, siginfo_t*, void*) {
    ++ownHandlerCalls;
    if (ownJump) siglongjmp(*ownJump, 1);
    _exit(90);  // a fault nobody expected
}

// True when a null write on this thread reached the test's own handler.
bool faultReachesOwnHandler() {
    sigjmp_buf jump;
    const sig_atomic_t before = ownHandlerCalls;
    if (sigsetjmp(jump, 1) == 0) {
        ownJump = &jump;
        writeThrough(nullptr);
        ownJump = nullptr;
        return false;
    }
    ownJump = nullptr;
    return ownHandlerCalls == before + 1;
}

[[noreturn]] void faultsOutsideAGuardedCall() {
    struct sigaction sa = {};
    sa.sa_sigaction = ownHandler;
    sa.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&sa.sa_mask);
    if (sigaction(SIGSEGV, &sa, nullptr) != 0) _exit(10);

    if (!rw::runGuarded([](void*) {}, nullptr)) _exit(11);  // the guard takes over here
    struct sigaction now;
    sigaction(SIGSEGV, nullptr, &now);
    if (now.sa_sigaction == ownHandler) _exit(12);  // the guard is not in place: nothing shown below

    // 1. No guarded call anywhere.
    if (!faultReachesOwnHandler()) _exit(20);

    // 2. A guarded call in progress on another thread.
    struct Shared {
        std::promise<void> inside, release;
    } shared;
    bool guardedResult = false;
    std::thread other([&] {
        guardedResult = rw::runGuarded(
            [](void* p) {
                auto* s = static_cast<Shared*>(p);
                s->inside.set_value();
                s->release.get_future().wait();
            },
            &shared);
    });
    shared.inside.get_future().wait();
    const bool reached = faultReachesOwnHandler();
    shared.release.set_value();
    other.join();
    if (!reached) _exit(30);
    if (!guardedResult) _exit(31);  // the other thread's guard reported a fault it never had

    // 3. And the guard still works on this thread afterwards.
    if (rw::runGuarded(writeThroughNull, nullptr)) _exit(40);
    _exit(0);
}

TEST(FaultGuardOutsideAGuardedCall, FaultsGoOnToTheHandlerInstalledBefore) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(faultsOutsideAGuardedCall(), ::testing::ExitedWithCode(0), "");
}

// Where the handler before was the default (or the sanitizer's), an unguarded
// fault still ends the process: the guard swallows nothing outside its calls.
TEST(FaultGuardOutsideAGuardedCall, AnUnguardedFaultStillEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            rw::runGuarded([](void*) {}, nullptr);
            writeThrough(nullptr);
        },
        "");
}

}  // namespace
