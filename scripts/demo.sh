#!/usr/bin/env bash
# The main job: builds quillport.dll and runs the demo host under Wine against
# two virtual printers (served by the vport test driver), then shows what the
# printer received.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/setup.sh >/dev/null
cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/i686-windows-msvc.cmake \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/win32 -j2 >/dev/null

prefix=build/demo/prefix
harness() { VPORT_SYS=build/win32/vport/vport.sys bash scripts/wine-prefix.sh "$@"; }
echo "Preparing a Wine prefix with two virtual printers (the first run takes ~20 s)..."
harness create "$prefix"
harness port "$prefix" 1 'id=MFG:Acme;MDL:LaserQuill 100;CLS:PRINTER;DES:Acme LaserQuill;'
harness port "$prefix" 2 absent
harness port "$prefix" 3 'id=MFG:Zenith;MODEL:Z-9 Dot Matrix;CLS:PRINTER;'
harness port "$prefix" 4 absent

echo
harness run "$prefix" build/win32/quillport_demo.exe
echo
received=$(harness received "$prefix" 1 | wc -c)
echo "The printer on LPT1 received $received bytes; the first and last lines (control bytes as ^X):"
harness received "$prefix" 1 | cat -v | sed -n '1,3p;$p' | sed 's/^/  /'
echo
echo "Its write requests, in bytes: $(harness writes "$prefix" 1 | paste -sd' ')"
