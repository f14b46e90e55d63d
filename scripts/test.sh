#!/usr/bin/env bash
# Installs what is missing, builds and runs every test: the fuzzers for a
# bounded time, the suite under AddressSanitizer and UndefinedBehaviorSanitizer,
# and the optimised build with the large cases.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cd "$top"
bash scripts/install-deps.sh

jobs=$(nproc)
build="${ZEM_BUILD_DIR:-$top/build}"
fuzz_seconds="${ZEM_FUZZ_SECONDS:-60}"
summary=()

run_ctest() { # name, build dir, extra ctest args...
  local name=$1 dir=$2; shift 2
  local log="$dir/ctest.log"
  set +e
  ctest --test-dir "$dir" --output-on-failure --timeout 900 -j"$jobs" "$@" 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  set -e
  summary+=("$name: $(grep -E 'tests passed, [0-9]+ tests failed out of' "$log" | tail -1)")
  return "$rc"
}

status=0

# Fuzzers (clang, libFuzzer with ASan and UBSan), each for a bounded time.
if [ -d tests/fuzz ]; then
  CC=clang-14 CXX=clang++-14 cmake -S . -B "$build/fuzz" -DCMAKE_BUILD_TYPE=Debug -DZEM_FUZZ=ON >/dev/null
  cmake --build "$build/fuzz" -j"$jobs" --target fuzzers
  for fuzzer in "$build"/fuzz/tests/fuzz/fuzz_*; do
    [ -x "$fuzzer" ] || continue
    corpus="$build/fuzz/corpus/$(basename "$fuzzer")"
    mkdir -p "$corpus" "$build/fuzz/tmp"
    echo "== $(basename "$fuzzer") for ${fuzz_seconds}s"
    # New inputs go to the build's corpus; the fuzzer's scratch files stay in the build.
    if TMPDIR="$build/fuzz/tmp" "$fuzzer" -max_total_time="$fuzz_seconds" -print_final_stats=1 "$corpus" tests/fuzz/seeds 2>&1 | tail -5; then
      summary+=("$(basename "$fuzzer"): no crash in ${fuzz_seconds}s")
    else
      summary+=("$(basename "$fuzzer"): FAILED"); status=1
    fi
  done
fi

# The whole suite under the sanitizers.
cmake -S . -B "$build/asan" -DCMAKE_BUILD_TYPE=Debug -DZEM_SANITIZE=ON >/dev/null
cmake --build "$build/asan" -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_ctest sanitizers "$build/asan" -LE large || status=1

# The optimised build, large cases included.
cmake -S . -B "$build/release" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build/release" -j"$jobs"
run_ctest optimised "$build/release" || status=1

printf '%s\n' "${summary[@]}"
passed=0 failed=0
for line in "${summary[@]}"; do
  if [[ $line =~ ([0-9]+)%\ tests\ passed,\ ([0-9]+)\ tests\ failed\ out\ of\ ([0-9]+) ]]; then
    failed=$((failed + BASH_REMATCH[2])); passed=$((passed + BASH_REMATCH[3] - BASH_REMATCH[2]))
  fi
done
echo "zem: $passed passed, $failed failed"
exit "$status"
