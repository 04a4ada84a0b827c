#!/bin/sh
# Runs one test program under Wine in a prefix of its own, where ostrel-wer-standin is the
# post-mortem debugger, so that a crash leaves the dump Windows Error Reporting would write. The
# lane's shared prefix has no crash debugger (a crash there just ends with its exception code), and
# tests running beside this one rely on that.
#   own_wineprefix.sh <wine-run> <ostrel-wer-standin.exe> <program> [arguments...]
set -eu
wine_run=$1
standin=$2
shift 2
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/ostrel-e2e-wine.XXXXXX")
export WINEPREFIX
trap '/usr/lib/wine/wineserver -k 2>/dev/null || true; rm -rf "$WINEPREFIX"' EXIT
"$wine_run" wineboot --init >/dev/null 2>&1
/usr/lib/wine/wineserver -w
"$wine_run" "$standin" --register
"$wine_run" "$@"
