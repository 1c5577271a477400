#!/usr/bin/env bash
# Static analysis of the program's own code: clang-tidy (checks in
# .clang-tidy) and cppcheck. Any finding fails; each suppression is justified
# where it stands.
set -euo pipefail
cd "$(dirname "$0")/.."

echo "== layers"
# The driver calls the transport and the authentication support, which call
# neither the driver nor each other; src/common is read by all and includes
# nothing of ours.
layers=$(grep -rn '#include "driver/' src/net src/auth src/tls src/common 2>/dev/null || true
         grep -rn '#include "auth/' src/net src/tls src/common 2>/dev/null || true
         grep -rn '#include "net/' src/auth src/common 2>/dev/null || true
         grep -rn '#include "tls/' src/auth src/common 2>/dev/null || true)
# Only the TLS backends know which TLS library there is.
layers+=$(grep -rn '#include <openssl/' src --exclude-dir=tls || true)
if [ -n "$layers" ]; then
    echo "includes across the layers:"
    echo "$layers"
    exit 1
fi

cmake --preset default >/dev/null
echo "== clang-tidy"
if ! out=$(find src -name '*.cpp' -print0 | xargs -0 -n 4 -P "$(nproc)" clang-tidy -p build/default --quiet 2>&1); then
    grep -v "warnings generated" <<<"$out"
    exit 1
fi
echo "== cppcheck"
cppcheck --enable=warning,style,performance,portability --std=c++20 --inline-suppr --error-exitcode=1 \
    --quiet -I src src
echo "static analysis: no findings"
