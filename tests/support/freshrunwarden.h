// Puts the stand-in and runwarden's process-wide state back to what a freshly
// loaded runwarden sees: the stand-in's default system, no back end selected,
// no entry point bound, no caller recorded, no tree-kill probe, the first
// snapshot size. The library never clears bound entry points itself, so a test
// that needs "before init" or another back end starts here.
#pragma once

#include <standin/control.h>

#include "runwarden/natives/treekill.h"
#include "runwarden/procinfo/snapshot.h"

inline void freshRunwarden() {
    standin::reset();
    rw::backendMode = rw::kBackendNone;
    rw::nativeServices = {};
    rw::toolhelpServices = {};
    rw::callerProcessId = 0;
    rw::treeKillProbe = nullptr;
    rw::snapshotSizeHint = 0x10000;
}
