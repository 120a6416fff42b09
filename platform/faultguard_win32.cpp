// Win32 fault guard: a vectored exception handler that, while a guarded call
// runs on the faulting thread, jumps back to the guard's jump buffer. GCC has
// no __try; a vectored handler sees every exception first, so it must pass on
// (EXCEPTION_CONTINUE_SEARCH) everything outside a guarded call: a JVM raises
// and handles exceptions of its own on its threads.
#include <intrin.h>
#include <setjmp.h>
#include <windows.h>

#include "faultguard.h"

extern "C" int __cdecl _resetstkoflw(void);  // msvcrt: re-arms the stack's guard page

namespace rw {

namespace {

struct GuardFrame {
    jmp_buf jump;
    volatile LONG code;
};

volatile LONG tlsSlot = -1;         // TLS index holding the thread's active GuardFrame
volatile LONG handlerInstalled = 0;

DWORD slot() {
    if (tlsSlot == -1) {
        const DWORD fresh = TlsAlloc();
        if (InterlockedCompareExchange(&tlsSlot, static_cast<LONG>(fresh), -1) != -1) TlsFree(fresh);
    }
    return static_cast<DWORD>(tlsSlot);
}

// Informational codes (debug output, thread naming) are not faults.
bool isFault(DWORD code) { return (code & 0xC0000000u) == 0xC0000000u || (code & 0xC0000000u) == 0x80000000u; }

LONG CALLBACK onException(EXCEPTION_POINTERS* info) {
    if (tlsSlot == -1) return EXCEPTION_CONTINUE_SEARCH;
    auto* frame = static_cast<GuardFrame*>(TlsGetValue(static_cast<DWORD>(tlsSlot)));
    const DWORD code = info->ExceptionRecord->ExceptionCode;
    if (!frame || !isFault(code)) return EXCEPTION_CONTINUE_SEARCH;
    TlsSetValue(static_cast<DWORD>(tlsSlot), nullptr);
    frame->code = static_cast<LONG>(code);
    longjmp(frame->jump, 1);
}

}  // namespace

bool runGuarded(void (*fn)(void*), void* arg) {
    const DWORD index = slot();
    if (index == TLS_OUT_OF_INDEXES) {
        fn(arg);  // no guard can be set up; run unguarded rather than not at all
        return true;
    }
    if (TlsGetValue(index) != nullptr) {  // already inside a guarded call on this thread
        fn(arg);
        return true;
    }
    if (InterlockedCompareExchange(&handlerInstalled, 1, 0) == 0) AddVectoredExceptionHandler(1, onException);

    GuardFrame frame;
    frame.code = 0;
    // The SEH chain head as it is here: the jump back abandons frames that the
    // faulting code registered below this point.
    const DWORD sehHead = __readfsdword(0);
    if (setjmp(frame.jump) == 0) {
        TlsSetValue(index, &frame);
        fn(arg);
        TlsSetValue(index, nullptr);
        return true;
    }
    __writefsdword(0, sehHead);
    if (frame.code == static_cast<LONG>(EXCEPTION_STACK_OVERFLOW)) _resetstkoflw();
    return false;
}

}  // namespace rw
