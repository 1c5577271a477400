#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing need, and only
# those that are missing.
set -euo pipefail

packages=(cmake make g++ clang libclang-rt-14-dev libgtest-dev googletest python3 python3-pytest python3-aiosmtpd valgrind clang-tidy cppcheck stunnel4 openssl libssl-dev python3-cryptography)
# The Debian package: its tools, its manual's linters and Debian's package
# checker.
packages+=(dpkg-dev man-db mandoc lintian)
# The Windows build: the mingw-w64 cross compiler (posix threads, which
# GoogleTest needs), 64-bit Wine to run it (no 32-bit part, so no i386
# architecture), binutils' objdump for the DLL check, groff for the manual
# as text.
packages+=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 groff-base)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
