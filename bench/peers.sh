# shellcheck shell=bash
# Starting and stopping the systems under test: norvaled's bench host, tgtd, the private sshd,
# nbdkit's ssh plugin and sshfs. Sourced by bench/run.sh after lib.sh.

NORVALED_IQN=iqn.2026-08.com.velmorak:norvaled
TGT_IQN=iqn.2026-08.bench:tgt
BENCH_USER=nvbench

iscsi_opts() { # PORT IQN LUN: qemu-img --image-opts for an iSCSI LUN on loopback
  echo "driver=raw,file.driver=iscsi,file.transport=tcp,file.portal=127.0.0.1:$1,file.target=$2,file.lun=$3"
}
nbd_opts() { echo "driver=raw,file.driver=nbd,file.server.type=inet,file.server.host=127.0.0.1,file.server.port=$1"; }

# ours_start mock IMAGE SIZE | ours_start ssh IMAGE SIZE: sets OURS_PID, OURS_PORT, OURS_LOG.
# OURS_BIN picks another build of the bench host (the "before" side); SSH_VIA another port
# for the SSH connection (the WAN relay).
ours_start() {
  local mode=$1 image=$2 size=$3 bin=${OURS_BIN:-$BUILD/bench_host}
  OURS_PORT=$(free_port)
  if [ "$mode" = mock ]; then
    start_bg ours "$bin" mock "$image" "$size" "$OURS_PORT"
  else
    start_bg ours "$bin" ssh 127.0.0.1 "${SSH_VIA:-$SSHD_PORT}" "$BENCH_USER" "$SSH_KEY" \
      "$image" "$size" "$OURS_PORT"
  fi
  OURS_PID=$BG_PID OURS_LOG=$BENCH_WORK/ours.log
  wait_for_line "$OURS_LOG" '^ready' 30 "$OURS_PID" || die "bench_host did not start: $(cat "$OURS_LOG")"
  OURS_OPTS=$(iscsi_opts "$OURS_PORT" "$NORVALED_IQN" 0)
}

# Stops the bench host (final write-back included) and sets OURS_PEAK_KIB from its report.
ours_stop() {
  stop_pid "$OURS_PID" 60
  OURS_PEAK_KIB=$(sed -n 's/^peak_rss_kib //p' "$OURS_LOG")
  grep -q '^stop 0' "$OURS_LOG" || note "bench_host stop reported: $(grep '^stop' "$OURS_LOG" || echo nothing)"
  cp "$OURS_LOG" "$BENCH_WORK/ours.last.log"
}

# tgt_start IMAGE: tgtd on its own portal and management channel, the image as LUN 1.
tgt_start() {
  local image=$1
  TGT_PORT=$(free_port)
  TGT_CTL=$((20000 + $$ % 10000))
  start_bg tgtd tgtd -f -C "$TGT_CTL" --iscsi "portal=127.0.0.1:$TGT_PORT"
  TGT_PID=$BG_PID
  wait_port "$TGT_PORT" 10 || die "tgtd did not listen: $(cat "$BENCH_WORK/tgtd.log")"
  local adm=(tgtadm -C "$TGT_CTL" --lld iscsi)
  "${adm[@]}" --op new --mode target --tid 1 -T "$TGT_IQN"
  "${adm[@]}" --op new --mode logicalunit --tid 1 --lun 1 -b "$image"
  "${adm[@]}" --op bind --mode target --tid 1 -I ALL
  TGT_OPTS=$(iscsi_opts "$TGT_PORT" "$TGT_IQN" 1)
}

tgt_stop() {
  tgtadm -C "$TGT_CTL" --lld iscsi --op delete --mode target --tid 1 --force >/dev/null 2>&1 || true
  tgtadm -C "$TGT_CTL" --op delete --mode system >/dev/null 2>&1 || true
  stop_pid "$TGT_PID" 10
}

# A private sshd on loopback for the test user, keys made for this run only.
sshd_start() {
  local d=$BENCH_WORK/ssh
  mkdir -p "$d" /run/sshd
  id "$BENCH_USER" >/dev/null 2>&1 ||
    useradd --system --create-home --home-dir "/var/lib/$BENCH_USER" --shell /bin/sh "$BENCH_USER"
  usermod -p '*' "$BENCH_USER" # no password, but not locked: sshd refuses locked accounts
  ssh-keygen -q -t ed25519 -N '' -f "$d/host_key"
  ssh-keygen -q -t ed25519 -N '' -f "$d/id"
  SSH_KEY=$d/id
  cp "$d/id.pub" "$d/authorized_keys"
  chmod 644 "$d/authorized_keys"
  SSHD_PORT=$(free_port)
  cat >"$d/sshd_config" <<EOF
Port $SSHD_PORT
ListenAddress 127.0.0.1
HostKey $d/host_key
PidFile none
AuthorizedKeysFile $d/authorized_keys
StrictModes no
UsePAM no
PasswordAuthentication no
KbdInteractiveAuthentication no
PermitRootLogin no
AllowUsers $BENCH_USER
Subsystem sftp internal-sftp
LogLevel ERROR
EOF
  start_bg sshd /usr/sbin/sshd -D -e -f "$d/sshd_config"
  SSHD_PID=$BG_PID
  wait_port "$SSHD_PORT" 10 || die "sshd did not listen: $(cat "$BENCH_WORK/sshd.log")"
}

# nbdkit's ssh plugin serving the same remote file; it connects when a client does.
nbdkit_start() {
  local path=$1
  NBD_PORT=$(free_port)
  start_bg nbdkit nbdkit -f -i 127.0.0.1 -p "$NBD_PORT" ssh host=127.0.0.1 port="${SSH_VIA:-$SSHD_PORT}" \
    user="$BENCH_USER" identity="$SSH_KEY" verify-remote-host=false path="$path"
  NBD_PID=$BG_PID
  wait_port "$NBD_PORT" 10 || die "nbdkit did not listen: $(cat "$BENCH_WORK/nbdkit.log")"
  NBD_OPTS=$(nbd_opts "$NBD_PORT")
}

# sshfs_mount DIR: mounts the remote image directory freshly, so nothing is in its cache.
sshfs_mount() {
  SSHFS_MNT=$BENCH_WORK/mnt
  mkdir -p "$SSHFS_MNT"
  start_bg sshfs sshfs -f -o "port=$SSHD_PORT,IdentityFile=$SSH_KEY,BatchMode=yes" \
    -o StrictHostKeyChecking=no,UserKnownHostsFile=/dev/null,LogLevel=ERROR \
    "$BENCH_USER@127.0.0.1:$1" "$SSHFS_MNT"
  SSHFS_PID=$BG_PID
  BENCH_MOUNTS+=("$SSHFS_MNT")
  local i
  for ((i = 0; i < 200; i++)); do
    mountpoint -q "$SSHFS_MNT" && return 0
    kill -0 "$SSHFS_PID" 2>/dev/null || break
    sleep 0.05
  done
  die "sshfs did not mount: $(cat "$BENCH_WORK/sshfs.log")"
}

sshfs_unmount() {
  fusermount3 -u "$SSHFS_MNT" 2>/dev/null || fusermount -u "$SSHFS_MNT" 2>/dev/null || true
  BENCH_MOUNTS=()
  stop_pid "$SSHFS_PID" 10
}

# relay_start RTT_MS MBIT [CUT_AT_MIB CUT_SECONDS]: the WAN relay in front of sshd, cutting the
# link once when asked (see bench/wan_relay.cpp); sets RELAY_PORT and RELAY_PID.
relay_start() {
  RELAY_PORT=$(free_port)
  start_bg relay "$BUILD/wan_relay" "$RELAY_PORT" "$SSHD_PORT" "$@"
  RELAY_PID=$BG_PID
  wait_for_line "$BENCH_WORK/relay.log" '^ready' 10 "$RELAY_PID" || die "wan_relay did not start: $(cat "$BENCH_WORK/relay.log")"
}

# --before REF: the bench host built from another commit, for before/after rows in one run.
build_before() {
  local src=$BENCH_WORK/before-src
  mkdir -p "$src"
  git -C "$ROOT" archive "$1" | tar -x -C "$src" || die "cannot export $1"
  rm -rf "$BUILD-before" # its cache names the source tree of an earlier run
  cmake -S "$src/bench" -B "$BUILD-before" -DCMAKE_BUILD_TYPE=Release >"$BENCH_WORK/build-before.log" 2>&1 &&
    cmake --build "$BUILD-before" -j2 --target bench_host >>"$BENCH_WORK/build-before.log" 2>&1 ||
    die "build of $1 failed: $(tail -20 "$BENCH_WORK/build-before.log")"
  BEFORE_BIN=$BUILD-before/bench_host
}
