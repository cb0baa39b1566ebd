#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and (with --windows / --bench) the
# Windows cross-build and the benchmarks need, libssh2 1.11 built from Debian's source into a
# cache outside the tree (scripts/lib/deps.sh), and the PowerShell engine (build/pwsh).
# Idempotent: only what is missing is fetched or built.
set -euo pipefail

packages=(cmake g++ make pkg-config libgtest-dev openssh-server openssh-client
          libiscsi-bin libiscsi-dev ntfs-3g qemu-utils qemu-block-extra procps python3
          clang-format clang libclang-rt-14-dev)
# Packaging and the file-system round trip: cpack's dependency scan, the man page check,
# qemu-storage-daemon's FUSE export, loop devices and ext4; tgtd as another iSCSI target
# beside the library's own for the attachment tests.
packages+=(dpkg-dev man-db qemu-system-common fuse3 e2fsprogs util-linux tgt)
# libssh2 from Debian's source (apt-get source: dpkg-dev, xz-utils, the archive keyring) on
# the system's OpenSSL. Not libssh2-1-dev: the build links its own libssh2, never Debian 12's
# 1.10, and its header must not be at hand to be picked up by mistake.
packages+=(libssl-dev xz-utils debian-archive-keyring)
for arg in "$@"; do
  case "$arg" in
    --windows) packages+=(g++-mingw-w64-x86-64 wine64 wine perl) ;;
    --bench) packages+=(nbdkit sshfs fio linux-perf) ;;
    *) echo "setup-deps: unknown option $arg" >&2; exit 2 ;;
  esac
done
# The Windows SDK zip: llvm-dlltool / llvm-lib for the MSVC import library, zip.
[[ " $* " != *" --windows "* ]] || packages+=(llvm zip)

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

# libssh2 1.11.1 on the system's OpenSSL, static, in the cache CMakeLists.txt reads.
. "$(dirname "$0")/lib/deps.sh"
deps_linux

# PowerShell 7, the engine in which the stand-in's powershell runs the attachment's scripts: a
# .NET tool from NuGet, kept in build/pwsh. The version is named, since the newest does not
# install everywhere; a second install of a tool that is there fails, hence the check.
pwsh_version=7.6.10
pwsh_dir="$(cd "$(dirname "$0")/.." && pwd)/build/pwsh"
if [ ! -x "$pwsh_dir/pwsh" ] || [ ! -d "$pwsh_dir/.store/powershell/$pwsh_version" ]; then
  if command -v dotnet >/dev/null; then
    echo "setup-deps: installing PowerShell $pwsh_version into $pwsh_dir"
    export DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1
    [ ! -e "$pwsh_dir/pwsh" ] || dotnet tool uninstall PowerShell --tool-path "$pwsh_dir" >/dev/null
    dotnet tool install PowerShell --version "$pwsh_version" --tool-path "$pwsh_dir" >/dev/null
  else
    echo "setup-deps: no dotnet on PATH, so no PowerShell: the tests that run the attachment's" \
         "scripts skip (and fail in CI)" >&2
  fi
fi
