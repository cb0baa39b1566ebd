#!/usr/bin/env bash
# Checks that the library stands in floors, each file including only headers of its own
# folder or of a floor below, with no include cycle:
#   platform < state < store < iscsi | attach < api
# iscsi and attach share a floor and never include each other; include/norvaled.h is the
# ground every floor may include. Prints each offending include and fails; quiet otherwise.
#   scripts/check-layers.sh
set -euo pipefail
cd "$(dirname "$0")/.."

floor_of() { # the folder under src/ -> its floor
  case $1 in
    platform) echo 1 ;;
    state) echo 2 ;;
    store) echo 3 ;;
    iscsi | attach) echo 4 ;;
    api) echo 5 ;;
    *) echo "check-layers: src/$1 is on no floor; add it here" >&2; echo 99 ;;
  esac
}

edges=$(mktemp)
trap 'rm -f "$edges" "$edges.loop"' EXIT
status=0
while IFS= read -r file; do
  from=${file#src/}
  from=${from%%/*}
  while IFS= read -r inc; do
    case $inc in
      */*) header=src/$inc ;;            # "store/cache.h": from src/
      *) header=$(dirname "$file")/$inc ;; # "sock_native.h": beside the file
    esac
    [ -f "$header" ] || continue # include/norvaled.h, generated or system headers
    printf '%s %s\n' "$file" "$header" >>"$edges"
    to=${header#src/}
    to=${to%%/*}
    [ "$to" = "$from" ] && continue
    if [ "$(floor_of "$to")" -ge "$(floor_of "$from")" ]; then
      echo "check-layers: $file includes \"$inc\": $to is not below $from" >&2
      status=1
    fi
  done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
done < <(find src -name '*.cpp' -o -name '*.h' | sort)

# tsort names the files of a loop on its error output.
if ! tsort "$edges" >/dev/null 2>"$edges.loop"; then
  echo "check-layers: include cycle:" >&2
  cat "$edges.loop" >&2
  status=1
fi
[ $status = 0 ] && echo "check-layers: $(wc -l <"$edges") includes, every one downward, no cycle"
exit $status
