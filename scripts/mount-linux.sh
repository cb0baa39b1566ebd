#!/usr/bin/env bash
# The served disk as a mounted file system on Linux, without the kernel's iSCSI initiator:
#
#   scripts/mount-linux.sh IMAGE-OPTIONS... MOUNTPOINT
#   scripts/mount-linux.sh --image disk.img --size 1G /mnt/disk
#   scripts/mount-linux.sh --sftp alice@files.example.org --image work.img --size 20G \
#       --key ~/.ssh/id_ed25519 /mnt/work
#
# IMAGE-OPTIONS are those of `norvaled serve` (see norvaled(1)); --port is chosen here.
#  1. build/norvaled serves the image on a free port of 127.0.0.1;
#  2. qemu-storage-daemon logs in to it (an iscsi blockdev) and exports the disk through FUSE
#     as a plain writable file;
#  3. a loop device takes that file; a blank disk (no signature, first MiB zero) gets an ext4
#     file system, any other disk is mounted as it is;
#  4. the file system is mounted on MOUNTPOINT.
# Ctrl-C (or SIGTERM) undoes it in order, each step by its PID or device: unmount, detach the
# loop device, stop qemu-storage-daemon (which flushes to the target), stop norvaled (which
# writes every cached chunk back to the image). Exit status 0 only when all of it succeeded.
# (A shell that starts this script in the background makes it ignore SIGINT: send SIGTERM.)
# Needs root (loop devices, mount) and the packages `qemu-system-common`, `qemu-block-extra`,
# `fuse3`, `e2fsprogs` (scripts/setup-deps.sh installs them).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
norvaled=${NORVALED_PROGRAM:-$root/build/norvaled}
iqn=iqn.2026-08.com.velmorak:norvaled

say() { echo "mount-linux: $*"; }
die() {
  echo "mount-linux: $*" >&2
  exit 1
}

(($# >= 1)) || die "usage: scripts/mount-linux.sh IMAGE-OPTIONS... MOUNTPOINT"
mountpoint=${!#}
serve_args=("${@:1:$#-1}")
[ -d "$mountpoint" ] || die "$mountpoint: not a directory"
for a in "${serve_args[@]}"; do
  [ "$a" != --port ] || die "--port is chosen by this script"
done
for tool in qemu-storage-daemon losetup mkfs.ext4 blkid mount umount; do
  command -v "$tool" >/dev/null || die "$tool is missing (scripts/setup-deps.sh installs it)"
done
[ -x "$norvaled" ] || die "$norvaled is missing: build it with cmake -S . -B build && cmake --build build"

work=$(mktemp -d /tmp/norvaled-mount-XXXXXX)
export_file=$work/disk
serve_pid=
qsd_pid=
loop=
mounted=0
status=0

# Stops what was started, newest first. A step that fails makes the exit status 1 but the
# later steps still run: a mounted file system must not keep the target alive forever.
tear_down() {
  trap '' INT TERM
  if [ $mounted = 1 ]; then
    say "unmounting $mountpoint"
    if umount "$mountpoint"; then mounted=0; else status=1; fi
  fi
  if [ -n "$loop" ] && [ $mounted = 0 ]; then
    say "detaching $loop"
    losetup -d "$loop" || status=1
    # The detach completes once the kernel drops its last reference; only then does the
    # export file close and the FUSE export unmount.
    local i
    for i in $(seq 300); do
      [ -n "$(losetup -n -O BACK-FILE "$loop" 2>/dev/null)" ] || break
      sleep 0.1
    done
    loop=
  fi
  if [ -n "$qsd_pid" ] && [ $mounted = 0 ]; then
    say "stopping qemu-storage-daemon (pid $qsd_pid)"
    kill -TERM "$qsd_pid" 2>/dev/null
    wait "$qsd_pid" || status=1
    qsd_pid=
  fi
  if [ -n "$serve_pid" ]; then
    say "stopping norvaled (pid $serve_pid); it writes its cache back to the image"
    kill -TERM "$serve_pid" 2>/dev/null
    local rc=0
    wait "$serve_pid" || rc=$?
    tail -n 2 "$work/norvaled.log"
    [ $rc = 0 ] || { say "norvaled ended with status $rc"; status=1; }
    serve_pid=
  fi
  if [ $mounted = 0 ]; then rm -rf "$work"; else say "kept $work: $mountpoint is still mounted"; fi
}
trap 'tear_down; exit $status' EXIT
trap 'say "stopping"; exit' INT TERM

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

wait_for() { # description seconds command... : polls until the command succeeds
  local what=$1 limit=$2 deadline
  shift 2
  deadline=$((SECONDS + limit))
  until "$@"; do
    ((SECONDS < deadline)) || die "$what did not happen within $limit s"
    [ -z "$serve_pid" ] || kill -0 "$serve_pid" 2>/dev/null ||
      die "norvaled ended: $(tail -n 3 "$work/norvaled.log")"
    [ -z "$qsd_pid" ] || kill -0 "$qsd_pid" 2>/dev/null ||
      die "qemu-storage-daemon ended: $(tail -n 3 "$work/qsd.log")"
    sleep 0.2
  done
}

# 1. The target.
port=$(free_port)
# Each helper in a session of its own: a Ctrl-C on the terminal reaches only this script, which
# then stops them in order. qemu-storage-daemon would otherwise quit under the mounted file
# system. (setsid does not fork here, so $! is the helper's own PID.)
setsid "$norvaled" serve --quiet --port "$port" "${serve_args[@]}" </dev/null >"$work/norvaled.log" 2>&1 &
serve_pid=$!
wait_for "norvaled serving on 127.0.0.1:$port" 120 grep -q "portal  127.0.0.1:$port" "$work/norvaled.log"
say "norvaled (pid $serve_pid) serves on 127.0.0.1:$port"

# 2. The disk as a plain file.
touch "$export_file"
setsid qemu-storage-daemon \
  --blockdev "driver=iscsi,node-name=disk,transport=tcp,portal=127.0.0.1:$port,target=$iqn,lun=0,cache.direct=on" \
  --export "type=fuse,id=export,node-name=disk,mountpoint=$export_file,writable=on" \
  </dev/null >"$work/qsd.log" 2>&1 &
qsd_pid=$!
exported() { grep -q " $export_file fuse" /proc/mounts; }
wait_for "the FUSE export of the disk" 60 exported
say "qemu-storage-daemon (pid $qsd_pid) exports the disk as $export_file ($(stat -c %s "$export_file") bytes)"

# 3. A loop device, and a file system on a blank disk.
loop=$(losetup --find --show "$export_file") || die "losetup failed"
say "loop device $loop"
blank() {
  ! blkid -p "$loop" >/dev/null 2>&1 && cmp -s -n $((1 << 20)) "$loop" /dev/zero
}
if blank; then
  say "the disk is blank: making an ext4 file system"
  mkfs.ext4 -q -F "$loop" || die "mkfs.ext4 failed"
fi

# 4. The mount.
mount "$loop" "$mountpoint" || die "cannot mount $loop (file system: $(blkid -p -o value -s TYPE "$loop" 2>/dev/null || echo none))"
mounted=1
say "mounted on $mountpoint; Ctrl-C unmounts and stops"

# Serving until a signal, or until a helper ends by itself.
while kill -0 "$serve_pid" 2>/dev/null && kill -0 "$qsd_pid" 2>/dev/null; do
  sleep 1 &
  wait $!
done
say "a helper ended by itself"
status=1
