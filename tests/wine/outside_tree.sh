#!/bin/sh
# A process tree outside every test process, for the tree-kill test: a root and
# two children (treeproc.exe 1 2) started by a separate `wine` command from this
# shell. Under Wine a process started from a Unix shell has parent id 0, so
# nothing in this tree descends from the test.
#
#   outside_tree.sh start <bindir> <readydir>   start it; wait until all three nodes are recorded
#   outside_tree.sh end   <bindir> <readydir>   end every recorded node by id, wait, clean up
#
# WINEPREFIX must name the prefix the test runs in.
set -eu
mode=$1
bindir=$2
dir=$3

# Number of node records (files named by a process id) in the ready directory.
records() {
    ls "$dir" 2>/dev/null | grep -c '^[0-9][0-9]*$' || true
}

case $mode in
start)
    rm -rf "$dir" "$dir.log"
    mkdir -p "$dir"
    cd "$bindir"
    # Every Wine command here keeps its stderr away from CTest: the first one in a
    # prefix starts Wine's service processes, which inherit it and outlive the
    # script, and CTest would wait for them.
    windir=$(winepath -w "$dir" 2>>"$dir.log")
    # Its own session, its output to a file: CTest waits for nothing of it, and
    # the Unix process of the root lives on after this script.
    setsid wine treeproc.exe 1 2 "$windir" </dev/null >"$dir.log" 2>&1 &
    echo $! >"$dir.unixpid"
    tries=0
    while [ "$(records)" -lt 3 ]; do
        tries=$((tries + 1))
        if [ $tries -gt 600 ]; then
            echo "outside tree: only $(records) of 3 nodes ready after 60 s" >&2
            cat "$dir.log" >&2 || true
            exit 1
        fi
        if ls "$dir" | grep -q '^failed\.'; then
            echo "outside tree: a node could not start its children" >&2
            exit 1
        fi
        sleep 0.1
    done
    ;;
end)
    status=0
    if [ -d "$dir" ]; then
        cd "$bindir"
        if ! wine treeproc.exe end "$(winepath -w "$dir" 2>>"$dir.log")" </dev/null >>"$dir.log" 2>&1; then
            echo "outside tree: not every node could be ended" >&2
            cat "$dir.log" >&2 || true
            status=1
        fi
    fi
    # The root's Unix process goes once its Windows process has ended.
    if [ -f "$dir.unixpid" ]; then
        pid=$(cat "$dir.unixpid")
        tries=0
        while kill -0 "$pid" 2>/dev/null; do
            tries=$((tries + 1))
            if [ $tries -gt 300 ]; then
                echo "outside tree: Unix process $pid still there after 30 s" >&2
                status=1
                break
            fi
            sleep 0.1
        done
    fi
    rm -rf "$dir" "$dir.unixpid" "$dir.log"
    exit $status
    ;;
*)
    echo "usage: outside_tree.sh start|end <bindir> <readydir>" >&2
    exit 2
    ;;
esac
