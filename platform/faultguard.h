// The fault guard: runs a function and turns any fault it raises (access
// violation, stack overflow, any other) into a result instead of the end of
// the process. It acts only while a guarded call runs on the calling thread;
// every other fault goes on to whoever handled it before.
#pragma once

namespace rw {

// True when fn(arg) returned; false when a fault was caught while it ran. After
// a caught fault the thread's stack is usable again, including its guard page
// after an overflow, so a later guarded call on the same thread is guarded too.
// Calls may nest only in the sense that an inner call is not guarded again.
bool runGuarded(void (*fn)(void*), void* arg);

}  // namespace rw
