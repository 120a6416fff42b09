#!/usr/bin/env bash
# Builds the process-information fuzzer for host32 (clang, i386, libFuzzer with
# ASan and UBSan, against the stand-in) into <builddir> and runs it for
# <seconds>, starting from the committed seeds in tests/fuzz/corpus. New inputs
# go to <builddir>/corpus (<builddir>/corpus-<parser> for a run narrowed to one
# parser), crash inputs to <builddir>/. Any crash, leak, sanitizer report or
# failed check makes the script fail.
#
#   tests/fuzz/run.sh <builddir> <seconds> [all|nt|toolhelp|cpu]
#
# The parser defaults to all: every input goes through the NT answer paths, the
# Toolhelp paths and the CPU sampler. Naming one narrows the run to it.
set -euo pipefail

if [ $# -lt 2 ] || [ $# -gt 3 ]; then
    echo "usage: $0 <builddir> <seconds> [all|nt|toolhelp|cpu]" >&2
    exit 2
fi
parser=${3:-all}
case $parser in
    all|nt|toolhelp|cpu) ;;
    *) echo "$0: unknown parser '$parser' (all, nt, toolhelp or cpu)" >&2; exit 2 ;;
esac
root=$(cd "$(dirname "$0")/../.." && pwd)
mkdir -p "$1"
build=$(cd "$1" && pwd)
seconds=$2
cxx=${CXX:-clang++}
bin=$build/fuzz_procinfo

common=(-m32 -std=c++17 -g -O1 -fno-omit-frame-pointer
        -fsanitize=address,undefined -fno-sanitize-recover=all
        -I"$root" -I"$root/standin/include")
# Coverage guides the fuzzer through the library and the target, not the stand-in.
guided=(-fsanitize=fuzzer-no-link)
library=(-fno-exceptions -fno-rtti)

sources=("$root"/runwarden/procinfo/{backend,walker,snapshot,queries,cpu_usage,cpu}.cpp)
standin=("$root"/standin/src/*.cpp)
target=$root/tests/fuzz/fuzz_procinfo.cpp

# Rebuild when any input is newer than the binary.
stale=1
if [ -x "$bin" ] && [ -z "$(find "$root/runwarden/procinfo" "$root/standin" "$root/platform/handle.h" \
        "$target" "$0" -newer "$bin" -print -quit)" ]; then
    stale=0
fi
if [ $stale = 1 ]; then
    mkdir -p "$build/obj"
    pids=()
    compile() {  # output, flags..., source
        "$cxx" -c -o "$@" &
        pids+=($!)
        if [ ${#pids[@]} -ge 2 ]; then wait "${pids[0]}"; pids=("${pids[@]:1}"); fi
    }
    objects=()
    for s in "${sources[@]}"; do
        o=$build/obj/rw_$(basename "$s" .cpp).o
        compile "$o" "${common[@]}" "${guided[@]}" "${library[@]}" "$s"
        objects+=("$o")
    done
    for s in "${standin[@]}"; do
        o=$build/obj/standin_$(basename "$s" .cpp).o
        compile "$o" "${common[@]}" -Wno-return-type-c-linkage "$s"
        objects+=("$o")
    done
    compile "$build/obj/fuzz_procinfo.o" "${common[@]}" "${guided[@]}" "$target"
    for p in "${pids[@]}"; do wait "$p"; done
    objects+=("$build/obj/fuzz_procinfo.o")
    "$cxx" -m32 -fsanitize=fuzzer,address,undefined -o "$bin" "${objects[@]}" -lpthread
fi

if [ "$parser" = all ]; then corpus=$build/corpus; else corpus=$build/corpus-$parser; fi
mkdir -p "$corpus"
# Every native query allocates a snapshot buffer of 64 KiB or more: a smaller
# quarantine, shorter allocation stacks and no fill of new blocks roughly double
# the executions per second without weakening any check.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:quarantine_size_mb=16:malloc_context_size=8:max_malloc_fill_size=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export FUZZ_PROCINFO_PARSER=$parser
"$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$build/" "$corpus" "$root/tests/fuzz/corpus"
