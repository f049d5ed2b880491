#!/usr/bin/env bash
# Installs the Debian packages that the build, the demo and the tests need, where missing.
# Usage: scripts/setup.sh [demo|test|windows]
set -euo pipefail

packages=(cmake ninja-build g++ pkg-config libsqlite3-dev sqlite3)
if [ "${1:-test}" = test ]; then
  packages+=(libgtest-dev libgmock-dev libpq-dev postgresql-15 postgresql-client-15
             unixodbc unixodbc-dev odbc-postgresql clang libclang-rt-14-dev)
fi
# The Windows cross-build (GoogleTest from source) and Wine, whose odbc32 uses unixODBC.
if [ "${1:-test}" = windows ]; then
  packages+=(googletest gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix wine64 unixodbc
             postgresql-client-15 odbc-postgresql)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
