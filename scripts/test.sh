#!/usr/bin/env bash
# Installs what is missing, runs the static analysis (scripts/lint.sh), then
# builds and runs the whole test suite twice:
# optimised with g++, and with AddressSanitizer and UndefinedBehaviorSanitizer
# under clang++, then runs each fuzz target for a bounded time (60 s; set
# QUILN_FUZZ_SECONDS at configure time to change it), and the end-to-end
# suites once more under valgrind memcheck, and last builds, installs, runs
# and removes the Debian package (scripts/package-test.sh). Then the Windows
# build: quiln.exe cross-built with mingw-w64, its tests and the end-to-end
# suites under Wine (ctest --preset windows), and its ZIP checked
# (scripts/windows-package-test.sh). Tests that wait for real time-outs of
# 20 s or more carry the label "slow" and run only with: ctest --preset slow
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
bash scripts/lint.sh
jobs=$(nproc)
for preset in default asan; do
    echo "== $preset"
    cmake --preset "$preset"
    cmake --build --preset "$preset" -j "$jobs"
    ctest --preset "$preset"
done
echo "== notls"
cmake --preset notls
cmake --build --preset notls -j "$jobs"
ctest --preset notls
echo "== fuzz"
ctest --preset fuzz
echo "== memcheck"
ctest --preset memcheck
echo "== package"
bash scripts/package-test.sh
echo "== windows"
cmake --preset windows
cmake --build --preset windows -j "$jobs"
start=$(date +%s)
ctest --preset windows
echo "windows tests took $(( $(date +%s) - start )) s"
bash scripts/windows-package-test.sh
