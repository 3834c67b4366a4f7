#!/usr/bin/env bash
# Runs one end-to-end scenario of the unmodified quillport.dll under Wine: sets
# the virtual ports up with scripts/wine-prefix.sh (the vport driver), runs
# quillport_e2e_test.exe and checks what the driver recorded.
#
#   bash tests/e2e/run.sh SCENARIO
#
# QUILLPORT_BUILD names the win32 build (default build/win32). The scenarios
# vport_prefix and plain_prefix make the two prefixes that the others share
# (the plain one is scripts/wine-run.sh's own, which has no parallel ports);
# CTest runs them first, as fixtures. Presence changes restart Wine, so the
# scenarios that keep LPT2 alone come before those that use all four ports.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="${QUILLPORT_BUILD:-$root/build/win32}"
program="$build/quillport_e2e_test.exe"
vport_prefix="$build/e2e/prefix"
plain_prefix="${QUILLPORT_WINEPREFIX:-$root/build/wineprefix}"
locales="$build/e2e/locale"
export WINEARCH=win32 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
failures=0

harness() { VPORT_SYS="$build/vport/vport.sys" bash "$root/scripts/wine-prefix.sh" "$@"; }
port() { harness port "$vport_prefix" "$@"; }
record() { harness "$1" "$vport_prefix" "$2"; } # record KIND N
only_lpt2() { port 2 "$@" -- 1 absent -- 3 absent -- 4 absent; }

expect() { # expect WHAT GOT WANTED
  if [ "$2" == "$3" ]; then echo "ok   $1"; else
    echo "FAIL $1: got $(printf %q "$2" | cut -c1-300), wanted $(printf %q "$3")"
    failures=$((failures + 1))
  fi
}

run_program() { # run_program SCENARIO: in the vport prefix; its failure counts
  echo "== quillport_e2e_test $1"
  harness run "$vport_prefix" "$program" "$1" || failures=$((failures + 1))
}

# The output goes through a file: a Wine session that this run starts keeps
# the program's output open, and CTest ends whatever still holds its pipe,
# which would cost the next test a new session.
run_plain() { # run_plain SCENARIO: in the prefix without the driver
  local output="$plain_prefix.out"
  echo "== quillport_e2e_test $1 (no vport)"
  QUILLPORT_WINEPREFIX="$plain_prefix" bash "$root/scripts/wine-run.sh" "$program" "$1" \
    >"$output" 2>&1 || failures=$((failures + 1))
  cat "$output"
}

lines() { paste -sd' '; }
opens_of_all() { harness opens "$vport_prefix" 1 2 3 4 | lines; }
hex() { od -An -v -tx1 | tr -d ' \n'; }
pattern_hex() { # the bytes of PatternByte in e2e_test.cpp
  awk -v n="$1" 'BEGIN { for (i = 0; i < n; i++) printf "%02x", (i * 7 + int(i / 256)) % 256 }'
}

acme_id='MFG:Acme;MDL:P100;CLS:PRINTER;'
short_id='MFG:Acme;MDL:P100;' # 18 bytes: the driver reports a size of 20

# ---- prefixes ---------------------------------------------------------------

scenario_vport_prefix() { harness create "$vport_prefix"; }

# wine-run.sh makes its prefix on first use.
scenario_plain_prefix() {
  QUILLPORT_WINEPREFIX="$plain_prefix" bash "$root/scripts/wine-run.sh"
}

# ---- LPT2 alone -------------------------------------------------------------

scenario_acme() {
  only_lpt2 "id=$acme_id"
  run_program acme
  expect "only the one enumeration with a sink opened LPT2" "$(record opens 2)" 1
}

scenario_no_id() {
  only_lpt2 "id=$short_id" idquery=fail rawquery=fail legacyquery=fail
  run_program nothing
  expect "LPT2 was probed once" "$(record opens 2)" 1
  expect "the size query, then each ID query once, in order" "$(record ioctls 2 | lines)" \
    "0x00160010 4 0x0016000c 20 0x00160030 20 0x00000011 20"
}

scenario_raw_id() {
  only_lpt2 "id=$short_id" idquery=fail
  run_program raw_id
  expect "the raw query answers and the last one is not sent" "$(record ioctls 2 | lines)" \
    "0x00160010 4 0x0016000c 20 0x00160030 20"
}

scenario_id_size() {
  local setting
  for setting in sizequery=fail sizequery=zero; do
    only_lpt2 "id=$acme_id" "$setting"
    run_program acme
    expect "$setting: the ID query is offered 4096 bytes" "$(record ioctls 2 | lines)" \
      "0x00160010 4 0x0016000c 4096"
  done
  only_lpt2 "id=$acme_id" size=0
  run_program nothing
  expect "a reported size of 0 is offered as it is" "$(record ioctls 2 | lines)" \
    "0x00160010 4 0x0016000c 0 0x00160030 0 0x00000011 0"
}

# Wine takes its ANSI code page from the Unix locale; a private compiled copy
# of ja_JP.UTF-8 needs only the locales package's sources, not root.
japanese_locale() {
  [ -d "$locales/ja_JP.UTF-8" ] && return
  [ -f /usr/share/i18n/locales/ja_JP ] ||
    { echo "run.sh: the ja_JP locale source is missing (Debian package: locales)" >&2; exit 2; }
  rm -rf "$locales/new"
  mkdir -p "$locales"
  localedef -i ja_JP -f UTF-8 "$locales/new"
  mv "$locales/new" "$locales/ja_JP.UTF-8"
}

scenario_lead_byte() {
  japanese_locale
  # Under code page 932, 0x82 is a lead byte: the ';' after it ends no field.
  only_lpt2 'id=MDL:P1;MFG:Ac\x82;X;'
  echo "== quillport_e2e_test lead_byte_932 (LANG=ja_JP.UTF-8)"
  LOCPATH="$locales" LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8 \
    harness run "$vport_prefix" "$program" lead_byte_932 || failures=$((failures + 1))
  echo "== quillport_e2e_test lead_byte_1252 (LC_ALL=C)"
  LANG=C LC_ALL=C harness run "$vport_prefix" "$program" lead_byte_1252 ||
    failures=$((failures + 1))
}

scenario_held_port() {
  only_lpt2 "id=$acme_id"
  run_program held_port
  expect "the held port took the write" "$(harness received "$vport_prefix" 2)" held
}

scenario_long_write() {
  only_lpt2
  run_program long_write
  expect "LPT2 received the 10000 bytes intact" "$(harness received "$vport_prefix" 2 | hex)" \
    "$(pattern_hex 10000)"
  expect "in requests of at most 4096 bytes" "$(record writes 2 | lines)" "4096 4096 1808"
}

scenario_read_partial() {
  only_lpt2 "replyhex=$(pattern_hex 6000)" readchunk=1000
  run_program read_partial
  expect "each request asks for the rest, at most 4096" "$(record reads 2 | lines)" \
    "4096 4096 4000 3000 2000 1000"
}

scenario_read_timeout() {
  only_lpt2 reply=hello readdelay=1000
  run_program read_timeout
  expect "the read was asked again after the timeout" "$(record reads 2 | lines)" "5 5"
  expect "the write after the timeout arrived" "$(harness received "$vport_prefix" 2)" ok
  only_lpt2 reply=0123456789 readend=never
  run_program read_never_ends
  expect "the rest was asked for once" "$(record reads 2 | lines)" "20 10"
}

scenario_read_empty() {
  only_lpt2 readmode=empty
  run_program read_empty
  expect "an empty completion is not asked again" "$(record reads 2 | lines)" 16
}

# ---- all four ports present -----------------------------------------------

four_ports() { port 1 "id=$1" -- 2 -- 3 "id=$2" -- 4 "id=$3"; } # LPT2 has no ID

scenario_two_devices() {
  four_ports 'MFG:One;MDL:A1;' 'MFG:Three;MDL:C3;' 'MFG:Four;CLS:PRINTER;'
  run_program go_on
  expect "every port was probed once" "$(opens_of_all)" "1 1 1 1"
  four_ports 'MFG:One;MDL:A1;' 'MFG:Three;MDL:C3;' 'MFG:Four;CLS:PRINTER;'
  run_program stop_first
  expect "no port after LPT1 was opened" "$(opens_of_all)" "1 0 0 0"
}

scenario_model_key() {
  four_ports 'MFG:Zenith;MODEL:Z-9 Dot Matrix;CLS:PRINTER;' 'CLS:PRINTER;' 'MDL:X;'
  run_program model_key
}

# ---- without the driver -----------------------------------------------------

scenario_no_ports() {
  rm -f "$plain_prefix"/dosdevices/lpt[0-9]*
  run_plain no_ports
}

scenario_null_port() {
  rm -f "$plain_prefix"/dosdevices/lpt[0-9]*
  ln -s /dev/null "$plain_prefix/dosdevices/lpt1"
  run_plain null_port
}

scenario_exports() { run_plain exports; }

# ---- main -------------------------------------------------------------------

if [ $# -ne 1 ] || ! declare -F "scenario_$1" >/dev/null; then
  echo "usage: $0 SCENARIO, one of: $(declare -F | sed -n 's/.*scenario_//p' | lines)" >&2
  exit 2
fi
[ -f "$program" ] || { echo "run.sh: build $program first" >&2; exit 2; }
"scenario_$1"
if [ "$failures" = 0 ]; then echo "e2e $1 passed"; else echo "e2e $1 FAILED ($failures)"; fi
exit "$((failures > 0))"
