#!/bin/sh
# Runs one test program under Wine in a prefix of its own, with a wineserver of its own: a crash
# there can leave the dump Windows Error Reporting would write (ostrel-wer-standin as the
# post-mortem debugger; the lane's shared prefix has none, and tests beside this one rely on that),
# and its windows go to the X server of the caller's DISPLAY (the shared prefix's desktop may have
# been made without one).
#   own_wineprefix.sh <wine-run> <ostrel-wer-standin.exe | -> <program> [arguments...]
set -eu
wine_run=$1
standin=$2
shift 2
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/ostrel-own-wine.XXXXXX")
export WINEPREFIX
trap '/usr/lib/wine/wineserver -k 2>/dev/null || true; rm -rf "$WINEPREFIX"' EXIT
"$wine_run" wineboot --init >/dev/null 2>&1
/usr/lib/wine/wineserver -w
[ "$standin" = - ] || "$wine_run" "$standin" --register
"$wine_run" "$@"
