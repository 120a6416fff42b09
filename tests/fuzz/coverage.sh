#!/usr/bin/env bash
# Source coverage that a fuzzing corpus reaches in the process-information
# library: builds fuzz_procinfo with clang's source-based coverage (no
# sanitizers; the corpus is only replayed, not fuzzed) into <builddir>, runs
# every input of the given corpus directories once with the given parser, and
# prints llvm-cov's per-file report (regions, functions, lines, branches) for
# runwarden/procinfo.
#
#   tests/fuzz/coverage.sh <builddir> <all|nt|toolhelp|cpu> <corpus dir>...
set -euo pipefail

if [ $# -lt 3 ]; then
    echo "usage: $0 <builddir> <all|nt|toolhelp|cpu> <corpus dir>..." >&2
    exit 2
fi
root=$(cd "$(dirname "$0")/../.." && pwd)
mkdir -p "$1"
build=$(cd "$1" && pwd)
parser=$2
shift 2
cxx=${CXX:-clang++}
profdata=${LLVM_PROFDATA:-llvm-profdata}
cov=${LLVM_COV:-llvm-cov}
bin=$build/fuzz_procinfo_cov

common=(-m32 -std=c++17 -g -O1 -I"$root" -I"$root/standin/include")
measured=(-fprofile-instr-generate -fcoverage-mapping)
sources=("$root"/runwarden/procinfo/{backend,walker,snapshot,queries,cpu_usage,cpu}.cpp)
target=$root/tests/fuzz/fuzz_procinfo.cpp

if [ ! -x "$bin" ] || [ -n "$(find "$root/runwarden/procinfo" "$root/standin" "$root/platform/handle.h" \
        "$target" "$0" -newer "$bin" -print -quit)" ]; then
    mkdir -p "$build/obj-cov"
    objects=()
    for s in "${sources[@]}"; do
        o=$build/obj-cov/rw_$(basename "$s" .cpp).o
        "$cxx" -c -o "$o" "${common[@]}" "${measured[@]}" -fno-exceptions -fno-rtti "$s"
        objects+=("$o")
    done
    for s in "$root"/standin/src/*.cpp; do
        o=$build/obj-cov/standin_$(basename "$s" .cpp).o
        "$cxx" -c -o "$o" "${common[@]}" -Wno-return-type-c-linkage "$s"
        objects+=("$o")
    done
    "$cxx" -c -o "$build/obj-cov/fuzz_procinfo.o" "${common[@]}" -fsanitize=fuzzer-no-link "$target"
    objects+=("$build/obj-cov/fuzz_procinfo.o")
    "$cxx" -m32 -fsanitize=fuzzer "${measured[@]}" -o "$bin" "${objects[@]}" -lpthread
fi

profile=$build/coverage-$parser
rm -f "$profile".profraw "$profile".profdata
FUZZ_PROCINFO_PARSER=$parser LLVM_PROFILE_FILE=$profile.profraw "$bin" -runs=0 "$@" >"$profile.log" 2>&1 ||
    { cat "$profile.log" >&2; exit 1; }
"$profdata" merge -sparse -o "$profile.profdata" "$profile.profraw"
"$cov" report "$bin" -instr-profile="$profile.profdata" "${sources[@]}"
