#!/bin/sh
# Runs one Windows program under Wine (the cross build's emulator) and passes on
# its output and exit code. The output goes through a file: Wine's background
# processes (the wineserver, services, the desktop) can start during a run and
# outlive it, and a pipe they inherited would keep whoever reads it (CTest)
# waiting until they exit.
log=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX") || exit 125
wine "$@" >"$log" 2>&1 </dev/null
status=$?
cat "$log"
rm -f "$log"
exit $status
