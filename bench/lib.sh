# shellcheck shell=bash
# Shared helpers of the benchmark scripts: processes started by PID, ports, timing, results.
# Sourced by bench/run.sh; expects BENCH_WORK (a scratch directory on tmpfs) to be set.

BENCH_PIDS=()   # every long-running process this run started, stopped by PID on exit
BENCH_MOUNTS=() # FUSE mounts to take down on exit

note() { echo "[bench $(date +%T)] $*" >&2; }
die() {
  note "error: $*"
  exit 1
}

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# start_bg NAME CMD...: runs CMD in the background, output to $BENCH_WORK/NAME.log; sets BG_PID.
start_bg() {
  local name=$1
  shift
  # Emptied here, not by the child's redirection: a caller waiting for a line must never
  # see the one left by the previous process of the same name.
  : >"$BENCH_WORK/$name.log"
  "$@" >>"$BENCH_WORK/$name.log" 2>&1 &
  BG_PID=$!
  BENCH_PIDS+=("$BG_PID")
}

forget_pid() {
  local keep=() p
  for p in "${BENCH_PIDS[@]}"; do [ "$p" = "$1" ] || keep+=("$p"); done
  BENCH_PIDS=("${keep[@]}")
}

# stop_pid PID [SECONDS]: TERM, then KILL when it has not ended in time; reaps it.
stop_pid() {
  local pid=$1 limit=${2:-20} i
  forget_pid "$pid"
  kill -0 "$pid" 2>/dev/null || {
    wait "$pid" 2>/dev/null || true
    return 0
  }
  kill -TERM "$pid" 2>/dev/null
  for ((i = 0; i < limit * 10; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$pid" 2>/dev/null && kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null || true # killed by the signal: not a failure of the run
  return 0
}

cleanup_all() {
  local m i
  for m in "${BENCH_MOUNTS[@]}"; do fusermount3 -u "$m" 2>/dev/null || fusermount -u "$m" 2>/dev/null; done
  for ((i = ${#BENCH_PIDS[@]} - 1; i >= 0; i--)); do stop_pid "${BENCH_PIDS[i]}" 5; done
  [ -n "${BENCH_WORK:-}" ] && rm -rf "$BENCH_WORK"
}

# wait_for_line FILE REGEX SECONDS PID: 0 once FILE has a matching line, 1 on time-out or exit.
wait_for_line() {
  local file=$1 re=$2 limit=$3 pid=$4 i
  for ((i = 0; i < limit * 20; i++)); do
    grep -qE "$re" "$file" 2>/dev/null && return 0
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.05
  done
  return 1
}

wait_port() {
  local port=$1 limit=${2:-10} i
  for ((i = 0; i < limit * 20; i++)); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return 0
    sleep 0.05
  done
  return 1
}

now_ns() { date +%s%N; }

# Seconds since a now_ns stamp, as a decimal.
seconds_since() { awk -v a="$1" -v b="$(now_ns)" 'BEGIN { printf "%.4f", (b - a) / 1e9 }'; }

# record ID SIDE VALUE: one measurement; the table takes medians per ID and side.
record() {
  [ -n "$3" ] || die "no measurement for $1 on $2 (see the logs above)"
  echo "$3" >>"$BENCH_WORK/results/$1.$2"
}

median_of() {
  [ -s "$1" ] || {
    echo "-"
    return
  }
  sort -g "$1" | awk '{ v[NR] = $1 } END { printf "%.1f\n", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# row ID LABEL UNIT PEER GOAL [SIDE]: one line of the table; GOAL is the ratio to reach, or
# "-". Ratios are SIDE (norvaled's target unless named) / peer for rates; for "MiB peak" rows
# the peer column holds the ceiling, and likewise for "... max" rows (lower is better).
row() {
  local id=$1 label=$2 unit=$3 peer=$4 goal=$5 side=${6:-ours} ours theirs
  ours=$(median_of "$BENCH_WORK/results/$id.$side")
  theirs=$(median_of "$BENCH_WORK/results/$id.$peer")
  awk -v l="$label" -v u="$unit" -v p="$peer" -v a="$ours" -v b="$theirs" -v g="$goal" 'BEGIN {
    r = (a == "-" || b == "-" || b == 0) ? "-" : sprintf("%.2f", a / b)
    verdict = ""
    if (g != "-" && r != "-") verdict = (u ~ /peak|max/) ? (r <= g ? "met" : "MISSED") : (r >= g ? "met" : "MISSED")
    printf "| %-54s | %9s | %-7s | %9s | %5s | %-4s %-6s |\n", l " (" u ")", a, p, b, r, g, verdict
  }'
}

table_header() {
  printf "| %-54s | %9s | %-7s | %9s | %5s | %-11s |\n" "workload (unit)" "norvaled" "peer" "peer" "ratio" "goal"
  local w
  for w in 56 11 9 11 7 13; do printf "|%s" "$(printf -- '-%.0s' $(seq "$w"))"; done
  echo "|"
}
