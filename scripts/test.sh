#!/usr/bin/env bash
# Installs what is missing, builds the host build and the DLL, and runs every
# test: the unit tests and fuzzers of the host build, then the DLL's checks
# and the Windows test programs under Wine.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/setup.sh
bash scripts/build.sh

(cd build/host && ctest --output-on-failure)
(cd build/win32 && ctest --output-on-failure)
