#!/usr/bin/env bash
# The relay benchmark: builds the program and the benchmark peers, then runs
# bench/run.py (pass its options through, e.g. --rounds 7).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
if ! dpkg-query -W -f='${Status}' socat 2>/dev/null | grep -q "install ok installed"; then
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq socat
fi
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target quiln bench_sink bench_provider >/dev/null
exec /usr/bin/python3 bench/run.py "$@"
