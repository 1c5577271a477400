#!/usr/bin/env bash
# A complete pickup on this machine: the demo ODMR provider holds three
# messages for example.org, a real SMTP server (aiosmtpd) stands for the
# site's own, and quiln picks the mail up and relays it. Then the messages as
# the SMTP server stored them are shown.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target quiln >/dev/null

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

wait_for() { # a port file written by a server once it listens
    for _ in $(seq 100); do [ -s "$1" ] && return 0; sleep 0.1; done
    echo "demo: a server did not start" >&2
    return 1
}

/usr/bin/python3 demo/local_smtp.py "$work/Maildir" "$work/smtp.port" &
pids+=($!)
/usr/bin/python3 demo/odmr_provider.py --port-file "$work/provider.port" --user demo \
    --secret tanstaaftanstaaf --domain example.org >"$work/provider.log" &
pids+=($!)
wait_for "$work/smtp.port"
wait_for "$work/provider.port"
smtp_port=$(cat "$work/smtp.port")
provider_port=$(cat "$work/provider.port")

echo "== quiln -v -a $provider_port -p $smtp_port -t CRAM-MD5 127.0.0.1 demo <secret> example.org"
status=0
./build/default/quiln -v -a "$provider_port" -p "$smtp_port" -t CRAM-MD5 127.0.0.1 demo tanstaaftanstaaf \
    example.org || status=$?
echo "== quiln ended with exit code $status"

sleep 0.5 # the SMTP server finishes storing the last message
echo "== what the local SMTP server stored ($work/Maildir/new):"
count=0
for f in "$work"/Maildir/new/*; do
    [ -e "$f" ] || continue
    count=$((count + 1))
    echo "-- message $count"
    cat "$f"
done
echo "== $count message(s) picked up"
[ "$status" -eq 0 ] && [ "$count" -eq 3 ]
