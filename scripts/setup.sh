#!/usr/bin/env bash
# Installs what building and testing quillport needs, and nothing that is
# already there. Safe to run any number of times.
set -euo pipefail

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

missing=()
need() { # need COMMAND-OR-FILE PACKAGE
  if [[ "$1" == /* ]]; then [ -e "$1" ] || missing+=("$2")
  else command -v "$1" >/dev/null 2>&1 || missing+=("$2"); fi
}

need g++ g++
need cmake cmake
need /usr/include/gtest/gtest.h libgtest-dev
need /usr/src/googletest/CMakeLists.txt googletest
need clang clang
need clang-format clang-format
need lld-link lld
need llvm-dlltool llvm
need llvm-readobj llvm
need /usr/lib/llvm-14/lib/clang/14.0.6/lib/linux/libclang_rt.fuzzer-x86_64.a libclang-rt-14-dev
need /usr/share/i18n/locales/ja_JP locales
need wine wine
need /usr/lib/i386-linux-gnu/wine/i386-windows/kernel32.dll wine32:i386

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: everything is installed"
  exit 0
fi

if [[ " ${missing[*]} " == *":i386 "* ]] &&
  ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends $(printf '%s\n' "${missing[@]}" | sort -u)
