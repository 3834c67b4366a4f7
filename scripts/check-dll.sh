#!/usr/bin/env bash
# check-dll.sh DLL: checks quillport.dll's binary interface with llvm-readobj.
#   - a 32-bit x86 PE image (PE32, IMAGE_FILE_MACHINE_I386) marked as a DLL;
#   - exports exactly EnumerateDevices @1 and CreatePort @2;
#   - imports only from KERNEL32.dll and USER32.dll, nothing delay-loaded, and
#     exactly the functions that src/platform/kernel32.def and user32.def list.
# A listed function that is not imported is a failure too: the lists say
# exactly what the DLL needs.
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 DLL" >&2
  exit 2
fi
dll=$1
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
readobj=${LLVM_READOBJ:-llvm-readobj}
failures=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

headers=$("$readobj" --file-headers "$dll")
grep -q '^ *Machine: IMAGE_FILE_MACHINE_I386 ' <<<"$headers" || fail "machine is not IMAGE_FILE_MACHINE_I386"
grep -q '^ *Magic: 0x10B$' <<<"$headers" || fail "optional header is not PE32 (magic 0x10B)"
grep -q '^ *IMAGE_FILE_DLL ' <<<"$headers" || fail "image is not marked as a DLL"

# "ORDINAL NAME" per export. lld may leave unused slots below the first
# ordinal in the address table; they have neither a name nor an address.
exports=$("$readobj" --coff-exports "$dll" | awk '
  /^Export \{/ { ordinal = ""; name = ""; rva = "" }
  /^  Ordinal: / { ordinal = $2 }
  /^  Name:/ { name = $2 }
  /^  RVA: / { rva = $2 }
  /^\}/ && ordinal != "" {
    if (!(name == "" && rva == "0x0")) print ordinal " " (name == "" ? "(no name)" : name)
    ordinal = ""
  }')
expected_exports=$'1 EnumerateDevices\n2 CreatePort'
if [ "$(sort <<<"$exports")" != "$(sort <<<"$expected_exports")" ]; then
  fail "exports differ from EnumerateDevices @1 and CreatePort @2; found:"
  sed 's/^/    /' <<<"${exports:-(none)}"
fi

# "LIBRARY FUNCTION" per import, the library in upper case; delay-loaded
# imports are marked so that they can never match the lists.
imports=$("$readobj" --coff-imports "$dll" | awk '
  /^Import \{/ { kind = "" }
  /^DelayImport \{/ { kind = "delay-loaded " }
  /^  Name: / { library = toupper($2) }
  /^  Symbol: / { print kind library " " ($2 ~ /^\(/ ? "(ordinal " $2 ")" : $2) }')

# The same form from a .def file: its LIBRARY line and its EXPORTS, without
# comments and without the @N argument sizes.
listed_in() {
  awk '
    { sub(/;.*/, "") }
    /^[ \t]*LIBRARY[ \t]/ { library = toupper($2); next }
    /^[ \t]*EXPORTS[ \t]*$/ { exports = 1; next }
    exports && NF { name = $1; sub(/@[0-9]+$/, "", name); print library " " name }' "$1"
}
listed=$( (listed_in "$root/src/platform/kernel32.def"; listed_in "$root/src/platform/user32.def") | sort -u)
imported=$(sort -u <<<"$imports")

while read -r library function; do
  [ -n "$library" ] || continue
  case $library in
    KERNEL32.DLL | USER32.DLL) fail "$function imported from $library but not listed in its .def" ;;
    *) fail "$function imported from $library: only KERNEL32.dll and USER32.dll are allowed" ;;
  esac
done < <(comm -13 <(echo "$listed") <(echo "$imported"))

while read -r library function; do
  [ -n "$library" ] || continue
  fail "$function listed for $library but not imported"
done < <(comm -23 <(echo "$listed") <(echo "$imported"))

echo "check-dll: $dll: $failures failures"
[ "$failures" -eq 0 ]
