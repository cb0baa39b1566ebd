#!/usr/bin/env bash
# Builds the libFuzzer targets with clang under AddressSanitizer + UBSan and runs each one.
#   scripts/fuzz.sh             each fuzzer for 30 s (CI)
#   scripts/fuzz.sh 3600        each fuzzer for an hour
#   scripts/fuzz.sh 600 pdu     only fuzz_pdu, for 10 minutes
# The seed corpora in fuzz/corpus/<name> are read only; what a run finds goes to a scratch
# corpus. A crash, leak or time-out leaves its input in build-fuzz/artifacts and fails the
# script: fix it, and add the input to the fuzzer's corpus as a regression case.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
only=${2:-}
build=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -DNORVALED_FUZZ=ON -DNORVALED_SANITIZE=asan \
  -DNORVALED_TESTS=OFF >/dev/null
cmake --build "$build" -j 2 --target fuzz_pdu fuzz_keys fuzz_auth

mkdir -p "$build/artifacts"
export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
status=0
for name in pdu keys auth; do
  [ -n "$only" ] && [ "$only" != "$name" ] && continue
  work=$(mktemp -d)
  echo "=== fuzz_$name for ${seconds}s"
  if ! "$build/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -max_len=300000 -print_final_stats=1 -artifact_prefix="$build/artifacts/$name-" \
      "$work" "fuzz/corpus/$name" 2>"$build/fuzz_$name.log"; then
    tail -n 60 "$build/fuzz_$name.log"
    status=1
  else
    grep -E "stat::number_of_executed_units|cov:" "$build/fuzz_$name.log" | tail -n 2
  fi
  rm -rf "$work"
done
exit $status
