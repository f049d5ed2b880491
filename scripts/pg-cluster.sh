#!/usr/bin/env bash
# A private PostgreSQL 15 cluster for the tests, on a free loopback port, inside one directory.
#
#   scripts/pg-cluster.sh start DIR   creates and starts the cluster in DIR, writes DIR/env.sh
#   scripts/pg-cluster.sh stop DIR    stops it and removes DIR
#
# The cluster holds database "dornvik" with role "dornvik" (password "geheim", SCRAM over TCP),
# schema qrschema owned by that role and the booking table with its indexes, and a copy of that
# database, "dornvik_engines", for the engine tests. DIR also receives a libpq service file
# (services "dornvik", "dornvik_engines") and an ODBC configuration (psqlODBC; data sources
# "DornvikPG", "DornvikPGEngines").
# Run as root, the server runs as an unprivileged system user ("postgres" when the PostgreSQL
# packages created it, else "dornvik-pg"). Missing packages are installed with apt-get. Nothing
# outside DIR is changed apart from those packages and that user.
set -euo pipefail

PG_VERSION=15
PGBIN=${DORNVIK_PGBIN:-/usr/lib/postgresql/$PG_VERSION/bin}
ADMIN_USER=dornvik_admin
MARKER=.dornvik-pg-cluster

die() {
  echo "pg-cluster: $*" >&2
  exit 1
}

usage() {
  echo "usage: $0 start DIR | stop DIR" >&2
  exit 2
}

odbc_driver_path() {
  local candidate
  for candidate in /usr/lib/x86_64-linux-gnu/odbc/psqlodbcw.so \
    /usr/lib/"$(uname -m)"-linux-gnu/odbc/psqlodbcw.so /usr/lib/odbc/psqlodbcw.so \
    /usr/lib64/psqlodbcw.so /usr/local/lib/psqlodbcw.so; do
    if [ -f "$candidate" ]; then
      echo "$candidate"
      return 0
    fi
  done
  return 1
}

ensure_packages() {
  local missing=()
  [ -x "$PGBIN/initdb" ] && [ -x "$PGBIN/pg_ctl" ] && [ -x "$PGBIN/psql" ] ||
    missing+=("postgresql-$PG_VERSION")
  odbc_driver_path >/dev/null || missing+=(odbc-postgresql)
  { [ -e /usr/lib/x86_64-linux-gnu/libodbc.so.2 ] || ldconfig -p 2>/dev/null | grep -q 'libodbc\.so\.2'; } ||
    missing+=(unixodbc)
  [ ${#missing[@]} -eq 0 ] && return 0
  [ "$(id -u)" -eq 0 ] || die "missing packages: ${missing[*]} (install them as root)"
  echo "pg-cluster: installing ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq >&2
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
  [ -x "$PGBIN/initdb" ] || die "initdb not found in $PGBIN after installing"
}

# The user that runs the server: ourselves, or an unprivileged system user when we are root.
server_user() {
  if [ "$(id -u)" -ne 0 ]; then
    id -un
  elif id postgres >/dev/null 2>&1; then
    echo postgres
  else
    if ! id dornvik-pg >/dev/null 2>&1; then
      useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin \
        dornvik-pg >&2 || id dornvik-pg >/dev/null 2>&1 || die "cannot create user dornvik-pg"
    fi
    echo dornvik-pg
  fi
}

as_server() {
  if [ "$(id -u)" -eq 0 ]; then
    runuser -u "$SERVER_USER" -- "$@"
  else
    "$@"
  fi
}

port_in_use() {
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

pick_port() {
  local port tries=0
  while [ $tries -lt 200 ]; do
    port=$((20000 + (RANDOM * 32768 + RANDOM) % 40000))
    if ! port_in_use "$port"; then
      echo "$port"
      return 0
    fi
    tries=$((tries + 1))
  done
  die "no free loopback port found"
}

running() {
  [ -f "$DIR/data/postmaster.pid" ] && as_server "$PGBIN/pg_ctl" -D "$DIR/data" status >/dev/null 2>&1
}

admin_psql() {
  local db=$1
  shift
  env -u PGSERVICEFILE -u PGSERVICE -u PGOPTIONS -u PGSSLMODE PGPASSWORD="$(cat "$DIR/admin.pw")" \
    "$PGBIN/psql" -X -q -v ON_ERROR_STOP=1 -h 127.0.0.1 -p "$PORT" -U "$ADMIN_USER" -d "$db" "$@"
}

start_server() {
  local attempt
  for attempt in $(seq 1 20); do
    # DORNVIK_PG_TRY_PORT: a port to try first (without looking whether it is free).
    if [ "$attempt" -eq 1 ] && [ -n "${DORNVIK_PG_TRY_PORT:-}" ]; then
      PORT=$DORNVIK_PG_TRY_PORT
    else
      PORT=$(pick_port)
    fi
    printf "port = %s\n" "$PORT" >"$DIR/data/port.conf"
    chown "$SERVER_USER" "$DIR/data/port.conf" 2>/dev/null || true
    if as_server "$PGBIN/pg_ctl" -D "$DIR/data" -l "$DIR/log/postgres.log" -w -t 60 start >/dev/null; then
      echo "$PORT" >"$DIR/port"
      return 0
    fi
    if grep -qE 'could not bind|Address already in use|could not create any TCP/IP sockets' \
      "$DIR/log/postgres.log"; then
      echo "pg-cluster: port $PORT taken, trying another" >&2
      : >"$DIR/log/postgres.log"
      continue
    fi
    cat "$DIR/log/postgres.log" >&2 || true
    die "the server did not start (attempt $attempt)"
  done
  die "the server did not start: no usable port"
}

create_cluster() {
  find "$DIR" -mindepth 1 -maxdepth 1 ! -name "$MARKER" -exec rm -rf {} +
  mkdir -p "$DIR/data" "$DIR/log"
  chmod 0711 "$DIR"
  chmod 0700 "$DIR/data"
  head -c 24 /dev/urandom | od -An -tx1 | tr -d ' \n' >"$DIR/admin.pw"
  chmod 0600 "$DIR/admin.pw"
  if [ "$(id -u)" -eq 0 ]; then
    chown "$SERVER_USER" "$DIR/data" "$DIR/log" "$DIR/admin.pw"
  fi
  as_server test -w "$DIR/data" ||
    die "user $SERVER_USER cannot reach $DIR (choose a directory below /tmp)"

  as_server "$PGBIN/initdb" -D "$DIR/data" -U "$ADMIN_USER" --pwfile="$DIR/admin.pw" \
    -E UTF8 --locale=C --auth-local=reject --auth-host=scram-sha-256 >"$DIR/log/initdb.log" 2>&1 ||
    {
      cat "$DIR/log/initdb.log" >&2
      die "initdb failed"
    }
  cat >>"$DIR/data/postgresql.conf" <<'EOF'

# Test cluster: loopback TCP only, no Unix socket, no durability needed.
listen_addresses = '127.0.0.1'
unix_socket_directories = ''
fsync = off
synchronous_commit = off
full_page_writes = off
lc_messages = 'C'
max_connections = 50
include_if_exists = 'port.conf'
EOF
  cat >"$DIR/data/pg_hba.conf" <<'EOF'
# TYPE  DATABASE  USER  ADDRESS       METHOD
host    all       all   127.0.0.1/32  scram-sha-256
EOF
  start_server

  admin_psql postgres <<'EOF'
CREATE ROLE dornvik LOGIN PASSWORD 'geheim';
CREATE DATABASE dornvik OWNER dornvik;
EOF
  admin_psql dornvik <<'EOF'
CREATE SCHEMA qrschema AUTHORIZATION dornvik;
SET ROLE dornvik;
CREATE TABLE qrschema.qrv321bew (
  BewTID varchar(255),
  BewLID varchar(5),
  BewIDN varchar(50),
  BewSto varchar(8),
  BewDtm timestamp(0),
  BewUhr timestamp(0),
  BewLfn varchar(3),
  BewArt varchar(3),
  BewTas varchar(2),
  BewEra varchar(3),
  BewKze varchar(1),
  BewBer varchar(1),
  BewErq varchar(10),
  BewKst varchar(30),
  BewQua varchar(5),
  BewSrc varchar(3),
  BewUkz integer,
  BewUdt timestamptz,
  BewDat timestamp(0)
);
CREATE INDEX qrv321bew_mark ON qrschema.qrv321bew (BewIDN, BewSto, BewDtm, BewUhr, BewLfn);
CREATE INDEX qrv321bew_order ON qrschema.qrv321bew (BewDtm, BewUhr);
EOF
  # A copy for the engine tests, so that they and the end-to-end tests never share a table.
  admin_psql postgres -c 'CREATE DATABASE dornvik_engines TEMPLATE dornvik OWNER dornvik'

  cat >"$DIR/pg_service.conf" <<EOF
[dornvik]
host=127.0.0.1
port=$PORT
dbname=dornvik

[dornvik_engines]
host=127.0.0.1
port=$PORT
dbname=dornvik_engines
EOF
  local driver
  driver=$(odbc_driver_path) || die "psqlODBC driver not found"
  cat >"$DIR/odbcinst.ini" <<EOF
[DornvikPostgreSQL]
Description=PostgreSQL ODBC driver (Unicode)
Driver=$driver
EOF
  cat >"$DIR/odbc.ini" <<EOF
[DornvikPG]
Description=Dornvik test cluster
Driver=DornvikPostgreSQL
Servername=127.0.0.1
Port=$PORT
Database=dornvik

[DornvikPGEngines]
Description=Dornvik test cluster, database of the engine tests
Driver=DornvikPostgreSQL
Servername=127.0.0.1
Port=$PORT
Database=dornvik_engines
EOF

  {
    echo "# Written by scripts/pg-cluster.sh for the cluster in this directory."
    printf 'export DORNVIK_PG_DIR=%q\n' "$DIR"
    printf 'export PGSERVICEFILE=%q\n' "$DIR/pg_service.conf"
    printf 'export ODBCSYSINI=%q\n' "$DIR"
    printf 'export ODBCINI=%q\n' "$DIR/odbc.ini"
    printf 'export DORNVIK_PG_HOST=127.0.0.1\n'
    printf 'export DORNVIK_PG_PORT=%q\n' "$PORT"
    printf 'export DORNVIK_PG_DB=dornvik\n'
    printf 'export DORNVIK_PG_USER=dornvik\n'
    printf 'export DORNVIK_PG_PASSWORD=geheim\n'
    printf 'export DORNVIK_PG_SERVICE=dornvik\n'
    printf 'export DORNVIK_ODBC_DSN=DornvikPG\n'
    printf 'export DORNVIK_PG_ENGINE_DB=dornvik_engines\n'
    printf 'export DORNVIK_PG_ENGINE_SERVICE=dornvik_engines\n'
    printf 'export DORNVIK_ODBC_ENGINE_DSN=DornvikPGEngines\n'
    printf 'export DORNVIK_PG_ADMIN_CONNINFO=%q\n' \
      "host=127.0.0.1 port=$PORT dbname=dornvik user=$ADMIN_USER password=$(cat "$DIR/admin.pw")"
    printf 'export DORNVIK_PG_CONNINFO=%q\n' \
      "host=127.0.0.1 port=$PORT dbname=dornvik user=dornvik password=geheim"
  } >"$DIR/env.sh.new"
  mv "$DIR/env.sh.new" "$DIR/env.sh"
}

cmd_start() {
  ensure_packages
  mkdir -p "$DIR"
  DIR=$(cd "$DIR" && pwd)
  if [ ! -e "$DIR/$MARKER" ] && [ -n "$(ls -A "$DIR")" ]; then
    die "$DIR is not empty and holds no cluster of this script"
  fi
  : >"$DIR/$MARKER"
  SERVER_USER=$(server_user)
  if running && [ -f "$DIR/env.sh" ]; then
    PORT=$(cat "$DIR/port")
    if admin_psql dornvik -c 'SELECT 1' >/dev/null 2>&1; then
      echo "pg-cluster: already running on 127.0.0.1:$PORT ($DIR)" >&2
      return 0
    fi
  fi
  if [ -f "$DIR/data/postmaster.pid" ]; then
    as_server "$PGBIN/pg_ctl" -D "$DIR/data" -m immediate -w stop >/dev/null 2>&1 || true
  fi
  create_cluster
  echo "pg-cluster: running on 127.0.0.1:$PORT ($DIR)" >&2
}

cmd_stop() {
  [ -d "$DIR" ] || return 0
  DIR=$(cd "$DIR" && pwd)
  if [ ! -e "$DIR/$MARKER" ]; then
    if [ -z "$(ls -A "$DIR")" ]; then
      rmdir "$DIR"
      return 0
    fi
    die "$DIR holds no cluster of this script; not removed"
  fi
  if [ -f "$DIR/data/postmaster.pid" ]; then
    SERVER_USER=$(stat -c %U "$DIR/data")
    if ! as_server "$PGBIN/pg_ctl" -D "$DIR/data" -m fast -w -t 30 stop >/dev/null 2>&1; then
      local pid
      pid=$(head -n 1 "$DIR/data/postmaster.pid" 2>/dev/null || true)
      if [ -n "$pid" ] && [ "$(readlink "/proc/$pid/exe" 2>/dev/null || true)" = "$PGBIN/postgres" ]; then
        kill -KILL "$pid" 2>/dev/null || true
      fi
    fi
  fi
  rm -rf "$DIR"
}

[ $# -eq 2 ] || usage
DIR=$2
[ -n "$DIR" ] || usage
case "$1" in
  start) cmd_start ;;
  stop) cmd_stop ;;
  *) usage ;;
esac
