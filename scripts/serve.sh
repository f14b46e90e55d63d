#!/usr/bin/env bash
# Installs what is missing, builds and installs zem, then serves DIR (created
# if missing; default ~/zem-data) on the embedded TCP transport.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
dir="${1:-$HOME/zem-data}"
shift || true
cd "$top"
bash scripts/install-deps.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEM_TESTS=OFF >/dev/null
cmake --build build/release -j"$(nproc)"
SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
$SUDO cmake --install build/release >/dev/null
$SUDO ldconfig
mkdir -p "$dir"
exec zem-host "$@" "$dir"
