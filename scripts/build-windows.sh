#!/usr/bin/env bash
# Cross-builds the Windows DLL and its command-line host with mingw-w64:
#   build-windows/norvaled.dll, build-windows/norvaled.exe
# and the SDK a Windows developer links against (scripts/package-windows.sh):
#   build-windows/norvaled-VERSION-win64.zip
#
# Debian ships no mingw build of libssh2, so libssh2 1.11.1 and its crypto back end mbedTLS
# 2.28.3 are built here from Debian's source archive, statically, into a cache outside the
# source tree (NORVALED_DEPS_CACHE, default ~/.cache/norvaled-win-deps), once. mbedTLS rather
# than WinCNG: Wine's bcrypt lacks DH, raw RSA and ECDH, and WinCNG in libssh2 offers only SHA-1
# ssh-rsa host keys, which current OpenSSH refuses.
#   scripts/build-windows.sh            install packages, build deps if missing, build
#   NORVALED_WINDOWS_BUILD=dir ...      another build directory
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/setup-deps.sh --windows

libssh2_version=1.11.1
mbedtls_version=2.28.3
cache=${NORVALED_DEPS_CACHE:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/norvaled-win-deps}
prefix=$cache/libssh2-$libssh2_version-mbedtls-$mbedtls_version
build_dir=${NORVALED_WINDOWS_BUILD:-build-windows}
toolchain=$root/cmake/mingw-w64-x86_64.cmake
jobs=2

# apt-get with a private source list and state: the machine's own apt configuration stays
# untouched, and bookworm's mbedTLS plus trixie's libssh2 come from the same archive.
private_apt() {
  apt-get -o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$cache/apt/sources" \
    -o Dir::State::Lists="$cache/apt/lists" -o Dir::Cache="$cache/apt/cache" \
    -o APT::Sandbox::User=root "$@"
}

fetch_sources() { # -> $cache/src/{libssh2,mbedtls}-VERSION
  mkdir -p "$cache/apt/sources" "$cache/apt/lists/partial" "$cache/apt/cache" "$cache/src"
  local suite
  for suite in bookworm trixie; do
    printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: %s\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
      "$suite" >"$cache/apt/sources/$suite.sources"
  done
  private_apt -qq update
  (cd "$cache/src" && rm -rf "libssh2-$libssh2_version" "mbedtls-$mbedtls_version" &&
    private_apt -qq source "libssh2/trixie" "mbedtls/bookworm" >/dev/null)
  local d
  for d in "libssh2-$libssh2_version" "mbedtls-$mbedtls_version"; do
    [ -f "$cache/src/$d/CMakeLists.txt" ] || {
      echo "build-windows: Debian's source archive did not give $d (found: $(ls "$cache/src"))" >&2
      exit 1
    }
  done
}

cmake_dep() { # name source-dir cmake-args...
  local name=$1 src=$2
  local log=$cache/build/$name.log
  shift 2
  if ! { cmake -S "$src" -B "$cache/build/$name" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
           -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" "$@" &&
         cmake --build "$cache/build/$name" -j "$jobs" &&
         cmake --install "$cache/build/$name"; } >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "build-windows: building $name failed; full log in $log" >&2
    exit 1
  fi
}

build_deps() {
  local started=$SECONDS
  echo "=== building mbedTLS $mbedtls_version and libssh2 $libssh2_version for mingw into $prefix"
  fetch_sources
  rm -rf "$cache/build" "$prefix"
  mkdir -p "$cache/build"
  cmake_dep mbedtls "$cache/src/mbedtls-$mbedtls_version" \
    -DENABLE_PROGRAMS=OFF -DENABLE_TESTING=OFF -DMBEDTLS_FATAL_WARNINGS=OFF \
    -DUSE_STATIC_MBEDTLS_LIBRARY=ON -DUSE_SHARED_MBEDTLS_LIBRARY=OFF
  cmake_dep libssh2 "$cache/src/libssh2-$libssh2_version" \
    -DCRYPTO_BACKEND=mbedTLS -DMBEDTLS_INCLUDE_DIR="$prefix/include" \
    -DMBEDCRYPTO_LIBRARY="$prefix/lib/libmbedcrypto.a" -DENABLE_ZLIB_COMPRESSION=OFF \
    -DBUILD_SHARED_LIBS=OFF -DBUILD_STATIC_LIBS=ON -DBUILD_EXAMPLES=OFF -DBUILD_TESTING=OFF
  echo "=== deps built in $((SECONDS - started)) s"
}

[ -f "$prefix/lib/libssh2.a" ] && [ -f "$prefix/lib/libmbedcrypto.a" ] || build_deps

started=$SECONDS
cmake -S . -B "$build_dir" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DLIBSSH2_ROOT="$prefix" >/dev/null
cmake --build "$build_dir" -j "$jobs"
echo "=== Windows build in $build_dir done in $((SECONDS - started)) s"

# The SDK zip carries the licence texts of the static deps, which come from their sources.
[ -f "$cache/src/libssh2-$libssh2_version/COPYING" ] &&
  [ -f "$cache/src/mbedtls-$mbedtls_version/LICENSE" ] || fetch_sources
scripts/package-windows.sh "$build_dir" "$cache/src/libssh2-$libssh2_version" \
  "$cache/src/mbedtls-$mbedtls_version"
