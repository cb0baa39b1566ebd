#!/usr/bin/env bash
# The quick start: installs what the build needs (on a fresh Debian machine too), builds the
# library and its command-line host into build/, and serves the demo image until Ctrl-C.
#   scripts/demo.sh                serves ./norvaled-demo.img (256 MiB) on 127.0.0.1:3261
#   scripts/demo.sh --port 3300    options go to `norvaled serve` (see: build/norvaled serve --help)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup-deps.sh
cmake -S . -B build >/dev/null
cmake --build build --target norvaled_host -j "$(nproc)"
exec build/norvaled serve "$@"
