#!/usr/bin/env bash
# The relay benchmark: builds the program and the benchmark peers, then runs
# bench/run.py (pass its options through, e.g. --rounds 7, or --rounds 1
# --scale 0.1 for a quick try).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
# The peers of the benchmark, and strace, which counts quiln's system calls
# (not needed by the tests); the TLS ways use stunnel4, openssl and
# libssl-dev, which the tests install too.
missing=()
for p in socat stunnel4 openssl libssl-dev strace; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target quiln quiln_without_observer bench_sink bench_provider bench_floor >/dev/null
exec /usr/bin/python3 bench/run.py "$@"
