// POSIX fault guard for the host32 build: SIGSEGV, SIGBUS, SIGILL and SIGFPE
// handled on an alternate stack (a stack overflow leaves no room on the thread's
// own), jumping back to the guard while a guarded call runs on that thread and
// chained to the previous handler otherwise. The jump out of a signal handler
// leaves the x87 control word and MXCSR as the fault left them: both are
// restored, since a JVM checks them after every native call.
#include <setjmp.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <mutex>

#include "faultguard.h"

namespace rw {

namespace {

const int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE};
struct sigaction previous[sizeof kSignals / sizeof kSignals[0]];
std::once_flag installed;

thread_local sigjmp_buf* activeJump = nullptr;

// The alternate stack the guard set up for this thread, if it had none. A
// thread's alternate stack cannot be freed while it is set: the thread's end
// unsets it (if it is still the one in place) and frees it, so that a thread
// pool does not lose one per thread.
struct AlternateStack {
    void* memory = nullptr;
    ~AlternateStack() {
        if (!memory) return;
        stack_t current;
        if (sigaltstack(nullptr, &current) == 0 && current.ss_sp == memory && !(current.ss_flags & SS_DISABLE)) {
            stack_t off;
            memset(&off, 0, sizeof off);
            off.ss_flags = SS_DISABLE;
            if (sigaltstack(&off, nullptr) != 0) return;  // still in use: keep it rather than free it
        }
        free(memory);
    }
};
thread_local AlternateStack alternateStack;

void chain(int sig, siginfo_t* info, void* context) {
    for (size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i) {
        if (kSignals[i] != sig) continue;
        const struct sigaction& p = previous[i];
        if (p.sa_flags & SA_SIGINFO) {
            if (p.sa_sigaction) p.sa_sigaction(sig, info, context);
            return;
        }
        if (p.sa_handler == SIG_IGN) return;
        if (p.sa_handler == SIG_DFL) {
            signal(sig, SIG_DFL);  // returning re-executes the fault, which now ends the process
            return;
        }
        p.sa_handler(sig);
        return;
    }
}

void onSignal(int sig, siginfo_t* info, void* context) {
    sigjmp_buf* jump = activeJump;
    if (jump) {
        activeJump = nullptr;
        siglongjmp(*jump, 1);
    }
    chain(sig, info, context);
}

void install() {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_sigaction = onSignal;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    sigemptyset(&sa.sa_mask);
    for (size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i) sigaction(kSignals[i], &sa, &previous[i]);
}

// Each thread that runs a guarded call and has no alternate stack gets one
// once; it lives as long as the thread.
bool ensureAlternateStack() {
    stack_t current;
    if (sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE)) return true;
    if (!alternateStack.memory) alternateStack.memory = malloc(64 * 1024);
    if (!alternateStack.memory) return false;
    stack_t ss;
    ss.ss_sp = alternateStack.memory;
    ss.ss_size = 64 * 1024;
    ss.ss_flags = 0;
    return sigaltstack(&ss, nullptr) == 0;
}

}  // namespace

bool runGuarded(void (*fn)(void*), void* arg) {
    if (activeJump || !ensureAlternateStack()) {
        fn(arg);
        return true;
    }
    std::call_once(installed, install);
    uint16_t x87;
    uint32_t mxcsr;
    __asm__ volatile("fnstcw %0" : "=m"(x87));
    __asm__ volatile("stmxcsr %0" : "=m"(mxcsr));
    sigjmp_buf jump;
    if (sigsetjmp(jump, 1) == 0) {
        activeJump = &jump;
        fn(arg);
        activeJump = nullptr;
        return true;
    }
    __asm__ volatile("fldcw %0" : : "m"(x87));
    __asm__ volatile("ldmxcsr %0" : : "m"(mxcsr));
    return false;
}

}  // namespace rw
