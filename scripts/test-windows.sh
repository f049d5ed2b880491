#!/usr/bin/env bash
# Cross-builds the Windows programs with MinGW-w64 (CMake preset "mingw", build-mingw/) and runs
# them under Wine, headless: the unit tests, then DornvikAdmin.exe and Dornvik_ODBC.exe end to
# end, comparing console bytes, exit statuses, the settings file and the run log byte for byte.
# When the environment of a private PostgreSQL cluster is loaded (scripts/pg-cluster.sh,
# DORNVIK_PG_CONNINFO and ODBCINI set, as scripts/test.sh does), a whole export also runs
# through Windows ODBC: Wine's odbc32 hands the calls to unixODBC and psqlODBC.
#
# The C runtime writes the console in text mode, as on Windows: every "\n" of the programs
# reaches standard output as "\r\n". The run log and the settings file are written by the
# program itself and carry CR LF; the transfer file carries LF alone.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

scripts/setup.sh windows
cmake --preset mingw >/dev/null
cmake --build --preset mingw
build="$root/build-mingw"

wine=$(command -v wine64 || true)
[ -n "$wine" ] || wine=/usr/lib/wine/wine64  # where Debian's wine64 package keeps it
wineserver="$(dirname "$wine")/wineserver"
[ -x "$wineserver" ] || wineserver=$(command -v wineserver)

# A prefix of its own, no window system, no prompts for Mono or Gecko, no debug chatter.
unset DISPLAY WAYLAND_DISPLAY
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
WINEPREFIX=$(mktemp -d /tmp/dornvik-wine.XXXXXX)
export WINEPREFIX
work=$(mktemp -d /tmp/dornvik-win.XXXXXX)
cleanup() {
  "$wineserver" -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX" "$work"
}
trap cleanup EXIT
"$wine" wineboot --init >/dev/null 2>&1

echo "== unit tests under Wine"
status=0
"$wine" "$build/dornvik_tests.exe" --gtest_brief=1 || status=1

echo "== programs under Wine"
passed=0
failed=0
ok() {
  passed=$((passed + 1))
  echo "ok    $1"
}
not_ok() {
  failed=$((failed + 1))
  echo "FAIL  $1"
}
# same_bytes NAME EXPECTED-FILE ACTUAL-FILE
same_bytes() {
  if cmp -s "$2" "$3"; then ok "$1"; else
    not_ok "$1"
    echo "  expected:"; od -c "$2" | sed 's/^/    /'
    echo "  actual:"; od -c "$3" 2>&1 | sed 's/^/    /'
  fi
}
# same_status NAME EXPECTED ACTUAL
same_status() {
  if [ "$2" = "$3" ]; then ok "$1"; else not_ok "$1 (status $3, expected $2)"; fi
}
# holds NAME FILE BYTES: FILE contains BYTES (printf escapes).
holds() {
  local needle
  needle=$(printf "$3")
  if LC_ALL=C grep -q -a -F -- "$needle" "$2" 2>/dev/null; then ok "$1"; else
    not_ok "$1"
    echo "  missing: $3"
    od -c "$2" 2>&1 | sed 's/^/    /'
  fi
}
# The Windows name of a path of this machine (Wine's drive Z: is the root directory).
win() {
  local p=${1//\//\\}
  printf 'Z:%s' "$p"
}
# run OUT EXE ARGS...: runs a program under Wine in the current directory; sets $rc.
run() {
  local out=$1 exe=$2
  shift 2
  rc=0
  "$wine" "$build/$exe" "$@" >"$out" 2>"$out.err" || rc=$?
}
# The exit code as Windows keeps it (all 32 bits, shown signed by cmd); Linux sees its low byte.
windows_status() {
  local exe=$1
  shift
  printf '@"%s" %s >NUL 2>NUL\r\n@echo %%ERRORLEVEL%%\r\n' "$(win "$build/$exe")" "$*" >status.cmd
  { "$wine" cmd /c status.cmd 2>/dev/null || true; } | tr -d '\r\n'
}

# The run's layout: working directory a/b, so that the run log lands in Velmorand_php/log.
run_dir="$work/a/b"
log_dir="$work/Velmorand_php/log"
log="$log_dir/Ravelstok#Log.txt"
mkdir -p "$run_dir" "$log_dir" "$work/expect"
cd "$run_dir"
exp="$work/expect"

# DornvikAdmin.exe: encrypt, ini-set (a new file gets Windows line ends), ini-get.
run out.txt DornvikAdmin.exe encrypt scott
printf '87778ADD11024F15\r\n' >"$exp/encrypt"
same_bytes "DornvikAdmin encrypt: stored form of a known value" "$exp/encrypt" out.txt
same_status "DornvikAdmin encrypt: status" 0 "$rc"

write_settings() {  # LOGIN PASS NET8
  rm -f Velmorand.ini
  run out.txt DornvikAdmin.exe ini-set Velmorand.ini LOGIN "$1" && [ "$rc" = 0 ] &&
    run out.txt DornvikAdmin.exe ini-set Velmorand.ini PASS "$2" && [ "$rc" = 0 ] &&
    run out.txt DornvikAdmin.exe ini-set Velmorand.ini NET8 "$3" && [ "$rc" = 0 ]
}
write_settings scott tiger NichtDa || true
same_status "DornvikAdmin ini-set: status" 0 "$rc"
printf 'added NET8 in Velmorand.ini\r\n' >"$exp/ini-set"
same_bytes "DornvikAdmin ini-set: console" "$exp/ini-set" out.txt
printf '%s\r\n' "Dornvik;Datenbank;LOGIN" "1;LOGIN;87778ADD11024F15" "Dornvik;Datenbank;PASS" \
  "2;PASS;E3E1FF822CF6EB28" "Dornvik;Datenbank;NET8" "3;NET8;1DC30050CB99F90C" >"$exp/ini"
same_bytes "DornvikAdmin ini-set: settings file with CR LF records" "$exp/ini" Velmorand.ini
run out.txt DornvikAdmin.exe ini-get Velmorand.ini NET8
printf 'NichtDa\r\n' >"$exp/ini-get"
same_bytes "DornvikAdmin ini-get: the value the export reads" "$exp/ini-get" out.txt
same_status "DornvikAdmin ini-get: status" 0 "$rc"
run out.txt DornvikAdmin.exe init-db bookings.db
same_status "DornvikAdmin init-db without SQLite: status" 1 "$rc"
printf 'DornvikAdmin: this build has no SQLite engine\r\n' >"$exp/init-db"
same_bytes "DornvikAdmin init-db without SQLite: message" "$exp/init-db" out.txt.err

banner='\r\n>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>Protokollierung gestartet:\r\n'

# No argument: the usage text, 98, nothing logged.
run out.txt Dornvik_ODBC.exe
same_status "usage: status 98" 98 "$rc"
printf '%s\r\n' "Befehlsformat: " "Dornvik_<DB>.EXE <Velmorand.ini> <ZielPfad>" "" \
  "DB           : Datenbanksystem, zB. Oracle" \
  "Velmorand.ini: Name und Pfad der Velmorand.ini-Datei" "Zielpfad     : Pfad der Uebergabedatei" \
  "" >"$exp/usage"
same_bytes "usage: console bytes" "$exp/usage" out.txt
if [ -e "$log" ]; then not_ok "usage: the run log stays untouched"; else ok "usage: the run log stays untouched"; fi

# A settings file that is missing: 97, the message without a line end, the log in CR LF.
run out.txt Dornvik_ODBC.exe Fehlt.ini
same_status "missing settings: status 97" 97 "$rc"
printf 'Velmorand.Ini-Datei nicht gefunden' >"$exp/missing"
same_bytes "missing settings: console" "$exp/missing" out.txt
printf "$banner"'Velmorand.Ini-Datei nicht gefunden\r\nVerbinden mit Datenbank fehlgeschlagen\r\n' \
  >"$exp/missing.log"
same_bytes "missing settings: run log bytes" "$exp/missing.log" "$log"

# A data source that does not exist: the connect fails, and its code is the exit status.
mkdir -p "$work/odbc-empty"
: >"$work/odbc-empty/odbc.ini"
: >"$work/odbc-empty/odbcinst.ini"
rm -f "$log"
ODBCINI="$work/odbc-empty/odbc.ini" ODBCSYSINI="$work/odbc-empty" \
  run out.txt Dornvik_ODBC.exe Velmorand.ini
printf 'Datenbankverbindung fehlgeschlagen, Fehler: -12154\r\n' >"$exp/nodsn"
same_bytes "unknown data source: console" "$exp/nodsn" out.txt
same_status "unknown data source: status as Linux sees it (low byte of -12154)" 134 "$rc"
printf "$banner"'Verbinden mit Datenbank fehlgeschlagen\r\n' >"$exp/nodsn.log"
same_bytes "unknown data source: run log bytes" "$exp/nodsn.log" "$log"
full=$(ODBCINI="$work/odbc-empty/odbc.ini" ODBCSYSINI="$work/odbc-empty" \
  windows_status Dornvik_ODBC.exe Velmorand.ini)
same_status "unknown data source: status as Windows keeps it" -12154 "$full"

# A whole export through ODBC on the private PostgreSQL cluster.
if [ -n "${DORNVIK_PG_CONNINFO:-}" ] && [ -n "${ODBCINI:-}" ] && command -v psql >/dev/null; then
  sql() { psql "$DORNVIK_PG_CONNINFO" -X -q -A -t -v ON_ERROR_STOP=1 -c "$1"; }
  cols="BewTID,BewLID,BewIDN,BewSto,BewDtm,BewUhr,BewLfn,BewArt,BewTas,BewEra,BewKze,BewBer,"
  cols+="BewErq,BewKst,BewQua,BewSrc,BewDat"
  sql "delete from qrschema.qrv321bew; insert into qrschema.qrv321bew ($cols) values
    ('T01','2','4711','01','2024-12-09','2024-12-09 07:05:00','1','1',NULL,'100',NULL,NULL,
     NULL,'K1','Q','62P',now()),
    ('T02','2','4712','01','2024-12-09','2024-12-09 07:06:30','2','1','3','201','X','1',
     'E1','K2',NULL,'dta',now()),
    ('T03','2','4713','01','2024-12-09','2024-12-09 07:07:00','3','1',NULL,'100',NULL,NULL,
     NULL,NULL,NULL,'ABC',now())"
  write_settings "${DORNVIK_PG_USER:-dornvik}" "${DORNVIK_PG_PASSWORD:-geheim}" \
    "${DORNVIK_ODBC_DSN:-DornvikPG}"
  mkdir -p "$work/ziel"
  target=$(win "$work/ziel" | tr 'A-Z' 'a-z')  # taken in capitals; Wine finds it either way
  TARGET=$(printf '%s' "$target" | tr 'a-z' 'A-Z')
  rm -f "$log"
  run out.txt Dornvik_ODBC.exe Velmorand.ini "$target" /d
  same_status "export: status 1 after the commit" 1 "$rc"
  printf '%s\n' "4711,01,20241209,070500,1,T01,2,1,K1,Q,,,100,,,62P" \
    "4712,01,20241209,070630,2,T02,2,1,K2,,X,1,204,E1,3,dta" >"$exp/BEWDATA.dat"
  same_bytes "export: transfer file, LF only" "$exp/BEWDATA.dat" "$work/ziel/BEWDATA.dat"
  if [ -e "$work/ziel/BEWDATA.tmp" ]; then not_ok "export: no BEWDATA.tmp left"; else
    ok "export: no BEWDATA.tmp left"; fi
  holds "export: log opens with the banner" "$log" "$banner"
  holds "export: log has the server time line with 0xDC" "$log" '\xdcbergabe vom '
  holds "export: log has the row lines" "$log" \
    '\r\n4711,20241209,070500,T01,2,1, 1, 62P\r\n4712,20241209,070630,T02,2,1, 2, dta\r\n'
  holds "export: log has the count with 0xFC" "$log" \
    '\r\n\r\nAnzahl \xfcbergebener Buchungen : 2\r\n>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>Programm beendet\r\n\r\n\r\n\r\n'
  holds "export: console echo in CR LF" out.txt \
    'ID: 4711, Buchung vom 20241209 070500  uebergeben\r\nID: 4712, Buchung vom 20241209 070630  uebergeben\r\n\r\nAnzahl uebergebener Buchungen : 2'
  marks=$(sql "select string_agg(BewIDN || '=' || coalesce(BewUkz::text, '-'), ' ' order by BewIDN)
               from qrschema.qrv321bew")
  same_status "export: every row read is marked" "4711=4 4712=4 4713=4" "$marks"

  # The delivered file is still there: the next run stops with 1 and leaves it alone.
  cp "$work/ziel/BEWDATA.dat" "$exp/delivered"
  sql "update qrschema.qrv321bew set BewUkz = NULL"
  rm -f "$log"
  run out.txt Dornvik_ODBC.exe Velmorand.ini "$target"
  same_status "present transfer file: status 1" 1 "$rc"
  same_bytes "present transfer file: left as it was" "$exp/delivered" "$work/ziel/BEWDATA.dat"
  holds "present transfer file: logged with its Windows name" "$log" \
    "Error: Datei ${TARGET//\\/\\\\}/BEWDATA.dat ist vorhanden\\r\\n\\r\\n"
  marks=$(sql "select count(*) from qrschema.qrv321bew where BewUkz is not null")
  same_status "present transfer file: nothing marked" 0 "$marks"
  sql "delete from qrschema.qrv321bew"
else
  echo "skip  export through ODBC: no PostgreSQL cluster in the environment"
fi

echo "wine: $passed passed, $failed failed"
[ "$failed" -eq 0 ] || status=1
exit "$status"
