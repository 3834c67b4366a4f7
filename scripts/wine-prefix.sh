#!/usr/bin/env bash
# Runs Windows programs under Wine against virtual parallel ports served by the
# vport test driver (tools/vport), in a 32-bit prefix of their own.
#
#   wine-prefix.sh create PREFIX          make the prefix once, install vport.sys
#                                         (built into build/vport, or $VPORT_SYS if
#                                         set) and its service
#   wine-prefix.sh port PREFIX N SETTING... [-- N SETTING...]...
#                                         set how LPTN behaves, clearing its
#                                         records; "absent" removes the port; "--"
#                                         starts the next port (one Wine call for all)
#   wine-prefix.sh received PREFIX N      the bytes LPTN was sent, raw on stdout
#   wine-prefix.sh writes PREFIX N        each write request's size, one a line
#   wine-prefix.sh reads PREFIX N         each read request's size, one a line
#   wine-prefix.sh ioctls PREFIX N        each device-control request to LPTN, one a
#                                         line: its code in hex and the output length
#                                         it offered ("0x0016000c 4096")
#   wine-prefix.sh opens PREFIX N...      how many times each LPTN was opened, one a line
#   wine-prefix.sh run PREFIX PROGRAM.exe [ARG...]   run it; its exit code is ours
#   wine-prefix.sh stop PREFIX            end the prefix's Wine session
#
# SETTINGs (every one not given takes its default):
#   id=TEXT idhex=HEX    device ID bytes; TEXT takes printf %b escapes (\x00)
#   size=N               what the size query reports (default: ID length + 2)
#   sizequery= idquery= rawquery= legacyquery=   answer|fail|zero (bytes)
#   shortbuffer=fail|truncate   an ID query whose buffer is too small
#   reply=TEXT replyhex=HEX     bytes that reads hand out, in order
#   readmode=data|empty|never|fail    how reads end (data: from the reply)
#   readend=empty|never|fail          how reads end once the reply is used up (never)
#   readchunk=K readdelay=MS          at most K bytes a read; complete MS after arrival
#   writemode=data|empty|never|fail writechunk=K writedelay=MS   the same for writes
# A port's presence is fixed when the driver loads, so a command that changes it
# ends the running session; the next program starts a new one (under a second).
# Every path lives under the given PREFIX: never the user's own ~/.wine.
set -euo pipefail

export WINEARCH=win32 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
root="$(cd "$(dirname "$0")/.." && pwd)"
service='HKLM\System\CurrentControlSet\Services\vport'

die() { echo "wine-prefix.sh: $*" >&2; exit 2; }

use_prefix() {
  [ -n "${1:-}" ] || die "no PREFIX given"
  mkdir -p "$1"
  WINEPREFIX="$(cd "$1" && pwd)"
  export WINEPREFIX
  case "$WINEPREFIX" in "$HOME/.wine" | "$HOME/.wine/"*) die "refusing the user's own prefix" ;; esac
}

port_key() {
  [[ "${1:-}" =~ ^[1-4]$ ]] || die "port number must be 1..4"
  echo "$service\\Parameters\\LPT$1"
}

create() {
  use_prefix "$1"
  QUILLPORT_WINEPREFIX="$WINEPREFIX" bash "$root/scripts/wine-run.sh"
  # Test runs that share a prefix may all ask for the driver: one installs it,
  # the rest wait.
  exec 9>"$WINEPREFIX.driver.lock"
  flock 9
  local driver="${VPORT_SYS:-$root/build/vport/vport.sys}"
  [ -n "${VPORT_SYS:-}" ] || bash "$root/tools/vport/build.sh" "$root/build/vport" >/dev/null
  local drivers="$WINEPREFIX/drive_c/windows/system32/drivers" restart=0
  if ! cmp -s "$driver" "$drivers/vport.sys"; then
    cp "$driver" "$drivers/vport.sys"
    restart=1
  fi
  if ! wine reg query "$service\\Parameters" >/dev/null 2>&1; then
    wine reg add "$service" /v Type /t REG_DWORD /d 1 /f >/dev/null
    wine reg add "$service" /v Start /t REG_DWORD /d 2 /f >/dev/null
    wine reg add "$service" /v ErrorControl /t REG_DWORD /d 1 /f >/dev/null
    wine reg add "$service" /v ImagePath /t REG_EXPAND_SZ \
      /d '\SystemRoot\System32\drivers\vport.sys' /f >/dev/null
    wine reg add "$service\\Parameters" /f >/dev/null
    restart=1
  fi
  # A dosdevices link would win over the driver's \DosDevices\LPTn.
  rm -f "$WINEPREFIX"/dosdevices/lpt[0-9]*
  if [ "$restart" = 1 ]; then wineserver -k 2>/dev/null || true; fi
  flock -u 9
}

hex_of_text() { printf '%b' "$1" | od -An -v -tx1 | tr -d ' \n' | sed 's/../&,/g; s/,$//'; }
hex_of_hex() { printf '%s' "$1" | tr -d ' ,' | sed 's/../&,/g; s/,$//'; }
dword() {
  [[ "$1" =~ ^[0-9]+$ ]] || die "'$1' is not a number"
  printf 'dword:%08x' "$1"
}

mode_number() { # mode_number SETTING VALUE WORDS...
  local setting="$1" value="$2" i=0
  shift 2
  for word in "$@"; do
    if [ "$word" = "$value" ]; then echo "$i"; return; fi
    i=$((i + 1))
  done
  die "$setting must be one of: $*"
}

# "NAME"=dword:... for a number, or for a mode word's position among WORDS.
number_line() { # number_line NAME VALUE [WORDS...]
  local name="$1" value="$2" data
  shift 2
  if [ $# -gt 0 ]; then value="$(mode_number "$name" "$value" "$@")" || exit 2; fi
  data="$(dword "$value")" || exit 2
  echo "\"$name\"=$data"
}

# One .reg line for one SETTING; it runs in a subshell, so it exits on errors.
reg_line() {
  local value="${1#*=}" modes=(data empty never fail) answers=(answer fail zero)
  case "${1%%=*}" in
  id) echo "\"DeviceId\"=hex:$(hex_of_text "$value")" ;;
  idhex) echo "\"DeviceId\"=hex:$(hex_of_hex "$value")" ;;
  reply) echo "\"Reply\"=hex:$(hex_of_text "$value")" ;;
  replyhex) echo "\"Reply\"=hex:$(hex_of_hex "$value")" ;;
  size) number_line ReportedSize "$value" ;;
  sizequery) number_line SizeQuery "$value" "${answers[@]}" ;;
  idquery) number_line IdQuery "$value" "${answers[@]}" ;;
  rawquery) number_line RawIdQuery "$value" "${answers[@]}" ;;
  legacyquery) number_line LegacyIdQuery "$value" "${answers[@]}" ;;
  shortbuffer) number_line ShortBuffer "$value" fail truncate ;;
  readmode) number_line ReadMode "$value" "${modes[@]}" ;;
  readend) number_line ReadEnd "$value" "${modes[@]}" ;;
  writemode) number_line WriteMode "$value" "${modes[@]}" ;;
  readchunk) number_line ReadChunk "$value" ;;
  readdelay) number_line ReadDelay "$value" ;;
  writechunk) number_line WriteChunk "$value" ;;
  writedelay) number_line WriteDelay "$value" ;;
  *) die "unknown setting '$1'" ;;
  esac
}

linked_ports() {
  wine reg query "$service\\Parameters" /v LinkedPorts 2>/dev/null |
    tr -d '\r' | awk '$1 == "LinkedPorts" { print $3 }'
}

# One port's part of a .reg file: the key deleted, then made anew unless absent.
port_section() { # port_section N SETTING...
  local key long line
  key="$(port_key "$1")" || exit 2
  long="HKEY_LOCAL_MACHINE${key#HKLM}"
  shift
  printf '\r\n[-%s]\r\n' "$long"
  [ "${1:-}" != absent ] || return 0
  printf '\r\n[%s]\r\n' "$long"
  for setting in "$@"; do
    line="$(reg_line "$setting")" || exit 2
    printf '%s\r\n' "$line"
  done
}

port() { # port PREFIX N SETTING... [-- N SETTING...]...
  use_prefix "$1"
  shift
  local file="$WINEPREFIX/vport-ports.reg" wanted=() present
  printf 'Windows Registry Editor Version 5.00\r\n' >"$file"
  while [ $# -gt 0 ]; do
    local group=()
    while [ $# -gt 0 ] && [ "$1" != -- ]; do group+=("$1"); shift; done
    if [ $# -gt 0 ]; then shift; fi
    [ ${#group[@]} -gt 0 ] || die "a port group without its number"
    port_section "${group[@]}" >>"$file"
    present=1
    [ "${group[1]:-}" != absent ] || present=0
    wanted+=("${group[0]}:$present")
  done
  wine reg import "$file" >/dev/null 2>&1 || die "reg import failed for $file"
  local linked pair
  linked="$(linked_ports)"
  for pair in "${wanted[@]}"; do
    if [ $(((${linked:-0} >> (${pair%:*} - 1)) & 1)) != "${pair#*:}" ]; then
      wineserver -k 2>/dev/null || true
      return
    fi
  done
}

value_hex() { # value_hex N NAME: the value's data as hex, empty if missing
  local key
  key="$(port_key "$1")"
  { wine reg query "$key" /v "$2" 2>/dev/null || true; } |
    tr -d '\r' | awk -v name="$2" '$1 == name { print $3 }'
}

sizes() { # 32-bit little-endian numbers, one a line
  local hex="$1"
  while [ ${#hex} -ge 8 ]; do
    echo $((16#${hex:6:2}${hex:4:2}${hex:2:2}${hex:0:2}))
    hex="${hex:8}"
  done
}

opens() { # opens N...: one query for all the ports' counts
  local table n count
  table="$({ wine reg query "$service\\Parameters" /s 2>/dev/null || true; } | tr -d '\r' |
    awk '/^HKEY/ { port = substr($0, length($0)) } $1 == "Opens" { print port, $3 }')"
  for n in "$@"; do
    port_key "$n" >/dev/null || exit 2
    count="$(awk -v n="$n" '$1 == n { print $2 }' <<<"$table")"
    echo $((${count:-0}))
  done
}

ioctls() { # pairs of 32-bit little-endian numbers: code, output length
  local numbers i
  mapfile -t numbers < <(sizes "$(value_hex "$1" IoctlSizes)")
  for ((i = 0; i + 1 < ${#numbers[@]}; i += 2)); do
    printf '0x%08x %d\n' "${numbers[i]}" "${numbers[i + 1]}"
  done
}

command="${1:-}"
[ $# -ge 2 ] || die "usage: see the top of $0"
shift
case "$command" in
create) create "$1" ;;
port) [ $# -ge 2 ] || die "usage: port PREFIX N SETTING... [-- N SETTING...]..."; port "$@" ;;
received) use_prefix "$1"; printf '%b' "$(value_hex "$2" Received | sed 's/../\\x&/g')" ;;
writes) use_prefix "$1"; sizes "$(value_hex "$2" WriteSizes)" ;;
reads) use_prefix "$1"; sizes "$(value_hex "$2" ReadSizes)" ;;
ioctls) use_prefix "$1"; ioctls "$2" ;;
opens) use_prefix "$1"; shift; opens "$@" ;;
run) use_prefix "$1"; shift; exec wine "$@" ;;
stop) use_prefix "$1"; wineserver -k 2>/dev/null || true ;;
*) die "unknown command '$command'" ;;
esac
