// Descent test, tree kill and child count, and their natives.
#include <jni.h>
#include <string.h>

#include "../../platform/faultguard.h"
#include "../../platform/handle.h"
#include "../procinfo/snapshot.h"  // GetProcessInformation and the record's creation-time field
#include "../procinfo/win32ext.h"
#include "natives.h"
#include "treekill.h"

namespace rw {

volatile DWORD callerProcessId = 0;
void (*treeKillProbe)(DWORD pid) = nullptr;

namespace {

constexpr DWORD kProcessAllAccess = 0x1F0FFF;
constexpr DWORD kChildCapacity = 1024;

// The ids on the way from the process the caller named down to the current
// level of the tree kill.
struct PathNode {
    DWORD pid;
    const PathNode* up;
};

bool onPath(const PathNode* path, DWORD pid) {
    for (; path; path = path->up) {
        if (path->pid == pid) return true;
    }
    return false;
}

// The creation time in the process's record; false when there is no record to
// read (the process has ended, or the back end keeps no records).
bool creationTime(DWORD pid, ULONGLONG* time) {
    BYTE record[kFixedPartSize];
    if (GetProcessInformation(pid, record) != kStatusSuccess) return false;
    memcpy(time, record + kCreateTime, sizeof *time);
    return true;
}

// Ends every confirmed descendant of pid, deepest first. Recorded parent ids can
// loop when ids are reused: a child that is already on the path is neither
// descended into nor ended (it is an ancestor of this level), and the calling
// process is never ended, whatever its recorded ancestry says.
//
// Reuse also makes a process look like a child of a younger one: a process
// records its creator's id, and once the creator has ended, that id may be
// given to a new process. A listed child created before pid cannot be pid's
// child, so it and everything below it are left alone (under Wine the
// platform's own services record the id of a creator that ended long ago).
// Where creation times cannot be read (pid has ended, or the Toolhelp back end)
// the recorded parent id is all there is to go by.
long killTree(DWORD pid, const PathNode* path) {
    DWORD children[kChildCapacity];
    DWORD count = 0;
    if (GetChildProcesses(pid, children, kChildCapacity, &count) != 0) return -1;
    if (count == 0 || pid == 0) return -1;
    if (treeKillProbe) treeKillProbe(pid);
    const DWORD self = GetCurrentProcessId();
    ULONGLONG pidCreated = 0;
    const bool pidHasRecord = creationTime(pid, &pidCreated);
    long result = 0;
    for (DWORD i = 0; i < count; ++i) {
        const DWORD child = children[i];
        ULONGLONG childCreated = 0;
        if (pidHasRecord && creationTime(child, &childCreated) && childCreated < pidCreated) continue;
        if (!isMyChild(child) || child == self || onPath(path, child)) continue;
        const PathNode node = {child, path};
        killTree(child, &node);  // failures below this level do not decide its result
        UniqueHandle process(OpenProcess(kProcessAllAccess, TRUE, child));
        if (!process) {
            result = static_cast<long>(GetLastError());
            continue;
        }
        TerminateProcess(process.get(), 0);
    }
    return result;
}

void guardedTreeKill(void* pid) { killAllChild(*static_cast<DWORD*>(pid)); }

}  // namespace

}  // namespace rw

using namespace rw;

extern "C" {

// Walks up the recorded parent ids. A parent that can no longer be queried
// counts as descent. A walk that comes back to an id it has already met, or
// that passes kMaxAncestors steps, has not reached the caller: 0.
long isMyChild(unsigned long pid) {
    DWORD visited[kMaxAncestors];
    DWORD seen = 0;
    DWORD x = pid;
    for (;;) {
        DWORD parent = 0;
        if (GetParentProcessId(x, &parent) != 0) return 1;
        if (parent == callerProcessId) return 1;
        if (parent == 0) return 0;
        if (parent == pid || seen == kMaxAncestors) return 0;
        for (DWORD i = 0; i < seen; ++i) {
            if (visited[i] == parent) return 0;
        }
        visited[seen++] = parent;
        x = parent;
    }
}

long killAllChild(unsigned long pid) {
    callerProcessId = GetCurrentProcessId();
    const PathNode root = {pid, nullptr};
    return killTree(pid, &root);
}

unsigned long numberOfChilds(unsigned long pid) {
    DWORD children[kChildCapacity];
    DWORD count = 0;
    return GetChildProcesses(pid, children, kChildCapacity, &count) == 0 ? count : 0xFFFFFFFFul;
}

// 0 whatever the tree kill returned; -1 when a fault was caught while it ran.
JNIEXPORT jint JNICALL Java_com_velmora_util_exec_ScriptProcessManager_killAllChildren(JNIEnv*, jclass, jint pid) {
    DWORD id = static_cast<DWORD>(pid);
    return runGuarded(guardedTreeKill, &id) ? 0 : -1;
}

JNIEXPORT jint JNICALL Java_com_velmora_util_exec_ScriptProcessManager_childProcessesCount(JNIEnv*, jclass,
                                                                                          jint pid) {
    return static_cast<jint>(numberOfChilds(static_cast<DWORD>(pid)));
}

}  // extern "C"
