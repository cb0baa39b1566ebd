# shellcheck shell=bash
# The workloads and the table. Sourced by bench/run.sh after lib.sh and peers.sh; uses REPS,
# SCALE, PERF_SECONDS and SFTP_MIB from it.

MOCK_SIZE=268435456 # 256 MiB: the whole disk fits the 128-slot cache, so "warm" is all hits
# Cold runs make one pass over a disk of twice the cache, so that a pass measures loads and
# replacements, not only the first touch of the cache's fresh buffers.
MOCK_COLD_SIZE=536870912
SPREAD_STEP=409612288 # 100003 blocks of 4 KiB: each read lands far from the last, all over the disk

# id|label|count|depth|size|step|mode|goal. Counts are for warm runs; a cold run makes one
# pass over the disk (4 KiB spread reads keep their count).
MOCK_WORKLOADS=(
  "r1m_d1|seq read 1 MiB, depth 1|1024|1|1M|-|r|1.2"
  "r1m_d16|seq read 1 MiB, depth 16|1024|16|1M|-|r|1.2"
  "r64k_d1|seq read 64 KiB, depth 1|8192|1|64K|-|r|-"
  "r64k_d16|seq read 64 KiB, depth 16|8192|16|64K|-|r|-"
  "w1m_d1|seq write 1 MiB, depth 1|512|1|1M|-|w|1.2"
  "w1m_d16|seq write 1 MiB, depth 16|512|16|1M|-|w|1.2"
  "w64k_d1|seq write 64 KiB, depth 1|4096|1|64K|-|w|-"
  "w64k_d16|seq write 64 KiB, depth 16|4096|16|64K|-|w|-"
  "r4k_d1|4 KiB reads spread, depth 1|10000|1|4K|$SPREAD_STEP|r|1.0"
  "r4k_d16|4 KiB reads spread, depth 16|20000|16|4K|$SPREAD_STEP|r|1.0"
)
# id|label|iscsi-perf options|goal
PERF_WORKLOADS=(
  "perf_seq|iscsi-perf seq 1 MiB, depth 1|-m 1 -b 2048|-"
  "perf_rand|iscsi-perf random 4 KiB, depth 1|-m 1 -b 8 -r|1.0"
)

size_bytes() { numfmt --from=iec "$1"; }

# qbench OPTS COUNT DEPTH SIZE STEP MODE: the seconds qemu-img bench reports for the run.
qbench() {
  local opts=$1 count=$2 depth=$3 size=$4 step=$5 mode=$6 out
  local args=(-c "$count" -d "$depth" -s "$size")
  [ "$step" = - ] || args+=(-S "$step")
  [ "$mode" = w ] && args+=(-w --pattern=90)
  out=$(qemu-img bench "${args[@]}" --image-opts "$opts" 2>&1) || die "qemu-img bench ${args[*]} $opts: $out"
  sed -n 's/^Run completed in \([0-9.]*\) seconds.*/\1/p' <<<"$out"
}

# rate COUNT SIZE SECONDS: MiB/s for transfers of 64 KiB and more, IOPS below.
rate() {
  local bytes
  bytes=$(size_bytes "$2")
  awk -v c="$1" -v b="$bytes" -v s="$3" 'BEGIN { if (b >= 65536) printf "%.1f", c * b / 1048576 / s; else printf "%.0f", c / s }'
}
unit_of() { [ "$(size_bytes "$1")" -ge 65536 ] && echo MiB/s || echo IOPS; }

# iscsi_perf URL OPTIONS...: the average IOPS over PERF_SECONDS.
iscsi_perf() {
  local url=$1 out
  shift
  # shellcheck disable=SC2086
  out=$(iscsi-perf -t "$PERF_SECONDS" "$@" "$url" 2>&1 | tr '\r' '\n') || true
  grep -o 'iops average [0-9]*' <<<"$out" | tail -1 | awk '{ print $3 }'
}

# sides_in_order REP A B: ABBA alternation, so drift over the run does not favour one side.
sides_in_order() { if (($1 % 2)); then echo "$2 $3"; else echo "$3 $2"; fi; }

opts_of() { if [ "$1" = tgt ]; then echo "$TGT_OPTS"; else echo "$OURS_OPTS"; fi; }
url_of() {
  if [ "$1" = ours ]; then echo "iscsi://127.0.0.1:$OURS_PORT/$NORVALED_IQN/0"; else echo "iscsi://127.0.0.1:$TGT_PORT/$TGT_IQN/1"; fi
}

measure_mock() { # SIDE COUNT DEPTH SIZE STEP MODE: a rate
  local s
  s=$(qbench "$(opts_of "$1")" "$2" "$3" "$4" "$5" "$6")
  rate "$2" "$4" "$s"
}

start_side() {
  case "$1" in
    ours) ours_start mock "$MOCK_OURS" "$MOCK_SIZE" ;;
    before) OURS_BIN=$BEFORE_BIN ours_start mock "$MOCK_OURS" "$MOCK_SIZE" ;;
    tgt) tgt_start "$MOCK_TGT" ;;
  esac
}
stop_side() { if [ "$1" = tgt ]; then tgt_stop; else ours_stop; fi; }

# sides_of REP A B [C]: A and B in ABBA order, C (the "before" build) when --before is given,
# rotating through the three places.
sides_of() {
  if [ -z "${BEFORE_BIN:-}" ]; then
    sides_in_order "$1" "$2" "$3"
    return
  fi
  local all=("$2" "$3" before) k=$(($1 % 3))
  echo "${all[@]:k}" "${all[@]:0:k}"
}

cold_count() { # COUNT SIZE STEP: one pass over the disk for sequential runs
  if [ "$3" = - ]; then echo $((MOCK_SIZE / $(size_bytes "$2"))); else echo $(($1 / SCALE)); fi
}

run_mock_warm() {
  local w id label count depth size step mode goal rep side
  start_side ours
  start_side tgt
  for side in ours tgt; do qbench "$(opts_of $side)" $((MOCK_SIZE >> 20)) 16 1M - r >/dev/null; done
  for w in "${MOCK_WORKLOADS[@]}"; do
    IFS='|' read -r id label count depth size step mode goal <<<"$w"
    note "mock warm: $label"
    for ((rep = 1; rep <= REPS; rep++)); do
      for side in $(sides_in_order "$rep" ours tgt); do
        record "warm_$id" "$side" "$(measure_mock "$side" $((count / SCALE)) "$depth" "$size" "$step" "$mode")"
      done
    done
  done
  for w in "${PERF_WORKLOADS[@]}"; do
    IFS='|' read -r id label opts goal <<<"$w"
    note "mock warm: $label"
    for ((rep = 1; rep <= REPS; rep++)); do
      for side in $(sides_in_order "$rep" ours tgt); do
        # shellcheck disable=SC2086
        record "warm_$id" "$side" "$(iscsi_perf "$(url_of "$side")" $opts)"
      done
    done
  done
  stop_side ours
  stop_side tgt
}

run_mock_cold() {
  local w id label count depth size step mode goal rep side
  for w in "${MOCK_WORKLOADS[@]}"; do
    IFS='|' read -r id label count depth size step mode goal <<<"$w"
    note "mock cold: $label"
    count=$(cold_count "$count" "$size" "$step")
    for ((rep = 1; rep <= REPS; rep++)); do
      local sides
      if [ "$mode" = r ]; then sides=$(sides_of "$rep" ours tgt); else sides=$(sides_in_order "$rep" ours tgt); fi
      for side in $sides; do
        start_side "$side"
        record "cold_$id" "$side" "$(measure_mock "$side" "$count" "$depth" "$size" "$step" "$mode")"
        stop_side "$side"
      done
    done
  done
  for w in "${PERF_WORKLOADS[@]}"; do
    IFS='|' read -r id label opts goal <<<"$w"
    note "mock cold: $label"
    for ((rep = 1; rep <= REPS; rep++)); do
      for side in $(sides_in_order "$rep" ours tgt); do
        start_side "$side"
        # shellcheck disable=SC2086
        record "cold_$id" "$side" "$(iscsi_perf "$(url_of "$side")" $opts)"
        stop_side "$side"
      done
    done
  done
}

run_mock_vs_tgt() {
  MOCK_OURS=$BENCH_WORK/mock-norvaled.img
  MOCK_TGT=$BENCH_WORK/mock-tgt.img
  note "mock mode against tgt: two ${MOCK_SIZE}-byte images on tmpfs"
  head -c "$MOCK_SIZE" /dev/urandom >"$MOCK_OURS"
  cp "$MOCK_OURS" "$MOCK_TGT"
  run_mock_warm
  rm -f "$MOCK_OURS" "$MOCK_TGT"
  local warm_size=$MOCK_SIZE
  MOCK_SIZE=$MOCK_COLD_SIZE
  note "mock cold: two ${MOCK_SIZE}-byte images"
  head -c "$MOCK_SIZE" /dev/urandom >"$MOCK_OURS"
  cp "$MOCK_OURS" "$MOCK_TGT"
  run_mock_cold
  MOCK_SIZE=$warm_size
  rm -f "$MOCK_OURS" "$MOCK_TGT"
}

# --- over SFTP -----------------------------------------------------------------------------

SFTP_DISK=1073741824 # the served disk: 1 GiB, four times the cache

mb_per_s() { awk -v b="$1" -v s="$2" 'BEGIN { printf "%.1f", b / 1e6 / s }'; }

# sftp_transfer SIDE read|write [PREFIX MIB]: one sequential pass of MIB MiB (SFTP_MIB unless
# given); records MB/s under PREFIX_read or PREFIX_write (sftp_ unless given).
sftp_transfer() {
  local side=$1 mode=$2 prefix=${3:-sftp} mib=${4:-$SFTP_MIB} t0 qmode=r bytes
  bytes=$((mib << 20))
  [ "$mode" = write ] && qmode=w
  case "$side" in
    ours | before)
      local bin=$BUILD/bench_host
      [ "$side" = before ] && bin=$BEFORE_BIN
      OURS_BIN=$bin ours_start ssh "$SFTP_IMAGE" "$SFTP_DISK"
      t0=$(now_ns)
      qbench "$OURS_OPTS" "$mib" 1 1M - "$qmode" >/dev/null # closing flushes the cache
      record "${prefix}_$mode" "$side" "$(mb_per_s "$bytes" "$(seconds_since "$t0")")"
      ours_stop
      if [ "$mode" = write ] && [ "$prefix" = sftp ] && [ "$side" = ours ]; then
        record sftp_mem ours $((OURS_PEAK_KIB / 1024)) && record sftp_mem ceiling 288
      fi
      grep '^stats' "$BENCH_WORK/ours.last.log" >>"$BENCH_WORK/sftp-stats.log"
      ;;
    loop)
      t0=$(now_ns)
      "$BUILD/sftp_chunk_loop" 127.0.0.1 "${SSH_VIA:-$SSHD_PORT}" "$BENCH_USER" "$SSH_KEY" "$SFTP_IMAGE" \
        "$bytes" "$mode" >/dev/null || die "sftp_chunk_loop $mode failed"
      record "${prefix}_$mode" loop "$(mb_per_s "$bytes" "$(seconds_since "$t0")")"
      ;;
    nbdkit)
      t0=$(now_ns)
      qbench "$NBD_OPTS" "$mib" 1 1M - "$qmode" >/dev/null
      record "${prefix}_$mode" nbdkit "$(mb_per_s "$bytes" "$(seconds_since "$t0")")"
      ;;
    store) # the library's chunk transfers alone, no target: what the target adds shows
      local probe
      probe=$("$BUILD/store_probe" 127.0.0.1 "$SSHD_PORT" "$BENCH_USER" "$SSH_KEY" "$SFTP_IMAGE" \
        "$SFTP_DISK" $((SFTP_MIB / 2)) "seq-$mode") || die "store_probe seq-$mode failed"
      record "sftp_$mode" store "$(awk '{ print $(NF - 1) }' <<<"$probe")"
      ;;
    sshfs)
      sshfs_mount "$(dirname "$SFTP_IMAGE")"
      local file=$SSHFS_MNT/$(basename "$SFTP_IMAGE")
      t0=$(now_ns)
      if [ "$mode" = read ]; then
        dd if="$file" of=/dev/null bs=1M count="$SFTP_MIB" status=none
      else
        dd if=/dev/zero of="$file" bs=1M count="$SFTP_MIB" conv=notrunc,fsync status=none
      fi
      record "sftp_$mode" sshfs "$(mb_per_s "$bytes" "$(seconds_since "$t0")")"
      sshfs_unmount
      ;;
  esac
}

# rotated REP [SIDES...]: the sides in a rotating order, so that none is always first after a
# write. By default every SFTP side, and the "before" build with --before.
rotated() {
  local rep=$1
  shift
  local sides=("$@")
  if ((${#sides[@]} == 0)); then
    sides=(ours loop nbdkit sshfs store)
    [ -n "${BEFORE_BIN:-}" ] && sides+=(before)
  fi
  local k=$((rep % ${#sides[@]}))
  echo "${sides[@]:k}" "${sides[@]:0:k}"
}

# sftp_bytes_r of the last bench host run, in MiB.
last_mib_read() {
  grep -o '"sftp_bytes_r":[0-9]*' "$BENCH_WORK/ours.last.log" | awk -F: '{ printf "%.1f", $2 / 1048576 }'
}

# A stream of 1 MiB writes from offset 0, 64 MiB through the target: what it had to read.
run_stream_reads() {
  local side bin
  note "sftp: what a 64 MiB stream of 1 MiB writes reads"
  for side in ours ${BEFORE_BIN:+before}; do
    bin=$BUILD/bench_host
    [ "$side" = before ] && bin=$BEFORE_BIN
    OURS_BIN=$bin ours_start ssh "$SFTP_IMAGE" "$SFTP_DISK"
    qbench "$OURS_OPTS" 64 1 1M - w >/dev/null
    ours_stop
    record stream_r "$side" "$(last_mib_read)"
  done
  record stream_r ceiling 4
}

# id|round trip ms|Mbit/s|MiB per sequential pass|4 KiB reads for norvaled|for nbdkit. The same
# count for both: the first read (offset 0) starts a chunk and loads it whole, so a short run
# would weigh that one read far beyond its share.
WAN_LINKS=(
  "wan20|20|100|64|100|100"
  "wan60|60|20|16|40|40"
)

# The same SFTP sides over a slow, distant link: the wan_relay between every SSH client and
# sshd. The link rate is recorded as a side of its own, so that each figure shows against it.
run_wan() {
  local link id rtt mbit mib n_ours n_nbd rep side mode s
  for link in "${WAN_LINKS[@]}"; do
    IFS='|' read -r id rtt mbit mib n_ours n_nbd <<<"$link"
    note "wan: $rtt ms round trip at $mbit Mbit/s"
    relay_start "$rtt" "$mbit"
    SSH_VIA=$RELAY_PORT
    nbdkit_start "$SFTP_IMAGE"
    for mode in read write; do
      for ((rep = 1; rep <= REPS; rep++)); do
        for side in $(rotated "$rep" ours loop nbdkit); do
          sftp_transfer "$side" "$mode" "$id" "$(((mib + SCALE - 1) / SCALE))"
        done
      done
      record "${id}_$mode" link "$(awk -v m="$mbit" 'BEGIN { printf "%.1f", m / 8 }')"
    done
    for ((rep = 1; rep <= REPS; rep++)); do
      for side in $(sides_in_order "$rep" ours nbdkit); do
        if [ "$side" = ours ]; then
          ours_start ssh "$SFTP_IMAGE" "$SFTP_DISK"
          s=$(qbench "$OURS_OPTS" "$n_ours" 1 4K "$SPREAD_STEP" r)
          record "${id}_rand4k" ours "$(rate "$n_ours" 4K "$s")"
          ours_stop
        else
          s=$(qbench "$NBD_OPTS" "$n_nbd" 1 4K "$SPREAD_STEP" r)
          record "${id}_rand4k" nbdkit "$(rate "$n_nbd" 4K "$s")"
        fi
      done
    done
    unset SSH_VIA
    stop_pid "$NBD_PID"
    stop_pid "$RELAY_PID"
  done
  run_writeback_latency
}

# The worst latency of a cached 4 KiB READ, one every 100 ms, while the background pass writes
# back 64 dirty chunks over a 20 ms, 20 Mbit/s link (in --quick too: the figure to compare is
# the whole pass): the probe runs until the pass is surely over (0.84 s per chunk at the link
# rate, plus a third, plus the 5 s interval).
run_writeback_latency() {
  local chunks=64 secs side bin out
  secs=$((10 + chunks * 84 * 4 / 3 / 100))
  note "wan: cached reads while $chunks dirty chunks go back over 20 ms at 20 Mbit/s ($secs s each)"
  relay_start 20 20
  SSH_VIA=$RELAY_PORT
  for side in ours ${BEFORE_BIN:+before}; do
    bin=$BUILD/bench_host
    [ "$side" = before ] && bin=$BEFORE_BIN
    OURS_BIN=$bin ours_start ssh "$SFTP_IMAGE" "$SFTP_DISK"
    out=$("$BUILD/latency_probe" "$OURS_PORT" "$NORVALED_IQN" $((chunks * 2)) "$secs") ||
      die "latency_probe failed: $out"
    record wb_latency "$side" "$(sed -n 's/^max_ms //p' <<<"$out")"
    ours_stop
  done
  record wb_latency ceiling 2000
  unset SSH_VIA
  stop_pid "$RELAY_PID"
}

# --- a link cut in the middle of a write (--wan-cut) ------------------------------------------

WAN_CUT_MIB=64     # written sequentially in 1 MiB requests, closed with SYNCHRONIZE CACHE
WAN_CUT_AT_MIB=32  # the relay cuts once the clients have sent this much towards sshd
WAN_CUT_SECONDS=10 # connections reset, then new ones reset at once for this long
WAN_CUT_LIMIT=${WAN_CUT_LIMIT:-300} # seconds to wait for the image to hold the data before giving up

# stats_member NAME: the member's value in the bench host's latest statistics line.
stats_member() {
  grep '^stats' "$OURS_LOG" | tail -1 | grep -o "\"$1\":-\?[0-9]*" | cut -d: -f2
}

# Asks the bench host for its statistics and waits for the new line.
fresh_stats() {
  local before i
  before=$(grep -c '^stats' "$OURS_LOG" || true)
  kill -USR1 "$OURS_PID"
  for ((i = 0; i < 100; i++)); do
    (($(grep -c '^stats' "$OURS_LOG" || true) > before)) && return 0
    sleep 0.05
  done
  die "bench_host gave no statistics: $(tail -5 "$OURS_LOG")"
}

# wan_cut_run SIDE [CUT_ARGS...]: one write of WAN_CUT_MIB through a fresh bench host over the
# 20 ms, 20 Mbit/s relay (the relay cuts when given CUT_ARGS), then waits until the image
# holds every byte and nothing is dirty. Records the write's seconds (qemu-img's wall time,
# its closing flush included), the seconds from its start until the image held the data,
# and, with a cut, the seconds from the cut's end until then and the reconnections.
wan_cut_run() {
  local side=$1 t0 rc=0 t_write i cut_ns restored_ns done_ns
  shift
  dd if=/dev/urandom of="$SFTP_IMAGE" bs=1M count="$WAN_CUT_MIB" conv=notrunc status=none
  relay_start 20 20 "$@"
  SSH_VIA=$RELAY_PORT ours_start ssh "$SFTP_IMAGE" "$SFTP_DISK"
  t0=$(now_ns)
  # The flush after the last write, unlike the one at close, fails the run when it fails.
  qemu-img bench -w -c "$WAN_CUT_MIB" -d 1 -s 1M --pattern=90 --flush-interval="$WAN_CUT_MIB" \
    --image-opts "$OURS_OPTS" \
    >"$BENCH_WORK/wan-cut-$side.log" 2>&1 || rc=$?
  t_write=$(seconds_since "$t0")
  note "wan cut ($side): the write ended after $t_write s, qemu-img status $rc$( ((rc)) && echo ": $(grep -iE 'fail|error' "$BENCH_WORK/wan-cut-$side.log" | head -2 | tr '\n' ' ')")"
  for ((i = 0; i < WAN_CUT_LIMIT * 5; i++)); do
    fresh_stats
    [ "$(stats_member dirty_chunks)" = 0 ] && cmp -s -n $((WAN_CUT_MIB << 20)) "$SFTP_IMAGE" "$WAN_CUT_EXPECTED" && break
    sleep 0.2
  done
  done_ns=$(now_ns)
  ((i < WAN_CUT_LIMIT * 5)) || die "wan cut ($side): the image did not hold the data after $WAN_CUT_LIMIT s: $(grep '^stats' "$OURS_LOG" | tail -1)"
  record wancut_write "$side" "$t_write"
  record wancut_image "$side" "$(awk -v a="$t0" -v b="$done_ns" 'BEGIN { printf "%.1f", (b - a) / 1e9 }')"
  if (($#)); then
    cut_ns=$(sed -n 's/^cut //p' "$BENCH_WORK/relay.log")
    restored_ns=$(sed -n 's/^restored //p' "$BENCH_WORK/relay.log")
    [ -n "$cut_ns" ] && [ -n "$restored_ns" ] || die "wan cut: the relay never cut or never restored: $(cat "$BENCH_WORK/relay.log")"
    record wancut_cut_at "$side" "$(awk -v a="$t0" -v b="$cut_ns" 'BEGIN { printf "%.1f", (b - a) / 1e9 }')"
    record wancut_after "$side" "$(awk -v a="$restored_ns" -v b="$done_ns" 'BEGIN { printf "%.1f", (b - a) / 1e9 }')"
    record wancut_reconnects "$side" "$(stats_member reconnects)"
    record wancut_flush_rc "$side" "$rc"
  fi
  note "wan cut ($side): $(grep '^stats' "$OURS_LOG" | tail -1)"
  ours_stop
  stop_pid "$RELAY_PID"
}

# The private sshd, and a random image of SFTP_DISK bytes its user owns (SFTP_IMAGE).
sftp_serve_image() {
  sshd_start
  mkdir -p "$BENCH_WORK/sftp"
  SFTP_IMAGE=$BENCH_WORK/sftp/disk.img
  head -c "$SFTP_DISK" /dev/urandom >"$SFTP_IMAGE"
  chown -R "$BENCH_USER" "$BENCH_WORK/sftp"
}

# The same write twice over the 20 ms, 20 Mbit/s relay: once untouched, once with the link cut
# for WAN_CUT_SECONDS when half of it has gone towards sshd.
run_wan_cut() {
  note "wan cut: private sshd, ${SFTP_DISK}-byte image on tmpfs"
  sftp_serve_image
  WAN_CUT_EXPECTED=$BENCH_WORK/wan-cut-expected
  head -c $((WAN_CUT_MIB << 20)) /dev/zero | tr '\0' 'Z' >"$WAN_CUT_EXPECTED" # --pattern=90
  note "wan cut: $WAN_CUT_MIB MiB over 20 ms at 20 Mbit/s, no cut"
  wan_cut_run uncut
  note "wan cut: the same, cut for $WAN_CUT_SECONDS s once $WAN_CUT_AT_MIB MiB went out"
  wan_cut_run cut "$WAN_CUT_AT_MIB" "$WAN_CUT_SECONDS"
  stop_pid "$SSHD_PID"
}

# Rows of --wan-cut: 20 ms, 20 Mbit/s, WAN_CUT_MIB written, the cut WAN_CUT_SECONDS long.
print_wan_cut_table() {
  local label="wan cut ${WAN_CUT_SECONDS} s, $WAN_CUT_MIB MiB"
  row wancut_write "$label: write + flush" s uncut - cut
  row wancut_image "$label: until the image holds it" s uncut - cut
  row wancut_cut_at "$label: cut began after" s - - cut
  row wancut_after "$label: image holds it, from cut's end" s - - cut
  row wancut_reconnects "$label: reconnects" count - - cut
  row wancut_flush_rc "$label: qemu-img status (0: ok)" status - - cut
}

# SFTP on loopback (ONLY all or sftp), then over the WAN relay (ONLY all or wan).
run_sftp() {
  note "over SFTP: private sshd, ${SFTP_DISK}-byte image on tmpfs"
  sftp_serve_image
  [ "$ONLY" = wan ] || run_sftp_loopback
  [ "$ONLY" = sftp ] || run_wan
  stop_pid "$SSHD_PID"
}

run_sftp_loopback() {
  local rep side mode
  nbdkit_start "$SFTP_IMAGE"
  for mode in read write; do
    note "sftp: sequential $mode of $SFTP_MIB MiB"
    for ((rep = 1; rep <= REPS; rep++)); do
      for side in $(rotated "$rep"); do sftp_transfer "$side" "$mode"; done
    done
  done
  note "sftp: 4 KiB reads spread over the disk, depth 1"
  local s
  for ((rep = 1; rep <= REPS; rep++)); do
    for side in $(sides_in_order "$rep" ours nbdkit); do
      if [ "$side" = ours ]; then
        ours_start ssh "$SFTP_IMAGE" "$SFTP_DISK"
        s=$(qbench "$OURS_OPTS" $((3000 / SCALE)) 1 4K "$SPREAD_STEP" r)
        record sftp_rand4k ours "$(rate $((3000 / SCALE)) 4K "$s")"
        ours_stop
      else
        s=$(qbench "$NBD_OPTS" $((3000 / SCALE)) 1 4K "$SPREAD_STEP" r)
        record sftp_rand4k nbdkit "$(rate $((3000 / SCALE)) 4K "$s")"
      fi
    done
  done
  run_random_writes
  stop_pid "$NBD_PID"
  run_stream_reads
}

# A burst of 4 KiB writes spread over the disk at depth 1, closed by qemu-img's flush: the
# wall time (login, writes, flush) as writes per second, and the bytes the image took per
# write (the bench host's sftp_bytes_w, its final stop writing nothing more).
run_random_writes() {
  local n=$((400 / SCALE)) rep side t0 bin
  note "sftp: $n 4 KiB writes spread over the disk, depth 1, then a flush"
  for ((rep = 1; rep <= REPS; rep++)); do
    for side in $(sides_of "$rep" ours nbdkit); do
      t0=$(now_ns)
      if [ "$side" = nbdkit ]; then
        qbench "$NBD_OPTS" "$n" 1 4K "$SPREAD_STEP" w >/dev/null
        record sftp_wr4k nbdkit "$(awk -v n="$n" -v s="$(seconds_since "$t0")" 'BEGIN { printf "%.0f", n / s }')"
        continue
      fi
      bin=$BUILD/bench_host
      [ "$side" = before ] && bin=$BEFORE_BIN
      OURS_BIN=$bin ours_start ssh "$SFTP_IMAGE" "$SFTP_DISK"
      t0=$(now_ns)
      qbench "$OURS_OPTS" "$n" 1 4K "$SPREAD_STEP" w >/dev/null
      record sftp_wr4k "$side" "$(awk -v n="$n" -v s="$(seconds_since "$t0")" 'BEGIN { printf "%.0f", n / s }')"
      ours_stop
      record sftp_wr4k_bytes "$side" "$(grep -o '"sftp_bytes_w":[0-9]*' "$BENCH_WORK/ours.last.log" |
        awk -F: -v n="$n" '{ printf "%.1f", $2 / 1024 / n }')"
    done
  done
  record sftp_wr4k_bytes ceiling 16
}

print_table() {
  local w id label count depth size step mode goal opts phase
  echo
  echo "norvaled benchmarks, $(date -u +%Y-%m-%dT%H:%MZ), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)," \
    "$(if [ "$ONLY" = wan-cut ]; then echo "one run per side"; else echo "$REPS alternated runs per side, medians$( ((QUICK)) && echo ", --quick")"; fi)"
  echo
  table_header
  if [ "$ONLY" = wan-cut ]; then
    print_wan_cut_table
    return
  fi
  if [ "$ONLY" = all ] || [ "$ONLY" = mock ]; then
    for phase in warm cold; do
      for w in "${MOCK_WORKLOADS[@]}"; do
        IFS='|' read -r id label count depth size step mode goal <<<"$w"
        row "${phase}_$id" "mock $phase: $label" "$(unit_of "$size")" tgt "$goal"
        if [ "$phase" = cold ] && [ "$mode" = r ] && [ -n "${BEFORE_BIN:-}" ]; then
          row "${phase}_$id" "mock $phase: $label, after/before" "$(unit_of "$size")" before -
        fi
      done
      for w in "${PERF_WORKLOADS[@]}"; do
        IFS='|' read -r id label opts goal <<<"$w"
        row "${phase}_$id" "mock $phase: $label" IOPS tgt "$goal"
      done
    done
  fi
  if [ "$ONLY" = all ] || [ "$ONLY" = sftp ]; then
    row sftp_read "sftp cold seq read 1 MiB" MB/s loop 0.95
    row sftp_read "sftp cold seq read 1 MiB" MB/s nbdkit 1.0
    row sftp_read "sftp cold seq read 1 MiB" MB/s sshfs -
    row sftp_write "sftp seq write 1 MiB + flush" MB/s loop 0.85
    row sftp_write "sftp seq write 1 MiB + flush" MB/s nbdkit 1.2
    if [ -n "${BEFORE_BIN:-}" ]; then
      row sftp_write "sftp seq write 1 MiB + flush, after/before" MB/s before -
    fi
    row sftp_write "sftp seq write 1 MiB + flush" MB/s sshfs -
    row sftp_read "store alone: chunk reads in order" MB/s loop - store
    row sftp_write "store alone: chunk writes in order" MB/s loop - store
    row sftp_rand4k "sftp cold 4 KiB reads spread, depth 1" IOPS nbdkit 0.5
    row sftp_wr4k "sftp 4 KiB writes spread + flush, depth 1" IOPS nbdkit 1.0
    row sftp_wr4k_bytes "the same: image bytes written per write" "KiB max" ceiling 1.0
    if [ -n "${BEFORE_BIN:-}" ]; then
      row sftp_wr4k "sftp 4 KiB writes spread + flush, after/before" IOPS before -
      row sftp_wr4k_bytes "the same, before" "KiB max" ceiling 1.0 before
    fi
    row sftp_mem "host peak RSS, $SFTP_MIB MiB of writes" "MiB peak" ceiling 1.0
    row stream_r "64 MiB stream of 1 MiB writes: image read" "MiB max" ceiling 1.0
    if [ -n "${BEFORE_BIN:-}" ]; then
      row stream_r "the same, before" "MiB max" ceiling 1.0 before
    fi
  fi
  if [ "$ONLY" = all ] || [ "$ONLY" = wan ]; then
    local link id rtt mbit rest
    for link in "${WAN_LINKS[@]}"; do
      IFS='|' read -r id rtt mbit rest <<<"$link"
      for side in loop nbdkit link; do
        local goal=-
        [ "$side" = link ] && goal=0.85
        row "${id}_read" "wan $rtt ms $mbit Mbit/s: cold seq read 1 MiB" MB/s "$side" "$goal"
      done
      for side in loop nbdkit link; do
        local goal=-
        [ "$side" = link ] && goal=0.85
        row "${id}_write" "wan $rtt ms $mbit Mbit/s: seq write 1 MiB + flush" MB/s "$side" "$goal"
      done
      row "${id}_read" "wan $rtt ms $mbit Mbit/s: loop read, against the link" MB/s link - loop
      row "${id}_write" "wan $rtt ms $mbit Mbit/s: loop write, against the link" MB/s link - loop
      local rgoal=-
      [ "$id" = wan20 ] && rgoal=0.9
      row "${id}_rand4k" "wan $rtt ms $mbit Mbit/s: 4 KiB reads spread, depth 1" IOPS nbdkit "$rgoal"
    done
    row wb_latency "wan 20 ms 20 Mbit/s: worst cached read in write-back" "ms max" ceiling 1.0
    if [ -n "${BEFORE_BIN:-}" ]; then
      row wb_latency "the same, before" "ms max" ceiling 1.0 before
    fi
  fi
}
