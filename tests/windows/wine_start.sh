#!/bin/sh
# Starts the Wine prefix of the tests and keeps its server warm for 30 s after
# the last program ends. Usage: wine_start.sh WINE WINESERVER (WINEPREFIX set).
# Wine's background processes outlive this script: none of them may hold the
# test runner's output open, so everything goes to a log beside the prefix.
set -e
mkdir -p "$WINEPREFIX"
exec >"$WINEPREFIX.log" 2>&1 </dev/null
"$2" -p 30 || echo "wineserver already running"
"$1" wineboot -i
