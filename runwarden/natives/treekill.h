// Internals of the tree kill shared with the tests.
#pragma once

#include <windows.h>

namespace rw {

// Id that the descent walk looks for among a process's ancestors: 0 until the
// first killAllChild, then the current process's id for good. Every writer
// stores the same value, so it needs no lock.
extern volatile DWORD callerProcessId;

// Test seam: when set, called with each process id whose children the tree kill
// has just listed, before any of them is handled. Tests provoke faults with it.
extern void (*treeKillProbe)(DWORD pid);

// Longest ancestor chain the descent walk follows.
constexpr unsigned kMaxAncestors = 1024;

}  // namespace rw
