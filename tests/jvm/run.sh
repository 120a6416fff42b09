#!/usr/bin/env bash
# The JVM tier: compiles the Java side and its tests with the i386 JDK and runs
# them with -Xcheck:jni against the natives of a JVM build (RW_JVM=ON).
#
#   tests/jvm/run.sh <builddir>
#
# Fails when a test fails or when the VM's JNI checking reports anything.
# Classes tagged "signals" (the tree kill, whose fault guard installs signal
# handlers) run in a VM of their own with HotSpot's signal chaining preloaded;
# the rest run in a plain VM.
set -euo pipefail

[ $# -eq 1 ] || { echo "usage: $0 <builddir>" >&2; exit 2; }
BUILD=$(cd "$1" && pwd)
HERE=$(cd "$(dirname "$0")" && pwd)
JAVA_HOME=${RW_JDK:-/usr/lib/jvm/java-17-openjdk-i386}
JUNIT=/usr/share/java/junit-platform-console-standalone.jar
OUT=$BUILD/jvm-tests

for lib in runwarden dirlaunch varbridge standinctl; do
  [ -f "$BUILD/bin/lib$lib.so" ] || { echo "missing $BUILD/bin/lib$lib.so: build $BUILD first" >&2; exit 2; }
done

rm -rf "$OUT"
mkdir -p "$OUT/patch" "$OUT/main" "$OUT/test" "$OUT/work"

javac() {  # javac <source dir> <options...>
  local files
  mapfile -t files < <(find "$1" -name '*.java' | sort)
  shift
  "$JAVA_HOME/bin/javac" -encoding UTF-8 -Xlint:all -Werror "$@" "${files[@]}"
}
# The test double of the runtime's process class, patched into java.base.
javac "$HERE/src/patch" --patch-module "java.base=$HERE/src/patch" -d "$OUT/patch"
javac "$HERE/src/main" -d "$OUT/main"
javac "$HERE/src/test" --patch-module "java.base=$OUT/patch" -cp "$OUT/main:$JUNIT" -d "$OUT/test"

# Messages of -Xcheck:jni and of HotSpot's signal checks; any of them fails the run.
JNI_PROBLEMS='WARNING in native method|FATAL ERROR in native method|JNI call made|WARNING: JNI|VM warning: .*(JNI|native)|handler modified|control word|Warning: .*(signal|handler|JNI)|\[warning\]\[jni'

status=0
run() {  # run <name> <junit tag option> [environment assignments...]
  local name=$1 tags=$2; shift 2
  local log="$OUT/$name.log"
  echo "== JVM tests: $name"
  # Absolute class paths: the tests change the process's current directory.
  set +e
  # A VM that hangs is ended (by its id, through timeout) and counts as a failure.
  # A UTF-8 locale whatever the caller's: the VM takes its file-name encoding from
  # it, and the tests name directories with characters beyond ASCII.
  (cd "$OUT/work" && timeout --kill-after=10 900 env LC_ALL=C.UTF-8 "$@" "$JAVA_HOME/bin/java" -Xcheck:jni -Xshare:off \
      --patch-module "java.base=$OUT/patch" \
      -Dcom.velmora.util.exec.nativeDir="$BUILD/bin" \
      -cp "$JUNIT:$OUT/main:$OUT/test" org.junit.platform.console.ConsoleLauncher \
      --disable-banner --disable-ansi-colors --details=tree --fail-if-no-tests --include-engine=junit-jupiter \
      --scan-class-path "$OUT/test" $tags) >"$log" 2>&1
  local rc=$?
  set -e
  cat "$log"
  if [ $rc -ne 0 ]; then
    echo "JVM tests ($name) failed (exit $rc)" >&2
    status=1
  fi
  if grep -Eq "$JNI_PROBLEMS" "$log"; then
    echo "JVM tests ($name): the VM's JNI checking reported:" >&2
    grep -En "$JNI_PROBLEMS" "$log" >&2
    status=1
  fi
}

run plain "--exclude-tag signals"
run signals "--include-tag signals" LD_PRELOAD="$JAVA_HOME/lib/server/libjsig.so"

if [ $status -eq 0 ]; then echo "JVM tests passed"; else echo "JVM tests FAILED" >&2; fi
exit $status
