#!/usr/bin/env bash
# Runs a Windows program under Wine in the project's private 32-bit prefix
# (build/wineprefix unless QUILLPORT_WINEPREFIX names another), creating the
# prefix on first use; with no program it only makes sure the prefix exists.
# Never touches the user's own ~/.wine.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX=${QUILLPORT_WINEPREFIX:-$root/build/wineprefix}
export WINEARCH=win32
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  # Two test runs may race to create the prefix: one creates, the other waits.
  exec 9>"$WINEPREFIX.lock"
  flock 9
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot --init >/dev/null 2>&1
    wineserver --wait
  fi
  flock -u 9
fi

[ $# -eq 0 ] || exec wine "$@"
