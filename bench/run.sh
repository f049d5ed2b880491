#!/usr/bin/env bash
# Throughput of the export against the set-based job that a user would write by hand.
#
#   bench/run.sh [--quick] [--reps R] [N]
#
# N bookings (default 1,000,000; --quick: 100,000) are created with DornvikAdmin demo-db, once
# as a SQLite file and once in PostgreSQL. For each engine (SQLite, PostgreSQL through libpq,
# PostgreSQL through ODBC) every repetition (default 3) takes two identical fresh copies of
# those bookings: on one the export runs as installed (working directory server/run, settings
# file Velmorand.ini, run log in ../../Velmorand_php/log, target ../../EXPORT); on the other the
# baseline runs in the database's own client (sqlite3, psql): one SELECT with the event-code
# normalisation as a SQL CASE, written with the client's output (sqlite3 list mode, psql
# \copy) and synced, then one UPDATE of all untransferred rows and the purge, in one
# transaction. The two transfer files must hold the same lines (compared byte for byte; rows of
# equal booking date and time may come in another order, which the query leaves open) and the
# two tables must end up alike.
#
# Printed per engine, as medians of the repetitions: wall seconds of export and baseline, their
# ratio, exported bookings per second, peak RSS of the client process (GNU time %M), and for
# the server engines the network round trips per 1,000 bookings. Round trips are counted by
# bench_tool's loopback proxy: one round trip begins whenever the client sends after the
# server has answered. The PostgreSQL export also runs through that proxy with 2 ms added to
# every round trip (1 ms each way), against its direct time. Finally each export runs on N/10
# bookings, for the growth from N/10 to N.
#
# "Bookings" are the rows that the run reads (the untransferred ones, about half of N); the
# others are old transferred rows for the purge.
#
# PostgreSQL: a private cluster is started with scripts/pg-cluster.sh, unless the environment
# of one is given (DORNVIK_PG_ADMIN_CONNINFO, DORNVIK_PG_PORT, as its env.sh sets them). The
# benchmark works in databases of its own (dornvik_bench*), which it drops again.
# Build: Release in $DORNVIK_BENCH_BUILD (default build-bench).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

count=1000000
reps=3
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) count=100000 ;;
    --reps) reps=$2; shift ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) count=$1 ;;
  esac
  shift
done
small=$((count / 10))
# The engines to measure (for a partial run): DORNVIK_BENCH_ENGINES="sqlite libpq odbc".
engines=${DORNVIK_BENCH_ENGINES:-sqlite libpq odbc}

# --- tools and build -----------------------------------------------------------------------
scripts/setup.sh test >/dev/null
if [ ! -x /usr/bin/time ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq time
fi
build=${DORNVIK_BENCH_BUILD:-$root/build-bench}
if [ -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
else
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DDORNVIK_TESTS=OFF >/dev/null
fi
cmake --build "$build" --target Dornvik_SQLite Dornvik_PostgreSQL Dornvik_ODBC DornvikAdmin >/dev/null
c++ -std=c++20 -O2 -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Werror \
  bench/bench_tool.cc -o "$build/bench_tool"
admin="$build/DornvikAdmin"
tool="$build/bench_tool"

work=$(mktemp -d /tmp/dornvik-bench.XXXXXX)
pgdir=""
proxy_pid=""
cleanup() {
  if [ -n "$proxy_pid" ]; then kill "$proxy_pid" 2>/dev/null || true; fi
  if [ -n "${PGPORT_BENCH:-}" ]; then
    for db in dornvik_bench_master dornvik_bench_run dornvik_bench_base; do
      admin_psql postgres -c "DROP DATABASE IF EXISTS $db" >/dev/null 2>&1 || true
    done
  fi
  if [ -n "$pgdir" ]; then scripts/pg-cluster.sh stop "$pgdir" || true; fi
  rm -rf "$work"
}
[ -n "${DORNVIK_BENCH_KEEP:-}" ] || trap cleanup EXIT

if [ -z "${DORNVIK_PG_ADMIN_CONNINFO:-}" ] || [ -z "${DORNVIK_PG_PORT:-}" ]; then
  pgdir=$(mktemp -d /tmp/dornvik-bench-pg.XXXXXX)
  scripts/pg-cluster.sh start "$pgdir" 2>/dev/null
  # shellcheck disable=SC1091
  . "$pgdir/env.sh"
fi
PGPORT_BENCH=$DORNVIK_PG_PORT
pguser=${DORNVIK_PG_USER:-dornvik}
pgpass=${DORNVIK_PG_PASSWORD:-geheim}
admin_psql() {
  local db=$1
  shift
  env -u PGSERVICEFILE -u PGSERVICE PGOPTIONS='-c client_min_messages=warning' psql -X -q -v ON_ERROR_STOP=1 \
    -d "$DORNVIK_PG_ADMIN_CONNINFO dbname=$db" "$@"
}
user_psql_cmd=(env -u PGSERVICEFILE -u PGSERVICE PGPASSWORD="$pgpass" PGCLIENTENCODING=WIN1252
  psql -X -q -v ON_ERROR_STOP=1 -h 127.0.0.1 -p "$PGPORT_BENCH" -U "$pguser")
user_psql() {
  local db=$1
  shift
  "${user_psql_cmd[@]}" -d "$db" "$@"
}

# ODBC data sources of the benchmark: direct and through the proxy.
driver=""
for candidate in /usr/lib/x86_64-linux-gnu/odbc/psqlodbcw.so \
  /usr/lib/"$(uname -m)"-linux-gnu/odbc/psqlodbcw.so /usr/lib/odbc/psqlodbcw.so; do
  if [ -f "$candidate" ]; then driver=$candidate; break; fi
done
[ -n "$driver" ] || { echo "bench: psqlODBC driver not found" >&2; exit 1; }
mkdir -p "$work/odbcconf"
printf '[DornvikBenchDriver]\nDriver=%s\n' "$driver" >"$work/odbcconf/odbcinst.ini"
write_odbc_ini() {  # PORT
  printf '[DornvikBench]\nDriver=DornvikBenchDriver\nServername=127.0.0.1\nPort=%s\nDatabase=dornvik_bench_run\n' \
    "$1" >"$work/odbcconf/odbc.ini"
}
export ODBCSYSINI="$work/odbcconf" ODBCINI="$work/odbcconf/odbc.ini"

# --- data ----------------------------------------------------------------------------------
now_ns() { date +%s%N; }
secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", (b - a) / 1e9 }'; }

# Masters of N and N/10 bookings for both kinds of database.
make_masters() {  # COUNT SUFFIX
  local n=$1 suffix=$2 t0
  t0=$(now_ns)
  "$admin" demo-db "$work/master$suffix.db" "$n" >/dev/null
  echo "  SQLite demo-db $n: $(secs "$t0" "$(now_ns)") s" >&2
  admin_psql postgres -c "DROP DATABASE IF EXISTS dornvik_bench_master$suffix" \
    -c "CREATE DATABASE dornvik_bench_master$suffix OWNER $pguser" >/dev/null
  t0=$(now_ns)
  "$admin" demo-db --postgresql "$pguser/$pgpass@127.0.0.1:$PGPORT_BENCH/dornvik_bench_master$suffix" \
    "$n" >/dev/null
  echo "  PostgreSQL demo-db $n: $(secs "$t0" "$(now_ns)") s" >&2
  admin_psql "dornvik_bench_master$suffix" -c "VACUUM ANALYZE" >/dev/null
}

pg_copy() {  # NAME SUFFIX
  admin_psql postgres -c "DROP DATABASE IF EXISTS $1" \
    -c "CREATE DATABASE $1 TEMPLATE dornvik_bench_master$2 OWNER $pguser STRATEGY FILE_COPY" \
    >/dev/null
}

# --- the export ----------------------------------------------------------------------------
# Runs one export; prints "seconds rss_kib rows".
run_export() {  # ENGINE NET8 EXE
  local dir="$work/$1" t0 t1 status
  rm -rf "$dir/EXPORT" "$dir/Velmorand_php"
  mkdir -p "$dir/server/run" "$dir/Velmorand_php/log" "$dir/EXPORT"
  if [ ! -f "$dir/server/run/Velmorand.ini" ]; then
    "$admin" ini-set "$dir/server/run/Velmorand.ini" LOGIN "$pguser" >/dev/null
    "$admin" ini-set "$dir/server/run/Velmorand.ini" PASS "$pgpass" >/dev/null
  fi
  "$admin" ini-set "$dir/server/run/Velmorand.ini" NET8 "$2" >/dev/null
  t0=$(now_ns)
  set +e
  (cd "$dir/server/run" && /usr/bin/time -f '%M' -o "$dir/rss" "$3" Velmorand.ini ../../EXPORT \
    >"$dir/console" 2>&1)
  status=$?
  set -e
  t1=$(now_ns)
  if [ "$status" -ne 1 ] || [ ! -f "$dir/EXPORT/BEWDATA.dat" ]; then
    echo "bench: $1 export failed (status $status)" >&2
    cat "$dir/console" >&2
    exit 1
  fi
  echo "$(secs "$t0" "$t1") $(tail -n 1 "$dir/rss") $(wc -l <"$dir/EXPORT/BEWDATA.dat")"
}

# --- the baseline --------------------------------------------------------------------------
# The transfer line of a row as SQL: right-trimmed texts (blanks and tabs), NULL as empty, the
# booking date yyyymmdd and time hh24miss, and the normalised event code.
line_sql() {  # DIALECT
  local fmt_date fmt_time tab=chr
  if [ "$1" = sqlite ]; then
    tab=char
    fmt_date="coalesce(strftime('%Y%m%d',BewDtm),'')"
    fmt_time="coalesce(strftime('%H%M%S',BewUhr),'')"
  else
    fmt_date="coalesce(to_char(BewDtm,'YYYYMMDD'),'')"
    fmt_time="coalesce(to_char(BewUhr,'HH24MISS'),'')"
  fi
  t() { echo "coalesce(rtrim($1,' '||$tab(9)),'')"; }
  local era kze ber src
  era=$(t BewEra)
  kze=$(t BewKze)
  ber=$(t BewBer)
  src="upper($(t BewSrc))"
  local code="CASE $src
    WHEN 'DTA' THEN CASE WHEN $era IN ('200','201','202','203','206','207','208') THEN '204'
                         WHEN $era IN ('430','431','500','501') THEN '426' ELSE $era END
    WHEN '40P' THEN CASE WHEN $kze <> '' THEN '100' WHEN $ber = '1' THEN '204' ELSE 'xxx' END
    WHEN '62P' THEN '100' WHEN '50P' THEN '100'
    ELSE 'xxx' END"
  local line="$(t BewIDN)||','||$(t BewSto)||','||$fmt_date||','||$fmt_time||','||$(t BewLfn)
    ||','||$(t BewTID)||','||$(t BewLID)||','||$(t BewArt)||','||$(t BewKst)||','||$(t BewQua)
    ||','||$kze||','||$ber||','||($code)||','||$(t BewErq)||','||$(t BewTas)||','||$(t BewSrc)"
  local order="BewDtm, BewUhr"
  [ "$1" = sqlite ] && order="BewDtm NULLS LAST, BewUhr NULLS LAST"
  echo "SELECT $line FROM Qrv321Bew WHERE (BewUkz<>4 OR BewUkz IS NULL)
    AND ($code) IN ('100','204','426') ORDER BY $order"
}

# The rows that the marks find again: the export binds the fetched, right-trimmed texts, an
# empty BewIDN as one blank and any other empty text as NULL; a NULL key column matches nothing.
key_sql() {  # DIALECT
  local tab=chr
  [ "$1" = sqlite ] && tab=char
  local k cond="BewIDN = CASE WHEN rtrim(BewIDN,' '||$tab(9))='' THEN ' ' ELSE rtrim(BewIDN,' '||$tab(9)) END"
  for k in BewSto BewLfn; do cond+=" AND $k <> '' AND $k = rtrim($k,' '||$tab(9))"; done
  echo "$cond AND BewDtm IS NOT NULL AND BewUhr IS NOT NULL"
}

# Prints "seconds rss_kib".
run_baseline_sqlite() {  # DB OUT
  local t0 t1 cutoff
  cutoff=$("$tool" cutoff)
  cat >"$work/base.sql" <<EOF
.bail on
.mode list
.separator "," "\n"
.nullvalue ''
.headers off
BEGIN IMMEDIATE;
.output $2
$(line_sql sqlite);
.output stdout
.shell sync $2
UPDATE Qrv321Bew SET BewUkz=4, BewUdt=strftime('%Y-%m-%d %H:%M:%f','now','localtime')
  WHERE (BewUkz<>4 OR BewUkz IS NULL) AND $(key_sql sqlite);
DELETE FROM Qrv321Bew WHERE BewDat<'$cutoff' AND BewUkz=4;
COMMIT;
EOF
  t0=$(now_ns)
  /usr/bin/time -f '%M' -o "$work/base.rss" sqlite3 "$1" <"$work/base.sql" >/dev/null
  t1=$(now_ns)
  echo "$(secs "$t0" "$t1") $(tail -n 1 "$work/base.rss")"
}

# The purge's cut-off as the engines compute it on the server: ADD_MONTHS(SYSDATE,-3).
pg_cutoff="(CASE WHEN date_trunc('day',d)=date_trunc('month',d)+interval '1 month'-interval '1 day'
  THEN date_trunc('month',d)+make_interval(months=>-2)-interval '1 day'+(d-date_trunc('day',d))
  ELSE d+make_interval(months=>-3) END)"
run_baseline_pg() {  # DB OUT
  local t0 t1
  cat >"$work/base.sql" <<EOF
BEGIN;
\\copy ($(line_sql pg | tr '\n' ' ')) TO '$2'
\\! sync $2
UPDATE qrschema.qrv321bew SET BewUkz=4, BewUdt=statement_timestamp()
  WHERE (BewUkz<>4 OR BewUkz IS NULL) AND $(key_sql pg);
DELETE FROM qrschema.qrv321bew
  WHERE BewDat<(SELECT $pg_cutoff FROM (SELECT date_trunc('second',statement_timestamp()::timestamp) AS d) AS now)
  AND BewUkz=4;
COMMIT;
EOF
  t0=$(now_ns)
  /usr/bin/time -f '%M' -o "$work/base.rss" "${user_psql_cmd[@]}" -d "$1" -c "SET search_path TO qrschema" \
    -f "$work/base.sql" >/dev/null
  t1=$(now_ns)
  echo "$(secs "$t0" "$t1") $(tail -n 1 "$work/base.rss")"
}

state_sqlite() { sqlite3 "$1" "SELECT count(*), sum(BewUkz=4) FROM Qrv321Bew"; }
state_pg() {
  user_psql "$1" -A -t -c "SELECT count(*)||'|'||sum((BewUkz=4)::int) FROM qrschema.qrv321bew"
}

median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

proxy_start() {  # DELAY_US; sets proxy_pid and proxy_port
  rm -f "$work/proxy.stats" "$work/proxy.port"
  "$tool" proxy "$PGPORT_BENCH" "$1" "$work/proxy.stats" >"$work/proxy.port" &
  proxy_pid=$!
  for _ in $(seq 1 50); do
    [ -s "$work/proxy.port" ] && break
    sleep 0.1
  done
  proxy_port=$(cat "$work/proxy.port")
}
proxy_stop() {  # sets proxy_rt: the round trips of all connections
  kill "$proxy_pid" 2>/dev/null || true
  wait "$proxy_pid" 2>/dev/null || true
  proxy_pid=""
  proxy_rt=$(awk -F'[= ]' '{ s += $2 } END { print s + 0 }' "$work/proxy.stats")
}

# --- runs ----------------------------------------------------------------------------------
echo "Dornvik throughput benchmark: $count bookings, $reps repetitions ($(nproc) cores, $(date -u +%Y-%m-%d))"
echo "preparing data" >&2
make_masters "$count" ""
make_masters "$small" "_small"
BOOKINGS=$(sqlite3 "$work/master.db" "SELECT count(*) FROM Qrv321Bew WHERE BewUkz<>4 OR BewUkz IS NULL")
mkdir -p "$work/sqlite/server/run" "$work/libpq" "$work/odbc"

declare -A EXP BASE EXP_RSS BASE_RSS ROWS SMALL RT LAT CHECK
for engine in $engines; do
  echo "running $engine" >&2
  exp_t="" base_t="" exp_r="" base_r="" small_t=""
  for rep in $(seq 1 "$reps"); do
    case $engine in
      sqlite)
        cp "$work/master.db" "$work/sqlite/server/run/bookings.db"
        cp "$work/master.db" "$work/base.db"
        read -r t r rows < <(run_export sqlite bookings.db "$build/Dornvik_SQLite")
        read -r bt br < <(run_baseline_sqlite "$work/base.db" "$work/base.dat")
        ex_state=$(state_sqlite "$work/sqlite/server/run/bookings.db")
        base_state=$(state_sqlite "$work/base.db")
        ;;
      libpq | odbc)
        pg_copy dornvik_bench_run ""
        pg_copy dornvik_bench_base ""
        if [ "$engine" = libpq ]; then
          read -r t r rows < <(run_export libpq "127.0.0.1:$PGPORT_BENCH/dornvik_bench_run" \
            "$build/Dornvik_PostgreSQL")
        else
          write_odbc_ini "$PGPORT_BENCH"
          read -r t r rows < <(run_export odbc DornvikBench "$build/Dornvik_ODBC")
        fi
        read -r bt br < <(run_baseline_pg dornvik_bench_base "$work/base.dat")
        ex_state=$(state_pg dornvik_bench_run)
        base_state=$(state_pg dornvik_bench_base)
        ;;
    esac
    check=$("$tool" compare "$work/$engine/EXPORT/BEWDATA.dat" "$work/base.dat") || {
      echo "bench: $engine: the export and the baseline wrote different lines: $check" >&2
      exit 1
    }
    if [ "$ex_state" != "$base_state" ]; then
      echo "bench: $engine: tables differ after the runs (rows|marked): $ex_state vs $base_state" >&2
      exit 1
    fi
    CHECK[$engine]="$check; tables alike ($ex_state rows|marked)"
    exp_t+=" $t"; base_t+=" $bt"; exp_r+=" $r"; base_r+=" $br"
    ROWS[$engine]=$rows
  done
  EXP[$engine]=$(echo "$exp_t" | median)
  BASE[$engine]=$(echo "$base_t" | median)
  EXP_RSS[$engine]=$(echo "$exp_r" | median)
  BASE_RSS[$engine]=$(echo "$base_r" | median)

  # Round trips (and for libpq the time with 2 ms more per round trip) through the proxy.
  if [ "$engine" != sqlite ]; then
    runs=1
    delay=0
    if [ "$engine" = libpq ]; then runs=$reps; delay=2000; fi
    lat_t=""
    for rep in $(seq 1 "$runs"); do
      pg_copy dornvik_bench_run ""
      proxy_start "$delay"
      port=$proxy_port
      if [ "$engine" = libpq ]; then
        read -r t _ _ < <(run_export libpq "127.0.0.1:$port/dornvik_bench_run" \
          "$build/Dornvik_PostgreSQL")
      else
        write_odbc_ini "$port"
        read -r t _ _ < <(run_export odbc DornvikBench "$build/Dornvik_ODBC")
      fi
      proxy_stop
      RT[$engine]=$proxy_rt
      lat_t+=" $t"
    done
    LAT[$engine]=$(echo "$lat_t" | median)
  fi

  # Growth: the export on N/10 bookings.
  for rep in $(seq 1 "$reps"); do
    case $engine in
      sqlite)
        cp "$work/master_small.db" "$work/sqlite/server/run/bookings.db"
        read -r t _ _ < <(run_export sqlite bookings.db "$build/Dornvik_SQLite")
        ;;
      libpq)
        pg_copy dornvik_bench_run _small
        read -r t _ _ < <(run_export libpq "127.0.0.1:$PGPORT_BENCH/dornvik_bench_run" \
          "$build/Dornvik_PostgreSQL")
        ;;
      odbc)
        pg_copy dornvik_bench_run _small
        write_odbc_ini "$PGPORT_BENCH"
        read -r t _ _ < <(run_export odbc DornvikBench "$build/Dornvik_ODBC")
        ;;
    esac
    small_t+=" $t"
  done
  SMALL[$engine]=$(echo "$small_t" | median)
done

# --- report --------------------------------------------------------------------------------
echo
printf '%-22s %10s %10s %7s %12s %10s %10s %10s %9s\n' engine export_s baseline_s ratio \
  bookings/s export_MiB base_MiB rt/1000 growth
for engine in $engines; do
  label=$engine
  [ "$engine" = sqlite ] && label="SQLite"
  [ "$engine" = libpq ] && label="PostgreSQL (libpq)"
  [ "$engine" = odbc ] && label="ODBC to PostgreSQL"
  rt="-"
  if [ -n "${RT[$engine]:-}" ]; then
    rt=$(awk -v r="${RT[$engine]}" -v n="$BOOKINGS" 'BEGIN { printf "%.2f", r * 1000 / n }')
  fi
  printf '%-22s %10s %10s %7s %12s %10s %10s %10s %9s\n' "$label" "${EXP[$engine]}" \
    "${BASE[$engine]}" \
    "$(awk -v a="${EXP[$engine]}" -v b="${BASE[$engine]}" 'BEGIN { printf "%.2fx", a / b }')" \
    "$(awk -v n="$BOOKINGS" -v a="${EXP[$engine]}" 'BEGIN { printf "%.0f", n / a }')" \
    "$(awk -v k="${EXP_RSS[$engine]}" 'BEGIN { printf "%.1f", k / 1024 }')" \
    "$(awk -v k="${BASE_RSS[$engine]}" 'BEGIN { printf "%.1f", k / 1024 }')" \
    "$rt" \
    "$(awk -v a="${EXP[$engine]}" -v b="${SMALL[$engine]}" 'BEGIN { printf "%.1fx", a / b }')"
done
echo
echo "bookings read per run: $BOOKINGS of $count rows; lines written: ${ROWS[${engines%% *}]}"
if [ -n "${LAT[libpq]:-}" ]; then
  echo "PostgreSQL (libpq) with 2 ms added per round trip: ${LAT[libpq]} s against" \
    "${EXP[libpq]} s direct ($(awk -v a="${LAT[libpq]}" -v b="${EXP[libpq]}" \
    'BEGIN { printf "%.2fx", a / b }'))"
fi
echo "round trips per run: libpq ${RT[libpq]:-}, ODBC ${RT[odbc]:-} (including the connect)"
echo "growth: export time on $count bookings over the time on $small"
for engine in $engines; do echo "check $engine: ${CHECK[$engine]}"; done
