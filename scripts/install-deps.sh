#!/usr/bin/env bash
# Installs every Debian 12 package the build, the tests and the fuzzers need.
# Idempotent: packages already present are left alone.
set -euo pipefail
packages=(
  build-essential cmake pkg-config git ca-certificates
  libgtest-dev libgmock-dev libbenchmark-dev
  libtirpc-dev rpcsvc-proto libarchive-dev zlib1g-dev libboost-dev
  libasio-dev libnats-dev nats-server libcli11-dev libfmt-dev libspdlog-dev
  clang-14 libclang-rt-14-dev
  tar gzip coreutils procps openssl diffutils
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
