#!/usr/bin/env bash
# Sets up, builds and runs every test twice: a normal build and one with AddressSanitizer and
# UndefinedBehaviorSanitizer. A private PostgreSQL cluster serves the server-engine tests and
# is removed afterwards, also when a test fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

scripts/setup.sh test

jobs=$(nproc 2>/dev/null || echo 2)
# Test builds carry the crash points (src/CrashPoint.h); shipped builds never do.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDORNVIK_CRASH_POINTS=ON >/dev/null
cmake --build build -j "$jobs"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DDORNVIK_SANITIZE=ON \
  -DDORNVIK_CRASH_POINTS=ON >/dev/null
cmake --build build-asan -j "$jobs"

pgdir=""
cleanup() {
  if [ -n "$pgdir" ]; then scripts/pg-cluster.sh stop "$pgdir" || true; fi
}
trap cleanup EXIT
if [ -x scripts/pg-cluster.sh ]; then
  pgdir=$(mktemp -d /tmp/dornvik-pg.XXXXXX)
  scripts/pg-cluster.sh start "$pgdir"
  # shellcheck disable=SC1091
  . "$pgdir/env.sh"
  export DORNVIK_REQUIRE_PG=1
fi

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
echo "== tests (release build)"
ctest --test-dir build --output-on-failure -j "$jobs" || status=1
echo "== tests (AddressSanitizer + UndefinedBehaviorSanitizer)"
ctest --test-dir build-asan --output-on-failure -j "$jobs" || status=1
# Each fuzz target for a short, bounded time; scripts/fuzz.sh SECONDS runs them longer.
echo "== fuzz targets (clang, libFuzzer, 20 s each)"
scripts/fuzz.sh 20 || status=1
# The Windows build, cross-compiled with MinGW-w64 and run under Wine; its export through ODBC
# uses the cluster above.
echo "== Windows build under Wine"
scripts/test-windows.sh || status=1
exit "$status"
