#!/usr/bin/env bash
# Throughput and memory of a put and a get through a real zem-host, over the
# embedded TCP transport and over a local NATS server.
#
#   bench/transfer.sh [SIZE_MIB] [BUILD_DIR]
#
# Prints MB/s for each direction and transport, and the host's peak resident
# memory (VmHWM). Uses the optimised build (scripts/test.sh makes it).
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
size_mib="${1:-1024}"
build="${2:-$top/build/release}"
host_bin="$build/host/zem-host"
zem_bin="$build/client/zem"
plugin="$build/plugin/libzem_svc.so"
for f in "$host_bin" "$zem_bin" "$plugin"; do
  [ -e "$f" ] || { echo "missing $f: build the optimised configuration first" >&2; exit 2; }
done

work="$(mktemp -d)"
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])' 2>/dev/null \
  || echo $((20000 + RANDOM % 20000)); }
mbps() { awk -v b="$1" -v s="$2" 'BEGIN { printf "%.0f MB/s", b / 1e6 / s }'; }
now() { date +%s.%N; }

head -c "$((size_mib * 1024 * 1024))" /dev/urandom > "$work/source.bin"
bytes=$(stat -c %s "$work/source.bin")

run_case() { # name, url, host args...
  local name=$1 url=$2; shift 2
  mkdir -p "$work/$name"
  "$host_bin" --plugin "$plugin" --attr qk_dat_dir="$top/conf" "$@" "$work/$name/served" 2>"$work/$name/host.log" &
  local host_pid=$!
  pids+=("$host_pid")
  for _ in $(seq 100); do grep -q "service started" "$work/$name/host.log" 2>/dev/null && break; sleep 0.1; done
  local t0 t1 t2
  t0=$(now)
  "$zem_bin" --url "$url" --quiet --timeout 120 put "$work/source.bin" big.bin
  t1=$(now)
  "$zem_bin" --url "$url" --quiet --timeout 120 get big.bin "$work/$name/back.bin"
  t2=$(now)
  cmp -s "$work/source.bin" "$work/$name/back.bin" || { echo "$name: retrieved file differs" >&2; exit 1; }
  local put_s get_s hwm
  put_s=$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')
  get_s=$(awk -v a="$t1" -v b="$t2" 'BEGIN { print b - a }')
  hwm=$(awk '/VmHWM/ { print $2 " " $3 }' "/proc/$host_pid/status")
  printf '%-5s put %s  get %s  host peak memory %s  (%s MiB)\n' "$name" "$(mbps "$bytes" "$put_s")" "$(mbps "$bytes" "$get_s")" "$hwm" "$size_mib"
  kill -TERM "$host_pid"; wait "$host_pid" || true
}

port=$(free_port)
run_case tcp "tcp://127.0.0.1:$port" --listen "127.0.0.1:$port"

if [ -x /usr/sbin/nats-server ]; then
  nport=$(free_port)
  /usr/sbin/nats-server -a 127.0.0.1 -p "$nport" >"$work/nats.log" 2>&1 &
  pids+=("$!")
  sleep 0.5
  run_case nats "nats://127.0.0.1:$nport" --nats "nats://127.0.0.1:$nport"
fi
