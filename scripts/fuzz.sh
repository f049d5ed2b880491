#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz/ and runs each for a bounded time.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]    default: 600 seconds each, every target
#
# Each target starts from its seed corpus in fuzz/corpus/<target>/ (never written to) and keeps
# what it finds in build-fuzz/corpus/<target>/, so that longer runs build on earlier ones. A
# finding stops the script with the reproducer in build-fuzz/findings/<target>/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

seconds=${1:-600}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_settings fuzz_hex fuzz_command_line)

build=${DORNVIK_FUZZ_BUILD:-build-fuzz}
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DDORNVIK_FUZZ=ON -DDORNVIK_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target "${targets[@]}"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for t in "${targets[@]}"; do
  mkdir -p "$build/corpus/$t" "$build/findings/$t"
  echo "== $t for ${seconds}s"
  log="$build/findings/$t.log"
  status=0
  "$build/$t" -max_total_time="$seconds" -print_final_stats=1 -max_len=16384 -timeout=10 \
    -rss_limit_mb=2048 -artifact_prefix="$build/findings/$t/" \
    "$build/corpus/$t" "fuzz/corpus/$t" >"$log" 2>&1 || status=$?
  grep -E '^#[0-9]+[[:space:]]+DONE|^stat::(number_of_executed_units|average_exec_per_sec)' "$log" || true
  echo "corpus: $(find "$build/corpus/$t" -type f | wc -l) files found, $(find "fuzz/corpus/$t" -type f | wc -l) seeds"
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$log" >&2
    echo "fuzz: $t found a fault; reproducer in $build/findings/$t/" >&2
    exit 1
  fi
done
