# Shared by the shell test scripts (sourced): PASS/FAIL/SKIP lines with their counts, and a
# free TCP port on 127.0.0.1.
passed=0
failed=0
skipped=0
pass() { echo "PASS: $*"; passed=$((passed + 1)); }
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }
skip() { echo "SKIP: $*"; skipped=$((skipped + 1)); }
check() { # description command...
  local what=$1
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
