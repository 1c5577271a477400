#!/usr/bin/env bash
# Builds the Debian package, installs it, checks that quiln runs, that man
# finds its page and that the licence is its copyright file, lints the page,
# and removes the package again.
set -euo pipefail
cd "$(dirname "$0")/.."

for p in dpkg-dev man-db mandoc; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ -n "${missing[*]:-}" ]; then
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

echo "== man page lint"
mandoc -Tlint -W warning doc/quiln.1
test -z "$(MANWIDTH=80 man --warnings -l doc/quiln.1 2>&1 >/dev/null)"

echo "== package"
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target quiln
(cd build/default && cpack -G DEB >/dev/null)
deb=$(ls build/default/quiln_*_*.deb)
echo "built $deb"
if dpkg-query -W quiln >/dev/null 2>&1; then dpkg -r quiln >/dev/null; fi
dpkg -i "$deb"
trap 'dpkg -r quiln >/dev/null 2>&1 || true' EXIT

status=0
quiln >/tmp/quiln-usage.$$ 2>&1 || status=$?
grep -q "QUILN supports the following authentication methods:" /tmp/quiln-usage.$$
rm -f /tmp/quiln-usage.$$
[ "$status" -eq 1 ]
[ "$(command -v quiln)" = /usr/bin/quiln ]
man -w quiln
grep -q "^ISC License" /usr/share/doc/quiln/copyright
dpkg -r quiln
trap - EXIT
! command -v quiln >/dev/null
! man -w quiln 2>/dev/null
echo "package: installed, ran, found its man page, removed"
