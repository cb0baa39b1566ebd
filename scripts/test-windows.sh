#!/usr/bin/env bash
# The Windows build under Wine, against Linux peers on 127.0.0.1 only:
#   - norvaled.dll imports only Windows system DLLs and exports the norvaled_ functions;
#   - `norvaled.exe serve` on a mock image answers iscsi-inq, and a 64 MiB qemu-img round trip
#     comes back intact and lands in the image file;
#   - `norvaled.exe serve --sftp` on a private OpenSSH sshd, with a password and with a key,
#     writes what an initiator wrote into the remote file;
#   - norvaled_connect's failures (refused port, a listener that never speaks SSH, a wrong
#     password) give the Windows DLL the same code and text as the Linux library;
#   - the attachment's services: the elevation export, hidden children (Wine's cmd, a missing
#     program), the elevation helper with a fake powershell.exe, the mount log's path, and a
#     machine without iscsidsc.dll or MSiSCSI;
#   - without an iSCSI initiator the elevated mount stops at the service step (-9);
#   - with stand-ins for iscsidsc.dll, iscsicli.exe and the MSiSCSI service, the elevated mount
#     reaches the disk wait and the unmounts run their stages; the non-elevated path through
#     the fake powershell.exe mounts and unmounts.
# Builds first (scripts/build-windows.sh, with its cached deps). Ends with "N passed, N failed".
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
started=$SECONDS

scripts/build-windows.sh
bw=$root/${NORVALED_WINDOWS_BUILD:-build-windows}
iqn=iqn.2026-08.com.velmorak:norvaled
ssh_user=nvtest                # the test suite's sshd user, with the same password
ssh_password=nv-Test-pass-4711
image_mib=64

. scripts/test-lib.sh

work=$(mktemp -d /tmp/norvaled-wine-XXXXXX)
chmod 755 "$work"
pids=()
sshd_pid=
remote_dir=
cleanup() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  [ -z "$sshd_pid" ] || kill "$sshd_pid" 2>/dev/null || true
  wineserver -k 2>/dev/null || true
  [ -z "$remote_dir" ] || rm -rf "$remote_dir"
  rm -rf "$work"
}
trap cleanup EXIT

port_open() { # port
  python3 -c 'import socket,sys; socket.create_connection(("127.0.0.1",int(sys.argv[1])),1).close()' \
    "$1" 2>/dev/null
}

# --- Wine: a private prefix in the build directory, made afresh; one persistent wineserver -
wine=
for w in /usr/lib/wine/wine64 wine64 wine; do
  if command -v "$w" >/dev/null; then wine=$(command -v "$w"); break; fi
done
if [ -z "$wine" ]; then
  skip "Windows tests: no Wine loader (wine64) is installed"
  echo "wine: $passed passed, $failed failed, $skipped skipped"
  exit 0
fi
export WINEPREFIX=$bw/wine-prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Started before any wine call with its output detached: otherwise the wineserver that the
# first call starts inherits that call's pipes, and a reader of them never sees their end.
# A fresh prefix each run: a later check installs a stand-in initiator and registers its
# service, which the checks of a machine without one must not find.
wineserver -k 2>/dev/null || true
rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
wineserver -p </dev/null >/dev/null 2>&1
"$wine" wineboot.exe --init </dev/null >/dev/null 2>&1 || true

winpath() { # a Linux path as Wine's Z: drive sees it
  printf 'Z:%s' "${1//\//\\}"
}

# Wine writes CR LF line ends.
strip_cr() { tr -d '\r'; }

# --- the DLL's imports and exports ----------------------------------------------------------
system_dlls='^(kernel32|msvcrt|ws2_32|advapi32|bcrypt|crypt32|user32|shell32|ole32|oleaut32|shlwapi|ntdll|iphlpapi|setupapi|cfgmgr32|rpcrt4|userenv|secur32|version)\.dll$'
imports_ok() { # pe-file [extra allowed dll]
  local dll bad=0
  while read -r dll; do
    dll=${dll,,}
    [ -n "${2:-}" ] && [ "$dll" = "$2" ] && continue
    if ! [[ $dll =~ $system_dlls ]]; then echo "  imports $dll"; bad=1; fi
  done < <(x86_64-w64-mingw32-objdump -p "$1" | sed -n 's/^\s*DLL Name: //p')
  return $bad
}
exports_ok() {
  local table f missing=0
  table=$(x86_64-w64-mingw32-objdump -p "$bw/norvaled.dll" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p')
  for f in norvaled_version norvaled_last_error norvaled_stats norvaled_connect norvaled_start \
           norvaled_stop norvaled_disconnect norvaled_flush norvaled_disk_state \
           norvaled_process_elevated norvaled_mount norvaled_mount_ex norvaled_unmount; do
    grep -qw "$f" <<<"$table" || { echo "  missing export $f"; missing=1; }
  done
  # Nothing but the norvaled_ functions: the static runtime must stay inside.
  if grep -E '^\s+\[' <<<"$table" | grep -vq 'norvaled_'; then
    echo "  exports more than norvaled_*:"; grep -E '^\s+\[' <<<"$table" | grep -v norvaled_ | head -5
    missing=1
  fi
  return $missing
}
check "norvaled.dll imports only Windows system DLLs" imports_ok "$bw/norvaled.dll"
check "norvaled.exe imports only norvaled.dll and system DLLs" imports_ok "$bw/norvaled.exe" norvaled.dll
check "norvaled.dll exports the norvaled_ functions and nothing else" exports_ok

# --- serving under Wine ---------------------------------------------------------------------
serve_pid=
serve_port=
serve_out=
serve_start() { # name serve-args... : starts norvaled.exe serve and waits for its portal
  local name=$1
  shift
  serve_out=$work/$name.out
  serve_port=$(free_port)
  : >"$serve_out"
  # The arguments first: an image named by URL must be the first one.
  (cd "$bw" && exec "$wine" ./norvaled.exe serve "$@" --port "$serve_port") \
    </dev/null >"$serve_out" 2>&1 &
  serve_pid=$!
  pids+=("$serve_pid")
  local deadline=$((SECONDS + 60))
  while ((SECONDS < deadline)); do
    if ! kill -0 "$serve_pid" 2>/dev/null; then
      echo "  norvaled.exe serve ended early:"; strip_cr <"$serve_out" | sed 's/^/    /'
      return 1
    fi
    strip_cr <"$serve_out" | grep -q "portal  127.0.0.1:$serve_port" && return 0
    sleep 0.2
  done
  echo "  norvaled.exe serve did not come up in 60 s"
  return 1
}

serve_stop() { # Ctrl-C (Wine turns SIGINT into a console event); 0 when it wrote back and ended
  kill -INT "$serve_pid" 2>/dev/null || true
  local deadline=$((SECONDS + 60)) rc=0
  while kill -0 "$serve_pid" 2>/dev/null && ((SECONDS < deadline)); do sleep 0.2; done
  if kill -0 "$serve_pid" 2>/dev/null; then
    echo "  norvaled.exe serve did not stop within 60 s"
    kill "$serve_pid" 2>/dev/null || true
    return 1
  fi
  wait "$serve_pid" || rc=$?
  strip_cr <"$serve_out" | grep -q "stopped: everything was written back to the image" && [ $rc = 0 ] ||
    { echo "  exit $rc:"; strip_cr <"$serve_out" | tail -5 | sed 's/^/    /'; return 1; }
}

lun_url() { echo "iscsi://127.0.0.1:$serve_port/$iqn/0"; }

inquiry_ok() {
  local out
  out=$(timeout 60 iscsi-inq "$(lun_url)" 2>&1) || { echo "  $out"; return 1; }
  grep -q VELMORAK <<<"$out" && grep -q NORVALED <<<"$out" || { echo "  $out"; return 1; }
}

# Writes `data` over the whole LUN and reads it back.
round_trip_ok() { # data-file
  local back=$work/back.raw
  rm -f "$back"
  timeout 300 qemu-img convert -n -f raw -O raw "$1" "$(lun_url)" &&
    timeout 300 qemu-img convert -f raw -O raw "$(lun_url)" "$back" &&
    cmp "$1" "$back"
}

data=$work/data.raw
head -c $((image_mib << 20)) /dev/urandom >"$data"

have_initiators=1
for tool in iscsi-inq:libiscsi-bin qemu-img:qemu-utils; do
  command -v "${tool%%:*}" >/dev/null || { skip "initiator tests: ${tool%%:*} (${tool#*:}) is not installed"; have_initiators=0; }
done

if [ $have_initiators = 1 ]; then
  mock=$work/mock.img
  if serve_start mock --image "$(winpath "$mock")" --size ${image_mib}M; then
    check "mock image: iscsi-inq sees VELMORAK NORVALED" inquiry_ok
    check "mock image: qemu-img round trip of $image_mib MiB" round_trip_ok "$data"
    check "mock image: norvaled.exe stops on Ctrl-C after writing back" serve_stop
    check "mock image: the image file holds the written data" cmp "$data" "$mock"
  else
    fail "mock image: norvaled.exe serve starts"
  fi
fi

# --- the attachment on a machine without an iSCSI initiator ---------------------------------
# Wine's token is elevated and it has no MSiSCSI service: the mount stops at the service step.
mount_without_initiator() {
  local out=$work/mount-probe.out pub=$work/public port log
  mkdir -p "$pub"
  port=$(free_port)
  (cd "$bw" && exec timeout 120 "$wine" ./mount_probe.exe --public "$(winpath "$pub")\\" \
    "$(winpath "$work/probe.img")" "$port" E mount) </dev/null >"$out" 2>&1 || true
  log=$pub/vk_norvaled_mount.log
  if strip_cr <"$out" | grep -qx 'mount -9 MSiSCSI service not running (admin required)' &&
     strip_cr <"$out" | grep -q '"svc_state_mode":0' &&
     strip_cr <"$log" 2>/dev/null | grep -q '] disk_state=0 allow_format=1$'; then
    return 0
  fi
  strip_cr <"$out" | sed 's/^/    /'
  return 1
}
check "mount without an iSCSI initiator: -9 at the service step, and its log line" \
  mount_without_initiator

# --- a private OpenSSH sshd on 127.0.0.1 ----------------------------------------------------
# Every key type ssh-keygen makes, at its default sizes and in its default format: host keys
# ed25519, ecdsa and rsa; user keys of the same types, plain and with a passphrase.
ssh_passphrase='nv key phrase 42'
user_keys=(id_ed25519 id_ed25519_p id_ecdsa id_ecdsa_p id_rsa id_rsa_p)
sshd_port=
sshd_dir=$work/sshd
sshd_start() {
  mkdir -p "$sshd_dir" /run/sshd
  local type key
  for type in ed25519 ecdsa rsa; do
    ssh-keygen -q -t $type -N '' -C norvaled-wine-host -f "$sshd_dir/host_$type"
    ssh-keygen -q -t $type -N '' -C norvaled-wine -f "$sshd_dir/id_$type"
    ssh-keygen -q -t $type -N "$ssh_passphrase" -C norvaled-wine -f "$sshd_dir/id_${type}_p"
  done
  for key in "${user_keys[@]}"; do cat "$sshd_dir/$key.pub"; done >"$sshd_dir/authorized_keys"
  chmod 644 "$sshd_dir/authorized_keys"
  flock /tmp/norvaled-test-user.lock /bin/sh -c \
    "id -u $ssh_user >/dev/null 2>&1 || /usr/sbin/useradd -m -s /bin/sh $ssh_user; echo '$ssh_user:$ssh_password' | /usr/sbin/chpasswd"
  remote_dir=$(mktemp -d "$(getent passwd "$ssh_user" | cut -d: -f6)/wine-XXXXXX")
  chown "$ssh_user:" "$remote_dir"
  sshd_port=$(free_port)
  cat >"$sshd_dir/sshd_config" <<EOF
ListenAddress 127.0.0.1
Port $sshd_port
HostKey $sshd_dir/host_ed25519
HostKey $sshd_dir/host_ecdsa
HostKey $sshd_dir/host_rsa
PidFile $sshd_dir/sshd.pid
AuthorizedKeysFile $sshd_dir/authorized_keys
AllowUsers $ssh_user
PasswordAuthentication yes
PubkeyAuthentication yes
KbdInteractiveAuthentication no
PermitRootLogin no
UsePAM no
StrictModes no
UseDNS no
LogLevel VERBOSE
Subsystem sftp internal-sftp
EOF
  # known_hosts_TYPE lists the server by that key alone, so that it must show that one.
  for type in ed25519 ecdsa rsa; do
    echo "[127.0.0.1]:$sshd_port $(cut -d' ' -f1,2 "$sshd_dir/host_$type.pub")" >"$sshd_dir/kh_$type"
  done
  # What an ssh user would write: an alias, and the known_hosts file that knows the server.
  printf 'Host wine-sftp\n  HostName 127.0.0.1\n  Port %s\n  User %s\nHost *\n  UserKnownHostsFile %s\n' \
    "$sshd_port" "$ssh_user" "$(winpath "$sshd_dir/kh_ed25519" | tr '\\' /)" >"$sshd_dir/ssh_config"
  /usr/sbin/sshd -D -e -f "$sshd_dir/sshd_config" </dev/null >"$sshd_dir/log" 2>&1 &
  sshd_pid=$!
  local deadline=$((SECONDS + 10))
  while ! port_open "$sshd_port"; do
    kill -0 "$sshd_pid" 2>/dev/null && ((SECONDS < deadline)) || {
      echo "  sshd did not come up:"; sed 's/^/    /' "$sshd_dir/log"; return 1
    }
    sleep 0.1
  done
}

have_sshd=0
if ! [ -x /usr/sbin/sshd ] || ! command -v ssh-keygen >/dev/null; then
  skip "SFTP tests: openssh-server is not installed"
elif sshd_start; then
  have_sshd=1
else
  fail "SFTP tests: the private sshd starts"
fi

# A whole-disk round trip through the target, then the stop's write-back must have put every
# byte into the remote file. No terminal to ask on: the configuration's known_hosts knows the
# server (by its ed25519 key).
sftp_case() { # name image and login args... (the remote image is $remote_dir/name.img)
  local name=$1
  shift
  if serve_start "sftp-$name" "$@" -F "$(winpath "$sshd_dir/ssh_config")" --size ${image_mib}M; then
    check "sftp ($name): qemu-img round trip of $image_mib MiB" round_trip_ok "$data"
    check "sftp ($name): norvaled.exe stops on Ctrl-C after writing back" serve_stop
    check "sftp ($name): the remote file holds the written data" cmp "$data" "$remote_dir/$name.img"
  else
    fail "sftp ($name): norvaled.exe serve connects and starts"
  fi
}

if [ $have_sshd = 1 ] && [ $have_initiators = 1 ]; then
  NORVALED_TEST_PASSWORD=$ssh_password sftp_case password --sftp "$ssh_user@127.0.0.1:$sshd_port" \
    --image "$remote_dir/password.img" --password-env NORVALED_TEST_PASSWORD
  NORVALED_TEST_PASSPHRASE=$ssh_passphrase sftp_case key "sftp://wine-sftp$remote_dir/key.img" \
    --key "$(winpath "$sshd_dir/id_ed25519_p")" --passphrase-env NORVALED_TEST_PASSPHRASE
fi

# --- norvaled_connect failures: the same code and text as the Linux library -----------------
# The Linux side: the same probe against a Linux build of the library in the build directory.
linux_ref=$bw/linux-ref
linux_probe() {
  cmake -S . -B "$linux_ref" -DNORVALED_TESTS=OFF >/dev/null &&
    cmake --build "$linux_ref" --target norvaled -j 2 >/dev/null &&
    g++ -std=c++17 -Wall -Wextra -Werror -Iinclude tests/wine/connect_probe.cpp \
      -L"$linux_ref" -lnorvaled -Wl,-rpath,"$linux_ref" -o "$linux_ref/connect_probe"
}

same_answer() { # expected-code probe-args...
  local expected=$1 win lin
  shift
  win=$(cd "$bw" && timeout 60 "$wine" ./connect_probe.exe "$@" </dev/null 2>&1 | strip_cr)
  lin=$(timeout 60 "$linux_ref/connect_probe" "$@" 2>&1)
  echo "  windows: $win"
  [ "$win" = "$lin" ] || { echo "  linux:   $lin"; return 1; }
  [ "${win%% *}" = "$expected" ]
}

# A login with a file member (key_path, known_hosts): each system is given the file by its own
# name for it, and both must log in.
logs_in_both() { # member file more-members
  local win lin
  win=$(cd "$bw" && timeout 60 "$wine" ./connect_probe.exe 127.0.0.1 "$sshd_port" "$ssh_user" \
    "{\"$1\":\"$(winpath "$2" | sed 's/\\/\\\\/g')\"$3}" </dev/null 2>&1 | strip_cr)
  lin=$(timeout 60 "$linux_ref/connect_probe" 127.0.0.1 "$sshd_port" "$ssh_user" "{\"$1\":\"$2\"$3}" 2>&1)
  [ "${win%% *}" = 0 ] && [ "${lin%% *}" = 0 ] || { echo "  windows: $win"; echo "  linux:   $lin"; return 1; }
}

# Against a loopback peer that never answers (tests/wine/silent_peer.py mute|full), with a
# budget of 2500 ms: both time-outs are -13 and say "2 s".
silent_answer() { # mute|full
  local port out=$work/silent-$1.out
  port=$(free_port)
  python3 tests/wine/silent_peer.py "$1" "$port" 60 >"$out" &
  pids+=($!)
  for _ in $(seq 100); do grep -q ready "$out" 2>/dev/null && break; sleep 0.1; done
  NORVALED_CONNECT_TIMEOUT_MS=2500 same_answer -13 127.0.0.1 "$port" "$ssh_user" '{"password":"x"}'
}

if linux_probe; then
  refused=$(free_port) # bound once, then closed: nothing listens there
  check "connect to a refused port: -8, same text as on Linux" \
    same_answer -8 127.0.0.1 "$refused" "$ssh_user" '{"password":"x"}'

  check "handshake with a mute listener: -13, same text as on Linux" silent_answer mute
  check "TCP connect never completing: -13, same text as on Linux" silent_answer full

  if [ $have_sshd = 1 ]; then
    check "wrong password: -10, same text as on Linux" \
      same_answer -10 127.0.0.1 "$sshd_port" "$ssh_user" '{"password":"not the password"}'
    check "password login: 0 on both" \
      same_answer 0 127.0.0.1 "$sshd_port" "$ssh_user" "{\"password\":\"$ssh_password\"}"
    # Each host key type checked against a known_hosts that lists only it, and each user key
    # type, plain and with its passphrase: the Windows DLL logs in as the Linux library does.
    for type in ed25519 ecdsa rsa; do
      check "$type host key checked against known_hosts: 0 on both" \
        logs_in_both known_hosts "$sshd_dir/kh_$type" ",\"password\":\"$ssh_password\""
    done
    for key in "${user_keys[@]}"; do
      passphrase=
      [[ $key != *_p ]] || passphrase=",\"passphrase\":\"$ssh_passphrase\""
      check "$key user key: 0 on both" logs_in_both key_path "$sshd_dir/$key" "$passphrase"
    done
  fi
else
  fail "the Linux reference build of the connect probe"
fi

# --- the attachment's services -------------------------------------------------------------
# A fake powershell.exe where the helper starts it by full path; Wine's own is replaced.
attach=$work/attach
mkdir -p "$attach/public" "$attach/out dir"
ps_dir=$WINEPREFIX/drive_c/windows/system32/WindowsPowerShell/v1.0
mkdir -p "$ps_dir"
cp "$bw/fake_powershell.exe" "$ps_dir/powershell.exe"
attach_log=$attach/public/vk_norvaled_mount.log
probe() { # attach_probe arguments... -> its output line in $probe_out
  (cd "$attach" && timeout 120 "$wine" "$bw/attach_probe.exe" --public "$(winpath "$attach/public")\\" \
    "$@" </dev/null >"$attach/probe.out" 2>&1) || true
  probe_out=$(strip_cr <"$attach/probe.out")
}
expect_out() { # expected-output
  [ "$probe_out" = "$1" ] || { echo "  got: $probe_out"; return 1; }
}
log_has() { # text
  strip_cr <"$attach_log" 2>/dev/null | grep -qF -- "$1" || { echo "  no log line with: $1"; return 1; }
}

probe elevated
check "norvaled_process_elevated: 1 (Wine's token is elevated)" expect_out "elevated=1"

probe run 60000 "cmd /c echo hi > \"$(winpath "$attach/out dir/hi.txt")\""
hi_ok() { expect_out "rc=0 err=" && [ "$(strip_cr <"$attach/out dir/hi.txt")" = "hi " ] &&
  log_has "child done wr=0 exit=0 cmd=cmd /c echo hi > "; }
check "run_hidden: Wine's cmd /c writes the redirected file; the mount log lies in PUBLIC" hi_ok

probe run 60000 "no-such-program-here x"
missing_ok() { expect_out "rc=-1 err=child spawn failed (gle=2) -- admin required for diskpart" &&
  log_has "CreateProcess FAILED gle=2 cmd=no-such-program-here x"; }
check "run_hidden: a missing program gives -1 and gle=2" missing_ok

# A grandchild (cmd runs the holder) that outlives the limit is gone when the runner returns:
# the file it held open without sharing can be deleted at once.
probe outlive "$(winpath "$attach/out dir/held.txt")"
check "run_hidden: at the limit the child's whole job has ended before it returns" \
  expect_out "rc=1 held=1 deleted=1"

probe envpass
check "run_hidden: the child gets the environment whole, characters outside the ANSI code page too" \
  expect_out "rc=0"

printf "L 'hello from the script'\r\nL 'RC=1'\r\nL 'RC=-12'\r\n" >"$attach/body.ps1"
probe elev unmount 60000 "$(winpath "$attach/body.ps1")"
elev_ok() { expect_out "rc=-12 err=" && log_has "elev unmount: requesting one UAC prompt" &&
  log_has "elev unmount | hello from the script" &&
  [ -z "$(find "$WINEPREFIX/drive_c" "$attach/public" -name 'vk_norvaled_elev_*')" ]; }
check "elevation helper: the fake powershell.exe's last RC line decides; no file is left" elev_ok

# No usable temporary directory (TMP and TEMP too long for GetTempPathA): the helper fails
# rather than put an elevated script into a directory other users share.
long_tmp="C:\\$(printf 'x%.0s' $(seq 300))"
probe --set "TMP=$long_tmp" --set "TEMP=$long_tmp" elev mount 60000 "$(winpath "$attach/body.ps1")"
check "elevation helper: without the user's temporary directory it fails, writing nothing" \
  expect_out "rc=-1 err=cannot find the user's temporary directory"

prefix_ok() { strip_cr <"$attach_log" | grep -Eqv '^\[[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3} pid=[0-9]+\] ' &&
  { echo "  a line without the prefix"; return 1; }; return 0; }
check "mount log: every line carries the time and pid prefix" prefix_ok

probe initiator
check "no iscsidsc.dll, no MSiSCSI: no disk, no service, login refused (126)" \
  expect_out "disk=-1 service=absent login=126"

# --- the attachment against a stand-in Microsoft iSCSI Initiator ---------------------------
# Wine ships no iscsidsc.dll, iscsicli.exe or MSiSCSI service: the prefix gets the stand-ins of
# tests/wine/standin/, which record every call in one file. Wine's disks carry no vendor
# strings, so the elevated mount gets through service, sweep, portal and login and stops at
# the disk wait; the unmounts then run every stage against the listing the test controls.
standin=$work/standin
mkdir -p "$standin/elevated" "$standin/uac" "$standin/letter"
cp "$bw/standin/iscsidsc.dll" "$bw/standin/iscsicli.exe" "$bw/standin/msiscsi_service.exe" \
  "$WINEPREFIX/drive_c/windows/system32/"
"$wine" sc.exe create MSiSCSI 'binPath=' 'C:\windows\system32\msiscsi_service.exe' \
  </dev/null >"$standin/sc.out" 2>&1 || true
# Wine 8's services.exe refuses SERVICE_START on a service created while it runs (OpenService
# fails, the query alone works) until it reads the service back from the registry at its next
# start: restart this prefix's server and services.
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true
wineserver -p </dev/null >/dev/null 2>&1
session_id=ffffe0010000a001-4000013700000002
printf '%s\r\n' "Total of 1 sessions" "" "Session Id             : $session_id" \
  "Initiator Node Name    : iqn.1991-05.com.microsoft:wine" "Target Name            : $iqn" \
  "ISID                   : 40 00 01 37 00 00" "" >"$standin/one-session.txt"

standin_probe() { # name steps... : mount_probe with its log in $standin/name
  local dir=$standin/$1
  shift
  standin_port=$(free_port)
  (cd "$dir" && NORVALED_STANDIN_LOG=$(winpath "$dir/calls.log") exec timeout 180 "$wine" \
    "$bw/mount_probe.exe" --public "$(winpath "$dir")\\" "$(winpath "$dir/probe.img")" \
    "$standin_port" "${probe_letter:-E}" "$@") </dev/null >"$dir/probe.out" 2>&1 || true
}

# Each fixed string on a later line of the file than the one before ("^string": at its start).
in_order() { # file string...
  local file=$1 at=0 n want
  shift
  for want; do
    n=$(strip_cr <"$file" | awk -v from="$at" -v w="$want" '
      NR > from { p = substr(w, 1, 1) == "^" ? index($0, substr(w, 2)) == 1 : index($0, w) > 0 }
      NR > from && p { print NR; exit }')
    [ -n "$n" ] || { echo "  $(basename "$file"): none after line $at: $want"; return 1; }
    at=$n
  done
}

results_are() { # name lines... : the probe's result and stats lines, in order
  local out=$standin/$1/probe.out
  shift
  in_order "$out" "$@" || { strip_cr <"$out" | sed 's/^/    /'; return 1; }
}

standin_probe elevated mount unmount "sessions=$(winpath "$standin/one-session.txt")" unmount
el=$standin/elevated
check "stand-in initiator, elevated: mount -9 at the disk wait, service state 2; unmount 0, stage 7; with our session listed -12, stage 6" \
  results_are elevated "^mount -9 disk did not appear after iSCSI login" '"svc_state_mode":2' \
  "^unmount 0" '"last_unmount_stage":7' \
  "^unmount -12 unmount incomplete: the iSCSI session to $iqn is still logged in after 90 s" \
  '"last_unmount_stage":6'
check "stand-in initiator, elevated: sweep, portal and login reach iscsicli and iscsidsc.dll with 127.0.0.1, the port and the IQN" \
  in_order "$el/calls.log" "iscsicli SessionList" \
  "AddIScsiSendTargetPortalA initiator=(null) port_number=0xFFFFFFFF security=0 address=127.0.0.1 socket=$standin_port" \
  "LoginIScsiTargetA target=$iqn informational=0 initiator=(null) port_number=0xFFFFFFFF address=127.0.0.1 socket=$standin_port" \
  "iscsicli SessionList" "RemoveIScsiSendTargetPortalA initiator=(null) port_number=0xFFFFFFFF address=127.0.0.1 socket=$standin_port" \
  "iscsicli LogoutTarget $session_id" "LogoutIScsiTarget session=FFFFE0010000A001-4000013700000002 known=1" \
  "RemoveIScsiSendTargetPortalA" "iscsicli SessionList"
check "stand-in initiator, elevated: the mount and unmount log lines in order" \
  in_order "$el/vk_norvaled_mount.log" "] disk_state=0 allow_format=1" \
  "] stale-session sweep done (iqn=$iqn)" "] LoginIScsiTargetA hr=0x00000000" \
  "] waiting for disk (i=0)" "] waiting for disk (i=10)" "] waiting for disk (i=20)" \
  "] S1 cache flush rc=0 dirty=0 letter=-" "] S3 removing the NORVALED devnode" "] release rc=" \
  "] S4 session cleared=1 logged_out=1 elapsed=" "] done logged_out=1 session_present=0 devnode=-1" \
  "] S1 cache flush rc=0 dirty=0 letter=-" "] force logout id=$session_id rc=0" \
  "] S3 native logout hr=0x00000000" "] S4 session cleared=1 logged_out=1" \
  "] done logged_out=1 session_present=1"

# Wine's C: is another volume: refused on both paths before the initiator or a helper is asked.
probe_letter=C standin_probe letter mount uac mount
nothing_ran() {
  [ ! -e "$standin/letter/calls.log" ] || { echo "  the initiator was asked:"; strip_cr <"$standin/letter/calls.log" | sed 's/^/    /'; return 1; }
  ! strip_cr <"$standin/letter/vk_norvaled_mount.log" | grep -q 'elev mount' || { echo "  a helper ran"; return 1; }
}
check "a letter another volume holds (Wine's C:): -5 on both paths, nothing run" \
  results_are letter "^mount -5 drive letter C: is already in use" "^mount -5 drive letter C: is already in use"
check "a letter another volume holds: no initiator call, no helper" nothing_ran

# The unmount and the second mount run on other threads than the first mount, as a host's
# Ctrl-C handler does: the machine-wide mount lock must not belong to the mounting thread.
NORVALED_FAKE_PS_RC=0 standin_probe uac uac mount t:unmount t:mount t:unmount
check "not elevated (VK_NORVALED_FORCE_UAC=1), the fake powershell.exe answering RC=0: mount 0, unmount 0 and stage 7, twice, across threads" \
  results_are uac "^mount 0" '"last_mount_formatted":1' "^unmount 0" '"last_unmount_stage":7' \
  "^mount 0" "^unmount 0" '"last_unmount_stage":7'
check "not elevated: the helpers' log lines in order" \
  in_order "$standin/uac/vk_norvaled_mount.log" "starting the one-UAC helper (letter=E has_data=0)" \
  "] elev mount: requesting one UAC prompt" "] elev mount | RC=0" \
  "] mount: elevated helper SUCCESS letter=E" "] S1 (non-elevated) cache flush rc=0 dirty=0 letter=E" \
  "] elev unmount: requesting one UAC prompt" "] elev unmount | RC=0" \
  "] unmount: elevated helper SUCCESS"

# --- the SDK zip: import libraries, and the example host built against it ------------------
. scripts/test-windows-sdk.sh

echo "=== Wine tests done in $((SECONDS - started)) s"
echo "wine: $passed passed, $failed failed, $skipped skipped"
[ $failed = 0 ]
