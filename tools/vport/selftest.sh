#!/usr/bin/env bash
# Builds vport, prepares a prefix with scripts/wine-prefix.sh and proves the
# driver and the harness together: bash tools/vport/selftest.sh [PREFIX]
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
prefix="${1:-$root/build/vport-test/prefix}"
harness=(bash "$root/scripts/wine-prefix.sh")
selftest="$root/build/vport/vport_selftest.exe"
failures=0

expect() { # expect NAME GOT WANTED
  if [ "$2" == "$3" ]; then echo "ok   $1"; else
    echo "FAIL $1: got $(printf %q "$2"), wanted $(printf %q "$3")"
    failures=$((failures + 1))
  fi
}

"${harness[@]}" create "$prefix"
"${harness[@]}" port "$prefix" 1
for n in 2 3 4; do "${harness[@]}" port "$prefix" "$n" absent; done
"${harness[@]}" run "$prefix" "$selftest" || failures=$((failures + 1))

# The selftest ends by writing 10000 bytes (i * 7 + i / 256) to LPT1.
expect "harness reads the received byte count" \
  "$("${harness[@]}" received "$prefix" 1 | wc -c)" 10000
expect "harness reads the received bytes" \
  "$("${harness[@]}" received "$prefix" 1 | head -c 4 | od -An -tx1)" " 00 07 0e 15"
expect "harness reads the write sizes" "$("${harness[@]}" writes "$prefix" 1 | tr '\n' ' ')" \
  "4096 4096 1808 "
expect "harness reads the open count" "$("${harness[@]}" opens "$prefix" 1)" 1

# Making a port present or absent restarts the session so the driver relinks it.
"${harness[@]}" port "$prefix" 2 'id=\x00ABC'
expect "a port made present probes" "$("${harness[@]}" run "$prefix" "$selftest" probe LPT2)" \
  $'LPT2: *ABC'
"${harness[@]}" port "$prefix" 2 'id=MFG:X;' idquery=fail
expect "probe falls back to the raw id" \
  "$("${harness[@]}" run "$prefix" "$selftest" probe LPT2)" $'LPT2: *\x08MFG:X;'
"${harness[@]}" port "$prefix" 2 absent
expect "a port made absent cannot be opened" \
  "$("${harness[@]}" run "$prefix" "$selftest" probe LPT2 || true)" $'LPT2: cannot open'

[ "$failures" = 0 ] && echo "vport selftest.sh passed" || echo "vport selftest.sh FAILED"
exit "$((failures > 0))"
