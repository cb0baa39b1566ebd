#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and (with --windows / --bench) the
# Windows cross-build and the benchmarks need. Idempotent: only missing packages are fetched.
set -euo pipefail

packages=(cmake g++ make pkg-config libssh2-1-dev libgtest-dev openssh-server openssh-client
          libiscsi-bin libiscsi-dev qemu-utils qemu-block-extra procps python3 clang-format
          clang libclang-rt-14-dev)
for arg in "$@"; do
  case "$arg" in
    --windows) packages+=(g++-mingw-w64-x86-64 wine64 wine dpkg-dev xz-utils) ;;
    --bench) packages+=(tgt nbdkit sshfs fio linux-perf) ;;
    *) echo "setup-deps: unknown option $arg" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup-deps: installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" = 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
