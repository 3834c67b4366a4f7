#!/usr/bin/env bash
# Builds vport.sys (the Wine test driver) and vport_selftest.exe into OUTDIR,
# without CMake: bash tools/vport/build.sh OUTDIR
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 OUTDIR" >&2; exit 2; }
here="$(cd "$(dirname "$0")" && pwd)"
out="$1"
mkdir -p "$out"

cxx=(clang++ --target=i686-pc-windows-msvc -std=c++17 -O2 -Wall -Wextra -ffreestanding
  -fno-builtin -mno-stack-arg-probe -fno-exceptions -fno-rtti)

llvm-dlltool -k -m i386 -d "$here/ntoskrnl.def" -l "$out/ntoskrnl.lib"
"${cxx[@]}" -c "$here/vport.cpp" -o "$out/vport.obj"
lld-link /nologo /driver /subsystem:native /entry:DriverEntry /nodefaultlib \
  /out:"$out/vport.sys" "$out/vport.obj" "$out/ntoskrnl.lib"

llvm-dlltool -k -m i386 -d "$here/kernel32.def" -l "$out/kernel32.lib"
"${cxx[@]}" -c "$here/vport_selftest.cpp" -o "$out/vport_selftest.obj"
lld-link /nologo /subsystem:console /entry:start /nodefaultlib \
  /out:"$out/vport_selftest.exe" "$out/vport_selftest.obj" "$out/kernel32.lib"
