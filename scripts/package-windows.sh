#!/usr/bin/env bash
# The Windows SDK zip from a finished mingw build (scripts/build-windows.sh calls this):
#   BUILD-DIR/norvaled-VERSION-win64.zip, one folder norvaled-VERSION-win64/ holding
#     bin/norvaled.dll, bin/norvaled.exe
#     include/norvaled.h
#     lib/norvaled.def        the DLL's exports, read from the DLL itself
#     lib/norvaled.lib        import library for MSVC (llvm-dlltool)
#     lib/libnorvaled.dll.a   import library for MinGW; lib/cmake, lib/pkgconfig for MinGW builds
#     examples/norvaled-example.c, README.md
#     licenses/               the texts of everything linked into the DLL and the program
#   scripts/package-windows.sh BUILD-DIR LIBSSH2-SOURCE-DIR OPENSSL-SOURCE-DIR
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1
libssh2_src=$2
openssl_src=$3

stage=$build/sdk-stage
rm -rf "$stage"
cmake --install "$build" --prefix "$stage/root" --strip >/dev/null
version=$(sed -n 's/^Version: //p' "$stage/root/lib/pkgconfig/norvaled.pc")
name=norvaled-$version-win64
sdk=$stage/$name
mv "$stage/root" "$sdk"

# The .def lists exactly what the DLL exports, so a new export needs no edit here.
exports=$(x86_64-w64-mingw32-objdump -p "$sdk/bin/norvaled.dll" |
  sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/s/^\s*\[\s*[0-9]*\] //p')
[ -n "$exports" ] || { echo "package-windows: norvaled.dll exports nothing" >&2; exit 1; }
{
  echo "LIBRARY norvaled.dll"
  echo "EXPORTS"
  sed 's/^/    /' <<<"$exports"
} >"$sdk/lib/norvaled.def"
llvm-dlltool -m i386:x86-64 -d "$sdk/lib/norvaled.def" -l "$sdk/lib/norvaled.lib"

mkdir -p "$sdk/examples" "$sdk/licenses"
cp README.md "$sdk/README.md"
cp examples/norvaled-example.c examples/CMakeLists.txt "$sdk/examples/"

# Everything linked in statically: libssh2 and OpenSSL from their Debian sources, the
# mingw-w64 runtime and winpthreads (mingw-w64-x86-64-dev ships both), and libstdc++ and
# libgcc under the GCC Runtime Library Exception (gcc-mingw-w64-base's copyright holds it).
licence() { # source target
  [ -f "$1" ] || { echo "package-windows: missing licence text $1" >&2; exit 1; }
  cp "$1" "$sdk/licenses/$2"
}
licence "$libssh2_src/COPYING" libssh2-COPYING.txt
licence "$libssh2_src/debian/copyright" libssh2-debian-copyright.txt
licence "$openssl_src/LICENSE.txt" openssl-LICENSE.txt
licence "$openssl_src/debian/copyright" openssl-debian-copyright.txt
licence /usr/share/doc/mingw-w64-x86-64-dev/copyright mingw-w64-runtime-and-winpthreads-copyright.txt
licence /usr/share/doc/gcc-mingw-w64-base/copyright gcc-libstdc++-libgcc-copyright.txt
licence /usr/share/common-licenses/GPL-3 GPL-3.txt
sed -n '/^GCC RUNTIME LIBRARY EXCEPTION/,/requirements of the license of GCC\./p' \
  /usr/share/doc/gcc-mingw-w64-base/copyright >"$sdk/licenses/gcc-runtime-library-exception.txt"
[ -s "$sdk/licenses/gcc-runtime-library-exception.txt" ] ||
  { echo "package-windows: no GCC Runtime Library Exception text found" >&2; exit 1; }

rm -f "$build/$name.zip"
(cd "$stage" && zip -qr -X "../$name.zip" "$name")
rm -rf "$stage"
echo "=== Windows SDK: $build/$name.zip"
