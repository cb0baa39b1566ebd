# The Windows SDK zip, checked from scripts/test-windows.sh (sourced there: it uses that
# script's Wine prefix and helpers, $bw, $work, check, imports_ok, strip_cr, free_port):
#   - the .def and both import libraries name every export of the DLL, and the header
#     declares each of them;
#   - the example host, cross-built against the unpacked zip (once through the MinGW import
#     library, once through the MSVC one), serves a mock image under Wine from beside the
#     zip's DLL, answers iscsi-inq and stops on Enter.

sdk_zip=$(ls "$bw"/norvaled-*-win64.zip 2>/dev/null | head -n 1)
sdk=$work/sdk/$(basename "${sdk_zip:-none}" .zip)
sdk_unpacked() {
  [ -n "$sdk_zip" ] || { echo "  scripts/build-windows.sh made no SDK zip"; return 1; }
  mkdir -p "$work/sdk" && (cd "$work/sdk" && unzip -q "$sdk_zip") || return 1
  local f
  for f in bin/norvaled.dll bin/norvaled.exe include/norvaled.h lib/norvaled.def \
           lib/norvaled.lib lib/libnorvaled.dll.a README.md licenses/libssh2-COPYING.txt \
           licenses/openssl-LICENSE.txt licenses/mingw-w64-runtime-and-winpthreads-copyright.txt \
           licenses/gcc-runtime-library-exception.txt; do
    [ -s "$sdk/$f" ] || { echo "  the zip lacks $f"; return 1; }
  done
}

# Every export of the DLL: in the .def, as __imp_ symbol in both import libraries, and
# declared NORVALED_API in the header.
sdk_exports_listed() {
  local exports name bad=0 msvc mingw
  exports=$(llvm-readobj --coff-exports "$sdk/bin/norvaled.dll" | sed -n 's/^ *Name: //p')
  [ -n "$exports" ] || { echo "  no exports read from the DLL"; return 1; }
  msvc=$(llvm-nm "$sdk/lib/norvaled.lib")
  mingw=$(llvm-nm "$sdk/lib/libnorvaled.dll.a")
  for name in $exports; do
    grep -qx "    $name" "$sdk/lib/norvaled.def" || { echo "  norvaled.def lacks $name"; bad=1; }
    grep -q " __imp_$name\$" <<<"$msvc" || { echo "  norvaled.lib lacks $name"; bad=1; }
    grep -q " __imp_$name\$" <<<"$mingw" || { echo "  libnorvaled.dll.a lacks $name"; bad=1; }
    grep -qE "^NORVALED_API .*[ *]$name\(" "$sdk/include/norvaled.h" ||
      { echo "  norvaled.h does not declare $name"; bad=1; }
  done
  echo "  $(wc -w <<<"$exports") exports"
  return $bad
}

sdk_example_built() { # import-library name
  x86_64-w64-mingw32-gcc -std=c99 -Wall -Wextra -Werror -pedantic -I"$sdk/include" \
    examples/norvaled-example.c "$sdk/lib/$1" -o "$work/sdk-run/$2.exe" &&
    imports_ok "$work/sdk-run/$2.exe" norvaled.dll
}

sdk_example_serves() { # name
  local out=$work/sdk-$1.out port rc=0 inquiry=
  port=$(free_port)
  mkfifo "$work/sdk-$1.in"
  (cd "$work/sdk-run" && exec "$wine" "./$1.exe" mock "$(winpath "$work/sdk-$1.img")" 64 "$port") \
    <"$work/sdk-$1.in" >"$out" 2>&1 &
  local pid=$!
  pids+=("$pid")
  exec 8>"$work/sdk-$1.in"
  local deadline=$((SECONDS + 60))
  until strip_cr <"$out" | grep -q "press Enter"; do
    kill -0 "$pid" 2>/dev/null && ((SECONDS < deadline)) || break
    sleep 0.2
  done
  inquiry=$(timeout 60 iscsi-inq "iscsi://127.0.0.1:$port/$iqn/0" 2>&1) || true
  echo >&8
  exec 8>&-
  wait "$pid" || rc=$?
  grep -q VELMORAK <<<"$inquiry" && strip_cr <"$out" | grep -q "norvaled_stop: ok" && [ $rc = 0 ] ||
    { echo "  iscsi-inq: $inquiry"; strip_cr <"$out" | sed 's/^/    /'; return 1; }
}

if check "the SDK zip holds the DLL, program, header, .def, import libraries, README and licences" sdk_unpacked; then
  check "the SDK's .def, norvaled.lib and libnorvaled.dll.a list every DLL export, all declared" \
    sdk_exports_listed
  mkdir -p "$work/sdk-run"
  cp "$sdk/bin/norvaled.dll" "$work/sdk-run/"
  for lib in libnorvaled.dll.a:example-mingw norvaled.lib:example-msvc; do
    if check "the example cross-builds against the SDK's ${lib%%:*}" sdk_example_built "${lib%%:*}" "${lib#*:}" &&
      [ $have_initiators = 1 ]; then
      check "the example linked with ${lib%%:*} serves a mock image under Wine" sdk_example_serves "${lib#*:}"
    fi
  done
fi
