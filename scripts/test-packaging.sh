#!/usr/bin/env bash
# What a user of the installed library gets, checked on a built tree (default build/):
#   - `cmake --install` into a scratch prefix; the example host builds against it through
#     find_package(norvaled) and through pkg-config, and both builds serve a mock image to
#     iscsi-inq and stop cleanly (one on Enter, one on SIGTERM);
#   - the man page renders without warnings and names every option `norvaled serve --help` has;
#   - the .deb (cpack) depends on libssl3 (libssh2 1.11 is linked in, never Debian 12's
#     libssh2-1), holds the expected files, builds the example from a dpkg -x root, and
#     installs and purges cleanly in a scratch dpkg root;
#   - scripts/mount-linux.sh on a mock image: ext4 made, a file tree written, unmounted and
#     stopped; then e2fsck -fn of the image is clean and every file's checksum matches.
#   scripts/test-packaging.sh [BUILD-DIR]    NORVALED_FS_FILES=N writes N files (default 8000)
# Ends with "packaging: N passed, N failed".
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$(cd "${1:-build}" && pwd)
fs_files=${NORVALED_FS_FILES:-8000}
started=$SECONDS

. scripts/test-lib.sh

work=$(mktemp -d /tmp/norvaled-packaging-XXXXXX)
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  mountpoint -q "$work/ro" && umount "$work/ro"
  rm -rf "$work"
}
trap cleanup EXIT

wait_for_line() { # pid file text seconds: 0 once the file holds the text
  local deadline=$((SECONDS + $4))
  until grep -q "$3" "$2" 2>/dev/null; do
    kill -0 "$1" 2>/dev/null && ((SECONDS < deadline)) || { sed 's/^/    /' "$2"; return 1; }
    sleep 0.2
  done
}

cmake --build "$build" --target norvaled norvaled_host -j 2 >/dev/null

# --- install into a scratch prefix, build the example both ways ----------------------------
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log"
installed_ok() {
  local f
  for f in include/norvaled.h lib/libnorvaled.so lib/libnorvaled.so.1 bin/norvaled \
           share/man/man1/norvaled.1 lib/pkgconfig/norvaled.pc lib/cmake/norvaled/norvaledConfig.cmake; do
    [ -e "$prefix/$f" ] || { echo "  missing $f"; return 1; }
  done
  readelf -d "$prefix/lib/libnorvaled.so" | grep -q 'SONAME.*\[libnorvaled\.so\.1\]' &&
    [ "$("$prefix/bin/norvaled" version)" = "norvaled $(pkg_version)" ]
}
pkg_version() { PKG_CONFIG_PATH=$prefix/lib/pkgconfig pkg-config --modversion norvaled; }
check "cmake --install: header, libnorvaled.so.1, norvaled, man page, package files" installed_ok

example_cmake() {
  cmake -S examples -B "$work/example-cmake" -DCMAKE_PREFIX_PATH="$prefix" >"$work/example-cmake.log" 2>&1 &&
    cmake --build "$work/example-cmake" >>"$work/example-cmake.log" 2>&1 ||
    { tail -n 20 "$work/example-cmake.log"; return 1; }
}
example_pkg_config() { # pkgconfig-dir output
  local flags
  flags=$(PKG_CONFIG_PATH=$1 pkg-config --cflags --libs norvaled) &&
    cc -std=c99 -Wall -Wextra -Werror -pedantic examples/norvaled-example.c $flags -o "$2"
}
check "the example builds with find_package(norvaled)" example_cmake
check "the example builds with pkg-config" example_pkg_config "$prefix/lib/pkgconfig" "$work/example-pc"

# Serves a mock image, lets iscsi-inq see the disk, ends it by Enter or by SIGTERM.
example_serves() { # program enter|term
  local out=$work/example-$2.out port rc=0
  port=$(free_port)
  mkfifo "$work/stdin-$2"
  LD_LIBRARY_PATH=$prefix/lib "$1" mock "$work/example-$2.img" 64 "$port" \
    <"$work/stdin-$2" >"$out" 2>&1 &
  local pid=$!
  pids+=("$pid")
  exec 9>"$work/stdin-$2"
  local inquiry=
  wait_for_line "$pid" "$out" "press Enter" 30 &&
    inquiry=$(timeout 60 iscsi-inq "iscsi://127.0.0.1:$port/iqn.2026-08.com.velmorak:norvaled/0" 2>&1)
  grep -q VELMORAK <<<"$inquiry" || { echo "  iscsi-inq: $inquiry"; exec 9>&-; return 1; }
  if [ "$2" = enter ]; then echo >&9; else kill -TERM "$pid"; fi
  exec 9>&-
  wait "$pid" || rc=$?
  grep -q "norvaled_stop: ok" "$out" && grep -q "norvaled_disconnect: ok" "$out" && [ $rc = 0 ] ||
    { sed 's/^/    /' "$out"; return 1; }
}
check "the CMake-built example serves a mock image and stops on Enter" \
  example_serves "$work/example-cmake/norvaled-example" enter
check "the pkg-config-built example serves a mock image and stops on SIGTERM" \
  example_serves "$work/example-pc" term

# --- the man page and --help ------------------------------------------------------------------
man_agrees() {
  local warnings options missing=0 o
  warnings=$(man --warnings -E UTF-8 -l docs/norvaled.1 2>&1 >/dev/null)
  [ -z "$warnings" ] || { echo "  $warnings"; missing=1; }
  options=$("$build/norvaled" serve --help | grep -oE -- '--[a-z0-9-]+' | sort -u)
  for o in $options; do
    grep -qF -- "${o//-/\\-}" docs/norvaled.1 || { echo "  the man page lacks $o"; missing=1; }
  done
  return $missing
}
check "the man page renders cleanly and documents every serve option" man_agrees

# --- the Debian package -----------------------------------------------------------------------
(cd "$build" && cpack -G DEB -B "$work/deb" >"$work/cpack.log" 2>&1) ||
  { tail -n 20 "$work/cpack.log"; }
deb=$(ls "$work"/deb/norvaled_*_amd64.deb 2>/dev/null | head -n 1)
deb_ok() {
  [ -n "$deb" ] || { echo "  cpack made no .deb"; return 1; }
  local depends files f
  depends=$(dpkg-deb -f "$deb" Depends)
  echo "  Depends: $depends"
  grep -qE '(^|, )libssl3( |,|$)' <<<"$depends" && ! grep -q libssh2 <<<"$depends" || return 1
  files=$(dpkg-deb -c "$deb" | awk '{print $6}')
  for f in ./usr/bin/norvaled ./usr/include/norvaled.h ./usr/lib/libnorvaled.so.1 \
           ./usr/lib/libnorvaled.so ./usr/lib/pkgconfig/norvaled.pc ./usr/share/man/man1/norvaled.1 \
           ./usr/lib/cmake/norvaled/norvaledConfig.cmake ./usr/share/doc/norvaled/libssh2-COPYING; do
    grep -qxF "$f" <<<"$files" || { echo "  the .deb lacks $f"; return 1; }
  done
  # Nothing from the build tree or the tests.
  ! grep -E 'gtest|test_|/build' <<<"$files"
}
check "the .deb depends on libssl3, not libssh2-1; holds program, library, development files" \
  deb_ok

deb_example() {
  dpkg -x "$deb" "$work/deb-root" &&
    example_pkg_config "$work/deb-root/usr/lib/pkgconfig" "$work/example-deb"
}
check "the example builds against the .deb unpacked with dpkg -x" deb_example

# A dpkg database of its own: the machine's packages stay untouched. The maintainer scripts
# (ldconfig) run outside the scratch root, which has no shell.
deb_install_purge() {
  local r=$work/dpkg-root
  mkdir -p "$r/var/lib/dpkg/info" "$r/var/lib/dpkg/updates" "$r/var/lib/dpkg/triggers"
  touch "$r/var/lib/dpkg/status"
  local dpkg=(dpkg --root="$r" --force-script-chrootless --force-depends)
  "${dpkg[@]}" -i "$deb" >"$work/dpkg.log" 2>&1 && [ -x "$r/usr/bin/norvaled" ] &&
    "${dpkg[@]}" --purge norvaled >>"$work/dpkg.log" 2>&1 ||
    { sed 's/^/    /' "$work/dpkg.log"; return 1; }
  local left
  left=$(find "$r" -not -type d -not -path "$r/var/*")
  [ -z "$left" ] || { echo "  left after purge: $left"; return 1; }
}
check "the .deb installs and purges cleanly" deb_install_purge

# --- the disk as an ext4 file system (scripts/mount-linux.sh) ---------------------------------
image=$work/fs.img
mnt=$work/mnt
mount_pid=

# Files of 1 byte to 16 KiB in directories of 100, from a fixed seed.
write_tree() {
  python3 - "$mnt" "$fs_files" "$work/sums" <<'EOF'
import hashlib, os, random, sys
top, count, sums_path = sys.argv[1], int(sys.argv[2]), sys.argv[3]
rng = random.Random(4711)
with open(sums_path, "w") as sums:
    for i in range(count):
        d = os.path.join(top, "d%03d" % (i // 100))
        os.makedirs(d, exist_ok=True)
        data = rng.randbytes(rng.randint(1, 16384))
        with open(os.path.join(d, "f%05d" % i), "wb") as f:
            f.write(data)
        sums.write("%s  d%03d/f%05d\n" % (hashlib.sha256(data).hexdigest(), i // 100, i))
EOF
}

stopped_cleanly() {
  kill -TERM "$mount_pid"
  local rc=0
  wait "$mount_pid" || rc=$?
  grep -q "stopped: everything was written back" "$work/mount.log" && [ $rc = 0 ] ||
    { sed 's/^/    /' "$work/mount.log"; return 1; }
}

image_checks_out() {
  e2fsck -fn "$image" >"$work/e2fsck.log" 2>&1 || { sed 's/^/    /' "$work/e2fsck.log"; return 1; }
  mount -o ro,loop "$image" "$work/ro" || return 1
  local rc=0
  (cd "$work/ro" && sha256sum --quiet -c "$work/sums") || rc=1
  umount "$work/ro"
  return $rc
}

fs_round_trip() {
  mkdir -p "$mnt" "$work/ro"
  NORVALED_PROGRAM=$build/norvaled scripts/mount-linux.sh --image "$image" --size 256M "$mnt" \
    >"$work/mount.log" 2>&1 &
  mount_pid=$!
  pids+=("$mount_pid")
  if ! wait_for_line "$mount_pid" "$work/mount.log" "mounted on" 180; then
    fail "mount-linux.sh mounts a blank mock image"
    return
  fi
  pass "mount-linux.sh serves, exports, attaches, formats and mounts a blank mock image"
  check "$fs_files files written on the mounted file system" write_tree
  check "mount-linux.sh unmounts and stops in order on SIGTERM, everything written back" stopped_cleanly
  check "the image after the stop: e2fsck -fn clean, every checksum matches" image_checks_out
}

if [ "$(id -u)" = 0 ]; then
  fs_round_trip
else
  skip "the file-system round trip: loop devices and mount need root"
fi

echo "=== packaging tests done in $((SECONDS - started)) s"
echo "packaging: $passed passed, $failed failed, $skipped skipped"
[ $failed = 0 ]
