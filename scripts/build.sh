#!/usr/bin/env bash
# Builds the host build (build/host) and the Windows DLL with its test
# programs (build/win32/quillport.dll).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

cmake -S . -B build/host -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/host -j2
cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/i686-windows-msvc.cmake \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/win32 -j2
