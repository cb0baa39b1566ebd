#!/usr/bin/env bash
# Cross-builds the Windows DLL and its command-line host with mingw-w64:
#   build-windows/norvaled.dll, build-windows/norvaled.exe
# and the SDK a Windows developer links against (scripts/package-windows.sh):
#   build-windows/norvaled-VERSION-win64.zip
#
# Debian ships no mingw build of libssh2, so libssh2 1.11.1 and OpenSSL 3 (libcrypto only)
# are built here from Debian's source archive, statically, into the cache outside the source
# tree that scripts/lib/deps.sh keeps (NORVALED_DEPS_CACHE, default ~/.cache/norvaled-deps),
# once. OpenSSL rather than WinCNG: Wine's bcrypt lacks DH, raw RSA and ECDH, and WinCNG in
# libssh2 offers only SHA-1 ssh-rsa host keys, which current OpenSSH refuses. OpenSSL does its
# own arithmetic and takes only its seed from the system (CryptGenRandom in advapi32, which
# Wine provides: every login under Wine draws on it); unlike mbedTLS before it, it gives
# Ed25519 user and host keys, ssh-keygen's default, and reads keys in OpenSSH's own format.
#   scripts/build-windows.sh            install packages, build deps if missing, build
#   NORVALED_WINDOWS_BUILD=dir ...      another build directory
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/setup-deps.sh --windows

. scripts/lib/deps.sh
build_dir=${NORVALED_WINDOWS_BUILD:-build-windows}
toolchain=$root/cmake/mingw-w64-x86_64.cmake
deps_mingw

started=$SECONDS
cmake -S . -B "$build_dir" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DLIBSSH2_ROOT="$deps_cache/mingw" \
  >/dev/null
cmake --build "$build_dir" -j "$deps_jobs"
echo "=== Windows build in $build_dir done in $((SECONDS - started)) s"

# The SDK zip carries the licence texts of the static deps, which come from their sources.
scripts/package-windows.sh "$build_dir" "$deps_cache/src/libssh2" "$deps_cache/src/openssl"
