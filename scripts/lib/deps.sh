# The libraries Debian 12 lacks, built from Debian's own source packages into a cache outside
# the source tree (NORVALED_DEPS_CACHE, default ~/.cache/norvaled-deps), once per recipe:
#   linux/   libssh2 1.11.1 (trixie's source) on the system's OpenSSL 3, static and PIC, for
#            scripts/setup-deps.sh; CMakeLists.txt looks there by default.
#   mingw/   OpenSSL 3 (bookworm's source, libcrypto only) and libssh2 1.11.1 on it, static,
#            for scripts/build-windows.sh.
# Debian 12's own libssh2 is 1.10, which signs RSA user keys only with SHA-1 (refused by
# OpenSSH since 8.8). Sourced, not run; the callers set -euo pipefail.

deps_cache=${NORVALED_DEPS_CACHE:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/norvaled-deps}
deps_libssh2_version=1.11.1
deps_jobs=2
deps_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

# A change here rebuilds the cached libraries: each prefix keeps the recipe it was built by.
deps_linux_recipe="libssh2 $deps_libssh2_version; OpenSSL: system; static, PIC, no zlib; 1"
deps_mingw_recipe="libssh2 $deps_libssh2_version; OpenSSL 3.0 from bookworm, libcrypto only; 1"

deps_log() { echo "deps: $*" >&2; }

# apt-get with a private source list and state: the machine's own apt configuration stays
# untouched, and trixie's libssh2 and bookworm's OpenSSL come from the same archive.
deps_private_apt() {
  apt-get -o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$deps_cache/apt/sources" \
    -o Dir::State::Lists="$deps_cache/apt/lists" -o Dir::Cache="$deps_cache/apt/cache" \
    -o APT::Sandbox::User=root "$@"
}

deps_apt_ready=0
deps_apt_update() {
  [ $deps_apt_ready = 1 ] && return
  mkdir -p "$deps_cache/apt/sources" "$deps_cache/apt/lists/partial" "$deps_cache/apt/cache"
  local suite uri
  for suite in bookworm bookworm-security trixie; do
    uri=http://deb.debian.org/debian
    [ "$suite" = bookworm-security ] && uri=http://deb.debian.org/debian-security
    printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: %s\n' \
      "$uri" "$suite" /usr/share/keyrings/debian-archive-keyring.gpg \
      >"$deps_cache/apt/sources/$suite.sources"
  done
  deps_private_apt -qq update
  deps_apt_ready=1
}

# Unpacks a Debian source package into $deps_cache/src/NAME (replaced) and prints that path.
# The first suite that has the package gives it: bookworm-security before bookworm.
deps_source() { # name package suite...
  local name=$1 package=$2 suite dir
  shift 2
  deps_apt_update
  rm -rf "$deps_cache/src/$name"
  for suite in "$@"; do
    rm -rf "$deps_cache/src/unpack"
    mkdir -p "$deps_cache/src/unpack"
    (cd "$deps_cache/src/unpack" && deps_private_apt -qq source "$package/$suite" >/dev/null 2>&1) &&
      break
  done
  dir=$(find "$deps_cache/src/unpack" -mindepth 1 -maxdepth 1 -type d | head -n 1)
  [ -n "$dir" ] && [ -f "$dir/debian/copyright" ] || {
    deps_log "Debian's source archive did not give $package ($*)"
    exit 1
  }
  mv "$dir" "$deps_cache/src/$name"
  rm -rf "$deps_cache/src/unpack"
  echo "$deps_cache/src/$name"
}

# Runs a build step with its output in a log; on failure the log's tail and the script ends.
deps_run() { # log command...
  local log=$1
  shift
  if ! "$@" >>"$log" 2>&1; then
    tail -n 40 "$log" >&2
    deps_log "$* failed; full log in $log"
    exit 1
  fi
}

deps_cmake() { # log source-dir build-dir prefix cmake-args...
  local log=$1 src=$2 build=$3 prefix=$4
  shift 4
  deps_run "$log" cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" "$@"
  deps_run "$log" cmake --build "$build" -j "$deps_jobs"
  deps_run "$log" cmake --install "$build"
}

deps_libssh2_args=(-DBUILD_SHARED_LIBS=OFF -DBUILD_STATIC_LIBS=ON -DBUILD_EXAMPLES=OFF
                   -DBUILD_TESTING=OFF -DENABLE_ZLIB_COMPRESSION=OFF -DCRYPTO_BACKEND=OpenSSL)

# Builds into $deps_cache/PLATFORM unless it holds RECIPE; one builder at a time per cache.
deps_build() { # platform recipe build-function
  local prefix=$deps_cache/$1
  mkdir -p "$deps_cache"
  exec {deps_lock}>"$deps_cache/lock"
  flock "$deps_lock"
  if [ "$(cat "$prefix/recipe" 2>/dev/null)" != "$2" ]; then
    local started=$SECONDS
    deps_log "building into $prefix: $2"
    rm -rf "$prefix" "$deps_cache/build/$1" "$deps_cache/build/$1.log"
    mkdir -p "$deps_cache/build/$1"
    "$3" "$prefix" "$deps_cache/build/$1"
    echo "$2" >"$prefix/recipe"
    rm -rf "$deps_cache/build/$1"
    deps_log "built in $((SECONDS - started)) s"
  fi
  exec {deps_lock}>&-
}

deps_build_linux() { # prefix build-dir
  local src
  src=$(deps_source libssh2 libssh2 trixie)
  deps_cmake "$2.log" "$src" "$2/libssh2" "$1" "${deps_libssh2_args[@]}" \
    -DCMAKE_POSITION_INDEPENDENT_CODE=ON
}

# libssh2 for the Linux build: $deps_cache/linux.
deps_linux() {
  deps_build linux "$deps_linux_recipe" deps_build_linux
}

# OpenSSL 3 for mingw: libcrypto alone (libssh2 needs nothing else), static, without what
# libssh2 never asks for. Its seed comes from CryptGenRandom (advapi32), as mingw builds it.
deps_openssl_options=(no-shared no-tests no-module no-legacy no-engine no-dso no-comp
                      no-ui-console no-autoload-config no-ocsp no-cms no-ts no-ct no-srp no-cmp
                      no-sm2 no-sm3 no-sm4 no-idea no-mdc2 no-rc2 no-rc4 no-rc5 no-seed no-bf
                      no-cast no-camellia no-aria no-whirlpool no-md4 no-siphash no-scrypt)

deps_build_mingw() { # prefix build-dir
  local ssl ssh toolchain=$deps_root/cmake/mingw-w64-x86_64.cmake
  ssl=$(deps_source openssl openssl bookworm-security bookworm)
  ssh=$(deps_source libssh2 libssh2 trixie)
  mkdir -p "$2/openssl" "$1/include/openssl" "$1/lib"
  (cd "$2/openssl" &&
    deps_run "$2.log" perl "$ssl/Configure" mingw64 --cross-compile-prefix=x86_64-w64-mingw32- \
      CC=gcc-posix --prefix="$1" --libdir=lib "${deps_openssl_options[@]}" &&
    deps_run "$2.log" make -j "$deps_jobs" build_generated &&
    deps_run "$2.log" make -j "$deps_jobs" libcrypto.a)
  cp "$ssl"/include/openssl/*.h "$2"/openssl/include/openssl/*.h "$1/include/openssl/"
  cp "$2/openssl/libcrypto.a" "$1/lib/"
  deps_cmake "$2.log" "$ssh" "$2/libssh2" "$1" "${deps_libssh2_args[@]}" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DOPENSSL_INCLUDE_DIR="$1/include" \
    -DLIB_EAY="$1/lib/libcrypto.a" -DOPENSSL_USE_STATIC_LIBS=ON
}

# OpenSSL and libssh2 for the Windows build: $deps_cache/mingw. Their sources stay in
# $deps_cache/src for the licence texts.
deps_mingw() {
  deps_build mingw "$deps_mingw_recipe" deps_build_mingw
  [ -f "$deps_cache/src/libssh2/COPYING" ] || deps_source libssh2 libssh2 trixie >/dev/null
  [ -f "$deps_cache/src/openssl/LICENSE.txt" ] ||
    deps_source openssl openssl bookworm-security bookworm >/dev/null
}
