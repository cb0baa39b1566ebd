#!/usr/bin/env bash
# The whole test suite from a fresh Debian machine: installs what it needs, checks the include
# floors (scripts/check-layers.sh), builds the library and runs every test in the normal build, under AddressSanitizer + UBSan, under
# ThreadSanitizer, each fuzzer for 30 s (scripts/fuzz.sh), and (when scripts/test-windows.sh
# exists) the Windows DLL under Wine. The load test runs in each build for
# NORVALED_LOAD_SECONDS (60 by default).
#   scripts/test.sh            everything
#   scripts/test.sh --quick    the normal build only
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
[ "${1:-}" = "--quick" ] && quick=1

scripts/setup-deps.sh $( [ $quick = 1 ] || echo --windows )

jobs=$(nproc)
failed=()

echo "=== layers"
scripts/check-layers.sh || failed+=("layers")

build_and_test() { # dir sanitizer
  local dir=$1 san=$2
  echo "=== build $dir ${san:+(sanitizer: $san)}"
  cmake -S . -B "$dir" -DNORVALED_SANITIZE="$san" >/dev/null
  cmake --build "$dir" -j "$jobs"
  echo "=== test $dir"
  local env=()
  [ "$san" = tsan ] && env=(TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1")
  [ "$san" = asan ] && env=(ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="print_stacktrace=1"
    LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp")
  if ! env "${env[@]}" ctest --test-dir "$dir" --output-on-failure -j "$jobs"; then
    failed+=("$dir")
  fi
}

build_and_test build ""
echo "=== install, packages, example host, file system on the served disk"
scripts/test-packaging.sh build || failed+=("packaging")
if [ $quick = 0 ]; then
  build_and_test build-asan asan
  build_and_test build-tsan tsan
  echo "=== fuzzing"
  scripts/fuzz.sh 30 || failed+=("fuzz")
  if [ -x scripts/test-windows.sh ]; then
    echo "=== Windows DLL under Wine"
    scripts/test-windows.sh || failed+=("windows")
  fi
fi

if ((${#failed[@]})); then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "all test runs passed"
