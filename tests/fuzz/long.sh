#!/usr/bin/env bash
# The long fuzzing runs: each parser of untrusted bytes on its own for
# <seconds> (default 600), one after the other, each from the committed seeds
# alone (its working corpus is started afresh), then the source coverage its
# corpus reaches. Ends with a summary of the figures; fails as soon as a run
# finds anything.
#
#   tests/fuzz/long.sh <builddir> [seconds]
#
# Logs: <builddir>/long-<parser>.log (the fuzzer), <builddir>/long-<parser>.cov
# (llvm-cov's report), <builddir>/long-all.cov (the three corpora together).
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    echo "usage: $0 <builddir> [seconds]" >&2
    exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$1"
build=$(cd "$1" && pwd)
seconds=${2:-600}

# The files whose coverage belongs to each parser.
declare -A files=([nt]="walker.cpp snapshot.cpp queries.cpp" [toolhelp]="queries.cpp" [cpu]="cpu.cpp cpu_usage.cpp")
summary=()
for parser in nt toolhelp cpu; do
    corpus=$build/corpus-$parser
    rm -rf "$corpus"
    log=$build/long-$parser.log
    echo "fuzz-long: $parser for ${seconds}s (log: $log)"
    if ! "$here/run.sh" "$build" "$seconds" "$parser" >"$log" 2>&1; then
        tail -n 40 "$log" >&2
        echo "fuzz-long: the $parser run failed; the input is in $build/" >&2
        exit 1
    fi
    "$here/coverage.sh" "$build" "$parser" "$corpus" "$here/corpus" >"$build/long-$parser.cov"

    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1)
    cov=$(sed -E 's/.* cov: ([0-9]+) ft: ([0-9]+) corp: ([0-9]+)\/([0-9A-Za-z]+) .*/edges \1, features \2, in-memory corpus \3 inputs (\4)/' <<<"$done_line")
    inputs=$(find "$corpus" -type f | wc -l)
    bytes=$(du -sb "$corpus" | cut -f1)
    lines=""
    for f in ${files[$parser]}; do
        # Columns of llvm-cov's report: name, regions (3), functions (3), lines (3), branches (3).
        lines+=$(awk -v f="$f" '$1 == f { printf " %s lines %s, branches %s;", f, $10, $13 }' "$build/long-$parser.cov")
    done
    summary+=("$parser: $runs executions in ${seconds}s ($rate/s); working corpus $inputs inputs, $bytes bytes; $cov;$lines")
done

# What the three corpora reach together, replayed through every parser.
"$here/coverage.sh" "$build" all "$build"/corpus-{nt,toolhelp,cpu} "$here/corpus" >"$build/long-all.cov"

echo
echo "fuzz-long: every run clean"
printf '  %s\n' "${summary[@]}"
echo "  the three corpora together, every parser:"
sed 's/^/    /' "$build/long-all.cov"
