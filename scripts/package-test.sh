#!/usr/bin/env bash
# Builds the Debian package, installs it, checks that quiln runs, that man
# finds its page, that the licence is its copyright file and the changelog
# is the version's, that the systemd unit and timer are where systemd finds
# them and valid (systemd-analyze verify where systemd's tools are; else
# what a script can check) but enabled by nobody, and that the cron line and
# the example configuration are among the examples; lints the page and the
# package (lintian: no error, no warning), and removes the package again.
set -euo pipefail
cd "$(dirname "$0")/.."

for p in dpkg-dev man-db mandoc lintian; do
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
cmake --build --preset default -j "$(nproc)" --target quiln compressed_docs
rm -f build/default/quiln_*_*.deb
(cd build/default && cpack -G DEB >/dev/null)
deb=$(ls build/default/quiln_*_*.deb)
echo "built $deb"

echo "== lintian"
# Errors and warnings fail; the info tags are listed (the one override is
# explained in the package's lintian overrides).
lintian --fail-on error,warning --display-info --show-overrides "$deb" 2> >(grep -v "running with root privileges" >&2)
# No maintainer scripts: installing enables and starts nothing.
if dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -E "(pre|post)(inst|rm)$"; then
    echo "the package has maintainer scripts"
    exit 1
fi

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
version=$(dpkg-query -W -f='${Version}' quiln)
zcat /usr/share/doc/quiln/changelog.gz | head -n 1 | grep -qF "quiln ($version) " \
    || { echo "changelog.gz does not start with version $version"; exit 1; }

echo "== scheduling files"
units=(/lib/systemd/system/quiln.service /lib/systemd/system/quiln.timer)
examples=/usr/share/doc/quiln/examples
for f in "${units[@]}" "$examples/quiln.cron" "$examples/quiln.conf"; do
    [ -f "$f" ] || { echo "$f missing"; exit 1; }
done
grep -q "^ExecStart=/usr/bin/quiln " /lib/systemd/system/quiln.service
grep -q "^RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX$" /lib/systemd/system/quiln.service
grep -Eq "^\*/5 \* \* \* \* quiln /usr/bin/quiln " "$examples/quiln.cron"
# The example configuration sets what the unit reads.
for v in QUILN_SERVER QUILN_USER QUILN_DOMAINS QUILN_OPTIONS; do
    grep -q "^$v=." "$examples/quiln.conf" || { echo "quiln.conf lacks $v"; exit 1; }
done
[ -z "$(find /etc/systemd /etc/cron.d -name 'quiln*' 2>/dev/null)" ] \
    || { echo "installing enabled something"; exit 1; }
# What a script can check, everywhere; then systemd's own check.
/usr/bin/python3 scripts/check_units.py "${units[@]}"
if command -v systemd-analyze >/dev/null; then
    # Any complaint fails, not only those that make the exit status.
    complaints=$(systemd-analyze verify --man=no "${units[@]}" 2>&1) \
        || { echo "$complaints"; exit 1; }
    [ -z "$complaints" ] || { echo "$complaints"; exit 1; }
    echo "systemd-analyze verify: quiln.service and quiln.timer valid"
else
    echo "no systemd-analyze here: the units were checked by script only"
fi

dpkg -r quiln
trap - EXIT
# (Not "! command": a negated command never stops a set -e script; and
# the shell's remembered path of quiln forgotten first.)
hash -r
if command -v quiln >/dev/null || man -w quiln 2>/dev/null; then
    echo "quiln or its manual left after removal"
    exit 1
fi
for f in "${units[@]}" "$examples"; do
    [ ! -e "$f" ] || { echo "$f left after removal"; exit 1; }
done
echo "package: lintian clean, installed, ran, found its man page and its units, removed"
