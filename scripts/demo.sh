#!/usr/bin/env bash
# Builds the program and runs one export on a SQLite demo database in demo/. The first call
# creates the database and the settings file and delivers BEWDATA.dat; a second call stops
# because the consumer has not yet taken BEWDATA.dat away ("ist vorhanden", status 1).
# Usage: scripts/demo.sh [--fresh] [BOOKINGS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

fresh=0
if [ "${1:-}" = "--fresh" ]; then fresh=1; shift; fi
bookings=${1:-40}

scripts/setup.sh demo
cmake -S . -B build-demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DDORNVIK_TESTS=OFF >/dev/null
cmake --build build-demo --target Dornvik_SQLite DornvikAdmin >/dev/null

# The run log lies at ../../Velmorand_php/log relative to the working directory.
[ "$fresh" = 1 ] && rm -rf demo
run=demo/server/run
mkdir -p "$run" demo/Velmorand_php/log demo/EXPORT
admin="$root/build-demo/DornvikAdmin"
if [ ! -f "$run/bookings.db" ]; then
  "$admin" demo-db "$run/bookings.db" "$bookings"
  "$admin" ini-set "$run/Velmorand.ini" LOGIN scott
  "$admin" ini-set "$run/Velmorand.ini" PASS tiger
  "$admin" ini-set "$run/Velmorand.ini" NET8 bookings.db
fi

echo
echo "== Dornvik_SQLite Velmorand.ini ../../EXPORT /D   (in $run)"
set +e
(cd "$run" && "$root/build-demo/Dornvik_SQLite" Velmorand.ini ../../EXPORT /D)
status=$?
set -e
echo
echo "== exit status: $status"
echo
echo "== demo/EXPORT/BEWDATA.dat"
if [ -f demo/EXPORT/BEWDATA.dat ]; then head -n 20 demo/EXPORT/BEWDATA.dat; wc -l demo/EXPORT/BEWDATA.dat; fi
echo
echo "== run log demo/Velmorand_php/log/Ravelstok#Log.txt (Windows-1252, CR LF; shown as UTF-8)"
tail -n 30 'demo/Velmorand_php/log/Ravelstok#Log.txt' | iconv -f WINDOWS-1252 -t UTF-8 | tr -d '\r'
