#!/bin/sh
# Starts the Wine prefix of the tests and keeps its server warm for 30 s after
# the last program ends. Usage: wine_start.sh WINE WINESERVER (WINEPREFIX set).
# Wine's background services outlive this script: none of them may hold the
# test runner's output open, so they start here, with their output going to
# a log beside the prefix.
set -e
exec >"$WINEPREFIX.log" 2>&1 </dev/null
# A new prefix is made by the first program, under a server of Wine's own
# choosing; that one is let go, and a persistent one takes its place...
"$1" wineboot -i
"$2" -w
"$2" -p 30
# ... whose services the next program starts.
"$1" wineboot
