#!/usr/bin/env bash
# Benchmarks norvaled against the systems a user would pick instead, side by side, and prints
# one table: workload, norvaled, the peer, the ratio (norvaled / peer), the goal.
#
#   bench/run.sh [--quick] [--only mock|sftp|wan] [--before REF]
#   bench/run.sh --wan-cut
#
# --before REF also builds the bench host from commit REF and adds it as a side to the rows
# that a performance change targets (cold mock reads, SFTP writes), for before/after in one run.
#
# Runs from a fresh Debian machine as root: installs what it needs, builds the library in
# Release into build-bench/, starts its own tgtd, nbdkit, sshfs and a private sshd on
# 127.0.0.1 (own config, host key, port and the user "nvbench"), and stops every process it
# started by PID on the way out, failure or not. Each workload alternates the two sides
# (ABBA order) and the table shows medians. Images live on tmpfs so that no side waits on a
# disk. The full run takes about a quarter of an hour; --quick a few minutes.
#
# --wan-cut runs only what a dropped link costs (about two minutes): 64 MiB written over a
# 20 ms, 20 Mbit/s relay, once untouched and once with the link cut for 10 s half-way, and
# the time until the image holds the data.
set -euo pipefail
shopt -s inherit_errexit # a failed measurement inside $(...) fails the run, not a silent blank

HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(dirname "$HERE")
BUILD=$ROOT/build-bench
QUICK=0
ONLY=all
BEFORE_REF=
while (($#)); do
  case "$1" in
    --quick) QUICK=1 ;;
    --only) ONLY=$2; shift ;;
    --before) BEFORE_REF=$2; shift ;;
    --wan-cut) ONLY=wan-cut ;;
    *) echo "usage: bench/run.sh [--quick] [--only mock|sftp|wan] [--before REF] | --wan-cut" >&2; exit 2 ;;
  esac
  shift
done
[ "$(id -u)" = 0 ] || { echo "bench/run.sh: run as root (tgtd, sshd, FUSE, a test user)" >&2; exit 2; }

BENCH_WORK=$(mktemp -d /dev/shm/norvaled-bench.XXXXXX)
chmod 755 "$BENCH_WORK"
mkdir -p "$BENCH_WORK/results"
# shellcheck source=bench/lib.sh
source "$HERE/lib.sh"
# shellcheck source=bench/peers.sh
source "$HERE/peers.sh"
# shellcheck source=bench/workloads.sh
source "$HERE/workloads.sh"
trap cleanup_all EXIT
trap 'exit 130' INT TERM

if ((QUICK)); then
  REPS=2 SCALE=4 PERF_SECONDS=2 SFTP_MIB=512 # passes of twice the cache, as in the full run
else
  REPS=5 SCALE=1 PERF_SECONDS=4 SFTP_MIB=1024
fi

note "installing what the benchmarks need"
"$ROOT/scripts/setup-deps.sh" --bench >&2
note "building the library in Release into $BUILD"
cmake -S "$HERE" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release >"$BENCH_WORK/cmake.log" 2>&1 ||
  die "cmake failed, see output: $(tail -5 "$BENCH_WORK/cmake.log")"
cmake --build "$BUILD" -j2 >"$BENCH_WORK/build.log" 2>&1 ||
  die "build failed: $(tail -20 "$BENCH_WORK/build.log")"

if [ -n "$BEFORE_REF" ]; then
  note "building the bench host of $BEFORE_REF for the before/after rows"
  build_before "$BEFORE_REF"
fi

started=$(now_ns)
case "$ONLY" in
  all | mock | sftp | wan | wan-cut) ;;
  *) die "--only takes mock, sftp or wan" ;;
esac
if [ "$ONLY" = wan-cut ]; then
  run_wan_cut
else
  [ "$ONLY" = all ] || [ "$ONLY" = mock ] && run_mock_vs_tgt
  [ "$ONLY" = mock ] || run_sftp
fi
note "done in $(seconds_since "$started") s"

print_table | tee "$BUILD/bench-results.md"
note "table also written to $BUILD/bench-results.md"
